#!/usr/bin/python3
# flyhistory at scale: a database of 20,000 runs x 10 passes x 20 segments
# (10 series, one per machine and label, 2,000 nightly commits each, added
# night by night as a fleet would), then the wall time of `flyhistory report`
# of one series and of `flyhistory check` over all of them, each a fresh
# process as CI runs it. Also the rates of the step search and the nightly
# gate on the seeded simulation the README quotes (--histories N a scenario,
# default 200). Run: bench/flyhistory_bench.py [--rates-only | --times-only]
# [--histories N] [FOLDER]
import datetime
import hashlib
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools", "tests"))
import histsim  # noqa: E402  (nightly histories and the scenarios of the rates)
import support as sim  # noqa: E402  (the tools' test support: histories, folders, the path to the tools)
from flytools.history import db as history_db  # noqa: E402

TOOLS = sim.TOOLS

SERIES, COMMITS, PASSES, SEGMENTS = 10, 2000, 10, 20
START, DAY = datetime.datetime(2021, 1, 1, tzinfo=datetime.timezone.utc), datetime.timedelta(days=1)


def build(path):
    """The database, written through the tool's schema; per-pass metrics
    drawn with run-to-run and pass-to-pass noise, a 3% whole-path step at
    commit 1200, segment 7 2% faster from commit 1700, and the last series 4%
    slower in its newest 6 commits."""
    rng = np.random.default_rng(1)
    db = history_db.connect(path)
    cols = list(history_db.PASS_COLUMNS.values())
    with db.transaction():
        for s in range(SERIES):
            db.execute("INSERT INTO series (key, label, script_sha256, framebuffer, renderer, host, cpu) "
                       "VALUES (?, ?, 'ab', '960x540', 'llvmpipe', ?, 'cpu')", ("k%d" % s, "AB"[s % 2], "m%d" % (s // 2)))
        run_id = 0
        for c in range(COMMITS):
            runs, passes, segs = [], [], []
            for s in range(SERIES):
                run_id += 1
                level = 16.0 * np.exp(rng.normal(0, 0.01)) * (1.03 if c >= 1200 else 1.0)
                level *= 1.04 if s == SERIES - 1 and c >= COMMITS - 6 else 1.0  # for check to find
                runs.append((run_id, s + 1, "h%d-%d" % (s, c), "/runs/%d" % c, "folder", "AB"[s % 2],
                             hashlib.sha1(b"%d" % c).hexdigest(), "main", (START + c * DAY).isoformat(), "now", "{}",
                             PASSES, SEGMENTS))
                for p in range(1, PASSES + 1):
                    mean = level * np.exp(rng.normal(0, 0.004))
                    value = {"frames": 600, "seconds": mean * 0.6, "fps": 1000 / mean, "mean": mean,
                             "median": mean * 0.99, "p95": mean * 1.2, "p99": mean * 1.6, "p99.9": mean * 2.5,
                             "max": mean * 3, "low1": 1000 / (mean * 2), "low01": 1000 / (mean * 2.8),
                             "stutters": 6, "pacing": mean * 0.05}
                    passes.append((run_id, p, 0, *(value.get(k) for k in history_db.PASS_COLUMNS)))
                    seg = mean * np.exp(rng.normal(0, 0.01, SEGMENTS))
                    if c >= 1700:
                        seg[6] *= 0.98
                    segs += [(run_id, p, i + 1, float(v), float(v) * 1.8) for i, v in enumerate(seg)]
            db.insert_many("runs", ["id", "series_id", "content_hash", "path", "kind", "label", "commit_sha",
                                    "branch", "run_date", "added", "environment", "passes", "segments"], runs)
            db.insert_many("pass_metrics", ["run_id", "pass_no", "launch"] + cols, passes)
            db.insert_many("segment_metrics", ["run_id", "pass_no", "segment", "mean", "p99"], segs)
    db.close()


def timed(*args):
    """Wall time and processor time (user + system) of one command; on a
    shared machine the wall time also holds the waits for a core."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t = time.perf_counter()
    r = subprocess.run([os.path.join(TOOLS, "flyhistory"), *args], capture_output=True, text=True)
    wall = time.perf_counter() - t
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime, r


def rates(histories=200):
    """The rates of the step search and the nightly gate on simulated nightly
    histories, frame by frame (histsim's scenarios; about 5 minutes on one
    core at 200 histories a scenario), as the README's table."""
    results = {}
    for name in histsim.SCENARIOS:
        t = time.perf_counter()
        results[name] = histsim.run(name, histories)
        sys.stderr.write("%s: %.0f s\n" % (name, time.perf_counter() - t))
    print(histsim.table(results))


def main():
    if "--times-only" not in sys.argv:
        rates(int(sys.argv[sys.argv.index("--histories") + 1]) if "--histories" in sys.argv else 200)
    if "--rates-only" in sys.argv:
        return
    folder = next((a for i, a in enumerate(sys.argv[1:]) if not a.startswith("--")
                   and sys.argv[i] != "--histories"), None) or tempfile.mkdtemp()
    path = os.path.join(folder, "bench.sqlite")
    if not os.path.exists(path):
        t = time.perf_counter()
        build(path)
        print("built %s: %d runs, %.0f MB, in %.0f s" % (path, SERIES * COMMITS, os.path.getsize(path) / 1e6,
                                                         time.perf_counter() - t))
    run = sim.write_folder(__import__("pathlib").Path(tempfile.mkdtemp()) / "run",
                           sim.game_frames(np.random.default_rng(os.getpid()), (3, 2, 600)))
    for args in (["add", run], ["remove", run]):  # one nightly run of 3 launches x 2 passes x 600 frames
        wall, cpu, r = timed("--db", path, *args)
        print("flyhistory %s: processor time %.2f s, wall time %.2f s (exit %d)" % (args[0], cpu, wall, r.returncode))
    for args in (["report", "--series", "1", "--html", os.path.join(folder, "h.html")],
                 ["report", "--series", "1", "--json", os.path.join(folder, "h.json")],
                 ["check"]):
        times = []
        for _ in range(3):
            wall, cpu, r = timed("--db", path, *args)
            times.append((cpu, wall))
        print("flyhistory %s: processor time best %.2f s, worst %.2f s; wall time best %.2f s (exit %d)" % (
            " ".join(args[:3]), min(times)[0], max(times)[0], min(t[1] for t in times), r.returncode))
        print("  " + "\n  ".join((r.stdout + r.stderr).strip().splitlines()[:6]))


if __name__ == "__main__":
    main()
