# Tests for tools/flycompare: metrics on hand-computed inputs, the
# statistics against known values, both input kinds, every bad-input error
# and the chart. Run by CTest with the system Python, one CTest test per
# TestCase class.
import importlib.util
import os
import subprocess
import sys
import tempfile
import unittest
from importlib.machinery import SourceFileLoader

sys.dont_write_bytecode = True
TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "flycompare")
_loader = SourceFileLoader("flycompare", TOOL)
_spec = importlib.util.spec_from_loader("flycompare", _loader)
fc = importlib.util.module_from_spec(_spec)
_loader.exec_module(fc)


def csv_text(passes):
    """CSV log text from a list of passes, each a list of frame times."""
    rows = ["pass,frame,frame_ms"]
    for p, times in enumerate(passes, 1):
        rows += ["%d,%d,%.6f" % (p, i, t) for i, t in enumerate(times, 1)]
    return "\n".join(rows) + "\n"


def summary_line(frames, seconds, fps, lo, avg, p99, hi):
    return ("flyrate: %d frames %.2f seconds %.2f fps, frame ms min/avg/p99/max "
            "%.1f/%.1f/%.1f/%.1f" % (frames, seconds, fps, lo, avg, p99, hi))


class TempDirCase(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.dir = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()

    def write(self, name, text, mode="w"):
        path = os.path.join(self.dir, name)
        with open(path, mode) as f:
            f.write(text)
        return path

    def run_tool(self, *args):
        env = dict(os.environ, MPLCONFIGDIR=os.path.join(self.dir, "mpl"))
        return subprocess.run([sys.executable, TOOL] + list(args), capture_output=True,
                              text=True, cwd=self.dir, env=env, timeout=120)


class Metrics(unittest.TestCase):
    def test_one_slow_frame_in_a_thousand(self):
        m = fc.frame_metrics([8.0] * 999 + [200.0])
        self.assertEqual(m["frames"], 1000)
        self.assertAlmostEqual(m["seconds"], 8.192)
        self.assertAlmostEqual(m["mean"], 8.192)
        self.assertAlmostEqual(m["fps"], 1000 / 8.192)
        self.assertEqual((m["median"], m["p95"], m["p99"]), (8.0, 8.0, 8.0))
        self.assertEqual((m["p99.9"], m["max"]), (200.0, 200.0))
        # Slowest 1% = 10 frames: nine of 8 ms and the 200 ms one, mean 27.2 ms.
        self.assertAlmostEqual(m["low1"], 1000 / 27.2)
        self.assertEqual(round(m["low1"], 2), 36.76)
        self.assertAlmostEqual(m["low01"], 5.0)
        self.assertEqual(m["stutters"], 1)

    def test_small_passes(self):
        cases = [
            # times, median, p95, p99, 1% low, stutters
            ([10.0, 20.0, 30.0, 40.0], 25.0, 40.0, 40.0, 25.0, 0),
            ([5.0, 1.0, 3.0], 3.0, 5.0, 5.0, 200.0, 0),
            ([7.0], 7.0, 7.0, 7.0, 1000 / 7.0, 0),
            ([10.0] * 9 + [25.0], 10.0, 25.0, 25.0, 40.0, 0),   # 2.5 x median is no stutter
            ([10.0] * 9 + [25.5], 10.0, 25.5, 25.5, 1000 / 25.5, 1),
        ]
        for times, median, p95, p99, low1, stutters in cases:
            with self.subTest(times=times):
                m = fc.frame_metrics(times)
                self.assertEqual(m["median"], median)
                self.assertEqual(m["p95"], p95)
                self.assertEqual(m["p99"], p99)
                self.assertAlmostEqual(m["low1"], low1)
                self.assertEqual(m["stutters"], stutters)

    def test_percentile_index_matches_the_summary_rule(self):
        # 100 frames: p99 is the largest; 200 frames: the second largest.
        self.assertEqual(fc.frame_metrics(list(range(1, 101)))["p99"], 100.0)
        self.assertEqual(fc.frame_metrics(list(range(1, 201)))["p99"], 199.0)
        m = fc.frame_metrics(list(range(1, 2001)))
        self.assertEqual((m["p95"], m["p99"], m["p99.9"]), (1901.0, 1981.0, 1999.0))

    def test_low_counts_round_up(self):
        # 150 frames: the slowest ceil(1.5) = 2 frames make the 1% low.
        m = fc.frame_metrics([10.0] * 148 + [20.0, 30.0])
        self.assertAlmostEqual(m["low1"], 40.0)
        self.assertAlmostEqual(m["low01"], 1000 / 30.0)

    def test_per_second_counts(self):
        self.assertEqual(fc.per_second_counts([250.0] * 10), [4, 4])
        self.assertEqual(fc.per_second_counts([2500.0, 100.0]), [1, 0])
        self.assertEqual(fc.per_second_counts([1000 / 60] * 120), [60])
        self.assertEqual(fc.per_second_counts([999.0]), [])

    def test_spread_over_passes(self):
        self.assertEqual(fc.mean_sd([100.0, 110.0, 120.0]), (110.0, 10.0))
        self.assertEqual(fc.mean_sd([100.0]), (100.0, None))
        self.assertEqual(fc.mean_sd([None, None]), (None, None))


class Statistics(unittest.TestCase):
    def test_t_quantiles(self):
        for df, t in [(1, 12.7062), (2, 4.3027), (4, 2.7764), (10, 2.2281),
                      (30, 2.0423), (1000, 1.9623), (float("inf"), 1.9600)]:
            with self.subTest(df=df):
                self.assertAlmostEqual(fc.t_quantile(0.975, df), t, places=4)

    def test_welch_interval(self):
        # Means 100 and 110, both sd 2 over 3 passes: se^2 = 8/3, df = 4,
        # half width 2.776445 * 1.632993 = 4.53392.
        diff, lo, hi, p = fc.welch([100, 102, 98], [110, 112, 108])
        self.assertEqual(diff, 10.0)
        self.assertAlmostEqual(lo, 5.4661, places=4)
        self.assertAlmostEqual(hi, 14.5339, places=4)
        self.assertAlmostEqual(p, 0.0036, places=4)   # t = 6.1237 on 4 df
        self.assertEqual(fc.welch([5, 5], [5, 5]), (0.0, 0.0, 0.0, 1.0))

    def test_mann_whitney_textbook_cases(self):
        # No ties, exact: one pair (4 > 3) where the first sample is larger;
        # P(U <= 1) = 2/20 for 3 + 3 values, doubled.
        u_a, u_b, p, method = fc.mann_whitney([1, 2, 4], [3, 5, 6])
        self.assertEqual((u_a, u_b, method), (1.0, 8.0, "exact"))
        self.assertAlmostEqual(p, 0.2)
        u_a, u_b, p, method = fc.mann_whitney([1, 2, 3], [4, 5, 6])
        self.assertEqual((u_a, p, method), (0.0, 0.1, "exact"))
        # Ties: ranks 1.5 1.5 | 3.5 3.5 | 5.5 5.5, U = 0.5, tie-corrected
        # variance 9/12 * (7 - 18/30) = 4.8, z = (4.5 - 0.5 - 0.5) / sqrt(4.8).
        u_a, u_b, p, method = fc.mann_whitney([1, 1, 2], [2, 3, 3])
        self.assertEqual((u_a, u_b, method), (0.5, 8.5, "normal"))
        self.assertAlmostEqual(p, 0.110149, places=6)

    def test_exact_distribution_counts(self):
        self.assertEqual(fc._exact_u_counts(3, 3), [1, 1, 2, 3, 3, 3, 3, 2, 1, 1])
        self.assertEqual(sum(fc._exact_u_counts(7, 9)), 11440)   # C(16, 7)

    def test_identical_and_shifted_samples(self):
        a = [8.0 + 0.01 * (i % 37) for i in range(2000)]
        u_a, u_b, p, method = fc.mann_whitney(a, list(a))
        self.assertEqual((u_a, u_b, method), (2000 * 2000 / 2, 2000 * 2000 / 2, "normal"))
        self.assertEqual(p, 1.0)
        u_a, u_b, p, _ = fc.mann_whitney(a, [t * 0.9 for t in a])
        self.assertLess(p, 1e-12)
        self.assertGreater(u_a, u_b)
        self.assertEqual(fc.mann_whitney([4.0] * 30, [4.0] * 30)[2], 1.0)

    def test_verdicts(self):
        cases = [
            (4.1, (3.2, 5.0), 0.0001, 1, "B is 4.1% faster than A (95% CI 3.2..5.0%), p < 0.001"),
            (-4.1, (-5.0, -3.2), 0.012, -1, "B is 4.1% slower than A (95% CI 3.2..5.0%), p = 0.012"),
            (4.1, None, 0.0001, 1, "B is 4.1% faster than A, p < 0.001"),
            (4.1, (3.2, 5.0), 0.05, 1, "no significant difference"),
            (4.1, (-0.2, 8.0), 0.0001, 1, "no significant difference"),
            (4.1, (3.2, 5.0), 0.0001, -1, "no significant difference"),
            (0.0, None, 0.0001, 1, "no significant difference"),
            (4.1, None, None, 0, "no significant difference (too little data for a test)"),
        ]
        for change, ci, p, direction, text in cases:
            with self.subTest(text=text):
                self.assertEqual(fc.verdict("A", "B", change, ci, p, direction), text)


class Inputs(TempDirCase):
    PASS_FPS_A = (100.0, 102.0, 98.0)
    PASS_FPS_B = (110.0, 112.0, 108.0)

    def make_runs(self):
        a = self.write("a.csv", csv_text([[1000 / f] * 200 for f in self.PASS_FPS_A]))
        b = self.write("b.csv", csv_text([[1000 / f] * 200 for f in self.PASS_FPS_B]))
        return a, b

    def test_csv_runs_compared(self):
        self.make_runs()
        r = self.run_tool("A=a.csv", "B=b.csv")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr, "")
        lines = r.stdout.splitlines()
        self.assertIn("A: a.csv (CSV log, 3 passes)", lines)
        # Mean fps 100 -> 110 with the Welch interval 5.47..14.53 points.
        self.assertEqual(lines[-1], "B is 10.0% faster than A (95% CI 5.5..14.5%), p < 0.001")
        fps_row = next(ln for ln in lines if ln.startswith("fps "))
        self.assertEqual(fps_row.split(), ["fps", "100.00", "110.00", "+10.0%"])

    def test_reversed_order_is_slower(self):
        self.make_runs()
        r = self.run_tool("b.csv", "a.csv")
        self.assertEqual(r.returncode, 0, r.stderr)
        # -10 points of 110 = -9.1%; interval -14.53..-5.47 of 110 = -13.2..-5.0%.
        self.assertEqual(r.stdout.splitlines()[-1],
                         "a.csv is 9.1% slower than b.csv (95% CI 5.0..13.2%), p < 0.001")

    def test_pass_spread_hiding_a_shift(self):
        # Every frame of B is a little shorter, but the passes vary far more.
        a = [[10.0] * 300, [8.0] * 300, [12.5] * 300]
        b = [[t * 0.99 for t in p] for p in a]
        self.write("a.csv", csv_text(a))
        self.write("b.csv", csv_text(b))
        r = self.run_tool("a.csv", "b.csv")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.splitlines()[-1], "no significant difference")

    def test_identical_runs(self):
        text = csv_text([[8.0 + 0.1 * (i % 7) for i in range(500)]])
        self.write("x.csv", text)
        self.write("y.csv", text)
        r = self.run_tool("x.csv", "y.csv")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("no CI (needs 2 passes in both runs)", r.stdout)
        self.assertEqual(r.stdout.splitlines()[-1], "no significant difference")

    def test_csv_parsing(self):
        # A repeated header before a later pass, blank lines and CRLF are accepted.
        text = ("pass,frame,frame_ms\r\n1,1,10.000000\r\n1,2,20.000000\r\n\r\n"
                "pass,frame,frame_ms\r\n2,1,30.000000\r\n")
        passes = fc.parse_csv(text, "t.csv")
        self.assertEqual([p.number for p in passes], [1, 2])
        self.assertEqual(list(passes[0].frame_ms), [10.0, 20.0])
        self.assertEqual(list(passes[1].frame_ms), [30.0])

    LOG = "\n".join([
        "game: loading map",
        "flyrate: /tmp/flight.txt: 3 keyframes, 240 frames; warm-up 2-30 s, 1 s without chunk builds",
        "flyrate: map loaded, warming up",
        "flyrate: start after 2.01 s warm-up",
        "flyrate: per-second fps: 60 61",
        "flyrate: pass 1 of 2",
        "flyrate: chunks built: 12 in the warm-up, 0 during the run",
        summary_line(240, 3.98, 60.30, 15.1, 16.6, 18.2, 22.0),
        "flyrate: per-second fps: 58 59",
        "flyrate: pass 2 of 2",
        "flyrate: chunks built: 12 in the warm-up, 3 during the run",
        "flyrate: warning: the game switched the camera 1 times during the run",
        summary_line(240, 4.10, 58.54, 15.3, 17.1, 19.0, 25.4),
        "game: bye",
    ]) + "\n"

    def test_stdout_log(self):
        path = self.write("run.log", self.LOG)
        run = fc.read_run(path, set())
        self.assertEqual((run.kind, run.label), ("log", "run.log"))
        self.assertEqual([p.number for p in run.passes], [1, 2])
        self.assertEqual(run.passes[0].per_second, [60, 61])
        self.assertEqual(run.passes[1].per_second, [58, 59])
        m = fc.pass_metrics(run.passes[1])
        self.assertEqual((m["frames"], m["seconds"], m["fps"]), (240, 4.10, 58.54))
        self.assertEqual((m["mean"], m["p99"], m["max"]), (17.1, 19.0, 25.4))
        self.assertIsNone(m["low1"])

    def test_stdout_log_against_csv(self):
        self.write("run.log", self.LOG)
        self.write("b.csv", csv_text([[16.0] * 240, [16.2] * 240]))
        r = self.run_tool("run.log", "b.csv")
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.splitlines()
        self.assertIn("run.log: run.log (stdout log, 2 passes)", lines)
        row = next(ln for ln in lines if ln.startswith("run.log  ") and ln.split()[1] == "1")
        self.assertEqual(row.split(), ["run.log", "1", "240", "3.98", "60.30", "16.60", "-",
                                       "-", "18.20", "-", "22.00", "-", "-", "-"])
        # Without per-frame times on one side p comes from the passes.
        self.assertIn("  Welch t on per-pass fps: p = ", r.stdout)

    def test_stdout_log_single_passes(self):
        one = "flyrate: per-second fps: 60\n" + summary_line(60, 1.0, 60.0, 16, 16.7, 17, 18) + "\n"
        self.write("a.log", one)
        self.write("b.log", one)
        r = self.run_tool("a.log", "b.log")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.splitlines()[-1],
                         "no significant difference (too little data for a test)")

    def test_cut_off_per_second_line(self):
        # The plug-in keeps 1022 characters of a line: the last number may be cut.
        line = "flyrate: per-second fps:" + " 123" * 300
        line = line[:1022]
        self.assertEqual(line[-2:], " 1")
        text = line + "\n" + summary_line(900, 7.3, 123.0, 8, 8.1, 9, 10) + "\n"
        counts = fc.parse_log(text, "x.log")[0].per_second
        self.assertEqual(len(counts), (1022 - 24) // 4)
        self.assertEqual(set(counts), {123})

    def test_labels(self):
        os.makedirs(os.path.join(self.dir, "one"))
        os.makedirs(os.path.join(self.dir, "two"))
        text = csv_text([[10.0] * 20])
        self.write("one/run.csv", text)
        self.write("two/run.csv", text)
        self.write("x=y.csv", text)
        r = self.run_tool("one/run.csv", "two/run.csv", "new=one/run.csv", "x=y.csv")
        self.assertEqual(r.returncode, 0, r.stderr)
        for head in ("run.csv: one/run.csv", "run.csv (2): two/run.csv",
                     "new: one/run.csv", "x=y.csv: x=y.csv"):
            self.assertIn(head + " (CSV log, 1 pass)", r.stdout.splitlines())
        # Three runs: each no-difference verdict names its pair.
        self.assertIn("no significant difference between new and run.csv", r.stdout)

    def test_help_defines_every_metric(self):
        r = self.run_tool("--help")
        self.assertEqual(r.returncode, 0)
        for word in ("frames", "seconds", "fps", "mean", "median", "p99.9", "max",
                     "1% low", "0.1% low", "stutters", "95% CI", "Mann-Whitney",
                     "no significant difference"):
            self.assertIn(word, r.stdout)

    def test_executable_with_system_python(self):
        self.assertTrue(os.access(TOOL, os.X_OK))
        with open(TOOL) as f:
            self.assertEqual(f.readline(), "#!/usr/bin/python3\n")


class Errors(TempDirCase):
    def assert_error(self, args, fragment, status=1):
        r = self.run_tool(*args)
        self.assertEqual(r.returncode, status, r.stdout)
        self.assertNotIn("Traceback", r.stderr)
        lines = r.stderr.splitlines()
        self.assertEqual(len(lines), 1, r.stderr)
        self.assertTrue(lines[0].startswith("flycompare: error: "), lines[0])
        self.assertIn(fragment, lines[0])

    def test_bad_inputs(self):
        good = csv_text([[10.0, 11.0]])
        cases = {
            "missing.csv": (None, "missing.csv: no such file"),
            "empty.csv": ("", "empty.csv: empty file"),
            "blank.csv": ("\n  \n", "blank.csv: empty file"),
            "header.csv": ("pass,frame,frame_ms\n", "header.csv: no frames"),
            "columns.csv": ("pass,frame,ms\n1,1,10\n", "expected the CSV header pass,frame,frame_ms"),
            "nohead.csv": ("1,1,10.0\n", "expected the CSV header"),
            "short.csv": ("pass,frame,frame_ms\n1,1\n", "line 2: expected 3 columns"),
            "text.csv": ("pass,frame,frame_ms\n1,1,fast\n", "line 2: not a number"),
            "zero.csv": ("pass,frame,frame_ms\n1,1,0\n", "frame_ms must be a positive number"),
            "nan.csv": ("pass,frame,frame_ms\n1,1,nan\n", "frame_ms must be a positive number"),
            "gap.csv": ("pass,frame,frame_ms\n1,1,10\n1,3,10\n", "line 3: expected frame 2 of pass 1"),
            "restart.csv": ("pass,frame,frame_ms\n1,1,10\n2,2,10\n", "expected frame 1 of pass 2"),
            "order.csv": ("pass,frame,frame_ms\n2,1,10\n1,1,10\n", "line 3: pass 1 after pass 2"),
            "pass0.csv": ("pass,frame,frame_ms\n0,1,10\n", "passes count from 1"),
            "nosummary.log": ("flyrate: map loaded, warming up\nflyrate: per-second fps: 60\n",
                              "no flyrate pass summary found"),
            "other.txt": ("just some notes\n", "neither a flyrate CSV log nor a flyrate stdout log"),
            "badsummary.log": ("flyrate: 5 frames x.yz seconds 1.00 fps, frame ms "
                               "min/avg/p99/max 1.0/1.0/1.0/1.0\n", "unreadable summary line"),
        }
        self.write("good.csv", good)
        for name, (text, fragment) in cases.items():
            with self.subTest(name=name):
                if text is not None:
                    self.write(name, text)
                self.assert_error(["good.csv", name], fragment)
        self.write("binary.csv", b"\x00\xff\xfe\x89PNG", mode="wb")
        self.assert_error(["binary.csv"], "binary.csv: neither")
        self.assert_error([self.dir], "is a directory")
        self.assert_error(["=good.csv"], "expected LABEL=PATH")

    def test_bad_command_lines(self):
        self.write("good.csv", csv_text([[10.0]]))
        self.assert_error([], "the following arguments are required", status=2)
        self.assert_error(["--bogus", "good.csv"], "unrecognized arguments", status=2)
        self.assert_error(["good.csv", "--plot", "chart.pdf"], "must end in .png or .svg",
                          status=2)
        self.assert_error(["good.csv", "--plot", "no/such/dir/chart.png"], "can't write")


class Plot(TempDirCase):
    def test_png_and_svg(self):
        self.write("a.csv", csv_text([[10.0 + (i % 5) for i in range(150)]] * 2))
        self.write("b.csv", csv_text([[9.0 + (i % 4) for i in range(150)]]))
        self.write("c.log", Inputs.LOG)
        for name, magic in (("chart.png", b"\x89PNG\r\n\x1a\n"), ("chart.svg", b"<svg")):
            with self.subTest(name=name):
                r = self.run_tool("a.csv", "b.csv", "c.log", "--plot", name)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertIn("chart written to " + name, r.stdout)
                with open(os.path.join(self.dir, name), "rb") as f:
                    data = f.read()
                self.assertIn(magic, data[:400])


if __name__ == "__main__":
    unittest.main()
