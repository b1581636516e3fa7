"""The graph and partition viewer with what it must survive: keys and names that are prototype
properties, colours it cannot parse, payloads left out of the page, a narrow window."""
from __future__ import annotations

import shutil
import xml.etree.ElementTree as ET

import numpy as np
import pytest

pytest.importorskip("playwright.sync_api")
if not (shutil.which("chromium") or shutil.which("chromium-browser")):
    pytest.skip("chromium is not installed", allow_module_level=True)

import graphdocs  # noqa: E402

IDLE = "document.documentElement.dataset.layout === 'idle'"
DEFAULT_RGB = "rgb(144, 164, 174)"  # the page's default node colour, #90A4AE


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


def test_partition_view_of_a_graph_with_prototype_names(viewer, tmp_path):
    from nivra import ir
    from nivra.viz import compiled
    order = ["input", *graphdocs.PROTO_NAMES, "output"]
    g = ir.Graph(nodes=[("input", ir.Input()), *((n, ir.ReLU()) for n in graphdocs.PROTO_NAMES), ("output", ir.Output())],
                 edges=list(zip(order, order[1:])))
    g.metadata = {"__proto__": {"partition": {"algorithm": "X"}}, "constructor": 1}
    cores = {n: i % 3 for i, n in enumerate(graphdocs.PROTO_NAMES)}
    g.partition_metadata = {"assignments": cores, "num_cores_used": 3, "algorithm": "__proto__",
                            "cross_core_edges": [[a, b] for a, b in zip(order[1:-2], order[2:-1]) if cores[a] != cores[b]]}
    out = compiled.visualize_partitioned(g, str(tmp_path / "part.html"))
    page = viewer.open(None, html=open(out, encoding="utf-8").read())
    assert section(page, "#side", "Partition").endswith("Algorithm\n__proto__")
    assert page.eval_on_selector_all("#side dl.kv dt", "ds => ds.map(d => d.textContent)") == ["__proto__", "constructor"]
    for core in ("0", "1", "2"):
        page.click(f"[data-core-id='{core}']")
        assert page.evaluate("document.documentElement.dataset.core") == core
    for name in graphdocs.PROTO_NAMES:
        api(page, f"__nivraViewer.select({name!r})")
        assert section(page, "#details", "Hardware").split("\n")[:2] == ["core_id", str(cores[name])]
    page.keyboard.press("Escape")
    api(page, "__nivraViewer.fit()")
    page.wait_for_function("__nivraViewer.lastFrame.crossCore === 5")
    assert not viewer.errors


# ------------------------------------------------------------------ colours --

UNPARSEABLE = ["lab(52% 40 59)", "oklch(60% 0.15 50)", "color(display-p3 1 0 0)", "not a colour"]


def test_colours_the_page_cannot_parse_are_the_default_everywhere(viewer):
    doc = graphdocs.chain(1)
    for rec, colour in zip(doc["nodes"], UNPARSEABLE):
        rec["color"], rec["shape"] = colour, "rect"
    doc["metadata"]["type_legend"] = [{"type": rec["type"], "color": rec["color"]} for rec in doc["nodes"]]
    page = viewer.open(doc)
    api(page, "__nivraViewer.fit()")
    page.wait_for_timeout(50)
    for rec in doc["nodes"]:  # a pixel of the glyph's header band, which is the node's colour
        pixel = page.evaluate("""(id) => {
            const b = __nivraViewer.nodeBox(id), cv = document.getElementById("view"), r = cv.getBoundingClientRect();
            const s = cv.width / r.width, x = (b.x - r.left + 4) * s, y = (b.y - r.top + 0.12 * b.height) * s;
            const d = cv.getContext("2d").getImageData(Math.round(x), Math.round(y), 1, 1).data;
            return "rgb(" + d[0] + ", " + d[1] + ", " + d[2] + ")"; }""", rec["id"])
        assert pixel == DEFAULT_RGB, rec["color"]
    chips = page.eval_on_selector_all("#side .chip", "cs => cs.map(c => getComputedStyle(c).backgroundColor)")
    assert chips == [DEFAULT_RGB] * len(doc["nodes"])
    svg = ET.fromstring(api(page, "__nivraViewer.exportSVG()"))
    headers = [g.findall("{http://www.w3.org/2000/svg}path")[1].get("fill") for g in svg.iter("{http://www.w3.org/2000/svg}g")
               if g.get("class") == "node"]
    assert [h.lower() for h in headers] == ["#90a4ae"] * len(doc["nodes"])
    api(page, "__nivraViewer.select('fc0')")
    assert page.eval_on_selector("#details .swatch", "e => getComputedStyle(e).backgroundColor") == DEFAULT_RGB
    assert not viewer.errors


# ------------------------------------------------------------ payload left out --

def test_arrays_without_payload_show_their_statistics_and_say_so(viewer):
    full = graphdocs.encode_array(np.linspace(-1, 1, 6, dtype=np.float32))
    left_out = dict(graphdocs.encode_array(np.ones((64, 128), np.float32)), data=None,
                    stats={"min": -0.5, "max": 0.5, "mean": 0.0, "std": 0.25})
    rec = graphdocs.node("fc", "Affine", [128], [64], config={"out_features": 64})
    rec["params"] = {"weight": left_out, "bias": full, "gain": dict(graphdocs.encode_array(np.ones(0, np.float32)), data=None)}
    rec["config"]["table"] = left_out
    doc = graphdocs.document([graphdocs.node("input", "Input", None, [128]), rec], [("input", "fc")])
    page = viewer.open(doc)
    api(page, "__nivraViewer.select('fc')")
    page.wait_for_selector("#details .param[data-histogram='1']")  # the bias
    weight, _, gain = page.query_selector_all("#details .param")
    assert weight.get_attribute("data-payload") == "none" and weight.get_attribute("data-histogram") is None
    assert weight.inner_text().split("\n")[-1] == "payload left out"
    assert "float32 · [64, 128] · 8,192" in weight.inner_text()
    stats = weight.eval_on_selector_all("b[data-stat]", "bs => bs.map(b => b.textContent)")
    assert stats == ["-0.5", "0.5", "0", "0.25"]
    assert "Empty array" in gain.inner_text()
    assert "array float32 [64, 128]" in page.inner_text("#details")  # the config value
    assert "payload left out" in page.evaluate("(a) => { try { __nivraViewer.decode(a); } catch (e) { return e.message; } }", left_out)
    assert not viewer.errors


# ------------------------------------------------------------ narrow window --

CONTROLS = ["search", "search-prev", "search-next", "dir-tb", "dir-lr", "collapse-all", "expand-all", "export-btn",
            "theme-btn", "sidebar-btn", "help-btn", "zoom-in", "zoom-out", "zoom-fit"]


def inside(page, selector):
    box = page.eval_on_selector(selector, "e => { const r = e.getBoundingClientRect(); return [r.left, r.top, r.right, r.bottom]; }")
    size = page.viewport_size
    return box[0] >= 0 and box[1] >= 0 and box[2] <= size["width"] and box[3] <= size["height"] and box[2] - box[0] >= 16


def test_a_narrow_window_keeps_every_control_reachable(viewer):
    page = viewer.open(graphdocs.sample_model(), title="A model with a rather long title", viewport=(420, 800))
    for ctl in CONTROLS:
        assert inside(page, f"#{ctl}"), ctl
        page.click(f"#{ctl}", trial=True, timeout=2000)  # visible, enabled, and nothing covers it
    assert not page.is_visible("#side")
    page.click("#sidebar-btn")
    assert inside(page, "#side") and page.is_visible("#side .row.click")
    page.click("#sidebar-btn")
    page.click("#export-btn")
    assert inside(page, "#export-svg") and inside(page, "#export-png")
    page.click("#help-btn")
    assert inside(page, "#help .card")
    page.keyboard.press("Escape")
    api(page, "__nivraViewer.select('layer1.conv1')")
    assert inside(page, "#details .d-head button")
    page.click("#details .d-head button")
    assert page.evaluate("document.documentElement.dataset.selected") == ""
    assert not viewer.errors
