# SPDX-License-Identifier: GPL-2.0-or-later
"""Session statistics (-z simplekestrune,tree) and the opt-in UDP heuristic."""
import re
import unittest

from harness import HostTestCase, header, write_capture


def packet(session, sequence, ptype=0, codec=3, dport=4096, payload=20):
    return {"data": header(6 + payload, ptype, 0, 0, codec, session, sequence, payload)
            + bytes(payload), "dport": dport}


# Session 7 crosses the wrap with a gap (1 and 2 lost), repeats 3, then sees
# 5 before 4; session 900 runs alongside in order, on another codec and type.
STATS_CAPTURE = [
    packet(7, 254), packet(900, 10, ptype=1, codec=5),
    packet(7, 255), packet(900, 11, ptype=1, codec=5),
    packet(7, 0), packet(7, 3), packet(7, 3), packet(900, 12, ptype=7, codec=5),
    packet(7, 5), packet(7, 4), packet(7, 6),
]


def parse_stats_tree(text):
    """{path: count}, where path joins the node names from the top with '/'."""
    counts, stack = {}, []
    for line in text.splitlines():
        m = re.match(r"^( *)(\S.*?)\s{2,}(\d+)\s", line)
        if not m or m.group(2) == "Topic / Item":
            continue
        depth = len(m.group(1))
        stack[depth:] = [m.group(2)]
        counts["/".join(stack)] = int(m.group(3))
    return counts


class SessionStatistics(HostTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        capture = write_capture(cls.host.path("stats.pcap"), STATS_CAPTURE)
        out = cls.host.tshark("-r", capture, "-q", "-z", "simplekestrune,tree").stdout
        cls.counts = parse_stats_tree(out)

    def test_counts_by_packet_type_and_codec(self):
        c = self.counts
        self.assertEqual(c["Packet Types"], 11)
        self.assertEqual(c["Packet Types/VoicePacket"], 8)
        self.assertEqual(c["Packet Types/DTMFPacket"], 2)
        self.assertEqual(c["Packet Types/Unknown (7)"], 1)
        self.assertEqual(c["Codecs/G729"], 8)
        self.assertEqual(c["Codecs/G711Mulaw"], 3)

    def test_sequence_analysis_per_session(self):
        c = self.counts
        self.assertEqual(c["Sessions/Session 7"], 8)
        self.assertEqual(c["Sessions/Session 7/Missing (sequence gaps)"], 2)
        self.assertEqual(c["Sessions/Session 7/Duplicates"], 1)
        self.assertEqual(c["Sessions/Session 7/Out of order"], 1)
        self.assertEqual(c["Sessions/Session 900"], 3)
        for item in ("Missing (sequence gaps)", "Duplicates", "Out of order"):
            self.assertEqual(c[f"Sessions/Session 900/{item}"], 0)

    def test_statistics_do_not_change_the_packet_output(self):
        capture = self.host.path("stats.pcap")
        plain = self.host.tshark("-r", capture, "-V").stdout
        tapped = self.host.tshark("-r", capture, "-V", "-z", "simplekestrune,tree").stdout
        self.assertTrue(tapped.startswith(plain))


OTHER_PORT = 40000


class Heuristic(HostTestCase):
    CASES = [
        ("valid", packet(1, 1, dport=OTHER_PORT)),
        ("payload size one too big", {"data": header(26, 0, 0, 0, 3, 2, 1, 21) + bytes(20),
                                      "dport": OTHER_PORT}),
        ("payload size one too small", {"data": header(26, 0, 0, 0, 3, 3, 1, 19) + bytes(20),
                                        "dport": OTHER_PORT}),
        ("type 7", packet(4, 1, ptype=7, dport=OTHER_PORT)),
        ("shorter than the header", {"data": bytes.fromhex("0000000000"), "dport": OTHER_PORT}),
        ("empty payload", packet(5, 1, ptype=6, dport=OTHER_PORT, payload=0)),
        ("near miss on the configured port", {"data": header(26, 7, 0, 0, 3, 6, 1, 21) + bytes(20)}),
    ]

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.capture = write_capture(cls.host.path("heur.pcap"), [d for _, d in cls.CASES])

    def decoded(self, *args):
        out = self.host.tshark("-r", self.capture, "-T", "fields", "-e", "_ws.col.Protocol",
                               *args).stdout.splitlines()
        return {label for (label, _), proto in zip(self.CASES, out) if proto == "SimpleKestrune"}

    def test_registered_and_off_by_default(self):
        rows = [l.split("\t") for l in self.host.tshark("-G", "heuristic-decodes").stdout.splitlines()]
        # table, protocol, enabled; from 4.2 on the host adds the default,
        # the short name and the display name.
        ours = [r for r in rows if r[:2] == ["udp", "simplekestrune"]]
        self.assertEqual(len(ours), 1, ours)
        self.assertEqual(ours[0][2], "F")
        if len(ours[0]) > 3:
            self.assertEqual(ours[0][3:], ["F", "simplekestrune_udp", "Simple Kestrune over UDP"])
        self.assertEqual(self.decoded(), {"near miss on the configured port"})

    def test_when_enabled_claims_exactly_the_well_formed_datagrams(self):
        self.assertEqual(self.decoded("--enable-heuristic", "simplekestrune_udp"),
                         {"valid", "empty payload", "near miss on the configured port"})

    def test_claimed_datagrams_get_the_same_dissection(self):
        out = self.host.tshark("-r", self.capture, "--enable-heuristic", "simplekestrune_udp",
                               "-T", "fields", "-e", "_ws.col.Info",
                               "-e", "kestrune.simple_packet.session_id", "-c", "1").stdout
        self.assertEqual(out, " Packet length =26, Packet Type =0\t1\n")


if __name__ == "__main__":
    unittest.main()
