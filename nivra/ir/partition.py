"""Greedy placement of a graph's primitives onto hardware cores.

Primitives (every node except ``Input`` and ``Output``) are walked in topological order
and cut into contiguous runs, one run per core, so that each core holds about the same
parameter memory while no core exceeds its neuron count or SRAM budget. A core's
neuron count is the sum of the output sizes of its nodes.

Recurrent graphs are placed too: the recurrent edges are those that close a cycle in a
depth-first walk from the inputs (in insertion order, then from any node not reached);
placement and the schedule's order use the graph without them, and the metadata lists them.
"""
from __future__ import annotations

from collections import deque
from math import prod
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .graph import Graph

ALGORITHM = "greedy_topological"
PORT_TYPES = ("Input", "Output")


class NodeOverLimit(ValueError):
    """A primitive that alone exceeds a per-core limit; ``limit`` names the limit."""

    def __init__(self, message: str, limit: str) -> None:
        super().__init__(message)
        self.limit = limit


def node_neurons(node: Any) -> int:
    shape = node.output_type.get("output") if node.output_type else None
    return int(prod(int(d) for d in shape)) if shape is not None else 0


def partition_graph(
    graph: Graph,
    num_cores: int,
    max_neurons_per_core: int,
    sram_bytes_per_core: int,
    strict: bool = True,
) -> dict[str, Any]:
    if num_cores < 1 or max_neurons_per_core < 1 or sram_bytes_per_core < 1:
        raise ValueError("num_cores, max_neurons_per_core and sram_bytes_per_core must be >= 1")
    recurrent = recurrent_edges(graph)
    forward = [e for e in graph.edges if e not in set(recurrent)] if recurrent else graph.edges
    order, level = _order_and_levels(graph, forward)
    primitives = [n for n in order if type(graph.nodes[n]).__name__ not in PORT_TYPES]
    cost = {n: (graph.nodes[n].param_bytes(), node_neurons(graph.nodes[n])) for n in primitives}
    total_bytes = sum(b for b, _ in cost.values())

    assignments: dict[str, int] = {}
    unassigned: list[str] = []
    usage = [[0, 0] for _ in range(num_cores)]  # bytes, neurons per core
    core, placed_bytes = 0, 0
    for name in primitives:
        nbytes, neurons = cost[name]
        if nbytes > sram_bytes_per_core or neurons > max_neurons_per_core:
            unassigned.append(name)
            continue
        while core < num_cores:
            used_b, used_n = usage[core]
            full = used_b + nbytes > sram_bytes_per_core or used_n + neurons > max_neurons_per_core
            # move on once this core holds its share of the total memory
            share_reached = (used_b or used_n) and placed_bytes >= total_bytes * (core + 1) / num_cores
            if not full and not (share_reached and nbytes and core < num_cores - 1):
                break
            core += 1
        if core >= num_cores:
            unassigned.append(name)
            continue
        assignments[name] = core
        usage[core][0] += nbytes
        usage[core][1] += neurons
        placed_bytes += nbytes

    if unassigned and strict:
        _refuse_oversized(primitives, cost, max_neurons_per_core, sram_bytes_per_core)
        raise ValueError(
            f"{len(unassigned)} primitive(s) do not fit on {num_cores} core(s) "
            f"(max_neurons_per_core={max_neurons_per_core}, "
            f"sram_bytes_per_core={sram_bytes_per_core}): {', '.join(unassigned[:5])}"
            + (" ..." if len(unassigned) > 5 else "")
        )

    for name in primitives:
        graph.nodes[name].core_id = assignments.get(name)
    cross = [(s, t) for s, t in graph.edges
             if s in assignments and t in assignments and assignments[s] != assignments[t]]
    used = sorted(set(assignments.values()))
    graph.partition_metadata = {
        "assignments": assignments,
        "cross_core_edges": cross,
        "num_cores_used": len(used),
        "algorithm": ALGORITHM,
        "unassigned": unassigned,
        "recurrent_edges": recurrent,
        "max_neurons_per_core": max_neurons_per_core,
        "sram_bytes_per_core": sram_bytes_per_core,
        "core_usage": [
            {"core_id": c, "param_bytes": usage[c][0], "neurons": usage[c][1]} for c in used
        ],
    }
    graph.execution_schedule = _schedule(level, order, assignments, len(used))
    return graph.partition_metadata


def recurrent_edges(graph: Graph) -> list[tuple[str, str]]:
    """The edges that close a cycle in a depth-first walk from the inputs, in insertion
    order (then from every node not yet reached), successors in edge order."""
    succ, _ = graph.adjacency()
    starts = graph.inputs() + list(graph.nodes)
    state: dict[str, int] = {}  # 1 on the walk's path, 2 finished
    found: list[tuple[str, str]] = []
    for root in starts:
        if root in state:
            continue
        state[root] = 1
        stack = [(root, iter(succ[root]))]
        while stack:
            name, rest = stack[-1]
            nxt = next(rest, None)
            if nxt is None:
                state[name] = 2
                stack.pop()
            elif state.get(nxt) == 1:
                found.append((name, nxt))
            elif nxt not in state:
                state[nxt] = 1
                stack.append((nxt, iter(succ[nxt])))
    return found


def _order_and_levels(graph: Graph, edges: list[tuple[str, str]]
                      ) -> tuple[list[str], dict[str, int]]:
    """Topological order (ties in insertion order) and level of each node over `edges`."""
    succ: dict[str, list[str]] = {name: [] for name in graph.nodes}
    indegree = dict.fromkeys(graph.nodes, 0)
    for s, t in edges:
        succ[s].append(t)
        indegree[t] += 1
    ready = deque(name for name, d in indegree.items() if d == 0)
    order: list[str] = []
    level = dict.fromkeys(graph.nodes, 0)
    while ready:
        name = ready.popleft()
        order.append(name)
        for t in succ[name]:
            level[t] = max(level[t], level[name] + 1)
            indegree[t] -= 1
            if indegree[t] == 0:
                ready.append(t)
    return order, level


def _refuse_oversized(primitives: list[str], cost: dict[str, tuple[int, int]],
                      max_neurons: int, sram_bytes: int) -> None:
    """Raise NodeOverLimit when a primitive alone exceeds a per-core limit: more cores
    cannot help it."""
    for name in primitives:
        nbytes, neurons = cost[name]
        if neurons > max_neurons:
            raise NodeOverLimit(f"node {name!r} alone has {neurons:,} neurons, more than "
                                f"max_neurons_per_core={max_neurons}", "max_neurons_per_core")
        if nbytes > sram_bytes:
            raise NodeOverLimit(f"node {name!r} alone holds {nbytes:,} parameter bytes, more "
                                f"than sram_bytes_per_core={sram_bytes}", "sram_bytes_per_core")


def _schedule(level: dict[str, int], order: list[str], assignments: dict[str, int],
              cores: int) -> list[list[list[str]]]:
    """Per core, its nodes grouped into stages by topological level, stages in level order."""
    per_core: list[dict[int, list[str]]] = [{} for _ in range(cores)]
    for name in order:
        if name in assignments:
            per_core[assignments[name]].setdefault(level[name], []).append(name)
    return [[stages[k] for k in sorted(stages)] for stages in per_core]
