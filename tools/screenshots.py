"""Regenerates the screenshots under docs/ from the demo pages (`nivra-viz demo`) and the
viewer (`nivra-viz view`) serving the demo's sample recording.

Usage: .venv/bin/python tools/screenshots.py [DEMO_DIR]
Needs Playwright and Debian's chromium, as the browser tests do.
"""
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from playwright.sync_api import sync_playwright

DOCS = Path(__file__).resolve().parents[1] / "docs"
READY = "['ready', 'error'].includes(document.documentElement.dataset.state)"


def shoot(browser, page_file: Path, out: str, scheme="light", full_page=False, before=None):
    page = browser.new_page(viewport={"width": 1440, "height": 900}, color_scheme=scheme)
    page.goto(page_file.as_uri())
    page.wait_for_function(READY, timeout=60000)
    if before:
        page.evaluate(before)
    page.wait_for_timeout(600)
    page.screenshot(path=str(DOCS / out), full_page=full_page)
    page.close()
    print(DOCS / out)


def shoot_view(browser, recording: Path, out: str, scheme="dark"):
    """The recording viewer (nivra-viz view) serving ``recording``, at a 20 ms frame."""
    from nivra.viz.view import Viewer

    with Viewer(recording, port=0) as viewer:
        page = browser.new_page(viewport={"width": 1440, "height": 900}, color_scheme=scheme)
        page.goto(viewer.url)
        page.wait_for_function(READY, timeout=60000)
        page.evaluate("window.nivraView.show(412000, 20000)")
        page.wait_for_timeout(600)
        page.screenshot(path=str(DOCS / out))
        page.close()
    print(DOCS / out)


def timesteps_page(demo: Path) -> Path:
    """The sample model's timeline over 8 timesteps, with the sample latencies."""
    from nivra.viz import samples, timeline

    path = demo / "schedule-8-timesteps.html"
    timeline.write_timeline(samples.sample_partitioned_model(), path,
                            title="Sample model: 8 timesteps", profile_result=samples.sample_profile(),
                            timesteps=8)
    return path


def nir_pages(out: Path) -> tuple[Path, Path]:
    """Pages of two NIR files as older exporters wrote them (tests/nirfiles.py): a braille
    reader nir refuses (a member renamed, a shape off by two) and its flattened recurrent
    twin."""
    sys.path.insert(0, str(DOCS.parent / "tests"))
    import nirfiles

    pages = []
    for name, tree in (("broken", nirfiles.braille_rnn()), ("recurrent", nirfiles.flattened_rnn())):
        model, page = out / f"{name}.nir", out / f"nir-{name}.html"
        nirfiles.write_old(model, tree)
        subprocess.run([sys.executable, "-m", "nivra.viz", "graph", str(model), "-o", str(page),
                        "--title", f"braille reader ({name})"], check=True, stdout=subprocess.DEVNULL)
        pages.append(page)
    return pages[0], pages[1]


def main():
    demo = (Path(sys.argv[1]) if len(sys.argv) > 1 else Path(tempfile.mkdtemp())).resolve()
    if not (demo / "graph.html").exists():
        subprocess.run([sys.executable, "-m", "nivra.viz", "demo", "-o", str(demo)], check=True,
                       stdout=subprocess.DEVNULL)
    with sync_playwright() as p:
        browser = p.chromium.launch(executable_path=shutil.which("chromium"), args=["--no-sandbox"])
        shoot(browser, demo / "graph.html", "viewer-light.png")
        shoot(browser, demo / "graph.html", "viewer-dark.png", scheme="dark")
        shoot(browser, demo / "graph.html", "viewer-collapsed.png",
              before="window.__nivraViewer.collapseAll()")
        shoot(browser, demo / "partition.html", "partition.png")
        shoot(browser, demo / "schedule.html", "timeline.png",
              before="window.__nivraTimeline.select('head_conv')")
        shoot(browser, timesteps_page(demo), "timeline-timesteps.png",
              before="window.__nivraTimeline.setStep(3); window.__nivraTimeline.setWindow(-50, 5700)")
        shoot(browser, demo / "events.html", "spikes.png", full_page=True)
        shoot(browser, demo / "frames.html", "frames.png")
        shoot_view(browser, demo / "sample_events.npy", "view.png")
        if (demo / "nir.html").exists():
            shoot(browser, demo / "nir.html", "nir.png")
        broken, recurrent = nir_pages(demo)
        shoot(browser, broken, "nir-broken.png", before="document.getElementById('problems-btn').click()")
        shoot(browser, recurrent, "nir-recurrent.png")
        browser.close()


if __name__ == "__main__":
    main()
