# analysis.py: the whole comparison as one document (records.Document),
# from which the text, the JSON, the charts and the HTML page are all made,
# so each shows the same figures: every run's passes and metrics, and each
# run against A with the intervals of the compared metrics, the segments
# and the drift warning. The document's field names are the --json format;
# the README documents them and they stay stable within a version.
import math
from dataclasses import replace
from typing import Optional, Sequence

import numpy as np

from .. import metrics, segments as segs
from ..records import (Comparison, Document, PassSummary, Run, RunSummary, SegmentRow,
                       SegmentSide, Settings)
from ..stats import inference as stats
from ..history import levels as history_levels
from . import gpu
from .intervals import (apart, interval, launch_times, levels_unseen, method_of, method_text,
                        pass_values, rounding_bounds)

FORMAT_VERSION = 1
MEAN, P99 = metrics.BY_NAME["mean"], metrics.BY_NAME["p99"]
# The drift warning's threshold. At 0.01 the simulation's drift of 1% per
# pass over 5 passes was flagged in 14% of the pairs it made "slower", at
# 0.05 in 45%, with a false alarm on 5% of steady pairs: a warning is
# advice (interleave the runs), worth more than it costs when wrong.
DRIFT_ALPHA = 0.05


def _mean_sd(values: Sequence[Optional[float]]) -> dict:
    vals = [v for v in values if v is not None]
    if not vals:
        return {"mean": None, "sd": None}
    return {"mean": sum(vals) / len(vals),
            "sd": float(np.std(vals, ddof=1)) if len(vals) > 1 else None}


def _stutters(p, span: slice = slice(None)) -> tuple[Optional[int], Optional[int]]:
    """Stutters of a pass within a span (the pass's own median decides), and
    how many of them built chunks (None without a chunks column)."""
    if p.frame_ms is None:
        return None, None
    mask = p.stutter_mask[span]
    with_chunks = None if p.chunks is None else int(np.count_nonzero(mask & (p.chunks[span] > 0)))
    return int(np.count_nonzero(mask)), with_chunks


def _sum(values: Sequence[Optional[int]]) -> Optional[int]:
    return None if any(v is None for v in values) else sum(values)


def run_doc(run: Run, seg_list: Sequence = ()) -> RunSummary:
    """The run as the document shows it: every pass's metrics and their
    mean and spread over the passes; its GPU times over the path and the
    segments, when logged."""
    passes = []
    for p in run.passes:
        chunky = p.chunks is not None
        passes.append(PassSummary(
            p.number, {m.name: p.metrics[m.name] for m in metrics.TABLE}, p.per_second,
            chunk_builds=int(p.chunks.sum()) if chunky else None,
            frames_with_chunk_builds=int(np.count_nonzero(p.chunks)) if chunky else None,
            stutters_with_chunk_builds=_stutters(p)[1] if chunky else None))
    per_pass = [_stutters(p) for p in run.passes]
    return RunSummary(
        label=run.label, path=run.path, kind=run.kind,
        frames_per_pass=run.frames_per_pass, chunks_logged=run.has_chunks, passes=tuple(passes),
        across_passes={m.name: _mean_sd([e.metrics[m.name] for e in passes]) for m in metrics.TABLE},
        stutters={"total": _sum([s[0] for s in per_pass]),
                  "with_chunk_builds": _sum([s[1] for s in per_pass])},
        gpu=gpu.run_figures(run, seg_list))


def _side(run: Run, span: slice) -> SegmentSide:
    st = [_stutters(p, span) for p in run.passes]
    return SegmentSide(mean=float(np.mean(pass_values(run, MEAN, span))),
                       p99=float(np.mean(pass_values(run, P99, span))),
                       stutters=_sum([s[0] for s in st]), stutters_with_chunk_builds=_sum([s[1] for s in st]))


def _segment_rows(ra: Run, rb: Run, seg_list: Sequence, method: str, pct: float, levels: Sequence[str], sp,
                  looks: Optional[int]) -> tuple:
    """Each segment's change of the mean, Holm's correction across them
    deciding which of them changed (a level seen once adds the whole
    path's spread of it)."""
    changes = [interval(ra, rb, MEAN, slice(s.first_frame, s.last_frame), method, pct, levels, sp, looks)
               for s in seg_list]
    adjusted = stats.holm([c.p if c.p is not None else 1.0 for c in changes])
    rows = []
    for seg, c, p_holm in zip(seg_list, changes, adjusted):
        verdict = stats.classify(c.change_pct, c.ci_pct, p_holm, pct) \
            if c.change_pct is not None and c.p is not None else "inconclusive"
        span = slice(seg.first_frame, seg.last_frame)
        rows.append(SegmentRow(seg.index, replace(c, p_holm=p_holm, verdict=verdict),
                               _side(ra, span), _side(rb, span)))
    return tuple(rows)


def relative(a: Optional[float], b: Optional[float]) -> Optional[float]:
    """Change of b against a in percent, or None."""
    if a is None or b is None or a == 0 or not math.isfinite(a):
        return None
    return (b - a) / a * 100.0


def compare(ra: Run, rb: Run, seg_list: Sequence, pct: float,
            compared: Sequence[metrics.Metric] = metrics.COMPARED, spreads: Optional[dict] = None,
            history: Optional[str] = None) -> Comparison:
    """The comparison of run rb against ra: intervals, verdicts, segments,
    and the plain change of every metric's run value.

    spreads: metric name -> the Spread measured in the history database
    named `history`, for the levels the runs see once per variant. Runs of
    one session run until decided get intervals valid under its looks."""
    method = method_of(ra, rb)
    passes, launches = [len(ra.passes), len(rb.passes)], [len(ra.launches), len(rb.launches)]
    timed = launch_times(ra) is not None and launch_times(rb) is not None
    levels = levels_unseen(ra, rb) if method in ("passes", "runs", "sessions") else ()
    spreads = spreads or {}
    looks = ra.looks if ra.looks and ra.looks == rb.looks and ra.session == rb.session and method != "none" \
        else None
    intervals = {m.name: interval(ra, rb, m, slice(None), method, pct, levels, spreads.get(m.name), looks)
                 for m in compared}
    base, other = run_doc(ra).across_passes, run_doc(rb).across_passes
    text = method_text(method, passes, launches, timed, looks)
    if apart(ra, rb):
        text += "; two flyrun sessions, not interleaved: %s's from %s, %s's from %s" % (
            ra.label, ra.started or "an unknown time", rb.label, rb.started or "an unknown time")
    return Comparison(
        run=rb.label, against=ra.label, method=method, passes=passes, launches=launches,
        bootstrap_block=None, method_text=text,
        intervals=intervals, verdict=intervals["mean"].verdict,
        segments=_segment_rows(ra, rb, seg_list, method, pct, levels, spreads.get("mean"), looks)
        if seg_list else (),
        levels=list(levels), looks=looks,
        spread=history_levels.source(history, spreads.get("mean"), levels) if levels and history else None,
        metrics={k: {"a": base[k]["mean"], "b": other[k]["mean"],
                     "change_pct": relative(base[k]["mean"], other[k]["mean"])} for k in base},
        gpu=gpu.compare(ra, rb, seg_list, method, pct, levels))


def drift(runs: Sequence[Run]) -> Optional[str]:
    """A warning when the runs' mean frame times trend with the time order
    of their passes (or, with several game launches, of their launches):
    a common slope within the runs, each at its own level, by the t test of
    the slope at DRIFT_ALPHA. None when nothing drifted or can't be told."""
    groups, several, bias = [], False, 0.0
    for run in runs:
        values = pass_values(run, MEAN)
        if None in values:
            continue
        bias = max([bias] + rounding_bounds(run, values, MEAN))
        logs = np.log(values)
        parts = run.launches
        if len(parts) > 1:  # one value per launch, at its place in the session
            several = True
            orders = [p.order for p in run.passes]
            x = [float(np.mean([orders[i] if orders[i] is not None else k for i in g]))
                 for k, g in enumerate(parts)]
            y = [float(np.mean(logs[g])) for g in parts]
        else:  # a file's passes are in the order they ran
            x, y = list(range(len(logs))), list(logs)
        if len(x) >= 2:
            groups.append((x, y))
    found = stats.trend(groups, bias) if groups else None
    if found is None or found[1] >= DRIFT_ALPHA:
        return None
    slope, p = found
    p_text = "p = %.3f" % p if p >= 0.001 else "p < 0.001"
    if several and len({r.session for r in runs}) > 1:
        return ("the machine drifted: mean frame time %+.1f%% per run within the sessions, the "
                "same in every variant (trend test %s); the sessions were not interleaved, so "
                "whatever drifted between them is part of the difference"
                % (stats.percent(slope), p_text))
    if several:
        return ("the machine drifted: mean frame time %+.1f%% per run over the session, the "
                "same in every variant (trend test %s); the interleaved order balances "
                "the variants against it, but it widens the intervals"
                % (stats.percent(slope), p_text))
    # Passes that know their place in a session come from flyrun launches,
    # here one per variant: the cure is more of them, not flyrun itself.
    session = all(p.order is not None for run in runs for p in run.passes)
    cure = ("give flyrun --runs 2 or more, so that the variants' launches take turns" if session
            else "interleave the variants' runs with tools/flyrun")
    return ("the machine drifted: mean frame time %+.1f%% per pass in the order the passes "
            "ran, within the runs (trend test %s); runs made one after the other "
            "pick drift up as a difference: %s" % (stats.percent(slope), p_text, cure))


def analyse(runs: Sequence[Run], keyframes: Optional[Sequence[int]] = None,
            script: Optional[str] = None, pct: float = 1.0, warnings: Sequence[str] = (),
            pixel_tolerance: Optional[int] = None, history: Optional[str] = None) -> Document:
    """The analysis document of the runs, the first one A.

    warnings: one-line warnings of the caller (e.g. differing environments),
    shown above the verdict; the analysis adds its own (drift). history: a
    flyhistory database measuring the spread of levels seen once."""
    spreads = history_levels.measured(history, runs, [m.name for m in metrics.COMPARED]) \
        if history and len(runs) > 1 else None
    seg_list, note = segs.plan(runs, keyframes)
    found = drift(runs) if len(runs) > 1 else None
    return Document(
        format="flycompare", version=FORMAT_VERSION,
        settings=Settings(min_effect_pct=pct, confidence=stats.CONFIDENCE,
                          segments=(None if not seg_list else
                                    "keyframes" if keyframes is not None else "stretches"),
                          script=script, correction="holm",
                          bootstrap=None,
                          pixel_tolerance=pixel_tolerance),
        warnings=tuple(warnings) + ((found,) if found else ()),
        runs=tuple(run_doc(r, seg_list) for r in runs), segments=seg_list, segments_note=note,
        comparisons=tuple(compare(runs[0], r, seg_list, pct, spreads=spreads, history=history)
                          for r in runs[1:]))
