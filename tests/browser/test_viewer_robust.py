"""The graph and partition viewer with what it must survive: keys and names that are prototype
properties, colours it cannot parse, payloads left out of the page, a narrow window."""
from __future__ import annotations

import shutil
import xml.etree.ElementTree as ET

import pytest

pytest.importorskip("playwright.sync_api")
if not (shutil.which("chromium") or shutil.which("chromium-browser")):
    pytest.skip("chromium is not installed", allow_module_level=True)

import graphdocs  # noqa: E402

IDLE = "document.documentElement.dataset.layout === 'idle'"


def api(page, expr):
    return page.evaluate("(() => " + expr + ")()")


def section_titles(page, panel):
    return page.eval_on_selector_all(f"{panel} .sec h2", "hs => hs.map(h => h.firstChild.textContent)")


def section(page, panel, title):
    """The text of the section `title` of a panel: keys and values as textContent, one per line."""
    return page.eval_on_selector_all(f"{panel} .sec", """(secs, title) => {
        const s = secs.find((x) => x.querySelector("h2").firstChild.textContent === title);
        return s ? Array.from(s.querySelectorAll(".k, .v, dt, dd, b, span")).map((e) => e.textContent).join("\\n") : null;
    }""", title)


# ----------------------------------------------------------- keys are data --

def test_a_proto_key_in_metadata_is_a_key(viewer):
    doc = graphdocs.chain(1)
    doc["metadata"] = {"__proto__": {"partition": {"algorithm": "X"}}}
    page = viewer.open(doc)
    assert "Partition" not in section_titles(page, "#side")
    meta = page.eval_on_selector_all("#side dl.kv dt", "ds => ds.map(d => d.textContent)")
    assert meta == ["__proto__"]
    assert '"algorithm": "X"' in page.inner_text("#side dl.kv dd")
    assert not viewer.errors


def test_prototype_names_are_ordinary_data_in_every_panel(viewer):
    doc = graphdocs.prototype_keys()
    page = viewer.open(doc)
    assert page.evaluate("document.documentElement.dataset.state") == "ready", page.inner_text("#error")
    # The partition summary is the document's own, and the metadata keep every key.
    assert "Partition" in section_titles(page, "#side")
    assert section(page, "#side", "Partition").endswith("Algorithm\n__proto__")
    assert page.eval_on_selector_all("#side dl.kv dt", "ds => ds.map(d => d.textContent)") == ["__proto__", "constructor", "prototype"]
    api(page, "__nivraViewer.fit()")
    assert set(api(page, "__nivraViewer.drawnNodeIds()")) == {n["id"] for n in doc["nodes"]}
    for name in graphdocs.PROTO_NAMES:
        assert api(page, f"__nivraViewer.search({name!r})")[0] == name
        page.wait_for_function("(n) => document.documentElement.dataset.selected === n", arg=name)
        grouped = ["Group"] if name != "hasOwnProperty" else []
        assert section_titles(page, "#details") == ["Tensor shapes", "Hardware", *grouped, "Config", "Parameters", "Connections"]
        assert section(page, "#details", "Config").startswith("__proto__\n{")
        page.wait_for_selector("#details .param[data-histogram='1']")
        assert "unsupported dtype constructor" in page.inner_text("#details")
    # Every clickable row of the summary: inputs, cores, node types, groups.
    for i in range(len(page.query_selector_all("#side .row.click"))):
        page.query_selector_all("#side .row.click")[i].click()
        page.wait_for_function(IDLE)
    for gid in ("__proto__", "constructor"):
        api(page, f"__nivraViewer.toggleGroup({gid!r}, true)")
        page.wait_for_function(IDLE)
        assert gid in api(page, "__nivraViewer.collapsed")
    page.click("#expand-all")
    page.wait_for_function(IDLE)
    svg = api(page, "__nivraViewer.exportSVG()")
    ET.fromstring(svg)
    # Glyphs show the display params found in the config: "toString" is not one of its keys.
    assert "4 · constructor=&quot;__proto__&quot; · __" in svg
    assert not viewer.errors

