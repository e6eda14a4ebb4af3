# finish.py: the end of a flyrun session: the comparison of its folder,
# made in this same process as flycompare makes it (compare.comparison,
# report.outputs), its text shown and kept in the folder's report.txt.
import os
import sys

from ..compare import comparison
from ..errors import EXIT_INPUT, InputError
from ..inputs import runfolder
from ..records import CompareOptions
from ..report import outputs
from ..report.files import write_file


class Tee:
    """A stream that writes to another and keeps what it wrote."""

    def __init__(self, stream):
        self.stream, self.kept = stream, []

    def write(self, text):
        self.kept.append(text)
        return self.stream.write(text)


def compare(out: str, opts: CompareOptions, prog: str) -> tuple[int, list[str]]:
    """The session's comparison, its text also kept in OUT/report.txt: the
    exit status and the files written (report.txt only when it holds
    something). An error is said in one line starting "PROG: error:"."""
    tee, written, status = Tee(sys.stdout), [], EXIT_INPUT
    try:
        result = comparison.compare(opts)
        outputs.say_notes(result, prog, sys.stderr)
        written = outputs.write(result, opts, tee)
        status = result.status
    except InputError as e:
        sys.stderr.write("%s: error: %s\n" % (prog, e))
        status = e.status
    finally:
        sys.stdout.flush()
        if tee.kept:
            report = os.path.join(out, runfolder.REPORT)
            write_file(report, "".join(tee.kept))
            written.insert(0, report)
    return status, written
