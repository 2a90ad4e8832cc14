#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Fuzz campaign for the Simple Kestrune module, in the style of the host's
own fuzz testing: random datagrams to the port and mutated captures, read by
the real tshark with the host's strict debugging settings, in -V, PDML and
two-pass modes with the release module (the stream analysis on and off, and
a host dissector chosen for DTMF payloads), and in summary, -V and statistics
(the tree, the stream and calls tables, the flow graph, expert information,
the host's RTP stream list and the audio exports of streams and of calls,
with the heuristic on) modes with a sanitizer build and under valgrind.

A run passes when every tshark exits 0, nothing crashes or aborts, no
dissector bug is reported, the sanitizers report nothing, valgrind reports
no more than it does for the host alone, and as many frames come out as
went in.

Every run prints its seed; the same arguments and seed replay it exactly. A
failing input is kept as a capture in --failures and named in the message.

    fuzz_campaign.py --module build/simplekestrune.so --datagrams 50000
    fuzz_campaign.py ... --duration 1800          # repeat rounds for 30 minutes
"""
import argparse
import collections
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "host"))
from harness import Host, PORT, PEER_PORT, header, write_capture  # noqa: E402

STRICT_ENV = {
    "WIRESHARK_ABORT_ON_DISSECTOR_BUG": "1",
    "WIRESHARK_DEBUG_WMEM_OVERRIDE": "strict",
    "G_SLICE": "debug-blocks",
    "MALLOC_CHECK_": "3",
}
MODES = {
    "V": ["-V"],
    "pdml": ["-T", "pdml"],
    "2V": ["-2", "-V"],
    "Voff": ["-V", "-o", "simplekestrune.analyze_streams:FALSE"],
    # The stream analysis off, and DTMF payloads through the packet-type
    # table to a host dissector, in two passes.
    "2Voff": ["-2", "-V", "-o", "simplekestrune.analyze_streams:FALSE",
              "-d", "kestrune.packet_type==1,rtpevent"],
    # The host reads the columns and runs the taps after the dissector has
    # returned: these find pointers it keeps to memory that is gone by then.
    "summary": [],
    "stats": ["-z", "simplekestrune,tree", "-z", "simplekestrune,streams", "-z", "expert",
              "-z", "simplekestrune,calls", "-z", "flow,simplekestrune,network",
              "-z", "rtp,streams", "--enable-heuristic", "simplekestrune_udp",
              # One-second score intervals, so that the datagrams close many.
              "-z", "simplekestrune,intervals", "-o", "simplekestrune.score_interval:1",
              "-z", "simplekestrune,receivers"],
    "VP": ["-V", "-P"],  # the host alone's baseline for valgrind: both printers
}
MEMORY_MODES = ("summary", "V", "stats")
FRAME_LINE = re.compile(rb"^Frame \d+: ")
SUMMARY_LINE = re.compile(rb"^ *\d+ +-?\d")
DATAGRAMS_PER_CAPTURE = 25000


class Failure(Exception):
    pass


def random_datagram(rng):
    """Mostly around the header's size; a share with a well-formed header
    whose payload size matches, falls short of or overruns the datagram."""
    kind = rng.random()
    if kind < 0.6:
        size = rng.randint(0, 16)
        return bytes(rng.getrandbits(8) for _ in range(size))
    if kind < 0.75:
        size = rng.randint(17, 600)
        return bytes(rng.getrandbits(8) for _ in range(size))
    payload = rng.randint(0, 255)
    actual = {0: payload, 1: max(0, payload - rng.randint(1, 8)),
              2: payload + rng.randint(1, 40)}[rng.randint(0, 2)]
    actual = min(actual, 594)
    hdr = header(rng.getrandbits(11), rng.getrandbits(3), rng.getrandbits(1), rng.getrandbits(1),
                 rng.getrandbits(4), rng.getrandbits(12), rng.getrandbits(8), payload)
    return hdr + bytes(rng.getrandbits(8) for _ in range(actual))


def random_capture(path, rng, count):
    datagrams = []
    for _ in range(count):
        d = {"data": random_datagram(rng)}
        where = rng.random()
        if where < 0.3:  # from the port as well as to it
            d.update(sport=PORT, dport=PEER_PORT + rng.randint(0, 99))
        elif where < 0.5:  # on neither end: only the heuristic looks at it
            d.update(sport=PEER_PORT + rng.randint(0, 99), dport=PEER_PORT + rng.randint(0, 99))
        datagrams.append(d)
    return write_capture(path, datagrams)


def count_frames(capture):
    out = subprocess.run(["capinfos", "-M", "-c", "-r", "-T", capture],
                         capture_output=True, text=True, check=True).stdout
    return int(out.split()[-1])


class Campaign:
    def __init__(self, args):
        self.args = args
        self.failures_dir = os.path.abspath(args.failures)
        self.release = Host(args.module)
        self.sanitized = Host(args.sanitized_module) if args.sanitized_module else None
        # Before glibc 2.34 the runtime must come up before any library's
        # constructor (see sanitizer_first.c); later releases need no help.
        self.sanitizer_audit = None
        libc = os.confstr("CS_GNU_LIBC_VERSION").split()[-1]
        if self.sanitized and args.sanitizer_audit and \
                tuple(map(int, libc.split(".")[:2])) < (2, 34):
            # Beside the module, where the unprivileged user can read it.
            self.sanitizer_audit = self.sanitized.path("sanitizer_first.so")
            shutil.copy(args.sanitizer_audit, self.sanitizer_audit)
            os.chmod(self.sanitizer_audit, 0o755)
        self.host_alone = Host(load_module=False)
        # Built only where libsndfile was found.
        self.audio_export = "simplekestrune,audio" in self.release.tshark(
            "-z", "help", check=False).stderr
        self.runs = 0
        self.frames = 0
        self.datagrams = 0
        # A module that does not load (built for another host release, say)
        # would leave nothing to fuzz and every run would pass.
        # (Checked by decoding: under the sanitizer runtime some hosts hang in
        # -G plugins, even with no plugin at all.)
        sample = self.release.path("sample.pcap")
        shutil.copy(args.sample, sample)
        os.chmod(sample, 0o644)
        for host in filter(None, (self.release, self.sanitized)):
            env = self.sanitizer_env() if host is self.sanitized else None
            first = host.tshark("-r", sample, "-c", "1", "-T", "fields", "-e", "_ws.col.Protocol",
                                env=env).stdout
            if first.strip() != "SimpleKestrune":
                raise Failure(f"the host did not load {host.plugin_dir}'s module")

    def close(self):
        self.release.close()
        self.host_alone.close()
        if self.sanitized:
            self.sanitized.close()

    def save(self, capture, why):
        os.makedirs(self.failures_dir, exist_ok=True)
        kept = os.path.join(self.failures_dir, os.path.basename(capture))
        shutil.copy(capture, kept)
        raise Failure(f"{why}\n  input kept as {kept}")

    def tshark(self, host, capture, mode, env=None, wrapper=()):
        """Runs one mode over a capture, counting frames as the output streams."""
        args, audio = list(MODES[mode]), None
        if mode == "stats" and self.audio_export:
            # A folder of its own each time: an existing file is not rewritten.
            audio = tempfile.mkdtemp(prefix="audio-", dir=host.root)
            os.chmod(audio, 0o777)
            args += ["-z", f"simplekestrune,audio,{audio}",
                     "-z", f"simplekestrune,callaudio,{audio}"]
        cmd, full_env = host.command("-r", capture, *args, env={**STRICT_ENV, **(env or {})},
                                     wrapper=wrapper)
        err_path = host.path("stderr.txt")
        frames = 0
        bug = False
        with open(err_path, "wb") as err:
            proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=err, env=full_env,
                                    cwd=host.root)
            for line in proc.stdout:
                if mode == "pdml":
                    frames += line.count(b"<packet>")
                elif (FRAME_LINE if "-V" in MODES[mode] else SUMMARY_LINE).match(line):
                    frames += 1
                if b"Dissector bug" in line or b"dissector bug" in line:
                    bug = True
            rc = proc.wait()
        with open(err_path, "rb") as err:
            stderr = err.read().decode(errors="replace")
        if audio:
            shutil.rmtree(audio, ignore_errors=True)
        self.runs += 1
        return rc, frames, bug, stderr

    def check(self, host, capture, mode, expected, label, env=None, wrapper=()):
        rc, frames, bug, stderr = self.tshark(host, capture, mode, env, wrapper)
        lines = stderr.splitlines()  # from a sanitizer's headline, if there is one
        start = next((i for i, l in enumerate(lines) if "ERROR:" in l or "runtime error:" in l),
                     max(0, len(lines) - 25))
        tail = "\n".join(lines[start:start + 25])
        if rc != 0:
            self.save(capture, f"{label}, mode {mode}: tshark exited {rc}\n{tail}")
        if bug or "Dissector bug" in stderr:
            self.save(capture, f"{label}, mode {mode}: dissector bug reported\n{tail}")
        if "runtime error:" in stderr or "AddressSanitizer" in stderr:
            self.save(capture, f"{label}, mode {mode}: sanitizer report\n{tail}")
        if frames != expected:
            self.save(capture, f"{label}, mode {mode}: {frames} frames out, {expected} in")
        self.frames += frames

    def sanitizer_env(self):
        runtimes = [subprocess.run(["gcc", f"-print-file-name={lib}"], capture_output=True,
                                   text=True, check=True).stdout.strip()
                    for lib in ("libasan.so", "libubsan.so")]
        # The host itself is not built for leak checking; its leaks are not ours.
        env = {"LD_PRELOAD": ":".join(runtimes),
               "ASAN_OPTIONS": "detect_leaks=0:abort_on_error=1:allocator_may_return_null=1"
                               ":detect_stack_use_after_return=1",
               "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1"}
        if self.sanitizer_audit:
            env["LD_AUDIT"] = self.sanitizer_audit
        return env

    def valgrind_errors(self, host, capture, mode, expected, label):
        """{(kind, top function, in our module): count} of everything valgrind reports."""
        xml = host.path("valgrind.xml")
        wrapper = ["valgrind", "--tool=memcheck", "--xml=yes", f"--xml-file={xml}",
                   "--num-callers=30"]
        # Valgrind writes its report as the unprivileged user.
        os.chmod(host.root, 0o777)
        self.check(host, capture, mode, expected, label, env={"G_SLICE": "always-malloc"},
                   wrapper=wrapper)
        root = ET.parse(xml).getroot()
        repeats = {p.findtext("unique"): int(p.findtext("count")) for p in root.iter("pair")}
        errors = collections.Counter()
        for error in root.iter("error"):
            if error.findtext("kind").startswith("Leak_"):
                continue  # what is counted here is bad accesses, not the host's leaks at exit
            top = error.find("stack/frame")
            top = "?" if top is None else top.findtext("fn") or top.findtext("obj")
            ours = any("simplekestrune" in (o.text or "") for o in error.iter("obj"))
            errors[error.findtext("kind"), top, ours] += repeats.get(error.findtext("unique"), 1)
        return errors

    def valgrind(self, capture, expected, label):
        # The bad read of a pointer the host kept happens in the host's own
        # code, so every report counts, less what the host alone reports.
        baseline = self.valgrind_errors(self.host_alone, capture, "VP", expected, label)
        for mode in MEMORY_MODES:
            errors = self.valgrind_errors(self.release, capture, mode, expected, label)
            errors.subtract(baseline)
            extra = {k: n for k, n in errors.items() if n > 0}
            if extra:
                self.save(capture, f"{label}, mode {mode}: valgrind errors beyond the host's: {extra}")

    def round(self, seed):
        rng = random.Random(seed)
        work = tempfile.mkdtemp(prefix=f"round-{seed}-", dir=self.release.root)
        os.chmod(work, 0o755)
        captures = []
        remaining = self.args.datagrams
        part = 0
        while remaining > 0:
            n = min(remaining, DATAGRAMS_PER_CAPTURE)
            path = random_capture(os.path.join(work, f"random-seed{seed}-part{part}.pcap"), rng, n)
            captures.append((path, n))
            self.datagrams += n
            remaining -= n
            part += 1
        sources = [self.args.sample]
        if self.args.generator:
            big = os.path.join(work, f"generated-seed{seed}.pcap")
            subprocess.run([self.args.generator, "--output", big, "--count", "5000",
                            "--seed", str(seed)], check=True)
            sources.append(big)
        for i in range(self.args.mutations):
            src = sources[i % len(sources)]
            mut_seed = seed * 1000 + i
            out = os.path.join(work, f"mutated-{os.path.basename(src)[:-5]}-seed{mut_seed}.pcap")
            subprocess.run(["editcap", "-E", "0.02", "--seed", str(mut_seed), src, out],
                           check=True, capture_output=True)
            os.chmod(out, 0o644)
            captures.append((out, count_frames(out)))

        for path, expected in captures:
            label = os.path.basename(path)
            for mode in self.args.modes:
                self.check(self.release, path, mode, expected, label)
            for mode in MEMORY_MODES if self.sanitized else ():
                self.check(self.sanitized, path, mode, expected, label + " (sanitized)",
                           env=self.sanitizer_env())
        if self.args.valgrind:
            path = random_capture(os.path.join(work, f"valgrind-seed{seed}.pcap"), rng,
                                  self.args.valgrind)
            self.datagrams += self.args.valgrind
            self.valgrind(path, self.args.valgrind, os.path.basename(path))
        shutil.rmtree(work, ignore_errors=True)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--module", required=True)
    p.add_argument("--sanitized-module")
    p.add_argument("--sanitizer-audit", help="sanitizer_first.so, for hosts with glibc before 2.34")
    p.add_argument("--sample", required=True)
    p.add_argument("--generator")
    p.add_argument("--datagrams", type=int, default=50000, help="random datagrams per round")
    p.add_argument("--mutations", type=int, default=10, help="mutated captures per round")
    p.add_argument("--valgrind", type=int, default=0, help="random datagrams under valgrind per round")
    p.add_argument("--modes", default="V,pdml,2V,Voff,2Voff")
    p.add_argument("--seed", type=int, help="first round's seed (default: from the clock)")
    p.add_argument("--duration", type=float, default=0, help="keep starting rounds for this many seconds")
    p.add_argument("--failures", default="fuzz-failures")
    args = p.parse_args()
    args.modes = args.modes.split(",")
    seed = args.seed if args.seed is not None else int(time.time()) % 1000000
    print(f"fuzz: first seed {seed}; replay with --seed {seed} and the same options", flush=True)

    campaign = Campaign(args)
    start = time.monotonic()
    rounds = 0
    try:
        while True:
            campaign.round(seed + rounds)
            rounds += 1
            elapsed = time.monotonic() - start
            print(f"fuzz: round {rounds} (seed {seed + rounds - 1}) passed; "
                  f"{campaign.datagrams} random datagrams, {campaign.frames} frames, "
                  f"{campaign.runs} tshark runs, {elapsed:.0f} s", flush=True)
            if elapsed >= args.duration:
                break
    except Failure as f:
        print(f"fuzz: FAILED in round with seed {seed + rounds}: {f}", flush=True)
        return 1
    finally:
        campaign.close()
    print(f"fuzz: {rounds} rounds passed", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
