#!/usr/bin/python3
"""How much a screenshot shortens the next frame's measured time.

Flies a keyframe script in the stand-in game, runs with screenshots
(FLYRATE_SHOTS) and without taking turns, several passes each, and compares
the frame after each capture with the median of its neighbours, five frames
either side: path frame k+1 for every keyframe k but the first and last, and
apart, frame 1, which follows the capture at frame 0 and also the jump from
the path's end back to its start (in every pass after the first). Prints the
median and the range of those ratios for either kind of run, and how much
shorter the frames after the keyframes make a pass's time.

Usage: bench/shot_bias.py [--build build/rel] [--runs 3] [--passes 3]
                          [--script examples/flight.txt] [--out DIR] [--logs DIR]
--logs DIR reads the logs of an earlier run of this script instead of flying.
"""
import argparse
import os
import subprocess
import sys
import tempfile

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
from flytools.inputs import logfile, script as scripts  # noqa: E402
from flytools.records import Run  # noqa: E402

NEIGHBOURS = 5


def fly(build: str, script: str, passes: int, csv: str, shots: str | None) -> Run:
    """One run of the stand-in with the plug-in; its CSV log read back."""
    env = dict(os.environ, FLYRATE=script, FLYRATE_PASSES=str(passes), FLYRATE_CSV=csv)
    env.pop("FLYRATE_SHOTS", None)
    if shots:
        os.makedirs(shots, exist_ok=True)
        env["FLYRATE_SHOTS"] = shots
    subprocess.run([os.path.join(build, "standin", "flyrate-standin"), "--max-seconds", "900",
                    os.path.join(build, "flyrate.so")],
                   env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return logfile.read_log(csv)


def ratios(run: Run, after: list[int]) -> tuple[list[float], list[float]]:
    """Each pass's frames after a capture over the median of their
    neighbours, and per pass the time they fall short of those medians
    together, as a share of the pass's time."""
    out, short = [], []
    for p in run.passes:
        ms, lost = p.frame_ms, 0.0
        for frame in after:
            i = frame - 1  # row of path frame `frame`
            around = np.median(np.r_[ms[max(i - NEIGHBOURS, 0):i], ms[i + 1:i + 1 + NEIGHBOURS]])
            out.append(ms[i] / around)
            lost += around - ms[i]
        short.append(lost / ms.sum())
    return out, short


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "rel"))
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--passes", type=int, default=3)
    ap.add_argument("--script", default=os.path.join(ROOT, "examples", "flight.txt"))
    ap.add_argument("--out", default=None)
    ap.add_argument("--logs", default=None)
    args = ap.parse_args()
    out = args.logs or args.out or tempfile.mkdtemp(prefix="shot-bias-")
    keys = scripts.read_script(args.script)
    kinds = {"keyframes": [k + 1 for k in keys[1:-1]], "frame 1": [1]}
    found: dict[tuple[bool, str], list[float]] = {(s, k): [] for s in (True, False) for k in kinds}
    short: dict[bool, list[float]] = {True: [], False: []}
    for r in range(args.runs):
        for shots in (True, False) if r % 2 == 0 else (False, True):
            name = "%s-%d" % ("shots" if shots else "plain", r + 1)
            run = (logfile.read_log(os.path.join(args.logs, name + ".csv")) if args.logs else
                   fly(args.build, args.script, args.passes, os.path.join(out, name + ".csv"),
                       os.path.join(out, name) if shots else None))
            for kind, after in kinds.items():
                found[shots, kind] += ratios(run, after)[0]
            short[shots] += ratios(run, kinds["keyframes"])[1]
    for (shots, kind), v in found.items():
        v = np.array(v) * 100
        print("%-13s frames %-15s median %3.0f%% of neighbours (range %.0f..%.0f%%, %d frames)"
              % ("with shots" if shots else "without shots", ",".join(map(str, kinds[kind])) + ":",
                 np.median(v), v.min(), v.max(), len(v)))
    for shots in (True, False):
        v = np.array(short[shots]) * 100
        print("%-13s a pass's time is short by %.2f%% at those keyframes (range %.2f..%.2f%%, %d passes)"
              % ("with shots" if shots else "without shots", np.median(v), v.min(), v.max(), len(v)))
    print("logs in", out)


if __name__ == "__main__":
    main()
