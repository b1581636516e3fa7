"""Event documents for the spike page tests, built with plain NumPy and Pillow.

The documents have the keys, order and value types that the spikes module
produces: a deterministic synthetic recording (a bar rotating about the sensor
centre, with a little background noise) is binned into grid images, animation
frames and a raster. ON activity is blue (channel 2), OFF activity red (channel 0).
"""
from __future__ import annotations

import base64
import html
import importlib.util
import io
import json
import string
import sys
import tempfile
from pathlib import Path

import numpy as np
from PIL import Image


def _template() -> Path:
    """The installed spike page template, or a fresh assembly of its sources when the
    module is not built."""
    spec = importlib.util.find_spec("nivra.viz.spikes")
    if spec is not None and spec.origin:
        return Path(spec.origin).parent / "templates" / "spikes.html"
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
    from assemble_templates import assemble
    path = Path(tempfile.mkdtemp()) / "spikes.html"
    path.write_text(assemble("spikes.html"), encoding="utf-8")
    return path


TEMPLATE = _template()


def encode_png(rgb: np.ndarray) -> str:
    """RGB uint8 image -> base64 PNG text without a data-URL prefix."""
    buf = io.BytesIO()
    Image.fromarray(np.ascontiguousarray(rgb, dtype=np.uint8)).save(buf, format="PNG")
    return base64.b64encode(buf.getvalue()).decode("utf-8")


def rotating_bar_events(width=64, height=64, duration_us=1_500_000, steps=240,
                        turns=0.5, noise=0.02, seed=7):
    """Events (x, y, t, p) of a bar spinning about the centre of the sensor.

    Each step the pixels the bar moves onto fire ON and those it leaves fire
    OFF; a fraction `noise` of extra events lands at random pixels.
    """
    rng = np.random.default_rng(seed)
    cx, cy = (width - 1) / 2, (height - 1) / 2
    radius = 0.45 * min(width, height)
    s = np.linspace(-radius, radius, max(8, int(4 * radius)))
    xs, ys, ts, ps = [], [], [], []
    prev = None
    for k in range(steps):
        angle = 2 * np.pi * turns * k / steps
        px = np.round(cx + s * np.cos(angle)).astype(np.int64)
        py = np.round(cy + s * np.sin(angle)).astype(np.int64)
        # a bar three pixels thick
        px = np.concatenate([px, px + 1, px])
        py = np.concatenate([py, py, py + 1])
        ok = (px >= 0) & (px < width) & (py >= 0) & (py < height)
        cur = np.unique(py[ok] * width + px[ok])
        t0 = int(duration_us * k / steps)
        t_step = max(1, duration_us // steps)
        new = cur if prev is None else np.setdiff1d(cur, prev, assume_unique=True)
        xs.append(new % width); ys.append(new // width)
        ts.append(t0 + rng.integers(0, t_step, new.size)); ps.append(np.ones(new.size, np.int64))
        if prev is not None:
            gone = np.setdiff1d(prev, cur, assume_unique=True)
            xs.append(gone % width); ys.append(gone // width)
            ts.append(t0 + rng.integers(0, t_step, gone.size)); ps.append(np.zeros(gone.size, np.int64))
        prev = cur
    n_noise = int(noise * sum(a.size for a in xs))
    xs.append(rng.integers(0, width, n_noise)); ys.append(rng.integers(0, height, n_noise))
    ts.append(rng.integers(0, duration_us + 1, n_noise)); ps.append(rng.integers(0, 2, n_noise))
    x, y, t, p = (np.concatenate(a) for a in (xs, ys, ts, ps))
    order = np.argsort(t, kind="stable")
    x, y, t, p = x[order], y[order], t[order], p[order]
    # pin the first and last timestamps so the duration is exact
    t[0], t[-1] = 0, duration_us
    return x, y, t, p


def bin_frames(x, y, t, p, width, height, n_bins):
    """Counts of shape (n_bins, 2, height, width): ON in channel 0, OFF in channel 1."""
    if t.size == 0:
        return np.zeros((n_bins, 2, height, width), np.float32)
    t = t.astype(np.float64)
    span = max(t.max() - t.min(), 1e-9)
    b = np.clip(((t - t.min()) / span * (n_bins - 0.001)).astype(np.int64), 0, n_bins - 1)
    ch = np.where(p > 0, 0, 1)
    flat = ((b * 2 + ch) * height + y) * width + x
    counts = np.zeros((n_bins, 2, height, width), np.float32)
    np.add.at(counts.reshape(-1), flat, 1)
    return counts


def colour_on_off(on, off):
    """ON/OFF colouring with one scale per frame shared by both polarities."""
    scale = np.maximum(np.maximum(on.max(axis=(1, 2), keepdims=True),
                                  off.max(axis=(1, 2), keepdims=True)), 1)
    rgb = np.zeros(on.shape + (3,), np.uint8)
    rgb[..., 2] = np.clip(on / scale * 255, 0, 255).astype(np.uint8)
    rgb[..., 0] = np.clip(off / scale * 255, 0, 255).astype(np.uint8)
    return rgb


def make_event_doc(width=64, height=64, duration_us=1_500_000, n_frames=20, n_grid_bins=5,
                   raster_time_bins=100, max_raster_neurons=1000, **bar):
    """An event document of a synthetic rotating-bar recording."""
    x, y, t, p = rotating_bar_events(width, height, duration_us, **bar)
    return events_doc(x, y, t, p, width, height, n_frames, n_grid_bins, raster_time_bins, max_raster_neurons)


def events_doc(x, y, t, p, width, height, n_frames=20, n_grid_bins=5, raster_time_bins=100,
               max_raster_neurons=1000):
    """The event document of events (x, y, t, p) on a width x height sensor."""
    grid = bin_frames(x, y, t, p, width, height, n_grid_bins)
    on, off = grid[:, 0], grid[:, 1]
    # the grid scales each polarity by its own peak
    grid_rgb = np.zeros(on.shape + (3,), np.uint8)
    grid_rgb[..., 2] = np.clip(on / np.maximum(on.max(axis=(1, 2), keepdims=True), 1) * 255, 0, 255).astype(np.uint8)
    grid_rgb[..., 0] = np.clip(off / np.maximum(off.max(axis=(1, 2), keepdims=True), 1) * 255, 0, 255).astype(np.uint8)
    # frame by frame, so 100 frames of a large sensor stay small in memory
    tf = t.astype(np.float64)
    span = max(tf.max() - tf.min(), 1e-9) if t.size else 1.0
    fb = np.clip(((tf - (tf.min() if t.size else 0)) / span * (n_frames - 0.001)).astype(np.int64), 0, n_frames - 1)
    anim = []
    for k in range(n_frames):
        sel = fb == k
        counts = bin_frames(x[sel], y[sel], np.zeros(int(sel.sum()), np.int64), p[sel], width, height, 1)
        anim.append(encode_png(colour_on_off(counts[:, 0], counts[:, 1])[0]))

    n_neurons = min(width * height, max_raster_neurons)
    tf = t.astype(np.float64)
    span = max(tf.max() - tf.min(), 1e-9)
    tb = np.clip(((tf - tf.min()) / span * (raster_time_bins - 0.001)).astype(np.int64), 0, raster_time_bins - 1)
    neuron = y * width + x
    keep = neuron < n_neurons
    raster = np.bincount(tb[keep] * n_neurons + neuron[keep], minlength=raster_time_bins * n_neurons)
    raster = raster.reshape(raster_time_bins, n_neurons).astype(np.float32)

    return {
        "event_count": int(x.size),
        "duration_us": int(t.max() - t.min()),
        "sensor_size": (width, height),
        "grid_frames": [encode_png(f) for f in grid_rgb],
        "animation_frames": anim,
        "raster": raster.tolist(),
    }


def sensor_events(kind, width=1280, height=720, n_frames=20, duration_us=1_000_000, seed=11):
    """Events of two recordings that real sensors give and the stored images show dimly.

    "hot": a few hundred pixels per frame fire 1 to 6 times while five hot pixels fire
    300 to 500 times, so typical activity is stored at 1 to 3 of 255. "sparse": a few
    thousand pixels per frame fire once each and one pixel four times, so a single event is
    stored at 63 of 255 and most frames hold no two events in a 7 x 7 block.
    """
    rng = np.random.default_rng(seed)
    step = duration_us // n_frames
    xs, ys, ts, ps = [], [], [], []
    for k in range(n_frames):
        if kind == "hot":
            n = 400
            px, py = rng.integers(0, width, n), rng.integers(0, height, n)
            reps = rng.integers(1, 7, n)
            px, py = np.repeat(px, reps), np.repeat(py, reps)
            hot = rng.integers(300, 501, 5)
            px = np.concatenate([px, np.repeat(np.arange(5) * 97 + 11, hot)])
            py = np.concatenate([py, np.repeat(np.arange(5) * 53 + 7, hot)])
        else:
            n = 3000
            cells = rng.choice(width * height, n, replace=False)
            px, py = cells % width, cells // width
            px = np.concatenate([px, np.full(4, (k * 37) % width)])
            py = np.concatenate([py, np.full(4, (k * 13) % height)])
        pol = rng.integers(0, 2, px.size)
        if kind != "hot":
            pol[-4:] = 1  # the one busy pixel is ON four times
        xs.append(px); ys.append(py)
        ts.append(k * step + rng.integers(0, step, px.size)); ps.append(pol)
    x, y, t, p = (np.concatenate(a) for a in (xs, ys, ts, ps))
    t[np.argmin(t)], t[np.argmax(t)] = 0, duration_us - 1
    return x, y, t, p


def make_sensor_doc(kind, width=1280, height=720, n_frames=20):
    """The event document of sensor_events(kind): the frames fall on the recording's steps."""
    x, y, t, p = sensor_events(kind, width, height, n_frames)
    return events_doc(x, y, t, p, width, height, n_frames=n_frames)


def make_noise_doc(n_frames=3, width=1280, height=720, seed=5):
    """Frames in which every pixel is active (no raster): the most drawing work per frame."""
    rng = np.random.default_rng(seed)
    frames = [encode_png(colour_on_off(*rng.poisson(2.0, (2, 1, height, width)).astype(np.float32))[0])
              for _ in range(n_frames)]
    return {"event_count": 0, "duration_us": 0, "sensor_size": (width, height),
            "grid_frames": frames[:5], "animation_frames": frames, "raster": []}


def decode_png(b64: str) -> np.ndarray:
    """Image string -> RGB uint8 array (height, width, 3)."""
    return np.asarray(Image.open(io.BytesIO(base64.b64decode(b64))).convert("RGB"))


def make_frames_doc(n_frames=10, width=34, height=34, seed=3):
    """A reduced document of precomputed frames: no events, no raster."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:height, 0:width]
    on = np.zeros((n_frames, height, width), np.float32)
    off = np.zeros_like(on)
    for k in range(n_frames):
        # a dot moving along a diagonal, leaving an OFF trail
        cx, cy = (k * width / n_frames) % width, (k * height / n_frames) % height
        d2 = (xx - cx) ** 2 + (yy - cy) ** 2
        on[k] = (d2 < 9) * 3 + rng.poisson(0.05, (height, width))
        off[k] = ((d2 >= 9) & (d2 < 25)) * 2
    frames = [encode_png(f) for f in colour_on_off(on, off)]
    return {
        "event_count": 0,
        "duration_us": 0,
        "sensor_size": (width, height),
        "grid_frames": frames[:5],
        "animation_frames": frames,
        "raster": [],
    }


def render_spike_page(doc, title="Spike Visualization"):
    """Page text for `doc`, through the spikes module when it is built."""
    try:
        from nivra.viz.spikes import _render_spike_html
    except ImportError:
        text = TEMPLATE.read_text(encoding="utf-8")
        return string.Template(text).substitute(title=html.escape(title, quote=True),
                                                data_json=json.dumps(doc))
    return _render_spike_html(doc, title=title)
