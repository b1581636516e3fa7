import json
from types import SimpleNamespace

import numpy as np
import pytest

from nivra import ir
from nivra.viz import constants
from nivra.viz.patterns import (
    PatternMatch, build_group_hierarchy, detect_all_patterns, detect_repconv_patterns,
)


class G:
    """Tiny builder: ``G().n("a", ir.ReLU()).e("a", "b")``."""

    def __init__(self):
        self.g = ir.Graph()
        self.g.add_node("x", ir.Input())

    def n(self, name, node, *inputs):
        self.g.add_node(name, node)
        for src in inputs:
            self.g.add_edge(src, name)
        return self

    def e(self, *pairs):
        for s, t in pairs:
            self.g.add_edge(s, t)
        return self


def conv(k=3):
    return ir.Conv2d(weight=np.zeros((4, 4, k, k), np.float32))


def bn():
    return ir.BatchNorm2d(num_features=4)


def pool(k):
    return ir.MaxPool2d(kernel_size=k, stride=1, padding=k // 2)


def only(graph, kind=None):
    patterns = detect_all_patterns(graph)
    assert len(patterns) == 1, patterns
    assert kind is None or patterns[0].pattern_type == kind
    return patterns[0]


def assert_json_plain(value):
    """Group metadata goes into documents unconverted: only plain JSON-ready values."""
    if isinstance(value, dict):
        assert all(type(k) is str for k in value)
        for v in value.values():
            assert_json_plain(v)
    elif isinstance(value, (list, tuple)):
        for v in value:
            assert_json_plain(v)
    else:
        assert value is None or type(value) in (str, int, float, bool), type(value)


def test_sppf_chain_of_equal_pools_into_concat():
    b = G().n("c", conv(1), "x")
    b.n("p1", pool(5), "c").n("p2", pool(5), "p1").n("p3", pool(5), "p2")
    b.n("cat", ir.Concat(), "c", "p1", "p2", "p3").n("y", ir.Output(), "cat")
    p = only(b.g, "SPPF")
    assert p.metadata["chain_depth"] == 3 and p.metadata["kernel_size"] == (5, 5)
    assert p.nodes == ["p1", "p2", "p3", "cat"]
    assert p.entry_nodes == ["p1", "cat"] and p.exit_nodes == ["cat"]
    assert p.group_id == "group_0"


def test_spp_parallel_pools_of_different_kernels():
    b = G().n("c", conv(1), "x")
    for k in (13, 5, 9):
        b.n(f"p{k}", pool(k), "c")
    b.n("cat", ir.Concat(), "c", "p13", "p5", "p9")
    p = only(b.g, "SPP")
    assert p.metadata["num_scales"] == 3
    assert p.metadata["pool_kernels"] == [(5, 5), (9, 9), (13, 13)]
    assert set(p.nodes) == {"p5", "p9", "p13", "cat"} and p.exit_nodes == ["cat"]


def test_parallel_pools_of_one_kernel_are_not_spp():
    b = G().n("c", conv(1), "x").n("p1", pool(5), "c").n("p2", pool(5), "c")
    b.n("cat", ir.Concat(), "p1", "p2")
    assert [p.pattern_type for p in detect_all_patterns(b.g)] == []


@pytest.mark.parametrize("identity, expected", [
    (None, ["conv3x3+bn", "conv1x1+bn"]),
    ("bn", ["conv3x3+bn", "conv1x1+bn", "bn"]),
    ("plain", ["conv3x3+bn", "conv1x1+bn", "identity"]),
])
def test_repconv_branches(identity, expected):
    b = G().n("src", ir.LIF(tau=np.ones(4), r=np.ones(4), v_leak=np.ones(4), v_threshold=np.ones(4)), "x")
    b.n("k3", conv(3), "src").n("b3", bn(), "k3").n("k1", conv(1), "src").n("b1", bn(), "k1")
    joins = ["b3", "b1"]
    if identity == "bn":
        b.n("bid", bn(), "src")
        joins.append("bid")
    elif identity == "plain":
        joins.append("src")
    b.n("sum", ir.Skip(), *joins).n("act", ir.ReLU(), "sum")
    p = only(b.g, "RepConv")
    assert [br["type"] for br in p.metadata["branches"]] == expected
    assert p.metadata["source"] == "src" and "act" not in p.nodes and p.exit_nodes == ["sum"]
    assert detect_repconv_patterns(b.g)[0].metadata == p.metadata


def test_two_identity_branches_or_two_sources_are_not_repconv():
    b = G().n("src", ir.ReLU(), "x").n("other", ir.ReLU(), "x")
    b.n("k3", conv(3), "src").n("k1", conv(1), "src").n("bid", bn(), "src")
    b.n("sum", ir.Skip(), "k3", "k1", "src", "bid")
    b.n("k3b", conv(3), "src").n("k1b", conv(1), "other").n("sum2", ir.Skip(), "k3b", "k1b")
    assert detect_repconv_patterns(b.g) == []


def test_partly_overlapping_candidate_is_dropped():
    # f -> a -> b -> j1 with bypass f -> j1, and a -> b -> c -> j2 with bypass a -> j2:
    # the second region {b, c, j2} would cut through the first group {a, b, j1}.
    b = G().n("f", ir.ReLU(), "x").n("a", ir.ReLU(), "f").n("b", ir.ReLU(), "a")
    b.n("j1", ir.Skip(), "b", "f").n("c", ir.ReLU(), "b").n("j2", ir.Skip(), "c", "a")
    patterns = detect_all_patterns(b.g)
    assert [p.nodes for p in patterns] == [["a", "b", "j1"]]


def test_residual_with_one_conv_branch_is_a_skip_not_repconv():
    b = G().n("f", conv(), "x").n("a", conv(), "f").n("b", bn(), "a").n("l", ir.ReLU(), "b")
    b.n("add", ir.Skip(), "l", "f").n("y", ir.Output(), "add")
    assert detect_repconv_patterns(b.g) == []
    p = only(b.g, "SkipConnection")
    assert p.metadata["processing_depth"] == 3
    assert p.metadata["path_types"] == ["Conv2d", "BatchNorm2d", "ReLU"]
    assert p.nodes == ["a", "b", "l", "add"] and set(p.entry_nodes) == {"a", "add"}


def test_projection_shortcut_and_concat_join():
    b = G().n("f", ir.ReLU(), "x").n("a", conv(), "f").n("b", ir.ReLU(), "a").n("c", conv(), "b")
    b.n("proj", conv(1), "f").n("cat", ir.Concat(), "c", "proj")
    p = only(b.g, "SkipConnection")
    assert p.metadata["processing_depth"] == 3 and set(p.nodes) == {"a", "b", "c", "proj", "cat"}


@pytest.mark.parametrize("shape", ["chain", "equal-branches", "two-inputs", "long-bypass"])
def test_no_false_groups(shape):
    b = G()
    if shape == "chain":
        prev = "x"
        for i, node in enumerate([conv(), bn(), ir.LIF(tau=np.ones(1), r=np.ones(1), v_leak=np.ones(1), v_threshold=np.ones(1)), pool(3), pool(3), ir.Flatten(), ir.Affine(weight=np.zeros((2, 2))), ir.Skip(), ir.Concat()]):
            b.n(f"n{i}", node, prev)
            prev = f"n{i}"
    elif shape == "equal-branches":  # two equally long paths: no bypass
        b.n("a", conv(), "x").n("b", conv(1), "x").n("cat", ir.Concat(), "a", "b")
    elif shape == "two-inputs":  # joins that meet no common fork
        b.n("x2", ir.Input()).n("add", ir.Skip(), "x", "x2").n("cat", ir.Concat(), "add", "x2")
    else:  # both paths longer than a shortcut
        b.n("a1", conv(), "x").n("a2", conv(), "a1").n("a3", conv(), "a2")
        b.n("b1", conv(), "x").n("b2", conv(), "b1").n("b3", conv(), "b2").n("b4", conv(), "b3")
        b.n("add", ir.Skip(), "a3", "b4")
    assert detect_all_patterns(b.g) == []
    assert build_group_hierarchy(b.g, [])["node_to_group"] == {}


def nested_graph():
    """An outer skip around a residual block and a RepConv block."""
    b = G().n("f", ir.ReLU(), "x")
    b.n("a", conv(), "f").n("b", ir.ReLU(), "a").n("s1", ir.Skip(), "b", "f")
    b.n("k3", conv(3), "s1").n("k1", conv(1), "s1").n("rsum", ir.Skip(), "k3", "k1")
    b.n("outer", ir.Skip(), "rsum", "f").n("y", ir.Output(), "outer")
    return b.g


def test_nested_groups_and_hierarchy():
    g = nested_graph()
    patterns = detect_all_patterns(g)
    assert [(p.group_id, p.pattern_type) for p in patterns] == [
        ("group_0", "SkipConnection"), ("group_1", "RepConv"), ("group_2", "SkipConnection")]
    outer = patterns[2]
    assert set(outer.nodes) == {"a", "b", "s1", "k3", "k1", "rsum", "outer"}
    assert outer.metadata["processing_depth"] == 5
    h = build_group_hierarchy(g, patterns)
    assert h["node_to_group"] == {"a": "group_0", "b": "group_0", "s1": "group_0",
                                  "k3": "group_1", "k1": "group_1", "rsum": "group_1",
                                  "outer": "group_2"}
    assert list(h["node_to_group"]) == [n for n in g.nodes if n in h["node_to_group"]]
    assert h["parents"] == {"group_0": "group_2", "group_1": "group_2", "group_2": None}
    assert h["children"] == {"group_0": [], "group_1": [], "group_2": ["group_0", "group_1"]}
    assert h["roots"] == ["group_2"] and h["depth"]["group_1"] == 1


def test_hierarchy_of_given_patterns_handles_overlap_and_unknown_nodes():
    pm = lambda gid, nodes: PatternMatch(gid, "Custom", nodes, nodes[:1], nodes[-1:], {})
    graph = SimpleNamespace(nodes={n: None for n in "abcdef"}, edges=[])
    h = build_group_hierarchy(graph, [pm("g_big", list("abcd")), pm("g_small", ["b", "c"]),
                                      pm("g_side", ["d", "e", "zz"])])
    assert h["node_to_group"] == {"a": "g_big", "b": "g_small", "c": "g_small", "d": "g_side",
                                  "e": "g_side", "zz": "g_side"}
    assert h["parents"] == {"g_big": None, "g_small": "g_big", "g_side": None}


def test_detection_is_duck_typed_and_tolerates_untidy_edges():
    node = lambda t: type(t, (), {})()
    nodes = {"x": node("Input"), "f": node("ReLU"), "a": node("Conv2d"), "s": node("Skip"),
             "c1": node("ReLU"), "c2": node("ReLU")}
    edges = [("x", "f"), ("f", "a"), ("a", "s"), ("f", "s"), ("f", "s"), ("s", "ghost"),
             ("c1", "c2"), ("c2", "c1"), ("a", "a")]
    patterns = detect_all_patterns(SimpleNamespace(nodes=nodes, edges=edges))
    assert [(p.pattern_type, p.nodes) for p in patterns] == [("SkipConnection", ["a", "s"])]


def test_sample_metadata_is_plain_json_and_labels_are_texts():
    from nivra.viz.samples import sample_model
    patterns = detect_all_patterns(sample_model())
    for p in patterns:
        assert_json_plain(p.metadata)
        json.dumps(p.metadata)
        for key in constants.GROUP_DISPLAY_PARAMS[p.pattern_type]:
            assert key in p.metadata
    kinds = {p.pattern_type for p in patterns}
    assert kinds == {"RepConv", "SkipConnection", "SPPF", "SPP"}
    assert [p.group_id for p in patterns] == [f"group_{k}" for k in range(len(patterns))]


def test_large_graph():
    """50,000 nodes: 12,500 residual blocks of four nodes (runs in a fraction of a second)."""
    g = ir.Graph()
    g.add_node("in", ir.Input())
    nodes, edges = g.nodes, g.edges
    prev = "in"
    for k in range(12_500):
        a, b, c, s = f"a{k}", f"b{k}", f"c{k}", f"s{k}"
        nodes[a], nodes[b], nodes[c], nodes[s] = ir.ReLU(), ir.ReLU(), ir.ReLU(), ir.Skip()
        edges += [(prev, a), (a, b), (b, c), (c, s), (prev, s)]
        prev = s
    patterns = detect_all_patterns(g)
    assert len(patterns) == 12_500
    assert all(p.metadata["processing_depth"] == 3 for p in patterns)
    h = build_group_hierarchy(g, patterns)
    assert len(h["node_to_group"]) == 50_000 and h["node_to_group"]["s12499"] == "group_12499"
    assert len(h["roots"]) == 12_500
