#!/usr/bin/python3
"""flycompare on big logs: wall time and peak memory of each case.

Generates game-like CSV logs (8 ms frames, AR(1) noise with phi 0.9, a
per-pass offset, 0.3% stutters of 30-60 ms; B 2% slower) once into
build/flycompare-bench/, then runs tools/flycompare on them, text only and
with every output (--plot, --html, --json), and prints one line per case:
seconds of wall time, CPU seconds (user + system, less affected by other
work on the machine) and the tool's peak resident memory (its rusage).

    bench/flycompare_bench.py                 # every case
    bench/flycompare_bench.py 10x500k 2x5M    # only these cases
"""
import multiprocessing
import os
import subprocess
import sys
import time

import numpy as np
from scipy.signal import lfilter

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOL = os.path.join(ROOT, "tools", "flycompare")
WORK = os.path.join(ROOT, "build", "flycompare-bench")
# name -> (passes per run, frames per pass)
CASES = {"10x500k": (10, 500_000), "2x5M": (2, 5_000_000)}


def write_log(path: str, passes: int, frames: int, slower: float, seed: int) -> None:
    """One run's CSV log of game-like frame times."""
    rng = np.random.default_rng(seed)
    with open(path + ".partial", "w") as f:
        f.write("pass,frame,frame_ms\n")
        for p in range(1, passes + 1):
            noise = lfilter([1.0], [1.0, -0.9], rng.normal(0, 0.35, frames))
            ms = (8.0 + noise) * (1 + rng.normal(0, 0.015)) * (1 + slower)
            hitch = rng.random(frames) < 0.003
            ms[hitch] = rng.uniform(30, 60, hitch.sum())
            ms = np.maximum(ms, 0.5)
            numbers = np.arange(1, frames + 1)
            for lo in range(0, frames, 1_000_000):
                hi = min(lo + 1_000_000, frames)
                f.write("".join("%d,%d,%.3f\n" % (p, i, t)
                                for i, t in zip(numbers[lo:hi].tolist(), ms[lo:hi].tolist())))
    os.replace(path + ".partial", path)


def logs(name: str) -> list:
    """The case's two logs, written first where missing. They are written
    in a child process: a child started by a process holding the big
    arrays would count them in its own peak memory (fork copies the
    parent's resident pages into the child's high-water mark)."""
    passes, frames = CASES[name]
    paths = []
    for label, slower, seed in (("A", 0.0, 1), ("B", 0.02, 2)):
        path = os.path.join(WORK, "%s-%s.csv" % (name, label))
        if not os.path.exists(path):
            writer = multiprocessing.get_context("fork").Process(
                target=write_log, args=(path, passes, frames, slower, seed))
            writer.start()
            writer.join()
            if writer.exitcode != 0:
                sys.exit("can't write %s" % path)
        paths.append("%s=%s" % (label, path))
    return paths


def measure(args: list) -> tuple:
    """Wall seconds, CPU seconds and peak resident MB of one run of the tool."""
    start = time.monotonic()
    proc = subprocess.Popen([TOOL, *args], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            env=dict(os.environ, MPLBACKEND="Agg"))
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.monotonic() - start
    err = proc.stderr.read().decode()
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode not in (0, 3):
        sys.stderr.write("  exit %d: %s" % (proc.returncode, err))
    return seconds, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def main() -> int:
    os.makedirs(WORK, exist_ok=True)
    names = sys.argv[1:] or list(CASES)
    out = os.path.join(WORK, "out")
    for name in names:
        runs = logs(name)
        for what, extra in (("text only", []),
                            ("every output", ["--plot", out + ".png", "--html", out + ".html",
                                              "--json", out + ".json"])):
            seconds, cpu, mb = measure(runs + extra)
            print("%-8s %-13s %6.1f s wall %6.1f s CPU %7.0f MB" % (name, what, seconds, cpu, mb),
                  flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
