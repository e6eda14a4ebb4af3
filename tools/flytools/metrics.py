# metrics.py: the per-pass frame-time metrics, defined once here for the
# tables, the comparisons and the help text. The three compared metrics
# (mean, p99, 1% low) work on the last axis of an array, so the bootstrap
# can apply them to a thousand resampled passes at once.
import numpy as np

STUTTER_FACTOR = 2.5
MAX_PASS_SECONDS = 86400

METRICS = ["frames", "seconds", "fps", "mean", "median", "p95", "p99",
           "p99.9", "max", "low1", "low01", "stutters"]
HEADINGS = {"low1": "1% low", "low01": "0.1% low"}
PERMILLE = {"p95": 950, "p99": 990, "p99.9": 999}

HELP = """\
metrics, per run and pass (frame times in ms; N = frames in the pass):
  frames     N
  seconds    sum of the pass's frame times / 1000
  fps        N / seconds
  mean       sum of frame times / N (the mean frame time)
  median     middle frame time (mean of the two middle ones for even N)
  p95, p99, p99.9
             the sorted frame time at 0-based index floor(N*p/100): the
             smallest time with more than p% of the frames at or below it
             (the rule the plug-in's summary line uses for p99)
  max        slowest frame time
  1% low     1000 / (mean of the slowest ceil(N/100) frames): the fps
             equivalent of the mean of the slowest 1% (at least 1 frame)
  0.1% low   the same over the slowest ceil(N/1000) frames
  stutters   frames slower than 2.5 x the pass's median; with a chunks
             column, split into frames that built chunks (chunks > 0) and
             frames that did not
  From a stdout log only frames, seconds, fps, mean, p99 and max are known
  (as printed, rounded); the others show "-".
  A run's value of any metric is the mean of its passes' values; across
  passes the tables also show the sample standard deviation (n-1)."""


def _percentile(x, permille):
    k = x.shape[-1] * permille // 1000
    return np.partition(x, k, axis=-1)[..., k]


def mean_ms(x):
    return np.mean(x, axis=-1)


def p99_ms(x):
    return _percentile(x, 990)


def low1_fps(x):
    n = x.shape[-1]
    k = (n + 99) // 100
    return 1000.0 / np.mean(np.partition(x, n - k, axis=-1)[..., n - k:], axis=-1)


# The metrics compared with intervals: name -> (function, +1 where larger is
# slower or -1 where larger is faster, label, unit).
COMPARED = {
    "mean": (mean_ms, 1, "mean frame time", "ms"),
    "p99": (p99_ms, 1, "p99 frame time", "ms"),
    "low1": (low1_fps, -1, "1% low", "fps"),
}


def low_fps(sorted_ms, per):
    """fps equivalent of the mean of the slowest ceil(N / per) frames."""
    k = (len(sorted_ms) + per - 1) // per
    return 1000.0 / float(np.mean(sorted_ms[-k:]))


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


def frame_metrics(frame_ms):
    """All per-pass metrics from the frame times in milliseconds."""
    s = np.sort(np.asarray(frame_ms, dtype=np.float64))
    n = len(s)
    # Summed smallest first, like the plug-in, so seconds and fps match
    # its summary line for the same frames.
    total = float(np.cumsum(s)[-1])
    median = float((s[(n - 1) // 2] + s[n // 2]) / 2)  # np.median's, from the sorted times
    m = {
        "frames": n,
        "seconds": total / 1000,
        "fps": n / (total / 1000),
        "mean": total / n,
        "median": median,
        "max": float(s[-1]),
        "low1": low_fps(s, 100),
        "low01": low_fps(s, 1000),
        "stutters": int(np.count_nonzero(s > STUTTER_FACTOR * median)),
    }
    for name, q in PERMILLE.items():
        m[name] = float(s[n * q // 1000])
    return m


def summary_metrics(summary):
    """The metrics a stdout log's summary line gives; the rest unknown."""
    m = {name: None for name in METRICS}
    m.update({k: summary[k] for k in ("frames", "seconds", "fps", "mean", "p99", "max")})
    return m
