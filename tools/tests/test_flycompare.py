# Tests for tools/flycompare: figures against hand-worked values, inputs good and bad, comparisons
# end to end (the verdict's error rates: test_simulation). CTest runs each class.
import json
import os
import re
import unittest
import unittest.mock
from dataclasses import replace

import numpy as np

from support import PIC, SHOTS, Tool, csv_text, history_db, ppm, relaunched, run_of, write_folder
from flytools import metrics
from flytools.compare import analysis
from flytools.errors import InputError
from flytools.inputs import csvlog, script as scripts, stdoutlog
from flytools.records import Pass, Run, Segment
from flytools.report import text, verdict
from flytools.stats import inference as stats, spread

HERE = os.path.dirname(os.path.abspath(__file__))


def verdict_lines(doc):
    return [line for c in doc.comparisons for line in verdict.lines(c, doc)]


class Statistics(unittest.TestCase):
    def test_metrics(self):
        cases = [  # frame times, expected metrics
            ([8.0] * 999 + [200.0], {"frames": 1000, "seconds": 8.192, "mean": 8.192, "median": 8, "p99": 8,
                                     "p99.9": 200, "max": 200, "low1": 1000 / 27.2, "low01": 5, "stutters": 1}),
            ([10, 20, 30, 40], {"median": 25, "p95": 40, "p99": 40, "low1": 25, "pacing": 10}),
            ([5, 1, 3], {"median": 3, "p95": 5, "low1": 200, "pacing": 3}),   # |1-5| and |3-1|, in frame order
            ([10] * 9 + [25], {"stutters": 0}),               # 2.5 x median is no stutter
            ([10] * 9 + [25.5], {"stutters": 1, "low1": 1000 / 25.5}),
            (range(1, 2001), {"p95": 1901, "p99": 1981, "p99.9": 1999}),
            ([10] * 148 + [20, 30], {"low1": 40, "low01": 1000 / 30})]  # ceil(1.5) = 2 frames
        for times, want in cases:  # stutters also as segments count them, compared ones on many passes at once
            m = metrics.frame_metrics(times := np.array(times, dtype=float))
            np.testing.assert_allclose([m[k] for k in want], list(want.values()), err_msg=str(want))
            self.assertEqual(metrics.stutter_mask(times).sum(), m["stutters"])
            for metric in metrics.COMPARED:   # on many passes at once
                np.testing.assert_allclose(metric.of_array(np.array([times, times])), [m[metric.name]] * 2)

    def test_welch_and_holm(self):
        # Welch: means 100, 110, sd 2, 3 passes: se^2 = 8/3, df = 4, t(4) = 2.7764; identical passes: no change; Holm.
        d, se, df = stats.welch([100, 102, 98], [110, 112, 108])
        np.testing.assert_allclose([d, df, *stats.interval(d, se, df)], [10, 4, 5.4661, 14.5339], 1e-5)
        self.assertEqual((stats.welch([5, 5], [5, 5]), stats.classify(0, [0, 0], 1, 0)), ((0, 0, np.inf), "no change"))
        for p, adjusted in [([0.01, 0.04, 0.03], [0.03, 0.06, 0.06]), ([0.2, 0.001], [0.2, 0.002])]:
            np.testing.assert_allclose(stats.holm(p), adjusted)
        # Drift taken out: B = A + 1 on a line of slope 0.5 over the session, A B B A order, plus a little noise.
        x, e = np.array([0, 3, 4, 7]), np.array([0.1, -0.1, -0.1, 0.1])
        d, se, df = stats.drift_adjusted(x, 0.5 * x + e, x + 1.5, 0.5 * x + 1.75 + e)
        np.testing.assert_allclose([d, df], [1.0, 5])

    def test_printed_figures(self):
        # A summary's mean: 1000 * seconds / frames, 1000 / fps and the printed mean, each within its rounding, overlapped.
        np.testing.assert_allclose(stdoutlog.mean_bounds(240, 3.98, 60.30, 16.6), [16.5837, 0.0014], atol=1e-4)
        # Passes printing 11.0 and 11.2 ms share their rounding, a bias of up to 0.05/11.0 + 0.05/11.2 either way, which
        # passes don't average out: not +1.8..+1.8% "slower". Passes printing one figure, then the next one up, as steady
        # data does: no drift warning (the rounding alone can make that slope).
        runs = [run_of(*[{"mean": m, "p99": 14.0, "frames": 100}] * 2, kind="log", label=k) for k, m in (("A", 11.0), ("B", 11.2))]
        iv = analysis.compare(*runs, [], 1.0, spreads={"mean": spread.Spread(0, 9, 0, 9, 2, None, None, 10, 5)}).intervals["mean"]
        np.testing.assert_allclose(iv.ci_pct, [0.9, 2.7], atol=0.05)
        self.assertEqual(iv.verdict, "inconclusive")
        steady = [run_of(*[{"mean": m, "frames": 100} for m in (11.0, 11.0, 11.1, 11.1)], kind="log") for _ in "AB"]
        self.assertIsNone(analysis.drift(steady))

    def test_levels_seen_once(self):
        # Launch and session levels: pooled within-launch pass variance, launch means within a session less the passes'
        # share (Satterthwaite's degrees of freedom for that difference), half the mean squared step between
        # neighbouring sessions less the launches' share (the degrees of freedom of a mean of squared steps).
        sp = spread.measure([[[[0, 0.02], [0.1, 0.12]], [[0.05, 0.07], [0.05, 0.07]], [[0.3, 0.3], [0.3, 0.3]]]])
        launch, session = 0.005 / 3 - 0.0008 / 12, 0.24 ** 2 / 4 - 0.005 / 6
        np.testing.assert_allclose(
            [sp.pass_var, sp.launch_var, sp.launch_df, sp.session_var, sp.session_df],
            [0.0008 / 6, launch, launch ** 2 / ((0.005 / 3) ** 2 / 3 + (0.0008 / 12) ** 2 / 6),
             session, 2 * 2 ** 2 / (3 * 2 - 1)])
        a = [8 * (1 + 0.001 * np.sin(np.arange(50) + k)) for k in range(6)]
        files = [run_of(*a[:3]), run_of(*[t * 1.05 for t in a[3:]])]
        folders = [relaunched(replace(r, session=s), [0, 0, 1], [1, 1.01, 2]) for r, s in zip(files, "xy")]
        measured = spread.Spread(1e-6, 10, 0.02 ** 2, 20, 2, 0.0, 9, 22, 11)
        for runs, sp, want, ci in [  # runs, the spread measured, the verdict, its 95% interval (% change)
                (files, None, "inconclusive", [5.0, 5.0]),   # the passes' interval: one launch each shows no more
                (files, replace(measured, launch_var=0.0), "slower", [5.0, 5.0]),
                (files, measured, "inconclusive", [-1.0, 11.4]),
                (folders, measured, "slower", None),   # two sessions, with their spread measured or not
                (folders, replace(measured, session_var=None), "inconclusive", None),
                (folders[:1] + [replace(folders[1], session="x")], None, "slower", None)]:
            iv = analysis.compare(*runs, [], 1.0, spreads={"mean": sp}).intervals["mean"]
            self.assertEqual(iv.verdict, want)
            if ci:
                np.testing.assert_allclose(iv.ci_pct, ci, atol=0.05)

    def test_one_pass(self):
        # One pass can't show how passes differ: no interval and no verdict, on the path or a segment.
        a = np.random.default_rng(3).gamma(4, 2, 900)
        cmp = analysis.compare(run_of(a), run_of(a * 1.03), [Segment(1, None, 0, 900)], 1.0)
        self.assertEqual((cmp.intervals["mean"].ci_pct, cmp.verdict, cmp.segments[0].change.verdict),
                         (None, "inconclusive", "inconclusive"))
        self.assertIn("mean frame time +3.0%; one pass per run can't show how much passes differ from each other: "
                      "run a second pass", verdict.headline(cmp, 1.0, None))

    def test_gpu_bound_and_attribution(self):
        # A CPU-bound A (the GPU never a frame behind; its first frame without GPU times) against B 15% slower,
        # its GPU exactly a frame behind in its first 80 frames: GPU-bound there, segments by most of their
        # frames, and the verdict's line on them (GPU time 12.13 / 9.45 ms, geometric means); B's GPU times lost
        # (a disjoint timer leaves the cells empty) are said unknown; no line where a run lacks the columns.
        frame = np.array([10.0, 11.0] * 50)
        a = [Pass(i, frame * k, gpu_ms=frame * 0.9, gpu_lag_ms=np.where(np.arange(100) == 0, np.nan, 6.0))
             for i, k in ((1, 1.0), (2, 1.01))]
        b = [Pass(i, frame * k, gpu_ms=frame * k, gpu_lag_ms=np.where(np.arange(100) < 80, frame * k, 5.0))
             for i, k in ((1, 1.15), (2, 1.16))]
        self.assertEqual([(np.nansum(p.gpu_bound), np.isnan(p.gpu_bound).sum()) for p in (a[0], b[0])], [(0, 1), (80, 0)])
        plain = [Pass(p.number, p.frame_ms) for p in b]
        lost = [Pass(p.number, p.frame_ms, gpu_ms=p.frame_ms * np.nan, gpu_lag_ms=p.frame_ms * np.nan) for p in b]
        for runs, want in [((a, b), "  GPU time +28.3% (95% CI of these two launches' passes +21.5..+35.6%); "
                                    "B GPU-bound in 4 of 5 segments, 80% of frames (A in 0 of 5, 0%)"),
                           ((a, lost), "  GPU time unknown; B GPU-bound in - (A in 0 of 5, 0%)"), ((a, plain), None)]:
            doc = analysis.analyse([Run(x, x, "csv", tuple(r)) for x, r in zip("AB", runs)], [0, 20, 40, 60, 80, 100])
            self.assertEqual(verdict.gpu_line(doc.comparisons[0], doc), [want] if want else [])
            self.assertEqual([s.bound for s in doc.runs[0].gpu.segments], ["CPU"] * 5)

    def test_drift_and_warnings(self):
        # Passes 2% slower each in the order they ran, A's before B's: warned above the verdict, after the caller's
        # warnings; steady passes are not. Runs from several launches: the drift per launch in the session.
        steady = [8 * (1 + 0.001 * np.sin(np.arange(50) + k)) for k in range(8)]
        drifting = [t * 1.02 ** k for k, t in enumerate(steady)]
        doc = analysis.analyse([run_of(*drifting[:4]), run_of(*drifting[4:])], warnings=["the renderers differ"])
        self.assertRegex(text.text(doc, verdict_lines(doc)), r"counts as no change\)\nwarning: the renderers differ\nwarning: the machine drifted: mean "
                               r"frame time \+2\.0% per pass in the order the passes ran, within the runs \(trend test p "
                               r"< 0\.001\); .* interleave the variants' runs with tools/flyrun\n")
        self.assertIsNone(analysis.drift([run_of(*steady[:4]), run_of(*steady[4:])]))
        runs = [run_of(*drifting[4 * k:4 * k + 4], orders=[k + 1 + i / 100 for i in range(4)]) for k in (0, 1)]
        self.assertIn("give flyrun --runs 2 or more", analysis.drift(runs))  # one flyrun launch of each
        runs = [relaunched(run_of(*drifting[4 * k:4 * k + 4]), [i // 2 for i in range(4)],
                           [i // 2 * 3 + i % 2 / 100 for i in range(4)]) for k in (0, 1)]
        self.assertIn("+1.3% per run over the session", analysis.drift(runs))
        cmp = analysis.analyse(runs).comparisons[0]  # A and B shown as the drift-adjusted change sees them
        self.assertEqual(cmp.method, "runs")
        for iv in list(cmp.intervals.values()) + [s.change for s in cmp.segments]:
            self.assertAlmostEqual((iv.b / iv.a - 1) * 100, iv.change_pct, places=6)
        apart = [replace(r, session=name) for r, name in zip(runs, "xy")]  # two flyrun folders: no interleaving
        self.assertIn("per run within the sessions, the same in every variant (trend test p < 0.001); the sessions were "
                      "not interleaved", analysis.drift(apart))

    def test_per_second(self):
        # Per-second counts as the plug-in's loop makes them: boundaries hit exactly, frames spanning seconds.
        def loop(times):
            counts, elapsed, count, boundary = [], 0.0, 0, 1.0
            for ms in times:
                count, elapsed = count + 1, elapsed + ms / 1000
                while elapsed >= boundary:
                    counts, boundary, count = counts + [count], boundary + 1, 0
            return counts
        rng = np.random.default_rng(8)
        for times in ([100.0] * 30, [0.1] * 25000, [2500, 1, 1, 999, 3000], [999.9], rng.gamma(2, 8, 5000)):
            self.assertEqual(metrics.per_second_counts(np.array(times, dtype=float)), loop(times))


class Inputs(Tool):
    def test_keyframe_case_table(self):
        # The table the plug-in's and the stand-in's loaders are held to (their unit test reads it too): each
        # script's frames, or a one-line refusal naming the file and the line if there is one.
        esc = {"n": "\n", "r": "\r", "t": "\t", "v": "\v", "f": "\f", "0": "\0"}
        with open(os.path.join(HERE, "..", "..", "tests", "data", "keyframe-cases.txt")) as f:
            cases = [line.rstrip("\n").rsplit(" => ", 1) for line in f if " => " in line]
        for script, want in cases:
            out = []  # the script, escapes (\n ..., c\{N} for N copies of c) undone
            for m in re.finditer(r"\\\{(\d+)\}|\\(.)|.", script, re.S):
                out.append(out[-1][-1] * (int(m[1]) - 1) if m[1] else esc.get(m[2], m[2]) if m[2] else m[0])
            self.write("k", "".join(out).encode("latin-1"))
            try:
                got = " ".join(map(str, scripts.read_script(str(self.dir / "k"))))
            except InputError as e:
                self.assertRegex(str(e), r"\A%s: [^\n]+\Z" % re.escape(str(self.dir / "k")))
                got = re.sub(r".*?: (?:line (\d+): .*|.*)", lambda m: "line " + m[1] if m[1] else "refused", str(e))
            self.assertEqual(got, want, script)
        self.assertGreater(len(cases), 30)

    def test_stdout_log(self):
        # A stdout log against CSV runs: intervals from the passes, no stutters known; the gate lets an
        # inconclusive run pass; an existing path with "=" is no LABEL=PATH; a repeated name is numbered.
        line = "flyrate: 240 frames %.2f seconds %.2f fps, frame ms min/avg/p99/max 15/%.1f/19/25\n"
        self.write("run.log", "flyrate: per-second fps: 60 61\nflyrate: pass 1 of 2\nflyrate: warning: x\n"
                   + line % (3.98, 60.3, 16.6) + "flyrate: pass 2 of 2\n" + line % (4.1, 58.54, 17.1))
        self.write("x=y.csv", csv_text([[16.0] * 240, [16.2] * 240]))
        out = self.run_tool("run.log", "x=y.csv", "x=y.csv", "--plot", "c.png", "--fail-if-slower").stdout
        self.assertIn("\ninconclusive, x=y.csv (2) against run.log: mean frame time -4.3% (95% CI of these two launches' "
                      "passes -14.7..+7.3%); one launch of each can't show how much launches differ from each other: run "
                      "tools/flyrun (2 or more runs of each), or give --history DB to measure this machine's "
                      "launch-to-launch spread\n  stutters "
                      "over all passes: run.log unknown (stdout log); x=y.csv (2) 0 (no chunks column)\n", out)

    def test_errors(self):
        # Bad input exits 1, a bad command line 2, each with one line naming the problem. The good run g has four
        # columns, spaces in its header, a blank line, CRLF, a repeated header.
        self.write("g", "pass, frame, frame_ms, chunks\r\n\r\n1,1,10,0\r\npass,frame,frame_ms,chunks\r\n1,2,11,3\r\n")
        os.link(self.dir / "g", self.dir / "h")
        self.write("frame-00009.ppm", b"")
        h, h4, key = "pass,frame,frame_ms\n", "pass,frame,frame_ms,chunks\n", "0 1 2 3 4 5\n"
        hg = "pass,frame,frame_ms,gpu_ms,gpu_lag_ms\n"
        P1, P2, S = "flyrate: pass 1 of 2\n", "flyrate: pass 2 of 2\n", "flyrate: %d frames 5 seconds 1 fps, frame ms min/avg/p99/max 1/2/3/4\n"
        files = [  # contents of x, a run (a script where it starts with a keyframe) -> the error's words
            ("", "x: empty file"), (h, "x: no frames"), ("pass,frame,ms\n1,1,10\n", "expected the CSV header"),
            (h + "1,1\n", "line 2: expected 3 columns"), (h + "1,1,fast\n", "line 2: not a number"),
            (h + "0,1,10\n", "passes count from 1"), (h + "1,1,0\n", "frame_ms must be a positive number"),
            (h + "1,1,10\n" + h4, "line 3: header pass,frame,frame_ms,chunks after"),
            (hg + "1,1,10,1\n", "line 2: expected 5 columns"), (hg + "1,1,10,,x\n", "line 2: not a number"),
            (h4 + "1,1,10,0\n" + h4[:-1] + hg[19:], "after header"),
            (hg + "1,1,10,9,-inf\n", "gpu_lag_ms must be empty or a number of ms within an hour (3600000) either "
                                    "way, found '-inf'"),
            (h + "1,1,1e308\n", "at most 3600000 (an hour), found '1e308'"),
            (h + "1,1,10\n1,3,10\n", "line 3: expected frame 2 of pass 1"),
            (h + "2,1,10\n1,1,10\n", "line 3: pass 1 after pass 2"), (h4 + "1,1,10,-1\n", "chunks must be 0 or more"),
            (h + "1,1,5e-324\n", "line 2: frame_ms must be a positive number of at least 0.001 (a microsecond)"),
            (h + "1,1,9\n1,2,9\n2,1,9\n", "x: pass 2 has 1 frames, pass 1 has 2; the passes of one flight are equal"),
            (h + "1,1,9\n1,2,9\n1,3,9\n", "the runs' passes differ in length: g 2 frames, x 3 frames; runs of one"),
            (P1 + S % 600 + P2 + S % 600 + P1 + S % 100, "line 5: pass 1 of 2 follows pass 2 of 2: the log holds more"),
            (P1 + S % 600 + P2 + S % 300, "line 4: pass 2 has 300 frames, pass 1 has 600"),
            (S % 600 + S % 600, "line 2: a summary without a 'pass N of M' line after another summary"),
            ("flyrate: per-second fps: 60\n", "no flyrate pass summary found"),
            ("flyrate: 5 frames x seconds 1 fps, frame ms min/avg/p99/max 1/1/1/1\n", "unreadable summary line"),
            ("just some notes\n", "neither a flyrate CSV log nor a flyrate stdout log"),
            (key + "10 1 2 3\n", "x: line 2: expected a keyframe"), (key + key, "must start at 0 and ascend"),
            (key + "5 1 2 3 4 5\n", "last keyframe is frame 5, but the runs have 2"),
            (key + "1 1 2 3 4 5\n", "last keyframe is frame 1, but the runs have 2"),
            (key + "\x7fELF\x1b[2J\n", "found '\\x7fELF\\x1b[2J'")]
        commands = [  # arguments (x as last written), status -> the error's words
            ("missing.csv", 1, "missing.csv: no such file"), (".", 1, ".: is a directory"), ("=g", 1, "LABEL=PATH"),
            ("g g --shots . --shots gone", 1, "gone: no such folder"), ("g --json n/o", 2, "can't write n/o"),
            ("g --plot n/c.png", 2, "can't write n/c.png"), ("g --plot c.pdf", 2, "must end in .png or .svg"),
            ("g --html g", 2, "--html: g is an input or another output"), ("A=g A=g", 2, "two runs are labelled A"),
            ("g --html h", 2, "h is an input"), ("g --script x --json x", 2, "x is an input"),  # h: g's hard link
            ("g g --shots . --shots . --html frame-00009.ppm", 2, "frame-00009.ppm is an input"),
            ("g --min-effect -1", 2, "-1: must be a percentage from 0 to below 100"), ("g --min-effect nan", 2, "nan"),
            ("g --pixel-tolerance 256", 2, "0 to 255"), ("g --fail-if-pictures-differ", 2, "needs --shots"),
            ("g --shots B=.", 2, "no run is labelled B"), ("g --shots . --shots .", 2, "more folders than runs"),
            ("x=g --shots x=. --shots x=.", 2, "two folders for run x"), ("x=g g --shots g=.", 2, "x, needs a folder")]
        for data, args, status, words in [(d, "g g --script x" if d.startswith(key) else "g x", 1, w)
                                          for d, w in files] + [(None, *c) for c in commands]:
            if data is not None:
                self.write("x", data)
            with self.subTest(args=args, data=data):
                stderr = self.run_tool(*args.split(), status=status).stderr
                self.assertRegex(stderr, r"\Aflycompare: error: [^\n]*%s[^\n]*\n\Z" % re.escape(words))


    def test_reader_pieces_and_notes(self):
        # The bulk reader cut into small pieces reads what the line-by-line one reads and names the same
        # bad line; a long per-second line keeps its last count; gaps and a file given twice are said.
        rows = ["%d,%d,%.3f\n" % (p, f, 8 + f / 7) for p in (1, 3, 4) for f in range(1, 41)]
        good = "".join(["pass,frame,frame_ms\n\n"] + rows[:30] + ["pass, frame, frame_ms\r\n"] + rows[30:])
        for size in (64, 1 << 20):
            with unittest.mock.patch.object(csvlog, "PIECE_BYTES", size):
                passes = csvlog.parse_csv(good.encode(), "g")
                self.assertEqual([p.number for p in passes], [1, 3, 4])
                np.testing.assert_allclose(np.concatenate([p.frame_ms for p in passes]),
                                           [float(r.split(",")[2]) for r in rows])
                for bad, line in (("1,41,nan", 124), ("1,40,8", 123), ("1,1,1e-4", 100)):
                    at = good.split("\n")
                    at.insert(line - 1, bad)
                    with self.assertRaisesRegex(InputError, "^g: line %d: " % line):
                        csvlog.parse_csv("\n".join(at), "g")
        # GPU times: an empty cell (or a written nan) is a frame without them, whichever reader reads it.
        rows = ["1,%d,%d,2,%s,%s\n" % (f, 8 + f % 3, "" if f % 7 else "nan", "" if f % 5 else 4.5) for f in range(1, 41)]
        for size in (64, 1 << 20):
            with unittest.mock.patch.object(csvlog, "PIECE_BYTES", size):
                p = csvlog.parse_csv("pass,frame,frame_ms,chunks,gpu_ms,gpu_lag_ms\n" + "".join(rows), "g")[0]
                self.assertEqual((p.chunks.sum(), np.isnan(p.gpu_ms).sum(), np.nansum(p.gpu_lag_ms)), (80, 40, 36.0))
        counts = stdoutlog.parse_log("flyrate: per-second fps:%s\nflyrate: 1 frames 1 seconds 1 fps, frame ms "
                                   "min/avg/p99/max 1/1/1/1\n" % (" 600" * 250), "x")[0].per_second
        self.assertEqual(len(counts), 250)
        # A file name that isn't UTF-8 is shown escaped in the text, the notes, the JSON, the page and the chart.
        self.write("old_$^$\udcff.csv", good)
        r = self.run_tool("old_$^$\udcff.csv", "old_$^$\udcff.csv", "--plot", "c.svg", "--html", "p.html", "--json", "j")
        self.assertEqual(r.stderr, "flycompare: note: old_$^$\\xff.csv: passes 1, 3, 4: no pass 2; the passes are "
                         "compared as they are\nflycompare: note: old_$^$\\xff.csv is given twice (old_$^$\\xff.csv and "
                         "old_$^$\\xff.csv (2)): a run compared with itself\n")
        self.assertEqual([("old_$^$\\xff.csv" in (self.dir / f).read_text()) for f in ("p.html", "c.svg")] +
                         [json.loads((self.dir / "j").read_text())["runs"][1]["label"]], [True] * 2 + ["old_$^$\\xff.csv (2)"])


class Comparing(Tool):
    def test_segments_verdict_json_and_gate(self):
        # Three passes of 300 frames, keyframes every 100, the last segment slow. B is 10% slower
        # from keyframe 1 to 2, 2% from 2 to 3 (Holm keeps it inconclusive). A logs chunk builds.
        base = 8 + np.sin(np.arange(300) / 9)
        base[200:] *= 2.2                  # its own median would hide its stutter
        base[[0, 100, 200]] = 40           # stutters in each segment's first frame
        a = [base * s for s in (1.0, 1.004, 0.996)]
        self.write("a.csv", csv_text(a, [[2] * 100 + [0] * 200] * 3))
        self.write("b.csv", csv_text([x * np.repeat([1.0, 1.1, 1.02], 100) for x in a]))
        self.write("flight.txt", "warmup 2 1 30\n# keys\n0 0 0 0 0 0\n100 0 0 0 0 0\n200 1 2 3 4 5\n300 1 1 1 1 1\n")
        r = self.run_tool("A=a.csv", "B=b.csv", "--script", "flight.txt", "--json", "out.json", "--history",
                          history_db(self.dir), "--plot", "chart.svg", "--fail-if-slower", status=3)
        lines = ["B is slower than A: mean frame time +3.5% (95% CI +2.5..+4.4%), beyond the \u00b11% threshold",
                 "  launch-to-launch spread 0.0%% measured from 3 launches of 1 run in %s/h.db" % self.dir,
                 "  slower between keyframes 1 and 2 (frames 100-200): mean frame time +10.0% (95% CI +9.0..+11.0%)",
                 "  segments: 1 slower, 1 no change, 1 inconclusive (Holm's correction over 3 segments)",
                 "  stutters over all passes: A 9, 3 of them in frames that built chunks; B 9 (no chunks column)"]
        self.assertIn("counts as no change)\n%s\nJSON written" % "\n".join(lines), r.stdout)
        doc = json.loads((self.dir / "out.json").read_text())
        c = doc["comparisons"][0]
        self.assertEqual((doc["format"], doc["version"], doc["exit_status"], c["run"], c["against"], c["method"],
                          c["verdict"], c["intervals"]["low1"]["verdict"], c["verdict_lines"], r.stderr,
                          doc["runs"][0]["passes"][2]["chunk_builds"]),
                         ("flycompare", 1, 3, "B", "A", "passes", "slower", "slower", lines,
                          "flycompare: exit status 3: a run is slower than A\n", 200))
        self.assertEqual([(s["change"]["verdict"], s["a"]["stutters"], s["a"]["stutters_with_chunk_builds"])
                          for s in c["segments"]], [("no change", 3, 3), ("slower", 3, 0), ("inconclusive", 3, 0)])
        self.assertEqual([ln.split()[:3] for ln in r.stdout.splitlines() if ln.startswith("frame pacing")],
                         [["frame", "pacing", "(ms)"]])                  # a metric row: its interval too
        self.assertEqual(set(c["intervals"]), {"mean", "p99", "low1", "pacing"})
        svg = (self.dir / "chart.svg").read_text()                    # keyframes named, segments shaded
        self.assertTrue(all(w in svg for w in ("key 3", "B: slower", "B: inconclusive")))

    def test_two_sessions_are_not_interleaved(self):
        # Two flyrun folders made one after the other, B's 5% slower: placed by their times, no verdict without the
        # sessions' spread measured.
        for name, scale, started in (("a", 1.0, "2026-12-08T21:00:00"), ("b", 1.05, "2026-12-08T23:10:00")):
            write_folder(self.dir / name, [[[8.0 * scale * k] * 30, [8.1 * scale * k] * 30] for k in (1, 1.01)], label=name.upper(),
                         started=started)
        out = self.run_tool("a", "b").stdout
        self.assertIn("(2 and 2 game launches, each the mean of the logs of its per-pass values; Welch t); two flyrun "
                      "sessions, not interleaved: A's from 2026-12-08T21:00:00, B's from 2026-12-08T23:10:00", out)
        self.assertIn("(95% CI of these two sessions' launches +1.9..+8.2%); one session of each can't show how much "
                      "sessions differ from each other (the sessions were not interleaved): run the variants in one "
                      "tools/flyrun session, or give --history DB", out)

    def test_pictures_and_exit_statuses(self):
        # Each keyframe's case as SHOTS says; a faster run told it draws a different picture; 30 frames in 3 stretches.
        # --fail-if-slower exits 3 only when slower, --fail-if-pictures-differ 4 when pictures differ, also when both,
        # and when they can't be compared (e empty, t's cut short): the gate never passes on nothing.
        self.write_shots()
        for frame, *_ in SHOTS:
            self.write("t/frame-%05d.ppm" % frame, ppm(PIC)[:-1])
        (self.dir / "e").mkdir()
        db = history_db(self.dir)
        pictures = [w for *_, w in SHOTS] + [
            "fast.csv is faster than slow.csv: mean frame time -19.9% (95% CI -22.7..-17.0%), beyond the \u00b11% "
            "threshold; but it draws a different picture at frame 120; its screenshots are another size (4x3 in slow.csv, "
            "2x2 in fast.csv), so the pictures can't be compared at frame 600; frames 240, 360 and 480 not compared\n",
            "faster in stretch 3 of 3 (frames 20-30)",
            "segments: 3 faster (Holm's correction over 3 segments)"]
        for args, status, words in [  # runs, B's folder, the tolerance -> status, words shown
                ("slow.csv fast.csv b 2", 4, pictures + ["exit status 4: a keyframe's pictures differ"]),
                ("slow.csv fast.csv b 10", 4, ["the same within \u00b110 (1 identical) at 2 keyframes",
                                               "its screenshots are another size (4x3 in slow.csv, 2x2"]),
                ("slow.csv fast.csv a 255", 0, ["fast.csv against slow.csv): identical at 6 keyframes"]),
                ("slow.csv fast.csv e 255", 4, ["exit status 4: pictures that can't be compared fail "
                                                "--fail-if-pictures-differ (fast.csv: 6 of 6 keyframes not compared)"]),
                ("slow.csv fast.csv t 255", 4, ["(fast.csv: 6 of 6 keyframes not compared)\n"]),
                ("fast.csv slow.csv a 2", 3, ["flycompare: exit status 3: a run is slower than A"]),
                ("fast.csv slow.csv b 2", 4, ["slow.csv is slower", "threshold; but it draws a different picture at frame 120;",
                                              "flycompare: exit status 4"])]:
            a, b, folder, tolerance = args.split()
            with self.subTest(args=args):
                r = self.run_tool(a, b, "--shots", "a", "--shots", folder, "--pixel-tolerance", tolerance, "--history", db,
                                  "--fail-if-slower", "--fail-if-pictures-differ", status=status)
                self.assertEqual([w for w in words if w not in r.stdout + r.stderr], [], r.stdout)
