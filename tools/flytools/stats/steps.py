# steps.py: where a metric's level stepped over a history of commits, with a
# false-step rate known at every history length. A commit's value is the
# mean of its launches' log values. The statistic is the largest over split
# points of a two-sample t that must survive deleting any one commit (so one
# outlier run, which a deletion removes, can't make a step); it is
# studentised by the spread about the two levels, so under independent
# normal commits its distribution depends on the number of commits alone,
# and its null (seeded draws per length, kept as a table of quantiles in
# nulls.py) gives its p at every length. Histories longer than WINDOW are
# searched in windows overlapping by half. A change that passes must then stand out as a step against a
# level that drifts (locallevel): one that doesn't is reported as drift.
# A step's size has an interval that allows for its having been chosen
# (the estimate is conditioned on passing the test). Numbers in, numbers out.
import math
from dataclasses import dataclass

import numpy as np
from scipy import optimize, special

from . import locallevel, nulls

MIN_SIDE = 2          # commits at least on each side of a step
MIN_COMMITS = 5       # shortest history searched
ALPHA = 0.03          # chance of a false step in a flat history, per line
WINDOW = nulls.LONGEST  # longer histories are searched in windows of this many commits
NULL_DRAWS = 4000     # null statistics drawn per history length
SEED = 1
CHUNK = 1 << 21       # numbers worked at once
CONFIDENCE = 0.95
OUTLIER_Z = 3.5       # robust sds from a level's median: an outlier run, left out of its size


@dataclass(frozen=True)
class Change:
    index: int            # first commit (0-based) of the new level
    p: float              # the max-t test's p at this piece's length
    drift_p: float        # the step's p against a drifting level
    est: float            # size as a log ratio
    ci: tuple             # its interval, allowing for the choice of the step
    before: int           # commits of the levels either side
    after: int


def splits(n: int) -> np.ndarray:
    """Split points tau (left holds commits 0..tau-1) with MIN_SIDE a side."""
    return np.arange(MIN_SIDE, n - MIN_SIDE + 1)


def _standardise(y: np.ndarray) -> np.ndarray:
    y = np.asarray(y, dtype=np.float64)
    y = y - y.mean(axis=-1, keepdims=True)
    sd = y.std(axis=-1, keepdims=True)
    return y / np.where(sd > 0, sd, 1.0)


def robust_t(y: np.ndarray) -> np.ndarray:
    """Per split (last axis), the two-sample t of y (shape (..., n)) that
    survives every single deletion: the smallest, over the commit left out,
    of t in the direction of the full data's t (0 where a deletion turns
    it). Pooled spread about the two levels, n - 3 degrees of freedom."""
    y = _standardise(y)
    n = y.shape[-1]
    tau = splits(n)
    s = np.concatenate([np.zeros(y.shape[:-1] + (1,)), np.cumsum(y, axis=-1)], axis=-1)
    q = np.concatenate([np.zeros(y.shape[:-1] + (1,)), np.cumsum(y * y, axis=-1)], axis=-1)
    sign = np.sign(_plain_t(s, q, tau, n))
    left = (np.arange(n)[None, :] < tau[:, None]).astype(np.float64)          # (splits, deleted)
    yj, y2 = y[..., None, :], (y * y)[..., None, :]
    sl = s[..., tau, None] - left * yj
    ql = q[..., tau, None] - left * y2
    sr = s[..., -1:, None] - s[..., tau, None] - (1 - left) * yj
    qr = q[..., -1:, None] - q[..., tau, None] - (1 - left) * y2
    ml, mr = tau[:, None] - left, (n - tau)[:, None] - (1 - left)
    t = _t(sl, ql, ml, sr, qr, mr, n - 3)
    return np.maximum(0.0, (t * sign[..., None]).min(axis=-1))


def _t(sl, ql, ml, sr, qr, mr, df):
    ss = np.maximum(ql - sl * sl / ml + qr - sr * sr / mr, 1e-300)
    return (sr / mr - sl / ml) / np.sqrt(ss / df * (1 / ml + 1 / mr))


def _plain_t(s, q, tau, n):
    sl, ql = s[..., tau], q[..., tau]
    sr, qr = s[..., -1:] - sl, q[..., -1:] - ql
    return _t(sl, ql, tau, sr, qr, n - tau, n - 2)


def statistic(y: np.ndarray) -> np.ndarray:
    """The largest robust t over the splits, per row of y (..., n)."""
    y = np.asarray(y, dtype=np.float64)
    n = y.shape[-1]
    rows = y.reshape(-1, n)
    per = max(1, CHUNK // (n * n))
    out = np.concatenate([robust_t(rows[i:i + per]).max(axis=-1) for i in range(0, len(rows), per)])
    return out.reshape(y.shape[:-1])


def null_draws(n: int) -> np.ndarray:
    """Sorted null draws of the statistic at history length n over
    independent normal commits (pivotal: the same for any level and
    spread). Seeded: the same figures every run. Slow (1.6 s at 60
    commits): the table in nulls.json holds their quantiles."""
    rng = np.random.default_rng([SEED, n])
    return np.sort(statistic(rng.standard_normal((NULL_DRAWS, n))))


def critical(n: int, alpha: float = ALPHA) -> float:
    """The statistic's level-alpha critical value at length n."""
    return nulls.critical(nulls.table()["steps"][n], alpha)


def p_value(stat: float, n: int) -> float:
    """The share of the null at length n at least as large."""
    return nulls.p_value(nulls.table()["steps"][n], stat)


def best_split(y: np.ndarray) -> tuple[int, float]:
    """The split with the largest robust t, and that t."""
    t = robust_t(y[None, :])[0]
    i = int(np.argmax(t))
    return int(splits(len(y))[i]), float(t[i])


def _kept(part: np.ndarray) -> np.ndarray:
    """One level's commits less an outlier run: those beyond OUTLIER_Z
    robust sds (MAD about the median) from the median, a commit or two at
    most, so a level is never sized on a handful."""
    r = np.abs(part - np.median(part))
    mad = 1.4826 * float(np.median(r))
    if len(part) < 6 or mad == 0.0:
        return part
    keep = r <= OUTLIER_Z * mad
    return part[keep] if keep.sum() >= len(part) - 2 else part


def size(y: np.ndarray, tau: int) -> tuple[float, float, int]:
    """The step at tau: difference of the two levels (each less an outlier
    run), its standard error from the spread about them, and its degrees
    of freedom."""
    a, b = _kept(y[:tau]), _kept(y[tau:])
    df = len(a) + len(b) - 2
    s2 = (float(((a - a.mean()) ** 2).sum()) + float(((b - b.mean()) ** 2).sum())) / df
    return float(b.mean() - a.mean()), math.sqrt(s2 * (1 / len(a) + 1 / len(b))), df


def _selected_cdf(x: float, mean: float, cut: float) -> float:
    """P(X <= x | |X| >= cut) for X ~ N(mean, 1), x beyond the cut."""
    below = special.ndtr(-cut - mean)
    above = special.ndtr(mean - cut)           # P(X >= cut)
    if x < 0:
        part = special.ndtr(x - mean)
    else:
        part = below + (above - special.ndtr(mean - x))
    return float(part / max(below + above, 1e-300))


def selected_interval(est: float, se: float, df: int, cut: float) -> tuple[float, float]:
    """The interval of a step that was kept because its t passed `cut`:
    the sizes under which the estimate, given that it passed, lies in the
    central CONFIDENCE of its distribution (a normal cut at +-cut standard
    errors, inverted). Far beyond the cut it is the usual interval; near it,
    it reaches down towards 0 (and past it), since a step that only just
    passed was as likely smaller and lucky. Standard errors in t units (the
    t quantile over the normal's) keep it honest for few degrees of
    freedom."""
    q = 0.5 + CONFIDENCE / 2.0
    if se == 0.0:
        return est, est
    widen = float(special.stdtrit(df, q)) / float(special.ndtri(q))
    se, cut = se * widen, cut / widen
    x = est / se
    cut = min(cut, abs(x))

    def bound(prob):
        f = lambda m: _selected_cdf(x, m, cut) - prob
        lo, hi = x - 12.0, x + 12.0
        while f(lo) < 0:
            lo -= 12.0
        return optimize.brentq(f, lo, hi, xtol=1e-6) * se
    return bound(q), bound(1.0 - q)


def passes(y: np.ndarray, tau: int, alpha: float) -> tuple[float, float]:
    """The max-t p of y and, where it passes, the p of a step against a
    drifting level."""
    p = p_value(float(statistic(y)), len(y))
    return p, (locallevel.step_p(y) if p <= alpha else 1.0)


def selection_cut(y: np.ndarray, tau: int, est: float, se: float, alpha: float) -> float:
    """The t (in units of se) below which the step at tau would not have
    been kept: its size replaced by a smaller one, all else held, until
    either test fails (bisection). Conditioning on the part of the data
    that doesn't carry the estimate, as selective inference does."""
    z = (np.arange(len(y)) >= tau).astype(np.float64)
    rest = y - est * z
    lo, hi = 0.0, 1.0        # fractions of est: fails at lo, passes at hi
    for _ in range(12):
        mid = (lo + hi) / 2.0
        p, dp = passes(rest + mid * est * z, tau, alpha)
        lo, hi = (lo, mid) if p <= alpha and dp <= alpha else (mid, hi)
    return hi * abs(est) / se if se > 0 else 0.0


def judge_piece(y: np.ndarray, alpha: float) -> Change | None:
    """The best split of one piece with its p, its p against drift and its
    size, or None where the piece is too short to search."""
    n = len(y)
    if n < MIN_COMMITS:
        return None
    tau, t = best_split(y)
    p, drift_p = passes(y, tau, alpha)
    est, se, df = size(y, tau)
    ci = (math.nan, math.nan)
    if p <= alpha and drift_p <= alpha:
        ci = selected_interval(est, se, df, selection_cut(y, tau, est, se, alpha))
    return Change(tau, p, drift_p, est, ci, tau, n - tau)


def search(y: np.ndarray, alpha: float = ALPHA) -> tuple[list[Change], list[Change]]:
    """Steps of a history of commit values (at most WINDOW) by binary
    segmentation: a piece's best split is a step when its max-t p and its
    p against a drifting level are both within alpha, and the search goes
    on in both pieces. Also returned: the changes that passed the max-t
    test only, where the level drifted rather than stepped (the search
    stops there)."""
    y = np.asarray(y, dtype=np.float64)
    found, drift = [], []
    pieces = [(0, len(y))]
    while pieces:
        a, b = pieces.pop()
        c = judge_piece(y[a:b], alpha)
        if c is None or c.p > alpha:
            continue
        c = Change(a + c.index, c.p, c.drift_p, c.est, c.ci, c.before, c.after)
        if c.drift_p > alpha:
            drift.append(c)
            continue
        found.append(c)
        pieces += [(a, c.index), (c.index, b)]
    return sorted(found, key=lambda s: s.index), sorted(drift, key=lambda s: s.index)


def find(y: np.ndarray, alpha: float = ALPHA, window: int = WINDOW) -> tuple[list[Change], list[Change]]:
    """search() over a history of any length: in windows of `window`
    commits overlapping by half, each keeping the changes in its middle
    half (the first and last windows their outer ends too), so every commit
    belongs to one window's findings."""
    y = np.asarray(y, dtype=np.float64)
    n = len(y)
    if n <= window:
        return search(y, alpha)
    half = window // 2
    starts = list(range(0, n - window, half)) + [n - window]
    found, drift = [], []
    for w, s in enumerate(starts):
        lo = 0 if w == 0 else s + window // 4
        hi = n if w == len(starts) - 1 else min(s + window - window // 4, starts[w + 1] + window // 4)
        for out, got in zip((found, drift), search(y[s:s + window], alpha)):
            out += [Change(s + c.index, c.p, c.drift_p, c.est, c.ci, c.before, c.after)
                    for c in got if lo <= s + c.index < hi]
    return found, drift


def detectable(n: int, sd: float, alpha: float = ALPHA) -> float:
    """The smallest step (log ratio) a history of n commits, each varying by
    sd about its level, finds half the time: at a split in the middle, once
    a deletion has taken a commit from one side, its t reaches the critical
    value. math.inf under MIN_COMMITS, where nothing is searched; a step
    asked about that is smaller is one this history is too short for. A
    longer history than WINDOW is searched a window at a time: a window's."""
    if n < MIN_COMMITS:
        return math.inf
    n = min(n, WINDOW)
    m = n // 2
    return critical(n, alpha) * sd * math.sqrt(1.0 / (m - 1) + 1.0 / (n - m))
