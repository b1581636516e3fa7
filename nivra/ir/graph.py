"""The IR graph: named nodes in insertion order and directed edges between them."""
from __future__ import annotations

from collections import deque
from typing import Any, Iterable, Mapping

from .nodes import Node


class Graph:
    """A directed graph of IR nodes.

    ``nodes`` maps node name to node in insertion order, ``edges`` lists (source, target)
    name pairs and ``metadata`` holds free-form information (a "name" and a "description"
    by convention). ``partition_metadata`` and ``execution_schedule`` stay ``None`` until
    ``partition`` fills them.

    ``nodes`` and ``edges`` are plain containers and may be edited directly; ``add_node``
    and ``add_edge`` validate, and ``validate`` checks a whole graph.
    """

    def __init__(
        self,
        nodes: Mapping[str, Node] | Iterable[tuple[str, Node]] | None = None,
        edges: Iterable[tuple[str, str]] | None = None,
        metadata: Mapping[str, Any] | None = None,
    ) -> None:
        self.nodes: dict[str, Node] = {}
        self.edges: list[tuple[str, str]] = []
        self.metadata: dict[str, Any] = dict(metadata) if metadata else {}
        self.partition_metadata: dict[str, Any] | None = None
        self.execution_schedule: list[list[list[str]]] | None = None
        self._edge_set: set[tuple[str, str]] = set()
        self._edge_key: tuple[int, object] = (0, None)
        items = nodes.items() if isinstance(nodes, Mapping) else (nodes or ())
        for name, node in items:
            self.add_node(name, node)
        for source, target in edges or ():
            self.add_edge(source, target)

    def __repr__(self) -> str:
        name = self.metadata.get("name", "")
        label = f" {name!r}" if name else ""
        return f"<Graph{label}: {len(self.nodes)} nodes, {len(self.edges)} edges>"

    def __len__(self) -> int:
        return len(self.nodes)

    def __contains__(self, name: object) -> bool:
        return name in self.nodes

    # --- building ---------------------------------------------------------------------

    def add_node(self, name: str, node: Node) -> Node:
        """Add ``node`` under ``name`` and return it."""
        if type(name) is not str or not name:
            raise TypeError(f"node names must be non-empty str, got {name!r}")
        if not isinstance(node, Node):
            raise TypeError(f"node {name!r} must be an IR node, got {type(node).__name__}")
        if name in self.nodes:
            raise ValueError(f"duplicate node name {name!r}")
        self.nodes[name] = node
        return node

    def add_edge(self, source: str, target: str) -> None:
        """Connect ``source`` to ``target``; both must exist, no self-loops or duplicates."""
        for end in (source, target):
            if end not in self.nodes:
                raise KeyError(f"edge endpoint {end!r} is not a node of the graph")
        if source == target:
            raise ValueError(f"self-loop on {source!r}")
        edge = (source, target)
        known = self._known_edges()
        if edge in known:
            raise ValueError(f"duplicate edge {source!r} -> {target!r}")
        self.edges.append(edge)
        known.add(edge)
        self._edge_key = (len(self.edges), edge)

    def _known_edges(self) -> set[tuple[str, str]]:
        # ``edges`` may be edited directly; rebuild the index when it no longer matches.
        key = (len(self.edges), self.edges[-1] if self.edges else None)
        if key != self._edge_key:
            self._edge_set = {tuple(e) for e in self.edges}  # type: ignore[misc]
            self._edge_key = key
        return self._edge_set

    def chain(self, *names: str) -> None:
        """Connect the named nodes one after another."""
        for source, target in zip(names, names[1:]):
            self.add_edge(source, target)

    # --- structure --------------------------------------------------------------------

    def adjacency(self) -> tuple[dict[str, list[str]], dict[str, list[str]]]:
        """(successors, predecessors): lists per node, in edge order. One pass over the edges."""
        succ: dict[str, list[str]] = {name: [] for name in self.nodes}
        pred: dict[str, list[str]] = {name: [] for name in self.nodes}
        for source, target in self.edges:
            if source not in succ or target not in pred:
                missing = source if source not in succ else target
                raise KeyError(f"edge {source!r} -> {target!r} names unknown node {missing!r}")
            succ[source].append(target)
            pred[target].append(source)
        return succ, pred

    def successors(self, name: str) -> list[str]:
        self._require(name)
        return [t for s, t in self.edges if s == name]

    def predecessors(self, name: str) -> list[str]:
        self._require(name)
        return [s for s, t in self.edges if t == name]

    def inputs(self) -> list[str]:
        return [n for n, node in self.nodes.items() if type(node).__name__ == "Input"]

    def outputs(self) -> list[str]:
        return [n for n, node in self.nodes.items() if type(node).__name__ == "Output"]

    def topological_order(self) -> list[str]:
        """Node names so that every edge points forward; ties keep insertion order.

        Raises ``ValueError`` when the graph has a cycle.
        """
        succ, pred = self.adjacency()
        indegree = {name: len(p) for name, p in pred.items()}
        ready = deque(name for name, d in indegree.items() if d == 0)
        order: list[str] = []
        while ready:
            name = ready.popleft()
            order.append(name)
            for t in succ[name]:
                indegree[t] -= 1
                if indegree[t] == 0:
                    ready.append(t)
        if len(order) != len(self.nodes):
            stuck = [n for n, d in indegree.items() if d > 0]
            raise ValueError(f"graph has a cycle through {', '.join(map(repr, stuck[:5]))}")
        return order

    def levels(self) -> dict[str, int]:
        """Topological level of each node: 0 for sources, else 1 + the deepest predecessor."""
        _, pred = self.adjacency()
        level: dict[str, int] = {}
        for name in self.topological_order():
            level[name] = 1 + max((level[p] for p in pred[name]), default=-1)
        return level

    def validate(self) -> None:
        """Raise if an edge names an unknown node or the graph has a cycle."""
        self.topological_order()

    def param_count(self) -> int:
        return sum(node.param_count() for node in self.nodes.values())

    # --- compilation ------------------------------------------------------------------

    def partition(
        self,
        num_cores: int = 4,
        max_neurons_per_core: int = 1 << 20,
        sram_bytes_per_core: int = 1 << 24,
        strict: bool = True,
    ) -> dict[str, Any]:
        """Place the primitives on cores; fills ``partition_metadata`` and
        ``execution_schedule`` and sets each primitive's ``core_id``. See ``partition.py``."""
        from .partition import partition_graph

        return partition_graph(
            self, num_cores=num_cores, max_neurons_per_core=max_neurons_per_core,
            sram_bytes_per_core=sram_bytes_per_core, strict=strict,
        )

    def get_stage(self) -> str:
        """Compilation stage: "partitioned" once ``partition`` ran, else "ir"."""
        return "partitioned" if self.partition_metadata else "ir"

    def _require(self, name: str) -> None:
        if name not in self.nodes:
            raise KeyError(f"no node named {name!r}")
