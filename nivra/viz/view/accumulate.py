"""What the viewer adds up from events: the opening pass (activity per time step, per-pixel
totals, what was left out; one kernel call per chunk) and the counts of one frame.
"""
from __future__ import annotations

from typing import Any

import numpy as np

class Stray(Exception):
    """Coordinates past the largest sensor side taken for real, with no sensor given."""

    def __init__(self, width: int, height: int) -> None:
        super().__init__(width, height)
        self.width, self.height = width, height


class Activity:
    """ON and OFF counts per time step, shape (2, bins): column k holds the events with
    origin + (first + k) * step <= t < origin + (first + k + 1) * step."""

    def __init__(self, origin: Any, step: int, first: int, counts: np.ndarray) -> None:
        self.origin, self.step, self.first, self.counts = origin, step, first, counts


class OpeningScan:
    """The opening pass's counts over a recording's chunks, in one pass over each.

    The activity starts at ``step`` and doubles its step while it would hold more than
    ``max_bins`` steps; per-pixel totals cover the coordinates seen, within ``limit`` (a
    sensor known beforehand: what lies beyond is counted as outside), or up to ``max_side``
    without one."""

    def __init__(self, fields: tuple[str | None, ...], limit: tuple[int, int] | None,
                 step: int, max_bins: int, max_side: int) -> None:
        self.limit, self.max_bins, self.max_side = limit, max_bins, max_side
        self.state: dict[str, Any] = {
            "fields": fields, "step": step, "limit": limit,
            "activity": np.zeros((2, 0), np.int64), "activity_first": 0,
            "pixels": np.zeros((2, 0, 0), np.int64),
            "count": 0, "bad_time": 0, "negative": 0, "outside": 0, "origin": None,
            "t_min": None, "t_max": None, "last": None, "sorted": True,
            "step_lo": None, "step_hi": None, "x_max": None, "y_max": None, "stop": None}

    def add(self, chunk: np.ndarray) -> tuple[Any, Any]:
        """Adds a chunk; returns the extremes of its valid times (None when it has none)."""
        from nivra.viz import spikes

        st = self.state
        lo = hi = None
        while True:
            taken, c_lo, c_hi = spikes._view_scan(chunk, st)
            if c_lo is not None:
                lo = c_lo if lo is None else min(lo, c_lo)
                hi = c_hi if hi is None else max(hi, c_hi)
            if st["stop"] is None:
                return lo, hi
            if st["stop"] == "pixels":
                self._pixel_room(*st["need"])
            else:
                self._step_room(*st["need"])
            chunk = chunk[taken:]

    def activity(self) -> Activity:
        st = self.state
        lo, hi, first = st["step_lo"], st["step_hi"], st["activity_first"]
        counts = st["activity"][:, lo - first:hi - first + 1].copy()
        return Activity(st["origin"], st["step"], lo, counts)

    def _pixel_room(self, width: int, height: int) -> None:
        if self.limit is None and (width > self.max_side or height > self.max_side):
            raise Stray(width, height)
        cap_w, cap_h = self.limit or (self.max_side, self.max_side)
        old = self.state["pixels"]
        # rounded up, so that a sensor found a little at a time is not copied at every block
        w = min(cap_w, max(old.shape[2], -(-width // 64) * 64))
        h = min(cap_h, max(old.shape[1], -(-height // 64) * 64))
        grown = np.zeros((2, h, w), np.int64)
        grown[:, :old.shape[1], :old.shape[2]] = old
        self.state["pixels"] = grown

    def _step_room(self, lo: int, hi: int) -> None:
        while hi - lo + 1 > self.max_bins:
            self._coarsen()
            lo, hi = lo // 2, hi // 2
        st = self.state
        # room for every step the final span can still reach at this step
        first = hi - self.max_bins + 1
        room = np.zeros((2, lo + self.max_bins - first), np.int64)
        if st["step_lo"] is not None:
            used = st["activity"][:, st["step_lo"] - st["activity_first"]:
                                  st["step_hi"] - st["activity_first"] + 1]
            room[:, st["step_lo"] - first:st["step_hi"] - first + 1] = used
        st["activity"], st["activity_first"] = room, first

    def _coarsen(self) -> None:
        """Doubles the step: steps 2k and 2k + 1 become step k (floor, also below zero)."""
        st = self.state
        if st["step"] >= 1 << 61:
            raise ValueError("the times lie too far apart to chart (an activity step of more "
                             "than 2**61 us)")
        st["step"] *= 2
        if st["step_lo"] is None:
            return
        lo, hi, first = st["step_lo"], st["step_hi"], st["activity_first"]
        used = st["activity"][:, lo - first:hi - first + 1]
        pairs = np.zeros((2, 2 * (hi // 2 - lo // 2 + 1)), np.int64)
        pairs[:, lo % 2:lo % 2 + used.shape[1]] = used
        st["activity"] = pairs.reshape(2, -1, 2).sum(axis=2)
        st["activity_first"] = st["step_lo"] = lo // 2
        st["step_hi"] = hi // 2


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
