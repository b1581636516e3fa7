"""The five pages of `nivra-viz demo` open in a browser without errors and show their data."""
import importlib.util

import pytest

MODULES = ["encode", "serialize", "render", "compiled", "spikes"]
SCRIPTED = ["graph", "partition", "schedule", "events", "frames"]


@pytest.fixture(scope="module")
def demo_dir(tmp_path_factory):
    if any(importlib.util.find_spec(f"nivra.viz.{m}") is None for m in MODULES):
        pytest.skip("modules not built yet")
    from nivra.viz.cli import main

    out = tmp_path_factory.mktemp("demo")
    assert main(["demo", "-o", str(out), "--quiet"]) == 0
    return out


def _open(browser, path):
    page = browser.new_page(viewport={"width": 1300, "height": 850})
    errors = []
    page.on("pageerror", lambda e: errors.append(str(e)))
    page.on("console", lambda m: errors.append(m.text) if m.type == "error" else None)
    page.goto(path.as_uri())
    return page, errors


@pytest.mark.parametrize("name", SCRIPTED)
def test_scripted_pages_become_ready(browser, demo_dir, name):
    page, errors = _open(browser, demo_dir / f"{name}.html")
    page.wait_for_function("['ready', 'error'].includes(document.documentElement.dataset.state)",
                           timeout=60000)
    assert page.evaluate("document.documentElement.dataset.state") == "ready"
    assert errors == []
    assert page.title()
    page.close()


def test_schedule_page_is_the_timeline_with_the_profile(browser, demo_dir):
    page, errors = _open(browser, demo_dir / "schedule.html")
    page.wait_for_function("document.documentElement.dataset.state === 'ready'", timeout=60000)
    assert page.evaluate("window.__nivraTimeline.cores") == 4
    assert "Latencies are the profile's" in page.inner_text("#side")
    assert page.is_visible("#graph-link") and errors == []
    page.close()
