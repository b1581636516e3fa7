"""nivra.viz.serialize: node records, graph summaries, group records and graph documents."""
import dataclasses
import importlib.util
import pathlib
import sys
import types
from types import SimpleNamespace
from typing import ClassVar

import numpy as np
import pytest

import nivra
from nivra import ir
from nivra.viz import constants, encode, serialize
from nivra.viz.patterns import PatternMatch, build_group_hierarchy
from nivra.viz.samples import sample_model, sample_partitioned_model

NODE_KEYS = ["id", "type", "input_shape", "output_shape", "params", "config", "param_count",
             "color", "shape", "display_params"]
GROUP_KEYS = ["id", "type", "label", "subtitle", "nodes", "entry_nodes", "exit_nodes", "metadata",
              "color", "shape", "icon", "display_params"]
DOC_KEYS = ["version", "nodes", "edges", "metadata", "summary", "groups", "node_to_group"]


def fake_graph(nodes=(), edges=(), **attrs):
    return SimpleNamespace(nodes=dict(nodes), edges=list(edges), **attrs)


class Plain:
    """A node that is not a dataclass."""


@dataclasses.dataclass
class Dense:
    weight: np.ndarray
    bias: np.ndarray
    input_type: dict = dataclasses.field(default_factory=dict)
    output_type: dict = dataclasses.field(default_factory=dict)


@dataclasses.dataclass
class Knobs:
    empty_dict: dict = dataclasses.field(default_factory=dict)
    empty_list: list = dataclasses.field(default_factory=list)
    zero: int = 0
    off: bool = False
    blank: str = ""
    missing: object = None
    pair: tuple = (3, 3)
    scalar: object = np.float32(0.5)
    nested: dict = dataclasses.field(default_factory=lambda: {"k": np.int64(2), "b": b"x"})


class Raises:
    """Attribute reads that fail: with AttributeError (absence) or another error."""

    def __init__(self, **errors):
        self._errors = errors

    def __getattr__(self, name):
        if name == "_errors":
            raise AttributeError(name)
        exc = self._errors.get(name)
        if exc is None:
            raise AttributeError(name)
        raise exc


# --- module ------------------------------------------------------------------------------

def test_module_binds_its_names_in_order():
    names = [n for n in vars(serialize) if not n.startswith("__")]
    assert names == [
        "fields", "Any", "Dict", "List", "Optional", "Union", "np", "encode_value", "format_shape",
        "NODE_COLORS", "NODE_SHAPES", "NODE_DISPLAY_PARAMS", "DEFAULT_NODE_COLOR",
        "DEFAULT_NODE_SHAPE", "GROUP_COLORS", "GROUP_SHAPES", "GROUP_ICONS", "GROUP_DISPLAY_PARAMS",
        "DEFAULT_GROUP_COLOR", "DEFAULT_GROUP_SHAPE", "detect_all_patterns",
        "build_group_hierarchy", "PatternMatch", "detect_repconv_patterns", "serialize_node",
        "compute_summary", "serialize_pattern", "graph_to_dict",
    ]
    assert serialize.fields is dataclasses.fields
    assert serialize.encode_value is encode.encode_value
    assert serialize.NODE_COLORS is constants.NODE_COLORS
    assert serialize.PatternMatch is PatternMatch
    assert serialize.__doc__.startswith("Graph serialization for nivra.viz.\n")
    assert serialize.__test__ == {}


@pytest.mark.parametrize("fn, line", [
    (serialize.serialize_node, "serialize_node(str name: str, node: Any) -> Dict[str, Any]"),
    (serialize.compute_summary, "compute_summary(graph: Any) -> Dict[str, Any]"),
    (serialize.serialize_pattern, "serialize_pattern(pattern: PatternMatch) -> Dict[str, Any]"),
    (serialize.graph_to_dict,
     "graph_to_dict(graph: Any, bool detect_patterns: bool = True) -> Dict[str, Any]"),
])
def test_functions_carry_their_signature(fn, line):
    assert fn.__doc__.startswith(line + "\n\n")
    assert fn.__module__ == "nivra.viz.serialize"


# --- node records ------------------------------------------------------------------------

def test_plain_node_record():
    rec = serialize.serialize_node("n", Plain())
    assert list(rec) == NODE_KEYS
    assert rec["type"] == "Plain"
    assert (rec["input_shape"], rec["output_shape"]) == (None, None)
    assert (rec["params"], rec["config"], rec["param_count"]) == ({}, {}, 0)
    assert rec["color"] == constants.DEFAULT_NODE_COLOR
    assert rec["shape"] == constants.DEFAULT_NODE_SHAPE
    assert rec["display_params"] == []


def test_plain_node_attributes_are_not_fields():
    node = Plain()
    node.weight = np.ones(3)
    node.input_type = {"input": (1, 2)}
    rec = serialize.serialize_node("n", node)
    assert rec["params"] == {} and rec["param_count"] == 0
    assert rec["input_shape"] == (1, 2)


def test_dataclass_arrays_become_encoded_params():
    w = np.arange(784 * 128, dtype=np.float32).reshape(784, 128)
    b = np.ones(128, dtype=np.float64)
    rec = serialize.serialize_node("fc", Dense(w, b, input_type={"input": np.array([784])}))
    assert list(rec["params"]) == ["weight", "bias"]
    assert rec["params"]["weight"] == encode.encode_array(w)
    assert rec["params"]["bias"] == encode.encode_array(b)
    assert rec["param_count"] == 100480
    assert rec["input_shape"] == [784] and type(rec["input_shape"][0]) is int
    assert "input_type" not in rec["params"] and "input_type" not in rec["config"]
    assert "output_type" not in rec["config"] and rec["output_shape"] is None


def test_config_keeps_falsy_values_but_not_none_or_empty_dict():
    rec = serialize.serialize_node("k", Knobs())
    assert list(rec["config"]) == ["empty_list", "zero", "off", "blank", "pair", "scalar", "nested"]
    assert rec["config"]["pair"] == [3, 3]
    assert type(rec["config"]["scalar"]) is float
    assert rec["config"]["nested"] == {"k": 2, "b": "x"}
    assert rec["params"] == {}


def test_field_missing_on_the_instance_is_skipped():
    @dataclasses.dataclass
    class Node:
        a: int
        b: int

    node = object.__new__(Node)  # no __init__: neither field is set
    node.b = 0
    rec = serialize.serialize_node("n", node)
    assert rec["config"] == {"b": 0}


class DictSub(dict):
    pass


class MappingNotDict:
    def __contains__(self, key):
        return True

    def __getitem__(self, key):
        return (9,)


SHAPE = (1, 28, 28)


@pytest.mark.parametrize("input_type, expected", [
    ({"input": np.array([1, 28, 28])}, [1, 28, 28]),
    ({"input": SHAPE}, SHAPE),
    ({"input": [4]}, [4]),
    (DictSub(input=np.array([5])), [5]),
    ({"other": (1,)}, None),
    ({}, None),
    (None, None),
    (MappingNotDict(), None),
    ([("input", (1,))], None),
])
def test_port_shapes(input_type, expected):
    node = Plain()
    node.input_type = input_type
    node.output_type = {"output": np.array([10])}
    rec = serialize.serialize_node("n", node)
    assert rec["input_shape"] == expected
    assert rec["output_shape"] == [10]
    if expected is SHAPE:
        assert rec["input_shape"] is SHAPE


@pytest.mark.parametrize("attrs, expected", [
    ({}, None),
    ({"precision": None, "core_id": None, "hardware_hints": None}, None),
    ({"precision": 0}, {"precision": 0}),
    ({"core_id": 3}, {"core_id": 3}),
    ({"hardware_hints": {}}, None),
    ({"hardware_hints": {"tile": np.int64(2)}}, {"hardware_hints": {"tile": 2}}),
    ({"hardware_hints": [np.float32(1.5)], "core_id": 0, "precision": "int8"},
     {"precision": "int8", "core_id": 0, "hardware_hints": [1.5]}),
])
def test_hardware_record(attrs, expected):
    node = Plain()
    for k, v in attrs.items():
        setattr(node, k, v)
    rec = serialize.serialize_node("n", node)
    if expected is None:
        assert "hardware" not in rec
    else:
        assert list(rec) == NODE_KEYS + ["hardware"]
        assert rec["hardware"] == expected
        assert list(rec["hardware"]) == list(expected)


def test_taken_over_values_are_the_same_objects():
    precision, core = object(), 2**70
    name = "".join(["no", "de"])
    node = Plain()
    node.precision, node.core_id = precision, core
    rec = serialize.serialize_node(name, node)
    assert rec["id"] is name
    assert rec["hardware"]["precision"] is precision and rec["hardware"]["core_id"] is core


def test_display_attributes_of_known_and_unknown_types():
    conv = ir.Conv2d(weight=np.zeros((2, 1, 3, 3), np.float32))
    rec = serialize.serialize_node("c", conv)
    assert rec["color"] == constants.NODE_COLORS["Conv2d"]
    assert rec["shape"] == constants.NODE_SHAPES["Conv2d"]
    assert rec["display_params"] is constants.NODE_DISPLAY_PARAMS["Conv2d"]
    a, b = serialize.serialize_node("a", Plain()), serialize.serialize_node("b", Plain())
    assert a["display_params"] == [] and a["display_params"] is not b["display_params"]
    a["display_params"].append("x")
    assert serialize.serialize_node("c", Plain())["display_params"] == []


@pytest.mark.parametrize("name", [1, None, b"n", type("S", (str,), {})("n")])
def test_node_name_must_be_exactly_str(name):
    with pytest.raises(TypeError, match="'name'"):
        serialize.serialize_node(name, Plain())


@pytest.mark.parametrize("attr", ["input_type", "precision", "core_id", "hardware_hints"])
def test_only_attribute_error_means_absent(attr):
    assert "hardware" not in serialize.serialize_node("n", Raises())
    with pytest.raises(RuntimeError, match="boom"):
        serialize.serialize_node("n", Raises(**{attr: RuntimeError("boom")}))


def test_failing_dataclass_field_propagates():
    @dataclasses.dataclass
    class Node:
        x: int = 1

        def __getattribute__(self, name):
            if name == "x":
                raise ValueError("field read")
            return object.__getattribute__(self, name)

    with pytest.raises(ValueError, match="field read"):
        serialize.serialize_node("n", Node())


# --- summaries ---------------------------------------------------------------------------

def test_empty_graph_summary():
    s = serialize.compute_summary(fake_graph())
    assert s == {"node_count": 0, "edge_count": 0, "total_params": 0, "node_counts": {},
                 "inputs": [], "outputs": []}
    assert list(s) == ["node_count", "edge_count", "total_params", "node_counts", "inputs", "outputs"]


def test_summary_counts_types_and_ports_in_order():
    g = ir.Graph()
    g.add_node("in", ir.Input(input_type={"input": [784]}))
    g.add_node("fc1", ir.Affine(weight=np.zeros((128, 784), np.float32), bias=np.zeros(128)))
    g.add_node("fc2", ir.Affine(weight=np.zeros((10, 128), np.float32)))
    g.add_node("out", ir.Output(output_type={"output": (10,)}))
    g.chain("in", "fc1", "fc2", "out")
    s = serialize.compute_summary(g)
    assert list(s["node_counts"].items()) == [("Input", 1), ("Affine", 2), ("Output", 1)]
    assert s["inputs"] == [{"id": "in", "shape": [784]}]
    assert s["outputs"] == [{"id": "out", "shape": [10]}]
    assert (s["node_count"], s["edge_count"]) == (4, 3)
    records = [serialize.serialize_node(n, node) for n, node in g.nodes.items()]
    assert s["total_params"] == sum(r["param_count"] for r in records) == 784 * 128 + 128 + 1280


def test_summary_port_shapes():
    Input = type("Input", (), {})
    shapes = [{}, None, {"input": (3, 4)}, {"other": 1}]
    nodes = {str(k): Input() for k in range(len(shapes))}
    for node, input_type in zip(nodes.values(), shapes):
        if input_type is not None:
            node.input_type = input_type
    s = serialize.compute_summary(fake_graph(nodes))
    assert [e["shape"] for e in s["inputs"]] == [None, None, (3, 4), None]
    assert [e["id"] for e in s["inputs"]] == ["0", "1", "2", "3"]


def test_summary_matches_types_by_exact_name():
    class MyInput(ir.Input):
        pass

    s = serialize.compute_summary(fake_graph({"x": MyInput(input_type={"input": [1]})}))
    assert s["inputs"] == [] and s["node_counts"] == {"MyInput": 1}


def test_summary_counts_every_declared_field_including_class_variables():
    @dataclasses.dataclass
    class Node:
        table: ClassVar[np.ndarray] = np.zeros(7)
        input_type: object = None
        w: np.ndarray = dataclasses.field(default_factory=lambda: np.zeros(5))

    node = Node(input_type=np.zeros(3))
    assert serialize.serialize_node("n", node)["param_count"] == 5
    assert serialize.compute_summary(fake_graph({"n": node}))["total_params"] == 15


def test_summary_failures():
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'items'"):
        serialize.compute_summary(SimpleNamespace(nodes=None, edges=[]))
    with pytest.raises(TypeError):
        serialize.compute_summary(SimpleNamespace(nodes={}, edges=iter([])))
    node = type("Output", (), {"output_type": [1]})()
    with pytest.raises(AttributeError, match="get"):
        serialize.compute_summary(fake_graph({"o": node}))
    with pytest.raises(RuntimeError):
        serialize.compute_summary(fake_graph({"n": Raises(__dataclass_fields__=RuntimeError())}))


# --- group records -----------------------------------------------------------------------

class Fmt:
    def __str__(self):
        return "str"

    def __format__(self, spec):
        return "fmt"


def pattern(ptype, metadata=None, nodes=("a", "b")):
    return PatternMatch(group_id="group_7", pattern_type=ptype, nodes=list(nodes),
                        entry_nodes=[nodes[0]], exit_nodes=[nodes[-1]], metadata=metadata or {})


@pytest.mark.parametrize("ptype, metadata, label, subtitle", [
    ("RepConv", {"branches": [{"type": "a"}, {"type": "b"}, {"type": "c"}]},
     "RepConv (3 branches)", "a, b, c"),
    ("RepConv", {}, "RepConv (0 branches)", ""),
    ("SPP", {"num_scales": 3, "pool_kernels": [(5, 5), (9, 9), ()]},
     "SPP (3 scales)", "parallel: 5\u00d75, 9\u00d79, ?"),
    ("SPP", {"num_scales": np.int64(2), "pool_kernels": [[np.int64(3), 4]]},
     "SPP (2 scales)", "parallel: 3\u00d74"),
    ("SPP", {}, "SPP (0 scales)", "parallel: "),
    ("SPPF", {}, "SPPF (depth=0)", "sequential: ?"),
    ("SPPF", {"chain_depth": 3, "kernel_size": (5, 5)}, "SPPF (depth=3)", "sequential: 5\u00d75"),
    ("SPPF", {"chain_depth": Fmt(), "kernel_size": [Fmt(), "k"]}, "SPPF (depth=fmt)",
     "sequential: fmt\u00d7k"),
    ("SkipConnection", {"path_types": []}, "Skip (0 layers)", "residual"),
    ("SkipConnection", {"processing_depth": 2, "path_types": ["Conv2d", "LIF"]},
     "Skip (2 layers)", "bypass: Conv2d \u2192 LIF"),
    ("Mystery", {"ignored": 1}, "Mystery", "4 nodes"),
])
def test_group_labels(ptype, metadata, label, subtitle):
    rec = serialize.serialize_pattern(pattern(ptype, metadata, nodes=("a", "b", "c", "d")))
    assert (rec["label"], rec["subtitle"]) == (label, subtitle)


def test_group_record_keys_identity_and_display():
    p = pattern("SPPF", {"chain_depth": 2})
    rec = serialize.serialize_pattern(p)
    assert list(rec) == GROUP_KEYS
    assert rec["id"] == "group_7" and rec["type"] == "SPPF"
    for key in ("nodes", "entry_nodes", "exit_nodes", "metadata"):
        assert rec[key] is getattr(p, key)
    assert rec["color"] == constants.GROUP_COLORS["SPPF"]
    assert rec["shape"] == constants.GROUP_SHAPES["SPPF"]
    assert rec["icon"] == constants.GROUP_ICONS["SPPF"]
    assert rec["display_params"] is constants.GROUP_DISPLAY_PARAMS["SPPF"]


def test_unknown_group_type_defaults():
    a = serialize.serialize_pattern(pattern("Mystery"))
    b = serialize.serialize_pattern(pattern("Mystery"))
    assert a["icon"] == "\u25eb"
    assert (a["color"], a["shape"]) == (constants.DEFAULT_GROUP_COLOR, constants.DEFAULT_GROUP_SHAPE)
    assert a["display_params"] == [] and a["display_params"] is not b["display_params"]
    ptype = object()
    c = serialize.serialize_pattern(SimpleNamespace(
        group_id=1, pattern_type=ptype, nodes=(), entry_nodes=(), exit_nodes=(), metadata=None))
    assert c["label"] is ptype and c["type"] is ptype and c["subtitle"] == "0 nodes"


def test_metadata_is_read_with_get_each_time():
    reads = []

    class Meta(dict):
        def get(self, key, default=None):
            reads.append(key)
            return super().get(key, default)

    class P:
        group_id, pattern_type, nodes, entry_nodes, exit_nodes = "g", "SkipConnection", [], [], []

        @property
        def metadata(self):
            reads.append("metadata")
            return Meta(path_types=["x"])

    assert serialize.serialize_pattern(P())["subtitle"] == "bypass: x"
    assert reads == ["metadata", "processing_depth", "metadata", "path_types", "metadata"]


@pytest.mark.parametrize("ptype, metadata, nodes, exc", [
    ("RepConv", {"branches": [{"kind": "a"}]}, [], KeyError),
    ("RepConv", {"branches": [{"type": 1}]}, [], TypeError),
    ("SPP", {"pool_kernels": [(5,)]}, [], IndexError),
    ("SkipConnection", {"path_types": ["a", 2]}, [], TypeError),
    ("Mystery", {}, iter([]), TypeError),
])
def test_group_record_failures(ptype, metadata, nodes, exc):
    p = SimpleNamespace(group_id="g", pattern_type=ptype, nodes=nodes, entry_nodes=[],
                        exit_nodes=[], metadata=metadata)
    with pytest.raises(exc):
        serialize.serialize_pattern(p)


def test_group_record_without_pattern_type():
    with pytest.raises(AttributeError):
        serialize.serialize_pattern(SimpleNamespace(group_id="g"))


# --- graph documents ---------------------------------------------------------------------

@pytest.fixture(scope="module")
def model():
    return sample_model()


def test_document_of_a_real_graph(model):
    doc = serialize.graph_to_dict(model)
    assert list(doc) == DOC_KEYS
    assert doc["version"] == ir.__version__
    assert [r["id"] for r in doc["nodes"]] == list(model.nodes)
    assert doc["edges"] == [{"source": s, "target": t} for s, t in model.edges]
    assert doc["metadata"] == encode.encode_value(model.metadata)
    assert {g["type"] for g in doc["groups"]} == {"RepConv", "SkipConnection", "SPPF", "SPP"}
    for rec in doc["nodes"]:
        assert ("group" in rec) == (rec["id"] in doc["node_to_group"])
        if "group" in rec:
            assert list(rec)[-1] == "group" and rec["group"] == doc["node_to_group"][rec["id"]]


def test_document_matches_the_plain_python_steps(model):
    spec = importlib.util.spec_from_file_location(
        "bench_graph_to_dict", pathlib.Path(__file__).parent.parent / "bench" / "graph_to_dict.py")
    bench = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(bench)
    for g in (model, sample_partitioned_model()):
        for detect in (True, False):
            assert serialize.graph_to_dict(g, detect) == bench.py_graph_to_dict(g, detect)


def test_group_key_comes_last_after_hardware():
    g = sample_partitioned_model()
    doc = serialize.graph_to_dict(g)
    grouped = [r for r in doc["nodes"] if "group" in r and "hardware" in r]
    assert grouped
    for rec in grouped:
        assert list(rec)[-2:] == ["hardware", "group"]
        assert rec["hardware"]["core_id"] is g.nodes[rec["id"]].core_id


def test_taken_over_ir_values_are_the_same_objects(model, monkeypatch):
    seen = {}

    def build(graph, patterns):
        seen["h"] = build_group_hierarchy(graph, patterns)
        seen["p"] = patterns
        return seen["h"]

    monkeypatch.setattr(serialize, "build_group_hierarchy", build)
    doc = serialize.graph_to_dict(model)
    assert doc["node_to_group"] is seen["h"]["node_to_group"]
    for rec, p in zip(doc["groups"], seen["p"], strict=True):
        assert rec["nodes"] is p.nodes and rec["metadata"] is p.metadata
    for rec, (s, t) in zip(doc["edges"], model.edges, strict=True):
        assert rec["source"] is s and rec["target"] is t
    for rec, name in zip(doc["nodes"], model.nodes, strict=True):
        assert rec["id"] is name


@pytest.mark.parametrize("detect", [False, None, 0, [], ""])
def test_detection_off_never_calls_the_pattern_functions(model, monkeypatch, detect):
    def fail(*args):
        raise AssertionError("pattern function called")

    monkeypatch.setattr(serialize, "detect_all_patterns", fail)
    monkeypatch.setattr(serialize, "build_group_hierarchy", fail)
    monkeypatch.setattr(serialize, "serialize_pattern", fail)
    doc = serialize.graph_to_dict(model, detect_patterns=detect)
    assert doc["groups"] == [] and doc["node_to_group"] == {}
    assert not any("group" in r for r in doc["nodes"])


def test_rebound_module_names_are_used(model, monkeypatch):
    calls = []
    p = pattern("Mystery", nodes=("input", "stem_conv"))
    monkeypatch.setattr(serialize, "detect_all_patterns", lambda g: calls.append("detect") or [p])
    monkeypatch.setattr(serialize, "build_group_hierarchy",
                        lambda g, ps: {"node_to_group": {"input": "group_7"}})
    monkeypatch.setattr(serialize, "NODE_COLORS", {"Input": "#000001"})
    monkeypatch.setattr(serialize, "DEFAULT_NODE_COLOR", "#ffffff")
    monkeypatch.setattr(serialize, "GROUP_ICONS", {"Mystery": "M"})
    monkeypatch.setattr(serialize, "GROUP_DISPLAY_PARAMS", {"Mystery": ["depth"]})
    monkeypatch.setattr(serialize, "fields", lambda node: ())
    doc = serialize.graph_to_dict(model)
    assert calls == ["detect"]
    assert doc["groups"][0]["icon"] == "M" and doc["groups"][0]["display_params"] == ["depth"]
    assert doc["nodes"][0]["color"] == "#000001" and doc["nodes"][0]["group"] == "group_7"
    assert {r["color"] for r in doc["nodes"][1:]} == {"#ffffff"}
    assert all(r["params"] == {} and r["config"] == {} for r in doc["nodes"])

    monkeypatch.setattr(serialize, "serialize_node", lambda name, node: {"n": name})
    monkeypatch.setattr(serialize, "serialize_pattern", lambda p: "P")
    monkeypatch.setattr(serialize, "compute_summary", lambda g: "S")
    monkeypatch.setattr(serialize, "encode_value", lambda v: "E")
    doc = serialize.graph_to_dict(model)
    assert doc["nodes"][0] == {"n": "input", "group": "group_7"}
    assert (doc["groups"], doc["summary"], doc["metadata"]) == (["P"], "S", "E")


def test_removed_module_name_raises_name_error(monkeypatch):
    monkeypatch.delattr(serialize, "NODE_SHAPES")
    with pytest.raises(NameError, match="name 'NODE_SHAPES' is not defined"):
        serialize.serialize_node("n", Plain())


@pytest.mark.parametrize("metadata, expected", [
    (None, {}), ({}, {}), ([], {}), ({"a": np.int64(1)}, {"a": 1}),
    ({"w": np.arange(3, dtype=np.int8)}, {"w": encode.encode_array(np.arange(3, dtype=np.int8))}),
    ("text", "text"),
])
def test_document_metadata(metadata, expected):
    doc = serialize.graph_to_dict(fake_graph(metadata=metadata))
    assert doc["metadata"] == expected
    assert serialize.graph_to_dict(fake_graph())["metadata"] == {}


def test_version_fallback(monkeypatch):
    version = object()
    monkeypatch.setattr(ir, "__version__", version)
    assert serialize.graph_to_dict(fake_graph())["version"] is version
    monkeypatch.delattr(ir, "__version__")
    assert serialize.graph_to_dict(fake_graph())["version"] == "unknown"


def test_version_unknown_without_the_ir_package(monkeypatch):
    version = ir.__version__
    monkeypatch.delattr(nivra, "ir")  # `from nivra import ir` still finds the imported submodule
    assert serialize.graph_to_dict(fake_graph(), False)["version"] == version
    monkeypatch.setitem(sys.modules, "nivra.ir", None)
    assert serialize.graph_to_dict(fake_graph(), False)["version"] == "unknown"
    with pytest.raises(ImportError):
        serialize.graph_to_dict("graph.nivra")
    monkeypatch.setitem(sys.modules, "nivra", types.ModuleType("nivra"))
    with pytest.raises(ImportError, match=r"^cannot import name 'ir' from 'nivra' \(unknown location\)$") as e:
        serialize.graph_to_dict("graph.nivra")
    assert e.value.name == "nivra"


def test_version_lookup_absorbs_nothing_else(monkeypatch):
    class Broken:
        @property
        def __version__(self):
            raise LookupError("version lookup failed")

    monkeypatch.setattr(nivra, "ir", Broken())
    with pytest.raises(LookupError, match="version lookup failed"):
        serialize.graph_to_dict(fake_graph())


@pytest.fixture(scope="module")
def stored(model, tmp_path_factory):
    path = tmp_path_factory.mktemp("g") / "model.nivra"
    ir.write(model, str(path))
    return path


def test_store_and_reload_gives_the_same_document(model, stored):
    assert serialize.graph_to_dict(str(stored)) == serialize.graph_to_dict(model)
    partitioned = sample_partitioned_model()
    path = stored.with_name("partitioned.nivra")
    ir.write(partitioned, str(path))
    assert serialize.graph_to_dict(str(path)) == serialize.graph_to_dict(partitioned)


@pytest.mark.parametrize("convert, read", [
    (str, True), (lambda p: str(p).encode(), True), (type("P", (str,), {}), True),
    (lambda p: p, False),
])
def test_paths_are_read_only_when_str_or_bytes(stored, monkeypatch, convert, read):
    calls = []
    real = ir.read

    def spy(path):
        calls.append(path)
        return real(path)

    monkeypatch.setattr(ir, "read", spy)
    arg = convert(stored)
    if read:
        doc = serialize.graph_to_dict(arg, False)
        assert calls == [arg] and calls[0] is arg and len(doc["nodes"]) == 47
    else:
        with pytest.raises(AttributeError, match="nodes"):
            serialize.graph_to_dict(arg, False)
        assert calls == []


@pytest.mark.parametrize("edge, message", [
    (("a", "b", "c"), "too many values to unpack (expected 2)"),
    (["a"], "need more than 1 value to unpack"),
    ((), "need more than 0 values to unpack"),
    (iter(["a", "b", "c"]), "too many values to unpack (expected 2)"),
    ("a", "need more than 1 value to unpack"),
])
def test_edge_unpacking_messages(edge, message):
    with pytest.raises(ValueError) as info:
        serialize.graph_to_dict(fake_graph(edges=[("x", "y"), edge]), False)
    assert str(info.value) == message


def test_edges_of_any_iterable_pairs():
    doc = serialize.graph_to_dict(fake_graph(edges=[["a", "b"], iter("cd"), "ef"]), False)
    assert doc["edges"] == [{"source": "a", "target": "b"}, {"source": "c", "target": "d"},
                            {"source": "e", "target": "f"}]


def test_document_failures(monkeypatch):
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'items'"):
        serialize.graph_to_dict(SimpleNamespace(nodes=None, edges=[]), False)
    with pytest.raises(TypeError, match="'name'"):
        serialize.graph_to_dict(fake_graph({1: Plain()}), False)
    monkeypatch.setattr(serialize, "build_group_hierarchy", lambda g, p: {})
    with pytest.raises(KeyError, match="node_to_group"):
        serialize.graph_to_dict(fake_graph())

    class Graph:
        nodes, edges = {}, []

        @property
        def metadata(self):
            raise RuntimeError("metadata read")

    with pytest.raises(RuntimeError, match="metadata read"):
        serialize.graph_to_dict(Graph(), False)
