"""Pattern detection, group nesting and graph storage on a generated 50,000-node graph.

Targets: detection plus nesting well under one second; storing and reloading in a few
seconds. Times are CPU seconds of this process (the machine is shared), detection the
best of three runs. Prints the measured times; exits non-zero when detection misses its
target.
"""
from __future__ import annotations

import os
import sys
import tempfile
import time

import numpy as np

from nivra import ir
from nivra.viz.patterns import build_group_hierarchy, detect_all_patterns


def residual_graph(blocks: int) -> ir.Graph:
    """Residual blocks of four nodes; every tenth block wrapped in an outer skip."""
    g = ir.Graph(metadata={"name": f"residual-{blocks}"})
    g.add_node("in", ir.Input(input_type={"input": [8]}))
    w = np.ones((8, 8), np.float32)
    prev = outer_start = "in"
    for k in range(blocks):
        a, b, c, s = f"a{k}", f"b{k}", f"c{k}", f"s{k}"
        for name, node in ((a, ir.Affine(weight=w)), (b, ir.ReLU()), (c, ir.Affine(weight=w)),
                           (s, ir.Skip())):
            g.add_node(name, node)
        g.chain(prev, a, b, c, s)
        g.add_edge(prev, s)
        prev = s
        if k % 10 == 9:
            g.add_node(f"o{k}", ir.Skip())
            g.chain(prev, f"o{k}")
            g.add_edge(outer_start, f"o{k}")
            prev = outer_start = f"o{k}"
    return g


def timed(label: str, fn, repeat: int = 1):
    elapsed = float("inf")
    for _ in range(repeat):
        start = time.process_time()
        result = fn()
        elapsed = min(elapsed, time.process_time() - start)
    print(f"{label:<34} {elapsed * 1000:9.1f} ms")
    return result, elapsed


def main() -> int:
    graph, _ = timed("build 50k-node graph", lambda: residual_graph(12_200))
    print(f"{'nodes / edges':<34} {len(graph.nodes)} / {len(graph.edges)}")
    patterns, t_detect = timed("detect_all_patterns", lambda: detect_all_patterns(graph), 3)
    hierarchy, t_nest = timed("build_group_hierarchy",
                              lambda: build_group_hierarchy(graph, patterns), 3)
    print(f"{'groups (roots)':<34} {len(patterns)} ({len(hierarchy['roots'])})")
    timed("partition onto 16 cores", lambda: graph.partition(num_cores=16))
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "g.nvir")
        timed("write", lambda: ir.write(graph, path))
        print(f"{'stored size':<34} {os.path.getsize(path) / 1e6:9.1f} MB")
        timed("read", lambda: ir.read(path))
    ok = t_detect + t_nest < 1.0
    print("detection target (< 1 s):", "met" if ok else "MISSED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
