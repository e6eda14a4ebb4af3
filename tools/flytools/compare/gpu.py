# gpu.py: what bounds the flight, GPU or CPU, from the GPU times the
# plug-in logs with FLYRATE_GPU=1: each run's GPU time per frame and share
# of GPU-bound frames (metrics.gpu_bound's rule) over the whole path and per
# segment, and between two runs the change of the GPU time, an interval
# made as the frame-time metrics' are, and of the GPU-bound share, in
# percentage points over the same units (passes, or launches).
from typing import Optional, Sequence

import numpy as np

from .. import metrics
from ..records import GpuChange, GpuSide, GpuSpans, Run, ShareChange
from ..stats import inference as stats
from .intervals import interval, launch_times, pass_values, run_units

GPU_MS, BOUND = metrics.BY_NAME["gpu"], metrics.BY_NAME["gpu_bound"]
# A span is GPU-bound when more than this share of its frames with GPU times are.
MOST_PCT = 50.0


def _spans(seg_list: Sequence) -> list[slice]:
    """The whole path, then each segment."""
    return [slice(None)] + [slice(s.first_frame, s.last_frame) for s in seg_list]


def _mean(values: list) -> Optional[float]:
    return None if not values or None in values else float(np.mean(values))


def side(run: Run, span: slice) -> GpuSide:
    """One run's GPU figures over a span, means over its passes."""
    ms, share = _mean(pass_values(run, GPU_MS, span)), _mean(pass_values(run, BOUND, span))
    return GpuSide(ms, share, None if share is None else "GPU" if share > MOST_PCT else "CPU")


def run_figures(run: Run, seg_list: Sequence) -> Optional[GpuSpans]:
    """A run's GPU figures, whole path and segments; None without GPU times."""
    if not run.has_gpu:
        return None
    path, *segs = (side(run, span) for span in _spans(seg_list))
    return GpuSpans(path, tuple(segs))


def share_change(ra: Run, rb: Run, span: slice, method: str) -> ShareChange:
    """B's GPU-bound share less A's, in points; its interval from the runs'
    independent values (passes, or each launch's mean), the session's drift
    taken out where the launches' times are known, as for the frame times."""
    va, vb = pass_values(ra, BOUND, span), pass_values(rb, BOUND, span)
    if None in va or None in vb:
        return ShareChange()
    a, b = float(np.mean(va)), float(np.mean(vb))
    if method == "none":
        return ShareChange(a, b, b - a)
    ua, ub = run_units(ra, va, method), run_units(rb, vb, method)
    ta, tb = (launch_times(ra), launch_times(rb)) if method == "runs" else (None, None)
    est, se, df = stats.drift_adjusted(ta, ua, tb, ub) if ta and tb else stats.welch(ua, ub)
    return ShareChange(a, b, est, [float(np.clip(x, -100.0, 100.0)) for x in stats.interval(est, se, df)])


def compare(ra: Run, rb: Run, seg_list: Sequence, method: str, pct: float,
            levels: Sequence[str]) -> Optional[GpuSpans]:
    """Run rb's GPU figures against ra's, whole path and segments; None
    unless both logged GPU times."""
    if not (ra.has_gpu and rb.has_gpu):
        return None
    path, *segs = (GpuChange(interval(ra, rb, GPU_MS, span, method, pct, levels),
                             share_change(ra, rb, span, method)) for span in _spans(seg_list))
    return GpuSpans(path, tuple(segs))
