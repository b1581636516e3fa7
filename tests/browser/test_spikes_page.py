"""The spike viewer page in headless Chromium, on generated event documents."""
import base64
import copy
import re
import string
import sys
from pathlib import Path

import numpy as np
import pytest

from nivra.viz import spikes

sys.path.insert(0, str(Path(__file__).resolve().parent))
import spikedocs  # noqa: E402

READY = "['ready', 'error'].includes(document.documentElement.dataset.state)"


@pytest.fixture(scope="module")
def event_doc():
    return spikedocs.make_event_doc()


@pytest.fixture(scope="module")
def frames_doc():
    return spikedocs.make_frames_doc()


class Page:
    """A loaded page plus everything it reported on the console."""

    def __init__(self, browser, html, tmp_path, **context):
        path = tmp_path / "page.html"
        path.write_text(html, encoding="utf-8")
        self.context = browser.new_context(viewport={"width": 1280, "height": 900}, **context)
        self.page = self.context.new_page()
        self.errors = []
        self.page.on("console", lambda m: m.type == "error" and self.errors.append(m.text))
        self.page.on("pageerror", lambda e: self.errors.append(str(e)))
        self.page.goto(path.as_uri())
        self.page.wait_for_function(READY, timeout=30_000)

    @property
    def state(self):
        return self.page.evaluate("document.documentElement.dataset.state")

    def text(self, selector):
        return self.page.text_content(selector)

    def close(self):
        self.context.close()


@pytest.fixture
def open_page(browser, tmp_path):
    pages = []

    def opener(doc, title="Spike Visualization", html=None, **context):
        page = Page(browser, html if html is not None else spikedocs.render_spike_page(doc, title),
                    tmp_path, **context)
        pages.append(page)
        return page

    yield opener
    for page in pages:
        page.close()


def slider_value(p):
    return int(p.page.input_value("#slider"))


# --- template contract ---------------------------------------------------------

def test_template_has_only_the_two_placeholders():
    text = spikedocs.TEMPLATE.read_text(encoding="utf-8")
    template = string.Template(text)
    assert template.is_valid()
    assert sorted(set(template.get_identifiers())) == ["data_json", "title"]
    # ASCII only, so the page reads the same whatever encoding writes it
    assert text.isascii()
    page = template.substitute(title="T $x", data_json='{"event_count": 1}')
    assert '<script type="application/json" id="nivra-data">{"event_count": 1}</script>' in page
    assert "$" not in page.replace("T $x", "")


# --- an event page ------------------------------------------------------------

def test_event_page_draws_everything(open_page, event_doc):
    p = open_page(event_doc, "Rotating bar")
    assert p.state == "ready"
    assert p.errors == []
    # thumbnails wider than the sensor keep its pixels, enlarged by the page: one canvas
    # pixel per screen pixel of a whole number of CSS pixels
    sizes = p.page.eval_on_selector_all("#grid canvas", "els => els.map(e => [e.width, e.height,"
                                        " e.getBoundingClientRect().width, e.getBoundingClientRect().height])")
    assert len(sizes) == len(event_doc["grid_frames"])
    assert all(w == h == cw == ch > 64 for w, h, cw, ch in sizes)
    captions = p.page.eval_on_selector_all("#grid figcaption", "els => els.map(e => e.textContent)")
    assert captions[0] == "Bin 10.00\u20130.30 s" and captions[-1] == "Bin 51.20\u20131.50 s"
    assert p.text("#sensor") == "64 \u00d7 64px"
    assert p.text("#frames-stat") == "205 bins"
    assert int(p.page.get_attribute("#slider", "max")) == len(event_doc["animation_frames"]) - 1
    # the first animation frame is on the canvas
    lit = p.page.evaluate("""() => {
        const c = document.getElementById('frame'), d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
        let n = 0; for (let i = 0; i < d.length; i += 4) if (d[i] || d[i + 2]) n++; return [c.width, c.height, n]; }""")
    assert lit[0] == lit[1] and lit[0] % 64 == 0 and lit[2] > 20 * (lit[0] // 64) ** 2


@pytest.mark.parametrize("count, duration, want_count, want_duration", [
    (1_234_567, 1_500_000, "1,234,567", "1.50 s"),
    (999, 850, "999", "850 \u00b5s"),
    (1000, 2_500, "1,000", "2.50 ms"),
    (12_000_000_000, 600_000_000, "12,000,000,000", "600.00 s"),
    (5, 0, "5", "0 \u00b5s"),
    (5, 999_999, "5", "1.00 s"),
])
def test_header_figures_are_formatted(open_page, event_doc, count, duration, want_count, want_duration):
    doc = dict(event_doc, event_count=count, duration_us=duration)
    p = open_page(doc)
    assert p.state == "ready"
    assert p.text("#event-count") == want_count
    assert p.text("#duration") == want_duration


@pytest.mark.parametrize("recording, want", [
    # what is drawn, what was left out beside it and why, the span with its fraction
    (dict(events_read=200_000, events_drawn=11_130, span_us=499_999,
          left_out=[["outside the time window", 166_663], ["outside the sensor", 22_207]]),
     dict(events="11,130", read="of 200,000 read", left="188,870",
          why="166,663 outside the time window \u00b7 22,207 outside the sensor", duration="500.00 ms")),
    (dict(events_read=40, events_drawn=40, span_us=2.99999, left_out=[]),
     dict(events="40", read="of 40 read", left=None, why=None, duration="3.00 \u00b5s")),
])
def test_cards_of_a_recording(open_page, event_doc, recording, want):
    p = open_page(dict(event_doc, event_count=recording["events_read"], duration_us=int(recording["span_us"]),
                       recording=recording))
    assert p.state == "ready" and not p.errors
    assert p.text("#stat-events dt") == "Events drawn"
    assert (p.text("#event-count"), p.text("#events-read")) == (want["events"], want["read"])
    assert p.text("#duration") == want["duration"]
    # the bins and frames are labelled on the same span
    assert p.text("#grid-sub").endswith(" over " + want["duration"])
    if want["left"] is None:
        assert p.page.is_hidden("#stat-left-out")
    else:
        assert (p.text("#left-out"), p.text("#left-out-why")) == (want["left"], want["why"])


def test_a_malformed_recording_key_is_reported(open_page, event_doc):
    p = open_page(dict(event_doc, recording={"events_read": -1}))
    assert p.state == "error" and "recording" in p.text("#error-text")


def test_animation_player_controls(open_page, event_doc):
    p = open_page(event_doc)
    page = p.page
    assert slider_value(p) == 0
    page.click("#play")
    page.wait_for_function("Number(document.getElementById('slider').value) >= 3", timeout=5000)
    assert page.get_attribute("#play", "aria-label") == "Pause"
    page.click("#play")
    assert page.get_attribute("#play", "aria-label") == "Play"

    page.locator("h1").click()  # keys go to the page, not a control
    page.keyboard.press("Home")
    assert slider_value(p) == 0
    page.keyboard.press("ArrowRight")
    page.keyboard.press("ArrowRight")
    assert slider_value(p) == 2
    assert p.text("#frame-info").startswith("Frame 3 / 20")
    page.keyboard.press("ArrowLeft")
    assert slider_value(p) == 1
    page.keyboard.press("End")
    assert slider_value(p) == 19
    page.keyboard.press("ArrowRight")  # no step past the end
    assert slider_value(p) == 19

    # without loop, playing from the last frames stops at the end
    page.uncheck("#loop")
    page.select_option("#speed", "60")
    page.locator("h1").click()
    page.keyboard.press("ArrowLeft")
    page.keyboard.press("ArrowLeft")
    page.keyboard.press(" ")
    page.wait_for_function("document.getElementById('play').getAttribute('aria-label') === 'Play'", timeout=5000)
    assert slider_value(p) == 19

    # the slider seeks, and clicking a time bin jumps to its first frame
    page.fill("#slider", "7")
    assert p.text("#frame-info").startswith("Frame 8 / 20")
    page.click("#grid figure:nth-child(3)")
    assert slider_value(p) == 8
    assert page.eval_on_selector_all("#grid figure", "els => els.map(e => e.classList.contains('current'))") == \
        [False, False, True, False, False]

    # the page's keys act on the page even when a button has the focus: Space after a
    # click on the theme switch plays instead of switching back
    page.select_option("#speed", "2")
    page.click("#theme")
    theme = page.evaluate("document.documentElement.dataset.theme")
    page.keyboard.press(" ")
    assert page.get_attribute("#play", "aria-label") == "Pause"
    page.keyboard.press(" ")
    assert page.get_attribute("#play", "aria-label") == "Play"
    assert page.evaluate("document.documentElement.dataset.theme") == theme
    page.focus("#slider")  # a slider keeps its arrows, not Space
    page.keyboard.press(" ")
    assert page.get_attribute("#play", "aria-label") == "Pause"
    page.keyboard.press(" ")
    page.click("#pol-off")
    page.keyboard.press("Home")
    page.keyboard.press("ArrowRight")
    assert slider_value(p) == 1 and page.get_attribute("#pol-off", "aria-pressed") == "true"
    assert p.errors == []


def raster_readout(p):
    text = p.text("#readout")
    m = re.match(r"Bin (\d+) .*Neuron (\d+) .*Count ([\d,.]+)", text)
    assert m, text
    return int(m[1]), int(m[2]), float(m[3].replace(",", ""))


def test_raster_is_drawn_and_reads_back(open_page, event_doc):
    p = open_page(event_doc)
    page = p.page
    coloured = page.evaluate("""() => {
        const c = document.getElementById('raster'), d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
        let n = 0; for (let i = 0; i < d.length; i += 4) if (d[i + 2] - d[i] > 40) n++; return n; }""")
    assert coloured > 500
    page.locator("#raster-box").scroll_into_view_if_needed()
    box = page.locator("#raster-overlay").bounding_box()
    # hover over several points: the count read out is the document's count for that cell
    for fx, fy in [(0.2, 0.5), (0.5, 0.8), (0.75, 0.3), (0.9, 0.95)]:
        page.mouse.move(box["x"] + box["width"] * fx, box["y"] + box["height"] * fy)
        page.wait_for_function("/Count/.test(document.getElementById('readout').textContent)")
        b, n, count = raster_readout(p)
        assert count == event_doc["raster"][b][n]
    # a neuron's sensor pixel is shown beside its number
    assert re.search(r"Neuron (\d+) \(x (\d+), y (\d+)\)", p.text("#readout"))

    # zoom in with the wheel (1.5 s become less than one: the axis turns to ms, and so
    # does the read-out), then reset
    assert page.is_disabled("#reset-zoom")
    page.mouse.move(box["x"] + box["width"] * 0.5, box["y"] + box["height"] * 0.5)
    page.mouse.wheel(0, -400)
    page.wait_for_function("!document.getElementById('reset-zoom').disabled")
    page.mouse.move(box["x"] + box["width"] * 0.5 + 3, box["y"] + box["height"] * 0.5)
    page.wait_for_function("/Count/.test(document.getElementById('readout').textContent)")
    assert page.get_attribute("#plot", "data-time-unit") == "ms"
    assert re.search(r"\(\d+\.\d+\u2013\d+\.\d+ ms\)", p.text("#readout")), p.text("#readout")
    page.click("#reset-zoom")
    page.wait_for_function("document.getElementById('reset-zoom').disabled")

    # drag-select the top-left part of the plot, ending past its corner (the
    # selection stops at the plot's edge): the corner then reads bin 0, neuron 0
    x0, y0 = box["x"] + 58.5, box["y"] + 10.5
    page.mouse.move(x0 + 200, y0 + 150)
    page.mouse.down()
    page.mouse.move(x0 + 100, y0 + 80, steps=3)
    page.mouse.move(x0 - 30, y0 - 8, steps=3)
    page.mouse.up()
    page.wait_for_function("!document.getElementById('reset-zoom').disabled")
    page.mouse.move(x0 + 200, y0 + 150)
    page.wait_for_function("/Count/.test(document.getElementById('readout').textContent)")
    b_far, n_far, _ = raster_readout(p)
    # the dragged area now fills the plot, so its far corner shows a later bin and neuron than before
    page.mouse.move(x0, y0)
    page.wait_for_function("/Bin 0 /.test(document.getElementById('readout').textContent)", timeout=5000)
    b_near, n_near, _ = raster_readout(p)
    assert (b_near, n_near) == (0, 0)
    assert b_far > 0 and n_far > 0 and n_far < 500
    page.dblclick("#raster-overlay")
    page.wait_for_function("document.getElementById('reset-zoom').disabled")
    assert p.errors == []


def test_raster_cells_match_what_is_drawn(open_page):
    # big cells: 10 bins x 64 neurons; each hovered cell must read back its own
    # count, and the pixel under the pointer is coloured exactly when it is non-zero
    doc = spikedocs.make_event_doc(width=8, height=8, raster_time_bins=10, steps=60)
    raster = doc["raster"]
    p = open_page(doc)
    page = p.page
    page.locator("#raster-box").scroll_into_view_if_needed()
    box = page.locator("#plot").bounding_box()
    left, top, width, height = map(float, page.get_attribute("#plot", "data-area").split())
    background = page.evaluate("""() => { const c = document.getElementById('raster'), d = c.getContext('2d')
        .getImageData(Math.round(%f) + 1, Math.round(%f) + 1, 1, 1).data; return [d[0], d[1], d[2]]; }""" % (left, top))
    cells = [(b, n) for b in range(10) for n in range(64)]
    nonzero = [c for c in cells if raster[c[0]][c[1]] > 0]
    zero = [c for c in cells if raster[c[0]][c[1]] == 0]
    assert len(nonzero) >= 12 and len(zero) >= 12
    for b, n in nonzero[::max(1, len(nonzero) // 12)][:12] + zero[::max(1, len(zero) // 12)][:12]:
        x = left + (b + 0.5) * width / 10
        y = top + (n + 0.5) * height / 64
        page.mouse.move(box["x"] + x, box["y"] + y)
        page.evaluate("new Promise(done => requestAnimationFrame(() => done()))")
        assert raster_readout(p) == (b, n, raster[b][n])
        pixel = page.evaluate("""([x, y]) => { const d = document.getElementById('raster').getContext('2d')
            .getImageData(x, y, 1, 1).data; return [d[0], d[1], d[2]]; }""", [int(x), int(y)])
        assert (pixel != background) == (raster[b][n] > 0), (b, n)


def test_frames_only_page(open_page, frames_doc):
    p = open_page(frames_doc, "Frames")
    assert p.state == "ready"
    assert p.errors == []
    widths = p.page.eval_on_selector_all("#grid canvas", "els => els.map(e => e.width)")
    assert len(widths) == 5 and all(w == widths[0] > 34 for w in widths)
    assert p.page.is_visible("#no-raster")
    assert "No raster" in p.text("#no-raster")
    assert p.page.locator("#raster").count() == 0
    assert p.text("#kind") == "Precomputed frames"
    assert p.page.is_hidden("#stat-duration")
    assert p.page.get_attribute("#slider", "max") == "9"
    p.page.click("#play")
    p.page.wait_for_function("Number(document.getElementById('slider').value) >= 2", timeout=5000)
    # a 34 x 34 sensor is shown enlarged by a whole factor with hard pixel edges
    width, rendering = p.page.eval_on_selector(
        "#frame", "c => [parseFloat(c.style.width), getComputedStyle(c).imageRendering]")
    assert width >= 8 * 34 and width % 34 == 0
    assert rendering == "pixelated"


def test_title_is_shown_literally(open_page, frames_doc):
    title = "<script>window.pwned = 1</script> costs $5 ${title} $$data_json & 'more' \u00b5s \u00d7 \u2713"
    p = open_page(frames_doc, title)
    assert p.state == "ready"
    assert p.text("h1") == title
    assert p.page.title() == title
    assert p.page.evaluate("window.pwned") is None


def broken(doc, path, value):
    doc = copy.deepcopy(doc)
    target = doc
    for key in path[:-1]:
        target = target[key]
    if value is KeyError:
        del target[path[-1]]
    else:
        target[path[-1]] = value
    return doc


@pytest.mark.parametrize("path, value, message", [
    (("raster",), KeyError, 'missing "raster"'),
    (("raster", 3), [1.0, 2.0], '"raster" row 3 does not have'),
    (("raster", 5, 7), "many", '"raster" row 5 holds a value'),
    (("sensor_size",), [64], '"sensor_size" must be'),
    (("event_count",), "lots", '"event_count" must be'),
    (("grid_frames",), "abc", '"grid_frames" must be a list'),
    (("grid_frames", 2), "bm90IGEgcG5n", "grid image 3 of 5 is not a readable PNG"),
    (("animation_frames", 6), "%%%", "animation frame 7 of 20 is not a readable PNG"),
])
def test_malformed_document_shows_error(open_page, event_doc, path, value, message):
    p = open_page(broken(event_doc, path, value))
    assert p.state == "error"
    assert p.page.is_visible("#error")
    assert message in p.text("#error-text")


def test_unparseable_document_shows_error(open_page):
    text = spikedocs.TEMPLATE.read_text(encoding="utf-8")
    html = string.Template(text).substitute(title="Broken", data_json="{\"event_count\": ")
    p = open_page(None, html=html)
    assert p.state == "error"
    assert p.page.is_visible("#error")
    assert p.text("#error-text")


PLOT_BRIGHTNESS = """() => {
    const c = document.getElementById('raster'), d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    let sum = 0, n = 0;
    for (let i = 0; i < d.length; i += 4) if (d[i + 3] === 255) { sum += d[i] + d[i + 1] + d[i + 2]; n++; }
    return sum / n / 3; }"""


def test_theme_follows_system_and_toggles(open_page, event_doc):
    bg = "getComputedStyle(document.body).backgroundColor"
    p = open_page(event_doc, color_scheme="dark")
    dark = p.page.evaluate(bg)
    assert p.page.evaluate(PLOT_BRIGHTNESS) < 60
    p.page.click("#theme")
    assert p.page.evaluate("document.documentElement.dataset.theme") == "light"
    light = p.page.evaluate(bg)
    assert sum(map(int, re.findall(r"\d+", dark)[:3])) < 150 < sum(map(int, re.findall(r"\d+", light)[:3]))
    # the raster is repainted in the new theme, not left in the old one
    p.page.wait_for_function("(" + PLOT_BRIGHTNESS + ")() > 200")
    p.page.click("#theme")
    assert p.page.evaluate(bg) == dark
    assert p.page.evaluate("document.documentElement.dataset.theme") is None
    p.page.wait_for_function("(" + PLOT_BRIGHTNESS + ")() < 60")
    # with nothing picked, a change of the system's scheme is followed (its event comes a frame later)
    p.page.emulate_media(color_scheme="light")
    p.page.wait_for_function(f"({bg}) === {light!r}")
    p.page.wait_for_function("(" + PLOT_BRIGHTNESS + ")() > 200")
    assert p.errors == []


@pytest.mark.parametrize("shape", [
    dict(width=64, height=1, n_frames=1, n_grid_bins=1, raster_time_bins=1),
    dict(width=34, height=34, n_frames=3, n_grid_bins=7, raster_time_bins=2, max_raster_neurons=10),
    dict(width=200, height=20, n_frames=40, n_grid_bins=12, raster_time_bins=300, max_raster_neurons=1),
])
def test_unusual_shapes_draw(open_page, shape):
    doc = spikedocs.make_event_doc(**shape)
    p = open_page(doc)
    assert p.state == "ready"
    assert p.errors == []
    assert p.page.locator("#grid canvas").count() == shape["n_grid_bins"]
    assert p.page.get_attribute("#slider", "max") == str(shape["n_frames"] - 1)
    assert p.page.evaluate(PLOT_BRIGHTNESS) > 0
    # a one-dimensional sensor has no (x, y) beside the neuron number
    p.page.locator("#raster-box").scroll_into_view_if_needed()
    box = p.page.locator("#raster-overlay").bounding_box()
    p.page.mouse.move(box["x"] + box["width"] / 2, box["y"] + box["height"] / 2)
    p.page.wait_for_function("/Count/.test(document.getElementById('readout').textContent)")
    assert ("(x " in p.text("#readout")) == (shape["height"] > 1)


def test_empty_recording_draws_a_blank_raster(open_page, frames_doc):
    # what an empty event array gives: no events, black frames, an all-zero raster
    doc = dict(frames_doc, raster=[[0.0]] * 100)
    p = open_page(doc)
    assert p.state == "ready"
    assert p.errors == []
    assert p.page.locator("#no-raster").count() == 0
    assert p.text("#event-count") == "0"
    assert p.text("#legend-max") == "1"


# --- recordings of a 1280 x 720 sensor ----------------------------------------------

@pytest.fixture(scope="module")
def sensor_docs():
    # the hot-pixel recording in 100 frames: what a long page of a large sensor holds
    return {"hot": spikedocs.make_sensor_doc("hot", n_frames=100), "sparse": spikedocs.make_sensor_doc("sparse")}


def saved_png(page, button):
    with page.expect_download() as info:
        page.click(button)
    return spikedocs.decode_png(base64.b64encode(Path(info.value.path()).read_bytes()).decode())


def canvas_rgb(page, selector):
    b64 = page.eval_on_selector(selector, "c => c.toDataURL('image/png').split(',')[1]")
    return spikedocs.decode_png(b64)


def block_max(img, ow, oh):
    """Each of ow x oh blocks keeps its largest value per channel (as the page reduces)."""
    h, w = img.shape[:2]
    out = np.zeros((oh, ow, 3), np.uint8)
    cols, rows = np.arange(w) * ow // w, np.arange(h) * oh // h
    np.maximum.at(out, (rows[:, None], cols[None, :]), img)
    return out


@pytest.mark.parametrize("kind", ["hot", "sparse"])
def test_contrast_and_polarity_as_saved(open_page, sensor_docs, kind):
    doc = sensor_docs[kind]
    p = open_page(doc, kind)
    page = p.page
    assert p.state == "ready" and p.errors == []
    page.fill("#slider", "5")
    stored = spikedocs.decode_png(doc["animation_frames"][5])
    active = stored[..., [0, 2]] > 0

    def visible_share(img):
        return float((img[..., [0, 2]][active] >= 64).mean())

    # automatic contrast (the default) makes typical activity visible; the stored image does not
    auto = saved_png(page, "#save-frame")
    assert auto.shape == (720, 1280, 3)
    assert visible_share(auto) >= 0.9 > 0.1 >= visible_share(stored)
    assert not auto[~active.any(axis=-1)].any()  # nothing lights up where nothing happened
    # "linear" draws the stored values as they are
    page.click("#contrast-linear")
    assert (saved_png(page, "#save-frame") == stored).all()
    # one polarity only, enlarged with hard pixel edges
    page.click("#contrast-auto")
    page.click("#pol-on")
    page.select_option("#png-scale", "2")
    on_only = saved_png(page, "#save-frame")
    assert on_only.shape == (1440, 2560, 3)
    assert (on_only[::2, ::2] == on_only[1::2, 1::2]).all()
    assert not on_only[..., 0].any() and (on_only[::2, ::2, 2] == auto[..., 2]).all()
    grid = saved_png(page, "#save-grid")
    assert grid.shape == (1440, 2 * (5 * 1280 + 4), 3) and not grid[..., 0].any()
    # a manual gain is one factor for every pixel
    page.click("#pol-both")
    page.select_option("#png-scale", "1")
    page.eval_on_selector("#gain", "s => { s.value = '250'; s.dispatchEvent(new Event('input')); }")
    gain = 255 ** 0.25
    manual = saved_png(page, "#save-frame").astype(float)
    assert np.abs(manual - np.minimum(255, np.round(stored * gain))).max() <= 1
    assert p.errors == []


@pytest.mark.parametrize("kind", ["sparse", "noise"])
def test_reduced_images_keep_single_events(open_page, sensor_docs, kind):
    # the player and the thumbnails show the 1280 x 720 sensor smaller than its pixels: each
    # canvas pixel is the maximum of its block, so every event stays a lit pixel (a sparse
    # image is stored by its active pixels, a busy one whole: both are reduced alike)
    doc = sensor_docs["sparse"] if kind == "sparse" else spikedocs.make_noise_doc(n_frames=2)
    p = open_page(doc)
    page = p.page
    page.click("#contrast-linear")
    for selector, b64 in [("#frame", doc["animation_frames"][0]), ("#grid figure:nth-child(2) canvas", doc["grid_frames"][1])]:
        shown = canvas_rgb(page, selector)
        oh, ow = shown.shape[:2]
        assert ow < 1280 and abs(ow / oh - 16 / 9) < 0.05, (ow, oh)
        want = block_max(spikedocs.decode_png(b64), ow, oh)
        assert (shown == want).all()
        assert want.any(axis=-1).sum() > 1000
    assert p.errors == []


def test_activity_chart_counts_and_jumps(open_page, sensor_docs):
    doc = sensor_docs["sparse"]
    p = open_page(doc)
    page = p.page
    page.locator("#rate").scroll_into_view_if_needed()
    box = page.locator("#rate").bounding_box()
    left, right = box["x"] + 58, box["x"] + box["width"] - 14
    n = len(doc["animation_frames"])
    for k in (3, 17):
        x = left + (k + 0.5) * (right - left) / n
        page.mouse.move(x, box["y"] + box["height"] / 2)
        page.wait_for_function(f"/^Frame {k + 1} /.test(document.getElementById('rate-readout').textContent)")
        stored = spikedocs.decode_png(doc["animation_frames"][k])
        counts = [int(v.replace(",", "")) for v in re.findall(r"(?:ON|OFF) ([\d,]+)", p.text("#rate-readout"))]
        assert counts == [int((stored[..., 2] > 0).sum()), int((stored[..., 0] > 0).sum())]
        page.mouse.click(x, box["y"] + box["height"] / 2)
        assert slider_value(p) == k
        assert p.text("#frame-info").startswith(f"Frame {k + 1} / {n}")
    assert "counted from the frame images" in p.text("#rate-sub")


def test_raster_says_which_pixels_it_holds(open_page, sensor_docs):
    p = open_page(sensor_docs["sparse"])
    note = p.text("#raster-note")
    assert "holds 1,000 of the sensor\u2019s 921,600 pixels" in note
    assert "row 0 only, x 0\u2013999 of 1,280" in note
    assert "--max-neurons" in note and "max_raster_neurons" in note


def test_long_large_recording_plays(open_page, sensor_docs):
    p = open_page(sensor_docs["hot"])
    page = p.page
    assert p.state == "ready" and p.errors == []
    page.locator("h1").click()
    page.keyboard.press("End")
    assert p.text("#frame-info").startswith("Frame 100 / 100")
    page.select_option("#speed", "60")
    page.locator("h1").click()
    page.keyboard.press(" ")
    page.wait_for_function("Number(document.documentElement.dataset.frame) >= 30", timeout=10000)
    page.keyboard.press(" ")
    assert p.errors == []


# --- documents that try to run something --------------------------------------------

ATTACK = "</script><script>window.pwned = 1</script><img src=x onerror='window.pwned = 2'>\u2028"


@pytest.mark.parametrize("change, state", [
    (lambda d: d["grid_frames"].__setitem__(1, ATTACK), "error"),
    (lambda d: d["animation_frames"].__setitem__(0, ATTACK), "error"),
    (lambda d: d.update({"__proto__": {"raster": ATTACK}, ATTACK: ATTACK}), "ready"),
    (lambda d: (d.pop("raster"), d.update({"__proto__": {"raster": []}})), "error"),
])
def test_hostile_document_runs_nothing(open_page, event_doc, change, state):
    doc = copy.deepcopy(event_doc)
    change(doc)
    p = open_page(None, html=spikes._render_spike_html(doc, "Hostile"))
    assert p.state == state
    assert p.page.evaluate("window.pwned") is None
    assert p.page.locator("#error-text img, #error-text script").count() == 0


def test_module_pngs_decode_to_their_pixels(open_page):
    # The module's own encoder (not Pillow's): Chromium decodes each image to the same RGB values.
    rng = np.random.default_rng(9)
    images = [rng.integers(0, 256, (h, w, 3), np.uint8) for h, w in [(1, 1), (2, 3), (7, 5), (260, 346)]]
    sparse = rng.integers(0, 256, (720, 1280, 3), np.uint8)
    images.append(sparse * (rng.random((720, 1280, 1)) < 0.01))
    tags = "".join(f'<img src="data:image/png;base64,{spikes._encode_image_base64(i)}">' for i in images)
    html = f"""<!DOCTYPE html><html><body>{tags}<script>
    Promise.all([...document.images].map(im => im.decode().then(() => {{
      const c = document.createElement("canvas");
      c.width = im.naturalWidth; c.height = im.naturalHeight;
      const g = c.getContext("2d");
      g.drawImage(im, 0, 0);
      const d = g.getImageData(0, 0, c.width, c.height).data;
      let sum = 0, weighted = 0, k = 0;
      for (let i = 0; i < d.length; i++) {{
        if (i % 4 === 3) continue;
        sum += d[i]; weighted += d[i] * (k++ % 65521 + 1);
      }}
      return [c.height, c.width, sum, weighted];
    }}))).then(r => {{ window.decoded = r; document.documentElement.dataset.state = "ready"; }},
              e => {{ window.decoded = String(e); document.documentElement.dataset.state = "error"; }});
    </script></body></html>"""
    p = open_page(None, html=html)
    assert p.errors == [] and p.state == "ready"
    want = []
    for img in images:
        flat = img.reshape(-1).astype(np.int64)
        weights = np.arange(flat.size, dtype=np.int64) % 65521 + 1
        want.append([img.shape[0], img.shape[1], int(flat.sum()), int((flat * weights).sum())])
    assert p.page.evaluate("window.decoded") == want
