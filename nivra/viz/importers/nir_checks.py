"""What is wrong with a NIR graph, for the problems panel of its page.

``check`` looks at the flattened graph and its graph document together: edges naming a
node the graph lacks get a placeholder node (drawn dashed in the warning colour, labelled
with the missing name); edges whose source's output shape is not the target's input shape
are marked with both shapes ("fc1 → lif1: 38 ≠ 40"; shapes that differ only by axes of
length 1, or a one-element side that broadcasts, are taken as compatible); nodes that no input reaches, or that
reach no output, are listed. Each problem is a record {"kind", "message", "nodes"} whose
nodes the page selects; edge problems also carry "edge" [source, target].
"""
from __future__ import annotations

from typing import Any, Mapping

import numpy as np

MISSING_TYPE = "Missing"


def problem(kind: str, message: str, nodes: list[str],
            edge: tuple[str, str] | None = None) -> dict[str, Any]:
    record: dict[str, Any] = {"kind": kind, "message": message, "nodes": nodes}
    if edge is not None:
        record["edge"] = list(edge)
    return record


def _port(node: Any, attr: str, key: str) -> list[int] | None:
    types = getattr(node, attr, None)
    if not isinstance(types, Mapping) or key not in types:
        return None
    value = types[key]
    if value is None:
        return None
    try:
        shape = np.asarray(value).reshape(-1)
    except (TypeError, ValueError):
        return None
    if shape.size == 0 or shape.dtype.kind not in "iuf":
        return None
    return [int(v) for v in shape]


def compatible(out: list[int], inp: list[int]) -> bool:
    """Whether a port of shape ``out`` may feed one of shape ``inp``: the same shape, up to
    axes of length 1, or a single element on either side (a scalar parameter that
    broadcasts)."""
    def squeeze(shape: list[int]) -> list[int]:
        return [v for v in shape if v != 1]

    return squeeze(out) == squeeze(inp) or int(np.prod(out)) == 1 or int(np.prod(inp)) == 1


def shape_text(shape: list[int]) -> str:
    return "×".join(str(v) for v in shape)


def _reached(start: list[str], step: Mapping[str, list[str]]) -> set[str]:
    seen = set(start)
    stack = list(start)
    while stack:
        for n in step.get(stack.pop(), ()):
            if n not in seen:
                seen.add(n)
                stack.append(n)
    return seen


def placeholder_record(name: str) -> dict[str, Any]:
    """The node record of a name that edges use but no node has."""
    from nivra.viz import constants

    return {"id": name, "type": MISSING_TYPE, "input_shape": None, "output_shape": None,
            "params": {}, "config": {"missing": "no node of this name in the file"},
            "param_count": 0, "color": constants.WARNING_COLOR, "shape": "round-rect",
            "display_params": [], "missing": True, "borderColor": constants.WARNING_COLOR,
            "borderStyle": "dashed", "borderWidth": 2}


def check(nodes: Mapping[str, Any], doc: dict[str, Any]) -> list[dict[str, Any]]:
    """The problems of a flattened graph (``nodes`` by flat name) whose document is
    ``doc``; placeholders and edge marks are added to ``doc`` in place."""
    problems: list[dict[str, Any]] = []
    missing: dict[str, None] = {}
    for edge in doc["edges"]:
        s, t = str(edge["source"]), str(edge["target"])
        gone = [x for x in (s, t) if x not in nodes]
        for x in gone:
            missing.setdefault(x, None)
            problems.append(problem("missing", f"{s} → {t}: no node named '{x}'", [x], (s, t)))
        if gone:
            edge["problem"] = "missing node"
            continue
        out = _port(nodes[s], "output_type", "output")
        inp = _port(nodes[t], "input_type", "input")
        if out is not None and inp is not None and not compatible(out, inp):
            text = f"{s} → {t}: {shape_text(out)} ≠ {shape_text(inp)}"
            edge.update(problem=text, source_shape=out, target_shape=inp)
            problems.append(problem("shape", text, [s, t], (s, t)))
    for name in missing:
        doc["nodes"].append(placeholder_record(name))
    succ: dict[str, list[str]] = {}
    pred: dict[str, list[str]] = {}
    for edge in doc["edges"]:
        s, t = str(edge["source"]), str(edge["target"])
        succ.setdefault(s, []).append(t)
        pred.setdefault(t, []).append(s)
    kinds = {name: type(node).__name__ for name, node in nodes.items()}
    inputs = [n for n, k in kinds.items() if k == "Input"]
    outputs = [n for n, k in kinds.items() if k == "Output"]
    fed = _reached(inputs, succ) if inputs else set(nodes)
    used = _reached(outputs, pred) if outputs else set(nodes)
    for n in nodes:
        if n not in fed and n not in used:
            problems.append(problem("unreached", f"{n}: no path from an input, none to an "
                                                 f"output", [n]))
        elif n not in fed:
            problems.append(problem("unreached", f"{n}: no path from an input", [n]))
        elif n not in used:
            problems.append(problem("dead_end", f"{n}: no path to an output", [n]))
    return problems
