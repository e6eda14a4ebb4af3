# Tests for tools/flycompare: metrics and statistics against hand-computed
# values, both CSV layouts and stdout logs, every bad input, the comparison
# end to end (segments, chunk builds, exit statuses, JSON), the screenshot
# comparison, and a seeded simulation of the verdict's false-alarm and
# detection rates. CTest runs one test per TestCase class.
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

import numpy as np

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.path.join(HERE, "..", "flycompare")
sys.path.insert(0, os.path.join(HERE, ".."))
from flycompare_lib import analysis, metrics, pictures, reading, stats  # noqa: E402


def csv_text(passes, chunks=None):
    """A CSV log from per-pass frame times (and chunk builds: 4 columns)."""
    rows = ["pass,frame,frame_ms" + (",chunks" if chunks else "")]
    for p, times in enumerate(passes, 1):
        rows += ["%d,%d,%.6f" % (p, i, t) + (",%d" % chunks[p - 1][i - 1] if chunks else "")
                 for i, t in enumerate(times, 1)]
    return "\n".join(rows) + "\n"


def ppm(pixels, comment=b""):
    h, w, _ = pixels.shape
    return b"P6\n" + comment + b"%d %d\n255\n" % (w, h) + pixels.astype(np.uint8).tobytes()


class Tool(unittest.TestCase):
    """A scratch folder and the command run in it."""

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

    def run_tool(self, *args, status=0):
        env = dict(os.environ, MPLCONFIGDIR=os.path.join(self.dir, "mpl"))
        r = subprocess.run([TOOL, *args], capture_output=True, text=True, cwd=self.dir,
                           env=env, timeout=120)
        self.assertEqual(r.returncode, status, r.stderr + r.stdout[-3000:])
        return r


class Metrics(unittest.TestCase):
    def test_per_pass_metrics(self):
        cases = [  # frame times, expected metrics
            ([8.0] * 999 + [200.0], {"frames": 1000, "seconds": 8.192, "mean": 8.192,
                                     "median": 8, "p99": 8, "p99.9": 200, "max": 200,
                                     "low1": 1000 / 27.2, "low01": 5, "stutters": 1}),
            ([10, 20, 30, 40], {"median": 25, "p95": 40, "p99": 40, "low1": 25}),
            ([5, 1, 3], {"median": 3, "p95": 5, "low1": 200}),
            ([10] * 9 + [25], {"stutters": 0}),               # 2.5 x median is no stutter
            ([10] * 9 + [25.5], {"stutters": 1, "low1": 1000 / 25.5}),
            (range(1, 2001), {"p95": 1901, "p99": 1981, "p99.9": 1999}),
            ([10] * 148 + [20, 30], {"low1": 40, "low01": 1000 / 30}),  # ceil(1.5) = 2 frames
        ]
        for times, want in cases:
            m = metrics.frame_metrics(np.array(times, dtype=float))
            for name, value in want.items():
                with self.subTest(frames=len(m), metric=name):
                    self.assertAlmostEqual(m[name], value)

    def test_compared_metrics_agree_with_the_table(self):
        x = np.random.default_rng(1).gamma(4, 2, (3, 701))
        for key in metrics.COMPARED:
            np.testing.assert_allclose(metrics.COMPARED[key][0](x),
                                       [metrics.frame_metrics(row)[key] for row in x])

    def test_per_second_counts(self):
        for times, counts in [([250.0] * 10, [4, 4]), ([2500.0, 100.0], [1, 0]),
                              ([1000 / 60] * 120, [60]), ([999.0], []), ([3.6e6] * 25, None)]:
            self.assertEqual(metrics.per_second_counts(times), counts)


class Statistics(unittest.TestCase):
    def test_known_values(self):
        for df, t in [(1, 12.7062), (4, 2.7764), (30, 2.0423), (float("inf"), 1.9600)]:
            self.assertAlmostEqual(stats.t_quantile(0.975, df), t, places=4)
        # Welch: means 100 and 110, both sd 2 over 3 passes: se^2 = 8/3, df = 4.
        diff, se, df = stats.welch([100, 102, 98], [110, 112, 108])
        self.assertEqual(diff, 10.0)
        self.assertAlmostEqual(df, 4.0)
        np.testing.assert_allclose(stats.interval(diff, se, df), (5.4661, 14.5339), atol=1e-4)
        self.assertEqual(stats.welch([5, 5], [5, 5]), (0.0, 0.0, float("inf")))
        for p, adjusted in [([0.01, 0.04, 0.03], [0.03, 0.06, 0.06]), ([0.2, 0.001], [0.2, 0.002]),
                            ([0.6, 0.5], [1.0, 1.0])]:
            np.testing.assert_allclose(stats.holm(p), adjusted)

    def test_classify(self):
        cases = [  # change, interval, p, threshold, worse -> verdict
            (4.0, (2.0, 6.0), 0.01, 1, 1, "slower"),
            (-4.0, (-6.0, -2.0), 0.01, 1, 1, "faster"),
            (4.0, (2.0, 6.0), 0.01, 1, -1, "faster"),       # fps: higher is faster
            (4.0, (2.0, 6.0), 0.2, 1, 1, "inconclusive"),   # Holm kept it
            (0.2, (-0.5, 0.9), 1.0, 1, 1, "no change"),
            (0.2, (-1.5, 1.9), 1.0, 1, 1, "inconclusive"),
            (0.0, (0.0, 0.0), 1.0, 0, 1, "no change"),
            (4.0, None, None, 1, 1, "inconclusive"),
        ]
        for est, ci, p, pct, worse, verdict in cases:
            self.assertEqual(stats.classify(est, ci, p, pct, worse), verdict, (est, ci, p))

    def test_side_p_matches_the_interval(self):
        # The interval clears the threshold exactly when p < 0.05.
        bounds = stats.log_bounds(1)
        for est in (0.015, 0.024, 0.026, 0.04, -0.026):
            lo, hi = stats.interval(est, 0.005, 8)
            clears = lo > bounds[1] or hi < bounds[0]
            self.assertEqual(stats.side_p(est, 0.005, 8, bounds) < 0.05, clears, est)
        # Passes needed: sd 1 per pass in each run, 1 from the threshold: t(16) * sqrt(2/9) < 1.
        self.assertEqual(stats.passes_needed(1.0, 2.0, 3), 9)
        self.assertIsNone(stats.passes_needed(0.0, 2.0, 3))
        self.assertIsNone(stats.passes_needed(0.1, 50.0, 3))

    def test_block_length_follows_the_correlation(self):
        rng = np.random.default_rng(2)
        self.assertEqual(stats.block_length(rng.normal(size=3000)), stats.MIN_BLOCK)
        smooth = np.convolve(rng.normal(size=3049), np.ones(50) / 50, "valid")
        self.assertTrue(100 <= stats.block_length(smooth) <= 250, stats.block_length(smooth))

    def test_one_pass_interval_is_wide_when_thin(self):
        rng = np.random.default_rng(3)

        def one_pass(n):
            return reading.Run("x", "x", "csv", [reading.Pass(1, 8 + np.convolve(
                rng.normal(size=n + 29), np.ones(30) / 30, "valid"))])

        widths = []
        for n in (3000, 300, 60):
            a, b = one_pass(n), one_pass(n)
            first, again = (analysis.compare(a, b, [], 1.0)["intervals"]["mean"] for _ in "12")
            self.assertEqual(first, again)                  # seeded: the same every time
            ci = first["ci_pct"]
            widths.append(ci[1] - ci[0] if ci else float("inf"))
        self.assertGreater(widths[1], 2.5 * widths[0])
        self.assertGreater(widths[2], widths[1])
        self.assertEqual(first["verdict"], "inconclusive")


class Simulation(unittest.TestCase):
    """Synthetic runs: a path profile all passes share, a slow-varying level (noise
    smoothed over 40 frames), frame noise, a per-pass offset, occasional hitches."""
    N = 600
    PATH = 8 + 1.5 * np.sin(np.arange(N) * 2 * np.pi / 240) + 2.0 * (np.arange(N) % 150 < 20)

    def flight(self, rng, passes, shift=0.0):
        out = []
        for number in range(1, passes + 1):
            level = np.convolve(rng.normal(0, 1.26, self.N + 39), np.ones(40) / 40, "valid")
            t = (self.PATH + level + rng.normal(0, 0.4, self.N)) * (1 + rng.normal(0, 0.003))
            hitch = rng.random(self.N) < 0.003
            t[hitch] *= rng.uniform(2.5, 4.0, hitch.sum())
            out.append(reading.Pass(number, np.maximum(t, 0.5) * (1 + shift)))
        return reading.Run("x", "x", "csv", out)

    def rate(self, verdicts, trials, passes, shift, seed):
        rng = np.random.default_rng(seed)
        said = [analysis.compare(self.flight(rng, passes), self.flight(rng, passes, shift), [],
                                 1.0, keys=["mean"])["verdict"] for _ in range(trials)]
        rate = sum(v in verdicts for v in said) / trials
        sys.stderr.write("%d passes, shift %g%%: %s in %.1f%% of %d pairs\n"
                         % (passes, shift * 100, "/".join(verdicts), rate * 100, trials))
        return rate

    def test_false_alarms_and_detection(self):
        # 5% plus about 2.5 standard errors of the observed rate.
        self.assertLessEqual(self.rate({"faster", "slower"}, 300, 5, 0.0, 1), 0.08)
        self.assertLessEqual(self.rate({"faster", "slower"}, 150, 1, 0.0, 2), 0.095)
        self.assertGreaterEqual(self.rate({"slower"}, 300, 5, 0.03, 3), 0.80)


class Inputs(Tool):
    LOG = "".join("flyrate: per-second fps: %s\nflyrate: pass %d of 2\nflyrate: warning: x\n"
                  "flyrate: 240 frames %s fps, frame ms min/avg/p99/max %s\n" % case for case in [
                      ("60 61", 1, "3.98 seconds 60.30", "15.1/16.6/18.2/22.0"),
                      ("58 59", 2, "4.10 seconds 58.54", "15.3/17.1/19.0/25.4")])

    def test_csv_layouts(self):
        # Three or four columns; a repeated header, blank lines and CRLF are accepted.
        for text, chunks in [
                ("pass,frame,frame_ms\r\n1,1,10\r\n1,2,20\r\n\r\npass,frame,frame_ms\r\n2,1,30\r\n", None),
                ("pass, frame, frame_ms, chunks\n1,1,10,0\n1,2,20,3\n2,1,30,1\n", [[0, 3], [1]])]:
            passes = reading.parse_csv(text, "t.csv")
            self.assertEqual([list(p.frame_ms) for p in passes], [[10, 20], [30]])
            self.assertEqual(chunks, chunks and [list(p.chunks) for p in passes])

    def test_stdout_log(self):
        run = reading.read_run(self.write("run.log", self.LOG), set())
        self.assertEqual((run.kind, [p.number for p in run.passes]), ("log", [1, 2]))
        self.assertEqual([p.per_second for p in run.passes], [[60, 61], [58, 59]])
        m = reading.pass_metrics(run.passes[1])
        self.assertEqual((m["fps"], m["mean"], m["p99"], m["low1"]), (58.54, 17.1, 19.0, None))
        # Against a CSV run: intervals from the passes, the summary's figures only.
        self.write("b.csv", csv_text([[16.0] * 240, [16.2] * 240]))
        out = self.run_tool("run.log", "b.csv").stdout
        self.assertIn("95% intervals from the passes (Welch t over the logs of 2 and 2", out)
        self.assertIn("no segments: a stdout log has no per-frame times", out)
        # The plug-in keeps 1022 characters of a line: the last number may be cut.
        line = ("flyrate: per-second fps:" + " 123" * 300)[:1022]
        text = line + "\nflyrate: 9 frames 7.3 seconds 1.2 fps, frame ms min/avg/p99/max 8/8/9/10\n"
        self.assertEqual(reading.parse_log(text, "x.log")[0].per_second, [123] * 249)

    def test_labels(self):
        for name in ("one/run.csv", "two/run.csv", "x=y.csv"):
            self.write(name, csv_text([[10.0] * 20]))
        out = self.run_tool("one/run.csv", "two/run.csv", "new=one/run.csv", "x=y.csv").stdout
        self.assertEqual(out.splitlines()[:4], [h + " (CSV log, 1 pass of 20 frames)" for h in (
            "run.csv: one/run.csv", "run.csv (2): two/run.csv", "new: one/run.csv", "x=y.csv: x=y.csv")])


class Errors(Tool):
    def assert_error(self, args, fragment, status=1):
        stderr = self.run_tool(*args, status=status).stderr
        self.assertRegex(stderr, r"\Aflycompare: error: [^\n]*%s[^\n]*\n\Z" % re.escape(fragment))

    def test_bad_inputs(self):
        self.write("good.csv", csv_text([[10.0, 11.0]]))
        self.write("shots/frame-00000.ppm", ppm(np.zeros((2, 2, 3))))
        h3, h4 = "pass,frame,frame_ms\n", "pass,frame,frame_ms,chunks\n"
        files = {  # file name: contents, expected message
            "empty.csv": ("", "empty.csv: empty file"),
            "header.csv": (h3, "header.csv: no frames"),
            "columns.csv": ("pass,frame,ms\n1,1,10\n", "expected the CSV header pass,frame,frame_ms"),
            "short.csv": (h3 + "1,1\n", "line 2: expected 3 columns"),
            "short4.csv": (h4 + "1,1,10\n", "line 2: expected 4 columns"),
            "mixed.csv": (h3 + "1,1,10\n" + h4, "line 3: header pass,frame,frame_ms,chunks after"),
            "text.csv": (h3 + "1,1,fast\n", "line 2: not a number"),
            "negative.csv": (h4 + "1,1,10,-1\n", "chunks must be 0 or more, found -1"),
            "zero.csv": (h3 + "1,1,0\n", "frame_ms must be a positive number"),
            "huge.csv": (h3 + "1,1,1e308\n", "of at most 3600000 (an hour), found '1e308'"),
            "gap.csv": (h3 + "1,1,10\n1,3,10\n", "line 3: expected frame 2 of pass 1"),
            "order.csv": (h3 + "2,1,10\n1,1,10\n", "line 3: pass 1 after pass 2"),
            "pass0.csv": (h3 + "0,1,10\n", "passes count from 1"),
            "nosummary.log": ("flyrate: per-second fps: 60\n", "no flyrate pass summary found"),
            "other.txt": ("just some notes\n", "neither a flyrate CSV log nor a flyrate stdout log"),
            "badsummary.log": ("flyrate: 5 frames x.yz seconds 1.00 fps, frame ms "
                               "min/avg/p99/max 1.0/1.0/1.0/1.0\n", "unreadable summary line"),
            "script.txt": ("0 1 2 3 4 5\n10 1 2 3\n", "script.txt: line 2: expected a keyframe"),
            "order.txt": ("0 1 2 3 4 5\n0 1 2 3 4 5\n", "keyframe frames must start at 0 and ascend"),
            "long.txt": ("0 1 2 3 4 5\n5 1 2 3 4 5\n", "last keyframe is frame 5, but the runs have 2"),
        }
        for name, (data, fragment) in files.items():
            self.write(name, data)
            with self.subTest(name=name):
                args = ["good.csv", "good.csv", "--script", name] if name.endswith(".txt") \
                    and name != "other.txt" else ["good.csv", name]
                self.assert_error(args, fragment)
        for args, fragment in [(["missing.csv"], "missing.csv: no such file"),
                               ([self.dir], "is a directory"), (["=good.csv"], "expected LABEL=PATH"),
                               (["good.csv", "--script", "none.txt"], "none.txt: no such file"),
                               (["good.csv", "good.csv", "--shots", "shots", "--shots", "gone"],
                                "--shots gone: no such folder"),
                               (["good.csv", "--plot", "no/such/dir/chart.png"], "can't write"),
                               (["good.csv", "--json", "no/such/dir/out.json"], "can't write")]:
            with self.subTest(args=args):
                self.assert_error(args, fragment)

    def test_bad_command_lines(self):
        self.write("good.csv", csv_text([[10.0]]))
        for args, fragment in [
                ([], "the following arguments are required"),
                (["g", "--bogus"], "unrecognized arguments"),
                (["g", "--plot", "chart.pdf"], "must end in .png or .svg"),
                (["g", "--min-effect", "-1"], "--min-effect: -1: must be a percentage from 0 to below 100"),
                (["g", "--min-effect", "nan"], "--min-effect: nan"),
                (["g", "--pixel-tolerance", "256"], "--pixel-tolerance: 256: must be 0 to 255"),
                (["g", "--fail-if-pictures-differ"], "--fail-if-pictures-differ needs --shots"),
                (["g", "--shots", "B=."], "--shots B=.: no run is labelled B"),
                (["g", "--shots", ".", "--shots", "."], "--shots: more folders than runs"),
                (["x=good.csv", "--shots", "x=.", "--shots", "x=."], "two folders for run x"),
                (["x=good.csv", "g", "--shots", "g=."], "the first run, x, needs a folder"),
        ]:
            with self.subTest(args=args):
                self.assert_error([a.replace("g", "g=good.csv") if a == "g" else a for a in args],
                                  fragment, status=2)


class Comparing(Tool):
    """Three passes of 300 frames, keyframes every 100: B is 10% slower between
    keyframes 1 and 2 only. A logs chunk builds; a stutter every 100 frames,
    at frames that built chunks in the first third of each pass."""

    def make_runs(self):
        self.base = base = 8 + np.sin(np.arange(300) / 9)
        base[[49, 149, 249]] = 40                       # stutters at frames 50, 150, 250
        a = [base * s for s in (1.0, 1.004, 0.996)]
        b = [np.where((np.arange(300) >= 100) & (np.arange(300) < 200), 1.1, 1.0) * x for x in a]
        chunks = [[1 if i < 100 else 0 for i in range(300)]] * 3
        self.write("a.csv", csv_text(a, chunks))
        self.write("b.csv", csv_text(b))
        self.write("flight.txt", "warmup 2 1 30\n# keyframes\n" + "".join(
            "%d 0 0 0 0 0\n" % f for f in (0, 100, 200, 300)))

    def test_segments_verdict_json_and_gate(self):
        self.make_runs()
        r = self.run_tool("A=a.csv", "B=b.csv", "--script", "flight.txt", "--json", "out.json",
                          "--fail-if-slower", status=3)
        out = r.stdout.splitlines()
        start = out.index("verdict (a change smaller than \u00b11% counts as no change)")
        lines = out[start + 1:out.index("JSON written to out.json")]
        change = 10 * self.base[100:200].sum() / self.base.sum()
        self.assertRegex(lines[0], r"^B is slower than A: mean frame time \+%.1f%% \(95%% CI "
                                   r"\+\d\.\d\.\.\+\d\.\d%%\), beyond the \u00b11%% threshold$" % change)
        self.assertRegex(lines[1], r"^  slower between keyframes 1 and 2 \(frames 100-200\): "
                                   r"mean frame time \+10\.0% \(95% CI \+")
        self.assertEqual(lines[2:], [
            "  segments: 1 slower, 2 no change (Holm's correction over 3 segments)",
            "  stutters over all passes: A 9, 3 of them in frames that built chunks; "
            "B 9 (no chunks column)"])
        self.assertEqual(r.stderr, "flycompare: exit status 3: a run is slower than A\n")
        with open(os.path.join(self.dir, "out.json")) as f:
            doc = json.load(f)
        c = doc["comparisons"][0]
        self.assertEqual((doc["format"], doc["version"], doc["exit_status"], c["run"], c["against"],
                          c["method"], c["verdict"], c["verdict_lines"]),
                         ("flycompare", 1, 3, "B", "A", "passes", "slower", lines))
        self.assertAlmostEqual(c["intervals"]["mean"]["change_pct"], change)
        self.assertEqual([(s["change"]["verdict"], s["a"]["stutters"],
                           s["a"]["stutters_with_chunk_builds"]) for s in c["segments"]],
                         [("no change", 3, 3), ("slower", 3, 0), ("no change", 3, 0)])
        self.assertEqual(doc["runs"][0]["passes"][2]["chunk_builds"], 100)
        # The other way round B is faster: the gate passes; without --script, stretches.
        r = self.run_tool("b.csv", "a.csv", "--fail-if-slower")
        self.assertIn("a.csv is faster than b.csv", r.stdout)
        self.assertIn("  faster in stretch 4 of 10 (frames 90-120)", r.stdout)

    def test_charts(self):
        self.make_runs()
        self.write("c.log", Inputs.LOG)
        for name, magic in (("chart.png", b"\x89PNG\r\n\x1a\n"), ("chart.svg", b"<svg")):
            self.run_tool("a.csv", "b.csv", "c.log", "--plot", name)
            with open(os.path.join(self.dir, name), "rb") as f:
                self.assertIn(magic, f.read(400))


class Pictures(Tool):
    def make_shots(self):
        rng = np.random.default_rng(4)
        pic = rng.integers(0, 200, (3, 4, 3))
        moved = pic.copy()
        moved[0, 0, 1] += 10                           # beyond the tolerance of 2
        moved[2, 3, 0] += 1                            # within it
        self.write("a/frame-00000.ppm", ppm(pic, b"# made by a test\n"))
        self.write("b/frame-00000.ppm", ppm(pic))
        self.write("a/frame-00120.ppm", ppm(pic))
        self.write("b/frame-00120.ppm", ppm(moved))
        self.write("a/frame-00240.ppm", ppm(pic))
        self.write("b/frame-00240.ppm", b"P3\n4 3\n255\n")
        self.write("a/frame-00360.ppm", ppm(pic))
        self.write("c/frame-00000.ppm", ppm(pic[:2, :2]))
        self.write("fast.csv", csv_text([[8.0] * 10, [8.1] * 10]))
        self.write("slow.csv", csv_text([[10.0] * 10, [10.1] * 10]))

    def test_compared_per_keyframe(self):
        self.make_shots()
        r = self.run_tool("slow.csv", "fast.csv", "--shots", "a", "--shots", "b")
        psnr = 10 * np.log10(255 ** 2 / (101 / 36))
        self.assertEqual(r.stdout.splitlines()[-6:], [
            "fast.csv is faster than slow.csv: mean frame time -19.9% (95% CI -22.7..-17.0%), "
            "beyond the \u00b11% threshold; but it draws a different picture at frame 120",
            "  stutters over all passes: slow.csv 0 (no chunks column); fast.csv 0 (no chunks column)",
            "  pictures (fast.csv against slow.csv): differ at frame 120; identical at 1 keyframe; "
            "frame 240 not compared; frame 360 not compared",
            "    frame 120: 8.33%% of pixels beyond \u00b12, PSNR %.1f dB, largest difference 10" % psnr,
            "    frame 240: fast.csv's frame-00240.ppm: not a binary PPM (no P6 header)",
            "    frame 360: no frame-00360.ppm in fast.csv's folder"])
        r = self.run_tool("slow.csv", "fast.csv", "--shots", "a", "--shots", "fast.csv=c")
        self.assertIn("but its screenshots are another size (4x3 in slow.csv, 2x2 in fast.csv), "
                      "so the pictures can't be compared", r.stdout)

    def test_exit_statuses(self):
        self.make_shots()
        for runs, folder, flag, status in [
                (("slow.csv", "fast.csv"), "b", "--pixel-tolerance=10", 0),
                (("slow.csv", "fast.csv"), "b", "--pixel-tolerance=9", 4),
                (("fast.csv", "slow.csv"), "a", "--fail-if-slower", 3),
                (("fast.csv", "slow.csv"), "b", "--fail-if-slower", 4)]:    # both: 4
            with self.subTest(runs=runs, folder=folder, flag=flag):
                self.run_tool(*runs, "--shots", "a", "--shots", folder,
                              "--fail-if-pictures-differ", flag, status=status)

    def test_reading_and_difference_image(self):
        bad = {b"P6\n4 3\n255\n\x00": "truncated: 1 of 36 bytes", b"P6\n4\n": "bad header",
               b"P6 4 3 127\n": "maxval 127", b"\x89PNG": "no P6 header"}
        for data, message in bad.items():
            with self.assertRaisesRegex(pictures.PictureError, message):
                pictures.read_ppm(self.write("x.ppm", data))
        a = np.full((1, 3, 3), 100, np.uint8)
        b = a.copy()
        b[0, 1, 0], b[0, 2, 2] = 101, 150
        _, per_pixel = pictures.measure(a, b, 2)
        diff = pictures.difference_image(a, per_pixel, 2)
        self.assertEqual(diff.tolist(), [[[30, 30, 30], [0, 0, 200], [255, 200, 0]]])


if __name__ == "__main__":
    unittest.main()
