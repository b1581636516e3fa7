"""NIR graphs (the Neuromorphic Intermediate Representation) in the graph viewer.

A NIR graph may hold other NIR graphs as nodes. The viewer draws one flat graph, so
``flatten`` lifts every member of a subgraph to the top with its full dotted name
("block.inner.lif"), drops the subgraphs' own ``Input`` and ``Output`` nodes and
connects what fed them straight to the members behind them; each subgraph becomes a group
of the viewer (collapsible like the pattern groups, labelled with its dotted name).
``graph_document`` builds the graph document of ``nivra.viz.serialize`` from that, with
pattern detection run on the flattened graph.

Files are read as ``nir.read`` reads them (package ``nir``, an optional extra of
nivra-viz), after checks of their layout, and drawn node by node when nir refuses them;
they are recognised by their content: the HDF5 signature and NIR's layout (a "node" group
holding a "type").
"""
from __future__ import annotations

import copy
import os
from dataclasses import dataclass, field
from typing import Any, Iterable, Mapping

import numpy as np

EXTRA_HINT = "pip install 'nivra-viz[nir]'"
HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"
GROUP_TYPE = "NIRGraph"
GROUP_PREFIX = "nir:"

# Fields that NIR stores as small integer arrays but that are configuration, not weights:
# shown as plain values (and left out of the parameter counts).
CONFIG_FIELDS = frozenset({"stride", "padding", "dilation", "groups", "kernel_size",
                           "input_shape", "start_dim", "end_dim"})

PathArg = str | bytes | os.PathLike[str]


class NIRUnavailableError(ImportError):
    """The optional ``nir`` package (or its ``h5py``) is not installed."""


class NIRFormatError(ValueError):
    """The file is not a NIR graph, or ``nir`` cannot read it."""


# --- reading -------------------------------------------------------------------------------


def _import_nir() -> tuple[Any, Any]:
    """The modules ``nir`` and ``h5py`` (through which nir reads)."""
    try:
        import h5py  # type: ignore[import-untyped]
        import nir  # type: ignore[import-untyped]
    except ImportError as exc:
        raise NIRUnavailableError(
            f"reading NIR graphs needs the optional package nir ({exc}): {EXTRA_HINT}") from None
    return nir, h5py


def looks_like_hdf5(path: PathArg) -> bool:
    """Whether the file starts with the HDF5 signature (at offset 0 or after a user block
    of 512, 1024, 2048, ... bytes). Unreadable files are not HDF5."""
    try:
        with open(path, "rb") as f:
            offset = 0
            while offset <= 1 << 20:
                f.seek(offset)
                head = f.read(len(HDF5_SIGNATURE))
                if head == HDF5_SIGNATURE:
                    return True
                if len(head) < len(HDF5_SIGNATURE):
                    return False
                offset = 512 if offset == 0 else offset * 2
    except OSError:
        return False
    return False


@dataclass
class NIRFile:
    """A NIR graph read from a file, with the NIR version that wrote it and, when the
    graph only loaded without NIR's type check, why that check failed. ``refusal`` is why
    ``nir.read`` refused the file when it was read from its HDF5 layout instead, and
    ``notes`` what of the file could not be taken as written."""

    graph: Any
    version: str
    type_check_error: str | None = None
    refusal: str | None = None
    notes: list[str] = field(default_factory=list)


def _read_in_child(name: str) -> tuple[str, Any, str, str | None]:
    """What the bounded child sends back: ("nir", graph, version, type check failure) when
    nir builds the graph, else ("tree", node tree, version, nir's refusal). The file is
    read once, checked as it is read (``nir_h5.read_tree``); nir then builds its nodes
    from that tree as ``nir.read`` does, with its type check and, failing that, without."""
    from nivra.viz.importers import nir_h5

    nir, _ = _import_nir()
    try:
        version, tree = nir_h5.read_tree(name)
    except OSError as exc:
        raise NIRFormatError(f"not a readable HDF5 file ({exc})") from None
    version = version or str(getattr(nir, "__version__", "unknown"))
    checked = None
    for type_check in (True, False):
        try:
            graph = nir.dict2NIRNode({**nir_h5.plain_copy(tree), "type_check": type_check})
            return "nir", graph, version, checked
        except Exception as exc:  # noqa: BLE001 - the refusal is shown on the page
            checked = checked or (f"{type(exc).__name__}: {exc}" if str(exc).strip()
                                  else _silent_refusal(nir, tree, exc))
    return "tree", tree, version, checked


def _silent_refusal(nir: Any, tree: Mapping[str, Any], exc: BaseException) -> str:
    """Why nir refused a tree when its exception says nothing: the node types it lacks."""
    unknown: dict[str, None] = {}
    stack = [tree]
    while stack:
        node = stack.pop()
        kind = node.get("type")
        if isinstance(kind, str) and not isinstance(getattr(nir, kind, None), type):
            unknown.setdefault(kind, None)
        members = node.get("nodes")
        if isinstance(members, Mapping):
            stack += [m for m in members.values() if isinstance(m, Mapping)]
    if unknown:
        return f"node types it does not know: {', '.join(sorted(unknown))}"
    return f"{type(exc).__name__} in nir's reader"


def read(path: PathArg) -> NIRFile:
    """Read a ``.nir`` file as ``nir.read`` does, or node by node when nir refuses it.

    Raises NIRUnavailableError without the ``nir`` package, FileNotFoundError for a missing
    file and NIRFormatError (one line) for a file that is not a NIR graph or cannot be read.
    A graph that fails NIR's type check is read again without it and the failure reported
    with it; a file nir refuses altogether (edges to missing nodes, node types or fields it
    does not know) is read node by node from the HDF5 file, and the refusal reported.
    The reading runs in a child process with a time and memory limit.
    """
    from nivra.viz.importers import nir_h5

    nir, _ = _import_nir()
    name = os.fsdecode(path)
    if not os.path.exists(name):
        raise FileNotFoundError(f"{name}: no such file")
    if not looks_like_hdf5(name):
        raise NIRFormatError(f"{name}: not a NIR graph (not an HDF5 file)")
    try:
        how, got, version, error = nir_h5.run_bounded(_read_in_child, name)
    except ValueError as exc:
        text = (str(exc).splitlines() or ["cannot read"])[0].removeprefix("NIRFormatError: ")
        raise NIRFormatError(text if text.startswith(name) else f"{name}: {text}") from None
    if how == "nir":
        return NIRFile(got, version, error)
    notes: list[str] = []
    graph = nir_h5.build_graph(got, nir, notes)
    if not isinstance(graph, nir_h5.NIRGraph):
        graph = nir_h5.NIRGraph({"node": graph}, [], {})
    return NIRFile(graph, version, None, error, notes)


def write(path: PathArg, graph: Any) -> None:
    """Store a NIR graph with ``nir.write`` (NIRUnavailableError without ``nir``)."""
    _import_nir()[0].write(os.fsdecode(path), graph)


# --- flattening ----------------------------------------------------------------------------


def is_nir_graph(obj: Any) -> bool:
    """Whether ``obj`` is a NIR graph (a ``nir.NIRGraph``, or any node named so that has a
    node mapping and edges)."""
    return type(obj).__name__ == GROUP_TYPE and _is_graph(obj)


def _is_graph(node: Any) -> bool:
    return isinstance(getattr(node, "nodes", None), Mapping) and hasattr(node, "edges")


def _shown(node: Any) -> Any:
    """The node as the viewer should see it: configuration held in small integer arrays
    becomes plain ints and lists, on a shallow copy (the caller's node is not changed)."""
    fields = getattr(node, "__dataclass_fields__", None)
    if not fields:
        return node
    changes = {}
    for name in CONFIG_FIELDS.intersection(fields):
        value = getattr(node, name, None)
        if isinstance(value, np.ndarray) and value.ndim <= 1 and value.dtype.kind in "iub":
            changes[name] = value.tolist()
    if not changes:
        return node
    shown = copy.copy(node)
    for name, value in changes.items():
        setattr(shown, name, value)
    return shown


def _port_shapes(types: Any) -> dict[str, Any]:
    if not isinstance(types, Mapping):
        return {}
    return {str(k): (v.tolist() if isinstance(v, np.ndarray) else v) for k, v in types.items()}


@dataclass
class Subgraph:
    """One NIR subgraph after flattening: its dotted name, nesting, members (flat names, of
    nested subgraphs too) and the port shapes of its ``Input`` and ``Output`` nodes."""

    path: str
    parent: str | None
    depth: int
    members: list[str] = field(default_factory=list)
    inputs: dict[str, Any] = field(default_factory=dict)
    outputs: dict[str, Any] = field(default_factory=dict)
    metadata: Any = None


@dataclass
class FlatGraph:
    """A NIR graph flattened for ``graph_to_dict``: ``nodes`` (flat name -> NIR node),
    ``edges`` ((source, target) pairs), ``metadata`` and the ``subgraphs``, outer before
    inner."""

    nodes: dict[str, Any]
    edges: list[tuple[str, str]]
    metadata: dict[str, Any]
    subgraphs: list[Subgraph]


@dataclass
class _Level:
    """What the edges of the enclosing graph need to know about one (sub)graph."""

    flat: dict[str, str] = field(default_factory=dict)  # plain member -> flat name
    inner: dict[str, _Level] = field(default_factory=dict)  # subgraph member -> its level
    inputs: list[str] = field(default_factory=list)  # flat names of its Input nodes
    outputs: list[str] = field(default_factory=list)
    roots: list[str] = field(default_factory=list)  # members no edge of its own enters
    leaves: list[str] = field(default_factory=list)


class _Flattener:
    def __init__(self) -> None:
        self.nodes: dict[str, Any] = {}
        self.edges: list[tuple[str, str]] = []
        self.ports: set[str] = set()  # Input/Output nodes of subgraphs, removed at the end
        self.subgraphs: list[Subgraph] = []
        self.order: list[str] = []  # flat names in the order they were added

    def unique(self, name: str) -> str:
        # Dotted names of members may meet a top-level name that holds dots itself.
        if name not in self.nodes:
            return name
        k = 2
        while f"{name}~{k}" in self.nodes:
            k += 1
        return f"{name}~{k}"

    def add(self, graph: Any, prefix: str, sub: Subgraph | None) -> _Level:
        level = _Level()
        start = len(self.order)
        for name, node in graph.nodes.items():
            name = str(name)
            if _is_graph(node) and len(node.nodes):
                path = prefix + name
                info = Subgraph(path, sub.path if sub else None, sub.depth + 1 if sub else 0,
                                inputs=_port_shapes(getattr(node, "input_type", None)),
                                outputs=_port_shapes(getattr(node, "output_type", None)),
                                metadata=getattr(node, "metadata", None) or None)
                self.subgraphs.append(info)
                level.inner[name] = self.add(node, path + ".", info)
                continue
            flat = self.unique(prefix + name)
            self.nodes[flat] = _shown(node)
            self.order.append(flat)
            level.flat[name] = flat
            kind = type(node).__name__
            if sub is not None and kind in ("Input", "Output"):
                self.ports.add(flat)
                (level.inputs if kind == "Input" else level.outputs).append(flat)
        entered: set[str] = set()
        left: set[str] = set()
        for edge in graph.edges:
            s, t = (str(x) for x in edge)
            left.add(s)
            entered.add(t)
            for a in self.ends(level, s, prefix, source=True):
                for b in self.ends(level, t, prefix, source=False):
                    self.edges.append((a, b))
        level.roots = [level.flat[n] for n in level.flat if n not in entered]
        level.leaves = [level.flat[n] for n in level.flat if n not in left]
        for name, inner in level.inner.items():
            # a subgraph that nothing inside it feeds is entered at its own entries
            if name not in entered:
                level.roots += inner.inputs or inner.roots
            if name not in left:
                level.leaves += inner.outputs or inner.leaves
        if sub is not None:
            sub.members = [n for n in self.order[start:] if n not in self.ports]
        return level

    def ends(self, level: _Level, end: str, prefix: str, source: bool) -> list[str]:
        """Flat names an edge end names: a plain member, a whole subgraph (its Output
        nodes as a source, its Input nodes as a target) or "sub.member" inside one."""
        if end in level.flat:
            return [level.flat[end]]
        if end in level.inner:
            inner = level.inner[end]
            if source:
                return inner.outputs or inner.leaves
            return inner.inputs or inner.roots
        head, dot, rest = end.partition(".")
        while dot:
            if head in level.inner:
                found = self.ends(level.inner[head], rest, f"{prefix}{head}.", source)
                if found:
                    return found
            more, dot, rest = rest.partition(".")
            head = f"{head}.{more}"
        return [prefix + end]  # not a node: kept, the viewer reports it as unknown

    def contracted_edges(self) -> list[tuple[str, str]]:
        """The edges with the subgraphs' port nodes taken out: whatever fed a port is
        connected to whatever the port fed (through chains of ports as well)."""
        ports = self.ports
        succ: dict[str, list[str]] = {p: [] for p in ports}
        pred: dict[str, list[str]] = {p: [] for p in ports}
        for a, b in self.edges:
            if a in ports:
                succ[a].append(b)
            if b in ports:
                pred[b].append(a)

        def through(start: str, step: dict[str, list[str]]) -> list[str]:
            out: list[str] = []
            seen = {start}
            stack = [start]
            while stack:
                for n in step[stack.pop()]:
                    if n in ports:
                        if n not in seen:
                            seen.add(n)
                            stack.append(n)
                    elif n not in out:
                        out.append(n)
            return out

        edges: dict[tuple[str, str], None] = {}
        for a, b in self.edges:
            sources = through(a, pred) if a in ports else [a]
            targets = through(b, succ) if b in ports else [b]
            for x in sources:
                for y in targets:
                    edges.setdefault((x, y), None)
        return list(edges)


def flatten(graph: Any, metadata: Mapping[str, Any] | None = None) -> FlatGraph:
    """Flatten a NIR graph (nested ``NIRGraph`` nodes at any depth) for the viewer.

    The result's metadata is ``metadata`` (if given) followed by the graph's own. Empty
    subgraphs stay single nodes. The caller's graph and nodes are not changed.
    """
    if not _is_graph(graph):
        raise TypeError(f"expected a NIR graph (with nodes and edges), "
                        f"got {type(graph).__name__}")
    f = _Flattener()
    f.add(graph, "", None)
    edges = f.contracted_edges()
    for port in f.ports:
        del f.nodes[port]
    meta: dict[str, Any] = dict(metadata or {})
    own = getattr(graph, "metadata", None)
    if isinstance(own, Mapping):
        for k, v in own.items():
            meta.setdefault(str(k), v)
    return FlatGraph(f.nodes, edges, meta, f.subgraphs)


# --- graph document ------------------------------------------------------------------------


def _group_record(sub: Subgraph, edges: Iterable[tuple[str, str]]) -> dict[str, Any]:
    from nivra.viz import constants
    from nivra.viz.encode import encode_value

    inside = set(sub.members)
    entry: dict[str, None] = {}
    exit_: dict[str, None] = {}
    for a, b in edges:
        if b in inside and a not in inside:
            entry.setdefault(b, None)
        if a in inside and b not in inside:
            exit_.setdefault(a, None)
    metadata: dict[str, Any] = {"depth": sub.depth, "parent": sub.parent,
                                "inputs": sub.inputs, "outputs": sub.outputs}
    if isinstance(sub.metadata, Mapping):
        for k, v in encode_value(dict(sub.metadata)).items():
            metadata.setdefault(str(k), v)
    return {
        "id": GROUP_PREFIX + sub.path,
        "type": GROUP_TYPE,
        "label": sub.path,
        "subtitle": f"NIR subgraph in {sub.parent}" if sub.parent else "NIR subgraph",
        "nodes": list(sub.members),
        "entry_nodes": list(entry),
        "exit_nodes": list(exit_),
        "metadata": metadata,
        "color": constants.GROUP_COLORS.get(GROUP_TYPE, constants.DEFAULT_GROUP_COLOR),
        "shape": constants.GROUP_SHAPES.get(GROUP_TYPE, constants.DEFAULT_GROUP_SHAPE),
        "icon": constants.GROUP_ICONS.get(GROUP_TYPE, "\u25EB"),
        "display_params": list(constants.GROUP_DISPLAY_PARAMS.get(GROUP_TYPE, [])),
    }


def graph_document(graph: Any, detect_patterns: bool = True, version: str | None = None,
                   type_check_error: str | None = None, scopes: bool = True) -> dict[str, Any]:
    """The graph document (as ``graph_to_dict`` makes it) of a NIR graph or a ``NIRFile``.

    ``version`` is the NIR version shown in the page (default: the file's, else the
    installed ``nir``'s); the document's ``version`` reads "NIR <version>" and its metadata
    starts with ``format`` "NIR" and ``nir_version``. Subgraph groups come first, outer
    before inner, then the name scopes (``scopes``), then the detected patterns; each node
    is placed in the smallest group holding it. The document's ``problems`` list what is
    wrong with the graph (see ``nir_checks``), nir's refusal of the file first.
    """
    from nivra.viz import patterns as pattern_module
    from nivra.viz import scopes as scope_module
    from nivra.viz import serialize
    from nivra.viz.importers import nir_checks

    refusal, notes = None, []
    if isinstance(graph, NIRFile):
        version = graph.version if version is None else version
        type_check_error = type_check_error or graph.type_check_error
        refusal, notes = graph.refusal, graph.notes
        graph = graph.graph
    if version is None:
        try:
            version = str(getattr(_import_nir()[0], "__version__", "unknown"))
        except NIRUnavailableError:
            version = "unknown"
    head: dict[str, Any] = {"format": "NIR", "nir_version": version}
    if refusal:
        head["nir_refused"] = refusal
    elif type_check_error:
        head["type_check"] = f"failed, shapes may be missing: {type_check_error}"
    flat = flatten(graph, head)
    doc = serialize.graph_to_dict(flat, detect_patterns=False)
    doc["version"] = f"NIR {version}"
    groups = [_group_record(sub, flat.edges) for sub in flat.subgraphs]
    matches = [pattern_module.PatternMatch(g["id"], GROUP_TYPE, g["nodes"], g["entry_nodes"],
                                           g["exit_nodes"]) for g in groups]
    if scopes:
        found = scope_module.scope_matches(flat.nodes, flat.edges,
                                           [sub.path for sub in flat.subgraphs])
        groups += [scope_module.scope_record(m) for m in found]
        matches += found
    if detect_patterns:
        found = serialize.detect_all_patterns(flat)
        groups += [serialize.serialize_pattern(p) for p in found]
        matches += found
    node_to_group = serialize.build_group_hierarchy(flat, matches)["node_to_group"]
    for record in doc["nodes"]:
        gid = node_to_group.get(record["id"])
        if gid is not None:
            record["group"] = gid
    doc["groups"] = groups
    doc["node_to_group"] = node_to_group
    problems = [nir_checks.problem("refused", f"nir refused this file: {refusal}", [])] \
        if refusal else []
    problems += [nir_checks.problem("file", note, []) for note in notes]
    doc["problems"] = problems + nir_checks.check(flat.nodes, doc)
    _place_placeholders(doc, flat.subgraphs)
    return doc


def _place_placeholders(doc: dict[str, Any], subgraphs: list[Subgraph]) -> None:
    """A missing member named inside a subgraph ("block.lif") is drawn inside its group."""
    ids = {GROUP_PREFIX + sub.path: g for sub in subgraphs
           for g in doc["groups"] if g["id"] == GROUP_PREFIX + sub.path}
    for record in doc["nodes"]:
        if not record.get("missing"):
            continue
        name = record["id"]
        around = [sub for sub in subgraphs if name.startswith(sub.path + ".")]
        for sub in around:
            ids[GROUP_PREFIX + sub.path]["nodes"].append(name)
        if around:
            inner = max(around, key=lambda sub: sub.depth)
            record["group"] = doc["node_to_group"][name] = GROUP_PREFIX + inner.path


def read_document(path: PathArg, detect_patterns: bool = True,
                  scopes: bool = True) -> dict[str, Any]:
    """``graph_document`` of the NIR graph in a file (see ``read`` for the errors)."""
    return graph_document(read(path), detect_patterns=detect_patterns, scopes=scopes)


def title_of(graph: Any, default: str) -> str:
    """The graph's metadata "name" when it has one, else ``default``."""
    if isinstance(graph, NIRFile):
        graph = graph.graph
    meta = getattr(graph, "metadata", None)
    name = meta.get("name") if isinstance(meta, Mapping) else None
    if isinstance(name, bytes):
        name = name.decode("utf-8", "replace")
    return name if isinstance(name, str) and name else default
