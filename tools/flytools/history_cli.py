# history_cli.py: the command line of tools/flyhistory, which keeps every
# benchmark run in a database and finds where across commits a metric
# stepped: add, report, check, list, show, remove. A run is grouped into a
# series with the runs it may be compared with (same script, framebuffer
# size, renderer, host and CPU, and label). Errors are one line on standard
# error starting "flyhistory: error:"; a traceback never reaches the user.
import argparse
import datetime
import hashlib
import json
import os
import sys
from dataclasses import dataclass, field

import numpy as np

from . import changepoint, entry, history_db, metrics, reading, runfolder, segments

PROG = "flyhistory"
EXIT_OK, EXIT_INPUT, EXIT_USAGE, EXIT_REGRESSION = 0, 1, 2, 3
DEFAULT_DB = "flyrate-history.sqlite"
CHECK_HISTORY = 60   # newest commits check searches (at least 3 times --window)
# The lines searched for steps: whole-path metrics (frame times, where
# larger is worse, and 1% low, where larger is better) and each segment's
# mean frame time.
DETECTED = {"mean": 1, "p99": 1, "low1": -1}
NAMES = {"mean": "mean frame time", "p99": "p99 frame time", "low1": "1% low",
         "median": "median frame time", "p95": "p95 frame time", "p99.9": "p99.9 frame time",
         "max": "max frame time", "low01": "0.1% low", "stutters": "stutters",
         "chunk_builds": "chunk builds", "fps": "fps"}


@dataclass
class Incoming:
    """A run as read, before it is stored."""
    label: str
    path: str
    kind: str
    passes: list
    environments: list = field(default_factory=list)
    script: str | None = None       # the session's keyframe script, for the segments
    script_sha256: str = ""         # its SHA-256 as the session recorded it


# ---- reading what `add` is given -------------------------------------------

def read_input(path: str, label: str | None) -> list[Incoming]:
    """The runs in what `add` was given: one per flyrun label of a folder
    (only `label` if given), or the one run of a CSV or stdout log."""
    if os.path.isdir(path):
        if not os.path.exists(os.path.join(path, "flyrun.json")):
            raise reading.InputError("%s: a folder without flyrun.json is no flyrun folder" % path)
        runs = runfolder.read_folder(path, set(), only=label, prog=PROG)
        settings = runfolder.session(path)["settings"]
        if not runs:
            raise reading.InputError("%s: no complete run%s in the flyrun folder" % (
                path, " of label %s" % label if label else ""))
        script = settings.get("script")
        if script and not os.path.isabs(script) and not os.path.exists(script):
            script = os.path.join(path, script)  # written relative to the session's folder
        return [Incoming(r.label, path, "folder", r.passes, list(getattr(r, "environments", [])),
                         script, str(settings.get("script_sha256") or "")) for r in runs]
    run = reading.read_run(path, set())
    return [Incoming(label or "default", path, run.kind, run.passes)]


def content_hash(inc: Incoming) -> str:
    """SHA-256 of a run's measurements, so the same run is known again
    under another name or path."""
    h = hashlib.sha256(inc.kind.encode() if inc.kind == "log" else b"frames")
    for p in inc.passes:
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
    env = inc.environments[0] if inc.environments else {}
    host = env.get("host") or {}
    fb = env.get("framebuffer") or {}
    size = "%dx%d" % (fb["width"], fb["height"]) if fb.get("width") else \
        str((env.get("game") or {}).get("size") or "")
    sha = (env.get("script") or {}).get("sha256") or inc.script_sha256
    return {"label": inc.label, "script_sha256": str(sha or ""),
            "framebuffer": size, "renderer": str(env.get("renderer") or ""),
            "host": str(host.get("name") or ""), "cpu": str(host.get("cpu_model") or "")}


def segment_plan(inc: Incoming) -> list[dict]:
    """The segments of the run's passes (keyframe to keyframe of the
    session's script when readable, else equal stretches), or none."""
    if not all(p.frame_ms is not None for p in inc.passes):
        return []
    counts = {len(p.frame_ms) for p in inc.passes}
    if len(counts) != 1:
        return []
    n = counts.pop()
    if inc.script and os.path.exists(inc.script):
        try:
            keys = segments.read_script(inc.script)
            if keys[-1] == n:
                return segments.from_keyframes(keys)
        except reading.InputError:
            pass
    return segments.stretches(n) if n >= 20 else []


def pass_rows(inc: Incoming) -> list[tuple[int, list]]:
    """Per pass: its launch and every stored metric."""
    rows = []
    for p in inc.passes:
        m = reading.pass_metrics(p)
        if p.chunks is not None:
            m["chunk_builds"] = int(np.sum(p.chunks))
            m["chunk_stutters"] = int(np.count_nonzero(p.stutter_mask & (p.chunks > 0)))
        rows.append((getattr(p, "launch", 0), [m.get(k) for k in history_db.PASS_COLUMNS]))
    return rows


# ---- storing ----------------------------------------------------------------

def store(db: history_db.DB, inc: Incoming, commit: str | None, branch: str | None,
          date: str | None) -> tuple[int, int, dict]:
    """One run in one transaction; its id and series id."""
    digest = content_hash(inc)
    fields = series_fields(inc)
    key = json.dumps(list(fields.values()))
    seg_list = segment_plan(inc)
    rows = pass_rows(inc)
    env = {"environments": inc.environments, "segments": seg_list}
    now = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
    with db.transaction():
        same = db.rows("SELECT id FROM runs WHERE content_hash = ?", (digest,))
        if same:
            raise reading.InputError("%s: already in the database as run %d (same measurements)"
                                     % (inc.path, same[0][0]))
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
            (series_id, digest, os.path.abspath(inc.path), inc.kind, inc.label, commit, branch,
             date or now, now, json.dumps(env), len(rows), len(seg_list))).fetchone()[0]
        db.insert_many("pass_metrics",
                       ["run_id", "pass_no", "launch"] + list(history_db.PASS_COLUMNS.values()),
                       [(run_id, i, launch, *vals) for i, (launch, vals) in enumerate(rows, 1)])
        seg_rows = []
        for i, p in enumerate(inc.passes, 1):
            for s in seg_list:
                part = p.frame_ms[s["first_frame"]:s["last_frame"]]
                seg_rows.append((run_id, i, s["index"], float(np.mean(part)), float(metrics.p99_ms(part))))
        db.insert_many("segment_metrics", ["run_id", "pass_no", "segment", "mean", "p99"], seg_rows)
    return run_id, series_id, fields


# ---- a series' history and its steps ---------------------------------------

def series_list(db: history_db.DB, wanted: list[int] | None = None) -> list[dict]:
    rows = db.rows("SELECT s.id, s.label, s.script_sha256, s.framebuffer, s.renderer, s.host, "
                   "s.cpu, COUNT(r.id) FROM series s LEFT JOIN runs r ON r.series_id = s.id "
                   "GROUP BY s.id, s.label, s.script_sha256, s.framebuffer, s.renderer, s.host, "
                   "s.cpu ORDER BY s.id")
    out = [dict(zip(("id", "label", "script_sha256", "framebuffer", "renderer", "host", "cpu",
                     "runs"), r)) for r in rows]
    if wanted:
        known = {s["id"] for s in out}
        missing = [w for w in wanted if w not in known]
        if missing:
            raise reading.InputError("--series %d: no such series (flyhistory list shows them)"
                                     % missing[0])
        out = [s for s in out if s["id"] in wanted]
    return [s for s in out if s["runs"]]


def series_name(s: dict) -> str:
    unknown = "?"
    return "%s on %s (%s), %s, %s, script %s" % (
        s["label"], s["host"] or unknown, s["cpu"] or "CPU " + unknown, s["framebuffer"] or "size " + unknown,
        s["renderer"] or "renderer " + unknown, s["script_sha256"][:12] or unknown)


def load_series(db: history_db.DB, series_id: int, newest: int | None = None) -> list[dict]:
    """The runs of a series in commit order (date, then adding order),
    with their per-pass metrics and per-pass segment means."""
    cur = db.execute("SELECT id, commit_sha, branch, run_date, path, segments FROM runs WHERE "
                     "series_id = ? ORDER BY run_date DESC, id DESC", (series_id,))
    runs, keys = [], set()
    while rows := cur.fetchmany(500):  # newest first, as far back as asked
        for row in rows:
            keys.add(row[1] or row[0])
            if newest and len(keys) > newest:
                break
            runs.append(row)
        else:
            continue
        break
    runs.reverse()
    commits, index = [], {}
    for run_id, sha, branch, date, path, nseg in runs:
        key = sha[:12] if sha else "run %d" % run_id   # repeats of a commit are one point
        c = index.get(sha or key)
        if c is None:
            c = index[sha or key] = {"commit": key, "sha": sha, "branch": branch, "date": date, "runs": []}
            commits.append(c)
        c["runs"].append({"id": run_id, "path": path, "nseg": nseg})
    ids = [r["id"] for c in commits for r in c["runs"]]
    by_id = {i: {"passes": {}, "seg": {}} for i in ids}
    cols = ", ".join(history_db.PASS_COLUMNS.values())
    for at in range(0, len(ids), 500):  # the runs' rows by their keys, a few hundred at a time
        part = ids[at:at + 500]
        marks = ", ".join("?" * len(part))
        for row in db.rows("SELECT run_id, %s FROM pass_metrics WHERE run_id IN (%s) "
                           "ORDER BY run_id, pass_no" % (cols, marks), part):
            passes = by_id[row[0]]["passes"]
            for name, v in zip(history_db.PASS_COLUMNS, row[1:]):
                passes.setdefault(name, []).append(v)
        # A run's segment value is the mean over its passes, worked by the database.
        for run_id, seg, mean in db.rows("SELECT run_id, segment, AVG(mean) FROM segment_metrics "
                                         "WHERE run_id IN (%s) GROUP BY run_id, segment" % marks, part):
            by_id[run_id]["seg"][seg] = float(mean)
    for c in commits:
        for r in c["runs"]:
            r.update(by_id[r["id"]])
            summarise(r)
    return commits


def _run_value(values: list) -> float | None:
    """A run's value of a metric: the mean over its passes (None unless
    every pass has one)."""
    if not values or any(v is None for v in values):
        return None
    return sum(values) / len(values)


def summarise(run: dict) -> None:
    """A run's value (mean over passes) of each metric."""
    run["value"] = {k: _run_value(v) for k, v in run["passes"].items()}


def lines_of(commits: list[dict]) -> dict[str, tuple[list[int], list[np.ndarray]]]:
    """Per detected line, (commit indices with a value, per such commit the
    log run values). A segment's line is its mean frame time against the
    whole path's in the same run, so the run-to-run offsets that move every
    segment alike cancel and a step there is the segment's own."""
    lines = {}
    nseg = max((r["nseg"] for c in commits for r in c["runs"]), default=0)
    names = [(m, lambda r, m=m: r["value"].get(m)) for m in DETECTED] + \
            [("segment %d" % s, lambda r, s=s: _ratio(r["seg"].get(s), r["value"].get("mean")))
             for s in range(1, nseg + 1)]
    for name, get in names:
        idx, vals = [], []
        for i, c in enumerate(commits):
            v = [x for x in (get(r) for r in c["runs"]) if x is not None and x > 0]
            if v:
                idx.append(i)
                vals.append(np.log(np.array(v)))
        lines[name] = (idx, vals)
    return lines


def _ratio(a: float | None, b: float | None) -> float | None:
    return a / b if a is not None and b else None


def analyse(commits: list[dict]) -> list[dict]:
    """Every step of the series' lines, each named and judged."""
    lines = lines_of(commits)
    found = changepoint.series_steps({k: v[1] for k, v in lines.items()})
    out = []
    for name, st in found.items():
        idx = lines[name][0]
        worse = DETECTED.get(name, 1)
        for s in st:
            before, at = commits[idx[s.index - 1]], commits[idx[s.index]]
            out.append({
                "line": name, "metric": NAMES[name] if name in DETECTED
                else "mean frame time against the whole path's",
                "segment": None if name in DETECTED else int(name.split()[1]),
                "commit_index": idx[s.index], "after_commit": before["commit"], "commit": at["commit"],
                "change_pct": s.est_pct, "ci_pct": list(s.ci_pct) if s.ci_pct else None,
                "runs_before": s.before, "runs_after": s.after,
                "kind": "regression" if s.est_pct * worse > 0 else "improvement"})
    out.sort(key=lambda d: (d["commit_index"], d["segment"] or 0))
    return out


def step_text(st: dict) -> str:
    where = "whole path" if st["segment"] is None else "segment %d" % st["segment"]
    ci = " (95%% interval %+.2f%% to %+.2f%%)" % tuple(st["ci_pct"]) if st["ci_pct"] else ""
    return "%s: %s %+.2f%%%s, %s, between %s and %s" % (
        st["kind"], st["metric"], st["change_pct"], ci, where, st["after_commit"], st["commit"])


def series_doc(db: history_db.DB, s: dict, newest: int | None = None) -> dict:
    commits = load_series(db, s["id"], newest)
    return {"series": s, "name": series_name(s), "commits": commits, "steps": analyse(commits)}


# ---- the commands ----------------------------------------------------------

Parser = entry.parser_class(PROG)


def parser() -> argparse.ArgumentParser:
    p = Parser(prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
               description="Keep every flyrate run in a database and find where across commits a "
                           "metric stepped.",
               epilog="Steps are found by E-divisive means with a seeded permutation test (at most "
                      "%d%% chance of any false step per series, windows of %d commits) on the "
                      "mean and p99 frame time, the 1%% low and each segment's mean frame time "
                      "against the whole path's; "
                      "each step's size is Welch's 95%% interval over the runs either side.\n"
                      "exit status: 0 success; 1 bad input or database; 2 bad command line; "
                      "3 check found a regression." % (changepoint.ALPHA * 100, changepoint.WINDOW))
    p.add_argument("--db", default=DEFAULT_DB, metavar="FILE|postgresql://...",
                   help="the database (default %s in the working directory)" % DEFAULT_DB)
    p.add_argument("--lock-timeout", type=float, default=30.0, metavar="S",
                   help="seconds to wait for another writer (default 30)")
    sub = p.add_subparsers(dest="command", required=True, parser_class=Parser)
    a = sub.add_parser("add", help="store a run: a flyrun folder, a CSV log or a saved stdout log")
    a.add_argument("run", metavar="RUN")
    a.add_argument("--commit", metavar="SHA")
    a.add_argument("--branch", metavar="NAME")
    a.add_argument("--date", metavar="ISO", help="the commit's date (orders the history; default now)")
    a.add_argument("--label", metavar="L", help="a folder's label to store (default all); "
                   "a log's series label (default 'default')")
    r = sub.add_parser("report", help="the history of each series with its steps")
    r.add_argument("--series", type=int, action="append", metavar="ID", help="only these series")
    r.add_argument("--html", metavar="FILE", help="write the page")
    r.add_argument("--json", metavar="FILE", help="write every figure as JSON")
    c = sub.add_parser("check", help="exit 3 on a regression among the newest commits")
    c.add_argument("--fail-on-regression", type=float, default=1.0, metavar="PCT",
                   help="fail when a regression's whole interval lies beyond PCT%% (default 1)")
    c.add_argument("--window", type=int, default=10, metavar="N",
                   help="newest commits of each series looked at (default 10)")
    sub.add_parser("list", help="the series and their runs")
    for name, text in (("show", "one run's environment and metrics"), ("remove", "delete a run")):
        sub.add_parser(name, help=text).add_argument("run", metavar="RUN", help="run id or path")
    return p


def _date(text: str) -> str:
    try:
        d = datetime.datetime.fromisoformat(text.replace("Z", "+00:00"))
    except ValueError:
        raise reading.InputError("--date %s: not an ISO 8601 date" % text)
    if d.tzinfo is None:
        d = d.replace(tzinfo=datetime.timezone.utc)
    return d.astimezone(datetime.timezone.utc).isoformat(timespec="seconds")


def cmd_add(db, args, out):
    for inc in args.incoming:
        run_id, series_id, f = store(db, inc, args.commit, args.branch, args.when)
        out.write("added run %d (%s, %d passes%s) to series %d: %s\n" % (
            run_id, inc.label, len(inc.passes), ", commit " + args.commit if args.commit else "",
            series_id, series_name(dict(f))))
    return EXIT_OK


def _find_run(db, arg):
    rows = db.rows("SELECT id FROM runs WHERE id = ?", (int(arg),)) if arg.isdigit() else \
        db.rows("SELECT id FROM runs WHERE path = ? ORDER BY id", (os.path.abspath(arg),))
    if not rows:
        raise reading.InputError("%s: no such run in the database" % arg)
    return [r[0] for r in rows]


def cmd_list(db, args, out):
    for s in series_list(db):
        out.write("series %d: %s: %d runs\n" % (s["id"], series_name(s), s["runs"]))
        for r in db.rows("SELECT id, run_date, commit_sha, branch, passes, path FROM runs WHERE "
                         "series_id = ? ORDER BY run_date, id", (s["id"],)):
            out.write("  run %d  %s  %s  %s  %d passes  %s\n" % (
                r[0], r[1], (r[2] or "-")[:12], r[3] or "-", r[4], r[5]))
    return EXIT_OK


def cmd_show(db, args, out):
    for run_id in _find_run(db, args.run):
        row = db.rows("SELECT r.id, r.series_id, r.path, r.kind, r.label, r.commit_sha, r.branch, "
                      "r.run_date, r.added, r.environment FROM runs r WHERE r.id = ?", (run_id,))[0]
        out.write("run %d in series %d: %s (%s, label %s)\n  commit %s, branch %s, date %s, added %s\n"
                  % (*row[:5], row[5] or "-", row[6] or "-", row[7], row[8]))
        cols = list(history_db.PASS_COLUMNS)
        out.write("  pass launch " + " ".join("%9s" % c[:9] for c in cols) + "\n")
        for p in db.rows("SELECT pass_no, launch, %s FROM pass_metrics WHERE run_id = ? ORDER BY "
                         "pass_no" % ", ".join(history_db.PASS_COLUMNS.values()), (run_id,)):
            out.write("  %4d %6d " % p[:2] + " ".join("%9s" % ("-" if v is None else "%.4g" % v)
                                                     for v in p[2:]) + "\n")
        env = json.loads(row[9])
        for e in env.get("environments", [])[:1]:
            host = e.get("host") or {}
            out.write("  host %s, %s, renderer %s\n" % (host.get("name"), host.get("cpu_model"),
                                                        e.get("renderer")))
    return EXIT_OK


def cmd_remove(db, args, out):
    for run_id in _find_run(db, args.run):
        with db.transaction():
            for table in ("segment_metrics", "pass_metrics"):
                db.execute("DELETE FROM %s WHERE run_id = ?" % table, (run_id,))
            db.execute("DELETE FROM runs WHERE id = ?", (run_id,))
        out.write("removed run %d\n" % run_id)
    return EXIT_OK


def report_json(docs: list[dict]) -> str:
    return json.dumps({"format": "flyhistory-report", "version": 1, "series": [
        {"id": d["series"]["id"], "name": d["name"], "fields": d["series"], "steps": d["steps"],
         "commits": [{"commit": c["commit"], "sha": c["sha"], "branch": c["branch"], "date": c["date"],
                      "runs": [{"id": r["id"], "path": r["path"], "passes": r["passes"],
                                "segments": r["seg"]} for r in c["runs"]]}
                     for c in d["commits"]]} for d in docs]}, indent=1)


def cmd_report(db, args, out):
    docs = [series_doc(db, s) for s in series_list(db, args.series)]
    if not docs:
        raise reading.InputError("%s: no runs stored yet" % db.name)
    for d in docs:
        out.write("series %d: %s: %d commits, %d steps\n" % (
            d["series"]["id"], d["name"], len(d["commits"]), len(d["steps"])))
        for st in d["steps"]:
            out.write("  " + step_text(st) + "\n")
    if args.json:
        reading.write_file(args.json, report_json(docs))
        out.write("JSON written to %s\n" % args.json)
    if args.html:
        from . import history_page
        reading.write_file(args.html, history_page.render(docs, db.name))
        out.write("page written to %s\n" % args.html)
    return EXIT_OK


def cmd_check(db, args, out):
    failed = []
    for s in series_list(db):
        d = series_doc(db, s, newest=max(CHECK_HISTORY, 3 * args.window))
        first = len(d["commits"]) - args.window
        for st in d["steps"]:
            lo, hi = st["ci_pct"] or (None, None)
            beyond = lo is not None and (lo > args.fail_on_regression if st["change_pct"] > 0
                                         else hi < -args.fail_on_regression)
            if st["kind"] == "regression" and st["commit_index"] >= first and beyond:
                failed.append("series %d (%s): %s" % (s["id"], d["name"], step_text(st)))
    for line in failed:
        sys.stderr.write("%s: %s\n" % (PROG, line))
    if failed:
        sys.stderr.write("%s: exit status 3: %d regression(s) beyond %g%% in the newest %d commits\n"
                         % (PROG, len(failed), args.fail_on_regression, args.window))
        return EXIT_REGRESSION
    out.write("no regression beyond %g%% in the newest %d commits of any series\n"
              % (args.fail_on_regression, args.window))
    return EXIT_OK


COMMANDS = {"add": cmd_add, "report": cmd_report, "check": cmd_check, "list": cmd_list,
            "show": cmd_show, "remove": cmd_remove}


def main(argv: list[str] | None = None, out=None) -> int:
    p = parser()
    args = p.parse_args(argv)
    out = out or sys.stdout
    if args.command == "check" and (args.window < 1 or not 0 <= args.fail_on_regression < 100):
        p.error("check: --window must be 1 or more and --fail-on-regression 0 to below 100")
    if args.command in ("show", "remove") and not args.run:
        p.error("%s: RUN is a run id or path" % args.command)
    try:
        if args.command == "add":  # the input read before the database is made
            args.when = _date(args.date) if args.date else None
            args.incoming = read_input(args.run, args.label)
        db = history_db.connect(args.db, create=args.command == "add", lock_timeout=args.lock_timeout)
        try:
            return COMMANDS[args.command](db, args, out)
        except history_db.driver_errors() as e:
            raise reading.InputError("%s: %s" % (args.db, history_db.describe(e)))
        finally:
            db.close()
    except reading.InputError as e:
        sys.stderr.write("%s: error: %s\n" % (PROG, e))
        return EXIT_INPUT


def run() -> int:
    """The command's entry: main(), and never a traceback."""
    return entry.run(PROG, main, EXIT_INPUT)
