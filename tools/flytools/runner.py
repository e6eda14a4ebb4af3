# runner.py: runs the game once per planned run and keeps what each left.
# The plan interleaves the variants in balanced rounds (A B, B A, B A, A B,
# ...) so that a machine that drifts (warming up, a job starting) weighs on
# every variant alike. Each launch runs without a shell in its own process
# group, writes into a scratch folder run-NN.partial/ and is renamed
# run-NN/ (complete) or run-NN.failed/ once it is over, so a launch that is
# killed half-way never looks complete. flyrun.json is rewritten after
# every launch.
import datetime
import json
import os
import random
import signal
import subprocess
import time
from dataclasses import dataclass, field

import numpy as np

from . import environment, reading

GRACE_S = 5.0       # after SIGTERM, before SIGKILL
POLL_S = 0.2        # how often a waiting launch checks for Ctrl-C and its timeout


@dataclass
class Settings:
    """The session as given on the command line."""
    out: str
    script: str
    frames: int                      # the script's last keyframe: frames per pass
    runs: int
    passes: int
    labels: list[str]
    commands: dict[str, str]
    argvs: dict[str, list[str]]
    order: str = "abba"
    seed: int = 1
    warmup_runs: int = 0
    timeout_s: float = 0.0           # 0: no limit
    shots: str = "separate"          # separate, every or none
    keep_going: bool = False
    script_sha256: str = ""


@dataclass
class Planned:
    """One launch of the plan."""
    label: str
    run: int                         # number within its label and kind
    kind: str                        # "timed", "warmup" or "shots"

    @property
    def name(self) -> str:
        if self.kind == "shots":
            return "shots-run"
        return ("run-%02d" if self.kind == "timed" else "warmup-%02d") % self.run


@dataclass
class Outcome:
    """What one launch left: its flyrun.json entry and the figures the
    progress line shows."""
    entry: dict
    fps: float | None = None
    duration_s: float = 0.0
    dir: str = ""


def rounds(labels: list[str], runs: int, order: str, seed: int) -> list[str]:
    """The timed runs' labels in order: `runs` rounds with each label once.
    abba: the rounds go forward, backward, backward, forward (A B B A B A A B
    for two labels), so each variant is as often early as late; random: each
    round a seeded shuffle."""
    rng = random.Random(seed)
    out = []
    for r in range(runs):
        if order == "random":
            round_ = list(labels)
            rng.shuffle(round_)
        else:
            round_ = list(labels) if r % 4 in (0, 3) else list(reversed(labels))
        out += round_
    return out


def plan(s: Settings) -> list[Planned]:
    """Warm-up runs (discarded), one picture-taking run per variant when the
    pictures are taken apart, then the timed runs."""
    out = [Planned(s.labels[i % len(s.labels)], i // len(s.labels) + 1, "warmup")
           for i in range(s.warmup_runs)]
    if s.shots == "separate":
        out += [Planned(label, 1, "shots") for label in s.labels]
    count = {label: 0 for label in s.labels}
    for label in rounds(s.labels, s.runs, s.order, s.seed):
        count[label] += 1
        out.append(Planned(label, count[label], "timed"))
    return out


# Set by the SIGINT/SIGTERM/SIGHUP handler; the waiting loop and the plan look at it.
interrupted = {"signal": None}


def _on_signal(signum, _frame):
    interrupted["signal"] = signum


# The game runs in a session of its own, so the terminal's Ctrl-C (and a
# closed terminal's SIGHUP) reach only flyrun, which passes them on.
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def catch_signals() -> None:
    for sig in STOP_SIGNALS:
        signal.signal(sig, _on_signal)


def release_signals() -> None:
    for sig in STOP_SIGNALS:
        signal.signal(sig, signal.default_int_handler if sig == signal.SIGINT else signal.SIG_DFL)


def now() -> str:
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")


def write_json(path: str, value: dict) -> None:
    """Written under a scratch name and renamed, so a reader never sees half."""
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(value, f, indent=1)
        f.write("\n")
    os.replace(tmp, path)


def _kill_group(proc: subprocess.Popen) -> None:
    """SIGTERM to the launch's process group, SIGKILL after a grace time."""
    for sig, wait in ((signal.SIGTERM, GRACE_S), (signal.SIGKILL, None)):
        try:
            os.killpg(proc.pid, sig)
        except (ProcessLookupError, PermissionError):
            pass
        try:
            proc.wait(timeout=wait)
            return
        except subprocess.TimeoutExpired:
            continue


def _wait(proc: subprocess.Popen, timeout_s: float, clock=time.monotonic) -> str | None:
    """Waits for the launch; the reason when it had to be killed."""
    start = clock()
    while True:
        try:
            proc.wait(timeout=POLL_S)
            break
        except subprocess.TimeoutExpired:
            pass
        if interrupted["signal"] is not None:
            _kill_group(proc)
            return "interrupted (%s); killed" % signal.Signals(interrupted["signal"]).name
        if timeout_s and clock() - start > timeout_s:
            _kill_group(proc)
            return "hung: still running after the %g s timeout; killed" % timeout_s
    # What the game left running in its group would disturb the next run.
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    return None


def check_csv(path: str, passes: int, frames: int) -> tuple[str | None, float | None]:
    """(the reason the log is not complete or None, the mean fps over its passes)."""
    if not os.path.isfile(path):
        return "wrote no frames.csv", None
    try:
        run = reading.read_run(path, set())
    except reading.InputError as e:
        return "frames.csv unreadable: %s" % e, None
    if len(run.passes) != passes:
        return "frames.csv holds %d of %d passes" % (len(run.passes), passes), None
    for p in run.passes:
        if len(p.frame_ms) != frames:
            return "frames.csv: pass %d has %d of %d frames" % (p.number, len(p.frame_ms), frames), None
    fps = float(np.mean([1000.0 * len(p.frame_ms) / p.frame_ms.sum() for p in run.passes]))
    return None, fps


def _head(path: str, limit: int = 1 << 20) -> str:
    try:
        with open(path, "rb") as f:
            return f.read(limit).decode("utf-8", errors="replace")
    except OSError:
        return ""


def launch(s: Settings, p: Planned, order: int) -> Outcome:
    """Runs one planned launch to its end and leaves its folder renamed."""
    label_dir = os.path.join(s.out, p.label)
    scratch = os.path.join(label_dir, p.name + ".partial")
    os.makedirs(os.path.join(scratch, "shots"))
    passes = 1 if p.kind == "shots" else s.passes
    shots = p.kind == "shots" or s.shots == "every"
    flyrate = {"FLYRATE": os.path.abspath(s.script), "FLYRATE_PASSES": str(passes),
               "FLYRATE_CSV": os.path.abspath(os.path.join(scratch, "frames.csv"))}
    if shots:
        flyrate["FLYRATE_SHOTS"] = os.path.abspath(os.path.join(scratch, "shots"))
    env = {k: v for k, v in os.environ.items() if not k.startswith("FLYRATE")}
    env.update(flyrate)
    info = {"format": "flyrun-run", "version": 1, "label": p.label, "run": p.run, "order": order,
            "kind": p.kind, "command": s.commands[p.label], "argv": s.argvs[p.label],
            "env": flyrate, "script": {"path": s.script, "sha256": s.script_sha256},
            "host": environment.host()}
    started, t0 = now(), time.monotonic()
    reason, status, fps = None, None, None
    with open(os.path.join(scratch, "stdout.log"), "wb") as out, \
            open(os.path.join(scratch, "stderr.log"), "wb") as err:
        try:
            proc = subprocess.Popen(s.argvs[p.label], stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=err, env=env, start_new_session=True)
        except OSError as e:
            reason = "can't start %s: %s" % (s.argvs[p.label][0], e.strerror or e)
        else:
            reason = _wait(proc, s.timeout_s)
            status = proc.returncode
    duration = time.monotonic() - t0
    if reason is None and status is not None and status < 0:
        reason = "crashed: killed by %s" % signal.Signals(-status).name
    elif reason is None and status:
        reason = "exited with status %d" % status
    if reason is None:
        reason, fps = check_csv(flyrate["FLYRATE_CSV"], passes, s.frames)
    name, game = environment.renderer(_head(os.path.join(scratch, "stderr.log")),
                                      _head(os.path.join(scratch, "stdout.log")))
    info.update(framebuffer=environment.framebuffer(os.path.join(scratch, "shots")),
                renderer=name, game=game, passes=passes, shots=shots, started=started,
                ended=now(), duration_s=round(duration, 3), exit_status=status,
                status="failed" if reason else "complete", reason=reason)
    write_json(os.path.join(scratch, "run.json"), info)
    final = os.path.join(label_dir, p.name + (".failed" if reason else ""))
    os.rename(scratch, final)
    entry = {"label": p.label, "run": p.run, "order": order, "kind": p.kind,
             "dir": os.path.relpath(final, s.out), "warmup": p.kind == "warmup",
             "started": started, "ended": info["ended"], "exit_status": status,
             "status": info["status"], "reason": reason}
    return Outcome(entry, fps, duration, final)


def session_doc(s: Settings, entries: list[dict], complete: bool) -> dict:
    return {"format": "flyrun", "version": 1,
            "settings": {"runs": s.runs, "passes": s.passes, "script": s.script,
                         "script_sha256": s.script_sha256, "order": s.order, "seed": s.seed,
                         "warmup_runs": s.warmup_runs, "timeout_s": s.timeout_s,
                         "shots": s.shots, "labels": s.labels, "commands": s.commands},
            "runs": entries, "complete": complete}


@dataclass
class Result:
    """How the session ended."""
    entries: list[dict] = field(default_factory=list)
    stopped: str | None = None       # "failure" or "interrupted"
    failures: int = 0


def _clock(seconds: float) -> str:
    seconds = int(round(seconds))
    return "%d:%02d:%02d" % (seconds // 3600, seconds // 60 % 60, seconds % 60) \
        if seconds >= 3600 else "%d:%02d" % (seconds // 60, seconds % 60)


def progress_line(p: Planned, s: Settings, o: Outcome, done: int, total: int,
                  elapsed: float, durations: list[float]) -> str:
    what = {"timed": "run %d of %d" % (p.run, s.runs), "warmup": "warm-up run %d" % p.run,
            "shots": "picture run"}[p.kind]
    result = ("%.1f fps" % o.fps) if o.fps is not None else "failed: %s" % o.entry["reason"]
    eta = sum(durations) / len(durations) * (total - done) if durations else 0.0
    return "flyrun: %s %s (%d/%d): %s, %.1f s; elapsed %s, about %s left" % (
        p.label, what, done, total, result, o.duration_s, _clock(elapsed), _clock(eta))


def run_session(s: Settings, say, clock=time.monotonic) -> Result:
    """Runs the plan, writing flyrun.json after each launch; say(line, error)
    shows progress (error: a failure, shown even when quiet)."""
    res = Result()
    todo = plan(s)
    start = clock()
    durations = []
    write_json(os.path.join(s.out, "flyrun.json"), session_doc(s, [], False))
    for i, p in enumerate(todo, 1):
        if interrupted["signal"] is not None:
            res.stopped = "interrupted"
            break
        o = launch(s, p, i)
        res.entries.append(o.entry)
        durations.append(o.duration_s)
        last = i == len(todo)
        if o.entry["status"] == "failed":
            res.failures += 1
            if interrupted["signal"] is not None:
                res.stopped = "interrupted"
            elif not s.keep_going:
                res.stopped = "failure"
        write_json(os.path.join(s.out, "flyrun.json"),
                   session_doc(s, res.entries, last and res.stopped is None))
        say(progress_line(p, s, o, i, len(todo), clock() - start, durations),
            o.entry["status"] == "failed")
        if o.entry["status"] == "failed":
            say("flyrun: %s's logs are in %s" % (p.label, o.dir), True)
        if res.stopped:
            break
    return res
