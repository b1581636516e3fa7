import re

import numpy as np
import pytest

from nivra import ir
from nivra.viz import constants, samples
from nivra.viz.patterns import detect_all_patterns


def test_sample_model_is_deterministic_and_complete():
    a, b = samples.sample_model(), samples.sample_model()
    assert list(a.nodes) == list(b.nodes) and a.edges == b.edges
    assert all(ir.nodes_equal(a.nodes[n], b.nodes[n]) for n in a.nodes)
    assert a.metadata["name"] and a.metadata["description"]
    assert 30 <= len(a.nodes) <= 60 and a.param_count() > 100_000
    a.validate()
    assert a.inputs() == ["input"] and a.outputs() == ["output"]
    for name, node in a.nodes.items():
        assert node.output_shape is not None, name
    kinds = [p.pattern_type for p in detect_all_patterns(a)]
    for kind in ("SkipConnection", "SPPF", "SPP", "RepConv"):
        assert kind in kinds


def test_partitioned_model_uses_four_cores():
    g = samples.sample_partitioned_model()
    meta = g.partition_metadata
    assert meta["num_cores_used"] == 4 and len(g.execution_schedule) == 4
    assert not meta["unassigned"] and meta["cross_core_edges"]
    primitives = {n for n, node in g.nodes.items() if not isinstance(node, (ir.Input, ir.Output))}
    assert set(meta["assignments"]) == primitives
    assert g.get_stage() == "partitioned" and g.nodes["detect"].precision == "int8"


def test_profile_covers_every_primitive():
    profile = samples.sample_profile()
    g = samples.sample_model()
    primitives = [n for n, node in g.nodes.items() if not isinstance(node, (ir.Input, ir.Output))]
    assert list(profile.per_node_latency) == primitives
    assert all(type(v) is float and v > 0 for v in profile.per_node_latency.values())
    assert profile.per_node_latency == samples.sample_profile().per_node_latency
    assert profile.total_latency_us == pytest.approx(sum(profile.per_node_latency.values()))


def test_events():
    ev = samples.sample_events()
    assert len(ev) == 200_000 and ev.dtype.names == ("x", "y", "t", "p")
    assert ev.dtype["x"] == np.uint16 and ev.dtype["t"] == np.int64 and ev.dtype["p"] == np.int8
    assert np.all(np.diff(ev["t"]) >= 0) and ev["t"].min() >= 0
    assert ev["x"].max() <= 127 and ev["y"].max() <= 127
    assert set(np.unique(ev["p"])) == {0, 1} and 0.4 < ev["p"].mean() < 0.6
    assert np.array_equal(ev, samples.sample_events())
    assert len(samples.sample_events(n=1000)) == 1000 and len(samples.sample_events(n=0)) == 0
    # the scene covers the sensor, not a single spot
    counts = np.bincount(ev["y"].astype(int) * 128 + ev["x"], minlength=128 * 128)
    assert (counts > 0).mean() > 0.5


def test_bar_has_on_events_ahead_of_off_events():
    """The bar turns counter-clockwise: ON events lead OFF events in angle."""
    ev = samples.sample_events(n=50_000)
    phase = ev["t"] / 1_000_000
    expected = 2 * np.pi * 1.5 * phase
    angle = np.arctan2(ev["y"] - 63.5, ev["x"] - 63.5)
    near = np.hypot(ev["x"] - 63.5, ev["y"] - 63.5) > 8
    delta = np.angle(np.exp(1j * (angle - expected)) ** 2) / 2  # bar is symmetric: mod pi
    on_bar = near & (np.abs(delta) < 0.1)
    assert np.mean(delta[on_bar & (ev["p"] == 1)]) > 0 > np.mean(delta[on_bar & (ev["p"] == 0)])


def test_frames():
    frames = samples.sample_frames()
    assert frames.shape == (16, 2, 128, 128) and frames.dtype == np.float32
    assert frames.sum() == 60_000 and frames.min() >= 0
    assert frames[:, 0].sum() > 0 and frames[:, 1].sum() > 0
    assert np.array_equal(frames, samples.sample_frames())


# --- display tables -----------------------------------------------------------------------

# NIR's node types that the viewer has entries for (a subgraph too, drawn as a node when empty)
NIR_TYPES = ["Affine", "Linear", "Conv1d", "Conv2d", "LIF", "CubaLIF", "CubaLI", "LI", "IF", "I",
             "Threshold", "Scale", "Flatten", "SumPool2d", "AvgPool2d", "Delay", "Input",
             "Output", "NIRGraph"]


@pytest.mark.parametrize("name", NIR_TYPES)
def test_every_nir_node_type_has_display_entries(name):
    nir = pytest.importorskip("nir")
    assert re.fullmatch(r"#[0-9A-F]{6}", constants.NODE_COLORS[name])
    assert constants.NODE_SHAPES[name] in constants.SHAPES
    if name not in ir.NODE_CLASSES:
        assert set(constants.NODE_DISPLAY_PARAMS[name]) <= set(getattr(nir, name).__dataclass_fields__)


@pytest.mark.parametrize("name", list(ir.NODE_CLASSES))
def test_every_node_type_has_display_entries(name):
    assert re.fullmatch(r"#[0-9A-F]{6}", constants.NODE_COLORS[name])
    assert constants.NODE_SHAPES[name] in constants.SHAPES
    config_fields = {f for f in ir.NODE_CLASSES[name].__dataclass_fields__
                     if f not in ("input_type", "output_type")}
    assert set(constants.NODE_DISPLAY_PARAMS[name]) <= config_fields


def test_table_keys_and_distinct_colours():
    types = list(ir.NODE_CLASSES) + [t for t in NIR_TYPES if t not in ir.NODE_CLASSES]
    assert list(constants.NODE_COLORS) == types
    assert set(constants.NODE_SHAPES) == set(constants.NODE_DISPLAY_PARAMS) == set(types)
    assert len(set(constants.NODE_COLORS.values())) == len(constants.NODE_COLORS)
    kinds = {"RepConv", "SPP", "SPPF", "SkipConnection", "NIRGraph", "Scope"}
    for table in (constants.GROUP_COLORS, constants.GROUP_SHAPES, constants.GROUP_ICONS,
                  constants.GROUP_DISPLAY_PARAMS):
        assert set(table) == kinds
    assert all(len(icon) == 1 for icon in constants.GROUP_ICONS.values())
    assert constants.DEFAULT_NODE_SHAPE in constants.SHAPES
    assert constants.DEFAULT_GROUP_SHAPE in constants.SHAPES
