# levels.py: the launch-to-launch and session-to-session spread of a flight
# on a machine, measured from a flyhistory database (read, never written):
# the stored runs of the series with the same script, framebuffer size,
# renderer, host and CPU as the runs compared (as far as their run.json
# says), each stored run one session of launches of passes. flycompare's
# --history gives it to the comparison where a level is seen once per
# variant.
import math
from typing import Optional, Sequence

from ..errors import InputError
from ..metrics import COLUMNS
from ..records import Run, RunInfo
from ..stats import spread
from . import db as dbs, store


def _fields(runs: Sequence[Run]) -> dict:
    """The series fields the runs all agree on, where their run.json knows them."""
    known: dict = {}
    for run in runs:
        env = run.environments[0] if run.environments else RunInfo()
        if not run.environments:
            continue
        host = env.host
        got = {"script_sha256": env.script.sha256 if env.script else None, "framebuffer": env.size,
               "renderer": env.renderer, "host": host.name if host else None,
               "cpu": host.cpu_model if host else None}
        for k, v in got.items():
            if v:
                known.setdefault(k, set()).add(str(v))
    return {k: v.pop() for k, v in known.items() if len(v) == 1}


def measured(dsn: str, runs: Sequence[Run], names: Sequence[str]) -> dict:
    """Metric name -> its Spread (None where the history can't measure
    the launch level) from the database at dsn."""
    db = dbs.connect(dsn, create=False)
    try:
        rows = store.pass_rows(db, _fields(runs), [COLUMNS[n] for n in names])
    except dbs.driver_errors() as e:
        raise InputError("%s: %s" % (dsn, dbs.describe(e)))
    finally:
        db.close()
    out = {}
    for i, name in enumerate(names):
        series: dict = {}
        for row in rows:
            v = row[3 + i]
            if v is not None and v > 0:
                sessions = series.setdefault(row[0], {})
                sessions.setdefault(row[1], {}).setdefault(row[2], []).append(math.log(v))
        out[name] = spread.measure([[list(s.values()) for s in ss.values()] for ss in series.values()])
    return out


def _runs(n: int) -> str:
    return "%d run%s" % (n, "" if n == 1 else "s")


def source(dsn: str, sp: Optional[spread.Spread], levels: Sequence[str]) -> Optional[str]:
    """Where the spread came from, in words, or None when a level seen once
    isn't measured."""
    if sp is None or "session" in levels and sp.session_var is None:
        return None
    parts = []
    if "launch" in levels:
        parts.append("launch-to-launch spread %.1f%% measured from %d launches of %s in %s"
                     % (100 * math.sqrt(sp.launch_var), sp.launches, _runs(sp.sessions), dsn))
    if "session" in levels:
        parts.append("session-to-session spread %.1f%% measured from %s in %s"
                     % (100 * math.sqrt(sp.session_var), _runs(sp.sessions), dsn))
    return "; ".join(parts)
