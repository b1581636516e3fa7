"""The execution timeline at 50,000 scheduled nodes on 64 cores.

Prints the CPU time of `schedule_document` and of `render_timeline` (best of three), the page
size, and in headless Chromium the time from navigation to the "ready" state (JSON parsing,
model, first drawing) and the drawing time of one frame while zooming and panning. The
baseline, measured in the same run, is the classic schedule page of the same graph
(`visualize_execution_schedule`), which draws chips without times. Before timing, the
critical path is checked against a plain longest-path computation.

Then the same graph over 8 timesteps (400,000 runs): the same figures, next to the
one-timestep page measured above.

Run: .venv/bin/python bench/timeline_page.py [--quick]
"""
from __future__ import annotations

import math
import shutil
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "browser"))

import schedules  # noqa: E402
from playwright.sync_api import sync_playwright  # noqa: E402

from nivra.viz import compiled, timeline  # noqa: E402

READY = "document.documentElement.dataset.state === 'ready'"


def best_cpu(fn, repeat=3):
    best, out = math.inf, None
    for _ in range(repeat):
        t = time.process_time()
        out = fn()
        best = min(best, time.process_time() - t)
    return best, out


def browser_figures(path: Path, runs: int) -> dict:
    chromium = shutil.which("chromium")
    if not chromium:
        return {}
    with sync_playwright() as p:
        browser = p.chromium.launch(executable_path=chromium, args=["--no-sandbox"])
        ready, wall = [], []
        frames = None
        for k in range(runs):
            page = browser.new_page(viewport={"width": 1600, "height": 1000})
            t0 = time.perf_counter()
            page.goto(path.as_uri())
            page.wait_for_function(READY, timeout=120_000)
            wall.append(time.perf_counter() - t0)
            ready.append(page.evaluate("window.__nivraTimeline.timing.readyMs"))
            if k == runs - 1:
                page.evaluate("window.__nivraTimeline.benchFrames(10)")  # warm-up
                frames = page.evaluate("window.__nivraTimeline.benchFrames(60)")
            page.close()
        browser.close()
    return {"ready_ms": sorted(ready)[len(ready) // 2], "wall_s": sorted(wall)[len(wall) // 2],
            "frames": frames}


def main() -> None:
    quick = "--quick" in sys.argv
    n, cores = (5_000, 16) if quick else (50_000, 64)
    graph, profile = schedules.generated(n, cores, seed=3)
    doc_s, doc = best_cpu(lambda: timeline.schedule_document(graph, profile))
    ref = schedules.longest_path(graph, profile.per_node_latency.__getitem__)
    assert math.isclose(doc["makespan"], ref, rel_tol=1e-9), (doc["makespan"], ref)
    render_s, page = best_cpu(lambda: timeline.render_timeline(doc, title="bench"))

    tmp = Path(tempfile.mkdtemp())
    classic_s, _ = best_cpu(lambda: compiled.visualize_execution_schedule(
        graph, str(tmp / "classic.html"), profile_result=profile))
    classic_mb = (tmp / "classic.html").stat().st_size / 1e6
    path = tmp / "timeline.html"
    path.write_text(page, encoding="utf-8")
    size_mb = path.stat().st_size / 1e6
    deps = len(doc["deps"]["source"])

    print(f"timeline, {n:,} nodes on {cores} cores, {deps:,} cross-core dependencies, "
          f"critical path {len(doc['critical_path']):,} nodes (= plain longest path)")
    print(f"  schedule_document       {doc_s * 1e3:8.0f} ms CPU")
    print(f"  render_timeline         {render_s * 1e3:8.0f} ms CPU, page {size_mb:.2f} MB")
    print(f"  baseline: classic page  {classic_s * 1e3:8.0f} ms CPU, page {classic_mb:.2f} MB "
          f"(no times, no interaction)")
    b = browser_figures(path, 1 if quick else 3)
    if not b:
        print("  chromium not found: no page figures")
        return
    report_page(b, quick)

    steps = 8
    doc8_s, doc8 = best_cpu(lambda: timeline.schedule_document(graph, profile, timesteps=steps), 1)
    render8_s, page8 = best_cpu(lambda: timeline.render_timeline(doc8, title="bench"), 1)
    path8 = tmp / "timeline8.html"
    path8.write_text(page8, encoding="utf-8")
    print(f"timeline over {steps} timesteps: {n * steps:,} runs, interval "
          f"{doc8['interval']:.1f} us, bottleneck core {doc8['bottleneck_core']}")
    print(f"  schedule_document       {doc8_s * 1e3:8.0f} ms CPU (one timestep: {doc_s * 1e3:.0f} ms)")
    print(f"  render_timeline         {render8_s * 1e3:8.0f} ms CPU, page "
          f"{path8.stat().st_size / 1e6:.2f} MB (one timestep: {size_mb:.2f} MB)")
    report_page(browser_figures(path8, 1 if quick else 3), quick)


def report_page(b: dict, quick: bool) -> None:
    f = b["frames"]
    print(f"  page ready              {b['ready_ms']:8.0f} ms after navigation start "
          f"(goto to ready {b['wall_s']:.2f} s, median of {1 if quick else 3})")
    print(f"  frame while zooming     {f['median']:8.1f} ms median, {f['mean']:.1f} ms mean, "
          f"{f['max']:.1f} ms max (60 frames drawn back to back)")


if __name__ == "__main__":
    main()
