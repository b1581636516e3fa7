"""Layout and drawing time of the graph viewer page in headless Chromium.

For 1,000, 10,000 and 50,000 nodes, prints the page's own measurements: the
layout (request to laid-out scene, worker start-up and transfer included), the
first drawing, the time from navigation start to the "ready" state (HTML
and JSON parsing included), the time to read the document model and draw the summary
("prep", parsing the embedded JSON included) and that parsing alone. At 50,000 nodes it also prints the time to draw
one frame while panning and zooming, and measures a graph with nested groups
laid out again after expanding them all (every frame drawn, each group kept
together and clear of the others).

Run: .venv/bin/python bench/viewer_layout.py [--quick]
"""
from __future__ import annotations

import shutil
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "browser"))

import graphdocs  # noqa: E402
from pages import render_graph_page  # noqa: E402
from playwright.sync_api import sync_playwright  # noqa: E402

CASES = [
    # (label, document factory, frame benchmark, groups expanded after loading)
    ("1k   residual+branches, groups", lambda: graphdocs.generated(1_000, seed=1), False, False),
    ("1k   wide random DAG", lambda: graphdocs.random_layered(1_000, width=32, seed=1), False, False),
    ("10k  residual+branches, no groups", lambda: graphdocs.generated(10_000, seed=2, groups=False), False, False),
    ("10k  wide random DAG", lambda: graphdocs.random_layered(10_000, width=100, seed=2), False, False),
    ("10k  residual+branches, groups (collapsed)", lambda: graphdocs.generated(10_000, seed=2), False, False),
    ("50k  residual+branches, groups (collapsed)", lambda: graphdocs.generated(50_000, seed=3), True, False),
    ("50k  residual+branches, no groups", lambda: graphdocs.generated(50_000, seed=3, groups=False), True, False),
    ("50k  nested groups, all expanded", lambda: nested(graphdocs.generated(50_000, seed=3)), True, True),
]


def nested(doc: dict) -> dict:
    """The document with a group around each pair of consecutive groups."""
    inner = doc["groups"]
    doc["groups"] = inner + [graphdocs.group(f"pair{i}", "Stage", f"Stage {i}", "", inner[i]["nodes"] + inner[i + 1]["nodes"])
                             for i in range(0, len(inner) - 1, 2)]
    return doc


def measure(browser, html_path: Path, frames: bool, expand: bool = False) -> dict:
    page = browser.new_page(viewport={"width": 1600, "height": 1000})
    t0 = time.perf_counter()
    page.goto(html_path.as_uri())
    page.wait_for_function("document.documentElement.dataset.state === 'ready'", timeout=180_000)
    wall = time.perf_counter() - t0
    if expand:  # the figures below are then those of the relayout
        page.evaluate("__nivraViewer.expandAll()")
        page.wait_for_function("document.documentElement.dataset.layout === 'idle'", timeout=180_000)
    r = page.evaluate("""() => { const v = window.__nivraViewer;
        return {layoutMs: v.layoutMs, drawMs: v.drawMs, readyMs: v.readyMs, prepMs: v.prepMs, parseMs: v.parseMs,
                mode: v.mode, nodes: v.nodes, units: v.units, edges: v.edges, stats: v.layoutStats}; }""")
    r["wall"] = wall
    if frames:
        r["frame_view"] = page.evaluate("__nivraViewer.benchFrames(40)")
        r["raf_view"] = page.evaluate("__nivraViewer.benchPanZoom(120)")
        page.evaluate("__nivraViewer.fit()")
        r["frame_fit"] = page.evaluate("__nivraViewer.benchFrames(20)")
        r["raf_fit"] = page.evaluate("__nivraViewer.benchPanZoom(120)")
    page.close()
    return r


def main() -> None:
    quick = "--quick" in sys.argv
    chromium = shutil.which("chromium")
    if not chromium:
        sys.exit("chromium is not installed")
    print(f"{'case':44} {'units':>7} {'layout ms':>10} {'draw ms':>8} {'lay+draw':>9} {'ready ms':>9} {'prep ms':>8} {'parse ms':>9} {'page MB':>8}  mode")
    with tempfile.TemporaryDirectory() as tmp, sync_playwright() as p:
        browser = p.chromium.launch(executable_path=chromium, args=["--no-sandbox"])
        for label, make, frames, expand in CASES:
            if quick and label.startswith("50k"):
                continue
            html = render_graph_page(make(), title=label)
            path = Path(tmp) / "bench.html"
            path.write_text(html, encoding="utf-8")
            r = measure(browser, path, frames, expand)
            t = r["stats"]["timings"]
            print(f"{label:44} {r['units']:>7,} {r['layoutMs']:>10.0f} {r['drawMs']:>8.0f} "
                  f"{r['layoutMs'] + r['drawMs']:>9.0f} {r['readyMs']:>9.0f} {r['prepMs']:>8.0f} {r['parseMs']:>9.0f} {len(html.encode()) / 1e6:>8.1f}  {r['mode']}")
            print(" " * 46 + "phases: " + ", ".join(f"{k} {v:.0f}" for k, v in t.items())
                  + f"; ranks {r['stats']['ranks']:,}, dummies {r['stats']['dummies']:,}, crossings {r['stats']['crossings']:,}")
            if frames:
                fv, ff = r["frame_view"], r["frame_fit"]
                print(" " * 46 + f"pan/zoom draw: {fv['median']:.1f} ms median, {fv['max']:.1f} max (initial view); "
                      f"{ff['median']:.1f} ms median, {ff['max']:.1f} max (whole graph in view)")
                rv, rf = r["raf_view"], r["raf_fit"]
                print(" " * 46 + f"pan/zoom frame interval: {rv['mean']:.1f} ms mean, {rv['p95']:.1f} p95 (initial view); "
                      f"{rf['mean']:.1f} ms mean, {rf['p95']:.1f} p95 (whole graph in view)")
        browser.close()


if __name__ == "__main__":
    main()
