"""Browser fixtures: one headless Chromium per session, one fresh context per page."""
from __future__ import annotations

import shutil
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

try:
    from playwright.sync_api import sync_playwright
except ImportError:  # the test module skips itself
    sync_playwright = None

from pages import render_graph_page  # noqa: E402

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
READY = "['ready', 'error'].includes(document.documentElement.dataset.state)"
IDLE = "document.documentElement.dataset.layout === 'idle'"


@pytest.fixture(scope="session")
def browser():
    if sync_playwright is None or CHROMIUM is None:
        pytest.skip("playwright or chromium is not available")
    with sync_playwright() as p:
        b = p.chromium.launch(executable_path=CHROMIUM, args=["--no-sandbox"], headless=True)
        yield b
        b.close()


class Viewer:
    """Opens graph documents as file:// pages and records what the console says."""

    def __init__(self, browser, tmp_path: Path):
        self.browser = browser
        self.tmp_path = tmp_path
        self.contexts = []
        self.errors: list[str] = []

    def open(self, doc: dict, title: str = "nivra.viz", query: str = "", color_scheme: str = "light",
             viewport=(1400, 900), context=None, wait: bool = True, html: str | None = None):
        """Opens the viewer page of `doc`, or the page text `html` when given."""
        path = self.tmp_path / f"page{len(self.contexts)}.html"
        path.write_text(render_graph_page(doc, title=title) if html is None else html, encoding="utf-8")
        if context is None:
            context = self.browser.new_context(viewport={"width": viewport[0], "height": viewport[1]},
                                               color_scheme=color_scheme, accept_downloads=True)
            self.contexts.append(context)
        page = context.new_page()
        page.on("console", lambda m: self.errors.append(m.text) if m.type == "error" else None)
        page.on("pageerror", lambda e: self.errors.append(str(e)))
        page.goto(path.as_uri() + query)
        if wait:
            page.wait_for_function(READY, timeout=60000)
            if page.evaluate("document.documentElement.dataset.state") == "ready":
                page.wait_for_function(IDLE, timeout=60000)
        return page

    def close(self):
        for c in self.contexts:
            c.close()


@pytest.fixture
def viewer(browser, tmp_path):
    v = Viewer(browser, tmp_path)
    yield v
    v.close()
