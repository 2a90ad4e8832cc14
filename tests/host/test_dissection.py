# SPDX-License-Identifier: GPL-2.0-or-later
"""Columns, tree items and payload hand-off as tshark shows them.

All cases go into one capture that is read once per output mode.
"""
import unittest

from harness import (PEER_PORT, PORT, UDP_PAYLOAD_OFFSET as BASE, HostTestCase, header, item,
                     write_capture)

WORKED_EXAMPLE = bytes.fromhex("090831000703") + b"\xaa\xbb\xcc"

# (label, datagram) in capture order; the frame number is the index + 1.
CASES = [
    ("worked example", WORKED_EXAMPLE),
    ("flags only, empty payload", bytes.fromhex("00c000000000")),
    ("type 7, every field at its maximum", header(2047, 7, 1, 1, 15, 4095, 255, 2) + b"xy"),
    ("two simple packets back to back",
     header(8, 3, 0, 0, 4, 12, 40, 2) + b"\x01\x02" + header(8, 4, 0, 0, 5, 13, 41, 2) + b"\x03\x04"),
    ("from the port", {"data": header(26, 0, 0, 1, 3, 99, 200, 20) + bytes(20),
                       "sport": PORT, "dport": PEER_PORT}),
    ("shorter than the header", bytes.fromhex("09083100")),
    ("after the short one", header(10, 6, 1, 0, 13, 100, 1, 4) + b"T38!"),
    ("payload size beyond the datagram", header(206, 0, 0, 0, 4, 17, 1, 200) + b"0123456789"),
    ("cut short by the snapshot length",
     {"data": header(30, 2, 0, 0, 3, 5, 9, 24) + bytes(range(24)), "snaplen": 8}),
    ("another port", {"data": WORKED_EXAMPLE, "dport": 7001}),
]
# Every codec with a named packet type beside it, for the value names.
CODEC_FRAMES_START = len(CASES) + 1
CASES += [(f"codec {c}", header(7, c % 7, 0, 0, c, 1000 + c, c, 1) + b"\x00") for c in range(16)]
FRAME = {label: i + 1 for i, (label, _) in enumerate(CASES)}

CODECS = ["G726_16", "G723Low", "G723High", "G729", "G711Alaw", "G711Mulaw", "Vocantis_9_6",
          "G726_32", "G728", "Vocantis_7_2", "G727_16", "G727_32", "Vocantis_4_8",
          "Transparent", "G727_24_16", "G726_24"]
PACKET_TYPES = ["VoicePacket", "DTMFPacket", "FaxFRF11", "FaxBypass", "ModemBypass",
                "ModemRelay", "FaxT38"]

F = "kestrune.simple_packet."


def expected_header_items(length, type_name, ptype):
    return [
        (F + "simple_packet_length", f"Simple Packet Length: {length}", BASE, 2),
        (F + "simple_packet_type", f"Simple Packet Type: {type_name} ({ptype})", BASE + 1, 1),
    ]


class Dissection(HostTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.capture = write_capture(cls.host.path("cases.pcap"), [d for _, d in CASES])
        cls.packets = cls.host.pdml(cls.capture)
        cls.columns = cls.host.fields(cls.capture, ["_ws.col.Protocol", "_ws.col.Info"])
        cls.summary = cls.host.tshark("-r", cls.capture).stdout.splitlines()

    def packet(self, label):
        return self.packets[FRAME[label] - 1]

    def tree(self, label):
        proto = self.packet(label).protocol("simplekestrune")
        self.assertIsNotNone(proto, f"{label}: no SimpleKestrune tree")
        return proto

    def summary_item(self, label):
        return self.tree(label).find(f"field[@name='{F[:-1]}']")

    def test_every_case_is_in_the_output(self):
        self.assertEqual(len(self.packets), len(CASES))
        self.assertEqual(len(self.summary), len(CASES))

    def test_worked_example_tree_item_by_item(self):
        proto = self.tree("worked example")
        self.assertEqual(item(proto), ("simplekestrune", "Quorvane Simple Kestrune", BASE, 9))
        top = [item(f) for f in proto.findall("field")]
        # The header's items, then the generated "Stream Analysis" subtree.
        self.assertEqual(top, expected_header_items(9, "DTMFPacket", 1) + [
            (F[:-1], "Simple Packet.  Session ID: 003 , Sequnce Number: 0007 ", BASE, 9),
            ("kestrune.analysis", "Stream Analysis", BASE, 0)])
        summary = self.summary_item("worked example")
        inner = [item(f) for f in summary.findall("field") if f.get("name").startswith(F)]
        self.assertEqual(inner, expected_header_items(9, "DTMFPacket", 1) + [
            (F + "session_sequence", "Session Sequence: False", BASE + 1, 1),
            (F + "routing_flag", "Routing Flag: False", BASE + 1, 1),
            (F + "codec_type", "Codec Type: G723Low (1)", BASE + 2, 1),
            (F + "session_id", "Session ID: 3", BASE + 2, 2),
            (F + "sequence_number", "Sequnce Number: 7", BASE + 4, 1),
            (F + "payload_size", "Payload Size: 3", BASE + 5, 1),
        ])

    def test_payload_goes_to_data_under_the_simple_packet(self):
        # PDML shows a protocol nested in a field item as a field.
        data = self.summary_item("worked example").find("field[@name='data']/field[@name='data.data']")
        self.assertIsNotNone(data)
        self.assertEqual(item(data)[2:], (BASE + 6, 3))
        self.assertEqual(data.get("value"), "aabbcc")
        # Data appears nowhere else in the packet.
        self.assertEqual(len(self.packet("worked example").element.findall(".//*[@name='data.data']")), 1)

    def test_columns_exactly(self):
        self.assertEqual(self.columns[FRAME["worked example"] - 1],
                         ["SimpleKestrune", " Packet length =9, Packet Type =1"])
        self.assertEqual(self.columns[FRAME["type 7, every field at its maximum"] - 1],
                         ["SimpleKestrune", " Packet length =2047, Packet Type =7"])
        summary_line = self.summary[FRAME["worked example"] - 1]
        self.assertIn("SimpleKestrune", summary_line)
        self.assertTrue(summary_line.endswith("  Packet length =9, Packet Type =1"), summary_line)

    def test_flags_without_length_and_an_empty_payload(self):
        summary = self.summary_item("flags only, empty payload")
        self.assertEqual(item(summary)[2:], (BASE, 0))  # covers no bytes
        shown = {f.get("name"): f.get("showname") for f in summary.findall("field")}
        self.assertEqual(shown[F + "session_sequence"], "Session Sequence: True")
        self.assertEqual(shown[F + "routing_flag"], "Routing Flag: True")
        self.assertEqual(shown[F + "simple_packet_length"], "Simple Packet Length: 0")
        self.assertIsNone(summary.find(".//field[@name='data.data']"))
        self.assertFalse(self.packet("flags only, empty payload").has_protocol("_ws.malformed"))

    def test_unnamed_type_and_maxima(self):
        summary = self.summary_item("type 7, every field at its maximum")
        self.assertEqual(summary.get("showname"),
                         "Simple Packet.  Session ID: 4095 , Sequnce Number: 0255 ")
        self.assertEqual(int(summary.get("size")), 2047)  # the header's length, not the datagram's
        shown = [f.get("showname") for f in summary.findall("field")]
        self.assertIn("Simple Packet Type: Unknown (7)", shown)
        self.assertIn("Codec Type: G726_24 (15)", shown)
        self.assertIn("Session ID: 4095", shown)
        self.assertFalse(self.packet("type 7, every field at its maximum").has_protocol("_ws.malformed"))

    def test_every_codec_and_packet_type_by_name(self):
        for codec in range(16):
            frame = self.packets[CODEC_FRAMES_START - 1 + codec]
            shown = [f.get("showname") for f in frame.protocol("simplekestrune").iter("field")]
            self.assertIn(f"Codec Type: {CODECS[codec]} ({codec})", shown)
            ptype = codec % 7
            self.assertIn(f"Simple Packet Type: {PACKET_TYPES[ptype]} ({ptype})", shown)

    def test_only_the_first_of_two_simple_packets(self):
        proto = self.tree("two simple packets back to back")
        self.assertEqual(int(proto.get("size")), 16)
        sessions = [f.get("show") for f in proto.iter("field") if f.get("name") == F + "session_id"]
        self.assertEqual(sessions, ["12"])
        data = proto.find(".//field[@name='data.data']")
        self.assertEqual(item(data)[2:], (BASE + 6, 2))

    def test_both_directions_of_the_port_and_flags_that_differ(self):
        shown = {label: [f.get("showname") for f in self.summary_item(label).findall("field")]
                 for label in ("from the port", "after the short one")}
        self.assertIn("Session ID: 99", shown["from the port"])
        self.assertEqual(shown["from the port"][2:4], ["Session Sequence: False", "Routing Flag: True"])
        self.assertEqual(shown["after the short one"][2:4],
                         ["Session Sequence: True", "Routing Flag: False"])

    def test_short_datagram_is_malformed_and_the_next_is_fine(self):
        short = self.packet("shorter than the header")
        self.assertTrue(short.has_protocol("_ws.malformed"))
        self.assertEqual(self.columns[FRAME["shorter than the header"] - 1][0], "UDP")
        nxt = self.tree("after the short one")
        self.assertIn("Simple Packet Type: FaxT38 (6)", [f.get("showname") for f in nxt.iter("field")])
        self.assertFalse(self.packet("after the short one").has_protocol("_ws.malformed"))

    def test_payload_beyond_the_datagram_keeps_the_tree(self):
        label = "payload size beyond the datagram"
        self.assertTrue(self.packet(label).has_protocol("_ws.malformed"))
        inner = [f.get("showname") for f in self.summary_item(label).findall("field")]
        self.assertEqual(len(inner), 8)
        self.assertIn("Payload Size: 200", inner)
        self.assertEqual(self.columns[FRAME[label] - 1],
                         ["SimpleKestrune", " Packet length =206, Packet Type =0[Malformed Packet]"])

    def test_summary_mode_builds_no_tree_and_hands_nothing_on(self):
        # Without a tree the payload is not handed on, so the overrun that
        # only the hand-off detects is not reported.
        line = self.summary[FRAME["payload size beyond the datagram"] - 1]
        self.assertTrue(line.endswith("  Packet length =206, Packet Type =0"), line)
        self.assertIn("[Malformed Packet]", self.summary[FRAME["shorter than the header"] - 1])

    def test_capture_cut_short(self):
        label = "cut short by the snapshot length"
        packet = self.packet(label)
        self.assertTrue(packet.has_protocol("_ws.short"))
        self.assertFalse(packet.has_protocol("_ws.malformed"))
        inner = [f.get("showname") for f in self.summary_item(label).findall("field")]
        self.assertIn("Payload Size: 24", inner)

    def test_other_ports_are_left_alone(self):
        self.assertFalse(self.packet("another port").has_protocol("simplekestrune"))
        self.assertEqual(self.columns[FRAME["another port"] - 1][0], "UDP")


class DisplayFilters(HostTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.capture = write_capture(cls.host.path("cases.pcap"), [d for _, d in CASES])

    def frames(self, display_filter):
        out = self.host.tshark("-r", self.capture, "-Y", display_filter, "-T", "fields",
                               "-e", "frame.number").stdout
        return [int(n) for n in out.split()]

    def test_filters_on_fields(self):
        self.assertEqual(self.frames(F + "session_id == 4095"),
                         [FRAME["type 7, every field at its maximum"]])
        self.assertEqual(self.frames(F + "simple_packet_type == 7"),
                         [FRAME["type 7, every field at its maximum"]])
        self.assertEqual(self.frames(F + "codec_type == 13"),
                         [FRAME["after the short one"], CODEC_FRAMES_START + 13])
        # Values, not presence: a boolean field is there whether true or false.
        self.assertEqual(self.frames(F + "routing_flag == 1 && " + F + "session_sequence == 0"),
                         [FRAME["from the port"]])
        self.assertEqual(self.frames(F + "routing_flag == 0 && " + F + "session_sequence == 1"),
                         [FRAME["after the short one"]])
        self.assertEqual(self.frames(F + "session_sequence == 1 && " + F + "simple_packet_length == 0"),
                         [FRAME["flags only, empty payload"]])
        self.assertEqual(self.frames(F + "sequence_number == 200"), [FRAME["from the port"]])
        self.assertEqual(self.frames(F + "payload_size > 100"),
                         [FRAME["payload size beyond the datagram"]])
        self.assertEqual(self.frames(F[:-1] + " && " + F + "session_id == 3"),
                         [FRAME["worked example"]])

    def test_protocol_filter_counts_every_decoded_datagram(self):
        undecoded = {FRAME["shorter than the header"], FRAME["another port"]}
        self.assertEqual(self.frames("simplekestrune"),
                         [n for n in range(1, len(CASES) + 1) if n not in undecoded])


if __name__ == "__main__":
    unittest.main()
