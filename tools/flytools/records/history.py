# history.py: flyhistory's records: a run as add reads it, the series, the
# stored runs and commits of a history, and its steps and drift.
from dataclasses import dataclass
from typing import Optional

from .runs import Run


# ---- flyhistory -----------------------------------------------------------------

@dataclass(frozen=True)
class Incoming:
    """A run as flyhistory add reads it, before it is stored."""
    run: Run
    kind: str                         # folder, csv or log
    path: str                         # as given to add
    script: Optional[str] = None      # the session's keyframe script, where unchanged
    script_sha256: str = ""           # its SHA-256 as the session recorded it


@dataclass(frozen=True)
class Series:
    """A group of runs that may be compared, and how many it holds."""
    id: int
    label: str
    script_sha256: str
    framebuffer: str
    renderer: str
    host: str
    cpu: str
    runs: int


@dataclass(frozen=True)
class StoredRun:
    """One stored run of a series: per metric its passes' values, per
    segment its mean over the passes, and its value of each metric."""
    id: int
    path: str
    nseg: int
    passes: dict
    seg: dict                   # segment -> mean frame time over the passes
    value: dict                 # metric -> mean over the passes (None unless every pass has one)
    launch: tuple = ()          # each pass's launch, in the order of `passes` (empty: one launch)
    launch_seg: Optional[dict] = None  # (launch, segment) -> mean frame time over the launch's passes


@dataclass(frozen=True)
class Point:
    """One commit of a series' history (repeats of a commit are one point)."""
    commit: str
    sha: Optional[str]
    branch: Optional[str]
    date: str
    runs: tuple


@dataclass(frozen=True)
class HistoryStep:
    line: str
    metric: str
    segment: Optional[int]
    commit_index: int
    after_commit: str
    commit: str
    change_pct: float
    ci_pct: Optional[list]
    runs_before: int          # launches in the levels either side
    runs_after: int
    kind: str                 # regression, improvement, or drift (a gradual change, no interval)


@dataclass(frozen=True)
class Reach:
    """The smallest step of one line a history finds half the time."""
    line: str
    metric: str
    commits: int
    smallest_pct: Optional[float]   # None: too few commits to search at all


@dataclass(frozen=True)
class SeriesHistory:
    series: Series
    name: str
    commits: tuple            # Point
    steps: tuple              # HistoryStep
    drift: tuple = ()         # HistoryStep of kind drift
    reach: tuple = ()         # Reach of each searched line
