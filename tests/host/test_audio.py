# SPDX-License-Identifier: GPL-2.0-or-later
"""Audio export (-z simplekestrune,audio,DIR): WAV files from the host's codecs."""
import math
import os
import random
import re
import signal
import subprocess
import time
import wave

from harness import HOST_MAJOR_MINOR, HOST_PLUGIN_DIR, HostTestCase, header, write_capture



def mulaw(x):
    sign = 0x80 if x < 0 else 0
    x = min(abs(x), 32635) + 0x84
    exp = x.bit_length() - 8
    return ~(sign | exp << 4 | (x >> (exp + 3)) & 0x0F) & 0xFF


def alaw(x):
    sign = 0x80 if x >= 0 else 0
    x = min(abs(x), 32767) >> 3
    seg = max(x.bit_length() - 5, 0)
    return (sign | seg << 4 | (x >> max(seg, 1)) & 0x0F) ^ 0x55


# The G.711 expansion, as the standard gives it: the reference for the WAVs.
def mulaw_expand(b):
    b = ~b & 0xFF
    t = (((b & 0x0F) << 3) + 0x84) << ((b & 0x70) >> 4)
    return 0x84 - t if b & 0x80 else t - 0x84


def alaw_expand(b):
    b ^= 0x55
    seg, t = (b & 0x70) >> 4, (b & 0x0F) << 4
    t = t + 8 if seg == 0 else (t + 0x108) << (seg - 1)
    return t if b & 0x80 else -t


def tone(n, hz=1000, amplitude=12000):
    return [round(amplitude * math.sin(2 * math.pi * hz * i / 8000)) for i in range(n)]


def voice(session, sequence, payload, codec, ptype=0, **where):
    return {"data": header(6 + len(payload), ptype, 0, 0, codec, session, sequence,
                           len(payload)) + bytes(payload), **where}


BACK = {"src": "192.0.2.20", "dst": "192.0.2.10", "sport": 4096, "dport": 31000}
MU, A, G729, G723 = 5, 4, 3, 1

# mu-law, session 1, 10 ms packets, across the sequence wrap: 252 repeated,
# 254 before 253, 1 lost.
MU_SEQ = [250, 251, 252, 253, 254, 255, 0, 1, 2, 3]
MU_PAYLOADS = {s: [mulaw(x) for x in tone(80 * i + 80)[80 * i:]] for i, s in enumerate(MU_SEQ)}
MU_ORDER = [250, 251, 252, 252, 254, 253, 255, 0, 2, 3]
# A-law, the other direction of session 1, 30 ms packets, a DTMF packet at 12,
# and 15 captured only in part.
A_SEQ = range(10, 16)
A_PAYLOADS = {s: [alaw(x) for x in tone(240 * i + 240, 440)[240 * i:]] for i, s in enumerate(A_SEQ)}
RNG = random.Random(7)
G729_PAYLOADS = [bytes(RNG.randrange(256) for _ in range(n)) for n in (20, 20, 15, 20, 20)]

CAPTURE = (
    [voice(1, s, MU_PAYLOADS[s], MU) for s in MU_ORDER]
    + [voice(1, s, A_PAYLOADS[s], A, ptype=1 if s == 12 else 0, **BACK) for s in A_SEQ[:-1]]
    + [voice(1, 15, A_PAYLOADS[15], A, snaplen=6 + 100, **BACK)]
    + [voice(2, i, p, G729) for i, p in enumerate(G729_PAYLOADS)]
    + [voice(3, i, bytes(24), G723) for i in range(3)]
    + [voice(4, i, bytes(80), MU, src="2001:db8::10", dst="2001:db8::20") for i in range(2)]
)
# Session 5 changes codec: mu-law, A-law, G.723.1 (no decoder), mu-law again.
CHANGES = [(MU, 10), (A, 10), (G723, 2), (MU, 4)]
CHANGE_CODECS = [c for c, n in CHANGES for _ in range(n)]
CHANGE_PAYLOADS = [[mulaw(x) if c == MU else alaw(x) for x in tone(80 * i + 80, 300)[80 * i:]]
                   for i, c in enumerate(CHANGE_CODECS)]
CAPTURE += [voice(5, i, p, c) for i, (p, c) in enumerate(zip(CHANGE_PAYLOADS, CHANGE_CODECS))]
# Session 6: 10 ms packets of mu-law, the first cut short by the snapshot length.
CUT_PAYLOADS = [[mulaw(x) for x in tone(80 * i + 80, 600)[80 * i:]] for i in range(20)]
CAPTURE += [voice(6, i, p, MU, **({"snaplen": 6 + 40} if i == 0 else {}))
            for i, p in enumerate(CUT_PAYLOADS)]
CUT_FILE = "192.0.2.10_31000-192.0.2.20_4096-s6.wav"
CHANGE_FILE = "192.0.2.10_31000-192.0.2.20_4096-s5.wav"
MU_FILE = "192.0.2.10_31000-192.0.2.20_4096-s1.wav"
A_FILE = "192.0.2.20_4096-192.0.2.10_31000-s1.wav"
G729_FILE = "192.0.2.10_31000-192.0.2.20_4096-s2.wav"
V6_FILE = "2001.db8..10_31000-2001.db8..20_4096-s4.wav"


def read_wav(path):
    with wave.open(path) as w:
        assert (w.getnchannels(), w.getsampwidth(), w.getframerate()) == (1, 2, 8000)
        raw = w.readframes(w.getnframes())
    return [int.from_bytes(raw[i:i + 2], "little", signed=True) for i in range(0, len(raw), 2)]


class AudioExport(HostTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.capture = write_capture(cls.host.path("call.pcap"), CAPTURE)
        plugins = cls.host.tshark("-G", "plugins").stdout
        cls.has_g729 = re.search(r"^g729\.so\s.*\tcodec\t", plugins, re.M) is not None
        if tuple(map(int, HOST_MAJOR_MINOR.split("."))) < (4, 0):
            # 3.4's tshark loads no codec modules, so lists none; the export loads them.
            cls.has_g729 = os.path.exists(os.path.join(HOST_PLUGIN_DIR, "codecs", "g729.so"))
        cls.out = cls.folder("out")
        cls.summary = cls.export(cls.out).stdout

    @classmethod
    def folder(cls, name, mode=0o755):
        path = cls.host.path(name)
        os.mkdir(path)
        if os.geteuid() == 0 and mode & 0o200:
            os.chown(path, 65534, 65534)
        os.chmod(path, mode)
        return path

    @classmethod
    def export(cls, folder):
        return cls.host.tshark("-q", "-r", cls.capture, "-z", f"simplekestrune,audio,{folder}",
                               check=False)

    def line(self, summary, label):
        found = [l for l in summary.splitlines() if l.startswith(label)]
        self.assertEqual(len(found), 1, summary)
        return found[0]

    def test_tone_sample_for_sample_with_loss_duplicate_and_late_packet(self):
        # The lost, the DTMF and the cut packet: silence as long as their neighbours.
        mu = [mulaw_expand(b) if s != 1 else 0 for s in MU_SEQ for b in MU_PAYLOADS[s]]
        self.assertEqual(read_wav(os.path.join(self.out, MU_FILE)), mu)
        a = [alaw_expand(b) if s not in (12, 15) else 0 for s in A_SEQ for b in A_PAYLOADS[s]]
        self.assertEqual(read_wav(os.path.join(self.out, A_FILE)), a)
        # A stream that starts with a packet cut short: silence as long as its own packets.
        self.assertEqual(read_wav(os.path.join(self.out, CUT_FILE)),
                         [0] * 80 + [mulaw_expand(b) for p in CUT_PAYLOADS[1:] for b in p])
        self.assertEqual(
            self.line(self.summary, "192.0.2.10:31000 → 192.0.2.20:4096 session 1 "),
            f"192.0.2.10:31000 → 192.0.2.20:4096 session 1 (G711Mulaw): {MU_FILE}, 0.100 s, "
            "lost 1, undecodable 0, not voice 0, duplicates 1, too late 0, codec changes 0")
        self.assertIn(f"(G711Alaw): {A_FILE}, 0.180 s, lost 0, undecodable 1, not voice 1,",
                      self.line(self.summary, "192.0.2.20:4096 → 192.0.2.10:31000 session 1 "))

    def test_undecodable_codec_is_skipped_and_ipv6_names_a_file(self):
        self.assertEqual(self.line(self.summary, "192.0.2.10:31000 → 192.0.2.20:4096 session 3 "),
                         "192.0.2.10:31000 → 192.0.2.20:4096 session 3 (G723Low): "
                         "skipped, the host has no G.723.1 decoder")
        self.line(self.summary, "[2001:db8::10]:31000 → [2001:db8::20]:4096 session 4 ")
        files = {MU_FILE, A_FILE, V6_FILE, CHANGE_FILE, CUT_FILE} | (
            {G729_FILE} if self.has_g729 else set())
        self.assertEqual(set(os.listdir(self.out)), files)

    def test_a_codec_change_goes_on_in_the_same_file_with_the_new_decoder(self):
        expand = {MU: mulaw_expand, A: alaw_expand, G723: lambda b: 0}
        expected = [expand[c](b) if c != G723 else 0 for c, p in zip(CHANGE_CODECS, CHANGE_PAYLOADS)
                    for b in p]
        self.assertEqual(read_wav(os.path.join(self.out, CHANGE_FILE)), expected)
        self.assertRegex(self.line(self.summary, "192.0.2.10:31000 → 192.0.2.20:4096 session 5 "),
                         r"\(G711Mulaw\): .* undecodable 2, .* codec changes 3$")

    def test_g729_through_the_host_decoder(self):
        if not self.has_g729:
            self.skipTest("the host has no G.729 codec module")
        samples = read_wav(os.path.join(self.out, G729_FILE))
        self.assertEqual(len(samples), 5 * 160)
        self.assertGreater(max(map(abs, samples[:320])), 100)
        self.assertEqual(samples[320:480], [0] * 160)
        self.assertIn("undecodable 1,", self.line(self.summary, "192.0.2.10:31000 → 192.0.2.20:4096 session 2 "))

    def test_bad_folders_and_existing_files_leave_nothing_behind(self):
        readonly = self.folder("readonly", 0o555)
        not_a_folder = self.capture
        for folder, message in [(readonly, "cannot write into"), (self.host.path("nowhere"),
                                "No such file or directory"), (not_a_folder, "is not a folder")]:
            proc = self.export(folder)
            self.assertNotEqual(proc.returncode, 0)
            self.assertRegex(proc.stderr, f"simplekestrune,audio,{re.escape(folder)}: .*{message}")
        self.assertEqual(os.listdir(readonly), [])

        again = self.folder("again", 0o777)
        with open(os.path.join(again, MU_FILE), "w") as f:
            f.write("keep")
        proc = self.export(again)
        self.assertIn(f"not written, {again}/{MU_FILE} already exists",
                      self.line(proc.stdout, "192.0.2.10:31000 → 192.0.2.20:4096 session 1 "))
        self.assertIn("1 voice stream(s) not written", proc.stderr)
        with open(os.path.join(again, MU_FILE)) as f:
            self.assertEqual(f.read(), "keep")
        self.assertEqual(set(os.listdir(again)), set(os.listdir(self.out)))

    def run_export(self, capture, folder, *, nofile=None, fsize=None, stdin=None, what="audio"):
        """Starts an export as the tshark user, under the given limits."""
        wrapper = ["prlimit", f"--nofile={nofile}:{nofile}"] if nofile else []
        if fsize:
            wrapper = ["prlimit", f"--fsize={fsize}:{fsize}"]
        cmd, env = self.host.command("-q", "-r", capture, "-z", f"simplekestrune,{what},{folder}",
                                     wrapper=wrapper)
        # Over the file size limit a write fails instead of killing tshark.
        ignore_xfsz = (lambda: signal.signal(signal.SIGXFSZ, signal.SIG_IGN)) if fsize else None
        return subprocess.Popen(cmd, env=env, cwd=self.host.root, stdin=stdin,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                preexec_fn=ignore_xfsz)

    @staticmethod
    def outcome(proc, stdin=None):
        out, err = proc.communicate(stdin, timeout=300)
        return proc.returncode, out.decode(), err.decode()

    def test_many_streams_under_a_low_open_file_limit(self):
        # 400 interleaved streams, 20 ms packets, and room for 16 open files:
        # every file is closed and opened again on the way.
        streams, packets = 400, 24
        payloads = [[[mulaw(x) for x in tone(160 * i + 160, 100 + 7 * s)[160 * i:]]
                     for i in range(packets)] for s in range(streams)]
        where = [{"sport": 20000 + s} for s in range(streams)]
        capture = write_capture(self.host.path("many.pcap"),
                                [voice(s % 4096, i, payloads[s][i], MU, **where[s])
                                 for i in range(packets) for s in range(streams)])
        folder = self.folder("many", 0o777)
        status, out, err = self.outcome(self.run_export(capture, folder, nofile=64))
        self.assertEqual(status, 0, err)
        self.assertNotIn("not written", out)
        self.assertEqual(len(os.listdir(folder)), streams)
        for s in (0, 1, streams // 2, streams - 1):
            name = f"192.0.2.10_{20000 + s}-192.0.2.20_4096-s{s}.wav"
            self.assertEqual(read_wav(os.path.join(folder, name)),
                             [mulaw_expand(b) for p in payloads[s] for b in p], name)

    def test_a_failed_write_and_a_name_taken_meanwhile_leave_nothing_half_done(self):
        # One long stream grows past the file size limit; the short ones fit.
        long_call = [voice(9, i & 0xFF, [mulaw(x) for x in tone(160)], MU) for i in range(400)]
        short = [voice(10 + s, i, bytes(160), MU) for i in range(20) for s in range(3)]
        capture = write_capture(self.host.path("big.pcap"), short + long_call)
        folder = self.folder("full", 0o777)
        _, out, err = self.outcome(self.run_export(capture, folder, fsize=64 * 1024))
        self.assertRegex(self.line(out, "192.0.2.10:31000 → 192.0.2.20:4096 session 9 "),
                         "not written, cannot write .*")
        self.assertIn("NOT COMPLETE: 1 of 4 voice streams not written", out)
        self.assertIn("1 voice stream(s) not written", err)
        self.assertEqual(sorted(os.listdir(folder)),
                         [f"192.0.2.10_31000-192.0.2.20_4096-s{s}.wav" for s in (10, 11, 12)])

        # A file that turns up under the stream's name while the export runs.
        folder = self.folder("race", 0o777)
        name = os.path.join(folder, "192.0.2.10_31000-192.0.2.20_4096-s9.wav")
        with open(capture, "rb") as f:
            pcap = f.read()
        proc = self.run_export("-", folder, stdin=subprocess.PIPE)
        half = 24 + (len(pcap) - 24) // 2
        proc.stdin.write(pcap[:half])
        proc.stdin.flush()
        deadline = time.monotonic() + 60
        # Once the stream's own temporary file is there, its name was free.
        while not any(n.startswith("." + os.path.basename(name)) for n in os.listdir(folder)):
            self.assertLess(time.monotonic(), deadline, "the export wrote nothing")
            time.sleep(0.05)
        with open(name, "w") as f:
            f.write("keep")
        _, out, _ = self.outcome(proc, pcap[half:])
        self.assertIn(f"not written, {name} already exists", out)
        with open(name) as f:
            self.assertEqual(f.read(), "keep")
        self.assertEqual(len(os.listdir(folder)), 4)
        self.assertFalse([n for n in os.listdir(folder) if n.endswith(".part")])


def read_stereo(path):
    with wave.open(path) as w:
        assert (w.getnchannels(), w.getsampwidth(), w.getframerate()) == (2, 2, 8000)
        raw = w.readframes(w.getnframes())
    samples = [int.from_bytes(raw[i:i + 2], "little", signed=True) for i in range(0, len(raw), 2)]
    return samples[0::2], samples[1::2]


def timed(packets, start, step):
    return [dict(p, time=start + i * step) for i, p in enumerate(packets)]


FAR = {"src": "192.0.2.30", "dst": "192.0.2.20", "sport": 31000, "dport": 4096}
FAR_BACK = {"src": "192.0.2.20", "dst": "192.0.2.30", "sport": 4096, "dport": 31000}
CALLS = sorted(
    # Session 1: mu-law A → B with a packet lost, A-law back 37.5 ms later.
    timed([voice(1, s, [mulaw(x) for x in tone(80, 500 + 50 * s)], MU) for s in range(10)
           if s != 4], 0.100, 0.010)
    + timed([voice(1, s, [alaw(x) for x in tone(160, 700)], A, **BACK) for s in range(8)],
            0.1375, 0.020)
    # Session 3: one way only.
    + timed([voice(3, s, [mulaw(x) for x in tone(160)], MU) for s in range(5)], 0.200, 0.020)
    # Session 7 between two pairs of endpoints; in the second, 192.0.2.20 is
    # heard first (DTMF) but its voice starts 20 ms after the other side's.
    + timed([voice(7, s, [mulaw(x) for x in tone(160, 300)], MU) for s in range(3)], 0.300,
            0.020)
    + [voice(7, 0, bytes(4), MU, ptype=1, time=0.3001, **FAR_BACK)]
    + timed([voice(7, s, [mulaw(x) for x in tone(160, 900)], MU, **FAR) for s in range(4)],
            0.310, 0.020)
    + timed([voice(7, s, [alaw(x) for x in tone(160, 1100)], A, **FAR_BACK) for s in range(1, 4)],
            0.330, 0.020)
    # Session 9: G.723.1 (no decoder) against mu-law; session 11: G.723.1 alone.
    + timed([voice(9, s, bytes(24), G723) for s in range(3)], 0.400, 0.030)
    + timed([voice(9, s, [mulaw(x) for x in tone(160)], MU, **BACK) for s in range(3)], 0.410,
            0.020)
    + timed([voice(11, s, bytes(24), G723) for s in range(3)], 0.500, 0.030),
    key=lambda p: p["time"])
# Each call's file, with the mono files of its directions and where they start.
CALL_FILES = {
    "192.0.2.10_31000-192.0.2.20_4096-s1-call.wav": (MU_FILE, 0, A_FILE, 300),
    "192.0.2.10_31000-192.0.2.20_4096-s3-call.wav":
        ("192.0.2.10_31000-192.0.2.20_4096-s3.wav", 0, None, 0),
    "192.0.2.10_31000-192.0.2.20_4096-s7-call.wav":
        ("192.0.2.10_31000-192.0.2.20_4096-s7.wav", 0, None, 0),
    "192.0.2.20_4096-192.0.2.30_31000-s7-call.wav":
        ("192.0.2.20_4096-192.0.2.30_31000-s7.wav", 160,
         "192.0.2.30_31000-192.0.2.20_4096-s7.wav", 0),
    "192.0.2.10_31000-192.0.2.20_4096-s9-call.wav":
        (None, 0, "192.0.2.20_4096-192.0.2.10_31000-s9.wav", 80),
}


class CallAudioExport(HostTestCase):
    """-z simplekestrune,callaudio,DIR beside the export of each stream, in one run."""
    folder = classmethod(AudioExport.folder.__func__)
    run_export = AudioExport.run_export
    outcome = staticmethod(AudioExport.outcome)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.capture = write_capture(cls.host.path("calls.pcap"), CALLS)
        cls.mono, cls.calls = cls.folder("mono", 0o777), cls.folder("calls", 0o777)
        cls.summary = cls.export().stdout

    @classmethod
    def export(cls):
        return cls.host.tshark("-q", "-r", cls.capture, "-z", f"simplekestrune,audio,{cls.mono}",
                               "-z", f"simplekestrune,callaudio,{cls.calls}", check=False)

    def test_each_channel_is_its_directions_mono_export_at_its_offset(self):
        self.assertEqual(set(os.listdir(self.calls)), set(CALL_FILES))
        for name, (left, left_at, right, right_at) in CALL_FILES.items():
            channels = read_stereo(os.path.join(self.calls, name))
            expected = []
            for mono, at in ((left, left_at), (right, right_at)):
                samples = read_wav(os.path.join(self.mono, mono)) if mono else []
                expected.append([0] * at + samples if samples else [])
            frames = max(map(len, expected))
            for got, want in zip(channels, expected):
                self.assertEqual(got, want + [0] * (frames - len(want)), name)

    def test_summary_names_each_call_and_why_a_channel_is_silent(self):
        lines = self.summary.splitlines()
        def after(label):
            at = lines.index(next(l for l in lines if l.startswith(label)))
            return lines[at:at + 3]
        self.assertEqual(after("192.0.2.10:31000 ↔ 192.0.2.20:4096 session 1:"), [
            "192.0.2.10:31000 ↔ 192.0.2.20:4096 session 1: "
            "192.0.2.10_31000-192.0.2.20_4096-s1-call.wav, 0.198 s",
            "  left, A → B (G711Mulaw): from 0.000 s, 0.100 s, lost 1, undecodable 0, "
            "not voice 0, duplicates 0, too late 0, codec changes 0",
            "  right, B → A (G711Alaw): from 0.037 s, 0.160 s, lost 0, undecodable 0, "
            "not voice 0, duplicates 0, too late 0, codec changes 0"])
        self.assertEqual(after("192.0.2.10:31000 ↔ 192.0.2.20:4096 session 3:")[2],
                         "  right, B → A: silent, no voice packets")
        self.assertIn("192.0.2.20:4096 ↔ 192.0.2.30:31000 session 7: ", self.summary)
        self.assertEqual(after("192.0.2.10:31000 ↔ 192.0.2.20:4096 session 9:")[1],
                         "  left, A → B (G723Low): silent, the host has no G.723.1 decoder")
        self.assertEqual(after("192.0.2.10:31000 ↔ 192.0.2.20:4096 session 11:")[0],
                         "192.0.2.10:31000 ↔ 192.0.2.20:4096 session 11: "
                         "skipped, neither direction can be decoded")

    def test_many_calls_under_a_low_open_file_limit(self):
        # 120 two-way calls interleaved and room for 8 open files: each
        # direction's file is closed and opened again on the way.
        calls, packets = 120, 12
        payload = {(c, w): [[mulaw(x) for x in tone(160 * i + 160, 200 + 5 * c + 300 * w)[160 * i:]]
                            for i in range(packets)] for c in range(calls) for w in (0, 1)}
        def ends(c, w):
            return ({"sport": 20000 + c} if w == 0 else
                    {"src": "192.0.2.20", "dst": "192.0.2.10", "sport": 4096, "dport": 20000 + c})
        capture = write_capture(self.host.path("many-calls.pcap"), [
            voice(c, i, payload[c, w][i], MU, time=0.02 * i + 0.0001 * c + 0.005 * w, **ends(c, w))
            for i in range(packets) for c in range(calls) for w in (0, 1)])
        folder = self.folder("many-calls", 0o777)
        status, out, err = self.outcome(self.run_export(capture, folder, nofile=32,
                                                        what="callaudio"))
        self.assertEqual(status, 0, err)
        self.assertNotIn("not written", out)
        self.assertEqual(len(os.listdir(folder)), calls)
        for c in (0, calls // 2, calls - 1):
            left, right = read_stereo(
                os.path.join(folder, f"192.0.2.10_{20000 + c}-192.0.2.20_4096-s{c}-call.wav"))
            expected = [[mulaw_expand(b) for p in payload[c, w] for b in p] for w in (0, 1)]
            self.assertEqual(left, expected[0] + [0] * 40)
            self.assertEqual(right, [0] * 40 + expected[1])  # 5 ms later

    def test_a_call_file_already_there_is_kept_and_reported(self):
        before = {n: os.path.getmtime(os.path.join(self.calls, n)) for n in CALL_FILES}
        proc = self.export()
        self.assertIn("NOT COMPLETE: 5 of 6 calls not written", proc.stdout)
        self.assertIn("-z simplekestrune,callaudio: 5 call(s) not written", proc.stderr)
        self.assertEqual(
            {n: os.path.getmtime(os.path.join(self.calls, n)) for n in CALL_FILES}, before)
        self.assertEqual(set(os.listdir(self.calls)), set(CALL_FILES))

    def test_directions_an_hour_apart_make_no_call_file_but_both_stream_files(self):
        # A few packets whose arrival times lie an hour apart must not turn
        # into an hour of silence on disk, whichever way the capture's clock ran.
        there = timed([voice(13, s, [mulaw(x) for x in tone(160)], MU) for s in range(3)], 0.1, 0.02)
        back = timed([voice(13, s, [mulaw(x) for x in tone(160)], MU, **BACK) for s in range(3)],
                     3600.2, 0.02)
        for name, frames in (("forwards", there + back), ("backwards", back + there)):
            capture = write_capture(self.host.path(f"hour-{name}.pcap"), frames)
            mono, calls = self.folder(f"{name}-mono", 0o777), self.folder(f"{name}-calls", 0o777)
            proc = self.host.tshark("-q", "-r", capture, "-z", f"simplekestrune,audio,{mono}",
                                    "-z", f"simplekestrune,callaudio,{calls}", check=False)
            ends = ("192.0.2.10:31000 ↔ 192.0.2.20:4096" if name == "forwards"
                    else "192.0.2.20:4096 ↔ 192.0.2.10:31000")
            self.assertIn(f"{ends} session 13: not written, its directions start 3600.100 s "
                          "apart (at most 3600 s in one file)", proc.stdout)
            self.assertIn("NOT COMPLETE: 1 of 1 calls not written", proc.stdout)
            self.assertEqual(os.listdir(calls), [])
            self.assertEqual(len(os.listdir(mono)), 2)


def aal2(payload, bits):
    """The payload's codewords, packed as RFC 3551 does (the first in the low
    bits of the first byte), packed again as AAL2 does (the first in the high bits)."""
    value = int.from_bytes(payload, "little")
    n = len(payload) * 8 // bits
    words = [(value >> (bits * i)) & ((1 << bits) - 1) for i in range(n)]
    return sum(w << (bits * (n - 1 - i)) for i, w in enumerate(words)).to_bytes(len(payload), "big")


class G726Packing(HostTestCase):
    # Codec Type, bits per codeword: 30-byte payloads hold 120, 80 and 60 samples.
    RATES = {0: 2, 15: 3, 7: 4}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        rng = random.Random(26)
        cls.payloads = {c: [bytes(rng.randrange(256) for _ in range(30)) for _ in range(10)]
                        for c in cls.RATES}
        # Sessions 1xx: as generated; 2xx: the same codewords packed the AAL2 way.
        cls.capture = write_capture(cls.host.path("g726.pcap"), [
            voice(base + c, i, p if base == 100 else aal2(p, bits), c)
            for base in (100, 200) for c, bits in cls.RATES.items()
            for i, p in enumerate(cls.payloads[c])])
        cls.files = {}
        # RFC 3551's packing is the default: no -o for it.
        for packing, args in (("rfc3551", ()), ("aal2", ("-o", "simplekestrune.g726_packing:aal2"))):
            folder = cls.host.path(packing)
            os.mkdir(folder)
            os.chmod(folder, 0o777)
            cls.summary = cls.host.tshark("-q", "-r", cls.capture, *args, "-z",
                                          f"simplekestrune,audio,{folder}").stdout
            cls.files[packing] = {n: read_wav(os.path.join(folder, n)) for n in os.listdir(folder)}

    def wav(self, packing, session):
        return self.files[packing][f"192.0.2.10_31000-192.0.2.20_4096-s{session}.wav"]

    def test_each_rate_reaches_its_own_decoder_with_either_packing(self):
        if not self.files["rfc3551"]:
            self.skipTest("the host has no G.726 codec module")
        for codec, bits in self.RATES.items():
            for packing in self.files:
                self.assertEqual(len(self.wav(packing, 100 + codec)), 10 * 30 * 8 // bits)
            # The same codewords give the same speech, whichever way they are packed.
            self.assertEqual(self.wav("rfc3551", 100 + codec), self.wav("aal2", 200 + codec))
            self.assertNotEqual(self.wav("rfc3551", 100 + codec), self.wav("aal2", 100 + codec))
