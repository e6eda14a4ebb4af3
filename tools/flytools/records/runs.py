# runs.py: the runs as the readers make them (passes, runs, segments of
# the path), what flyrun writes (run.json, flyrun.json) and what the
# commands ask for (a comparison's options, a flyrun session's settings).
from dataclasses import dataclass
from functools import cached_property
from typing import Optional

import numpy as np

from .. import metrics
from .encode import optional


# ---- runs as read ------------------------------------------------------------

@dataclass(frozen=True, eq=False)
class Pass:
    """One pass of a flight: frame times (CSV log) or a summary (stdout log)."""
    number: int
    frame_ms: Optional[np.ndarray] = None   # per-frame times, in frame order
    chunks: Optional[np.ndarray] = None     # chunk builds per frame, when logged
    summary: Optional[dict] = None          # from a stdout log's summary line
    per_second: Optional[list] = None       # frames completed in each second
    launch: int = 0                         # which game launch of its run (0-based)
    order: Optional[float] = None           # position in time across a session
    gpu_ms: Optional[np.ndarray] = None     # GPU time per frame, NaN where unknown, when logged
    gpu_lag_ms: Optional[np.ndarray] = None  # how far the GPU ran behind at the frame's end

    @property
    def frames(self) -> int:
        """Frames in the pass, from the times or the summary line."""
        return len(self.frame_ms) if self.frame_ms is not None else self.summary["frames"]

    @cached_property
    def stutter_mask(self) -> np.ndarray:
        """The pass's stutters as a mask over its frames, worked out once:
        every segment asks for it, and each would find the median again."""
        return metrics.stutter_mask(self.frame_ms)

    @cached_property
    def gpu_bound(self) -> Optional[np.ndarray]:
        """Per frame 1 where the GPU set the pace, 0 where the CPU did, NaN
        where it isn't known; None without GPU times."""
        return None if self.gpu_lag_ms is None else metrics.gpu_bound(self.frame_ms, self.gpu_lag_ms)

    @cached_property
    def metrics(self) -> dict:
        """Every per-pass metric (None where a stdout log doesn't say)."""
        if self.frame_ms is not None:
            return metrics.frame_metrics(self.frame_ms, self.chunks,
                                         None if self.chunks is None else self.stutter_mask,
                                         self.gpu_ms, self.gpu_bound)
        return metrics.summary_metrics(self.summary)


@dataclass(frozen=True, eq=False)
class Run:
    """One run (label) of the flight: its passes, from one file or folder,
    and the run.json of each of its launches where known."""
    label: str
    path: str
    kind: str                       # "csv" or "log"
    passes: tuple
    environments: tuple = ()        # RunInfo, one per launch
    session: Optional[str] = None   # the flyrun folder whose session ran it, if any
    looks: Optional[int] = None     # that session's looks, where it ran until decided

    @property
    def started(self) -> Optional[str]:
        """When its first launch started, as run.json says (ISO time), or None."""
        times = [e.started for e in self.environments if e.started]
        return min(times) if times else None

    @property
    def has_frames(self) -> bool:
        return all(p.frame_ms is not None for p in self.passes)

    @property
    def has_chunks(self) -> bool:
        return all(p.chunks is not None for p in self.passes)

    @property
    def has_gpu(self) -> bool:
        return bool(self.passes) and all(p.gpu_ms is not None for p in self.passes)

    @property
    def frames_per_pass(self) -> Optional[int]:
        """The common number of frames of its passes, or None."""
        counts = {len(p.frame_ms) for p in self.passes} if self.has_frames else set()
        return counts.pop() if len(counts) == 1 else None

    @property
    def launches(self) -> list[list[int]]:
        """Indices of its passes per game launch, launches in order."""
        groups: dict = {}
        for i, p in enumerate(self.passes):
            groups.setdefault(p.launch, []).append(i)
        return [groups[k] for k in sorted(groups)]


@dataclass(frozen=True)
class Segment:
    """A stretch of the path: frames first_frame+1 .. last_frame, which are
    the elements [first_frame:last_frame] of a pass's frame times."""
    index: int
    keyframes: Optional[tuple]      # (i, i+1) between keyframes, None for stretches
    first_frame: int
    last_frame: int


# ---- what flyrun writes: run.json and flyrun.json ----------------------------

@dataclass(frozen=True)
class Host:
    name: Optional[str] = None
    cpu_model: Optional[str] = None
    cpu_cores: Optional[int] = None
    memory_bytes: Optional[int] = None
    kernel: Optional[str] = None
    governor: Optional[str] = None
    load_average: Optional[list] = None


@dataclass(frozen=True)
class Game:
    """The game's own settings, as far as its output says them."""
    size: Optional[str] = optional()
    seed: Optional[int] = optional()
    view_distance: Optional[str] = optional()
    build_rate: Optional[int] = optional()      # chunk builds per frame at most


@dataclass(frozen=True)
class Framebuffer:
    width: int
    height: int


@dataclass(frozen=True)
class ScriptRef:
    path: Optional[str] = None
    sha256: Optional[str] = None


@dataclass(frozen=True)
class RunInfo:
    """One launch of the game: run.json."""
    format: str = "flyrun-run"
    version: int = 1
    label: Optional[str] = None
    run: Optional[int] = None
    order: Optional[int] = None
    kind: Optional[str] = None            # timed, warmup or shots
    command: Optional[str] = None
    argv: Optional[list] = None
    env: Optional[dict] = None            # the FLYRATE* variables it was given
    script: Optional[ScriptRef] = None
    host: Optional[Host] = None
    framebuffer: Optional[Framebuffer] = None
    renderer: Optional[str] = None
    game: Optional[Game] = None
    passes: Optional[int] = None
    shots: Optional[bool] = None
    started: Optional[str] = None
    ended: Optional[str] = None
    duration_s: Optional[float] = None
    exit_status: Optional[int] = None
    status: Optional[str] = None          # complete or failed
    reason: Optional[str] = None

    @property
    def size(self) -> Optional[str]:
        """The framebuffer size, from the screenshots or else the game's line."""
        if self.framebuffer:
            return "%dx%d" % (self.framebuffer.width, self.framebuffer.height)
        return self.game.size if self.game else None


@dataclass(frozen=True, kw_only=True)
class SessionSettings:
    runs: Optional[int] = None
    passes: Optional[int] = None
    script: Optional[str] = None
    script_sha256: Optional[str] = None
    order: Optional[str] = None
    seed: Optional[int] = None
    warmup_runs: Optional[int] = None
    timeout_s: Optional[float] = None
    shots: Optional[str] = None
    labels: list
    commands: Optional[dict] = None
    looks: Optional[int] = optional()   # run until decided: the looks, each of which could have stopped it
    gpu: Optional[bool] = optional()      # FLYRATE_GPU=1 given to every launch (flyrun --gpu)


@dataclass(frozen=True)
class SessionEntry:
    """One launch in flyrun.json's list."""
    label: Optional[str] = None
    run: Optional[int] = None
    order: Optional[int] = None
    kind: Optional[str] = None
    dir: Optional[str] = None
    warmup: Optional[bool] = None
    started: Optional[str] = None
    ended: Optional[str] = None
    exit_status: Optional[int] = None
    status: Optional[str] = None
    reason: Optional[str] = None


@dataclass(frozen=True, kw_only=True)
class Session:
    """A flyrun session: flyrun.json."""
    format: str = "flyrun"
    version: int = 1
    settings: SessionSettings
    runs: tuple = ()
    complete: bool = False


@dataclass(frozen=True)
class CompareOptions:
    """A comparison as flycompare's command line (or flyrun's) asks for it."""
    runs: tuple                       # [LABEL=]FILE or flyrun folder arguments
    script: Optional[str] = None
    min_effect: float = 1.0
    fail_if_slower: bool = False
    fail_if_pictures_differ: bool = False
    pixel_tolerance: int = 2
    shots: tuple = ()                 # [LABEL=]DIR arguments
    history: Optional[str] = None     # a flyhistory database measuring the launches' spread
    json: Optional[str] = None
    plot: Optional[str] = None
    html: Optional[str] = None


@dataclass(frozen=True)
class FlyrunSettings:
    """A flyrun session as given on the command line."""
    out: str
    script: str
    frames: int                      # the script's last keyframe: frames per pass
    runs: int
    passes: int
    labels: tuple
    commands: dict                   # label -> the command as given
    argvs: dict                      # label -> the command split
    order: str = "abba"
    seed: int = 1
    warmup_runs: int = 0
    timeout_s: float = 0.0           # 0: no limit
    shots: str = "separate"          # separate, every or none
    keep_going: bool = False
    script_sha256: str = ""
    looks: Optional[int] = None      # run until decided: the looks it may take
    gpu: bool = False                # FLYRATE_GPU=1 to every launch: GPU times in the logs
