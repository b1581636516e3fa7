"""The spike page of a recording file: read it (or a time window of it), check what the page
will hold before building anything, then bin it whole or, when it is larger than memory
allows, chunk by chunk into the same counts.

    report = make_page("rec.raw", "rec.html", start=0, end=2_000_000)

Failures the user can act on raise :class:`PageError` (one line); readers raise
:class:`nivra.viz.io.ReaderError`.
"""
from __future__ import annotations

import importlib
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Iterator

import numpy as np

from nivra.viz import io as readers
from nivra.viz.io import CHUNK_EVENTS, TIME_UNITS, ReaderError, Source

# A detected sensor beyond these is taken for stray coordinates; no page holds more image
# pixels than the second.
MAX_DETECTED_SIDE = 8192
MAX_DETECTED_IMAGE_BYTES = 256 << 20
# What a page may take to build: frame stacks and images, and raster values.
MAX_PAGE_BUILD_BYTES = 4 << 30
MAX_RASTER_VALUES = 20_000_000
# Recordings whose decoded events take more than this are binned chunk by chunk.
IN_MEMORY_BYTES = 512 << 20


class PageError(Exception):
    """The page cannot be made as asked; the message is one line saying what to change."""


@dataclass
class PageReport:
    path: Path
    format: str
    fields: tuple[str | None, ...]
    count: int
    sensor: tuple[int, int]
    sensor_from: str                      # "given", "from the file" or "detected"
    left_out: dict[str, int | None]       # reason -> count (None: not counted)
    chunked: bool = False
    warnings: list[str] = field(default_factory=list)

    def left_out_total(self) -> int:
        return sum(n for n in self.left_out.values() if n)

    def _left_out_parts(self) -> list[str]:
        parts = []
        for reason, n in self.left_out.items():
            if n is None:
                parts.append(f"{reason}: not counted (reading stopped at the window's end)")
            elif n:
                parts.append(f"{n:,} {reason}")
        return parts

    def summary(self) -> str:
        """One line: format, count, fields, sensor and where it came from, what was left out."""
        count = f"{self.count:,} event" + ("" if self.count == 1 else "s")
        fields = " ".join(f"{role}={name or '(none)'}" for role, name in zip("xytp", self.fields))
        parts = self._left_out_parts()
        left = ("; left out " + ", ".join(parts)) if parts else "; none left out"
        return (f"{self.path}: {self.format}; {count}; fields {fields}; "
                f"sensor {self.sensor[0]} x {self.sensor[1]} ({self.sensor_from}){left}")

    def left_out_warning(self) -> str | None:
        """The warning when any event was left out of the page."""
        total = self.left_out_total()
        if not total:
            return None
        return (f"{total:,} of {self.count:,} events left out of the page "
                + ", ".join(self._left_out_parts()))


def _field_candidates() -> Any:
    """Names looked for in an event record, by role, in order of preference: the spikes
    module's own lists, so the messages name exactly what it tries."""
    return _spikes()._FIELD_CANDIDATES


def _fields(dtype: np.dtype) -> tuple[str | None, ...]:
    names = set(dtype.names or ())
    candidates = _field_candidates()
    return tuple(next((n for n in candidates[r] if n in names), None) for r in "xytp")


def _check_fields(path: Path, dtype: np.dtype) -> tuple[str | None, ...]:
    fields = _fields(dtype)
    found = ", ".join(dtype.names or ())
    for role, key, name in (("x (or channel/address)", "x", fields[0]), ("time", "t", fields[2])):
        if name is None:
            raise PageError(f"{path}: no {role} field; looked for "
                            f"{', '.join(_field_candidates()[key])}, found {found}")
    return fields


class _Stats:
    """What one pass over the events finds: count, time span, coordinate extents and the
    events with negative coordinates (after the int32 cast the binning makes)."""

    def __init__(self, fields: tuple[str | None, ...]) -> None:
        self.x, self.y, self.t, _ = fields
        self.count = 0
        self.t_min: Any = None
        self.t_max: Any = None
        self.x_max: Any = None
        self.y_max: Any = None
        self.negative = 0
        self.fractional = False

    def add(self, ev: np.ndarray) -> None:
        if not len(ev):
            return
        self.count += len(ev)
        t = ev[self.t]
        lo, hi = t.min(), t.max()
        self.t_min = lo if self.t_min is None else min(self.t_min, lo)
        self.t_max = hi if self.t_max is None else max(self.t_max, hi)
        if t.dtype.kind == "f" and not self.fractional:
            self.fractional = bool(np.any(t[:4096] != np.floor(t[:4096])))
        x = ev[self.x]
        y = ev[self.y] if self.y else None
        x_max = x.max()
        self.x_max = x_max if self.x_max is None else max(self.x_max, x_max)
        if y is not None:
            y_max = y.max()
            self.y_max = y_max if self.y_max is None else max(self.y_max, y_max)
        if not all(_never_negative(c) for c in (x, y) if c is not None):
            neg = x.astype(np.int32) < 0
            if y is not None:
                neg |= y.astype(np.int32) < 0
            self.negative += int(np.count_nonzero(neg))

    def detected(self) -> tuple[int, int]:
        """The sensor the spikes module would detect: the largest coordinates plus 1."""
        width = int(self.x_max) + 1
        height = int(self.y_max) + 1 if self.y else 1
        return width, height

    def span(self) -> tuple[Any, Any]:
        """t_min, t_max as the binning takes them: exact ints for whole-number times."""
        if isinstance(self.t_min, np.integer) or isinstance(self.t_min, np.bool_):
            return int(self.t_min), int(self.t_max)
        return float(self.t_min), float(self.t_max)

    def duration_us(self) -> int:
        lo, hi = self.span()
        return int(hi - lo)


def _never_negative(c: np.ndarray) -> bool:
    """True when no value of the column is negative after the binning's int32 cast (small
    integer types need no cast, and most recordings have no negative coordinate)."""
    return c.dtype.kind in "iub" and c.dtype.itemsize <= 2 and (not len(c) or c.min() >= 0)


def _outside_sensor(ev: np.ndarray, fields: tuple[str | None, ...], sensor: tuple[int, int]) -> int:
    """Events with coordinates >= the sensor's (not negative ones), after the int32 cast."""
    cols = [ev[f] for f in fields[:2] if f]
    if all(c.dtype.kind in "iub" and c.dtype.itemsize <= 2 for c in cols) and len(ev) and \
            all(c.max() < limit and c.min() >= 0 for c, limit in zip(cols, sensor)):
        return 0
    x = ev[fields[0]].astype(np.int32)
    bad = x >= sensor[0]
    ok = x >= 0
    if fields[1]:
        y = ev[fields[1]].astype(np.int32)
        bad |= y >= sensor[1]
        ok &= y >= 0
    return int(np.count_nonzero(bad & ok))


def _pieces(events: np.ndarray, size: int = CHUNK_EVENTS) -> Iterator[np.ndarray]:
    for i in range(0, len(events), size):
        yield events[i:i + size]


def _number(n: float) -> str:
    return f"{n:,.0f}"


def _check_page_size(path: Path, sensor: tuple[int, int], sensor_from: str, stats: _Stats,
                     n_frames: int, grid_bins: int, raster_bins: int, raster_neurons: int) -> None:
    width, height = sensor
    images = n_frames + grid_bins
    pixels = width * height
    # A detected sensor that no camera has (judged at the default 25 images): stray events.
    if sensor_from == "detected" and (width > MAX_DETECTED_SIDE or height > MAX_DETECTED_SIDE
                                      or 25 * pixels * 3 > MAX_DETECTED_IMAGE_BYTES):
        y_text = f" and y = {_number(stats.y_max)}" if stats.y else ""
        raise PageError(f"{path}: the coordinates reach x = {_number(stats.x_max)}{y_text}, which "
                        f"would make a {width} x {height} sensor (stray events?); give the "
                        f"sensor size with --sensor W H (events outside it are left out)")
    build = images * pixels * (2 * 4 + 3)  # float32 ON/OFF counts and RGB bytes per image
    if images * pixels * 3 > MAX_DETECTED_IMAGE_BYTES or build > MAX_PAGE_BUILD_BYTES:
        raise PageError(f"{path}: the page would hold {images} images of {width} x {height} "
                        f"pixels ({images * pixels * 3 / 2**20:,.0f} MiB of pixels, about "
                        f"{build / 2**30:.1f} GiB to build); lower --frames or --grid-bins"
                        + (" or the --sensor size" if sensor_from == "given" else ""))
    if raster_bins * raster_neurons > MAX_RASTER_VALUES:
        raise PageError(f"{path}: the raster would hold {raster_bins} x {raster_neurons} = "
                        f"{_number(raster_bins * raster_neurons)} values; lower --raster-bins "
                        f"or --max-neurons")


def _spikes() -> Any:
    try:
        return importlib.import_module("nivra.viz.spikes")
    except ImportError as exc:
        raise PageError(f"the module nivra.viz.spikes is not available ({exc}); build and "
                        f"install the package first (make build)") from None


def make_page(path: str | Path, output: str | Path, *, start: float | None = None,
              end: float | None = None, time_unit: str = "us", unit_given: bool = False,
              array: str | None = None, sensor: tuple[int, int] | None = None,
              n_frames: int = 20, grid_bins: int = 5, raster_bins: int = 100,
              max_neurons: int = 1000, title: str | None = None,
              in_memory_bytes: int = IN_MEMORY_BYTES, chunk_events: int = CHUNK_EVENTS,
              stage: Any = None) -> PageReport:
    """Write the spike page of a recording file; returns what was read and left out.

    ``start``/``end`` are microseconds after the first event; ``sensor`` overrides the
    file's sensor size; recordings decoding to more than ``in_memory_bytes`` (without a
    window) are binned ``chunk_events`` at a time into the same page. ``stage`` is called
    with a short text as each stage begins.
    """
    stage = stage or (lambda text: None)
    path = Path(path)
    source = readers.open_source(path, array)
    chunked = start is None and end is None and source.decoded_bytes() > in_memory_bytes
    stage(f"reading {path}" + (" in chunks" if chunked else ""))
    if chunked:
        events = None
        outside_window: int | None = 0
        stats, fields = _pass_over_chunks(source, path, time_unit, chunk_events)
    else:
        rec = readers.read_source(source, start, end, time_unit)
        events, outside_window = rec.events, rec.outside_window
        fields = _check_fields(path, events.dtype)
        stats = _Stats(fields)
        for piece in _pieces(events):
            stats.add(piece)
    if stats.count == 0:
        if start is not None or end is not None:
            raise PageError(f"{path}: no events in the time window"
                            f" (from {_number(start or 0)} us"
                            + (f" to {_number(end)} us" if end is not None else "")
                            + " after the first event)")
        raise PageError(f"{path}: no events in the recording")

    warnings = []
    lo, hi = stats.span()
    if not unit_given and stats.fractional and hi - lo < 1000:
        warnings.append(f"the timestamps are fractional numbers spanning only {hi - lo:g}; if "
                        f"they are seconds, pass --time-unit s (they are read as microseconds)")
    if sensor is not None:
        size, sensor_from = (int(sensor[0]), int(sensor[1])), "given"
    elif source.sensor_size is not None:
        size, sensor_from = source.sensor_size, "from the file"
    else:
        size, sensor_from = stats.detected(), "detected"
    total = size[0] * size[1] if fields[1] else size[0]
    raster_neurons = min(total, max_neurons)
    _check_page_size(path, size, sensor_from, stats, n_frames, grid_bins, raster_bins,
                     raster_neurons)

    spikes = _spikes()
    options = dict(n_frames=n_frames, n_grid_bins=grid_bins, raster_time_bins=raster_bins,
                   max_raster_neurons=max_neurons)
    page_title = title if title is not None else path.name
    if chunked:
        stage("binning in chunks")
        outside = _chunked_page(spikes, source, output, fields, stats, size, time_unit,
                                chunk_events, raster_neurons, page_title, options)
    else:
        assert events is not None
        outside = sum(_outside_sensor(p, fields, size) for p in _pieces(events))
        spikes.export_events_html(events, str(output), sensor_size=size, title=page_title,
                                  **options)
    left_out = {"outside the sensor": outside, "negative coordinates": stats.negative,
                "outside the time window": outside_window}
    return PageReport(path=path, format=source.format, fields=fields, count=stats.count,
                      sensor=size, sensor_from=sensor_from, left_out=left_out, chunked=chunked,
                      warnings=warnings)


# --- chunked binning ---------------------------------------------------------------------


def _chunks_us(source: Source, time_unit: str, size: int) -> Iterator[np.ndarray]:
    t_field = source.t_field
    for chunk in source.chunks(size):
        yield readers.to_microseconds(chunk, t_field, time_unit) if t_field else chunk


def _pass_over_chunks(source: Source, path: Path, time_unit: str,
                      size: int) -> tuple[_Stats, tuple[str | None, ...]]:
    stats: _Stats | None = None
    fields: tuple[str | None, ...] = ()
    for chunk in _chunks_us(source, time_unit, size):
        if stats is None:
            fields = _check_fields(path, chunk.dtype)
            stats = _Stats(fields)
        stats.add(chunk)
    if stats is None:
        raise PageError(f"{path}: no events in the recording")
    return stats, fields


def _grid_colours(frames: np.ndarray) -> np.ndarray:
    """The grid's colouring: each bin's ON (blue) and OFF (red) scaled by its own peak."""
    n, _, h, w = frames.shape
    grid = np.zeros((n, h, w, 3), dtype=np.uint8)
    for channel, colour in ((0, 2), (1, 0)):
        x = frames[:, channel]
        peak = np.maximum(x.max(axis=(1, 2), keepdims=True), 1)
        grid[:, :, :, colour] = np.clip(x / peak * 255, 0, 255).astype(np.uint8)
    return grid


def _animation_colours(frames: np.ndarray) -> np.ndarray:
    """ON blue and OFF red on one scale per frame (the larger peak, at least 1)."""
    n, _, h, w = frames.shape
    on, off = frames[:, 0], frames[:, 1]
    scale = np.maximum(np.maximum(on.max(axis=(1, 2), keepdims=True), 1),
                       np.maximum(off.max(axis=(1, 2), keepdims=True), 1))
    rgb = np.zeros((n, h, w, 3), dtype=np.uint8)
    rgb[:, :, :, 2] = np.clip(on / scale * 255, 0, 255).astype(np.uint8)
    rgb[:, :, :, 0] = np.clip(off / scale * 255, 0, 255).astype(np.uint8)
    return rgb


def _chunked_page(spikes: Any, source: Source, output: str | Path,
                  fields: tuple[str | None, ...], stats: _Stats, size: tuple[int, int],
                  time_unit: str, chunk_events: int, raster_neurons: int, title: str,
                  options: dict[str, int]) -> int:
    """The page of serialize_events, from counts added chunk by chunk; returns the number
    of events outside the sensor."""
    width, height = size
    grid = np.zeros((options["n_grid_bins"], 2, height, width), dtype=np.float32)
    frames = np.zeros((options["n_frames"], 2, height, width), dtype=np.float32)
    raster = np.zeros((options["raster_time_bins"], raster_neurons), dtype=np.float32)
    raster_width = stats.detected()[0]
    t_min, t_max = stats.span()
    outside = 0
    for chunk in _chunks_us(source, time_unit, chunk_events):
        spikes._bin_events_into(chunk, grid, t_min, t_max)
        spikes._bin_events_into(chunk, frames, t_min, t_max)
        spikes._bin_events_into(chunk, raster, t_min, t_max, raster_width)
        outside += _outside_sensor(chunk, fields, size)
    doc = {
        "event_count": stats.count,
        "duration_us": stats.duration_us(),
        "sensor_size": (width, height),
        "grid_frames": [spikes._encode_image_base64(img) for img in _grid_colours(grid)],
        "animation_frames": [spikes._encode_image_base64(img)
                             for img in _animation_colours(frames)],
        "raster": raster.tolist(),
    }
    html = spikes._render_spike_html(doc, title=title)
    Path(output).write_text(html, encoding="utf-8")
    return outside


__all__ = ["make_page", "PageReport", "PageError", "ReaderError", "TIME_UNITS"]
