# Tests for tools/flyhistory: the step search and the nightly gate at the rates they keep on simulated
# nightly histories; a history's step and the gate's verdicts through the tool; storing, refusing and recovering on SQLite and
# on a PostgreSQL server started here on a unix socket (the same tests for both). CTest runs each class.
import html
import importlib.util
import io
import json
import os
import pathlib
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import unittest
import unittest.mock

import numpy as np

import histsim
from support import FRAMES, TOOLS, commits_of, game_frames, history, write_folder
from flytools.commands import flyhistory
from flytools.errors import InputError
from flytools import metrics
from flytools.history import db as history_db, steps
from flytools.records import Point, StoredRun
from flytools.report import history_charts
from flytools.stats import steps as search

TOOL = os.path.join(TOOLS, "flyhistory")
PG_BIN = "/usr/lib/postgresql/15/bin"
CHROMIUM = "/usr/bin/chromium"


class Detection(unittest.TestCase):
    """The step search and the nightly gate on simulated nightly histories: histsim's test-sized run (40
    seeded histories a scenario, launch values from a pool made frame by frame), at the rates they keep."""

    @classmethod
    def setUpClass(cls):
        cls.rates = histsim.quick()

    def test_rates(self):
        for scenario, flag, low, high in [
                ("flat+outlier run", "step", 0, 0.05),          # one outlier run makes no step
                ("flat+outlier run", "check exit 3", 0, 0.125),  # (3.8% over 600 frame-level histories)
                ("walk 0.3%", "step", 0, 0.075),                 # drift is shown as drift
                ("+20% from 5 of 8", "step within 1", 0.95, 1),  # a short history finds a large step
                ("+20% from 5 of 8", "check exit 3", 0.95, 1),
                ("+20% from 5 of 8", "covered", 0.85, 1),        # intervals honest after the choice
                ("newest +10% after 10", "check exit 3", 0.85, 1),  # fails the night it lands
                ("newest +10% after 10, 1 launch", "fine", 0, 0)]:  # one launch: never "fine"
            with self.subTest(scenario=scenario, flag=flag):
                self.assertTrue(low <= self.rates[scenario][flag][0] <= high, self.rates[scenario][flag])

    def test_long_history_is_searched_in_windows(self):
        found, _, reach = steps.analyse(commits_of(history(np.random.default_rng(9), 90, step_at=75, frames=300)))
        self.assertIn(("mean", 75), [(s.line, s.commit_index) for s in found])
        self.assertEqual(reach[0].commits, 90)

    def test_null_table_keeps_the_false_step_rate_at_short_lengths(self):
        rng = np.random.default_rng(5)
        for n in (5, 8, 12):
            p = [search.p_value(t, n) for t in search.statistic(rng.standard_normal((1500, n)))]
            self.assertAlmostEqual(np.mean(np.array(p) <= search.ALPHA), search.ALPHA, delta=0.015)


class Charts(unittest.TestCase):
    def test_whiskers_ticks_and_commit_labels(self):
        # Runs of two wild passes: their 95% whiskers stay at zero or above; commit000..commit009 read apart; the
        # heat map's segments are ticked whole.
        points = tuple(Point("commit%03d" % i, None, None, "", (StoredRun(
            i, "", 3, {"p99": [20.0, 25.0 + 100 * (i == 3)], "stutters": [0, 3]}, {1: 1.0, 2: 1.0, 3: 1.0},
            {"mean": 1.0}),)) for i in range(10))
        for metric in [m for m in metrics.METRICS if m.name in ("p99", "stutters")]:
            self.assertGreaterEqual(history_charts._run_values(points, metric)[2].min(), 0)
        fig, ax = history_charts.pyplot().subplots()
        history_charts._segment_panel(fig, ax, points, [])
        self.assertEqual(([t.get_text() for t in ax.get_xticklabels()], list(ax.get_yticks())),
                         (["commit%03d" % i for i in range(10)], [1, 2, 3]))


class Backend:  # the store tests, run on SQLite and on PostgreSQL
    def setUp(self):
        self.dir = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory(ignore_cleanup_errors=True)))
        self.db = self.database()

    def tool(self, *args, status=0, out=None):
        if out is not None:  # in-process, for the many adds of a history
            self.assertEqual(flyhistory.main(["--db", self.db, *args], out=out), status)
            return out
        r = subprocess.run([TOOL, "--db", self.db, *args], capture_output=True, text=True, cwd=self.dir,
                           timeout=120, env=dict(os.environ, MPLCONFIGDIR=str(self.dir / "mpl")))
        self.assertEqual(r.returncode, status, r.stderr + r.stdout[-2000:])
        self.assertNotIn("secret123", r.stderr + r.stdout)  # a password in --db is never shown
        return r

    def browse(self, page):
        probe = ("<script>addEventListener('load', function () { var all = s => Array.from(document.querySelectorAll(s));"
                 "document.title = JSON.stringify({images: all('img').map(i => i.complete && i.naturalWidth > 0), "
                 "outside: all('[src],[href]').map(e => e.src || e.href).filter(u => !u.startsWith('data:')), "
                 "rows: all('tr').length}); });</script>")
        (self.dir / "probed.html").write_text((self.dir / page).read_text().replace("<head>", "<head>" + probe, 1))
        dom = subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                              "--disable-background-networking", "--user-data-dir=%s/profile" % self.dir,
                              "--virtual-time-budget=10000", "--dump-dom", "file://%s/probed.html" % self.dir],
                             capture_output=True, timeout=120).stdout.decode()
        return json.loads(html.unescape(dom.split("<title>")[1].split("</title>")[0]))

    def folder(self, name, frames, **kw):
        return write_folder(self.dir / name, frames, **kw)

    def add_history(self, frames, first=0):
        for i, f in enumerate(frames, first):
            self.tool("add", self.folder("n%02d" % i, f), "--commit", "c%02d" % i,
                      "--date", "2026-01-01T00:00:%02d" % i, out=io.StringIO())

    def test_history_report_and_check(self):
        self.add_history(history(np.random.default_rng(3), 60, step_at=40, seg_at=20))
        r = self.tool("report", "--json", "h.json", "--html", "h.html")
        series = json.loads((self.dir / "h.json").read_text())["series"][0]
        found = [(s["line"], s["after_commit"], s["commit"], s["kind"]) for s in series["steps"]]
        self.assertIn(("mean", "c39", "c40", "regression"), found)
        step = series["steps"][found.index(("mean", "c39", "c40", "regression"))]
        self.assertTrue(step["ci_pct"][0] < 3 < step["ci_pct"][1] and step["runs_before"] == 120)
        self.assertIn(("segment 4", "c20"), [(s["line"], s["commit"]) for s in series["steps"] + series["drift"]])
        self.assertEqual([r["commits"] for r in series["reach"]], [60] * 13)
        pacing = series["commits"][0]["runs"][0]["passes"]["pacing"]   # frame pacing kept per pass
        self.assertEqual(len(pacing), 6)
        self.assertTrue(all(0 < p < 16 for p in pacing))
        self.assertIn("regression: mean frame time +", r.stdout)
        self.assertRegex(r.stdout, r"\n  newest, c59: mean frame time 16\.\d\d ms, p99 frame time \d+\.\d\d ms, "
                                   r"1% low \d+\.\d\d fps, frame pacing \d\.\d\d ms\n  60 commits: too short for a "
                                   r"step of less than 0\.\d% in mean frame time, ")
        page = (self.dir / "h.html").read_text()
        self.assertEqual((page.count("data:image/png;base64,"), "secret123" in page), (2, False))
        if isinstance(self, SQLite) and os.access(CHROMIUM, os.X_OK):  # the page as a browser shows it
            self.assertEqual(self.browse("h.html"), {"images": [True, True], "outside": [],
                                                       "rows": 1 + len(series["steps"]) + len(series["drift"])})
        self.assertIn("the newest commit (c59) is flagged from +", self.tool("check", "--window", "10").stdout)
        r = self.tool("check", "--window", "25", status=3)
        self.assertRegex(r.stderr, r"series 1 \(A on box1 .*\): regression: mean frame time \+\d\.\d+% "
                                   r"\(95% interval .*\), whole path, between c39 and c40\n")
        self.tool("check", "--window", "25", "--fail-on-regression", "9")

    def test_gate_on_short_and_empty_histories(self):
        if "://" not in self.db:
            pathlib.Path(self.db).touch()   # a 0-byte file, as a fresh PostgreSQL database holds nothing
        self.assertIn(": exit status 5: nothing to judge: ", self.tool("check", status=5).stderr)
        frames = history(np.random.default_rng(8), 8)
        frames[4:] *= 1.2                   # +20% from the fifth of 8 commits of 3 launches
        self.add_history(frames[:4])
        self.assertIn("can't tell yet (too short a history to measure how commits vary): mean frame time, ",
                      self.tool("check", status=4).stderr)
        self.add_history(frames[4:], 4)
        r = self.tool("check", status=3)
        self.assertRegex(r.stderr, r"regression: mean frame time \+\d\d\.\d+% \(95% interval .*\), whole path, "
                                   r"between c03 and c04\n")

    def test_runs_kept_refused_and_removed(self):
        if isinstance(self, SQLite):
            pathlib.Path(self.db).touch()  # an empty database only read stays as it is
        self.assertEqual(self.tool("list").stdout, "%s: no runs stored yet\n" % self.db.replace("secret123", "***"))
        self.assertIn("1: no such run", self.tool("show", "1", status=1).stderr)
        self.assertEqual(os.path.getsize(self.db) if isinstance(self, SQLite) else 0, 0)
        rng = np.random.default_rng(1)
        a, b = (self.folder(n, game_frames(rng, (2, 2, FRAMES)), failed=n == "b") for n in "ab")
        (self.dir / "log.txt").write_text("flyrate: 600 frames 9.6 seconds 62.5 fps, frame ms min/avg/p99/max "
                                          "10/16/20/30\n")
        self.assertIn("added run 1 (A, 4 passes, commit c1) to series 1: A on box1 (Test CPU @ 3GHz), "
                      "960x540", self.tool("add", a, "--commit", "c1").stdout)
        self.assertIn("b: skipped runs that did not complete (A: 1)\n", self.tool("add", b, "--commit", "c1").stderr)
        (self.dir / "fly.txt").write_text("0 0 0 0 0 0\n200 1 0 0 0 0\n%d 2 0 0 0 0\n" % FRAMES)
        other = self.folder("c", game_frames(rng, (1, 2, FRAMES)), host="box2", script="fly.txt")
        self.assertIn("to series 2", self.tool("add", other).stdout)  # another machine, another series
        self.tool("add", "log.txt", "--label", "nightly")
        for args, message in [
                ((a,), "a: already in the database as run 1 (same measurements)"),
                ((str(self.dir / "b"), "--label", "B"), "b: no complete run of label B in the flyrun folder"),
                ((str(self.dir),), "a folder without flyrun.json is no flyrun folder"),
                ((a, "--date", "yesterday"), "--date yesterday: not an ISO 8601 date")]:
            self.assertTrue(self.tool("add", *args, status=1).stderr.endswith(message + "\n"))
        listing = self.tool("list").stdout
        self.assertRegex(listing, r"series 1: .*: 2 runs\n  run 1 .* c1 .*\n  run 2 .* c1 ")
        self.assertIn("series 3: nightly on ? (CPU ?), size ?", listing)
        shown = self.tool("show", "1").stdout
        self.assertIn("host box1, Test CPU @ 3GHz, renderer llvmpipe (LLVM 15), 256 bits", shown)
        self.assertEqual(len(shown.splitlines()), 3 + 4 + 1)
        self.tool("report", "--json", "r.json")  # the two runs of c1 are repeats of one point
        series = json.loads((self.dir / "r.json").read_text())["series"]
        self.assertEqual(len(series[0]["commits"][0]["runs"]), 2)
        self.assertEqual(list(series[1]["commits"][0]["runs"][0]["segments"]), ["1", "2"])  # keyframe to keyframe
        self.tool("remove", "2")
        self.assertNotIn("run 2 ", self.tool("list").stdout)
        self.assertIn("2: no such run", self.tool("show", "2", status=1).stderr)
        self.tool("add", b, "--commit", "c1")  # removed, so it may come again
        def settings(d, **change):  # flyrun.json's settings changed
            doc = json.loads((self.dir / d / "flyrun.json").read_text())
            (self.dir / d / "flyrun.json").write_text(json.dumps(dict(doc, settings=dict(doc["settings"], **change))))
            return d
        for script, recorded, says in (("gone.txt", None, "is gone"), ("fly.txt", "cd" * 32, "was edited since")):
            d = settings(self.folder("s" + script, game_frames(rng, (1, 1, FRAMES)), script=script),
                         script_sha256=recorded)
            self.assertIn("the script %s %s" % (script, says), self.tool("add", d).stderr)
        self.folder("two", game_frames(rng, (1, 1, FRAMES)), label="B")  # a folder of two labels
        two = settings(self.folder("two", game_frames(rng, (1, 1, FRAMES))), labels=["A", "B"])
        self.tool("add", two)
        self.assertIn("2 runs are stored from it", self.tool("remove", two, status=1).stderr)
        self.assertRegex(self.tool("remove", two, "--label", "B").stdout, r"\Aremoved run \d+\n\Z")
        looked, rows = [], history_db.DB.rows  # another writer stores a the moment after this one looked
        with unittest.mock.patch.object(history_db.DB, "rows", lambda db, q, p=(): rows(db, q, p) if
                                        "content_hash" not in q or looked.append(q) or len(looked) > 1 else []):
            self.assertRaisesRegex(InputError, "/a: already in the database as run 1 ", flyhistory.main,
                                   ["--db", self.db, "add", a])

    def test_killed_add_leaves_nothing(self):
        run = self.folder("a", game_frames(np.random.default_rng(2), (1, 2, FRAMES)))
        killer = ("import os, signal, sys; sys.path.insert(0, %r); from flytools.history import db\n"
                  "from flytools.commands import flyhistory\nreal = db.DB.insert_many\n"
                  "def die(self, *a):\n    real(self, *a); os.kill(os.getpid(), signal.SIGKILL)\n"
                  "db.DB.insert_many = die\n"
                  "flyhistory.main(['--db', %r, 'add', %r])" % (TOOLS, self.db, run))
        self.assertEqual(subprocess.run([sys.executable, "-c", killer]).returncode, -signal.SIGKILL)
        self.assertNotIn("run 1", self.tool("list").stdout)
        self.tool("add", run)

    def test_parallel_adds_lose_nothing(self):
        rng = np.random.default_rng(4)
        paths = [self.folder("p%d" % i, game_frames(rng, (1, 1, FRAMES))) for i in range(8)]
        procs = [subprocess.Popen([TOOL, "--db", self.db, "add", p, "--commit", "c%d" % (i % 3)],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE) for i, p in enumerate(paths)]
        self.assertEqual([p.communicate(timeout=120)[1].count(b"error") + p.returncode for p in procs], [0] * 8)
        self.assertEqual(self.tool("list").stdout.count("  run "), 8)


class SQLite(Backend, unittest.TestCase):
    def database(self):
        return str(self.dir / "h.sqlite")

    def test_damaged_locked_and_newer_databases(self):
        run = self.folder("a", game_frames(np.random.default_rng(2), (1, 1, FRAMES)))
        self.tool("add", run)
        for option in ("--json", "--html"):  # a report written over the database is refused before any work
            self.assertIn(" is an input or another output", self.tool("report", option, self.db, status=2).stderr)
        lock = sqlite3.connect(self.db, isolation_level=None)
        lock.execute("BEGIN EXCLUSIVE")
        self.assertIn("--lock-timeout -1: must be 0 or more", self.tool("--lock-timeout", "-1", "list", status=2).stderr)
        r = self.tool("--lock-timeout", "0.1", "list", status=1)
        self.assertEqual(r.stderr, "flyhistory: error: %s: the database is locked by another writer; "
                                   "try again later\n" % self.db)
        lock.execute("UPDATE schema_version SET version = %d" % (history_db.SCHEMA_VERSION + 1))
        lock.execute("COMMIT")
        self.assertIn("has schema version 4, newer than this flyhistory knows (3)", self.tool("list", status=1).stderr)
        other = sqlite3.connect(self.dir / "other.sqlite")
        other.execute("CREATE TABLE notes (t TEXT)")
        other.commit()
        self.assertIn("other.sqlite: not a flyhistory database (it holds other tables: notes)",
                      self.tool("--db", "other.sqlite", "add", run, status=1).stderr)
        pathlib.Path(self.db).write_bytes(b"x" * 4096)
        self.assertIn("not a flyhistory database or damaged (file is not a database)",
                      self.tool("list", status=1).stderr)
        self.assertIn("nothing.sqlite: no such database", self.tool("--db", "nothing.sqlite", "report", status=1).stderr)
        old = sqlite3.connect(self.dir / "old.sqlite", isolation_level=None)  # a database of the first schema
        for statement in history_db.MIGRATIONS[1] + ["CREATE TABLE schema_version (version INTEGER NOT NULL)",
                                                     "INSERT INTO schema_version (version) VALUES (1)"]:
            old.execute(statement)
        self.tool("--db", "old.sqlite", "add", run)
        self.assertIn("pacing", self.tool("--db", "old.sqlite", "show", "1").stdout)


@unittest.skipUnless(os.path.exists(os.path.join(PG_BIN, "pg_ctl")), "no PostgreSQL server binaries in " + PG_BIN)
@unittest.skipUnless(importlib.util.find_spec("psycopg2"), "no psycopg2 (Debian's python3-psycopg2)")
class PostgreSQL(Backend, unittest.TestCase):
    """A server of its own on a unix socket in a scratch folder; no network."""

    def setUp(self):
        self.pg = pathlib.Path(tempfile.mkdtemp(prefix="flyhistory-pg-"))
        root = os.geteuid() == 0  # the server refuses to run as root
        if root:
            shutil.chown(self.pg, "postgres")
        self.as_pg = ["runuser", "-u", "postgres", "--"] if root else []
        subprocess.run(self.as_pg + [PG_BIN + "/initdb", "-D", str(self.pg / "data"), "-A", "trust", "-U", "fly"],
                       check=True, capture_output=True)
        subprocess.run(self.as_pg + [PG_BIN + "/pg_ctl", "-D", str(self.pg / "data"), "-w", "-l",
                                     str(self.pg / "log"), "-o", "-c listen_addresses='' -k %s -p 5439" % self.pg,
                                     "start"], check=True, capture_output=True)
        super().setUp()

    def tearDown(self):
        subprocess.run(self.as_pg + [PG_BIN + "/pg_ctl", "-D", str(self.pg / "data"), "-m", "fast", "-w", "stop"],
                       capture_output=True)
        shutil.rmtree(self.pg, ignore_errors=True)

    def database(self):  # the password is ignored (trust), but must never be shown
        return "postgresql://fly:secret123@/postgres?host=%s&port=5439" % self.pg

    def test_password_never_shown(self):
        for dsn in ("postgresql://fly:secret123@/x?host=/nonexistent", "postgres://fly@/x?password=secret123&host=/no"):
            self.assertIn("fly", self.tool("--db", dsn, "list", status=1).stderr)


if __name__ == "__main__":
    unittest.main()
