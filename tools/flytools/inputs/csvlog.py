# csvlog.py: the reader of the plug-in's per-frame CSV log: a header, then
# one row per frame (pass, frame, frame time, and with the fourth column the
# chunk builds of the frame; with GPU times last the frame's GPU time and
# the GPU's lag, empty where the plug-in has none), frames 1..N per pass,
# passes one after another. A log is read in bulk a piece at a time, so a
# log of millions of frames is never held as text; a piece that isn't plain
# goes through the line-by-line reader, which names the first bad line.
# Every problem is an InputError naming the file and the line.
import io
import warnings

import numpy as np

from .. import metrics
from ..errors import InputError
from ..records import Pass

BASE_COLUMNS = ("pass", "frame", "frame_ms")
# The columns a log may add after the base ones, in this order, each a
# whole count per frame of 0 or more (chunks: the chunk builds of the
# frame). A column added here is read and checked like the others; the
# passes get its values by name in parse_csv.
COUNT_COLUMNS = ("chunks",)
# The GPU times, last, both or neither: milliseconds, an empty cell where a
# frame has none (NaN in the arrays).
GPU_COLUMNS = ("gpu_ms", "gpu_lag_ms")
CSV_HEADER = ",".join(BASE_COLUMNS)
# The headers a log may have: the base columns, the first k added ones, and
# the GPU columns or not.
HEADERS = tuple(",".join(BASE_COLUMNS + COUNT_COLUMNS[:k] + gpu) for gpu in ((), GPU_COLUMNS)
                for k in range(len(COUNT_COLUMNS) + 1))
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


def header(line):
    """A header line as compared: without spaces."""
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
        added = header.split(",")[len(BASE_COLUMNS):]
        self.timed = added[-len(GPU_COLUMNS):] == list(GPU_COLUMNS)    # GPU times logged
        self.counted = added[:len(added) - len(GPU_COLUMNS) * self.timed]  # the count columns' names
        self.pass_no, self.frames = None, 0
        self.rows = 0
        self.numbers = np.empty(lines, dtype=np.int32)
        self.times = np.empty(lines, dtype=np.float64)
        self.counts = np.empty((len(self.counted), lines), dtype=np.int64)
        self.gpu = np.empty((len(GPU_COLUMNS) * self.timed, lines), dtype=np.float64)

    def take(self, numbers, times, counts, gpu):
        """Appends a piece's rows (counts, gpu: a row per such column)."""
        at, self.rows = self.rows, self.rows + len(times)
        self.numbers[at:self.rows] = numbers
        self.times[at:self.rows] = times
        if self.counted:
            self.counts[:, at:self.rows] = counts
        if self.timed:
            self.gpu[:, at:self.rows] = gpu


def _gpu_ok(values):
    """Whether GPU times are missing (NaN) or within an hour either way
    (a lag may come out a little below 0 where the clocks disagree)."""
    return np.isnan(values) | (np.abs(values) <= MAX_FRAME_MS)


def _csv_lines(state, text, lineno):
    """Rows of a piece one line at a time, each checked with its line number:
    the exact reader that the bulk reader falls back on."""
    s = state
    numbers, times, counts, gpu = [], [], [], []
    ngpu = len(GPU_COLUMNS) * s.timed
    for lineno, line in enumerate(text.split("\n"), lineno):
        line = line.strip()
        if not line or header(line) == s.header:
            continue
        if header(line) in HEADERS:
            raise InputError("%s: line %d: header %s after header %s"
                             % (s.path, lineno, header(line), s.header))
        fields = line.split(",")
        if len(fields) != s.columns:
            raise InputError("%s: line %d: expected %d columns (%s), found %d"
                             % (s.path, lineno, s.columns, s.header, len(fields)))
        try:
            pno, fno = int(fields[0]), int(fields[1])
            ms = float(fields[2])
            added = [int(v) for v in fields[len(BASE_COLUMNS):s.columns - ngpu]]
            cells = [float(v) if v.strip() else np.nan for v in fields[s.columns - ngpu:]]
        except ValueError:
            raise InputError("%s: line %d: not a number in '%s'" % (s.path, lineno, line))
        if not MIN_FRAME_MS <= ms <= MAX_FRAME_MS:  # also refuses nan and inf
            raise InputError("%s: line %d: frame_ms must be a positive number of at least %g "
                             "(a microsecond) and at most %d (an hour), found '%s'"
                             % (s.path, lineno, MIN_FRAME_MS, MAX_FRAME_MS, fields[2].strip()))
        for name, value in zip(s.counted, added):
            if not 0 <= value < MAX_NUMBER:
                raise InputError("%s: line %d: %s must be 0 or more (and below %d), found %d"
                                 % (s.path, lineno, name, MAX_NUMBER, value))
        for name, value, text in zip(GPU_COLUMNS, cells, fields[s.columns - ngpu:]):
            if not _gpu_ok(value):  # also refuses inf (a written nan is missing, as an empty cell)
                raise InputError("%s: line %d: %s must be empty or a number of ms within an hour "
                                 "(%d) either way, found '%s'" % (s.path, lineno, name, MAX_FRAME_MS, text.strip()))
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
        counts.append(added)
        gpu.append(cells)
    s.take(numbers, times, np.array(counts, dtype=np.int64).T if s.counted else None,
           np.array(gpu, dtype=np.float64).reshape(len(gpu), ngpu).T if s.timed else None)


def _csv_bulk(state, piece):
    """Rows of a piece of plain rows, parsed and checked as whole arrays.
    False (nothing taken) when anything is off: the piece then goes to the
    line-by-line reader, which names the first bad line."""
    s = state
    raw = np.frombuffer(piece, dtype=np.uint8)
    if not _PLAIN[raw].all():
        return False
    if s.timed:  # a missing GPU time's empty cell, as numpy reads it
        piece = piece.replace(b",,", b",nan,").replace(b",,", b",nan,").replace(b",\n", b",nan\n")
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
    end = s.columns - len(GPU_COLUMNS) * s.timed
    ints = rows[:, [0, 1] + list(range(len(BASE_COLUMNS), end))]
    in_range = (ms >= MIN_FRAME_MS) & (ms <= MAX_FRAME_MS)  # false for nan too
    if (ints != np.floor(ints)).any() or (ints < 0).any() or (pno < 1).any() \
            or (ints >= MAX_NUMBER).any() or not in_range.all() or not _gpu_ok(rows[:, end:]).all():
        return False
    # Frames count 1, 2, ... within a pass; a new pass starts at frame 1 and
    # has a higher number than the one before.
    prev_p = np.concatenate(([s.pass_no if s.pass_no is not None else 0], pno[:-1]))
    prev_f = np.concatenate(([s.frames], fno[:-1]))
    same = pno == prev_p
    if not np.where(same, fno == prev_f + 1, (pno > prev_p) & (fno == 1)).all():
        return False
    s.pass_no, s.frames = int(pno[-1]), int(fno[-1])
    s.take(pno, ms, rows[:, len(BASE_COLUMNS):end].T, rows[:, end:].T)
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
    head = None
    for piece in _pieces(data.read, size):
        offset = 0
        while head is None and offset < len(piece):  # the first line that isn't blank
            end = piece.index(b"\n", offset)
            line = piece[offset:end].decode("utf-8", errors="replace").strip()
            offset, lines_before = end + 1, lines_before + 1
            if line:
                head = header(line.lstrip("\ufeff"))
                # Room for as many rows as the file could hold (a row takes
                # at least 6 bytes); pages never written cost no memory.
                state = _CsvState(path, head, size // 6 + 2)
        if head is None or offset == len(piece):
            continue
        piece = piece[offset:] if offset else piece
        if not _csv_bulk(state, piece):
            _csv_lines(state, piece[:-1].decode("utf-8", errors="replace"), lines_before + 1)
        lines_before += piece.count(b"\n")
    if head is None or not state.rows:
        return []
    numbers = state.numbers[:state.rows]
    times = state.times[:state.rows]
    counts = dict(zip(state.counted, state.counts[:, :state.rows]))
    counts.update(zip(GPU_COLUMNS, state.gpu[:, :state.rows]))
    del state
    starts = np.flatnonzero(numbers[1:] != numbers[:-1]) + 1   # where a pass begins
    bounds = [0] + starts.tolist() + [len(numbers)]

    def part(name, lo, hi):
        return counts[name][lo:hi] if name in counts else None
    return [Pass(int(numbers[lo]), times[lo:hi], part("chunks", lo, hi),
                 per_second=metrics.per_second_counts(times[lo:hi]),
                 gpu_ms=part("gpu_ms", lo, hi), gpu_lag_ms=part("gpu_lag_ms", lo, hi))
            for lo, hi in zip(bounds, bounds[1:])]
