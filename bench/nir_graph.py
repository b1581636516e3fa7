"""A 1,000-node NIR graph from file to viewer page, and to notebook output.

Run: .venv/bin/python bench/nir_graph.py

Two graphs of 1,000 nodes (after flattening) are written with nir.write: a flat chain of
Affine/LIF pairs with recurrent Linear loops, and the same layers nested in subgraphs two
levels deep. For the flat one the baseline is what a user could already do,
graph_to_dict(nir.read(path)) then render_html; it is checked to give the same nodes and
edges as ours first. For the nested one (where the baseline draws each subgraph as one
node) ours is timed alone, stage by stage. Times are the best of 5, wall and CPU. With
Playwright and Chromium at hand, the nested graph's page is also opened as a file and as
notebook output (in its sandboxed frame), each timed to the viewer's "ready" state.
"""
import shutil
import tempfile
import time
from pathlib import Path

import nir
import numpy as np

from nivra.viz import notebook, render, serialize
from nivra.viz.importers import nir as nir_import

WIDTH = 16


def layer(rng, k):
    """Affine -> LIF with a recurrent Linear: three nodes."""
    v = np.full(WIDTH, 1.0, np.float32)
    return {
        f"fc{k}": nir.Affine(weight=rng.standard_normal((WIDTH, WIDTH)).astype(np.float32),
                             bias=np.zeros(WIDTH, np.float32)),
        f"lif{k}": nir.LIF(tau=v, r=v, v_leak=v * 0, v_threshold=v, v_reset=v * 0),
        f"rec{k}": nir.Linear(weight=rng.standard_normal((WIDTH, WIDTH)).astype(np.float32)),
    }, [(f"fc{k}", f"lif{k}"), (f"lif{k}", f"rec{k}"), (f"rec{k}", f"lif{k}")]


def flat_graph(n_layers, rng):
    nodes = {"input": nir.Input(np.array([WIDTH]))}
    edges = []
    last = "input"
    for k in range(n_layers):
        ns, es = layer(rng, k)
        nodes.update(ns)
        edges += es + [(last, f"fc{k}")]
        last = f"lif{k}"
    nodes["output"] = nir.Output(np.array([WIDTH]))
    edges.append((last, "output"))
    return nir.NIRGraph(nodes=nodes, edges=edges)


def sub(nodes, edges, first, last):
    nodes = {"input": nir.Input(np.array([WIDTH])), **nodes,
             "output": nir.Output(np.array([WIDTH]))}
    return nir.NIRGraph(nodes=nodes, edges=[("input", first), *edges, (last, "output")])


def nested_graph(n_blocks, rng):
    """Blocks of two inner subgraphs (one layer each) and one layer of their own."""
    nodes = {"input": nir.Input(np.array([WIDTH]))}
    edges = []
    last = "input"
    for b in range(n_blocks):
        inner = {}
        for i in range(2):
            ns, es = layer(rng, 0)
            inner[f"inner{i}"] = sub(ns, es, "fc0", "lif0")
        ns, es = layer(rng, 9)
        nodes[f"block{b}"] = sub({**inner, **ns}, [("inner0", "inner1"), ("inner1", "fc9"), *es],
                                 "inner0", "lif9")
        edges.append((last, f"block{b}"))
        last = f"block{b}"
    nodes["output"] = nir.Output(np.array([WIDTH]))
    edges.append((last, "output"))
    return nir.NIRGraph(nodes=nodes, edges=edges)


def best(fn, repeat=5):
    wall, cpu, result = [], [], None
    for _ in range(repeat):
        t0, c0 = time.perf_counter(), time.process_time()
        result = fn()
        wall.append(time.perf_counter() - t0)
        cpu.append(time.process_time() - c0)
    return min(wall) * 1e3, min(cpu) * 1e3, result


def show(label, wall, cpu, extra=""):
    print(f"  {label:<44} {wall:8.1f} ms wall {cpu:8.1f} ms CPU{extra}")


def main():
    rng = np.random.default_rng(0)
    folder = Path(tempfile.mkdtemp())
    flat_path, nested_path = folder / "flat.nir", folder / "nested.nir"
    nir.write(flat_path, flat_graph(333, rng))            # 2 + 999 nodes
    nir.write(nested_path, nested_graph(111, rng))        # 2 + 111 * 9 nodes after flattening

    def baseline():
        doc = serialize.graph_to_dict(nir.read(flat_path))
        return doc, render.render_html(doc, title="flat")

    def ours(path):
        doc = nir_import.read_document(path)
        return doc, render.render_html(doc, title="nir")

    base_doc, _ = baseline()
    our_doc, _ = ours(flat_path)
    key = lambda d: ([n["id"] for n in d["nodes"]], sorted((e["source"], e["target"])
                                                            for e in d["edges"]))
    assert key(base_doc) == key(our_doc), "flattening changed a flat graph"
    print(f"flat NIR graph: {len(our_doc['nodes'])} nodes, {len(our_doc['edges'])} edges, "
          f"file {flat_path.stat().st_size / 1e6:.2f} MB")
    w0, c0, _ = best(baseline)
    show("baseline graph_to_dict(nir.read) + render", w0, c0)
    w1, c1, (doc, page) = best(lambda: ours(flat_path))
    show("nivra-viz read + document + page", w1, c1, f"   ratio {w1 / w0:.2f}")

    w, c, nested = best(lambda: nir_import.read(nested_path))
    doc = nir_import.graph_document(nested)
    print(f"nested NIR graph: {len(doc['nodes'])} nodes, {len(doc['edges'])} edges, "
          f"{len(doc['groups'])} subgraph groups, file {nested_path.stat().st_size / 1e6:.2f} MB")
    show("read (checked, nir's nodes, bounded child)", w, c)
    wn, cn, _ = best(lambda: nir.read(nested_path, type_check=False))
    show("  of which nir.read without the type check", wn, cn)
    wd, cd, doc = best(lambda: nir_import.graph_document(nested))
    show("flatten + document (patterns included)", wd, cd)
    wp, cp, page = best(lambda: render.render_html(doc, title="nested"))
    show("render_html", wp, cp, f"   page {len(page) / 1e6:.2f} MB")
    show("total: read + page", w + wd + wp, c + cd + cp)
    ws, cs, output = best(lambda: notebook.show(nested, title="nested")._repr_html_())
    show("notebook output (document + page + srcdoc)", ws, cs)
    in_browser(folder, page, output)


def in_browser(folder, page, output):
    try:
        from playwright.sync_api import sync_playwright
    except ImportError:
        return
    chromium = shutil.which("chromium")
    if chromium is None:
        return
    (folder / "page.html").write_text(page, encoding="utf-8")
    (folder / "output.html").write_text(f"<!DOCTYPE html><body>{output}</body>", encoding="utf-8")
    ready = "document.documentElement.dataset.state === 'ready'"
    with sync_playwright() as p:
        browser = p.chromium.launch(executable_path=chromium, args=["--no-sandbox"])
        for label, name in (("page as a file, to ready", "page.html"),
                            ("notebook output, frame to ready", "output.html")):
            times = []
            for _ in range(3):
                tab = browser.new_page(viewport={"width": 1400, "height": 900})
                t0 = time.perf_counter()
                tab.goto((folder / name).as_uri())
                frame = tab.main_frame if name == "page.html" else \
                    tab.wait_for_selector("iframe").content_frame()
                frame.wait_for_function(ready, timeout=120_000)
                times.append((time.perf_counter() - t0) * 1e3)
                tab.close()
            print(f"  {label:<44} {min(times):8.1f} ms wall (browser)")
        browser.close()


if __name__ == "__main__":
    main()
