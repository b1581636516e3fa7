"""One recording opened for viewing: a single pass builds what seeking needs (a coarse table
from time to reading position), the whole-recording activity and per-pixel totals; each
frame then reads only the part of the file that can hold its window.

    rec = open_recording(Path("drive.raw"))
    counts, n = rec.frame(start_us=4_120_000, window_us=10_000)

Times given to and returned by this module are microseconds after the earliest event.
"""
from __future__ import annotations

import math
import threading
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Iterator, cast

import numpy as np

from nivra.viz import hot_pixels as hot
from nivra.viz import io as readers
from nivra.viz.io import ReaderError, Source
from nivra.viz.io._base import escaped
from nivra.viz.recording_page.passes import READ_AHEAD_BYTES, _read_ahead

from . import accumulate

# Events per indexed chunk: a frame reads at most about two of them beyond its own events.
INDEX_EVENTS = 1 << 16
# The activity histogram starts at this step and doubles while it would hold more bins.
ACTIVITY_STEP_US = 1000
ACTIVITY_MAX_BINS = 1 << 18
# A detected sensor beyond this side is taken for stray coordinates.
MAX_SIDE = 8192
# The longest window a frame may have.
MAX_WINDOW_US = 10_000_000


class ViewError(Exception):
    """A request or a recording the viewer cannot serve; the message is one line."""


@dataclass
class Summary:
    """What the listing of a directory says about a recording."""
    events: int
    duration_us: float
    sensor: tuple[int, int]
    format: str


@dataclass
class _Index:
    positions: list[Any] = field(default_factory=list)
    t_lo: list[float] = field(default_factory=list)
    t_hi: list[float] = field(default_factory=list)
    counts: list[int] = field(default_factory=list)


class Recording:
    """A recording file after its opening pass; ``frame`` is safe to call from several
    threads at once."""

    def __init__(self, path: Path, sensor: tuple[int, int] | None = None,
                 time_unit: str = "us", index_events: int = INDEX_EVENTS) -> None:
        if time_unit not in readers.TIME_UNITS:
            raise ViewError(f"time unit must be one of {', '.join(readers.TIME_UNITS)}, "
                            f"got {time_unit!r}")
        self.path = path
        self.time_unit = time_unit
        self.index_events = index_events
        self.source: Source = readers.open_source(path)
        self.format = self.source.format
        self._given_sensor = sensor
        self._index = _Index()
        self._local = threading.local()
        self._scan()

    # --- the opening pass -----------------------------------------------------------------

    def _chunks(self, chunks: Iterator[np.ndarray]) -> Iterator[np.ndarray]:
        t_field = self.source.t_field
        for chunk in chunks:
            yield readers.to_microseconds(chunk, t_field, self.time_unit) \
                if t_field and self.time_unit != "us" else chunk

    def _fields(self, dtype: np.dtype) -> None:
        from nivra.viz import spikes

        x, y, t, p = spikes._get_event_fields(np.zeros(0, dtype))
        if t is None or x is None:
            found = ", ".join(escaped(n, 40) for n in dtype.names or ()) or "no named fields"
            raise ViewError(f"{self.path}: the events have no time or no x field (found "
                            f"{found})")
        self.fields = (x, y, t, p)

    def _scan(self) -> None:
        idx = self._index
        self.count = 0
        self.fractional = False
        scan: accumulate.OpeningScan | None = None
        for position, chunk in self._scan_chunks():
            if not len(chunk):
                continue
            if scan is None:
                self._fields(chunk.dtype)
                self.fractional = chunk[self.fields[2]].dtype.kind == "f"
                scan = accumulate.OpeningScan(self.fields,
                                              self._given_sensor or self.source.sensor_size,
                                              ACTIVITY_STEP_US, ACTIVITY_MAX_BINS, MAX_SIDE)
            try:
                lo, hi = scan.add(chunk)
            except accumulate.Stray as stray:
                y_text = f" and y = {stray.height - 1:,}" if self.fields[1] else ""
                raise ViewError(f"{self.path}: the coordinates reach x = {stray.width - 1:,}"
                                f"{y_text} (stray events?); give the sensor size (--sensor W H)"
                                ) from None
            # a chunk without a valid time overlaps no window
            idx.positions.append(position)
            idx.t_lo.append(math.inf if lo is None else float(lo))
            idx.t_hi.append(-math.inf if hi is None else float(hi))
            idx.counts.append(len(chunk))
            self.count += len(chunk)
        if scan is None:
            raise ViewError(f"{self.path}: no events in the recording")
        st = scan.state
        if st["t_min"] is None:
            raise ViewError(f"{self.path}: no event has a valid time (all are NaN or infinite)")
        self.t_min, self.t_max = _exact(st["t_min"]), _exact(st["t_max"])
        self.sorted = bool(st["sorted"])
        self.negative, self.bad_time = int(st["negative"]), int(st["bad_time"])
        self.activity = scan.activity()
        self._extent = [max(0, st["x_max"] + 1), max(0, st["y_max"] + 1)]
        self.sensor, self.sensor_from = self._sensor()
        pixels = st["pixels"]
        totals = np.zeros((2, self.sensor[1], self.sensor[0]), dtype=np.int64)
        h = min(self.sensor[1], pixels.shape[1])
        w = min(self.sensor[0], pixels.shape[2])
        totals[:, :h, :w] = pixels[:, :h, :w]
        self.outside = int(pixels.sum() - totals.sum()) + int(st["outside"])
        self.totals = totals
        self.drawn = self.count - self.negative - self.outside - self.bad_time
        self.hot = hot.hot_pixels(totals.sum(axis=0))
        self._t_lo = np.asarray(idx.t_lo)
        self._t_hi = np.asarray(idx.t_hi)
        self._counts = np.asarray(idx.counts, dtype=np.int64)

    def _scan_chunks(self) -> Iterator[tuple[Any, np.ndarray]]:
        """The recording's chunks with their positions, in microseconds, read ahead by a
        helper thread for large files (the scan of a chunk releases the interpreter lock)."""
        if type(self.source).scan is Source.scan:
            # positions are event counts there, so the reader may hand out its buffers
            # again (fresh memory for every chunk costs about as much as the scan)
            scan = _counted(self.source.chunks_reusing(self.index_events, keep=2))
        else:
            scan = self.source.scan(self.index_events)
        t_field = self.source.t_field
        if t_field and self.time_unit != "us":
            scan = ((position, readers.to_microseconds(chunk, t_field, self.time_unit))
                    for position, chunk in scan)
        if self.source.decoded_bytes() >= READ_AHEAD_BYTES:
            return cast(Iterator[tuple[Any, np.ndarray]], _read_ahead(cast(Any, scan)))
        return scan

    def _sensor(self) -> tuple[tuple[int, int], str]:
        if self._given_sensor is not None:
            return (int(self._given_sensor[0]), int(self._given_sensor[1])), "given"
        if self.source.sensor_size is not None:
            return tuple(self.source.sensor_size), "from the file"  # type: ignore[return-value]
        return (max(1, self._extent[0]), max(1, self._extent[1])), "detected"

    # --- what the page is told ------------------------------------------------------------

    @property
    def duration_us(self) -> float:
        d = self.t_max - self.t_min
        return int(d) if isinstance(d, int) else float(d)

    def default_window_us(self) -> float:
        """10 ms, or the whole recording when it is shorter (a window ends before its end
        time, so the whole recording is its duration plus one microsecond)."""
        whole = math.floor(self.duration_us) + 1
        return min(10_000, whole)

    def summary(self) -> Summary:
        return Summary(self.count, self.duration_us, self.sensor, self.format)

    def info(self) -> dict[str, Any]:
        act = self.activity
        assert act is not None
        notes = []
        if not self.sorted:
            notes.append("The events are not in time order: each frame reads every part of "
                         "the file whose times overlap its window, which can be slow.")
        left = {"outside the sensor": self.outside, "negative coordinates": self.negative,
                "no valid time": self.bad_time}
        return {
            "name": self.path.name,
            "format": self.format,
            "events": self.count,
            "drawn": self.drawn,
            "left_out": {k: v for k, v in left.items() if v},
            "duration_us": self.duration_us,
            "first_time": self.t_min,
            "time_unit": self.time_unit,
            "fractional_times": self.fractional,
            "sensor": list(self.sensor),
            "sensor_from": self.sensor_from,
            "sorted": self.sorted,
            "index_chunks": len(self._index.positions),
            "default_window_us": self.default_window_us(),
            "max_window_us": MAX_WINDOW_US,
            "activity": {"start_us": float(act.origin - self.t_min) + act.first * act.step,
                         "step_us": act.step, "bins": int(act.counts.shape[1])},
            "hot": {"count": int(len(self.hot)), "rule": hot.RULE},
            "notes": notes,
        }

    def activity_bytes(self) -> bytes:
        """ON counts then OFF counts per step, little-endian uint32 (saturated)."""
        assert self.activity is not None
        counts = np.minimum(self.activity.counts, 0xFFFFFFFF).astype("<u4")
        return counts.tobytes()

    def hot_bytes(self) -> bytes:
        return self.hot.astype("<u4").tobytes()

    # --- frames ---------------------------------------------------------------------------

    def window_bounds(self, start_us: float, window_us: float) -> tuple[Any, Any]:
        """Absolute [lo, hi) in the file's (microsecond) times, exact for whole numbers."""
        lo = _shift(self.t_min, start_us)
        return lo, _shift(lo, window_us)

    def _runs(self, lo: Any, hi: Any) -> list[tuple[int, int]]:
        """Runs [first, end) of consecutive indexed chunks whose times overlap [lo, hi)."""
        hit = (self._t_lo < float(hi)) & (self._t_hi >= float(lo))
        if self.sorted:
            where = np.flatnonzero(hit)
            return [(int(where[0]), int(where[-1]) + 1)] if len(where) else []
        edges = np.flatnonzero(np.diff(np.concatenate(([0], hit.astype(np.int8), [0]))))
        return [(int(a), int(b)) for a, b in zip(edges[::2], edges[1::2])]

    def window_events(self, lo: Any, hi: Any) -> Iterator[np.ndarray]:
        """Chunks holding every event with lo <= t < hi (and others near them)."""
        for first, end in self._runs(lo, hi):
            want = int(self._counts[first:end].sum())
            source_chunks = self.source.chunks_from(self._index.positions[first],
                                                    self.index_events)
            try:
                for chunk in self._chunks(source_chunks):
                    if len(chunk) >= want:
                        yield chunk[:want]
                        break
                    want -= len(chunk)
                    yield chunk
            finally:
                close = getattr(source_chunks, "close", None)
                if close:
                    close()

    def frame(self, start_us: float, window_us: float) -> "Frame":
        """The frame [start, start + window): its pixels with events and their counts."""
        lo, hi = self.window_bounds(start_us, window_us)
        buf = self._scratch()
        pieces = [accumulate.bin_frame(chunk, lo, hi, buf, self.fields)
                  for chunk in self.window_events(lo, hi)]
        events = sum(len(p) for p in pieces)
        on, off = buf[0, 0].reshape(-1), buf[0, 1].reshape(-1)
        if events * 4 < on.size:
            # few events: their pixels, and only those cleared for the next frame
            idx = np.unique(np.concatenate(pieces)) if pieces else np.zeros(0, np.int64)
            frame = Frame(idx, on[idx], off[idx], events)
            on[idx] = 0
            off[idx] = 0
        else:
            idx = np.flatnonzero(on + off)
            frame = Frame(idx, on[idx], off[idx], events)
            buf.fill(0)
        return frame

    def _scratch(self) -> np.ndarray:
        """This thread's frame buffer, all zeros between frames."""
        buf = getattr(self._local, "buf", None)
        if buf is None:
            buf = np.zeros((1, 2, self.sensor[1], self.sensor[0]), dtype=np.float32)
            self._local.buf = buf
        return buf


@dataclass
class Frame:
    """The pixels of a frame that have events (ascending flat indices y * width + x), their
    ON and OFF counts (float32, exact), and the number of events drawn."""
    idx: np.ndarray
    on: np.ndarray
    off: np.ndarray
    events: int

    def dense(self, sensor: tuple[int, int]) -> np.ndarray:
        """The counts as a (2, height, width) int64 array."""
        out = np.zeros((2, sensor[1] * sensor[0]), dtype=np.int64)
        out[0, self.idx] = self.on
        out[1, self.idx] = self.off
        return out.reshape(2, sensor[1], sensor[0])


def _counted(chunks: Iterator[np.ndarray]) -> Iterator[tuple[int, np.ndarray]]:
    done = 0
    for chunk in chunks:
        yield done, chunk
        done += len(chunk)


def _exact(v: Any) -> Any:
    """A NumPy scalar as a Python int or float."""
    if isinstance(v, (np.integer, np.bool_)):
        return int(v)
    if isinstance(v, (float, np.floating)):
        f = float(v)
        return int(f) if f.is_integer() and abs(f) < 2 ** 53 else f
    return v


def _shift(base: Any, offset: float) -> Any:
    if isinstance(base, int) and float(offset).is_integer():
        return base + int(offset)
    return float(base) + float(offset)


def open_recording(path: Path, sensor: tuple[int, int] | None = None,
                   time_unit: str = "us") -> Recording:
    """The recording after its opening pass; one-line errors as :class:`ViewError` or
    :class:`ReaderError`."""
    try:
        return Recording(path, sensor, time_unit)
    except (ReaderError, ViewError):
        raise
    except (ValueError, TypeError, KeyError, IndexError, OSError) as exc:
        raise ViewError(f"{path}: cannot read: {type(exc).__name__}: {exc}") from None
