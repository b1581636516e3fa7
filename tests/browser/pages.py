"""Fills viewer.html with a graph document through nivra.viz.render."""
from __future__ import annotations

import json
from pathlib import Path

from nivra.viz import render

TEMPLATE = Path(render.TEMPLATES_DIR) / "viewer.html"


def render_graph_page(doc, title: str = "nivra.viz", width=1200, height=800) -> str:
    """Returns the viewer page for `doc` as HTML text.

    Documents that are not dicts (which render_html refuses) are written into the
    template as raw JSON, to test how the page copes with them.
    """
    if isinstance(doc, dict):
        return render.render_html(doc, title=title, width=width, height=height)
    html = TEMPLATE.read_text(encoding="utf-8").replace("{{TITLE}}", render._escape_html(title))
    html = html.replace("{{DATA_JSON}}", json.dumps(doc))
    return html.replace("{{WIDTH}}", str(int(width))).replace("{{HEIGHT}}", str(int(height)))
