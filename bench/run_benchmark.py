#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""What the plugin costs on top of the host.

Generates an N-packet capture with the project's generator and times whole
tshark runs, interleaved and repeated, in three modes (summary lines,
-T fields on plugin fields, -V to /dev/null). Each is compared with the
floor: the same capture read without the plugin, port 4096 decoded as plain
data, which is the least the host can do for these packets. Peak resident
memory comes from /usr/bin/time -v; instructions per packet in the plugin's
own code come from callgrind on a smaller capture.

The media stream analysis (-z simplekestrune,streams) is measured beside the
host's own RTP stream analysis (-z rtp,streams) on captures of the same
streams, packet count and frame sizes, one of them carrying RTP; and at a
tenth of the packets, to show what its memory grows with. On the same kind
of capture, callgrind counts what the calls table with its quality score
adds per packet to the stream table (-z simplekestrune,calls beside
-z simplekestrune,streams), by the slope between two capture sizes.

    run_benchmark.py --module build/simplekestrune.so --generator build/make_capture
    run_benchmark.py ... --packets 2000 --repetitions 1 --callgrind-packets 500 --output /tmp/p.md
    run_benchmark.py ... --streams-only      # re-measure only the stream section of --output
    run_benchmark.py ... --traffic-only      # re-measure only the section by kind of traffic

By kind of traffic: the per-packet stream analysis on two kinds of capture,
voice calls with loss and reordering (little news) and random datagrams on
the port (news, and a new stream, in nearly every packet), each mode with the
analysis on and off against the floor, in instructions per packet with where
they go; and the memory a stream costs, on a capture of one-packet streams,
beside what the host keeps for as many UDP conversations.
"""
import argparse
import os
import platform
import random
import re
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "host"))
from harness import PORT, Host, header, write_capture  # noqa: E402

PLUGIN_FIELDS = ["kestrune.simple_packet.session_id", "kestrune.simple_packet.sequence_number",
                 "kestrune.simple_packet.codec_type", "kestrune.simple_packet.payload_size"]
# The floor's fields: the same number of plain integer fields the host has anyway.
FLOOR_FIELDS = ["udp.srcport", "udp.dstport", "udp.length", "data.len"]
MODES = ["summary", "fields", "-V"]
# The plugin with its per-packet stream analysis on (the default) and off;
# the floor is the host without the plugin.
SIDES = ["on", "off"]
SIDE_ARGS = {"on": [], "off": ["-o", "simplekestrune.analyze_streams:FALSE"]}
TARGETS = {("summary", "on"): 1.05, ("fields", "on"): 1.10, ("-V", "on"): 1.15,
           ("summary", "off"): 1.03, ("fields", "off"): 1.09, ("-V", "off"): 1.10}
# Peak memory of the analysis: bytes per packet above the run with it off
# (the 32-byte record each packet keeps).
ANALYSIS_BYTES_PER_PACKET = 32
MEMORY_TARGET = 1.02
# The calls table and its score: at most this much more per packet than the
# stream table alone.
CALLS_TARGET = 1.10
# By kind of traffic: the fields asked for are the host's, so that the
# plugin's own items are all ones the host may skip.
TRAFFIC = ["calls", "random"]
TRAFFIC_FIELDS = ["-T", "fields", "-e", "udp.length", "-e", "data.len"]
TRAFFIC_TARGETS = {("calls", "summary", "on"): 1.05, ("calls", "fields", "on"): 1.10,
                   ("calls", "-V", "on"): 1.15, ("random", "summary", "on"): 1.08,
                   ("random", "fields", "on"): 1.20, ("random", "-V", "on"): 1.20}
TRAFFIC_TARGETS.update({(t, m, "off"): TARGETS[(m, "off")] for t in TRAFFIC for m in MODES})
# Bytes a one-packet stream may cost, its packet's record included.
STREAM_BYTES = 200
ALLOCATORS = re.compile(r"\b(malloc|calloc|realloc|g_malloc\w*|g_slice_alloc\w*|wmem_alloc\w*|"
                        r"operator new\w*|_Znwm)\b")


def mode_args(mode, plugin):
    if mode == "summary":
        return []
    if mode == "fields":
        fields = PLUGIN_FIELDS if plugin else FLOOR_FIELDS
        return ["-T", "fields"] + [a for f in fields for a in ("-e", f)]
    return ["-V"]


class Bench:
    def __init__(self, args):
        self.args = args
        self.plugin = Host(args.module)
        self.floor = Host(load_module=False)
        os.chmod(self.plugin.root, 0o777)  # time -v and callgrind write here as the tshark user

    def close(self):
        self.plugin.close()
        self.floor.close()

    def capture(self, name, count):
        path = self.plugin.path(name)
        subprocess.run([self.args.generator, "--output", path, "--count", str(count), "--seed",
                        "1", "--well-formed-only"], check=True)
        os.chmod(path, 0o644)
        return path

    def run_once(self, side, mode, capture, args=None):
        """side: "on" or "off" (the plugin, its analysis on or off), or None
        for the floor; or True for the plugin with args of the caller's."""
        plugin = side is not None
        host = self.plugin if plugin else self.floor
        if args is None:
            args = (SIDE_ARGS[side] if plugin else ["-d", "udp.port==4096,data"]) + mode_args(
                mode, plugin)
        report = self.plugin.path("time.txt")
        cmd, env = host.command("-r", capture, *args,
                                wrapper=["/usr/bin/time", "-v", "-o", report])
        start = time.perf_counter()
        subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       check=True, cwd=host.root)
        elapsed = time.perf_counter() - start
        with open(report) as f:
            text = f.read()
        rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", text).group(1))
        cpu = sum(float(re.search(rf"{kind} time \(seconds\): ([\d.]+)", text).group(1))
                  for kind in ("User", "System"))
        return elapsed, cpu, rss

    def timings(self, capture):
        """{(mode, side): (median wall s, median CPU s, peak RSS KiB)}, side
        "on", "off" or None (the floor)"""
        sides = SIDES + [None]
        runs = {(m, p): [] for m in self.args.modes for p in sides}
        for rep in range(self.args.repetitions):
            for mode in self.args.modes:
                # Alternate the order so drift hits every side alike.
                for side in (sides if rep % 2 == 0 else reversed(sides)):
                    runs[(mode, side)].append(self.run_once(side, mode, capture))
            print(f"bench: repetition {rep + 1}/{self.args.repetitions} done", flush=True)
        return {k: (statistics.median(r[0] for r in v), statistics.median(r[1] for r in v),
                    max(r[2] for r in v)) for k, v in runs.items()}

    def stream_captures(self, packets):
        """The same voice calls as Simple Packets and as RTP: two gateways,
        both directions, --stream-calls sessions each."""
        paths = {}
        for rtp in (False, True):
            path = self.plugin.path(f"calls-{packets}{'-rtp' if rtp else ''}.pcap")
            subprocess.run([self.args.generator, "--output", path, "--count", str(packets),
                            "--calls", str(self.args.stream_calls), "--gateways", "2",
                            "--two-way"] + (["--rtp"] if rtp else []), check=True)
            os.chmod(path, 0o644)
            paths[rtp] = path
        return paths

    def stream_timings(self):
        """{(packets, rtp?, analysed?): (median wall s, median CPU s, peak RSS KiB)}.
        Each capture is read once with its own stream analysis and once with
        the other one's, which registers a tap (so every packet is dissected)
        that no packet reaches: the difference is the analysis alone."""
        ours, theirs = ["-z", "simplekestrune,streams"], ["-z", "rtp,streams"]
        as_rtp = ["-d", "udp.port==4096,rtp"]
        cases = {}
        for packets in (self.args.stream_packets // 10, self.args.stream_packets):
            paths = self.stream_captures(packets)
            cases[(packets, False, True)] = (paths[False], ours)
            cases[(packets, False, False)] = (paths[False], theirs)
            cases[(packets, True, True)] = (paths[True], as_rtp + theirs)
            cases[(packets, True, False)] = (paths[True], as_rtp + ours)
        # A first run in a fresh home sets up the host's folders.
        self.run_once(True, None, *next(iter(cases.values())))
        runs = {k: [] for k in cases}
        for rep in range(self.args.repetitions):
            for key in (cases if rep % 2 == 0 else reversed(list(cases))):
                runs[key].append(self.run_once(True, None, *cases[key]))
            print(f"bench: stream repetition {rep + 1}/{self.args.repetitions} done", flush=True)
        return {k: (statistics.median(r[0] for r in v), statistics.median(r[1] for r in v),
                    max(r[2] for r in v)) for k, v in runs.items()}

    @staticmethod
    def count(host, args, capture, out):
        """Instructions callgrind counts for a whole tshark run; its output
        file is kept as out."""
        cmd, env = host.command("-r", capture, *args, wrapper=[
            "valgrind", "--tool=callgrind", f"--callgrind-out-file={out}"])
        subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       check=True, cwd=host.root)
        with open(out) as f:
            return int(re.search(r"^(?:summary|totals): (\d+)", f.read(), re.M).group(1))

    def calls_instructions(self):
        """{"streams"|"calls": per-packet instructions}, the slope between
        call captures of 2 and 6 times --callgrind-packets, fewest of
        --callgrind-runs; "calls" reads the stream table and the calls table."""
        tables = {"streams": ["-q", "-z", "simplekestrune,streams"],
                  "calls": ["-q", "-z", "simplekestrune,streams", "-z", "simplekestrune,calls"]}
        sizes = (2 * self.args.callgrind_packets, 6 * self.args.callgrind_packets)
        captures = {n: self.stream_captures(n)[False] for n in sizes}
        self.run_once(True, None, captures[sizes[0]], tables["streams"])
        result = {}
        for name, args in tables.items():
            total = {n: min(self.count(self.plugin, args, captures[n],
                                        self.plugin.path(f"callgrind-{name}-{n}.out"))
                            for _ in range(self.args.callgrind_runs)) for n in sizes}
            result[name] = (total[sizes[1]] - total[sizes[0]]) / (sizes[1] - sizes[0])
        print("bench: instructions of the calls table counted", flush=True)
        return result

    def total_instructions(self, side, mode, capture):
        """Instructions callgrind counts for a whole tshark run; the output
        file is kept for the plugin's runs."""
        plugin = side is not None
        host = self.plugin if plugin else self.floor
        extra = SIDE_ARGS[side] if plugin else ["-d", "udp.port==4096,data"]
        out = self.plugin.path(f"callgrind-{mode}-{side or 'floor'}-{os.path.basename(capture)}.out")
        return self.count(host, [*extra, *mode_args(mode, plugin)], capture, out), out

    def instructions(self, small, large, n_small, n_large):
        """Per-packet instructions of plugin and floor (the slope between two
        capture sizes, so start-up drops out), and the plugin's own share."""
        # A first run in a fresh home sets up the host's folders; keep that
        # out of the counts.
        for side in ("on", None):
            self.run_once(side, "summary", small)
        result = {}
        for mode in self.args.modes:
            # Callgrind's counts move about 1% with what the machine does
            # meanwhile (tshark does time-driven work): the fewer of two runs.
            low, high, breakdown = {}, {}, {}
            for side in SIDES + [None]:
                runs = range(self.args.callgrind_runs)
                low[side], out = min(self.total_instructions(side, mode, small) for _ in runs)
                high[side] = min(self.total_instructions(side, mode, large)[0] for _ in runs)
                if side is not None:
                    breakdown[side] = self.breakdown(out, n_small)
            floor = (high[None] - low[None]) / (n_large - n_small)
            for side in SIDES:
                result[(mode, side)] = ((high[side] - low[side]) / (n_large - n_small), floor,
                                        *breakdown[side])
            print(f"bench: instructions for {mode} counted", flush=True)
        return result

    def traffic_capture(self, traffic, count):
        """count packets of voice calls with loss and reordering, or of
        random datagrams on the port."""
        path = self.plugin.path(f"{traffic}-{count}.pcap")
        if traffic == "random":
            rng = random.Random(1)
            return write_capture(path, [random_datagram(rng) for _ in range(count)])
        subprocess.run([self.args.generator, "--output", path, "--count", str(count), "--seed",
                        "1", "--calls", "40", "--loss", "3", "--jitter", "30"], check=True)
        os.chmod(path, 0o644)
        return path

    def traffic_instructions(self):
        """{(traffic, mode, side): (per packet, floor per packet, where they
        go)}: the slope between --traffic-packets and three times as many,
        fewest of --callgrind-runs; where they go for the plugin's sides."""
        sizes = (self.args.traffic_packets, 3 * self.args.traffic_packets)
        result = {}
        for traffic in TRAFFIC:
            captures = [self.traffic_capture(traffic, n) for n in sizes]
            for side in ("on", None):
                self.run_once(side, "summary", captures[0])
            for mode in self.args.traffic_modes:
                slope, spent = {}, {}
                for side in SIDES + [None]:
                    plugin = side is not None
                    args = (SIDE_ARGS[side] if plugin else ["-d", "udp.port==4096,data"]) + (
                        TRAFFIC_FIELDS if mode == "fields" else mode_args(mode, plugin))
                    host = self.plugin if plugin else self.floor
                    totals, outs = [], []
                    for n, capture in zip(sizes, captures):
                        out = self.plugin.path(f"callgrind-{traffic}-{mode}-{side}-{n}.out")
                        totals.append(min(self.count(host, args, capture, out)
                                          for _ in range(self.args.callgrind_runs)))
                        outs.append(out)
                    slope[side] = (totals[1] - totals[0]) / (sizes[1] - sizes[0])
                    if plugin:
                        low, high = (where_spent(o) for o in outs)
                        spent[side] = {k: (high.get(k, 0) - low.get(k, 0)) / (sizes[1] - sizes[0])
                                       for k in set(low) | set(high)}
                for side in SIDES:
                    result[(traffic, mode, side)] = (slope[side], slope[None], spent[side])
                print(f"bench: instructions for {traffic}, {mode} counted", flush=True)
        return result

    def stream_memory(self):
        """Peak RSS (KiB) of summary runs over --memory-streams one-packet
        streams: {"on", "off", "floor"}, and "single", the floor over as
        many packets of one stream (the host's own cost per conversation is
        the floor's difference to it); the least of --repetitions runs."""
        n = self.args.memory_streams
        many = write_capture(self.plugin.path(f"one-packet-streams-{n}.pcap"),
                             [one_packet_stream(i) for i in range(n)])
        single = write_capture(self.plugin.path(f"one-stream-{n}.pcap"),
                               [one_packet_stream(0) for _ in range(n)])
        cases = {"on": ("on", many), "off": ("off", many), "floor": (None, many),
                 "single": (None, single)}
        self.run_once("on", "summary", many)
        result = {}
        for name, (side, capture) in cases.items():
            result[name] = min(self.run_once(side, "summary", capture)[2]
                               for _ in range(self.args.repetitions))
        print("bench: memory per stream measured", flush=True)
        return result

    @staticmethod
    def breakdown(out, packets):
        """Instructions per packet in the module's own code, in the dissection
        routine with its host calls, the allocators it calls directly, and
        each host function it calls."""
        def annotate(*flags):
            return subprocess.run(["callgrind_annotate", "--threshold=100", *flags, out],
                                  capture_output=True, text=True, check=True).stdout
        own = sum(int(m.group(1).replace(",", "")) for m in
                  (re.match(r"\s*([\d,]+)\s.*simplekestrune\.so\]", l)
                   for l in annotate().splitlines()) if m)
        with_host = max([int(m.group(1).replace(",", "")) for m in
                         (re.match(r"\s*([\d,]+)\s.*dissect_simple_kestrune\(", l)
                          for l in annotate("--inclusive=yes").splitlines()) if m] or [0])
        with open(out) as f:
            host_calls, call_counts = host_calls_from_dissection(f)
        # The analysis allocates once per stream and once per 4096 packets
        # (in the capture file's scope); what matters is per packet.
        allocations = sum(n for c, n in call_counts.items() if ALLOCATORS.search(c)) / packets
        per_call = {c: cost / packets for c, cost in host_calls.items()}
        return own / packets, with_host / packets, allocations, per_call


def host_calls_from_dissection(callgrind_out):
    """Functions outside the module that the dissection routine calls
    directly (through the module's PLT stubs), with the instructions spent
    in each (inclusive) and the number of calls, from callgrind's raw output."""
    return host_calls_from(callgrind_out, "dissect_simple_kestrune(")


def host_calls_from(callgrind_out, routine):
    """The same for the module's routine whose name contains routine and
    the module's code it calls."""
    names = {"ob": {}, "fn": {}}
    edges = {}  # (object, function) -> {(object, function) it calls: inclusive cost}
    counts = {}  # the same edges -> number of calls
    current_ob = current_fn = callee_ob = callee = None
    cost_follows, call_count = False, 0

    def resolve(kind, text):
        m = re.match(r"\((\d+)\)(?: (.*))?", text)
        if not m:
            return text
        if m.group(2) is not None:
            names[kind][m.group(1)] = m.group(2)
        return names[kind].get(m.group(1), text)

    for line in callgrind_out:
        line = line.rstrip("\n")
        if cost_follows:  # "<position> <inclusive cost>" after a calls= line
            calls = edges.setdefault((current_ob, current_fn), {})
            calls[callee] = calls.get(callee, 0) + int(line.split()[1])
            made = counts.setdefault((current_ob, current_fn), {})
            made[callee] = made.get(callee, 0) + call_count
            cost_follows = False
            continue
        key, _, value = line.partition("=")
        if key == "ob":
            current_ob = resolve("ob", value)
        elif key == "fn":
            current_fn = resolve("fn", value)
            callee_ob = None
        elif key == "cob":
            callee_ob = resolve("ob", value)
        elif key == "cfn":
            callee = (callee_ob or current_ob, resolve("fn", value))
            callee_ob = None
        elif key == "calls":
            call_count = int(value.split()[0])
            cost_follows = True

    def is_ours(node):
        return "simplekestrune" in (node[0] or "")

    todo = [k for k in edges if is_ours(k) and routine in k[1]]
    seen, outside, outside_calls = set(todo), {}, {}
    while todo:
        caller = todo.pop()
        for callee, cost in edges.get(caller, {}).items():
            if not is_ours(callee):
                outside[callee[1]] = outside.get(callee[1], 0) + cost
                outside_calls[callee[1]] = (outside_calls.get(callee[1], 0)
                                            + counts[caller][callee])
            elif callee not in seen:
                seen.add(callee)
                todo.append(callee)
    return outside, outside_calls


# The plugin's routines whose instructions (with what they call) the section
# by kind of traffic shows, and the host's calls from the analysis's items.
OWN_ROUTINES = {"dissection": "dissect_simple_kestrune(", "stream tracking": "track_stream_packet(",
                "analysis items": "add_stream_analysis_tree("}


def where_spent(out):
    """Instructions of a callgrind run (out) in each routine of
    OWN_ROUTINES (inclusive), in each host function that the analysis's
    items call, as "host: name", in the module's own code ("own code",
    exclusive), and in the host functions the stream tracking calls
    ("tracking's host calls")."""
    text = subprocess.run(["callgrind_annotate", "--threshold=100", "--inclusive=yes", out],
                          capture_output=True, text=True, check=True).stdout
    spent = {}
    for name, routine in OWN_ROUTINES.items():
        spent[name] = max([int(m.group(1).replace(",", "")) for m in
                           (re.match(rf"\s*([\d,]+)\s.*kestrune::{re.escape(routine)}", line)
                            for line in text.splitlines()) if m] or [0])
    with open(out) as f:
        calls, _ = host_calls_from(f, OWN_ROUTINES["analysis items"])
    spent.update({f"host: {c}": cost for c, cost in calls.items()})
    exclusive = subprocess.run(["callgrind_annotate", "--threshold=100", out],
                               capture_output=True, text=True, check=True).stdout
    spent["own code"] = sum(int(m.group(1).replace(",", "")) for m in
                            (re.match(r"\s*([\d,]+)\s.*simplekestrune\.so\]", line)
                             for line in exclusive.splitlines()) if m)
    with open(out) as f:
        calls, _ = host_calls_from(f, OWN_ROUTINES["stream tracking"])
    spent[TRACKING_HOST_CALLS] = sum(calls.values())
    return spent


TRACKING_HOST_CALLS = "tracking's host calls"


def analysis_shares(counts, traffic, mode):
    """What the analysis adds per packet (on minus off), split into the
    plugin's share (its own code, and the host utilities the tracking calls:
    allocation, time arithmetic) and the host's (the items and expert
    information it makes, with their tree and output), beside the allowance
    the goal leaves (target times the floor, minus the read with the analysis
    off)."""
    on, floor, spent_on = counts[(traffic, mode, "on")]
    off, _, spent_off = counts[(traffic, mode, "off")]
    added = on - off
    plugin = (spent_on.get("own code", 0) - spent_off.get("own code", 0)
              + spent_on.get(TRACKING_HOST_CALLS, 0))
    allowance = TRAFFIC_TARGETS[(traffic, mode, "on")] * floor - off
    return added, plugin, added - plugin, allowance


def random_datagram(rng):
    """A well-formed Simple Packet whose header fields are all drawn at
    random: a few thousand streams (by Session ID), nearly every packet
    starting one or telling news about one."""
    size = rng.randint(0, 200)
    data = header(6 + size, rng.getrandbits(3), rng.getrandbits(1), rng.getrandbits(1),
                  rng.getrandbits(4), rng.getrandbits(12), rng.getrandbits(8), size)
    return data + rng.randbytes(size)


def one_packet_stream(i):
    """A G.711 voice packet of the i-th stream of its own (source address
    and port), to the port."""
    data = header(166, 0, False, False, 5, i & 0xFFF, i & 0xFF, 160) + bytes(160)
    return {"data": data, "src": f"10.{(i >> 14) & 0xFF}.{(i >> 6) & 0xFF}.{i & 0x3F}",
            "sport": 20000 + (i & 0x3FFF), "dport": PORT}


def machine():
    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    host = subprocess.run(["tshark", "--version"], capture_output=True,
                          text=True).stdout.splitlines()[0].rstrip(".")
    return f"{cpu}, {os.cpu_count()} cores, {platform.system()} {platform.release()}; {host}"


def render(args, times, counts, when):
    n = args.packets
    lines = [
        "# Performance",
        "",
        f"Measured {when} by `bench/run_benchmark.py` on {machine()}.",
        "Floor: the same capture without the plugin, `-d udp.port==4096,data`: the least the "
        "host can do for these packets.",
        "",
        f"## Whole tshark runs on {n:,} packets",
        "",
        f"Capture from `make_capture --count {n} --seed 1 --well-formed-only`; median of "
        f"{args.repetitions} interleaved runs per cell (wall and user+system CPU time); "
        "peak RSS is the largest seen.",
        "",
        "| mode | plugin wall (s) | floor wall (s) | wall ratio | plugin CPU (s) | floor CPU (s) | "
        "CPU ratio | target | marginal ns/packet (CPU) | plugin peak RSS (MiB) | "
        "floor peak RSS (MiB) | RSS ratio |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    verdicts = []
    for mode in args.modes:
        (fw, fc, fr) = times[(mode, None)]
        for side in SIDES:
            (pw, pc, pr) = times[(mode, side)]
            target = TARGETS[(mode, side)]
            verdicts.append((f"{mode} analysis {side} CPU time", pc / fc <= target))
            verdicts.append((f"{mode} analysis {side} memory", pr / fr <= MEMORY_TARGET))
            lines.append(f"| {mode}, analysis {side} | {pw:.3f} | {fw:.3f} | {pw / fw:.3f} | "
                         f"{pc:.3f} | {fc:.3f} | {pc / fc:.3f} | ≤ {target} | "
                         f"{(pc - fc) / n * 1e9:.0f} | {pr / 1024:.1f} | {fr / 1024:.1f} | "
                         f"{pr / fr:.3f} |")
    lines += ["", "Peak memory of the stream analysis, bytes per packet above the same run "
              f"with it off (target: at most {ANALYSIS_BYTES_PER_PACKET}): "
              + ", ".join(f"{mode} {per_packet:.1f}" for mode, per_packet in (
                  (m, (times[(m, 'on')][2] - times[(m, 'off')][2]) * 1024 / n)
                  for m in args.modes)) + "."]
    verdicts += [(f"{m} analysis memory per packet",
                  (times[(m, "on")][2] - times[(m, "off")][2]) * 1024 / n
                  <= ANALYSIS_BYTES_PER_PACKET) for m in args.modes]
    lines += [
        "",
        "## Instructions per packet (callgrind)",
        "",
        "Counted instructions do not depend on what else the machine is doing, unlike the "
        "times above (the fewer of two runs each). Per packet = the slope between captures of "
        f"{args.callgrind_packets:,} and {3 * args.callgrind_packets:,} packets, so start-up "
        "drops out; the breakdown is from the smaller one.",
        "",
        "| mode | plugin | floor | ratio | target | plugin's own code | dissection routine with "
        "its host calls | allocator calls per packet made directly by plugin code |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for (mode, side), (plugin, floor, own, with_host, allocs, _) in counts.items():
        target = TARGETS[(mode, side)]
        verdicts.append((f"{mode} analysis {side} instructions", plugin / floor <= target))
        verdicts.append((f"{mode} analysis {side} no allocation per packet", allocs < 0.1))
        lines.append(f"| {mode}, analysis {side} | {plugin:.0f} | {floor:.0f} | "
                     f"{plugin / floor:.3f} | ≤ {target} | {own:.0f} | {with_host:.0f} | "
                     f"{allocs:.4f} |")
    names = [f"{mode}, {side}" for mode, side in counts]
    lines += ["", "Where the dissection routine's instructions go: the host functions it calls, "
              "per packet (inclusive):", "", "| host function | " + " | ".join(names) + " |",
              "|---|" + "---|" * len(counts)]
    calls = sorted({c for v in counts.values() for c in v[5]},
                   key=lambda c: -max(v[5].get(c, 0) for v in counts.values()))
    for c in calls:
        lines.append(f"| `{c}` | " + " | ".join(f"{v[5].get(c, 0):.0f}" for v in counts.values())
                     + " |")
    lines += ["", "Targets: " + "; ".join(f"{name} {'met' if ok else 'MISSED'}"
                                          for name, ok in verdicts), ""]
    return "\n".join(lines), verdicts


STREAM_SECTION = "## Media stream analysis"


def render_calls(args, counts):
    streams, calls = counts["streams"], counts["calls"]
    ok = calls <= CALLS_TARGET * streams
    n = 2 * args.callgrind_packets
    return [
        "",
        "The calls table with its score per direction (`-z simplekestrune,calls`) on top of the "
        "stream table, whose own Late, R Factor and MOS are in its figure, in instructions per "
        f"packet (callgrind, the slope between {n:,} and {3 * n:,} "
        "packets of such a capture, fewest of "
        f"{args.callgrind_runs}): `-z simplekestrune,streams` {streams:,.0f}; with "
        f"`-z simplekestrune,calls` as well {calls:,.0f}, {calls / streams - 1:+.1%} "
        f"(target at most {CALLS_TARGET - 1:+.0%}: {'met' if ok else 'MISSED'}).",
        "",
    ]


def render_streams(args, times, when, calls=None):
    n, streams = args.stream_packets, 4 * args.stream_calls
    lines = [
        f"{STREAM_SECTION} beside the host's RTP stream analysis",
        "",
        f"Measured {when}. Captures from `make_capture --calls {args.stream_calls} --gateways 2 "
        f"--two-way --count N [--rtp]`: {streams:,} streams (one direction of one session each), "
        "G.711, G.729 and G.726 frames every 20 ms, the same frame sizes with a Simple Packet "
        "header or an RTP header. `tshark -q -r X -z simplekestrune,streams` beside "
        "`tshark -q -r Y -d udp.port==4096,rtp -z rtp,streams`; median of "
        f"{args.repetitions} interleaved runs. *Analysis alone*: minus the same capture read with "
        "the other analysis, whose tap makes tshark dissect every packet but is reached by none.",
        "",
        "| analysis | packets | wall (s) | CPU (s) | CPU µs/packet | analysis alone ns/packet "
        "(CPU) | peak RSS (MiB) | analysis alone RSS (MiB) |",
        "|---|---|---|---|---|---|---|---|",
    ]
    verdicts = []
    for packets in (n // 10, n):
        for rtp in (False, True):
            (w, c, r), (_, bc, br) = times[(packets, rtp, True)], times[(packets, rtp, False)]
            name = "`rtp,streams` (host)" if rtp else "`simplekestrune,streams`"
            lines.append(f"| {name} | {packets:,} | {w:.3f} | {c:.3f} | {c / packets * 1e6:.2f} | "
                         f"{(c - bc) / packets * 1e9:.0f} | {r / 1024:.1f} | "
                         f"{(r - br) / 1024:.1f} |")
    ours, host = times[(n, False, True)][1], times[(n, True, True)][1]
    verdicts.append(("stream analysis per packet no more than the host's RTP", ours <= host))
    growth = [(times[(p, False, True)][2] - times[(p, False, False)][2]) / 1024 for p in (n // 10, n)]
    lines += ["", f"Memory of the analysis alone: {growth[0]:.1f} MiB at {n // 10:,} packets, "
              f"{growth[1]:.1f} MiB at {n:,}, for the same {streams:,} streams. "
              "Targets: " + "; ".join(f"{name} {'met' if ok else 'MISSED'}"
                                      for name, ok in verdicts), ""]
    if calls is not None:
        lines[-1:] = render_calls(args, calls)
    return "\n".join(lines)


TRAFFIC_SECTION = "## Stream analysis by kind of traffic"
TRAFFIC_NAMES = {"calls": "40 voice streams, 3% lost, some reordered",
                 "random": "random datagrams on the port"}


def render_traffic(args, counts, memory, when):
    n = args.traffic_packets
    lines = [
        TRAFFIC_SECTION, "",
        f"Measured {when}. The per-packet stream analysis on two kinds of capture: "
        f"`make_capture --calls 40 --loss 3 --jitter 30`, voice calls where few packets carry "
        "news, and well-formed Simple Packets between two endpoints whose header fields are "
        "all random, where nearly every packet starts a stream or tells news about one (as on a "
        "port that carries something else, or a scan). Fields mode: "
        f"`{' '.join(TRAFFIC_FIELDS)}`, fields that are not the plugin's. Instructions per "
        f"packet (callgrind, the slope between {n:,} and {3 * n:,} packets, fewest of "
        f"{args.callgrind_runs}); floor as above.", "",
        "| traffic | mode | floor | analysis off | off / floor | target | analysis on | "
        "on / floor | target |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    verdicts = []
    for traffic in TRAFFIC:
        for mode in args.traffic_modes:
            off, floor, _ = counts[(traffic, mode, "off")]
            on = counts[(traffic, mode, "on")][0]
            cells = []
            for side, value in (("off", off), ("on", on)):
                target = TRAFFIC_TARGETS[(traffic, mode, side)]
                ok = value / floor <= target
                verdicts.append((f"{traffic} {mode} analysis {side}", ok))
                cells.append(f"{value:,.0f} | {value / floor:.3f} | ≤ {target} "
                             f"{'met' if ok else 'MISSED'}")
            lines.append(f"| {TRAFFIC_NAMES[traffic]} | {mode} | {floor:,.0f} | "
                         + " | ".join(cells) + " |")
    lines += ["", "Where the instructions of the analysis go, per packet (inclusive, the same "
              "slope): the dissection routine with the analysis on and off, the stream tracking "
              "(finding the stream, its analysis, the record kept) and the analysis's items and "
              "expert information, with the host functions those call:", ""]
    keys = [(t, m) for t in TRAFFIC for m in args.traffic_modes]
    lines += ["| | " + " | ".join(f"{t}, {m}" for t, m in keys) + " |",
              "|---|" + "---|" * len(keys)]

    def row(name, side="on"):
        return (f"| {name}{'' if side == 'on' else ', analysis off'} | "
                + " | ".join(f"{counts[(t, m, side)][2].get(name, 0):,.0f}" for t, m in keys)
                + " |")
    lines.append(row("dissection", "off"))
    lines += [row(name) for name in OWN_ROUTINES]
    lines += [row("own code", "off"), row("own code"), row(TRACKING_HOST_CALLS)]
    host = sorted({k for t, m in keys for k in counts[(t, m, "on")][2] if k.startswith("host: ")},
                  key=lambda k: -max(counts[(t, m, "on")][2].get(k, 0) for t, m in keys))
    lines += [row(k).replace("| host: ", "| `", 1).replace(" |", "` |", 1) for k in host
              if max(counts[(t, m, "on")][2][k] for t, m in keys if k in counts[(t, m, "on")][2])
              >= 1]
    lines += ["", "What the analysis adds per packet (on minus off), the plugin's share of it (its "
              "own code, and the host utilities the tracking calls) and the host's (the items "
              "and expert information the analysis shows, made, kept in the tree, written out "
              "and freed by the host), beside the allowance each goal leaves (the goal times the "
              "floor, minus the read with the analysis off). Where the host's share alone is "
              "larger than the allowance, the goal cannot be met by the plugin's code; the items "
              "and expert information themselves are what a user reads.", "",
              "| traffic | mode | added | plugin's share | host's share | allowance | goal |",
              "|---|---|---|---|---|---|---|"]
    for traffic in TRAFFIC:
        for mode in args.traffic_modes:
            added, plugin, host_share, allowance = analysis_shares(counts, traffic, mode)
            if added <= allowance:
                verdict = "met"
            elif host_share > allowance:
                verdict = "missed: the host's share alone is over the allowance"
            else:
                verdict = "MISSED, with room in the plugin's share"
            lines.append(f"| {TRAFFIC_NAMES[traffic]} | {mode} | {added:,.0f} | {plugin:,.0f} | "
                         f"{host_share:,.0f} | {allowance:,.0f} | {verdict} |")
    streams = args.memory_streams
    per_stream = (memory["on"] - memory["off"]) * 1024 / streams
    conversation = (memory["floor"] - memory["single"]) * 1024 / streams
    ok = per_stream <= STREAM_BYTES
    verdicts.append(("memory per one-packet stream", ok))
    lines += ["", f"Memory per stream: {streams:,} one-packet streams (each its own source "
              "address and port, summary mode, the least peak RSS of "
              f"{args.repetitions} runs): {per_stream:.0f} bytes a stream with the analysis on "
              "above the same read with it off, its packet's record included (target: at most "
              f"{STREAM_BYTES}: {'met' if ok else 'MISSED'}). The host's own cost for as many "
              f"UDP conversations: {conversation:.0f} bytes each (the floor over these packets "
              "minus the floor over as many packets of one stream).",
              "", "Targets: " + "; ".join(f"{name} {'met' if ok else 'MISSED'}"
                                          for name, ok in verdicts), ""]
    return "\n".join(lines)


def splice_section(text, section, heading=STREAM_SECTION):
    """text with its section under heading replaced by section (or section
    added)."""
    start = text.find(heading)
    if start < 0:
        return text.rstrip("\n") + "\n\n" + section
    end = text.find("\n## ", start + len(heading))
    rest = text[end + 1:] if end >= 0 else ""
    return text[:start] + section.rstrip("\n") + "\n" + ("\n" + rest if rest else "")


# The sections this benchmark writes; other benchmarks (bench/audio_export.py)
# add sections of their own to the same file, which are kept.
OWN_SECTIONS = ("## Whole tshark runs", "## Instructions per packet", STREAM_SECTION,
                TRAFFIC_SECTION)


def other_sections(path):
    if not os.path.exists(path):
        return ""
    with open(path) as f:
        sections = re.split(r"(?m)^(?=## )", f.read())[1:]
    kept = "".join(s for s in sections if not s.startswith(OWN_SECTIONS))
    return "\n" + kept if kept else ""


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--module", required=True)
    p.add_argument("--generator", required=True)
    p.add_argument("--packets", type=int, default=1_000_000)
    p.add_argument("--repetitions", type=int, default=5)
    p.add_argument("--callgrind-packets", type=int, default=10_000,
                   help="smaller capture for callgrind (the larger is three times it)")
    p.add_argument("--callgrind-runs", type=int, default=2,
                   help="callgrind runs per count, the fewest instructions kept")
    p.add_argument("--modes", default=",".join(MODES), help="comma-separated subset of "
                   + ",".join(MODES))
    p.add_argument("--output", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                    "..", "docs", "performance.md"))
    p.add_argument("--stream-packets", type=int, default=1_000_000,
                   help="packets of the stream captures (also measured at a tenth of it)")
    p.add_argument("--stream-calls", type=int, default=250,
                   help="sessions per gateway in the stream captures (4 streams each)")
    p.add_argument("--streams-only", action="store_true",
                   help="measure only the stream analysis and replace its section in --output")
    p.add_argument("--traffic-packets", type=int, default=5_000,
                   help="smaller capture of each kind of traffic for callgrind (the larger is "
                   "three times it)")
    p.add_argument("--traffic-modes", default=",".join(MODES),
                   help="the modes measured by kind of traffic")
    p.add_argument("--memory-streams", type=int, default=300_000,
                   help="one-packet streams of the capture for the memory per stream")
    p.add_argument("--traffic-only", action="store_true",
                   help="measure only the analysis by kind of traffic and replace its section "
                   "in --output")
    args = p.parse_args()
    args.modes = args.modes.split(",")
    args.traffic_modes = args.traffic_modes.split(",")
    if not set(args.modes + args.traffic_modes) <= set(MODES):
        p.error(f"modes are {MODES}")
    bench = Bench(args)
    when = time.strftime("%Y-%m-%d")
    if args.streams_only or args.traffic_only:
        try:
            if args.streams_only:
                section, heading = render_streams(args, bench.stream_timings(), when,
                                                  bench.calls_instructions()), STREAM_SECTION
            else:
                section, heading = render_traffic(args, bench.traffic_instructions(),
                                                  bench.stream_memory(), when), TRAFFIC_SECTION
        finally:
            bench.close()
        text = open(args.output).read() if os.path.exists(args.output) else "# Performance\n"
        with open(args.output, "w") as f:
            f.write(splice_section(text, section, heading))
        print(section)
        print(f"bench: wrote {os.path.abspath(args.output)}")
        return 0
    try:
        stream_times = bench.stream_timings()
        calls_counts = bench.calls_instructions()
        capture = bench.capture("bench.pcap", args.packets)
        times = bench.timings(capture)
        small = bench.capture("callgrind-small.pcap", args.callgrind_packets)
        large = bench.capture("callgrind-large.pcap", 3 * args.callgrind_packets)
        counts = bench.instructions(small, large, args.callgrind_packets,
                                    3 * args.callgrind_packets)
        traffic_counts = bench.traffic_instructions()
        memory = bench.stream_memory()
    finally:
        bench.close()
    table, _ = render(args, times, counts, when)
    table = splice_section(table, render_streams(args, stream_times, when, calls_counts))
    table = splice_section(table, render_traffic(args, traffic_counts, memory, when),
                           TRAFFIC_SECTION)
    kept = other_sections(args.output)
    with open(args.output, "w") as f:
        f.write(table + kept)
    print(table)
    print(f"bench: wrote {os.path.abspath(args.output)}")
    # Timings are reported, not enforced: a busy machine moves them. An
    # allocation on the dissection path is a property of the code.
    # One per new stream and per 4096 packets is fine; short captures have
    # a few streams over few packets, hence a loose bound.
    if any(v[4] >= 0.1 for v in counts.values()):
        print("bench: the dissection routine calls an allocator for every packet")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
