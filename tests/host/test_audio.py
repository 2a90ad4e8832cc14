# SPDX-License-Identifier: GPL-2.0-or-later
"""Audio export (-z simplekestrune,audio,DIR): WAV files from the host's codecs."""
import math
import os
import random
import re
import wave

from harness import HostTestCase, header, write_capture



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
        self.assertEqual(
            self.line(self.summary, "192.0.2.10:31000 → 192.0.2.20:4096 session 1 "),
            f"192.0.2.10:31000 → 192.0.2.20:4096 session 1 (G711Mulaw): {MU_FILE}, 0.100 s, "
            "lost 1, undecodable 0, not voice 0, duplicates 1, too late 0")
        self.assertIn(f"(G711Alaw): {A_FILE}, 0.180 s, lost 0, undecodable 1, not voice 1,",
                      self.line(self.summary, "192.0.2.20:4096 → 192.0.2.10:31000 session 1 "))

    def test_undecodable_codec_is_skipped_and_ipv6_names_a_file(self):
        self.assertEqual(self.line(self.summary, "192.0.2.10:31000 → 192.0.2.20:4096 session 3 "),
                         "192.0.2.10:31000 → 192.0.2.20:4096 session 3 (G723Low): "
                         "skipped, the host has no G.723.1 decoder")
        self.line(self.summary, "[2001:db8::10]:31000 → [2001:db8::20]:4096 session 4 ")
        files = {MU_FILE, A_FILE, V6_FILE} | ({G729_FILE} if self.has_g729 else set())
        self.assertEqual(set(os.listdir(self.out)), files)

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
