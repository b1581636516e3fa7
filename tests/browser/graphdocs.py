"""Graph documents for the viewer tests and benchmarks.

Builds documents in the exact shape the serializer produces: node records
(id, type, input_shape, output_shape, params, config, param_count, color,
shape, display_params, optional hardware, optional group), edge records,
metadata, summary, group records and node_to_group. Encoded arrays carry the
raw little-endian bytes in base64 with their statistics.
"""
from __future__ import annotations

import base64
import random
from typing import Any

import numpy as np

# Display attributes by node type: colour, glyph shape, parameters shown on the glyph.
DISPLAY: dict[str, tuple[str, str, list[str]]] = {
    "Input": ("#78909C", "ellipse", []),
    "Output": ("#78909C", "ellipse", []),
    "Conv2d": ("#2196F3", "round-rect", ["out_channels", "kernel_size"]),
    "BatchNorm2d": ("#9C27B0", "rect", []),
    "LIF": ("#4CAF50", "hexagon", ["tau"]),
    "Affine": ("#FF9800", "rect", ["out_features"]),
    "MaxPool2d": ("#FFC107", "round-rect", ["kernel_size"]),
    "AvgPool2d": ("#FFC107", "round-rect", []),
    "Flatten": ("#607D8B", "round-rect", []),
    "Skip": ("#00BCD4", "diamond", []),
    "Concat": ("#8BC34A", "diamond", []),
    "Dropout": ("#9E9E9E", "blob", []),  # unknown glyph: the page falls back to a rounded box
}
DEFAULT_DISPLAY = ("#90A4AE", "round-rect", [])

GROUP_DISPLAY: dict[str, tuple[str, str]] = {
    "SkipConnection": ("#00897B", "↪"),
    "SPPF": ("#F4511E", "▦"),
    "RepConv": ("#5E35B1", "⊕"),
    "Inception": ("#3949AB", "◫"),
}

CORE_COLORS = [
    "#4285F4", "#EA4335", "#34A853", "#FBBC05", "#9C27B0", "#FF6D00", "#00BCD4", "#795548",
    "#607D8B", "#E91E63", "#3F51B5", "#009688", "#CDDC39", "#FF5722", "#673AB7", "#2196F3",
]


def encode_array(arr: Any) -> dict:
    """Encoded array: shape, dtype, base64 of the row-major bytes, stats, size."""
    a = np.ascontiguousarray(arr)
    if a.size:
        with np.errstate(invalid="ignore"):
            stats = {"min": float(np.min(a)), "max": float(np.max(a)),
                     "mean": float(np.mean(a)), "std": float(np.std(a))}
    else:
        stats = {"min": 0.0, "max": 0.0, "mean": 0.0, "std": 0.0}
    return {"shape": list(a.shape), "dtype": str(a.dtype),
            "data": base64.b64encode(a.tobytes()).decode("ascii"), "stats": stats, "size": int(a.size)}


def node(name: str, ntype: str, input_shape=None, output_shape=None, params: dict | None = None,
         config: dict | None = None, hardware: dict | None = None) -> dict:
    color, shape, shown = DISPLAY.get(ntype, DEFAULT_DISPLAY)
    enc = {k: encode_array(v) for k, v in (params or {}).items()}
    rec = {
        "id": name, "type": ntype, "input_shape": input_shape, "output_shape": output_shape,
        "params": enc, "config": dict(config or {}), "param_count": sum(v["size"] for v in enc.values()),
        "color": color, "shape": shape, "display_params": list(shown),
    }
    if hardware:
        rec["hardware"] = dict(hardware)
    return rec


def group(gid: int, gtype: str, label: str, subtitle: str, members: list[str],
          metadata: dict | None = None) -> dict:
    color, icon = GROUP_DISPLAY.get(gtype, ("#5C6BC0", "◫"))
    return {"id": gid, "type": gtype, "label": label, "subtitle": subtitle, "nodes": list(members),
            "entry_nodes": members[:1], "exit_nodes": members[-1:], "metadata": dict(metadata or {}),
            "color": color, "shape": "round-rect", "icon": icon, "display_params": []}


def document(nodes: list[dict], edges: list[tuple[str, str]], groups: list[dict] | None = None,
             metadata: dict | None = None, version: str = "0.4.2") -> dict:
    """Assembles the document, adding `group` keys and the summary."""
    groups = groups or []
    node_to_group = {m: g["id"] for g in groups for m in g["nodes"]}
    for rec in nodes:
        if rec["id"] in node_to_group:
            rec["group"] = node_to_group[rec["id"]]
    counts: dict[str, int] = {}
    for rec in nodes:
        counts[rec["type"]] = counts.get(rec["type"], 0) + 1
    summary = {
        "node_count": len(nodes), "edge_count": len(edges),
        "total_params": sum(r["param_count"] for r in nodes), "node_counts": counts,
        "inputs": [{"id": r["id"], "shape": r["output_shape"]} for r in nodes if r["type"] == "Input"],
        "outputs": [{"id": r["id"], "shape": r["input_shape"]} for r in nodes if r["type"] == "Output"],
    }
    return {"version": version, "nodes": nodes, "edges": [{"source": s, "target": t} for s, t in edges],
            "metadata": dict(metadata or {}), "summary": summary, "groups": groups,
            "node_to_group": node_to_group}


def _rng_array(rng: np.random.Generator, shape, dtype="float32", scale=0.1) -> np.ndarray:
    return (rng.standard_normal(shape) * scale).astype(dtype)


# ---------------------------------------------------------------- small graphs --

def chain(length: int = 4) -> dict:
    """Input -> (Affine, LIF) * length -> Output."""
    rng = np.random.default_rng(1)
    nodes = [node("input", "Input", None, [784])]
    width = 784
    for i in range(length):
        out = max(10, width // 4)
        nodes.append(node(f"fc{i}", "Affine", [width], [out],
                          {"weight": _rng_array(rng, (out, width)), "bias": np.zeros(out, np.float32)},
                          {"out_features": out, "in_features": width}))
        nodes.append(node(f"lif{i}", "LIF", [out], [out], config={"tau": 20.0, "threshold": 1.0}))
        width = out
    nodes.append(node("output", "Output", [width], None))
    names = [n["id"] for n in nodes]
    return document(nodes, list(zip(names, names[1:])))


def skip_dag() -> dict:
    """Residual DAG with long skips, a second input feeding deep, and a back edge."""
    rng = np.random.default_rng(2)
    c = [64, 16, 16]
    nodes = [node("image", "Input", None, [3, 32, 32]),
             node("stem", "Conv2d", [3, 32, 32], c, {"weight": _rng_array(rng, (64, 3, 3, 3))},
                  {"out_channels": 64, "kernel_size": [3, 3], "stride": 1}),
             node("stem_lif", "LIF", c, c, config={"tau": 2.0})]
    edges = [("image", "stem"), ("stem", "stem_lif")]
    prev = "stem_lif"
    for b in range(3):
        names = [f"b{b}.conv1", f"b{b}.lif1", f"b{b}.conv2", f"b{b}.add"]
        nodes += [node(names[0], "Conv2d", c, c, {"weight": _rng_array(rng, (64, 64, 3, 3))}, {"out_channels": 64, "kernel_size": [3, 3]}),
                  node(names[1], "LIF", c, c, config={"tau": 2.0}),
                  node(names[2], "Conv2d", c, c, {"weight": _rng_array(rng, (64, 64, 3, 3))}, {"out_channels": 64, "kernel_size": [3, 3]}),
                  node(names[3], "Skip", c, c)]
        edges += [(prev, names[0]), (names[0], names[1]), (names[1], names[2]), (names[2], names[3]), (prev, names[3])]
        prev = names[3]
    nodes += [node("bias_in", "Input", None, [10]),
              node("pool", "AvgPool2d", c, [64, 1, 1]), node("flat", "Flatten", [64, 1, 1], [64]),
              node("fc", "Affine", [64], [10], {"weight": _rng_array(rng, (10, 64))}, {"out_features": 10}),
              node("drop", "Dropout", [10], [10], config={"p": 0.1}),
              node("logits", "Output", [10], None)]
    edges += [(prev, "pool"), ("pool", "flat"), ("flat", "fc"), ("bias_in", "fc"), ("fc", "drop"), ("drop", "logits"),
              ("drop", "b2.add")]  # a cycle: recurrent feedback
    return document(nodes, edges)


def sample_model() -> dict:
    """A spiking residual network with SPPF and RepConv blocks: the demo graph."""
    rng = np.random.default_rng(3)
    nodes, edges, groups = [], [], []

    def add(rec, *sources):
        nodes.append(rec)
        edges.extend((s, rec["id"]) for s in sources)
        return rec["id"]

    s32, s16, s8 = [32, 32, 32], [64, 16, 16], [128, 8, 8]
    prev = add(node("events", "Input", None, [2, 64, 64]))
    prev = add(node("stem.conv", "Conv2d", [2, 64, 64], s32, {"weight": _rng_array(rng, (32, 2, 3, 3)), "bias": _rng_array(rng, 32)},
                    {"out_channels": 32, "kernel_size": [3, 3], "stride": 2}), prev)
    prev = add(node("stem.bn", "BatchNorm2d", s32, s32, {"gamma": np.ones(32, np.float32), "beta": np.zeros(32, np.float32)},
                    {"eps": 1e-5}), prev)
    prev = add(node("stem.lif", "LIF", s32, s32, {"v_threshold": np.full(32, 1.0, np.float32)}, {"tau": 2.0, "reset": "subtract"}), prev)
    gid = 0
    for stage, (shape_in, shape_out) in enumerate([(s32, s16), (s16, s8)]):
        ch = shape_out[0]
        members = []
        p = f"layer{stage + 1}"
        a = add(node(f"{p}.conv1", "Conv2d", shape_in, shape_out, {"weight": _rng_array(rng, (ch, shape_in[0], 3, 3))},
                     {"out_channels": ch, "kernel_size": [3, 3], "stride": 2}), prev)
        b = add(node(f"{p}.bn1", "BatchNorm2d", shape_out, shape_out, {"gamma": np.ones(ch, np.float32)}, {"eps": 1e-5}), a)
        c = add(node(f"{p}.lif1", "LIF", shape_out, shape_out, config={"tau": 2.0}), b)
        d = add(node(f"{p}.conv2", "Conv2d", shape_out, shape_out, {"weight": _rng_array(rng, (ch, ch, 3, 3))},
                     {"out_channels": ch, "kernel_size": [3, 3]}), c)
        down = add(node(f"{p}.down", "Conv2d", shape_in, shape_out, {"weight": _rng_array(rng, (ch, shape_in[0], 1, 1))},
                        {"out_channels": ch, "kernel_size": [1, 1], "stride": 2}), prev)
        e = add(node(f"{p}.add", "Skip", shape_out, shape_out), d, down)
        f = add(node(f"{p}.lif2", "LIF", shape_out, shape_out, config={"tau": 2.0}), e)
        members = [a, b, c, d, down, e, f]
        groups.append(group(gid, "SkipConnection", "Skip (4 layers)", "bypass: Conv2d → BatchNorm2d → LIF → Conv2d", members,
                            {"processing_depth": 4}))
        gid += 1
        prev = f
    # RepConv: three parallel branches summed.
    r_in = prev
    br = [add(node("rep.conv3x3", "Conv2d", s8, s8, {"weight": _rng_array(rng, (128, 128, 3, 3))}, {"out_channels": 128, "kernel_size": [3, 3]}), r_in),
          add(node("rep.conv1x1", "Conv2d", s8, s8, {"weight": _rng_array(rng, (128, 128, 1, 1))}, {"out_channels": 128, "kernel_size": [1, 1]}), r_in),
          add(node("rep.identity", "BatchNorm2d", s8, s8, {"gamma": np.ones(128, np.float32)}, {"eps": 1e-5}), r_in)]
    rsum = add(node("rep.sum", "Skip", s8, s8), *br)
    rl = add(node("rep.lif", "LIF", s8, s8, config={"tau": 2.0}), rsum)
    groups.append(group(gid, "RepConv", "RepConv (3 branches)", "Conv2d, Conv2d, BatchNorm2d", br + [rsum, rl],
                        {"branches": [{"type": "Conv2d"}, {"type": "Conv2d"}, {"type": "BatchNorm2d"}]}))
    gid += 1
    # SPPF: a chain of pools concatenated.
    cv = add(node("sppf.cv1", "Conv2d", s8, [64, 8, 8], {"weight": _rng_array(rng, (64, 128, 1, 1))}, {"out_channels": 64, "kernel_size": [1, 1]}), rl)
    m1 = add(node("sppf.pool1", "MaxPool2d", [64, 8, 8], [64, 8, 8], config={"kernel_size": [5, 5]}), cv)
    m2 = add(node("sppf.pool2", "MaxPool2d", [64, 8, 8], [64, 8, 8], config={"kernel_size": [5, 5]}), m1)
    m3 = add(node("sppf.pool3", "MaxPool2d", [64, 8, 8], [64, 8, 8], config={"kernel_size": [5, 5]}), m2)
    cat = add(node("sppf.concat", "Concat", [64, 8, 8], [256, 8, 8], config={"dim": 0}), cv, m1, m2, m3)
    cv2 = add(node("sppf.cv2", "Conv2d", [256, 8, 8], s8, {"weight": _rng_array(rng, (128, 256, 1, 1))}, {"out_channels": 128, "kernel_size": [1, 1]}), cat)
    groups.append(group(gid, "SPPF", "SPPF (depth=3)", "sequential: 5×5", [cv, m1, m2, m3, cat, cv2],
                        {"chain_depth": 3, "kernel_size": [5, 5]}))
    pool = add(node("head.pool", "AvgPool2d", s8, [128, 1, 1], config={"kernel_size": [8, 8]}), cv2)
    flat = add(node("head.flatten", "Flatten", [128, 1, 1], [128]), pool)
    fc1 = add(node("head.fc1", "Affine", [128], [256], {"weight": _rng_array(rng, (256, 128)), "bias": _rng_array(rng, 256, scale=0.01)},
                   {"out_features": 256, "in_features": 128}), flat)
    l1 = add(node("head.lif", "LIF", [256], [256], config={"tau": 5.0}), fc1)
    fc2 = add(node("head.fc2", "Affine", [256], [10], {"weight": _rng_array(rng, (10, 256)), "bias": _rng_array(rng, 10, scale=0.01)},
                   {"out_features": 10, "in_features": 256}), l1)
    add(node("logits", "Output", [10], None), fc2)
    return document(nodes, edges, groups, {"model": "sresnet-tiny", "timesteps": 4, "dataset": "DVS Gesture"})


def partitioned(cores: int = 3) -> dict:
    """The sample model as the partition view sees it: core outlines, dashed cross-core edges, legends."""
    doc = sample_model()
    prims = [n for n in doc["nodes"] if n["type"] not in ("Input", "Output")]
    assignments: dict[str, int] = {}
    per = -(-len(prims) // cores)
    for i, rec in enumerate(prims):
        assignments[rec["id"]] = i // per
    type_colors: dict[str, str] = {}
    for rec in doc["nodes"]:
        type_colors.setdefault(rec["type"], rec["color"])
        cid = assignments.get(rec["id"])
        if cid is None:
            continue
        rec["borderColor"] = CORE_COLORS[cid % 16]
        rec["borderStyle"] = "dashed"
        rec["borderWidth"] = 3
        rec.setdefault("hardware", {})["core_id"] = cid
    cross = set()
    for e in doc["edges"]:
        a, b = assignments.get(e["source"]), assignments.get(e["target"])
        if a is not None and b is not None and a != b:
            e["style"] = "dashed"
            e["cross_core"] = True
            cross.add((e["source"], e["target"]))
    counts: dict[int, int] = {}
    for cid in assignments.values():
        counts[cid] = counts.get(cid, 0) + 1
    md = doc["metadata"]
    md["partition"] = {"num_cores_used": cores, "algorithm": "greedy_topological", "cross_core_edges": len(cross)}
    md["core_legend"] = [{"core_id": c, "color": CORE_COLORS[c % 16], "node_count": n, "label": f"Core {c}"}
                         for c, n in sorted(counts.items())]
    md["type_legend"] = [{"type": t, "color": c} for t, c in sorted(type_colors.items())]
    return doc


def hostile(payloads: list[str]) -> dict:
    """Every user-controlled text carries markup that would run script if injected."""
    p0 = payloads[0]
    nodes = [node("input", "Input", None, [4])]
    edges = []
    prev = "input"
    for i, text in enumerate(payloads):
        nodes.append(node(text, "Affine" if i % 2 == 0 else text, [4], [4], {"weight": np.ones((4, 4), np.float32)},
                          {"note": text, text: text}, hardware={"precision": text}))
        edges.append((prev, text))
        prev = text
    nodes.append(node("output", "Output", [4], None))
    edges.append((prev, "output"))
    grp = group(p0, p0, p0, p0, [payloads[0]], {p0: p0})
    grp["icon"] = p0
    doc = document(nodes, edges, [grp], {p0: p0, "partition": {"num_cores_used": p0, "algorithm": p0, "cross_core_edges": 0}})
    doc["version"] = p0
    doc["summary"]["node_counts"][p0] = 1
    return doc


def special_values() -> dict:
    """NaN/Infinity statistics and parameters of every dtype the page decodes."""
    rng = np.random.default_rng(4)
    nan_weights = np.array([1.0, np.nan, 3.0, -2.0], np.float32)
    params = {
        "f16": rng.standard_normal(50).astype(np.float16),
        "f32": rng.standard_normal((5, 6)).astype(np.float32),
        "f64": rng.standard_normal(33),
        "i8": rng.integers(-128, 127, 40, dtype=np.int8),
        "i16": rng.integers(-3000, 3000, 40, dtype=np.int16),
        "i32": rng.integers(-10**6, 10**6, 40, dtype=np.int32),
        "i64": rng.integers(-10**12, 10**12, 40, dtype=np.int64),
        "u8": rng.integers(0, 255, 40, dtype=np.uint8),
        "u16": rng.integers(0, 60000, 40, dtype=np.uint16),
        "u32": rng.integers(0, 4 * 10**9, 40, dtype=np.uint32),
        "u64": rng.integers(0, 2**40, 40, dtype=np.uint64),
        "mask": rng.integers(0, 2, 40).astype(bool),
        "be32": rng.standard_normal(20).astype(">f4"),
        "empty": np.zeros((0, 3), np.float32),
    }
    nodes = [node("input", "Input", None, [4]),
             node("weird", "Affine", [4], [4], {"nan_weight": nan_weights}, {"scale": float("inf"), "shift": float("nan")}),
             node("dtypes", "LIF", [4], [4], params, {"tau": 2.0}),
             node("output", "Output", [4], None)]
    return document(nodes, [("input", "weird"), ("weird", "dtypes"), ("dtypes", "output")])


# ------------------------------------------------------------- generated graphs --

def generated(n_nodes: int, seed: int = 0, groups: bool = True, param_size: int = 16) -> dict:
    """A deep network of exactly `n_nodes` nodes: residual blocks and multi-branch blocks.

    Each block is a pattern group when `groups` is true. Parameters are small
    arrays so that huge documents stay a reasonable size.
    """
    rng = random.Random(seed)
    nrng = np.random.default_rng(seed)
    nodes: list[dict] = []
    edges: list[tuple[str, str]] = []
    group_list: list[dict] = []
    shape = [64, 16, 16]

    def add(name, ntype, *sources, with_params=False, config=None):
        params = {"weight": nrng.standard_normal(param_size).astype(np.float32)} if with_params else None
        nodes.append(node(name, ntype, shape, shape, params, config))
        edges.extend((s, name) for s in sources)
        return name

    prev = add("input", "Input")
    nodes[0]["input_shape"] = None
    block = 0
    while True:
        kind = rng.random()
        p = f"block{block}"
        if kind < 0.6:
            size = 5
            if len(nodes) + size > n_nodes - 1:
                break
            a = add(f"{p}.conv1", "Conv2d", prev, with_params=True, config={"out_channels": 64, "kernel_size": [3, 3]})
            b = add(f"{p}.bn", "BatchNorm2d", a, with_params=True)
            c = add(f"{p}.lif", "LIF", b, config={"tau": 2.0})
            d = add(f"{p}.conv2", "Conv2d", c, with_params=True, config={"out_channels": 64, "kernel_size": [3, 3]})
            e = add(f"{p}.add", "Skip", d, prev)
            members, gtype, label, sub = [a, b, c, d, e], "SkipConnection", "Skip (3 layers)", "residual"
        else:
            width = rng.choice([2, 3, 4])
            depths = [rng.choice([1, 2, 3]) for _ in range(width)]
            size = sum(depths) + 2
            if len(nodes) + size > n_nodes - 1:
                break
            ends, members = [], []
            for w, depth in enumerate(depths):
                src = prev
                for j in range(depth):
                    t = "Conv2d" if j % 2 == 0 else "LIF"
                    src = add(f"{p}.b{w}.{j}", t, src, with_params=t == "Conv2d", config={"kernel_size": [1 + 2 * w, 1 + 2 * w]})
                    members.append(src)
                ends.append(src)
            cat = add(f"{p}.concat", "Concat", *ends, config={"dim": 0})
            out = add(f"{p}.lif", "LIF", cat, config={"tau": 2.0})
            members += [cat, out]
            gtype, label, sub = "Inception", f"Inception ({width} branches)", f"{len(members)} nodes"
        if groups:
            group_list.append(group(block, gtype, label, sub, members))
        prev = members[-1]
        block += 1
    i = 0
    while len(nodes) < n_nodes - 1:
        prev = add(f"tail{i}", "Affine" if i % 2 == 0 else "LIF", prev, with_params=i % 2 == 0)
        i += 1
    add("output", "Output", prev)
    return document(nodes, edges, group_list, {"generator": "graphdocs.generated", "seed": seed})


def random_layered(n_nodes: int, width: int = 100, seed: int = 0) -> dict:
    """A wide random DAG: `width` nodes per rank, each fed by 1-3 nodes of the 1-3 ranks above.

    No groups: every node is laid out, and crossing reduction has real work.
    """
    rng = random.Random(seed)
    types = ["Conv2d", "LIF", "Affine", "BatchNorm2d", "Skip"]
    nodes, edges = [], []
    ranks: list[list[str]] = []
    for i in range(n_nodes):
        r = i // width
        if r == len(ranks):
            ranks.append([])
        name = f"n{i}"
        ntype = "Input" if r == 0 else types[i % len(types)]
        nodes.append(node(name, ntype, [8], [8]))
        ranks[r].append(name)
        if r:
            for _ in range(rng.choice([1, 1, 2, 3])):
                src_rank = ranks[max(0, r - rng.choice([1, 1, 1, 2, 3]))]
                edges.append((rng.choice(src_rank), name))
    return document(nodes, list(dict.fromkeys(edges)), metadata={"generator": "graphdocs.random_layered"})


# Keys that name properties every JavaScript object inherits.
PROTO_NAMES = ["__proto__", "constructor", "prototype", "toString", "valueOf", "hasOwnProperty"]
# A JSON object that String() and Number() cannot convert: it owns toString and valueOf, but not as functions.
UNPRINTABLE = {"toString": 1, "valueOf": 1}


def prototype_keys() -> dict:
    """A partitioned graph whose names, keys, types, group ids and core ids are prototype names,
    with values that cannot be converted to text by the usual means."""
    names = PROTO_NAMES
    nodes = [node("input", "Input", None, [4])]
    for i, name in enumerate(names):
        other = names[(i + 1) % len(names)]
        rec = node(name, other, [UNPRINTABLE], [4], {name: np.arange(4, dtype=np.float32), other: np.ones(2, np.float32)},
                   {"__proto__": {"partition": 1}, "constructor": name, "prototype": [UNPRINTABLE]},
                   hardware={"core_id": [name, {"__proto__": None}, UNPRINTABLE][i % 3], "__proto__": name,
                             "constructor": UNPRINTABLE})
        rec["display_params"] = ["constructor", "toString", "__proto__", "hasOwnProperty"]
        rec["borderColor"] = CORE_COLORS[i % 16]
        rec["params"][other]["dtype"] = "constructor"   # a dtype named after a prototype property
        rec["params"][name]["stats"] = {"min": UNPRINTABLE, "max": None, "mean": "__proto__", "std": 1.0}
        nodes.append(rec)
    nodes.append(node("output", "Output", [4], None))
    order = [n["id"] for n in nodes]
    groups = [group("__proto__", "constructor", "prototype", "toString", names[:3], {"__proto__": 1, "constructor": 2}),
              group("constructor", "__proto__", UNPRINTABLE, UNPRINTABLE, names[3:5])]
    groups[1]["icon"] = UNPRINTABLE
    cores = [names[0], {"__proto__": None}, UNPRINTABLE]
    metadata = {
        "__proto__": {"partition": {"algorithm": "X"}}, "constructor": 1, "prototype": UNPRINTABLE,
        "partition": {"num_cores_used": UNPRINTABLE, "algorithm": "__proto__", "cross_core_edges": {"__proto__": 0}},
        "core_legend": [{"core_id": c, "color": CORE_COLORS[i], "node_count": UNPRINTABLE, "label": None}
                        for i, c in enumerate(cores)],
        "type_legend": [{"type": t, "color": "#123456"} for t in names],
    }
    doc = document(nodes, list(zip(order, order[1:])), groups, metadata)
    doc["version"] = UNPRINTABLE
    doc["edges"][2]["cross_core"] = True
    doc["nodes"][1]["param_count"] = UNPRINTABLE
    doc["summary"]["total_params"] = "unknown"  # the page adds up the nodes' counts
    return doc
