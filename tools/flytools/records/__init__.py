# records: every record that passes between the tools' folders, as frozen
# dataclasses: built once by the code that knows the facts (a reader, the
# analysis, the database) and never changed afterwards. runs.py holds the
# runs as read and what flyrun writes and is given, document.py the
# comparison document (flycompare --json), history.py flyhistory's series
# and steps. A record's JSON is to_json(record): its fields by name, in
# order; a field marked optional() is left out while it is None. Parts keyed
# by data (metric names, per-pass values) stay plain dicts and lists.
from .encode import optional, to_json
from .runs import (CompareOptions, FlyrunSettings, Framebuffer, Game, Host, Pass, Run, RunInfo,
                   ScriptRef, Segment, Session, SessionEntry, SessionSettings)
from .document import (CompareResult, Comparison, Document, GpuChange, GpuSide, GpuSpans,
                       Interval, PassSummary, PictureFrame, Pictures, RunSummary, SegmentRow, SegmentSide,
                       Settings, ShareChange)
from .history import HistoryStep, Incoming, Point, Reach, Series, SeriesHistory, StoredRun

__all__ = ["optional", "to_json", "CompareOptions", "FlyrunSettings", "Framebuffer", "Game", "Host", "Pass",
           "Run", "RunInfo", "ScriptRef", "Segment", "Session", "SessionEntry", "SessionSettings",
           "CompareResult", "Comparison", "Document", "GpuChange", "GpuSide", "GpuSpans",
           "ShareChange", "Interval", "PassSummary", "PictureFrame", "Pictures",
           "RunSummary", "SegmentRow", "SegmentSide", "Settings", "HistoryStep", "Incoming", "Point",
           "Reach", "Series", "SeriesHistory", "StoredRun"]
