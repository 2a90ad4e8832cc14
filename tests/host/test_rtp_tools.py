# SPDX-License-Identifier: GPL-2.0-or-later
"""Streams in the host's RTP tools: what the host's "rtp" tap receives for
each packet on a stream's media clock (read by a listener of the test
probe's own), and the host's RTP stream figures beside those of the same
call carried as RTP."""
import os
import random
import re
import struct
import subprocess
import unittest

from harness import Host, HostTestCase, header, icmp_unreachable, write_capture
from test_statistics import parse_stream_table

# The probe's line for each report, by field.
REPORT_FIELDS = ["frame", "pt", "name", "marker", "seq", "ext_seq", "ts", "ext_ts", "ssrc",
                 "data_len", "all_present", "payload_offset", "payload_len", "rate", "raw"]


def payload(size, fill):
    return bytes((fill + i) & 0xFF for i in range(size))


def frame_of(session, sequence, time, codec=5, size=160, ptype=0, claimed=None, **extra):
    """A packet whose payload bytes can be told apart; claimed: a Payload Size
    other than the bytes that follow."""
    data = header(6 + size, ptype, 0, 0, codec, session, sequence,
                  size if claimed is None else claimed) + payload(size, sequence)
    return dict(data=data, time=time, **extra)


# Session 17: G.711 mu-law, 20 ms a packet, across the wrap of the 8-bit
# numbers (250 ... 255, 0, 1, 3, 2, 4: 2 arrives after 3). Session 18: G.726
# 32 kbit/s, 80 bytes = 20 ms. Session 19: G.729, 20 bytes = 20 ms. Session
# 20 starts with a DTMF packet, then G.711 A-law. Session 21: codecs without
# a fixed rate. Session 22 claims more payload than the datagram holds;
# session 23's last packet is cut by the snapshot length.
WRAP = [250, 251, 252, 253, 254, 255, 0, 1, 3, 2, 4]
CAPTURE = (
    [frame_of(17, s, 0.02 * i) for i, s in enumerate(WRAP)]
    + [frame_of(18, s, 1 + 0.02 * s, codec=7, size=80) for s in range(3)]
    + [frame_of(19, 40 + s, 2 + 0.02 * s, codec=3, size=20) for s in range(3)]
    + [frame_of(20, 0, 3.0, codec=4, size=4, ptype=1), frame_of(20, 1, 3.02, codec=4),
       frame_of(20, 2, 3.04, codec=4)]
    + [frame_of(21, 0, 4.0, codec=6, size=24), frame_of(21, 1, 4.02, codec=13, size=24)]
    + [frame_of(22, 0, 5.0, size=100, claimed=160)]
    + [frame_of(23, 0, 6.0), frame_of(23, 1, 6.02, snaplen=6 + 50)]
    # Session 24: a G.711 packet starts the clock; then packet types 1 to 7,
    # then voice of every codec type.
    + [frame_of(24, 0, 7.0)]
    + [frame_of(24, t, 7 + 0.02 * t, ptype=t, size=8) for t in range(1, 8)]
    + [frame_of(24, 8 + c, 7.2 + 0.02 * c, codec=c, size=20) for c in range(16)]
    # Session 25: 9 arrives after 10, the stream's first. Session 26: 160
    # bytes follow a Payload Size of 100; then a DTMF packet with no payload.
    + [frame_of(25, 10, 8.0), frame_of(25, 9, 8.02)]
    + [frame_of(26, 0, 9.0, claimed=100), frame_of(26, 1, 9.02, ptype=1, size=0)]
    # Session 27's only packet comes back quoted in an ICMP error.
    + [dict(frame=icmp_unreachable(frame_of(27, 0, 0)["data"]), time=10.0)]
)
FIRST_FRAME = {17: 1, 18: 12, 19: 15, 20: 18, 21: 21, 22: 23, 23: 24, 24: 26, 25: 50, 26: 52,
               27: 54}
# (payload type, name) by Codec Type, then by packet type 1 to 7.
VOICE_PAYLOADS = [("96", "G726-16"), ("4", "-"), ("4", "-"), ("18", "-"), ("8", "-"), ("0", "-"),
                  ("102", "Vocantis_9_6"), ("103", "G726-32"), ("15", "-"),
                  ("105", "Vocantis_7_2"), ("106", "G727-16"), ("107", "G727-32"),
                  ("108", "Vocantis_4_8"), ("109", "Transparent"), ("110", "G727-24"),
                  ("111", "G726-24")]
OTHER_PAYLOADS = [("112", "DTMFPacket"), ("113", "FaxFRF11"), ("114", "FaxBypass"),
                  ("115", "ModemBypass"), ("116", "ModemRelay"), ("117", "FaxT38"),
                  ("118", "UnnamedType7")]


class TapReports(HostTestCase):
    """Each report as the host's RTP tools read it."""

    with_probe = True

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.capture = write_capture(cls.host.path("rtp.pcap"), CAPTURE)

    def reports(self, *args):
        out = self.host.tshark("-r", self.capture, "-q", *args,
                               env={"KESTRUNE_PRINT_RTP_TAP": "1"}).stdout
        return {int(line.split("\t")[1]): dict(zip(REPORT_FIELDS, line.split("\t")[1:]))
                for line in out.splitlines() if line.startswith("rtp\t")}

    def assert_clock(self, report, seq, samples):
        """The sequence and timestamp, and the extended ones where the release
        has them: counted on from where the host's RTP dissector starts."""
        self.assertEqual(int(report["seq"]), seq % 65536, report)
        self.assertEqual(int(report["ts"]), samples % 2**32, report)
        if report["ext_seq"] != "-":
            self.assertEqual(int(report["ext_seq"]), 0x10000 + seq, report)
            self.assertEqual(int(report["ext_ts"]), 2**32 + samples, report)

    def test_reports_carry_the_stream_as_rtp(self):
        reports = self.reports()
        # Every packet on a running clock: not those before it (the DTMF
        # packet of frame 18, the Vocantis and Transparent ones of 21 and 22),
        # nor the datagram quoted in the ICMP error (54).
        self.assertEqual(sorted(reports), [f for f in range(1, 54) if f not in (18, 21, 22)])

        # Across the wrap the numbers go on (256, 257, ...); the late packet
        # 2 keeps its place (258) and its media time. 20 ms = 160 samples.
        for i, s in enumerate(WRAP):
            extended = s if s >= 250 else 256 + s
            r = reports[FIRST_FRAME[17] + i]
            self.assert_clock(r, extended, (extended - 250) * 160)
            self.assertEqual((r["pt"], r["name"], r["ssrc"], r["rate"]), ("0", "-", "17", "8000"))
            self.assertEqual(r["marker"], "1" if i == 0 else "0")

        # A genuine RTP packet: version 2, marker, PT 0, sequence 250,
        # timestamp 0, SSRC 0x11, then the payload bytes as they came.
        first = reports[1]
        self.assertEqual(first["raw"], "808000fa" "00000000" "00000011" + payload(160, 250).hex())
        self.assertEqual((first["data_len"], first["all_present"], first["payload_offset"],
                          first["payload_len"]), ("172", "1", "12", "160"))

        g726 = [reports[FIRST_FRAME[18] + s] for s in range(3)]
        self.assertEqual({(r["pt"], r["name"]) for r in g726}, {("103", "G726-32")})
        for s, r in enumerate(g726):
            self.assert_clock(r, s, s * 160)
        self.assertEqual(reports[FIRST_FRAME[18]]["raw"][:24], "80e70000" "00000000" "00000012")

        g729 = [reports[FIRST_FRAME[19] + s] for s in range(3)]
        self.assertEqual({(r["pt"], r["name"]) for r in g729}, {("18", "-")})
        for s, r in enumerate(g729):
            self.assert_clock(r, 40 + s, s * 160)

        # The stream's first packet was DTMF: its voice carries no marker and
        # its clock starts at the first voice packet.
        alaw = [reports[19], reports[20]]
        self.assertEqual([(r["pt"], r["marker"]) for r in alaw], [("8", "0"), ("8", "0")])
        self.assert_clock(alaw[0], 1, 0)
        self.assert_clock(alaw[1], 2, 160)

    def test_every_kind_of_packet_has_a_payload_type_of_its_own(self):
        reports = self.reports()
        first = FIRST_FRAME[24]
        kinds = [reports[first + 8 + c] for c in range(16)] + [reports[first + t]
                                                               for t in range(1, 8)]
        self.assertEqual([(r["pt"], r["name"]) for r in kinds], VOICE_PAYLOADS + OTHER_PAYLOADS)
        # The DTMF, fax and modem packets are stamped with their 20 ms slots,
        # on the stream's 8 kHz clock, in the same RTP as the voice.
        for t in range(1, 8):
            r = reports[first + t]
            self.assert_clock(r, t, t * 160)
            self.assertEqual((r["rate"], r["marker"], r["ssrc"]), ("8000", "0", "24"))
            self.assertEqual(r["raw"], f"80{int(r['pt']):02x}{t:04x}{t * 160:08x}00000018"
                             + payload(8, t).hex())

    def test_a_packet_from_before_the_first_stays_before_it(self):
        reports = self.reports()
        first, late = reports[FIRST_FRAME[25]], reports[FIRST_FRAME[25] + 1]
        self.assertEqual((first["seq"], late["seq"], late["ts"]), ("10", "9", str(2**32 - 160)))
        if late["ext_ts"] != "-":
            self.assertLess(int(late["ext_ts"]), int(first["ext_ts"]))

    def test_cut_payloads_are_reported_as_far_as_they_go(self):
        reports = self.reports()
        # Payload Size 160 with 100 bytes in the datagram.
        claimed = reports[FIRST_FRAME[22]]
        self.assertEqual((claimed["all_present"], claimed["payload_len"], claimed["data_len"]),
                         ("0", "100", "112"))
        self.assertEqual(claimed["raw"][24:], payload(100, 0).hex())
        # 50 bytes captured of 160.
        cut = reports[FIRST_FRAME[23] + 1]
        self.assertEqual((cut["all_present"], cut["payload_len"], cut["data_len"]),
                         ("0", "50", "62"))
        self.assertEqual(cut["raw"][24:], payload(50, 1).hex())
        self.assert_clock(cut, 1, 160)
        self.assertEqual(reports[FIRST_FRAME[23]]["all_present"], "1")
        # Bytes after the Payload Size are not the payload's.
        longer = reports[FIRST_FRAME[26]]
        self.assertEqual((longer["all_present"], longer["payload_len"], longer["raw"][24:]),
                         ("1", "100", payload(100, 0).hex()))
        # No payload at all: the header alone, one slot (100 bytes of
        # G.711, 100 samples) after the voice.
        empty = reports[FIRST_FRAME[26] + 1]
        self.assertEqual((empty["data_len"], empty["payload_len"], empty["raw"]),
                         ("12", "0", "80700001" "00000064" "0000001a"))

    def test_g726_names_follow_the_packing_preference(self):
        reports = self.reports("-o", "simplekestrune.g726_packing:aal2")
        self.assertEqual({reports[FIRST_FRAME[18] + s]["name"] for s in range(3)},
                         {"AAL2-G726-32"})
        self.assertEqual(reports[FIRST_FRAME[18]]["pt"], "103")

    def test_nothing_is_reported_with_the_preference_off(self):
        self.assertEqual(self.reports("-o", "simplekestrune.rtp_tools:FALSE"), {})
        # The numbers come from the stream analysis: without it, none either.
        self.assertEqual(self.reports("-o", "simplekestrune.analyze_streams:FALSE"), {})
        # ... and the host's own list stays empty.
        out = self.host.tshark("-r", self.capture, "-q", "-o", "simplekestrune.rtp_tools:FALSE",
                               "-z", "rtp,streams").stdout
        self.assertEqual(rtp_stream_rows(out), {})


RTP_STREAM_ROW = re.compile(
    r"\s*(?P<start>\S+)\s+(?P<end>\S+)\s+(?P<src>\S+)\s+(?P<sport>\d+)\s+(?P<dst>\S+)\s+"
    r"(?P<dport>\d+)\s+(?P<ssrc>0x[0-9A-F]{8})\s+(?P<payloads>.*?)\s+(?P<packets>\d+)\s+"
    r"(?P<lost>-?\d+) \((?P<lost_percent>\S+)%\)(?P<figures>(\s+-?[\d.]+)+)\s*(?P<problem>X?)")


def rtp_stream_rows(text, by_ssrc=True):
    """{(source, port, destination, port[, SSRC]): {column: text}} from -z
    rtp,streams. The delta and jitter columns go by their headings, which
    differ between releases (3.4 has only the maximum delta and jitter, and
    a mean jitter of its own)."""
    rows, figures = {}, []
    for line in text.splitlines():
        if "Problems?" in line:
            figures = re.findall(r"\w+ \w+\(ms\)", line)
        row = RTP_STREAM_ROW.fullmatch(line)
        if row:
            cells = dict(row.groupdict(), **dict(zip(figures, row["figures"].split())))
            del cells["figures"]
            key = (row["src"], row["sport"], row["dst"], row["dport"])
            rows[key + ((int(row["ssrc"], 16),) if by_ssrc else ())] = cells
    return rows


def without_payload_names(rows):
    return {stream: {k: v for k, v in row.items() if k != "payloads"}
            for stream, row in rows.items()}


def rtp_packet(sequence, timestamp, payload_type, ssrc, data, marker=False):
    return struct.pack("!BBHII", 0x80, payload_type | (0x80 if marker else 0), sequence & 0xFFFF,
                       timestamp & 0xFFFFFFFF, ssrc) + data


# A two-way call on session 7, G.711 mu-law every 20 ms. Each slot is
# (packet type, codec, payload bytes); the sequence numbers start at 240 and
# wrap. Outbound: DTMF, fax, modem and a packet type 7 in the voice's slots,
# three slots lost, two packets swapped. Inbound, in order: a stretch of
# Transparent and a Vocantis packet between the voice, one slot lost.
VOICE = (0, 5, 160)
OUTBOUND = ([VOICE] * 10 + [(1, 5, 4)] * 3 + [VOICE] * 7 + [(2, 5, 40), (3, 5, 40)] + [VOICE] * 8
            + [(4, 5, 40), (5, 5, 40), (6, 5, 40), (7, 5, 12)] + [VOICE] * 20)
INBOUND = [VOICE] * 12 + [(0, 13, 160)] * 6 + [VOICE] * 5 + [(0, 6, 24)] + [VOICE] * 16
DTMF_FIRST = [(1, 5, 4)] * 3 + [VOICE] * 10


def direction(slots, session, src, dst, sport, dport, start, lost=(), swapped=(), seed=1):
    """(arrival time, Simple Kestrune datagram, the same packet as RTP) for
    every slot that arrives. The RTP twin carries the voice as PCMU (0) and
    every other slot as GSM (3), another payload type with an 8 kHz clock,
    stamped with its slot on the clock that the first voice packet starts;
    slots before that have no twin (None)."""
    jitter = random.Random(seed)
    clock_start = next(i for i, (ptype, codec, _) in enumerate(slots) if (ptype, codec) == (0, 5))
    packets = []
    for i, (ptype, codec, size) in enumerate(slots):
        sequence = 240 + i
        arrival = start + 0.02 * i + jitter.uniform(0, 0.012)
        if i in lost:
            continue
        data = payload(size, i)
        ours = header(6 + size, ptype, 0, 0, codec, session, sequence, size) + data
        twin = rtp_packet(sequence, (i - clock_start) * 160, 0 if (ptype, codec) == (0, 5) else 3,
                          session, data, marker=i == 0)
        endpoints = dict(src=src, dst=dst, sport=sport, dport=dport)
        packets.append((arrival, dict(data=ours, **endpoints),
                        dict(data=twin, **endpoints) if i >= clock_start else None))
    for a, b in swapped:
        packets[a], packets[b] = (packets[b][0], *packets[a][1:]), (packets[a][0], *packets[b][1:])
    return packets


def mixed_call():
    """The call as (Simple Kestrune capture frames, real RTP capture frames),
    both directions interleaved by arrival, and a stream on session 9 that
    begins with three DTMF packets."""
    packets = (direction(OUTBOUND, 7, "192.0.2.10", "192.0.2.20", 4096, 31000, 0.0,
                         lost=(5, 24, 40), swapped=((30, 31),))
               + direction(INBOUND, 7, "192.0.2.20", "192.0.2.10", 31000, 4096, 0.005,
                           lost=(33,), seed=2)
               + direction(DTMF_FIRST, 9, "192.0.2.11", "192.0.2.20", 4096, 31000, 0.5, seed=3))
    packets.sort(key=lambda p: p[0])
    ours = [dict(ours, time=t) for t, ours, _ in packets]
    twin = [dict(rtp, time=t) for t, _, rtp in packets if rtp is not None]
    return ours, twin


class SameFiguresAsRtp(unittest.TestCase):
    """The host's RTP stream analysis of a call equals its analysis of the
    same call carried as RTP, stream by stream."""

    def setUp(self):
        self.host = Host()
        self.addCleanup(self.host.close)

    def streams(self, capture, *args, by_ssrc=True):
        return rtp_stream_rows(self.host.tshark("-r", capture, "-q", *args,
                                                "-z", "rtp,streams").stdout, by_ssrc)

    def test_rtp_streams_of_a_bad_call(self):
        # Four two-way calls (G.711 mu-law, A-law, G.729, G.726-32), 3% lost,
        # up to 30 ms of jitter: packets 20 ms apart arrive out of order.
        args = ["--calls", "4", "--two-way", "--count", "4000", "--jitter", "30", "--loss", "3",
                "--seed", "5"]
        tables = {}
        for rtp in (False, True):
            capture = self.host.path(f"call{'-rtp' if rtp else ''}.pcap")
            subprocess.run([os.environ["KESTRUNE_GENERATOR"], "--output", capture, *args]
                           + (["--rtp"] if rtp else []), check=True)
            os.chmod(capture, 0o644)
            tables[rtp] = without_payload_names(self.streams(
                capture, *(["-d", "udp.port==4096,rtp"] if rtp else []), by_ssrc=False))
        ours, theirs = tables[False], tables[True]
        self.assertEqual(len(ours), 8)
        self.assertEqual(set(ours), set(theirs))
        for stream, row in ours.items():
            # The SSRC is the Session ID here, a random number in the RTP.
            self.assertRegex(row["ssrc"], r"0x0000000[1-4]")
            row = dict(row, ssrc=theirs[stream]["ssrc"])
            self.assertEqual(row, theirs[stream], stream)
        # Loss and reordering are there to be compared.
        self.assertTrue(any(row["lost"] != "0" for row in ours.values()))

    def test_dtmf_fax_and_modem_packets_count_in_sequence(self):
        # The bundled sample: each stream's packets and loss as the stream
        # table counts them, the DTMF, fax and modem packets included.
        sample = self.host.path("sample.pcap")
        with open(os.environ["KESTRUNE_SAMPLE"], "rb") as f, open(sample, "wb") as out:
            out.write(f.read())
        os.chmod(sample, 0o644)
        out = self.host.tshark("-r", sample, "-q", "-z", "rtp,streams",
                               "-z", "simplekestrune,streams").stdout
        table = parse_stream_table(out)
        rows = rtp_stream_rows(out)
        self.assertEqual(len(rows), len(table))
        for (src, dst, session), cells in table.items():
            row = rows[(*src.split(":"), *dst.split(":"), session)]
            self.assertEqual((row["packets"], row["lost"], row["problem"]),
                             (cells["Packets"], cells["Lost"], ""), row)

        # The mixed call equals its real-RTP twin, stream by stream.
        ours, twin = mixed_call()
        mixed = write_capture(self.host.path("mixed.pcap"), ours)
        out = self.host.tshark("-r", mixed, "-q", "-z", "rtp,streams",
                               "-z", "simplekestrune,streams").stdout
        rows = rtp_stream_rows(out)
        theirs = self.streams(write_capture(self.host.path("twin.pcap"), twin),
                              "-d", "udp.port==4096,rtp")
        self.assertEqual(without_payload_names(rows), without_payload_names(theirs))
        outbound = rows[("192.0.2.10", "4096", "192.0.2.20", "31000", 7)]
        self.assertEqual((outbound["packets"], outbound["lost"], outbound["problem"]),
                         (str(len(OUTBOUND) - 3), "3", "X"))
        self.assertEqual(outbound["payloads"], "g711U, DTMFPacket, FaxFRF11, FaxBypass, "
                         "ModemBypass, ModemRelay, FaxT38, UnnamedType7")
        # The inbound stream, in order: the host's jitter is the stream table's.
        inbound = rows[("192.0.2.20", "31000", "192.0.2.10", "4096", 7)]
        cells = parse_stream_table(out)[("192.0.2.20:31000", "192.0.2.10:4096", 7)]
        self.assertEqual((inbound["packets"], inbound["lost"], inbound["problem"],
                          inbound["payloads"]),
                         (str(len(INBOUND) - 1), "1", "X", "g711U, Vocantis_9_6, Transparent"))
        # (3.4 writes two decimals, later releases three.)
        host_jitter = inbound["Max Jitter(ms)"]
        decimals = len(host_jitter.split(".")[1])
        self.assertEqual(host_jitter, f"{float(cells['Max Jitter (ms)']):.{decimals}f}")
        # The stream that began with DTMF counts from its first voice packet.
        late_start = rows[("192.0.2.11", "4096", "192.0.2.20", "31000", 9)]
        first_voice = next(f["time"] for f in twin if f["src"] == "192.0.2.11")
        self.assertEqual((late_start["packets"], late_start["lost"], late_start["start"]),
                         ("10", "0", f"{first_voice - ours[0]['time']:.6f}"))


if __name__ == "__main__":
    unittest.main()
