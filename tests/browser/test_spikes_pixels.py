"""Every pixel of the spike page's images reaches the screen: a one-pixel-wide line of
events and single events stay visible in every time bin and in the player, over a sweep
of window widths at device pixel ratios 1 and 2 (the screenshot is what is checked)."""
import io
import math

import numpy as np
import pytest
from PIL import Image

from nivra.viz import spikes

READY = "['ready', 'error'].includes(document.documentElement.dataset.state)"
BINS, FRAMES = 5, 20
# widths every 9 px, and ones where a thumbnail's share of the row is fractional
WIDTHS = sorted(set(range(900, 1281, 9)) | {901, 947, 1013, 1103, 1163, 1259})


def recording(width, height, duration_us=1_000_000):
    """Events of a one-pixel vertical and horizontal line that fire once per animation
    frame, and per time bin one single event in each corner and one inside."""
    xs, ys = [], []
    col, row = width // 2 + 1, height // 2 - 1
    line_y = np.arange(height // 8, height - height // 8)
    line_x = np.arange(width // 6, width - width // 6)
    xs += [np.full(line_y.size, col), line_x]
    ys += [line_y, np.full(line_x.size, row)]
    lx, ly = np.concatenate(xs), np.concatenate(ys)
    step = duration_us // FRAMES
    t = np.concatenate([np.full(lx.size, k * step + step // 2) for k in range(FRAMES)])
    x, y = np.tile(lx, FRAMES), np.tile(ly, FRAMES)
    singles = []
    for b in range(BINS):
        spots = [(0, 0), (width - 1, 0), (0, height - 1), (width - 1, height - 1),
                 (width // 4 + 3 * b, height // 4)]
        t_bin = b * duration_us // BINS + 1_000
        singles += [(sx, sy, t_bin + k) for k, (sx, sy) in enumerate(spots)]
    sx, sy, st = (np.array(v) for v in zip(*singles))
    events = np.zeros(t.size + st.size, [("x", "<u2"), ("y", "<u2"), ("t", "<i8"), ("p", "u1")])
    events["x"] = np.concatenate([x, sx])
    events["y"] = np.concatenate([y, sy])
    events["t"] = np.concatenate([t, st])
    events["p"] = 1
    order = np.argsort(events["t"], kind="stable")
    return events[order], dict(col=col, row=row, line_x=(line_x[0], line_x[-1]),
                               line_y=(line_y[0], line_y[-1]), singles=singles)


@pytest.fixture(scope="module", params=[(1280, 720), (160, 120)], ids=["reduced", "enlarged"])
def sensor_page(request, tmp_path_factory):
    width, height = request.param
    events, where = recording(width, height)
    doc = spikes.serialize_events(events, (width, height), n_frames=FRAMES, n_grid_bins=BINS)
    path = tmp_path_factory.mktemp("pixels") / "page.html"
    path.write_text(spikes._render_spike_html(doc, title="One-pixel lines"), encoding="utf-8")
    return path, width, height, where


def lit(rgb):
    """Pixels showing activity: blue (ON) well above the black canvas."""
    return (rgb[..., 2].astype(np.int16) - rgb[..., 1]) > 40


def check_image(shot, box, dpr, width, height, where, singles):
    """What is wrong with the image drawn at `box` (CSS pixels) in `shot`, or None."""
    # the box may land up to a pixel off where the browser rounds it: a margin of two
    m = 2 * dpr
    x0, y0 = round(box["x"] * dpr) - m, round(box["y"] * dpr) - m
    w, h = round(box["width"] * dpr), round(box["height"] * dpr)
    on = lit(shot[y0:y0 + h + 2 * m, x0:x0 + w + 2 * m])
    sx, sy = w / width, h / height

    def near(px, py):  # the screen pixels sensor pixel (px, py) may land on
        a, b = int(px * sx), int(py * sy)
        return on[b:b + int(sy) + 2 * m + 1, a:a + int(sx) + 2 * m + 1]

    ya, yb = (m + int(v * sy) for v in where["line_y"])
    cols = on[ya + 2:yb - 1].mean(axis=0)
    if cols.max() < 0.95:
        return f"vertical line: best column only {cols.max():.0%} lit"
    xa, xb = (m + int(v * sx) for v in where["line_x"])
    rows = on[:, xa + 2:xb - 1].mean(axis=1)
    if rows.max() < 0.95:
        return f"horizontal line: best row only {rows.max():.0%} lit"
    for px, py, _ in singles:
        if not near(px, py).any():
            return f"single event at ({px}, {py}) not shown"
    return None


@pytest.mark.parametrize("dpr", [1, 2])
def test_lines_and_single_events_survive_every_width(browser, sensor_page, dpr):
    path, width, height, where = sensor_page
    context = browser.new_context(viewport={"width": WIDTHS[0], "height": 900}, device_scale_factor=dpr)
    try:
        page = context.new_page()
        errors = []
        page.on("pageerror", lambda e: errors.append(str(e)))
        page.goto(path.as_uri())
        page.wait_for_function(READY, timeout=30_000)
        assert page.evaluate("document.documentElement.dataset.state") == "ready", errors
        per_bin = [[s for s in where["singles"] if s[2] * BINS // 1_000_000 == b] for b in range(BINS)]
        failures = []
        for vw in WIDTHS:
            page.set_viewport_size({"width": vw, "height": 900})
            # two frames: the resize observer's, then the one that paints
            page.evaluate("() => new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)))")
            canvases = page.eval_on_selector_all(
                "#grid canvas, #frame", "els => els.map(e => { const r = e.getBoundingClientRect();"
                " return {x: r.x, y: r.y, width: r.width, height: r.height, cw: e.width, ch: e.height}; })")
            for i, c in enumerate(canvases):
                # one canvas pixel per device pixel: nothing left to the browser's scaling
                if (c["cw"], c["ch"]) != (round(c["width"] * dpr), round(c["height"] * dpr)) or \
                        abs(c["width"] * dpr - c["cw"]) > 1e-3:
                    failures.append(f"{vw}px: canvas {i} is {c['cw']}x{c['ch']} shown at "
                                    f"{c['width']}x{c['height']} CSS px")
            # a clip on whole CSS pixels: a fractional one makes the browser resample the shot
            top = math.floor(min(c["y"] for c in canvases)) - 2
            bottom = math.ceil(max(c["y"] + c["height"] for c in canvases)) + 2
            shot = np.asarray(Image.open(io.BytesIO(page.screenshot(
                full_page=True, clip={"x": 0, "y": top, "width": vw, "height": bottom - top}))).convert("RGB"))
            for i, c in enumerate(canvases):
                box = dict(c, y=c["y"] - top)
                problem = check_image(shot, box, dpr, width, height, where, per_bin[i] if i < BINS else [])
                if problem:
                    failures.append(f"{vw}px: {'bin ' + str(i + 1) if i < BINS else 'player'}: {problem}")
        assert not failures, failures[:10]
        assert not errors
    finally:
        context.close()
