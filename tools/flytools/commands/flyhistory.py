# flyhistory.py: the command line of tools/flyhistory, which keeps every
# benchmark run in a database and finds where across commits a metric
# stepped: add, report, check, list, show, remove. Each command is a few
# calls into history/ (the database, the SQL, the steps) and report/ (the
# page and the JSON). Errors are one line on standard error starting
# "flyhistory: error:"; a traceback never reaches the user.
import argparse
import datetime
import math
import sys

from ..errors import EXIT_INPUT, EXIT_OK, InputError
from ..history import db as history_db, gate, steps, store
from ..records import Series
from ..report import history_text, jsonout
from ..report.files import check_outputs, write_file
from ..stats import steps as search
from . import common

PROG = "flyhistory"
EXIT_REGRESSION = 3
EXIT_UNSURE = 4       # check: no regression shown, but the newest commit can't be judged yet
EXIT_NOTHING = 5      # check: no runs stored, nothing to judge
DEFAULT_DB = "flyrate-history.sqlite"
CHECK_HISTORY = 60   # newest commits check searches (at least 3 times --window)


Parser = common.parser_class(PROG)


def parser() -> argparse.ArgumentParser:
    p = Parser(prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
               description="Keep every flyrate run in a database and find where across commits a "
                           "metric stepped.",
               epilog="Steps are found by a max-t search that survives deleting any one commit, with "
                      "its null known at every history length (%g%% chance of a false step per metric, the "
                      "segments sharing it), "
                      "kept as a step when it also stands out against a drifting level, else shown "
                      "as drift; on the mean and p99 frame time, the 1%% low and each segment's mean "
                      "frame time against the whole path's; each step's 95%% interval allows for its "
                      "having been chosen. check judges each line's newest commit against the level "
                      "before it.\n"
                      "exit status: 0 success (check: no regression, every newest commit judged); 1 bad "
                      "input or database; 2 bad command line (also a report file written over the "
                      "database); 3 check found a regression; 4 check can't "
                      "tell yet (too few launches or commits), no regression found; 5 check found no "
                      "runs to judge." % (search.ALPHA * 100))
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
    c = sub.add_parser("check", help="exit 3 on a regression on the newest commit or among the newest steps")
    c.add_argument("--fail-on-regression", type=float, default=1.0, metavar="PCT",
                   help="fail when a regression is beyond PCT%% with 95%% confidence (default 1)")
    c.add_argument("--window", type=int, default=10, metavar="N",
                   help="newest commits of each series looked at (default 10)")
    sub.add_parser("list", help="the series and their runs")
    sub.add_parser("show", help="the runs' environment and metrics").add_argument(
        "run", metavar="RUN", help="run id or path (every run stored from it)")
    d = sub.add_parser("remove", help="delete a run")
    d.add_argument("run", metavar="RUN", help="run id or path")
    d.add_argument("--label", metavar="L", help="of a path's runs, the one of this label")
    return p


def _date(text: str) -> str:
    try:
        d = datetime.datetime.fromisoformat(text.replace("Z", "+00:00"))
    except ValueError:
        raise InputError("--date %s: not an ISO 8601 date" % text)
    if d.tzinfo is None:
        d = d.replace(tzinfo=datetime.timezone.utc)
    return d.astimezone(datetime.timezone.utc).isoformat(timespec="seconds")


def cmd_add(db, args, out):
    for inc in args.incoming:
        run_id, series_id, f = store.store(db, inc, args.commit, args.branch, args.when)
        out.write("added run %d (%s, %d passes%s) to series %d: %s\n" % (
            run_id, inc.run.label, len(inc.run.passes), ", commit " + args.commit if args.commit else "",
            series_id, history_text.series_name(Series(0, runs=0, **f))))
    return EXIT_OK


def cmd_list(db, args, out):
    _say(out, history_text.list_lines([(s, store.series_runs(db, s.id)) for s in store.series_list(db)])
         or ["%s: no runs stored yet" % db.name])
    return EXIT_OK


def cmd_show(db, args, out):
    for run_id in store.find_runs(db, args.run):
        _say(out, history_text.show_lines(*store.run_row(db, run_id)))
    return EXIT_OK


def cmd_remove(db, args, out):
    found = store.find_runs(db, args.run, args.label)
    if len(found) > 1:  # one folder, several labels: one run is removed, the one meant
        raise InputError("%s: %d runs are stored from it (runs %s); name one by its id or --label"
                         % (args.run, len(found), ", ".join(map(str, found))))
    store.remove(db, found[0])
    out.write("removed run %d\n" % found[0])
    return EXIT_OK


def cmd_report(db, args, out):
    histories = [steps.series_history(db, s) for s in store.series_list(db, args.series)]
    if not histories:
        raise InputError("%s: no runs stored yet" % db.name)
    _say(out, history_text.report_lines(histories))
    if args.json:
        write_file(args.json, jsonout.history_json(histories))
        out.write("JSON written to %s\n" % args.json)
    if args.html:
        from ..report import pages
        write_file(args.html, pages.history_page(histories, db.name))
        out.write("page written to %s\n" % args.html)
    return EXIT_OK


def _night_text(label: str, worse: int, night) -> str:
    """A line's newest commit against its level, in percent of the metric;
    the bound is the one-sided 95% one the threshold is held against."""
    if night.ci is None:
        return label
    pct = lambda x: math.expm1(worse * x) * 100.0
    return "%s %+.2f%% (one-sided 95%% bound %+.2f%%)" % (label, pct(night.est), pct(night.ci[0]))


def cmd_check(db, args, out):
    series = store.series_list(db)
    if not series:
        sys.stderr.write("%s: exit status %d: nothing to judge: %s holds no runs yet\n"
                         % (PROG, EXIT_NOTHING, db.name))
        return EXIT_NOTHING
    failed, unsure, caught = [], {}, []
    for s in series:
        commits = store.load_series(db, s.id, max(CHECK_HISTORY, 3 * args.window))
        where = "series %d (%s): " % (s.id, history_text.series_name(s))
        for name, worse, idx, vals, v in steps.judge(commits, args.fail_on_regression, args.window):
            label, night = steps.label_of(name), v.night
            failed += [where + history_text.step_text(steps.named(commits, name, worse, idx, vals, c))
                       for c in v.failing]
            if night.status == gate.REGRESSION:
                failed.append(where + "regression: %s on the newest commit (%s) against the level of the %d "
                              "commit(s) before it" % (_night_text(label, worse, night), commits[idx[-1]].commit,
                                                       night.level_commits))
            elif night.status == gate.UNSURE:
                unsure.setdefault((where, night.reason), []).append(_night_text(label, worse, night))
            elif name == "mean" and night.catches is not None:
                caught.append("series %d: the newest commit (%s) is flagged from +%.1f%% on the mean frame time"
                              % (s.id, commits[idx[-1]].commit, math.expm1(night.catches) * 100))
    if failed:
        _say(sys.stderr, ["%s: %s" % (PROG, line) for line in failed])
        sys.stderr.write("%s: exit status 3: %d regression(s) beyond %g%% in the newest %d commits\n"
                         % (PROG, len(failed), args.fail_on_regression, args.window))
        return EXIT_REGRESSION
    if unsure:
        _say(sys.stderr, ["%s: %scan't tell yet (%s): %s" % (PROG, where, reason, ", ".join(lines))
                          for (where, reason), lines in unsure.items()])
        sys.stderr.write("%s: exit status %d: no regression beyond %g%% found, but the newest commit can't be "
                         "judged yet on %d line(s)\n" % (PROG, EXIT_UNSURE, args.fail_on_regression,
                                                         sum(map(len, unsure.values()))))
        return EXIT_UNSURE
    out.write("no regression beyond %g%% in the newest %d commits of any series\n"
              % (args.fail_on_regression, args.window))
    _say(out, caught)
    return EXIT_OK


def _say(out, lines: list[str]) -> None:
    out.write("".join(line + "\n" for line in lines))


COMMANDS = {"add": cmd_add, "report": cmd_report, "check": cmd_check, "list": cmd_list,
            "show": cmd_show, "remove": cmd_remove}


def main(argv: list[str] | None = None, out=None) -> int:
    p = parser()
    args = p.parse_args(argv)
    out = out or sys.stdout
    if not 0 <= args.lock_timeout < math.inf:
        p.error("--lock-timeout %g: must be 0 or more seconds" % args.lock_timeout)
    if args.command == "check" and (args.window < 1 or not 0 <= args.fail_on_regression < 100):
        p.error("check: --window must be 1 or more and --fail-on-regression 0 to below 100")
    if args.command == "report":  # the database is no output's to write over
        check_outputs((("--json", args.json), ("--html", args.html)), history_db.files(args.db))
    if args.command in ("show", "remove") and not args.run:
        p.error("%s: RUN is a run id or path" % args.command)
    if args.command == "add":  # the input read before the database is made
        args.when = _date(args.date) if args.date else None
        args.incoming, notes = store.read_input(args.run, args.label)
        _say(sys.stderr, ["%s: %s" % (PROG, note) for note in notes])
    db = history_db.connect(args.db, create=args.command == "add", lock_timeout=args.lock_timeout)
    try:
        return COMMANDS[args.command](db, args, out)
    except history_db.driver_errors() as e:
        raise InputError("%s: %s" % (db.name, history_db.describe(e)))
    finally:
        db.close()


def run() -> int:
    """The command's entry: main(), and never a traceback."""
    return common.run(PROG, main, EXIT_INPUT)
