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

    run_benchmark.py --module build/simplekestrune.so --generator build/make_capture
    run_benchmark.py ... --packets 2000 --repetitions 1 --callgrind-packets 500 --output /tmp/p.md
"""
import argparse
import os
import platform
import re
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "host"))
from harness import Host  # noqa: E402

PLUGIN_FIELDS = ["kestrune.simple_packet.session_id", "kestrune.simple_packet.sequence_number",
                 "kestrune.simple_packet.codec_type", "kestrune.simple_packet.payload_size"]
# The floor's fields: the same number of plain integer fields the host has anyway.
FLOOR_FIELDS = ["udp.srcport", "udp.dstport", "udp.length", "data.len"]
MODES = ["summary", "fields", "-V"]
TARGETS = {"summary": 1.02, "fields": 1.05, "-V": 1.15}
MEMORY_TARGET = 1.02
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

    def run_once(self, plugin, mode, capture):
        host = self.plugin if plugin else self.floor
        extra = [] if plugin else ["-d", "udp.port==4096,data"]
        report = self.plugin.path("time.txt")
        cmd, env = host.command("-r", capture, *extra, *mode_args(mode, plugin),
                                wrapper=["/usr/bin/time", "-v", "-o", report])
        start = time.perf_counter()
        subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       check=True, cwd=host.root)
        elapsed = time.perf_counter() - start
        with open(report) as f:
            rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", f.read()).group(1))
        return elapsed, rss

    def timings(self, capture):
        results = {(m, p): ([], []) for m in MODES for p in (True, False)}
        for rep in range(self.args.repetitions):
            for mode in MODES:
                # Alternate which side goes first so drift hits both alike.
                order = (True, False) if rep % 2 == 0 else (False, True)
                for plugin in order:
                    elapsed, rss = self.run_once(plugin, mode, capture)
                    results[(mode, plugin)][0].append(elapsed)
                    results[(mode, plugin)][1].append(rss)
            print(f"bench: repetition {rep + 1}/{self.args.repetitions} done", flush=True)
        return {k: (statistics.median(t), max(r)) for k, (t, r) in results.items()}

    def callgrind(self, capture, packets, mode):
        out = self.plugin.path(f"callgrind-{mode}.out")
        cmd, env = self.plugin.command("-r", capture, *mode_args(mode, True), wrapper=[
            "valgrind", "--tool=callgrind", f"--callgrind-out-file={out}"])
        subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       check=True, cwd=self.plugin.root)
        exclusive = subprocess.run(["callgrind_annotate", "--threshold=100", out],
                                   capture_output=True, text=True, check=True).stdout
        own = 0
        for line in exclusive.splitlines():
            m = re.match(r"\s*([\d,]+)\s.*simplekestrune\.so\]", line)
            if m:
                own += int(m.group(1).replace(",", ""))
        inclusive = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", out],
                                   capture_output=True, text=True, check=True).stdout
        with_host = 0
        for line in inclusive.splitlines():
            m = re.match(r"\s*([\d,]+)\s.*dissect_simple_kestrune\(", line)
            if m:
                with_host = max(with_host, int(m.group(1).replace(",", "")))
        with open(out) as f:
            host_calls = host_calls_from_dissection(f)
        allocations = sorted(c for c in host_calls if ALLOCATORS.search(c))
        per_call = {c: cost / packets for c, cost in host_calls.items()}
        return own / packets, with_host / packets, allocations, per_call


def host_calls_from_dissection(callgrind_out):
    """Functions outside the module that the dissection routine calls
    directly (through the module's PLT stubs), with the instructions spent
    in each (inclusive), from callgrind's raw output."""
    names = {"ob": {}, "fn": {}}
    edges = {}  # (object, function) -> {(object, function) it calls: inclusive cost}
    current_ob = current_fn = callee_ob = callee = None
    cost_follows = False

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
            cost_follows = True

    def is_ours(node):
        return "simplekestrune" in (node[0] or "")

    todo = [k for k in edges if is_ours(k) and "dissect_simple_kestrune(" in k[1]]
    seen, outside = set(todo), {}
    while todo:
        for callee, cost in edges.get(todo.pop(), {}).items():
            if not is_ours(callee):
                outside[callee[1]] = outside.get(callee[1], 0) + cost
            elif callee not in seen:
                seen.add(callee)
                todo.append(callee)
    return outside


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


def render(args, times, callgrind, when):
    n = args.packets
    lines = [
        "# Performance",
        "",
        f"Measured {when} by `bench/run_benchmark.py` on {machine()}.",
        f"Capture: {n:,} packets from `make_capture --count {n} --seed 1 --well-formed-only`; "
        f"median of {args.repetitions} interleaved runs per cell; peak RSS is the largest seen.",
        "Floor: the same capture without the plugin, `-d udp.port==4096,data`.",
        "",
        "| mode | plugin (s) | floor (s) | plugin/floor | target | marginal ns/packet | "
        "plugin peak RSS (MiB) | floor peak RSS (MiB) | RSS ratio |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    verdicts = []
    for mode in MODES:
        (pt, pr), (ft, fr) = times[(mode, True)], times[(mode, False)]
        ratio, rss_ratio = pt / ft, pr / fr
        ok = ratio <= TARGETS[mode]
        verdicts.append((f"{mode} time", ok))
        verdicts.append((f"{mode} memory", rss_ratio <= MEMORY_TARGET))
        lines.append(f"| {mode} | {pt:.3f} | {ft:.3f} | {ratio:.3f} | ≤ {TARGETS[mode]} | "
                     f"{(pt - ft) / n * 1e9:.0f} | {pr / 1024:.1f} | {fr / 1024:.1f} | {rss_ratio:.3f} |")
    lines += ["", f"Instructions per packet (callgrind, {args.callgrind_packets:,} packets):", "",
              "| mode | in the plugin's own code | in the dissection routine with the host calls it makes | "
              "allocator calls made directly by plugin code |", "|---|---|---|---|"]
    for mode, (own, with_host, allocs, _) in callgrind.items():
        verdicts.append((f"{mode} no allocation", not allocs))
        lines.append(f"| {mode} | {own:.0f} | {with_host:.0f} | {', '.join(allocs) or 'none'} |")
    lines += ["", "Where the dissection routine's instructions go: the host functions it calls, "
              "per packet (inclusive):", "", "| host function | " +
              " | ".join(callgrind) + " |", "|---|" + "---|" * len(callgrind)]
    calls = sorted({c for *_, per_call in callgrind.values() for c in per_call},
                   key=lambda c: -max(v[3].get(c, 0) for v in callgrind.values()))
    for c in calls:
        lines.append(f"| `{c}` | " + " | ".join(f"{v[3].get(c, 0):.0f}" for v in callgrind.values()) + " |")
    lines += ["", "Targets: " + "; ".join(f"{name} {'met' if ok else 'MISSED'}" for name, ok in verdicts), ""]
    return "\n".join(lines), verdicts


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--module", required=True)
    p.add_argument("--generator", required=True)
    p.add_argument("--packets", type=int, default=1_000_000)
    p.add_argument("--repetitions", type=int, default=5)
    p.add_argument("--callgrind-packets", type=int, default=20_000)
    p.add_argument("--output", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                    "..", "docs", "performance.md"))
    args = p.parse_args()
    bench = Bench(args)
    try:
        capture = bench.capture("bench.pcap", args.packets)
        times = bench.timings(capture)
        small = bench.capture("callgrind.pcap", args.callgrind_packets)
        callgrind = {mode: bench.callgrind(small, args.callgrind_packets, mode)
                     for mode in MODES}
    finally:
        bench.close()
    table, verdicts = render(args, times, callgrind, time.strftime("%Y-%m-%d"))
    with open(args.output, "w") as f:
        f.write(table)
    print(table)
    print(f"bench: wrote {os.path.abspath(args.output)}")
    # Timings are reported, not enforced: a busy machine moves them. An
    # allocation on the dissection path is a property of the code.
    if any(allocs for _, _, allocs, _ in callgrind.values()):
        print("bench: the dissection routine calls an allocator directly")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
