# nulls.py: the null distributions of the step search (steps.statistic over
# independent commits) and of the step-against-drift test
# (locallevel.lr under a walking level), as a committed table of quantiles
# per history length (and walk ratio), so a search needs no draws: drawing
# them takes seconds a length. The table is made by make_nulls.py
# (python3 -m flytools.stats.make_nulls, from tools/), from seeded draws, so
# it is the same on every machine; p-values between its quantiles are
# interpolated, so a decision at a level in PROBS is the draws' own.
import functools
import json
import os

import numpy as np

PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "nulls.json")
FORMAT = "flyhistory-nulls"
PROBS = (0.5, 0.7, 0.8, 0.9, 0.95, 0.96, 0.97, 0.975, 0.98, 0.99, 0.995, 0.999)
LONGEST = 60          # the longest piece searched at once (steps.WINDOW)


@functools.lru_cache(maxsize=1)
def table() -> dict:
    """{"steps": {n: quantiles}, "drift": {(n, ratio index): quantiles}}."""
    with open(PATH, encoding="utf-8") as f:
        raw = json.load(f)
    return {"steps": {int(k): np.array(v) for k, v in raw["steps"].items()},
            "drift": {tuple(int(x) for x in k.split()): np.array(v) for k, v in raw["drift"].items()}}


def p_value(quantiles: np.ndarray, stat: float) -> float:
    """The share of the null at least stat, between the table's quantiles
    (at most 1 - PROBS[0] below the first, 1 - PROBS[-1] beyond the last)."""
    return float(1.0 - np.interp(stat, quantiles, PROBS))


def critical(quantiles: np.ndarray, alpha: float) -> float:
    """The value the null exceeds with chance alpha."""
    return float(np.interp(1.0 - alpha, PROBS, quantiles))
