"""What the viewer adds up from events: the activity histogram and per-pixel totals of the
opening pass, and the counts of one frame.

Each is one small function over a batch of events, so that a kernel doing all of it in one
pass over a chunk replaces exactly these three bodies and nothing around them.
"""
from __future__ import annotations

from typing import Any

import numpy as np


def polarity_channels(events: np.ndarray, p_field: str | None) -> np.ndarray:
    """0 for ON (polarity above zero, or every event without a polarity field), 1 for OFF:
    the channels the frame binning uses."""
    if p_field is None:
        return np.zeros(len(events), dtype=np.int64)
    return (events[p_field] <= 0).astype(np.int64)


def add_activity(t: np.ndarray, channels: np.ndarray, origin: Any, step: int,
                 first_bin: int, n_bins: int) -> np.ndarray:
    """ON and OFF event counts per time step, shape (2, n_bins), int64: bin k holds the
    events with origin + (first_bin + k) * step <= t < origin + (first_bin + k + 1) * step.
    Every event must fall into the bins given."""
    k = np.floor_divide(t - origin, step).astype(np.int64) - first_bin
    flat = np.bincount(channels * n_bins + k, minlength=2 * n_bins)
    return flat.reshape(2, n_bins)


def add_totals(events: np.ndarray, out: np.ndarray, t_field: str) -> None:
    """Adds to ``out`` (float32, shape (1, 2, height, width)) the ON and OFF event counts per
    pixel of the events inside it (exact while a pixel's count stays below 2**24, so callers
    add at most that many events before moving the counts on)."""
    from nivra.viz import spikes

    t = events[t_field]
    spikes._bin_events_into(events, out, t.min(), t.max())


def bin_frame(events: np.ndarray, lo: Any, hi: Any, out: np.ndarray, t_field: str) -> None:
    """Adds to ``out`` (float32, shape (1, 2, height, width)) the ON and OFF counts per pixel
    of the events with lo <= t < hi inside the sensor: NumPy's count of the window's events."""
    from nivra.viz import spikes

    t = events[t_field]
    inside = events[(t >= lo) & (t < hi)]
    if len(inside):
        # one bin spanning the window: every event lands in it
        spikes._bin_events_into(inside, out, lo, hi)
