# SPDX-License-Identifier: GPL-2.0-or-later
"""Session statistics (-z simplekestrune,tree) and the opt-in UDP heuristic."""
import re
import unittest

from harness import HostTestCase, header, write_capture

F = "kestrune.simple_packet."


def packet(session, sequence, ptype=0, codec=3, dport=4096, payload=20):
    return {"data": header(6 + payload, ptype, 0, 0, codec, session, sequence, payload)
            + bytes(payload), "dport": dport}


def session(session_id, sequence, codec):
    return [packet(session_id, s, codec=codec) for s in sequence]


# Every session goes one way, to the port. Session 7 crosses the wrap with a
# gap (1 and 2 lost), repeats 3, sees 5 before 4, repeats 0; session 900 runs
# alongside in order on the same codec. Sessions 20 and 21 jump by exactly 127
# and 128; session 263 (7 + 256: all 12 bits tell it from 7) runs more than a
# lap with late packets after the wrap.
STATS_CAPTURE = [
    packet(7, 254), packet(900, 10, ptype=1),
    packet(7, 255), packet(900, 11, ptype=1),
    packet(7, 0), packet(7, 3), packet(7, 3), packet(900, 12, ptype=7),
    packet(7, 5), packet(7, 4), packet(7, 6), packet(7, 0),
] + session(20, [0, 127], codec=5) + session(21, [0, 128], codec=5) + session(
    263, list(range(255)) + [0, 255, 1, 2, 4, 3], codec=4)

# (packets, missing, duplicates, out of order), worked out by hand; a number
# less than 128 ahead of the highest so far is a jump forward, else it is late.
EXPECTED_SESSIONS = {
    7: (9, 2, 2, 1),      # 1, 2 never come, 4 comes late; the second 3 and last 0 repeat
    900: (3, 0, 0, 0),
    20: (2, 126, 0, 0),   # 127 ahead: forward, 1..126 missing
    21: (2, 0, 0, 1),     # 128 ahead: late, and 128 was never skipped, so not missing
    263: (261, 0, 0, 2),  # 255 + 6; 255 (before the wrap) and 3 skipped, then both late
}


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
        self.assertEqual(c["Packet Types"], 277)  # 9 + 3 + 2 + 2 + 261
        self.assertEqual(c["Packet Types/VoicePacket"], 274)  # all but session 900
        self.assertEqual(c["Packet Types/DTMFPacket"], 2)
        self.assertEqual(c["Packet Types/Unknown (7)"], 1)
        self.assertEqual(c["Codecs/G729"], 12)  # sessions 7 and 900
        self.assertEqual(c["Codecs/G711Mulaw"], 4)  # sessions 20 and 21
        self.assertEqual(c["Codecs/G711Alaw"], 261)

    def test_sequence_analysis_per_session(self):
        self.assertEqual(self.counts["Sessions"], len(STATS_CAPTURE))
        for sid, expected in EXPECTED_SESSIONS.items():
            node = f"Sessions/Session {sid}"
            found = tuple(self.counts[node + item] for item in (
                "", "/Missing (sequence gaps)", "/Duplicates", "/Out of order"))
            self.assertEqual(found, expected, node)

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
        ("cut inside the header", {**packet(9, 1, dport=OTHER_PORT), "snaplen": 4}),
        ("cut by the snapshot length", {**packet(8, 1, dport=OTHER_PORT), "snaplen": 8}),
    ]

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.capture = write_capture(cls.host.path("heur.pcap"), [d for _, d in cls.CASES])

    def decoded(self, *args, display_filter="simplekestrune"):
        out = self.host.tshark("-r", self.capture, "-Y", display_filter, "-T", "fields",
                               "-e", "frame.number", *args).stdout
        return {self.CASES[int(n) - 1][0] for n in out.split()}

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
        on = ("--enable-heuristic", "simplekestrune_udp")
        self.assertEqual(self.decoded(*on), {"valid", "empty payload", "cut by the snapshot length",
                                             "near miss on the configured port"})
        # Declined before reading past what is there: no malformed or cut-short mark.
        self.assertEqual(self.decoded(*on, display_filter="_ws.malformed"),
                         {"near miss on the configured port"})
        self.assertEqual(self.decoded(*on, display_filter="_ws.short"), {"cut by the snapshot length"})

    def test_claimed_datagrams_get_the_same_dissection(self):
        rows = self.host.fields(self.capture, ["_ws.col.Info", F + "session_id", F + "payload_size"],
                                "--enable-heuristic", "simplekestrune_udp")
        self.assertEqual(rows[0], [" Packet length =26, Packet Type =0", "1", "20"])
        # Decoded as far as captured: the header is there, the payload is not.
        self.assertEqual(rows[-1], [" Packet length =26, Packet Type =0"
                                    "[Packet size limited during capture]", "8", "20"])


if __name__ == "__main__":
    unittest.main()
