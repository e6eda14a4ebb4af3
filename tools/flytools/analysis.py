# analysis.py: the whole comparison as one document (the records of
# document.py), from which the text, the JSON, the charts and the HTML page
# are all made, so each shows the same figures. The document's field names
# are the --json format; the README documents them and they stay stable
# within a version.
import math
from typing import Optional, Sequence

import numpy as np

from . import metrics, reading, segments as segs, stats
from .document import (Comparison, Document, Interval, RunSummary, SegmentRow,
                       SegmentSide, Settings)

FORMAT_VERSION = 1


def _mean_sd(values: Sequence[Optional[float]]) -> dict:
    vals = [v for v in values if v is not None]
    if not vals:
        return {"mean": None, "sd": None}
    return {"mean": sum(vals) / len(vals),
            "sd": float(np.std(vals, ddof=1)) if len(vals) > 1 else None}


def _stutters(p: reading.Pass, span: slice = slice(None)) -> tuple[Optional[int], Optional[int]]:
    """Stutters of a pass within a span (the pass's own median decides), and
    how many of them built chunks (None without a chunks column)."""
    if p.frame_ms is None:
        return None, None
    mask = p.stutter_mask[span]
    with_chunks = None if p.chunks is None else int(np.count_nonzero(mask & (p.chunks[span] > 0)))
    return int(np.count_nonzero(mask)), with_chunks


def _sum(values: Sequence[Optional[int]]) -> Optional[int]:
    return None if any(v is None for v in values) else sum(values)


def run_doc(run: reading.Run) -> RunSummary:
    """The run as the document shows it: every pass's metrics and their
    mean and spread over the passes."""
    passes = []
    for p in run.passes:
        entry = {"pass": p.number, "metrics": reading.pass_metrics(p),
                 "per_second_fps": p.per_second}
        if p.chunks is not None:
            entry["chunk_builds"] = int(p.chunks.sum())
            entry["frames_with_chunk_builds"] = int(np.count_nonzero(p.chunks))
            entry["stutters_with_chunk_builds"] = _stutters(p)[1]
        passes.append(entry)
    per_pass = [_stutters(p) for p in run.passes]
    return RunSummary(
        label=run.label, path=run.path, kind=run.kind,
        frames_per_pass=run.frames_per_pass, chunks_logged=run.has_chunks,
        passes=passes,
        across_passes={k: _mean_sd([e["metrics"][k] for e in passes]) for k in metrics.METRICS},
        stutters={"total": _sum([s[0] for s in per_pass]),
                  "with_chunk_builds": _sum([s[1] for s in per_pass])})


# A stdout log prints frame times to 0.1 ms: each printed value is off by
# up to this much, a known floor under the spread of its passes.
PRINTED_HALF_MS = 0.05
# The drift warning's threshold. At 0.01 the simulation's drift of 1% per
# pass over 5 passes was flagged in 14% of the pairs it made "slower", at
# 0.05 in 45%, with a false alarm on 5% of steady pairs: a warning is
# advice (interleave the runs), worth more than it costs when wrong.
DRIFT_ALPHA = 0.05


def _pass_values(run: reading.Run, key: str, span: slice) -> list:
    fn = metrics.COMPARED[key][0]
    if run.has_frames:
        return [float(fn(p.frame_ms[span])) for p in run.passes]
    return [p.summary.get(key) for p in run.passes]


def launches(run: reading.Run) -> list[list[int]]:
    """Indices of the run's passes per game launch, launches in order.
    Passes of one file are all one launch (Pass.launch 0)."""
    groups: dict = {}
    for i, p in enumerate(run.passes):
        groups.setdefault(getattr(p, "launch", 0), []).append(i)
    return [groups[k] for k in sorted(groups)]


def _units(run: reading.Run, logs: Sequence[float], method: str) -> list[float]:
    # The independent values of a run: the log per-pass values, or with
    # several launches each launch's mean of them.
    if method != "runs":
        return list(logs)
    return [float(np.mean([logs[i] for i in group])) for group in launches(run)]


def _times(run: reading.Run) -> Optional[list[float]]:
    """Each launch's place in the session (the mean of its passes' orders),
    or None when unknown."""
    orders = [getattr(p, "order", None) for p in run.passes]
    if None in orders:
        return None
    return [float(np.mean([orders[i] for i in group])) for group in launches(run)]


def _floor(run: reading.Run, values: Sequence[float], key: str, method: str) -> float:
    """The rounding's share of one unit's log variance (0 for CSV logs)."""
    if run.kind != "log" or key not in ("mean", "p99"):
        return 0.0
    per_pass = stats.rounding_variance(values, PRINTED_HALF_MS)
    if method == "runs":
        return per_pass / min(len(g) for g in launches(run))
    return per_pass


def _interval(ra: reading.Run, rb: reading.Run, key: str, span: slice, method: str,
              block: Optional[int], pct: float) -> Interval:
    """The change of one compared metric over a span, with its interval."""
    worse = metrics.COMPARED[key][1]
    va, vb = _pass_values(ra, key, span), _pass_values(rb, key, span)
    out = Interval()
    if None in va or None in vb:
        return out
    mean_a, mean_b = sum(va) / len(va), sum(vb) / len(vb)
    # Worked as log ratios: over passes the mean of ln(value) per run.
    est = math.log(mean_b / mean_a)
    se = df = spread2 = None
    if method in ("passes", "runs"):
        ua, ub = _units(ra, np.log(va), method), _units(rb, np.log(vb), method)
        fa, fb = _floor(ra, va, key, method), _floor(rb, vb, key, method)
        ta, tb = (_times(ra), _times(rb)) if method == "runs" else (None, None)
        if ta is not None and tb is not None:
            # Launches of one session: the drift over the session taken out.
            est, se, df = stats.drift_adjusted(ta, ua, tb, ub, max(fa, fb))
            spread2 = se * se / (1.0 / len(ua) + 1.0 / len(ub)) * 2.0
        else:
            est, se, df = stats.welch(ua, ub, fa, fb)
            spread2 = max(float(np.var(ua, ddof=1)), fa) + max(float(np.var(ub, ddof=1)), fb)
        have = min(len(ua), len(ub))
    elif method == "bootstrap":
        n = len(ra.passes[0].frame_ms[span])
        if n >= 2 * block:
            a = np.array([p.frame_ms[span] for p in ra.passes])
            b = np.array([p.frame_ms[span] for p in rb.passes])
            reps = stats.bootstrap_change(a, b, metrics.COMPARED[key][0], block)
            se = float(np.std(reps, ddof=1))
            df = n / block - 1.0
    out.a, out.b, out.change_pct = mean_a, mean_b, stats.percent(est)
    if se is None:
        return out
    bounds = stats.log_bounds(pct)
    ci = [stats.percent(x) for x in stats.interval(est, se, df)]
    p = stats.side_p(est, se, df, bounds)
    out.ci_pct, out.p, out.df = ci, p, df if math.isfinite(df) else None
    if method == "bootstrap":
        # The frames' interval is shown, but it can't see how passes differ
        # (a whole pass may run a few percent off): no verdict from it.
        return out
    out.verdict = stats.classify(out.change_pct, ci, p, pct, worse)
    if out.verdict == "inconclusive":
        needed = stats.passes_needed(stats.margin(est, bounds), spread2, have)
        out["runs_needed" if method == "runs" else "passes_needed"] = needed
    return out


def _method(ra: reading.Run, rb: reading.Run) -> str:
    """runs (several game launches: each launch one value), passes (two or
    more passes of one launch each), bootstrap (one pass) or none."""
    counts = (len(launches(ra)), len(launches(rb)))
    if max(counts) > 1:
        return "runs" if min(counts) > 1 else "none"
    if min(len(ra.passes), len(rb.passes)) >= 2:
        return "passes"
    if ra.has_frames and rb.has_frames and ra.frames_per_pass and rb.frames_per_pass:
        return "bootstrap"
    return "none"


def _mean_pass(run: reading.Run) -> np.ndarray:
    # Frame by frame over the passes, added in pass order as np.mean over
    # them would, without a copy of every pass at once.
    if len(run.passes) == 1:
        return run.passes[0].frame_ms
    total = run.passes[0].frame_ms.copy()
    for p in run.passes[1:]:
        total += p.frame_ms
    return total / len(run.passes)


def _block(ra: reading.Run, rb: reading.Run) -> int:
    # Block length from the frame-by-frame difference of the runs' mean
    # passes (the path's own slow and fast stretches cancel there), or from
    # each run alone when their lengths differ.
    a, b = _mean_pass(ra), _mean_pass(rb)
    if len(a) == len(b):
        return stats.block_length(b - a)
    return max(stats.block_length(a), stats.block_length(b))


def _segment_rows(ra: reading.Run, rb: reading.Run, seg_list: list, method: str,
                  block: Optional[int], pct: float) -> list[SegmentRow]:
    """Each segment's change of the mean, Holm's correction across them."""
    rows = []
    for seg in seg_list:
        span = slice(seg["first_frame"], seg["last_frame"])
        row = SegmentRow(seg["index"], _interval(ra, rb, "mean", span, method, block, pct))
        for side, run in (("a", ra), ("b", rb)):
            st = [_stutters(p, span) for p in run.passes]
            row[side] = SegmentSide(mean=float(np.mean(_pass_values(run, "mean", span))),
                                    p99=float(np.mean(_pass_values(run, "p99", span))),
                                    stutters=_sum([s[0] for s in st]),
                                    stutters_with_chunk_builds=_sum([s[1] for s in st]))
        rows.append(row)
    # Holm's correction across the segments decides which of them changed.
    adjusted = stats.holm([r["change"]["p"] if r["change"]["p"] is not None else 1.0
                           for r in rows])
    for row, p_holm in zip(rows, adjusted):
        c = row["change"]
        c["p_holm"] = p_holm
        c["verdict"] = stats.classify(c["change_pct"], c["ci_pct"], p_holm, pct) \
            if c["change_pct"] is not None and method != "bootstrap" else "inconclusive"
    return rows


def method_text(cmp: Comparison, timed: bool = False) -> str:
    """How the comparison's intervals were made, in words; timed: the
    launches' places in the session are known."""
    m = cmp["method"]
    if m == "runs":
        return ("95%% intervals from the runs (%d and %d game launches, each the mean of the "
                "logs of its per-pass values, as launches differ more than passes do; %s)"
                % (*cmp["launches"], "least squares on variant and session time, which "
                   "takes a linear drift out, t with launches - 3 df" if timed else "Welch t"))
    if m == "passes":
        return ("95%% intervals from the passes (Welch t over the logs of %d and %d per-pass "
                "values; the change is that of the geometric mean over passes)" % tuple(cmp["passes"]))
    if m == "bootstrap":
        return ("one pass in a run: no verdict, as one pass can't show how passes differ; "
                "95%% intervals from a block bootstrap of the frames for information "
                "(%d resamples, blocks of %d frames, seed %d, t with frames/block - 1 df; "
                "none for fewer than 2 blocks)"
                % (stats.RESAMPLES, cmp["bootstrap_block"], stats.SEED))
    if max(cmp["launches"]) > 1:
        return "no intervals: a run from a single game launch against one from several"
    return "no intervals: one pass without per-frame times (or passes of differing lengths)"


def compare(ra: reading.Run, rb: reading.Run, seg_list: list, pct: float,
            keys: Sequence[str] = tuple(metrics.COMPARED)) -> Comparison:
    """The comparison of run rb against ra: intervals, verdicts, segments."""
    method = _method(ra, rb)
    block = _block(ra, rb) if method == "bootstrap" else None
    cmp = Comparison(run=rb.label, against=ra.label, method=method,
                     passes=[len(ra.passes), len(rb.passes)],
                     launches=[len(launches(ra)), len(launches(rb))], bootstrap_block=block)
    cmp.method_text = method_text(cmp, _times(ra) is not None and _times(rb) is not None)
    cmp.intervals = {k: _interval(ra, rb, k, slice(None), method, block, pct) for k in keys}
    cmp.verdict = cmp.intervals["mean"].verdict
    cmp.segments = _segment_rows(ra, rb, seg_list, method, block, pct) if seg_list else []
    return cmp


def _segment_plan(runs: Sequence[reading.Run],
                  keyframes: Optional[Sequence[int]]) -> tuple[list, Optional[str]]:
    """The segments, or none with the reason why."""
    lengths = {r.frames_per_pass for r in runs}
    if not all(r.has_frames for r in runs):
        return [], "no segments: a stdout log has no per-frame times"
    if None in lengths or len(lengths) != 1:
        return [], "no segments: the passes differ in their numbers of frames"
    n = lengths.pop()
    if keyframes is not None:
        if keyframes[-1] != n:
            raise reading.InputError("the script's last keyframe is frame %d, but the runs "
                                     "have %d frames per pass" % (keyframes[-1], n))
        return segs.from_keyframes(keyframes), None
    if n < 20:
        return [], "no segments: fewer than 20 frames per pass"
    return segs.stretches(n), None


def drift(runs: Sequence[reading.Run]) -> Optional[str]:
    """A warning when the runs' mean frame times trend with the time order
    of their passes (or, with several game launches, of their launches):
    a common slope within the runs, each at its own level, by the t test of
    the slope at DRIFT_ALPHA. None when nothing drifted or can't be told."""
    groups, several = [], False
    for run in runs:
        values = _pass_values(run, "mean", slice(None))
        if None in values:
            continue
        logs = np.log(values)
        parts = launches(run)
        if len(parts) > 1:  # one value per launch, at its place in the session
            several = True
            orders = [getattr(p, "order", None) for p in run.passes]
            x = [float(np.mean([orders[i] if orders[i] is not None else k for i in g]))
                 for k, g in enumerate(parts)]
            y = [float(np.mean(logs[g])) for g in parts]
        else:  # a file's passes are in the order they ran
            x, y = list(range(len(logs))), list(logs)
        if len(x) >= 2:
            groups.append((x, y))
    found = stats.trend(groups) if groups else None
    if found is None or found[1] >= DRIFT_ALPHA:
        return None
    slope, p = found
    p_text = "p = %.3f" % p if p >= 0.001 else "p < 0.001"
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


def analyse(runs: Sequence[reading.Run], keyframes: Optional[Sequence[int]] = None,
            script: Optional[str] = None, pct: float = 1.0,
            warnings: Sequence[str] = ()) -> Document:
    """The analysis document of the runs, the first one A.

    warnings: one-line warnings of the caller (e.g. differing environments),
    shown above the verdict; the analysis adds its own (drift)."""
    seg_list, note = _segment_plan(runs, keyframes)
    found = drift(runs) if len(runs) > 1 else None
    doc = Document(
        format="flycompare", version=FORMAT_VERSION,
        settings=Settings(min_effect_pct=pct, confidence=stats.CONFIDENCE,
                          segments=(None if not seg_list else
                                    "keyframes" if keyframes is not None else "stretches"),
                          script=script, correction="holm",
                          bootstrap={"resamples": stats.RESAMPLES, "seed": stats.SEED,
                                     "block_factor": stats.BLOCK_FACTOR,
                                     "min_block": stats.MIN_BLOCK}),
        warnings=list(warnings) + ([found] if found else []),
        runs=[run_doc(r) for r in runs],
        segments=seg_list, segments_note=note,
        comparisons=[compare(runs[0], r, seg_list, pct) for r in runs[1:]])
    # The plain change of every metric's run value, as the comparison table shows it.
    base = doc["runs"][0]["across_passes"]
    for cmp, run in zip(doc["comparisons"], doc["runs"][1:]):
        cmp["metrics"] = {k: {"a": base[k]["mean"], "b": run["across_passes"][k]["mean"],
                              "change_pct": relative(base[k]["mean"], run["across_passes"][k]["mean"])}
                          for k in metrics.METRICS}
    return doc


def relative(a: Optional[float], b: Optional[float]) -> Optional[float]:
    """Change of b against a in percent, or None."""
    if a is None or b is None or a == 0 or not math.isfinite(a):
        return None
    return (b - a) / a * 100.0
