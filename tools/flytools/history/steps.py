# steps.py: where a series' history stepped or drifted, and the nightly
# gate over it. The lines searched are the detected metrics of the whole
# path (metrics.DETECTED) and each segment's mean frame time against the
# whole path's in the same launch, so the offsets that move every segment
# alike cancel and a step there is the segment's own. A commit's values on
# a line are its launches' values: the mean of the logs over a launch's
# passes, turned so that larger is worse (the 1% low negated), which is
# what stats.steps and history.gate work on; each change found is named
# and turned back into percent of the metric. Each whole-path metric is a
# question of its own, at the chances of a false step and a false
# regression the README's rates are measured at; the segments share those
# chances between them (Bonferroni), so a path of many segments raises no
# more false alarms than one metric.
import math

import numpy as np

from .. import metrics
from ..records import HistoryStep, Reach, Series, SeriesHistory
from ..report.history_text import series_name
from ..stats import components, steps as search
from . import gate, store
from .db import DB

SEGMENT_LABEL = "mean frame time against the whole path's"


def _launches(run, get) -> list[float]:
    """Per launch of a run, the mean log of get(launch's passes) (launches
    with a pass lacking the value left out); a run that doesn't say its
    passes' launches is one launch. (Plain Python: a few values each, for
    thousands of runs.)"""
    groups = {}
    for i, t in enumerate(run.launch or (0,) * max((len(v) for v in run.passes.values()), default=0)):
        groups.setdefault(t, []).append(i)
    out = []
    for launch, at in groups.items():
        v = get(run, launch, at)
        if v is not None and all(x is not None and x > 0 for x in v):
            out.append(sum(math.log(x) for x in v) / len(v))
    return out


def _metric(name):
    def get(run, launch, at):
        values = run.passes.get(name)
        return [values[i] for i in at] if values else None
    return get


def _segment(seg):
    def get(run, launch, at):
        whole = _metric("mean")(run, launch, at)
        if whole is None or None in whole:
            return None
        if run.launch_seg:   # the launch's segment mean over its passes' mean
            mean = run.launch_seg.get((launch, seg))
            return None if mean is None else [mean / (sum(whole) / len(whole))]
        mean, level = run.seg.get(seg), run.value.get("mean")
        return None if mean is None or not level else [mean / level]
    return get


def lines_of(commits) -> dict[str, tuple[int, list[int], list[np.ndarray], float]]:
    """Per line: its direction (+1 larger is worse), the commit indices with
    a value, per such commit its launches' values (larger is worse), and
    its share of the chances of a false alarm."""
    nseg = max((r.nseg for c in commits for r in c.runs), default=0)
    names = [(m.name, m.worse, _metric(m.name), 1.0) for m in metrics.DETECTED] + \
            [("segment %d" % s, 1, _segment(s), 1.0 / nseg) for s in range(1, nseg + 1)]
    lines = {}
    for name, worse, get, share in names:
        idx, vals = [], []
        for i, c in enumerate(commits):
            v = [x for r in c.runs for x in _launches(r, get)]
            if v:
                idx.append(i)
                vals.append(worse * np.array(v))
        lines[name] = (worse, idx, vals, share)
    return lines


def _label(name: str) -> tuple[str, int | None]:
    metric = metrics.BY_NAME.get(name)
    return (metric.label, None) if metric else (SEGMENT_LABEL, int(name.split()[1]))


def label_of(name: str) -> str:
    """A line as a person reads it."""
    label, segment = _label(name)
    return label if segment is None else "segment %d %s" % (segment, label)


def _pct(x: float, worse: int) -> float:
    return math.expm1(worse * x) * 100.0


def named(commits, name, worse, idx, vals, c, kind=None) -> HistoryStep:
    """A change of one line as the report shows it."""
    label, segment = _label(name)
    ci = None
    if not kind and all(math.isfinite(x) for x in c.ci):
        ci = sorted([_pct(c.ci[0], worse), _pct(c.ci[1], worse)])
    return HistoryStep(
        line=name, metric=label, segment=segment, commit_index=idx[c.index],
        after_commit=commits[idx[c.index - 1]].commit, commit=commits[idx[c.index]].commit,
        change_pct=_pct(c.est, worse), ci_pct=ci,
        runs_before=sum(len(v) for v in vals[c.index - c.before:c.index]),
        runs_after=sum(len(v) for v in vals[c.index:c.index + c.after]),
        kind=kind or ("regression" if c.est > 0 else "improvement"))


def reach(name: str, vals: list[np.ndarray], alpha: float) -> Reach:
    """The smallest step of the line its history finds half the time."""
    sd = math.sqrt(components.measure(vals).commit) if len(vals) >= 3 else math.nan
    size = search.detectable(len(vals), sd, alpha) if math.isfinite(sd) else math.inf
    return Reach(name, label_of(name), len(vals), math.expm1(size) * 100.0 if math.isfinite(size) else None)


def analyse(commits) -> tuple[tuple, tuple, tuple]:
    """The steps, the drift changes and the reach of every line."""
    found, drifted, reaches = [], [], []
    for name, (worse, idx, vals, share) in lines_of(commits).items():
        means = components.means(vals)
        st, dr = search.find(means, search.ALPHA * share) if vals else ([], [])
        found += [named(commits, name, worse, idx, vals, c) for c in st]
        drifted += [named(commits, name, worse, idx, vals, c, "drift") for c in dr]
        reaches.append(reach(name, vals, search.ALPHA * share))
    order = lambda d: (d.commit_index, d.segment or 0)
    return tuple(sorted(found, key=order)), tuple(sorted(drifted, key=order)), tuple(reaches)


def series_history(db: DB, s: Series, newest: int | None = None) -> SeriesHistory:
    """The series' history (only its newest commits, if asked) with its steps."""
    commits = store.load_series(db, s.id, newest)
    found, drifted, reaches = analyse(commits)
    return SeriesHistory(s, series_name(s), commits, found, drifted, reaches)


def judge(commits, pct: float, window: int) -> list[tuple]:
    """The gate on every line of a history: per line (name, its direction,
    commit indices, launch values, gate.Verdict)."""
    return [(name, worse, idx, vals, gate.judge(vals, pct, window, search.ALPHA * share, gate.MISS * share))
            for name, (worse, idx, vals, share) in lines_of(commits).items() if vals]
