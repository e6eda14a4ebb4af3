# text.py: the analysis document as text for people: the runs and their
# passes, the metrics compared, each comparison's intervals and segments
# (and GPU times, where logged), then the verdict block last, where a
# reader's eye lands.
from typing import Optional, Sequence

from .. import metrics
from ..records import Comparison, Document

TABLE = [m.name for m in metrics.TABLE]


def fmt(value: Optional[float], digits: int = 2) -> str:
    """A figure for a table cell; "-" when unknown."""
    if value is None:
        return "-"
    if isinstance(value, int):
        return str(value)
    return "%.*f" % (digits, value)


def fmt_metric(name: str, value: Optional[float]) -> str:
    """A metric for a table cell: counts whole where they are."""
    if metrics.BY_NAME[name].count and value is not None:
        # Counts; a mean over passes may fall between whole numbers.
        return str(int(value)) if value == int(value) else "%.1f" % value
    return fmt(value)


def fmt_ci(ci: Optional[Sequence[float]]) -> str:
    """An interval in percent."""
    return "-" if ci is None else "%+.1f..%+.1f%%" % tuple(ci)


def fmt_change(v: Optional[float]) -> str:
    """A change in percent."""
    return "-" if v is None else "%+.1f%%" % v


def _count(value: Optional[int]) -> str:
    return "-" if value is None else str(value)


def table(rows: list[list[str]], left: int = 1) -> list[str]:
    """Columns padded to width; the first `left` columns left-aligned."""
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    return ["  ".join(c.ljust(w) if i < left else c.rjust(w)
                      for i, (c, w) in enumerate(zip(r, widths))).rstrip() for r in rows]


def stutter_cell(count: Optional[int], chunky: Optional[int]) -> str:
    """Stutters, and in brackets those in frames that built chunks."""
    if count is None:
        return "-"
    return str(count) if chunky is None else "%d (%d)" % (count, chunky)


def run_tables(doc: Document) -> list[str]:
    """The runs, their passes' metrics and the spread over passes."""
    out = []
    for r in doc.runs:
        n = len(r.passes)
        per = " of %d frames" % r.frames_per_pass if r.frames_per_pass else ""
        logged = ", chunk builds logged" * r.chunks_logged + ", GPU times logged" * bool(r.gpu)
        out.append("%s: %s (%s, %d pass%s%s%s)" % (
            r.label, r.path, "CSV log" if r.kind == "csv" else "stdout log", n,
            "" if n == 1 else "es", per, logged))
    chunks = any(r.chunks_logged for r in doc.runs)
    out += ["", "per pass (frame times in ms; fps, 1% low and 0.1% low in frames per second"
            + ("; builds: chunk builds in the pass, st+ch: stutters in frames that built chunks"
               if chunks else "") + ")"]
    rows = [["run", "pass"] + [m.heading for m in metrics.TABLE]
            + (["builds", "st+ch"] if chunks else [])]
    for r in doc.runs:
        for p in r.passes:
            row = [r.label, str(p.number)] + [fmt_metric(k, p.metrics[k])
                                                  for k in TABLE]
            if chunks:
                row += [_count(p.chunk_builds), _count(p.stutters_with_chunk_builds)]
            rows.append(row)
    out += table(rows)
    out += ["", "across passes (mean and sample standard deviation)"]
    rows = [["run", "passes", "fps mean", "fps sd", "p99 mean", "p99 sd"]]
    for r in doc.runs:
        fps, p99 = r.across_passes["fps"], r.across_passes["p99"]
        rows.append([r.label, str(len(r.passes)), fmt(fps["mean"]), fmt(fps["sd"]),
                     fmt(p99["mean"]), fmt(p99["sd"])])
    out += table(rows)
    if any(r.gpu for r in doc.runs):
        out += ["", "GPU times (means over passes: GPU time per frame in ms; GPU-bound: the share of frames "
                "whose GPU ran a frame time or more behind, and the segments where most frames did)"]
        rows = [["run", "gpu ms", "GPU-bound", "segments"]]
        for r in doc.runs:
            g = r.gpu.path if r.gpu else None
            segs = "%d of %d" % r.gpu.bound_segments() if r.gpu and r.gpu.bound_segments()[1] else "-"
            rows.append([r.label, fmt(g and g.gpu_ms), fmt_share(g and g.gpu_bound_pct), segs])
        out += table(rows)
    return out


def fmt_share(v: Optional[float]) -> str:
    return "-" if v is None else "%.0f%%" % v


def gpu_table(doc: Document, cmp: Comparison) -> list[str]:
    """One comparison's GPU times, whole path and segments; none unless
    both runs logged them."""
    if cmp.gpu is None:
        return []
    a, b = cmp.against, cmp.run
    ga, gb = (next(r.gpu for r in doc.runs if r.label == x) for x in (a, b))
    out = ["", "GPU times of %s against %s: GPU time (ms, as the change's model gives it) and the share of "
           "GPU-bound frames (change in points), and what bounds each span" % (b, a)]
    rows = [["span", "frames", a + " gpu ms", b + " gpu ms", "change", "95% CI", a + " GPU-bound",
             b + " GPU-bound", "change", "95% CI", a, b]]
    spans = [("path", "all", ga.path, gb.path, cmp.gpu.path)] + [
        ("seg %d" % seg.index, "%d-%d" % (seg.first_frame, seg.last_frame), sa, sb, c)
        for seg, sa, sb, c in zip(doc.segments, ga.segments, gb.segments, cmp.gpu.segments)]
    for name, frames, sa, sb, c in spans:
        iv, sh = c.gpu_ms, c.gpu_bound_pct
        rows.append([name, frames, fmt(iv.a), fmt(iv.b), fmt_change(iv.change_pct), fmt_ci(iv.ci_pct),
                     fmt_share(sa.gpu_bound_pct), fmt_share(sb.gpu_bound_pct),
                     "-" if sh.change_points is None else "%+.0f" % sh.change_points,
                     "-" if sh.ci_points is None else "%+.0f..%+.0f" % tuple(sh.ci_points),
                     sa.bound or "-", sb.bound or "-"])
    return out + table(rows, left=2)


def metric_table(doc: Document) -> list[str]:
    """Every metric's run value and change against A."""
    base = doc.runs[0]
    out = ["", "comparison (run values are means over passes; change against %s)" % base.label]
    head = ["metric", base.label]
    for r in doc.runs[1:]:
        head += [r.label, "change"]
    rows = [head]
    for m in metrics.TABLE:
        k = m.name
        row = [m.heading, fmt_metric(k, base.across_passes[k]["mean"])]
        for cmp in doc.comparisons:
            row += [fmt_metric(k, cmp.metrics[k]["b"]), fmt_change(cmp.metrics[k]["change_pct"])]
        rows.append(row)
    return out + table(rows)


def comparison_tables(doc: Document, cmp: Comparison) -> list[str]:
    """One comparison's intervals and segments."""
    a, b = cmp.against, cmp.run
    out = ["", "%s against %s: %s%s" % (b, a, cmp.method_text, "; %s and %s as that model gives them "
                                          "(geometric means), so the change is %s / %s" % (a, b, b, a)
                                          if cmp.method in ("passes", "runs") else "")]
    rows = [["metric", a, b, "change", "95% CI", "verdict"]]
    for m in metrics.COMPARED:
        iv = cmp.intervals[m.name]
        rows.append(["%s (%s)" % (m.label, m.unit), fmt(iv.a), fmt(iv.b),
                     fmt_change(iv.change_pct), fmt_ci(iv.ci_pct), iv.verdict])
    out += table(rows)
    seg_list = doc.segments
    if not cmp.segments:
        if doc.segments_note:
            out += ["", doc.segments_note]
        return out
    how = ("keyframe to keyframe (%s)" % doc.settings.script
           if doc.settings.segments == "keyframes"
           else "%d equal stretches of frames (no keyframe script known)" % len(seg_list))
    chunks = "; stutters over all passes (in brackets: those in frames that built chunks)" \
        if any(getattr(r, s).stutters_with_chunk_builds is not None
               for r in cmp.segments for s in "ab") else "; stutters over all passes"
    out += ["", "segments of %s against %s: %s; mean (as the change's model gives it) and p99 "
            "frame time (ms), change of the mean; Holm's correction over %d segments%s"
            % (b, a, how, len(seg_list), chunks)]
    rows = [["seg", "keyframes", "frames", a + " mean", b + " mean", "change", "95% CI",
             "p (Holm)", a + " p99", b + " p99", a + " stutters", b + " stutters", "verdict"]]
    for seg, row in zip(seg_list, cmp.segments):
        c = row.change
        rows.append([str(seg.index), "%d-%d" % tuple(seg.keyframes) if seg.keyframes else "-",
                     "%d-%d" % (seg.first_frame, seg.last_frame),
                     fmt(row.a.mean if c.a is None else c.a), fmt(row.b.mean if c.b is None else c.b),
                     fmt_change(c.change_pct),
                     fmt_ci(c.ci_pct), "-" if c.p is None else "%.3f" % c.p_holm,
                     fmt(row.a.p99), fmt(row.b.p99),
                     stutter_cell(row.a.stutters, row.a.stutters_with_chunk_builds),
                     stutter_cell(row.b.stutters, row.b.stutters_with_chunk_builds),
                     c.verdict])
    return out + table(rows, left=3)


def warning_lines(doc: Document) -> list[str]:
    """The document's warnings, one line each, shown above the verdict."""
    return ["warning: " + w for w in doc.warnings]


def note_lines(doc: Document) -> list[str]:
    """The note on runs without an environment, said once before the verdict."""
    return ["", "note: " + doc.environment_note] if doc.environment_note else []


def text(doc: Document, verdict_lines: list[str]) -> str:
    """The whole text output: tables, then the warnings and the verdict."""
    out = run_tables(doc)
    if len(doc.runs) > 1:
        out += metric_table(doc)
        for cmp in doc.comparisons:
            out += comparison_tables(doc, cmp) + gpu_table(doc, cmp)
        out += note_lines(doc)
        out += ["", "verdict (a change smaller than \u00b1%g%% counts as no change)"
                % doc.settings.min_effect_pct] + warning_lines(doc) + verdict_lines
    elif doc.warnings:
        out += [""] + warning_lines(doc)
    return "\n".join(out) + "\n"
