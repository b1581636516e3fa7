"""nivra.viz.compiled: node colours, the partition view and the execution-schedule page."""
import collections
import json
import os
import subprocess
import sys
import types

import pytest
from hypothesis import given, settings, strategies as st

from nivra import ir
from nivra.viz import compiled, render, samples

CORE_COLORS = ["#4285F4", "#EA4335", "#34A853", "#FBBC05", "#9C27B0", "#FF6D00", "#00BCD4", "#795548",
               "#607D8B", "#E91E63", "#3F51B5", "#009688", "#CDDC39", "#FF5722", "#673AB7", "#2196F3"]
TAIL = "Check that the model fits within hardware constraints (max_neurons_per_core, sram_bytes_per_core)."

HEAD = [
    "<!DOCTYPE html>",
    '<html><head><meta charset="utf-8">',
    None,  # <title>
    "<style>",
    "body { font-family: -apple-system, sans-serif; margin: 20px; background: #1a1a2e; color: #e0e0e0; }",
    "h1 { color: #4285F4; }",
    ".core-row { display: flex; align-items: center; margin: 8px 0; }",
    ".core-label { min-width: 90px; font-weight: bold; color: #9e9e9e; }",
    ".node-chip { display: inline-block; padding: 4px 10px; margin: 2px; border-radius: 4px; font-size: 12px; "
    "position: relative; }",
    ".chip-latency { font-size: 10px; color: #aaa; margin-left: 4px; }",
    ".stage-sep { border-left: 2px solid #444; margin: 0 6px; height: 24px; display: inline-block; }",
    ".idle-bar { display: inline-block; height: 8px; background: #333; border-radius: 4px; margin-left: 4px; "
    "vertical-align: middle; }",
    ".summary { margin-top: 20px; padding: 16px; background: #16213e; border-radius: 8px; }",
    ".dep-note { font-size: 11px; color: #888; margin-top: 12px; }",
    "</style>",
    "</head><body>",
    None,  # <h1>
]


def head(title):
    esc = render._escape_html(title)
    return [f"<title>{esc}</title>" if line is None and i == 2 else f"<h1>{esc}</h1>" if line is None else line
            for i, line in enumerate(HEAD)]


def chip(name, node_type="?", fill="#90A4AE", border="#4285F4", prec="", lat=""):
    return (f'<span class="node-chip" style="background:{fill}22; border:1px solid {fill}; outline: 2px dashed '
            f'{border}; outline-offset: 1px;">{name} <small>({node_type}{prec})</small>{lat}</span>')


def label(core):
    return f'<span class="core-label" style="color:{CORE_COLORS[core % 16]}">Core {core}</span>'


MISSING = object()


def graph_of(*nodes, edges=(), assignments=MISSING, cross=MISSING, **extra):
    """An IR graph of (name, node) pairs; partition metadata when assignments/cross are given."""
    g = ir.Graph(nodes=list(nodes), edges=list(edges))
    given = {"assignments": assignments, "cross_core_edges": cross}
    if any(v is not MISSING for v in given.values()) or extra:
        g.partition_metadata = dict(extra)
        g.partition_metadata.update({k: v for k, v in given.items() if v is not MISSING})
    return g


def relu(core=None, precision=None):
    n = ir.ReLU()
    n.core_id, n.precision = core, precision
    return n


@pytest.fixture
def viewer(tmp_path, monkeypatch):
    """viewer.html reduced to title and JSON; returns a reader of written pages."""
    tdir = tmp_path / "templates"
    tdir.mkdir()
    (tdir / "viewer.html").write_text("{{TITLE}}\n{{DATA_JSON}}", encoding="utf-8")
    monkeypatch.setattr(render, "TEMPLATES_DIR", tdir)

    def read(path):
        title, data = open(path, encoding="utf-8").read().split("\n", 1)
        return title, json.loads(data)
    return read


def run_partitioned(graph, tmp_path, read, title="Partitioned Graph"):
    out = str(tmp_path / "part.html")
    assert compiled.visualize_partitioned(graph, out, title) is out
    return read(out)


# ---- module and colours --------------------------------------------------------------------

def test_module_names_and_tables():
    names = [n for n in vars(compiled) if not n.startswith("__")]
    assert names == ["json", "Any", "Dict", "List", "Optional", "ir", "graph_to_dict", "render_html",
                     "CORE_BOUNDARY_COLORS", "NODE_TYPE_COLORS", "_DEFAULT_NODE_COLOR",
                     "_node_type_color", "visualize_partitioned", "visualize_execution_schedule",
                     "_partition_document"]
    assert compiled.ir is ir and compiled.render_html is render.render_html
    assert type(compiled.CORE_BOUNDARY_COLORS) is list and compiled.CORE_BOUNDARY_COLORS == CORE_COLORS
    assert list(compiled.NODE_TYPE_COLORS)[:3] == ["Input", "Output", "Conv2d"]
    assert list(compiled.NODE_TYPE_COLORS)[-1] == "NMS" and len(compiled.NODE_TYPE_COLORS) == 32
    assert set(compiled.NODE_TYPE_COLORS) == set(ir.NODE_CLASSES)
    assert compiled.__doc__.startswith("Visualization for compiled/partitioned NIVRA IR graphs.")
    assert compiled.visualize_execution_schedule.__annotations__ == {
        "graph": "ir.Graph", "output_path": "str", "title": "str", "profile_result": "Optional[Any]",
        "return": "str"}


@pytest.mark.parametrize("node, color", [
    (ir.Input(), "#78909C"), (ir.ReLU(), "#8BC34A"), (ir.Flatten(), "#607D8B"), (None, "#90A4AE"),
    (object(), "#90A4AE"),
])
def test_node_type_color(node, color):
    assert compiled._node_type_color(node) == color


def test_node_type_color_reads_tables_at_call(monkeypatch):
    monkeypatch.setattr(compiled, "NODE_TYPE_COLORS", {"ReLU": "#000001"})
    monkeypatch.setattr(compiled, "_DEFAULT_NODE_COLOR", "#000002")
    assert compiled._node_type_color(ir.ReLU()) == "#000001"
    assert compiled._node_type_color(ir.Input()) == "#000002"


# ---- visualize_partitioned -----------------------------------------------------------------

def test_partition_view_of_the_sample_model(tmp_path, viewer):
    g = samples.sample_partitioned_model()
    before = dict(g.partition_metadata["assignments"])
    plain = {r["id"]: r for r in compiled.graph_to_dict(g)["nodes"]}
    title, data = run_partitioned(g, tmp_path, viewer, title="Parts <1>")
    assert title == "Parts &lt;1&gt;"
    assignments = g.partition_metadata["assignments"]
    assert all(assignments[k] == v for k, v in before.items())
    for rec in data["nodes"]:
        node = g.nodes[rec["id"]]
        assert rec["color"] == compiled.NODE_TYPE_COLORS[type(node).__name__]
        cid = assignments.get(rec["id"])
        if cid is None:
            assert "borderColor" not in rec
        else:
            assert (rec["borderColor"], rec["borderStyle"], rec["borderWidth"]) == (CORE_COLORS[cid % 16], "dashed", 3)
            assert rec["hardware"]["core_id"] == cid
            # existing keys keep their place, new ones go to the end in order
            assert list(rec) == list(plain[rec["id"]]) + ["borderColor", "borderStyle", "borderWidth"]
    cross = {tuple(p) for p in g.partition_metadata["cross_core_edges"]}
    for e in data["edges"]:
        marked = (e["source"], e["target"]) in cross
        assert (e.get("style"), e.get("cross_core")) == (("dashed", True) if marked else (None, None))
    meta = data["metadata"]
    assert list(meta)[-3:] == ["partition", "core_legend", "type_legend"]
    pm = g.partition_metadata
    assert meta["partition"] == {"num_cores_used": pm["num_cores_used"], "algorithm": pm["algorithm"],
                                 "cross_core_edges": len(cross), "max_neurons_per_core": 1 << 18,
                                 "sram_bytes_per_core": 1 << 21}
    counts = {}
    for v in assignments.values():
        counts[v] = counts.get(v, 0) + 1
    usage = {u["core_id"]: u for u in pm["core_usage"]}
    assert meta["core_legend"] == [{"core_id": k, "color": CORE_COLORS[k % 16], "node_count": n, "label": f"Core {k}",
                                    "neurons": usage[k]["neurons"], "param_bytes": usage[k]["param_bytes"]}
                                   for k, n in sorted(counts.items())]
    types_used = sorted({type(n).__name__ for n in g.nodes.values()})
    assert [t["type"] for t in meta["type_legend"]] == types_used


def test_partition_document_is_the_page_before_rendering(tmp_path, viewer):
    g = samples.sample_partitioned_model()
    _, data = run_partitioned(g, tmp_path, viewer)
    assert json.loads(json.dumps(compiled._partition_document(g))) == data
    with pytest.raises(ValueError, match="could not be assigned to a core"):
        compiled._partition_document(samples.sample_model())


def test_io_only_graph_without_metadata(tmp_path, viewer):
    g = graph_of(("in", ir.Input()), ("out", ir.Output()), edges=[("in", "out")])
    _, data = run_partitioned(g, tmp_path, viewer)
    assert all("borderColor" not in r for r in data["nodes"])
    assert "partition" not in data["metadata"]
    assert data["metadata"]["core_legend"] == []
    assert data["metadata"]["type_legend"] == [{"type": "Input", "color": "#78909C"},
                                               {"type": "Output", "color": "#78909C"}]


def test_core_id_fallback_and_write_back(tmp_path, viewer):
    meta_assign = {"a": 0}
    g = graph_of(("in", ir.Input()), ("a", relu(core=5)), ("b", relu(core=17)), ("c", relu(core=-1)),
                 assignments=meta_assign)
    _, data = run_partitioned(g, tmp_path, viewer)
    # a keeps its metadata core; b and c come from core_id and are written back into the same dict
    assert g.partition_metadata["assignments"] is meta_assign
    assert meta_assign == {"a": 0, "b": 17, "c": -1}
    borders = {r["id"]: r.get("borderColor") for r in data["nodes"]}
    assert borders == {"in": None, "a": "#4285F4", "b": "#EA4335", "c": "#2196F3"}
    assert data["metadata"]["core_legend"] == [
        {"core_id": -1, "color": "#2196F3", "node_count": 1, "label": "Core -1"},
        {"core_id": 0, "color": "#4285F4", "node_count": 1, "label": "Core 0"},
        {"core_id": 17, "color": "#EA4335", "node_count": 1, "label": "Core 17"}]


def test_core_usage_rows_that_cannot_be_read_are_passed_over(tmp_path, viewer):
    g = graph_of(("a", relu()), ("b", relu()), ("c", relu()), assignments={"a": 0, "b": 1, "c": 2})
    g.partition_metadata.update(max_neurons_per_core="many", sram_bytes_per_core=2048, core_usage=[
        "row", {"core_id": [0]}, {"core_id": 0, "neurons": True, "param_bytes": 100},
        {"core_id": 1, "neurons": 7.5}, {"neurons": 3}])
    _, data = run_partitioned(g, tmp_path, viewer)
    legend = {c["core_id"]: c for c in data["metadata"]["core_legend"]}
    assert ("neurons" not in legend[0], legend[0]["param_bytes"], legend[1]["neurons"]) == (True, 100, 7.5)
    assert "neurons" not in legend[2] and "param_bytes" not in legend[1]
    assert "max_neurons_per_core" not in data["metadata"]["partition"]
    assert data["metadata"]["partition"]["sram_bytes_per_core"] == 2048


def test_fallback_without_metadata_counts_in_legend(tmp_path, viewer):
    g = graph_of(("a", relu(core=10**30)), ("b", relu(core=10**30)))
    _, data = run_partitioned(g, tmp_path, viewer)
    assert data["metadata"]["core_legend"] == [
        {"core_id": 10**30, "color": CORE_COLORS[10**30 % 16], "node_count": 2, "label": f"Core {10**30}"}]
    assert "partition" not in data["metadata"]


@pytest.mark.parametrize("count", [1, 5, 7])
def test_unassigned_primitives_are_refused(tmp_path, viewer, count):
    names = ["conv1"] if count == 1 else [chr(ord("a") + i) for i in range(count)]
    g = graph_of(("in", ir.Input()), *[(n, relu()) for n in names], ("out", ir.Output()))
    out = tmp_path / "never.html"
    with pytest.raises(ValueError) as info:
        compiled.visualize_partitioned(g, str(out))
    shown = ", ".join(names[:5]) + (" ..." if count > 5 else "")
    assert str(info.value) == f"{count} primitive(s) could not be assigned to a core: {shown}. {TAIL}"
    assert not out.exists()


def test_unassigned_check_skipped_without_input_output(tmp_path, viewer, monkeypatch):
    fake = types.ModuleType("nivra.ir")
    monkeypatch.setitem(sys.modules, "nivra.ir", fake)
    g = graph_of(("a", relu()))
    _, data = run_partitioned(g, tmp_path, viewer)
    assert "borderColor" not in data["nodes"][0]


def test_cross_core_pairs_duplicates_and_direction(tmp_path, viewer):
    g = graph_of(("a", relu()), ("b", relu()), ("c", relu()),
                 edges=[("a", "b"), ("b", "c"), ("c", "a")],
                 assignments={"a": 0, "b": 1, "c": 1}, cross=[("a", "b"), ["a", "b"], ("a", "c")])
    _, data = run_partitioned(g, tmp_path, viewer)
    marked = [(e["source"], e["target"]) for e in data["edges"] if e.get("cross_core")]
    assert marked == [("a", "b")]  # (a, c) marks no edge c -> a
    assert data["metadata"]["partition"] == {"num_cores_used": 0, "algorithm": "unknown", "cross_core_edges": 2}


def test_record_not_in_graph_keeps_colour_but_gets_border(tmp_path, viewer, monkeypatch):
    real = compiled.graph_to_dict

    def with_ghost(graph, detect_patterns=True):
        doc = real(graph, detect_patterns=detect_patterns)
        doc["nodes"].append({"id": "ghost", "color": "#123456", "hardware": {"x": 1}})
        return doc
    monkeypatch.setattr(compiled, "graph_to_dict", with_ghost)
    g = graph_of(("a", relu()), assignments={"a": 2, "ghost": 3})
    _, data = run_partitioned(g, tmp_path, viewer)
    ghost = data["nodes"][-1]
    assert ghost == {"id": "ghost", "color": "#123456", "hardware": {"x": 1, "core_id": 3},
                     "borderColor": "#FBBC05", "borderStyle": "dashed", "borderWidth": 3}
    assert data["metadata"]["core_legend"][1]["node_count"] == 1  # ghost counts


class Odd(ir.ReLU):
    pass


def test_unknown_class_in_type_legend(tmp_path, viewer):
    g = graph_of(("x", Odd()), ("y", Odd()), ("r", relu()), assignments={"x": 0, "y": 0, "r": 0})
    _, data = run_partitioned(g, tmp_path, viewer)
    assert data["metadata"]["type_legend"] == [{"type": "Odd", "color": "#90A4AE"},
                                               {"type": "ReLU", "color": "#8BC34A"}]
    assert data["nodes"][0]["color"] == "#90A4AE"


@pytest.mark.parametrize("assignments, cross, exc, message", [
    (collections.OrderedDict(a=0), None, TypeError, "Expected dict, got"),
    (None, None, TypeError, "'NoneType' object is not iterable"),
    ({"a": 0}, [("a", "b", "c")], ValueError, "too many values to unpack (expected 2)"),
    ({"a": 0}, [("a",)], ValueError, "need more than 1 value to unpack"),
    ({"a": "zero"}, None, TypeError, "not all arguments converted"),
])
def test_partition_view_errors(tmp_path, viewer, assignments, cross, exc, message):
    g = graph_of(("a", relu()), assignments=assignments, cross=cross)
    with pytest.raises(exc) as info:
        compiled.visualize_partitioned(g, str(tmp_path / "x.html"))
    assert message in str(info.value)


# ---- visualize_execution_schedule: a reference made step by step ---------------------------

def schedule_model(graph, title="Execution Schedule", profile_result=None, escape_colours=True):
    esc = render._escape_html
    colour = esc if escape_colours else str
    schedule = {}
    if getattr(graph, "execution_schedule", None):
        schedule = dict(enumerate(graph.execution_schedule))
    elif getattr(graph, "partition_metadata", None):
        core_nodes = {}
        for name, cid in graph.partition_metadata.get("assignments", {}).items():
            core_nodes.setdefault(cid, []).append(name)
        schedule = {cid: [names] for cid, names in sorted(core_nodes.items())}
    lat_of = {}
    if profile_result is not None and hasattr(profile_result, "per_node_latency"):
        lat_of = profile_result.per_node_latency
    cross = set()
    if getattr(graph, "partition_metadata", None):
        cross = {(s, t) for s, t in graph.partition_metadata.get("cross_core_edges", [])}
    totals = {}
    for cid, groups in schedule.items():
        totals[cid] = 0.0
        for group in groups:
            for n in group:
                totals[cid] += lat_of.get(n, 0.0)
    top = max(totals.values()) if totals else 1.0
    lines = head(title)
    if not schedule:
        return "\n".join(lines + ["<p>No execution schedule available. Run graph.partition() first.</p>",
                                  "</body></html>"])
    for cid, groups in sorted(schedule.items()):
        border = colour(compiled.CORE_BOUNDARY_COLORS[cid % len(compiled.CORE_BOUNDARY_COLORS)])
        lines += ['<div class="core-row">', f'<span class="core-label" style="color:{border}">Core {esc(str(cid))}</span>']
        for i, group in enumerate(groups):
            if i:
                lines.append('<span class="stage-sep"></span>')
            for n in group:
                node = graph.nodes.get(n)
                lat = lat_of.get(n, 0.0)
                prec = getattr(node, "precision", "") if node else ""
                lines.append(chip(esc(str(n)), esc(type(node).__name__) if node else "?",
                                  colour(compiled._node_type_color(node) if node else compiled._DEFAULT_NODE_COLOR), border,
                                  f" [{esc(str(prec))}]" if prec else "",
                                  f'<span class="chip-latency">{lat:.1f} us</span>' if lat > 0 else ""))
        idle = (1.0 - totals.get(cid, 0.0) / top) * 100 if top > 0 else 0
        if idle > 1:
            lines.append(f'<span class="idle-bar" style="width:{idle:.0f}px" title="~{idle:.0f}% idle"></span>')
        lines.append("</div>")
    if cross:
        lines += ['<div class="dep-note">', f"<strong>Cross-core data dependencies ({len(cross)}):</strong><br>"]
        lines += [f"  {esc(str(s))} &rarr; {esc(str(t))}<br>" for s, t in sorted(cross)]
        lines.append("</div>")
    total = sum(totals.values())
    lines += ['<div class="summary">', f"<strong>Cores:</strong> {len(schedule)} | ",
              f"<strong>Nodes:</strong> {sum(len(g) for gs in schedule.values() for g in gs)}"]
    if total > 0:
        lines += [f" | <strong>Total latency:</strong> {total:,.1f} us", f" | <strong>Critical path:</strong> {top:,.1f} us"]
    stage = graph.get_stage() if hasattr(graph, "get_stage") else "unknown"
    lines += [f" | <strong>Stage:</strong> {esc(str(stage))}", "</div>", "</body></html>"]
    return "\n".join(lines)


class Profile:
    def __init__(self, lat):
        self.per_node_latency = lat


def schedule_page(graph, tmp_path, **kwargs):
    out = str(tmp_path / "sched.html")
    assert compiled.visualize_execution_schedule(graph, out, **kwargs) is out
    with open(out, encoding="utf-8", newline="") as f:
        return f.read()


def test_schedule_of_the_sample_model_matches_reference(tmp_path):
    g = samples.sample_partitioned_model()
    profile = samples.sample_profile()
    for kwargs in ({}, {"profile_result": profile}, {"title": "Sched é <x>", "profile_result": profile}):
        page = schedule_page(g, tmp_path, **kwargs)
        # the colours are escaped, and escaping leaves every colour of the tables as it is
        assert page == schedule_model(g, **kwargs) == schedule_model(g, escape_colours=False, **kwargs)


def test_no_schedule_page(tmp_path):
    for g in (graph_of(("a", relu())), graph_of(("a", relu()), assignments={})):
        g.execution_schedule = [] if g.partition_metadata is not None else None
        page = schedule_page(g, tmp_path)
        lines = page.split("\n")
        assert lines[:17] == head("Execution Schedule") and len(lines) == 19
        assert lines[17:] == ["<p>No execution schedule available. Run graph.partition() first.</p>", "</body></html>"]


class Bare:
    """A graph without get_stage."""

    def __init__(self, nodes, execution_schedule=None, partition_metadata=None):
        self.nodes = nodes
        if execution_schedule is not None:
            self.execution_schedule = execution_schedule
        if partition_metadata is not None:
            self.partition_metadata = partition_metadata


def test_two_core_schedule_without_profile(tmp_path):
    g = Bare({n: relu() for n in "abcd"}, execution_schedule=[[["a", "b"], ["c"]], [["d"]]])
    lines = schedule_page(g, tmp_path).split("\n")
    body = lines[17:]
    assert body == [
        '<div class="core-row">', label(0), chip("a", "ReLU", "#8BC34A", "#4285F4"),
        chip("b", "ReLU", "#8BC34A", "#4285F4"), '<span class="stage-sep"></span>',
        chip("c", "ReLU", "#8BC34A", "#4285F4"), "</div>",
        '<div class="core-row">', label(1), chip("d", "ReLU", "#8BC34A", "#EA4335"), "</div>",
        '<div class="summary">', "<strong>Cores:</strong> 2 | ", "<strong>Nodes:</strong> 4",
        " | <strong>Stage:</strong> unknown", "</div>", "</body></html>"]


def test_schedule_from_partition_metadata(tmp_path):
    g = graph_of(("a", relu()), ("b", relu()), ("c", relu()), assignments={"a": 1, "b": 0, "c": 1})
    body = schedule_page(g, tmp_path).split("\n")[17:]
    assert body[:7] == ['<div class="core-row">', label(0), chip("b", "ReLU", "#8BC34A", CORE_COLORS[0]), "</div>",
                        '<div class="core-row">', label(1), chip("a", "ReLU", "#8BC34A", CORE_COLORS[1])]
    assert body[7] == chip("c", "ReLU", "#8BC34A", CORE_COLORS[1])
    assert " | <strong>Stage:</strong> partitioned" in body


def test_execution_schedule_wins_but_dependencies_come_from_metadata(tmp_path):
    g = graph_of(("a", relu()), ("b", relu()), assignments={"a": 5, "b": 6}, cross=[("b", "a"), ("a", "b"), ("a", "b")])
    g.execution_schedule = [[["a", "b"]]]
    page = schedule_page(g, tmp_path)
    assert label(0) in page and "Core 5" not in page
    assert ('<div class="dep-note">\n<strong>Cross-core data dependencies (2):</strong><br>\n'
            "  a &rarr; b<br>\n  b &rarr; a<br>\n</div>") in page
    assert page == schedule_model(g)


def test_missing_node_precision_and_latency_chips(tmp_path):
    lif = ir.ReLU()
    lif.precision = "int8"
    g = Bare({"n": lif}, execution_schedule=[[["n", "ghost"]]])
    lines = schedule_page(g, tmp_path, profile_result=Profile({"n": 12.34})).split("\n")
    assert lines[19] == chip("n", "ReLU", "#8BC34A", "#4285F4", " [int8]", '<span class="chip-latency">12.3 us</span>')
    assert lines[20] == chip("ghost")


@pytest.mark.parametrize("lat, bars, summary", [
    ({"a": 30.0, "b": 10.0}, [None, "67"], ("40.0", "30.0")),
    ({"a": 8.0, "b": 3.0}, [None, "62"], ("11.0", "8.0")),       # 62.5 rounds half to even
    ({"a": 8.0, "b": 7.0}, [None, "12"], ("15.0", "8.0")),       # 12.5 -> 12
    ({"a": 12345.0, "b": 12345.0}, [None, None], ("24,690.0", "12,345.0")),
    ({"a": 50.0, "b": 49.75}, [None, None], ("99.8", "50.0")),  # under 1 % idle: no bar
    ({}, [None, None], None),
])
def test_idle_bars_and_summary_numbers(tmp_path, lat, bars, summary):
    g = Bare({"a": relu(), "b": relu()}, execution_schedule=[[["a"]], [["b"]]])
    page = schedule_page(g, tmp_path, profile_result=Profile(lat))
    for core, width in enumerate(bars):
        row = page.split(label(core))[1].split("</div>")[0]
        if width is None:
            assert "idle-bar" not in row
        else:
            assert f'<span class="idle-bar" style="width:{width}px" title="~{width}% idle"></span>' in row
    if summary is None:
        assert "Total latency" not in page
    else:
        assert f" | <strong>Total latency:</strong> {summary[0]} us\n | <strong>Critical path:</strong> {summary[1]} us" in page
    assert page == schedule_model(g, profile_result=Profile(lat))


def test_schedule_escapes_every_text_from_the_graph(tmp_path):
    class Stage:
        def __init__(self, graph):
            self.__dict__.update(vars(graph))

        def get_stage(self):
            return "<b>stage</b>"

    hostile = "<img src=x onerror=alert(1)>"
    node = Odd()
    node.precision = "'fp\"16'"
    g = Bare({hostile: node}, execution_schedule=[[[hostile]]],
             partition_metadata={"cross_core_edges": [(hostile, "a&b")]})
    page = schedule_page(Stage(g), tmp_path, title="<script>x</script>")
    assert "<img" not in page and "<script>" not in page and "<b>" not in page
    assert "&lt;img src=x onerror=alert(1)&gt;" in page and "&lt;b&gt;stage&lt;/b&gt;" in page
    assert "[&#x27;fp&quot;16&#x27;]" in page and "a&amp;b" in page
    assert page == schedule_model(Stage(g), title="<script>x</script>")

    class CoreId(int):
        def __str__(self):
            return "<7>"
    g2 = Bare({}, partition_metadata={"assignments": {"n": CoreId(7)}})
    assert '#795548">Core &lt;7&gt;</span>' in schedule_page(g2, tmp_path)


def test_schedule_escapes_colours_from_the_tables(tmp_path, monkeypatch):
    evil = 'red" onmouseover="window.x=1" x="'
    monkeypatch.setitem(compiled.NODE_TYPE_COLORS, "ReLU", evil)
    monkeypatch.setattr(compiled, "CORE_BOUNDARY_COLORS", ["#123456'><b>"] * 16)
    monkeypatch.setattr(compiled, "_DEFAULT_NODE_COLOR", "#90A4AE&<script>")
    g = Bare({"a": relu()}, execution_schedule=[[["a", "ghost"]]])
    page = schedule_page(g, tmp_path)
    assert 'onmouseover="' not in page and "<b>" not in page and "<script>" not in page
    assert 'style="background:red&quot; onmouseover=&quot;window.x=1&quot; x=&quot;22;' in page
    assert 'style="color:#123456&#x27;&gt;&lt;b&gt;">Core 0' in page and "#90A4AE&amp;&lt;script&gt;22;" in page
    assert page == schedule_model(g)


def test_pages_are_utf8_whatever_the_locale(tmp_path):
    script = (
        "import sys; from nivra.viz import compiled, render; from nivra import ir\n"
        "g = ir.Graph(nodes=[('\\u00e9\\u2603', ir.ReLU())]); g.execution_schedule = [[['\\u00e9\\u2603']]]\n"
        "compiled.visualize_execution_schedule(g, sys.argv[1], 'R\\u00e9seau \\u2603')\n")
    out = tmp_path / "u.html"
    env = dict(os.environ, LC_ALL="C", LANG="C", PYTHONUTF8="0", PYTHONCOERCECLOCALE="0")
    subprocess.run([sys.executable, "-c", script, str(out)], check=True, env=env)
    text = out.read_bytes().decode("utf-8")
    assert "<title>Réseau ☃</title>" in text and ">é☃ <small>" in text


@pytest.mark.parametrize("latency, exc, message", [
    (collections.OrderedDict(), TypeError, "Expected dict, got"),
    (None, AttributeError, "'NoneType' object has no attribute 'get'"),
    ({"a": "slow"}, TypeError, None),
])
def test_schedule_errors(tmp_path, latency, exc, message):
    g = Bare({"a": relu()}, execution_schedule=[[["a"]]])
    out = tmp_path / "e.html"
    with pytest.raises(exc, match=message):
        compiled.visualize_execution_schedule(g, str(out), profile_result=Profile(latency))
    assert not out.exists()


def test_schedule_colours_a_node_before_comparing_its_latency(tmp_path, monkeypatch):
    seen = []
    monkeypatch.setattr(compiled, "_node_type_color", lambda node: seen.append(node) or "#123456")
    node = relu()
    g = Bare({"a": node}, execution_schedule=[[["a"]]])
    with pytest.raises(TypeError):  # complex latencies add up but cannot be compared
        compiled.visualize_execution_schedule(g, str(tmp_path / "e.html"), profile_result=Profile({"a": 2j}))
    assert seen == [node]


def test_schedule_fallback_errors(tmp_path):
    g = Bare({}, partition_metadata={"assignments": None})
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'items'"):
        compiled.visualize_execution_schedule(g, str(tmp_path / "e.html"))


def test_arguments(tmp_path):
    with pytest.raises(TypeError, match=r"takes at least 2 positional arguments \(1 given\)"):
        compiled.visualize_execution_schedule(None)
    with pytest.raises(TypeError, match=r"takes at most 4 positional arguments \(5 given\)"):
        compiled.visualize_execution_schedule(None, "a", "b", None, 1)
    with pytest.raises(TypeError, match="Argument 'output_path' has incorrect type"):
        compiled.visualize_partitioned(graph_of(), tmp_path / "p.html")


def test_partition_view_embeds_json_safely(tmp_path, monkeypatch):
    tdir = tmp_path / "templates"
    tdir.mkdir()
    (tdir / "viewer.html").write_text("<script>const D = {{DATA_JSON}};</script>", encoding="utf-8")
    monkeypatch.setattr(render, "TEMPLATES_DIR", tdir)
    hostile = "</script><script>alert(1)</script>"
    g = graph_of((hostile, relu()), assignments={hostile: 1})
    out = tmp_path / "p.html"
    compiled.visualize_partitioned(g, str(out), title="T")
    page = out.read_text(encoding="utf-8")
    assert page.count("</script>") == 1
    data = json.loads(page[len("<script>const D = "):-len(";</script>")])
    assert data["nodes"][0]["id"] == hostile and data["nodes"][0]["borderColor"] == "#EA4335"


names = st.sampled_from(["a", "b", "c", "<x>", "é", "d&d", "'q'", "ghost"])
latencies = st.dictionaries(names, st.one_of(st.floats(0, 1e7, allow_nan=False), st.integers(-5, 10**6)), max_size=8)
schedules = st.lists(st.lists(st.lists(names, max_size=4), max_size=3), max_size=5)


@settings(max_examples=150, deadline=None)
@given(schedule=schedules, lat=st.one_of(st.none(), latencies), cross=st.lists(st.tuples(names, names), max_size=4),
       title=st.text(max_size=6))
def test_schedule_page_matches_reference(tmp_path_factory, schedule, lat, cross, title):
    nodes = {"a": relu(precision="int8"), "b": Odd(), "c": ir.Input(), "<x>": relu(), "é": relu(precision="")}
    g = Bare(nodes, execution_schedule=schedule, partition_metadata={"cross_core_edges": cross})
    profile = None if lat is None else Profile(lat)
    out = str(tmp_path_factory.mktemp("s") / "p.html")
    compiled.visualize_execution_schedule(g, out, title, profile)
    with open(out, encoding="utf-8", newline="") as f:
        assert f.read() == schedule_model(g, title=title, profile_result=profile)
