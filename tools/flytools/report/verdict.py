# verdict.py: the words of the verdict block, made from the analysis
# document (pure: records in, lines out): one headline per compared run
# (faster, slower, no change or inconclusive, with the interval and, when
# inconclusive, how many passes would decide it; when the pictures differ
# or can't be compared, the same sentence says so), the segments that
# changed, what bounds the runs where both logged GPU times, where the
# stutters fell and whether the pictures match. The text, the JSON and the HTML page all
# carry these same lines.
from typing import Optional, Sequence

from .. import segments as segs
from ..records import Comparison, Document, Interval, Pictures, RunSummary
from ..stats.inference import MAX_PASSES_SUGGESTED


def signed(v: float) -> str:
    """A change in percent with its sign."""
    return "%+.1f%%" % v


def figure(iv: Interval, what: str = "mean frame time", ci: str = "95% CI") -> str:
    """The change of an interval, with the interval where there is one."""
    text = "%s %s" % (what, signed(iv.change_pct))
    if iv.ci_pct is not None:
        text += " (%s %+.1f..%+.1f%%)" % (ci, *iv.ci_pct)
    return text


def ci_name(cmp: Comparison) -> str:
    """What the comparison's intervals are: a session that looked after
    every block and could have stopped at any of them says so."""
    return "95% CI valid under looking after every block" if cmp.looks else "95% CI"


def frames_list(frames: Sequence[int]) -> str:
    """frame 5, or frames 1, 2 and 3."""
    names = ["%d" % f for f in frames]
    if len(names) < 2:
        return "frame " + "".join(names)
    return "frames " + ", ".join(names[:-1]) + " and " + names[-1]


def picture_clause(picture_result: Optional[Pictures]) -> str:
    """What the headline adds when the pictures differ or can't be compared."""
    frames = picture_result.frames if picture_result else []
    by: dict = {}
    for f in frames:
        by.setdefault(f.status, []).append(f)
    parts = []
    if by.get("differs"):
        parts.append("it draws a different picture at %s"
                     % frames_list([f.frame for f in by["differs"]]))
    sized = by.get("size differs", [])
    if sized:
        parts.append("its screenshots are another size (%s), so the pictures can't be compared%s"
                     % (sized[0].detail, "" if len(sized) == len(frames)
                        else " at " + frames_list([f.frame for f in sized])))
    lost = by.get("missing", []) + by.get("unreadable", [])
    if lost:
        parts.append("%s not compared" % frames_list(sorted(f.frame for f in lost)))
    return "; but " + "; ".join(parts) if parts else ""


def headline(cmp: Comparison, pct: float, picture_result: Optional[Pictures]) -> str:
    """The verdict's first line for one comparison, the pictures' state in
    the same sentence whatever the verdict."""
    return _timing(cmp, pct) + picture_clause(picture_result)


def _timing(cmp: Comparison, pct: float) -> str:
    iv = cmp.intervals["mean"]
    a, b = cmp.against, cmp.run
    kind = iv.verdict
    threshold = "\u00b1%g%%" % pct
    ci = ci_name(cmp)
    if kind in ("slower", "faster"):
        return "%s is %s than %s: %s, beyond the %s threshold" % (b, kind, a, figure(iv, ci=ci), threshold)
    if kind == "no change":
        return "no change from %s to %s: %s, inside %s" % (a, b, figure(iv, ci=ci), threshold)
    text = "inconclusive, %s against %s: " % (b, a)
    if cmp.levels and cmp.spread is None and iv.ci_pct is not None:
        return text + unmeasured(cmp, iv)
    text += figure(iv, ci=ci)
    if cmp.method == "none" and max(cmp.launches) > 1:
        return text + "; no interval from a single game launch: give each variant 2 or more runs"
    if iv.ci_pct is None:
        return text + "; one pass per run can't show how much passes differ from each other: " \
            "run a second pass (2 or more per run) for a verdict"
    text += " straddles the %s threshold" % threshold
    if "launch" in cmp.levels:
        if iv.runs_needed:
            return text + "; about %d launches of each (tools/flyrun --runs %d) would decide it" \
                % (iv.runs_needed, iv.runs_needed)
        return text + "; more launches of each than tools/flyrun can sensibly make would be needed"
    if cmp.method in ("runs", "sessions"):
        if iv.runs_needed:
            return text + "; about %d runs of each would decide it" % iv.runs_needed
        return text + "; more than %d runs of each would be needed to decide it" \
            % MAX_PASSES_SUGGESTED
    if iv.passes_needed:
        return text + "; about %d passes per run would decide it" % iv.passes_needed
    return text + "; more than %d passes per run would be needed to decide it" \
        % MAX_PASSES_SUGGESTED


def unmeasured(cmp: Comparison, iv: Interval) -> str:
    """The inconclusive headline's end where a level is seen once per
    variant and its spread isn't measured: the interval of what was seen,
    and what would measure it."""
    apart = " (the sessions were not interleaved)" if "session" in cmp.levels else ""
    if "launch" in cmp.levels:
        return (figure(iv, ci="95% CI of these two launches' passes") + "; one launch of each can't "
                "show how much launches differ from each other%s: run tools/flyrun (2 or more runs of "
                "each), or give --history DB to measure this machine's launch-to-launch spread" % apart)
    return (figure(iv, ci="95% CI of these two sessions' launches") + "; one session of each can't "
            "show how much sessions differ from each other%s: run the variants in one tools/flyrun "
            "session, or give --history DB to measure this machine's session-to-session spread" % apart)


def gpu_line(cmp: Comparison, doc: Document) -> list[str]:
    """What the GPU times say of the change, where both runs logged them:
    the GPU time's change and how much of each run the GPU bounds."""
    if cmp.gpu is None:
        return []
    iv = cmp.gpu.path.gpu_ms
    ci = "95% CI" if not cmp.levels else "95%% CI of these two %s" % (
        "launches' passes" if "launch" in cmp.levels else "sessions' launches")
    text = "  " + (figure(iv, "GPU time", ci) if iv.change_pct is not None else "GPU time unknown")
    sides = {r.label: r.gpu for r in doc.runs if r.label in (cmp.against, cmp.run)}

    def bound(g, words: tuple) -> str:
        # Segments without GPU times count for neither side; a run without any shows "-".
        (gpu, known), share = g.bound_segments(), g.path.gpu_bound_pct
        if share is None:
            return "-"
        share = "%.0f%%%s" % (share, words[1])
        return "%d of %d%s, %s" % (gpu, known, words[0], share) if known else share
    return [text + "; %s GPU-bound in %s (%s in %s)" % (
        cmp.run, bound(sides[cmp.run], (" segments", " of frames")), cmp.against, bound(sides[cmp.against], ("", "")))]


def segment_lines(cmp: Comparison, seg_list: list) -> list[str]:
    """A line for each segment that changed, then the tally."""
    if not cmp.segments:
        return []
    out = []
    counts = {}
    for seg, row in zip(seg_list, cmp.segments):
        kind = row.change.verdict
        counts[kind] = counts.get(kind, 0) + 1
        if kind in ("slower", "faster"):
            out.append("  %s %s: %s" % (kind, segs.name(seg, len(seg_list)),
                                          figure(row.change, ci=ci_name(cmp))))
    tally = ", ".join("%d %s" % (counts[k], k) for k in
                      ("slower", "faster", "no change", "inconclusive") if k in counts)
    out.append("  segments: %s (Holm's correction over %d segments)" % (tally, len(seg_list)))
    return out


def stutter_line(runs: Sequence[RunSummary]) -> str:
    """Where the stutters of the runs fell."""
    parts = []
    for r in runs:
        total, chunky = r.stutters["total"], r.stutters["with_chunk_builds"]
        if total is None:
            parts.append("%s unknown (stdout log)" % r.label)
        elif chunky is None:
            parts.append("%s %d (no chunks column)" % (r.label, total))
        else:
            parts.append("%s %d, %d of them in frames that built chunks" % (r.label, total, chunky))
    return "  stutters over all passes: " + "; ".join(parts)


def picture_lines(result: Pictures, label_a: str, label_b: str, tolerance: int) -> list[str]:
    """A summary line, then one line for each keyframe that differs or was
    not compared."""
    frames = result.frames
    head = "  pictures (%s against %s): " % (label_b, label_a)
    if not frames:
        return [head + "no frame-NNNNN.ppm in either folder"]
    by = {}
    for f in frames:
        by.setdefault(f.status, []).append(f)
    parts, details = [], []
    if by.get("differs"):
        parts.append("differ at " + frames_list([f.frame for f in by["differs"]]))
        details += ["    frame %d: %.2f%% of pixels beyond \u00b1%d, PSNR %.1f dB, largest "
                    "difference %d" % (f.frame, f.share_pct, tolerance, f.psnr_db,
                                       f.max_diff) for f in by["differs"]]
    if by.get("size differs"):
        parts.append("can't be compared at %s, sizes differ (%s)" % (
            frames_list([f.frame for f in by["size differs"]]), by["size differs"][0].detail))
    same = by.get("identical", []) + by.get("within tolerance", [])
    if same:
        text = "identical" if not by.get("within tolerance") else \
            "the same within \u00b1%d (%d identical)" % (tolerance, len(by.get("identical", [])))
        parts.append("%s at %d keyframe%s" % (text, len(same), "" if len(same) == 1 else "s"))
    for f in sorted(by.get("missing", []) + by.get("unreadable", []), key=lambda f: f.frame):
        parts.append("frame %d not compared" % f.frame)
        details.append("    frame %d: %s" % (f.frame, f.detail))
    return [head + "; ".join(parts)] + details


def lines(cmp: Comparison, doc: Document) -> list[str]:
    """The verdict's lines on one comparison (its pictures compared or not):
    the headline, the segments that changed, the stutters, the pictures."""
    group = [headline(cmp, doc.settings.min_effect_pct, cmp.pictures)]
    group += ["  " + cmp.spread] if cmp.spread else []
    group += gpu_line(cmp, doc)
    group += segment_lines(cmp, doc.segments)
    group.append(stutter_line([r for r in doc.runs if r.label in (cmp.against, cmp.run)]))
    if cmp.pictures:
        group += picture_lines(cmp.pictures, cmp.against, cmp.run, cmp.pictures.tolerance)
    return group
