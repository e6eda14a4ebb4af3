# support.py: what the tools' tests and the benchmarks in bench/ share: the path to the tools,
# logs, screenshots and flyrun folders written as the tools read them, runs made in memory, game-like
# frame times and histories, and a test case with a scratch folder that runs a command in it.
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import unittest
from dataclasses import replace

import numpy as np
from scipy.signal import lfilter

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, TOOLS)
from flytools import metrics  # noqa: E402
from flytools.records import Pass, Point, Run, StoredRun  # noqa: E402

FRAMES, SEGS = 600, 10


def csv_text(passes, chunks=None):
    """A CSV log from per-pass frame times (and chunk builds: 4 columns)."""
    return "pass,frame,frame_ms" + ",chunks" * bool(chunks) + "".join(
        "\n%d,%d,%.6f" % (p, i, t) + (",%d" % chunks[p - 1][i - 1] if chunks else "")
        for p, times in enumerate(passes, 1) for i, t in enumerate(times, 1)) + "\n"


def ppm(pixels, comment=b""):
    h, w, _ = pixels.shape
    return b"P6\n" + comment + b"%d %d\n255\n" % (w, h) + pixels.astype(np.uint8).tobytes()


def run_of(*passes, launches=None, orders=None, kind="csv", label="x"):
    """A run from per-pass frame times (or stdout summaries, kind "log"), with each pass's launch
    and place in the session if given."""
    made = [Pass(i, f, launch=0 if launches is None else launches[i - 1],
                 order=None if orders is None else orders[i - 1]) if kind == "csv"
            else Pass(i, summary=f) for i, f in enumerate(passes, 1)]
    return Run(label, label, kind, tuple(made))


def relaunched(run, launches=None, orders=None):
    """The run with its passes' launches and places in the session set."""
    return replace(run, passes=tuple(replace(p, launch=0 if launches is None else launches[i],
                                             order=None if orders is None else orders[i])
                                     for i, p in enumerate(run.passes)))


def game_frames(rng, shape, level=16.0):
    """Frame times of shape (..., FRAMES): AR(1) noise (phi 0.9), a per-pass offset, a drift
    from pass to pass and launch to launch, the odd stutter of three times the frame."""
    ar = lfilter([1.0], [1.0, -0.9], rng.normal(0, 0.6, shape), axis=-1)
    passes = np.exp(rng.normal(0, 0.005, shape[:-1] + (1,)))
    drift = 1 + 0.002 * np.arange(np.prod(shape[-3:-1])).reshape(shape[-3:-1] + (1,))
    stutter = np.where(rng.random(shape) < 0.01, 3.0, 1.0)
    return level * passes * drift * stutter * (1 + 0.05 * np.tanh(ar / 3))


def history(rng, commits, step_at=None, seg_at=None, launches=3, passes=2, frames=FRAMES):
    """Per commit, frames (launches, passes, FRAMES): run-to-run offsets of 1.5%, a 3% slower whole
    path from commit step_at, segment 4 2% faster from commit seg_at."""
    f = game_frames(rng, (commits, launches, passes, frames))
    f *= np.exp(rng.normal(0, 0.015, (commits, launches, 1, 1)))
    if step_at is not None:
        f[step_at:] *= 1.03
    if seg_at is not None:
        f[seg_at:, :, :, 3 * frames // SEGS:4 * frames // SEGS] *= 0.98
    return f


def commits_of(frames):
    """A history as load_series gives it, from frames (commits, launches, passes, FRAMES)."""
    flat = frames.reshape(frames.shape[0], -1, frames.shape[-1])
    m = {metric.name: metric.of_array(flat) for metric in metrics.DETECTED}
    seg = flat.reshape(flat.shape[:2] + (SEGS, -1)).mean(-1)
    by_launch = seg.reshape(frames.shape[:3] + (SEGS,)).mean(2)
    launch = tuple(np.repeat(np.arange(1, frames.shape[1] + 1), frames.shape[2]).tolist())
    return tuple(Point("c%d" % i, None, None, "", (StoredRun(
        i, "", SEGS, {k: list(v[i]) for k, v in m.items()}, {s + 1: float(seg[i, :, s].mean()) for s in range(SEGS)},
        {k: float(np.mean(v[i])) for k, v in m.items()}, launch,
        {(n + 1, s + 1): float(by_launch[i, n, s]) for n in range(frames.shape[1]) for s in range(SEGS)}),))
        for i in range(len(flat)))


def write_folder(root, frames, label="A", host="box1", size=(960, 540), failed=False, script=None, orders=None,
                 **env):
    """A flyrun folder of one label, one complete run-NN per launch (and a failed one), or that label added
    to the folder's session; orders: each launch's place in the session; env: fields of run.json to set or
    change."""
    info = {"format": "flyrun-run", "version": 1, "label": label, "status": "complete",
            "script": {"path": "fly.txt", "sha256": "ab" * 32}, "renderer": "llvmpipe (LLVM 15), 256 bits",
            "host": {"name": host, "cpu_model": "Test CPU @ 3GHz", "cpu_cores": 2},
            "framebuffer": {"width": size[0], "height": size[1]}, "game": {}, **env}
    runs = []
    for n, launch in enumerate(frames, 1):
        d = root / label / ("run-%02d" % n)
        d.mkdir(parents=True)
        (d / "frames.csv").write_text(csv_text(launch))
        (d / "run.json").write_text(json.dumps(dict(info, run=n, order=orders[n - 1] if orders else None)))
        runs.append({"label": label, "run": n, "dir": "%s/run-%02d" % (label, n), "status": "complete"})
    if failed:
        (root / label / ("run-%02d.failed" % (len(frames) + 1))).mkdir()
    old = json.loads((root / "flyrun.json").read_text()) if (root / "flyrun.json").exists() else \
        {"format": "flyrun", "version": 1, "runs": [], "settings": {"labels": [], "script": script}, "complete": True}
    old["runs"] += runs
    old["settings"]["labels"].append(label)
    (root / "flyrun.json").write_text(json.dumps(old))
    return str(root)


def history_db(root, launches=((8.0, 8.1),) * 3):
    """A flyhistory database root/h.db holding one session: per launch its passes' steady frame times
    (by default launches that differ by nothing beyond their passes); its path."""
    from flytools.history import db, store
    folder = write_folder(root / "h", [[[t] * 30 for t in launch] for launch in launches])
    conn = db.connect(str(root / "h.db"))
    store.store(conn, store.read_input(folder, None)[0][0], None, None, None)
    conn.close()
    return str(root / "h.db")


PIC = np.random.default_rng(4).integers(0, 200, (3, 4, 3))  # A's picture; in B's moved one a channel is 10 off, one 2
MOVED = PIC + ((np.arange(36) == 1) * 10 + (np.arange(36) == 35) * 2).reshape(PIC.shape)
SHOTS = [  # keyframe, B's screenshot of it (A's is PIC), the words the verdict gives it
    (0, ppm(PIC), "identical at 1 keyframe"),
    (120, ppm(MOVED), "frame 120: 8.33% of pixels beyond \u00b12, PSNR 43.5 dB, largest difference 10"),
    (240, b"P3\n4 3\n255\n", "frame 240: fast.csv's frame-00240.ppm: not a binary PPM (no P6 header)"),
    (360, None, "frame 360: no frame-00360.ppm in fast.csv's folder"),
    (480, ppm(PIC)[:-1], "frame 480: fast.csv's frame-00480.ppm: truncated: 35 of 36 bytes of pixels"),
    (600, ppm(PIC[:2, :2]), "can't be compared at frame 600, sizes differ (4x3 in slow.csv, 2x2 in fast.csv)")]


class Tool(unittest.TestCase):
    """A scratch folder, files written in it, a tool run there (a browser may linger in it)."""
    tool = "flycompare"

    def setUp(self):
        self.dir = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory(ignore_cleanup_errors=True)))

    def write(self, name, data):
        (path := self.dir / name).parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data) if isinstance(data, bytes) else path.write_text(data)

    def run_tool(self, *args, status=0, tool=None):
        r = subprocess.run([os.path.join(TOOLS, tool or self.tool), *args], capture_output=True, text=True,
                           cwd=self.dir, timeout=240, env=dict(os.environ, MPLCONFIGDIR=str(self.dir / "mpl")))
        self.assertEqual(r.returncode, status, r.stderr + r.stdout[-3000:])
        return r

    def write_shots(self):
        """Runs slow.csv and fast.csv (20% faster, 30 frames); screenshots in a and b as SHOTS says."""
        for frame, b, _ in SHOTS:
            self.write("a/frame-%05d.ppm" % frame, ppm(PIC, b"# made by a test\n"))
            if b:
                self.write("b/frame-%05d.ppm" % frame, b)
        self.write("fast.csv", csv_text([[8.0] * 30, [8.1] * 30]))
        self.write("slow.csv", csv_text([[10.0] * 30, [10.1] * 30]))
