"""Detection of architectural patterns in IR graphs.

Four kinds of groups are found from the graph's edges and node types:

- "SPPF": a chain of two or more pooling nodes of one kernel size whose outputs all feed
  one ``Concat``.
- "SPP": two or more pooling nodes of different kernel sizes that read the same node and
  feed one ``Concat``.
- "RepConv": a sum (``Skip`` with operation "add") of two or more convolution branches
  (a convolution, optionally followed by batch norm) and at most one identity branch
  (optionally batch norm only), all reading the same node.
- "SkipConnection": a sum or concatenation whose inputs fork at one node (its immediate
  dominator) and where one path is a bypass of at most ``MAX_SHORTCUT`` nodes while
  another is longer. The group holds every node between fork and join, and the join.

Groups either nest or are disjoint: a candidate that would partly overlap an existing
group is dropped. The work is linear in the graph size apart from the fork search
(dominator walks) and nested groups, whose members are visited once per nesting level.
"""
from __future__ import annotations

from collections import deque
from dataclasses import dataclass, field
from typing import Any, Iterable, Sequence

POOL_TYPES = frozenset({"MaxPool2d", "AvgPool2d"})
CONV_TYPES = frozenset({"Conv2d", "Conv1d", "SepConv2d"})
NORM_TYPES = frozenset({"BatchNorm1d", "BatchNorm2d"})
JOIN_TYPES = frozenset({"Skip", "Concat"})
MAX_SHORTCUT = 2  # nodes allowed on the bypass path of a skip connection


@dataclass
class PatternMatch:
    """One detected group. ``metadata`` holds only JSON-ready plain values."""

    group_id: str
    pattern_type: str
    nodes: list[str]
    entry_nodes: list[str]
    exit_nodes: list[str]
    metadata: dict[str, Any] = field(default_factory=dict)


class _Indexed:
    """Integer-indexed view of a graph: names, types, adjacency, topological positions.

    Edges naming unknown nodes, self-loops and repeated edges are ignored; nodes on a
    cycle get no topological position and take part in no pattern.
    """

    def __init__(self, graph: Any) -> None:
        self.names: list[str] = []
        self.types: list[str] = []
        self.objs: list[Any] = []
        for name, node in graph.nodes.items():
            self.names.append(name)
            self.types.append(type(node).__name__)
            self.objs.append(node)
        n = len(self.names)
        index = {name: i for i, name in enumerate(self.names)}
        succ: list[list[int]] = [[] for _ in range(n)]
        pred: list[list[int]] = [[] for _ in range(n)]
        pairs = set()
        get = index.get
        for source, target in graph.edges:
            i, j = get(source), get(target)
            if i is not None and j is not None and i != j:
                pairs.add((i, j))
        if pairs:
            # keep edge order for the adjacency lists (it decides branch order)
            for source, target in graph.edges:
                i, j = get(source), get(target)
                if (i, j) in pairs:
                    pairs.discard((i, j))
                    succ[i].append(j)
                    pred[j].append(i)
        self.succ, self.pred = succ, pred
        indeg = [len(p) for p in self.pred]
        ready = deque(i for i in range(n) if indeg[i] == 0)
        self.order: list[int] = []
        while ready:
            i = ready.popleft()
            self.order.append(i)
            for j in self.succ[i]:
                indeg[j] -= 1
                if indeg[j] == 0:
                    ready.append(j)
        self.pos = [-1] * n
        for k, i in enumerate(self.order):
            self.pos[i] = k

    def kernel(self, i: int) -> tuple[int, ...] | None:
        k = getattr(self.objs[i], "kernel_size", None)
        try:
            if isinstance(k, Sequence) and not isinstance(k, str):
                return tuple(int(v) for v in k)
            return None if k is None else (int(k), int(k))
        except (TypeError, ValueError):
            return None

    def match(self, kind: str, members: Iterable[int], anchor: int,
              metadata: dict[str, Any]) -> tuple[int, PatternMatch, list[int]]:
        group = sorted(set(members), key=self.pos.__getitem__)
        inside = set(group)
        entry = [self.names[u] for u in group
                 if not self.pred[u] or any(p not in inside for p in self.pred[u])]
        exit_ = [self.names[u] for u in group
                 if not self.succ[u] or any(s not in inside for s in self.succ[u])]
        pattern = PatternMatch("", kind, [self.names[u] for u in group], entry, exit_, metadata)
        return self.pos[anchor], pattern, group


def _kernel_text(kernel: tuple[int, ...]) -> str:
    return "x".join(str(k) for k in kernel)


def _pool_groups(g: _Indexed, claimed: set[int]) -> list[tuple[int, PatternMatch, list[int]]]:
    found = []
    for c in g.order:
        if g.types[c] != "Concat":
            continue
        pools = [p for p in g.pred[c] if g.types[p] in POOL_TYPES and p not in claimed]
        if len(pools) < 2:
            continue
        poolset = set(pools)
        nxt: dict[int, int] = {}
        for p in pools:
            if len(g.pred[p]) == 1:
                q = g.pred[p][0]
                if q in poolset and q not in nxt and g.kernel(q) is not None \
                        and g.kernel(q) == g.kernel(p):
                    nxt[q] = p
        linked = set(nxt.values())
        best: list[int] = []
        for head in pools:
            if head in nxt and head not in linked:
                chain = [head]
                while chain[-1] in nxt:
                    chain.append(nxt[chain[-1]])
                if len(chain) > len(best):
                    best = chain
        if len(best) >= 2:
            kernel = g.kernel(best[0])
            assert kernel is not None
            meta = {"chain_depth": len(best), "kernel_size": kernel,
                    "pool_type": g.types[best[0]]}
            found.append(g.match("SPPF", [*best, c], c, meta))
            claimed.update(best)
            claimed.add(c)
            continue
        by_source: dict[int, list[int]] = {}
        for p in pools:
            if len(g.pred[p]) == 1 and g.succ[p] == [c] and g.kernel(p) is not None:
                by_source.setdefault(g.pred[p][0], []).append(p)
        branch = max(by_source.values(), key=len, default=[])
        kernels = sorted({g.kernel(p) for p in branch})  # type: ignore[type-var]
        if len(branch) >= 2 and len(kernels) >= 2:
            branch.sort(key=lambda p: (g.kernel(p), g.pos[p]))
            meta = {"num_scales": len(branch), "pool_kernels": [g.kernel(p) for p in branch],
                    "pool_type": g.types[branch[0]]}
            found.append(g.match("SPP", [*branch, c], c, meta))
            claimed.update(branch)
            claimed.add(c)
    return found


def _repconv_groups(g: _Indexed, claimed: set[int]) -> list[tuple[int, PatternMatch, list[int]]]:
    def private(i: int) -> bool:  # one input, one consumer, not in a group yet
        return len(g.pred[i]) == 1 and len(g.succ[i]) == 1 and i not in claimed

    found = []
    for j in g.order:
        if g.types[j] != "Skip" or getattr(g.objs[j], "operation", "add") != "add" \
                or len(g.pred[j]) < 2 or j in claimed:
            continue
        branches: list[dict[str, Any]] = []
        members: list[int] = []
        sources = set()
        convs = identities = 0
        for u in g.pred[j]:
            nodes: list[int] = []
            bn = u if g.types[u] in NORM_TYPES and private(u) else None
            head = g.pred[u][0] if bn is not None else u
            if g.types[head] in CONV_TYPES and private(head) and (bn is None or head != u):
                nodes.append(head)
                source = g.pred[head][0]
                kernel = g.kernel(head)
                kind = "conv" + (_kernel_text(kernel) if kernel else "")
                convs += 1
            else:
                source = head
                kind = "identity"
                identities += 1
            if bn is not None:
                nodes.append(bn)
                kind = "bn" if kind == "identity" else kind + "+bn"
            sources.add(source)
            members.extend(nodes)
            branches.append({"type": kind, "nodes": [g.names[v] for v in nodes]})
        if len(sources) == 1 and convs >= 2 and identities <= 1:
            meta = {"branches": branches, "source": g.names[sources.pop()]}
            found.append(g.match("RepConv", [*members, j], j, meta))
            claimed.update(members)
            claimed.add(j)
    return found


def _skip_groups(g: _Indexed, claimed: set[int],
                 taken: list[list[int]]) -> list[tuple[int, PatternMatch, list[int]]]:
    n = len(g.names)
    root = n
    idom = [-1] * (n + 1)
    depth = [0] * (n + 1)
    idom[root] = root
    for i in g.order:
        ps = g.pred[i]
        if not ps:
            idom[i], depth[i] = root, 1
            continue
        d = ps[0]
        for b in ps[1:]:
            a = d
            while a != b:  # nearest common dominator
                while depth[a] > depth[b]:
                    a = idom[a]
                while depth[b] > depth[a]:
                    b = idom[b]
                if a != b:
                    a, b = idom[a], idom[b]
            d = a
        idom[i], depth[i] = d, depth[d] + 1

    top = [-1] * n  # outermost group holding each node so far
    sizes: list[int] = []
    for k, members in enumerate(taken):
        for u in members:
            top[u] = k
        sizes.append(len(members))
    mark = [-1] * n
    longest = [0] * n  # per region: nodes on the longest path from the fork
    shortest = [0] * n
    via = [0] * n
    pred, pos = g.pred, g.pos
    found = []
    for j in g.order:
        if g.types[j] not in JOIN_TYPES or len(g.pred[j]) < 2 or j in claimed:
            continue
        f = idom[j]
        if f == root:
            continue
        region: list[int] = []
        stack = [p for p in g.pred[j] if p != f]
        for p in stack:
            mark[p] = j
        while stack:
            u = stack.pop()
            region.append(u)
            for p in g.pred[u]:
                if p != f and mark[p] != j:
                    mark[p] = j
                    stack.append(p)
        region.sort(key=pos.__getitem__)
        longest[f] = shortest[f] = 0
        for u in region:
            ps = pred[u]
            best = ps[0]
            short = shortest[best]
            for p in ps[1:]:
                if longest[p] > longest[best]:
                    best = p
                if shortest[p] < short:
                    short = shortest[p]
            via[u] = best
            longest[u] = longest[best] + 1
            shortest[u] = short + 1
        ps = pred[j]
        deepest = max(ps, key=longest.__getitem__)
        depth_j = longest[deepest]
        bypass = min(shortest[p] for p in ps)
        if bypass > MAX_SHORTCUT or depth_j <= bypass:
            continue
        members = [*region, j]
        counts: dict[int, int] = {}
        for u in members:
            if top[u] >= 0:
                counts[top[u]] = counts.get(top[u], 0) + 1
        if any(c != sizes[t] for t, c in counts.items()):
            continue  # would cut through an existing group
        path = []
        u = deepest
        while u != f:
            path.append(g.types[u])
            u = via[u]
        path.reverse()
        meta = {"processing_depth": depth_j, "path_types": path,
                "fork": g.names[f], "join": g.names[j]}
        found.append(g.match("SkipConnection", members, j, meta))
        for u in members:
            top[u] = len(sizes)
        sizes.append(len(members))
    return found


def _finish(found: list[tuple[int, PatternMatch, list[int]]]) -> list[PatternMatch]:
    found.sort(key=lambda item: item[0])
    patterns = []
    for k, (_, pattern, _) in enumerate(found):
        pattern.group_id = f"group_{k}"
        patterns.append(pattern)
    return patterns


def detect_repconv_patterns(graph: Any) -> list[PatternMatch]:
    """RepConv groups only, ids "group_0", "group_1", ... in topological order."""
    return _finish(_repconv_groups(_Indexed(graph), set()))


def detect_all_patterns(graph: Any) -> list[PatternMatch]:
    """Every group of every kind, ordered by the topological position of the node
    where the group ends; ids "group_0", "group_1", ... in that order."""
    g = _Indexed(graph)
    claimed: set[int] = set()
    found = _pool_groups(g, claimed)
    found += _repconv_groups(g, claimed)
    found += _skip_groups(g, claimed, [members for _, _, members in found])
    return _finish(found)


def build_group_hierarchy(graph: Any, patterns: Sequence[PatternMatch]) -> dict[str, Any]:
    """Nesting of the groups, from their node sets.

    Returns a dict with:
      "node_to_group": node name -> id of the innermost (smallest) group holding it, in
                       graph node order;
      "parents":  group id -> id of the smallest group that contains it wholly, or None;
      "children": group id -> ids of the groups directly inside it, in pattern order;
      "roots":    ids of the outermost groups, in pattern order;
      "depth":    group id -> nesting depth (0 for a root).
    """
    ids = [p.group_id for p in patterns]
    members = [list(dict.fromkeys(p.nodes)) for p in patterns]
    innermost: dict[str, str] = {}
    top: dict[str, int] = {}
    parent: list[int | None] = [None] * len(patterns)
    for k in sorted(range(len(patterns)), key=lambda k: (len(members[k]), k)):
        counts: dict[int, int] = {}
        for u in members[k]:
            innermost.setdefault(u, ids[k])
            t = top.get(u)
            if t is not None:
                counts[t] = counts.get(t, 0) + 1
            top[u] = k
        for t, c in counts.items():
            if c == len(members[t]) and parent[t] is None:
                parent[t] = k
    node_to_group = {name: innermost[name] for name in graph.nodes if name in innermost}
    for name, gid in innermost.items():  # members that are not nodes of the graph
        node_to_group.setdefault(name, gid)
    children: dict[str, list[str]] = {gid: [] for gid in ids}
    for k, p in enumerate(parent):
        if p is not None:
            children[ids[p]].append(ids[k])
    depth: dict[str, int] = {}
    for k in range(len(patterns)):
        d, p = 0, parent[k]
        while p is not None:
            d, p = d + 1, parent[p]
        depth[ids[k]] = d
    return {
        "node_to_group": node_to_group,
        "parents": {ids[k]: (None if p is None else ids[p]) for k, p in enumerate(parent)},
        "children": children,
        "roots": [ids[k] for k, p in enumerate(parent) if p is None],
        "depth": depth,
    }
