# logfile.py: one log file as a run: a CSV log or a saved standard
# output, told apart by the contents, checked to be one flight (every pass
# of the same length).
import io
import os
import stat

from ..errors import InputError, shown
from ..records import Run
from . import csvlog, files, stdoutlog


def unique(label, used):
    """The label, numbered " (2)", " (3)", ... where it is taken already."""
    name, i = label, 2
    while name in used:
        name = "%s (%d)" % (label, i)
        i += 1
    used.add(name)
    return name


def _first_line(f, path):
    """The file's first line that isn't blank (its first 4 KB at most), or
    None for a file of blanks."""
    head = files.read(f, path, 4096)
    if head.startswith(b"\xef\xbb\xbf"):
        head = head[3:]
    head = head.lstrip()
    while not head:  # blank lines first, as many as there are
        more = files.read(f, path, 1 << 16)
        if not more:
            return None
        head = more.lstrip()
    return head.decode("utf-8", errors="replace").splitlines()[0].strip()


def _passes(path):
    """(kind, passes) of a log file."""
    with files.open_file(path) as f:
        # A pipe (or anything else that can't be read twice) is read whole;
        # a file is looked at first and then, if a CSV log, read in pieces.
        source = f if stat.S_ISREG(os.fstat(f.fileno()).st_mode) else io.BytesIO(files.read(f, path))
        first = _first_line(source, path)
        if first is None:
            raise InputError("%s: empty file" % path)
        source.seek(0)
        if csvlog.header(first) in csvlog.HEADERS:
            try:
                passes = csvlog.parse_csv(source, path)
            except OSError as e:
                raise InputError("%s: %s" % (path, e.strerror or e))
            if not passes:
                raise InputError("%s: no frames" % path)
            return "csv", passes
        data = files.read(source, path)
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    if b"flyrate: " in data:
        return "log", stdoutlog.parse_log(data.decode("utf-8", errors="replace"), path)
    if "," in first:
        raise InputError("%s: expected the CSV header %s, found '%s'"
                         % (path, " or ".join(csvlog.HEADERS), first[:60]))
    raise InputError("%s: neither a flyrate CSV log nor a flyrate stdout log" % path)


def read_log(path, label="", environments=()):
    """The run of one log file, checked to be one flight."""
    kind, passes = _passes(path)
    run = Run(label, shown(path), kind, tuple(passes), tuple(environments))
    check_passes(run)
    return run


def check_passes(run):
    """Refuses a run whose passes differ in length (a pass cut short, or
    another flight's pass): every pass of a flight has the same frames."""
    first = run.passes[0] if run.passes else None
    for p in run.passes[1:]:
        if p.frames != first.frames:
            raise InputError("%s: pass %d has %d frames, pass %d has %d; the passes of one "
                             "flight are equal in length (a pass cut short?)"
                             % (run.path, p.number, p.frames, first.number, first.frames))
