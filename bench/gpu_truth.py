#!/usr/bin/python3
"""Ground truth for telling GPU-bound frames from CPU-bound ones.

Flies a keyframe script in the stand-in game with GPU times (FLYRATE_GPU=1)
as it is, with a GPU load (--gpu-load: extra layers of fragments) and with
a CPU load (--cpu-load: busy work on the render thread), each at the given
framebuffer size and at half its width and height. Prints per run the mean
frame time, GPU time (gpu_ms) and GPU lag (gpu_lag_ms), the median of the
lag in frame times, and the share of frames, and of the script's segments
(keyframe to keyframe), that the rule calls GPU-bound: a frame is when the
GPU ran at least LAG of its frame times behind the game's thread at the
hook (a frame or more queued up), a segment when most of its frames are.

The GPU interval is no part of the rule: over a stretch it equals the
frame time whichever side sets the pace (both clocks see every frame
through), and frame by frame it differs from the frame time in both cases
(a GPU-bound frame's CPU time is set by the fence of the frame two back).

Usage: bench/gpu_truth.py [--build build/release] [--script examples/flight.txt]
                          [--size 960x540] [--gpu-load 12] [--cpu-load 50]
                          [--lag 1.0] [--out DIR] [--logs DIR]
--logs DIR reads the logs of an earlier run of this script instead of flying.
"""
import argparse
import os
import tempfile

import numpy as np

import gpu_log
from flytools import metrics

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def gpu_bound(frame_ms: np.ndarray, lag_ms: np.ndarray, lag: float) -> np.ndarray:
    """The tools' rule, frame by frame (--lag 1), or the GPU at least `lag`
    frame times behind; False where a frame has no GPU times."""
    return metrics.gpu_bound(lag * frame_ms, lag_ms) == 1.0


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "release"))
    ap.add_argument("--script", default=os.path.join(ROOT, "examples", "flight.txt"))
    ap.add_argument("--size", default="960x540")
    ap.add_argument("--gpu-load", type=int, default=12)
    ap.add_argument("--cpu-load", type=float, default=50.0)
    ap.add_argument("--lag", type=float, default=1.0)
    ap.add_argument("--out", default=None)
    ap.add_argument("--logs", default=None)
    args = ap.parse_args()
    out = args.logs or args.out or tempfile.mkdtemp(prefix="gpu-truth-")
    w, h = (int(v) for v in args.size.split("x"))
    half = "%dx%d" % (w // 2, h // 2)
    runs = [("plain", args.size, []), ("gpu-load", args.size, ["--gpu-load", str(args.gpu_load)]),
            ("cpu-load", args.size, ["--cpu-load", str(args.cpu_load)])]
    runs += [(name + " half", half, extra) for name, _, extra in runs]
    bounds = gpu_log.segment_bounds(args.script)
    print("%-14s %-9s %9s %9s %9s %10s %10s %12s"
          % ("run", "size", "frame ms", "gpu ms", "lag ms", "lag/frame", "GPU-bound", "segments"))
    for name, size, extra in runs:
        csv = os.path.join(out, name.replace(" ", "-") + ".csv")
        if not args.logs:
            gpu_log.fly(args.build, args.script, 1, csv, ["--size", size] + extra, gpu=True)
        frame, gpu, lag = gpu_log.read(csv)
        ok = ~np.isnan(lag)
        bound = gpu_bound(frame, lag, args.lag) & ok
        segs = [bound[a:b].sum() * 2 > ok[a:b].sum() for a, b in bounds]
        print("%-14s %-9s %9.1f %9.1f %9.1f %10.2f %9.0f%% %7d of %d"
              % (name, size, frame.mean(), np.nanmean(gpu), np.nanmean(lag), np.median(lag[ok] / frame[ok]),
                 bound.sum() * 100 / ok.sum(), sum(segs), len(segs)))
    print("logs in", out)


if __name__ == "__main__":
    main()
