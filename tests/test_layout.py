"""The viewer's layered layout (nivra/viz/web/layout.js) run on its own under Node: every node
placed, none overlapping in a layer, ranks following the edges, routes joining their ends."""
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
    group: Int32Array.from(c.groups || Array(n).fill(-1)) });
  return { x: Array.from(r.x), y: Array.from(r.y), pts: Array.from(r.pts), ptStart: Array.from(r.ptStart) };
});
process.stdout.write(JSON.stringify(out));
"""


def random_dag(n, m, seed, groups=False):
    rng = random.Random(seed)
    edges = {tuple(sorted(rng.sample(range(n), 2))) for _ in range(m)}
    return {"sizes": [[rng.choice([116, 150, 230]), rng.choice([46, 56])] for _ in range(n)],
            "edges": sorted(edges), "groups": [i // 6 if groups and i % 3 else -1 for i in range(n)]}


CASES = {
    "empty": {"sizes": [], "edges": []},
    "isolated": {"sizes": [[120, 46]] * 4, "edges": []},
    "chain": {"sizes": [[120, 46]] * 5, "edges": [[i, i + 1] for i in range(4)]},
    "fan": {"sizes": [[230, 56]] + [[116, 46]] * 6 + [[150, 46]],
            "edges": [[0, i] for i in range(1, 7)] + [[i, 7] for i in range(1, 7)] + [[0, 7]]},
    "random": random_dag(80, 160, seed=1),
    "grouped": random_dag(60, 100, seed=2, groups=True),
    "cycles": {"sizes": [[120, 46]] * 5, "edges": [[0, 1], [1, 2], [2, 0], [2, 3], [3, 2], [3, 4], [4, 1]]},
}


@pytest.fixture(scope="module")
def layouts():
    node = shutil.which("node") or shutil.which("nodejs")
    if node is None:
        pytest.skip("node is not installed (tools/system-deps installs it)")
    cases = [dict(c, opts=OPTS) for c in CASES.values()]
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
    # ranks follow the edges of an acyclic graph
    if name != "cycles":
        assert all(r["y"][s] < r["y"][t] for s, t in edges)
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
