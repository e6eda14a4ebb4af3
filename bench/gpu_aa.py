#!/usr/bin/python3
"""What asking for GPU times costs a flight: an A/A comparison.

Flies a keyframe script in the stand-in game with GPU times
(FLYRATE_GPU=1) and without, taking turns, several launches each, and
prints per pair of launches next to each other their mean frame times and
how much longer the mean is with GPU times; then the mean of those
differences with a 95% interval (Student's t over the pairs), and the same
for the CPU time the stand-in used, which other work on a shared, busy
machine disturbs far less than it does the frame times.

Frame times say something only while the flight has the cores to itself:
on a shared machine run it as root under `nice -n -20`, with the shell's
autogroup at -20 too (`echo -20 > /proc/$$/autogroup`), or other jobs'
turns on the cores become the difference measured.

Usage: bench/gpu_aa.py [--build build/release] [--pairs 4] [--passes 2]
                       [--script examples/flight.txt] [--out DIR] [--logs DIR]
                       [-- STAND-IN OPTIONS...]
--logs DIR reads the logs of an earlier run of this script instead of flying.
"""
import argparse
import os
import tempfile

import numpy as np
from scipy import stats

import gpu_log

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "release"))
    ap.add_argument("--pairs", type=int, default=4)
    ap.add_argument("--passes", type=int, default=2)
    ap.add_argument("--script", default=os.path.join(ROOT, "examples", "flight.txt"))
    ap.add_argument("--out", default=None)
    ap.add_argument("--logs", default=None)
    ap.add_argument("options", nargs="*", help="stand-in options, after --")
    args = ap.parse_args()
    out = args.logs or args.out or tempfile.mkdtemp(prefix="gpu-aa-")
    diffs: dict[str, list[float]] = {"mean frame time": [], "CPU time": []}
    for p in range(args.pairs):
        means, cpu = {}, {}
        for gpu in (True, False) if p % 2 == 0 else (False, True):
            log = os.path.join(out, "%s-%d.csv" % ("gpu" if gpu else "plain", p + 1))
            cpu[gpu] = np.nan if args.logs else gpu_log.fly(args.build, args.script, args.passes, log, args.options, gpu)
            frame, gpu_ms, _ = gpu_log.read(log)
            means[gpu] = frame.mean()
            if gpu and np.isnan(gpu_ms).all():
                raise SystemExit("gpu_aa: %s has no GPU times" % log)
        diffs["mean frame time"].append((means[True] / means[False] - 1) * 100)
        diffs["CPU time"].append((cpu[True] / cpu[False] - 1) * 100)
        print("pair %d: mean frame %.3f ms with GPU times, %.3f ms without: %+.2f%%; CPU time %.2f s, %.2f s: %+.2f%%"
              % (p + 1, means[True], means[False], diffs["mean frame time"][-1], cpu[True], cpu[False],
                 diffs["CPU time"][-1]))
    for what, values in diffs.items():
        d = np.array(values)
        if len(d) < 2 or np.isnan(d).any():
            continue
        half = stats.t.ppf(0.975, len(d) - 1) * d.std(ddof=1) / np.sqrt(len(d))
        print("with GPU times: %+.2f%% %s (95%% interval %+.2f..%+.2f%%, %d pairs; spread %.2f%%)"
              % (d.mean(), what, d.mean() - half, d.mean() + half, len(d), d.std(ddof=1)))
    print("logs in", out)


if __name__ == "__main__":
    main()
