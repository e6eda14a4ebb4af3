# inference.py: the statistics behind the verdicts: Welch intervals over
# independent values (passes, or launches of the game), Holm's correction
# across segments, a test for drift over time, and the classification of a
# change against the --min-effect threshold. Changes are worked as log ratios ln(B/A),
# so an interval turned back into percent never reaches below -100%.
# Student's t comes from SciPy's special functions (stdtr and stdtrit, what
# scipy.stats.t is built on, without the second of start-up that importing
# scipy.stats costs every run). Written here: the fit of the drift and
# Holm's correction (a few lines; SciPy 1.10 has none, and statsmodels,
# which has it, would be a large dependency for them).
import math
from typing import Callable, Optional, Sequence

import numpy as np
from scipy import special

CONFIDENCE = 0.95
ALPHA = 1.0 - CONFIDENCE
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


def satterthwaite(parts: Sequence[tuple[float, float]]) -> tuple[float, float]:
    """The standard error of a sum of independent variance estimates
    (variance, df) and its Satterthwaite degrees of freedom."""
    total = sum(v for v, _ in parts)
    if total <= 0.0:
        return 0.0, math.inf
    spread = sum(v * v / d for v, d in parts if v > 0.0 and 0.0 < d < math.inf)
    return math.sqrt(total), (total * total / spread if spread else math.inf)


def trend(groups: Sequence[tuple[Sequence[float], Sequence[float]]],
          bias: float = 0.0) -> Optional[tuple[float, float]]:
    """A common linear trend of y over time x within groups (each group its
    own level): the slope by least squares and its two-sided p from the t
    test of the slope (n - groups - 1 degrees of freedom). None when there
    are too few values or the times don't vary.

    groups: (x, y) per group, e.g. per run (pass order, log mean frame time).
    bias: how far rounding may move each y (printed figures): the residual
    variance is at least that of a uniform error (bias^2 / 3), and the
    slope is tested only beyond what such errors alone can make of it."""
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
    s2 = max(float(resid @ resid) / df, bias * bias / 3.0)
    excess = max(abs(slope) - bias * float(np.abs(x).sum()) / sxx, 0.0)
    if s2 == 0.0:
        return slope, 0.0 if excess != 0.0 else 1.0
    return slope, t_two_sided_p(excess / math.sqrt(s2 / sxx), df)


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


def side_p(est: float, se: float, df: float, bounds: tuple[float, float],
           tail=t_two_sided_p) -> float:
    """Two-sided p of the change lying beyond the threshold on the side of
    the estimate: below 0.05 exactly when the 95% interval clears it.
    tail(t, df): the p of a t statistic (another for repeated looks)."""
    if bounds[0] <= est <= bounds[1]:
        return 1.0
    if se == 0.0:
        return 0.0
    return min(1.0, tail(margin(est, bounds) / se, df))


def interval(est: float, se: float, df: float, critical: Optional[float] = None) -> tuple[float, float]:
    """The 95% interval of est from its standard error and t with df (or
    the critical value given)."""
    if critical is None:
        critical = t_quantile(0.5 + CONFIDENCE / 2.0, df)
    half = 0.0 if se == 0.0 else critical * se
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

    return first_deciding(decides, max(2, have + 1), MAX_PASSES_SUGGESTED)


def first_deciding(decides: Callable[[int], bool], lo: int, hi: int) -> Optional[int]:
    """The smallest n in lo..hi at which decides(n) (true from some n on,
    as an interval's half-width shrinks with n), or None when not even hi."""
    if not decides(hi):
        return None
    while lo < hi:
        mid = (lo + hi) // 2
        lo, hi = (lo, mid) if decides(mid) else (mid + 1, hi)
    return lo
