# common.py: what the tools' command lines share: a bad argument is one line
# on standard error and exit status 2; an InputError is one line and its
# status; whatever goes wrong unforeseen is one line and a failure status,
# never a traceback. The comparison's options, which flycompare and flyrun
# both take, are declared here once.
import argparse
import sys
from typing import Callable

from ..compare.pictures import DEFAULT_TOLERANCE
from ..errors import EXIT_USAGE, InputError, UsageError, shown
from ..records import CompareOptions


def parser_class(prog: str) -> type:
    """An ArgumentParser whose errors are "PROG: error: ... (see --help)"."""
    class Parser(argparse.ArgumentParser):
        def error(self, message):
            sys.stderr.write("%s: error: %s (see --help)\n" % (prog, message))
            sys.exit(EXIT_USAGE)
    return Parser


def run(prog: str, main: Callable[[], int], failed: int) -> int:
    """main()'s status; an InputError is its line and status, Ctrl-C 130, a
    closed pipe and any unforeseen error are `failed`, said in one line."""
    try:
        return main()
    except UsageError as e:
        sys.stderr.write("%s: error: %s (see --help)\n" % (prog, shown(str(e))))
        return e.status
    except InputError as e:
        sys.stderr.write("%s: error: %s\n" % (prog, shown(str(e))))
        return e.status
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        sys.stderr.close()
        return failed
    except Exception as e:  # one line and a failure status, never a traceback
        sys.stderr.write("%s: error: internal error: %s: %s\n" % (prog, type(e).__name__, shown(str(e))))
        return failed


def add_compare_options(g) -> None:
    """The options of the comparison, to a parser or a group of one."""
    g.add_argument("--min-effect", metavar="PCT", type=float, default=1.0,
                   help="a change smaller than this many percent is no change (default 1)")
    g.add_argument("--fail-if-slower", action="store_true",
                   help="exit with status 3 when a run's verdict (on the whole path) is slower than A")
    g.add_argument("--fail-if-pictures-differ", action="store_true",
                   help="exit with status 4 when a keyframe's pictures differ or can't be compared")
    g.add_argument("--pixel-tolerance", metavar="N", type=int, default=DEFAULT_TOLERANCE,
                   help="channel difference (0-255) still counted as the same pixel "
                        "(default %d)" % DEFAULT_TOLERANCE)
    g.add_argument("--history", metavar="DB",
                   help="a flyhistory database (SQLite file or postgresql:// address; only read): "
                        "measures how much launches (and sessions) of this flight differ on this "
                        "machine, which runs of one launch (or one session) each can't show")
    g.add_argument("--json", metavar="FILE", help="also write every figure as JSON (format in the README)")
    g.add_argument("--plot", metavar="FILE",
                   help="write the charts (.png or .svg): frame time per frame with keyframes and "
                        "segment verdicts, change per segment, sorted frame times, per-second fps")
    g.add_argument("--html", metavar="FILE", help="write the report as one self-contained HTML page")


def compare_options(args, runs: tuple, script=None, shots: tuple = ()) -> CompareOptions:
    """The comparison's options from parsed arguments."""
    return CompareOptions(runs=runs, script=script, min_effect=args.min_effect,
                          fail_if_slower=args.fail_if_slower,
                          fail_if_pictures_differ=args.fail_if_pictures_differ,
                          pixel_tolerance=args.pixel_tolerance, shots=shots, history=args.history,
                          json=args.json, plot=args.plot, html=args.html)
