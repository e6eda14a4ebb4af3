# metrics.py: the per-pass frame-time metrics, one row each in METRICS: its
# name, how tables head it and what it is called, its unit, which direction
# is worse, how a pass's value is worked, its database column and its
# definition. The help text, flycompare's tables, intervals and charts, the
# JSON and flyhistory's columns, lines and page are all derived from these
# rows, so a metric is added by adding its row (and, for the database, a
# migration adding its column). The compared metrics also work on the last
# axis of an array, so that many passes are worked at once. The GPU's
# metrics read the pass's GPU times instead of its frame times, and with
# them is the rule that tells a GPU-bound frame from a CPU-bound one.
from dataclasses import dataclass
from typing import Callable, Optional

import numpy as np

STUTTER_FACTOR = 2.5
MAX_PASS_SECONDS = 86400


def mean_ms(x):
    return np.mean(x, axis=-1)


def _percentile(x, permille):
    k = x.shape[-1] * permille // 1000
    return np.partition(x, k, axis=-1)[..., k]


def p99_ms(x):
    return _percentile(x, 990)


def low1_fps(x):
    n = x.shape[-1]
    k = (n + 99) // 100
    return 1000.0 / np.mean(np.partition(x, n - k, axis=-1)[..., n - k:], axis=-1)


def pacing_ms(x):
    return np.mean(np.abs(np.diff(x, axis=-1)), axis=-1)


def known_mean(x):
    """The mean of the known (not NaN) values along the last axis; NaN,
    without numpy's warning, where none is."""
    known = ~np.isnan(x)
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.sum(np.where(known, x, 0.0), axis=-1) / np.sum(known, axis=-1)


def gpu_bound(frame_ms, lag_ms):
    """Per frame 1.0 where the GPU set the pace, 0.0 where the CPU did, NaN
    where the frame has no GPU times. A frame is GPU-bound when the GPU was
    at least its frame time behind the game's thread at the frame's end:
    the swap chain had a frame or more queued, so the CPU waited on the GPU.
    A CPU-bound frame's lag is its own rendering, which the GPU finishes
    within the frame. On the stand-in's known loads this called 99% of a
    fill-heavy run's frames GPU-bound and 3% of a busy render thread's."""
    lag = np.asarray(lag_ms, dtype=np.float64)
    return np.where(np.isnan(lag), np.nan, (lag >= frame_ms).astype(np.float64))


def bound_pct(x):
    """The share in percent of the frames with GPU times that were GPU-bound."""
    return known_mean(x) * 100.0


def _known(value):
    return None if value is None or not np.isfinite(value) else float(value)


def low_fps(sorted_ms, per):
    """fps equivalent of the mean of the slowest ceil(N / per) frames."""
    k = (len(sorted_ms) + per - 1) // per
    return 1000.0 / float(np.mean(sorted_ms[-k:]))


class PassView:
    """A pass's frame times as the metrics read them: in order (x), sorted
    (s), their sum (smallest first, like the plug-in, so that seconds and fps
    match its summary line) and median; the chunk builds if logged."""

    def __init__(self, frame_ms, chunks=None, stutters=None, gpu_ms=None, bound=None):
        self.gpu_ms, self.bound = gpu_ms, bound
        self.x = np.asarray(frame_ms, dtype=np.float64)
        self.s = np.sort(self.x)
        self.n = len(self.s)
        self.total = float(np.cumsum(self.s)[-1])
        self.median = float((self.s[(self.n - 1) // 2] + self.s[self.n // 2]) / 2)
        self.chunks, self.stutters = chunks, stutters


@dataclass(frozen=True)
class Metric:
    name: str                    # in the JSON and on the command line
    heading: str                 # a table's column
    label: str                   # in sentences and chart titles
    unit: str
    worse: int                   # +1: larger is worse, -1: larger is better
    per_pass: Callable[[PassView], Optional[float]]
    column: str                  # in flyhistory's pass_metrics
    definition: str              # the help text's
    of_array: Optional[Callable] = None   # set: compared with an interval, along the last axis
    detected: bool = False       # flyhistory searches its history for steps
    count: bool = False          # a count: shown whole where it is
    in_tables: bool = True       # flycompare's per-pass table (else stored only)
    summary_key: Optional[str] = None     # printed in a stdout log's summary line
    source: str = "frame_ms"     # the pass's per-frame array that of_array reads


def _chunky(v: PassView) -> Optional[int]:
    if v.chunks is None:
        return None
    return int(np.count_nonzero(v.stutters & (v.chunks > 0)))


METRICS = (
    Metric("frames", "frames", "frames", "frames", 0, lambda v: v.n, "frames", "N",
           count=True, summary_key="frames"),
    Metric("seconds", "seconds", "seconds", "s", 0, lambda v: v.total / 1000, "seconds",
           "sum of the pass's frame times / 1000", summary_key="seconds"),
    Metric("fps", "fps", "fps", "fps", -1, lambda v: v.n / (v.total / 1000), "fps", "N / seconds",
           summary_key="fps"),
    Metric("mean", "mean", "mean frame time", "ms", 1, lambda v: v.total / v.n, "mean",
           "sum of frame times / N (the mean frame time)", of_array=mean_ms, detected=True,
           summary_key="mean"),
    Metric("median", "median", "median frame time", "ms", 1, lambda v: v.median, "median",
           "middle frame time (mean of the two middle ones for even N)"),
    Metric("p95", "p95", "p95 frame time", "ms", 1, lambda v: float(v.s[v.n * 950 // 1000]), "p95",
           "the sorted frame time at 0-based index floor(N*95/100)"),
    Metric("p99", "p99", "p99 frame time", "ms", 1, lambda v: float(v.s[v.n * 990 // 1000]), "p99",
           "the same at floor(N*99/100): the smallest time with more\n"
           "than 99% of the frames at or below it (the rule of the\nplug-in's summary line)",
           of_array=p99_ms, detected=True, summary_key="p99"),
    Metric("p99.9", "p99.9", "p99.9 frame time", "ms", 1, lambda v: float(v.s[v.n * 999 // 1000]), "p999",
           "the same at floor(N*99.9/100)"),
    Metric("max", "max", "max frame time", "ms", 1, lambda v: float(v.s[-1]), "maximum",
           "slowest frame time", summary_key="max"),
    Metric("low1", "1% low", "1% low", "fps", -1, lambda v: low_fps(v.s, 100), "low1",
           "1000 / (mean of the slowest ceil(N/100) frames): the fps\n"
           "equivalent of the mean of the slowest 1% (at least 1 frame)", of_array=low1_fps, detected=True),
    Metric("low01", "0.1% low", "0.1% low", "fps", -1, lambda v: low_fps(v.s, 1000), "low01",
           "the same over the slowest ceil(N/1000) frames"),
    Metric("stutters", "stutters", "stutters", "frames", 1,
           lambda v: int(np.count_nonzero(v.s > STUTTER_FACTOR * v.median)), "stutters",
           "frames slower than 2.5 x the pass's median; with a chunks\n"
           "column, split into frames that built chunks (chunks > 0) and\nframes that did not", count=True),
    Metric("pacing", "pacing", "frame pacing", "ms", 1,
           lambda v: float(np.mean(np.abs(np.diff(v.x)))) if v.n > 1 else 0.0, "pacing",
           "mean absolute change between consecutive frame times (lower is\nsmoother)",
           of_array=pacing_ms),
    Metric("chunk_stutters", "st+ch", "stutters in frames that built chunks", "frames", 1, _chunky,
           "chunk_stutters", "", count=True, in_tables=False),
    Metric("chunk_builds", "builds", "chunk builds", "", 1,
           lambda v: None if v.chunks is None else int(np.sum(v.chunks)), "chunk_builds", "",
           count=True, in_tables=False),
    Metric("gpu", "gpu ms", "GPU time", "ms", 1, lambda v: None if v.gpu_ms is None else _known(known_mean(v.gpu_ms)),
           "gpu_ms", "mean GPU time per frame (gpu_ms) over the frames that have one", of_array=known_mean,
           in_tables=False, source="gpu_ms"),
    Metric("gpu_bound", "GPU-bound", "GPU-bound frames", "%", 0,
           lambda v: None if v.bound is None else _known(bound_pct(v.bound)), "gpu_bound",
           "share of the frames with GPU times that were GPU-bound (gpu_lag_ms >= frame_ms)",
           of_array=bound_pct, in_tables=False, source="gpu_bound"),
)
BY_NAME = {m.name: m for m in METRICS}
TABLE = tuple(m for m in METRICS if m.in_tables)            # flycompare's per-pass metrics
COMPARED = tuple(m for m in METRICS if m.of_array is not None and m.source == "frame_ms")
GPU = tuple(m for m in METRICS if m.source != "frame_ms")   # from the GPU times, when logged
DETECTED = tuple(m for m in METRICS if m.detected)
COLUMNS = {m.name: m.column for m in METRICS}              # flyhistory's per-pass columns


def help_text() -> str:
    """The metrics' part of flycompare --help."""
    lines = ["metrics, per run and pass (frame times in ms; N = frames in the pass):"]
    for m in TABLE:
        first, *rest = m.definition.split("\n")
        name = m.heading
        lines.append("  %-10s %s" % (name, first) if len(name) <= 10 else "  %s\n             %s" % (name, first))
        lines += ["             " + r for r in rest]
    lines += ["  From a stdout log only %s are known" % ", ".join(m.name for m in TABLE if m.summary_key),
              "  (as printed, rounded); the others show \"-\".",
              "  A run's value of any metric is the mean of its passes' values; across",
              "  passes the tables also show the sample standard deviation (n-1)."]
    return "\n".join(lines)


def stutter_mask(frame_ms):
    """Frames slower than STUTTER_FACTOR x the pass's median."""
    return frame_ms > STUTTER_FACTOR * float(np.median(frame_ms))


def per_second_counts(frame_ms):
    """Frames completed in each whole second, as the plug-in counts them;
    None for a pass longer than a day, which no flight is (a corrupt log
    would otherwise make a list of that many seconds)."""
    if float(np.sum(frame_ms)) > MAX_PASS_SECONDS * 1000:
        return None
    # The plug-in's loop adds ms / 1000 frame by frame and emits a count each
    # time the running sum reaches the next whole second; cumsum adds in the
    # same order, so the sums and the boundaries they reach are the same.
    elapsed = np.asarray(frame_ms, dtype=np.float64) / 1000
    np.cumsum(elapsed, out=elapsed)
    seconds = int(elapsed[-1]) if len(elapsed) else 0
    # Index of the frame that reaches each boundary 1, 2, ...; a frame that
    # reaches several gives its count to the first and 0 to the others.
    reach = np.searchsorted(elapsed, np.arange(1, seconds + 1, dtype=np.float64), side="left")
    return np.diff(reach, prepend=-1).tolist()


def frame_metrics(frame_ms, chunks=None, stutters=None, gpu_ms=None, bound=None) -> dict:
    """Every per-pass metric from the frame times in milliseconds (and the
    chunk builds with the stutter mask, for the chunk columns; the GPU
    times and gpu_bound's frames, for the GPU's)."""
    view = PassView(frame_ms, chunks, stutters, gpu_ms, bound)
    return {m.name: m.per_pass(view) for m in METRICS}


def summary_metrics(summary: dict) -> dict:
    """The metrics a stdout log's summary line gives; the rest unknown."""
    return {m.name: summary.get(m.summary_key) if m.summary_key else None for m in METRICS}
