# launch.py: one launch of the game, run to its end. It runs without a
# shell in its own process group (so Ctrl-C reaches only flyrun, which
# passes it on, and whatever the game leaves running is killed with it),
# writes into a scratch folder NAME.partial/ and is renamed NAME/
# (complete) or NAME.failed/ once it is over, so a launch that is killed
# half-way never looks complete; its run.json says what it ran on and how
# it ended.
import datetime
import os
import signal
import subprocess
import time
from dataclasses import dataclass
from typing import Optional

import numpy as np

from ..errors import InputError
from ..inputs import logfile, runfolder
from ..records import FlyrunSettings, RunInfo, ScriptRef, SessionEntry
from . import host
from .plan import Planned

GRACE_S = 5.0       # after SIGTERM, before SIGKILL
POLL_S = 0.2        # how often a waiting launch checks for Ctrl-C and its timeout
# The game runs in a session of its own, so the terminal's Ctrl-C (and a
# closed terminal's SIGHUP) reach only flyrun, which passes them on.
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Stop:
    """The stop signals while a session runs: caught from entering the
    with-block to leaving it; `signal` is the first one received, if any."""

    def __init__(self):
        self.signal: Optional[int] = None

    def _caught(self, signum, _frame):
        self.signal = signum

    def __enter__(self):
        for sig in STOP_SIGNALS:
            signal.signal(sig, self._caught)
        return self

    def __exit__(self, *_):
        for sig in STOP_SIGNALS:
            signal.signal(sig, signal.default_int_handler if sig == signal.SIGINT else signal.SIG_DFL)


@dataclass(frozen=True)
class Outcome:
    """What one launch left: its flyrun.json entry and the figures the
    progress line shows."""
    entry: SessionEntry
    fps: Optional[float] = None
    duration_s: float = 0.0
    dir: str = ""


def now() -> str:
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")


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


def _wait(proc: subprocess.Popen, timeout_s: float, stop: Stop, clock=time.monotonic) -> str | None:
    """Waits for the launch; the reason when it had to be killed."""
    start = clock()
    while True:
        try:
            proc.wait(timeout=POLL_S)
            break
        except subprocess.TimeoutExpired:
            pass
        if stop.signal is not None:
            _kill_group(proc)
            return "interrupted (%s); killed" % signal.Signals(stop.signal).name
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
        run = logfile.read_log(path)
    except InputError as e:
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


def launch(s: FlyrunSettings, p: Planned, order: int, stop: Stop) -> Outcome:
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
    if s.gpu:
        flyrate["FLYRATE_GPU"] = "1"
    env = {k: v for k, v in os.environ.items() if not k.startswith("FLYRATE")}
    env.update(flyrate)
    facts = host.host()
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
            reason = _wait(proc, s.timeout_s, stop)
            status = proc.returncode
    duration = time.monotonic() - t0
    if reason is None and status is not None and status < 0:
        reason = "crashed: killed by %s" % signal.Signals(-status).name
    elif reason is None and status:
        reason = "exited with status %d" % status
    if reason is None:
        reason, fps = check_csv(flyrate["FLYRATE_CSV"], passes, s.frames)
    name, game = host.renderer(_head(os.path.join(scratch, "stderr.log")),
                               _head(os.path.join(scratch, "stdout.log")))
    info = RunInfo(label=p.label, run=p.run, order=order, kind=p.kind, command=s.commands[p.label],
                   argv=s.argvs[p.label], env=flyrate, script=ScriptRef(s.script, s.script_sha256),
                   host=facts, framebuffer=host.framebuffer(os.path.join(scratch, "shots")),
                   renderer=name, game=game, passes=passes, shots=shots, started=started, ended=now(),
                   duration_s=round(duration, 3), exit_status=status,
                   status="failed" if reason else "complete", reason=reason)
    runfolder.write_run_info(scratch, info)
    final = os.path.join(label_dir, p.name + (".failed" if reason else ""))
    os.rename(scratch, final)
    entry = SessionEntry(label=p.label, run=p.run, order=order, kind=p.kind, dir=os.path.relpath(final, s.out),
                         warmup=p.kind == "warmup", started=started, ended=info.ended, exit_status=status,
                         status=info.status, reason=reason)
    return Outcome(entry, fps, duration, final)
