"""The demo's pages in a second browser engine (headless Firefox): each kind becomes ready
without errors, and what a person does most on each page works as in Chromium. A short
check of the engine, not a second suite: the pages' behaviour in detail is tested in
tests/browser/. To cover a new page or control, add its file to PAGES or a step below."""
from __future__ import annotations

import base64
import io
import xml.etree.ElementTree as ET

import numpy as np
import pytest
from PIL import Image

pytest.importorskip("marionette_driver")  # the quick runs on other Pythons go without it
from firefox_driver import Keys  # noqa: E402

pytestmark = pytest.mark.slow

# page kind -> the demo's file
PAGES = {
    "viewer": "graph.html",
    "partition": "partition.html",
    "timeline": "schedule.html",
    "classic schedule": "schedule-classic.html",
    "spike page": "events.html",
    "frames": "frames.html",
    "nir": "nir.html",
}
SCRIPTLESS = {"classic schedule"}  # plain HTML and CSS: nothing to wait for


def _png(data: bytes) -> np.ndarray:
    return np.asarray(Image.open(io.BytesIO(data)).convert("RGB"))


@pytest.mark.parametrize("kind", list(PAGES))
def test_every_page_kind_is_ready_without_errors(firefox, demo, tmp_path, kind):
    page = firefox.open(demo / PAGES[kind], wait=kind not in SCRIPTLESS)
    if kind in SCRIPTLESS:
        assert "Core 0" in page.js("document.body.innerText")
    assert page.js("document.title")
    shot = _png(page.screenshot(tmp_path / f"{kind}.png").read_bytes())
    # something was drawn: a blank or single-colour window would have a handful of colours
    assert len(np.unique(shot.reshape(-1, 3), axis=0)) > 50, kind
    assert page.errors() == []


def test_viewer_select_search_collapse_export(firefox, demo):
    page = firefox.open(demo / "graph.html")
    api = "window.__nivraViewer"
    page.js(f"{api}.fit()")
    page.wait_for(f"!{api}.animating")
    box = page.js(f"{api}.nodeBox('stem_conv')")
    page.click_at(box["x"] + box["width"] / 2, box["y"] + box["height"] / 2)
    assert page.wait_for("document.documentElement.dataset.selected") == "stem_conv"
    assert "stem_conv" in page.text("#details")
    page.press(Keys.ESCAPE)
    assert page.wait_for("!document.documentElement.dataset.selected")

    # search from the keyboard: Ctrl+F, a name, Enter steps through the matches
    page.click("#stage")
    page.chord(Keys.CONTROL, "f")
    assert page.js("document.activeElement.id") == "search"
    page.press(*"lif")
    page.press(Keys.ENTER)
    expected = sorted(page.js(f"{api}.search('lif')"))
    assert len(expected) > 3 and all("lif" in n for n in expected)
    assert page.wait_for(f"document.documentElement.dataset.matches === '{len(expected)}'")
    assert page.js("document.documentElement.dataset.selected") in expected

    # collapse every group, then expand them again with the key
    units = page.js(f"{api}.units")
    page.click("#collapse-all")
    groups = page.js(f"{api}.collapsed")
    assert groups and page.js(f"{api}.units") < units
    page.click("#stage")
    page.press("e")
    assert page.wait_for(f"{api}.collapsed.length === 0 && {api}.units === {units}")

    # export: the SVG download holds every node
    page.click("#export-btn")
    page.click("#export-svg")
    svg = page.download()
    assert svg.suffix == ".svg"
    root = ET.fromstring(svg.read_text(encoding="utf-8"))
    nodes = root.findall("{http://www.w3.org/2000/svg}g[@class='node']")
    assert len(nodes) == units
    assert page.errors() == []


def test_spike_page_play_step_contrast_save(firefox, demo):
    page = firefox.open(demo / "events.html")
    slider = "Number(document.getElementById('slider').value)"
    page.click("#play")
    assert page.wait_for(f"{slider} >= 3", 10)
    assert page.attr("#play", "aria-label") == "Pause"
    page.click("#play")
    assert page.attr("#play", "aria-label") == "Play"

    page.click("h1")  # keys go to the page
    page.press(Keys.HOME)
    assert page.js(slider) == 0
    page.press(Keys.ARROW_RIGHT, Keys.ARROW_RIGHT)
    assert page.js(slider) == 2
    assert page.text("#frame-info").startswith("Frame 3 / 20")
    page.press(Keys.END)
    assert page.js(slider) == 19
    page.press(Keys.HOME, Keys.ARROW_RIGHT, Keys.ARROW_RIGHT, Keys.ARROW_RIGHT, Keys.ARROW_RIGHT,
               Keys.ARROW_RIGHT)
    assert page.js(slider) == 5

    # "Linear" contrast saves the stored frame exactly as it is; "Auto" brightens it
    stored = _png(base64.b64decode(page.js(
        "JSON.parse(document.getElementById('nivra-data').textContent).animation_frames[5]")))
    page.click("#contrast-linear")
    page.click("#save-frame")
    linear = _png(page.download().read_bytes())
    assert linear.shape == stored.shape and (linear == stored).all()
    page.click("#contrast-auto")
    page.click("#save-frame")
    auto = _png(page.download().read_bytes())
    active = stored.any(axis=-1)
    assert auto[active].astype(int).sum() > 2 * stored[active].astype(int).sum()
    assert not auto[~active].any()
    assert page.errors() == []


def test_timeline_hover_zoom_search(firefox, demo):
    page = firefox.open(demo / "schedule.html")
    api = "window.__nivraTimeline"
    bar = page.js(f"{api}.barBox('stem_conv')")
    page.move_to(bar["x"] + bar["width"] / 2, bar["y"] + bar["height"] / 2)
    assert page.wait_for(f"{api}.hovered === 'stem_conv'")
    tip = page.js("document.getElementById('tip').innerText")
    assert "stem_conv" in tip and "Core 0" in tip

    # the wheel zooms in around the pointer; F fits the whole run again
    w0 = page.js(f"{api}.window")
    view = page.box("#view")
    page.wheel(view["x"] + view["width"] * 0.6, view["y"] + 120, -240, times=10)
    span0 = w0["t1"] - w0["t0"]
    assert page.wait_for(f"{api}.window.t1 - {api}.window.t0 < {span0 / 4}")
    page.press("f")
    assert page.wait_for(f"Math.abs({api}.window.t1 - {api}.window.t0 - {span0}) < 1e-9")

    # search by typing: the matches are counted, Enter selects the first
    expected = page.js(f"{api}.search('lif')")
    page.js(f"{api}.search('')")
    page.type_into("#search", "lif")
    assert page.wait_for(f"document.documentElement.dataset.matches === '{len(expected)}'")
    page.press(Keys.ENTER)
    assert page.wait_for("document.documentElement.dataset.selected") == expected[0]
    assert page.errors() == []
