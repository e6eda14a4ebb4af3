# A seeded simulation of the verdicts' error rates on logs made like a game's (gamesim.py: frames of 6-16 ms around a
# path profile, AR(1) noise within a pass, offsets per pass, per pass and segment and per launch, a slow mode in 10% of
# launches, drift over a session, stutters, bursts of slow frames, a periodic spike, an offset per session). The
# README's rates table comes from these figures (printed on standard error).
import pathlib
import sys
import tempfile
import unittest

from dataclasses import replace

import numpy as np

import gamesim as g
from support import relaunched, run_of, write_folder
from flytools import metrics
from flytools.compare import analysis
from flytools.inputs import stdoutlog
from flytools.records import Run
from flytools.run import decide
from flytools.stats import spread

MEAN = [metrics.BY_NAME["mean"]]
NZ, STEADY = g.Noise(), g.Noise(drift=0.0)


def launch(rng, passes, pos, offset=0.0, shift=0.0, nz=NZ):
    """The passes (rows) of one launch at its place in the session, B's `shift` slower."""
    return g.passes(rng, passes, g.launch_scale(rng, nz, pos, offset) * (1 + shift), nz)


def one_launch_pair(rng, passes, shift=0.0):
    """Runs A and B of one launch each, one after the other in one session."""
    offset = rng.normal(0, STEADY.session_sd)
    return [run_of(*launch(rng, passes, k, offset, shift * k, STEADY)) for k in (0, 1)]


def measured(rng, sessions=10, launches=3, passes=2):
    """The spread measured from a history of `sessions` sessions (commits) of launches."""
    ses = []
    for _ in range(sessions):
        offset = rng.normal(0, STEADY.session_sd)
        ses.append([np.log(launch(rng, passes, i, offset, nz=STEADY).mean(axis=1)) for i in range(launches)])
    return {"mean": spread.measure([ses])}


def printed(label, *passes):
    """A run of one launch as its saved stdout log gives it: each pass's summary line, figures rounded as printed."""
    lines = []
    for i, t in enumerate(passes, 1):
        seconds = t.sum() / 1000
        lines.append("flyrate: pass %d of %d\nflyrate: %d frames %.2f seconds %.2f fps, frame ms min/avg/p99/max "
                     "%.1f/%.1f/%.1f/%.1f" % (i, len(passes), len(t), seconds, len(t) / seconds, t.min(), t.mean(),
                                              metrics.p99_ms(t), t.max()))
    return Run(label, label, "log", tuple(stdoutlog.parse_log("\n".join(lines), label)))


def order(k):
    return "ABBA" if k % 2 == 0 else "BAAB"


def flyrun_pair(rng, runs, passes, shift=0.0, nz=NZ):
    """Runs A and B of a session of A B B A / B A A B blocks: per launch its offset and drift."""
    data = {"A": ([], [], []), "B": ([], [], [])}
    for pos, label in enumerate("".join(order(k) for k in range(runs // 2))):
        times, launches, orders = data[label]
        launches += [len(times) // passes] * passes
        orders += [pos + 1 + i / 100 for i in range(passes)]
        times += list(launch(rng, passes, pos, 0.0, shift * (label == "B"), nz))
    return [run_of(*data[label][0], launches=data[label][1], orders=data[label][2]) for label in "AB"]


def until_decided(rng, shift, cap=30, passes=3):
    """flyrun --until-decided's looks on a simulated session: (verdict, launches of each, the launches of each
    the first look planned)."""
    data, looks, planned = {"A": ([], [], []), "B": ([], [], [])}, cap // 2, None
    for k in range(looks):
        for i, label in enumerate(order(k)):
            times, launches, orders = data[label]
            launches += [len(times) // passes] * passes
            orders += [4 * k + i + 1 + j / 100 for j in range(passes)]
            times += list(launch(rng, passes, 4 * k + i, 0.0, shift * (label == "B")))
        runs = [run_of(*data[label][0], launches=data[label][1], orders=data[label][2]) for label in "AB"]
        lk = decide.judge(*runs, looks, 1.0)
        planned = planned or (lk.needed and max(lk.needed, lk.launches + 2))
        if lk.verdict != "inconclusive":
            return lk.verdict, lk.launches, planned
    return "inconclusive", cap, planned


def rates(pairs, pct=1.0, verdicts=("faster", "slower"), spreads=None):
    """Share of the pairs (A, B) whose verdict on the mean frame time is one of `verdicts`."""
    return np.mean([analysis.compare(a, b, [], pct, MEAN, spreads).verdict in verdicts for a, b in pairs])


def report(what, value):
    sys.stderr.write("%s: %.1f%%\n" % (what, value * 100))
    return value


class Simulation(unittest.TestCase):
    # Bounds: the rates asked for (A/A at most 5%), or a rate measured give or take about 2.5 standard errors.
    def test_one_launch(self):
        rng = np.random.default_rng(1)
        self.assertEqual(analysis.compare(*one_launch_pair(rng, 1), [], 1.0).verdict, "inconclusive")
        # One launch each: no verdict without the launches' spread; with it measured in a history (10 commits x 3
        # launches x 2 passes), A/A at most 5% (the launch variance, a history's launch means less their passes'
        # share, has far fewer degrees of freedom than its launches), a true +1.2% called faster in none.
        for passes in (2, 20):
            aa = [one_launch_pair(rng, passes) for _ in range(100)]
            self.assertEqual(rates(aa), 0.0)
            got = [rates([p], spreads=measured(rng)) for p in aa]
            self.assertLessEqual(report("one launch each, %d passes, history, A/A" % passes, np.mean(got)), 0.05)
            wrong = [rates([one_launch_pair(rng, passes, 0.012)], verdicts=("faster",), spreads=measured(rng))
                     for _ in range(40)]
            self.assertLessEqual(report("  +1.2% called faster", np.mean(wrong)), 0.05)

    def test_rounded_logs(self):
        rng = np.random.default_rng(4)
        # Saved stdout logs of one launch each, figures rounded as printed: the passes' interval covers the exact
        # change of the two launches at least 90% of the time, and steady passes draw a drift warning at most about
        # 5% (4.8% of 12,000 without rounding; bound 2.5 standard errors above 5% at this count).
        for passes in (2, 5, 10, 20):
            covered, warned = [], []
            for _ in range(300):
                scales = [g.launch_scale(rng, STEADY, 0, 0.0) for _ in "AB"]
                runs = [printed(label, *g.passes(rng, passes, s, STEADY)) for label, s in zip("AB", scales)]
                ci = analysis.compare(*runs, [], 1.0, MEAN).intervals["mean"].ci_pct
                covered.append(ci[0] <= (scales[1] / scales[0] - 1) * 100 <= ci[1])
                warned.append(analysis.drift(runs) is not None)
            self.assertGreaterEqual(report("stdout logs, %d passes, interval covers" % passes, np.mean(covered)), 0.90)
            self.assertLessEqual(report("  steady, drift warned", np.mean(warned)), 0.08)

    def test_launches(self):
        rng = np.random.default_rng(2)
        # 5 launches x 3 passes a variant: launches are the unit; the same passes as one launch each get no verdict.
        pairs = [flyrun_pair(rng, 6, 3, nz=STEADY) for _ in range(200)]
        self.assertLessEqual(report("6 launches, A/A at 1%", rates(pairs)), 0.05)
        self.assertEqual(rates([(relaunched(a), relaunched(b)) for a, b in pairs], 0.0), 0.0)
        slow = [flyrun_pair(rng, 6, 3, 0.05) for _ in range(100)]
        self.assertGreaterEqual(report("6 launches, +5% found", rates(slow, verdicts=("slower",))), 0.35)

    def test_until_decided(self):
        rng = np.random.default_rng(3)
        # Looking after every block up to 30 launches each: A/A at most 5%; +10% decided in a median of at most 4
        # launches of each.
        aa = [until_decided(rng, 0.0) for _ in range(40)]
        self.assertLessEqual(report("until decided, A/A faster or slower", np.mean([v in ("faster", "slower")
                                                                                   for v, _, _ in aa])), 0.05)
        big = [until_decided(rng, 0.10) for _ in range(40)]
        self.assertEqual([v for v, _, _ in big].count("slower"), 40)
        median, planned = np.median([n for _, n, _ in big]), np.median([p for _, _, p in big if p])
        sys.stderr.write("until decided, +10%%: median %g launches of each; the first look planned %g\n"
                         % (median, planned))
        self.assertLessEqual(median, 4)
        # The first plan a session's looks print is within a factor of 2 of the launches the sessions took.
        self.assertTrue(median / 2 <= planned <= 2 * median)

    def test_plan_from_folder(self):
        # A flyrun folder of two A B B A blocks, B 5% slower, 3 passes in a launch of 30 s: its look prints the plan.
        rng, frames = np.random.default_rng(5), {"A": [], "B": []}
        for pos, label in enumerate("ABBABAAB"):
            frames[label].append(launch(rng, 3, pos, shift=0.05 * (label == "B")))
        with tempfile.TemporaryDirectory() as d:
            for label, orders in (("A", [1, 4, 6, 7]), ("B", [2, 3, 5, 8])):
                write_folder(pathlib.Path(d), frames[label], label, orders=orders, duration_s=30.0)
            text = decide.line("A", "B", decide.look(d, ("A", "B"), 15, 1.0), 1.0)
        self.assertRegex(text, r"^B against A \+\d+\.\d% \(95% CI valid under looking after every block "
                               r"[-+]\d+\.\d\.\.\+\d+\.\d%\); (1 pass|[23] passes) per launch; about \d+ launches of each to "
                               r"decide at \u00b11%$")
        # The comparison at the end gives the interval and verdict of the look it stopped on, wider than one look's.
        for shift in (0.0, 0.05):
            runs = flyrun_pair(rng, 8, 3, shift)
            lk = decide.judge(*runs, 15, 1.0)
            at_end = analysis.compare(*[replace(r, looks=15) for r in runs], [], 1.0, MEAN)
            np.testing.assert_allclose(at_end.intervals["mean"].ci_pct, lk.ci_pct)
            self.assertEqual((at_end.verdict, at_end.looks), (lk.verdict, 15))
            once = analysis.compare(*runs, [], 1.0, MEAN).intervals["mean"].ci_pct
            self.assertTrue(lk.ci_pct[0] < once[0] < once[1] < lk.ci_pct[1])
