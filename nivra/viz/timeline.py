"""The execution timeline of a partitioned graph: when each scheduled node runs on its core,
and the page that draws it (one lane per core, time to scale, the critical path marked).

    doc = schedule_document(graph, profile_result)     # JSON-ready dict
    page = render_timeline(doc, title="My model")      # one offline HTML page
    write_timeline(graph, "timeline.html", profile_result=profile)

Times are derived, not measured: each core runs its scheduled nodes one after another in
the schedule's order (stage by stage), and a node starts as soon as its core is free and
every input it takes from another core has finished. Latencies come from the profile's
``per_node_latency`` (microseconds); without a profile every node takes one unit, which
shows order and overlap but not time.
"""
from __future__ import annotations

import json
import math
import numbers
import re
from collections.abc import Mapping
from pathlib import Path
from typing import Any, Iterator
from urllib.parse import urlsplit

from nivra.viz import compiled, render

__all__ = ["schedule_document", "render_timeline", "timeline_html", "write_timeline"]

DOC_VERSION = 1
PLACEHOLDER_LATENCY = 1.0
DEFAULT_TITLE = "Execution timeline"
TEMPLATE_NAME = "timeline.html"   # in the templates directory beside the modules

DERIVATION = (
    "Times are derived from the schedule, not measured: each core runs its nodes one after "
    "another in the schedule's order, stage by stage, and a node starts as soon as its core "
    "is free and every input it takes from another core has finished. Transfers between "
    "cores take no time here.")
NO_PROFILE = (
    "No profile was given: every node is drawn one unit long, so the bars show the order "
    "and overlap of the work, not its duration.")
PROFILE = "Latencies are the profile's per-node estimates, in microseconds."


# --- the schedule ---------------------------------------------------------------------------


def _core_schedule(graph: Any) -> list[tuple[Any, list[Any]]]:
    """(core id, stage groups) per core: the execution schedule, else one group per core
    from the partition's assignments (in assignment order), else nothing."""
    schedule = getattr(graph, "execution_schedule", None)
    if schedule:
        return list(enumerate(schedule))
    metadata = getattr(graph, "partition_metadata", None)
    if not metadata:
        return []
    core_nodes: dict[Any, list[Any]] = {}
    for name, core in (metadata.get("assignments") or {}).items():
        core_nodes.setdefault(core, []).append(name)
    try:
        ordered = sorted(core_nodes.items())
    except TypeError:  # ids of mixed kinds: order them by their text
        ordered = sorted(core_nodes.items(), key=lambda item: str(item[0]))
    return [(core, [names]) for core, names in ordered]


def _latency_table(profile_result: Any) -> Mapping[Any, Any] | None:
    if profile_result is None:
        return None
    table = getattr(profile_result, "per_node_latency", None)
    if table is None:
        return None
    if not isinstance(table, Mapping):
        raise TypeError(f"per_node_latency must map node names to microseconds, "
                        f"got {type(table).__name__}")
    return table


def _latency(table: Mapping[Any, Any], name: Any) -> float | None:
    try:
        value = table.get(name)
    except TypeError:  # a name that cannot be a key
        return None
    if value is None:
        return None
    x: float
    if type(value) is float:
        x = value
    elif isinstance(value, numbers.Real) and not isinstance(value, bool):
        x = float(value)
    else:
        x = math.nan
    if not 0.0 <= x < math.inf:
        raise ValueError(f"latency of {name!r} must be a finite number of microseconds >= 0, "
                         f"got {value!r}")
    return x


def _dependency_pairs(graph: Any) -> Iterator[Any]:
    """Data dependencies: the partition's cross-core edges, then the graph's own edges (a
    partition that lists too few still cannot start a node before its inputs are done)."""
    metadata = getattr(graph, "partition_metadata", None)
    if metadata:
        yield from metadata.get("cross_core_edges") or ()
    yield from getattr(graph, "edges", None) or ()


class _Entries:
    """The scheduled entries, column by column, in lane order."""

    def __init__(self) -> None:
        self.names: list[str] = []
        self.keys: list[Any] = []
        self.core: list[int] = []
        self.stage: list[int] = []
        self.latency: list[float] = []
        self.type: list[int] = []
        self.precision: list[str | None] = []
        self.types: list[dict[str, str]] = []
        self.missing = 0

    def add_lanes(self, graph: Any, table: Mapping[Any, Any] | None
                  ) -> tuple[list[list[int]], list[dict[str, Any]]]:
        nodes = getattr(graph, "nodes", None)
        lookup = nodes.get if nodes is not None and hasattr(nodes, "get") else None
        type_of: dict[type, int] = {}
        absent = -1
        lanes: list[list[int]] = []
        cores: list[dict[str, Any]] = []
        for lane_index, (core_id, groups) in enumerate(_core_schedule(graph)):
            lane: list[int] = []
            for stage, group in enumerate(groups):
                for name in group:
                    try:
                        node = lookup(name) if lookup is not None else None
                        key = name
                    except TypeError:  # unhashable: shown by its text, found nowhere
                        node, key = None, str(name)
                    if node:
                        cls = type(node)
                        t = type_of.get(cls)
                        if t is None:
                            t = type_of[cls] = self._type(cls.__name__, compiled._node_type_color(node))
                        prec = getattr(node, "precision", None)
                    else:
                        if absent < 0:
                            absent = self._type("?", compiled._DEFAULT_NODE_COLOR)
                        t, prec = absent, None
                    lat = PLACEHOLDER_LATENCY
                    if table is not None:
                        found = _latency(table, key)
                        if found is None:
                            self.missing += 1
                            found = 0.0
                        lat = found
                    lane.append(len(self.names))
                    self.names.append(name if type(name) is str else str(name))
                    self.keys.append(key)
                    self.core.append(lane_index)
                    self.stage.append(stage)
                    self.latency.append(lat)
                    self.type.append(t)
                    self.precision.append(str(prec) if prec else None)
            lanes.append(lane)
            cores.append(_core_record(core_id))
        return lanes, cores

    def _type(self, name: str, color: str) -> int:
        # classes of one name (an IR class and a look-alike) share a row
        for k, row in enumerate(self.types):
            if row["name"] == name:
                return k
        self.types.append({"name": name, "color": color})
        return len(self.types) - 1

    def dependencies(self, graph: Any) -> list[list[int]]:
        """Per entry, the entries on other cores it waits for. A name scheduled twice feeds
        its consumers once both runs are done."""
        n = len(self.keys)
        first: dict[Any, int] = {}
        twice: dict[Any, list[int]] = {}
        for i, key in enumerate(self.keys):
            if key in first:
                twice.setdefault(key, [first[key]]).append(i)
            else:
                first[key] = i
        core = self.core
        preds: list[list[int]] = [[] for _ in range(n)]
        seen: set[int] = set()
        for pair in _dependency_pairs(graph):
            source, target = pair
            try:
                s, t = first.get(source), first.get(target)
            except TypeError:
                continue
            if s is None or t is None:
                continue
            if twice and (source in twice or target in twice):
                combos = [(a, b) for a in twice.get(source, [s]) for b in twice.get(target, [t])]
            else:
                combos = [(s, t)]
            for s, t in combos:
                if core[s] != core[t] and s * n + t not in seen:
                    seen.add(s * n + t)
                    preds[t].append(s)
        return preds


def _core_record(core_id: Any) -> dict[str, Any]:
    """A lane's core: its id (an integer, else its text), label and the partition view's
    colour for it."""
    color = compiled._DEFAULT_NODE_COLOR
    cid: int | str = str(core_id)
    if isinstance(core_id, numbers.Integral) and not isinstance(core_id, bool):
        cid = int(core_id)
        palette = compiled.CORE_BOUNDARY_COLORS
        color = palette[cid % len(palette)]
    elif isinstance(core_id, str):
        cid = core_id
    return {"id": cid, "label": f"Core {core_id}", "color": color}


def schedule_document(graph: Any, profile_result: Any = None) -> dict[str, Any]:
    """The timeline document of a partitioned graph: per scheduled node its core, stage,
    start and end, the cross-core dependencies honoured, the critical path and per-core
    busy and idle totals. JSON-ready (finite floats, strings, lists)."""
    table = _latency_table(profile_result)
    e = _Entries()
    lanes, cores = e.add_lanes(graph, table)
    preds = e.dependencies(graph)
    start, end, via, ignored = _run(lanes, preds, e.latency)
    sources: list[int] = []
    targets: list[int] = []
    for t, ps in enumerate(preds):
        sources.extend(ps)
        targets.extend([t] * len(ps))

    makespan = max(end, default=0.0)
    path: list[int] = []
    if end:
        i = end.index(makespan)
        while i >= 0:
            path.append(i)
            i = via[i]
        path.reverse()
    for lane, core in zip(lanes, cores):
        busy = math.fsum(e.latency[i] for i in lane)
        core.update(nodes=len(lane), busy=_round(busy), idle=_round(max(0.0, makespan - busy)))

    notes = [DERIVATION, PROFILE if table is not None else NO_PROFILE]
    if e.missing:
        one = e.missing == 1
        notes.append(f"{e.missing} scheduled node{'' if one else 's'} "
                     f"{'has' if one else 'have'} no latency in the profile and "
                     f"{'is' if one else 'are'} drawn with none.")
    if ignored:
        one = ignored == 1
        notes.append(f"{ignored} dependenc{'y' if one else 'ies'} between cores contradicted "
                     f"the order of the schedule (a cycle) and {'was' if one else 'were'} "
                     f"left out.")
    return {
        "version": DOC_VERSION,
        "unit": "us" if table is not None else "unit",
        "latency_source": "profile" if table is not None else "placeholder",
        "notes": notes,
        "makespan": _round(makespan),
        "critical_path": path,
        "cores": cores,
        "types": e.types,
        "nodes": {
            "name": e.names,
            "type": e.type,
            "precision": e.precision,
            "core": e.core,
            "stage": e.stage,
            "start": [_round(v) for v in start],
            "end": [_round(v) for v in end],
        },
        "deps": {"source": sources, "target": targets},
        "ignored_deps": ignored,
    }


def _round(v: float) -> float:
    r = round(v, 6)
    return int(r) if r.is_integer() and abs(r) < 2 ** 53 else r


def _run(lanes: list[list[int]], preds: list[list[int]], latency: list[float]
         ) -> tuple[list[float], list[float], list[int], int]:
    """Start and end of every entry, each core running its lane in order, every entry
    waiting for its predecessors on other cores. `via[i]` is the entry whose end fixed the
    start of i (-1 at time 0): following it back from the last end gives a critical path.
    Dependencies that make a cycle with the lanes' order are dropped from `preds` (the
    count is returned), so the run always finishes."""
    n = len(latency)
    start = [0.0] * n
    end = [0.0] * n
    via = [-1] * n
    done = [False] * n
    pending = [len(p) for p in preds]
    succs: list[list[int]] = [[] for _ in range(n)]
    for target, ps in enumerate(preds):
        for s in ps:
            succs[s].append(target)
    lane_of = [0] * n
    for c, lane in enumerate(lanes):
        for i in lane:
            lane_of[i] = c
    pos = [0] * len(lanes)
    free = [0.0] * len(lanes)
    last = [-1] * len(lanes)
    stack = list(range(len(lanes) - 1, -1, -1))
    remaining = n
    ignored = 0
    while remaining:
        while stack:
            c = stack.pop()
            lane = lanes[c]
            while pos[c] < len(lane):
                i = lane[pos[c]]
                if pending[i]:
                    break
                t, v = free[c], last[c]
                for p in preds[i]:
                    if end[p] > t:
                        t, v = end[p], p
                start[i], end[i], via[i] = t, t + latency[i], v
                done[i] = True
                remaining -= 1
                free[c], last[c] = end[i], i
                pos[c] += 1
                for s in succs[i]:
                    if not done[s]:
                        pending[s] -= 1
                        sc = lane_of[s]
                        if not pending[s] and lanes[sc][pos[sc]] == s:
                            stack.append(sc)
        if remaining:
            # Every unfinished core waits on another: a cycle. Let the first blocked core go
            # on without the inputs it still waits for.
            c = next(c for c, lane in enumerate(lanes) if pos[c] < len(lane))
            i = lanes[c][pos[c]]
            kept = [p for p in preds[i] if done[p]]
            ignored += len(preds[i]) - len(kept)
            preds[i] = kept
            pending[i] = 0
            stack.append(c)
    return start, end, via, ignored


# --- the page -------------------------------------------------------------------------------

# Inside a <script> element: no "</script>", "<!--" or "]]>" can form, and the two line
# separators JavaScript once treated as newlines are escaped too.
_SCRIPT_SAFE = str.maketrans({"<": "\\u003c", ">": "\\u003e", "&": "\\u0026",
                              "\u2028": "\\u2028", "\u2029": "\\u2029"})
_HTML_SAFE = str.maketrans({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;",
                            "'": "&#39;"})
_PLACEHOLDER = re.compile(r"\{\{(TITLE|DATA_JSON)\}\}")


def _check_link(graph_page: str) -> str:
    parts = urlsplit(graph_page)
    if parts.scheme or parts.netloc or not parts.path:
        raise ValueError(f"graph_page must be a relative path to the graph page, "
                         f"got {graph_page!r}")
    return graph_page


def render_timeline(doc: Mapping[str, Any], title: str = DEFAULT_TITLE,
                    graph_page: str | None = None) -> str:
    """The timeline page of a document from ``schedule_document``, as HTML text.

    ``graph_page``: the graph page of the same graph (the partition view), as a path
    relative to where the timeline is written; the page then links each node to it, and
    the graph page links back.
    """
    data = dict(doc)
    if graph_page is not None:
        data["graph_page"] = _check_link(str(graph_page))
    text = json.dumps(data, ensure_ascii=False, allow_nan=False, separators=(",", ":"))
    values = {"TITLE": str(title).translate(_HTML_SAFE),
              "DATA_JSON": text.translate(_SCRIPT_SAFE)}
    # One pass: text put in is never searched again, so neither the title nor the data
    # can bring in a placeholder.
    template = (Path(render.TEMPLATES_DIR) / TEMPLATE_NAME).read_text(encoding="utf-8")
    return _PLACEHOLDER.sub(lambda m: values[m.group(1)], template)


def timeline_html(graph: Any, title: str = DEFAULT_TITLE, profile_result: Any = None,
                  graph_page: str | None = None) -> str:
    """The timeline page of a partitioned graph as HTML text; no file is written."""
    return render_timeline(schedule_document(graph, profile_result), title=title,
                           graph_page=graph_page)


def write_timeline(graph: Any, output_path: str | Path, title: str = DEFAULT_TITLE,
                   profile_result: Any = None, graph_page: str | None = None) -> str:
    """Writes the timeline page of a partitioned graph (UTF-8); returns the path."""
    page = timeline_html(graph, title=title, profile_result=profile_result,
                         graph_page=graph_page)
    Path(output_path).write_text(page, encoding="utf-8")
    return str(output_path)
