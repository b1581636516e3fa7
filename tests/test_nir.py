"""NIR graphs: read through nir, flattened (nested subgraphs become dotted names and groups)
and turned into graph documents; `nivra-viz graph` on .nir files."""
import importlib.util
import json
import sys

import numpy as np
import pytest

nir = pytest.importorskip("nir")
if importlib.util.find_spec("nivra.viz.serialize") is None:
    pytest.skip("modules not built yet", allow_module_level=True)

from nivra.viz import constants  # noqa: E402
from nivra.viz.cli import main  # noqa: E402
from nivra.viz.importers import nir as nir_import  # noqa: E402
from nirgraphs import (NEURONS, NIR_TYPES, SYNAPSES, block, every_type_graph,  # noqa: E402
                       nested_graph, vec, weights)

def edge_set(doc):
    return {(e["source"], e["target"]) for e in doc["edges"]}


def test_every_node_type_through_a_file(tmp_path):
    path = tmp_path / "all.nir"
    nir.write(path, every_type_graph())
    read = nir_import.read(path)
    assert read.type_check_error is None and read.version == nir.version
    doc = nir_import.graph_document(read)
    json.dumps(doc, allow_nan=False)
    records = {r["id"]: r for r in doc["nodes"]}
    assert {r["type"] for r in records.values()} == set(NIR_TYPES)
    for r in records.values():
        assert r["color"] == constants.NODE_COLORS[r["type"]] != constants.DEFAULT_NODE_COLOR
        assert r["shape"] == constants.NODE_SHAPES[r["type"]] in constants.SHAPES
    assert {constants.NODE_SHAPES[t] for t in NEURONS} == {"hexagon"}
    assert {constants.NODE_SHAPES[t] for t in SYNAPSES} == {"rect"}
    # shapes come from NIR's port types, including the inferred ones
    assert (records["conv2"]["input_shape"], records["conv2"]["output_shape"]) == \
        ([2, 8, 8], [4, 8, 8])
    assert list(records["sum"]["output_shape"]) == [4, 2, 2]
    assert list(records["flat1"]["output_shape"]) == [20]
    # configuration held in small arrays is configuration, not parameters
    assert records["conv2"]["config"]["stride"] == [1, 1]
    assert records["avg"]["config"]["kernel_size"] == [2, 2] and records["avg"]["param_count"] == 0
    assert records["conv2"]["param_count"] == 4 * 2 * 3 * 3 + 4
    assert {("lif", "rec"), ("rec", "lif"), ("fc1", "lif"), ("lin", "lif")} <= edge_set(doc)
    assert doc["version"] == f"NIR {nir.version}"
    assert doc["metadata"] == {"format": "NIR", "nir_version": nir.version, "name": "all types"}
    assert [p["id"] for p in doc["summary"]["inputs"]] == ["audio", "image"]


def test_nested_subgraphs_become_groups_with_dotted_members(tmp_path):
    graph = nested_graph()
    path = tmp_path / "nested.nir"
    nir.write(path, graph)
    doc = nir_import.read_document(path)
    assert sorted(r["id"] for r in doc["nodes"]) == [
        "fb", "input", "outer.fc", "outer.inner.fc", "outer.inner.lif", "outer.lif", "output"]
    # edges into and out of the subgraphs reach the members behind their Input/Output nodes
    assert edge_set(doc) == {
        ("input", "outer.fc"), ("outer.fc", "outer.lif"), ("outer.lif", "outer.inner.fc"),
        ("outer.inner.fc", "outer.inner.lif"), ("outer.inner.lif", "output"),
        ("outer.inner.lif", "fb"), ("fb", "outer.fc")}
    groups = {g["id"]: g for g in doc["groups"]}
    assert set(groups) == {"nir:outer", "nir:outer.inner"}
    outer, inner = groups["nir:outer"], groups["nir:outer.inner"]
    assert (outer["label"], inner["label"]) == ("outer", "outer.inner")
    assert sorted(outer["nodes"]) == ["outer.fc", "outer.inner.fc", "outer.inner.lif", "outer.lif"]
    assert sorted(inner["nodes"]) == ["outer.inner.fc", "outer.inner.lif"]
    assert (outer["entry_nodes"], outer["exit_nodes"]) == (["outer.fc"], ["outer.inner.lif"])
    assert inner["metadata"]["parent"] == "outer" and inner["metadata"]["depth"] == 1
    assert outer["type"] == "NIRGraph" and outer["color"] == constants.GROUP_COLORS["NIRGraph"]
    # each node sits in its innermost group
    assert doc["node_to_group"] == {"outer.fc": "nir:outer", "outer.lif": "nir:outer",
                                    "outer.inner.fc": "nir:outer.inner",
                                    "outer.inner.lif": "nir:outer.inner"}
    assert all(r.get("group") == doc["node_to_group"].get(r["id"]) for r in doc["nodes"])
    assert [p["id"] for p in doc["summary"]["inputs"]] == ["input"]
    assert [p["id"] for p in doc["summary"]["outputs"]] == ["output"]


def test_edges_naming_members_of_subgraphs_and_odd_names():
    n = 3
    headless = nir.NIRGraph(nodes={"a": nir.Linear(weight=weights(n, n)), "b": nir.Linear(weight=weights(n, n))},
                            edges=[("a", "b")], type_check=False)
    graph = nir.NIRGraph(
        nodes={"x": nir.Input(np.array([n])), "sub": block(n, inner=block(n)), "bare": headless,
               "sub.fc": nir.Linear(weight=weights(n, n)), "empty": nir.NIRGraph({}, [], type_check=False)},
        edges=[("x", "sub.inner.lif"), ("sub.inner", "bare"), ("bare", "sub.fc"),
               ("sub.fc", "ghost"), ("x", "empty")],
        type_check=False)
    before = {k: type(v).__name__ for k, v in graph.nodes.items()}
    flat = nir_import.flatten(graph)
    assert {k: type(v).__name__ for k, v in graph.nodes.items()} == before
    # the root's own "sub.fc" does not clash with the member sub.fc
    assert {"sub.fc", "sub.fc~2", "empty"} <= set(flat.nodes)
    assert set(flat.edges) >= {
        ("x", "sub.inner.lif"),          # dotted name of a nested member
        ("sub.inner.lif", "bare.a"),     # a subgraph without Input nodes is entered at its roots
        ("bare.b", "sub.fc~2"), ("sub.fc~2", "ghost"), ("x", "empty")}
    assert not any(type(flat.nodes[n]).__name__ in ("Input", "Output") for n in flat.nodes
                   if "." in n)


def test_a_graph_failing_the_type_check_is_still_drawn(tmp_path):
    bad = nir.NIRGraph(nodes={"in": nir.Input(np.array([4])), "fc": nir.Linear(weight=weights(3, 5)),
                              "out": nir.Output(np.array([3]))},
                       edges=[("in", "fc"), ("fc", "out")], type_check=False)
    path = tmp_path / "bad.nir"
    nir.write(path, bad)
    read = nir_import.read(path)
    assert read.type_check_error
    doc = nir_import.graph_document(read)
    assert len(doc["nodes"]) == 3 and doc["metadata"]["type_check"].startswith("failed")


def test_files_that_are_not_nir_graphs(tmp_path, monkeypatch):
    import h5py

    npy = tmp_path / "a.nir"
    np.save(npy, np.arange(3))
    (tmp_path / "a.nir.npy").rename(npy)
    other = tmp_path / "events.h5"
    with h5py.File(other, "w") as f:
        f.create_dataset("events", data=np.arange(4))
    broken = tmp_path / "broken.nir"
    broken.write_bytes(nir_import.HDF5_SIGNATURE + b"\0" * 64)
    for path, words in ((npy, "not an HDF5 file"), (other, "not a NIR graph"),
                        (broken, "not a readable HDF5 file")):
        with pytest.raises(nir_import.NIRFormatError, match=words):
            nir_import.read(path)
    assert not nir_import.looks_like_hdf5(npy) and nir_import.looks_like_hdf5(other)
    monkeypatch.setitem(sys.modules, "nir", None)
    with pytest.raises(nir_import.NIRUnavailableError, match=r"pip install 'nivra-viz\[nir\]'"):
        nir_import.read(other)


def test_command_line_draws_nir_files_by_content(tmp_path, capsys, monkeypatch):
    from nivra.viz import samples

    model = tmp_path / "model.bin"  # recognised by content, not by name
    nir.write(model, samples.sample_nir_model())
    page = tmp_path / "page.html"
    assert main(["graph", str(model), "-o", str(page)]) == 0
    html = page.read_text(encoding="utf-8")
    assert "<title>tiny-recurrent-classifier</title>" in html
    assert '"nir:encoder.recurrent"' in html and f"NIR {nir.version}" in html
    capsys.readouterr()
    assert main(["partition", str(model), "-o", str(page)]) == 1
    assert "'nivra-viz graph' draws NIR graphs" in capsys.readouterr().err
    monkeypatch.setitem(sys.modules, "nir", None)
    assert main(["graph", str(model), "-o", str(page)]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "pip install 'nivra-viz[nir]'" in err


# --- files nir refuses, as older exporters wrote them ---------------------------------------

import nirfiles  # noqa: E402


def problems_of(doc, kind):
    return [p["message"] for p in doc["problems"] if p["kind"] == kind]


def test_a_refused_file_is_drawn_with_placeholders_and_mismatches(tmp_path):
    path = tmp_path / "braille.nir"
    nirfiles.write_old(path, nirfiles.braille_rnn())
    with pytest.raises(ValueError, match="references destination node 'lif'"):
        nir.read(path)
    doc = nir_import.read_document(path)
    json.dumps(doc, allow_nan=False)
    assert "references destination node 'lif'" in doc["metadata"]["nir_refused"]
    assert doc["problems"][0]["kind"] == "refused"
    records = {r["id"]: r for r in doc["nodes"]}
    # old field names: the port shape stored as "shape" on Input and Output
    assert records["input"]["output_shape"] == [12] and records["output"]["input_shape"] == [7]
    # the missing member is a placeholder, inside nothing, named as the edges name it
    ghost = records["lif1.lif"]
    assert ghost["missing"] is True and ghost["type"] == "Missing"
    assert ghost["borderStyle"] == "dashed" and ghost["color"] == constants.WARNING_COLOR
    assert problems_of(doc, "missing") == [
        f"{a} → {b}: no node named 'lif1.lif'" for a, b in
        [("fc1", "lif1.lif"), ("lif1.lif", "lif1.w_rec"), ("lif1.w_rec", "lif1.lif"),
         ("lif1.lif", "fc2")]]
    assert problems_of(doc, "unreached") == ["lif1.lif_neuron: no path from an input, none to an output"]
    marked = {(e["source"], e["target"]): e for e in doc["edges"] if "problem" in e}
    assert marked[("lif1.lif", "fc2")]["problem"] == "missing node"
    # the exporter's shape bug, found once fc2 (40 inputs) is fed by 38
    fixed = tmp_path / "fixed.nir"
    nirfiles.write_old(fixed, nirfiles.braille_rnn(dangling=False))
    doc = nir_import.read_document(fixed)
    assert problems_of(doc, "shape") == ["lif1.lif → fc2: 38 ≠ 40"]
    edge = next(e for e in doc["edges"] if e.get("source_shape"))
    assert (edge["source_shape"], edge["target_shape"]) == ([38], [40])
    assert not problems_of(doc, "missing") and not problems_of(doc, "unreached")


def test_unknown_types_and_flattened_names(tmp_path):
    path = tmp_path / "flat.nir"
    nirfiles.write_old(path, nirfiles.flattened_rnn())
    doc = nir_import.read_document(path)
    records = {r["id"]: r for r in doc["nodes"]}
    readout = records["readout"]
    assert readout["type"] == "SpikeCount" and readout["config"]["window"] == 20
    assert readout["param_count"] == 7 and readout["color"] == constants.DEFAULT_NODE_COLOR
    assert any("'SpikeCount' unknown to nir" in m for m in problems_of(doc, "file"))
    assert problems_of(doc, "refused") == [
        "nir refused this file: node types it does not know: SpikeCount"]
    scopes = [g for g in doc["groups"] if g["type"] == "Scope"]
    assert [(g["id"], g["label"], sorted(g["nodes"])) for g in scopes] == [
        ("scope:lif1", "lif1", ["lif1.lif", "lif1.w_rec"])]
    assert doc["node_to_group"]["lif1.w_rec"] == "scope:lif1"
    assert not any(g["type"] == "Scope" for g in
                   nir_import.read_document(path, scopes=False)["groups"])


def test_scopes_nest_by_dots_and_leave_subgraphs_alone():
    from nivra.viz.scopes import scope_members

    names = ["encoder.block1.conv", "encoder.block1.lif", "encoder.block2.conv",
             "encoder.block2.lif", "head.only.fc", "head.only.lif", "solo.x", "out"]
    assert scope_members(names) == {
        "encoder": names[:4], "encoder.block1": names[:2], "encoder.block2": names[2:4],
        "head.only": names[4:6]}  # "head" holds just what "head.only" holds
    assert "encoder" not in scope_members(names, taken=["encoder"])
    # a NIR subgraph is its own group; its dotted members make no second one
    doc = nir_import.graph_document(nested_graph())
    assert not any(g["type"] == "Scope" for g in doc["groups"])


@pytest.mark.parametrize("damage", ["random", "truncated", "no_node", "external_link",
                                    "huge_dataset", "deep"])
def test_damaged_files_end_in_one_line(tmp_path, damage, capsys):
    import h5py

    path = tmp_path / "model.nir"
    if damage == "random":
        path.write_bytes(nir_import.HDF5_SIGNATURE + np.random.default_rng(7).bytes(4000))
    elif damage == "truncated":
        nirfiles.write_old(path, nirfiles.braille_rnn())
        path.write_bytes(path.read_bytes()[:1500])
    else:
        with h5py.File(path, "w") as f:
            if damage == "no_node":
                f.create_dataset("weights", data=np.arange(3))
            elif damage == "external_link":
                f["node"] = h5py.ExternalLink(str(tmp_path / "other.h5"), "/node")
            elif damage == "huge_dataset":
                g = f.create_group("node")
                g.create_dataset("type", data="Linear", dtype=h5py.string_dtype())
                g.create_dataset("weight", shape=(1 << 20, 1 << 20), dtype="f4", chunks=(64, 64))
            else:
                g = f.create_group("node")
                g.create_dataset("type", data="NIRGraph", dtype=h5py.string_dtype())
                for _ in range(40):
                    g = g.create_group("nodes").create_group("n")
    words = {"random": "not a readable HDF5 file", "truncated": "", "no_node": "not a NIR graph",
             "external_link": "link to elsewhere", "huge_dataset": "declares",
             "deep": "nested deeper"}[damage]
    assert main(["graph", str(path), "-o", str(tmp_path / "page.html")]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and str(path) in err and words in err, err


def test_a_read_that_never_ends_is_given_up():
    import time

    from nivra.viz.importers import nir_h5

    with pytest.raises(nir_h5.LayoutError, match="longer than 0.5 s"):
        nir_h5.run_bounded(time.sleep, 30, seconds=0.5)
    assert nir_h5.run_bounded(np.arange, 3).tolist() == [0, 1, 2]


def test_with_other_threads_running_the_read_starts_an_interpreter(tmp_path, monkeypatch):
    """A notebook kernel runs threads; a forked child could inherit a lock one of them
    holds, so the read runs in a new interpreter there, with the same limits and result."""
    import threading
    import time

    from nivra.viz.importers import nir_h5

    path = tmp_path / "braille.nir"
    nirfiles.write_old(path, nirfiles.braille_rnn())
    alone = nir_import.read_document(path)
    stop = threading.Event()
    other = threading.Thread(target=stop.wait)
    other.start()
    try:
        monkeypatch.setattr(nir_h5, "_fork", None)  # any fork would fail
        assert nir_import.read_document(path) == alone
        with pytest.raises(nir_h5.LayoutError, match="longer than 0.5 s"):
            nir_h5.run_bounded(time.sleep, 30, seconds=0.5)
    finally:
        stop.set()
        other.join()


def _embedded(html):
    import re

    return json.loads(re.search(r'<script type="application/json" id="nivra-data">(.*?)</script>',
                                html, re.S).group(1))


def test_stored_ir_graphs_get_scopes_too(tmp_path, capsys):
    from nivra import ir
    from nivra.viz.notebook import show

    g = ir.Graph(metadata={"name": "scoped"})
    g.add_node("input", ir.Input(input_type={"input": [4]}))
    prev = "input"
    for block in ("encoder.block1", "encoder.block2"):
        for part in ("fc", "lif"):
            node = (ir.Affine(weight=np.ones((4, 4), np.float32), bias=np.zeros(4, np.float32))
                    if part == "fc" else ir.LIF(tau=vec(4), r=vec(4), v_leak=vec(4, 0),
                                                v_threshold=vec(4)))
            g.add_node(f"{block}.{part}", node)
            g.add_edge(prev, f"{block}.{part}")
            prev = f"{block}.{part}"
    model, page = tmp_path / "scoped.nvir", tmp_path / "page.html"
    ir.write(g, model)
    scoped = {}
    for extra in ([], ["--no-scopes"]):
        assert main(["graph", str(model), "-o", str(page), *extra]) == 0
        doc = _embedded(page.read_text(encoding="utf-8"))
        scoped[bool(extra)] = sorted(x["id"] for x in doc["groups"] if x["type"] == "Scope")
    assert scoped == {False: ["scope:encoder", "scope:encoder.block1", "scope:encoder.block2"],
                      True: []}
    assert doc["node_to_group"] == {} or "scope:" not in str(doc["node_to_group"])
    assert "scope:" not in show(g, scopes=False).html and "scope:encoder.block1" in show(g).html


def test_command_line_warns_of_the_problems_on_the_page(tmp_path, capsys):
    path, page = tmp_path / "braille.nir", tmp_path / "page.html"
    nirfiles.write_old(path, nirfiles.braille_rnn())
    capsys.readouterr()
    assert main(["graph", str(path), "-o", str(page)]) == 0
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "6 problems listed on the page (the first: nir refused" in err
    assert _embedded(page.read_text(encoding="utf-8"))["problems"][0]["kind"] == "refused"


@pytest.mark.parametrize("out, inp, ok", [([38], [40], False), ([1, 38], [38], True),
                                          ([1], [16, 8, 8], True), ([16, 4, 4], [256], False)])
def test_which_port_shapes_fit(out, inp, ok):
    from nivra.viz.importers.nir_checks import compatible

    assert compatible(out, inp) is ok
