# A seeded simulation of the verdict's error rates on logs made like a game's: frames of about 8 ms
# correlated from frame to frame (AR(1), phi 0.9), a path profile every pass shares, an offset per
# pass (sd 1.5%) and per game launch (sd 2%), stutters of 30-60 ms in 0.3% of frames, and drift.
import sys
import unittest

import numpy as np
from scipy import signal

from support import relaunched, run_of
from flytools import metrics
from flytools.compare import analysis
from flytools.stats import spread

MEAN = [metrics.BY_NAME["mean"]]

N = 600
PATH = 8 * (1 + 0.1 * np.sin(np.arange(N) * 2 * np.pi / 240) + 0.2 * (np.arange(N) % 150 < 20))


def frames(rng, passes, scale=1.0, pass_sd=0.015, phi=0.9):
    """Frame times of passes (rows): AR(1) noise of sd 5% around the path, a pass offset, stutters."""
    noise = signal.lfilter([np.sqrt(1 - phi * phi)], [1, -phi], rng.normal(0, 0.05, (passes, N + 200)))[:, 200:]
    t = PATH * (1 + noise) * np.exp(rng.normal(0, pass_sd, (passes, 1))) * scale
    stutter = rng.random(t.shape) < 0.003
    t[stutter] = rng.uniform(30, 60, stutter.sum())
    return t


def session(rng, runs, order):
    """Labels in the order they run: blocks holding each label twice, A B B A then B A A B, or each
    block in a seeded random order; cut when each label has its runs."""
    seq, count, k = [], {"A": 0, "B": 0}, 0
    while len(seq) < 2 * runs:
        block = list("ABBA" if k % 2 == 0 else "BAAB") if order == "abba" else list(rng.permutation(list("AABB")))
        for label in block:
            if count[label] < runs:
                seq.append(label)
                count[label] += 1
        k += 1
    return seq


def flyrun_pair(rng, runs, passes, shift=0.0, order="abba", drift=0.005, run_sd=0.02):
    """Runs A and B of a session: per launch an offset and the drift at its place in the session."""
    data = {"A": ([], [], []), "B": ([], [], [])}
    for pos, label in enumerate(session(rng, runs, order)):
        scale = (1 + drift * pos) * np.exp(rng.normal(0, run_sd)) * (1 + shift * (label == "B"))
        times, launch, orders = data[label]
        launch += [len(times) // passes] * passes
        orders += [pos + 1 + i / 100 for i in range(passes)]
        times += list(frames(rng, passes, scale))
    return [run_of(*data[label][0], launches=data[label][1], orders=data[label][2]) for label in "AB"]


def one_file_pair(rng, passes, shift=0.0, drift=0.0):
    """Runs A and B of one launch each, A's passes all before B's, each pass `drift` slower than the last."""
    return [run_of(*frames(rng, passes, 1 + shift * k) * (1 + drift * (k * passes + np.arange(passes)))[:, None])
            for k in (0, 1)]


def rates(pairs, pct=1.0, verdicts=("faster", "slower"), spreads=None):
    """Share of the pairs (A, B) whose verdict on the mean frame time is one of `verdicts`."""
    return np.mean([analysis.compare(a, b, [], pct, MEAN, spreads).verdict in verdicts for a, b in pairs])


def measured(rng, sessions=10, launches=3, passes=2):
    """The spread measured from a history of `sessions` sessions of one_file_pair's launches."""
    return {"mean": spread.measure([[[np.log(frames(rng, passes).mean(axis=1)) for _ in range(launches)]
                                     for _ in range(sessions)]])}


def report(what, value):
    sys.stderr.write("%s: %.2f%%\n" % (what, value * 100))
    return value


class Simulation(unittest.TestCase):
    # Bounds: the rates asked for (A/A at most 5%), or a rate measured give or take about 2.5 standard errors.
    def test_one_launch(self):
        rng = np.random.default_rng(1)
        # One pass: no verdict (the frames' bootstrap once shown covered the truth 61% of the time), whatever
        # the pair: one shows it.
        self.assertEqual(analysis.compare(*one_file_pair(np.random.default_rng(0), 1), [], 1.0).verdict, "inconclusive")
        aa = [one_file_pair(rng, 5) for _ in range(300)]
        self.assertLessEqual(report("5 passes, A/A faster or slower", rates(aa)), 0.05)
        slow = [one_file_pair(rng, 10, 0.03) for _ in range(200)]
        # One launch each: no verdict without the launches' spread measured for this flight (a history).
        self.assertEqual(rates(slow), 0.0)
        self.assertGreaterEqual(report("10 passes, 3% slower found", rates(slow, verdicts=("slower",),
                                                                           spreads=measured(rng))), 0.25)
        # The drift warning: false alarms on steady pairs, and passes drifting 1% each (then 55% called slower).
        steady = [analysis.drift(one_file_pair(rng, 5)) is not None for _ in range(300)]
        self.assertLessEqual(report("5 passes, steady, drift warned", np.mean(steady)), 0.08)
        drifting = [one_file_pair(rng, 5, 0.0, 0.01) for _ in range(200)]
        self.assertGreaterEqual(report("5 passes drifting 1%, warned", np.mean([analysis.drift(p) is not None
                                                                               for p in drifting])), 0.35)

    def test_launches(self):
        rng = np.random.default_rng(2)
        # 5 launches x 3 passes a variant, launch offsets sd 2%: launches are the unit; the passes as one launch each
        # (18% called different at --min-effect 0, as a launch's passes share its offset) get no verdict unmeasured.
        pairs = [flyrun_pair(rng, 5, 3, drift=0.0) for _ in range(300)]
        self.assertLessEqual(report("launches as unit, A/A at 0%", rates(pairs, 0.0)), 0.08)
        pairs = [(relaunched(a), relaunched(b)) for a, b in pairs]   # every pass of one launch
        self.assertEqual(rates(pairs, 0.0), 0.0)
        # Drift +0.5% a launch, both orders: A/A within 5% (at +-1%); the ABBA estimate no wider than the random one.
        spread = {}
        for order in ("abba", "random"):
            pairs = [flyrun_pair(rng, 5, 3, order=order) for _ in range(300)]
            self.assertLessEqual(report(order + " A/A", rates(pairs)), 0.05)
            change = [analysis.compare(a, b, [], 1.0, MEAN).intervals["mean"].change_pct for a, b in pairs]
            spread[order] = report(order + " sd of the change", np.std(change) / 100)
        self.assertLessEqual(spread["abba"], spread["random"] * 1.1)
        # A true 3% slowdown: found in about 20% with 5 launches each (the launch offsets alone leave the change a
        # standard error of 2% x sqrt(2/5) = 1.3%, and "slower" needs it clear of +1%); 80% takes about 23.
        self.assertGreaterEqual(report("5 launches, 3% slower found", rates([flyrun_pair(rng, 5, 3, 0.03) for _ in range(200)],
                                                                   verdicts=("slower",))), 0.12)
        self.assertGreaterEqual(report("25 launches, 3% slower found", rates(
            [flyrun_pair(rng, 25, 3, 0.03) for _ in range(150)], verdicts=("slower",))), 0.75)
