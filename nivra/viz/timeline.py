"""The execution timeline of a partitioned graph: when each scheduled node runs on its core,
and the page that draws it (one lane per core, time to scale, the critical path marked).

    doc = schedule_document(graph, profile_result, timesteps=8)   # JSON-ready dict
    page = render_timeline(doc, title="My model")      # one offline HTML page
    write_timeline(graph, "timeline.html", profile_result=profile)

Times are derived, not measured: each core runs its scheduled nodes one after another in
the schedule's order (stage by stage), and a node starts as soon as its core is free and
every input it takes from another core has finished. Latencies come from the profile's
``per_node_latency`` (microseconds); without a profile every node takes one unit, which
shows order and overlap but not time.

Over several timesteps every scheduled node runs once per timestep; each core runs its
runs timestep by timestep, and the cores overlap (pipelining). A dependency that closes a
cycle (a recurrent edge) waits for its source's run of the previous timestep.
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
MAX_RUNS = 20_000_000   # runs (nodes x timesteps) in one document
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
PIPELINE = (
    "Each node runs once per timestep. A core runs its runs timestep by timestep, each "
    "timestep in the schedule's order, so cores overlap: one core may work on the next "
    "timestep while another still works on this one. A recurrent dependency (one closing a "
    "cycle) waits for its source's run of the previous timestep. The interval is the time "
    "between the completions of successive timesteps in the steady state, (completion of "
    "the last timestep - completion of the first) / (timesteps - 1).")


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

    def dependencies(self, graph: Any) -> tuple[list[list[int]], list[list[int]]]:
        """Per entry, the entries on other cores it waits for within a timestep, and those
        it waits for from the previous timestep (the partition's recurrent edges). A name
        scheduled twice feeds its consumers once both runs are done."""
        n = len(self.keys)
        first: dict[Any, int] = {}
        twice: dict[Any, list[int]] = {}
        for i, key in enumerate(self.keys):
            if key in first:
                twice.setdefault(key, [first[key]]).append(i)
            else:
                first[key] = i
        recurrent = _recurrent_pairs(graph)
        core = self.core
        preds: list[list[int]] = [[] for _ in range(n)]
        lagged: list[list[int]] = [[] for _ in range(n)]
        seen: set[int] = set()
        for pair in _dependency_pairs(graph):
            source, target = pair
            try:
                s, t = first.get(source), first.get(target)
                late = (source, target) in recurrent
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
                    (lagged if late else preds)[t].append(s)
        return preds, lagged


def _recurrent_pairs(graph: Any) -> set[Any]:
    """The partition's recurrent edges (those closing a cycle), as (source, target) pairs."""
    metadata = getattr(graph, "partition_metadata", None)
    pairs: set[Any] = set()
    if metadata:
        for pair in metadata.get("recurrent_edges") or ():
            try:
                source, target = pair
                pairs.add((source, target))
            except (TypeError, ValueError):
                continue
    return pairs


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


def schedule_document(graph: Any, profile_result: Any = None,
                      timesteps: int = 1) -> dict[str, Any]:
    """The timeline document of a partitioned graph: per scheduled node its core, stage,
    start and end, the cross-core dependencies honoured, the critical path and per-core
    busy and idle totals; per run (node and timestep) its start and end, with the interval
    between timesteps and the bottleneck core. JSON-ready (finite floats, strings, lists)."""
    if isinstance(timesteps, bool) or not isinstance(timesteps, numbers.Integral) \
            or timesteps < 1:
        raise ValueError(f"timesteps must be an integer >= 1, got {timesteps!r}")
    steps = int(timesteps)
    table = _latency_table(profile_result)
    e = _Entries()
    lanes, cores = e.add_lanes(graph, table)
    if len(e.names) * steps > MAX_RUNS:
        raise ValueError(f"{steps:,} timesteps of {len(e.names):,} scheduled nodes make "
                         f"{len(e.names) * steps:,} runs, more than the {MAX_RUNS:,} a "
                         f"timeline page holds; give fewer timesteps")
    preds, lagged = e.dependencies(graph)
    start, end, via, ignored = _run(lanes, preds, e.latency, lagged)
    n = len(e.names)
    if steps > 1:
        run_start, run_end, run_via = _pipeline(lanes, preds, lagged, e.latency, steps)
    else:
        run_start, run_end, run_via = start, end, via
    sources: list[int] = []
    targets: list[int] = []
    lags: list[int] = []
    for lag, table_of in ((0, preds), (1, lagged if steps > 1 else ())):
        for t, ps in enumerate(table_of):
            sources.extend(ps)
            targets.extend([t] * len(ps))
            lags.extend([lag] * len(ps))

    first_makespan = max(end, default=0.0)
    makespan = max(run_end, default=0.0)
    path: list[int] = []
    if end:
        i = end.index(first_makespan)
        while i >= 0:
            path.append(i)
            i = via[i]
        path.reverse()
    completion = [max(run_end[k * n:(k + 1) * n], default=0.0) for k in range(steps)]
    interval = (completion[-1] - completion[0]) / (steps - 1) if steps > 1 else None
    busiest = -1
    for c, (lane, core) in enumerate(zip(lanes, cores)):
        busy = math.fsum(e.latency[i] for i in lane)
        core.update(nodes=len(lane), busy=_round(busy),
                    idle=_round(max(0.0, makespan - steps * busy)))
        if interval:
            core["busy_share"] = _round(busy / interval)
        if busiest < 0 or busy > cores[busiest]["busy"]:
            busiest = c
    _add_resources(graph, cores)

    notes = [DERIVATION, PROFILE if table is not None else NO_PROFILE]
    if steps > 1:
        notes.append(PIPELINE)
    if table is not None:
        from nivra.viz.io.profile import unknown_nodes_warning

        unused = unknown_nodes_warning(profile_result, graph)
        if unused:
            notes.append(unused[0].upper() + unused[1:] + ".")
    if e.missing:
        one = e.missing == 1
        notes.append(f"{e.missing} scheduled node{'' if one else 's'} "
                     f"{'has' if one else 'have'} no latency in the profile and "
                     f"{'is' if one else 'are'} drawn with none.")
    if ignored:
        one = ignored == 1
        if steps > 1:
            notes.append(f"{ignored} dependenc{'y' if one else 'ies'} between cores "
                         f"contradicted the order of the schedule (a cycle) and "
                         f"{'waits' if one else 'wait'} for the previous timestep.")
        else:
            notes.append(f"{ignored} dependenc{'y' if one else 'ies'} between cores "
                         f"contradicted the order of the schedule (a cycle) and "
                         f"{'was' if one else 'were'} left out.")
    doc: dict[str, Any] = {
        "version": DOC_VERSION,
        "unit": "us" if table is not None else "unit",
        "latency_source": "profile" if table is not None else "placeholder",
        "notes": notes,
        "timesteps": steps,
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
        "runs": {
            "node": list(range(n)) * steps,
            "timestep": [k for k in range(steps) for _ in range(n)],
            "start": [_round(v) for v in run_start],
            "end": [_round(v) for v in run_end],
            "via": run_via,
        },
        "deps": {"source": sources, "target": targets, "lag": lags},
        "ignored_deps": ignored,
        "timestep_latency": _round(first_makespan),
    }
    if interval is not None:
        doc["interval"] = _round(interval)
    if busiest >= 0:
        doc["bottleneck_core"] = cores[busiest]["id"]
    limits = _limits(graph)
    if limits:
        doc["limits"] = limits
    return doc


LIMIT_KEYS = ("max_neurons_per_core", "sram_bytes_per_core")


def _limits(graph: Any) -> dict[str, int]:
    """The partition's per-core limits, where its metadata records them."""
    metadata = getattr(graph, "partition_metadata", None) or {}
    found: dict[str, int] = {}
    for key in LIMIT_KEYS:
        value = metadata.get(key) if isinstance(metadata, Mapping) else None
        if isinstance(value, numbers.Integral) and not isinstance(value, bool) and value > 0:
            found[key] = int(value)
    return found


def _add_resources(graph: Any, cores: list[dict[str, Any]]) -> None:
    """Neurons and parameter bytes per core, from the partition's core usage."""
    metadata = getattr(graph, "partition_metadata", None) or {}
    usage = metadata.get("core_usage") if isinstance(metadata, Mapping) else None
    by_core: dict[Any, Mapping[str, Any]] = {}
    for row in usage or ():
        if isinstance(row, Mapping) and "core_id" in row:
            try:
                by_core[row["core_id"]] = row
            except TypeError:
                continue
    for core in cores:
        row = by_core.get(core["id"])
        if row is None:
            continue
        for key in ("neurons", "param_bytes"):
            value = row.get(key)
            if isinstance(value, numbers.Real) and not isinstance(value, bool) \
                    and 0 <= value < math.inf:
                core[key] = _round(float(value))


def _round(v: float) -> float:
    r = round(v, 6)
    return int(r) if r.is_integer() and abs(r) < 2 ** 53 else r


def _successors(preds: list[list[int]]) -> list[list[int]]:
    """For each entry, the entries that name it among their predecessors."""
    succs: list[list[int]] = [[] for _ in preds]
    for target, ps in enumerate(preds):
        for s in ps:
            succs[s].append(target)
    return succs


def _lane_of(lanes: list[list[int]], n: int) -> list[int]:
    """The core of each of n entries."""
    lane_of = [0] * n
    for c, lane in enumerate(lanes):
        for i in lane:
            lane_of[i] = c
    return lane_of


def _run(lanes: list[list[int]], preds: list[list[int]], latency: list[float],
         lagged: list[list[int]]) -> tuple[list[float], list[float], list[int], int]:
    """Start and end of every entry, each core running its lane in order, every entry
    waiting for its predecessors on other cores. `via[i]` is the entry whose end fixed the
    start of i (-1 at time 0): following it back from the last end gives a critical path.
    Dependencies that make a cycle with the lanes' order are dropped from `preds` (the
    count is returned) and moved to `lagged`, the dependencies on the previous timestep, so
    the run always finishes."""
    n = len(latency)
    start = [0.0] * n
    end = [0.0] * n
    via = [-1] * n
    done = [False] * n
    pending = [len(p) for p in preds]
    succs = _successors(preds)
    lane_of = _lane_of(lanes, n)
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
            lagged[i].extend(p for p in preds[i] if not done[p])
            preds[i] = kept
            pending[i] = 0
            stack.append(c)
    return start, end, via, ignored


def _pipeline(lanes: list[list[int]], preds: list[list[int]], lagged: list[list[int]],
              latency: list[float], steps: int) -> tuple[list[float], list[float], list[int]]:
    """Start and end of every run over `steps` timesteps; run k * n + i is entry i at
    timestep k. Each core runs its lane once per timestep, timestep after timestep; a run
    waits for its `preds` at the same timestep and its `lagged` ones at the one before.
    `preds` must be free of cycles with the lanes' order (as `_run` leaves them): every
    dependency then points to an earlier timestep or forward within one, so all runs finish.
    `via[r]` is the run whose end fixed the start of r (-1 at time 0)."""
    n = len(latency)
    total = n * steps
    start = [0.0] * total
    end = [0.0] * total
    via = [-1] * total
    first = [len(p) for p in preds]
    later = [len(p) + len(q) for p, q in zip(preds, lagged)]
    pending = first + later * (steps - 1)
    succs, lag_succs = _successors(preds), _successors(lagged)
    lane_of = _lane_of(lanes, n)
    pos = [0] * len(lanes)
    free = [0.0] * len(lanes)
    last = [-1] * len(lanes)
    stack = list(range(len(lanes) - 1, -1, -1))

    def wake(q: int, s: int) -> None:
        pending[q] -= 1
        if not pending[q]:
            sc = lane_of[s]
            lane = lanes[sc]
            k, j = divmod(pos[sc], len(lane))
            if k < steps and k * n + lane[j] == q:
                stack.append(sc)

    while stack:
        c = stack.pop()
        lane = lanes[c]
        size = len(lane)
        while pos[c] < size * steps:
            k, j = divmod(pos[c], size)
            i = lane[j]
            base = k * n
            r = base + i
            if pending[r]:
                break
            t, v = free[c], last[c]
            for p in preds[i]:
                if end[base + p] > t:
                    t, v = end[base + p], base + p
            if k:
                for p in lagged[i]:
                    if end[base - n + p] > t:
                        t, v = end[base - n + p], base - n + p
            start[r], end[r], via[r] = t, t + latency[i], v
            free[c], last[c] = end[r], r
            pos[c] += 1
            for s in succs[i]:
                wake(base + s, s)
            if k + 1 < steps:
                for s in lag_succs[i]:
                    wake(base + n + s, s)
    return start, end, via


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
                  graph_page: str | None = None, timesteps: int = 1) -> str:
    """The timeline page of a partitioned graph as HTML text; no file is written."""
    return render_timeline(schedule_document(graph, profile_result, timesteps=timesteps),
                           title=title, graph_page=graph_page)


def write_timeline(graph: Any, output_path: str | Path, title: str = DEFAULT_TITLE,
                   profile_result: Any = None, graph_page: str | None = None,
                   timesteps: int = 1) -> str:
    """Writes the timeline page of a partitioned graph (UTF-8); returns the path."""
    page = timeline_html(graph, title=title, profile_result=profile_result,
                         graph_page=graph_page, timesteps=timesteps)
    Path(output_path).write_text(page, encoding="utf-8")
    return str(output_path)
