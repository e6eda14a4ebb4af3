# environment.py: whether the runs ran on the same: each fact of their
# run.json (script, framebuffer size, renderer, host, CPU, passes, the
# game's settings, screenshots taken) in which they differ, as one warning
# line, since such a difference makes the timings no like-for-like
# comparison; the same for chunk builds that differ beyond their spread
# (less of the world streamed); and a note naming the runs that carry no
# run.json.
from ..records import Run, RunInfo


def _of(part: str, name: str):
    return lambda e: getattr(getattr(e, part), name) if getattr(e, part) is not None else None


# The facts two runs must share to be compared like for like, each as (name
# in the warning, how it is got from run.json, what its values are).
FACTS = (
    ("script", _of("script", "sha256"), "SHA-256"),
    ("framebuffer size", lambda e: e.size, None),
    ("renderer", lambda e: e.renderer, None),
    ("host", _of("host", "name"), None),
    ("CPU", _of("host", "cpu_model"), None),
    ("CPU cores", _of("host", "cpu_cores"), None),
    ("CPU governor", _of("host", "governor"), None),
    ("passes per launch", lambda e: e.passes, None),
    ("view distance", _of("game", "view_distance"), None),
    ("seed", _of("game", "seed"), None),
    ("chunk builds per frame", _of("game", "build_rate"), None),
)
# Chunk builds per pass that differ by less than this are the same work.
BUILDS_PCT = 2.0


def _shots(env: RunInfo) -> bool | None:
    if env.shots is not None:
        return env.shots
    if env.env is not None:
        return bool(env.env.get("FLYRATE_SHOTS"))
    return None


def _values(envs: list[RunInfo], get) -> list:
    out = []
    for e in envs:
        v = get(e)
        if v is not None and v not in out:
            out.append(v)
    return out


def _show(values: list, digest: str | None) -> str:
    return "/".join(str(v)[:12] + "..." if digest else str(v) for v in values)


def check(runs: list[Run]) -> list[str]:
    """Warning lines for every fact in which the runs' environments differ
    (only facts known in two or more runs are compared)."""
    envs = {r.label: list(r.environments) for r in runs}
    known = [label for label, e in envs.items() if e]
    warnings = []
    for name, get, digest in FACTS:
        seen = {label: _values(envs[label], get) for label in known}
        seen = {k: v for k, v in seen.items() if v}
        if len(seen) < 2 and not any(len(v) > 1 for v in seen.values()):
            continue
        distinct = {str(v) for vals in seen.values() for v in vals}
        if len(distinct) > 1:
            warnings.append("environment differs: %s%s %s" % (
                name, " " + digest if digest else "",
                ", ".join("%s %s" % (k, _show(v, digest)) for k, v in seen.items())))
    shots = {label: _values(envs[label], _shots) for label in known}
    took = [k for k, v in shots.items() if True in v]
    clean = [k for k, v in shots.items() if False in v]
    if took and clean:
        warnings.append("environment differs: screenshots taken in %s's runs and not in %s's: "
                        "the frame after each screenshot is measured short, so the timings "
                        "aren't like for like" % ("/".join(took), "/".join(clean)))
    return warnings


def builds(runs: list[Run]) -> list[str]:
    """A warning line for each run whose passes built chunks beyond the
    spread of the first run's (every pass of one more than every pass of
    the other, and BUILDS_PCT apart on average): streaming less of the
    world is less work, whatever the game, so its timings are no
    like-for-like comparison. From the plug-in's chunks column."""
    counts = [(r.label, [p.metrics["chunk_builds"] for p in r.passes])
              for r in runs if r.has_chunks and r.passes]
    if not counts:
        return []
    (first, a), out = counts[0], []
    for label, b in counts[1:]:
        apart = min(a) > max(b) or min(b) > max(a)
        if apart and abs(sum(b) / len(b) / max(sum(a) / len(a), 1) - 1) * 100 >= BUILDS_PCT:
            out.append("work differs: chunk builds per pass %s %d-%d, %s %d-%d: a run that streams "
                       "less of the world does less work, so the timings aren't like for like"
                       % (first, min(a), max(a), label, min(b), max(b)))
    return out


def unknown(runs: list[Run]) -> str | None:
    """One note naming the runs that carry no environment, or None."""
    labels = [r.label for r in runs if not r.environments]
    if not labels:
        return None
    return ("environment unknown for %s (no run.json): host, size, renderer and script not "
            "checked" % ", ".join(labels))
