# reading.py: turns the files named on the command line into runs. A run is
# a per-frame CSV log (three columns, or four with the chunk builds of each
# frame) or the plug-in's standard output saved to a file; which one is told
# from the contents. Every problem becomes an InputError with a one-line
# message that names the file and, where there is one, the line.
import io
import math
import os
import re
import stat
import warnings
from dataclasses import dataclass, field
from functools import cached_property
from typing import Optional

import numpy as np

from . import metrics

CSV_HEADER = "pass,frame,frame_ms"
CSV_HEADER_CHUNKS = CSV_HEADER + ",chunks"
# No frame lasts an hour; larger figures would overflow the sums. None lasts
# less than a microsecond either: smaller figures are corrupt and would make
# an fps of them infinite.
MAX_FRAME_MS = 3600000
MIN_FRAME_MS = 0.001
# The CSV reader works through a file in pieces of about this many bytes,
# cut at line ends, so its scratch arrays stay small whatever the file.
PIECE_BYTES = 1 << 23
# Pass and frame numbers above this are no log's (and would lose digits as
# floating-point figures).
MAX_NUMBER = 1 << 31


class InputError(Exception):
    """Unreadable input; the message is shown as it is."""


@dataclass
class Pass:
    """One pass of a flight: frame times (CSV log) or a summary (stdout log)."""
    number: int
    frame_ms: Optional[np.ndarray] = None   # per-frame times, in frame order
    chunks: Optional[np.ndarray] = None     # chunk builds per frame, when logged
    summary: Optional[dict] = None          # from a stdout log's summary line
    per_second: Optional[list] = None       # frames completed in each second
    launch: int = 0                         # which game launch of its run (0-based)
    order: Optional[float] = None           # position in time across a session

    @property
    def frames(self) -> int:
        """Frames in the pass, from the times or the summary line."""
        return len(self.frame_ms) if self.frame_ms is not None else self.summary["frames"]

    @cached_property
    def stutter_mask(self) -> np.ndarray:
        """The pass's stutters as a mask over its frames, worked out once:
        every segment asks for it, and each would find the median again."""
        return metrics.stutter_mask(self.frame_ms)


@dataclass
class Run:
    """One run (label) of the flight: its passes, from one file or folder."""
    label: str
    path: str
    kind: str                       # "csv" or "log" (or a folder's kind)
    passes: list
    environments: list = field(default_factory=list)  # run.json dicts, one per launch

    @property
    def has_frames(self) -> bool:
        return all(p.frame_ms is not None for p in self.passes)

    @property
    def has_chunks(self) -> bool:
        return all(p.chunks is not None for p in self.passes)

    @property
    def frames_per_pass(self) -> Optional[int]:
        """The common number of frames of its passes, or None."""
        counts = {len(p.frame_ms) for p in self.passes} if self.has_frames else set()
        return counts.pop() if len(counts) == 1 else None

    @property
    def launches(self) -> int:
        """How many game launches its passes came from."""
        return len({p.launch for p in self.passes})


def _header(line):
    return line.replace(" ", "")


# Bytes a piece of plain rows may hold: digits, signs, points, exponents,
# commas, spaces and line ends. Anything else (a header, nan, a stray
# letter, a non-ASCII byte) sends the piece to the line-by-line reader.
_PLAIN = np.zeros(256, dtype=bool)
_PLAIN[np.frombuffer(b"0123456789+-.eE, \n", dtype=np.uint8)] = True


class _CsvState:
    """What the CSV reader knows between pieces: the header, the rows read
    so far (in arrays made once for as many rows as the file has lines),
    the current pass and its frame count."""

    def __init__(self, path, header, lines):
        self.path, self.header = path, header
        self.columns = header.count(",") + 1
        self.pass_no, self.frames = None, 0
        self.rows = 0
        self.numbers = np.empty(lines, dtype=np.int32)
        self.times = np.empty(lines, dtype=np.float64)
        self.built = np.empty(lines if self.columns == 4 else 0, dtype=np.int64)

    def take(self, numbers, times, built):
        """Appends a piece's rows."""
        at, self.rows = self.rows, self.rows + len(times)
        self.numbers[at:self.rows] = numbers
        self.times[at:self.rows] = times
        if self.columns == 4:
            self.built[at:self.rows] = built


def _csv_lines(state, text, lineno):
    """Rows of a piece one line at a time, each checked with its line number:
    the exact reader that the bulk reader falls back on."""
    s = state
    numbers, times, built = [], [], []
    for lineno, line in enumerate(text.split("\n"), lineno):
        line = line.strip()
        if not line or _header(line) == s.header:
            continue
        if _header(line) in (CSV_HEADER, CSV_HEADER_CHUNKS):
            raise InputError("%s: line %d: header %s after header %s"
                             % (s.path, lineno, _header(line), s.header))
        fields = line.split(",")
        if len(fields) != s.columns:
            raise InputError("%s: line %d: expected %d columns (%s), found %d"
                             % (s.path, lineno, s.columns, s.header, len(fields)))
        try:
            pno, fno = int(fields[0]), int(fields[1])
            ms = float(fields[2])
            chunks = int(fields[3]) if s.columns == 4 else 0
        except ValueError:
            raise InputError("%s: line %d: not a number in '%s'" % (s.path, lineno, line))
        if not MIN_FRAME_MS <= ms <= MAX_FRAME_MS:  # also refuses nan and inf
            raise InputError("%s: line %d: frame_ms must be a positive number of at least %g "
                             "(a microsecond) and at most %d (an hour), found '%s'"
                             % (s.path, lineno, MIN_FRAME_MS, MAX_FRAME_MS, fields[2].strip()))
        if not 0 <= chunks < MAX_NUMBER:
            raise InputError("%s: line %d: chunks must be 0 or more (and below %d), found %d"
                             % (s.path, lineno, MAX_NUMBER, chunks))
        if max(pno, fno) >= MAX_NUMBER:
            raise InputError("%s: line %d: pass or frame number %d: no log has so many"
                             % (s.path, lineno, max(pno, fno)))
        if pno != s.pass_no:
            if pno < 1:
                raise InputError("%s: line %d: pass %d: passes count from 1"
                                 % (s.path, lineno, pno))
            if s.pass_no is not None and pno < s.pass_no:
                raise InputError("%s: line %d: pass %d after pass %d"
                                 % (s.path, lineno, pno, s.pass_no))
            s.pass_no, s.frames = pno, 0
        if fno != s.frames + 1:
            raise InputError("%s: line %d: expected frame %d of pass %d, found frame %d"
                             % (s.path, lineno, s.frames + 1, pno, fno))
        s.frames = fno
        numbers.append(pno)
        times.append(ms)
        built.append(chunks)
    s.take(numbers, times, built)


def _csv_bulk(state, piece):
    """Rows of a piece of plain rows, parsed and checked as whole arrays.
    False (nothing taken) when anything is off: the piece then goes to the
    line-by-line reader, which names the first bad line."""
    s = state
    raw = np.frombuffer(piece, dtype=np.uint8)
    if not _PLAIN[raw].all():
        return False
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:  # numpy's C reader; wrong column counts are errors, blank lines skipped
            rows = np.loadtxt(io.BytesIO(piece), delimiter=",", dtype=np.float64,
                              comments=None, ndmin=2)
        except (ValueError, Warning):
            return False
    if rows.shape[1] != s.columns or len(rows) == 0:
        return False
    pno, fno, ms = rows[:, 0], rows[:, 1], rows[:, 2]
    ints = rows[:, [0, 1, 3] if s.columns == 4 else [0, 1]]
    in_range = (ms >= MIN_FRAME_MS) & (ms <= MAX_FRAME_MS)  # false for nan too
    if (ints != np.floor(ints)).any() or (ints < 0).any() or (pno < 1).any() \
            or (ints >= MAX_NUMBER).any() or not in_range.all():
        return False
    # Frames count 1, 2, ... within a pass; a new pass starts at frame 1 and
    # has a higher number than the one before.
    prev_p = np.concatenate(([s.pass_no if s.pass_no is not None else 0], pno[:-1]))
    prev_f = np.concatenate(([s.frames], fno[:-1]))
    same = pno == prev_p
    if not np.where(same, fno == prev_f + 1, (pno > prev_p) & (fno == 1)).all():
        return False
    s.pass_no, s.frames = int(pno[-1]), int(fno[-1])
    s.take(pno, ms, rows[:, 3] if s.columns == 4 else None)
    return True


def _pieces(read, size):
    """Pieces of the first `size` bytes of a file given by read(n): each
    about PIECE_BYTES, ending at a line end, with CR LF and CR made LF; the
    last ends with one too. So a log is never held whole, only a piece of
    it at a time."""
    rest = b""
    while size > 0:
        chunk = read(min(PIECE_BYTES, size))
        if not chunk:
            break
        size -= len(chunk)
        chunk = rest + chunk if rest else chunk
        # A CR at the end may be half of a CR LF: it waits for the next chunk.
        cut = max(chunk.rfind(b"\n"), chunk.rfind(b"\r", 0, len(chunk) - 1)) + 1
        piece, rest = chunk[:cut], chunk[cut:]
        if piece:
            yield piece.replace(b"\r\n", b"\n").replace(b"\r", b"\n") if b"\r" in piece else piece
    if rest:
        yield rest.replace(b"\r\n", b"\n").replace(b"\r", b"\n") + b"\n"


def parse_csv(data, path):
    """The passes of a CSV log: bytes, text, or a file open for reading in
    binary, read in bulk a piece at a time."""
    if isinstance(data, str):
        data = data.encode("utf-8")
    if isinstance(data, bytes):
        data = io.BytesIO(data)
    # What the file holds now: a log still being written is read as it was.
    size = data.seek(0, io.SEEK_END) - data.seek(0)
    lines_before = 0
    header = None
    for piece in _pieces(data.read, size):
        offset = 0
        while header is None and offset < len(piece):  # the first line that isn't blank
            end = piece.index(b"\n", offset)
            line = piece[offset:end].decode("utf-8", errors="replace").strip()
            offset, lines_before = end + 1, lines_before + 1
            if line:
                header = _header(line.lstrip("\ufeff"))
                # Room for as many rows as the file could hold (a row takes
                # at least 6 bytes); pages never written cost no memory.
                state = _CsvState(path, header, size // 6 + 2)
        if header is None or offset == len(piece):
            continue
        piece = piece[offset:] if offset else piece
        if not _csv_bulk(state, piece):
            _csv_lines(state, piece[:-1].decode("utf-8", errors="replace"), lines_before + 1)
        lines_before += piece.count(b"\n")
    if header is None:
        return []
    if not state.rows:
        return []
    with_chunks = state.columns == 4
    numbers = state.numbers[:state.rows]
    times = state.times[:state.rows]
    built = state.built[:state.rows] if with_chunks else None
    del state
    starts = np.flatnonzero(numbers[1:] != numbers[:-1]) + 1   # where a pass begins
    bounds = [0] + starts.tolist() + [len(numbers)]
    passes = []
    for lo, hi in zip(bounds, bounds[1:]):
        p = Pass(int(numbers[lo]), times[lo:hi], built[lo:hi] if with_chunks else None)
        p.per_second = metrics.per_second_counts(p.frame_ms)
        passes.append(p)
    return passes


SUMMARY_RE = re.compile(
    r"flyrate: (\d+) frames (\S+) seconds (\S+) fps, "
    r"frame ms min/avg/p99/max (\S+)/(\S+)/(\S+)/(\S+)")
PASS_RE = re.compile(r"flyrate: pass (\d+) of (\d+)")
PER_SECOND_RE = re.compile(r"flyrate: per-second fps:((?: \d+)*) ?$")


def parse_log(text, path):
    """The passes of a saved stdout log. A log of one run only: pass lines
    that start again, or summaries of a one-pass run (which prints no pass
    line) after another, are runs appended to one file, refused."""
    passes = []
    per_second = None
    pass_line = None   # (number, of, line number) of the pass line before a summary
    for lineno, line in enumerate(text.splitlines(), 1):
        line = line.rstrip("\r")
        m = PER_SECOND_RE.search(line)
        if m:
            # The plug-in prints only whole counts (it stops before one that
            # would not fit the line), so every number is kept.
            per_second = [int(v) for v in m.group(1).split()]
            continue
        m = PASS_RE.search(line)
        if m:
            pass_line = (int(m.group(1)), int(m.group(2)), lineno)
            prev = passes[-1] if passes else None
            if prev is not None and (prev.summary["of"] is None or pass_line[0] <= prev.number
                                     or pass_line[1] != prev.summary["of"]):
                raise InputError(
                    "%s: line %d: pass %d of %d follows %s: the log holds more than one run; "
                    "save each run's output to its own file"
                    % (path, lineno, pass_line[0], pass_line[1],
                       "a one-pass run" if prev.summary["of"] is None
                       else "pass %d of %d" % (prev.number, prev.summary["of"])))
            continue
        m = SUMMARY_RE.search(line)
        if not m:
            continue
        try:
            values = [float(v) for v in m.groups()[1:]]
        except ValueError:
            raise InputError("%s: unreadable summary line '%s'" % (path, line.strip()))
        frames = int(m.group(1))
        if frames < 1 or not all(math.isfinite(v) and v > 0 for v in values[:2] + values[3:]):
            raise InputError("%s: summary line without frames, time or finite figures '%s'"
                             % (path, line.strip()))
        if passes and pass_line is None:
            raise InputError("%s: line %d: a summary without a 'pass N of M' line after another "
                             "summary: the log holds more than one run; save each run's output "
                             "to its own file" % (path, lineno))
        summary = dict(zip(("seconds", "fps", "min", "mean", "p99", "max"), values))
        summary.update(frames=frames, of=pass_line[1] if pass_line else None)
        number = pass_line[0] if pass_line else 1
        if passes and frames != passes[0].frames:
            raise InputError("%s: line %d: pass %d has %d frames, pass %d has %d: the passes of "
                             "one run fly one path; the log holds more than one run"
                             % (path, lineno, number, frames, passes[0].number, passes[0].frames))
        passes.append(Pass(number, summary=summary, per_second=per_second))
        per_second = None
        pass_line = None
    if not passes:
        raise InputError("%s: no flyrate pass summary found in the log" % path)
    for p in passes:
        del p.summary["of"]
    return passes


def check_passes(run):
    """Refuses a run whose passes differ in length (a pass cut short, or
    another flight's pass): every pass of a flight has the same frames."""
    first = run.passes[0] if run.passes else None
    for p in run.passes[1:]:
        if p.frames != first.frames:
            raise InputError("%s: pass %d has %d frames, pass %d has %d; the passes of one "
                             "flight are equal in length (a pass cut short?)"
                             % (run.path, p.number, p.frames, first.number, first.frames))


def check_flight(runs):
    """Refuses runs that are not of one flight: their passes differ in length."""
    runs = [r for r in runs if r.passes]
    if len({r.passes[0].frames for r in runs}) > 1:
        raise InputError("the runs' passes differ in length: %s; runs of one flight have equal "
                         "passes" % ", ".join("%s %d frames" % (r.label, r.passes[0].frames)
                                              for r in runs))


def notes(runs):
    """One-line notes on what is accepted but worth saying: pass numbers
    with gaps (a pass missing from a log) and one file given as two runs."""
    out = []
    for r in runs:
        before = 0  # a folder's launches are numbered on from the launch before
        for launch in sorted({p.launch for p in r.passes}):
            numbers = [p.number for p in r.passes if p.launch == launch]
            missing = sorted(set(range(before + 1, numbers[-1] + 1)) - set(numbers))
            before += len(numbers)
            if missing:
                out.append("%s: passes %s: no pass %s; the passes are compared as they are"
                           % (r.path, ", ".join(map(str, numbers)), ", ".join(map(str, missing))))
    seen = {}
    for r in runs:
        try:
            key = os.path.realpath(r.path)
        except OSError:
            key = r.path
        if key in seen:
            out.append("%s is given twice (%s and %s): a run compared with itself"
                       % (r.path, seen[key], r.label))
        else:
            seen[key] = r.label
    return list(dict.fromkeys(out))  # a file given twice has its gaps said once


def split_label(arg):
    """(label or None, path) from [LABEL=]PATH; an existing path wins."""
    if os.path.exists(arg) or "=" not in arg:
        return None, arg
    label, path = arg.split("=", 1)
    if not label or not path:
        raise InputError("'%s': expected LABEL=PATH" % arg)
    return label, path


def _open(path):
    try:
        return open(path, "rb")
    except FileNotFoundError:
        raise InputError("%s: no such file" % path)
    except IsADirectoryError:
        raise InputError("%s: is a directory" % path)
    except OSError as e:
        raise InputError("%s: %s" % (path, e.strerror or e))


def _read(f, path, size):
    try:
        return f.read(size)
    except OSError as e:
        raise InputError("%s: %s" % (path, e.strerror or e))


def read_file(path):
    with _open(path) as f:
        return _read(f, path, -1)


def write_file(path, data):
    """Writes text or bytes to path; a failure is an InputError naming it."""
    try:
        with open(path, "w" if isinstance(data, str) else "wb") as f:
            f.write(data)
    except OSError as e:
        raise InputError("can't write %s: %s" % (path, e.strerror or e))


def _first_line(f, path):
    """The file's first line that isn't blank (its first 4 KB at most), or
    None for a file of blanks."""
    head = _read(f, path, 4096)
    if head.startswith(b"\xef\xbb\xbf"):
        head = head[3:]
    head = head.lstrip()
    while not head:  # blank lines first, as many as there are
        more = _read(f, path, 1 << 16)
        if not more:
            return None
        head = more.lstrip()
    return head.decode("utf-8", errors="replace").splitlines()[0].strip()


def read_run(arg, used_labels):
    """The run named by a [LABEL=]FILE argument, checked to be one flight."""
    label, path = split_label(arg)
    label = label or os.path.basename(path) or path
    base, i = label, 2
    while label in used_labels:
        label = "%s (%d)" % (base, i)
        i += 1
    used_labels.add(label)
    with _open(path) as f:
        # A pipe (or anything else that can't be read twice) is read whole;
        # a file is looked at first and then, if a CSV log, read in pieces.
        source = f if stat.S_ISREG(os.fstat(f.fileno()).st_mode) else io.BytesIO(_read(f, path, -1))
        first = _first_line(source, path)
        if first is None:
            raise InputError("%s: empty file" % path)
        source.seek(0)
        if _header(first) in (CSV_HEADER, CSV_HEADER_CHUNKS):
            try:
                passes = parse_csv(source, path)
            except OSError as e:
                raise InputError("%s: %s" % (path, e.strerror or e))
            if not passes:
                raise InputError("%s: no frames" % path)
            run = Run(label, path, "csv", passes)
            check_passes(run)
            return run
        data = _read(source, path, -1)
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    if b"flyrate: " in data:
        kind, passes = "log", parse_log(data.decode("utf-8", errors="replace"), path)
    elif "," in first:
        raise InputError("%s: expected the CSV header %s or %s, found '%s'"
                         % (path, CSV_HEADER, CSV_HEADER_CHUNKS, first[:60]))
    else:
        raise InputError("%s: neither a flyrate CSV log nor a flyrate stdout log" % path)
    run = Run(label, path, kind, passes)
    check_passes(run)
    return run


def pass_metrics(p):
    return metrics.frame_metrics(p.frame_ms) if p.frame_ms is not None \
        else metrics.summary_metrics(p.summary)
