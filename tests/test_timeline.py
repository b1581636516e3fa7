"""The timeline document: start times from the core order and the cross-core inputs, the
critical path against a plain longest-path computation, and the page's safe embedding."""
import json
import math
import re
import sys
from pathlib import Path
from types import SimpleNamespace as NS

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent / "browser"))
import schedules  # noqa: E402

timeline = pytest.importorskip("nivra.viz.timeline", exc_type=ImportError)


def graph(schedule, edges=(), cross=(), types=None):
    types = types or {}
    names = {n for core in schedule for stage in core for n in stage}
    nodes = {n: schedules.node(types.get(n, "LIF"), "int8" if n == "a" else None) for n in names}
    return NS(nodes=nodes, edges=list(edges), execution_schedule=schedule,
              partition_metadata={"cross_core_edges": list(cross)})


def rows(doc):
    n = doc["nodes"]
    return {name: (n["core"][i], n["start"][i], n["end"][i]) for i, name in enumerate(n["name"])}


def test_a_node_starts_when_its_core_is_free_and_its_inputs_from_other_cores_are_done():
    # core 0 runs a, b | c; core 1 runs d, e; d needs a, c needs e (listed by the partition
    # only); a->b on one core is kept by the order alone
    g = graph([[["a", "b"], ["c"]], [["d", "e"]]], edges=[("a", "b"), ("a", "d"), ("ghost", "d")],
              cross=[("e", "c"), ("a", "d")])
    lat = {"a": 2.0, "b": 1.0, "c": 4.0, "d": 3.0, "e": 0.5}
    doc = timeline.schedule_document(g, NS(per_node_latency=lat))
    assert rows(doc) == {"a": (0, 0, 2), "b": (0, 2, 3), "d": (1, 2, 5), "e": (1, 5, 5.5),
                         "c": (0, 5.5, 9.5)}
    names = doc["nodes"]["name"]
    assert [names[i] for i in doc["critical_path"]] == ["a", "d", "e", "c"]
    assert doc["makespan"] == 9.5 and doc["unit"] == "us" and doc["ignored_deps"] == 0
    assert sorted(zip(doc["deps"]["source"], doc["deps"]["target"])) == sorted(
        [(names.index("a"), names.index("d")), (names.index("e"), names.index("c"))])
    assert [(c["label"], c["busy"], c["idle"], c["nodes"]) for c in doc["cores"]] == [
        ("Core 0", 7, 2.5, 3), ("Core 1", 3.5, 6, 2)]
    assert doc["nodes"]["stage"] == [0, 0, 1, 0, 0]
    assert doc["nodes"]["precision"][names.index("a")] == "int8"
    json.dumps(doc, allow_nan=False)

    # without a profile every node is one unit, and the page is told so
    doc = timeline.schedule_document(g)
    assert doc["unit"] == "unit" and doc["latency_source"] == "placeholder"
    assert doc["makespan"] == 4 and "No profile was given" in doc["notes"][1]
    # a profile that misses a node draws it with no length, and says how many it missed
    doc = timeline.schedule_document(g, NS(per_node_latency={"a": 1, "zz": 2}))
    assert doc["makespan"] == 1 and doc["notes"][3].startswith("4 scheduled nodes have no latency")
    # and names the nodes it holds that the graph lacks
    assert doc["notes"][2] == "The profile names 1 node the graph lacks ('zz'); its latency is not used."


@pytest.mark.parametrize("n, cores, seed", [(1, 1, 0), (40, 1, 1), (200, 3, 2), (500, 8, 3), (900, 16, 4)])
def test_critical_path_is_the_longest_path_through_order_and_dependencies(n, cores, seed):
    g, profile = schedules.generated(n, cores, seed=seed)
    lat = profile.per_node_latency
    doc = timeline.schedule_document(g, profile)
    ref = schedules.longest_path(g, lat.__getitem__)
    assert math.isclose(doc["makespan"], ref, rel_tol=1e-9, abs_tol=1e-6)
    # the path is a chain of tight links from time 0 to the makespan
    nd, path = doc["nodes"], doc["critical_path"]
    assert nd["start"][path[0]] == 0 and math.isclose(nd["end"][path[-1]], ref, abs_tol=1e-6)
    deps = set(zip(doc["deps"]["source"], doc["deps"]["target"]))
    for a, b in zip(path, path[1:]):
        assert math.isclose(nd["start"][b], nd["end"][a], abs_tol=1e-5)
        assert (a, b) in deps or (nd["core"][a] == nd["core"][b] and a < b)
    for i, name in enumerate(nd["name"]):
        assert math.isclose(nd["end"][i] - nd["start"][i], lat[name], abs_tol=2e-6)


def test_dependencies_against_the_schedule_order_are_dropped_not_waited_for():
    # c waits for b and a waits for d: each core's first node waits on the other core's last
    g = graph([[["a", "b"]], [["c", "d"]]], edges=[("b", "c"), ("d", "a")])
    doc = timeline.schedule_document(g, NS(per_node_latency={"a": 1, "b": 1, "c": 1, "d": 1}))
    assert doc["ignored_deps"] == 1 and "left out" in doc["notes"][-1]
    assert rows(doc) == {"a": (0, 0, 1), "b": (0, 1, 2), "c": (1, 2, 3), "d": (1, 3, 4)}
    assert len(doc["deps"]["source"]) == 1


def test_other_sources_of_a_schedule_and_refused_profiles():
    # no execution schedule: the partition's assignments, one stage per core, cores in order
    g = NS(nodes={}, partition_metadata={"assignments": {"x": 1, "y": np.int64(0), "z": 1}})
    doc = timeline.schedule_document(g)
    assert [(c["id"], c["label"], c["color"]) for c in doc["cores"]] == [
        (0, "Core 0", "#4285F4"), (1, "Core 1", "#EA4335")]
    assert rows(doc) == {"y": (0, 0, 1), "x": (1, 0, 1), "z": (1, 1, 2)}
    assert doc["types"] == [{"name": "?", "color": "#90A4AE"}]
    empty = timeline.schedule_document(NS())
    assert empty["cores"] == [] and empty["nodes"]["name"] == [] and empty["critical_path"] == []
    g = graph([[["a"]]])
    for bad in (-1, math.nan, math.inf, "3", True, 1j):
        with pytest.raises(ValueError, match="latency of 'a'"):
            timeline.schedule_document(g, NS(per_node_latency={"a": bad}))
    with pytest.raises(TypeError, match="per_node_latency"):
        timeline.schedule_document(g, NS(per_node_latency=[("a", 1)]))


def test_page_embeds_the_document_as_inert_data():
    hostile = ["</script><script>x()</script>", "{{TITLE}}", "{{DATA_JSON}}", "a\u2028b\u2029&<!--"]
    g = graph([[hostile[:2]], [hostile[2:]]])
    doc = timeline.schedule_document(g)
    page = timeline.render_timeline(doc, title="{{DATA_JSON}} <b>&", graph_page="parts/p.html")
    assert "<title>{{DATA_JSON}} &lt;b&gt;&amp;</title>" in page
    blocks = re.findall(r'<script type="application/json" id="nivra-data">(.*?)</script>', page, re.S)
    assert len(blocks) == 1 and not re.search(r"[<>&\u2028\u2029]", blocks[0])
    assert json.loads(blocks[0]) == dict(doc, graph_page="parts/p.html")
    template = (Path(timeline.render.TEMPLATES_DIR) / "timeline.html").read_text(encoding="utf-8")
    assert page.count("</script>") == template.count("</script>")
    for link in ("javascript:alert(1)", "https://example.org/p.html", "//host/p.html", ""):
        with pytest.raises(ValueError, match="graph_page"):
            timeline.render_timeline(doc, graph_page=link)


def simulate(schedule, edges, recurrent, latency, steps):
    """Run times the plain way: a run starts once the run before it on its core has ended
    and, for each input from another core, that input's run of the same timestep (of the
    one before, for a recurrent edge) has ended."""
    core_of, before = {}, {}
    for c, stages in enumerate(schedule):
        order = [(name, k) for k in range(steps) for stage in stages for name in stage]
        for name, _ in order:
            core_of[name] = c
        before.update(zip(order[1:], order))
    inputs = {}
    for s, t in edges:
        if core_of[s] != core_of[t]:
            inputs.setdefault(t, set()).add((s, 1 if (s, t) in recurrent else 0))
    ends = {}

    def end(run):
        if run not in ends:
            name, k = run
            waits = [before[run]] if run in before else []
            waits += [(s, k - lag) for s, lag in inputs.get(name, ()) if k - lag >= 0]
            ends[run] = max((end(w) for w in waits), default=0.0) + latency[name]
        return ends[run]

    return {(name, k): end((name, k)) for name in core_of for k in range(steps)}


def _cases():
    lat = {"a": 2.0, "b": 1.0, "c": 3.0, "d": 0.5}
    yield "chain across cores", [[["a"]], [["b"]], [["c"]]], [("a", "b"), ("b", "c")], [], lat
    yield "fan-in", [[["a"], ["d"]], [["b"]], [["c"]]], [("a", "d"), ("b", "d"), ("c", "d")], [], lat
    yield "recurrent across cores", [[["a"], ["c"]], [["b"]]], \
        [("a", "b"), ("b", "c"), ("c", "a")], [("c", "a")], lat
    yield "recurrent within a core", [[["a"], ["b"], ["c"]], [["d"]]], \
        [("a", "b"), ("b", "c"), ("c", "a"), ("c", "d"), ("d", "b")], [("c", "a"), ("d", "b")], lat
    yield "one core", [[["a", "b"], ["c", "d"]]], [("a", "c"), ("b", "d"), ("d", "a")], [("d", "a")], lat
    g, profile = schedules.generated(80, 5, seed=7)
    names = list(g.nodes)
    back = [(names[i], names[i - 17]) for i in range(30, 80, 9)]
    yield "generated with back edges", g.execution_schedule, g.edges + back, back, \
        profile.per_node_latency


@pytest.mark.parametrize("steps", [1, 2, 5])
@pytest.mark.parametrize("case", list(_cases()), ids=lambda c: c[0])
def test_runs_over_timesteps_match_a_plain_simulation(case, steps):
    _, schedule, edges, recurrent, lat = case
    g = graph(schedule, edges=edges)
    g.partition_metadata["recurrent_edges"] = recurrent
    doc = timeline.schedule_document(g, NS(per_node_latency=lat), timesteps=steps)
    ref = simulate(schedule, edges, set(recurrent), lat, steps)
    names, runs = doc["nodes"]["name"], doc["runs"]
    got = {(names[i], k): e for i, k, e in zip(runs["node"], runs["timestep"], runs["end"])}
    assert got.keys() == ref.keys() and doc["timesteps"] == steps
    for key, value in ref.items():
        assert math.isclose(got[key], value, abs_tol=1e-5), key
    for i, k, s, e in zip(runs["node"], runs["timestep"], runs["start"], runs["end"]):
        assert math.isclose(e - s, lat[names[i]], abs_tol=2e-6)
    completion = [max(v for (n, k), v in ref.items() if k == t) for t in range(steps)]
    assert math.isclose(doc["makespan"], max(ref.values()), abs_tol=1e-5)
    if steps == 1:
        assert "interval" not in doc
    else:
        interval = (completion[-1] - completion[0]) / (steps - 1)
        assert math.isclose(doc["interval"], interval, abs_tol=1e-5)
    busy = [sum(lat[n] for stage in core for n in stage) for core in schedule]
    assert math.isclose(busy[doc["bottleneck_core"]], max(busy), abs_tol=1e-5)
    lagged = {(names[s], names[t]) for s, t, lag in
              zip(doc["deps"]["source"], doc["deps"]["target"], doc["deps"]["lag"]) if lag}
    assert lagged == ({p for p in recurrent if p in {(s, t) for s, t in edges}
                       and _core(schedule, p[0]) != _core(schedule, p[1])} if steps > 1 else set())
    # the first timestep is the one-timestep timeline, unchanged
    single = timeline.schedule_document(g, NS(per_node_latency=lat))
    assert doc["nodes"] == single["nodes"] and doc["critical_path"] == single["critical_path"]
    assert doc["timestep_latency"] == single["makespan"]


def _core(schedule, name):
    return next(c for c, stages in enumerate(schedule) if any(name in s for s in stages))


def test_a_recurrent_loop_across_two_cores_sets_the_interval():
    # a on core 0 feeds b on core 1, which feeds a back one timestep later: a, b alternate
    g = graph([[["a"]], [["b"]]], edges=[("a", "b"), ("b", "a")])
    g.partition_metadata["recurrent_edges"] = [("b", "a")]
    doc = timeline.schedule_document(g, NS(per_node_latency={"a": 1, "b": 1}), timesteps=3)
    assert list(zip(doc["runs"]["start"], doc["runs"]["end"])) == [
        (0, 1), (1, 2), (2, 3), (3, 4), (4, 5), (5, 6)]
    assert (doc["makespan"], doc["interval"], doc["ignored_deps"]) == (6, 2, 0)
    assert [c["busy_share"] for c in doc["cores"]] == [0.5, 0.5]
    # a cycle the partition did not name is found from the schedule's order, and waits too
    del g.partition_metadata["recurrent_edges"]
    doc = timeline.schedule_document(g, NS(per_node_latency={"a": 1, "b": 1}), timesteps=3)
    assert (doc["makespan"], doc["interval"], doc["ignored_deps"]) == (6, 2, 1)
    assert "previous timestep" in doc["notes"][-1]
    for bad in (0, -2, 1.5, True, "8"):
        with pytest.raises(ValueError, match="timesteps"):
            timeline.schedule_document(g, timesteps=bad)
    with pytest.raises(ValueError, match="more than the 20,000,000 a timeline page holds"):
        timeline.schedule_document(g, timesteps=10**7 + 1)
