# SPDX-License-Identifier: GPL-2.0-or-later
"""The fixed receiver on calls a phone plays without trouble: a sender whose
clock runs 0.1% slow or fast for 10 minutes, a route that gains or loses
100 ms, a delay spike, and a clean call beside them; its notes where it
resynchronises, and each packet's delay."""
import os
import subprocess

from harness import HostTestCase
from test_statistics import parse_stream_table, parse_table

A = "kestrune.analysis."

# Session: (what make_capture gets, packets). 20 ms G.711 mu-law calls with
# 0..4 ms of jitter.
CALLS = {
    1: ([], 30000),                          # clean
    2: (["--drift", "-1000"], 30000),        # sender's clock 0.1% slow
    3: (["--drift", "1000"], 30000),         # 0.1% fast
    4: (["--delay-step", "100@10"], 3000),   # the route gains 100 ms at 10 s
    5: (["--delay-step", "-100@10"], 3000),  # ... loses 100 ms
    6: (["--spike", "150@10"], 3000),        # 150 ms, rising and falling over 2 s
}


class Receivers(HostTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        parts = []
        for session, (args, count) in CALLS.items():
            part = cls.host.path(f"call-{session}.pcap")
            subprocess.run([os.environ["KESTRUNE_GENERATOR"], "--output", part, "--calls", "1",
                            "--codec", "5", "--count", str(count), "--session", str(session),
                            "--jitter", "4", "--seed", str(session), *args], check=True)
            parts.append(part)
        cls.capture = cls.host.path("receivers.pcap")
        subprocess.run(["mergecap", "-w", cls.capture, *parts], check=True)
        os.chmod(cls.capture, 0o644)
        out = cls.host.tshark("-r", cls.capture, "-q", "-z", "simplekestrune,streams",
                              "-z", "simplekestrune,receivers", "-z", "expert,note").stdout
        cls.out = out
        cls.streams = {key[2]: row for key, row in parse_stream_table(out).items()}
        cls.receivers = {int(r["Session ID"]): r
                         for r in parse_table(out, "SimpleKestrune Receivers")}
        cls.notes = [line for line in out.splitlines() if "resynchronised" in line]

    def test_a_phone_would_play_these_calls(self):
        # At most 150 of 30,000 late over 10 minutes of drift, 15 at a route
        # change; a clean call as before the receiver followed anything.
        limits = {1: (0, 4.37), 2: (150, 4.27), 3: (150, 4.27), 4: (15, 4.2), 5: (15, 4.2)}
        for session, (late, mos) in limits.items():
            row = self.streams[session]
            with self.subTest(session=session):
                self.assertEqual(int(row["Packets"]), CALLS[session][1])
                self.assertLessEqual(int(row["Late"]) + int(row["Lost"]), late)
                self.assertGreaterEqual(float(row["MOS"]), mos)
        self.assertEqual(self.streams[1]["MOS"], "4.37")
        # A spike of 150 ms over a 50 ms buffer costs packets, as on a phone.
        self.assertGreater(int(self.streams[6]["Late"]), 0)

    def test_a_note_where_the_route_changed(self):
        # One each for the route changes, none for a clean or drifting call.
        rows = self.host.fields(self.capture,
                                ["frame.time_relative", "kestrune.simple_packet.session_id",
                                 "_ws.expert.message"],
                                "-Y", "kestrune.analysis.resynchronised")
        by_session = {}
        for time, session, message in rows:
            by_session.setdefault(int(session), []).append((float(time), message))
        self.assertEqual(sorted(by_session), [4, 5, 6])
        for session, sign in ((4, "+"), (5, "-")):
            [(time, message)] = by_session[session]
            with self.subTest(session=session):
                self.assertIn("resynchronised by " + sign, message)
                moved = float(message.split(" by ")[1].split(" ms")[0])
                self.assertAlmostEqual(abs(moved), 100, delta=5)
                self.assertGreaterEqual(time, 9.9)  # the shorter route overtakes
                self.assertLess(time, 11.0)
        # The analysis tree counts them.
        [[count]] = self.host.fields(self.capture, [A + "resynchronisations"],
                                     "-Y", "kestrune.simple_packet.session_id == 4 && "
                                     "frame.time_relative > 20 && frame.time_relative < 20.02")
        self.assertEqual(count, "1")

    def test_the_delay_of_each_packet(self):
        rows = self.host.fields(self.capture,
                                ["kestrune.simple_packet.session_id", "frame.time_relative",
                                 A + "delay"])
        delays = {}
        for session, time, delay in rows:
            delays.setdefault(int(session), []).append((float(time), float(delay)))
        for session in CALLS:
            self.assertEqual(delays[session][0][1], 0)  # the first packet
        # 0.1% slow: a line rising to 600 ms after 10 minutes (jitter on top).
        self.assertAlmostEqual(delays[2][-1][1], 600, delta=5)
        self.assertAlmostEqual(delays[3][-1][1], -600, delta=5)
        # A route change is a step of 100 ms.
        before = [d for t, d in delays[4] if t < 9.9]
        after = [d for t, d in delays[4] if t > 10.2]
        self.assertLess(max(before), 5)
        self.assertGreater(min(after), 95)
        self.assertLess(max(after), 105)

    def test_three_receivers_side_by_side(self):
        lines = self.out.split("SimpleKestrune Receivers:")[1].splitlines()
        headings = lines[2].count("|")
        for line in lines[4:4 + len(CALLS)]:
            self.assertEqual(line.count("|"), headings, line)  # every row whole
        for session, row in self.receivers.items():
            with self.subTest(session=session):
                # The fixed receiver is the stream table's, figure for figure.
                self.assertEqual(row["Fixed Late"], self.streams[session]["Late"])
                self.assertEqual(row["Fixed MOS"], self.streams[session]["MOS"])
                # The larger buffer loses no more, and pays for its delay.
                self.assertLessEqual(int(row["Fixed 200 Late"]), int(row["Fixed Late"]))
                self.assertLess(float(row["Fixed 200 MOS"]), 4.2)
                # The adaptive one plays every packet of these calls but a few
                # at a route change, at little delay (more while a spike
                # passes).
                self.assertLessEqual(int(row["Adaptive Late"]), 5)
                self.assertGreaterEqual(float(row["Adaptive MOS"]), 4.3)
                self.assertLess(float(row["Adaptive Delay (ms)"]), 40 if session == 6 else 25)
                # With or without a route change, within 50 ppm of the truth.
                drift = {2: -1000, 3: 1000}.get(session, 0)
                self.assertAlmostEqual(float(row["Drift (ppm)"]), drift, delta=50)
        # Up to 4 ms of jitter: the delay varies by at most 5 ms, drifting or
        # not; a route change inside a segment counts as variation there.
        for session in (1, 2, 3):
            self.assertLessEqual(float(self.receivers[session]["PDV 99.9% (ms)"]), 5)
        self.assertGreater(float(self.receivers[5]["PDV 99.9% (ms)"]), 95)
