# SPDX-License-Identifier: GPL-2.0-or-later
"""What the host reports about the plugin before any packet is read."""
import unittest

from harness import HostTestCase

PACKET_TYPES = ["VoicePacket", "DTMFPacket", "FaxFRF11", "FaxBypass", "ModemBypass",
                "ModemRelay", "FaxT38"]
CODECS = ["G726_16", "G723Low", "G723High", "G729", "G711Alaw", "G711Mulaw", "Vocantis_9_6",
          "G726_32", "G728", "Vocantis_7_2", "G727_16", "G727_32", "Vocantis_4_8",
          "Transparent", "G727_24_16", "G726_24"]


class Registration(HostTestCase):
    def glossary(self, report):
        return [line.split("\t") for line in self.host.tshark("-G", report).stdout.splitlines()]

    def test_module_is_listed_with_its_version(self):
        rows = [r for r in self.glossary("plugins") if r[0] == "simplekestrune.so"]
        self.assertEqual(len(rows), 1, rows)
        self.assertEqual(rows[0][1:3], ["1.10.11.22", "dissector"])

    def test_protocol_names(self):
        # From 4.2 on the host adds its enabled/searchable flags after the names.
        rows = [r[:3] for r in self.glossary("protocols") if "Kestrune" in r[0]]
        self.assertEqual(rows, [["Quorvane Simple Kestrune", "SimpleKestrune", "simplekestrune"]])

    def test_exactly_the_nine_fields(self):
        rows = [r for r in self.glossary("fields") if len(r) > 4 and r[4] == "simplekestrune"]
        u16 = ["FT_UINT16", "simplekestrune", "BASE_DEC", "0x0", '""']
        boolean = ["FT_BOOLEAN", "simplekestrune", "0", "0x0", '""']
        self.assertEqual(rows, [
            ["F", "Simple Packet", "kestrune.simple_packet", *u16],
            ["F", "Simple Packet Length", "kestrune.simple_packet.simple_packet_length", *u16],
            ["F", "Simple Packet Type", "kestrune.simple_packet.simple_packet_type", *u16],
            ["F", "Session Sequence", "kestrune.simple_packet.session_sequence", *boolean],
            ["F", "Routing Flag", "kestrune.simple_packet.routing_flag", *boolean],
            ["F", "Codec Type", "kestrune.simple_packet.codec_type", *u16],
            ["F", "Session ID", "kestrune.simple_packet.session_id", *u16],
            ["F", "Sequnce Number", "kestrune.simple_packet.sequence_number", *u16],
            ["F", "Payload Size", "kestrune.simple_packet.payload_size", *u16],
        ])
        protocol_rows = [r for r in self.glossary("fields") if r[:2] == ["P", "Quorvane Simple Kestrune"]]
        self.assertEqual(protocol_rows, [["P", "Quorvane Simple Kestrune", "simplekestrune"]])

    def test_value_tables(self):
        values = [r for r in self.glossary("values") if r[0] == "V" and r[1].startswith("kestrune.")]
        by_field = {}
        for _, field, number, name in values:
            by_field.setdefault(field, []).append((int(number), name))
        self.assertEqual(by_field, {
            "kestrune.simple_packet.simple_packet_type": list(enumerate(PACKET_TYPES)),
            "kestrune.simple_packet.codec_type": list(enumerate(CODECS)),
        })

    def test_port_preference_and_binding(self):
        prefs = self.host.tshark("-G", "defaultprefs").stdout
        self.assertIn("#simplekestrune.udp.selvagrid_port: 4096\n", prefs)
        self.assertIn(["udp.port", "4096", "simplekestrune"], self.glossary("decodes"))
        ours = [r for r in self.glossary("decodes") if r[-1] == "simplekestrune"]
        self.assertEqual(ours, [["udp.port", "4096", "simplekestrune"]])


if __name__ == "__main__":
    unittest.main()
