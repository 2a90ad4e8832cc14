#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""How fast the audio export runs, and in how much memory.

Generates two-way G.711 calls (one stream each way, a packet every 20 ms)
with the project's generator and exports them with
`tshark -q -z simplekestrune,audio,DIR` (a mono file per stream) and with
`-z simplekestrune,callaudio,DIR` (a stereo file per call), next to the
same capture read with
a cheap listener (`-z io,stat,0`) that also makes tshark dissect every
packet. Wall and CPU time and peak memory come from /usr/bin/time -v; the
speed is the call's length over the export's wall time. Then the same for
many short calls at once (10,000 streams by default) under a low open-file
limit, where the export's own memory is its peak RSS over the floor's.
Writes its section of docs/performance.md.

    audio_export.py --module build/simplekestrune.so --generator build/make_capture
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "host"))
from harness import Host  # noqa: E402

TITLE = "## Audio export"
GOAL = 200  # times faster than real time
MEMORY_GOAL = 150  # MiB above the floor at 10,000 streams


def run(host, capture, args, nofile=None):
    report = host.path("time.txt")
    limit = ["prlimit", f"--nofile={nofile}:{nofile}"] if nofile else []
    cmd, env = host.command("-q", "-r", capture, *args,
                            wrapper=[*limit, "/usr/bin/time", "-v", "-o", report])
    start = time.perf_counter()
    subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, check=True, cwd=host.root)
    wall = time.perf_counter() - start
    text = open(report).read()
    cpu = sum(float(re.search(rf"{k} time \(seconds\): ([\d.]+)", text).group(1))
              for k in ("User", "System"))
    rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", text).group(1))
    return wall, cpu, rss / 1024


def measure(host, generator, minutes, repetitions, calls=1, nofile=None):
    packets = minutes * 60 * 50 * 2 * calls
    capture = host.path(f"call-{minutes}-{calls}.pcap")
    subprocess.run([generator, "--output", capture, "--calls", str(calls), "--two-way",
                    "--count", str(int(packets)), "--seed", "1"], check=True)
    os.chmod(capture, 0o644)
    rows = {"export": [], "calls": [], "floor": []}
    for _ in range(repetitions):
        for kind, argument, files in (("export", "audio", 2 * calls),
                                      ("calls", "callaudio", calls)):
            out = tempfile.mkdtemp(dir=host.root)
            os.chmod(out, 0o777)
            rows[kind].append(run(host, capture, ["-z", f"simplekestrune,{argument},{out}"],
                                  nofile))
            if len(os.listdir(out)) != files:
                raise SystemExit(f"expected {files} WAV files in {out}, "
                                 f"found {len(os.listdir(out))}")
            shutil.rmtree(out)
        rows["floor"].append(run(host, capture, ["-z", "io,stat,0"], nofile))
    median = {k: [statistics.median(r[i] for r in v) for i in range(2)] + [max(r[2] for r in v)]
              for k, v in rows.items()}
    return int(packets), median


def render(results, repetitions, many=None):
    lines = [TITLE, "",
             f"Measured {time.strftime('%Y-%m-%d')} by `bench/audio_export.py`: two-way G.711 "
             "mu-law calls from `make_capture --calls 1 --two-way`, one 20 ms packet each way "
             "every 20 ms, exported to two mono WAV files (`simplekestrune,audio`) or to one "
             f"stereo file (`simplekestrune,callaudio`); median of {repetitions} runs, peak RSS the "
             "largest. Floor: the same capture with `-z io,stat,0`, a cheap listener that also "
             "makes tshark dissect every packet. Times real time: the call's length over the "
             f"export's wall time (goal: at least {GOAL}).", "",
             "| call | packets | export wall (s) | export CPU (s) | floor wall (s) | times real time "
             "| export peak RSS (MiB) | floor peak RSS (MiB) | export's own memory (MiB) "
             "| call export wall (s) | call export CPU (s) | call times real time "
             "| call export's own memory (MiB) |",
             "|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for minutes, (packets, m) in results:
        (ew, ec, er), (cw, cc, cr), (fw, _, fr) = m["export"], m["calls"], m["floor"]
        lines.append(f"| {minutes} min | {packets:,} | {ew:.2f} | {ec:.2f} | {fw:.2f} | "
                     f"{minutes * 60 / ew:.0f} | {er:.1f} | {fr:.1f} | {er - fr:.1f} | "
                     f"{cw:.2f} | {cc:.2f} | {minutes * 60 / cw:.0f} | {cr - fr:.1f} |")
    lines.append("")
    if many:
        streams, seconds, nofile, (packets, m) = many
        (ew, ec, er), (fw, _, fr) = m["export"], m["floor"]
        lines += [f"Many streams at once: {streams // 2:,} two-way calls of {seconds:g} s "
                  f"({streams:,} streams, packets interleaved every 20 ms), under "
                  f"`ulimit -n {nofile}`, every file written (goal: the export's own memory "
                  f"within {MEMORY_GOAL} MiB).", "",
                  "| streams | packets | export wall (s) | export CPU (s) | floor wall (s) "
                  "| export peak RSS (MiB) | floor peak RSS (MiB) | export's own memory (MiB) "
                  "| call export wall (s) | call export's own memory (MiB) |",
                  "|---|---|---|---|---|---|---|---|---|---|",
                  f"| {streams:,} | {packets:,} | {ew:.2f} | {ec:.2f} | {fw:.2f} | {er:.1f} "
                  f"| {fr:.1f} | {er - fr:.1f} | {m['calls'][0]:.2f} "
                  f"| {m['calls'][2] - fr:.1f} |", ""]
    return "\n".join(lines)


def write_section(path, section):
    """Replaces this benchmark's section of the file, or adds it at the end."""
    text = open(path).read() if os.path.exists(path) else "# Performance\n"
    start = text.find(TITLE + "\n")
    if start < 0:
        text = text.rstrip("\n") + "\n\n" + section
    else:
        end = text.find("\n## ", start + 1)
        rest = text[end + 1:] if end >= 0 else ""
        text = text[:start] + section.rstrip("\n") + "\n" + ("\n" + rest if rest else "")
    with open(path, "w") as f:
        f.write(text)


def main():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--module", required=True)
    p.add_argument("--generator", required=True)
    p.add_argument("--minutes", default="10,60", help="call lengths, comma-separated")
    p.add_argument("--repetitions", type=int, default=3)
    p.add_argument("--streams", type=int, default=10000,
                   help="streams of the many-streams case (0: leave it out)")
    p.add_argument("--stream-seconds", type=float, default=1.2)
    p.add_argument("--nofile", type=int, default=256, help="open-file limit for that case")
    p.add_argument("--output", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                    "..", "docs", "performance.md"))
    args = p.parse_args()
    host = Host(args.module)
    os.chmod(host.root, 0o777)  # time -v writes its report here as the tshark user
    try:
        results = [(int(m), measure(host, args.generator, int(m), args.repetitions))
                   for m in args.minutes.split(",")]
        many = None
        if args.streams:
            many = (args.streams, args.stream_seconds, args.nofile,
                    measure(host, args.generator, args.stream_seconds / 60, args.repetitions,
                            calls=args.streams // 2, nofile=args.nofile))
    finally:
        host.close()
    section = render(results, args.repetitions, many)
    write_section(args.output, section)
    print(section)
    print(f"bench: wrote the audio export's section of {os.path.abspath(args.output)}")


if __name__ == "__main__":
    main()
