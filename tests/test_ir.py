import json
import zipfile
from dataclasses import fields
from pathlib import Path

import numpy as np
import pytest

from nivra import ir
from nivra.ir.partition import node_neurons
from nivra.viz.samples import sample_model

NODE_TYPE_NAMES = [
    "Input", "Output", "Conv2d", "Conv1d", "SepConv2d", "Affine", "SpikingAffine", "LIF",
    "ReLU", "Sigmoid", "Tanh", "Softmax", "BatchNorm1d", "BatchNorm2d", "LayerNorm",
    "MaxPool2d", "AvgPool2d", "Flatten", "Dropout", "Skip", "Upsample", "HybridRegion",
    "ChannelSplit", "Concat", "SGhostConv", "SGhostEncoderLite", "GhostBasicBlock1",
    "GhostBasicBlock2", "SDDetect", "DFLDecode", "Dist2BBox", "NMS",
]


def lif(n=4):
    return ir.LIF(tau=np.full(n, 2.0), r=np.ones(n), v_leak=np.zeros(n), v_threshold=np.ones(n))


def small_graph():
    g = ir.Graph(metadata={"name": "small"})
    g.add_node("in", ir.Input(input_type={"input": [2, 8, 8]}, output_type={"output": [2, 8, 8]}))
    g.add_node("conv", ir.Conv2d(weight=np.arange(72, dtype=np.float32).reshape(4, 2, 3, 3)))
    g.add_node("lif", lif())
    g.add_node("out", ir.Output(output_type={"output": (4,)}))
    g.chain("in", "conv", "lif", "out")
    return g


def store(graph, tmp_path, name="g.nvir"):
    path = tmp_path / name
    ir.write(graph, path)
    return ir.read(path)


def assert_graphs_equal(a, b):
    assert list(a.nodes) == list(b.nodes)
    for name in a.nodes:
        assert ir.nodes_equal(a.nodes[name], b.nodes[name]), name
    assert a.edges == b.edges and all(type(e) is tuple for e in b.edges)
    assert ir.nodes._values_equal(a.metadata, b.metadata)
    assert ir.nodes._values_equal(a.partition_metadata, b.partition_metadata)
    assert ir.nodes._values_equal(a.execution_schedule, b.execution_schedule)


# --- node classes -------------------------------------------------------------------------

def test_registry_holds_exactly_the_node_types():
    assert list(ir.NODE_CLASSES) == NODE_TYPE_NAMES
    for name, cls in ir.NODE_CLASSES.items():
        assert cls.__name__ == name and getattr(ir, name) is cls and issubclass(cls, ir.Node)


@pytest.mark.parametrize("name", NODE_TYPE_NAMES)
def test_every_node_type_has_ports_and_optional_hardware_attributes(name):
    cls = ir.NODE_CLASSES[name]
    names = [f.name for f in fields(cls)]
    assert "input_type" in names and "output_type" in names
    for attr in ("precision", "core_id", "hardware_hints"):
        assert attr not in names and attr not in cls.__dataclass_fields__
    node = _example(cls)
    assert getattr(node, "precision") is None and node.core_id is None and node.hardware_hints is None
    node.core_id = 3
    assert node.core_id == 3 and cls.core_id is None


def _example(cls):
    """An instance of ``cls`` with every required field filled."""
    kwargs = {}
    for f in fields(cls):
        if f.init and f.default is f.default_factory is __import__("dataclasses").MISSING:
            kwargs[f.name] = {"num_features": 4, "normalized_shape": (4,), "num_classes": 3,
                              "kernel_size": (2, 2)}.get(f.name, np.ones((4, 2, 3, 3), np.float32))
    return cls(**kwargs)


def test_ports_become_int_shape_arrays_and_pairs_are_normalised():
    node = ir.Conv2d(weight=np.zeros((8, 2, 3, 5)), stride=2, padding=[1, 2],
                     input_type={"input": [2, 16, 16]}, output_type={"output": (8, 8, 8)})
    shape = node.input_type["input"]
    assert isinstance(shape, np.ndarray) and shape.dtype == np.int64 and shape.tolist() == [2, 16, 16]
    assert node.output_shape == (8, 8, 8)
    assert node.kernel_size == (3, 5) and node.stride == (2, 2) and node.padding == (1, 2)
    assert ir.MaxPool2d(kernel_size=3).kernel_size == (3, 3)
    with pytest.raises(ValueError):
        ir.Input(input_type={"input": [1.5, 2]})


def test_param_count_counts_array_fields():
    node = ir.Affine(weight=np.zeros((128, 784), np.float32), bias=np.zeros(128, np.float32))
    assert node.param_count() == 100480 and node.param_bytes() == 100480 * 4
    assert list(node.arrays()) == ["weight", "bias"]


# --- graph ----------------------------------------------------------------------------------

def test_graph_building_validates():
    g = small_graph()
    with pytest.raises(ValueError, match="duplicate node"):
        g.add_node("conv", ir.ReLU())
    with pytest.raises(TypeError):
        g.add_node(1, ir.ReLU())
    with pytest.raises(TypeError):
        g.add_node("x", object())
    with pytest.raises(KeyError):
        g.add_edge("conv", "nowhere")
    with pytest.raises(ValueError, match="self-loop"):
        g.add_edge("lif", "lif")
    with pytest.raises(ValueError, match="duplicate edge"):
        g.add_edge("in", "conv")
    g.edges.append(("in", "lif"))  # edited directly: still seen as present
    with pytest.raises(ValueError, match="duplicate edge"):
        g.add_edge("in", "lif")


def test_structure_queries():
    g = small_graph()
    g.add_node("relu", ir.ReLU())
    g.add_edge("in", "relu")
    g.add_edge("relu", "lif")
    assert g.successors("in") == ["conv", "relu"]
    assert g.predecessors("lif") == ["conv", "relu"]
    assert g.inputs() == ["in"] and g.outputs() == ["out"]
    order = g.topological_order()
    assert all(order.index(s) < order.index(t) for s, t in g.edges)
    assert g.levels() == {"in": 0, "conv": 1, "relu": 1, "lif": 2, "out": 3}
    g.add_edge("lif", "conv")
    with pytest.raises(ValueError, match="cycle"):
        g.topological_order()


# --- storage --------------------------------------------------------------------------------

DTYPES = [
    "?", "i1", "i2", "<i4", ">i4", "i8", "u1", "u2", "u4", "u8", "e", "<f4", ">f8", "f8",
    "g", "c8", "c16", "M8[ns]", "m8[us]", "U5", "S3", [("x", "<u2"), ("t", "<i8")],
]


@pytest.mark.parametrize("dtype", DTYPES, ids=str)
def test_arrays_round_trip_bit_exact_for_every_dtype(tmp_path, dtype):
    rng = np.random.default_rng(0)
    raw = rng.integers(0, 256, size=64 * np.dtype(dtype).itemsize, dtype=np.uint8)
    arr = raw.view(np.dtype(dtype)).reshape(8, -1) if np.dtype(dtype).itemsize else raw
    g = small_graph()
    g.nodes["lif"].tau = arr
    g.metadata["array"] = arr.T  # Fortran-ordered view
    g.metadata["column"] = arr[:, 0]  # strided view
    back = store(g, tmp_path)
    for got, want in [(back.nodes["lif"].tau, arr), (back.metadata["array"], arr.T),
                      (back.metadata["column"], arr[:, 0])]:
        assert got.dtype == want.dtype and got.shape == want.shape
        assert np.ascontiguousarray(got).tobytes() == np.ascontiguousarray(want).tobytes()
    assert back.metadata["array"].flags.f_contiguous


def test_nan_payloads_and_odd_shapes_survive(tmp_path):
    payload = np.array([0x7FF8000000000001, 0xFFF0000000000000, 0x8000000000000000],
                       np.uint64).view(np.float64)
    g = small_graph()
    g.metadata.update(nan=payload, empty=np.zeros((0, 3), np.int16), zero_d=np.array(5, np.int8))
    back = store(g, tmp_path).metadata
    assert back["nan"].view(np.uint64).tolist() == payload.view(np.uint64).tolist()
    assert back["empty"].shape == (0, 3) and back["empty"].dtype == np.int16
    assert back["zero_d"].shape == () and back["zero_d"].dtype == np.int8


def test_values_in_metadata_keep_their_types(tmp_path):
    value = {
        "tuple": (1, (2.5, "a")), "list": [1, [2, 3]], "int_keys": {1: "a", (2, 3): "b"},
        "scalars": [np.float32(1.5), np.int64(-7), np.bool_(True), np.uint8(255),
                    np.float16(0.1), np.complex64(1 - 2j)],
        "floats": [float("inf"), float("-inf"), -0.0], "nan": float("nan"),
        "complex": 3 + 4j, "bytes": b"\x00\xff", "big": 2 ** 80, "none": None, "bool": False,
        "text": "µs → ok", "nested": {"$array": "not a tag", "k": {}},
    }
    g = small_graph()
    g.metadata["v"] = value
    back = store(g, tmp_path).metadata["v"]
    assert ir.nodes._values_equal(back, value)
    assert [type(s) for s in back["scalars"]] == [type(s) for s in value["scalars"]]
    assert str(back["floats"][2]) == "-0.0"


@pytest.mark.parametrize("bad", [{1, 2}, object(), np.array([None, 1], dtype=object)],
                         ids=["set", "object", "object-array"])
def test_write_refuses_values_it_cannot_store(tmp_path, bad):
    g = small_graph()
    g.metadata["bad"] = bad
    with pytest.raises(TypeError, match="metadata"):
        ir.write(g, tmp_path / "g.nvir")
    assert not (tmp_path / "g.nvir").exists()


def test_whole_model_round_trips_with_partition_and_annotations(tmp_path):
    g = sample_model()
    g.partition(num_cores=4, max_neurons_per_core=1 << 18, sram_bytes_per_core=1 << 21)
    g.nodes["detect"].precision = "int8"
    g.nodes["nms"].hardware_hints = {"fuse": True, "lanes": np.int32(4)}
    back = store(g, tmp_path)
    assert_graphs_equal(g, back)
    assert back.nodes["detect"].precision == "int8" and back.nodes["stem_conv"].core_id == 0
    assert back.get_stage() == "partitioned" and back.metadata["name"] == g.metadata["name"]


@pytest.mark.parametrize("kind", [str, Path, lambda p: str(p).encode()], ids=["str", "path", "bytes"])
def test_read_accepts_str_bytes_and_path_objects(tmp_path, kind):
    path = tmp_path / "g.nvir"
    assert ir.write(small_graph(), kind(path)) == str(path)
    assert list(ir.read(kind(path)).nodes) == ["in", "conv", "lif", "out"]


def test_missing_file(tmp_path):
    with pytest.raises(FileNotFoundError, match="no stored graph"):
        ir.read(tmp_path / "nothing.nvir")
    with pytest.raises(TypeError):
        ir.read(42)


def _rewrite(path, change_manifest=None, drop=None, add=None):
    with zipfile.ZipFile(path) as zf:
        members = {n: zf.read(n) for n in zf.namelist()}
    manifest = json.loads(members["manifest.json"])
    if change_manifest:
        change_manifest(manifest)
    members["manifest.json"] = json.dumps(manifest).encode()
    for name in drop or ():
        del members[name]
    members.update(add or {})
    with zipfile.ZipFile(path, "w") as zf:
        for name, data in members.items():
            zf.writestr(name, data)


def _nest(path, depth, open_text, close_text):
    """Metadata nested `depth` levels deep, written as raw text (json.dumps cannot nest so deep)."""
    with zipfile.ZipFile(path) as zf:
        members = {n: zf.read(n) for n in zf.namelist()}
    manifest = json.loads(members["manifest.json"])
    manifest["metadata"] = "@"
    text = json.dumps(manifest).replace('"@"', open_text * depth + "1" + close_text * depth)
    members["manifest.json"] = text.encode()
    with zipfile.ZipFile(path, "w") as zf:
        for name, data in members.items():
            zf.writestr(name, data)


def _set_class(m, name):
    m["nodes"][1]["class"] = name


def _object_array(m):
    m["metadata"] = {"$array": "arrays/evil.npy"}


@pytest.mark.parametrize("damage, message", [
    (lambda p: p.write_text("just text"), "not a stored IR graph"),
    (lambda p: p.write_bytes(p.read_bytes()[:200]), "not a stored IR graph"),
    (lambda p: _rewrite(p, drop=["manifest.json"]), "no manifest.json"),
    (lambda p: _rewrite(p, lambda m: m.update(format="other-format")), "other-format"),
    (lambda p: _rewrite(p, lambda m: m.update(format_version=99)), "format version 99"),
    (lambda p: _rewrite(p, lambda m: _set_class(m, "os.system")), "unknown node class 'os.system'"),
    (lambda p: _rewrite(p, lambda m: _set_class(m, "Node")), "unknown node class 'Node'"),
    (lambda p: _rewrite(p, lambda m: m["nodes"][1]["fields"].update(evil=1)), "unknown fields"),
    (lambda p: _rewrite(p, drop=["arrays/000000.npy"]), "missing array member"),
    (lambda p: _rewrite(p, lambda m: m["edges"].append(["in", "ghost"])), "damaged manifest"),
    (lambda p: _rewrite(p, lambda m: m.pop("nodes")), "damaged manifest"),
    (lambda p: _rewrite(p, _object_array, add={"arrays/evil.npy": _pickled_npy()}), "damaged array"),
    (lambda p: _nest(p, 100_000, "[", "]"), "nested too deeply"),
    (lambda p: _nest(p, 600, '{"$tuple": [', "]}"), "nested too deeply"),
], ids=["text", "truncated", "no-manifest", "other-format", "future-version", "unknown-class",
        "base-class", "unknown-field", "missing-array", "bad-edge", "no-nodes", "pickled-array",
        "deep-json", "deep-values"])
def test_damaged_or_foreign_files_are_refused_clearly(tmp_path, damage, message):
    path = tmp_path / "g.nvir"
    ir.write(small_graph(), path)
    damage(path)
    with pytest.raises(ir.IRFormatError, match=message) as info:
        ir.read(path)
    assert isinstance(info.value, ValueError)


def _pickled_npy():
    import io
    buf = io.BytesIO()
    np.save(buf, np.array([{"a": 1}], dtype=object), allow_pickle=True)
    return buf.getvalue()


def test_corrupted_member_bytes_are_detected(tmp_path):
    path = tmp_path / "g.nvir"
    ir.write(small_graph(), path)
    data = bytearray(path.read_bytes())
    at = data.index(b"\x93NUMPY") + 120  # inside the first array's data
    data[at] ^= 0xFF
    path.write_bytes(bytes(data))
    with pytest.raises(ir.IRFormatError):
        ir.read(path)


# --- partitioning ---------------------------------------------------------------------------

def random_dag(seed, n=60):
    rng = np.random.default_rng(seed)
    g = ir.Graph()
    g.add_node("in", ir.Input(input_type={"input": [16]}, output_type={"output": [16]}))
    names = ["in"]
    for i in range(n):
        width = int(rng.integers(1, 64))
        node = (ir.Affine(weight=np.zeros((width, 16), np.float32)) if rng.random() < 0.6
                else lif(width))
        node.output_type = {"output": [width]}
        name = f"n{i}"
        g.add_node(name, node)
        for src in set(rng.choice(names, size=min(len(names), int(rng.integers(1, 3))), replace=False)):
            g.add_edge(str(src), name)
        names.append(name)
    g.add_node("out", ir.Output())
    g.add_edge(names[-1], "out")
    return g


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("cores, neurons, sram", [(4, 1 << 12, 1 << 16), (3, 400, 8000), (16, 256, 4096)])
def test_partition_invariants(seed, cores, neurons, sram):
    g = random_dag(seed)
    meta = g.partition(num_cores=cores, max_neurons_per_core=neurons, sram_bytes_per_core=sram,
                       strict=False)
    assign = meta["assignments"]
    primitives = [n for n, node in g.nodes.items() if type(node).__name__ not in ("Input", "Output")]
    assert sorted(assign) + [] == sorted(set(primitives) - set(meta["unassigned"]))
    assert "in" not in assign and "out" not in assign
    assert set(assign.values()) == set(range(meta["num_cores_used"])) and meta["num_cores_used"] <= cores
    for c in range(meta["num_cores_used"]):
        on_core = [n for n, k in assign.items() if k == c]
        assert sum(g.nodes[n].param_bytes() for n in on_core) <= sram
        assert sum(node_neurons(g.nodes[n]) for n in on_core) <= neurons
    for name in primitives:
        assert g.nodes[name].core_id == assign.get(name)
    assert meta["cross_core_edges"] == [(s, t) for s, t in g.edges if s in assign and t in assign
                                        and assign[s] != assign[t]]
    sched = g.execution_schedule
    assert len(sched) == meta["num_cores_used"]
    stage_of = {}
    for core, stages in enumerate(sched):
        for k, stage in enumerate(stages):
            for name in stage:
                assert assign[name] == core and name not in stage_of
                stage_of[name] = k
    assert set(stage_of) == set(assign)
    for s, t in g.edges:  # on one core, a consumer runs in a later stage than its producer
        if s in assign and t in assign and assign[s] == assign[t]:
            assert stage_of[s] < stage_of[t]
    assert meta["algorithm"] == "greedy_topological" and g.get_stage() == "partitioned"


def test_recurrent_graph_is_partitioned_without_the_edges_that_close_its_cycles():
    g = ir.Graph()
    g.add_node("in", ir.Input(input_type={"input": [4]}, output_type={"output": [4]}))
    for name in ("a", "b", "c", "lone", "d"):
        g.add_node(name, lif(4))
        g.nodes[name].output_type = {"output": [4]}
    g.add_node("out", ir.Output())
    # in -> a -> b -> c -> out, c feeds a and b back; lone -> d -> lone is reached only
    # from lone, the first node left once the walk from the inputs is done
    g.chain("in", "a", "b", "c", "out")
    g.add_edge("c", "a")
    g.add_edge("c", "b")
    g.add_edge("lone", "d")
    g.add_edge("d", "lone")
    meta = g.partition(num_cores=5, max_neurons_per_core=4)
    assert meta["recurrent_edges"] == [("c", "a"), ("c", "b"), ("d", "lone")]
    assert (meta["max_neurons_per_core"], meta["sram_bytes_per_core"]) == (4, 1 << 24)
    assign = meta["assignments"]
    assert assign == {"lone": 0, "a": 1, "d": 2, "b": 3, "c": 4}
    assert ("c", "a") in meta["cross_core_edges"]


def test_a_node_over_a_per_core_limit_is_named_with_the_limit():
    g = random_dag(1)
    with pytest.raises(ValueError, match=r"node 'n\d+' alone has .* max_neurons_per_core=2$") as info:
        g.partition(num_cores=1000, max_neurons_per_core=2)
    assert info.value.limit == "max_neurons_per_core"


def test_partition_spreads_memory_and_refuses_what_does_not_fit():
    g = random_dag(1)
    assert g.get_stage() == "ir"
    meta = g.partition(num_cores=4)
    assert meta["num_cores_used"] == 4 and not meta["unassigned"]
    with pytest.raises(ValueError, match=r"do not fit on 2 core\(s\)"):
        random_dag(1).partition(num_cores=2, max_neurons_per_core=64, sram_bytes_per_core=4096)
    g = random_dag(1)
    meta = g.partition(num_cores=1, max_neurons_per_core=8, sram_bytes_per_core=1 << 20, strict=False)
    assert meta["unassigned"] and all(g.nodes[n].core_id is None for n in meta["unassigned"])
