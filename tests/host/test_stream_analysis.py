# SPDX-License-Identifier: GPL-2.0-or-later
"""The per-packet stream analysis in the packet list: generated fields,
expert information, the "Analyze streams" preference, and the payload table
by packet type."""
import collections
import os
import subprocess
import unittest

from harness import HostTestCase, header, icmp_unreachable, read_capture, write_capture
from test_statistics import (EXPECTED_SESSIONS, STATS_CAPTURE, TIMING_CAPTURE, packet,
                             parse_stream_table, voice)

A = "kestrune.analysis."
ANALYSIS_FIELDS = ["frame.number", "kestrune.simple_packet.session_id", "kestrune.stream",
                   A + "delta", A + "jitter", A + "expected_sequence", A + "lost"]

# Payload bytes and the media time they carry, by codec number, worked out
# from each codec's bit rate (G.723.1: one 20- or 24-byte frame per 30 ms).
FIXED_RATES = {
    0: (60, 30.0),    # G726_16, 16 kbit/s
    1: (40, 60.0),    # G723Low, two 5.3 kbit/s frames
    2: (48, 60.0),    # G723High, two 6.3 kbit/s frames
    3: (60, 60.0),    # G729, 8 kbit/s
    4: (160, 20.0),   # G711Alaw, 64 kbit/s
    5: (160, 20.0),   # G711Mulaw
    7: (60, 15.0),    # G726_32, 32 kbit/s
    8: (60, 30.0),    # G728, 16 kbit/s
    10: (60, 30.0),   # G727_16
    11: (60, 15.0),   # G727_32
    14: (60, 20.0),   # G727_24_16, at its full 24 kbit/s
    15: (60, 20.0),   # G726_24, 24 kbit/s
}
NO_FIXED_RATE = (6, 9, 12, 13)  # Vocantis_9_6, Vocantis_7_2, Vocantis_4_8, Transparent


def rate_capture():
    """For each codec a stream of four packets: the second arrives exactly one
    packet's media time after the first, the third 16 ms late on top, and the
    last, after one lost, 16 ms late as well."""
    frames = []
    for codec in list(FIXED_RATES) + list(NO_FIXED_RATE):
        size, ms = FIXED_RATES.get(codec, (60, 30.0))
        start = codec * 1.0
        for seq, arrival in ((0, 0), (1, ms), (2, 2 * ms + 16), (4, 4 * ms + 16)):
            frames.append(voice(100 + codec, seq, start + arrival / 1000, codec=codec,
                                payload=size))
    return frames


# The score's figures by codec (Ie, Bpl), as published for each.
IMPAIRMENTS = {0: (50, 4.3), 1: (19, 16.1), 2: (15, 16.1), 3: (11, 19.0), 4: (0, 25.1),
               5: (0, 25.1), 7: (7, 4.3), 8: (7, 4.3), 10: (50, 4.3), 11: (7, 4.3),
               14: (25, 4.3), 15: (25, 4.3)}


# One stream (session 5, G.711 mu-law, 20 ms a packet) with a gap, a late
# packet, a duplicate and a codec change; then a DTMF packet that carries an
# RFC 4733 event (digit 5, end, volume 10, duration 160) in session 9; then
# session 5 goes on in the new codec, with 10 ms packets and a pause of 1.5 s;
# session 6 loses 0 across the wrap of the sequence number, and 0 comes late.
EVENTS_CAPTURE = [
    voice(5, 0, 0.000), voice(5, 1, 0.020), voice(5, 2, 0.041),
    voice(5, 4, 0.060),              # 3 skipped
    voice(5, 3, 0.065),              # 3 arrives late
    voice(5, 4, 0.070),              # 4 again
    voice(5, 5, 0.080, codec=4),     # G711Alaw from here on
    {"data": header(10, 1, 0, 0, 5, 9, 1, 4) + bytes([5, 0x8A, 0, 160]), "time": 0.09},
    voice(5, 6, 0.100, codec=4), voice(5, 7, 0.110, codec=4, payload=80),
    voice(5, 8, 1.620, codec=4, payload=80),
    voice(6, 254, 1.700), voice(6, 255, 1.720), voice(6, 1, 1.740), voice(6, 0, 1.745),
]


def without_stream_analysis(text):
    """-V output less the "Stream Analysis" subtrees."""
    kept, inside = [], False
    for line in text.split("\n"):
        inside = line == "    [Stream Analysis]" or (inside and line.startswith(" " * 8))
        if not inside:
            kept.append(line)
    return "\n".join(kept)


class PerPacketAnalysis(HostTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.events = write_capture(cls.host.path("events.pcap"), EVENTS_CAPTURE)

    def analysis(self, capture, *args):
        return [[cell or None for cell in row]
                for row in self.host.fields(capture, ANALYSIS_FIELDS, *args)]

    def test_values_worked_by_hand_and_the_same_in_two_passes(self):
        # D = arrival difference - media time difference, J += (|D| - J) / 16:
        #   1 @20: D = 0                      J = 0
        #   2 @41: D = 21 - 20 = 1            J = 1/16 = 0.0625
        #   4 @60: D = 19 - 40 = -21          J = 0.0625 + 20.9375/16 = 1.37109375
        #   3 @65: D = 5 - (-20) = 25         J = 1.37109375 + 23.62890625/16 = 2.847900390625
        #   4 @70: D = 5 - 20 = -15           J = 2.847900390625 + 12.152099609375/16
        #                                       = 3.607406616210938
        #   5 @80: D = 10 - 20 = -10          J = 3.607406616210938 + 6.392593383789062/16
        #                                       = 4.006943702697754
        #   6 @100: D = 20 - 20 = 0           J = 4.006943702697754 * 15/16
        #                                       = 3.756509721279144
        #   7 @110 (10 ms from here on): D = 10 - 20 = -10
        #                                     J = 3.756509721279144 + 6.243490278720856/16
        #                                       = 4.146727863699198
        #   8 @1620: D = 1510 - 10 = 1500     J = 4.146727863699198 + 1495.8532721363008/16
        #                                       = 97.63755737221700
        # Session 6: 254 @1700; 255 @1720: D = 0; 1 @1740 (0 skipped): D = 20 - 40,
        # J = 1.25; 0 @1745: D = 5 - (-20) = 25, J = 1.25 + 23.75/16 = 2.734375.
        # Expected: the highest number so far plus one, shown where it differs.
        expected = [
            ("1", "5", "0", None, None, None, None),
            ("2", "5", "0", 20.0, 0.0, None, None),
            ("3", "5", "0", 21.0, 0.0625, None, None),
            ("4", "5", "0", 19.0, 1.37109375, "3", "1"),
            ("5", "5", "0", 5.0, 2.847900390625, "5", None),
            ("6", "5", "0", 5.0, 3.607406616210938, "5", None),
            ("7", "5", "0", 10.0, 4.006943702697754, None, None),
            ("8", "9", "1", None, None, None, None),   # DTMF: no media time
            ("9", "5", "0", 20.0, 3.756509721279144, None, None),
            ("10", "5", "0", 10.0, 4.146727863699198, None, None),
            ("11", "5", "0", 1510.0, 97.637557372217, None, None),
            ("12", "6", "2", None, None, None, None),
            ("13", "6", "2", 20.0, 0.0, None, None),
            ("14", "6", "2", 20.0, 1.25, "0", "1"),
            ("15", "6", "2", 5.0, 2.734375, "2", None),
        ]
        one_pass = self.analysis(self.events)
        for row, want in zip(one_pass, expected):
            self.assertEqual(tuple(row[:3]) + tuple(row[5:]), want[:3] + want[5:], row)
            for cell, value in zip(row[3:5], want[3:5]):
                if value is None:
                    self.assertIsNone(cell, row)
                else:
                    self.assertAlmostEqual(float(cell), value, places=6, msg=row)
        self.assertEqual(len(one_pass), len(expected))
        self.assertEqual(self.analysis(self.events, "-2"), one_pass)

    def test_media_time_and_score_of_every_codec(self):
        capture = write_capture(self.host.path("rates.pcap"), rate_capture())
        jitter = collections.defaultdict(list)
        for row in self.analysis(capture):
            jitter[int(row[1]) - 100].append(row[4])
        for codec in FIXED_RATES:
            # On time, then 16 ms late, then as late: J = 0, 16/16, 1 * 15/16.
            self.assertEqual([None, 0.0, 1.0, 0.9375], [j and float(j) for j in jitter[codec]],
                             codec)
        for codec in NO_FIXED_RATE:
            self.assertEqual([None] * 4, jitter[codec], codec)
        # Slots 0..4 played but 3: Ppl = 20, p = 1/3, q = 1, BurstR = 0.75, none
        # late in the 50 ms buffer; d = 50 ms + the packet length.
        out = self.host.tshark("-r", capture, "-q", "-z", "simplekestrune,streams").stdout
        table = {sid - 100: row for (_, _, sid), row in parse_stream_table(out).items()}
        for codec, (ie, bpl) in IMPAIRMENTS.items():
            d = 50 + FIXED_RATES[codec][1]
            r = 93.2 - 0.024 * d - (ie + (95 - ie) * 20 / (20 / 0.75 + bpl))
            mos = 1 + 0.035 * r + r * (r - 60) * (100 - r) * 7e-6
            self.assertEqual((table[codec]["Late"], table[codec]["R Factor"],
                              table[codec]["MOS"]), ("0", f"{r:.1f}", f"{mos:.2f}"), codec)
        for codec in NO_FIXED_RATE:
            self.assertNotIn("R Factor", table[codec], codec)

    def test_expert_information_and_the_preference(self):
        out = self.host.tshark("-r", self.events, "-q", "-z", "expert").stdout
        for line in ("Sequence     SimpleKestrune  1 packet missing before this one",
                     "Sequence     SimpleKestrune  Out of order: sequence number 3 after 4 "
                     "(no longer missing)",
                     "Sequence     SimpleKestrune  Out of order: sequence number 0 after 1 "
                     "(no longer missing)",
                     "Sequence     SimpleKestrune  Duplicate: sequence number 4 was already "
                     "seen in this stream",
                     "Sequence     SimpleKestrune  Codec changed from G711Mulaw to G711Alaw",
                     # The pause: sequence numbers going on, arrivals 1.5 s on.
                     "Sequence     SimpleKestrune  Playout clock resynchronised by +1500.0 ms "
                     "(a jump in sequence or media time)"):
            self.assertIn(line, out)
        self.assertEqual(out.count("Warns (4)") + out.count("Notes (3)"), 2, out)
        for expert, frames in (("sequence_gap", [4, 14]), ("out_of_order", [5, 15]),
                               ("duplicate", [6]), ("codec_change", [7])):
            found = self.host.fields(self.events, ["frame.number"], "-Y", A + expert)
            self.assertEqual(found, [[str(f)] for f in frames], expert)

        off = ("-o", "simplekestrune.analyze_streams:FALSE")
        self.assertEqual([row[2:] for row in self.analysis(self.events, *off)],
                         [[None] * 5] * len(EVENTS_CAPTURE))
        self.assertNotIn("SimpleKestrune", self.host.tshark(
            "-r", self.events, "-q", "-z", "expert", *off).stdout)
        # The rest of the tree does not change.
        plain = self.host.tshark("-r", self.events, "-V", *off).stdout
        analysed = self.host.tshark("-r", self.events, "-V").stdout
        self.assertEqual(plain, without_stream_analysis(analysed))

    def test_a_datagram_quoted_in_an_icmp_error_is_not_part_of_its_stream(self):
        # Between packets 3 and 4 of session 5, an ICMP error quotes its
        # packet 100: neither a gap nor a late packet, and no jitter.
        quoted = voice(5, 100, 0)["data"]
        capture = write_capture(self.host.path("icmp.pcap"), [
            voice(5, 0, 0.0), voice(5, 1, 0.02), voice(5, 2, 0.04), voice(5, 3, 0.06),
            dict(frame=icmp_unreachable(quoted), time=0.07), voice(5, 4, 0.08)])
        rows = self.analysis(capture)
        self.assertEqual(rows[4][2:], [None] * 5)
        self.assertEqual(rows[5][2:], ["0", "20", "0", None, None])
        self.assertNotIn("SimpleKestrune", self.host.tshark(
            "-r", capture, "-q", "-z", "expert").stdout)

    def test_decode_as_by_packet_type_reaches_a_host_dissector(self):
        fields = ["kestrune.simple_packet.simple_packet_type", "rtpevent.event_id", "data.len"]
        default = self.host.fields(self.events, fields)
        self.assertEqual(default[7], ["1", "", "4"])
        chosen = self.host.fields(self.events, fields, "-d", "kestrune.packet_type==1,rtpevent")
        self.assertEqual(chosen[7], ["1", "5", ""])
        self.assertEqual(chosen[0], ["0", "", "160"])   # other types still go to data


# The host's severities (epan/proto.h): what its status bar and Expert
# column show.
NOTE, WARN, ERROR = 0x00400000, 0x00600000, 0x00800000


class ExpertInformationNobodyReads(HostTestCase):
    """Without a tree the expert information is seen only as the capture's
    highest severity (the GUI's status bar), the Expert column and the expert
    tap: whatever is skipped there must leave all three as they were."""

    with_probe = True

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.events = write_capture(cls.host.path("events.pcap"), EVENTS_CAPTURE)

    def highest(self, *args):
        out = self.host.tshark("-r", self.events, *args,
                               env={"KESTRUNE_PRINT_HIGHEST_SEVERITY": "1"}).stdout
        return [int(line.split("\t")[2]) for line in out.splitlines()
                if line.startswith("severity\t")]

    def test_highest_severity_after_each_packet_with_and_without_a_tree(self):
        # Frame 4 a gap, 5 out of order, 6 a duplicate, 7 a codec change, 14
        # a gap, 15 out of order. The user raised the codec change to Error
        # in the host's severity table: entries less severe than the highest
        # so far may be skipped, but only by the severity the user chose.
        raised = ("-o", 'uat:expert_severity:"kestrune.analysis.codec_change","Error"')
        want = [0, 0, 0, WARN, WARN, WARN] + [ERROR] * 9
        for tree in ((), ("-Y", "frame"), ("-V",), ("-q", "-z", "expert")):
            self.assertEqual(self.highest(*raised, *tree), want, tree)
        self.assertEqual(self.highest(), [0, 0, 0] + [WARN] * 12)

    def test_expert_column_without_a_tree(self):
        # Each entry sets the column in turn; a duplicate after a gap still
        # shows as a Note, and so does the receiver's resynchronisation after
        # the pause (frame 11).
        column = ("-o", 'gui.column.format:"No.","%m","Expert","%a"')
        rows = [line.split() for line in self.host.tshark("-r", self.events, *column)
                .stdout.splitlines()]
        self.assertEqual({int(r[0]): r[1] for r in rows if len(r) > 1},
                         {4: "Warning", 5: "Warning", 6: "Note", 7: "Note", 11: "Note",
                          14: "Warning", 15: "Warning"})

    def test_filters_and_texts_that_name_the_entries(self):
        # A filter on an entry, in summary mode: the gap of frame 14 raised
        # no severity the capture had not seen, and is listed all the same.
        out = self.host.tshark("-r", self.events, "-Y", A + "sequence_gap").stdout
        self.assertEqual([int(line.split()[0]) for line in out.splitlines()], [4, 14])
        # 254 late while the highest number so far is 255.
        late = write_capture(self.host.path("late.pcap"),
                             [voice(8, 253, 0), voice(8, 255, 0.04), voice(8, 254, 0.05)])
        self.assertIn("Out of order: sequence number 254 after 255 (no longer missing)",
                      self.host.tshark("-r", late, "-q", "-z", "expert").stdout)


class ExpertCountsAgreeWithTheTables(HostTestCase):
    """One analysis, several views: what the packets say adds up to the stream
    table's and the statistics tree's counts."""

    def test_counts_per_stream(self):
        capture = write_capture(self.host.path("stats.pcap"), STATS_CAPTURE)
        out = self.host.tshark("-r", capture, "-q", "-z", "simplekestrune,streams").stdout
        table = {sid: row for (_, _, sid), row in parse_stream_table(out).items()}
        rows = self.host.fields(capture, ["kestrune.simple_packet.session_id", A + "lost",
                                          "_ws.expert.message"], "-E", "occurrence=a",
                                "-E", "aggregator=|")
        seen = collections.defaultdict(collections.Counter)
        for sid, lost, messages in rows:
            counts = seen[int(sid)]
            counts["packets"] += 1
            counts["lost"] += int(lost or 0)
            for message in messages.split("|"):
                counts["late"] += message.startswith("Out of order")
                counts["refilled"] += message.endswith("(no longer missing)")
                counts["duplicates"] += message.startswith("Duplicate")
        for sid, (packets, missing, duplicates, late) in EXPECTED_SESSIONS.items():
            c = seen[sid]
            self.assertEqual((c["packets"], c["lost"] - c["refilled"], c["duplicates"],
                              c["late"]), (packets, missing, duplicates, late), sid)
            self.assertEqual((table[sid]["Lost"], table[sid]["Duplicates"],
                              table[sid]["Out of Order"]),
                             (str(missing), str(duplicates), str(late)), sid)

    def test_jitter_of_each_packet_ends_at_the_tables_figures(self):
        capture = write_capture(self.host.path("timing.pcap"), TIMING_CAPTURE)
        out = self.host.tshark("-r", capture, "-q", "-z", "simplekestrune,streams").stdout
        table = {sid: row for (_, _, sid), row in parse_stream_table(out).items()}
        jitter = collections.defaultdict(list)
        for sid, value in self.host.fields(capture, ["kestrune.simple_packet.session_id",
                                                     A + "jitter"]):
            if value:
                jitter[int(sid)].append(float(value))
        self.assertEqual(f"{max(jitter[1]):.3f}", table[1]["Max Jitter (ms)"])
        self.assertEqual(f"{sum(jitter[1]) / len(jitter[1]):.3f}", table[1]["Mean Jitter (ms)"])
        self.assertNotIn(2, jitter)  # no fixed rate


class ImpairedCalls(HostTestCase):
    """The capture generator's network: --loss drops packets and --jitter
    delays them; what arrives is the clean call's packets, in order of arrival,
    and the analysis sees exactly that."""

    CALL = ["--calls", "1", "--two-way", "--seed", "5"]

    def generate(self, name, *args):
        capture = self.host.path(name)
        subprocess.run([os.environ["KESTRUNE_GENERATOR"], "--output", capture, *self.CALL,
                        *args], check=True)
        os.chmod(capture, 0o644)
        return capture

    def table(self, capture):
        out = self.host.tshark("-r", capture, "-q", "-z", "simplekestrune,streams").stdout
        return {(src, dst): row for (src, dst, _), row in parse_stream_table(out).items()}

    @staticmethod
    def direction(frame):
        """"address:port" of each end of an IPv4 frame."""
        def end(ip, port):
            return ".".join(map(str, frame[ip:ip + 4])) + f":{frame[port] << 8 | frame[port + 1]}"
        return end(26, 34), end(30, 36)

    def test_loss_drops_packets_and_the_table_counts_the_gaps(self):
        clean = read_capture(self.generate("clean.pcap", "--count", "2000"))
        capture = self.generate("lossy.pcap", "--count", "2000", "--loss", "10")
        lossy = read_capture(capture)
        self.assertEqual(read_capture(self.generate("again.pcap", "--count", "2000",
                                                    "--loss", "10")), lossy)
        # About 10% of 2000 (a standard deviation is 13 packets).
        self.assertLess(abs(len(clean) - len(lossy) - 200), 60)
        # What arrives is the clean call less some packets, at the same times.
        kept = iter(clean)
        self.assertTrue(all(frame in kept for frame in lossy))
        # Per stream, the clean packets missing between the first and the last
        # that arrived: losses before the first or after the last leave no gap.
        arrived = set(lossy)
        missing = collections.Counter()
        for direction in {self.direction(f) for _, f in clean}:
            ours = [x in arrived for x in clean if self.direction(x[1]) == direction]
            first, last = ours.index(True), len(ours) - 1 - ours[::-1].index(True)
            missing[direction] = ours[first:last + 1].count(False)
        self.assertEqual(len(missing), 2)
        table = self.table(capture)
        for direction, count in missing.items():
            self.assertGreater(count, 50)
            row = table[direction]
            self.assertEqual((row["Lost"], row["Out of Order"], row["Duplicates"]),
                             (str(count), "0", "0"), direction)
        lost = sum(int(v or 0) for v, in self.host.fields(capture, [A + "lost"]))
        self.assertEqual(lost, sum(missing.values()))

    def test_jitter_delays_each_packet_and_reorders_only_beyond_the_interval(self):
        clean = read_capture(self.generate("clean.pcap", "--count", "400"))
        self.assertEqual({row["Max Jitter (ms)"] for row in self.table(
            self.host.path("clean.pcap")).values()}, {"0.000"})
        sent = {frame: usec for usec, frame in clean}
        for jitter, reordered in ((8, False), (30, True)):
            capture = self.generate(f"jitter{jitter}.pcap", "--count", "400",
                                    "--jitter", str(jitter))
            frames = read_capture(capture)
            arrivals = [usec for usec, _ in frames]
            self.assertEqual(arrivals, sorted(arrivals))
            self.assertEqual(sorted(f for _, f in frames), sorted(sent))
            delays = [usec - sent[frame] for usec, frame in frames]
            self.assertTrue(all(0 <= d < jitter * 1000 for d in delays), jitter)
            self.assertGreater(max(delays), jitter * 900)
            for row in self.table(capture).values():
                # |D| of two delays below the bound stays below it, and so
                # does J, a running mean of |D|.
                self.assertTrue(0.5 < float(row["Mean Jitter (ms)"]) < jitter, row)
                self.assertEqual(row["Lost"], "0")
                # Each stream sends every 20 ms.
                self.assertEqual(row["Out of Order"] != "0", reordered, row)

    def test_an_impaired_stretch_has_its_own_loss_and_jitter(self):
        # 20 s of a clean call (2000 packets, one every 10 ms from one side
        # or the other); from 5 to 10 s, 30% lost and up to 15 ms of jitter.
        sent = {frame: usec for usec, frame in read_capture(self.generate("clean.pcap",
                                                                          "--count", "2000"))}
        frames = read_capture(self.generate("impaired.pcap", "--count", "2000",
                                            "--impair", "5:10:30:15"))
        inside = [f for f in sent if 5e6 <= sent[f] < 10e6]
        arrived = {frame: usec for usec, frame in frames}
        self.assertEqual([usec for usec, _ in frames], sorted(arrived.values()))
        # Outside the stretch every packet arrives when it was sent.
        self.assertEqual({f: u for f, u in sent.items() if not 5e6 <= u < 10e6},
                         {f: u for f, u in arrived.items() if not 5e6 <= sent[f] < 10e6})
        kept = [f for f in inside if f in arrived]
        self.assertLess(abs(len(inside) - len(kept) - 150), 40)
        delays = [arrived[f] - sent[f] for f in kept]
        self.assertTrue(all(0 <= d < 15000 for d in delays))
        self.assertGreater(max(delays), 13500)


if __name__ == "__main__":
    unittest.main()
