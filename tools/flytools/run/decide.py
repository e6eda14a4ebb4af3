# decide.py: flyrun --until-decided's look at its session after each A B B A
# block: the whole path's change of the mean frame time from the launches
# so far (each launch one value, a linear drift over the session taken
# out), its interval made with the critical value of Pocock's boundary for
# all the looks the session may take (stats.sequential), so that the one it
# stops on is still a 95% interval; and the plan for the launches to come
# (stats.plan: passes per launch and launches of each).
import math
from dataclasses import dataclass
from typing import Optional

import numpy as np

from .. import metrics
from ..compare import intervals
from ..compare.intervals import pass_values
from ..inputs import runfolder
from ..stats import inference as stats, plan, sequential, spread

MEAN = metrics.BY_NAME["mean"]


@dataclass(frozen=True)
class Look:
    launches: int                       # timed launches of each variant so far
    change_pct: Optional[float] = None
    ci_pct: Optional[list] = None       # the interval corrected for looking
    verdict: str = "inconclusive"       # faster, slower, no change or inconclusive
    passes: Optional[int] = None        # passes per launch that buy the most precision a minute
    needed: Optional[int] = None        # about how many launches of each would decide it


def _plan(runs, est: float, se: float, n: int, bounds, looks: int) -> tuple:
    """(passes per launch, launches of each) from the spread seen so far;
    the launches at the critical value a look at that many would have (the
    first looks' few degrees of freedom say nothing of the later ones')."""
    levels = [[list(np.log([pass_values(r, MEAN)[i] for i in g])) for g in r.launches] for r in runs]
    sp = spread.measure([levels])
    if sp is None:
        return None, None
    pass_cost = float(np.mean([p.metrics["seconds"] for r in runs for p in r.passes]))
    durations = [e.duration_s for r in runs for e in r.environments if e.duration_s]
    launch_cost = float(np.mean(durations)) - sp.passes_per_launch * pass_cost if durations else 0.0
    passes = plan.passes_per_launch(sp.launch_var, sp.pass_var, launch_cost, pass_cost)
    # The launch-level variance the fit saw, from its standard error (se^2 = 2 v / n).
    needed = plan.launches_needed(stats.margin(est, bounds), se * se * n / 2.0,
                                  lambda k: sequential.critical_t(looks, 2 * k - 3))
    return passes, needed


def look(out: str, labels: tuple, looks: int, pct: float) -> Look:
    """The session in `out` as it stands, A = labels[0] against B = labels[1]."""
    _, runs, _ = runfolder.read_folder(out, set())
    return judge(*(next(r for r in runs if r.path.endswith("/" + label)) for label in labels), looks, pct)


def looks_of(max_runs: int) -> int:
    """The looks a session of at most max_runs launches of each may take:
    one after each block of two launches of each."""
    return max(max_runs // 2, 1)


def judge(ra, rb, looks: int, pct: float) -> Look:
    """Run rb against ra, launches of one session, at one of `looks` looks:
    the whole path's mean frame time as the comparison at the end gives it,
    so that the look and the report never disagree."""
    n = min(len(ra.launches), len(rb.launches))
    if n < 2:
        return Look(n)
    iv = intervals.interval(ra, rb, MEAN, slice(None), "runs", pct, looks=looks)
    if iv.ci_pct is None or iv.df is None or iv.df < 1:
        return Look(n)
    # The standard error back from the interval's half-width (a flyrun
    # session's CSV logs have no rounding to widen it).
    lo, hi = (math.log1p(x / 100.0) for x in iv.ci_pct)
    se = (hi - lo) / (2.0 * sequential.critical_t(looks, iv.df))
    passes, needed = _plan((ra, rb), (lo + hi) / 2.0, se, n, stats.log_bounds(pct), looks)
    return Look(n, iv.change_pct, iv.ci_pct, iv.verdict, passes, needed)


# An interval reaching beyond B at 11 times A's mean frame time says
# nothing a reader can use; the look says so instead of printing it.
WIDEST_SHOWN_PCT = 1000.0


def line(a: str, b: str, lk: Look, pct: float) -> str:
    """The look in words."""
    if lk.ci_pct is None:
        return "too few for an interval"
    if lk.ci_pct[1] > WIDEST_SHOWN_PCT:  # the first looks' few degrees of freedom: no figure worth reading
        ci = "95% CI valid under looking after every block: too wide yet to show"
    else:
        ci = "95%% CI valid under looking after every block %+.1f..%+.1f%%" % tuple(lk.ci_pct)
    text = "%s against %s %+.1f%% (%s)" % (b, a, lk.change_pct, ci)
    if lk.verdict != "inconclusive":
        return text + ": %s" % lk.verdict
    if lk.passes and lk.needed:
        return text + "; %d pass%s per launch; about %d launches of each to decide at \u00b1%g%%" % (
            lk.passes, "" if lk.passes == 1 else "es", max(lk.needed, lk.launches + 2), pct)
    return text


def looker(out: str, labels: tuple, max_runs: int, pct: float, budget_s: float, say, seen: list):
    """The look flyrun's session takes after each block: says the look,
    keeps it in `seen`, and ends the session (decided, or budget when the
    next block would not fit in budget_s seconds; 0: no budget)."""
    looks = looks_of(max_runs)

    def at(elapsed: float, launch_s: float) -> Optional[str]:
        lk = look(out, labels, looks, pct)
        seen.append(lk)
        say("flyrun: after %d launches of each: %s" % (lk.launches, line(*labels, lk, pct)), False)
        if lk.verdict != "inconclusive":
            return "decided"
        if budget_s and elapsed + 2 * len(labels) * launch_s > budget_s:
            return "budget"
        return None
    return at


def outcome(labels: tuple, seen: list, ended: Optional[str], pct: float) -> str:
    """The session's last words on its looks."""
    lk = seen[-1] if seen else Look(0)
    if ended == "decided":
        return "decided after %d launches of each: %s" % (lk.launches, line(*labels, lk, pct))
    why = "the budget ran out" if ended == "budget" else "--max-runs reached"
    more = (", about %d more launches of each would decide it" % max(lk.needed - lk.launches, 2)
            if lk.needed else "; more launches than can be told would be needed")
    return "inconclusive after %d launches of each (%s)%s" % (lk.launches, why, more)
