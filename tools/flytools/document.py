# document.py: the records of the analysis document: what a comparison, an
# interval and a segment's change are. The text, the JSON, the charts and
# the page are all made from one document. Each record is a dataclass that
# also reads and writes like the dict of its JSON (doc["comparisons"],
# cmp.get("pictures"), cmp["pictures"] = ...), so code written against the
# JSON's shape works on it unchanged; to_dict() gives that JSON. A record's
# optional fields (those added later, such as the pictures) are None until
# set, and left out of the JSON and of `in` while they are.
# Parts keyed by data (metric names, per-pass entries) stay plain dicts.
from dataclasses import dataclass, field, fields
from typing import Any, ClassVar, Optional


def plain(value: Any) -> Any:
    """value with every record in it turned into its dict."""
    if isinstance(value, Record):
        return value.to_dict()
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    return value


class Record:
    """Dict-style access to a dataclass's fields. A key that is no field
    (set by a caller for its own output) is kept beside them, after the
    fields in to_dict()."""
    optional: ClassVar[tuple] = ()

    def _extra(self) -> dict:
        return self.__dict__.setdefault("_extra_keys", {})

    def __contains__(self, key: str) -> bool:
        if key in self.__dataclass_fields__:
            return key not in self.optional or getattr(self, key) is not None
        return key in self._extra()

    def __getitem__(self, key: str) -> Any:
        if key not in self:
            raise KeyError(key)
        return getattr(self, key) if key in self.__dataclass_fields__ else self._extra()[key]

    def __setitem__(self, key: str, value: Any) -> None:
        if key in self.__dataclass_fields__:
            setattr(self, key, value)
        else:
            self._extra()[key] = value

    def get(self, key: str, default: Any = None) -> Any:
        return self[key] if key in self else default

    def keys(self) -> list[str]:
        return [f.name for f in fields(self) if f.name in self] + list(self._extra())

    def __iter__(self):
        return iter(self.keys())

    def items(self) -> list[tuple[str, Any]]:
        return [(k, self[k]) for k in self.keys()]

    def to_dict(self) -> dict:
        return {k: plain(v) for k, v in self.items()}


@dataclass(eq=True)
class Interval(Record):
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
    p_holm: Optional[float] = None          # in a segment's change only
    optional: ClassVar[tuple] = ("p_holm",)


@dataclass(eq=True)
class SegmentSide(Record):
    """One run over one segment: mean and p99 frame time over its passes,
    stutters (and those in frames that built chunks)."""
    mean: float
    p99: float
    stutters: Optional[int]
    stutters_with_chunk_builds: Optional[int]


@dataclass(eq=True)
class SegmentRow(Record):
    """A segment's change of the mean frame time and both runs' figures."""
    index: int
    change: Interval
    a: Optional[SegmentSide] = None
    b: Optional[SegmentSide] = None


@dataclass(eq=True)
class Comparison(Record):
    """One run against A: how the intervals were made, the intervals of the
    compared metrics, the verdict on the mean frame time, the segments; the
    plain changes (metrics), the pictures and the verdict's lines are added
    as they are made."""
    run: str
    against: str
    method: str                       # runs, passes, bootstrap or none
    passes: list
    launches: list
    bootstrap_block: Optional[int]
    method_text: str = ""
    intervals: dict = field(default_factory=dict)     # metric -> Interval
    verdict: str = "inconclusive"
    segments: list = field(default_factory=list)      # SegmentRow
    metrics: Optional[dict] = None
    pictures: Optional[dict] = None                   # with --shots only
    verdict_lines: Optional[list] = None
    optional: ClassVar[tuple] = ("metrics", "pictures", "verdict_lines")


@dataclass(eq=True)
class RunSummary(Record):
    """One run as the document shows it: its file, passes and their metrics."""
    label: str
    path: str
    kind: str                         # csv or log
    frames_per_pass: Optional[int]
    chunks_logged: bool
    passes: list                      # per pass: a dict ("pass", "metrics", ...)
    across_passes: dict               # metric -> {"mean", "sd"}
    stutters: dict                    # {"total", "with_chunk_builds"}


@dataclass(eq=True)
class Settings(Record):
    """What the analysis was asked for and how it works."""
    min_effect_pct: float
    confidence: float
    segments: Optional[str]           # keyframes, stretches or None
    script: Optional[str]
    correction: str
    bootstrap: dict
    pixel_tolerance: Optional[int] = None


@dataclass(eq=True)
class Document(Record):
    """The whole comparison: the --json format."""
    format: str
    version: int
    settings: Settings
    warnings: list                    # one line each, shown above the verdict
    runs: list                        # RunSummary, A first
    segments: list                    # dicts from segments.py
    segments_note: Optional[str]
    comparisons: list = field(default_factory=list)  # Comparison, one per run after A
    exit_status: Optional[int] = None
    optional: ClassVar[tuple] = ("exit_status",)
