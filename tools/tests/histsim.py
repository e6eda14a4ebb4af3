# histsim.py: nightly histories for flyhistory's simulations. A commit is one
# nightly flyrun session of k launches x p passes drawn frame by frame from
# gamesim (AR(1) frames, pass and segment offsets, launch offsets with a slow
# mode, drift within the session, stutters, bursts, spikes), plus what only a
# history has: a session offset per commit, a step in the level at a commit,
# an outlier run (one commit's whole session, or one launch, off by a
# factor) and a random walk of the level. The methods see launch values: the
# mean of a launch's pass log means. A launch-level generator that draws
# those values from a pool made frame by frame (same distribution, far
# faster) serves the tests; the README's rates come from the frame-level one.
# The scenarios of the rates follow: each draws seeded histories and judges
# each with history.gate.judge at --fail-on-regression 1 and --window 10, as
# the nightly check would (bench/flyhistory_bench.py prints the table; the
# tests assert on quick()).
import math
from dataclasses import dataclass, replace

import numpy as np

import gamesim as g
import support  # noqa: F401  (puts the tools on the path)
from flytools.history import gate


@dataclass(frozen=True)
class Setup:
    commits: int = 60
    launches: int = 3            # per commit
    newest_launches: int = 0     # launches on the newest commit (0: as the others)
    passes: int = 2              # per launch
    step_at: int | None = None   # 0-based index of the first commit of the new level
    step_pct: float = 0.0
    outlier_at: int | None = None
    outlier_pct: float = 0.0
    outlier_kind: str = "run"    # "run": every launch of the commit; "launch": its first
    walk_pct: float = 0.0        # sd of the level's random walk per commit


def levels(rng: np.random.Generator, setup: Setup) -> np.ndarray:
    """The true log level of every commit: a random walk plus the step."""
    walk = np.cumsum(rng.normal(0.0, setup.walk_pct / 100.0, setup.commits)) if setup.walk_pct else \
        np.zeros(setup.commits)
    walk -= walk[0]
    if setup.step_at is not None:
        walk[setup.step_at:] += np.log1p(setup.step_pct / 100.0)
    return walk


def _launch_counts(setup: Setup) -> list[int]:
    k = [setup.launches] * setup.commits
    if setup.newest_launches:
        k[-1] = setup.newest_launches
    return k


def _outlier(setup: Setup, commit: int, launch: int) -> float:
    """Log factor of the outlier run on this launch, else 0."""
    if commit != setup.outlier_at or (setup.outlier_kind == "launch" and launch != 0):
        return 0.0
    return float(np.log1p(setup.outlier_pct / 100.0))


def history(rng: np.random.Generator, setup: Setup, nz: g.Noise | None = None) -> list[np.ndarray]:
    """Per commit, its launches' values, frame by frame from gamesim."""
    nz = nz or g.Noise()
    lev = levels(rng, setup)
    out = []
    for c, k in enumerate(_launch_counts(setup)):
        session = rng.normal(0.0, nz.session_sd)
        vals = []
        for pos in range(k):
            scale = g.launch_scale(rng, nz, pos, session) * np.exp(lev[c] + _outlier(setup, c, pos))
            vals.append(g.pass_logmeans(g.passes(rng, setup.passes, scale, nz)).mean())
        out.append(np.array(vals))
    return out


class Pool:
    """Launch values by position in the session, made frame by frame with
    no session offset, to draw launch-level histories from quickly."""

    def __init__(self, size: int = 3000, passes: int = 2, positions: int = 3, seed: int = 99,
                 nz: g.Noise | None = None):
        self.nz = nz or g.Noise()
        rng = np.random.default_rng(seed)
        self.values = np.array([[g.pass_logmeans(g.passes(rng, passes, g.launch_scale(rng, self.nz, pos, 0.0),
                                                          self.nz)).mean() for pos in range(positions)]
                                for _ in range(size)])

    def history(self, rng: np.random.Generator, setup: Setup) -> list[np.ndarray]:
        lev = levels(rng, setup)
        out = []
        for c, k in enumerate(_launch_counts(setup)):
            rows = rng.integers(0, len(self.values), k)
            vals = self.values[rows, np.minimum(np.arange(k), self.values.shape[1] - 1)]
            vals = vals + rng.normal(0.0, self.nz.session_sd) + lev[c]
            out.append(vals + np.array([_outlier(setup, c, p) for p in range(k)]))
        return out


PCT, WINDOW = 1.0, 10
LENGTHS = (5, 6, 8, 10, 15, 20, 30, 45, 60)
S = Setup


@dataclass(frozen=True)
class Scenario:
    setup: Setup
    outlier_anywhere: bool = False    # the outlier run at a random commit of each history
    prefixes: bool = False            # also judge every prefix of LENGTHS commits


SCENARIOS = {
    "flat": Scenario(S(commits=60), prefixes=True),
    "flat+outlier run": Scenario(S(outlier_pct=20), outlier_anywhere=True),
    "flat+outlier launch": Scenario(S(outlier_pct=20, outlier_kind="launch"), outlier_anywhere=True),
    "walk 0.3%": Scenario(S(walk_pct=0.3), prefixes=True),
    "3% at 40/60": Scenario(S(step_at=40, step_pct=3)),
    "3% at 40/60, 6 launches": Scenario(S(step_at=40, step_pct=3, launches=6)),
    "3% at 55/60": Scenario(S(step_at=55, step_pct=3)),
    "5% at 40/60": Scenario(S(step_at=40, step_pct=5)),
    "3% at 40/60+outlier run": Scenario(S(step_at=40, step_pct=3, outlier_pct=10), outlier_anywhere=True),
    "+20% from 5 of 8": Scenario(S(commits=8, step_at=4, step_pct=20)),
    "+20% from 3 of 5": Scenario(S(commits=5, step_at=2, step_pct=20)),
    "+10% from 6 of 10": Scenario(S(commits=10, step_at=5, step_pct=10)),
    "+50% in the last 3 of 20": Scenario(S(commits=20, step_at=17, step_pct=50)),
    "+5% in the last 3 of 20": Scenario(S(commits=20, step_at=17, step_pct=5)),
    "newest +10% after 10": Scenario(S(commits=11, step_at=10, step_pct=10)),
    "newest +10% after 10, 1 launch": Scenario(S(commits=11, step_at=10, step_pct=10, newest_launches=1)),
    "newest +5% after 59": Scenario(S(commits=60, step_at=59, step_pct=5)),
}


def judged(values: list[np.ndarray], setup: Setup) -> dict:
    """What one history's verdict says, as flags the rates count."""
    v = gate.judge(values, PCT, WINDOW)
    out = {"step": bool(v.steps), "drift only": bool(v.drift) and not v.steps,
           "check exit 3": v.status == gate.REGRESSION, "unsure": v.status == gate.UNSURE,
           "fine": v.status == gate.FINE, "night regression": v.night.status == gate.REGRESSION}
    if setup.step_at is not None and setup.step_at < setup.commits - 1:
        near = [s for s in v.steps if abs(s.index - setup.step_at) <= 1]
        out["step within 1"] = bool(near)
        out["change within 1"] = bool(near) or any(abs(s.index - setup.step_at) <= 1 for s in v.drift)
        if near:
            true = math.log1p(setup.step_pct / 100.0)
            out["covered"] = near[0].ci[0] <= true <= near[0].ci[1]
    return out


def histories(sc: Scenario, count: int, seed: int, pool: Pool | None):
    rng = np.random.default_rng(seed)
    for _ in range(count):
        setup = sc.setup
        if sc.outlier_anywhere:
            setup = replace(setup, outlier_at=int(rng.integers(0, setup.commits)))
        yield setup, (pool.history(rng, setup) if pool else history(rng, setup))


def run(name: str, count: int, seed: int = 1, pool: Pool | None = None,
        prefixes: bool = True) -> dict:
    """Rates of one scenario: the share of histories with each flag (the
    coverage among histories with a step found within one commit)."""
    sc = SCENARIOS[name]
    tally, prefix = {}, {}
    for setup, values in histories(sc, count, seed, pool):
        for k, x in judged(values, setup).items():
            tally.setdefault(k, []).append(x)
        if sc.prefixes and prefixes:
            for n in LENGTHS:
                f = judged(values[:n], replace(setup, commits=n))
                prefix.setdefault(n, []).append((f["step"], f["drift only"], f["check exit 3"]))
    rates = {k: (float(np.mean(x)), len(x)) for k, x in tally.items()}
    rates["by length"] = {n: tuple(float(r) for r in np.mean(v, axis=0)) for n, v in prefix.items()}
    return rates


def quick(seed: int = 3) -> dict:
    """The test-sized run: a few scenarios, 40 histories each, launch values
    from a small pool (a few seconds)."""
    pool = Pool(size=300, seed=seed)
    names = ("flat+outlier run", "walk 0.3%", "+20% from 5 of 8", "newest +10% after 10",
             "newest +10% after 10, 1 launch")
    return {n: run(n, 40, seed, pool, prefixes=False) for n in names}


def table(results: dict) -> str:
    cols = ("step", "drift only", "step within 1", "change within 1", "covered", "check exit 3", "unsure",
            "fine")
    lines = ["| scenario | " + " | ".join(cols) + " |", "|---" * (len(cols) + 1) + "|"]
    for name, r in results.items():
        cells = ["%.3f" % r[c][0] + (" (%d)" % r[c][1] if c == "covered" else "") if c in r else "-"
                 for c in cols]
        lines.append("| %s | %s |" % (name, " | ".join(cells)))
    for name, r in results.items():
        if r["by length"]:
            lines += ["", "%s, by history length: step, drift only, check exit 3" % name]
            lines += ["  %3d commits: %.3f %.3f %.3f" % (n, *v) for n, v in r["by length"].items()]
    return "\n".join(lines)
