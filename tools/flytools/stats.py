# stats.py: the statistics behind the verdicts: Welch intervals over
# independent values (passes, or launches of the game), a seeded circular
# block bootstrap of the frames for runs with a single pass, Holm's
# correction across segments, a test for drift over time, and the
# classification of a change against the --min-effect threshold. Changes
# are worked as log ratios ln(B/A), so an interval turned back into percent
# never reaches below -100%. Student's t comes from SciPy's special
# functions (stdtr and stdtrit, what scipy.stats.t is built on, without
# the second of start-up that importing scipy.stats costs every run).
# Written here: the block bootstrap, which no library has, the fit of the
# drift, and Holm's correction (a few lines; SciPy 1.10 has none, and
# statsmodels, which has it, would be a large dependency for them).
import math
from typing import Optional, Sequence

import numpy as np
from scipy import special

from . import metrics

CONFIDENCE = 0.95
ALPHA = 1.0 - CONFIDENCE
RESAMPLES = 1000
SEED = 1
MIN_BLOCK = 10
DIRECT_LAGS = 64
BLOCK_FACTOR = 4
MAX_PASSES_SUGGESTED = 200


def t_two_sided_p(t: float, df: float) -> float:
    """P(|T| >= |t|) for Student's t with df degrees of freedom (df may be inf)."""
    return float(2.0 * special.stdtr(df, -abs(t)))


def t_quantile(prob: float, df: float) -> float:
    """t with P(T <= t) = prob (df may be inf)."""
    return float(special.stdtrit(df, prob))


def welch(a: Sequence[float], b: Sequence[float], floor_a: float = 0.0,
          floor_b: float = 0.0) -> tuple[float, float, float]:
    """Difference mean(b) - mean(a) of per-pass values, its standard error
    and Welch's degrees of freedom. Needs two values on each side.

    floor_a, floor_b: a known lower bound on the variance of one value of
    each side (the rounding of printed figures): a sample variance below it
    is raised to it, so values that agree only because they were rounded
    never make an interval of zero width."""
    a = np.asarray(a, dtype=np.float64)
    b = np.asarray(b, dtype=np.float64)
    va = max(float(np.var(a, ddof=1)), floor_a) / len(a)
    vb = max(float(np.var(b, ddof=1)), floor_b) / len(b)
    se2 = va + vb
    diff = float(np.mean(b) - np.mean(a))
    if se2 == 0.0:
        return diff, 0.0, math.inf
    df = se2 * se2 / (va * va / (len(a) - 1) + vb * vb / (len(b) - 1))
    return diff, math.sqrt(se2), df


def drift_adjusted(xa: Sequence[float], a: Sequence[float], xb: Sequence[float],
                   b: Sequence[float], floor: float = 0.0) -> tuple[float, float, float]:
    """Difference b - a of values taken at times xa and xb in one session,
    with a linear drift over time removed: least squares of value on
    (1, is b, time); its standard error and the n - 3 degrees of freedom.
    Needs two values on each side and times that aren't all one.

    floor: a known lower bound on the variance of one value."""
    x = np.concatenate([xa, xb]).astype(np.float64)
    y = np.concatenate([a, b]).astype(np.float64)
    design = np.column_stack([np.ones_like(x), np.r_[np.zeros(len(a)), np.ones(len(b))], x])
    coef, _, rank, _ = np.linalg.lstsq(design, y, rcond=None)
    df = len(y) - 3
    if rank < 3 or df < 1:
        return welch(a, b, floor, floor)
    resid = y - design @ coef
    s2 = max(float(resid @ resid) / df, floor)
    cov = s2 * np.linalg.inv(design.T @ design)
    return float(coef[1]), math.sqrt(float(cov[1, 1])), float(df)


def rounding_variance(values: Sequence[float], half_width: float) -> float:
    """Variance that rounding to +-half_width adds to the log of a value
    (uniform error: half_width^2 / 3, over value^2 in log terms), at the
    smallest of the values."""
    return half_width * half_width / 3.0 / min(values) ** 2


def trend(groups: Sequence[tuple[Sequence[float], Sequence[float]]]) -> Optional[tuple[float, float]]:
    """A common linear trend of y over time x within groups (each group its
    own level): the slope by least squares and its two-sided p from the t
    test of the slope (n - groups - 1 degrees of freedom). None when there
    are too few values or the times don't vary.

    groups: (x, y) per group, e.g. per run (pass order, log mean frame time)."""
    xs, ys = [], []
    for x, y in groups:
        x, y = np.asarray(x, dtype=np.float64), np.asarray(y, dtype=np.float64)
        xs.append(x - x.mean())
        ys.append(y - y.mean())
    x, y = np.concatenate(xs), np.concatenate(ys)
    df = len(x) - len(groups) - 1
    sxx = float(x @ x)
    if df < 1 or sxx == 0.0:
        return None
    slope = float(x @ y) / sxx
    resid = y - slope * x
    s2 = float(resid @ resid) / df
    if s2 == 0.0:
        return slope, 0.0 if slope != 0.0 else 1.0
    return slope, t_two_sided_p(slope / math.sqrt(s2 / sxx), df)


def block_length(series: Sequence[float]) -> int:
    """Frames per bootstrap block: four times the lag at which the series'
    autocorrelation first falls to the noise level 2/sqrt(n), at least 10.
    Blocks well beyond the correlation keep slow stretches together; at
    twice the lag, simulated A/A pairs still got 7-9% false alarms where
    5% were due, at four times about 5%."""
    x = np.asarray(series, dtype=np.float64)
    x = x - x.mean()
    n = len(x)
    energy = float(x @ x)
    if n < 4 or energy == 0.0:
        return MIN_BLOCK
    noise = 2.0 / math.sqrt(n)
    # Frame times decorrelate within a few dozen frames: the first lags one
    # product at a time, which needs no memory beyond the series; only a
    # series still correlated past them takes the FFT over twice its length
    # (for 5 million frames, half a gigabyte and seconds).
    for lag in range(1, min(n, DIRECT_LAGS + 1)):
        if float(x[:-lag] @ x[lag:]) / energy < noise:
            return max(MIN_BLOCK, BLOCK_FACTOR * lag)
    spectrum = np.fft.rfft(x, 2 * n)
    acf = np.fft.irfft(spectrum * np.conj(spectrum))[:n] / energy
    below = np.nonzero(acf[1:] < noise)[0]
    lag = int(below[0]) + 1 if len(below) else n
    return max(MIN_BLOCK, BLOCK_FACTOR * lag)


# The bootstrap works through its resamples a few at a time, so that its
# scratch arrays hold about this many numbers whatever the pass's length.
CHUNK_ELEMENTS = 1 << 22


def _block_starts(rng, n, block, resamples):
    # Random starts of the ceil(n / block) blocks of each resample. Drawn a
    # few resamples at a time, the generator gives the same numbers in the
    # same order as one draw of them all.
    return rng.integers(0, n, size=(resamples, -(-n // block), 1))


def _block_indices(rng, n, block, resamples):
    # Circular block bootstrap: blocks of `block` consecutive frames from
    # random starts, wrapping at the end, cut to n frames.
    starts = _block_starts(rng, n, block, resamples)
    return ((starts + np.arange(block)) % n).reshape(resamples, -1)[:, :n]


def _last_block(n, block):
    # Length of a resample's last block, cut so the resample holds n frames.
    return n - (-(-n // block) - 1) * block


def _means(x, block):
    # Mean of each resample from block sums: for every start, the sum of
    # the whole block from there (wrapping past the end), so a resample
    # costs one look-up per block rather than one number per frame; the
    # shorter last block is summed from its frames.
    n = x.shape[1]
    last = _last_block(n, block)
    whole = [_windows(n, block, np.float64, lambda i, row=row: row[i]) for row in x]

    def means(starts):
        s = starts[:, :-1, 0]
        idx = (starts[:, -1] + np.arange(last)) % n   # the last block's frames
        return np.mean([(np.take(w, s).sum(axis=1) + row[idx].sum(axis=1)) / n
                        for w, row in zip(whole, x)], axis=0)
    return means


def _prefix(values):
    return np.concatenate(([0], np.cumsum(values)))


def _spread(row, k, block):
    """Eight standard deviations, and a margin, of how many of the pass's k
    slowest frames a resample holds: it draws its blocks from the pass's
    windows of `block` frames, so the count varies as theirs do. A band that
    wide around rank k holds the stat's frame in all but a vanishing few of
    the resamples (which are still worked exactly, only slower)."""
    n = len(row)
    threshold = np.partition(row, n - k)[n - k]
    windows = _windows(n, block, np.int32, lambda i: row[i] >= threshold)
    return int(8 * math.sqrt(-(-n // block) * float(np.var(windows)))) + 64


def _windows(n, block, dtype, values_of):
    """The sums of `block` consecutive values from each of n starts,
    wrapping past the end as the bootstrap's blocks do. values_of(index)
    gives the values at an index (a slice, or an array where it wraps);
    they are asked for and summed a million starts at a time, each stretch
    with its own running sum, so nothing of the pass's size is made but the
    result."""
    out = np.empty(n, dtype=dtype)
    for lo in range(0, n, 1 << 20):
        hi = min(lo + (1 << 20), n)
        part = values_of(slice(lo, hi + block) if hi + block <= n else np.arange(lo, hi + block) % n)
        ahead = np.zeros(len(part) + 1, dtype=np.float64 if out.dtype.kind == "f" else np.int64)
        np.cumsum(part, out=ahead[1:])
        out[lo:hi] = ahead[block:block + hi - lo] - ahead[:hi - lo]
    return out


def _tail(row, block, stat):
    # p99 or 1% low of each resample from a few of the pass's slowest frames.
    # The pass's frames are ranked slowest first: a top set, a band of ranks
    # around the one the stat needs, the rest. A resample's k-th slowest
    # frame lies in the band when it holds fewer than k copies of top
    # frames and at least k of top and band together; then only its band
    # frames are gathered (top counts and sums come from prefix sums, one
    # number per block). Other resamples, rare, are gathered whole.
    n = len(row)
    above = n - n * 990 // 1000          # rank of the p99 frame, slowest first
    low = (n + 99) // 100                # frames of the 1% low
    k = above if stat is metrics.p99_ms else low
    width = max(min(k // 4, _spread(row, k, block)), 64)
    top, band_end = max(k - width, 0), k + width
    if band_end >= n // 2:
        return None
    last = _last_block(n, block)
    order = np.argpartition(row, [n - band_end, n - top] if top else [n - band_end])
    # Each frame's class (2 top, 1 band, 0 the rest); a block's band frames
    # are a run of consecutive band entries.
    marks = np.zeros(n, dtype=np.int8)
    marks[order[n - top:]] = 2
    band = np.sort(order[n - band_end:n - top])
    marks[band] = 1
    del order
    # Before each position, the band frames so far (in the smallest type
    # that holds the band's size).
    band_before = np.zeros(n + 1, dtype=np.uint16 if len(band) < 1 << 16 else np.int32)
    np.cumsum(marks == 1, out=band_before[1:])
    band_values = row[band]
    band_values = np.concatenate((band_values, band_values))  # blocks may wrap past the end
    # For every start, a whole block's top and band counts packed in one
    # small number, so that a resample costs one look-up per block; the
    # shorter last block is counted from its frames.
    shift, wide = (8, np.uint16) if block < 1 << 8 else (16, np.int32) if block < 1 << 15 else (32, np.int64)
    whole = _windows(n, block, wide, lambda i: np.where(marks[i] == 2, 1 << shift, marks[i]))
    top_before = top_sums = None
    if stat is metrics.low1_fps:
        # A block's top frames are a run of consecutive top entries too:
        # their times' sum is a difference of the top frames' running sum.
        top_before = np.zeros(n + 1, dtype=np.uint16 if top < 1 << 16 else np.int32)
        np.cumsum(marks == 2, out=top_before[1:])
        top_times = row[marks == 2]
        top_sums = _prefix(np.concatenate((top_times, top_times)))

    def tail(starts):
        s = starts[:, :-1, 0]
        inside = np.take(whole, s)
        ahead = (inside >> shift).sum(axis=1, dtype=np.int64)
        idx = (starts[:, -1] + np.arange(last)) % n   # the last block's frames
        ends = np.take(marks, idx)
        ahead += (ends == 2).sum(axis=1)
        sums = None
        if top_sums is not None:
            first = np.take(top_before, s).astype(np.int64)
            sums = (np.take(top_sums, first + (inside >> shift)) - np.take(top_sums, first)).sum(axis=1) \
                + np.where(ends == 2, row[idx], 0.0).sum(axis=1)
        counts = np.concatenate((inside & ((1 << shift) - 1), (ends == 1).sum(axis=1)[:, None]), axis=1)
        # The band frames of the blocks that hold any, resample by resample
        # and block by block: each block's run of consecutive band ranks.
        hit = np.flatnonzero(counts)
        flat_counts = counts.ravel()[hit]
        lo = np.take(band_before, starts[:, :, 0].ravel()[hit]).astype(np.int64)
        flat = np.arange(flat_counts.sum()) + np.repeat(lo - (np.cumsum(flat_counts) - flat_counts), flat_counts)
        gathered = np.take(band_values, flat)
        bounds = _prefix(counts.sum(axis=1))
        out = np.empty(len(s))
        for i in range(len(s)):
            vals = gathered[bounds[i]:bounds[i + 1]]
            m, j = len(vals), k - int(ahead[i])      # the stat's frames: the j slowest in the band
            if not 1 <= j <= m:
                idx = ((starts[i] + np.arange(block)) % n).reshape(-1)[:n]
                out[i] = stat(row[idx])
            elif sums is None:
                out[i] = np.partition(vals, m - j)[m - j]
            else:
                out[i] = 1000.0 / ((sums[i] + np.partition(vals, m - j)[m - j:].sum()) / low)
        return out
    return tail


def _resampler(x, block, stat):
    """A function from block starts to the stat of each resample (mean over
    the passes), worked the fast way where the stat is one of metrics'."""
    if stat is metrics.mean_ms:
        return _means(x, block)
    if stat is metrics.p99_ms or stat is metrics.low1_fps:
        tails = [_tail(row, block, stat) for row in x]
        if all(t is not None for t in tails):
            return lambda starts: np.mean([t(starts) for t in tails], axis=0)
    n = x.shape[1]

    def gathered(starts):
        idx = ((starts + np.arange(block)) % n).reshape(len(starts), -1)[:, :n]
        return stat(x[:, idx]).mean(axis=0)
    return gathered


def bootstrap_change(a, b, stat, block, resamples=RESAMPLES, seed=SEED):
    """Bootstrap replicates of the log ratio ln(B/A) of the runs' values.

    a, b: 2-D arrays (passes x frames). stat maps frames on the last axis to
    one value; a run's value is the mean of its passes' values. Runs of the
    same length share the resampled blocks, so frames at the same place on
    the path stay paired. The resamples are worked a few at a time (memory
    stays bounded); the mean, p99 and 1% low of metrics are worked from
    block sums and slowest frames, the same figures as from every resampled
    frame (to rounding), much faster."""
    rng = np.random.default_rng(seed)
    same = b.shape[1] == a.shape[1]
    rng_b = rng if same else np.random.default_rng(seed)
    # Numbers per resample: every frame gathered, or with the fast ways a
    # few per block and the band of slow frames.
    n, passes = max(a.shape[1], b.shape[1]), max(a.shape[0], b.shape[0])
    per_resample = passes * (8 * -(-n // block) + n // 100 if stat in _FAST else n)
    step = max(1, CHUNK_ELEMENTS // per_resample)
    if not same:  # B's blocks are drawn after all of A's, as in one draw of each
        for lo in range(0, resamples, step):
            _block_starts(rng_b, a.shape[1], block, min(step, resamples - lo))
    va, vb = np.empty(resamples), np.empty(resamples)
    of_a, of_b = _resampler(a, block, stat), _resampler(b, block, stat)
    for lo in range(0, resamples, step):
        r = min(step, resamples - lo)
        sa = _block_starts(rng, a.shape[1], block, r)
        sb = sa if same else _block_starts(rng_b, b.shape[1], block, r)
        va[lo:lo + r] = of_a(sa)
        vb[lo:lo + r] = of_b(sb)
    return np.log(vb / va)


_FAST = (metrics.mean_ms, metrics.p99_ms, metrics.low1_fps)


def percent(log_ratio: float) -> float:
    """A log ratio as a change in percent."""
    return (math.exp(log_ratio) - 1.0) * 100.0


def log_bounds(pct: float) -> tuple[float, float]:
    """The no-change band +-pct as log ratios."""
    return math.log1p(-pct / 100.0), math.log1p(pct / 100.0)


def margin(est: float, bounds: tuple[float, float]) -> float:
    """How far the log ratio lies from the threshold that would decide it."""
    lo, hi = bounds
    return est - hi if est > hi else lo - est if est < lo else min(hi - est, est - lo)


def side_p(est: float, se: float, df: float, bounds: tuple[float, float]) -> float:
    """Two-sided p of the change lying beyond the threshold on the side of
    the estimate: below 0.05 exactly when the 95% interval clears it."""
    if bounds[0] <= est <= bounds[1]:
        return 1.0
    if se == 0.0:
        return 0.0
    return min(1.0, t_two_sided_p(margin(est, bounds) / se, df))


def interval(est: float, se: float, df: float) -> tuple[float, float]:
    """The 95% interval of est from its standard error and t with df."""
    half = 0.0 if se == 0.0 else t_quantile(0.5 + CONFIDENCE / 2.0, df) * se
    return est - half, est + half


def holm(pvalues: Sequence[float]) -> list[float]:
    """Holm's step-down adjusted p-values, in the input's order."""
    m = len(pvalues)
    order = sorted(range(m), key=lambda i: pvalues[i])
    adjusted = [1.0] * m
    running = 0.0
    for rank, i in enumerate(order):
        running = max(running, min(1.0, (m - rank) * pvalues[i]))
        adjusted[i] = running
    return adjusted


def classify(est: Optional[float], ci: Optional[Sequence[float]], p: Optional[float],
             pct: float, worse: int = 1) -> str:
    """faster, slower, no change or inconclusive.

    p decides a change beyond the threshold (side_p, Holm-adjusted across
    segments); no change needs the whole interval inside +-pct. worse is
    +1 where a larger value is slower (frame times), -1 for fps."""
    if ci is None:
        return "inconclusive"
    if p is not None and p < ALPHA and est != 0.0:
        return "slower" if est * worse > 0 else "faster"
    if -pct <= ci[0] and ci[1] <= pct:
        return "no change"
    return "inconclusive"


def passes_needed(margin: float, spread2: Optional[float], have: int) -> Optional[int]:
    """About how many passes per run would bring the interval clear of the
    threshold, if the change and the per-pass spread stay as observed.

    margin: from margin(); spread2: the variance of one pass's log ratio
    (the sum of both runs' per-pass variances). None when more than 200
    passes would be needed or nothing is known."""
    if spread2 is None or margin == 0.0:
        return None

    def decides(n: int) -> bool:
        return t_quantile(0.5 + CONFIDENCE / 2.0, 2 * n - 2) * math.sqrt(spread2 / n) < margin

    lo, hi = max(2, have + 1), MAX_PASSES_SUGGESTED
    if not decides(hi):
        return None
    while lo < hi:  # the half-width shrinks as n grows: bisect
        mid = (lo + hi) // 2
        lo, hi = (lo, mid) if decides(mid) else (mid + 1, hi)
    return lo
