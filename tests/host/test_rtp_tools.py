# SPDX-License-Identifier: GPL-2.0-or-later
"""Voice streams in the host's RTP tools: what the host's "rtp" tap receives
for each voice packet (read by a listener of the test probe's own), and the
host's RTP stream figures beside those of the same call carried as RTP."""
import os
import re
import subprocess
import unittest

from harness import Host, HostTestCase, header, write_capture
from test_statistics import voice

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
)
FIRST_FRAME = {17: 1, 18: 12, 19: 15, 20: 18, 21: 21, 22: 23, 23: 24}


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
        # Only voice packets of codecs with a fixed rate: not the DTMF packet
        # (frame 18) nor the Vocantis and Transparent ones (21, 22).
        self.assertEqual(sorted(reports), [f for f in range(1, 26) if f not in (18, 21, 22)])

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


def rtp_stream_rows(text):
    """{(source, port, destination, port): the row's other figures} from
    -z rtp,streams, leaving out the SSRC and the payload's name."""
    rows = {}
    for line in text.splitlines():
        cells = line.split()
        ssrc = next((i for i, c in enumerate(cells) if re.fullmatch(r"0x[0-9A-F]{8}", c)), None)
        if ssrc is None:
            continue
        rows[tuple(cells[2:6])] = cells[:2] + cells[ssrc + 2:]
        rows[tuple(cells[2:6])].append(cells[ssrc])
    return rows


class SameFiguresAsRtp(unittest.TestCase):
    """The host's RTP stream analysis of a call equals its analysis of the
    same call carried as RTP, stream by stream."""

    def test_rtp_streams_of_a_bad_call(self):
        host = Host()
        self.addCleanup(host.close)
        # Four two-way calls (G.711 mu-law, A-law, G.729, G.726-32), 3% lost,
        # up to 30 ms of jitter: packets 20 ms apart arrive out of order.
        args = ["--calls", "4", "--two-way", "--count", "4000", "--jitter", "30", "--loss", "3",
                "--seed", "5"]
        tables = {}
        for rtp in (False, True):
            capture = host.path(f"call{'-rtp' if rtp else ''}.pcap")
            subprocess.run([os.environ["KESTRUNE_GENERATOR"], "--output", capture, *args]
                           + (["--rtp"] if rtp else []), check=True)
            os.chmod(capture, 0o644)
            decode = ["-d", "udp.port==4096,rtp"] if rtp else []
            tables[rtp] = rtp_stream_rows(
                host.tshark("-r", capture, "-q", *decode, "-z", "rtp,streams").stdout)
        ours, theirs = tables[False], tables[True]
        self.assertEqual(len(ours), 8)
        self.assertEqual(set(ours), set(theirs))
        for stream, row in ours.items():
            # The SSRC is the Session ID here, a random number in the RTP.
            self.assertRegex(row[-1], r"0x0000000[1-4]")
            self.assertEqual(row[:-1], theirs[stream][:-1], stream)
        # Loss and reordering are there to be compared.
        self.assertTrue(any(row[3] != "0" for row in ours.values()))


if __name__ == "__main__":
    unittest.main()
