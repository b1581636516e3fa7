"""What the viewer adds up from events: the activity histogram and per-pixel totals of the
opening pass, and the counts of one frame.

Each is one small function over a batch of events, so that a kernel doing all of it in one
pass over a chunk replaces exactly these three bodies and nothing around them.
"""
from __future__ import annotations

from typing import Any

import numpy as np


def polarity_channels(events: np.ndarray, p_field: str | None) -> np.ndarray:
    """1 (bool) for OFF (polarity 0, negative or False), 0 for ON (above zero, or every
    event without a polarity field): the channels the frame binning uses."""
    if p_field is None:
        return np.zeros(len(events), dtype=bool)
    return events[p_field] <= 0


def add_activity(t: np.ndarray, off: np.ndarray, origin: Any, step: int,
                 first_bin: int, n_bins: int) -> np.ndarray:
    """ON and OFF event counts per time step, shape (2, n_bins), int64: bin k holds the
    events with origin + (first_bin + k) * step <= t < origin + (first_bin + k + 1) * step.
    Every event must fall into the bins given; ``off`` marks the OFF events."""
    if len(t) > 1 and t[0] <= t[-1] and bool(np.all(t[1:] >= t[:-1])):
        # in time order: each bin is a run of events, found by its edges
        edges = origin + (first_bin + np.arange(n_bins + 1)) * step
        at = np.searchsorted(t, edges, side="left")
        total = np.diff(at)
        cum_off = np.concatenate(([0], np.cumsum(off, dtype=np.int64)))
        n_off = cum_off[at[1:]] - cum_off[at[:-1]]
        return np.stack([total - n_off, n_off])
    k = np.floor_divide(t - origin, step).astype(np.int64) - first_bin
    flat = np.bincount(off.astype(np.int64) * n_bins + k, minlength=2 * n_bins)
    return flat.reshape(2, n_bins)


def add_totals(events: np.ndarray, out: np.ndarray, t_field: str) -> None:
    """Adds to ``out`` (float32, shape (1, 2, height, width)) the ON and OFF event counts per
    pixel of the events inside it (exact while a pixel's count stays below 2**24, so callers
    add at most that many events before moving the counts on)."""
    from nivra.viz import spikes

    t = events[t_field]
    spikes._bin_events_into(events, out, t.min(), t.max())


def bin_frame(events: np.ndarray, lo: Any, hi: Any, out: np.ndarray,
              fields: tuple[str | None, ...]) -> np.ndarray:
    """Adds to ``out`` (float32, shape (1, 2, height, width)) the ON and OFF counts per pixel
    of the events with lo <= t < hi inside the sensor (NumPy's count of the window's
    events), and returns the flat pixel indices (y * width + x) of the events it added."""
    from nivra.viz import spikes

    xf, yf, tf, _ = fields
    t = events[tf]
    inside = events[(t >= lo) & (t < hi)]
    if not len(inside):
        return np.zeros(0, dtype=np.int64)
    # one bin spanning the window: every event lands in it
    spikes._bin_events_into(inside, out, lo, hi)
    height, width = out.shape[2:]
    x = inside[xf].astype(np.int32).astype(np.int64)
    y = inside[yf].astype(np.int32).astype(np.int64) if yf else np.zeros(len(inside), np.int64)
    ok = (x >= 0) & (x < width) & (y >= 0) & (y < height)
    pix: np.ndarray = y * width + x
    return pix if ok.all() else pix[ok]
