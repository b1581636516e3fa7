"""nivra.ir: the intermediate representation of SNN models.

A model is a ``Graph`` of named ``Node`` objects (one dataclass per operation, see
``nodes``) joined by directed edges. ``write``/``read`` store and load graphs without
executing code; ``Graph.partition`` places the primitives on hardware cores.
"""
from .graph import Graph
from .nodes import (
    LIF, NMS, NODE_CLASSES, SDDetect, Affine, AvgPool2d, BatchNorm1d, BatchNorm2d,
    ChannelSplit, Concat, Conv1d, Conv2d, DFLDecode, Dist2BBox, Dropout, Flatten,
    GhostBasicBlock1, GhostBasicBlock2, HybridRegion, Input, LayerNorm, MaxPool2d, Node,
    Output, ReLU, SepConv2d, SGhostConv, SGhostEncoderLite, Sigmoid, Skip, Softmax,
    SpikingAffine, Tanh, Upsample, as_pair, as_shape, nodes_equal,
)
from .storage import FORMAT_NAME, FORMAT_VERSION, IRFormatError, read, write

__version__ = "0.3.0"

__all__ = [
    "__version__", "Graph", "Node", "NODE_CLASSES", "nodes_equal", "as_shape", "as_pair",
    "read", "write", "IRFormatError", "FORMAT_NAME", "FORMAT_VERSION", *NODE_CLASSES,
]
