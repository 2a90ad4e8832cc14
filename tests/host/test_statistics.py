# SPDX-License-Identifier: GPL-2.0-or-later
"""Statistics (-z simplekestrune,tree and ,streams), the stream conversation
filter, and the opt-in UDP heuristic."""
import math
import os
import re
import subprocess
import unittest

from harness import HOST_MAJOR_MINOR, Host, HostTestCase, header, write_capture

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
# lap with late packets after the wrap. Each session is one stream, from the
# harness's 192.0.2.10:31000 to 192.0.2.20:4096.
STATS_CAPTURE = [
    packet(7, 254), packet(900, 10, ptype=1),
    packet(7, 255), packet(900, 11, ptype=1),
    packet(7, 0), packet(7, 3), packet(7, 3), packet(900, 12, ptype=7),
    packet(7, 5), packet(7, 4), packet(7, 6), packet(7, 0),
] + session(20, [0, 127], codec=5) + session(21, [0, 128], codec=5) + session(
    263, list(range(255)) + [0, 255, 1, 2, 4, 3], codec=4)

# Per stream (packets, missing, duplicates, out of order), worked out by hand; a number
# less than 128 ahead of the highest so far is a jump forward, else it is late.
EXPECTED_SESSIONS = {
    7: (9, 2, 2, 1),      # 1, 2 never come, 4 comes late; the second 3 and last 0 repeat
    900: (3, 0, 0, 0),
    20: (2, 126, 0, 0),   # 127 ahead: forward, 1..126 missing
    21: (2, 0, 0, 1),     # 128 ahead: late, and 128 was never skipped, so not missing
    263: (261, 0, 0, 2),  # 255 + 6; 255 (before the wrap) and 3 skipped, then both late
}


def stream(session, src="192.0.2.10:31000", dst="192.0.2.20:4096"):
    return f"Streams/{src} \u2192 {dst} session {session}"


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
        out = cls.host.tshark("-r", capture, "-q", "-z", "simplekestrune,tree",
                              "-z", "simplekestrune,streams").stdout
        cls.counts = parse_stats_tree(out)
        cls.rows = parse_stream_table(out)

    def test_counts_by_packet_type_and_codec(self):
        c = self.counts
        self.assertEqual(c["Packet Types"], 277)  # 9 + 3 + 2 + 2 + 261
        self.assertEqual(c["Packet Types/VoicePacket"], 274)  # all but session 900
        self.assertEqual(c["Packet Types/DTMFPacket"], 2)
        self.assertEqual(c["Packet Types/Unknown (7)"], 1)
        self.assertEqual(c["Codecs/G729"], 12)  # sessions 7 and 900
        self.assertEqual(c["Codecs/G711Mulaw"], 4)  # sessions 20 and 21
        self.assertEqual(c["Codecs/G711Alaw"], 261)

    def test_sequence_analysis_per_stream(self):
        self.assertEqual(self.counts["Streams"], len(STATS_CAPTURE))
        self.assertEqual(len(self.rows), len(EXPECTED_SESSIONS))
        for sid, expected in EXPECTED_SESSIONS.items():
            node = stream(sid)
            found = tuple(self.counts[node + item] for item in (
                "", "/Missing (sequence gaps)", "/Duplicates", "/Out of order"))
            self.assertEqual(found, expected, node)
            # The stream table gives the same figures.
            row = self.rows[("192.0.2.10:31000", "192.0.2.20:4096", sid)]
            found = tuple(int(row[c]) for c in ("Packets", "Lost", "Duplicates", "Out of Order"))
            self.assertEqual(found, expected, row)
        self.assertEqual({self.rows[k]["Codec"] for k in self.rows if k[2] in (7, 900)}, {"G729"})

    def test_statistics_do_not_change_the_packet_output(self):
        capture = self.host.path("stats.pcap")
        plain = self.host.tshark("-r", capture, "-V").stdout
        tapped = self.host.tshark("-r", capture, "-V", "-z", "simplekestrune,tree",
                                  "-z", "simplekestrune,streams").stdout
        self.assertTrue(tapped.startswith(plain))


def parse_stream_table(text):
    """{(source, destination, session): {column: text}} from -z simplekestrune,streams."""
    lines = text.splitlines()
    start = lines.index("SimpleKestrune Streams:")
    columns = [c.strip() for c in lines[start + 2].split("|")[:-1]]
    rows = {}
    for line in lines[start + 4:]:
        if line.startswith("====="):
            break
        cells = dict(zip(columns, (c.strip() for c in line.split("|")[:-1])))
        rows[(cells["Source"], cells["Destination"], int(cells["Session ID"]))] = cells
    return rows


class Streams(HostTestCase):
    """Both directions of a call, or two gateways on one session ID, are
    separate streams, each numbered on its own: nothing lost or reordered."""

    def analyse(self, name, *generator_args):
        capture = self.host.path(name)
        subprocess.run([os.environ["KESTRUNE_GENERATOR"], "--output", capture,
                        *generator_args], check=True)
        os.chmod(capture, 0o644)
        out = self.host.tshark("-r", capture, "-q", "-z", "simplekestrune,tree",
                               "-z", "simplekestrune,streams").stdout
        return parse_stats_tree(out), parse_stream_table(out)

    def assert_clean_streams(self, counts, table, expected):
        self.assertEqual(set(table), set(expected))
        for (src, dst, session), packets in expected.items():
            node = stream(session, src, dst)
            self.assertEqual(counts[node], packets)
            for item in ("Missing (sequence gaps)", "Duplicates", "Out of order"):
                self.assertEqual(counts[f"{node}/{item}"], 0, f"{node}/{item}")
            row = table[(src, dst, session)]
            self.assertEqual(row["Packets"], str(packets))
            self.assertEqual((row["Lost"], row["Duplicates"], row["Out of Order"]),
                             ("0", "0", "0"), row)

    def test_two_way_call(self):
        counts, table = self.analyse("call.pcap", "--calls", "1", "--session", "42",
                                     "--two-way", "--count", "80")
        self.assert_clean_streams(counts, table, {
            ("192.0.2.10:4096", "192.0.2.20:31000", 42): 40,
            ("192.0.2.20:31000", "192.0.2.10:4096", 42): 40})

    def test_two_gateways_on_one_session_id(self):
        counts, table = self.analyse("gateways.pcap", "--calls", "1", "--gateways", "2",
                                     "--session", "9", "--count", "60")
        self.assert_clean_streams(counts, table, {
            ("192.0.2.10:4096", "192.0.2.20:31000", 9): 30,
            ("192.0.2.11:4096", "192.0.2.20:31000", 9): 30})


def voice(session, sequence, time, codec=5, payload=160, **endpoints):
    return dict(packet(session, sequence, codec=codec, payload=payload), time=time, **endpoints)


# Stream 1 is G.711 mu-law: 160 bytes = 20 ms of media per packet. Stream 2
# uses two codecs without a fixed rate; stream 3 has a single packet; stream 4
# is scored until its last packet turns to a codec without a score.
TIMING_CAPTURE = [
    voice(1, 10, 0.000),                                  # frame 1
    voice(2, 0, 0.001, codec=6, payload=24),              # frame 2
    voice(1, 11, 0.020),
    voice(1, 12, 0.045),
    voice(2, 1, 0.050, codec=13, payload=24),             # frame 5
    voice(1, 14, 0.080),                                  # frame 6: 13 skipped
    voice(3, 0, 0.085, codec=3, payload=20),
    voice(1, 13, 0.090),                                  # late
    voice(1, 15, 0.100),
    voice(1, 18, 0.160),                                  # frame 10: 16, 17 lost
    voice(4, 0, 0.200), voice(4, 1, 0.220), voice(4, 2, 0.240, codec=6, payload=24),
]


class StreamTiming(HostTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        capture = write_capture(cls.host.path("timing.pcap"), TIMING_CAPTURE)
        out = cls.host.tshark("-r", capture, "-q", "-z", "simplekestrune,streams").stdout
        cls.rows = {session: row for (_, _, session), row in parse_stream_table(out).items()}

    def test_jitter_and_delta_of_a_voice_stream(self):
        # RFC 3550: D = arrival difference - media time difference (ms),
        # J += (|D| - J) / 16, from the previous packet in arrival order;
        # lost packets count as 20 ms of media like the others.
        #   11 @20: D = 20 - 20 = 0                  J = 0
        #   12 @45: D = 25 - 20 = 5                  J = 5/16 = 0.3125
        #   14 @80: D = 35 - 40 = -5                 J = 0.3125 + 4.6875/16 = 0.60546875
        #   13 @90: D = 10 - (-20) = 30              J = 0.60546875 + 29.39453125/16
        #                                              = 2.442626953125
        #   15 @100: D = 10 - 40 = -30               J = 2.442626953125 + 27.557373046875/16
        #                                              = 4.164962768554688
        #   18 @160: D = 60 - 60 = 0                 J = 4.164962768554688 * 15/16
        #                                              = 3.904652595520020
        # Mean of the six J: 11.430211067199708 / 6 = 1.905; max 4.165.
        # Largest arrival gap: 60 ms, before 18 (frame 10). 13 came late, so
        # only 16 and 17 are lost, of 10..18 = 9 expected: 22.2%.
        row = self.rows[1]
        self.assertAlmostEqual(float(row["Mean Jitter (ms)"]), 1.905, places=3)
        self.assertAlmostEqual(float(row["Max Jitter (ms)"]), 4.165, places=3)
        self.assertAlmostEqual(float(row["Max Delta (ms)"]), 60.0, places=3)
        self.assertEqual(row["Max Delta Frame"], "10")
        self.assertEqual((row["Packets"], row["Lost"], row["Lost (%)"], row["Out of Order"]),
                         ("7", "2", "22.2", "1"))
        self.assertEqual((row["Codec"], row["Start (s)"], row["Duration (s)"]),
                         ("G711Mulaw", "0.000000", "0.160000"))

    def test_quality_score_with_the_preferences(self):
        # Stream 1 through a 50 ms buffer: packet n is due 20 (n - 10) + 50 ms
        # after the first; all come in time (13 at 90, due 110), 16 and 17 are
        # lost: Ppl = 2/9 = 22.2%. Slots 10..18 played but the last two before
        # 18: p = 1/6, q = 1/2, BurstR = 1.5. d = 50 + 20 = 70, Id = 1.68.
        # Ie,eff = 95 * 22.22 / (22.22 / 1.5 + 25.1) = 52.89: R = 38.63, MOS 2.00.
        row = self.rows[1]
        self.assertEqual((row["Late"], row["R Factor"], row["MOS"]), ("0", "38.6", "2.00"))
        # A 20 ms buffer: 13 (due 80) comes late. Ppl = 3/9; p = 2/5, q = 2/3,
        # BurstR = 0.9375; d = 40: R = 93.2 - 0.96 - 52.21 = 40.03, MOS 2.07.
        # A one-way network delay of 200 ms with the default buffer: d = 270,
        # Id = 6.48 + 0.11 * 92.7: R = 23.63, MOS 1.37.
        # The calls table scores each direction with the same preferences.
        for prefs, expected in ((["jitter_buffer:20"], ("1", "40.0", "2.07")),
                                (["network_delay:200"], ("0", "23.6", "1.37"))):
            args = [a for p in prefs for a in ("-o", "simplekestrune." + p)]
            out = self.host.tshark("-r", self.host.path("timing.pcap"), "-q", *args,
                                   "-z", "simplekestrune,streams",
                                   "-z", "simplekestrune,calls").stdout
            row = parse_stream_table(out)[("192.0.2.10:31000", "192.0.2.20:4096", 1)]
            self.assertEqual((row["Late"], row["R Factor"], row["MOS"]), expected, prefs)
            call = next(c for c in parse_table(out, "SimpleKestrune Calls")
                        if c["Session ID"] == "1")
            self.assertEqual(call["A→B MOS"], expected[2], prefs)

    def test_cells_without_a_fixed_rate_or_a_second_packet_stay_empty(self):
        mixed, single = self.rows[2], self.rows[3]
        self.assertEqual((mixed["Codec"], mixed["Max Delta (ms)"], mixed["Max Delta Frame"]),
                         ("mixed", "49.000", "5"))
        self.assertNotIn("Mean Jitter (ms)", mixed)
        self.assertEqual((single["Codec"], single["Packets"], single["Start (s)"]),
                         ("G729", "1", "0.085000"))
        self.assertNotIn("Max Delta (ms)", single)
        # The score of the first two packets must not outlive the codec change.
        scored_then_not = self.rows[4]
        self.assertEqual((scored_then_not["Codec"], scored_then_not["Late"]), ("mixed", "0"))
        self.assertNotIn("R Factor", scored_then_not)


# One session ID (9) in six streams: two gateways, both directions, IPv4 and
# IPv6, plus another session on the first gateway and a datagram on another
# port.
FILTER_CAPTURE = [
    packet(9, 1, dport=4096) | {"src": "192.0.2.10", "dst": "192.0.2.20", "sport": 30000},
    packet(9, 1, dport=30000) | {"src": "192.0.2.20", "dst": "192.0.2.10", "sport": 4096},
    packet(9, 5, dport=4096) | {"src": "192.0.2.11", "dst": "192.0.2.20", "sport": 30000},
    packet(10, 1, dport=4096) | {"src": "192.0.2.10", "dst": "192.0.2.20", "sport": 30000},
    packet(9, 1, dport=4096) | {"src": "2001:db8::10", "dst": "2001:db8::20", "sport": 30000},
    packet(9, 1, dport=30000) | {"src": "2001:db8::20", "dst": "2001:db8::10", "sport": 4096},
    {"data": b"not ours", "dport": 7001},
] * 2


class StreamFilter(unittest.TestCase):
    """What Conversation Filter › "SimpleKestrune stream" builds selects,
    in tshark -Y, exactly the packets of the selected packet's stream."""

    def test_filter_selects_exactly_the_stream(self):
        host = Host(extra_modules=[os.environ["KESTRUNE_FILTER_PROBE"]])
        self.addCleanup(host.close)
        capture = write_capture(host.path("filter.pcap"), FILTER_CAPTURE)
        # -V: the GUI builds the selected packet's details to show them.
        probe = host.tshark("-r", capture, "-V", env={"KESTRUNE_PRINT_STREAM_FILTERS": "1"})
        built = dict(re.findall(r"^(\d+)\t(.*)$", probe.stdout, re.M))
        self.assertEqual(built["7"], "-")
        # A tree built only for a tap (not shown) leaves nothing behind.
        unseen = host.tshark("-r", capture, "-q", env={"KESTRUNE_PRINT_STREAM_FILTERS": "1"})
        self.assertEqual(set(re.findall(r"^\d+\t(.*)$", unseen.stdout, re.M)), {"-"})
        # The streams as the host's own fields tell them apart.
        keys = host.fields(capture, ["frame.number", "ip.src", "ipv6.src", "ip.dst", "ipv6.dst",
                                     "udp.srcport", "udp.dstport",
                                     "kestrune.simple_packet.session_id"])
        streams = {}
        for frame, *key in keys:
            if key[-1]:
                streams.setdefault(tuple(key), []).append(frame)
        self.assertEqual(len(streams), 6)
        for frames in streams.values():
            selected = host.tshark("-r", capture, "-Y", built[frames[0]], "-T", "fields",
                                   "-e", "frame.number").stdout.split()
            self.assertEqual(selected, frames, built[frames[0]])


def parse_table(text, title):
    """[{column: text}] of the host's table `title`, as tshark prints it."""
    lines = text.splitlines()
    start = lines.index(title + ":")
    columns = [c.strip() for c in lines[start + 2].split("|")[:-1]]
    rows = []
    for line in lines[start + 4:]:
        if line.startswith("====="):
            break
        rows.append(dict(zip(columns, (c.strip() for c in line.split("|")[:-1]))))
    return rows


A, B, C = "192.0.2.10", "192.0.2.20", "192.0.2.11"


def leg(src, dst, sport, session, sequence, time, ptype=0, codec=5, payload=160):
    dport = 31000 if sport == 4096 else 4096
    return dict(packet(session, sequence, ptype=ptype, codec=codec, dport=dport, payload=payload),
                time=time, src=src, dst=dst, sport=sport)


# Session 5 both ways between A:31000 and B:4096, B answering second and
# in another codec; session 5 also from C:31000 to B:4096, one way; session 6
# from B:4096 to A:31000 is all DTMF.
CALLS_CAPTURE = [
    leg(A, B, 31000, 5, 0, 0.000),
    leg(C, B, 31000, 5, 0, 0.005),
    leg(B, A, 4096, 5, 0, 0.010, codec=3, payload=20),
    leg(A, B, 31000, 5, 1, 0.020),
    leg(B, A, 4096, 6, 0, 0.025, ptype=1, payload=4),
    leg(C, B, 31000, 5, 2, 0.045),                    # 1 lost
    leg(B, A, 4096, 5, 1, 0.050, codec=3, payload=20),
    leg(B, A, 4096, 6, 1, 0.065, ptype=1, payload=4),
]


class Calls(HostTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.capture = write_capture(cls.host.path("calls.pcap"), CALLS_CAPTURE)
        out = cls.host.tshark("-r", cls.capture, "-q", "-z", "simplekestrune,calls").stdout
        cls.calls = {(r["Endpoint A"], r["Endpoint B"], r["Session ID"]): r
                     for r in parse_table(out, "SimpleKestrune Calls")}

    def test_pairing_by_session_and_endpoints(self):
        self.assertEqual(set(self.calls), {(f"{A}:31000", f"{B}:4096", "5"),
                                           (f"{C}:31000", f"{B}:4096", "5"),
                                           (f"{B}:4096", f"{A}:31000", "6")})
        two_way = self.calls[(f"{A}:31000", f"{B}:4096", "5")]
        self.assertEqual([two_way[c] for c in ("A→B Codec", "A→B Packets", "B→A Codec",
                                                "B→A Packets", "One-way")],
                         ["G711Mulaw", "2", "G729", "2", "no"])
        self.assertEqual((two_way["Start (s)"], two_way["Duration (s)"]), ("0.000000", "0.050000"))
        self.assertEqual((two_way["A→B MOS"], two_way["B→A MOS"]), ("4.37", "4.04"))
        one_way = self.calls[(f"{C}:31000", f"{B}:4096", "5")]
        self.assertEqual([one_way[c] for c in ("A→B Packets", "A→B Lost (%)", "B→A Codec",
                                                "B→A Packets", "B→A MOS", "One-way")],
                         ["2", "33.3", "", "0", "", "yes"])

    def test_a_direction_without_voice_has_no_score(self):
        dtmf = self.calls[(f"{B}:4096", f"{A}:31000", "6")]
        self.assertEqual([dtmf[c] for c in ("A→B Packets", "A→B Max Jitter (ms)", "A→B MOS",
                                             "One-way")], ["2", "", "", "yes"])

    def test_generated_two_way_call(self):
        capture = self.host.path("generated.pcap")
        subprocess.run([os.environ["KESTRUNE_GENERATOR"], "--output", capture, "--calls", "2",
                        "--session", "42", "--two-way", "--count", "400"], check=True)
        os.chmod(capture, 0o644)
        out = self.host.tshark("-r", capture, "-q", "-z", "simplekestrune,calls").stdout
        rows = parse_table(out, "SimpleKestrune Calls")
        # Every cell of a clean call is known: 0 is a value, not an empty cell.
        # Its 2 s are less than half a score interval: no worst interval.
        clean = ["100", "0.0", "0.000", "4.37"]
        self.assertEqual([list(row.values()) for row in rows], [
            ["192.0.2.10:4096", f"192.0.2.20:{port}", str(session), start, "1.985000",
             codec, *clean, codec, *clean, "no", "", "", "0.0", "0.0"]
            for port, session, start, codec in ((31000, 42, "0.000000", "G711Mulaw"),
                                                (31002, 43, "0.010000", "G711Alaw"))])


def level_db(*magnitudes):
    """The level in dBov of samples that take these magnitudes equally often."""
    mean_square = sum(m * m for m in magnitudes) / len(magnitudes)
    return 10 * math.log10(mean_square / 32768 ** 2) if mean_square else -99.0


class AudioLevels(HostTestCase):
    """Two G.711 calls (mu-law, then A-law), each sending a 1 kHz tone of
    -20 dBov one way and digital silence back; and the same calls with
    the tone at twice full scale."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.silent = cls.generated("silent.pcap", "--silent-direction", "B", "--tone", "-20")
        cls.clipping = cls.generated("clipping.pcap", "--clipping-direction", "A")

    @classmethod
    def generated(cls, name, *options):
        capture = cls.host.path(name)
        subprocess.run([os.environ["KESTRUNE_GENERATOR"], "--output", capture, "--calls", "2",
                        "--two-way", "--count", "2000", *options], check=True)
        os.chmod(capture, 0o644)
        return capture

    def tables(self, capture, *options):
        out = self.host.tshark("-r", capture, "-q", *options, "-z", "simplekestrune,streams",
                               "-z", "simplekestrune,calls").stdout
        return parse_table(out, "SimpleKestrune Streams"), parse_table(out, "SimpleKestrune Calls")

    def test_a_silent_direction_is_one_way_audio(self):
        streams, calls = self.tables(self.silent)
        self.assertEqual([(c["One-way"], c["A→B Silent (%)"], c["B→A Silent (%)"]) for c in calls],
                         [("audio", "0.0", "100.0")] * 2)
        # The tone's samples fall a sixteenth of a period off the zero
        # crossings, at 0.3827 and 0.9239 of its 4634 peak: 1773 and 4281,
        # which G.711 gives back as 1756 and 4348 (mu-law), 1760 and 4224
        # (A-law). Silence is code 0xFF, 0, in mu-law; A-law has no zero, its
        # quietest code is 8.
        worked = [level_db(1756, 4348), -99.0, level_db(1760, 4224), level_db(8)]
        shown = [float(s["Level (dBov)"]) for s in streams]
        for got, want in zip(shown, worked):
            self.assertAlmostEqual(got, want, delta=0.051)
        self.assertEqual(len(shown), 4)
        self.assertEqual([(s["Silent (%)"], s["Clipped (%)"]) for s in streams],
                         [("0.0", "0.00"), ("100.0", "0.00")] * 2)

    def test_preferences(self):
        # A threshold above the tone makes both directions silent: no longer
        # one-way; with the levels off, nothing is decoded.
        streams, calls = self.tables(self.silent, "-o", "simplekestrune.silence_threshold:-10")
        self.assertEqual([(c["One-way"], c["A→B Silent (%)"]) for c in calls], [("no", "100.0")] * 2)
        streams, calls = self.tables(self.silent, "-o", "simplekestrune.audio_levels:FALSE")
        self.assertEqual({(s["Level (dBov)"], s["Silent (%)"]) for s in streams}, {("", "")})
        self.assertEqual([(c["One-way"], c["B→A Silent (%)"]) for c in calls], [("no", "")] * 2)

    def test_a_tone_at_twice_full_scale_clips_half_its_samples(self):
        streams, calls = self.tables(self.clipping)
        # The samples near the peaks go beyond full scale: the codec's
        # loudest code, 32124 in mu-law and 32256 in A-law; the others,
        # 2 * 32768 * 0.3827 = 25080, come back as 24956 and 25088.
        # B carries the random codes of the other calls: about 2 in 256 at
        # the top.
        self.assertEqual([s["Clipped (%)"] for s in streams[::2]], ["50.00", "50.00"])
        self.assertTrue(all(float(s["Clipped (%)"]) < 2 for s in streams[1::2]))
        self.assertAlmostEqual(float(streams[0]["Level (dBov)"]), level_db(32124, 24956),
                               delta=0.051)
        self.assertAlmostEqual(float(streams[2]["Level (dBov)"]), level_db(32256, 25088),
                               delta=0.051)
        self.assertEqual([c["One-way"] for c in calls], ["no", "no"])

    def test_nothing_known_is_an_empty_cell(self):
        def g711(session, sequence, code, codec=5, size=160, **extra):
            return {"data": header(6 + size, 0, 0, 0, codec, session, sequence, size)
                    + bytes([code]) * size, "time": sequence * 0.02, **extra}
        capture = write_capture(self.host.path("levels.pcap"), [
            # G.723 and only DTMF: nothing decoded.
            *[packet(1, n, codec=1, payload=24) for n in range(3)],
            *[packet(2, n, ptype=1, codec=5, payload=4) for n in range(3)],
            # mu-law silence (0xFF), and a lone packet cut short by the
            # snapshot length.
            g711(3, 0, 0xFF), g711(3, 1, 0xFF),
            g711(4, 0, 0xFF, snaplen=6 + 80),
            # G.729 of 15 bytes: not a whole number of 10-byte frames.
            *[packet(5, n, codec=3, payload=15) for n in range(3)],
            # mu-law at its loudest (code 0x80), then A-law silence (0xD5),
            # then a packet cut short, which does not count.
            g711(6, 0, 0x80), g711(6, 1, 0xD5, codec=4), g711(6, 2, 0x80, snaplen=20),
            # Sound, then silence 250 ms late for the 50 ms buffer: not heard.
            g711(7, 0, 0x80), g711(7, 1, 0x80), {**g711(7, 2, 0xFF), "time": 0.3},
        ])
        streams, calls = self.tables(capture)
        self.assertEqual({c["Session ID"]: c["A→B Silent (%)"] for c in calls},
                         {"1": "", "2": "", "3": "100.0", "4": "", "5": "", "6": "50.0",
                          "7": "0.0"})
        # tshark ends a row at its first empty cell: only streams with a score
        # get as far as the level (not the mixed codecs of session 6).
        cells = {s["Session ID"]: [s.get(c) for c in ("Level (dBov)", "Silent (%)", "Clipped (%)")]
                 for s in streams}
        self.assertEqual(cells["1"], ["", "", ""])
        self.assertEqual(cells["3"], ["-99.0", "100.0", "0.00"])
        self.assertEqual(cells["5"], ["", "", ""])


class QualityOverTime(HostTestCase):
    """Five minutes of a two-way call with 20% loss and 40 ms of jitter from
    120 s to 160 s, scored over 10 s intervals."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.capture = cls.host.path("impaired.pcap")
        subprocess.run([os.environ["KESTRUNE_GENERATOR"], "--output", cls.capture, "--calls", "1",
                        "--two-way", "--count", "30000", "--impair", "120:160:20:40",
                        "--seed", "3"], check=True)
        os.chmod(cls.capture, 0o644)
        out = cls.host.tshark("-r", cls.capture, "-q", "-z", "simplekestrune,streams",
                              "-z", "simplekestrune,intervals", "-z", "simplekestrune,calls").stdout
        cls.streams = parse_table(out, "SimpleKestrune Streams")
        cls.intervals = parse_table(out, "SimpleKestrune Intervals")
        cls.calls = parse_table(out, "SimpleKestrune Calls")

    def rows_of(self, stream):
        return [r for r in self.intervals
                if r["Stream"] == f"{stream['Source']} → {stream['Destination']}"]

    def test_the_worst_interval_is_in_the_impaired_window(self):
        self.assertEqual(len(self.streams), 2)
        for s, way in zip(self.streams, ("A→B", "B→A")):
            self.assertLess(float(s["MOS min"]), float(s["MOS"]) - 1, s)
            self.assertTrue(120 <= float(s["MOS min at (s)"]) < 160, s)
            self.assertEqual(self.calls[0][f"{way} MOS min"], s["MOS min"])

    def test_interval_rows_add_up_to_the_stream(self):
        for s in self.streams:
            rows = self.rows_of(s)
            self.assertEqual(len(rows), 30)
            total = {c: sum(int(r[c]) for r in rows) for c in ("Packets", "Expected", "Lost")}
            self.assertEqual(total["Packets"], int(s["Packets"]))
            self.assertEqual(total["Expected"], int(s["Packets"]) + int(s["Lost"]))
            self.assertEqual(total["Lost"], int(s["Lost"]) + int(s["Late"]))
            bad = [r for r in rows if 120 <= float(r["Start (s)"]) < 160]
            self.assertEqual(len(bad), 4)
            self.assertTrue(all(float(r["MOS"]) < 3.1 for r in bad), bad)

    def test_a_field_per_closed_interval_with_the_tables_figures(self):
        fields = self.host.fields(self.capture, ["kestrune.stream", "kestrune.analysis.interval.mos",
                                                 "kestrune.analysis.interval.lost_percent"],
                                  "-Y", "kestrune.analysis.interval")
        for index, s in enumerate(self.streams):
            mine = [f for f in fields if f[0] == str(index)]
            rows = self.rows_of(s)[:-1]  # the last one has no packet after it
            self.assertEqual([(f"{float(f[1]):.2f}", f"{float(f[2]):.1f}") for f in mine],
                             [(r["MOS"], r["Lost (%)"]) for r in rows])
        notes = self.host.tshark("-r", self.capture, "-q", "-z", "expert,note").stdout
        self.assertEqual(notes.count("Interval MOS"), 8)
        self.assertIn("Interval MOS 2.50 (21.0 % lost) from 120.05 s to 130.05 s", notes)

    def test_interval_zero_turns_them_off(self):
        out = self.host.tshark("-r", self.capture, "-q", "-o", "simplekestrune.score_interval:0",
                               "-z", "simplekestrune,streams", "-z", "simplekestrune,intervals",
                               "-z", "expert,note").stdout
        self.assertEqual(parse_table(out, "SimpleKestrune Intervals"), [])
        self.assertEqual([(s["MOS min"], s["MOS min at (s)"])
                          for s in parse_table(out, "SimpleKestrune Streams")], [("", "")] * 2)
        self.assertNotIn("Interval", out.split("SimpleKestrune Intervals")[-1])
        fields = self.host.tshark("-r", self.capture, "-o", "simplekestrune.score_interval:0",
                                  "-Y", "kestrune.analysis.interval").stdout
        self.assertEqual(fields, "")

    def test_intervals_that_say_what_is_known(self):
        # One packet; DTMF only; voice whose clock jumps back in the capture.
        capture = write_capture(self.host.path("odd-intervals.pcap"), [
            leg(A, B, 31000, 1, 0, 0.0),
            leg(B, A, 4096, 2, 0, 0.0, ptype=1, payload=4),
            leg(B, A, 4096, 2, 1, 20.0, ptype=1, payload=4),
            leg(C, B, 31000, 3, 0, 30.0),
            leg(C, B, 31000, 3, 1, 29.0),
            leg(C, B, 31000, 3, 2, 45.0),
        ])
        out = self.host.tshark("-r", capture, "-q", "-z", "simplekestrune,intervals").stdout
        rows = [(r["Session ID"], r["Expected"], r["Packets"], r["MOS"])
                for r in parse_table(out, "SimpleKestrune Intervals")]
        # Session 3's second packet comes a second before its first (the
        # capture's clock stepped back) and its third 15 s after its due
        # time: each a jump the receiver resynchronises on, not a late
        # packet. The third closes the interval of the first two and opens
        # one of its own where it arrived.
        self.assertEqual(rows, [("1", "1", "1", "4.37"), ("2", "1", "1", "no voice"),
                                ("2", "1", "1", "no voice"), ("3", "2", "2", "4.37"),
                                ("3", "1", "1", "4.37")])


class FlowGraph(HostTestCase):
    def test_arrows_at_first_packets_signals_and_gaps(self):
        capture = write_capture(self.host.path("flow.pcap"), CALLS_CAPTURE)
        out = self.host.tshark("-r", capture, "-q", "-z", "flow,simplekestrune,network").stdout
        comments = re.findall(r"\|([A-Z][^|\n]*session \d+, sequence \d+[^|\n]*)$", out, re.M)
        self.assertEqual(comments, [
            "VoicePacket, session 5, sequence 0: first of 2 packets",
            "VoicePacket, session 5, sequence 0: first of 2 packets",
            "VoicePacket, session 5, sequence 0: first of 2 packets",
            "DTMFPacket, session 6, sequence 0: first of 2 packets",
            "VoicePacket, session 5, sequence 2",
            "DTMFPacket, session 6, sequence 1",
        ])
        self.assertIn("1 lost", out)
        self.assertIn("G729 s5: 2 pkts", out)
        # Each arrow from its packet's source to its destination, ports included.
        self.assertEqual(flow_arrows(out), [(f"{A}:31000", f"{B}:4096"), (f"{C}:31000", f"{B}:4096"),
                                            (f"{B}:4096", f"{A}:31000"), (f"{B}:4096", f"{A}:31000"),
                                            (f"{C}:31000", f"{B}:4096"), (f"{B}:4096", f"{A}:31000")])


def flow_arrows(text):
    """(source, destination) of each arrow of tshark's text ladder, as address:port.
    The node names head columns 20 characters wide (over two lines); an arrow
    starts at its left node's column and spans 20 characters a node."""
    lines = text.splitlines()
    at = next(i for i, l in enumerate(lines) if l.startswith("Conv.|"))
    found = sorted((m.start(), m.group()) for l in lines[at:at + 2]
                   for m in re.finditer(r"\d+\.\d+\.\d+\.\d+", l))
    origin, nodes = found[0][0] - 2, [name for _, name in found]
    arrows = []
    for line in lines:
        m = re.search(r"\((\d+)\)\s+(<?-+>?)\s+\((\d+)\)", line)
        if m:
            first = (m.start() - origin) // 20
            left = f"{nodes[first]}:{m.group(1)}"
            right = f"{nodes[first + round((len(m.group(2)) + 1) / 20)]}:{m.group(3)}"
            arrows.append((left, right) if m.group(2).endswith(">") else (right, left))
    return arrows


# A port no host dissector is bound to: 3.4's KIP dissector has 40000.
OTHER_PORT = 40000 if tuple(map(int, HOST_MAJOR_MINOR.split("."))) >= (4, 0) else 40001


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
