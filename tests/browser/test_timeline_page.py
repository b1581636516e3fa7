"""The execution timeline page in headless Chromium: bars to scale, the critical path, the
hover read-out, zoom, search, themes, exports, hostile names, and the link to the graph page."""
from __future__ import annotations

import base64
import math
import re
import xml.etree.ElementTree as ET
from types import SimpleNamespace as NS

import pytest

import schedules

timeline = pytest.importorskip("nivra.viz.timeline", exc_type=ImportError)

READY = "['ready', 'error'].includes(document.documentElement.dataset.state)"
HOSTILE = [
    "</script><script>window.__pwned=1</script>",
    "<img src=x onerror=\"window.__pwned=2\">",
    "<!--<script>window.__pwned=3</script>",
    "{{TITLE}}\u2028\u2029&amp;<svg onload=window.__pwned=4>",
]


class Pages:
    def __init__(self, browser, tmp_path):
        self.browser, self.tmp_path, self.contexts, self.errors = browser, tmp_path, [], []

    def open(self, graph, profile=None, title="Timeline", scheme="light", name=None, graph_page=None,
             timesteps=1):
        path = self.tmp_path / (name or f"t{len(self.contexts)}.html")
        doc = timeline.schedule_document(graph, profile, timesteps=timesteps)
        path.write_text(timeline.render_timeline(doc, title=title, graph_page=graph_page), encoding="utf-8")
        return self.goto(path.as_uri(), scheme)

    def goto(self, url, scheme="light"):
        context = self.browser.new_context(viewport={"width": 1400, "height": 860}, color_scheme=scheme,
                                           accept_downloads=True)
        self.contexts.append(context)
        page = context.new_page()
        page.on("console", lambda m: self.errors.append(m.text) if m.type == "error" else None)
        page.on("pageerror", lambda e: self.errors.append(str(e)))
        page.goto(url)
        page.wait_for_function(READY, timeout=60000)
        assert page.evaluate("document.documentElement.dataset.state") == "ready", \
            page.inner_text("#error-msg")
        return page


@pytest.fixture
def pages(browser, tmp_path):
    p = Pages(browser, tmp_path)
    yield p
    for c in p.contexts:
        c.close()
    assert not p.errors


def T(page, expr):
    return page.evaluate(f"window.__nivraTimeline.{expr}")


def box(page, name, step=0):
    return page.evaluate("([n, k]) => window.__nivraTimeline.barBox(n, k)", [name, step])


def test_bars_are_to_scale_one_lane_per_core(pages):
    g, profile = schedules.generated(120, 4, seed=5)
    doc = timeline.schedule_document(g, profile)
    page = pages.open(g, profile)
    px_per_us = None
    nd = doc["nodes"]
    for i in range(0, 120, 7):
        b = box(page, nd["name"][i])
        latency = nd["end"][i] - nd["start"][i]
        scale = b["width"] / latency
        px_per_us = px_per_us or scale
        assert math.isclose(scale, px_per_us, rel_tol=1e-6)
        assert b["core"] == nd["core"][i]
        # the bar starts where its start time is on the same scale
        first = box(page, nd["name"][doc["critical_path"][0]])
        assert math.isclose(b["x"] - first["x"], nd["start"][i] * px_per_us, abs_tol=0.01)
    ys = {box(page, nd["name"][i])["y"] for i in range(120) if nd["core"][i] == 2}
    assert len(ys) == 1  # one lane per core


@pytest.mark.parametrize("n, cores, seed", [(300, 5, 11), (1500, 24, 12)])
def test_critical_path_matches_a_plain_longest_path(pages, n, cores, seed):
    g, profile = schedules.generated(n, cores, seed=seed)
    ref = schedules.longest_path(g, profile.per_node_latency.__getitem__)
    page = pages.open(g, profile)
    assert math.isclose(T(page, "criticalLength"), ref, rel_tol=1e-9)
    shown = page.inner_text("#crit-length")
    unit = "ms" if ref >= 1000 else "\u00b5s"
    assert shown == f"{float(f'{ref / (1000 if unit == 'ms' else 1):.4g}'):g} {unit}"
    path = T(page, "criticalPath")
    doc = timeline.schedule_document(g, profile)
    assert path == [doc["nodes"]["name"][i] for i in doc["critical_path"]]


def test_hover_reads_out_the_node(pages):
    g = NS(nodes={"conv": schedules.node("Conv2d", "int8"), "lif": schedules.node("LIF")},
           edges=[("conv", "lif")], execution_schedule=[[["conv"]], [["lif"]]])
    page = pages.open(g, NS(per_node_latency={"conv": 1500.0, "lif": 250.5}))
    b = box(page, "lif")
    page.mouse.move(b["x"] + b["width"] / 2, b["y"] + b["height"] / 2)
    page.wait_for_function("window.__nivraTimeline.hovered === 'lif'")
    tip = page.inner_text("#tip")
    for text in ("lif", "LIF", "Core 1", "1.5 ms", "1.7505 ms", "250.5 \u00b5s", "On the critical path"):
        assert text in tip, text
    b = box(page, "conv")
    page.mouse.move(b["x"] + 5, b["y"] + 5)
    page.wait_for_function("window.__nivraTimeline.hovered === 'conv'")
    tip = page.inner_text("#tip")
    assert "Conv2d" in tip and "int8" in tip and "Core 0" in tip and "0 \u00b5s" in tip
    page.mouse.click(b["x"] + 5, b["y"] + 5)
    assert page.evaluate("document.documentElement.dataset.selected") == "conv"
    assert "inputs from other cores" in page.inner_text("#details")


def test_zoom_and_pan_keep_the_time_under_the_pointer(pages):
    g, profile = schedules.generated(400, 6, seed=7)
    page = pages.open(g, profile)
    w0 = T(page, "window")
    assert page.inner_text("#zoom-tag").endswith("ms")
    r = page.evaluate("document.getElementById('view').getBoundingClientRect().toJSON()")
    x = r["x"] + r["width"] * 0.7
    page.mouse.move(x, r["y"] + 200)
    t_at = lambda w: w["t0"] + (x - r["x"] - 196) / (r["width"] - 196) * (w["t1"] - w["t0"])  # noqa: E731
    before = t_at(w0)
    for _ in range(12):
        page.mouse.wheel(0, -240)
    page.wait_for_function("(t1) => window.__nivraTimeline.window.t1 - window.__nivraTimeline.window.t0 < (t1) / 20",
                           arg=w0["t1"] - w0["t0"])
    w1 = T(page, "window")
    assert math.isclose(t_at(w1), before, rel_tol=1e-6)
    assert page.inner_text("#zoom-tag").endswith("\u00b5s")  # the scale follows the zoom
    page.keyboard.press("d")
    page.wait_for_function("(t0) => window.__nivraTimeline.window.t0 > t0", arg=w1["t0"])
    page.keyboard.press("f")
    page.wait_for_function("(w) => Math.abs(window.__nivraTimeline.window.t1 - w) < 1e-9", arg=w0["t1"])
    drawn = T(page, "lastFrame")
    assert drawn["bars"] + drawn["runs"] > 0 and drawn["lanes"] == 6


def test_search_finds_steps_and_selects(pages):
    g, profile = schedules.generated(200, 4, seed=9)
    page = pages.open(g, profile)
    found = T(page, "search('n19')")
    assert set(found) == {"n19", "n190", "n191", "n192", "n193", "n194", "n195", "n196", "n197", "n198", "n199"}
    assert page.evaluate("document.documentElement.dataset.matches") == "11"
    page.focus("#search")
    page.keyboard.press("Enter")
    first = page.evaluate("document.documentElement.dataset.selected")
    assert first == found[0] and page.inner_text("#search-count") == "1/11"
    b, r = box(page, first), page.evaluate("document.getElementById('view').getBoundingClientRect().toJSON()")
    assert b["width"] >= 20 and r["x"] + 196 <= b["x"] and b["x"] + b["width"] <= r["x"] + r["width"]
    by_type = T(page, "search('conv2d')")
    assert by_type and all(type(g.nodes[n]).__name__ == "Conv2d" for n in by_type)
    assert T(page, "search('no such node')") == [] and page.inner_text("#search-count") == "no match"


def test_themes_follow_the_system_and_the_switch(pages):
    g, profile = schedules.generated(30, 2, seed=1)
    pixel = "(() => { const c = document.getElementById('view'); return Array.from(c.getContext('2d').getImageData(c.width - 30, c.height - 8, 1, 1).data.slice(0, 3)); })()"
    for scheme in ("light", "dark"):
        page = pages.open(g, profile, scheme=scheme)
        dark = sum(page.evaluate(pixel)) < 200
        assert dark == (scheme == "dark")
        page.click("#theme-btn")
        page.wait_for_function("(t) => document.documentElement.dataset.theme === t",
                               arg="light" if scheme == "dark" else "dark")
        page.wait_for_timeout(50)
        assert (sum(page.evaluate(pixel)) < 200) != dark


def test_hostile_names_run_nothing_and_export_well_formed(pages):
    kinds = {name: type(name, (), {})() for name in HOSTILE}
    g = NS(nodes=kinds, edges=[(HOSTILE[0], HOSTILE[1])],
           execution_schedule=[[[HOSTILE[0], HOSTILE[2]]], [[HOSTILE[1], HOSTILE[3]]]])
    for n in kinds.values():
        n.precision = HOSTILE[3]
    page = pages.open(g, NS(per_node_latency={h: 10.0 + k for k, h in enumerate(HOSTILE)}),
                      title=HOSTILE[0] + HOSTILE[3])
    for name in HOSTILE:
        assert T(page, f"select({name!r})")
        assert name in page.inner_text("#details")
        b = box(page, name)
        page.mouse.move(b["x"] + b["width"] / 2, b["y"] + b["height"] / 2)
        page.wait_for_function("(n) => window.__nivraTimeline.hovered === n", arg=name)
        assert name in page.inner_text("#tip")
    assert T(page, f"search({HOSTILE[1]!r})") == [HOSTILE[1]]
    svg = T(page, "exportSVG()")
    root = ET.fromstring(svg)
    assert HOSTILE[0] + HOSTILE[3] == root.find("{http://www.w3.org/2000/svg}title").text
    png = page.evaluate("window.__nivraTimeline.exportPNG()")
    assert base64.b64decode(png.split(",", 1)[1])[:8] == b"\x89PNG\r\n\x1a\n"
    page.wait_for_timeout(100)
    assert page.evaluate("window.__pwned") is None
    assert page.evaluate("document.title") == HOSTILE[0] + HOSTILE[3]
    assert page.query_selector("img, #side svg, #tip svg") is None


def test_without_a_profile_or_a_schedule(pages):
    g, _ = schedules.generated(20, 2, seed=2, profile=False)
    page = pages.open(g)
    assert "placeholder latencies" in page.inner_text("#subtitle")
    assert "No profile was given" in page.inner_text("#side")
    assert page.inner_text("#zoom-tag").endswith("units")
    page = pages.open(NS(nodes={}))
    assert page.is_visible("#empty") and "Run graph.partition() first" in page.inner_text("#empty")


def test_timeline_and_graph_page_link_to_each_other(pages, tmp_path):
    from nivra.viz import compiled, samples

    g = samples.sample_partitioned_model()
    compiled.visualize_partitioned(g, str(tmp_path / "parts.html"))
    page = pages.open(g, samples.sample_profile(), name="time.html", graph_page="parts.html")
    assert T(page, "select('head_conv')")
    page.click("#graph-link")
    page.wait_for_url(re.compile(r".*/parts\.html#"))
    page.wait_for_function("document.documentElement.dataset.selected === 'head_conv'", timeout=60000)
    page.wait_for_selector("#timeline-link")
    # the partition view's core legend: neurons and parameter bytes against the limits
    legend = page.evaluate("""Array.from(document.querySelectorAll('.core-bar'), (b) =>
        [b.dataset.key, b.querySelector('.bv').textContent])""")
    assert legend[:2] == [["neurons", "163,840 / 262,144"], ["bytes", "524 KiB / 2 MiB"]] and len(legend) == 8
    page.evaluate("window.__nivraViewer.select('nms')")
    page.wait_for_function("document.getElementById('timeline-link').href.endsWith('#node=nms')")
    page.click("#timeline-link")
    page.wait_for_url(re.compile(r".*/time\.html#node=nms"))
    page.wait_for_function("document.documentElement.dataset.selected === 'nms'")


def pipeline(core_usage=None, limits=None):
    # a on core 0, b on core 1, c on core 2, in a chain: core 2 is the slowest
    g = NS(nodes={n: schedules.node("LIF") for n in "abc"}, edges=[("a", "b"), ("b", "c")],
           execution_schedule=[[["a"]], [["b"]], [["c"]]],
           partition_metadata={"cross_core_edges": [("a", "b"), ("b", "c")],
                               "core_usage": core_usage or [], **(limits or {})})
    return g, NS(per_node_latency={"a": 300, "b": 390, "c": 600})


PIXEL = """([x, y]) => Array.from(document.getElementById('view').getContext('2d')
    .getImageData(Math.round(x), Math.round(y), 1, 1).data.slice(0, 3))"""


def test_timesteps_header_and_selector(pages):
    page = pages.open(*pipeline(), timesteps=8)
    assert page.inner_text("#subtitle") == ("8 timesteps \u00b7 1.29 ms per timestep \u00b7 interval 0.60 ms "
                                            "(1,667 timesteps/s) \u00b7 bottleneck: core 2")
    assert T(page, "timesteps") == 8 and T(page, "criticalPath") == ["a", "b", "c"]
    view = page.evaluate("document.getElementById('view').getBoundingClientRect().toJSON()")

    def colour(step):
        b = box(page, "b", step)
        return page.evaluate(PIXEL, [b["x"] - view["x"] + b["width"] / 2, b["y"] - view["y"] + 4])

    before = [colour(2), colour(3)]
    page.select_option("#step-select", "3")
    page.wait_for_function("document.documentElement.dataset.step === '3'")
    page.wait_for_timeout(50)
    # timestep 3 keeps its colours, the others fade; its critical path is the bottleneck's run
    assert colour(3) == before[1] and colour(2) != before[0]
    assert T(page, "criticalPath") == ["c"] and T(page, "criticalLength") == 600
    assert "critical path of timestep 3" in page.inner_text("#side")
    page.keyboard.press("]")
    assert T(page, "step") == 4
    page.select_option("#step-select", "-1")
    page.wait_for_timeout(50)
    assert [colour(2), colour(3)] == before and T(page, "criticalPath") == ["a", "b", "c"]
    # one timestep: no selector, the header of before
    page = pages.open(*pipeline())
    assert page.is_hidden("#steps") and page.inner_text("#subtitle").startswith("3 nodes")


def test_resource_bars_against_the_partition_limits(pages):
    usage = [{"core_id": 0, "neurons": 50, "param_bytes": 1024},
             {"core_id": 1, "neurons": 150, "param_bytes": 512},
             {"core_id": 2, "neurons": 100, "param_bytes": 4096}]
    g, profile = pipeline(usage, {"max_neurons_per_core": 100, "sram_bytes_per_core": 4096})
    page = pages.open(g, profile, timesteps=4)
    bars = page.evaluate("""Array.from(document.querySelectorAll('#cores .res'), (r) =>
        Array.from(r.querySelectorAll('.res-line'), (l) => [l.dataset.key, l.querySelector('.fill').style.width,
            l.classList.contains('over'), l.querySelector('.rv').textContent]))""")
    assert bars[0] == [["busy", "50%", False, "50% of the interval"], ["neurons", "50%", False, "50 / 100"],
                       ["bytes", "25%", False, "1 KiB / 4 KiB"]]
    assert bars[1][1] == ["neurons", "100%", True, "150 / 100 \u2014 over the limit"]
    assert bars[2][0][:3] == ["busy", "100%", False] and bars[2][2][1:3] == ["100%", False]
    assert page.evaluate("document.querySelectorAll('#cores .res.over').length") == 1
