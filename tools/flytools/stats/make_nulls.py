# make_nulls.py: remakes nulls.json, the table of the step search's null
# quantiles, from seeded draws (a few minutes on one core):
# python3 -m flytools.stats.make_nulls, from tools/. Kept apart from
# nulls.py, which only reads the table, so that the search's modules and the
# table's reader don't import each other.
import json
import os
import sys

import numpy as np

from . import locallevel, steps
from .nulls import FORMAT, LONGEST, PATH, PROBS


def build() -> dict:
    """The table from fresh seeded draws (a few minutes on one core)."""
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
