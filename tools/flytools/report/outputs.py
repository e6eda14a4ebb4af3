# outputs.py: a comparison's outputs, written in the order a reader wants
# them: the text (tables, then the verdict) to the stream given, then the
# --json file, the --plot chart and the --html page, each said in a line
# once it is written.
import os

from ..errors import shown
from ..records import CompareOptions, CompareResult as Result
from . import charts, jsonout, pages, text
from .files import write_file


def say_notes(result: Result, prog: str, err) -> None:
    """The notes of the reading (runs skipped) and of the runs (gaps, a
    file given twice), each a line starting with the command's name."""
    for line in result.skipped:
        err.write("%s: %s\n" % (prog, line))
    for note in result.notes:  # said once the comparison goes ahead
        err.write("%s: note: %s\n" % (prog, note))


def write(result: Result, opts: CompareOptions, out) -> list[str]:
    """Writes the outputs the options ask for; the files written, in order."""
    doc, written = result.doc, []
    out.write(text.text(doc, [ln for c in doc.comparisons for ln in c.verdict_lines]))
    if opts.json:
        write_file(opts.json, jsonout.compare_json(doc))
        written.append(opts.json)
        out.write("JSON written to %s\n" % shown(opts.json))
    chart_png = None
    if opts.plot or opts.html:
        # Drawn once; a PNG rendered once serves both the page and a .png --plot.
        fig = charts.figure(result.runs, doc)
        try:
            kind = os.path.splitext(opts.plot)[1][1:].lower() if opts.plot else None
            chart_png = charts.render(fig, "png") if opts.html or kind == "png" else None
            if opts.plot:
                write_file(opts.plot, chart_png if kind == "png" else charts.render(fig, kind))
                written.append(opts.plot)
                out.write("chart written to %s\n" % shown(opts.plot))
        finally:
            charts.close(fig)
    if opts.html:
        write_file(opts.html, pages.compare_page(doc, chart_png, result.shots, result.held))
        written.append(opts.html)
        out.write("page written to %s\n" % shown(opts.html))
    return written
