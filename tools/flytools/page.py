# page.py: the --html report, one self-contained page (charts and pictures
# inline as data: URIs, no network, nothing beside it) that a person opens to
# see the answer: any warnings, the verdict, then the tables with each
# segment coloured by its change, the charts, the screenshots of every
# keyframe with their difference, and the inputs last. The page itself is
# the Jinja2 template templates/report.html, autoescaped, so every label,
# path and line lands on the page as text; this module only prepares the
# values the template can't take from the analysis document itself (the
# charts and pictures as PNG data, the text tables, a few formatters).
import base64
import functools
import os
from typing import Any

from . import metrics, output, pictures
from .reading import InputError

TEMPLATES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "templates")


@functools.cache
def _template() -> Any:
    """The page's template, loaded once; Jinja2 is needed only for --html."""
    try:
        import jinja2
    except ImportError:
        raise InputError("--html needs Jinja2 (Debian's python3-jinja2): run scripts/setup") from None
    # Strict: a name the template gets wrong fails loudly instead of leaving
    # a hole in the page; what a document may lack says so with |default.
    env = jinja2.Environment(loader=jinja2.FileSystemLoader(TEMPLATES), autoescape=True,
                             undefined=jinja2.StrictUndefined, trim_blocks=True, lstrip_blocks=True)
    env.filters.update(fmt=output.fmt, change=output.fmt_change, ci=output.fmt_ci)
    return env.get_template("report.html")


def _at(record: Any, name: str) -> Any:
    """A field of a document record, a dict or an object alike (None if absent)."""
    return record.get(name) if isinstance(record, dict) else getattr(record, name, None)


def _data(png_bytes: bytes) -> str:
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


def _shot_images(frame: Any) -> list[str] | None:
    """A compared keyframe's A, B and difference pictures as PNG data URIs
    (None when the pair wasn't compared or the pictures weren't kept)."""
    held = _at(frame, "_pictures")
    return None if held is None else [_data(pictures.png(p)) for p in held]


def _sizes(doc: Any) -> list[str]:
    """The screenshot sizes met in any comparison, as WxH."""
    found = [_at(c, "pictures") for c in _at(doc, "comparisons")]
    return sorted({"%dx%d" % tuple(_at(f, "size")) for result in found if result
                   for f in _at(result, "frames") if _at(f, "size")})


def render(doc: Any, chart_png: bytes | None, shots: dict[str, str]) -> str:
    """The page as text. doc: the analysis document (with the pictures kept
    where screenshots were compared); chart_png: the charts as PNG bytes (or
    None); shots: run label -> screenshot folder."""
    comparisons = _at(doc, "comparisons")
    title = "flycompare: " + (", ".join("%s against %s" % (_at(c, "run"), _at(c, "against"))
                                       for c in comparisons) or _at(_at(doc, "runs")[0], "label"))
    compared = [(key, "%s (%s)" % (label, unit), sign)
                for key, (_, sign, label, unit) in metrics.COMPARED.items()]
    return _template().render(
        doc=doc, title=title, shots=shots, compared=compared, sizes=_sizes(doc),
        chart=_data(chart_png) if chart_png else None,
        run_text="\n".join(output.run_tables(doc)),
        metric_text="\n".join(output.metric_table(doc)[1:]) if len(_at(doc, "runs")) > 1 else "",
        zip=zip, colour=change_colour, stutters=output.stutter_cell, shot_images=_shot_images)
