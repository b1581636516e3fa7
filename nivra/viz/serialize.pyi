# mypy: disallow-any-generics=False
"""Graph serialization for nivra.viz."""
from typing import Any, Dict, List

from .encode import encode_value as encode_value, format_shape as format_shape
from .patterns import (
    PatternMatch as PatternMatch,
    build_group_hierarchy as build_group_hierarchy,
    detect_all_patterns as detect_all_patterns,
    detect_repconv_patterns as detect_repconv_patterns,
)

NODE_COLORS: Dict[str, str]
NODE_SHAPES: Dict[str, str]
NODE_DISPLAY_PARAMS: Dict[str, List[str]]
DEFAULT_NODE_COLOR: str
DEFAULT_NODE_SHAPE: str
GROUP_COLORS: Dict[str, str]
GROUP_SHAPES: Dict[str, str]
GROUP_ICONS: Dict[str, str]
GROUP_DISPLAY_PARAMS: Dict[str, List[str]]
DEFAULT_GROUP_COLOR: str
DEFAULT_GROUP_SHAPE: str
__test__: Dict[str, Any]

def serialize_node(name: str, node: Any) -> Dict[str, Any]: ...
def compute_summary(graph: Any) -> Dict[str, Any]: ...
def serialize_pattern(pattern: PatternMatch) -> Dict[str, Any]: ...
def graph_to_dict(graph: Any, detect_patterns: bool = True) -> Dict[str, Any]: ...
