"""The page templates: the installed ones are fresh assemblies of nivra/viz/web, and the
assembler keeps each page's placeholder contract."""
import importlib.util
import re
import string
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))
from assemble_templates import PAGES, WEB, AssemblyError, assemble  # noqa: E402


@pytest.mark.parametrize("page", sorted(PAGES))
def test_installed_template_is_a_fresh_assembly(page):
    spec = importlib.util.find_spec("nivra.viz.render")
    if spec is None:
        pytest.skip("modules not built yet")
    installed = Path(spec.origin).parent / "templates" / page
    assert installed.read_text(encoding="utf-8") == assemble(page), \
        f"{installed} is older than nivra/viz/web: run `make build`"


def test_every_source_is_in_a_page():
    pages = "".join(assemble(page) for page in PAGES)
    for path in WEB.iterdir():
        if path.suffix != ".html":
            assert path.read_text(encoding="utf-8").split("\n", 1)[0] in pages, path.name


def test_sources_keep_their_dollars_in_a_string_template_page(tmp_path):
    (tmp_path / "spikes.html").write_text(
        "<title>$title</title>\n<!--@script-iife a.js\n  b.js-->\n<script>const D = $data_json;</script>\n")
    (tmp_path / "a.js").write_text("// a.js: one\nconst s = `${D}$$`;\n")
    (tmp_path / "b.js").write_text("/* b.js: two */\nconst t = '$x';\n")
    text = assemble("spikes.html", web=tmp_path)
    page = string.Template(text).substitute(title="T", data_json="1")
    assert page.startswith("<title>T</title>\n<script>\n/* spikes.html: this script's sections")
    assert " *   a.js  one\n *   b.js  two\n */\n(function () {\n\"use strict\";\n" in page
    assert "const s = `${D}$$`;" in page and "const t = '$x';" in page and "const D = 1;" in page


@pytest.mark.parametrize("page, skeleton, source, message", [
    ("viewer.html", "<!--@script missing.js-->", None, "no such source"),
    ("viewer.html", "<!--@script a.js-->", "const x = 1;\n", "the first line must be"),
    ("viewer.html", "<!--@script a.js-->", "// a.js: x\nconst s = '{{TITLE}}';\n", "placeholder {{TITLE}}"),
    ("viewer.html", "<!--@script a.js-->", "// a.js: x\nconst s = '</script>';\n", "end the element early"),
    ("viewer.html", "<!--@inline a.js-->", None, "unknown directive"),
    ("viewer.html", "<!--@script a.js", None, "unterminated directive"),
    ("spikes.html", "<!--@script a.js-->", "// a.js: x\nconst s = '\u00b5s';\n", "must be ASCII"),
    ("spikes.html", "$title $data_json $other <!-- -->", None, "expected ['data_json', 'title']"),
])
def test_assembly_errors(tmp_path, page, skeleton, source, message):
    body = "{{TITLE}} {{DATA_JSON}} {{WIDTH}} {{HEIGHT}}\n" if page == "viewer.html" else "$title $data_json\n"
    (tmp_path / page).write_text(body + skeleton + "\n", encoding="utf-8")
    if source is not None:
        (tmp_path / "a.js").write_text(source, encoding="utf-8")
    with pytest.raises(AssemblyError, match=re.escape(message)):
        assemble(page, web=tmp_path)
