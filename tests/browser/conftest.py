"""Shared fixture for the browser tests: one headless Chromium per session."""
import shutil

import pytest


@pytest.fixture(scope="session")
def browser():
    sync_api = pytest.importorskip("playwright.sync_api")
    executable = shutil.which("chromium")
    if executable is None:
        pytest.skip("chromium is not installed")
    with sync_api.sync_playwright() as pw:
        instance = pw.chromium.launch(executable_path=executable, args=["--no-sandbox"], headless=True)
        yield instance
        instance.close()
