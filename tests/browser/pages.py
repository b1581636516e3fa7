"""Fills viewer.html with a graph document, the way nivra.viz.render does.

Uses the compiled `render_html` when it imports; otherwise a plain-Python
stand-in that performs the same steps, so the page can be tested before the
extension module is built.
"""
from __future__ import annotations

import json
from pathlib import Path

TEMPLATE = Path(__file__).resolve().parents[2] / "nivra" / "viz" / "templates" / "viewer.html"

# Characters that must not appear raw inside a <script> element.
_JSON_SCRIPT_ESCAPES = (
    ("<", "\\u003c"),
    (">", "\\u003e"),
    ("&", "\\u0026"),
    ("\u2028", "\\u2028"),
    ("\u2029", "\\u2029"),
)
_HTML_ESCAPES = (("&", "&amp;"), ("<", "&lt;"), (">", "&gt;"), ('"', "&quot;"), ("'", "&#x27;"))


def _escape_html(text: str) -> str:
    for raw, entity in _HTML_ESCAPES:
        text = text.replace(raw, entity)
    return text


def _fallback_render(doc: dict, title: str, width: int, height: int) -> str:
    template = TEMPLATE.read_text(encoding="utf-8")
    data_json = json.dumps(doc, ensure_ascii=False)
    for raw, escaped in _JSON_SCRIPT_ESCAPES:
        data_json = data_json.replace(raw, escaped)
    html = template.replace("{{TITLE}}", _escape_html(title))
    html = html.replace("{{DATA_JSON}}", data_json)
    html = html.replace("{{WIDTH}}", str(int(width)))
    return html.replace("{{HEIGHT}}", str(int(height)))


def render_graph_page(doc: dict, title: str = "nivra.viz", width=1200, height=800) -> str:
    """Returns the viewer page for `doc` as HTML text."""
    try:
        from nivra.viz.render import render_html
    except ImportError:
        return _fallback_render(doc, title, width, height)
    return render_html(doc, title=title, width=width, height=height)
