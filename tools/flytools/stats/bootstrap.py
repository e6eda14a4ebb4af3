# bootstrap.py: the seeded circular block bootstrap of a pass's frames, for
# runs of a single pass, where the passes can't show how a run varies: the
# block length from the frames' autocorrelation, and the log ratio of two
# runs' values over a thousand resamples, worked a few resamples at a time
# so that memory stays bounded. The mean, p99, 1% low and frame pacing
# have fast ways (from block sums and the slowest frames) that give the
# same figures as gathering every resampled frame; any other statistic is
# gathered.
# No library has a block bootstrap of this kind, so it is written here.
import math
from typing import Sequence

import numpy as np

from .. import metrics

RESAMPLES = 1000
SEED = 1
MIN_BLOCK = 10
DIRECT_LAGS = 64
BLOCK_FACTOR = 4
# The statistics with a fast way.
FAST = (metrics.mean_ms, metrics.p99_ms, metrics.low1_fps, metrics.pacing_ms)


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


def _pacing(x, block):
    # Frame pacing of each resample from block sums too: within a block the
    # changes between consecutive frames are the pass's own (wrapping past
    # the end as the block does), so a whole block's sum is one look-up;
    # the changes at the joins between blocks and inside the shorter last
    # block are worked from their frames.
    n = x.shape[1]
    last = _last_block(n, block)
    inside = []
    for row in x:
        change = np.abs(np.roll(row, -1) - row)                  # row[i + 1] - row[i], wrapping
        inside.append(_windows(n, block - 1, np.float64, lambda i, c=change: c[i]))

    def pacing(starts):
        s = starts[:, :, 0]
        whole, following = s[:, :-1], s[:, 1:]
        ends = (whole + (block - 1)) % n                          # each whole block's last frame
        tail = (s[:, -1:] + np.arange(last)) % n                  # the last block's frames
        per_pass = []
        for row, w in zip(x, inside):
            joins = np.abs(np.take(row, following) - np.take(row, ends)).sum(axis=1)
            within_last = np.abs(np.diff(np.take(row, tail), axis=1)).sum(axis=1)
            per_pass.append((np.take(w, whole).sum(axis=1) + joins + within_last) / (n - 1))
        return np.mean(per_pass, axis=0)
    return pacing


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
    # Kept whole: the tables it builds (marks, band, packed block counts,
    # top sums) are shared by the closure it returns and only mean anything
    # together; split, each piece would pass all of them on.
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
    if stat is metrics.pacing_ms:
        return _pacing(x, block)
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
    stays bounded); the statistics of FAST are worked from block sums and
    slowest frames, the same figures as from every resampled frame (to
    rounding), much faster."""
    rng = np.random.default_rng(seed)
    same = b.shape[1] == a.shape[1]
    rng_b = rng if same else np.random.default_rng(seed)
    # Numbers per resample: every frame gathered, or with the fast ways a
    # few per block and the band of slow frames.
    n, passes = max(a.shape[1], b.shape[1]), max(a.shape[0], b.shape[0])
    per_resample = passes * (8 * -(-n // block) + n // 100 if stat in FAST else n)
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
