"""A recording's page counts, added chunk by chunk in one kernel call each
(``spikes._accumulate_events``): the state the kernel keeps between chunks, room for the
outputs as a detected sensor grows, and the finished arrays.

    acc = Accumulator(spikes, fields, span=(t_min, t_max), sensor=(1280, 720),
                      n_frames=20, grid_bins=5, raster_bins=100, raster_neurons=1000)
    for chunk in chunks:
        acc.add(chunk)
    counts = acc.finish()   # frames, grid, raster (+ pixels, histogram) and the totals

Without ``span`` only the totals are kept: the pass that finds the span (and the sensor's
extents) for the next one. Per-pixel totals (``pixel_totals=True``) and an activity
histogram (``histogram_step``, in the time field's units) are optional outputs; a
``pixel_map`` (see ``pixels``) leaves pixels out and chooses the raster's columns.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np

# Rows for raster events that wait for the final sensor width (x < 0 < y): few in real
# recordings; the kernel stops when a chunk of 2,048 might not fit, and the rows are
# thinned (or doubled) here.
PENDING_ROWS = 1 << 13
# A detected sensor's arrays grow in these steps, so that edges reached late in a
# recording rarely cost a copy of them.
ROOM_STEP = 64


@dataclass
class Counts:
    """What a pass found. Arrays are None when not asked for (or not binned)."""
    frames: np.ndarray | None
    grid: np.ndarray | None
    raster: np.ndarray | None
    pixels: np.ndarray | None
    histogram: np.ndarray | None
    sensor: tuple[int, int] | None    # the sensor drawn: given, or detected (None: none)
    count: int                        # events seen
    bad_time: int                     # time NaN or infinite
    outside_window: int
    outside: int                      # selected, not on the sensor
    negative: int                     # of those, at a negative coordinate
    t_lo: Any                         # over every event with a finite time
    t_hi: Any
    s_lo: Any                         # over the selected events
    s_hi: Any
    x_max: Any
    y_max: Any
    fractional: bool
    overflowed: bool                  # a detected sensor outgrew max_pixels: not binned
    masked: int = 0                   # on the sensor, at pixels the pixel map left out

    @property
    def selected(self) -> int:
        return self.count - self.bad_time - self.outside_window

    @property
    def drawn(self) -> int:
        return self.selected - self.outside - self.masked


def detected_size(x_max: Any, y_max: Any, has_y: bool) -> tuple[int, int] | None:
    """The sensor the largest coordinates make (largest + 1, int() truncating floats),
    or None when they are not finite."""
    values = [x_max] + ([y_max] if has_y else [])
    if any(v is None or (isinstance(v, float) and not math.isfinite(v)) for v in values):
        return None
    width = int(x_max) + 1
    height = int(y_max) + 1 if has_y else 1
    return width, height


def _room(need: int, had: int) -> int:
    step = max(ROOM_STEP, had // 4)
    return -(-need // step) * step


class Accumulator:
    def __init__(self, spikes: Any, fields: tuple[str | None, ...], *,
                 window: tuple[Any, Any, Any] | None = None,
                 span: tuple[Any, Any] | None = None,
                 sensor: tuple[int, int] | None = None, room: tuple[int, int] | None = None,
                 n_frames: int = 0, grid_bins: int = 0, raster_bins: int = 0,
                 raster_neurons: int = 0, pixel_totals: bool = False,
                 histogram_step: Any = None, max_pixels: int | None = None,
                 pixel_map: np.ndarray | None = None) -> None:
        """``window``: (origin, start, end) selecting start <= t - origin < end;
        ``sensor``: (width, height), or None to draw what the coordinates reach (``room``
        is then the arrays' first size, from an earlier pass, and ``max_pixels`` the most
        they may take); ``raster_neurons``: the raster's columns (for a detected sensor
        the most, cut to the sensor's pixels at the end); ``pixel_map``: int32 of the
        arrays' first size, its raster columns below ``raster_neurons``."""
        self._fn = spikes._accumulate_events
        self.has_y = fields[1] is not None
        self.detected = sensor is None
        self.max_pixels = max_pixels
        self.sizes = (n_frames, grid_bins)
        self.raster_neurons = raster_neurons
        self.pixel_totals = pixel_totals
        self.mapped = pixel_map is not None
        self.overflowed = False
        binning = span is not None
        if self.detected:
            width, height = room or (0, 0 if self.has_y else 1)
        else:
            width, height = sensor  # type: ignore[misc]
        if not self.has_y:
            height = 1
        state: dict[str, Any] = {
            "fields": tuple(fields), "window": window, "span": span,
            "sensor": (int(width), int(height)), "detected": self.detected,
            "frames": None, "grid": None, "raster": None, "pending": None, "pixels": None,
            "histogram": None, "histogram_step": histogram_step, "grid_of_frame": None,
            "count": 0, "bad_time": 0, "outside_window": 0, "outside": 0, "negative": 0,
            "t_lo": None, "t_hi": None, "s_lo": None, "s_hi": None, "x_max": None,
            "y_max": None, "fractional": False, "pending_count": 0, "stop": None,
            "pixel_map": pixel_map, "masked": 0,
        }
        self.state = state
        if binning and self.detected and max_pixels is not None and max_pixels < 1:
            self.overflowed = True  # not even one pixel fits: only count, for the message
            state["span"] = None
            binning = False
        if not binning:
            return
        self._allocate(int(width), int(height))
        if n_frames and grid_bins:
            state["grid_of_frame"] = np.full(n_frames, -1, np.int32)
        if raster_bins:
            state["raster"] = np.zeros((raster_bins, raster_neurons), np.float32)
            if self.has_y and not self.mapped:
                state["pending"] = np.zeros((PENDING_ROWS, 3), np.int32)
        if histogram_step is not None:
            lo, hi = span  # type: ignore[misc]
            steps = int((hi - lo) // histogram_step) + 1
            state["histogram"] = np.zeros((steps, 2), np.int64)

    def _allocate(self, width: int, height: int, old: dict[str, Any] | None = None) -> None:
        state = self.state
        n_frames, grid_bins = self.sizes
        for key, bins in (("frames", n_frames), ("grid", grid_bins)):
            if bins:
                state[key] = _moved(old, key, np.zeros((bins, 2, height, width), np.float32))
        if self.pixel_totals:
            state["pixels"] = _moved(old, "pixels", np.zeros((2, height, width), np.int64))
        if self.mapped and old is not None:  # pixels the map did not know: drawn, not in the raster
            state["pixel_map"] = _moved(old, "pixel_map", np.full((height, width), -1, np.int32))
        state["sensor"] = (width, height)

    def add_skipped(self, count: int, t_lo: Any, t_hi: Any) -> None:
        """Counts events before the window that the reader passed over unbuilt."""
        state = self.state
        state["count"] += count
        state["outside_window"] += count
        if count:
            state["t_lo"] = t_lo if state["t_lo"] is None else min(state["t_lo"], t_lo)
            state["t_hi"] = t_hi if state["t_hi"] is None else max(state["t_hi"], t_hi)

    def add(self, chunk: np.ndarray) -> None:
        """Counts one chunk of events (a 1-D record array with the named fields)."""
        state = self.state
        done = self._fn(chunk, state)
        while state["stop"] is not None:
            if state["stop"] == "grow":
                self._grow(*state["need"])
            else:
                self._thin_pending()
            done += self._fn(chunk[done:], state)

    def _grow(self, need_w: int, need_h: int) -> None:
        state = self.state
        width, height = state["sensor"]
        new_w = max(width, _room(need_w, width))
        new_h = max(height, _room(need_h, height)) if self.has_y else 1
        if self.max_pixels is not None and new_w * new_h > self.max_pixels:
            new_w, new_h = max(width, need_w), max(height, need_h)  # no slack, then
        if self.max_pixels is not None and new_w * new_h > self.max_pixels:
            # Too large to bin: the rest of the pass only counts, for the message.
            self.overflowed = True
            for key in ("frames", "grid", "raster", "pending", "pixels", "histogram", "span",
                        "grid_of_frame"):
                state[key] = None
            state["pending_count"] = 0
            return
        old = {k: state[k] for k in ("frames", "grid", "pixels", "pixel_map")}
        self._allocate(new_w, new_h, old)

    def _thin_pending(self) -> None:
        """Drops pending raster events that the width reached so far already puts past
        the raster's last neuron (it only grows); makes more rows when that is not
        enough."""
        state = self.state
        rows, used = state["pending"], state["pending_count"]
        width = self._raster_width()
        part = rows[:used]
        neuron = part[:, 1].astype(np.int64) * width + part[:, 2]
        keep = part[neuron < self.raster_neurons]
        if len(keep) * 2 > len(rows):
            rows = np.zeros((len(rows) * 2, 3), np.int32)
        rows[:len(keep)] = keep
        state["pending"], state["pending_count"] = rows, len(keep)

    def _raster_width(self, cap: int | None = None) -> int:
        """The raster's width so far: the largest x plus 1, clamped to [0, cap] (by
        default the neurons plus 1: wider rasters keep row 0 alone, as that one does)."""
        cap = self.raster_neurons + 1 if cap is None else cap
        x_max = self.state["x_max"]
        if x_max is None:
            return 0
        if isinstance(x_max, float) and not math.isfinite(x_max):
            return cap if x_max > 0 else 0
        return max(0, min(int(x_max) + 1, cap))

    def finish(self) -> Counts:
        """The counts of everything added, cut to the sensor drawn."""
        state = self.state
        sensor = tuple(state["sensor"]) if not self.detected else \
            detected_size(state["x_max"], state["y_max"], self.has_y)
        _grid_from_frames(state["grid"], state["frames"], state["grid_of_frame"])
        arrays: dict[str, np.ndarray | None] = {}
        for key in ("frames", "grid", "pixels"):
            arr = state[key]
            if arr is not None and sensor is not None and self.detected:
                width, height = sensor
                if width > arr.shape[-1] or height > arr.shape[-2]:
                    arr = None  # past what int32 holds: never drawn
                else:
                    arr = arr[..., :height, :width]
            arrays[key] = arr
        raster = state["raster"]
        if raster is not None:
            raster = self._finish_raster(raster, sensor)
        return Counts(frames=arrays["frames"], grid=arrays["grid"], raster=raster,
                      pixels=arrays["pixels"], histogram=state["histogram"], sensor=sensor,
                      count=state["count"], bad_time=state["bad_time"],
                      outside_window=state["outside_window"], outside=state["outside"],
                      negative=state["negative"], t_lo=state["t_lo"], t_hi=state["t_hi"],
                      s_lo=state["s_lo"], s_hi=state["s_hi"], x_max=state["x_max"],
                      y_max=state["y_max"], fractional=state["fractional"],
                      overflowed=self.overflowed, masked=state["masked"])

    def _finish_raster(self, raster: np.ndarray, sensor: tuple[int, int] | None) -> np.ndarray:
        state = self.state
        used = state["pending_count"]
        if used:
            rows = state["pending"][:used].astype(np.int64)
            # Any width from limit + 2^31 on puts rows y >= 1, x >= -2^31 past the limit,
            # and keeps y * width in int64.
            width = self._raster_width(self.raster_neurons + (1 << 31))
            neuron = rows[:, 1] * width + rows[:, 2]
            ok = (neuron >= 0) & (neuron < raster.shape[1])
            np.add.at(raster, (rows[ok, 0], neuron[ok]), 1)
        if self.detected and sensor is not None and not self.mapped:
            width, height = sensor
            total = width * height if self.has_y else width
            raster = raster[:, :max(0, min(total, raster.shape[1]))]
        return raster


def _moved(old: dict[str, Any] | None, key: str, new: np.ndarray) -> np.ndarray:
    """new, holding the counts of old[key] in its corner."""
    prev = None if old is None else old.get(key)
    if prev is not None:
        new[..., :prev.shape[-2], :prev.shape[-1]] = prev
    return new


# float32 counts that go up by 1 stop here (2^24 + 1 is not a float32).
FLOAT32_COUNT_CAP = float(1 << 24)


def _grid_from_frames(grid: np.ndarray | None, frames: np.ndarray | None,
                      grid_of: np.ndarray | None) -> None:
    """Adds each frame that lies inside one grid bin into that bin: the kernel counted
    only the other frames' events into the grid. Whole counts, summed in float64 and
    capped where adding 1 in float32 stops, give the grid of adding each event."""
    if grid is None or frames is None or grid_of is None or not (grid_of >= 0).any():
        return
    for g in np.unique(grid_of[grid_of >= 0]):
        total = frames[grid_of == g].sum(axis=0, dtype=np.float64)
        total += grid[g]
        np.minimum(total, FLOAT32_COUNT_CAP, out=total)
        grid[g] = total
