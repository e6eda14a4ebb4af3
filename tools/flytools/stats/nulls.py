# nulls.py: the null distributions of the step search (steps.statistic over
# independent commits) and of the step-against-drift test
# (locallevel.lr under a walking level), as a committed table of quantiles
# per history length (and walk ratio), so a search needs no draws: drawing
# them takes seconds a length. The table is made by running this module
# (python3 -m flytools.stats.nulls, from tools/), from seeded draws, so it
# is the same on every machine; p-values between its quantiles are
# interpolated, so a decision at a level in PROBS is the draws' own.
import functools
import json
import os
import sys

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


def build() -> dict:
    """The table from fresh seeded draws (a few minutes on one core)."""
    from . import locallevel, steps
    q = lambda draws: [float("%.6g" % x) for x in np.quantile(draws, PROBS)]
    lengths = range(steps.MIN_COMMITS, LONGEST + 1)
    return {"format": FORMAT, "version": 1, "probs": list(PROBS),
            "steps": {str(n): q(steps.null_draws(n)) for n in lengths},
            "drift": {"%d %d" % (n, r): q(locallevel.null_draws(n, r))
                      for n in lengths for r in locallevel.null_ratios()}}


def save(made: dict, path: str = PATH) -> None:
    """The table as JSON, one length (and ratio) a line, written to a
    scratch name and renamed."""
    rows = lambda d: ",\n".join("  %s: %s" % (json.dumps(k), json.dumps(v)) for k, v in d.items())
    head = {k: v for k, v in made.items() if k not in ("steps", "drift")}
    text = json.dumps(head)[:-1] + ',\n "steps": {\n%s\n },\n "drift": {\n%s\n }\n}\n' % (
        rows(made["steps"]), rows(made["drift"]))
    with open(path + ".tmp", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(path + ".tmp", path)


if __name__ == "__main__":
    save(build())
    sys.stderr.write("%s written\n" % PATH)
