# store.py: every SQL statement of flyhistory, and what a run is stored as:
# the runs of what `add` is given (a flyrun folder's labels, or one log),
# the content hash that knows a run again under another name, the series a
# run belongs to (the runs it may be compared with: same script, framebuffer
# size, renderer, host and CPU, and label), its per-pass metrics and
# per-pass segment figures; and the rows read back for the other commands.
import datetime
import hashlib
import json
import os

import numpy as np

from .. import metrics, segments
from ..errors import InputError
from ..inputs import open_run, runfolder, script as scripts
from ..records import Incoming, Point, RunInfo, Series, StoredRun, to_json
from .db import DB, PASS_COLUMNS, SEGMENT_GPU, driver_errors

BATCH = 500          # rows asked for by their keys a few hundred at a time


def read_input(path: str, label: str | None) -> tuple[list[Incoming], list[str]]:
    """The runs in what `add` was given: one per flyrun label of a folder
    (only `label` if given), or the one run of a CSV or stdout log (with
    the run.json beside it); and the
    notes on a folder's runs that did not complete and its script, if it
    is gone or was edited since."""
    if not os.path.isdir(path):
        run = open_run.read_run(path, label or "default")
        return [Incoming(run, run.kind, path)], []
    if not runfolder.is_folder(path):
        raise InputError("%s: a folder without flyrun.json is no flyrun folder" % path)
    session, runs, note = runfolder.read_folder(path, set(), only=label)
    if not runs:
        raise InputError("%s: no complete run%s in the flyrun folder" % (
            path, " of label %s" % label if label else ""))
    script, changed = runfolder.session_script(path, session)
    return [Incoming(r, "folder", path, script, session.settings.script_sha256 or "") for r in runs], \
        [n for n in (note, changed) if n]


def content_hash(inc: Incoming) -> str:
    """SHA-256 of a run's measurements, so the same run is known again
    under another name or path."""
    h = hashlib.sha256(inc.kind.encode() if inc.kind == "log" else b"frames")
    for p in inc.run.passes:
        if p.frame_ms is not None:
            h.update(np.ascontiguousarray(p.frame_ms, dtype=np.float64).tobytes())
            if p.chunks is not None:
                h.update(np.ascontiguousarray(p.chunks, dtype=np.int64).tobytes())
        else:
            h.update(json.dumps(p.summary, sort_keys=True).encode())
        h.update(b"|")
    return h.hexdigest()


def series_fields(inc: Incoming) -> dict:
    """What must match for two runs to be compared; empty where unknown."""
    env = inc.run.environments[0] if inc.run.environments else RunInfo()
    host = env.host
    sha = (env.script.sha256 if env.script else None) or inc.script_sha256
    return {"label": inc.run.label, "script_sha256": str(sha or ""), "framebuffer": str(env.size or ""),
            "renderer": str(env.renderer or ""), "host": str(host.name or "") if host else "",
            "cpu": str(host.cpu_model or "") if host else ""}


def _segments(inc: Incoming) -> tuple:
    """The run's segments by the one plan (keyframe to keyframe of the
    session's script where it is still there and unchanged)."""
    return segments.plan([inc.run], scripts.read_script(inc.script) if inc.script else None)[0]


def store(db: DB, inc: Incoming, commit: str | None, branch: str | None,
          date: str | None) -> tuple[int, int, dict]:
    """One run in one transaction; its id, its series id and fields."""
    digest, fields, seg_list = content_hash(inc), series_fields(inc), _segments(inc)
    try:
        with db.transaction():
            _refuse_stored(db, inc, digest)
            run_id, series_id = _insert(db, inc, digest, fields, seg_list, (commit, branch, date))
    except driver_errors() as e:  # another writer stored the same run a moment before
        if "content_hash" in str(e):
            _refuse_stored(db, inc, digest)
        raise
    return run_id, series_id, fields


def _refuse_stored(db: DB, inc: Incoming, digest: str) -> None:
    same = db.rows("SELECT id FROM runs WHERE content_hash = ?", (digest,))
    if same:
        raise InputError("%s: already in the database as run %d (same measurements)" % (inc.path, same[0][0]))


def _insert(db: DB, inc: Incoming, digest: str, fields: dict, seg_list: tuple, when: tuple) -> tuple:
    """The run's rows (when: its commit, branch and date); its id and its
    series id."""
    commit, branch, date = when
    key = json.dumps(list(fields.values()))
    rows = [(p.launch, [p.metrics[k] for k in PASS_COLUMNS]) for p in inc.run.passes]
    env = {"environments": to_json(inc.run.environments), "segments": to_json(seg_list)}
    now = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
    found = db.rows("SELECT id FROM series WHERE key = ?", (key,))
    if not found:  # (a writer at the same moment may have made it)
        db.execute("INSERT INTO series (key, %s) VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT (key) "
                   "DO NOTHING" % ", ".join(fields), [key] + list(fields.values()))
        found = db.rows("SELECT id FROM series WHERE key = ?", (key,))
    series_id = found[0][0]
    run_id = db.execute(
        "INSERT INTO runs (series_id, content_hash, path, kind, label, commit_sha, branch, "
        "run_date, added, environment, passes, segments) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, "
        "?, ?, ?) RETURNING id",
        (series_id, digest, os.path.abspath(inc.path), inc.kind, inc.run.label, commit, branch,
         date or now, now, json.dumps(env), len(rows), len(seg_list))).fetchone()[0]
    db.insert_many("pass_metrics", ["run_id", "pass_no", "launch"] + list(PASS_COLUMNS.values()),
                   [(run_id, i, launch, *vals) for i, (launch, vals) in enumerate(rows, 1)])
    db.insert_many("segment_metrics", ["run_id", "pass_no", "segment", "mean", "p99"]
                   + [m.column for m in SEGMENT_GPU], [
        (run_id, i, s.index, float(np.mean(part)), float(metrics.p99_ms(part)),
         *(_segment_value(p, m, s) for m in SEGMENT_GPU))
        for i, p in enumerate(inc.run.passes, 1) for s in seg_list
        for part in [p.frame_ms[s.first_frame:s.last_frame]]])
    return run_id, series_id


def _segment_value(p, metric, seg) -> float | None:
    """A pass's GPU metric over a segment; None where it has no GPU times."""
    values = getattr(p, metric.source)
    v = None if values is None else float(metric.of_array(values[seg.first_frame:seg.last_frame]))
    return v if v is not None and np.isfinite(v) else None


def series_list(db: DB, wanted: list[int] | None = None) -> list[Series]:
    """The series that hold runs (only those wanted, if given)."""
    rows = [] if db.empty else db.rows(
        "SELECT s.id, s.label, s.script_sha256, s.framebuffer, s.renderer, s.host, "
        "s.cpu, COUNT(r.id) FROM series s LEFT JOIN runs r ON r.series_id = s.id "
        "GROUP BY s.id, s.label, s.script_sha256, s.framebuffer, s.renderer, s.host, "
        "s.cpu ORDER BY s.id")
    out = [Series(*r) for r in rows]
    if wanted:
        missing = [w for w in wanted if w not in {s.id for s in out}]
        if missing:
            raise InputError("--series %d: no such series (flyhistory list shows them)" % missing[0])
        out = [s for s in out if s.id in wanted]
    return [s for s in out if s.runs]


def _newest(db: DB, series_id: int, newest: int | None) -> list[tuple]:
    """The series' runs in commit order (date, then adding order), only
    those of the newest commits if asked."""
    cur = db.execute("SELECT id, commit_sha, branch, run_date, path, segments FROM runs WHERE "
                     "series_id = ? ORDER BY run_date DESC, id DESC", (series_id,))
    runs, keys = [], set()
    while rows := cur.fetchmany(BATCH):  # newest first, as far back as asked
        for row in rows:
            keys.add(row[1] or row[0])
            if newest and len(keys) > newest:
                return runs[::-1]
            runs.append(row)
    return runs[::-1]


def _figures(db: DB, ids: list[int]) -> dict:
    """Per run id: per metric its passes' values, per segment the mean over
    its passes, each pass's launch and per (launch, segment) the mean over
    the launch's passes (worked by the database)."""
    by_id = {i: ({}, {}, [], {}) for i in ids}
    cols = ", ".join(PASS_COLUMNS.values())
    for at in range(0, len(ids), BATCH):
        part = ids[at:at + BATCH]
        marks = ", ".join("?" * len(part))
        for row in db.rows("SELECT run_id, launch, %s FROM pass_metrics WHERE run_id IN (%s) "
                           "ORDER BY run_id, pass_no" % (cols, marks), part):
            by_id[row[0]][2].append(row[1])
            for name, v in zip(PASS_COLUMNS, row[2:]):
                by_id[row[0]][0].setdefault(name, []).append(v)
        sums = {}
        for run_id, launch, seg, mean, count in db.rows(
                "SELECT s.run_id, p.launch, s.segment, AVG(s.mean), COUNT(*) FROM segment_metrics s "
                "JOIN pass_metrics p ON p.run_id = s.run_id AND p.pass_no = s.pass_no WHERE s.run_id IN (%s) "
                "GROUP BY s.run_id, p.launch, s.segment" % marks, part):
            by_id[run_id][3][(launch, seg)] = float(mean)
            total = sums.setdefault((run_id, seg), [0.0, 0])
            total[0] += float(mean) * count
            total[1] += count
        for (run_id, seg), (total, count) in sums.items():  # the run's: over all its passes
            by_id[run_id][1][seg] = total / count
    return by_id


def _run_value(values: list) -> float | None:
    """A run's value of a metric: the mean over its passes (None unless
    every pass has one)."""
    if not values or any(v is None for v in values):
        return None
    return sum(values) / len(values)


def load_series(db: DB, series_id: int, newest: int | None = None) -> tuple:
    """The points of a series in commit order (repeats of a commit are one
    point), each run with its figures."""
    runs = _newest(db, series_id, newest)
    figures = _figures(db, [r[0] for r in runs])
    points, index = [], {}
    for run_id, sha, branch, date, path, nseg in runs:
        key = sha[:12] if sha else "run %d" % run_id
        passes, seg, launch, launch_seg = figures[run_id]
        stored = StoredRun(run_id, path, nseg, passes, seg, {k: _run_value(v) for k, v in passes.items()},
                           tuple(launch), launch_seg)
        if (sha or key) not in index:
            index[sha or key] = len(points)
            points.append((key, sha, branch, date, []))
        points[index[sha or key]][4].append(stored)
    return tuple(Point(k, sha, branch, date, tuple(rs)) for k, sha, branch, date, rs in points)


def find_runs(db: DB, arg: str, label: str | None = None) -> list[int]:
    """The ids of the runs a RUN argument names: an id or a path (only
    the run of `label` if given)."""
    where, key = ("id = ?", int(arg)) if arg.isdigit() else ("path = ?", os.path.abspath(arg))
    rows = [] if db.empty else db.rows("SELECT id FROM runs WHERE %s%s ORDER BY id" % (
        where, " AND label = ?" * (label is not None)), (key,) + ((label,) if label is not None else ()))
    if not rows:
        raise InputError("%s: no such run%s in the database" % (arg, " of label %s" % label if label else ""))
    return [r[0] for r in rows]


def series_runs(db: DB, series_id: int) -> list[tuple]:
    return db.rows("SELECT id, run_date, commit_sha, branch, passes, path FROM runs WHERE "
                   "series_id = ? ORDER BY run_date, id", (series_id,))


def run_row(db: DB, run_id: int) -> tuple:
    """A run's row, its passes' metrics and its first environment (or None)."""
    row = db.rows("SELECT id, series_id, path, kind, label, commit_sha, branch, run_date, added, "
                  "environment FROM runs WHERE id = ?", (run_id,))[0]
    passes = db.rows("SELECT pass_no, launch, %s FROM pass_metrics WHERE run_id = ? ORDER BY pass_no"
                     % ", ".join(PASS_COLUMNS.values()), (run_id,))
    envs = json.loads(row[9]).get("environments") or []
    env = runfolder.build(RunInfo, envs[0], "run %d's environment" % run_id) if envs else None
    return row[:9], passes, env


def remove(db: DB, run_id: int) -> None:
    with db.transaction():
        for table in ("segment_metrics", "pass_metrics"):
            db.execute("DELETE FROM %s WHERE run_id = ?" % table, (run_id,))
        db.execute("DELETE FROM runs WHERE id = ?", (run_id,))


def pass_rows(db: DB, fields: dict, columns: list[str]) -> list[tuple]:
    """(series id, run id, launch, the columns) of every stored pass of the
    series whose fields match `fields` (series fields by name), in each
    series' time order of its runs, launch and pass order within them."""
    where = " AND ".join("s.%s = ?" % k for k in fields) or "1 = 1"
    return db.rows("SELECT r.series_id, r.id, p.launch, %s FROM pass_metrics p JOIN runs r ON r.id = p.run_id "
                   "JOIN series s ON s.id = r.series_id WHERE %s ORDER BY r.series_id, r.run_date, r.id, "
                   "p.launch, p.pass_no" % (", ".join("p." + c for c in columns), where), list(fields.values()))
