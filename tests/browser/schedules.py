"""Generated partitioned graphs for the timeline, and a plain reference for their critical path.

`generated(...)` builds a layered DAG spread over cores: each layer's nodes go round-robin
to the cores, each node reads one to three nodes of the layer before, and every core runs
its nodes layer by layer (a stage per layer). It is a stand-in for the IR: an object with
the attributes the timeline reads.
"""
from __future__ import annotations

import random
from types import SimpleNamespace

TYPES = ["Conv2d", "LIF", "BatchNorm2d", "Affine", "MaxPool2d", "Concat", "Skip", "Upsample"]
_CLASSES = {name: type(name, (), {}) for name in TYPES}


def node(type_name: str, precision=None):
    obj = _CLASSES[type_name]() if type_name in _CLASSES else type(type_name, (), {})()
    obj.precision = precision
    return obj


def generated(n_nodes: int, n_cores: int, seed: int = 0, profile: bool = True):
    """(graph, profile or None) with `n_nodes` scheduled nodes on `n_cores` cores."""
    rng = random.Random(seed)
    width = max(1, min(n_nodes, n_cores * rng.choice([1, 2, 3])))
    names = [f"n{i}" for i in range(n_nodes)]
    layers = [names[i:i + width] for i in range(0, n_nodes, width)]
    nodes, edges, core_of = {}, [], {}
    schedule = [[] for _ in range(n_cores)]
    for depth, layer in enumerate(layers):
        stages = [[] for _ in range(n_cores)]
        offset = rng.randrange(n_cores)
        for k, name in enumerate(layer):
            nodes[name] = node(rng.choice(TYPES), rng.choice([None, "int8", "fp16"]))
            core = (k + offset) % n_cores
            core_of[name] = core
            stages[core].append(name)
            if depth:
                for src in rng.sample(layers[depth - 1], min(len(layers[depth - 1]), rng.randint(1, 3))):
                    edges.append((src, name))
        for core, stage in enumerate(stages):
            if stage:
                schedule[core].append(stage)
    cross = [(s, t) for s, t in edges if core_of[s] != core_of[t]]
    graph = SimpleNamespace(
        nodes=nodes, edges=edges, execution_schedule=schedule,
        partition_metadata={"assignments": core_of, "cross_core_edges": cross,
                            "num_cores_used": n_cores, "algorithm": "round_robin"})
    if not profile:
        return graph, None
    latency = {name: round(rng.uniform(0.2, 40.0), 3) for name in names}
    return graph, SimpleNamespace(per_node_latency=latency)


def longest_path(graph, latency) -> float:
    """The critical path's length computed the plain way: the longest path, weighted by node
    latency, through the DAG of the cores' run order plus every data edge."""
    succ = {}
    indeg = {}
    for core in graph.execution_schedule:
        order = [name for stage in core for name in stage]
        for name in order:
            succ.setdefault(name, set())
            indeg.setdefault(name, 0)
        for a, b in zip(order, order[1:]):
            if b not in succ[a]:
                succ[a].add(b)
                indeg[b] += 1
    for a, b in graph.edges:
        if a in succ and b in succ and b not in succ[a]:
            succ[a].add(b)
            indeg[b] += 1
    finish = {}
    start = {name: 0.0 for name in succ}
    ready = [name for name, d in indeg.items() if d == 0]
    while ready:
        name = ready.pop()
        finish[name] = start[name] + latency(name)
        for nxt in succ[name]:
            start[nxt] = max(start[nxt], finish[name])
            indeg[nxt] -= 1
            if indeg[nxt] == 0:
                ready.append(nxt)
    assert len(finish) == len(succ), "the reference found a cycle"
    return max(finish.values(), default=0.0)
