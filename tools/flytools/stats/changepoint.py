# changepoint.py: where a metric's history over commits steps. The method is
# E-divisive means (Matteson & James 2014, "A nonparametric approach for
# multiple change point analysis of multivariate data"), as MongoDB runs it on
# its CI performance data (Daly et al. 2020, "The use of change point
# detection to identify software performance regressions in a continuous
# integration system"): the split that maximises the energy-distance
# statistic Q is tested against the same statistic on seeded random
# permutations of the values; a significant split is kept and the search goes
# on in the pieces. Each step found is then sized with Welch's t over the
# per-run values either side (inference.py), as a log ratio in percent.
import functools
import math

import numpy as np

from ..records import Step

ALPHA = 0.03            # chance of any false step per series (and window)
MIN_SIZE = 3            # commits at least on each side of a step
WINDOW = 120            # longer histories are searched in windows of this many commits
SEED = 1
CHUNK_CELLS = 2_000_000  # permuted distance matrices worked at once


@functools.lru_cache(maxsize=8)
def _upper(n):
    return np.triu(np.ones((n, n), dtype=np.float32), 1)


def q_curve(y: np.ndarray) -> np.ndarray:
    """Q(tau) of E-divisive means for every split tau = MIN_SIZE .. n -
    MIN_SIZE of each row of y (shape (..., n)), with alpha = 1: the scaled
    energy distance between y[:tau] and y[tau:]. Worked in O(n^2) from the
    within-prefix and within-suffix sums of |y_i - y_j|."""
    n = y.shape[-1]
    y = np.asarray(y, dtype=np.float32)     # single precision: 8 times faster here
    d = np.abs(y[..., :, None] - y[..., None, :])
    d *= _upper(n)
    col = d.sum(axis=-2)                    # sum over i < j of D_ij, per j
    row = d.sum(axis=-1)                    # sum over j > i of D_ij, per i
    left = np.cumsum(col, axis=-1)          # within y[:tau], at tau - 1
    right = np.cumsum(row[..., ::-1], axis=-1)[..., ::-1]   # within y[tau:], at tau
    total = left[..., -1:]
    tau = np.arange(MIN_SIZE, n - MIN_SIZE + 1)
    wl, wr = left[..., tau - 1], right[..., tau]
    between = total - wl - wr
    m, k = tau.astype(np.float64), (n - tau).astype(np.float64)
    e = 2 * between / (m * k) - 2 * wl / (m * (m - 1)) - 2 * wr / (k * (k - 1))
    return (m * k / n * e).astype(np.float64)


def _significant(x: np.ndarray, q_obs: float, alpha: float, rng: np.random.Generator) -> bool:
    """Permutation test of the best split: significant at level alpha when
    none of ceil(1/alpha) permutations reaches the observed statistic
    (p = 1/(R+1) <= alpha). Stops at the first that does, so a flat piece
    costs a handful of permutations."""
    need = math.ceil(1.0 / alpha)
    done, batch = 0, 4
    per_chunk = max(1, CHUNK_CELLS // (len(x) * len(x)))
    while done < need:
        b = min(batch, need - done, per_chunk)
        perms = rng.permuted(np.broadcast_to(x, (b, len(x))), axis=1)
        if (q_curve(perms).max(axis=-1) >= q_obs * (1 - 1e-5)).any():
            return False
        done += b
        batch *= 2
    return True


def e_divisive(x: np.ndarray, alpha: float, seed: int = SEED) -> list[int]:
    """Change points of x (sorted indices of the first value of each new
    level) by E-divisive means: each round tests the best split over all
    current pieces and stops at the first that is not significant."""
    rng = np.random.default_rng(seed)
    x = np.asarray(x, dtype=np.float64)
    cuts = [0, len(x)]
    while True:
        best = None
        for a, b in zip(cuts, cuts[1:]):
            if b - a < 2 * MIN_SIZE:
                continue
            q = q_curve(x[a:b])
            i = int(np.argmax(q))
            if best is None or q[i] > best[0]:
                best = (float(q[i]), a, b, a + MIN_SIZE + i)
        if best is None or best[0] <= 0 or not _significant(x[best[1]:best[2]], best[0], alpha, rng):
            return cuts[1:-1]
        cuts = sorted(cuts + [best[3]])


def find(x: np.ndarray, alpha: float, window: int = WINDOW, seed: int = SEED) -> list[int]:
    """Change points of a long series: E-divisive in windows overlapping by
    half, each window keeping the points in its middle half (the first and
    last windows their outer ends too), so every index belongs to one."""
    n = len(x)
    if n <= window:
        return e_divisive(x, alpha, seed)
    half = window // 2
    starts = list(range(0, n - window, half)) + [n - window]
    found = []
    for w, s in enumerate(starts):
        lo = 0 if w == 0 else s + window // 4
        hi = n if w == len(starts) - 1 else s + window - window // 4
        if w + 1 < len(starts):
            hi = min(hi, starts[w + 1] + window // 4)
        found += [s + c for c in e_divisive(x[s:s + window], alpha, seed) if lo <= s + c < hi]
    return sorted(set(found))


def steps(commit_values: np.ndarray, run_values: list[np.ndarray], alpha: float,
          window: int = WINDOW, seed: int = SEED) -> list[Step]:
    """The steps of one metric's history. commit_values: the log of the
    metric per commit (mean over its runs), in commit order; run_values: per
    commit, the logs of its runs' values. Each step is sized against the
    levels between its neighbouring change points."""
    cps = find(commit_values, alpha, window, seed)
    if cps:  # (imported here: a history without steps, check's usual case, never needs SciPy)
        from . import inference as stats
    bounds = [0] + cps + [len(commit_values)]
    out = []
    for j, c in enumerate(cps):
        a = np.concatenate(run_values[bounds[j]:c])
        b = np.concatenate(run_values[c:bounds[j + 2]])
        if len(a) >= 2 and len(b) >= 2:
            diff, se, df = stats.welch(a, b)
            lo, hi = stats.interval(diff, se, df)
            ci = (stats.percent(lo), stats.percent(hi))
        else:
            diff, ci = float(np.mean(b) - np.mean(a)), None
        out.append(Step(c, stats.percent(diff), ci, len(a), len(b)))
    return out


def series_steps(lines: dict[str, list[np.ndarray]], alpha: float = ALPHA, window: int = WINDOW,
                 seed: int = SEED) -> dict[str, list[Step]]:
    """Steps of every line of a series: lines maps a name to, per commit in
    order, the array of its runs' log values (commits without a value of
    that line left out beforehand). Bonferroni over the lines keeps the
    chance of any false step in the series at alpha."""
    each = alpha / max(1, len(lines))
    out = {}
    for name, runs in lines.items():
        if len(runs) >= 2 * MIN_SIZE:
            means = np.array([float(np.mean(r)) for r in runs])
            out[name] = steps(means, runs, each, window, seed)
        else:
            out[name] = []
    return out
