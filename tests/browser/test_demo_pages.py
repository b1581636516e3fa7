"""The five pages of `nivra-viz demo` open in a browser without errors and show their data."""
import importlib.util

import pytest

MODULES = ["encode", "serialize", "render", "compiled", "spikes"]
SCRIPTED = ["graph", "partition", "events", "frames"]


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


def test_schedule_page_shows_every_core(browser, demo_dir):
    page, errors = _open(browser, demo_dir / "schedule.html")
    text = page.inner_text("body")
    for core in range(4):
        assert f"Core {core}" in text
    assert "Critical path:" in text and errors == []
    page.close()
