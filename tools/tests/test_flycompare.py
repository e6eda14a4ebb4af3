# Tests for tools/flycompare: figures against hand-worked values, a seeded simulation of the
# verdict's error rates, inputs good and bad, comparisons end to end. CTest runs each class.
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
from flycompare_lib import analysis, metrics, pictures, reading, stats  # noqa: E402


def csv_text(passes, chunks=None):
    """A CSV log from per-pass frame times (and chunk builds: 4 columns)."""
    return "pass,frame,frame_ms" + ",chunks" * bool(chunks) + "".join(
        "\n%d,%d,%.6f" % (p, i, t) + (",%d" % chunks[p - 1][i - 1] if chunks else "")
        for p, times in enumerate(passes, 1) for i, t in enumerate(times, 1)) + "\n"


def ppm(pixels, comment=b""):
    h, w, _ = pixels.shape
    return b"P6\n" + comment + b"%d %d\n255\n" % (w, h) + pixels.astype(np.uint8).tobytes()


class Tool(unittest.TestCase):  # a scratch folder, files written in it, the command run there
    def setUp(self):
        tmp = tempfile.TemporaryDirectory(ignore_cleanup_errors=True)  # a browser may linger
        self.addCleanup(tmp.cleanup)
        self.dir = tmp.name

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb" if isinstance(data, bytes) else "w") as f:
            f.write(data)
        return path

    def read(self, name):
        with open(os.path.join(self.dir, name)) as f:
            return f.read()

    def run_tool(self, *args, status=0):
        r = subprocess.run([os.path.join(HERE, "..", "flycompare"), *args], capture_output=True, text=True,
                           cwd=self.dir, timeout=120, env=dict(os.environ, MPLCONFIGDIR=self.dir + "/mpl"))
        self.assertEqual(r.returncode, status, r.stderr + r.stdout[-3000:])
        return r

    def write_shots(self):
        """Runs slow.csv, fast.csv; screenshots in a and b: keyframe 0 the same, 120 with a pixel beyond
        the tolerance of 2 and one at it, 240 not a PPM, 360 missing, 480 cut short; c another size."""
        pic = np.random.default_rng(4).integers(0, 200, (3, 4, 3))
        moved = pic.copy()
        moved[0, 0, 1], moved[2, 3, 0] = pic[0, 0, 1] + 10, pic[2, 3, 0] + 2
        for frame, b in [(0, ppm(pic)), (120, ppm(moved)), (240, b"P3\n4 3\n255\n"), (360, None),
                         (480, ppm(pic)[:-1])]:
            self.write("a/frame-%05d.ppm" % frame, ppm(pic, b"# made by a test\n"))
            if b:
                self.write("b/frame-%05d.ppm" % frame, b)
        self.write("c/frame-00000.ppm", ppm(pic[:2, :2]))
        self.write("fast.csv", csv_text([[8.0] * 10, [8.1] * 10]))
        self.write("slow.csv", csv_text([[10.0] * 10, [10.1] * 10]))


class Statistics(unittest.TestCase):
    def test_metrics(self):
        cases = [  # frame times, expected metrics
            ([8.0] * 999 + [200.0], {"frames": 1000, "seconds": 8.192, "mean": 8.192, "median": 8,
                                     "p99": 8, "p99.9": 200, "max": 200, "low1": 1000 / 27.2,
                                     "low01": 5, "stutters": 1}),
            ([10, 20, 30, 40], {"median": 25, "p95": 40, "p99": 40, "low1": 25}),
            ([5, 1, 3], {"median": 3, "p95": 5, "low1": 200}),
            ([10] * 9 + [25], {"stutters": 0}),               # 2.5 x median is no stutter
            ([10] * 9 + [25.5], {"stutters": 1, "low1": 1000 / 25.5}),
            (range(1, 2001), {"p95": 1901, "p99": 1981, "p99.9": 1999}),
            ([10] * 148 + [20, 30], {"low1": 40, "low01": 1000 / 30}),  # ceil(1.5) = 2 frames
        ]
        for case, (times, want) in enumerate(cases):
            m = metrics.frame_metrics(times := np.array(times, dtype=float))
            for name, value in want.items():
                with self.subTest(case=case, metric=name):
                    self.assertAlmostEqual(m[name], value)
                    if name == "stutters":                    # as segments count them
                        self.assertEqual(metrics.stutter_mask(times).sum(), value)
        # The compared metrics, on many passes at once for the bootstrap, agree.
        x = np.random.default_rng(1).gamma(4, 2, (3, 701))
        for key, (fn, *_) in metrics.COMPARED.items():
            np.testing.assert_allclose(fn(x), [metrics.frame_metrics(row)[key] for row in x])

    def test_known_values_and_verdicts(self):
        for df, t in [(1, 12.7062), (4, 2.7764), (30, 2.0423), (float("inf"), 1.9600)]:
            self.assertAlmostEqual(stats.t_quantile(0.975, df), t, places=4)
        # Welch: means 100 and 110, both sd 2 over 3 passes: se^2 = 8/3, df = 4.
        d, se, df = stats.welch([100, 102, 98], [110, 112, 108])
        np.testing.assert_allclose([d, df, *stats.interval(d, se, df)], [10, 4, 5.4661, 14.5339], 1e-5)
        self.assertEqual(stats.welch([5, 5], [5, 5]), (0.0, 0.0, float("inf")))
        for p, adjusted in [([0.01, 0.04, 0.03], [0.03, 0.06, 0.06]), ([0.2, 0.001], [0.2, 0.002]),
                            ([0.6, 0.5], [1.0, 1.0])]:
            np.testing.assert_allclose(stats.holm(p), adjusted)
        # Passes needed: sd 1 per pass in each run, 1 from the threshold: t(16) * sqrt(2/9) < 1.
        self.assertEqual([stats.passes_needed(margin, spread2, 3) for margin, spread2 in
                          [(1.0, 2.0), (0.0, 2.0), (0.1, 50.0)]], [9, None, None])
        cases = [  # change, interval, p, threshold, worse (-1: fps) -> verdict
            (4.0, (2, 6), 0.01, 1, 1, "slower"), (-4.0, (-6, -2), 0.01, 1, 1, "faster"),
            (4.0, (2, 6), 0.01, 1, -1, "faster"), (4.0, (2, 6), 0.06, 1, 1, "inconclusive"),
            (0.2, (-0.5, 0.9), 1.0, 1, 1, "no change"), (0.2, (-1.5, 1.9), 1.0, 1, 1, "inconclusive"),
            (0.0, (0.0, 0.0), 1.0, 0, 1, "no change"), (4.0, None, None, 1, 1, "inconclusive")]
        for est, ci, p, pct, worse, verdict in cases:
            self.assertEqual(stats.classify(est, ci, p, pct, worse), verdict, (est, ci, p))

    def test_one_pass_bootstrap(self):
        # The interval is seeded, wider when thinner and none under two blocks; both runs take
        # the same blocks, so B = A + 3% gets +3..+3%.
        rng, widths = np.random.default_rng(3), []
        for n in (3000, 300, 150):
            a, b = (reading.Run("x", "x", "csv", [reading.Pass(1, 8 + np.convolve(
                rng.normal(size=n + 29), np.ones(30) / 30, "valid"))]) for _ in "ab")
            first, again = (analysis.compare(a, b, [], 1.0) for _ in "12")
            self.assertEqual(first, again)
            ci = first["intervals"]["mean"]["ci_pct"]
            self.assertEqual(ci is None, n < 2 * first["bootstrap_block"], n)
            widths.append(ci[1] - ci[0] if ci else float("inf"))
            if n == 3000:
                b.passes[0].frame_ms = a.passes[0].frame_ms * 1.03
                exact = analysis.compare(a, b, [], 1.0)["intervals"]["mean"]["ci_pct"]
                np.testing.assert_allclose(exact, [3, 3])
        self.assertGreater(widths[1], 2.5 * widths[0])
        self.assertEqual((first["verdict"], widths[2]), ("inconclusive", float("inf")))


class Simulation(unittest.TestCase):
    def rate(self, verdicts, trials, passes, shift, seed):
        """How often synthetic runs get one of `verdicts`. A pass: a path profile all share, a slow
        level (noise smoothed over 40 frames), frame noise, a pass offset, rare hitches."""
        rng, n = np.random.default_rng(seed), 600
        path = 8 + 1.5 * np.sin(np.arange(n) * 2 * np.pi / 240) + 2.0 * (np.arange(n) % 150 < 20)

        def flight(shift):
            level = [np.convolve(x, np.ones(40) / 40, "valid")
                     for x in rng.normal(0, 1.26, (passes, n + 39))]
            t = (path + level + rng.normal(0, 0.4, (passes, n))) * (1 + rng.normal(0, 0.003, (passes, 1)))
            hitch = rng.random(t.shape) < 0.003
            t[hitch] *= rng.uniform(2.5, 4.0, hitch.sum())
            return reading.Run("x", "x", "csv", [reading.Pass(i, f) for i, f in enumerate(
                np.maximum(t, 0.5) * (1 + shift), 1)])

        rate = np.mean([analysis.compare(flight(0.0), flight(shift), [], 1.0, keys=["mean"])["verdict"]
                        in verdicts for _ in range(trials)])
        sys.stderr.write("%d passes, shift %g%%: %s in %.1f%% of %d pairs\n"
                         % (passes, shift * 100, "/".join(sorted(verdicts)), rate * 100, trials))
        return rate

    def test_false_alarms_and_detection(self):
        # 5% plus about 2.5 standard errors of the observed rate.
        self.assertLessEqual(self.rate({"faster", "slower"}, 300, 5, 0.0, 1), 0.08)
        self.assertLessEqual(self.rate({"faster", "slower"}, 150, 1, 0.0, 2), 0.095)
        self.assertGreaterEqual(self.rate({"slower"}, 300, 5, 0.03, 3), 0.80)


class Inputs(Tool):
    def test_stdout_log(self):
        # The summary's figures only, against a CSV run: the intervals from the passes.
        line = "flyrate: 240 frames %.2f seconds %.2f fps, frame ms min/avg/p99/max 15/%.1f/19/25\n"
        self.write("run.log", "flyrate: per-second fps: 60 61\nflyrate: pass 1 of 2\nflyrate: warning: x\n"
                   + line % (3.98, 60.3, 16.6) + line % (4.1, 58.54, 17.1))
        self.write("b.csv", csv_text([[16.0] * 240, [16.2] * 240]))
        out = self.run_tool("run.log", "b.csv", "--plot", "chart.png").stdout
        self.assertEqual(out.splitlines()[-3:-1], [
            "inconclusive, b.csv against run.log: mean frame time -4.4% (95% CI -14.8..+7.2%) "
            "straddles the \u00b11% threshold; about 4 passes per run would decide it",
            "  stutters over all passes: run.log unknown (stdout log); b.csv 0 (no chunks column)"])

    def test_labels(self):
        # Named by file (numbered when repeated) or LABEL=; the same runs don't fail the gate.
        for name in ("a/r.csv", "b/r.csv", "x=y.csv"):
            self.write(name, csv_text([[10.0] * 20]))
        out = self.run_tool(*"a/r.csv b/r.csv new=a/r.csv x=y.csv --fail-if-slower".split()).stdout
        self.assertEqual(out.splitlines()[:4], [h + " (CSV log, 1 pass of 20 frames)" for h in (
            "r.csv: a/r.csv", "r.csv (2): b/r.csv", "new: a/r.csv", "x=y.csv: x=y.csv")])

    def test_errors(self):
        # Bad input exits 1, a bad command line 2, each with one line naming the problem. The
        # good run g has four columns, spaces in its header, a blank line, CRLF, a repeated header.
        self.write("g", "pass, frame, frame_ms, chunks\r\n\r\n1,1,10,0\r\npass,frame,frame_ms,chunks\r\n"
                        "1,2,11,3\r\n")
        h3, h4, key = "pass,frame,frame_ms\n", "pass,frame,frame_ms,chunks\n", "0 1 2 3 4 5\n"
        cases = [  # contents of file x (or None), arguments, status, the error's words
            ("", "g x", 1, "x: empty file"), (h3, "g x", 1, "x: no frames"),
            ("pass,frame,ms\n1,1,10\n", "g x", 1, "expected the CSV header pass,frame,frame_ms"),
            (h3 + "1,1\n", "g x", 1, "line 2: expected 3 columns"),
            (h4 + "1,1,10\n", "g x", 1, "line 2: expected 4 columns"),
            (h3 + "1,1,10\n" + h4, "g x", 1, "line 3: header pass,frame,frame_ms,chunks after"),
            (h3 + "1,1,fast\n", "g x", 1, "line 2: not a number"),
            (h4 + "1,1,10,-1\n", "g x", 1, "chunks must be 0 or more, found -1"),
            (h3 + "1,1,0\n", "g x", 1, "frame_ms must be a positive number"),
            (h3 + "1,1,1e308\n", "g x", 1, "of at most 3600000 (an hour), found '1e308'"),
            (h3 + "1,1,10\n1,3,10\n", "g x", 1, "line 3: expected frame 2 of pass 1"),
            (h3 + "2,1,10\n1,1,10\n", "g x", 1, "line 3: pass 1 after pass 2"),
            (h3 + "0,1,10\n", "g x", 1, "passes count from 1"),
            ("flyrate: per-second fps: 60\n", "g x", 1, "no flyrate pass summary found"),
            ("just some notes\n", "g x", 1, "neither a flyrate CSV log nor a flyrate stdout log"),
            ("flyrate: 5 frames x.yz seconds 1.00 fps, frame ms min/avg/p99/max 1/1/1/1\n", "g x", 1,
             "unreadable summary line"),
            (key + "10 1 2 3\n", "g g --script x", 1, "x: line 2: expected a keyframe"),
            (key + key, "g g --script x", 1, "keyframe frames must start at 0 and ascend"),
            (key + "5 1 2 3 4 5\n", "g g --script x", 1, "last keyframe is frame 5, but the runs have 2"),
            (key + "1 1 2 3 4 5\n", "g g --script x", 1, "last keyframe is frame 1, but the runs have 2"),
            (None, "missing.csv", 1, "missing.csv: no such file"), (None, ".", 1, ".: is a directory"),
            (None, "=g", 1, "expected LABEL=PATH"),
            (None, "g g --shots . --shots gone", 1, "--shots gone: no such folder"),
            (None, "g --plot no/dir/c.png", 1, "can't write no/dir/c.png"),
            (None, "g --json no/dir/o.json", 1, "can't write no/dir/o.json"),
            (None, "g --min-effect -1", 2, "--min-effect: -1: must be a percentage from 0 to below 100"),
            (None, "g --min-effect nan", 2, "--min-effect: nan: must be"),
            (None, "g --plot chart.pdf", 2, "must end in .png or .svg"),
            (None, "g --pixel-tolerance 256", 2, "--pixel-tolerance: 256: must be 0 to 255"),
            (None, "g --fail-if-pictures-differ", 2, "--fail-if-pictures-differ needs --shots"),
            (None, "g --shots B=.", 2, "--shots B=.: no run is labelled B"),
            (None, "g --shots . --shots .", 2, "--shots: more folders than runs"),
            (None, "x=g --shots x=. --shots x=.", 2, "two folders for run x"),
            (None, "x=g g --shots g=.", 2, "the first run, x, needs a folder")]
        for data, args, status, words in cases:
            if data is not None:
                self.write("x", data)
            with self.subTest(args=args, data=data):
                stderr = self.run_tool(*args.split(), status=status).stderr
                self.assertRegex(stderr, r"\Aflycompare: error: [^\n]*%s[^\n]*\n\Z" % re.escape(words))


class Comparing(Tool):
    def test_segments_verdict_json_and_gate(self):
        # Three passes of 300 frames, keyframes every 100, the last segment slow. B is 10% slower
        # from keyframe 1 to 2, 2% from 2 to 3 (Holm keeps it inconclusive). A logs chunk builds.
        base = 8 + np.sin(np.arange(300) / 9)
        base[200:] *= 2.2                  # its own median would hide its stutter
        base[[49, 149, 249]] = 40          # stutters at frames 50, 150, 250
        a = [base * s for s in (1.0, 1.004, 0.996)]
        slower = np.repeat([1.0, 1.1, 1.02], 100)
        self.write("a.csv", csv_text(a, [[2 if i < 100 else 0 for i in range(300)]] * 3))
        self.write("b.csv", csv_text([x * slower for x in a]))
        self.write("flight.txt", "warmup 2 1 30\n# keys\n" + "".join(
            "%d 0 0 0 0 0\n" % f for f in (0, 100, 200, 300)))
        r = self.run_tool("A=a.csv", "B=b.csv", "--script", "flight.txt", "--json", "out.json",
                          "--plot", "chart.svg", "--fail-if-slower", status=3)
        out = r.stdout.splitlines()
        lines = out[out.index("verdict (a change smaller than \u00b11% counts as no change)") + 1:-2]
        self.assertEqual(lines, [
            "B is slower than A: mean frame time +3.5% (95% CI +2.5..+4.4%), beyond the \u00b11% threshold",
            "  slower between keyframes 1 and 2 (frames 100-200): mean frame time +10.0% "
            "(95% CI +9.0..+11.0%)",
            "  segments: 1 slower, 1 no change, 1 inconclusive (Holm's correction over 3 segments)",
            "  stutters over all passes: A 9, 3 of them in frames that built chunks; "
            "B 9 (no chunks column)"])
        doc = json.loads(self.read("out.json"))
        c = doc["comparisons"][0]
        self.assertEqual((doc["format"], doc["version"], doc["exit_status"], c["run"], c["against"],
                          c["method"], c["verdict"], c["intervals"]["low1"]["verdict"],
                          c["verdict_lines"], doc["runs"][0]["passes"][2]["chunk_builds"], r.stderr),
                         ("flycompare", 1, 3, "B", "A", "passes", "slower", "slower", lines, 200,
                          "flycompare: exit status 3: a run is slower than A\n"))
        self.assertAlmostEqual(c["intervals"]["mean"]["change_pct"],
                               100 * ((slower - 1) * base).sum() / base.sum(), places=5)
        self.assertEqual([(s["change"]["verdict"], s["a"]["stutters"],
                           s["a"]["stutters_with_chunk_builds"]) for s in c["segments"]],
                         [("no change", 3, 3), ("slower", 3, 0), ("inconclusive", 3, 0)])
        svg = self.read("chart.svg")                              # keyframes named, segments shaded
        self.assertTrue(all(w in svg for w in ("key 3", "B: slower", "B: inconclusive")))
        out = self.run_tool("b.csv", "a.csv").stdout             # without --script: ten stretches
        self.assertIn("\n  faster in stretch 4 of 10 (frames 90-120): mean frame time", out)

    def test_pictures_per_keyframe_and_exit_statuses(self):
        self.write_shots()
        r = self.run_tool("slow.csv", "fast.csv", "--shots", "a", "--shots", "b")
        self.assertEqual(r.stdout.splitlines()[-7:], [
            "fast.csv is faster than slow.csv: mean frame time -19.9% (95% CI -22.7..-17.0%), "
            "beyond the \u00b11% threshold; but it draws a different picture at frame 120",
            "  stutters over all passes: slow.csv 0 (no chunks column); fast.csv 0 (no chunks column)",
            "  pictures (fast.csv against slow.csv): differ at frame 120; identical at 1 keyframe; "
            "frame 240 not compared; frame 360 not compared; frame 480 not compared",
            "    frame 120: 8.33%% of pixels beyond \u00b12, PSNR %.1f dB, largest difference 10"
            % (10 * np.log10(255 ** 2 / ((10 ** 2 + 2 ** 2) / 36))),
            "    frame 240: fast.csv's frame-00240.ppm: not a binary PPM (no P6 header)",
            "    frame 360: no frame-00360.ppm in fast.csv's folder",
            "    frame 480: fast.csv's frame-00480.ppm: truncated: 35 of 36 bytes of pixels"])
        r = self.run_tool("slow.csv", "fast.csv", "--shots", "a", "--shots", "fast.csv=c")
        self.assertIn("but its screenshots are another size (4x3 in slow.csv, 2x2 in fast.csv), "
                      "so the pictures can't be compared", r.stdout)
        for runs, folder, flag, status in [
                ("slow.csv fast.csv", "b", "--pixel-tolerance=10", 0),   # faster, pictures the same
                ("slow.csv fast.csv", "b", "--pixel-tolerance=9", 4),
                ("slow.csv fast.csv", "c", "--pixel-tolerance=255", 4),  # another size
                ("fast.csv slow.csv", "a", "--pixel-tolerance=2", 3),    # slower
                ("fast.csv slow.csv", "b", "--pixel-tolerance=2", 4)]:   # both: 4
            with self.subTest(runs=runs, folder=folder, flag=flag):
                self.run_tool(*runs.split(), "--shots", "a", "--shots", folder, flag,
                              "--fail-if-slower", "--fail-if-pictures-differ", status=status)


if __name__ == "__main__":
    unittest.main()
