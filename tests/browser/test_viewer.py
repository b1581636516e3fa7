"""The graph viewer page in headless Chromium: drawing, panels, groups, search, export, safety."""
from __future__ import annotations

import base64
import shutil
import xml.etree.ElementTree as ET

import numpy as np
import pytest

pytest.importorskip("playwright.sync_api")
if not (shutil.which("chromium") or shutil.which("chromium-browser")):
    pytest.skip("chromium is not installed", allow_module_level=True)

import graphdocs  # noqa: E402

IDLE = "document.documentElement.dataset.layout === 'idle'"

HOSTILE = [
    "</script><script>window.__pwned=1</script>",
    "<img src=x onerror=\"window.__pwned=2\">",
    "<!--<script>window.__pwned=3</script>",
    "{{TITLE}}\u2028\u2029&amp;<svg onload=window.__pwned=4>",
    "{{WIDTH}}", "1200",  # a placeholder in the document is a name like any other
]

SMALL_DOCS = {
    "chain": graphdocs.chain,
    "skip_dag": graphdocs.skip_dag,
    "sample": graphdocs.sample_model,
    "partitioned": graphdocs.partitioned,
    "special": graphdocs.special_values,
    "hostile": lambda: graphdocs.hostile(HOSTILE),
}


def api(page, expr):
    return page.evaluate("(() => " + expr + ")()")


def wait_idle(page):
    page.wait_for_function(IDLE, timeout=60000)


def click_node(page, node_id, dbl=False):
    box = api(page, f"__nivraViewer.nodeBox({node_id!r})")
    assert box, node_id
    x, y = box["x"] + box["width"] / 2, box["y"] + box["height"] / 2
    (page.mouse.dblclick if dbl else page.mouse.click)(x, y)


def show_all(page):
    api(page, "__nivraViewer.fit()")
    page.wait_for_timeout(50)


# ------------------------------------------------------------------ drawing --

@pytest.mark.parametrize("name", sorted(SMALL_DOCS))
@pytest.mark.parametrize("rankdir", ["TB", "LR"])
def test_every_node_drawn_without_errors(viewer, name, rankdir):
    doc = SMALL_DOCS[name]()
    page = viewer.open(doc)
    assert page.evaluate("document.documentElement.dataset.state") == "ready"
    if rankdir == "LR":
        page.click("#dir-lr")
        wait_idle(page)
    show_all(page)
    ids = sorted(n["id"] for n in doc["nodes"])
    assert sorted(api(page, "__nivraViewer.drawnNodeIds()")) == ids
    frame = api(page, "__nivraViewer.lastFrame")
    assert frame["nodes"] == len(ids) and frame["edges"] == api(page, "__nivraViewer.edges")
    assert not viewer.errors


def test_layout_keeps_nodes_apart_and_ranks_follow_edges(viewer):
    doc = graphdocs.sample_model()
    page = viewer.open(doc)
    boxes = {n["id"]: api(page, f"__nivraViewer.nodeBox({n['id']!r})") for n in doc["nodes"]}
    items = list(boxes.values())
    for i, a in enumerate(items):
        for b in items[i + 1:]:
            overlap_x = min(a["x"] + a["width"], b["x"] + b["width"]) - max(a["x"], b["x"])
            overlap_y = min(a["y"] + a["height"], b["y"] + b["height"]) - max(a["y"], b["y"])
            assert overlap_x <= 0.5 or overlap_y <= 0.5, (a, b)
    for e in doc["edges"]:  # the sample model has no cycle: every edge points down
        assert boxes[e["source"]]["y"] < boxes[e["target"]]["y"], e


def test_initial_size_comes_from_the_template(viewer):
    page = viewer.open(graphdocs.chain(), wait=False)
    page.wait_for_function("document.documentElement.dataset.state === 'ready'")
    assert page.evaluate("NIVRA_INITIAL_SIZE") == [1200, 800]


# ------------------------------------------------------------------ details --

def test_clicking_a_node_shows_its_details(viewer):
    doc = graphdocs.chain()
    page = viewer.open(doc)
    click_node(page, "fc1")
    page.wait_for_selector("#details:not(.hidden)")
    text = page.inner_text("#details")
    rec = next(n for n in doc["nodes"] if n["id"] == "fc1")
    assert "fc1" in text and "Affine" in text
    assert "[196]" in text and "[49]" in text  # input and output shapes
    assert "out_features" in text and "weight" in text and "bias" in text
    assert f"{rec['param_count']:,}" in text
    assert page.evaluate("document.documentElement.dataset.selected") == "fc1"
    page.wait_for_selector("#details .param[data-histogram='1']")
    page.keyboard.press("Escape")
    page.wait_for_selector("#details.hidden", state="attached")
    assert not viewer.errors


def test_nan_and_infinite_values_render(viewer):
    page = viewer.open(graphdocs.special_values())
    api(page, "__nivraViewer.select('weird')")
    page.wait_for_selector("#details .param b[data-stat]")
    stats = page.eval_on_selector_all("#details .param b[data-stat]", "els => els.map(e => [e.dataset.stat, e.textContent])")
    assert dict(stats) == {"min": "NaN", "max": "NaN", "mean": "NaN", "std": "NaN"}
    text = page.inner_text("#details")
    assert "Infinity" in text and "NaN" in text
    page.wait_for_selector("#details .param[data-histogram='1']")
    assert "1 NaN" in page.inner_text("#details .param")
    assert not viewer.errors


def test_histogram_decoding_matches_numpy_for_every_dtype(viewer):
    doc = graphdocs.special_values()
    page = viewer.open(doc)
    params = next(n for n in doc["nodes"] if n["id"] == "dtypes")["params"]
    for name, enc in params.items():
        got = page.evaluate("(a) => __nivraViewer.decode(a)", enc)
        want = np.frombuffer(base64.b64decode(enc["data"]), dtype=enc["dtype"]).astype(np.float64)
        np.testing.assert_array_equal(np.array(got, dtype=np.float64), want, err_msg=name)
    api(page, "__nivraViewer.select('dtypes')")
    page.wait_for_function("document.querySelectorAll('#details .param[data-histogram]').length === 13")
    assert "Empty array" in page.inner_text("#details")


def test_large_arrays_decode_only_on_request(viewer):
    big = graphdocs.node("big", "Affine", [1], [1], {"weight": np.ones(300_000, np.float32)})
    doc = graphdocs.document([graphdocs.node("input", "Input", None, [1]), big], [("input", "big")])
    page = viewer.open(doc)
    api(page, "__nivraViewer.select('big')")
    page.wait_for_timeout(100)
    assert page.query_selector("#details .param[data-histogram]") is None
    page.click("#details .param button")
    page.wait_for_selector("#details .param[data-histogram='1']")
    assert "300,000 values decoded" in page.inner_text("#details .param")


# ------------------------------------------------------------------- groups --

def expected_units(doc, collapsed):
    members = {m: g["id"] for g in doc["groups"] if g["id"] in collapsed for m in g["nodes"]}
    unit = {n["id"]: ("g", members[n["id"]]) if n["id"] in members else ("n", n["id"]) for n in doc["nodes"]}
    pairs = {(unit[e["source"]], unit[e["target"]]) for e in doc["edges"]}
    return len(set(unit.values())), len({p for p in pairs if p[0] != p[1]})


def test_collapse_and_expand_one_group(viewer):
    doc = graphdocs.sample_model()
    page = viewer.open(doc)
    gid = doc["groups"][0]["id"]
    assert api(page, "__nivraViewer.collapsed") == []
    box = api(page, f"__nivraViewer.groupBox({gid})")
    assert box["collapsed"] is False
    k = api(page, "__nivraViewer.view.k")
    page.mouse.click(box["x"] + box["width"] - 16 * k, box["y"] + 15 * k)  # the frame's collapse button
    wait_idle(page)
    assert api(page, "__nivraViewer.collapsed") == [str(gid)]
    units, edges = expected_units(doc, {gid})
    assert api(page, "__nivraViewer.units") == units
    assert api(page, "__nivraViewer.edges") == edges  # edges re-attached to the group node
    member = doc["groups"][0]["nodes"][2]
    assert api(page, f"__nivraViewer.nodeBox({member!r})")["group"] is True
    show_all(page)
    assert sorted(api(page, "__nivraViewer.drawnNodeIds()")) == sorted(n["id"] for n in doc["nodes"])
    click_node(page, member, dbl=True)
    wait_idle(page)
    assert api(page, "__nivraViewer.collapsed") == []
    assert api(page, "__nivraViewer.units") == len(doc["nodes"])
    assert not viewer.errors


def test_double_click_acts_on_what_the_first_click_hit(viewer):
    # The first click selects the group and opens the details panel, which narrows the
    # drawing; the second click of the pair must still expand that group.
    doc = graphdocs.sample_model()
    page = viewer.open(doc)
    gid = doc["groups"][0]["id"]
    api(page, f"__nivraViewer.toggleGroup({gid}, true)")
    wait_idle(page)
    show_all(page)
    box = api(page, f"__nivraViewer.groupBox({gid})")
    x, y = box["x"] + box["width"] / 2, box["y"] + box["height"] / 2
    page.mouse.move(x, y)
    page.mouse.down(click_count=1)
    page.mouse.up(click_count=1)
    page.wait_for_selector("#details:not(.hidden)")
    page.wait_for_timeout(100)  # the panel's reflow and the view's shift have happened
    page.mouse.down(click_count=2)
    page.mouse.up(click_count=2)
    wait_idle(page)
    assert api(page, "__nivraViewer.collapsed") == []
    assert not viewer.errors


def test_collapse_all_and_expand_all(viewer):
    doc = graphdocs.sample_model()
    page = viewer.open(doc)
    page.click("#collapse-all")
    wait_idle(page)
    all_ids = {g["id"] for g in doc["groups"]}
    assert set(api(page, "__nivraViewer.collapsed")) == {str(g) for g in all_ids}
    assert (api(page, "__nivraViewer.units"), api(page, "__nivraViewer.edges")) == expected_units(doc, all_ids)
    page.keyboard.press("e")
    wait_idle(page)
    assert api(page, "__nivraViewer.units") == len(doc["nodes"])


def test_selecting_a_hidden_node_expands_its_group(viewer):
    doc = graphdocs.sample_model()
    page = viewer.open(doc)
    page.click("#collapse-all")
    wait_idle(page)
    api(page, "__nivraViewer.select('rep.conv1x1')")
    wait_idle(page)
    page.wait_for_function("document.documentElement.dataset.selected === 'rep.conv1x1'")
    assert str(doc["groups"][2]["id"]) not in api(page, "__nivraViewer.collapsed")


@pytest.mark.parametrize("nested", [False, True])
def test_large_graphs_start_with_top_level_groups_collapsed(viewer, nested):
    doc = graphdocs.generated(2000, seed=5)
    top = [str(g["id"]) for g in doc["groups"]]
    if nested:  # a group around each pair of blocks: those start collapsed, the blocks inside do not
        inner = doc["groups"]
        outer = [graphdocs.group(f"pair{i}", "Stage", f"Stage {i}", "", inner[i]["nodes"] + inner[i + 1]["nodes"])
                 for i in range(0, len(inner) - 1, 2)]
        doc["groups"] = inner + outer
        top = [g["id"] for g in outer] + ([str(inner[-1]["id"])] if len(inner) % 2 else [])
    page = viewer.open(doc)
    assert sorted(api(page, "__nivraViewer.collapsed")) == sorted(top)
    assert api(page, "__nivraViewer.units") < 2000 / 3
    if nested:
        api(page, "__nivraViewer.toggleGroup('pair0', false)")
        wait_idle(page)
        assert api(page, f"__nivraViewer.groupBox({doc['groups'][0]['id']})")["collapsed"] is False
    assert not viewer.errors


@pytest.mark.parametrize("query,mode", [("?worker=0", "main"), ("?worker=1", "worker")])
def test_layout_runs_in_worker_or_in_main_thread_slices(viewer, query, mode):
    doc = graphdocs.random_layered(1200, width=40, seed=1)
    page = viewer.open(doc, query=query)
    assert api(page, "__nivraViewer.mode") == mode
    assert api(page, "__nivraViewer.units") == 1200
    show_all(page)
    assert len(api(page, "__nivraViewer.drawnNodeIds()")) == 1200
    assert not viewer.errors


@pytest.mark.parametrize("broken_worker", [
    "window.Worker = function () { throw new Error('workers are disabled'); };",
    # Starts, then fails to load, as a worker refused to a file:// page does.
    """window.Worker = class extends EventTarget {
         constructor() { super(); setTimeout(() => { const e = new Event('error'); if (this.onerror) this.onerror(e); }, 30); }
         postMessage() {} terminate() {}
       };""",
])
def test_layout_falls_back_to_the_main_thread_when_workers_fail(viewer, browser, broken_worker):
    context = browser.new_context(viewport={"width": 1200, "height": 800})
    viewer.contexts.append(context)
    context.add_init_script(broken_worker)
    page = viewer.open(graphdocs.random_layered(800, width=30, seed=3), context=context)
    assert api(page, "__nivraViewer.mode") == "main"
    assert api(page, "__nivraViewer.units") == 800
    assert not viewer.errors


# ------------------------------------------------------------------- search --

@pytest.mark.parametrize("query,expected", [
    ("b1.conv2", ["b1.conv2"]),                      # by name
    ("skip", ["b0.add", "b1.add", "b2.add"]),       # by type
    ("p=0.1", ["drop"]),                             # by config value
])
def test_search_finds_nodes(viewer, query, expected):
    page = viewer.open(graphdocs.skip_dag())
    page.click("#stage")
    page.keyboard.press("Control+f")
    assert page.evaluate("document.activeElement.id") == "search"
    page.keyboard.type(query)
    page.keyboard.press("Enter")
    page.wait_for_function(f"document.documentElement.dataset.matches === '{len(expected)}'")
    assert page.inner_text("#search-count") == f"1 of {len(expected)}"
    seen = [page.evaluate("document.documentElement.dataset.selected")]
    for _ in expected[1:]:
        page.keyboard.press("Enter")
        seen.append(page.evaluate("document.documentElement.dataset.selected"))
    assert sorted(seen) == sorted(expected)
    page.wait_for_function("!__nivraViewer.animating")  # the centring animation has ended
    box = api(page, f"__nivraViewer.nodeBox({seen[-1]!r})")
    stage = page.eval_on_selector("#stage", "e => { const r = e.getBoundingClientRect(); return [r.left + r.width / 2, r.top + r.height / 2]; }")
    assert abs(box["x"] + box["width"] / 2 - stage[0]) < 2 and abs(box["y"] + box["height"] / 2 - stage[1]) < 2


def test_search_matches_part_of_a_type_a_name_or_a_config_value(viewer):
    page = viewer.open(graphdocs.sample_model())
    for query, expected in [
        ("avgpool", ["head.pool"]),                                   # part of a type, any case
        ("AFFIN", ["head.fc1", "head.fc2"]),
        ("maxpool", ["sppf.pool1", "sppf.pool2", "sppf.pool3"]),
        ("rep.conv", ["rep.conv3x3", "rep.conv1x1"]),                 # part of a name
        ("subtract", ["stem.lif"]),                                   # config values
        ("tau=5", ["head.lif"]),
        ("kernel_size=[8, 8]", ["head.pool"]),
    ]:
        assert sorted(api(page, f"__nivraViewer.search({query!r})")) == sorted(expected), query
        assert page.inner_text("#search-count") == f"1 of {len(expected)}"
    assert not viewer.errors


def test_search_without_match_says_so(viewer):
    page = viewer.open(graphdocs.chain())
    assert api(page, "__nivraViewer.search('no-such-node')") == []
    assert page.inner_text("#search-count") == "No matches"


# ------------------------------------------------------------------- export --

def test_svg_export_downloads_a_light_svg_of_every_node(viewer):
    doc = graphdocs.partitioned()
    page = viewer.open(doc, color_scheme="dark")
    assert page.evaluate("document.documentElement.dataset.theme") == "dark"
    page.click("#export-btn")
    with page.expect_download() as info:
        page.click("#export-svg")
    text = open(info.value.path(), encoding="utf-8").read()
    assert info.value.suggested_filename.endswith(".svg")
    root = ET.fromstring(text)
    ns = "{http://www.w3.org/2000/svg}"
    assert root.tag == ns + "svg"
    nodes = root.findall(f"{ns}g[@class='node']")
    assert len(nodes) == len(doc["nodes"])
    assert len(root.findall(f"{ns}path[@class='edge']")) == len(doc["edges"])
    assert root.find(f"{ns}rect").get("fill") == "#fafbfc"  # light background whatever the theme
    dashed = [p for p in root.iter(ns + "path") if p.get("stroke") == "#4285F4".lower() and p.get("stroke-dasharray")]
    assert dashed  # core 0 outlines


def test_png_export(viewer):
    page = viewer.open(graphdocs.sample_model())
    url = page.evaluate("__nivraViewer.exportPNG()")
    assert url.startswith("data:image/png;base64,")
    assert base64.b64decode(url.split(",", 1)[1])[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("kind", ["svg", "png"])
def test_export_in_a_sandboxed_frame_shows_the_image_instead(viewer, browser, tmp_path, kind):
    # As in a notebook's output: scripts run, downloads are blocked.
    from pages import render_graph_page

    from nivra.viz.notebook import srcdoc_escape

    outer = tmp_path / "outer.html"
    outer.write_text('<!DOCTYPE html><iframe sandbox="allow-scripts" style="width:1200px;height:800px" srcdoc="'
                     + srcdoc_escape(render_graph_page(graphdocs.chain(), title="chain")) + '"></iframe>', encoding="utf-8")
    context = browser.new_context(viewport={"width": 1300, "height": 900}, accept_downloads=True)
    viewer.contexts.append(context)
    page = context.new_page()
    downloads = []
    page.on("download", lambda d: downloads.append(d))
    page.on("console", lambda m: viewer.errors.append(m.text) if m.type == "error" else None)
    page.goto(outer.as_uri())
    frame = page.wait_for_selector("iframe").content_frame()
    frame.wait_for_function("document.documentElement.dataset.state === 'ready'")
    frame.click("#export-btn")
    frame.click(f"#export-{kind}")
    frame.wait_for_selector("#export-view[data-ready]")
    src = frame.get_attribute("#export-view img", "src")
    assert src.startswith(f"data:image/{'svg+xml' if kind == 'svg' else 'png'};base64,")
    assert frame.get_attribute("#export-view a[download]", "href") == src
    assert "right-click the image" in frame.inner_text("#export-view")
    frame.press("#export-view", "Escape")
    assert frame.query_selector("#export-view") is None
    assert downloads == [] and viewer.errors == []


# ------------------------------------------------------------------- safety --

def test_hostile_names_run_no_script_and_show_as_text(viewer):
    doc = graphdocs.hostile(HOSTILE)
    page = viewer.open(doc, title=HOSTILE[0] + HOSTILE[1])
    assert page.evaluate("document.documentElement.dataset.state") == "ready"
    page.click("#collapse-all")
    wait_idle(page)
    page.click("#expand-all")
    wait_idle(page)
    for name in HOSTILE:
        api(page, f"__nivraViewer.select({name!r})")
        page.wait_for_function("(n) => document.documentElement.dataset.selected === n", arg=name)
        assert name in page.inner_text("#details")
    assert api(page, "__nivraViewer.search('{{WIDTH}}')") == ["{{WIDTH}}"]
    api(page, f"__nivraViewer.search({HOSTILE[1]!r})")
    svg = page.evaluate("__nivraViewer.exportSVG()")
    ET.fromstring(svg)  # still well-formed XML
    page.wait_for_timeout(200)
    assert page.evaluate("window.__pwned") is None
    assert page.inner_text("#title") == HOSTILE[0] + HOSTILE[1]
    assert page.query_selector("img") is None and page.query_selector("#side svg, #details svg") is None
    assert HOSTILE[0] in page.inner_text("#side")
    assert not viewer.errors


@pytest.mark.parametrize("title", ["{{DATA_JSON}}", "{{WIDTH}}x{{HEIGHT}} {{TITLE}}", "a\u2028b & <c> \"d\" 'e'", ""])
def test_any_title_is_shown_as_text(viewer, title):
    page = viewer.open(graphdocs.chain(1), title=title)
    assert page.evaluate("document.documentElement.dataset.state") == "ready"
    shown = page.inner_text("#title")
    if title == "{{DATA_JSON}}":
        assert shown.startswith('{"version": "0.4.2"')  # the renderer substitutes it there too
    elif title.startswith("{{WIDTH}}"):
        assert shown == "1200x800 {{TITLE}}"
    elif title:
        assert page.evaluate("document.title") == title
    else:
        assert shown == "nivra.viz"
    assert not viewer.errors


@pytest.mark.parametrize("doc,message", [
    ({"nodes": "oops"}, 'no "nodes" list'),
    ([1, 2], "not an object"),
    ({"nodes": [None]}, "Node record 0"),
])
def test_undrawable_documents_set_the_error_state(viewer, doc, message):
    page = viewer.open(doc)
    assert page.evaluate("document.documentElement.dataset.state") == "error"
    assert message in page.inner_text("#error")


def test_unreadable_embedded_data_sets_the_error_state(viewer, browser, tmp_path):
    from pages import TEMPLATE
    html = TEMPLATE.read_text(encoding="utf-8")
    for key, value in (("TITLE", "broken"), ("DATA_JSON", "{oops"), ("WIDTH", "1200"), ("HEIGHT", "800")):
        html = html.replace("{{" + key + "}}", value)
    path = tmp_path / "broken.html"
    path.write_text(html, encoding="utf-8")
    context = browser.new_context()
    viewer.contexts.append(context)
    page = context.new_page()
    page.goto(path.as_uri())
    page.wait_for_function("document.documentElement.dataset.state === 'error'")
    assert "not valid JSON" in page.inner_text("#error")


def test_sparse_and_odd_documents_still_draw(viewer):
    """Records with only some keys, numeric ids, bad colours and shapes, dangling group references."""
    doc = {
        "nodes": [
            {"id": 1},
            {"id": "b", "type": "Conv2d", "color": "javascript:alert(1)", "shape": None, "params": {"w": [1, 2]},
             "config": {"nested": {"deep": [1, {"x": float("nan")}]}}, "input_shape": [[1, 2], [3]]},
            {"id": "c", "type": "LIF", "color": "#12345", "shape": "star", "borderColor": "red", "group": "ghost",
             "hardware": {"core_id": None}, "display_params": ["missing", 7]},
            {"id": "d" * 500, "type": "X" * 300, "shape": "diamond", "output_shape": "dynamic"},
        ],
        "edges": [{"source": 1, "target": "b"}, {"source": "b", "target": "c"}, {"source": "c", "target": "d" * 500},
                  {"source": "c", "target": "c"}, None],
        "metadata": None, "summary": None, "groups": [None, {"id": None, "nodes": ["b", "nope"]}],
        "node_to_group": {"c": "ghost"},
    }
    page = viewer.open(doc)
    assert page.evaluate("document.documentElement.dataset.state") == "ready"
    show_all(page)
    assert len(api(page, "__nivraViewer.drawnNodeIds()")) == 4
    for node_id in ["1", "b", "c", "d" * 500]:
        api(page, f"__nivraViewer.select({node_id!r})")
        assert node_id in page.inner_text("#details")
    page.click("#collapse-all")
    wait_idle(page)
    assert api(page, "__nivraViewer.collapsed") == ["null"]
    assert not viewer.errors


def test_edges_to_unknown_nodes_are_skipped(viewer):
    doc = graphdocs.chain(1)
    doc["edges"].append({"source": "fc0", "target": "ghost"})
    page = viewer.open(doc)
    assert page.evaluate("document.documentElement.dataset.state") == "ready"
    assert "Edges to unknown nodes" in page.inner_text("#side")


# ---------------------------------------------------------------- partition --

def test_partition_view_outlines_cores_and_shows_legends(viewer):
    doc = graphdocs.partitioned(cores=3)
    page = viewer.open(doc)
    show_all(page)
    frame = api(page, "__nivraViewer.lastFrame")
    assigned = sum(1 for n in doc["nodes"] if "borderColor" in n)
    assert frame["borders"] == assigned
    assert frame["crossCore"] == doc["metadata"]["partition"]["cross_core_edges"]
    side = page.inner_text("#side")
    for entry in doc["metadata"]["core_legend"]:
        assert entry["label"] in side
    assert "greedy_topological" in side and "cores used" in side and "cross-core edges" in side
    for t in doc["metadata"]["type_legend"]:
        assert t["type"] in side
    page.click("[data-core-id='1']")
    assert page.evaluate("document.documentElement.dataset.core") == "1"
    assert "on" in page.get_attribute("[data-core-id='1']", "class")
    page.click("[data-core-id='1']")
    assert page.evaluate("document.documentElement.dataset.core") == ""
    api(page, "__nivraViewer.select('layer1.bn1')")
    assert "core_id" in page.inner_text("#details")
    assert not viewer.errors


# ------------------------------------------------------------ view controls --

def test_theme_follows_system_and_toggle_persists(viewer):
    page = viewer.open(graphdocs.chain(), color_scheme="dark")
    assert page.evaluate("document.documentElement.dataset.theme") == "dark"
    page.click("#theme-btn")
    assert page.evaluate("document.documentElement.dataset.theme") == "light"
    bg = page.evaluate("getComputedStyle(document.body).backgroundColor")
    page.reload()
    page.wait_for_function("document.documentElement.dataset.state === 'ready'")
    assert page.evaluate("document.documentElement.dataset.theme") == "light"
    assert page.evaluate("getComputedStyle(document.body).backgroundColor") == bg
    page.keyboard.press("t")
    assert page.evaluate("document.documentElement.dataset.theme") == "dark"


def test_layout_direction_switch_persists(viewer):
    page = viewer.open(graphdocs.chain())
    box = lambda n: api(page, f"__nivraViewer.nodeBox({n!r})")  # noqa: E731
    assert box("output")["y"] > box("input")["y"] + 100
    page.click("#dir-lr")
    wait_idle(page)
    assert page.evaluate("document.documentElement.dataset.rankdir") == "LR"
    assert box("output")["x"] > box("input")["x"] + 100 and abs(box("output")["y"] - box("input")["y"]) < 40
    page.reload()
    page.wait_for_function("document.documentElement.dataset.state === 'ready'")
    wait_idle(page)
    assert page.evaluate("document.documentElement.dataset.rankdir") == "LR"
    assert page.get_attribute("#dir-lr", "aria-pressed") == "true"
    page.keyboard.press("l")
    wait_idle(page)
    assert page.evaluate("document.documentElement.dataset.rankdir") == "TB"


def test_wheel_zooms_around_the_pointer(viewer):
    page = viewer.open(graphdocs.sample_model())
    before = api(page, "__nivraViewer.view")
    rect = page.eval_on_selector("#view", "e => { const r = e.getBoundingClientRect(); return [r.left, r.top]; }")
    px, py = 500, 400
    page.mouse.move(px, py)
    page.mouse.wheel(0, -300)
    page.wait_for_function("(k) => __nivraViewer.view.k > k", arg=before["k"])
    after = api(page, "__nivraViewer.view")
    assert after["k"] > before["k"] * 1.2
    wx = lambda v: ((px - rect[0]) - v["tx"]) / v["k"]  # noqa: E731
    wy = lambda v: ((py - rect[1]) - v["ty"]) / v["k"]  # noqa: E731
    assert abs(wx(before) - wx(after)) < 0.5 and abs(wy(before) - wy(after)) < 0.5
    page.click("#zoom-out")
    assert api(page, "__nivraViewer.view")["k"] == pytest.approx(after["k"] * 0.8)


def test_drag_pans_and_hover_highlights_neighbours(viewer):
    page = viewer.open(graphdocs.chain())
    v0 = api(page, "__nivraViewer.view")
    page.mouse.move(700, 600)
    page.mouse.down()
    page.mouse.move(760, 640, steps=4)
    page.mouse.up()
    v1 = api(page, "__nivraViewer.view")
    assert (v1["tx"] - v0["tx"], v1["ty"] - v0["ty"]) == (60, 40)
    assert page.evaluate("document.documentElement.dataset.selected") == ""  # a drag is not a click
    box = api(page, "__nivraViewer.nodeBox('lif0')")
    page.mouse.move(box["x"] + box["width"] / 2, box["y"] + box["height"] / 2)
    page.wait_for_function("__nivraViewer.hovered === 'lif0'")
    assert "pointer" in page.get_attribute("#view", "class")


def test_help_overlay_lists_shortcuts(viewer):
    page = viewer.open(graphdocs.chain())
    page.click("#stage")
    page.keyboard.press("?")
    assert page.is_visible("#help")
    assert "Fit to screen" in page.inner_text("#help")
    page.keyboard.press("Escape")
    assert not page.is_visible("#help")
