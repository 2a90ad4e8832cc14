# SPDX-License-Identifier: GPL-2.0-or-later
"""The bundled sample capture: reproducible from the generator, and it
shows users the traffic it promises."""
import collections
import os
import subprocess
import unittest

from harness import HostTestCase

SAMPLE = os.environ.get("KESTRUNE_SAMPLE", "")
GENERATOR = os.environ.get("KESTRUNE_GENERATOR", "")
F = "kestrune.simple_packet."


class Sample(HostTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        with open(SAMPLE, "rb") as f:
            cls.sample_bytes = f.read()
        cls.capture = cls.host.path("sample.pcap")
        with open(cls.capture, "wb") as f:
            f.write(cls.sample_bytes)
        os.chmod(cls.capture, 0o644)
        names = ["frame.number", "udp.srcport", "udp.dstport", "_ws.col.Protocol",
                 F + "simple_packet_type", F + "codec_type", F + "session_id",
                 F + "sequence_number", F + "payload_size", "_ws.malformed"]
        rows = cls.host.fields(cls.capture, names)
        cls.rows = [dict(zip(names, r)) for r in rows]
        cls.ours = [r for r in cls.rows if r["_ws.col.Protocol"] == "SimpleKestrune"]

    def test_generator_reproduces_the_sample(self):
        out = self.host.path("again.pcap")
        subprocess.run([GENERATOR, "--output", out, "--count", "100", "--seed", "1"], check=True)
        with open(out, "rb") as f:
            self.assertEqual(f.read(), self.sample_bytes)

    def test_every_packet_type_and_several_codecs(self):
        self.assertEqual(sorted({int(r[F + "simple_packet_type"]) for r in self.ours}),
                         list(range(8)))
        self.assertGreaterEqual(len({r[F + "codec_type"] for r in self.ours}), 4)
        sessions = {int(r[F + "session_id"]) for r in self.ours}
        self.assertTrue({0, 4095} <= sessions, sessions)

    def test_sequence_numbers_wrap_per_session(self):
        by_session = collections.defaultdict(list)
        for r in self.ours:
            if r["_ws.malformed"] == "":
                by_session[r[F + "session_id"]].append(int(r[F + "sequence_number"]))
        wrapped = [s for s, seq in by_session.items()
                   if any(a == 255 and b == 0 for a, b in zip(seq, seq[1:]))]
        self.assertTrue(wrapped)
        for seq in by_session.values():
            self.assertTrue(all((b - a) % 256 == 1 for a, b in zip(seq, seq[1:])), seq)

    def test_both_directions_another_port_and_ill_formed_tail(self):
        self.assertTrue(any(r["udp.srcport"] == "4096" for r in self.ours))
        self.assertTrue(any(r["udp.dstport"] == "4096" for r in self.ours))
        others = [r for r in self.rows if "4096" not in (r["udp.srcport"], r["udp.dstport"])]
        self.assertEqual([r["_ws.col.Protocol"] for r in others], ["UDP"])
        tail = self.rows[-3:]
        self.assertEqual([r["_ws.malformed"] != "" for r in tail], [True, False, True])
        self.assertEqual(tail[-1][F + "payload_size"], "200")
        self.assertTrue(all(r["_ws.malformed"] == "" for r in self.rows[:-3]))


if __name__ == "__main__":
    unittest.main()
