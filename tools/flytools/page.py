# page.py: the --html report, one self-contained page (charts and pictures
# inline as data: URIs, no network, nothing beside it) that a person opens to
# see the answer: the verdict first, then the tables with each segment
# coloured by its change, the charts, the screenshots of every keyframe with
# their difference, and the inputs last. Plain HTML and CSS; a few lines of
# script only add flipping a screenshot between the runs in place.
import base64
import html

from . import metrics, output, pictures

STYLE = """
body { font: 15px/1.45 system-ui, sans-serif; margin: 1.5em auto; max-width: 1400px;
       padding: 0 1em; color: #222; }
h1 { font-size: 1.5em; } h2 { font-size: 1.2em; margin-top: 2em; }
.verdict { border: 2px solid #888; border-radius: 6px; padding: .6em 1em; margin: .8em 0; }
.verdict .headline { font-size: 1.25em; font-weight: 600; margin: .2em 0 .5em; }
.verdict ul { margin: 0; padding-left: 1.2em; }
.verdict li.sub { margin-left: 1.5em; list-style: circle; }
.slower { border-color: #d62728; } .faster { border-color: #2ca02c; }
.inconclusive { border-color: #bcbd22; }
table { border-collapse: collapse; margin: .5em 0; font-variant-numeric: tabular-nums; }
th, td { border: 1px solid #ccc; padding: .2em .6em; text-align: right; }
th:first-child, td:first-child { text-align: left; }
.note { color: #555; }
.shots { display: grid; grid-template-columns: repeat(3, minmax(0, 1fr)); gap: .6em; }
.shots figure { margin: 0; }
.shots img { width: 100%; display: block; border: 1px solid #999; }
.shots img.flippable { cursor: pointer; }
figcaption { font-size: .9em; color: #444; }
.charts img { max-width: 100%; }
"""

# Clicking either screenshot swaps the pair in place, so the eye stays on
# one spot while the picture changes; without script both stay side by side.
SCRIPT = """
document.querySelectorAll('.shots').forEach(function (row) {
  var imgs = row.querySelectorAll('img.flippable');
  var caps = row.querySelectorAll('figcaption.flip');
  imgs.forEach(function (img) {
    img.title = 'click to flip between the two runs';
    img.addEventListener('click', function () {
      var src = imgs[0].src; imgs[0].src = imgs[1].src; imgs[1].src = src;
      var t = caps[0].textContent; caps[0].textContent = caps[1].textContent;
      caps[1].textContent = t;
    });
  });
});
"""


def _e(value):
    return html.escape(str(value))


def _data(png_bytes):
    return "data:image/png;base64," + base64.b64encode(png_bytes).decode("ascii")


def _table(rows, styles=None):
    out = ["<table>", "<tr>" + "".join("<th>%s</th>" % _e(c) for c in rows[0]) + "</tr>"]
    for i, row in enumerate(rows[1:]):
        style = ' style="%s"' % styles[i] if styles and styles[i] else ""
        out.append("<tr%s>" % style + "".join("<td>%s</td>" % _e(c) for c in row) + "</tr>")
    return "\n".join(out + ["</table>"])


def change_colour(change, verdict):
    """Red for slower, green for faster, stronger the larger the change
    (full at 20%); pale yellow for inconclusive; none for no change."""
    if verdict == "inconclusive":
        return "background: rgba(188,189,34,0.18)"
    if verdict not in ("slower", "faster") or change is None:
        return ""
    alpha = 0.15 + 0.55 * min(1.0, abs(change) / 20.0)
    rgb = "214,39,40" if verdict == "slower" else "44,160,44"
    return "background: rgba(%s,%.2f)" % (rgb, alpha)


def _verdicts(doc):
    out = []
    for cmp in doc["comparisons"]:
        lines = cmp["verdict_lines"]
        out.append('<div class="verdict %s" id="verdict-%s"><p class="headline">%s</p><ul>%s</ul></div>'
                   % (cmp["verdict"].replace(" ", "-"), _e(cmp["run"]), _e(lines[0]),
                      "".join('<li%s>%s</li>' % (' class="sub"' if ln.startswith("    ") else "",
                                                 _e(ln.strip())) for ln in lines[1:])))
    return "\n".join(out)


def _comparison(doc, cmp):
    a, b = cmp["against"], cmp["run"]
    out = ["<h2>%s against %s</h2>" % (_e(b), _e(a)), '<p class="note">%s</p>' % _e(cmp["method_text"])]
    rows = [["metric", a, b, "change", "95% CI", "verdict"]]
    styles = []
    for key, (_, _, label, unit) in metrics.COMPARED.items():
        iv = cmp["intervals"][key]
        rows.append(["%s (%s)" % (label, unit), output.fmt(iv["a"]), output.fmt(iv["b"]),
                     output.fmt_change(iv["change_pct"]), output.fmt_ci(iv["ci_pct"]), iv["verdict"]])
        styles.append(change_colour(iv["change_pct"] * metrics.COMPARED[key][1]
                                    if iv["change_pct"] is not None else None, iv["verdict"]))
    out.append(_table(rows, styles))
    if cmp["segments"]:
        out.append("<h3>segments</h3><p class=\"note\">%s; Holm's correction over %d segments. "
                   "Rows are coloured by their change: red slower, green faster (stronger for "
                   "larger changes), yellow inconclusive.</p>"
                   % ("keyframe to keyframe of " + _e(doc["settings"]["script"])
                      if doc["settings"]["segments"] == "keyframes"
                      else "equal stretches of frames", len(doc["segments"])))
        rows = [["segment", "frames", a + " mean ms", b + " mean ms", "change", "95% CI",
                 "p (Holm)", a + " p99", b + " p99", a + " stutters", b + " stutters", "verdict"]]
        styles = []
        for seg, row in zip(doc["segments"], cmp["segments"]):
            c = row["change"]
            rows.append(["%d" % seg["index"] + (" (key %d-%d)" % tuple(seg["keyframes"])
                                                 if seg["keyframes"] else ""),
                         "%d-%d" % (seg["first_frame"], seg["last_frame"]),
                         output.fmt(row["a"]["mean"]), output.fmt(row["b"]["mean"]),
                         output.fmt_change(c["change_pct"]), output.fmt_ci(c["ci_pct"]),
                         "-" if c["p"] is None else "%.3f" % c["p_holm"],
                         output.fmt(row["a"]["p99"]), output.fmt(row["b"]["p99"]),
                         output.stutter_cell(row["a"]["stutters"], row["a"]["stutters_with_chunk_builds"]),
                         output.stutter_cell(row["b"]["stutters"], row["b"]["stutters_with_chunk_builds"]),
                         c["verdict"]])
            styles.append(change_colour(c["change_pct"], c["verdict"]))
        out.append(_table(rows, styles))
    elif doc["segments_note"]:
        out.append('<p class="note">%s</p>' % _e(doc["segments_note"]))
    return "\n".join(out)


def _pictures(cmp):
    result = cmp.get("pictures")
    if not result:
        return ""
    a, b = cmp["against"], cmp["run"]
    out = ["<h2>screenshots: %s against %s</h2>" % (_e(b), _e(a)),
           '<p class="note">Difference images: %s\'s picture dimmed to grey; pixels within '
           '\u00b1%d in blue, beyond it red turning yellow as the difference grows (x4). Click '
           'either screenshot to flip the two in place.</p>' % (_e(a), result["tolerance"])]
    for f in result["frames"]:
        out.append("<h3>frame %d</h3>" % f["frame"])
        if "_pictures" not in f:
            out.append('<p class="note">not compared: %s</p>' % _e(f["detail"]))
            continue
        pa, pb, diff = f["_pictures"]
        summary = ("identical" if f["status"] == "identical" else
                   "%s: %.2f%% of pixels beyond \u00b1%d, PSNR %.1f dB, largest difference %d"
                   % (f["status"], f["share_pct"], result["tolerance"], f["psnr_db"], f["max_diff"]))
        out.append('<p>%s</p><div class="shots">' % _e(summary))
        for label, pixels, cls in ((a, pa, "flippable"), (b, pb, "flippable"),
                                   ("difference", diff, "")):
            cap = ' class="flip"' if cls else ""
            out.append('<figure><img class="%s" src="%s" alt="%s, frame %d"><figcaption%s>%s'
                       "</figcaption></figure>" % (cls, _data(pictures.png(pixels)), _e(label),
                                                   f["frame"], cap, _e(label)))
        out.append("</div>")
    return "\n".join(out)


def _inputs(doc, shots):
    rows = [["run", "file", "kind", "passes", "frames per pass", "chunks column", "screenshots"]]
    for r in doc["runs"]:
        rows.append([r["label"], r["path"], "CSV log" if r["kind"] == "csv" else "stdout log",
                     len(r["passes"]), r["frames_per_pass"] or "-",
                     "yes" if r["chunks_logged"] else "no", shots.get(r["label"], "-")])
    sizes = sorted({"%dx%d" % tuple(f["size"]) for c in doc["comparisons"] if c.get("pictures")
                    for f in c["pictures"]["frames"] if f["size"]})
    s = doc["settings"]
    return "\n".join(["<h2>inputs</h2>", _table(rows), '<p class="note">%s</p>' % _e(
        "min effect \u00b1%g%%; segments: %s; script: %s; screenshot sizes: %s; "
        "flycompare JSON format version %d"
        % (s["min_effect_pct"], s["segments"] or "none", s["script"] or "-",
           ", ".join(sizes) or "-", doc["version"]))])


def render(doc, chart_png, shots):
    """The page as text. chart_png: the charts as PNG bytes (or None);
    shots: run label -> screenshot folder."""
    title = "flycompare: " + (", ".join("%s against %s" % (c["run"], c["against"])
                                       for c in doc["comparisons"]) or doc["runs"][0]["label"])
    parts = ["<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">',
             '<meta name="viewport" content="width=device-width, initial-scale=1">',
             "<title>%s</title><style>%s</style></head><body>" % (_e(title), STYLE),
             "<h1>%s</h1>" % _e(title), _verdicts(doc),
             '<p class="note">A change within \u00b1%g%% counts as no change.</p>'
             % doc["settings"]["min_effect_pct"],
             "<h2>runs</h2><pre>%s</pre>" % _e("\n".join(output.run_tables(doc)))]
    if len(doc["runs"]) > 1:
        parts.append("<pre>%s</pre>" % _e("\n".join(output.metric_table(doc)[1:])))
    parts += [_comparison(doc, c) for c in doc["comparisons"]]
    if chart_png:
        parts.append('<h2>charts</h2><div class="charts"><img src="%s" alt="charts: frame time '
                     'per frame, change per segment, sorted frame times, fps per second"></div>'
                     % _data(chart_png))
    parts += [_pictures(c) for c in doc["comparisons"]]
    parts += [_inputs(doc, shots), "<script>%s</script>" % SCRIPT, "</body></html>"]
    return "\n".join(p for p in parts if p)
