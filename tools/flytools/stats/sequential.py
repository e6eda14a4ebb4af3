# sequential.py: a verdict that may be looked at after every block of
# launches and still holds. flyrun --until-decided adds A B B A blocks and
# stops as soon as the whole-path interval clears the no-change band or lies
# inside it; an interval worked as if each look were the only one would be
# too narrow by the time someone stops on it. These are repeated confidence
# intervals of a group-sequential design with Pocock's constant boundary
# (Jennison & Turnbull, "Group Sequential Methods with Applications to
# Clinical Trials", ch. 9): one critical value for all K equally spaced
# looks, chosen so that all K intervals together cover the truth 95% of the
# time; with the variance estimated at each look, the normal critical value
# is carried over to Student's t at that look's degrees of freedom.
import functools
import math

import numpy as np
from scipy import special

CONFIDENCE = 0.95
DRAWS = 400_000
SEED = 1


@functools.lru_cache(maxsize=None)
def _peaks(looks: int) -> np.ndarray:
    """max over the looks of |Z_k|, sorted, for K equally spaced looks at a
    statistic that gathers information evenly (Z_k a scaled Brownian motion
    at times 1..K): a seeded simulation of the K correlated statistics, as
    exact tables stop at 20 looks and flyrun may take more."""
    rng = np.random.default_rng(SEED)
    steps = rng.standard_normal((DRAWS, looks))
    z = np.cumsum(steps, axis=1) / np.sqrt(np.arange(1, looks + 1))
    return np.sort(np.abs(z).max(axis=1))


def pocock(looks: int) -> float:
    """The normal critical value c with P(|Z_k| < c for every look k) = 95%."""
    return float(_peaks(looks)[int(math.ceil(CONFIDENCE * DRAWS)) - 1])


def critical_t(looks: int, df: float) -> float:
    """The t critical value at a look with df degrees of freedom: the t
    quantile at the normal boundary's one-sided probability."""
    p = float(special.ndtr(pocock(looks)))
    return float(special.stdtrit(df, p))


def p_value(looks: int, t: float, df: float) -> float:
    """The repeated p of a t statistic with df degrees of freedom at one of
    `looks` looks: the chance that some look's statistic reaches as far
    under no change, with t carried to the normal scale as critical_t
    carries the boundary back. Below 0.05 exactly when |t| passes
    critical_t(looks, df): the peaks reaching z counted over one more than
    were drawn, which puts the boundary's own peak on the right side."""
    z = float(special.ndtri(special.stdtr(df, abs(t))))
    peaks = _peaks(looks)
    return float(len(peaks) - np.searchsorted(peaks, z, side="left")) / (len(peaks) + 1)
