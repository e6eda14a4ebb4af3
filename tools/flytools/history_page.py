# history_page.py: the page of flyhistory report, one self-contained HTML
# file (charts inline as PNG data: URIs, no network). Per series: the steps
# found, newest first in a table, then each detected metric over commits
# (every pass a dot, each run's mean with its 95% interval over passes, the
# levels between the steps, the steps marked), the segments as a heat map
# of their mean frame time against their own median, so the eye sees where
# on the path a step happened, and the other metrics small below.
import base64
import html
import io

import numpy as np

from . import changepoint, history_cli, stats

STYLE = """
body { font: 15px/1.45 system-ui, sans-serif; margin: 1.5em auto; max-width: 1300px;
       padding: 0 1em; color: #222; }
h1 { font-size: 1.5em; } h2 { font-size: 1.2em; margin-top: 2em; }
table { border-collapse: collapse; margin: .5em 0; font-variant-numeric: tabular-nums; }
th, td { border: 1px solid #ccc; padding: .2em .6em; text-align: left; }
td.num { text-align: right; }
tr.regression td { background: #fbe3e3; } tr.improvement td { background: #e3f4e3; }
.note { color: #555; } img { max-width: 100%; }
"""
COLORS = {"regression": "#d62728", "improvement": "#2ca02c"}
OTHER = ["median", "p95", "p99.9", "max", "low01", "stutters", "chunk_builds"]


def _e(value):
    return html.escape(str(value))


def _pyplot():
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def _png(fig):
    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=80)
    _pyplot().close(fig)
    return "data:image/png;base64," + base64.b64encode(buf.getvalue()).decode("ascii")


def _run_values(commits, name):
    """x, per-run mean and 95% half-width over passes, and every pass's dot."""
    xs, means, halves, px, py = [], [], [], [], []
    for i, c in enumerate(commits):
        for r in c["runs"]:
            v = [x for x in r["passes"].get(name, []) if x is not None]
            if not v:
                continue
            m = sum(v) / len(v)
            xs.append(i)
            means.append(m)
            if len(v) >= 2:
                se = (sum((x - m) ** 2 for x in v) / (len(v) - 1) / len(v)) ** 0.5
                halves.append(stats.interval(m, se, len(v) - 1)[1] - m)
            else:
                halves.append(0.0)
            px += [i] * len(v)
            py += v
    return tuple(np.array(a, dtype=np.float64) for a in (xs, means, halves, px, py))


def _ticks(ax, commits):
    step = max(1, len(commits) // 12)
    ticks = list(range(0, len(commits), step))
    ax.set_xticks(ticks, [str(commits[i]["commit"])[:8] for i in ticks], rotation=40,
                  fontsize="x-small", ha="right")


def _metric_panel(ax, commits, name, steps, small=False):
    xs, means, halves, px, py = _run_values(commits, name)
    if not len(xs):
        ax.text(0.5, 0.5, "not in these logs", transform=ax.transAxes, ha="center", color="#777")
    ax.scatter(px, py, s=3, color="#999999", alpha=0.5, linewidths=0, label="pass")
    if len(xs) > 300:  # a long history: the intervals as one band (quicker to draw)
        ax.fill_between(xs, means - halves, means + halves, color="#1f77b4", alpha=0.25, linewidth=0)
    elif len(xs):
        ax.vlines(xs, means - halves, means + halves, color="#1f77b4", linewidth=0.8)
        ax.plot(xs, means, "o", ms=2.5, color="#1f77b4", label="run (95% interval)")
    mine = [s for s in steps if s["line"] == name]
    bounds = [0] + [s["commit_index"] for s in mine] + [len(commits)]
    for a, b in zip(bounds, bounds[1:]):
        level = means[(xs >= a) & (xs < b)]
        if len(level):
            ax.hlines(np.mean(level), a - 0.5, b - 0.5, color="black", linewidth=1.2)
    for s in mine:
        ax.axvline(s["commit_index"] - 0.5, color=COLORS[s["kind"]], linestyle="--")
        ax.annotate("%+.1f%%" % s["change_pct"], (s["commit_index"] - 0.5, 1),
                    xycoords=("data", "axes fraction"),
                    color=COLORS[s["kind"]], fontsize="small", ha="left", va="top")
    ax.set_title(history_cli.NAMES.get(name, name), fontsize="small" if small else "medium")
    _ticks(ax, commits)
    if not small:
        ax.legend(fontsize="x-small", loc="lower left")


def _segment_panel(fig, ax, commits, steps):
    nseg = max((r["nseg"] for c in commits for r in c["runs"]), default=0)
    total = np.zeros((nseg, len(commits)))
    count = np.zeros((nseg, len(commits)))
    for i, c in enumerate(commits):
        for r in c["runs"]:
            whole = r["value"].get("mean")
            for s, v in r["seg"].items() if whole else ():
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
        if s["segment"] is not None:
            ax.plot(s["commit_index"] - 0.5, s["segment"], marker="<" if s["kind"] == "regression" else ">",
                    color=COLORS[s["kind"]], ms=9, markeredgecolor="black")
    ax.set(title="each segment's mean frame time against the whole path's (markers: steps found)",
           ylabel="segment")
    _ticks(ax, commits)


def charts(doc: dict) -> tuple[str, str]:
    plt = _pyplot()
    commits, steps = doc["commits"], doc["steps"]
    has_segments = any(r["nseg"] for c in commits for r in c["runs"])
    rows = 3 + has_segments
    fig, axes = plt.subplots(rows, 1, figsize=(13, 3.3 * rows))
    fig.subplots_adjust(left=0.06, right=0.93, top=1 - 0.35 / rows, bottom=0.5 / rows, hspace=0.55)
    for ax, name in zip(axes, history_cli.DETECTED):
        _metric_panel(ax, commits, name, steps)
    if has_segments:
        _segment_panel(fig, axes[3], commits, steps)
    main = _png(fig)
    fig, axes = plt.subplots(2, 4, figsize=(13, 5))
    fig.subplots_adjust(left=0.05, right=0.98, top=0.93, bottom=0.14, hspace=0.6, wspace=0.3)
    for ax, name in zip(axes.flat, OTHER):
        _metric_panel(ax, commits, name, [], small=True)
    axes.flat[-1].axis("off")
    return main, _png(fig)


def _series_html(doc: dict) -> str:
    s = doc["series"]
    parts = ["<h2>Series %d: %s</h2>" % (s["id"], _e(doc["name"])),
             "<p class=note>%d runs over %d commits, %s to %s.</p>" % (
                 s["runs"], len(doc["commits"]), _e(doc["commits"][0]["date"]),
                 _e(doc["commits"][-1]["date"]))]
    if doc["steps"]:
        rows = "".join(
            "<tr class=%s><td>%s</td><td>%s</td><td>%s</td><td>%s .. %s</td><td class=num>%+.2f%%</td>"
            "<td class=num>%s</td><td class=num>%d / %d</td></tr>" % (
                st["kind"], st["kind"], _e(st["metric"]),
                "whole path" if st["segment"] is None else "segment %d" % st["segment"],
                _e(st["after_commit"]), _e(st["commit"]), st["change_pct"],
                "%+.2f%% to %+.2f%%" % tuple(st["ci_pct"]) if st["ci_pct"] else "-",
                st["runs_before"], st["runs_after"]) for st in reversed(doc["steps"]))
        parts.append("<table><tr><th>step</th><th>metric</th><th>where</th><th>between commits"
                     "</th><th>change</th><th>95% interval</th><th>runs before / after</th></tr>"
                     + rows + "</table>")
    else:
        parts.append("<p>No step found: every metric's level held over the history.</p>")
    main, other = charts(doc)
    parts.append('<img alt="metrics over commits" src="%s">' % main)
    parts.append("<h3>Other metrics (not searched for steps)</h3>")
    parts.append('<img alt="other metrics over commits" src="%s">' % other)
    return "\n".join(parts)


def render(docs: list[dict], db_name: str) -> str:
    body = "\n".join(_series_html(d) for d in docs)
    total = sum(len(d["steps"]) for d in docs)
    return ("<!DOCTYPE html><html><head><meta charset=utf-8><title>flyhistory report</title>"
            "<style>%s</style></head><body><h1>Performance over time</h1>"
            "<p>%d series from %s; %d step(s) found by E-divisive means (permutation test, "
            "at most %g%% chance of any false step per series), each sized by Welch's 95%% "
            "interval over the runs between its neighbouring steps. A step between commits X "
            "and Y happened in a commit after X up to Y.</p>%s</body></html>\n"
            % (STYLE, len(docs), _e(db_name), total, changepoint.ALPHA * 100, body))
