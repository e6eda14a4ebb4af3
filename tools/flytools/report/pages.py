# pages.py: the HTML pages, flycompare's --html report and flyhistory's
# report --html, each one self-contained file (charts and pictures inline
# as data: URIs, no network, nothing beside it). Both are Jinja2 templates
# of templates/, rendered in one environment, autoescaped, so every label,
# path and line lands on a page as text; this module only prepares what a
# template can't take from the records themselves (the charts and pictures
# as PNG data, the text tables, a few formatters).
import base64
import functools
import io
import os
from typing import Any

from .. import metrics
from ..errors import InputError
from . import text

TEMPLATES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "templates")


@functools.cache
def environment() -> Any:
    """The pages' Jinja2 environment, made once; Jinja2 is needed only for
    the pages."""
    try:
        import jinja2
    except ImportError:
        raise InputError("--html needs Jinja2 (Debian's python3-jinja2): run scripts/setup") from None
    # Strict: a name a template gets wrong fails loudly instead of leaving
    # a hole in the page; what a record may lack says so with |default.
    env = jinja2.Environment(loader=jinja2.FileSystemLoader(TEMPLATES), autoescape=True,
                             undefined=jinja2.StrictUndefined, trim_blocks=True, lstrip_blocks=True)
    env.filters.update(fmt=text.fmt, change=text.fmt_change, ci=text.fmt_ci)
    env.globals.update(zip=zip, metrics=metrics)
    return env


def png(pixels) -> bytes:
    """PNG bytes of an RGB array (PIL, which Debian's matplotlib depends on)."""
    from PIL import Image
    buf = io.BytesIO()
    Image.fromarray(pixels).save(buf, format="PNG")
    return buf.getvalue()


def data_uri(png_bytes: bytes) -> str:
    return "data:image/png;base64," + base64.b64encode(png_bytes).decode("ascii")


def change_colour(change: float | None, verdict: str) -> str:
    """Red for slower, green for faster, stronger the larger the change
    (full at 20%); pale yellow for inconclusive; none for no change."""
    if verdict == "inconclusive":
        return "background: rgba(188,189,34,0.18)"
    if verdict not in ("slower", "faster") or change is None:
        return ""
    alpha = 0.15 + 0.55 * min(1.0, abs(change) / 20.0)
    rgb = "214,39,40" if verdict == "slower" else "44,160,44"
    return "background: rgba(%s,%.2f)" % (rgb, alpha)


def compare_page(doc: Any, chart_png: bytes | None, shots: dict[str, str], held: dict) -> str:
    """flycompare's page. doc: the analysis document; chart_png: the charts
    as PNG bytes (or None); shots: run label -> screenshot folder; held:
    (run label, frame) -> A's, B's and the difference picture."""
    def shot_images(run: str, frame: int) -> list[str] | None:
        pics = held.get((run, frame))
        return None if pics is None else [data_uri(png(p)) for p in pics]
    sizes = sorted({"%dx%d" % tuple(size) for c in doc.comparisons if c.pictures
                    for f in c.pictures.frames for size in (f.size, f.size_b) if size})
    title = "flycompare: " + (", ".join("%s against %s" % (c.run, c.against) for c in doc.comparisons)
                              or doc.runs[0].label)
    return environment().get_template("compare.html.j2").render(
        doc=doc, title=title, shots=shots, sizes=sizes, chart=data_uri(chart_png) if chart_png else None,
        run_text="\n".join(text.run_tables(doc)),
        metric_text="\n".join(text.metric_table(doc)[1:]) if len(doc.runs) > 1 else "",
        colour=change_colour, stutters=text.stutter_cell, shot_images=shot_images,
        gpu_text=lambda cmp: "\n".join(text.gpu_table(doc, cmp)[2:]))


def history_page(histories: list, db_name: str) -> str:
    """flyhistory's page: per series its steps and its charts."""
    from ..stats import steps as search
    from . import history_charts, history_text
    charts = [tuple(data_uri(png) for png in history_charts.charts(h)) for h in histories]
    return environment().get_template("history.html.j2").render(
        title="flyhistory report", width=1300, histories=histories, charts=charts, db_name=db_name,
        alpha_pct=search.ALPHA * 100, total=sum(len(h.steps) for h in histories), reach_text=history_text.reach_text)
