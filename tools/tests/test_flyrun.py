"""Tests of tools/flyrun and of the environment checks flycompare makes:
real launches of a small fake game (hangs, crashes, bad exits, Ctrl-C) and
of the built stand-in (FLYRUN_STANDIN, FLYRUN_PLUGIN; skipped without)."""
import json
import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import numpy as np

from support import TOOLS, csv_text, write_folder
from flytools.compare import environment
from flytools.inputs.runfolder import build
from flytools.records import Pass, Run, RunInfo, to_json
from flytools.run import host, plan

FLYRUN, FLYCOMPARE, FLYHISTORY = (os.path.join(TOOLS, t) for t in ("flyrun", "flycompare", "flyhistory"))
SCRIPT = "warmup 0 0 5\n0 -230 36 230 -45 -10\n30 -200 46 200 -40 -12\n60 -170 56 170 -40 -14\n"
# The fake game: MODE ok writes a whole log; the others misbehave. "flaky"
# fails its first launch only; "hang" leaves a child in its group and waits.
FAKE = r"""
import os, signal, sys, time
mode, state = sys.argv[1], os.path.join(os.path.dirname(sys.argv[0]), "state")
sys.stderr.write("renderer: FakeGL 1.0\n")
with open(state + ".pids", "a") as f:
    f.write("%d\n" % os.getpid())
if mode == "flaky" and not os.path.exists(state):
    open(state, "w").close()
    sys.exit(3)
if mode in ("hang", "wait"):
    child = os.fork()
    if child == 0:
        time.sleep(600)
    with open(state + ".pids", "a") as f:
        f.write("%d\n" % child)
    open(state + ".started", "w").close()
    time.sleep(600)
if mode == "exit":
    sys.exit(5)
if mode == "segv":
    os.kill(os.getpid(), signal.SIGSEGV)
passes = 1 if mode == "short" else int(os.environ["FLYRATE_PASSES"])
with open(os.environ["FLYRATE_CSV"], "w") as f:
    f.write("pass,frame,frame_ms\n")
    for p in range(1, passes + 1):
        for i in range(1, 61 if mode != "cut" or p == 1 else 31):
            f.write("%d,%d,%.6f\n" % (p, i, 10 + (i * 7 % 5) * 0.1))
"""


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # A zombie is dead too (reaped later by init).
    with open("/proc/%d/stat" % pid) as f:
        return f.read().split(")")[-1].split()[0] != "Z"


class Case(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name
        self.script = os.path.join(self.dir, "flight.txt")
        with open(self.script, "w") as f:
            f.write(SCRIPT)
        self.fake = os.path.join(self.dir, "fake.py")
        with open(self.fake, "w") as f:
            f.write(FAKE)
        self.out = os.path.join(self.dir, "out")

    def tearDown(self):
        self.tmp.cleanup()

    def game(self, mode):
        return "%s %s %s" % (sys.executable, self.fake, mode)

    def flyrun(self, *variants, opts=("--runs", "1", "--passes", "2", "--shots", "none"), **kw):
        argv = [FLYRUN, "--script", self.script, "--out", self.out, *opts, *variants]
        return subprocess.run(argv, capture_output=True, text=True, timeout=240, **kw)

    def compare(self, *args):
        return subprocess.run([FLYCOMPARE, *args], capture_output=True, text=True, timeout=120)

    def run_json(self, rel):
        with open(os.path.join(self.out, rel, "run.json")) as f:
            return json.load(f)


class Arguments(Case):
    def test_bad_command_lines_exit_2_with_one_line(self):
        os.makedirs(os.path.join(self.out, "A"))
        ok = "B=" + self.game("ok")
        for argv, says in [
            (["A=" + self.game("ok"), ok, "--out", self.dir + "/new", "--runs", "0"], "--runs: 0"),
            (["a/b=true", ok], "a label is"),
            (["B=true", ok], "two variants are labelled B"),
            (["C='unbalanced", ok], "can't split"),
            (["C=/no/such/game", ok], "no such program"),
            (["C=", ok], 'expected LABEL="COMMAND"'),
            (["A=true", ok], "already holds runs"),
            (["C=true", ok, "--shots", "none", "--fail-if-pictures-differ"], "needs screenshots"),
            (["C=true", ok, "--timeout", "-1"], "--timeout"),
            (["C=true", ok, "--until-decided", "--max-runs", "2"], "--until-decided: needs two variants"),
            (["C=true", ok, "--runs", "3", "--budget", "5"], "run until decided: give one or the other"),
            # The comparison's options are checked before anything is launched too.
            (["C=" + self.game("ok"), ok, "--plot", "chart.pdf"], "--plot: chart.pdf: the file name must end in .png"),
            (["C=" + self.game("ok"), ok, "--pixel-tolerance", "300"], "--pixel-tolerance: 300: must be 0 to 255"),
            (["C=" + self.game("ok"), ok, "--html", "/nonexistent/x.html"], "can't write /nonexistent/x.html: no such"),
        ]:
            r = self.flyrun(*argv, opts=())
            self.assertEqual((r.returncode, r.stdout), (2, ""), argv)
            self.assertEqual(len(r.stderr.splitlines()), 1, r.stderr)
            self.assertIn(says, r.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "state.pids")), "a game was launched")
        os.remove(self.script)
        r = self.flyrun("C=true", ok, opts=())
        self.assertEqual(r.returncode, 2)
        self.assertIn("--script", r.stderr)

    def test_two_variants_run_until_decided(self):
        # Without --runs: launches alike, the first A B B A block decides "no change"; the session is complete with
        # 2 launches each.
        r = self.flyrun("A=" + self.game("ok"), "B=" + self.game("ok"), opts=("--passes", "2", "--shots", "none"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("flyrun: decided after 2 launches of each: B against A +0.0% (95% CI valid under looking after "
                      "every block -0.0..+0.0%): no change\n", r.stderr)
        self.assertIn("no change from A to B: mean frame time +0.0% (95% CI valid under looking after every block "
                      "-0.0..+0.0%), inside \u00b11%", r.stdout)
        with open(os.path.join(self.out, "flyrun.json")) as f:
            done = json.load(f)
        self.assertEqual((done["complete"], [e["label"] for e in done["runs"]], done["settings"]["looks"]),
                         (True, list("ABBA"), 15))
        self.assertEqual(self.compare(self.out).stdout, r.stdout)  # compared again: the same intervals

    def test_order_is_balanced(self):
        self.assertEqual("".join(plan.rounds(["A", "B"], 4, "abba", 1)), "ABBABAAB")
        order = plan.rounds(["A", "B", "C"], 5, "random", 7)
        for r in range(5):
            self.assertEqual(sorted(order[3 * r:3 * r + 3]), ["A", "B", "C"])


class Failures(Case):
    def assert_incomplete(self, label, reason, rc=1):
        env = self.run_json(label + "/run-01.failed")
        self.assertEqual(env["status"], "failed")
        self.assertIn(reason, env["reason"])
        self.assertFalse(os.path.exists(os.path.join(self.out, label, "run-01")))
        with open(os.path.join(self.out, "flyrun.json")) as f:
            session = json.load(f)
        self.assertFalse(session["complete"])
        self.assertEqual([r["status"] for r in session["runs"]][-1], "failed")
        r = self.compare(self.out)
        self.assertEqual(r.returncode, 1)
        self.assertIn("no complete run of " + label, r.stderr)

    def test_a_failed_launch_is_kept_apart_and_stops_the_session(self):
        for mode, reason in [("exit", "exited with status 5"), ("segv", "crashed: killed by SIGSEGV"),
                             ("hang", "hung: still running after the 5 s timeout"),
                             ("short", "frames.csv holds 1 of 2 passes"),
                             ("cut", "pass 2 has 30 frames, pass 1 has 60"),
                             ("noexec", "can't start")]:
            with self.subTest(mode=mode):
                self.tearDown()
                self.setUp()
                game = self.game(mode)
                if mode == "noexec":
                    game = os.path.join(self.dir, "noexec")
                    with open(game, "w") as f:
                        f.write("not a program\n")
                    os.chmod(game, 0o755)
                r = self.flyrun("A=" + self.game("ok"), "B=" + game,
                                opts=("--runs", "2", "--passes", "2", "--shots", "none",
                                      "--timeout", "5"))
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn("stopped at the first failed launch", r.stderr)
                self.assert_incomplete("B", reason)
                self.assertTrue(os.path.isfile(os.path.join(self.out, "B/run-01.failed/stderr.log")))
                if mode == "hang":
                    with open(os.path.join(self.dir, "state.pids")) as f:
                        pids = [int(v) for v in f.read().split()]
                    self.assertFalse(any(alive(p) for p in pids[1:]), "the group outlived the timeout")

    def test_keep_going_compares_what_completed_and_still_fails(self):
        r = self.flyrun("A=" + self.game("ok"), "B=" + self.game("flaky"),
                        opts=("--runs", "2", "--passes", "2", "--shots", "none", "--keep-going"))
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("1 launch failed", r.stderr)
        self.assertIn("skipped runs that did not complete (B: 1)", r.stderr)
        self.assertNotIn("no pass", r.stderr)  # the second launch's passes 3 and 4 follow on, no gap
        self.assertIn("B: %s/B (CSV log, 2 passes of 60 frames)" % self.out, r.stdout)
        self.assertIn("A: %s/A (CSV log, 4 passes" % self.out, r.stdout)
        with open(os.path.join(self.out, "flyrun.json")) as f:
            self.assertTrue(json.load(f)["complete"])

    def test_ctrl_c_kills_the_launch_and_leaves_the_completed_runs(self):
        proc = subprocess.Popen([FLYRUN, "--script", self.script, "--out", self.out, "--runs", "1",
                                 "--shots", "none", "A=" + self.game("ok"), "B=" + self.game("wait")],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        started = os.path.join(self.dir, "state.started")
        for _ in range(600):
            if os.path.exists(started) or proc.poll() is not None:
                break
            time.sleep(0.1)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 130, err)
        self.assertIn("interrupted: the completed runs are in %s; no complete run of B, so there is nothing to "
                      "compare" % self.out, err)
        self.assert_incomplete("B", "interrupted (SIGINT)")
        self.assertEqual(self.run_json("A/run-01")["status"], "complete")
        with open(started[:-len(".started")] + ".pids") as f:
            self.assertFalse(any(alive(int(p)) for p in f.read().split()[1:]))


def standin():
    exe, plugin = os.environ.get("FLYRUN_STANDIN"), os.environ.get("FLYRUN_PLUGIN")
    return (exe, plugin) if exe and plugin and os.path.isfile(exe) and os.path.isfile(plugin) \
        else None


@unittest.skipUnless(standin(), "no built stand-in (FLYRUN_STANDIN, FLYRUN_PLUGIN)")
class Standin(Case):
    def test_two_view_distances_compared_with_their_environments(self):
        exe, plugin = standin()
        report = os.path.join(self.dir, "r.json")
        r = self.flyrun("A=%s --view-distance 32 %s" % (exe, plugin),
                        "B=%s --view-distance 48 %s" % (exe, plugin), "--json", report, "--html", report + ".html",
                        opts=("--runs", "1", "--passes", "2", "--quiet"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("warning: environment differs: view distance A 32, B 48", r.stdout)
        # The only environment warning (a drift warning may come too: a pass that builds fewer chunks is faster).
        self.assertEqual(sum("warning: environment" in ln for ln in r.stdout.splitlines()), 1, r.stdout)
        self.assertIn("pictures (B against A): differ", r.stdout)
        with open(report) as f:
            self.assertEqual(json.load(f)["warnings"][0], "environment differs: view distance A 32, B 48")
        with open(report + ".html") as f:
            self.assertIn("<li>environment differs: view distance A 32, B 48</li>", f.read())
        with open(os.path.join(self.out, "report.txt")) as f:
            self.assertEqual(f.read(), r.stdout)
        env = self.run_json("A/run-01")
        self.assertEqual((env["game"], env["passes"], env["shots"], env["framebuffer"]),
                         ({"size": "960x540", "seed": 1, "view_distance": "32", "build_rate": 4}, 2, False, None))
        self.assertNotIn("FLYRATE_SHOTS", env["env"])
        self.assertEqual(os.listdir(os.path.join(self.out, "A/run-01/shots")), [])
        self.assertEqual(self.run_json("A/shots-run")["framebuffer"], {"width": 960, "height": 540})
        # Later: the folder again, and the CSVs with their run.json beside them.
        again = self.compare(self.out)
        self.assertEqual(again.stdout, r.stdout.split("JSON written")[0])
        self.assertIn("view distance A 32, B 48", self.compare(
            "A=%s/A/run-01/frames.csv" % self.out, "B=%s/B/run-01/frames.csv" % self.out).stdout)

    def test_gpu_times_tell_what_bounds_the_flight(self):
        # A fill-heavy load (extra layers per pixel) and a busy render thread make frames at least twice as long
        # (about 4 and 7 times the plain 1.2 ms at 320x180): the first flight is GPU-bound in every segment, the
        # second in none, and halving the framebuffer's sides takes much off the first and little off the second
        # (each run's fastest pass: another process on this machine can only slow a pass down). flyrun.json and
        # run.json say --gpu, the page shows the GPU table; the figures stay in flyhistory.
        exe, plugin = standin()
        with open(self.script, "w") as f:
            f.write("warmup 0 0 5\n" + "".join("%d %d 40 200 -40 -12\n" % (24 * k, 30 * k - 230) for k in range(6)))
        change = {}
        for load, bound in (("--gpu-load 24", "GPU"), ("--cpu-load 8", "CPU")):
            game = "=%s --max-seconds 0 --view-distance 32 --size %s %s " + plugin
            self.out = os.path.join(self.dir, bound)
            r = self.flyrun("A" + game % (exe, "320x180", load), "B" + game % (exe, "160x90", load),
                            "--json", self.out + ".json", "--html", self.out + ".html", opts=("--gpu", "--runs", "1", "--passes", "3", "--shots", "none", "--quiet"))
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertRegex(r.stdout, r"\n  GPU time [-+]\d+\.\d% \(95% CI [^)]*\); B GPU-bound in \d of 5 segments")
            with open(self.out + ".json") as f:
                doc = json.load(f)
            with open(self.out + ".html") as f:
                self.assertIn("<h3>GPU times</h3>", f.read())
            full = [s["bound"] for s in doc["runs"][0]["gpu"]["segments"]]
            self.assertGreaterEqual(full.count(bound), 0.95 * len(full), r.stdout)
            fastest = [min(p["metrics"]["mean"] for p in run["passes"]) for run in doc["runs"]]
            change[bound] = (fastest[1] / fastest[0] - 1) * 100
            with open(os.path.join(self.out, "flyrun.json")) as f:
                self.assertEqual((json.load(f)["settings"]["gpu"], self.run_json("A/run-01")["env"]["FLYRATE_GPU"]),
                                 (True, "1"))
        self.assertLess(change["GPU"], -30, change)
        self.assertGreater(change["CPU"], -15, change)
        db = os.path.join(self.dir, "h.db")
        subprocess.run([FLYHISTORY, "--db", db, "add", self.out], check=True, capture_output=True, timeout=60)
        report = subprocess.run([FLYHISTORY, "--db", db, "report"], capture_output=True, text=True, timeout=60).stdout
        self.assertRegex(report, r"GPU time \d+\.\d\d ms, GPU-bound frames \d+\.\d\d%")


class Environment(unittest.TestCase):
    def test_renderer_lines(self):
        for text, want in [
            ("standin: renderer: llvmpipe (LLVM 15.0.6, 256 bits), size 960x540, seed 1, "
             "view distance 96, 4 chunk builds per frame",
             ("llvmpipe (LLVM 15.0.6, 256 bits)", {"size": "960x540", "seed": 1, "view_distance": "96",
                                                   "build_rate": 4})),
            ("game: GL renderer: Mesa Intel(R) UHD 620\nrenderer: other", ("Mesa Intel(R) UHD 620", {})),
            ("nothing here", (None, {})),
        ]:
            name, game = host.renderer("", text)
            self.assertEqual((name, to_json(game)), want)

    def test_differences_that_matter_are_warned_once_each(self):
        def run(label, *envs):  # a run with its launches' run.json as the reader makes them
            return Run(label, label, "csv", (), tuple(build(RunInfo, e, "run.json") for e in envs))

        base = {"script": {"sha256": "ab" * 32}, "renderer": "llvmpipe", "passes": 2, "shots": False,
                "framebuffer": None, "game": {"size": "960x540", "seed": 1, "view_distance": "96", "build_rate": 4},
                "host": {"name": "box", "cpu_model": "EPYC", "cpu_cores": 2, "governor": None,
                         "load_average": [1.0, 1.0, 1.0]}}

        def env(**change):
            e = json.loads(json.dumps(base))
            for key, value in change.items():
                part, _, sub = key.partition("__")
                (e[part].__setitem__(sub, value) if sub else e.__setitem__(part, value))
            return e

        for b, want in [
            (env(), []),
            (env(host__load_average=[3.0, 2.0, 1.0]), []),
            (env(game__view_distance="160"), ["view distance A 96, B 160"]),
            (env(game__build_rate=1), ["chunk builds per frame A 4, B 1"]),
            (env(script__sha256="cd" * 32), ["script SHA-256 A abababababab..., B cdcdcdcdcdcd..."]),
            (env(framebuffer={"width": 640, "height": 360}), ["framebuffer size A 960x540, B 640x360"]),
            (env(renderer="radeonsi", host__name="other", passes=3),
             ["renderer A llvmpipe, B radeonsi", "host A box, B other", "passes per launch A 2, B 3"]),
            (env(shots=True), ["screenshots taken in B's runs and not in A's"]),
        ]:
            got = environment.check([run("A", env(), env()), run("B", b)])
            self.assertEqual(len(got), len(want), got)
            for line, part in zip(got, want):
                self.assertIn(part, line)
        got = environment.check([run("A", env(), env(game__seed=2)), run("B", env())])
        self.assertEqual(got, ["environment differs: seed A 1/2, B 1"])
        self.assertEqual(environment.check([run("A"), run("B")]), [])
        def built(label, *builds):  # a run whose passes built these many chunks
            return Run(label, label, "csv", tuple(Pass(i, np.full(4, 9.0), np.array([n, 0, 0, 0]))
                                                  for i, n in enumerate(builds, 1)))
        got = environment.builds([built("A", 300, 381), built("B", 238, 240), built("C", 290, 300), built("D", 390)])
        self.assertEqual([line.split(": ")[1] for line in got], ["chunk builds per pass A 300-381, B 238-240",
                                                                 "chunk builds per pass A 300-381, D 390-390"])
        self.assertEqual(environment.builds([built("A", 300), built("B", 305)]), [])  # within 2%
        self.assertEqual(environment.unknown([run("A"), run("B")]),
                         "environment unknown for A, B (no run.json): host, size, renderer "
                          "and script not checked")

    def test_a_bad_run_json_is_one_line(self):
        # A run.json, beside a log or in a flyrun folder, with a field of the wrong type or damaged: one line
        # naming the file and the field from flycompare and flyhistory add alike.
        with tempfile.TemporaryDirectory() as d:
            folder = write_folder(pathlib.Path(d, "f"), [[[10.0] * 30]])
            pathlib.Path(d, "a.csv").write_text(csv_text([[10.0] * 30]))
            for text, says in [('{"game": "oops"}', "field game: expected an object, found a string"),
                               ('{"host": [1]}', "field host: expected an object, found a list"),
                               ('{"script": "fly.txt"}', "field script: expected an object, found a string"),
                               ('{"framebuffer": 5}', "field framebuffer: expected an object, found a whole number"),
                               ('{"host": {"cpu_cores": "2"}}', "field host.cpu_cores: expected a whole number, "
                                                               "found a string"),
                               ('{"status": "compl', "damaged: not JSON (Unterminated string starting at"),
                               ("[]", "damaged: not a JSON object")]:
                for where, arg in (("%s/run.json" % d, "%s/a.csv" % d), ("%s/A/run-01/run.json" % folder, folder)):
                    pathlib.Path(where).write_text(text)
                    for tool in ([FLYCOMPARE], [FLYHISTORY, "--db", "%s/h.sqlite" % d, "add"]):
                        r = subprocess.run(tool + [arg], capture_output=True, text=True)
                        self.assertEqual(r.returncode, 1)
                        self.assertTrue(r.stderr.startswith("%s: error: %s: %s" % (
                            os.path.basename(tool[0]), where, says)), r.stderr)


if __name__ == "__main__":
    unittest.main()
