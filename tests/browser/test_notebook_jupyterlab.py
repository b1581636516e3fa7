"""A notebook with a nivra.viz output, opened in a real JupyterLab (headless, on the loopback
address, in Chromium): untrusted, as a notebook executed elsewhere is, it shows the fallback
with the page's title and size and how to trust it, and its links open the page's copy; once
trusted, the page runs in its frame and the fallback is gone."""
from __future__ import annotations

import os
import secrets
import socket
import subprocess
import sys
import time
import urllib.request

import pytest

pytestmark = pytest.mark.slow

nbformat = pytest.importorskip("nbformat")
if subprocess.run([sys.executable, "-c", "import jupyterlab"], capture_output=True).returncode:
    pytest.skip("jupyterlab is not installed", allow_module_level=True)

from nivra.viz import notebook, samples  # noqa: E402

OUTPUT = ".jp-OutputArea-output"
READY = "document.documentElement.dataset.state === 'ready'"


def _port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="module")
def lab(tmp_path_factory):
    """JupyterLab serving a fresh folder, with its own settings and trust database."""
    root = tmp_path_factory.mktemp("lab")
    home, nbdir = root / "home", root / "notebooks"
    home.mkdir()
    nbdir.mkdir()
    env = dict(os.environ, HOME=str(home), JUPYTER_CONFIG_DIR=str(home / "config"),
               JUPYTER_DATA_DIR=str(home / "data"), JUPYTER_RUNTIME_DIR=str(home / "runtime"))
    port, token = _port(), secrets.token_hex(16)
    with open(root / "server.log", "wb") as log:
        server = subprocess.Popen(
            [sys.executable, "-m", "jupyterlab", "--no-browser", "--allow-root", f"--port={port}",
             "--ServerApp.ip=127.0.0.1", f"--IdentityProvider.token={token}",
             f"--ServerApp.root_dir={nbdir}", f"--LabApp.workspaces_dir={root / 'workspaces'}",
             "--LabApp.news_url=", "--LabApp.check_for_updates_class=jupyterlab.NeverCheckForUpdate"],
            stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=env)
    try:
        deadline = time.monotonic() + 120
        while True:
            try:
                urllib.request.urlopen(f"http://127.0.0.1:{port}/api/status?token={token}", timeout=2)
                break
            except OSError:
                assert server.poll() is None and time.monotonic() < deadline, \
                    (root / "server.log").read_text(errors="replace")[-2000:]
                time.sleep(0.25)
        yield {"url": f"http://127.0.0.1:{port}", "token": token, "dir": nbdir, "env": env}
    finally:
        server.terminate()
        try:
            server.wait(30)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait(10)


def _notebook(lab, monkeypatch, name):
    """A notebook as one executed elsewhere arrives: the output of show(), not signed here."""
    monkeypatch.chdir(lab["dir"])  # the kernel's working directory: the notebook's
    page = notebook.show(samples.sample_model(), title="Sample <model>")
    nb = nbformat.v4.new_notebook()
    nb.metadata["kernelspec"] = {"name": "python3", "display_name": "Python 3", "language": "python"}
    cell = nbformat.v4.new_code_cell("viz.show(samples.sample_model(), title='Sample <model>')")
    cell.outputs = [nbformat.v4.new_output("display_data", data=page._repr_mimebundle_())]
    nb.cells = [cell]
    nbformat.write(nb, lab["dir"] / name)
    return page


def _open(browser, lab, name):
    context = browser.new_context(viewport={"width": 1300, "height": 900}, accept_downloads=True)
    tab = context.new_page()
    tab.goto(f"{lab['url']}/lab/tree/{name}?reset&token={lab['token']}")  # no other tabs
    tab.wait_for_selector(f"{OUTPUT} .nivra-viz", timeout=120_000)
    return context, tab


def test_untrusted_output_shows_the_fallback_and_its_links_open_the_page(
        browser, lab, monkeypatch, tmp_path):
    page = _notebook(lab, monkeypatch, "untrusted.ipynb")
    context, tab = _open(browser, lab, "untrusted.ipynb")
    out = tab.locator(OUTPUT).first
    assert out.locator("iframe").count() == 0  # what JupyterLab does to untrusted outputs
    text = " ".join(out.inner_text().split())
    for words in ("Sample <model>", notebook._size_text(page.nbytes), "graph viewer",
                  "needs a trusted notebook", '"Trust Notebook"', "Open in new tab", "Download"):
        assert words in text, words
    assert not out.locator(".nivra-viz-bar").is_visible()  # the dead buttons stay hidden
    tab.screenshot(path=str(tmp_path / "untrusted.png"))

    # Download: the link is the server's copy of the page, sent as an attachment
    href = out.locator("a", has_text="Download").get_attribute("href")
    assert "/files/nivra-viz-pages/" in href and "download=1" in href
    reply = context.request.get(href)
    assert reply.ok and "attachment" in reply.headers.get("content-disposition", "")
    assert reply.text() == page.html

    # Open: JupyterLab shows the copy in its HTML viewer; "Trust HTML" starts the page
    out.locator("a", has_text="Open in new tab").click()
    tab.get_by_role("button", name="Trust HTML").click()
    frame = tab.frame_locator(".jp-HTMLViewer iframe").first
    frame.locator("html[data-state='ready']").wait_for(timeout=60_000)
    tab.screenshot(path=str(tmp_path / "opened.png"))
    context.close()


def test_trusted_output_runs_the_page_and_hides_the_fallback(browser, lab, monkeypatch):
    _notebook(lab, monkeypatch, "trusted.ipynb")
    subprocess.run([sys.executable, "-m", "jupyter", "trust", str(lab["dir"] / "trusted.ipynb")],
                   check=True, capture_output=True, env=lab["env"], timeout=60)
    context, tab = _open(browser, lab, "trusted.ipynb")
    out = tab.locator(OUTPUT).first
    frame = out.frame_locator("iframe")
    frame.locator("html[data-state='ready']").wait_for(timeout=60_000)
    assert out.locator(".nivra-viz-bar").is_visible()
    assert not out.locator(".nivra-viz-fallback").is_visible()
    context.close()
