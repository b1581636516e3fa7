"""Deterministic sample data for demos and tests: a small spiking detector graph (plain and
partitioned), a latency profile for it, a synthetic event recording and a frame stack.

Every function builds new objects from fixed seeds, so repeated calls give equal results.
"""
from __future__ import annotations

from dataclasses import dataclass, field
from math import prod
from typing import Any

import numpy as np

from nivra import ir

SENSOR_SIZE = (128, 128)  # width, height
EVENT_DTYPE = np.dtype([("x", "<u2"), ("y", "<u2"), ("t", "<i8"), ("p", "i1")])


class _Builder:
    def __init__(self, seed: int) -> None:
        self.rng = np.random.default_rng(seed)
        self.graph = ir.Graph(metadata={
            "name": "tiny-spiking-detector",
            "description": "A small spiking object detector for 2x64x64 event frames: "
                           "convolutional stem, RepConv and residual blocks, ghost block, "
                           "SPPF and SPP context modules and a detection head.",
            "input_encoding": "event frames (ON, OFF)",
            "time_steps": 4,
        })

    def weights(self, *shape: int) -> np.ndarray:
        fan_in = prod(shape[1:]) or 1
        return (self.rng.standard_normal(shape) / np.sqrt(fan_in)).astype(np.float32)

    def add(self, name: str, node: ir.Node, *inputs: str, shape: tuple[int, ...]) -> str:
        if inputs:
            src = self.graph.nodes[inputs[0]].output_type.get("output")
            if src is not None and not node.input_type:
                node.input_type = {"input": src.copy()}
        node.output_type = {"output": ir.as_shape(shape)}
        self.graph.add_node(name, node)
        for source in inputs:
            self.graph.add_edge(source, name)
        return name

    def conv(self, name: str, src: str, c_in: int, c_out: int, k: int, hw: int,
             stride: int = 1) -> str:
        node = ir.Conv2d(weight=self.weights(c_out, c_in, k, k),
                         bias=np.zeros(c_out, np.float32), stride=stride, padding=k // 2)
        return self.add(name, node, src, shape=(c_out, hw, hw))

    def bn(self, name: str, src: str, c: int, hw: int) -> str:
        node = ir.BatchNorm2d(
            num_features=c, weight=np.ones(c, np.float32), bias=np.zeros(c, np.float32),
            running_mean=(self.rng.standard_normal(c) * 0.1).astype(np.float32),
            running_var=(1.0 + self.rng.random(c)).astype(np.float32))
        return self.add(name, node, src, shape=(c, hw, hw))

    def lif(self, name: str, src: str, c: int, hw: int) -> str:
        n = c * hw * hw
        node = ir.LIF(tau=np.full(n, 2.0, np.float32), r=np.ones(n, np.float32),
                      v_leak=np.zeros(n, np.float32),
                      v_threshold=(1.0 + 0.05 * self.rng.standard_normal(n)).astype(np.float32))
        return self.add(name, node, src, shape=(c, hw, hw))

    def pool(self, name: str, src: str, k: int, c: int, hw: int) -> str:
        return self.add(name, ir.MaxPool2d(kernel_size=k, stride=1, padding=k // 2), src,
                        shape=(c, hw, hw))


def sample_model() -> ir.Graph:
    """A detector-like SNN of 47 nodes with RepConv, SkipConnection, SPPF and SPP groups;
    a lateral connection into the head makes an outer skip group that nests the others."""
    b = _Builder(seed=20240601)
    b.add("input", ir.Input(input_type={"input": [2, 64, 64]}), shape=(2, 64, 64))
    b.conv("stem_conv", "input", 2, 16, 3, 32, stride=2)
    b.bn("stem_bn", "stem_conv", 16, 32)
    b.lif("stem_lif", "stem_bn", 16, 32)
    # RepConv: 3x3 and 1x1 convolution branches and a batch-norm identity, summed
    b.conv("rep_conv3", "stem_lif", 16, 16, 3, 32)
    b.bn("rep_bn3", "rep_conv3", 16, 32)
    b.conv("rep_conv1", "stem_lif", 16, 16, 1, 32)
    b.bn("rep_bn1", "rep_conv1", 16, 32)
    b.bn("rep_bn_id", "stem_lif", 16, 32)
    b.add("rep_add", ir.Skip(), "rep_bn3", "rep_bn1", "rep_bn_id", shape=(16, 32, 32))
    b.lif("rep_lif", "rep_add", 16, 32)
    b.conv("down_conv", "rep_lif", 16, 32, 3, 16, stride=2)
    b.bn("down_bn", "down_conv", 32, 16)
    b.lif("down_lif", "down_bn", 32, 16)
    # residual block with an identity shortcut
    b.conv("res_conv1", "down_lif", 32, 32, 3, 16)
    b.bn("res_bn1", "res_conv1", 32, 16)
    b.lif("res_lif1", "res_bn1", 32, 16)
    b.conv("res_conv2", "res_lif1", 32, 32, 3, 16)
    b.bn("res_bn2", "res_conv2", 32, 16)
    b.add("res_add", ir.Skip(), "res_bn2", "down_lif", shape=(32, 16, 16))
    b.lif("res_lif", "res_add", 32, 16)
    b.add("ghost", ir.GhostBasicBlock1(ghost1_weight=b.weights(16, 32, 1, 1),
                                       ghost2_weight=b.weights(16, 32, 1, 1)),
          "res_lif", shape=(32, 16, 16))
    # SPPF: three chained 5x5 poolings, all outputs concatenated
    b.conv("sppf_conv", "ghost", 32, 16, 1, 16)
    b.lif("sppf_lif", "sppf_conv", 16, 16)
    b.pool("sppf_pool1", "sppf_lif", 5, 16, 16)
    b.pool("sppf_pool2", "sppf_pool1", 5, 16, 16)
    b.pool("sppf_pool3", "sppf_pool2", 5, 16, 16)
    b.add("sppf_cat", ir.Concat(), "sppf_lif", "sppf_pool1", "sppf_pool2", "sppf_pool3",
          shape=(64, 16, 16))
    b.conv("sppf_out", "sppf_cat", 64, 32, 1, 16)
    b.lif("sppf_out_lif", "sppf_out", 32, 16)
    # SPP: parallel 5x5, 9x9 and 13x13 poolings
    b.conv("spp_conv", "sppf_out_lif", 32, 16, 1, 16)
    b.lif("spp_lif", "spp_conv", 16, 16)
    for k in (5, 9, 13):
        b.pool(f"spp_pool{k}", "spp_lif", k, 16, 16)
    b.add("spp_cat", ir.Concat(), "spp_lif", "spp_pool5", "spp_pool9", "spp_pool13",
          shape=(64, 16, 16))
    b.conv("spp_out", "spp_cat", 64, 32, 1, 16)
    b.lif("spp_out_lif", "spp_out", 32, 16)
    # head
    b.add("upsample", ir.Upsample(scale_factor=2.0), "spp_out_lif", shape=(32, 32, 32))
    b.add("head_cat", ir.Concat(), "upsample", "rep_lif", shape=(48, 32, 32))
    b.conv("head_conv", "head_cat", 48, 32, 3, 32)
    b.lif("head_lif", "head_conv", 32, 32)
    reg_max, classes = 16, 2
    anchors = 32 * 32
    b.add("detect", ir.SDDetect(num_classes=classes, reg_max=reg_max, strides=(2,),
                                box_weight=b.weights(4 * reg_max, 32, 1, 1),
                                cls_weight=b.weights(classes, 32, 1, 1)),
          "head_lif", shape=(4 * reg_max + classes, anchors))
    b.add("dfl", ir.DFLDecode(reg_max=reg_max, project=np.arange(reg_max, dtype=np.float32)),
          "detect", shape=(4, anchors))
    b.add("bbox", ir.Dist2BBox(strides=(2,)), "dfl", shape=(4, anchors))
    b.add("nms", ir.NMS(max_detections=100), "bbox", "detect", shape=(100, 6))
    b.add("output", ir.Output(), "nms", shape=(100, 6))
    return b.graph


def sample_partitioned_model() -> ir.Graph:
    """``sample_model()`` partitioned onto 4 cores."""
    graph = sample_model()
    graph.partition(num_cores=4, max_neurons_per_core=1 << 18, sram_bytes_per_core=1 << 21)
    graph.nodes["detect"].precision = "int8"
    graph.nodes["nms"].precision = "fp16"
    return graph


@dataclass
class SampleProfile:
    """Estimated latencies of ``sample_model()``, microseconds per node."""

    per_node_latency: dict[str, float] = field(default_factory=dict)

    @property
    def total_latency_us(self) -> float:
        return float(sum(self.per_node_latency.values()))


def sample_profile() -> SampleProfile:
    """A latency estimate per primitive: a fixed overhead plus terms for parameters and
    output neurons, with a little seeded spread. Input and Output take no time."""
    graph = sample_model()
    rng = np.random.default_rng(7)
    latency: dict[str, float] = {}
    for name, node in graph.nodes.items():
        if type(node).__name__ in ("Input", "Output"):
            continue
        out = node.output_type.get("output")
        neurons = int(np.prod(out)) if out is not None else 0
        estimate = 0.8 + node.param_count() * 2e-3 + neurons * 4e-4
        latency[name] = round(estimate * float(rng.uniform(0.9, 1.1)), 3)
    return SampleProfile(per_node_latency=latency)


def sample_events(n: int = 200_000, duration_us: int = 1_000_000, seed: int = 3) -> np.ndarray:
    """A synthetic recording on a 128x128 sensor, sorted by time.

    About 70 % of the events come from a bar rotating about the centre (ON at its leading
    edge, OFF at its trailing edge), 25 % from three dots moving on circles (same rule) and
    5 % are uniform background noise. Fields x, y (uint16), t (int64, µs), p (int8, 1 ON /
    0 OFF).
    """
    if n < 0:
        raise ValueError("n must be >= 0")
    rng = np.random.default_rng(seed)
    width, height = SENSOR_SIZE
    t = np.sort(rng.integers(0, duration_us, size=n, dtype=np.int64))
    phase = t / duration_us
    source = rng.random(n)
    x = np.empty(n)
    y = np.empty(n)
    p = np.empty(n, np.int8)
    cx, cy = width / 2 - 0.5, height / 2 - 0.5

    bar = source < 0.70
    m = int(bar.sum())
    angle = 2 * np.pi * 1.5 * phase[bar]  # 1.5 turns, counter-clockwise
    s = rng.uniform(-50, 50, m)  # position along the bar
    leading = rng.random(m) < 0.5
    side = np.where(leading, 1.0, -1.0) * np.sign(s) * 2.0  # half bar width
    along = np.stack([np.cos(angle), np.sin(angle)])
    across = np.stack([-np.sin(angle), np.cos(angle)])
    x[bar] = cx + s * along[0] + side * across[0]
    y[bar] = cy + s * along[1] + side * across[1]
    p[bar] = leading

    dots = (source >= 0.70) & (source < 0.95)
    m = int(dots.sum())
    which = rng.integers(0, 3, m)
    radius = np.array([20.0, 35.0, 50.0])[which]
    speed = np.array([2.0, -1.0, 3.0])[which]
    a = 2 * np.pi * speed * phase[dots] + which
    dx, dy = -np.sin(a) * np.sign(speed), np.cos(a) * np.sign(speed)  # direction of motion
    ring = rng.uniform(0, 2 * np.pi, m)
    r = 3.0 * np.sqrt(rng.random(m))
    ox, oy = r * np.cos(ring), r * np.sin(ring)
    x[dots] = cx + radius * np.cos(a) + ox
    y[dots] = cy + radius * np.sin(a) + oy
    p[dots] = (ox * dx + oy * dy) > 0  # front half of the dot turns ON

    noise = source >= 0.95
    m = int(noise.sum())
    x[noise] = rng.uniform(0, width, m)
    y[noise] = rng.uniform(0, height, m)
    p[noise] = rng.random(m) < 0.5

    jitter = rng.normal(0, 0.4, (2, n))
    events = np.empty(n, EVENT_DTYPE)
    events["x"] = np.clip(np.rint(x + jitter[0]), 0, width - 1)
    events["y"] = np.clip(np.rint(y + jitter[1]), 0, height - 1)
    events["t"] = t
    events["p"] = p
    return events


def sample_frames(n_frames: int = 16, n_events: int = 60_000) -> np.ndarray:
    """``sample_events`` binned into equal time slices: float32 (T, 2, H, W) with ON
    counts in channel 0 and OFF counts in channel 1."""
    width, height = SENSOR_SIZE
    events = sample_events(n_events)
    frames = np.zeros((n_frames, 2, height, width), np.float32)
    if len(events):
        t = events["t"].astype(np.float64)
        span = max(t[-1] - t[0], 1.0)
        index = np.minimum(((t - t[0]) / span * n_frames).astype(np.int64), n_frames - 1)
        channel = np.where(events["p"] > 0, 0, 1)
        np.add.at(frames, (index, channel, events["y"].astype(np.int64),
                           events["x"].astype(np.int64)), 1.0)
    return frames


def sample_nir_model() -> Any:
    """A small convolutional SNN as a NIR graph (needs the optional package ``nir``).

    Two-channel 16x16 event frames go through a "stem" subgraph (Conv2d, CubaLIF,
    SumPool2d), are flattened and enter an "encoder" subgraph (Affine, Delay) that holds
    a recurrent subgraph of its own, "encoder.recurrent" (LIF with a Linear feedback
    loop), and leave through a "readout" subgraph (Affine, LI). Fixed seed.
    """
    import nir  # type: ignore[import-untyped]

    rng = np.random.default_rng(20240917)

    def weights(*shape: int) -> np.ndarray:
        fan_in = prod(shape[1:]) or 1
        out: np.ndarray = (rng.standard_normal(shape) / np.sqrt(fan_in)).astype(np.float32)
        return out

    def full(n: int | tuple[int, ...], value: float) -> np.ndarray:
        return np.full(n, value, np.float32)

    def graph(nodes: dict[str, Any], edges: list[tuple[str, str]], **meta: Any) -> Any:
        return nir.NIRGraph(nodes=nodes, edges=edges, metadata=meta)

    channels, side, hidden, classes = 8, 16, 64, 10
    pooled = (channels, side // 2, side // 2)
    stem = graph({
        "input": nir.Input(np.array([2, side, side])),
        "conv": nir.Conv2d(input_shape=(side, side), weight=weights(channels, 2, 3, 3),
                           stride=1, padding=1, dilation=1, groups=1,
                           bias=np.zeros(channels, np.float32)),
        "lif": nir.CubaLIF(tau_syn=full((channels, side, side), 5e-3),
                           tau_mem=full((channels, side, side), 2e-2),
                           r=full((channels, side, side), 1.0),
                           v_leak=full((channels, side, side), 0.0),
                           v_threshold=full((channels, side, side), 1.0),
                           v_reset=full((channels, side, side), 0.0)),
        "pool": nir.SumPool2d(kernel_size=np.array([2, 2]), stride=np.array([2, 2]),
                              padding=np.array([0, 0])),
        "output": nir.Output(np.array(pooled)),
    }, [("input", "conv"), ("conv", "lif"), ("lif", "pool"), ("pool", "output")])
    recurrent = graph({
        "input": nir.Input(np.array([hidden])),
        "lif": nir.LIF(tau=full(hidden, 2e-2), r=full(hidden, 1.0), v_leak=full(hidden, 0.0),
                       v_threshold=(1.0 + 0.05 * rng.standard_normal(hidden)).astype(np.float32),
                       v_reset=full(hidden, 0.0)),
        "feedback": nir.Linear(weight=weights(hidden, hidden) * 0.5),
        "output": nir.Output(np.array([hidden])),
    }, [("input", "lif"), ("lif", "feedback"), ("feedback", "lif"), ("lif", "output")])
    flat = prod(pooled)
    encoder = graph({
        "input": nir.Input(np.array([flat])),
        "fc": nir.Affine(weight=weights(hidden, flat), bias=np.zeros(hidden, np.float32)),
        "recurrent": recurrent,
        "delay": nir.Delay(delay=rng.integers(1, 4, hidden).astype(np.float32)),
        "output": nir.Output(np.array([hidden])),
    }, [("input", "fc"), ("fc", "recurrent"), ("recurrent", "delay"), ("delay", "output")])
    readout = graph({
        "input": nir.Input(np.array([hidden])),
        "fc": nir.Affine(weight=weights(classes, hidden), bias=np.zeros(classes, np.float32)),
        "li": nir.LI(tau=full(classes, 1e-2), r=full(classes, 1.0), v_leak=full(classes, 0.0)),
        "output": nir.Output(np.array([classes])),
    }, [("input", "fc"), ("fc", "li"), ("li", "output")])
    return graph({
        "input": nir.Input(np.array([2, side, side])),
        "stem": stem,
        "flatten": nir.Flatten(input_type={"input": np.array(pooled)}, start_dim=0,
                               end_dim=-1),
        "encoder": encoder,
        "readout": readout,
        "output": nir.Output(np.array([classes])),
    }, [("input", "stem"), ("stem", "flatten"), ("flatten", "encoder"),
        ("encoder", "readout"), ("readout", "output")],
        name="tiny-recurrent-classifier",
        description="A small convolutional SNN with a recurrent encoder, as a NIR graph: "
                    "2x16x16 event frames in, 10 class scores out.")
