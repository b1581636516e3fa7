"""Shared fixtures for the nivra.viz test suite."""
import sys
import textwrap

import pytest
from children import run_child


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter and returns its stdout (asserting success)."""

    def run(code: str, expect_ok: bool = True) -> str:
        proc = run_child([sys.executable, "-c", textwrap.dedent(code)], timeout=120)
        if expect_ok:
            assert proc.returncode == 0, proc.stderr
        return proc.stdout + proc.stderr

    return run


# --- sanitizer runs (make test-asan) -----------------------------------------
# NIVRA_ASAN_SITE names the directory holding the sanitized build. The package
# directories are merged with pkgutil.extend_path, so a module could silently
# come from the normal install instead: refuse to run unless every compiled
# module that imports is the sanitized one and the runtime is loaded.
import os  # noqa: E402

_ASAN_SITE = os.environ.get("NIVRA_ASAN_SITE")
_MODULE_NAMES = ("encode", "serialize", "render", "compiled", "spikes")


def pytest_sessionstart(session):
    if not _ASAN_SITE:
        return
    import importlib

    with open("/proc/self/maps") as maps:
        assert "libasan" in maps.read(), "NIVRA_ASAN_SITE is set but the ASan runtime is not loaded"
    site = os.path.realpath(_ASAN_SITE)
    found = []
    for name in _MODULE_NAMES:
        try:
            mod = importlib.import_module(f"nivra.viz.{name}")
        except ImportError:
            continue
        path = os.path.realpath(mod.__file__)
        assert path.startswith(site + os.sep), f"nivra.viz.{name} came from {path}, not from {site}"
        found.append(name)
    assert found, "no compiled module imported from the sanitized build"


def pytest_collection_modifyitems(config, items):
    # Chromium hangs with the ASan runtime preloaded into it (Playwright's driver
    # and the browser inherit LD_PRELOAD): browser tests run in `make test` only.
    if not _ASAN_SITE:
        return
    skip = pytest.mark.skip(reason="browser tests do not run under the sanitizer preload")
    # The slow tests build a wheel or run mypy: they never load the sanitized modules, and
    # PYTHONPATH (pointing at them) would make pip think the package is already installed.
    skip_slow = pytest.mark.skip(reason="slow tool tests do not load the sanitized modules")
    for item in items:
        if "browser" in item.path.parts or "browser" in getattr(item, "fixturenames", ()) or \
                _uses_playwright(getattr(item, "module", None)):
            item.add_marker(skip)
        elif item.get_closest_marker("slow"):
            item.add_marker(skip_slow)


def _uses_playwright(module, _cache={}):
    path = getattr(module, "__file__", None)
    if not path:
        return False
    if path not in _cache:
        with open(path, encoding="utf-8") as f:
            _cache[path] = "playwright" in f.read()
    return _cache[path]


@pytest.fixture(autouse=True)
def _notebook_outputs_write_beside_the_test(request, monkeypatch, tmp_path_factory):
    # A notebook output writes a copy of its page under the working directory (for the
    # links of an untrusted notebook): in the notebook tests that is a fresh folder, not
    # the checkout.
    if "notebook" in request.node.path.name:
        monkeypatch.chdir(tmp_path_factory.mktemp("cwd"))
