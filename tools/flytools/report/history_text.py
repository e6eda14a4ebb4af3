# history_text.py: flyhistory's text for people: the series and their runs
# (list), one run's metrics and environment (show), each series' steps
# (report: the compared metrics at the newest commit, the steps and drift,
# and the smallest step the history can find).
from ..stats import steps as search
from ..metrics import BY_NAME, COLUMNS, COMPARED, GPU
from ..records import HistoryStep, SeriesHistory


def series_name(s) -> str:
    """A series by what its runs share; ? where unknown."""
    unknown = "?"
    return "%s on %s (%s), %s, %s, script %s" % (
        s.label, s.host or unknown, s.cpu or "CPU " + unknown, s.framebuffer or "size " + unknown,
        s.renderer or "renderer " + unknown, s.script_sha256[:12] or unknown)


def step_text(st: HistoryStep) -> str:
    where = "whole path" if st.segment is None else "segment %d" % st.segment
    ci = " (95%% interval %+.2f%% to %+.2f%%)" % tuple(st.ci_pct) if st.ci_pct else ""
    if st.kind == "drift":
        return "drift: %s %+.2f%% across a gradual change (no step), %s, about %s" % (
            st.metric, st.change_pct, where, st.commit)
    return "%s: %s %+.2f%%%s, %s, between %s and %s" % (
        st.kind, st.metric, st.change_pct, ci, where, st.after_commit, st.commit)


def reach_text(h: SeriesHistory) -> str:
    """How small a step of the whole path's metrics the history can find:
    the step found half the time, below which it is too short."""
    whole = [r for r in h.reach if r.line in BY_NAME]
    if not whole or any(r.smallest_pct is None for r in whole):
        return "%d commits: too short to search for steps (%d needed)" % (len(h.commits), search.MIN_COMMITS)
    sizes = ", ".join("%.1f%% in %s" % (r.smallest_pct, r.metric) for r in whole)
    if len(h.commits) > search.WINDOW:
        return "%d commits, searched %d at a time: a step of less than %s is found less than half the time" % (
            len(h.commits), search.WINDOW, sizes)
    return "%d commits: too short for a step of less than %s (each found half the time from there)" % (
        len(h.commits), sizes)


def list_lines(series_runs: list) -> list[str]:
    """series_runs: (series, its runs' rows) pairs."""
    out = []
    for s, runs in series_runs:
        out.append("series %d: %s: %d runs" % (s.id, series_name(s), s.runs))
        out += ["  run %d  %s  %s  %s  %d passes  %s" % (r[0], r[1], (r[2] or "-")[:12], r[3] or "-", r[4], r[5])
                for r in runs]
    return out


def show_lines(row: tuple, passes: list, env) -> list[str]:
    """One stored run: where it came from, every pass's metrics, its host."""
    out = ["run %d in series %d: %s (%s, label %s)" % row[:5],
           "  commit %s, branch %s, date %s, added %s" % (row[5] or "-", row[6] or "-", row[7], row[8]),
           "  pass launch " + " ".join("%9s" % c[:9] for c in COLUMNS)]
    out += ["  %4d %6d " % p[:2] + " ".join("%9s" % ("-" if v is None else "%.4g" % v) for v in p[2:])
            for p in passes]
    if env is not None:
        host = env.host
        out.append("  host %s, %s, renderer %s" % (host.name if host else None, host.cpu_model if host else None,
                                                   env.renderer))
    return out


def newest_line(h: SeriesHistory) -> str:
    """The compared metrics at the series' newest commit (the mean over its
    runs), "-" where its runs don't have one; the GPU's where they do."""
    point = h.commits[-1]
    parts = []
    for m in COMPARED + GPU:
        values = [r.value.get(m.name) for r in point.runs]
        shown = "-" if not values or None in values else \
            ("%.2f%s" if m.unit == "%" else "%.2f %s") % (sum(values) / len(values), m.unit)
        if m in COMPARED or shown != "-":
            parts.append("%s %s" % (m.label, shown))
    return "  newest, %s: %s" % (point.commit, ", ".join(parts))


def report_lines(histories: list[SeriesHistory]) -> list[str]:
    out = []
    for h in histories:
        out.append("series %d: %s: %d commits, %d steps, %d drift" % (
            h.series.id, h.name, len(h.commits), len(h.steps), len(h.drift)))
        out.append(newest_line(h))
        out.append("  " + reach_text(h))
        out += ["  " + step_text(st) for st in sorted(h.steps + h.drift, key=lambda d: d.commit_index)]
    return out
