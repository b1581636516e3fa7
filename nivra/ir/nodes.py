"""Node classes of the IR: one dataclass per operation.

Every node carries ``input_type`` and ``output_type``: mappings ``{"input": shape}`` and
``{"output": shape}`` whose shape is a one-dimensional NumPy integer array (lists and tuples
given by the user are converted). Array-valued fields hold the node's parameters; the other
fields are its configuration.

Hardware annotations (``precision``, ``core_id``, ``hardware_hints``) are plain attributes,
not dataclass fields, so they never show up among a node's configuration. They default to
``None`` at class level and are set per node, for example by ``Graph.partition``.
"""
from __future__ import annotations

from dataclasses import dataclass, field, fields
from typing import Any, Mapping

import numpy as np

Shape = np.ndarray


def as_shape(value: Any) -> np.ndarray:
    """Return ``value`` as a one-dimensional int64 shape array."""
    arr = np.asarray(value)
    if arr.ndim == 0:
        arr = arr.reshape(1)
    if arr.ndim != 1 or not (arr.size == 0 or np.issubdtype(arr.dtype, np.integer)):
        raise ValueError(f"a shape must be a sequence of ints, got {value!r}")
    return arr.astype(np.int64, copy=False)


def _port(mapping: Mapping[str, Any] | None, key: str) -> dict[str, Any]:
    if not mapping:
        return {}
    out = dict(mapping)
    if key in out and out[key] is not None and not isinstance(out[key], np.ndarray):
        out[key] = as_shape(out[key])
    return out


class _HardwareAnnotations:
    """Optional hardware annotations, absent (``None``) unless set on the node."""

    precision: str | None = None
    core_id: int | None = None
    hardware_hints: dict[str, Any] | None = None


@dataclass(eq=False)
class Node(_HardwareAnnotations):
    """Base of every IR node. Compare nodes with ``nodes_equal`` (arrays make ``==`` ambiguous)."""

    input_type: dict[str, Any] = field(default_factory=dict, kw_only=True)
    output_type: dict[str, Any] = field(default_factory=dict, kw_only=True)

    def __post_init__(self) -> None:
        self.input_type = _port(self.input_type, "input")
        self.output_type = _port(self.output_type, "output")

    @property
    def input_shape(self) -> tuple[int, ...] | None:
        shape = self.input_type.get("input")
        return None if shape is None else tuple(int(d) for d in shape)

    @property
    def output_shape(self) -> tuple[int, ...] | None:
        shape = self.output_type.get("output")
        return None if shape is None else tuple(int(d) for d in shape)

    def arrays(self) -> dict[str, np.ndarray]:
        """The node's array-valued fields (its parameters), in field order."""
        return {f.name: v for f in fields(self) if isinstance(v := getattr(self, f.name), np.ndarray)}

    def param_count(self) -> int:
        return sum(int(a.size) for a in self.arrays().values())

    def param_bytes(self) -> int:
        return sum(int(a.nbytes) for a in self.arrays().values())


def nodes_equal(a: Node, b: Node) -> bool:
    """True when both nodes have the same class, fields (arrays bit-exact) and annotations."""
    if type(a) is not type(b):
        return False
    for f in fields(a):
        if not _values_equal(getattr(a, f.name), getattr(b, f.name)):
            return False
    return all(
        _values_equal(getattr(a, k), getattr(b, k)) for k in ("precision", "core_id", "hardware_hints")
    )


def _values_equal(x: Any, y: Any) -> bool:
    if isinstance(x, np.ndarray) or isinstance(y, np.ndarray):
        return (
            isinstance(x, np.ndarray) and isinstance(y, np.ndarray)
            and x.dtype == y.dtype and x.shape == y.shape
            and np.ascontiguousarray(x).tobytes() == np.ascontiguousarray(y).tobytes()
        )
    if isinstance(x, np.generic) or isinstance(y, np.generic):
        return type(x) is type(y) and np.asarray(x).tobytes() == np.asarray(y).tobytes()
    if isinstance(x, dict):
        return (isinstance(y, dict) and list(x) == list(y)
                and all(_values_equal(x[k], y[k]) for k in x))
    if isinstance(x, (list, tuple)):
        return (type(x) is type(y) and len(x) == len(y)
                and all(_values_equal(p, q) for p, q in zip(x, y)))
    if isinstance(x, float) and isinstance(y, float) and x != x and y != y:
        return True
    return type(x) is type(y) and x == y


Pair = tuple[int, int]


def as_pair(value: Any) -> Pair:
    """``3`` -> ``(3, 3)``; a two-item sequence -> a tuple of two ints."""
    if isinstance(value, (int, np.integer)):
        return (int(value), int(value))
    items = tuple(int(v) for v in value)
    if len(items) != 2:
        raise ValueError(f"expected an int or a pair of ints, got {value!r}")
    return items  # type: ignore[return-value]


def _normalise_pairs(node: Node, *names: str) -> None:
    for name in names:
        value = getattr(node, name)
        if value is not None:
            setattr(node, name, as_pair(value))


# --- graph ports -------------------------------------------------------------------------

@dataclass(eq=False)
class Input(Node):
    """A graph input; ``input_type["input"]`` is the shape fed in."""


@dataclass(eq=False)
class Output(Node):
    """A graph output; ``output_type["output"]`` is the shape produced."""


# --- convolutions and dense layers ---------------------------------------------------------

@dataclass(eq=False)
class Conv2d(Node):
    weight: np.ndarray  # (out_channels, in_channels // groups, kh, kw)
    bias: np.ndarray | None = None
    kernel_size: Pair | None = None  # taken from the weight when not given
    stride: Pair = (1, 1)
    padding: Pair = (0, 0)
    dilation: Pair = (1, 1)
    groups: int = 1

    def __post_init__(self) -> None:
        super().__post_init__()
        if self.kernel_size is None:
            self.kernel_size = (int(self.weight.shape[2]), int(self.weight.shape[3]))
        _normalise_pairs(self, "kernel_size", "stride", "padding", "dilation")


@dataclass(eq=False)
class Conv1d(Node):
    weight: np.ndarray  # (out_channels, in_channels // groups, k)
    bias: np.ndarray | None = None
    kernel_size: int | None = None  # taken from the weight when not given
    stride: int = 1
    padding: int = 0
    dilation: int = 1
    groups: int = 1

    def __post_init__(self) -> None:
        super().__post_init__()
        if self.kernel_size is None:
            self.kernel_size = int(self.weight.shape[2])


@dataclass(eq=False)
class SepConv2d(Node):
    """Depthwise convolution followed by a 1x1 pointwise convolution."""

    depthwise_weight: np.ndarray  # (in_channels, 1, kh, kw)
    pointwise_weight: np.ndarray  # (out_channels, in_channels, 1, 1)
    bias: np.ndarray | None = None
    kernel_size: Pair | None = None  # taken from the depthwise weight when not given
    stride: Pair = (1, 1)
    padding: Pair = (0, 0)

    def __post_init__(self) -> None:
        super().__post_init__()
        if self.kernel_size is None:
            w = self.depthwise_weight
            self.kernel_size = (int(w.shape[2]), int(w.shape[3]))
        _normalise_pairs(self, "kernel_size", "stride", "padding")


@dataclass(eq=False)
class Affine(Node):
    weight: np.ndarray  # (out_features, in_features)
    bias: np.ndarray | None = None


@dataclass(eq=False)
class SpikingAffine(Node):
    """Dense layer with integrated leaky integrate-and-fire output neurons."""

    weight: np.ndarray
    bias: np.ndarray | None = None
    tau_mem: float = 20.0  # ms
    threshold: float = 1.0
    v_reset: float = 0.0
    spike_mode: str = "binary"


# --- neurons and activations ---------------------------------------------------------------

@dataclass(eq=False)
class LIF(Node):
    """Leaky integrate-and-fire neurons, one entry per neuron in each array."""

    tau: np.ndarray  # membrane time constant (ms)
    r: np.ndarray  # membrane resistance
    v_leak: np.ndarray
    v_threshold: np.ndarray
    v_reset: float = 0.0
    tau_syn: float | None = None  # synaptic time constant (ms); None for current input
    refractory_steps: int = 0


@dataclass(eq=False)
class ReLU(Node):
    pass


@dataclass(eq=False)
class Sigmoid(Node):
    pass


@dataclass(eq=False)
class Tanh(Node):
    pass


@dataclass(eq=False)
class Softmax(Node):
    dim: int = -1


# --- normalisation -------------------------------------------------------------------------

@dataclass(eq=False)
class _BatchNorm(Node):
    """Fields shared by the batch normalisations (not a node type of its own)."""

    num_features: int
    weight: np.ndarray | None = None
    bias: np.ndarray | None = None
    running_mean: np.ndarray | None = None
    running_var: np.ndarray | None = None
    eps: float = 1e-5
    momentum: float = 0.1


@dataclass(eq=False)
class BatchNorm1d(_BatchNorm):
    """Batch normalisation over (N, C) or (N, C, L) inputs."""


@dataclass(eq=False)
class BatchNorm2d(_BatchNorm):
    """Batch normalisation over (N, C, H, W) inputs."""


@dataclass(eq=False)
class LayerNorm(Node):
    normalized_shape: tuple[int, ...]
    weight: np.ndarray | None = None
    bias: np.ndarray | None = None
    eps: float = 1e-5


# --- pooling and reshaping -----------------------------------------------------------------

@dataclass(eq=False)
class _Pool2d(Node):
    """Fields shared by the 2-D poolings (not a node type of its own)."""

    kernel_size: Pair
    stride: Pair | None = None  # None: equal to kernel_size
    padding: Pair = (0, 0)

    def __post_init__(self) -> None:
        super().__post_init__()
        _normalise_pairs(self, "kernel_size", "stride", "padding")


@dataclass(eq=False)
class MaxPool2d(_Pool2d):
    """Maximum over each window."""


@dataclass(eq=False)
class AvgPool2d(_Pool2d):
    """Mean over each window."""


@dataclass(eq=False)
class Flatten(Node):
    start_dim: int = 1
    end_dim: int = -1


@dataclass(eq=False)
class Dropout(Node):
    p: float = 0.5


@dataclass(eq=False)
class Skip(Node):
    """Element-wise merge of its inputs (a residual sum by default)."""

    operation: str = "add"


@dataclass(eq=False)
class Upsample(Node):
    scale_factor: float = 2.0
    mode: str = "nearest"


@dataclass(eq=False)
class HybridRegion(Node):
    """A part of the model run off-chip (on the host)."""

    target: str = "cpu"
    reason: str = ""
    members: list[str] = field(default_factory=list)


@dataclass(eq=False)
class ChannelSplit(Node):
    split_sizes: list[int] = field(default_factory=list)
    dim: int = 1


@dataclass(eq=False)
class Concat(Node):
    dim: int = 1


# --- spiking ghost blocks ------------------------------------------------------------------

@dataclass(eq=False)
class SGhostConv(Node):
    """Spiking ghost convolution: a primary convolution plus cheap depthwise features."""

    primary_weight: np.ndarray
    cheap_weight: np.ndarray
    kernel_size: Pair = (1, 1)
    stride: Pair = (1, 1)
    ratio: int = 2
    tau: float = 2.0
    threshold: float = 1.0


@dataclass(eq=False)
class SGhostEncoderLite(Node):
    """Lightweight spiking encoder stem built from ghost convolutions."""

    stem_weight: np.ndarray
    ghost_weight: np.ndarray
    stride: Pair = (2, 2)
    tau: float = 2.0
    threshold: float = 1.0


@dataclass(eq=False)
class GhostBasicBlock1(Node):
    """Ghost residual block keeping the resolution."""

    ghost1_weight: np.ndarray
    ghost2_weight: np.ndarray
    stride: int = 1
    tau: float = 2.0
    threshold: float = 1.0


@dataclass(eq=False)
class GhostBasicBlock2(Node):
    """Ghost residual block with a strided depthwise stage and a projection shortcut."""

    ghost1_weight: np.ndarray
    depthwise_weight: np.ndarray
    ghost2_weight: np.ndarray
    shortcut_weight: np.ndarray | None = None
    stride: int = 2
    tau: float = 2.0
    threshold: float = 1.0


# --- detection head ------------------------------------------------------------------------

@dataclass(eq=False)
class SDDetect(Node):
    """Spiking detection head: box-distribution and class branches per scale."""

    num_classes: int
    reg_max: int = 16
    strides: tuple[int, ...] = (8, 16, 32)
    box_weight: np.ndarray | None = None
    cls_weight: np.ndarray | None = None


@dataclass(eq=False)
class DFLDecode(Node):
    """Distribution focal loss decoding: expected distance from reg_max bins."""

    reg_max: int = 16
    project: np.ndarray | None = None


@dataclass(eq=False)
class Dist2BBox(Node):
    """Anchor distances to boxes."""

    xywh: bool = True
    strides: tuple[int, ...] = (8, 16, 32)


@dataclass(eq=False)
class NMS(Node):
    iou_threshold: float = 0.45
    score_threshold: float = 0.25
    max_detections: int = 300
    class_agnostic: bool = False


NODE_CLASSES: dict[str, type[Node]] = {
    cls.__name__: cls
    for cls in (
        Input, Output, Conv2d, Conv1d, SepConv2d, Affine, SpikingAffine, LIF, ReLU, Sigmoid,
        Tanh, Softmax, BatchNorm1d, BatchNorm2d, LayerNorm, MaxPool2d, AvgPool2d, Flatten,
        Dropout, Skip, Upsample, HybridRegion, ChannelSplit, Concat, SGhostConv,
        SGhostEncoderLite, GhostBasicBlock1, GhostBasicBlock2, SDDetect, DFLDecode, Dist2BBox,
        NMS,
    )
}
"""Every node class by name: the only classes a stored graph may name."""
