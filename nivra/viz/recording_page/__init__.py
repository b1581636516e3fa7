"""The spike page of a recording file: its events (or a time window of them) binned in one
pass per chunk into the counts of the page's images and raster, from the file or from
memory, then coloured, encoded and written.

    report = make_page("rec.raw", "rec.html", start=0, end=2_000_000)
    print(report.summary())

The page's event document is the one ``serialize_events`` makes of the events in the
window without Tonic, bit for bit in counts and pixels, plus a "recording" key saying
what was read, drawn and left out; windows hold exactly the events with
start <= t - t_min < end, t_min the earliest event, in any order; with
``hot_pixels="drop"`` or ``raster="active"`` (what the command line asks for) a first
pass counts each pixel's events, and hot pixels are left out or the busiest pixels
make the raster (see ``pixels``). Failures the user can
act on raise :class:`PageError` (one line); readers raise
:class:`nivra.viz.io.ReaderError`.

Files: ``accumulator`` (the kernel's state between chunks), ``passes`` (how many reads
give exact counts, reading ahead), ``limits`` (what a page costs, what is refused),
``report`` (the numbers the summary, the warning and the page's cards tell),
``pixels`` (hot pixels and the raster's pixels, from the events per pixel).
"""
from __future__ import annotations

import importlib
import sys
from pathlib import Path
from typing import Any, Callable

import numpy as np

from nivra.viz import io as readers
from nivra.viz.io import CHUNK_EVENTS, TIME_UNITS, ReaderError, Source
from nivra.viz.io._base import escaped

from . import limits
from .accumulator import Accumulator, Counts, detected_size
from .limits import PageError
from .passes import Plan, Stream, count_events, count_pixels
from .pixels import HOT_CHOICES, RASTER_CHOICES, PixelChoice, choose
from .report import AT_HOT_PIXELS, BAD_TIME, OUTSIDE_SENSOR, OUTSIDE_WINDOW, PageReport

# Recordings whose decoded events take at most this are read into memory once (passes
# then go over memory); larger ones are read from the file chunk by chunk, each pass.
IN_MEMORY_BYTES = 512 << 20


def import_spikes(tonic: bool = True) -> Any:
    """The spikes module, imported now if it was not yet. With ``tonic=False`` a first
    import leaves Tonic (and the SciPy it imports) out, as if it were not installed: the
    command line's pages never bin through it, and importing it costs seconds."""
    name = "nivra.viz.spikes"
    if name in sys.modules or tonic:
        return _import(name)
    blocked = [m for m in ("tonic", "tonic.transforms") if m not in sys.modules]
    for m in blocked:
        sys.modules[m] = None  # type: ignore[assignment]  # import raises ImportError
    try:
        return _import(name)
    finally:
        for m in blocked:
            if sys.modules.get(m, 0) is None:
                del sys.modules[m]


def _import(name: str) -> Any:
    try:
        return importlib.import_module(name)
    except ImportError as exc:
        raise PageError(f"the module {name} is not available ({exc}); build and "
                        f"install the package first (make build)") from None


def _field_candidates() -> Any:
    """Names looked for in an event record, by role, in order of preference: the spikes
    module's own lists, so the messages name exactly what it tries."""
    return import_spikes(tonic=False)._FIELD_CANDIDATES


def _fields(dtype: np.dtype) -> tuple[str | None, ...]:
    names = set(dtype.names or ())
    candidates = _field_candidates()
    return tuple(next((n for n in candidates[r] if n in names), None) for r in "xytp")


def _check_fields(path: Path, dtype: np.dtype) -> tuple[str | None, ...]:
    fields = _fields(dtype)
    found = ", ".join(escaped(n, 40) for n in dtype.names or ())
    for role, key, name in (("x (or channel/address)", "x", fields[0]), ("time", "t", fields[2])):
        if name is None:
            raise PageError(f"{path}: no {role} field; looked for "
                            f"{', '.join(_field_candidates()[key])}, found {found}")
    return fields


def _number(n: float) -> str:
    return f"{n:,.0f}"


def make_page(path: str | Path, output: str | Path, *, start: float | None = None,
              end: float | None = None, time_unit: str = "us", unit_given: bool = False,
              array: str | None = None, sensor: tuple[int, int] | None = None,
              n_frames: int = 20, grid_bins: int = 5, raster_bins: int = 100,
              max_neurons: int = 1000, title: str | None = None,
              in_memory_bytes: int = IN_MEMORY_BYTES, chunk_events: int = CHUNK_EVENTS,
              stage: Callable[[str], Any] | None = None, sample: int | None = None,
              allow_external: bool = False, hot_pixels: str = "keep",
              raster: str = "first") -> PageReport:
    """Write the spike page of a recording file; returns what was read, drawn and left out.

    ``start``/``end`` are microseconds after the earliest event; ``sensor`` overrides the
    file's sensor size; recordings decoding to more than ``in_memory_bytes`` are read
    ``chunk_events`` at a time, once per pass, into the same page. ``stage`` is called
    with a short text as each stage begins. ``sample`` and ``allow_external`` go to
    :func:`nivra.viz.io.open_source`. For a 2-D sensor, ``hot_pixels="drop"`` leaves hot
    pixels out of the page (counted), and ``raster="active"`` makes the raster of the
    busiest pixels instead of the first ones in row order.
    """
    if hot_pixels not in HOT_CHOICES or raster not in RASTER_CHOICES:
        raise ValueError(f"hot_pixels must be one of {HOT_CHOICES} and raster one of "
                         f"{RASTER_CHOICES}")
    stage = stage or (lambda text: None)
    path = Path(path)
    spikes = import_spikes(tonic=False)
    source = readers.open_source(path, array, sample=sample, allow_external=allow_external)
    chunked = source.decoded_bytes() > in_memory_bytes
    events = None
    if not chunked:
        stage(f"reading {path}")
        events = source.read()
        if source.t_field is not None:
            events = readers.to_microseconds(events, source.t_field, time_unit)
    stream = Stream(source, time_unit, chunk_events, events)
    window = None if start is None and end is None else (start, end)

    # The sensor drawn: given, from the file, or what the coordinates reach.
    if sensor is not None:
        size: tuple[int, int] | None = (int(sensor[0]), int(sensor[1]))
        sensor_from = "given"
    elif source.sensor_size is not None:
        size = source.sensor_size
        sensor_from = getattr(source, "sensor_from", "from the file")  # or "from the camera model"
    else:
        size, sensor_from = None, "detected"
    budget = limits.memory_budget()
    chunk_bytes = 0 if not chunked else 3 * chunk_events * 32
    images = n_frames + grid_bins

    def raster_neurons(fields: tuple[str | None, ...], sensor_size: tuple[int, int] | None) -> int:
        if sensor_size is None:
            return max_neurons
        total = sensor_size[0] * sensor_size[1] if fields[1] else sensor_size[0]
        return min(total, max_neurons)

    def before_binning(last: Counts | None, fields: tuple[str | None, ...]) -> int | None:
        """Refuses a page that would not fit (or stray coordinates) before binning it; for a
        detected sensor the pixels its arrays may take."""
        neurons = raster_neurons(fields, size)
        limits.check_raster(path, raster_bins, neurons)
        if size is not None:
            limits.check_page(path, size, sensor_from, images, raster_bins * neurons,
                              chunk_bytes, budget)
            return None
        if last is not None:
            _check_detected(path, last, fields, images, raster_bins, max_neurons, chunk_bytes, budget)
        return limits.max_pixels(images, raster_bins * neurons, chunk_bytes, budget)

    choice: PixelChoice | None = None

    def setup(fields: tuple[str | None, ...], *, window: Any, span: Any, room: int | None,
              previous: Counts | None) -> Accumulator:
        # A detected sensor's arrays start at the extents an earlier pass found.
        start_room = None
        if size is None and previous is not None and previous.sensor is not None:
            start_room = previous.sensor
        pixel_map = choice.map if choice is not None and span is not None else None
        neurons = raster_neurons(fields, size)
        if pixel_map is not None:
            start_room = (pixel_map.shape[1], pixel_map.shape[0]) if size is None else None
            neurons = len(choice.raster_pixels) or 1
        return Accumulator(spikes, fields, window=window, span=span, sensor=size,
                           room=start_room, n_frames=n_frames, grid_bins=grid_bins,
                           raster_bins=raster_bins, raster_neurons=neurons, max_pixels=room,
                           pixel_map=pixel_map.copy() if pixel_map is not None else None)

    plan = Plan(window=window, setup=setup, stage=stage,
                fields_of=lambda dt: _check_fields(path, dt), before_binning=before_binning)
    known = None
    if hot_pixels == "drop" or raster == "active":
        stage(f"counting the events of each pixel in {path}")
        per_pixel = count_pixels(stream, plan, lambda fields, room: Accumulator(
            spikes, fields, span=(0, 0), sensor=size, pixel_totals=True, max_pixels=room))
        if per_pixel is not None and per_pixel.pixels is not None and per_pixel.t_lo is not None:
            totals = per_pixel.pixels.sum(axis=0)
            if totals.shape[0] > 1:  # a 2-D sensor: the rule looks at neighbours
                choice = choose(totals, drop_hot=hot_pixels == "drop", raster=raster,
                                neurons=min(max_neurons, totals.size))
                known = (per_pixel.t_lo, per_pixel.t_hi)
    stage(f"binning {path}" + (" in chunks" if chunked else ""))
    counts, fields = count_events(stream, plan, known)
    if counts is None or fields is None or counts.count == 0:
        raise PageError(f"{path}: no events in the recording")
    if counts.t_lo is None:
        raise PageError(f"{path}: no event has a valid time (all {counts.count:,} are NaN "
                        f"or infinite)")
    if counts.s_lo is None:
        raise PageError(f"{path}: no events in the time window"
                        f" (from {_number(start or 0)} us"
                        + (f" to {_number(end)} us" if end is not None else "")
                        + " after the earliest event)")
    if size is None:
        _check_detected(path, counts, fields, images, raster_bins, max_neurons, chunk_bytes, budget)
    drawn_on = counts.sensor
    assert drawn_on is not None and counts.frames is not None

    report = _report(path, source, fields, counts, window, drawn_on, sensor_from, chunked,
                     stream.passes, choice)
    if not unit_given and counts.fractional and counts.s_hi - counts.s_lo < 1000:
        report.warnings.append(
            f"the timestamps are fractional numbers spanning only {counts.s_hi - counts.s_lo:g}; "
            f"if they are seconds, pass --time-unit s (they are read as microseconds)")
    stage("encoding images")
    _write_page(spikes, counts, report, output, title if title is not None else path.name)
    return report


def _check_detected(path: Path, counts: Counts, fields: tuple[str | None, ...], images: int,
                    raster_bins: int, max_neurons: int, chunk_bytes: int, budget: int) -> None:
    """Refuses a detected sensor that no camera has, or whose page would not fit."""
    has_y = fields[1] is not None
    size = detected_size(counts.x_max, counts.y_max, has_y)
    if size is None or limits.stray(*size):
        raise limits.stray_error(path, counts.x_max, counts.y_max, has_y, size)
    if size[0] < 1 or size[1] < 1:
        raise PageError(f"{path}: every coordinate is negative (the largest x is "
                        f"{_number(counts.x_max)}" + (f", y {_number(counts.y_max)}" if has_y else "")
                        + "): no sensor can be detected; give its size with --sensor W H")
    total = size[0] * size[1] if has_y else size[0]
    neurons = min(total, max_neurons)
    limits.check_raster(path, raster_bins, neurons)
    limits.check_page(path, size, "detected", images, raster_bins * neurons, chunk_bytes, budget)
    if counts.overflowed:  # the budget held at the start of the pass, not at its end
        raise PageError(f"{path}: the page of a {size[0]} x {size[1]} sensor did not fit in "
                        f"memory; lower --frames or --grid-bins, or give --sensor W H")


def _report(path: Path, source: Source, fields: tuple[str | None, ...], counts: Counts,
            window: Any, sensor: tuple[int, int], sensor_from: str, chunked: bool,
            passes: int, choice: PixelChoice | None) -> PageReport:
    left_out = {OUTSIDE_WINDOW: counts.outside_window, BAD_TIME: counts.bad_time,
                OUTSIDE_SENSOR: counts.outside}
    hot = choice.hot if choice is not None else None
    if hot is not None:
        left_out[AT_HOT_PIXELS] = counts.masked
    return PageReport(path=path, format=source.format, fields=fields, read=counts.count,
                      in_window=counts.selected if window is not None else None,
                      drawn=counts.drawn, sensor=sensor, sensor_from=sensor_from,
                      left_out=left_out, negative=counts.negative,
                      span_us=counts.s_hi - counts.s_lo, chunked=chunked, passes=passes,
                      warnings=list(source.warnings), not_drawn=dict(source.skipped),
                      hot=hot,
                      raster_pixels=choice.raster_pixels if choice and choice.busiest else None)


def _write_page(spikes: Any, counts: Counts, report: PageReport, output: str | Path,
                title: str) -> None:
    """The event document of the counts (serialize_events' keys and values, then the
    "recording" key), rendered into the spike page and written."""
    grid_frames, animation_frames = spikes._page_images(counts.grid, counts.frames)
    counts.frames = counts.grid = None  # free the counts before the page text is made
    raster = counts.raster
    assert raster is not None
    lo, hi = counts.s_lo, counts.s_hi
    doc = {
        "event_count": counts.selected,
        "duration_us": int(hi - lo),
        "sensor_size": report.sensor,
        "grid_frames": grid_frames,
        "animation_frames": animation_frames,
        "raster": raster.tolist(),
        "recording": report.document_key(),
    }
    del grid_frames, animation_frames
    html = spikes._render_spike_html(doc, title=title)
    del doc
    Path(output).write_text(html, encoding="utf-8")


__all__ = ["make_page", "import_spikes", "PageReport", "PageError", "ReaderError", "TIME_UNITS"]
