# session.py: a flyrun session: the plan's launches one after another, with
# a progress line after each, flyrun.json rewritten after every launch, the
# first failure stopping the session unless told to keep going, a stop
# signal ending it after the launch it killed, and with --until-decided a
# look after every block of launches that may end it early.
import time
from dataclasses import dataclass, field
from typing import Callable, Optional

from ..inputs import runfolder
from ..records import FlyrunSettings, Session, SessionSettings
from .launch import Outcome, Stop, launch
from .plan import Planned, plan


def session_record(s: FlyrunSettings, entries: list, complete: bool) -> Session:
    return Session(settings=SessionSettings(
        labels=list(s.labels), runs=s.runs, passes=s.passes, script=s.script, script_sha256=s.script_sha256,
        order=s.order, seed=s.seed, warmup_runs=s.warmup_runs, timeout_s=s.timeout_s, shots=s.shots,
        commands=s.commands, gpu=s.gpu or None, looks=s.looks), runs=tuple(entries), complete=complete)


@dataclass
class Result:
    """How the session ended (filled in as it goes)."""
    entries: list = field(default_factory=list)
    stopped: Optional[str] = None    # "failure" or "interrupted"
    failures: int = 0
    signal: Optional[int] = None     # the stop signal received
    ended: Optional[str] = None      # what a look ended it with (decided, budget)


def _clock(seconds: float) -> str:
    seconds = int(round(seconds))
    return "%d:%02d:%02d" % (seconds // 3600, seconds // 60 % 60, seconds % 60) \
        if seconds >= 3600 else "%d:%02d" % (seconds // 60, seconds % 60)


def progress_line(p: Planned, s: FlyrunSettings, o: Outcome, done: int, total: int,
                  elapsed: float, durations: list[float]) -> str:
    what = {"timed": "run %d of %d" % (p.run, s.runs), "warmup": "warm-up run %d" % p.run,
            "shots": "picture run"}[p.kind]
    result = ("%.1f fps" % o.fps) if o.fps is not None else "failed: %s" % o.entry.reason
    eta = sum(durations) / len(durations) * (total - done) if durations else 0.0
    return "flyrun: %s %s (%d/%d): %s, %.1f s; elapsed %s, about %s left" % (
        p.label, what, done, total, result, o.duration_s, _clock(elapsed), _clock(eta))


def run_session(s: FlyrunSettings, say, clock=time.monotonic,
                look: Optional[Callable[[float, float], Optional[str]]] = None) -> Result:
    """Runs the plan, writing flyrun.json after each launch; say(line, error)
    shows progress (error: a failure, shown even when quiet). The stop
    signals are caught while it runs. look(elapsed, mean launch seconds),
    after each block of timed launches (each variant twice), ends the
    session early where it says why."""
    res = Result()
    todo = plan(s)
    start = clock()
    durations, timed = [], 0
    runfolder.write_session(s.out, session_record(s, [], False))
    with Stop() as stop:
        for i, p in enumerate(todo, 1):
            if stop.signal is not None:
                res.stopped = "interrupted"
                break
            o = launch(s, p, i, stop)
            res.entries.append(o.entry)
            durations.append(o.duration_s)
            failed = o.entry.status == "failed"
            if failed:
                res.failures += 1
                res.stopped = "interrupted" if stop.signal is not None else None if s.keep_going else "failure"
            runfolder.write_session(s.out, session_record(s, res.entries, i == len(todo) and res.stopped is None))
            say(progress_line(p, s, o, i, len(todo), clock() - start, durations), failed)
            if failed:
                say("flyrun: %s's logs are in %s" % (p.label, o.dir), True)
            if res.stopped:
                break
            timed += p.kind == "timed"
            if look and p.kind == "timed" and timed % (2 * len(s.labels)) == 0:
                res.ended = look(clock() - start, sum(durations) / len(durations))
                if res.ended is not None:  # decided (or out of time): the session is complete as it is
                    runfolder.write_session(s.out, session_record(s, res.entries, True))
                    break
    res.signal = stop.signal
    return res
