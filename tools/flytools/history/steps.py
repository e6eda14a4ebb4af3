# steps.py: where a series' history stepped. The lines searched are the
# detected metrics of the whole path (metrics.DETECTED) and each segment's
# mean frame time against the whole path's in the same run, so the
# run-to-run offsets that move every segment alike cancel and a step there
# is the segment's own; each step found is named and judged a regression or
# an improvement by its metric's direction.
import numpy as np

from .. import metrics
from ..records import HistoryStep, Series, SeriesHistory
from ..report.history_text import series_name
from ..stats import changepoint
from . import store
from .db import DB


def _ratio(a: float | None, b: float | None) -> float | None:
    return a / b if a is not None and b else None


def lines_of(commits) -> dict[str, tuple[list[int], list[np.ndarray]]]:
    """Per detected line, (commit indices with a value, per such commit the
    log run values)."""
    lines = {}
    nseg = max((r.nseg for c in commits for r in c.runs), default=0)
    names = [(m.name, lambda r, m=m.name: r.value.get(m)) for m in metrics.DETECTED] + \
            [("segment %d" % s, lambda r, s=s: _ratio(r.seg.get(s), r.value.get("mean")))
             for s in range(1, nseg + 1)]
    for name, get in names:
        idx, vals = [], []
        for i, c in enumerate(commits):
            v = [x for x in (get(r) for r in c.runs) if x is not None and x > 0]
            if v:
                idx.append(i)
                vals.append(np.log(np.array(v)))
        lines[name] = (idx, vals)
    return lines


def analyse(commits) -> tuple:
    """Every step of the series' lines, each named and judged."""
    lines = lines_of(commits)
    found = changepoint.series_steps({k: v[1] for k, v in lines.items()})
    out = []
    for name, st in found.items():
        idx = lines[name][0]
        metric = metrics.BY_NAME.get(name)
        for s in st:
            before, at = commits[idx[s.index - 1]], commits[idx[s.index]]
            out.append(HistoryStep(
                line=name, metric=metric.label if metric else "mean frame time against the whole path's",
                segment=None if metric else int(name.split()[1]), commit_index=idx[s.index],
                after_commit=before.commit, commit=at.commit, change_pct=s.est_pct,
                ci_pct=list(s.ci_pct) if s.ci_pct else None, runs_before=s.before, runs_after=s.after,
                kind="regression" if s.est_pct * (metric.worse if metric else 1) > 0 else "improvement"))
    out.sort(key=lambda d: (d.commit_index, d.segment or 0))
    return tuple(out)


def series_history(db: DB, s: Series, newest: int | None = None) -> SeriesHistory:
    """The series' history (only its newest commits, if asked) with its steps."""
    commits = store.load_series(db, s.id, newest)
    return SeriesHistory(s, series_name(s), commits, analyse(commits))


def regressions(history: SeriesHistory, window: int, pct: float) -> list[HistoryStep]:
    """The regressions among the newest `window` commits whose whole 95%
    interval lies beyond pct percent."""
    first = len(history.commits) - window
    found = []
    for st in history.steps:
        lo, hi = st.ci_pct or (None, None)
        beyond = lo is not None and (lo > pct if st.change_pct > 0 else hi < -pct)
        if st.kind == "regression" and st.commit_index >= first and beyond:
            found.append(st)
    return found
