# intervals.py: the change of one compared metric between two runs over a
# span of the path, with its 95% interval, p and verdict. How the interval
# is made depends on what the runs hold (the method): several game launches
# each give one value (with the session's drift taken out where the
# launches' times are known), two or more passes of one launch give one
# value each; one pass (which can't show how passes differ) gets none.
# A session that was looked at after every block (flyrun --until-decided)
# gets intervals and p that stay valid under that looking.
import functools
import math
from typing import Optional, Sequence

import numpy as np

from .. import metrics
from ..records import Interval, Run
from ..stats import inference as stats, plan, sequential
from ..stats.spread import Spread

# A stdout log prints frame times to 0.1 ms: each printed value is off by
# up to this much (the mean is known closer, from the seconds and fps).
PRINTED_HALF_MS = 0.05


def pass_values(run: Run, metric: metrics.Metric, span: slice = slice(None)) -> list:
    """The metric of each pass over the span (None where a stdout log
    doesn't say, or a span has no GPU times)."""
    if run.has_frames:
        values = [float(metric.of_array(getattr(p, metric.source)[span])) for p in run.passes]
        return [v if math.isfinite(v) else None for v in values]
    return [p.summary.get(metric.name) for p in run.passes]


def launch_times(run: Run) -> Optional[list[float]]:
    """Each launch's place in the session (the mean of its passes' orders),
    or None when unknown."""
    orders = [p.order for p in run.passes]
    if None in orders:
        return None
    return [float(np.mean([orders[i] for i in group])) for group in run.launches]


def run_units(run: Run, logs: Sequence[float], method: str) -> list[float]:
    """The independent values of a run: its per-pass values, or with
    several launches each launch's mean of them."""
    if method not in ("runs", "sessions"):
        return list(logs)
    return [float(np.mean([logs[i] for i in group])) for group in run.launches]


def rounding_bounds(run: Run, values: Sequence[float], metric: metrics.Metric) -> list[float]:
    """How far a stdout log's rounding may move each pass's log value (0
    for CSV logs)."""
    if run.kind != "log" or metric.summary_key is None or metric.unit != "ms":
        return [0.0] * len(values)
    return [p.summary.get("%s_bound" % metric.name, PRINTED_HALF_MS) / v for p, v in zip(run.passes, values)]


def rounding_bias(run: Run, values: Sequence[float], metric: metrics.Metric) -> float:
    """How far rounding may move the mean of a run's passes' log values:
    passes that print alike share the same error, which doesn't average
    out, so it is a bound on a bias, not a variance."""
    return float(np.mean(rounding_bounds(run, values, metric)))


def apart(ra: Run, rb: Run) -> bool:
    """Whether the runs come from two flyrun sessions (made one after the
    other, not interleaved)."""
    return ra.session is not None and rb.session is not None and ra.session != rb.session


def levels_unseen(ra: Run, rb: Run) -> tuple:
    """The levels of noise the runs show only once per variant, whose
    spread their own data can't show: launch (one game launch each),
    session (two flyrun sessions)."""
    one = len(ra.launches) == 1 and len(rb.launches) == 1
    return ("launch",) * one + ("session",) * apart(ra, rb)


def method_of(ra: Run, rb: Run) -> str:
    """runs (several game launches of one session: each launch one value),
    sessions (several launches in each of two sessions), passes (two or
    more passes of one launch each) or none (one pass in a run)."""
    counts = (len(ra.launches), len(rb.launches))
    if max(counts) > 1:
        return ("sessions" if apart(ra, rb) else "runs") if min(counts) > 1 else "none"
    return "passes" if min(len(ra.passes), len(rb.passes)) >= 2 else "none"


def _spread(ra, rb, va, vb, metric, method):
    """(log change, its standard error, df, variance of one unit's log
    ratio, units a side, A's log level as the fit sees it) from the runs'
    independent values."""
    ua, ub = run_units(ra, np.log(va), method), run_units(rb, np.log(vb), method)
    # Launches of one session only: two sessions' places in time don't interleave.
    ta, tb = (launch_times(ra), launch_times(rb)) if method == "runs" else (None, None)
    if ta is not None and tb is not None:
        # Launches of one session: the drift over the session taken out.
        est, se, df = stats.drift_adjusted(ta, ua, tb, ub)
        spread2 = se * se / (1.0 / len(ua) + 1.0 / len(ub)) * 2.0
    else:
        est, se, df = stats.welch(ua, ub)
        spread2 = float(np.var(ua, ddof=1)) + float(np.var(ub, ddof=1))
    # A least-squares fit's values average to the data's: A's level is the
    # mean of all units less the change's share (the session's mean time).
    level = (sum(ua) + sum(ub) - est * len(ub)) / (len(ua) + len(ub))
    return est, se, df, spread2, min(len(ua), len(ub)), level


def unseen_variance(sp: Optional[Spread], levels: Sequence[str]) -> Optional[list]:
    """(variance, df) the levels seen once per variant add to a change's
    log ratio (twice a level's variance: one draw each side), or None
    where one of them isn't measured."""
    parts = []
    if "launch" in levels:
        if sp is None:
            return None
        parts.append((2.0 * sp.launch_var, sp.launch_df))
    if "session" in levels:
        if sp is None or sp.session_var is None:
            return None
        parts.append((2.0 * sp.session_var, sp.session_df))
    return parts


def interval(ra: Run, rb: Run, metric: metrics.Metric, span: slice, method: str,
             pct: float, levels: Sequence[str] = (),
             sp: Optional[Spread] = None, looks: Optional[int] = None) -> Interval:
    """The change of one compared metric over a span, with its interval.

    levels: those seen once per variant (levels_unseen); sp: their spread
    as measured for this flight, without which there is no verdict.
    looks: the looks the session that made the runs may take, each of
    which could have stopped it (flyrun --until-decided): the interval and
    p are those of the sequential boundary, not of a single look."""
    va, vb = pass_values(ra, metric, span), pass_values(rb, metric, span)
    if None in va or None in vb:
        return Interval()
    mean_a, mean_b = sum(va) / len(va), sum(vb) / len(vb)
    if min(va + vb) <= 0:  # a ratio of nothing (steady frames have no pacing to change)
        return Interval(a=mean_a, b=mean_b)
    # Worked as log ratios: over passes the mean of ln(value) per run.
    est, se, df, spread2, have = math.log(mean_b / mean_a), None, None, None, 0
    # Rounding (a shared bias up to b on each side) widens the interval by
    # b_A + b_B both ways, and the band it must clear by as much.
    bias = rounding_bias(ra, va, metric) + rounding_bias(rb, vb, metric)
    if method in ("passes", "runs", "sessions"):
        # A and B shown as the change's model sees them, so b / a - 1 is
        # the change: geometric means over passes or launches, at the
        # session's mean time where drift is taken out.
        est, se, df, spread2, have, level = _spread(ra, rb, va, vb, metric, method)
        mean_a, mean_b = math.exp(level), math.exp(level + est)
        extra = unseen_variance(sp, levels) if levels else []
        if extra is None:  # the interval of these launches (or sessions) only: no verdict
            ci = [stats.percent(x + d) for x, d in zip(stats.interval(est, se, df), (-bias, bias))]
            return Interval(a=mean_a, b=mean_b, change_pct=stats.percent(est), ci_pct=ci,
                            df=df if math.isfinite(df) else None)
        if extra:
            se, df = stats.satterthwaite([(se * se, df)] + extra)
    change = stats.percent(est)
    if se is None:
        return Interval(a=mean_a, b=mean_b, change_pct=change)
    bounds = stats.log_bounds(pct)
    critical, tail = ((sequential.critical_t(looks, df), functools.partial(sequential.p_value, looks))
                      if looks else (None, stats.t_two_sided_p))
    ci = [stats.percent(x + d) for x, d in zip(stats.interval(est, se, df, critical), (-bias, bias))]
    bounds = (bounds[0] - bias, bounds[1] + bias)
    p = stats.side_p(est, se, df, bounds, tail)
    verdict = stats.classify(change, ci, p, pct, metric.worse)
    needed, key = None, "runs_needed" if method in ("runs", "sessions") or levels else "passes_needed"
    if verdict == "inconclusive" and "launch" in levels:  # more launches, not more passes, decide it
        needed = plan.launches_needed(abs(stats.margin(est, bounds)),
                                      sp.launch_total(min(len(va), len(vb))),
                                      lambda n: stats.t_quantile(0.975, df))
    elif verdict == "inconclusive" and "session" not in levels:
        needed = stats.passes_needed(stats.margin(est, bounds), spread2, have)
    return Interval(a=mean_a, b=mean_b, change_pct=change, ci_pct=ci, p=p, verdict=verdict,
                    df=df if math.isfinite(df) else None, **{key: needed})


def method_text(method: str, passes: Sequence[int], launches: Sequence[int], timed: bool = False,
                looks: Optional[int] = None) -> str:
    """How a comparison's intervals were made, in words; timed: the
    launches' places in the session are known; looks: those the session
    could have stopped at."""
    if looks and method != "none":
        return method_text(method, passes, launches, timed) + (
            "; each interval valid under looking after every block, as the session did (Pocock's "
            "critical value for %d looks, carried to t)" % looks)
    if method == "runs":
        return ("95%% intervals from the runs (%d and %d game launches, each the mean of the "
                "logs of its per-pass values, as launches differ more than passes do; %s)"
                % (*launches, "least squares on variant and session time, which "
                   "takes a linear drift out, t with launches - 3 df" if timed else "Welch t"))
    if method == "sessions":
        return ("95%% intervals from the runs (%d and %d game launches, each the mean of the logs of "
                "its per-pass values; Welch t)" % tuple(launches))
    if method == "passes":
        return ("95%% intervals from the passes (Welch t over the logs of %d and %d per-pass "
                "values; the change is that of the geometric mean over passes)" % tuple(passes))
    if max(launches) > 1:
        return "no intervals: a run from a single game launch against one from several"
    return ("no intervals: one pass in a run can't show how much passes differ from each other "
            "(a whole pass may run a few percent off)")
