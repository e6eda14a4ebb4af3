# gate.py: the nightly gate's decision. The newest commit's launches are
# judged against the level before it (the commits since the last step
# found, at most `window` of them), with the spread measured from the
# history itself: a commit mean varies by its session offset plus its
# launches' share (stats.components). The level is the mean of those
# commits after leaving out an outlier run. A regression is newest minus
# level beyond +pct with one-sided 95% confidence: its 90% interval lies
# wholly beyond +pct. (The question has one side, so no error is spent on
# the other: a 10% regression after 10 flat commits fails 94% of nights
# where a 95% interval fails 87%, while 60 flat commits with an outlier
# run fail under 4%, 1.7 points of it the outlier on the newest commit
# itself.) Where the data can't support a verdict yet (too
# few launches on the newest commit, too few commits to measure the spread
# or the level, launches of the newest commit that disagree far beyond
# their usual spread) the answer is "unsure", never "fine". The history's
# steps (stats.steps) are judged too: a regression step among the newest
# `window` commits whose interval lies beyond +pct fails the gate. Values
# are logs of launch values (larger is worse), one array per commit in
# commit order. Numbers in, numbers out.
import math
from dataclasses import dataclass

import numpy as np
from scipy import special

from ..stats import components, steps
from ..stats.inference import satterthwaite

MISS = 0.05           # one-sided: the lower end of the two-sided 90% interval
MIN_LAUNCHES = 2      # on the newest commit, for a verdict of fine
MIN_LEVEL = 2         # commits in the level judged against
MIN_SPREAD_DF = 3.0   # degrees of freedom of the commits' spread
OUTLIER_Z = 3.5       # a commit this many of its sds from the level's median is an outlier run
DISAGREE_P = 0.001    # newest commit's launches disagreeing beyond their usual spread

FINE, UNSURE, REGRESSION = "fine", "unsure", "regression"


@dataclass(frozen=True)
class Night:
    status: str            # FINE, UNSURE or REGRESSION
    est: float             # newest commit minus the level, log ratio
    ci: tuple | None       # its interval (None where nothing could be measured)
    df: float
    level_commits: int     # commits the level was taken over
    launches: int          # launches on the newest commit
    catches: float | None  # the log ratio this night would flag half the time
    reason: str            # why UNSURE ("" otherwise)


@dataclass(frozen=True)
class Verdict:
    status: str                   # REGRESSION if the night or a recent step says so
    night: Night
    steps: tuple                  # steps.Change of the whole history
    drift: tuple                  # changes that look like drift
    failing: tuple                # the steps that fail the gate


def level_start(values: list[np.ndarray], window: int, alpha: float = steps.ALPHA) -> int:
    """First commit of the level the newest commit is judged against: the
    last step found before the newest, or `window` commits back."""
    before = components.means(values[:-1])
    found, _ = steps.find(before, alpha)
    last = found[-1].index if found else 0
    return max(last, len(before) - window)


def level(means: np.ndarray, commit_var: float) -> tuple[float, int]:
    """The level of a run of commit means, leaving out an outlier run
    (beyond OUTLIER_Z sds of the commits from their median): its mean and
    how many commits it holds."""
    keep = np.abs(means - np.median(means)) <= OUTLIER_Z * math.sqrt(commit_var)
    if keep.sum() < max(1, len(means) - 1):   # (more than one outlier: a level that isn't level)
        keep[:] = True
    return float(means[keep].mean()), int(keep.sum())


def _unsure(reason: str, est: float, k: int, m: int) -> Night:
    return Night(UNSURE, est, None, 0.0, m, k, None, reason)


def night(values: list[np.ndarray], pct: float, start: int, miss: float = MISS) -> Night:
    """The newest commit (values[-1]) against the level of values[start:-1],
    the spread measured on every commit before the newest; a regression
    when its one-sided 1 - miss bound lies beyond +pct."""
    newest = np.asarray(values[-1], dtype=np.float64)
    k = len(newest)
    history = values[:-1]
    comp = components.measure(history)
    means = components.means(history[start:])
    est = float(newest.mean() - means.mean()) if len(means) else math.nan
    if len(means) < MIN_LEVEL:
        return _unsure("only %d commit(s) in the level before the newest (since the last step)" % len(means),
                       est, k, len(means))
    if comp.commit_df < MIN_SPREAD_DF:
        return _unsure("too short a history to measure how commits vary", est, k, len(means))
    if comp.within_df < 1 and k != comp.launches:
        return _unsure("no commit with two launches to measure how launches vary", est, k, len(means))
    lev, m = level(means, comp.commit)
    est = float(newest.mean() - lev)
    # newest minus level: its session offset and launches, and the level's own error
    a = comp.commit * (1.0 + 1.0 / m)
    b = comp.within * (1.0 / k - 1.0 / comp.launches) if k != comp.launches else 0.0
    var = max(a + b, comp.within / k)
    df = satterthwaite([(a, comp.commit_df), (abs(b), comp.within_df)])[1]
    half = float(special.stdtrit(df, 1.0 - miss)) * math.sqrt(var)
    ci = (est - half, est + half)
    bound = math.log1p(pct / 100.0)
    catches = bound + half
    if ci[0] > bound:
        return Night(REGRESSION, est, ci, df, m, k, catches, "")
    if k < MIN_LAUNCHES:
        return Night(UNSURE, est, ci, df, m, k, catches, "%d launch on the newest commit" % k)
    if k > 1 and comp.within > 0 and comp.within_df > 0:
        f = float(np.var(newest, ddof=1)) / comp.within
        if special.fdtrc(k - 1, comp.within_df, f) < DISAGREE_P * miss / MISS:
            return Night(UNSURE, est, ci, df, m, k, catches,
                         "the newest commit's launches disagree far beyond their usual spread")
    return Night(FINE, est, ci, df, m, k, catches, "")


def judge(values: list[np.ndarray], pct: float, window: int, alpha: float = steps.ALPHA,
          miss: float = MISS) -> Verdict:
    """The gate over one line's history: the newest night, and the steps of
    the whole history (those among the newest `window` commits that are
    regressions with their interval beyond +pct fail it). alpha: the
    chance of a false step; miss: of a false regression on a night (both
    smaller where several lines share them)."""
    means = components.means(values)
    found, drift = steps.find(means, alpha)
    bound = math.log1p(pct / 100.0)
    failing = tuple(s for s in found if s.index >= len(values) - window and s.ci[0] > bound)
    if len(values) < 2:
        nt = _unsure("no commit before the newest", math.nan, len(values[-1]) if values else 0, 0)
    else:
        nt = night(values, pct, level_start(values, window, alpha), miss)
    status = REGRESSION if failing or nt.status == REGRESSION else nt.status
    return Verdict(status, nt, tuple(found), tuple(drift), failing)
