"""Display tables for graph views: colour, glyph shape and the configuration fields worth
showing, per node type and per pattern (group) type.

Glyph shapes are drawn by the viewer page; the names it knows are listed in ``SHAPES``.
Display parameters name configuration (non-array) fields of the ``nivra.ir`` node classes,
or metadata keys of the pattern groups. The NIR node types share the tables (several names,
such as ``Affine``, ``LIF`` and ``Conv2d``, are the same in both); "NIRGraph" is a NIR
subgraph, drawn as a group.
"""
from __future__ import annotations

SHAPES = ("rect", "round-rect", "ellipse", "diamond", "hexagon", "octagon", "parallelogram")

DEFAULT_NODE_COLOR = "#90A4AE"
DEFAULT_NODE_SHAPE = "rect"

# Families share a hue, members differ in lightness so they stay distinguishable.
NODE_COLORS: dict[str, str] = {
    "Input": "#546E7A",
    "Output": "#37474F",
    "Conv2d": "#1E88E5",
    "Conv1d": "#42A5F5",
    "SepConv2d": "#1565C0",
    "Affine": "#FB8C00",
    "SpikingAffine": "#EF6C00",
    "LIF": "#43A047",
    "ReLU": "#9CCC65",
    "Sigmoid": "#AED581",
    "Tanh": "#7CB342",
    "Softmax": "#C0CA33",
    "BatchNorm1d": "#AB47BC",
    "BatchNorm2d": "#8E24AA",
    "LayerNorm": "#BA68C8",
    "MaxPool2d": "#FFB300",
    "AvgPool2d": "#FFCA28",
    "Flatten": "#78909C",
    "Dropout": "#BDBDBD",
    "Skip": "#00ACC1",
    "Upsample": "#039BE5",
    "HybridRegion": "#D81B60",
    "ChannelSplit": "#9E9D24",
    "Concat": "#26A69A",
    "SGhostConv": "#66BB6A",
    "SGhostEncoderLite": "#2E7D32",
    "GhostBasicBlock1": "#388E3C",
    "GhostBasicBlock2": "#1B5E20",
    "SDDetect": "#E53935",
    "DFLDecode": "#C62828",
    "Dist2BBox": "#AD1457",
    "NMS": "#880E4F",
    # NIR: synapses (weights) in the oranges and blues of Affine and Conv, spiking neurons
    # in the greens of LIF, non-spiking integrators in teal.
    "Linear": "#FFA726",
    "CubaLIF": "#2E8B57",
    "CubaLI": "#00897B",
    "LI": "#4DB6AC",
    "IF": "#81C784",
    "I": "#80CBC4",
    "Threshold": "#AFB42B",
    "Scale": "#FFCC80",
    "SumPool2d": "#FFA000",
    "Delay": "#8D6E63",
    "NIRGraph": "#7E57C2",
}

NODE_SHAPES: dict[str, str] = {
    "Input": "ellipse",
    "Output": "ellipse",
    "Conv2d": "rect",
    "Conv1d": "rect",
    "SepConv2d": "rect",
    "Affine": "rect",
    "SpikingAffine": "hexagon",
    "LIF": "hexagon",
    "ReLU": "round-rect",
    "Sigmoid": "round-rect",
    "Tanh": "round-rect",
    "Softmax": "round-rect",
    "BatchNorm1d": "round-rect",
    "BatchNorm2d": "round-rect",
    "LayerNorm": "round-rect",
    "MaxPool2d": "parallelogram",
    "AvgPool2d": "parallelogram",
    "Flatten": "round-rect",
    "Dropout": "round-rect",
    "Skip": "diamond",
    "Upsample": "parallelogram",
    "HybridRegion": "octagon",
    "ChannelSplit": "diamond",
    "Concat": "diamond",
    "SGhostConv": "hexagon",
    "SGhostEncoderLite": "hexagon",
    "GhostBasicBlock1": "hexagon",
    "GhostBasicBlock2": "hexagon",
    "SDDetect": "octagon",
    "DFLDecode": "rect",
    "Dist2BBox": "rect",
    "NMS": "octagon",
    "Linear": "rect",
    "CubaLIF": "hexagon",
    "CubaLI": "hexagon",
    "LI": "hexagon",
    "IF": "hexagon",
    "I": "hexagon",
    "Threshold": "diamond",
    "Scale": "rect",
    "SumPool2d": "parallelogram",
    "Delay": "round-rect",
    "NIRGraph": "octagon",
}

_CONV = ["kernel_size", "stride", "padding", "groups"]
_BN = ["num_features", "eps", "momentum"]
_POOL = ["kernel_size", "stride", "padding"]
_GHOST = ["stride", "tau", "threshold"]

NODE_DISPLAY_PARAMS: dict[str, list[str]] = {
    "Input": [],
    "Output": [],
    "Conv2d": list(_CONV),
    "Conv1d": list(_CONV),
    "SepConv2d": ["kernel_size", "stride", "padding"],
    "Affine": [],
    "SpikingAffine": ["tau_mem", "threshold", "v_reset", "spike_mode"],
    "LIF": ["v_reset", "tau_syn", "refractory_steps"],
    "ReLU": [],
    "Sigmoid": [],
    "Tanh": [],
    "Softmax": ["dim"],
    "BatchNorm1d": list(_BN),
    "BatchNorm2d": list(_BN),
    "LayerNorm": ["normalized_shape", "eps"],
    "MaxPool2d": list(_POOL),
    "AvgPool2d": list(_POOL),
    "Flatten": ["start_dim", "end_dim"],
    "Dropout": ["p"],
    "Skip": ["operation"],
    "Upsample": ["scale_factor", "mode"],
    "HybridRegion": ["target", "reason"],
    "ChannelSplit": ["split_sizes", "dim"],
    "Concat": ["dim"],
    "SGhostConv": ["kernel_size", "stride", "ratio", "tau", "threshold"],
    "SGhostEncoderLite": list(_GHOST),
    "GhostBasicBlock1": list(_GHOST),
    "GhostBasicBlock2": list(_GHOST),
    "SDDetect": ["num_classes", "reg_max", "strides"],
    "DFLDecode": ["reg_max"],
    "Dist2BBox": ["xywh", "strides"],
    "NMS": ["iou_threshold", "score_threshold", "max_detections"],
    "Linear": [],
    "CubaLIF": [],
    "CubaLI": [],
    "LI": [],
    "IF": [],
    "I": [],
    "Threshold": [],
    "Scale": [],
    "SumPool2d": list(_POOL),
    "Delay": [],
    "NIRGraph": [],
}

# Problems of a graph: placeholder nodes, mismatched edges, the header's badge.
WARNING_COLOR = "#E03131"

DEFAULT_GROUP_COLOR = "#B0BEC5"
DEFAULT_GROUP_SHAPE = "round-rect"

GROUP_COLORS: dict[str, str] = {
    "RepConv": "#5C6BC0",
    "SPP": "#FFA726",
    "SPPF": "#FF7043",
    "SkipConnection": "#26C6DA",
    "NIRGraph": "#7E57C2",  # a NIR subgraph
    "Scope": "#78909C",  # nodes sharing a dotted name prefix
}

GROUP_SHAPES: dict[str, str] = {
    "RepConv": "round-rect",
    "SPP": "round-rect",
    "SPPF": "round-rect",
    "SkipConnection": "round-rect",
    "NIRGraph": "round-rect",
    "Scope": "round-rect",
}

GROUP_ICONS: dict[str, str] = {
    "RepConv": "\u2295",  # circled plus: branches summed
    "SPP": "\u2237",  # proportion sign: parallel scales
    "SPPF": "\u22EF",  # midline ellipsis: pooling chain
    "SkipConnection": "\u21B7",  # clockwise arc arrow: bypass
    "NIRGraph": "\u25A3",  # square in a square: a graph inside the graph
    "Scope": "\u25A2",  # rounded square: a name scope
}

GROUP_DISPLAY_PARAMS: dict[str, list[str]] = {
    "RepConv": ["branches"],
    "SPP": ["num_scales", "pool_kernels"],
    "SPPF": ["chain_depth", "kernel_size"],
    "SkipConnection": ["processing_depth", "path_types"],
    "NIRGraph": ["inputs", "outputs"],
    "Scope": [],
}
