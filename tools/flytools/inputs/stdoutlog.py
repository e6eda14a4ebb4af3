# stdoutlog.py: the reader of the plug-in's standard output saved to a
# file: its "pass N of M" lines, per-second counts and summary lines, one
# pass each. Only the printed figures are known (rounded); a log holding
# more than one run is refused.
import math
import re
from dataclasses import replace

from ..errors import InputError
from ..records import Pass

SUMMARY_RE = re.compile(
    r"flyrate: (\d+) frames (\S+) seconds (\S+) fps, "
    r"frame ms min/avg/p99/max (\S+)/(\S+)/(\S+)/(\S+)")
PASS_RE = re.compile(r"flyrate: pass (\d+) of (\d+)")
PER_SECOND_RE = re.compile(r"flyrate: per-second fps:((?: \d+)*) ?$")
# The summary prints seconds and fps to 0.01 and frame times to 0.1 ms.
HALF_CENTI, HALF_TENTH_MS = 0.005, 0.05


def mean_bounds(frames: int, seconds: float, fps: float, avg: float) -> tuple[float, float]:
    """The mean frame time (ms) as the summary's figures bound it: from
    1000 * seconds / frames, 1000 / fps and the printed mean, each within
    its rounding; the narrowest range all three allow (the printed mean's
    alone where they disagree). (midpoint, half-width)."""
    ranges = [(1000.0 * (seconds - HALF_CENTI) / frames, 1000.0 * (seconds + HALF_CENTI) / frames),
              (avg - HALF_TENTH_MS, avg + HALF_TENTH_MS)]
    if fps > HALF_CENTI:
        ranges.append((1000.0 / (fps + HALF_CENTI), 1000.0 / (fps - HALF_CENTI)))
    lo, hi = max(r[0] for r in ranges), min(r[1] for r in ranges)
    if lo > hi:
        lo, hi = ranges[1]
    return (lo + hi) / 2.0, (hi - lo) / 2.0


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
        summary["mean"], summary["mean_bound"] = mean_bounds(frames, *values[:2], values[3])
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
    # "of" only served to tell runs apart; the passes keep the figures.
    return [replace(p, summary={k: v for k, v in p.summary.items() if k != "of"}) for p in passes]
