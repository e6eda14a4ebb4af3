# locallevel.py: does a change in a history stand out as a step, or could the
# level have drifted there? The drift is a local-level model: the level
# walks randomly from commit to commit (variance r times the commits' own
# noise) under independent commit noise. For each ratio r on a grid the
# covariance I + r K (K_ij = min(i, j)) is whitened by K's eigenvectors, so
# the likelihood of a step at every split and of none comes from a few
# products, for all splits and ratios at once. The test is the likelihood
# ratio of "walk + a step somewhere" over "walk alone", its null drawn from
# the walk alone at the ratio the history shows (REML, with the step in the
# model so a true step doesn't pass for a walk), never below FLOOR: a walk
# that slow hides in the noise of a few dozen commits, yet over them moves
# the level by a step's worth. The null's quantiles per length and ratio
# are a committed table (nulls.py) of seeded draws. Numbers in, numbers out.
import functools

import numpy as np

from . import nulls

# The slowest walk, against the commits' own noise, that is called drift:
# its per-commit sd is 1/7 of a commit's (0.3% a commit under 2.1% noise).
FLOOR = 0.02
RATIOS = np.unique(np.concatenate([[0.0, FLOOR], np.geomspace(1e-3, 1.0, 16)]))
MIN_SIDE = 2
DRAWS = 1000
SEED = 2
BATCH = 250


@functools.lru_cache(maxsize=None)
def _basis(n: int):
    """Per ratio: the whitening, the whitened constant, the whitened step
    columns with the constant projected out and their squared norms, and
    the log determinants of I + r K with and without the constant's."""
    i = np.arange(n)
    lam, u = np.linalg.eigh(np.minimum(i[:, None], i[None, :]).astype(np.float64))
    lam = np.maximum(lam, 0.0)
    scale = 1.0 / np.sqrt(1.0 + RATIOS[:, None] * lam[None, :])           # (R, n)
    w = scale[:, :, None] * u.T[None, :, :]                                 # (R, n, n)
    one = w @ np.ones(n)                                                    # (R, n)
    tau = np.arange(MIN_SIDE, n - MIN_SIDE + 1)
    z = (i[None, :] >= tau[:, None]).astype(np.float64)                    # (T, n)
    zw = np.einsum("rij,tj->rti", w, z)
    oo = (one * one).sum(-1)
    zw -= one[:, None, :] * (np.einsum("rti,ri->rt", zw, one) / oo[:, None])[..., None]
    logdet = np.log1p(RATIOS[:, None] * lam[None, :]).sum(-1)               # (R,)
    return w, one, oo, zw, (zw * zw).sum(-1), logdet


def fit(y: np.ndarray):
    """For rows of y (B, n): the profile log likelihood of the walk alone
    per ratio (B, R), of walk + step per ratio and split (B, R, T), and
    the REML log likelihood of walk + step (B, R, T), whose best ratio
    estimates the walk without ML's pull towards none."""
    y = np.asarray(y, dtype=np.float64)
    n = y.shape[-1]
    w, one, oo, zw, zz, logdet = _basis(n)
    yw = np.einsum("rij,bj->bri", w, y)
    yw -= one[None] * ((yw * one[None]).sum(-1) / oo[None])[..., None]
    rss0 = np.maximum((yw * yw).sum(-1), 1e-300)                            # (B, R)
    zy = np.einsum("rti,bri->brt", zw, yw)
    rss1 = np.maximum(rss0[..., None] - zy * zy / zz[None], 1e-300)
    ll0 = -0.5 * n * np.log(rss0) - 0.5 * logdet[None]
    ll1 = -0.5 * n * np.log(rss1) - 0.5 * logdet[None, :, None]
    reml1 = -0.5 * (n - 2) * np.log(rss1) - 0.5 * (logdet[:, None] + np.log(oo)[:, None] + np.log(zz))[None]
    return ll0, ll1, reml1


def lr(y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Per row: twice the log likelihood ratio of a step over the walk
    alone, and the index into RATIOS of the walk the history shows."""
    ll0, ll1, reml1 = fit(y)
    return 2.0 * (ll1.max(axis=(-1, -2)) - ll0.max(axis=-1)), reml1.max(axis=-1).argmax(axis=-1)


def null_ratio(index: int) -> int:
    """The ratio the null is drawn at: the history's, at least FLOOR."""
    return max(int(index), int(np.searchsorted(RATIOS, FLOOR * (1 - 1e-9))))


def null_draws(n: int, ratio_index: int) -> np.ndarray:
    """Sorted null draws of the ratio at length n under the walk alone
    (seeded; the table in nulls.json holds their quantiles)."""
    rng = np.random.default_rng([SEED, n, ratio_index])
    i = np.arange(n)
    cov = np.eye(n) + RATIOS[ratio_index] * np.minimum(i[:, None], i[None, :])
    y = rng.standard_normal((DRAWS, n)) @ np.linalg.cholesky(cov).T
    return np.sort(np.concatenate([lr(y[a:a + BATCH])[0] for a in range(0, DRAWS, BATCH)]))


def null_ratios() -> range:
    """The indices into RATIOS a null is ever drawn at (FLOOR and above)."""
    return range(null_ratio(0), len(RATIOS))


def step_p(y: np.ndarray) -> float:
    """p of a step against a drifting level, for one history's commit
    values (at least 2 * MIN_SIDE of them)."""
    stat, r = lr(np.asarray(y, dtype=np.float64)[None, :])
    return nulls.p_value(nulls.table()["drift"][len(y), null_ratio(r[0])], float(stat[0]))
