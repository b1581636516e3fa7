"""NIR graphs in the graph viewer: subgraph groups collapse and expand, every node is drawn,
the header names NIR and its version."""
import sys
from pathlib import Path

import pytest

nir = pytest.importorskip("nir")
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
import graphdocs  # noqa: E402
from nirgraphs import every_type_graph, nested_graph  # noqa: E402

from nivra.viz import samples  # noqa: E402


def _document(graph):
    from nivra.viz.importers import nir as nir_import

    return nir_import.graph_document(graph)


def _nested_every_type():
    """The every-type graph as a subgraph of a nested block: three levels of groups."""
    outer = nested_graph()
    outer.nodes["outer"].nodes["inner"].nodes["all"] = every_type_graph()
    return outer


@pytest.mark.parametrize("build", [every_type_graph, nested_graph, _nested_every_type])
def test_nir_page_draws_every_node_and_its_groups(viewer, build):
    doc = _document(build())
    ids = sorted(r["id"] for r in doc["nodes"])
    page = viewer.open(doc, title="NIR")
    assert page.evaluate("document.documentElement.dataset.state") == "ready"
    assert page.inner_text("#subtitle").endswith(doc["version"])
    page.evaluate("window.__nivraViewer.fit()")
    assert sorted(page.evaluate("window.__nivraViewer.drawnNodeIds()")) == ids
    groups = [g["id"] for g in doc["groups"] if g["type"] == "NIRGraph"]
    for gid in groups:
        box = page.evaluate("(id) => window.__nivraViewer.groupBox(id)", gid)
        assert box and not box["collapsed"], gid
    page.evaluate("window.__nivraViewer.collapseAll()")
    grouped = [n for n, g in doc["node_to_group"].items() if g in groups]
    for name in grouped:
        assert page.evaluate("(id) => window.__nivraViewer.nodeBox(id).group", name), name
    for gid in groups:  # expand one by one
        page.evaluate("(id) => window.__nivraViewer.toggleGroup(id, false)", gid)
        assert not page.evaluate("(id) => window.__nivraViewer.groupBox(id).collapsed", gid)
    for name in grouped:
        assert not page.evaluate("(id) => window.__nivraViewer.nodeBox(id).group", name), name
    page.evaluate("window.__nivraViewer.fit()")
    assert sorted(page.evaluate("window.__nivraViewer.drawnNodeIds()")) == ids
    assert viewer.errors == []


@pytest.mark.parametrize("fmt", ["NIR", "IR"])
def test_header_names_the_format_and_its_version(viewer, fmt):
    doc = _document(samples.sample_nir_model()) if fmt == "NIR" else graphdocs.chain()
    page = viewer.open(doc)
    version = doc["metadata"]["nir_version"] if fmt == "NIR" else doc["version"]
    assert page.inner_text("#subtitle").endswith(f" edges · {fmt} {version}")
    rows = page.eval_on_selector_all("#side .rows .row", "rs => rs.map(r => r.innerText.split('\\n'))")
    assert [f"{fmt} version", version] in rows
    listed = page.eval_on_selector_all("#side .kv dt", "dts => dts.map(d => d.textContent)")
    assert ("format" in listed, "nir_version" in listed) == (False, False)
    if fmt == "NIR":
        assert "name" in listed  # the rest of the metadata is still listed
    assert viewer.errors == []


def _ir_nested():
    from nivra.viz.serialize import graph_to_dict

    return graph_to_dict(samples.sample_model())  # a long skip connection around three patterns


def _parents(doc):
    """Each group's parent: the smallest other group holding all its nodes."""
    sets = {g["id"]: set(g["nodes"]) for g in doc["groups"]}
    return {gid: min((o for o in sets if o != gid and s <= sets[o]), key=lambda o: len(sets[o]), default=None)
            for gid, s in sets.items()}


def _inside(inner, outer):
    return (inner["x"] >= outer["x"] and inner["y"] >= outer["y"]
            and inner["x"] + inner["width"] <= outer["x"] + outer["width"]
            and inner["y"] + inner["height"] <= outer["y"] + outer["height"])


@pytest.mark.parametrize("build", [lambda: _document(samples.sample_nir_model()), _ir_nested],
                         ids=["nir", "ir-patterns"])
def test_nested_groups_draw_inside_collapse_with_and_restore(viewer, build):
    doc = build()
    parents = _parents(doc)
    child, parent = next((c, p) for c, p in parents.items() if p is not None)
    ids = sorted(r["id"] for r in doc["nodes"])
    members = {g["id"]: g["nodes"] for g in doc["groups"]}
    page = viewer.open(doc)
    api = lambda expr, *args: page.evaluate(expr, *args)  # noqa: E731
    box = lambda gid: api("(id) => __nivraViewer.groupBox(id)", gid)  # noqa: E731
    api("__nivraViewer.fit()")
    k = api("__nivraViewer.view.k")
    assert sorted(api("__nivraViewer.drawnNodeIds()")) == ids
    boxes = {gid: box(gid) for gid in parents}
    for c, p in parents.items():
        if p is not None:  # inside its parent's frame, below the parent's label band
            assert _inside(boxes[c], boxes[p]) and boxes[c]["y"] >= boxes[p]["y"] + 26 * k, (c, p)
    for a in parents:  # frames of groups that do not nest never overlap
        for b in parents:
            if a < b and not (set(members[a]) <= set(members[b]) or set(members[b]) <= set(members[a])):
                fa, fb = boxes[a], boxes[b]
                assert (fa["x"] + fa["width"] <= fb["x"] or fb["x"] + fb["width"] <= fa["x"]
                        or fa["y"] + fa["height"] <= fb["y"] or fb["y"] + fb["height"] <= fa["y"]), (a, b)
    # the child collapsed, then its parent: one box for everything inside the parent
    api("(id) => __nivraViewer.toggleGroup(id, true)", child)
    api("(id) => __nivraViewer.toggleGroup(id, true)", parent)
    assert box(child) is None
    outer = box(parent)
    assert outer["collapsed"]
    for name in members[parent]:
        assert {**api("(id) => __nivraViewer.nodeBox(id)", name), "group": True} == {
            "x": outer["x"], "y": outer["y"], "width": outer["width"], "height": outer["height"], "group": True}, name
    inside = set(members[parent])
    unit = {n: parent if n in inside else n for n in ids}
    pairs = {(unit[e["source"]], unit[e["target"]]) for e in doc["edges"]}
    assert api("__nivraViewer.units") == len(set(unit.values()))
    assert api("__nivraViewer.edges") == len({(a, b) for a, b in pairs if a != b})
    # expanding the parent shows the child as it was: collapsed, inside the parent's frame
    api("(id) => __nivraViewer.toggleGroup(id, false)", parent)
    assert box(child)["collapsed"] and _inside(box(child), box(parent))
    # selecting a node deep inside opens every group around it
    api("__nivraViewer.collapseAll()")
    api("(id) => __nivraViewer.select(id)", members[child][0])
    page.wait_for_function("(id) => document.documentElement.dataset.selected === id", arg=members[child][0])
    page.wait_for_function("document.documentElement.dataset.layout === 'idle'")
    assert {child, parent}.isdisjoint(api("__nivraViewer.collapsed"))
    page.wait_for_function("!__nivraViewer.animating")  # the centring on the node has ended
    api("__nivraViewer.expandAll()")
    api("__nivraViewer.fit()")
    assert sorted(api("__nivraViewer.drawnNodeIds()")) == ids
    assert viewer.errors == []


def _file_document(tmp_path, tree):
    import nirfiles

    from nivra.viz.importers import nir as nir_import

    path = tmp_path / "model.nir"
    nirfiles.write_old(path, tree)
    return nir_import.read_document(path)


def test_problems_badge_panel_placeholders_and_marked_edges(viewer, tmp_path):
    import nirfiles

    doc = _file_document(tmp_path, nirfiles.braille_rnn())
    page = viewer.open(doc, title="braille")
    assert page.inner_text("#problems-count") == str(len(doc["problems"]))
    assert page.is_visible("#problems-btn")
    entries = page.eval_on_selector_all("#problems .row.problem", "rs => rs.map(r => r.innerText)")
    assert entries == [p["message"] for p in doc["problems"]]
    assert entries[0].startswith("nir refused this file: ValueError: Edge ('input', 'lif')")
    # an entry selects what it names: the placeholder of the missing member
    page.click("#problems .row.problem[data-kind=missing]")
    page.wait_for_function("document.documentElement.dataset.selected === 'lif1.lif'")
    drawn = page.evaluate("__nivraViewer.drawnEdges()")
    marked = {(e["source"], e["target"]) for e in drawn if e["warn"]}
    assert ("lif1.lif", "fc2") in marked and ("input", "fc1") not in marked
    assert viewer.errors == []


def test_mismatched_edge_tooltip_scopes_and_returning_edges(viewer, tmp_path):
    import nirfiles

    doc = _file_document(tmp_path, nirfiles.braille_rnn(dangling=False))
    page = viewer.open(doc)
    page.evaluate("__nivraViewer.fit()")
    edges = page.evaluate("__nivraViewer.drawnEdges()")
    bad = next(e for e in edges if e["warn"])
    assert (bad["source"], bad["target"], bad["warn"]) == ("lif1.lif", "fc2", "lif1.lif → fc2: 38 ≠ 40")
    page.mouse.move(bad["point"]["x"], bad["point"]["y"])
    page.wait_for_function("document.getElementById('view').title.includes('38 ≠ 40')")
    # the recurrent connection returns beside the layers; the rest reads top to bottom
    back = [(e["source"], e["target"]) for e in edges if e["back"]]
    assert back == [("lif1.w_rec", "lif1.lif")]
    box = lambda n: page.evaluate("(id) => __nivraViewer.nodeBox(id)", n)  # noqa: E731
    assert box("fc1")["y"] < box("lif1.lif")["y"] < box("lif1.w_rec")["y"] < box("lif2")["y"]
    # dotted names without a subgraph: a scope group that collapses
    flat = _file_document(tmp_path, nirfiles.flattened_rnn())
    page = viewer.open(flat)
    assert page.evaluate("__nivraViewer.groupBox('scope:lif1')")["collapsed"] is False
    page.evaluate("__nivraViewer.toggleGroup('scope:lif1', true)")
    assert page.evaluate("__nivraViewer.nodeBox('lif1.w_rec')")["group"] is True
    assert viewer.errors == []
