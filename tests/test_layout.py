"""The viewer's layered layout (nivra/viz/web/layout.js) run on its own under Node: every node
placed, none overlapping in a layer, ranks following the edges, routes joining their ends, and
the frames of nested groups clear of every node and frame outside them."""
import json
import os
import random
import shutil
import subprocess
from collections import defaultdict
from pathlib import Path

import pytest

LAYOUT = Path(__file__).resolve().parent.parent / "nivra" / "viz" / "web" / "layout.js"
OPTS = {"nodeSep": 26, "rankSep": 50, "dummySep": 12}

# Reads layout.js and the cases (JSON on stdin), prints each case's layout as JSON.
DRIVER = """
const fs = require("fs");
const NL = new Function(fs.readFileSync(process.argv[1], "utf8") + "\\nreturn nivraLayoutModule;")()();
const out = JSON.parse(fs.readFileSync(0, "utf8")).map((c) => {
  const n = c.sizes.length, col = (k) => Float64Array.from(c.sizes, (s) => s[k]);
  const r = NL.runLayout({ n, cross: col(0), along: col(1), opts: c.opts,
    src: Int32Array.from(c.edges, (e) => e[0]), dst: Int32Array.from(c.edges, (e) => e[1]),
    group: Int32Array.from(c.groups || Array(n).fill(-1)), groupParent: c.parent && Int32Array.from(c.parent) });
  return { x: Array.from(r.x), y: Array.from(r.y), pts: Array.from(r.pts), ptStart: Array.from(r.ptStart),
    back: Array.from(r.back) };
});
process.stdout.write(JSON.stringify(out));
"""


def random_dag(n, m, seed, groups=False):
    rng = random.Random(seed)
    edges = {tuple(sorted(rng.sample(range(n), 2))) for _ in range(m)}
    return {"sizes": [[rng.choice([116, 150, 230]), rng.choice([46, 56])] for _ in range(n)],
            "edges": sorted(edges), "groups": [i // 6 if groups and i % 3 else -1 for i in range(n)]}


def nested_blocks(seed):
    """Stages of parallel blocks between a fork and a join, with a plain branch beside them.
    Each block is a group holding a diamond-shaped group (some with a third level inside) and
    a side node; an edge bypasses each stage."""
    rng = random.Random(seed)
    sizes, edges, groups, parent = [], [], [], []

    def add(g):
        sizes.append([rng.choice([116, 150, 230]), rng.choice([46, 56])])
        groups.append(g)
        return len(sizes) - 1

    prev = add(-1)
    for stage in range(3):
        ends = []
        for b in range(2 + stage % 2):
            outer, inner = len(parent), len(parent) + 1
            parent += [-1, outer]
            a = add(outer)
            i1, i2, i3 = add(inner), add(inner), add(inner)
            edges += [[prev, a], [a, i1], [a, i2], [i1, i3], [i2, i3]]
            if (stage + b) % 2:
                parent.append(inner)
                d = add(len(parent) - 1)
                edges += [[i1, d], [d, i3]]
            side, z = add(outer), add(outer)
            edges += [[a, side], [i3, z], [side, z]]
            ends.append(z)
        plain = add(-1)
        join = add(-1)
        edges += [[prev, plain], [plain, join], [prev, join]] + [[z, join] for z in ends]
        prev = join
    return {"sizes": sizes, "edges": edges, "groups": groups, "parent": parent,
            "opts": dict(OPTS, framePad=FRAME_PAD)}


FRAME_PAD = [14, 14, 30, 12]  # before/after on the order axis, then on the rank axis

CASES = {
    "empty": {"sizes": [], "edges": []},
    "isolated": {"sizes": [[120, 46]] * 4, "edges": []},
    "chain": {"sizes": [[120, 46]] * 5, "edges": [[i, i + 1] for i in range(4)]},
    "fan": {"sizes": [[230, 56]] + [[116, 46]] * 6 + [[150, 46]],
            "edges": [[0, i] for i in range(1, 7)] + [[i, 7] for i in range(1, 7)] + [[0, 7]]},
    "random": random_dag(80, 160, seed=1),
    "grouped": random_dag(60, 100, seed=2, groups=True),
    "cycles": {"sizes": [[120, 46]] * 5, "edges": [[0, 1], [1, 2], [2, 0], [2, 3], [3, 2], [3, 4], [4, 1]]},
    "nested": nested_blocks(seed=3),
    # group parents that loop, or name groups that do not exist: treated as outermost groups
    "parent-loop": {"sizes": [[120, 46]] * 6, "edges": [[0, 1], [1, 2], [2, 3], [3, 4], [4, 5]],
                    "groups": [0, 1, 2, 0, 1, 7], "parent": [1, 2, 0], "opts": dict(OPTS, framePad=FRAME_PAD)},
}


@pytest.fixture(scope="module")
def layouts():
    node = shutil.which("node") or shutil.which("nodejs")
    if node is None:
        pytest.skip("node is not installed (tools/system-deps installs it)")
    cases = [dict(c, opts=c.get("opts", OPTS)) for c in CASES.values()]
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # no sanitizer runtime in Node
    res = subprocess.run([node, "-e", DRIVER, str(LAYOUT)], input=json.dumps(cases), env=env,
                         capture_output=True, text=True, timeout=120)
    assert res.returncode == 0, res.stderr
    return dict(zip(CASES, json.loads(res.stdout)))


@pytest.mark.parametrize("name", CASES)
def test_layout_invariants(layouts, name):
    case, r = CASES[name], layouts[name]
    sizes, edges = case["sizes"], case["edges"]
    # every node placed (NaN or infinity would come back as null)
    assert len(r["x"]) == len(r["y"]) == len(sizes)
    assert all(isinstance(v, (int, float)) for v in r["x"] + r["y"])
    # no overlap in a layer: neighbours at least their half widths plus the gap apart
    layers = defaultdict(list)
    for i, y in enumerate(r["y"]):
        layers[y].append(i)
    for layer in layers.values():
        layer.sort(key=lambda i: r["x"][i])
        for a, b in zip(layer, layer[1:]):
            assert r["x"][b] - r["x"][a] >= (sizes[a][0] + sizes[b][0]) / 2 + OPTS["nodeSep"] - 1e-6
    # ranks follow every edge but those closing a cycle, and only cycles have those
    assert all(r["y"][s] < r["y"][t] for (s, t), back in zip(edges, r["back"]) if not back)
    assert any(r["back"]) == (name == "cycles")
    # each edge's route leaves its source's box and ends on its target's
    def inside(i, x, y):
        return abs(x - r["x"][i]) <= sizes[i][0] / 2 + 1e-3 and abs(y - r["y"][i]) <= sizes[i][1] / 2 + 1e-3
    pts, start = r["pts"], r["ptStart"]
    assert len(start) == len(edges) + 1
    for e, (s, t) in enumerate(edges):
        first, last = start[e], start[e + 1] - 1
        assert last > first
        assert inside(s, pts[2 * first], pts[2 * first + 1]), (e, s, t)
        assert inside(t, pts[2 * last], pts[2 * last + 1]), (e, s, t)


def test_edges_closing_cycles_return_beside_the_ranks(layouts):
    case, r = CASES["cycles"], layouts["cycles"]
    sizes, pts, start = case["sizes"], r["pts"], r["ptStart"]
    back = [e for e, b in enumerate(r["back"]) if b]
    assert back
    for e in back:
        s, t = case["edges"][e]
        assert start[e + 1] - start[e] == 4  # one cubic curve
        x = [pts[2 * p] for p in range(start[e], start[e + 1])]
        middle = (x[0] + 3 * x[1] + 3 * x[2] + x[3]) / 8
        lo, hi = sorted((r["y"][s], r["y"][t]))
        beside = [v for v in range(len(sizes)) if lo <= r["y"][v] <= hi]
        assert (all(middle > r["x"][v] + sizes[v][0] / 2 for v in beside)
                or all(middle < r["x"][v] - sizes[v][0] / 2 for v in beside)), e


def test_nested_frames_keep_clear_of_what_is_outside(layouts):
    case, r = CASES["nested"], layouts["nested"]
    sizes, groups, parent = case["sizes"], case["groups"], case["parent"]

    def chain(g):
        while g >= 0:
            yield g
            g = parent[g]

    def box(v):
        (w, h), x, y = sizes[v], r["x"][v], r["y"][v]
        return [x - w / 2, y - h / 2, x + w / 2, y + h / 2]

    # members of every group, nested ones included, side by side in each layer
    layers = defaultdict(list)
    for v, y in enumerate(r["y"]):
        layers[y].append(v)
    for layer in layers.values():
        layer.sort(key=lambda v: r["x"][v])
        for g in range(len(parent)):
            at = [i for i, v in enumerate(layer) if g in chain(groups[v])]
            assert at == list(range(at[0], at[0] + len(at))) if at else True, g
    # frames as the page draws them: around the members, padded once per level
    frames = {}
    for v, g in enumerate(groups):
        if g >= 0:
            b, f = box(v), frames.setdefault(g, box(v))
            frames[g] = [min(f[0], b[0]), min(f[1], b[1]), max(f[2], b[2]), max(f[3], b[3])]
    depth = [len(list(chain(g))) for g in range(len(parent))]
    for g in sorted(frames, key=lambda g: -depth[g]):
        f = frames[g]
        frames[g] = f = [f[0] - FRAME_PAD[0], f[1] - FRAME_PAD[2], f[2] + FRAME_PAD[1], f[3] + FRAME_PAD[3]]
        if parent[g] >= 0:
            p = frames[parent[g]]
            frames[parent[g]] = [min(p[0], f[0]), min(p[1], f[1]), max(p[2], f[2]), max(p[3], f[3])]

    def overlap(a, b):
        return a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]

    for g, f in frames.items():
        for v in range(len(sizes)):
            assert g in chain(groups[v]) or not overlap(f, box(v)), (g, v)
        for h, other in frames.items():
            nested = g in chain(h) or h in chain(g)
            assert nested or not overlap(f, other), (g, h)
