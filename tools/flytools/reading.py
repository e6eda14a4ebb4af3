# reading.py: turns the files named on the command line into runs. A run is
# a per-frame CSV log (three columns, or four with the chunk builds of each
# frame) or the plug-in's standard output saved to a file; which one is told
# from the contents. Every problem becomes an InputError with a one-line
# message that names the file and, where there is one, the line.
import math
import os
import re
from dataclasses import dataclass

import numpy as np

from . import metrics

CSV_HEADER = "pass,frame,frame_ms"
CSV_HEADER_CHUNKS = CSV_HEADER + ",chunks"
# The plug-in's log line holds at most this many characters; a per-second
# line of that length may end in a cut-off number.
LOG_LINE_MAX = 1022
# No frame lasts an hour; larger figures would overflow the sums.
MAX_FRAME_MS = 3600000


class InputError(Exception):
    """Unreadable input; the message is shown as it is."""


@dataclass
class Pass:
    number: int
    frame_ms: np.ndarray = None     # per-frame times, in frame order
    chunks: np.ndarray = None       # chunk builds per frame, when logged
    summary: dict = None            # from a stdout log's summary line
    per_second: list = None         # frames completed in each second


@dataclass
class Run:
    label: str
    path: str
    kind: str                       # "csv" or "log"
    passes: list

    @property
    def has_frames(self):
        return all(p.frame_ms is not None for p in self.passes)

    @property
    def has_chunks(self):
        return all(p.chunks is not None for p in self.passes)

    @property
    def frames_per_pass(self):
        """The common number of frames of its passes, or None."""
        counts = {len(p.frame_ms) for p in self.passes} if self.has_frames else set()
        return counts.pop() if len(counts) == 1 else None


def _header(line):
    return line.replace(" ", "")


def parse_csv(text, path):
    lines = text.splitlines()
    header = next(_header(ln) for ln in lines if ln.strip())
    columns = header.count(",") + 1
    passes, frames, chunks = [], [], []
    current = None

    def close():
        passes.append(Pass(current, np.array(frames),
                           np.array(chunks, dtype=np.int64) if columns == 4 else None))

    for lineno, line in enumerate(lines, 1):
        line = line.strip()
        if not line or _header(line) == header:
            continue
        if _header(line) in (CSV_HEADER, CSV_HEADER_CHUNKS):
            raise InputError("%s: line %d: header %s after header %s"
                             % (path, lineno, _header(line), header))
        fields = line.split(",")
        if len(fields) != columns:
            raise InputError("%s: line %d: expected %d columns (%s), found %d"
                             % (path, lineno, columns, header, len(fields)))
        try:
            pno, fno = int(fields[0]), int(fields[1])
            ms = float(fields[2])
            built = int(fields[3]) if columns == 4 else 0
        except ValueError:
            raise InputError("%s: line %d: not a number in '%s'" % (path, lineno, line))
        if not 0.0 < ms <= MAX_FRAME_MS:  # also refuses nan and inf
            raise InputError("%s: line %d: frame_ms must be a positive number of at most "
                             "%d (an hour), found '%s'" % (path, lineno, MAX_FRAME_MS, fields[2].strip()))
        if built < 0:
            raise InputError("%s: line %d: chunks must be 0 or more, found %d"
                             % (path, lineno, built))
        if pno != current:
            if pno < 1:
                raise InputError("%s: line %d: pass %d: passes count from 1"
                                 % (path, lineno, pno))
            if current is not None and pno < current:
                raise InputError("%s: line %d: pass %d after pass %d"
                                 % (path, lineno, pno, current))
            if current is not None:
                close()
            current, frames, chunks = pno, [], []
        if fno != len(frames) + 1:
            raise InputError("%s: line %d: expected frame %d of pass %d, found frame %d"
                             % (path, lineno, len(frames) + 1, pno, fno))
        frames.append(ms)
        chunks.append(built)
    if current is not None:
        close()
    for p in passes:
        p.per_second = metrics.per_second_counts(p.frame_ms)
    return passes


SUMMARY_RE = re.compile(
    r"flyrate: (\d+) frames (\S+) seconds (\S+) fps, "
    r"frame ms min/avg/p99/max (\S+)/(\S+)/(\S+)/(\S+)")
PASS_RE = re.compile(r"flyrate: pass (\d+) of (\d+)")
PER_SECOND_RE = re.compile(r"flyrate: per-second fps:((?: \d+)*) ?$")


def parse_log(text, path):
    passes = []
    per_second = None
    pass_no = None
    for line in text.splitlines():
        line = line.rstrip("\r")
        m = PER_SECOND_RE.search(line)
        if m:
            per_second = [int(v) for v in m.group(1).split()]
            if len(line) >= LOG_LINE_MAX and not line.endswith(" ") and per_second:
                per_second.pop()  # the line was cut at the log's limit
            continue
        m = PASS_RE.search(line)
        if m:
            pass_no = int(m.group(1))
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
        summary = dict(zip(("seconds", "fps", "min", "mean", "p99", "max"), values))
        summary["frames"] = frames
        number = pass_no if pass_no is not None else len(passes) + 1
        passes.append(Pass(number, summary=summary, per_second=per_second))
        per_second = None
        pass_no = None
    if not passes:
        raise InputError("%s: no flyrate pass summary found in the log" % path)
    return passes


def split_label(arg):
    """(label or None, path) from [LABEL=]PATH; an existing path wins."""
    if os.path.exists(arg) or "=" not in arg:
        return None, arg
    label, path = arg.split("=", 1)
    if not label or not path:
        raise InputError("'%s': expected LABEL=PATH" % arg)
    return label, path


def read_file(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        raise InputError("%s: no such file" % path)
    except IsADirectoryError:
        raise InputError("%s: is a directory" % path)
    except OSError as e:
        raise InputError("%s: %s" % (path, e.strerror or e))


def read_run(arg, used_labels):
    label, path = split_label(arg)
    label = label or os.path.basename(path) or path
    base, i = label, 2
    while label in used_labels:
        label = "%s (%d)" % (base, i)
        i += 1
    used_labels.add(label)
    text = read_file(path).decode("utf-8", errors="replace").lstrip("\ufeff")
    first = next((ln.strip() for ln in text.splitlines() if ln.strip()), None)
    if first is None:
        raise InputError("%s: empty file" % path)
    if _header(first) in (CSV_HEADER, CSV_HEADER_CHUNKS):
        kind, passes = "csv", parse_csv(text, path)
        if not passes:
            raise InputError("%s: no frames" % path)
    elif "flyrate: " in text:
        kind, passes = "log", parse_log(text, path)
    elif "," in first:
        raise InputError("%s: expected the CSV header %s or %s, found '%s'"
                         % (path, CSV_HEADER, CSV_HEADER_CHUNKS, first[:60]))
    else:
        raise InputError("%s: neither a flyrate CSV log nor a flyrate stdout log" % path)
    return Run(label, path, kind, passes)


def pass_metrics(p):
    return metrics.frame_metrics(p.frame_ms) if p.frame_ms is not None \
        else metrics.summary_metrics(p.summary)
