"""What the GPU measurement scripts share: a flight of the stand-in with the
plug-in, its CSV log's frame and GPU columns (read with the tools' reader:
frame_ms, gpu_ms and gpu_lag_ms of every row, an empty GPU cell as NaN),
and a script's segments.
"""
import os
import resource
import subprocess
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools"))
from flytools.inputs import logfile  # noqa: E402


def fly(build: str, script: str, passes: int, log: str, options: list[str], gpu: bool) -> float:
    """One run of the stand-in (with these options) flying the script, the
    per-frame log written to `log`; GPU times asked for or not. Returns the
    CPU time (user and system, all its threads) the stand-in used."""
    env = dict(os.environ, FLYRATE=script, FLYRATE_PASSES=str(passes), FLYRATE_CSV=log)
    for name in ("FLYRATE_SHOTS", "FLYRATE_GPU", "FLYRATE_RECORD"):
        env.pop(name, None)
    if gpu:
        env["FLYRATE_GPU"] = "1"
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run([os.path.join(build, "standin", "flyrate-standin"), "--max-seconds", "900"] + options +
                   [os.path.join(build, "flyrate.so")],
                   env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime


def read(log: str) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """frame_ms, gpu_ms and gpu_lag_ms of every row, in order (NaN where a
    GPU cell is empty or the log has no GPU columns)."""
    passes = logfile.read_log(log).passes

    def column(name: str) -> np.ndarray:
        return np.concatenate([getattr(p, name) if getattr(p, name) is not None else np.full(p.frames, np.nan)
                               for p in passes])
    return column("frame_ms"), column("gpu_ms"), column("gpu_lag_ms")


def segment_bounds(script: str) -> list[tuple[int, int]]:
    """Row ranges [a, b) of the script's segments, keyframe to keyframe: the
    rows of path frames k+1..next keyframe."""
    frames = []
    with open(script) as f:
        for line in f:
            words = line.split()
            if words and not words[0].startswith("#") and words[0] != "warmup":
                frames.append(int(words[0]))
    return [(a, b) for a, b in zip(frames, frames[1:]) if b > a]
