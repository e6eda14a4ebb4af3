# document.py: the comparison document, flycompare's --json: every run's
# passes and metrics, and each run against A with its intervals, segments,
# pictures and verdict lines; and a comparison made, with what its
# outputs need beside the document (the runs, screenshots, pictures).
from dataclasses import dataclass, field
from typing import Any, Optional

from .encode import optional


# ---- the comparison document (flycompare --json) -----------------------------

@dataclass(frozen=True)
class Interval:
    """The change of one metric over a span: the runs' values, the change
    and its 95% interval in percent, the p of it lying beyond the threshold,
    the verdict, and when inconclusive how many passes (or runs) would
    decide it."""
    a: Optional[float] = None
    b: Optional[float] = None
    change_pct: Optional[float] = None
    ci_pct: Optional[list] = None
    p: Optional[float] = None
    verdict: str = "inconclusive"
    passes_needed: Optional[int] = None
    df: Optional[float] = None
    runs_needed: Optional[int] = None       # when launches are the unit
    p_holm: Optional[float] = optional()    # in a segment's change only


@dataclass(frozen=True)
class SegmentSide:
    """One run over one segment: mean and p99 frame time over its passes,
    stutters (and those in frames that built chunks)."""
    mean: float
    p99: float
    stutters: Optional[int]
    stutters_with_chunk_builds: Optional[int]


@dataclass(frozen=True)
class SegmentRow:
    """A segment's change of the mean frame time and both runs' figures."""
    index: int
    change: Interval
    a: SegmentSide
    b: SegmentSide


@dataclass(frozen=True)
class GpuSide:
    """One run's GPU times over a span, means over its passes: the GPU time
    per frame (ms), the share of its frames with GPU times that were
    GPU-bound (%), and what bounds the span: "GPU" when most of them
    were, else "CPU" (None: no frame with GPU times)."""
    gpu_ms: Optional[float]
    gpu_bound_pct: Optional[float]
    bound: Optional[str]


@dataclass(frozen=True)
class GpuSpans:
    """GPU figures over the whole path and each segment: a run's (GpuSide)
    or a run's against A (GpuChange)."""
    path: Any
    segments: tuple

    def bound_segments(self) -> tuple[int, int]:
        """A run's segments that the GPU bounds, of those with GPU times."""
        known = [s.bound for s in self.segments if s.bound]
        return known.count("GPU"), len(known)


@dataclass(frozen=True)
class ShareChange:
    """The change of the GPU-bound share between two runs, in percentage
    points, with its 95% interval where the units allow one."""
    a: Optional[float] = None
    b: Optional[float] = None
    change_points: Optional[float] = None
    ci_points: Optional[list] = None


@dataclass(frozen=True)
class GpuChange:
    """Over a span: the GPU time's change (an Interval, as the compared
    metrics get) and the GPU-bound share's."""
    gpu_ms: Interval
    gpu_bound_pct: ShareChange


@dataclass(frozen=True)
class PictureFrame:
    """One keyframe's screenshots compared."""
    frame: int
    file: str
    status: str          # identical, within tolerance, differs, size differs, missing, unreadable
    detail: Optional[str] = None
    psnr_db: Optional[float] = None
    share_pct: Optional[float] = None
    max_diff: Optional[int] = None
    size: Optional[list] = None                  # [width, height], A's where the sizes differ
    size_b: Optional[list] = optional()          # B's, only where the sizes differ


@dataclass(frozen=True)
class Pictures:
    dir_a: str
    dir_b: str
    tolerance: int
    frames: tuple


@dataclass(frozen=True)
class Comparison:
    """One run against A: how the intervals were made, the intervals of the
    compared metrics, the verdict on the mean frame time, the segments, the
    plain change of every metric, the pictures and the verdict's lines."""
    run: str
    against: str
    method: str                       # runs, sessions, passes or none
    passes: list
    launches: list
    bootstrap_block: Optional[int]    # null: one pass gets no interval (kept for readers of the format)
    method_text: str
    intervals: dict                   # metric -> Interval
    verdict: str
    segments: tuple                   # SegmentRow
    levels: list = field(default_factory=list)   # launch, session: seen once per variant
    spread: Optional[str] = None      # where their spread was measured; None: not measured
    looks: Optional[int] = optional()  # a session run until decided: intervals valid over these looks
    metrics: dict = optional()        # metric -> {"a", "b", "change_pct"}
    pictures: Optional[Pictures] = optional()      # with screenshots only
    verdict_lines: Optional[list] = optional()
    gpu: Optional[GpuSpans] = optional()      # GpuChange; both runs with GPU times only


@dataclass(frozen=True)
class PassSummary:
    number: int = field(metadata={"key": "pass"})
    metrics: dict = field(default_factory=dict)
    per_second_fps: Optional[list] = None
    chunk_builds: Optional[int] = optional()
    frames_with_chunk_builds: Optional[int] = optional()
    stutters_with_chunk_builds: Optional[int] = optional()


@dataclass(frozen=True)
class RunSummary:
    """One run as the document shows it: its file, passes and their metrics."""
    label: str
    path: str
    kind: str
    frames_per_pass: Optional[int]
    chunks_logged: bool
    passes: tuple                     # PassSummary
    across_passes: dict               # metric -> {"mean", "sd"}
    stutters: dict                    # {"total", "with_chunk_builds"}
    gpu: Optional[GpuSpans] = optional()   # GpuSide; with GPU times only


@dataclass(frozen=True)
class Settings:
    """What the analysis was asked for and how it works."""
    min_effect_pct: float
    confidence: float
    segments: Optional[str]           # keyframes, stretches or None
    script: Optional[str]
    correction: str
    bootstrap: Optional[dict]         # null, as bootstrap_block
    pixel_tolerance: Optional[int] = None


@dataclass(frozen=True)
class Document:
    """The whole comparison: the --json format."""
    format: str
    version: int
    settings: Settings
    warnings: tuple                   # one line each, shown above the verdict
    runs: tuple                       # RunSummary, A first
    segments: tuple                   # Segment
    segments_note: Optional[str]
    comparisons: tuple                # Comparison, one per run after A
    exit_status: Optional[int] = optional()
    environment_note: Optional[str] = optional()


@dataclass(frozen=True)
class CompareResult:
    """A comparison made: the document and what its outputs need beside it."""
    doc: Document
    runs: list                        # Run, A first
    shots: dict                       # run label -> screenshot folder
    held: dict                        # (run label, frame) -> pictures, for the page
    notes: list                       # one line each, said once the comparison goes ahead
    skipped: list                     # the flyrun folders' runs that did not complete
    status_reason: Optional[str] = None  # why the status isn't 0, in words

    @property
    def status(self) -> int:
        return self.doc.exit_status
