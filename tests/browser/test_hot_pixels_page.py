"""The command line's page of a 1280 x 720 recording with hot pixels, in headless Chromium:
the hot pixels left out are said with the rule, and the raster names its pixels by x, y."""
import json
import re
import sys
from pathlib import Path

import numpy as np

from nivra.viz import hot_pixels
from nivra.viz.cli import main

sys.path.insert(0, str(Path(__file__).resolve().parent))
import spikedocs  # noqa: E402

READY = "['ready', 'error'].includes(document.documentElement.dataset.state)"


def test_hot_pixels_and_raster_pixels_on_the_page(browser, tmp_path, capsys):
    x, y, t, p = spikedocs.sensor_events("hot")  # five hot pixels among dim activity
    ev = np.zeros(len(t), [("x", "<u2"), ("y", "<u2"), ("t", "<i8"), ("p", "u1")])
    ev["x"], ev["y"], ev["t"], ev["p"] = x, y, t, p
    np.save(tmp_path / "rec.npy", ev[np.argsort(ev["t"], kind="stable")])
    html = tmp_path / "rec.html"
    assert main(["events", str(tmp_path / "rec.npy"), "-o", str(html), "--sensor", "1280", "720"]) == 0
    capsys.readouterr()
    text = html.read_text()
    doc = json.JSONDecoder().raw_decode(text[text.index('{"event_count"'):])[0]
    pixels = doc["recording"]["raster_pixels"]

    context = browser.new_context(viewport={"width": 1280, "height": 900})
    errors = []
    page = context.new_page()
    page.on("pageerror", lambda e: errors.append(str(e)))
    page.goto(html.as_uri())
    page.wait_for_function(READY, timeout=30_000)
    note = page.text_content("#hot-note")
    assert page.is_visible("#hot-note") and note.startswith("5 hot pixels left out (")
    assert hot_pixels.RULE in note and "--hot-pixels keep" in note
    assert "busiest" in page.text_content("#raster-note")

    page.locator("#raster-box").scroll_into_view_if_needed()
    box = page.locator("#raster-overlay").bounding_box()
    for fy in (0.1, 0.6, 0.95):
        page.mouse.move(box["x"] + box["width"] * 0.5, box["y"] + box["height"] * fy)
        page.wait_for_function("/Count/.test(document.getElementById('readout').textContent)")
        m = re.search(r"Neuron (\d+) \(x (\d+), y (\d+)\)", page.text_content("#readout"))
        assert m and pixels[int(m[1])] == [int(m[2]), int(m[3])]
    page.screenshot(path=str(tmp_path / "hot-pixels.png"), full_page=True)
    context.close()
    assert errors == []
