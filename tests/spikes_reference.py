"""Plain NumPy versions of the event binning steps, and event generators, for the tests."""
import importlib.util

import numpy as np
import pytest

X_NAMES = ("x", "channel", "addr", "address")
Y_NAMES = ("y", "row")
T_NAMES = ("t", "ts", "time", "timestamp")
P_NAMES = ("p", "pol", "polarity", "on")


def fields(events):
    names = set(events.dtype.names or ())
    pick = lambda cands: next((c for c in cands if c in names), None)
    return pick(X_NAMES), pick(Y_NAMES), pick(T_NAMES), pick(P_NAMES)


def time_bins(t_vals, n):
    t_min, t_max = t_vals.min(), t_vals.max()
    t_range = max(t_max - t_min, 1e-9)
    with np.errstate(invalid="ignore"):
        idx = ((t_vals - t_min) / t_range * (n - 0.001)).astype(np.int32)
    return np.clip(idx, 0, n - 1)


def frames(events, sensor_size, n_frames, accumulate=False):
    xf, yf, tf, pf = fields(events)
    width, height = sensor_size
    if len(events) == 0:
        return np.zeros((n_frames, 2, height, width), dtype=np.float32)
    with np.errstate(invalid="ignore"):
        x = events[xf].astype(np.int32)
        y = events[yf].astype(np.int32) if yf else np.zeros(len(events), np.int32)
    p = events[pf] if pf else np.ones(len(events), np.int8)
    f = time_bins(events[tf].astype(np.float64), n_frames)
    ok = (x >= 0) & (x < width) & (y >= 0) & (y < height)
    ch = np.where(p[ok] > 0, 0, 1).astype(np.int32)
    out = np.zeros((n_frames, 2, height, width), dtype=np.float32)
    np.add.at(out, (f[ok], ch, y[ok], x[ok]), 1)
    if accumulate:
        np.cumsum(out, axis=0, out=out)
    return out


def colour(on, off, shared):
    max_on = np.maximum(on.max(axis=(1, 2), keepdims=True), 1)
    max_off = np.maximum(off.max(axis=(1, 2), keepdims=True), 1)
    if shared:
        max_on = max_off = np.maximum(max_on, max_off)
    rgb = np.zeros(on.shape + (3,), dtype=np.uint8)
    rgb[..., 2] = np.clip(on / max_on * 255, 0, 255).astype(np.uint8)
    rgb[..., 0] = np.clip(off / max_off * 255, 0, 255).astype(np.uint8)
    return rgb


def grid_from_frames(f):
    return colour(f[:, 0], f[:, 1], shared=False)


def raster(events, n_neurons, time_bins_n, width, height):
    xf, yf, tf, _ = fields(events)
    if n_neurons is None:
        n_neurons = width * height if yf else width
    with np.errstate(invalid="ignore", over="ignore"):
        x = events[xf].astype(np.int32)
        y = events[yf].astype(np.int32) if yf else None
        idx = y * width + x if yf else x
    b = time_bins(events[tf].astype(np.float64), time_bins_n)
    ok = (idx >= 0) & (idx < n_neurons)
    out = np.zeros((time_bins_n, n_neurons), dtype=np.float32)
    np.add.at(out, (b[ok], idx[ok]), 1)
    return out


def make_events(rng, n, names=("x", "y", "t", "p"), dtypes=None, width=34, height=30,
                spill=0, t_max=10**6, extra=False, order=None):
    """A record array with the given field names (None skips a role)."""
    dtypes = dtypes or {}
    roles = dict(zip("xytp", names))
    spec = []
    for role in order or "txyp":
        name = roles.get(role)
        if name is not None:
            spec.append((name, dtypes.get(role, {"x": "<u2", "y": "<u2", "t": "<i8", "p": "?"}[role])))
    if extra:
        spec.insert(1, ("extra", "<f8"))
    ev = np.zeros(n, dtype=spec)
    for role, name in roles.items():
        if name is None:
            continue
        kind = ev.dtype[name].kind
        if role == "x":
            v = rng.integers(-spill, width + spill, n)
        elif role == "y":
            v = rng.integers(-spill, height + spill, n)
        elif role == "t":
            v = rng.integers(0, t_max, n)
        else:
            v = rng.integers(-1, 2, n) if kind in "if" else rng.integers(0, 2, n)
        if kind == "u":
            v = np.abs(v)
        if kind == "f" and role in "xy":
            v = v + rng.random(n) * 0.99
        ev[name] = v
    return ev


# Tonic is optional at run time; `make test` installs it so both binning paths are tested.
requires_tonic = pytest.mark.skipif(importlib.util.find_spec("tonic") is None,
                                    reason="Tonic is not installed")
