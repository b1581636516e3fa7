"""NIR graphs in the graph viewer: subgraph groups collapse and expand, every node is drawn,
the header names NIR and its version."""
import sys
from pathlib import Path

import pytest

nir = pytest.importorskip("nir")
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
import graphdocs  # noqa: E402
from nirgraphs import every_type_graph, nested_graph  # noqa: E402

from nivra.viz import samples  # noqa: E402


def _document(graph):
    from nivra.viz.importers import nir as nir_import

    return nir_import.graph_document(graph)


def _nested_every_type():
    """The every-type graph as a subgraph of a nested block: three levels of groups."""
    outer = nested_graph()
    outer.nodes["outer"].nodes["inner"].nodes["all"] = every_type_graph()
    return outer


@pytest.mark.parametrize("build", [every_type_graph, nested_graph, _nested_every_type])
def test_nir_page_draws_every_node_and_its_groups(viewer, build):
    doc = _document(build())
    ids = sorted(r["id"] for r in doc["nodes"])
    page = viewer.open(doc, title="NIR")
    assert page.evaluate("document.documentElement.dataset.state") == "ready"
    assert page.inner_text("#subtitle").endswith(doc["version"])
    page.evaluate("window.__nivraViewer.fit()")
    assert sorted(page.evaluate("window.__nivraViewer.drawnNodeIds()")) == ids
    groups = [g["id"] for g in doc["groups"] if g["type"] == "NIRGraph"]
    for gid in groups:
        box = page.evaluate("(id) => window.__nivraViewer.groupBox(id)", gid)
        assert box and not box["collapsed"], gid
    page.evaluate("window.__nivraViewer.collapseAll()")
    grouped = [n for n, g in doc["node_to_group"].items() if g in groups]
    for name in grouped:
        assert page.evaluate("(id) => window.__nivraViewer.nodeBox(id).group", name), name
    for gid in groups:  # expand one by one
        page.evaluate("(id) => window.__nivraViewer.toggleGroup(id, false)", gid)
        assert not page.evaluate("(id) => window.__nivraViewer.groupBox(id).collapsed", gid)
    for name in grouped:
        assert not page.evaluate("(id) => window.__nivraViewer.nodeBox(id).group", name), name
    page.evaluate("window.__nivraViewer.fit()")
    assert sorted(page.evaluate("window.__nivraViewer.drawnNodeIds()")) == ids
    assert viewer.errors == []


@pytest.mark.parametrize("fmt", ["NIR", "IR"])
def test_header_names_the_format_and_its_version(viewer, fmt):
    doc = _document(samples.sample_nir_model()) if fmt == "NIR" else graphdocs.chain()
    page = viewer.open(doc)
    version = doc["metadata"]["nir_version"] if fmt == "NIR" else doc["version"]
    assert page.inner_text("#subtitle").endswith(f" edges · {fmt} {version}")
    rows = page.eval_on_selector_all("#side .rows .row", "rs => rs.map(r => r.innerText.split('\\n'))")
    assert [f"{fmt} version", version] in rows
    listed = page.eval_on_selector_all("#side .kv dt", "dts => dts.map(d => d.textContent)")
    assert ("format" in listed, "nir_version" in listed) == (False, False)
    if fmt == "NIR":
        assert "name" in listed  # the rest of the metadata is still listed
    assert viewer.errors == []
