# history_charts.py: the charts of flyhistory's page, per series: each
# detected metric over commits (every pass a dot, each run's mean with its
# 95% interval over passes in log units, the levels between the steps, the
# steps marked, and where the level drifted a dotted line), the segments as
# a heat map of their mean frame time against
# their own median, so the eye sees where on the path a step happened, and
# every other metric small below (the GPU's only where runs logged GPU
# times).
import numpy as np

from .. import metrics
from ..records import SeriesHistory
from ..stats import inference as stats
from .charts import pyplot, render

COLORS = {"regression": "#d62728", "improvement": "#2ca02c", "drift": "#ff7f0e"}
# The small charts: every stored metric not searched for steps but the
# counts that only restate the pass (frames, seconds, fps).
OTHER = [m for m in metrics.METRICS if not m.detected and m.name not in ("frames", "seconds", "fps",
                                                                         "chunk_stutters")]


def _png(fig) -> bytes:
    data = render(fig, "png", dpi=80)
    pyplot().close(fig)
    return data


def _run_values(commits, metric):
    """x, per-run mean with the low and high ends of its 95% interval over
    passes, and every pass's dot. Worked in log units, as the steps are
    (log(1 + x) where a value is 0, as counts can be): the mean is the
    geometric one and the interval never reaches below zero."""
    runs = [(i, [x for x in r.passes.get(metric.name, []) if x is not None]) for i, c in enumerate(commits)
            for r in c.runs]
    runs = [(i, v) for i, v in runs if v]
    to, back = (np.log, np.exp) if all(x > 0 for _, v in runs for x in v) else \
        (np.log1p, lambda x: max(float(np.expm1(x)), 0.0))
    xs, means, lows, highs, px, py = [], [], [], [], [], []
    for i, v in runs:
        logs = to(np.array(v, dtype=np.float64))
        m = float(np.mean(logs))
        h = stats.interval(m, float(np.std(logs, ddof=1)) / len(v) ** 0.5, len(v) - 1)[1] - m \
            if len(v) >= 2 else 0.0
        xs.append(i)
        means.append(back(m))
        lows.append(back(m - h))
        highs.append(back(m + h))
        px += [i] * len(v)
        py += v
    return tuple(np.array(a, dtype=np.float64) for a in (xs, means, lows, highs, px, py))


def _ticks(ax, commits):
    """Commits along the axis, each label cut no shorter than it needs to
    differ from the others (8 characters at least)."""
    step = max(1, len(commits) // 12)
    ticks = list(range(0, len(commits), step))
    names = [str(commits[i].commit) for i in ticks]
    width = next((n for n in range(8, max(map(len, names), default=8)) if
                  len({x[:n] for x in names}) == len(set(names))), max(map(len, names), default=8))
    ax.set_xticks(ticks, [x[:width] for x in names], rotation=40, fontsize="x-small", ha="right")


def _metric_panel(ax, commits, metric, steps, small=False):
    xs, means, lows, highs, px, py = _run_values(commits, metric)
    if not len(xs):
        ax.text(0.5, 0.5, "not in these logs", transform=ax.transAxes, ha="center", color="#777")
    ax.scatter(px, py, s=3, color="#999999", alpha=0.5, linewidths=0, label="pass")
    if len(xs) > 300:  # a long history: the intervals as one band (quicker to draw)
        ax.fill_between(xs, lows, highs, color="#1f77b4", alpha=0.25, linewidth=0)
    elif len(xs):
        ax.vlines(xs, lows, highs, color="#1f77b4", linewidth=0.8)
        ax.plot(xs, means, "o", ms=2.5, color="#1f77b4", label="run: geometric mean (95% interval)")
    mine = [s for s in steps if s.line == metric.name]
    bounds = [0] + [s.commit_index for s in mine if s.kind != "drift"] + [len(commits)]
    for a, b in zip(bounds, bounds[1:]):
        level = means[(xs >= a) & (xs < b)]
        if len(level):
            ax.hlines(np.mean(level), a - 0.5, b - 0.5, color="black", linewidth=1.2)
    for s in mine:
        ax.axvline(s.commit_index - 0.5, color=COLORS[s.kind], linestyle=":" if s.kind == "drift" else "--")
        ax.annotate(("drift %+.1f%%" if s.kind == "drift" else "%+.1f%%") % s.change_pct, (s.commit_index - 0.5, 1),
                    xycoords=("data", "axes fraction"),
                    color=COLORS[s.kind], fontsize="small", ha="left", va="top")
    ax.set_title(metric.label, fontsize="small" if small else "medium")
    _ticks(ax, commits)
    if not small:
        ax.legend(fontsize="x-small", loc="lower left")


def _segment_panel(fig, ax, commits, steps):
    nseg = max((r.nseg for c in commits for r in c.runs), default=0)
    total = np.zeros((nseg, len(commits)))
    count = np.zeros((nseg, len(commits)))
    for i, c in enumerate(commits):
        for r in c.runs:
            whole = r.value.get("mean")
            for s, v in r.seg.items() if whole else ():
                if v is not None:
                    total[s - 1, i] += v / whole
                    count[s - 1, i] += 1
    with np.errstate(invalid="ignore", divide="ignore"):
        grid = np.where(count > 0, total / count, np.nan)
        for row in grid:  # each segment against its own median
            if np.isfinite(row).any():
                row[:] = (row / np.nanmedian(row) - 1) * 100
    lim = max(1.0, float(np.nanpercentile(np.abs(grid), 98))) if np.isfinite(grid).any() else 1.0
    im = ax.imshow(grid, aspect="auto", cmap="RdBu_r", vmin=-lim, vmax=lim, interpolation="nearest",
                   extent=(-0.5, len(commits) - 0.5, nseg + 0.5, 0.5))
    fig.colorbar(im, ax=ax, label="% from its median", pad=0.01)
    for s in steps:
        if s.segment is not None and s.kind != "drift":
            ax.plot(s.commit_index - 0.5, s.segment, marker="<" if s.kind == "regression" else ">",
                    color=COLORS[s.kind], ms=9, markeredgecolor="black")
    ax.set(title="each segment's mean frame time against the whole path's (markers: steps found)",
           ylabel="segment")
    ax.set_yticks(range(1, nseg + 1, max(1, nseg // 15)))  # whole segments only
    _ticks(ax, commits)


def charts(history: SeriesHistory) -> tuple[bytes, bytes]:
    """The series' charts as PNG bytes: the detected metrics and the
    segments, then the other metrics."""
    plt = pyplot()
    commits, steps = history.commits, history.steps + history.drift
    has_segments = any(r.nseg for c in commits for r in c.runs)
    rows = len(metrics.DETECTED) + has_segments
    fig, axes = plt.subplots(rows, 1, figsize=(13, 3.3 * rows))
    fig.subplots_adjust(left=0.06, right=0.93, top=1 - 0.35 / rows, bottom=0.5 / rows, hspace=0.55)
    for ax, metric in zip(axes, metrics.DETECTED):
        _metric_panel(ax, commits, metric, steps)
    if has_segments:
        _segment_panel(fig, axes[-1], commits, steps)
    main = _png(fig)
    others = [m for m in OTHER if m not in metrics.GPU or any(
        v is not None for c in commits for r in c.runs for v in r.passes.get(m.name, []))]
    rows = -(-len(others) // 4)
    fig, axes = plt.subplots(rows, 4, figsize=(13, 2.5 * rows), squeeze=False)
    fig.subplots_adjust(left=0.05, right=0.98, top=1 - 0.14 / rows, bottom=0.28 / rows, hspace=0.6, wspace=0.3)
    for ax, metric in zip(axes.flat, others):
        _metric_panel(ax, commits, metric, [], small=True)
    for ax in axes.flat[len(others):]:
        ax.axis("off")
    return main, _png(fig)
