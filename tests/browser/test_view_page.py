"""The viewer's page in Chromium against a server on loopback: frames drawn with NumPy's
counts, seeking, playback, the activity overview, hot pixels, exports, directories, a
server that goes away."""
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from view_support import numpy_frame, scene  # noqa: E402

pytest.importorskip("nivra.viz.spikes")
from nivra.viz.view import Viewer  # noqa: E402

SETTLED = "['ready', 'error', 'list'].includes(document.documentElement.dataset.state)"
W, H = 640, 360


@pytest.fixture(scope="module")
def recording(tmp_path_factory):
    ev = scene(400_000, width=W, height=H, duration_us=4_000_000, seed=7)
    path = tmp_path_factory.mktemp("view") / "walk.npy"
    np.save(path, ev)
    return path, ev


@pytest.fixture(scope="module")
def server(recording):
    viewer = Viewer(recording[0], port=0)
    yield viewer
    viewer.stop()


@pytest.fixture
def page(browser, server):
    context = browser.new_context(viewport={"width": 1300, "height": 900}, accept_downloads=True)
    p = context.new_page()
    errors = []
    p.on("pageerror", lambda e: errors.append(str(e)))
    p.on("console", lambda m: errors.append(m.text) if m.type == "error" else None)
    p.goto(server.url)
    p.wait_for_function(SETTLED, timeout=60000)
    yield p
    context.close()
    assert not errors


def dataset(p):
    return p.evaluate("({...document.documentElement.dataset})")


def count(ev, start, window):
    t0 = int(ev["t"].min())
    return int(numpy_frame(ev, t0 + start, t0 + start + window, (W, H)).sum())


def test_first_frame_and_seeking_match_numpy(page, recording):
    _, ev = recording
    d = dataset(page)
    assert d["state"] == "ready"
    assert (int(d["frameStart"]), int(d["frameWindow"])) == (0, 10_000)
    assert int(d["frameEvents"]) == count(ev, 0, 10_000)
    for start, window in [(1_234_567, 10_000), (3_999_000, 100), (2_000_000, 1_000_000),
                          (0, 4_000_001), (512, 2_000)]:
        got = page.evaluate(f"window.nivraView.show({start}, {window})")
        assert got["events"] == count(ev, start, window)
        d = dataset(page)
        assert (int(d["frameStart"]), int(d["frameWindow"])) == (start, window)
        assert int(d["frameEvents"]) == count(ev, start, window)
    assert page.text_content("#fact-sensor") == f"{W} \u00d7 {H}"


def test_keys_step_and_window(page, recording):
    _, ev = recording
    page.evaluate("window.nivraView.show(1000000, 10000)")
    page.keyboard.press("ArrowRight")
    page.wait_for_function("document.documentElement.dataset.frameStart === '1010000'")
    page.keyboard.press("]")
    page.wait_for_function("document.documentElement.dataset.frameWindow === '20000'")
    page.keyboard.press("End")
    page.wait_for_function("document.documentElement.dataset.frameStart === String(%d)"
                           % int(ev["t"].max() - ev["t"].min()))
    page.keyboard.press("Home")
    page.wait_for_function("document.documentElement.dataset.frameStart === '0'")


def test_playback_advances_in_real_time(page):
    page.evaluate("window.nivraView.show(0, 10000)")
    page.select_option("#speed", "0.1")
    page.click("#play")
    page.wait_for_timeout(1500)
    d = dataset(page)
    page.click("#play")                                          # pause
    start = int(d["frameStart"])
    # ~1.5 s at a tenth of real time: about 150 ms of the recording
    assert d["playing"] == "true" and 60_000 <= start <= 220_000, start
    assert dataset(page)["playing"] == "false"


def test_overview_click_jumps_and_zooms(page):
    box = page.locator("#overview").bounding_box()
    # the plot runs from 62 px to 12 px before the right edge: click its middle
    x = box["x"] + 62 + (box["width"] - 74) / 2
    page.mouse.click(x, box["y"] + 50)
    page.wait_for_function("Math.abs(Number(document.documentElement.dataset.frameStart) - 2000000) < 20000")
    page.mouse.move(x, box["y"] + 50)
    page.mouse.wheel(0, -600)
    page.wait_for_function("!document.querySelector('#overview-reset').disabled")
    assert "whole" not in page.text_content("#overview-sub")


def test_hot_pixels_hidden_and_counted(page, recording):
    _, ev = recording
    assert page.text_content("#hot-count") == "(1)"
    page.evaluate("window.nivraView.show(0, 500000)")
    page.check("#hot")
    page.wait_for_function("document.documentElement.dataset.hotHidden === 'true'")
    t0 = int(ev["t"].min())
    sel = ev[(ev["t"] >= t0) & (ev["t"] < t0 + 500_000)]
    in_hot = int(np.count_nonzero((sel["x"] == 37) & (sel["y"] == 21)))
    assert f"({in_hot:,} in hidden hot pixels)" in page.text_content("#time-readout")
    assert "third busiest of its 8 neighbours" in page.text_content("#notes")


def test_zoom_pan_and_pixel_readout(page):
    page.evaluate("window.nivraView.show(0, 4000001)")
    page.click("#zoom-in")
    page.click("#zoom-in")
    assert page.text_content("#zoom-label") != "fit"
    stage = page.locator("#stage").bounding_box()
    page.mouse.move(stage["x"] + stage["width"] / 2, stage["y"] + stage["height"] / 2)
    assert page.text_content("#pixel-readout").startswith("x ")
    page.keyboard.press("0")
    page.wait_for_function("document.querySelector('#zoom-label').textContent === 'fit'")


def test_exports(page, recording, tmp_path):
    path, ev = recording
    page.evaluate("window.nivraView.show(1000000, 10000)")
    with page.expect_download() as dl:
        page.click("#save-png")
    png = Path(dl.value.path()).read_bytes()
    assert png.startswith(b"\x89PNG") and dl.value.suggested_filename == "walk-1000000us-10000us.png"
    page.click("#open-export")
    page.fill("#export-from", "1")
    page.fill("#export-to", "1.2")
    with page.expect_download(timeout=60000) as dl:
        page.click("#export-spikes")
    html = Path(dl.value.path()).read_text()
    t0 = int(ev["t"].min())
    n = int(np.count_nonzero((ev["t"] >= t0 + 1_000_000) & (ev["t"] < t0 + 1_200_000)))
    assert f'"event_count": {n},' in html
    page.fill("#export-to", "1.3")
    page.select_option("#video-fps", "60")
    with page.expect_download(timeout=90000) as dl:
        page.click("#export-video")
    webm = Path(dl.value.path()).read_bytes()
    assert webm[:4] == b"\x1a\x45\xdf\xa3" and len(webm) > 1000
    assert "30 frames" in page.text_content("#export-status")
    page.fill("#export-from", "9")
    page.fill("#export-to", "9.5")
    page.click("#export-spikes")
    page.wait_for_function("document.querySelector('#export-status').textContent.includes('after the end')")


def test_theme_switch(page):
    before = page.evaluate("getComputedStyle(document.body).backgroundColor")
    page.click("#theme")
    assert page.evaluate("getComputedStyle(document.body).backgroundColor") != before


def test_directory_listing_and_a_server_that_stops(browser, tmp_path, recording):
    _, ev = recording
    np.save(tmp_path / "a.npy", ev[:50_000])
    np.save(tmp_path / "b.npy", ev[200_000:260_000])
    (tmp_path / "broken.raw").write_bytes(b"% evt 3.0\n% end\n")
    viewer = Viewer(tmp_path, port=0)
    context = browser.new_context(viewport={"width": 1300, "height": 900})
    try:
        p = context.new_page()
        p.goto(viewer.url)
        p.wait_for_function(SETTLED, timeout=60000)
        assert dataset(p)["state"] == "ready"
        p.wait_for_function("document.querySelectorAll('#list tbody tr').length === 3 && "
                            "!document.querySelector('#list-sub').textContent.includes('reading')",
                            timeout=60000)
        assert "1 unreadable" in p.text_content("#list-sub")
        p.click("#list tr[data-id='1']")
        p.wait_for_function("document.title.startsWith('b.npy')")
        p.wait_for_function("document.documentElement.dataset.state === 'ready'")
        assert int(dataset(p)["frameEvents"]) == count(ev[200_000:260_000], 0, 10_000)
        viewer.stop()
        p.keyboard.press("ArrowRight")
        p.wait_for_function("!document.querySelector('#stage-msg').hidden")
        assert "does not answer" in p.text_content("#stage-msg")
    finally:
        viewer.stop()
        context.close()
