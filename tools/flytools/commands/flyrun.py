# flyrun.py: the command line of tools/flyrun: options, every check made
# before anything is launched (the comparison's options too), the session
# (run.session), the comparison at the end in this same process
# (compare.comparison, report.outputs), and the exit statuses. Errors are
# one line on standard error starting "flyrun: error:"; a traceback never
# reaches the user.
import argparse
import os
import re
import shlex
import shutil
import sys

from ..compare import comparison
from ..errors import EXIT_INPUT, EXIT_OK, InputError, UsageError
from ..inputs import files, runfolder, script as scripts
from ..records import FlyrunSettings
from ..run import decide, finish, session
from . import common

PROG = "flyrun"
FIXED_RUNS, MAX_RUNS = 5, 30
LABEL_RE = re.compile(r"^[A-Za-z0-9][A-Za-z0-9_.+-]*$")

EPILOG = """
Each LABEL="COMMAND" starts the game (or the stand-in) with the plug-in
loaded; the command is split as a shell would split it but runs without a
shell, in its own process group. flyrun sets FLYRATE (the script),
FLYRATE_PASSES, FLYRATE_CSV and FLYRATE_SHOTS (and with --gpu FLYRATE_GPU)
for every launch and removes any other FLYRATE* variable from its
environment.

how many: two variants without --runs run until decided: A B B A blocks of
launches, looking after each, until the change's interval (valid under that
looking) clears the --min-effect band or lies inside it, at most --max-runs
launches of each or within --budget; --runs N runs exactly N launches of
each, as do one variant or three or more without it (default 5).

order: warm-up runs first (--warmup-runs, discarded), then one picture-taking
run of one pass per variant (--shots separate), then the timed runs in
rounds with each variant once: abba goes forward, backward, backward,
forward (A B B A B A A B ...), random shuffles each round (--seed).

folder (--out DIR): DIR/flyrun.json (settings, every launch in order),
DIR/LABEL/run-NN/ (frames.csv, shots/, stdout.log, stderr.log, run.json),
DIR/LABEL/shots-run/, DIR/LABEL/warmup-NN/; a launch is written as
NAME.partial/ and renamed NAME/ when complete, NAME.failed/ when not.
DIR/report.txt keeps the comparison's text; tools/flycompare DIR compares
again.

A launch fails when it can't start, exits non-zero, is killed by a signal,
outlives --timeout, or leaves a frames.csv without PASSES whole passes of
the script's frames. Ctrl-C (SIGINT; also SIGTERM, SIGHUP) kills the
running launch's group, records it as failed, and exits with 130 (143,
129) without comparing; the completed runs stay in DIR for tools/flycompare
(once every variant has a complete run: the last line says which).

exit status: 0 success; 1 a launch failed (the first one stops the session
unless --keep-going; with it, 1 when any failed and the comparison gave 0)
or the runs can't be compared; 2 bad command line (also a script, program
or --out that can't be used); 3 and 4 as tools/flycompare
(--fail-if-slower, --fail-if-pictures-differ); 130 interrupted (Ctrl-C)."""


Parser = common.parser_class(PROG)


def parser() -> Parser:
    p = Parser(prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
               description="Run two or more builds of the game interleaved, several times each,\n"
                           "record each run's environment, and compare them; or one build\n"
                           "several times, as a nightly run to keep (tools/flyhistory add).",
               epilog=EPILOG)
    p.add_argument("variants", nargs="+", metavar='LABEL="COMMAND"',
                   help="a variant: its label (a folder name) and the command that starts it")
    p.add_argument("--runs", metavar="N", type=int, default=None,
                   help="exactly N timed launches of each variant (default: two variants run until "
                        "decided; one, or three or more, %d)" % FIXED_RUNS)
    p.add_argument("--passes", metavar="P", type=int, default=3,
                   help="passes of the flight in each launch, FLYRATE_PASSES (default 3)")
    p.add_argument("--script", metavar="FLIGHT", required=True, help="the keyframe script to fly")
    p.add_argument("--out", metavar="DIR", required=True,
                   help="the folder for the runs (new, or one without a session)")
    p.add_argument("--order", choices=("abba", "random"), default="abba",
                   help="how the variants are interleaved (default abba)")
    p.add_argument("--seed", metavar="S", type=int, default=1, help="seed of --order random (default 1)")
    p.add_argument("--warmup-runs", metavar="K", type=int, default=0,
                   help="launches run first and discarded (default 0)")
    p.add_argument("--timeout", metavar="S", type=float, default=600.0,
                   help="kill a launch (its process group) still running after S seconds "
                        "(default 600; 0: no limit)")
    p.add_argument("--shots", choices=("separate", "every", "none"), default="separate",
                   help="where the screenshots are taken: in one separate launch of each "
                        "variant, so that the timed launches are clean (default); in every "
                        "launch; or nowhere")
    p.add_argument("--keep-going", action="store_true", help="carry on after a failed launch")
    p.add_argument("--gpu", action="store_true",
                   help="give every launch FLYRATE_GPU=1: the logs get GPU times, and the comparison "
                        "says what bounds each segment, GPU or CPU")
    p.add_argument("--until-decided", action="store_true",
                   help="add A B B A blocks of launches until the change is decided (its interval, "
                        "valid under looking after every block, clears the --min-effect band or lies "
                        "inside it), --max-runs is reached or --budget runs out; two variants only "
                        "(the default for two variants without --runs)")
    p.add_argument("--max-runs", metavar="N", type=int, default=None,
                   help="running until decided: at most N timed launches of each (default %d)" % MAX_RUNS)
    p.add_argument("--budget", metavar="MINUTES", type=float, default=None,
                   help="running until decided: add no block that would end after MINUTES (default 0: none)")
    p.add_argument("--quiet", action="store_true", help="no progress line per launch")
    common.add_compare_options(p.add_argument_group("the comparison at the end (as tools/flycompare)"))
    return p


def _program(argv0: str) -> bool:
    if "/" in argv0:
        return os.path.isfile(argv0) and os.access(argv0, os.X_OK)
    return shutil.which(argv0) is not None


def _variants(p: Parser, args) -> tuple[list, dict, dict]:
    """The labels, commands and split commands of the variants."""
    labels, commands, argvs = [], {}, {}
    for arg in args.variants:
        label, eq, command = arg.partition("=")
        if not eq or not command.strip():
            p.error("'%s': expected LABEL=\"COMMAND\"" % arg)
        if not LABEL_RE.match(label) or label in (runfolder.SESSION, runfolder.REPORT):
            p.error("'%s': a label is letters, digits and _.+- (it names a folder)" % label)
        if label in commands:
            p.error("two variants are labelled %s" % label)
        try:
            argv = shlex.split(command)
        except ValueError as e:
            p.error("%s: can't split the command: %s" % (label, e))
        if not argv:
            p.error("%s: the command is empty" % label)
        if not _program(argv[0]):
            p.error("%s: %s: no such program (or not executable)" % (label, argv[0]))
        labels.append(label)
        commands[label], argvs[label] = command, argv
    return labels, commands, argvs


def until_decided(p: Parser, args) -> bool:
    """Whether the session runs until decided: asked for (--until-decided,
    --max-runs, --budget), or two variants without --runs; --max-runs and
    --budget filled in."""
    asked = args.until_decided or args.max_runs is not None or args.budget is not None
    if asked and args.runs is not None:
        p.error("--runs N runs exactly N launches of each; --until-decided, --max-runs and --budget "
                "run until decided: give one or the other")
    args.max_runs = MAX_RUNS if args.max_runs is None else args.max_runs
    args.budget = 0.0 if args.budget is None else args.budget
    if asked and (len(args.variants) != 2 or args.max_runs < 4 or not args.budget >= 0):
        p.error("--until-decided: needs two variants, --max-runs 4 or more and a --budget of 0 or more minutes")
    return asked or (args.runs is None and len(args.variants) == 2)


def settings(p: Parser, args, opts, until: bool) -> FlyrunSettings:
    """The session's settings once every option is checked (the
    comparison's too), --out made; else a one-line error and exit 2."""
    for name, value, low in (("--runs", args.runs, 1), ("--passes", args.passes, 1),
                             ("--warmup-runs", args.warmup_runs, 0)):
        if value is not None and value < low:
            p.error("%s: %d: must be %d or more" % (name, value, low))
    if not args.timeout >= 0:
        p.error("--timeout: %g: must be 0 (no limit) or more seconds" % args.timeout)
    if args.fail_if_pictures_differ and args.shots == "none":
        p.error("--fail-if-pictures-differ needs screenshots (not --shots none)")
    labels, commands, argvs = _variants(p, args)
    try:
        frames = scripts.read_script(args.script)[-1]
    except InputError as e:
        p.error("--script: %s" % e)
    if os.path.exists(os.path.join(args.out, "flyrun.json")) or \
            any(os.path.exists(os.path.join(args.out, label)) for label in labels):
        p.error("--out %s: already holds runs; give a new folder" % args.out)
    try:
        own, within = runfolder.session_paths(args.out, labels)  # what the session will write
        comparison.check_options(opts, inputs=(args.script, *own), within=within, made=(args.out,))
    except UsageError as e:
        p.error(str(e))
    try:
        os.makedirs(args.out, exist_ok=True)
    except OSError as e:
        p.error("--out %s: %s" % (args.out, e.strerror or e))
    return FlyrunSettings(
        out=args.out, script=os.path.abspath(args.script), frames=frames,
        runs=args.max_runs if until else args.runs or FIXED_RUNS, passes=args.passes,
        labels=tuple(labels), commands=commands, argvs=argvs, order=args.order, seed=args.seed,
        warmup_runs=args.warmup_runs, timeout_s=args.timeout, shots=args.shots,
        keep_going=args.keep_going, script_sha256=files.sha256(args.script), gpu=args.gpu,
        looks=decide.looks_of(args.max_runs) if until else None)


def main(argv=None) -> int:
    p = parser()
    args = p.parse_args(argv)
    opts = common.compare_options(args, (args.out,), script=os.path.abspath(args.script))
    until = until_decided(p, args)
    s = settings(p, args, opts, until)

    def say(line, error):
        if error or not args.quiet:
            sys.stderr.write(line + "\n")
            sys.stderr.flush()

    seen: list = []
    look = decide.looker(s.out, s.labels, s.runs, args.min_effect, 60.0 * args.budget, say, seen) \
        if until else None
    res = session.run_session(s, say, look=look)
    if until and res.stopped is None:
        sys.stderr.write("%s: %s\n" % (PROG, decide.outcome(s.labels, seen, res.ended, args.min_effect)))
    again = "tools/flycompare %s" % shlex.quote(s.out)
    if res.stopped == "interrupted":
        # Advice that works: flycompare needs a complete run of every label.
        missing = [label for label in s.labels if not runfolder.complete_runs(s.out, label)[0]]
        sys.stderr.write("%s: interrupted: the completed runs are in %s; %s\n" % (
            PROG, s.out, "compare them with " + again if not missing else
            "no complete run of %s, so there is nothing to compare: run the session again with a new --out"
            % " or ".join(missing)))
        return 128 + res.signal
    if res.stopped == "failure":
        sys.stderr.write("%s: error: stopped at the first failed launch (--keep-going carries "
                         "on); the completed runs are in %s\n" % (PROG, s.out))
        return EXIT_INPUT
    status, written = finish.compare(s.out, opts, PROG)
    sys.stderr.write("%s: the runs are in %s%s; compare again with %s\n" % (
        PROG, s.out, ", the report in " + ", ".join(written) if written else "", again))
    if status == EXIT_OK and res.failures:
        sys.stderr.write("%s: error: %d launch%s failed\n" % (
            PROG, res.failures, "" if res.failures == 1 else "es"))
        return EXIT_INPUT
    return status


def run() -> int:
    """The command's entry: main(), and never a traceback."""
    return common.run(PROG, main, EXIT_INPUT)
