# entry.py: what the tools' command lines share: a bad argument is one line
# on standard error and exit status 2, and whatever goes wrong unforeseen
# is one line and a failure status, never a traceback.
import argparse
import sys
from typing import Callable

EXIT_USAGE = 2


def parser_class(prog: str) -> type:
    """An ArgumentParser whose errors are "PROG: error: ... (see --help)"."""
    class Parser(argparse.ArgumentParser):
        def error(self, message):
            sys.stderr.write("%s: error: %s (see --help)\n" % (prog, message))
            sys.exit(EXIT_USAGE)
    return Parser


def run(prog: str, main: Callable[[], int], failed: int) -> int:
    """main()'s status; Ctrl-C is 130, a closed pipe and any unforeseen
    error are `failed`, the error said in one line."""
    try:
        return main()
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        sys.stderr.close()
        return failed
    except Exception as e:  # one line and a failure status, never a traceback
        sys.stderr.write("%s: error: internal error: %s: %s\n" % (prog, type(e).__name__, e))
        return failed
