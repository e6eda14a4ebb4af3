# components.py: how much a commit's value varies, measured from the history
# itself, in the two parts a nightly gate needs: the launches within a
# commit's session (pooled within-commit variance) and the commits
# themselves beyond what their launches explain (session offsets), seen in
# the differences of neighbouring commits' means, which a step or a slow
# drift barely touches. Both leave out a single outlier run: a commit whose
# launches disagree far beyond the others', or a difference far beyond the
# rest (an outlier commit makes two). Values are logs of launch values, one
# array per commit in commit order. Numbers in, numbers out.
import math
from dataclasses import dataclass

import numpy as np
from scipy import special

REJECT = 0.001        # chance of leaving out a sound commit or difference, per history
CHI2_1_MEDIAN = 0.454936423119572


@dataclass(frozen=True)
class Components:
    within: float          # variance of one launch about its commit's level
    within_df: int
    between: float         # variance of a commit's session offset
    commit: float          # variance of a commit mean of `launches` launches about its level
    commit_df: float
    launches: float        # the usual launches per commit
    left_out: tuple        # commits whose launches were left out of `within`

    def of_mean(self, k: int) -> float:
        """Variance of a mean of k launches of one commit about its level."""
        return self.between + self.within / k


def means(values: list) -> np.ndarray:
    """Each commit's mean of its launch values (plain sums: a few values a
    commit, for hundreds of lines a night)."""
    return np.array([sum(np.asarray(v).tolist()) / len(v) for v in values])


def within(values: list[np.ndarray]) -> tuple[float, int, tuple]:
    """Pooled variance of launches about their commit's mean, leaving out
    commits whose spread an F test puts beyond the rest's (Bonferroni over
    the commits at REJECT): an outlier launch. Its variance, degrees of
    freedom and the commits left out."""
    ss = np.array([float(((v - v.mean()) ** 2).sum()) if len(v) > 1 else 0.0 for v in values])
    df = np.array([len(v) - 1 for v in values])
    keep = df > 0
    left = []
    while keep.sum() > 1:
        rest_ss, rest_df = ss[keep].sum() - ss, df[keep].sum() - df
        f = np.where(keep & (rest_ss > 0), (ss / np.maximum(df, 1)) / np.maximum(rest_ss / np.maximum(rest_df, 1), 1e-300), 0.0)
        p = np.where(keep, special.fdtrc(np.maximum(df, 1), np.maximum(rest_df, 1), f), 1.0)
        worst = int(np.argmin(p))
        if p[worst] >= REJECT / keep.sum():
            break
        keep[worst] = False
        left.append(worst)
    n = int(df[keep].sum())
    return (float(ss[keep].sum()) / n if n else math.nan), n, tuple(sorted(left))


def commit_spread(means: np.ndarray, counts: np.ndarray, within_var: float) -> tuple[float, float, int]:
    """Variance of commit session offsets from the differences of
    neighbouring commit means (twice it, plus the launches' share, is a
    difference's variance), leaving out differences beyond a normal's
    Bonferroni bound at REJECT under a median-based scale: an outlier
    commit or a large step. Its variance (at least 0), the effective
    degrees of freedom of a mean of squared successive differences (2/3 of
    their number) and the number of differences kept."""
    d = np.diff(np.asarray(means, dtype=np.float64))
    if len(d) == 0:
        return math.nan, 0.0, 0
    launch = within_var * (1.0 / counts[1:] + 1.0 / counts[:-1])
    scale = float(np.median(d * d)) / CHI2_1_MEDIAN
    bound = float(special.ndtri(1.0 - REJECT / 2.0 / len(d))) ** 2
    keep = d * d <= bound * max(scale, 1e-300)
    if not keep.any():
        return math.nan, 0.0, 0
    between = max(0.0, float(np.mean(d[keep] ** 2 - launch[keep])) / 2.0)
    m = int(keep.sum())
    return between, 2.0 * m * m / (3.0 * m - 1.0), m


def measure(values: list[np.ndarray]) -> Components:
    """Both components from a history's launch values."""
    counts = np.array([len(v) for v in values], dtype=np.float64)
    w, wdf, left = within(values)
    w0 = 0.0 if math.isnan(w) else w
    between, bdf, _ = commit_spread(means(values), counts, w0)
    k = float(np.median(counts))
    return Components(w0, wdf, between, between + w0 / k, bdf, k, left)
