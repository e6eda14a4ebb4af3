# environment.py: what a run ran on, and whether two runs ran on the same.
# flyrun collects the facts of each game launch into its run.json (host,
# CPU, memory, governor, load, the script's digest, the game's renderer
# line, the framebuffer size from the screenshots); flycompare compares the
# runs' facts and turns each difference that makes the timings no
# like-for-like comparison into one warning line.
import hashlib
import os
import platform
import re
import socket

from . import pictures

# The stand-in's line; any other game: the first line that names its
# renderer.
STANDIN_RE = re.compile(r"standin: renderer: (.*), size (\d+)x(\d+), seed (\d+), "
                        r"view distance (\S+), (\d+) chunk builds per frame")
RENDERER_RE = re.compile(r"renderer: (.*)")


def sha256(path: str) -> str:
    """The file's SHA-256 in hex."""
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 16), b""):
            h.update(block)
    return h.hexdigest()


def _read(path: str) -> str | None:
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return None


def _cpu_model() -> str | None:
    for line in (_read("/proc/cpuinfo") or "").splitlines():
        key, _, value = line.partition(":")
        if key.strip() in ("model name", "Model", "Hardware") and value.strip():
            return value.strip()
    return platform.processor() or None


def _memory_bytes() -> int | None:
    m = re.search(r"^MemTotal:\s+(\d+) kB", _read("/proc/meminfo") or "", re.M)
    if m:
        return int(m.group(1)) * 1024
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError):
        return None


def host() -> dict:
    """The machine, as it is just before a launch (the load average too)."""
    governor = _read("/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor")
    try:
        load = [round(v, 2) for v in os.getloadavg()]
    except OSError:
        load = None
    return {"name": socket.gethostname(), "cpu_model": _cpu_model(),
            "cpu_cores": os.cpu_count(), "memory_bytes": _memory_bytes(),
            "kernel": "%s %s" % (platform.system(), platform.release()),
            "governor": governor.strip() if governor else None, "load_average": load}


def renderer(*texts: str) -> tuple[str | None, dict]:
    """The renderer and the game's own settings from its output: the
    stand-in's line gives size, seed and view distance too."""
    for text in texts:
        for line in text.splitlines():
            m = STANDIN_RE.search(line)
            if m:
                return m.group(1), {"size": "%sx%s" % (m.group(2), m.group(3)),
                                    "seed": int(m.group(4)), "view_distance": m.group(5)}
    for text in texts:
        m = RENDERER_RE.search(text)
        if m:
            return m.group(1).strip(), {}
    return None, {}


def framebuffer(shots_dir: str) -> dict | None:
    """The size of the first screenshot, from its PPM header."""
    try:
        names = sorted(n for n in os.listdir(shots_dir) if n.endswith(".ppm"))
    except OSError:
        return None
    size = pictures.ppm_size(os.path.join(shots_dir, names[0])) if names else None
    return {"width": size[0], "height": size[1]} if size else None


# The facts compared, each as (name in the warning, how it is got from run.json).
def _size(env: dict) -> str | None:
    fb = env.get("framebuffer")
    if fb:
        return "%dx%d" % (fb["width"], fb["height"])
    return (env.get("game") or {}).get("size")


FACTS = [
    ("script", lambda e: (e.get("script") or {}).get("sha256"), "SHA-256"),
    ("framebuffer size", _size, None),
    ("renderer", lambda e: e.get("renderer"), None),
    ("host", lambda e: (e.get("host") or {}).get("name"), None),
    ("CPU", lambda e: (e.get("host") or {}).get("cpu_model"), None),
    ("CPU cores", lambda e: (e.get("host") or {}).get("cpu_cores"), None),
    ("CPU governor", lambda e: (e.get("host") or {}).get("governor"), None),
    ("passes per launch", lambda e: e.get("passes"), None),
    ("view distance", lambda e: (e.get("game") or {}).get("view_distance"), None),
    ("seed", lambda e: (e.get("game") or {}).get("seed"), None),
]


def _shots(env: dict) -> bool | None:
    if "shots" in env:
        return bool(env["shots"])
    if "env" in env:
        return bool((env.get("env") or {}).get("FLYRATE_SHOTS"))
    return None


def _values(envs: list[dict], get) -> list:
    out = []
    for e in envs:
        v = get(e)
        if v is not None and v not in out:
            out.append(v)
    return out


def _show(values: list, digest: str | None) -> str:
    return "/".join(str(v)[:12] + "..." if digest else str(v) for v in values)


def check(runs: list) -> list[str]:
    """Warning lines for every fact in which the runs' environments differ
    (only facts known in two or more runs are compared)."""
    envs = {r.label: list(getattr(r, "environments", None) or []) for r in runs}
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


def unknown(runs: list) -> str | None:
    """One note naming the runs that carry no environment, or None."""
    labels = [r.label for r in runs if not getattr(r, "environments", None)]
    if not labels:
        return None
    return ("environment unknown for %s (no run.json): host, size, renderer and script not "
            "checked" % ", ".join(labels))
