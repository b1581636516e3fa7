"""Name scopes: nodes whose dotted names share a prefix ("encoder.block1.conv",
"encoder.block1.lif") drawn as one collapsible group per prefix, nested by dots.

Exporters that flatten their modules keep the module path in the node names; the scope
groups give the page back the structure the names tell. A prefix becomes a group when it
holds at least two nodes; a chain of prefixes holding the same nodes ("a", "a.b" over
"a.b.x" and "a.b.y") is one group, labelled with the longest. Prefixes that already have a
group of their own (a NIR subgraph) are left to it.

    doc = add_scopes(graph_to_dict(graph), graph)  # groups "scope:encoder", ...
"""
from __future__ import annotations

from typing import Any, Iterable

GROUP_TYPE = "Scope"
GROUP_PREFIX = "scope:"


def scope_members(names: Iterable[str], taken: Iterable[str] = ()) -> dict[str, list[str]]:
    """Prefix -> the names under it, for the prefixes that form groups, outer first."""
    under: dict[str, list[str]] = {}
    for name in names:
        parts = name.split(".")
        for k in range(1, len(parts)):
            under.setdefault(".".join(parts[:k]), []).append(name)
    skip = set(taken)
    children: dict[str, list[str]] = {}
    for prefix in under:
        if "." in prefix:
            children.setdefault(prefix.rsplit(".", 1)[0], []).append(prefix)
    groups: dict[str, list[str]] = {}
    for prefix in sorted(under, key=lambda p: (p.count("."), p)):
        members = under[prefix]
        if len(members) < 2 or prefix in skip or any(not part for part in prefix.split(".")):
            continue
        # a longer prefix holding the same nodes stands for this one
        if any(len(under[c]) == len(members) for c in children.get(prefix, ())):
            continue
        groups[prefix] = members
    return groups


def scope_matches(names: Iterable[str], edges: Iterable[Any],
                  taken: Iterable[str] = ()) -> list[Any]:
    """One ``PatternMatch`` of type "Scope" per scope group, with its entry and exit nodes."""
    from nivra.viz.patterns import PatternMatch

    pairs = [(str(a), str(b)) for a, b in edges]
    matches = []
    for prefix, members in scope_members([str(n) for n in names], taken).items():
        inside = set(members)
        entry = list(dict.fromkeys(b for a, b in pairs if b in inside and a not in inside))
        exit_ = list(dict.fromkeys(a for a, b in pairs if a in inside and b not in inside))
        matches.append(PatternMatch(GROUP_PREFIX + prefix, GROUP_TYPE, members, entry, exit_,
                                    {"prefix": prefix}))
    return matches


def scope_record(match: Any) -> dict[str, Any]:
    """The group record of one scope."""
    from nivra.viz import constants

    return {
        "id": match.group_id, "type": GROUP_TYPE, "label": match.metadata["prefix"],
        "subtitle": f"{len(match.nodes)} nodes", "nodes": list(match.nodes),
        "entry_nodes": list(match.entry_nodes), "exit_nodes": list(match.exit_nodes),
        "metadata": dict(match.metadata),
        "color": constants.GROUP_COLORS.get(GROUP_TYPE, constants.DEFAULT_GROUP_COLOR),
        "shape": constants.GROUP_SHAPES.get(GROUP_TYPE, constants.DEFAULT_GROUP_SHAPE),
        "icon": constants.GROUP_ICONS.get(GROUP_TYPE, "\u25EB"),
        "display_params": [],
    }


def add_scopes(doc: dict[str, Any], graph: Any) -> dict[str, Any]:
    """Add the scope groups of ``graph`` to its graph document (in place): the scopes come
    first, then the document's own groups; ``node_to_group`` and the nodes' ``group`` are
    rebuilt with the scopes among them. Returns the document."""
    from nivra.viz import serialize
    from nivra.viz.patterns import PatternMatch

    groups = list(doc.get("groups") or [])
    taken = [str(g.get("label")) for g in groups if g.get("type") == "NIRGraph"]
    found = scope_matches(graph.nodes, graph.edges, taken)
    if not found:
        return doc
    matches = found + [PatternMatch(g["id"], g["type"], list(g["nodes"]), list(g["entry_nodes"]),
                                    list(g["exit_nodes"])) for g in groups]
    doc["groups"] = [scope_record(m) for m in found] + groups
    node_to_group = serialize.build_group_hierarchy(graph, matches)["node_to_group"]
    for record in doc["nodes"]:
        record.pop("group", None)
        gid = node_to_group.get(record["id"])
        if gid is not None:
            record["group"] = gid
    doc["node_to_group"] = node_to_group
    return doc
