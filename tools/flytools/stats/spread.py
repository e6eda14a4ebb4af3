# spread.py: how much a flight's timings vary at each level a game run has:
# passes within a launch, launches within a session, sessions. A level that a
# comparison sees only once per variant (one launch each, or one session
# each) adds a variance the comparison's own data can't show; it has to come
# from a measurement of this flight on this machine (a history of its runs),
# and these are the figures that measurement gives. Values are logs of
# per-pass figures, so variances are in squared log units (about
# (percent/100)^2). The launch and session levels are measured as
# flyhistory's gate measures a commit's (stats.components), which leaves
# out a single outlier run; the passes' share is then taken out.
import math
from dataclasses import dataclass
from typing import Optional, Sequence

import numpy as np

from . import components


@dataclass(frozen=True)
class Spread:
    pass_var: float                 # one pass's value around its launch's level
    pass_df: int
    launch_var: float               # a launch's level around its session's, beyond its passes
    launch_df: float                # Satterthwaite's: the passes' share taken out costs precision
    passes_per_launch: float        # harmonic mean of the passes that measured it
    session_var: Optional[float]    # a session's level around its neighbours', beyond its launches
    session_df: Optional[float]
    launches: int
    sessions: int

    def launch_total(self, passes: float) -> float:
        """Variance of one launch's value (the mean of its passes' logs) with `passes` passes."""
        return self.launch_var + self.pass_var / passes


def _pooled(groups: Sequence[np.ndarray]) -> tuple[float, int]:
    ss, df = 0.0, 0
    for g in groups:
        if len(g) > 1:
            ss += float(((g - g.mean()) ** 2).sum())
            df += len(g) - 1
    return (ss / df if df else math.nan), df


def _excess(total: float, total_df: float, part: float, part_df: float) -> tuple[float, float]:
    """A variance component found as one mean square less another's share
    (each with its degrees of freedom): its value (at least 0) and
    Satterthwaite's degrees of freedom for the difference, far fewer than
    total_df where the part taken out is a large share of the total (at
    least 1: below it t's tails grow without bound)."""
    value = max(total - part, 0.0)
    spread = total * total / total_df + (part * part / part_df if part_df else 0.0)
    return value, (max(value * value / spread, 1.0) if value > 0.0 else float(total_df))


def measure(series: Sequence[Sequence[Sequence[Sequence[float]]]]) -> Optional[Spread]:
    """The spread at each level from series of sessions (each series' in
    time order), each session a list of launches, each launch a list of its
    passes' log values. None when no session holds two launches (the launch
    level can't be measured).

    Launch level: the pooled variance of launch means within their session
    (a session whose launches disagree far beyond the others' left out),
    less the passes' share. Session level: from the differences of
    neighbouring sessions' means within a series (robust to a level that
    steps once or drifts slowly, as a history's commits do; a difference
    far beyond the rest left out), less the launches' share; None under
    two such differences."""
    series = [[[np.asarray(l, dtype=np.float64) for l in s if len(l)] for s in ss] for ss in series]
    series = [[s for s in ss if s] for ss in series]
    sessions = [s for ss in series for s in ss]
    pass_var, pass_df = _pooled([l for s in sessions for l in s])
    launch_means = [[np.array([l.mean() for l in s]) for s in ss] for ss in series]
    level_var, launch_df, _ = components.within([m for ms in launch_means for m in ms])
    if not launch_df:
        return None
    counts = [len(l) for s in sessions for l in s]
    r = len(counts) / sum(1.0 / c for c in counts)
    pv = 0.0 if math.isnan(pass_var) else pass_var
    launch_var, launch_eff = _excess(level_var, launch_df, pv / r, pass_df)
    found = [components.commit_spread(components.means(ms), np.array([len(m) for m in ms], dtype=np.float64),
                                      level_var) for ms in launch_means if len(ms) > 1]
    kept = sum(m for _, _, m in found)
    session_var = session_df = None
    if kept >= 2:
        session_var = sum(v * m for v, _, m in found if m) / kept
        session_df = sum(df for _, df, _ in found)
    return Spread(pv, pass_df, launch_var, launch_eff, r, session_var, session_df,
                  len(counts), len(sessions))
