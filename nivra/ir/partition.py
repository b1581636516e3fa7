"""Greedy placement of a graph's primitives onto hardware cores.

Primitives (every node except ``Input`` and ``Output``) are walked in topological order
and cut into contiguous runs, one run per core, so that each core holds about the same
parameter memory while no core exceeds its neuron count or SRAM budget. A core's
neuron count is the sum of the output sizes of its nodes.
"""
from __future__ import annotations

from math import prod
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .graph import Graph

ALGORITHM = "greedy_topological"
PORT_TYPES = ("Input", "Output")


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
    order = graph.topological_order()
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
        "core_usage": [
            {"core_id": c, "param_bytes": usage[c][0], "neurons": usage[c][1]} for c in used
        ],
    }
    graph.execution_schedule = _schedule(graph, order, assignments, len(used))
    return graph.partition_metadata


def _schedule(graph: Graph, order: list[str], assignments: dict[str, int],
              cores: int) -> list[list[list[str]]]:
    """Per core, its nodes grouped into stages by topological level, stages in level order."""
    level = graph.levels()
    per_core: list[dict[int, list[str]]] = [{} for _ in range(cores)]
    for name in order:
        if name in assignments:
            per_core[assignments[name]].setdefault(level[name], []).append(name)
    return [[stages[k] for k in sorted(stages)] for stages in per_core]
