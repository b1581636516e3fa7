"""Visualization for compiled/partitioned NIVRA IR graphs."""
from typing import Any, Dict, List, Optional

from nivra import ir as ir

from .render import render_html as render_html
from .serialize import graph_to_dict as graph_to_dict

CORE_BOUNDARY_COLORS: List[str]
NODE_TYPE_COLORS: Dict[str, str]
_DEFAULT_NODE_COLOR: str
__test__: Dict[str, Any]

def _node_type_color(node: ir.Node) -> str: ...
def visualize_partitioned(graph: ir.Graph, output_path: str, title: str = 'Partitioned Graph') -> str: ...
def visualize_execution_schedule(graph: ir.Graph, output_path: str, title: str = 'Execution Schedule', profile_result: Optional[Any] = None) -> str: ...
def _partition_document(graph: ir.Graph) -> Dict[str, Any]: ...
