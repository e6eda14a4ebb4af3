# host.py: what a launch ran on, as flyrun collects it into its run.json
# just before and after each launch: the machine (host, CPU, memory,
# governor, load), the game's renderer line and settings from its output,
# the framebuffer size from its screenshots.
import os
import platform
import re
import socket

from ..inputs import ppm
from ..records import Framebuffer, Game, Host

# The stand-in's line; any other game: the first line that names its
# renderer.
STANDIN_RE = re.compile(r"standin: renderer: (.*), size (\d+)x(\d+), seed (\d+), "
                        r"view distance (\S+), (\d+) chunk builds per frame")
RENDERER_RE = re.compile(r"renderer: (.*)")


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


def host() -> Host:
    """The machine, as it is just before a launch (the load average too)."""
    governor = _read("/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor")
    try:
        load = [round(v, 2) for v in os.getloadavg()]
    except OSError:
        load = None
    return Host(name=socket.gethostname(), cpu_model=_cpu_model(), cpu_cores=os.cpu_count(),
                memory_bytes=_memory_bytes(), kernel="%s %s" % (platform.system(), platform.release()),
                governor=governor.strip() if governor else None, load_average=load)


def renderer(*texts: str) -> tuple[str | None, Game]:
    """The renderer and the game's own settings from its output: the
    stand-in's line gives size, seed, view distance and build rate too."""
    for text in texts:
        for line in text.splitlines():
            m = STANDIN_RE.search(line)
            if m:
                return m.group(1), Game(size="%sx%s" % (m.group(2), m.group(3)),
                                        seed=int(m.group(4)), view_distance=m.group(5),
                                        build_rate=int(m.group(6)))
    for text in texts:
        m = RENDERER_RE.search(text)
        if m:
            return m.group(1).strip(), Game()
    return None, Game()


def framebuffer(shots_dir: str) -> Framebuffer | None:
    """The size of the first screenshot, from its PPM header."""
    try:
        names = sorted(n for n in os.listdir(shots_dir) if n.endswith(".ppm"))
    except OSError:
        return None
    size = ppm.ppm_size(os.path.join(shots_dir, names[0])) if names else None
    return Framebuffer(*size) if size else None
