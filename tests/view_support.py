"""Event recordings for the viewer's tests: a scene on a sensor (a bright dot circling, an
edge sweeping across, background noise and one hot pixel), in time order, as a camera
driver writes them."""
from __future__ import annotations

import numpy as np

DTYPE = np.dtype([("t", "<i8"), ("x", "<u2"), ("y", "<u2"), ("p", "u1")])


def scene(n: int, width: int = 1280, height: int = 720, duration_us: int = 2_000_000,
          hot: tuple[int, int] | None = (37, 21), seed: int = 0) -> np.ndarray:
    rng = np.random.default_rng(seed)
    t = np.sort(rng.integers(0, duration_us, n, dtype=np.int64))
    kind = rng.random(n)
    phase = t / duration_us
    x = np.empty(n, np.float64)
    y = np.empty(n, np.float64)
    # a dot circling the centre, twice over the recording
    dot = kind < 0.45
    a = 4 * np.pi * phase[dot]
    dx, dy = rng.normal(0, width / 160, dot.sum()), rng.normal(0, height / 90, dot.sum())
    x[dot] = width / 2 + width / 4 * np.cos(a) + dx
    y[dot] = height / 2 + height / 4 * np.sin(a) + dy
    # brightening ahead of the dot (ON), darkening behind it (OFF)
    ahead = dx * -np.sin(a) * height + dy * np.cos(a) * width > 0
    # a vertical edge sweeping left to right
    edge = (kind >= 0.45) & (kind < 0.8)
    ex = rng.normal(0, 2, edge.sum())
    x[edge] = phase[edge] * width + ex
    y[edge] = rng.uniform(0, height, edge.sum())
    noise = kind >= 0.8
    x[noise] = rng.uniform(0, width, noise.sum())
    y[noise] = rng.uniform(0, height, noise.sum())
    ev = np.zeros(n, DTYPE)
    ev["t"] = t
    ev["x"] = np.clip(x, 0, width - 1).astype(np.uint16)
    ev["y"] = np.clip(y, 0, height - 1).astype(np.uint16)
    on = rng.random(n) < 0.5
    on[dot] = np.where(rng.random(dot.sum()) < 0.9, ahead, ~ahead)
    on[edge] = np.where(rng.random(edge.sum()) < 0.9, ex > 0, ex <= 0)
    ev["p"] = on.astype(np.uint8)
    if hot is not None:
        k = np.flatnonzero(kind >= 0.995)          # half a percent of all events
        ev["x"][k], ev["y"][k] = hot
    return ev


def numpy_frame(ev: np.ndarray, lo, hi, sensor: tuple[int, int]) -> np.ndarray:
    """ON and OFF counts per pixel of the events with lo <= t < hi inside the sensor."""
    w, h = sensor
    sel = ev[(ev["t"] >= lo) & (ev["t"] < hi)]
    x, y = sel["x"].astype(np.int64), sel["y"].astype(np.int64)
    ok = (x >= 0) & (x < w) & (y >= 0) & (y < h)
    out = np.zeros((2, h, w), np.int64)
    np.add.at(out, ((sel["p"][ok] <= 0).astype(np.int64), y[ok], x[ok]), 1)
    return out
