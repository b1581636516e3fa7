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
from typing import Any, Iterator

import numpy as np

from nivra.viz import io as readers
from nivra.viz.io import ReaderError, Source
from nivra.viz.io._base import escaped

from . import accumulate, hot

# Events per indexed chunk: a frame reads at most about two of them beyond its own events.
INDEX_EVENTS = 1 << 16
# Chunks are added up in batches of about this many events (one bincount per batch).
BATCH_EVENTS = 1 << 22
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


class _Activity:
    """ON/OFF counts per time step, anchored at the first event's time; grows both ways
    (unsorted files) and doubles its step while it would hold more than the bins allowed."""

    def __init__(self, origin: Any) -> None:
        self.origin = origin
        self.step = ACTIVITY_STEP_US
        self.first = 0                       # bin index of counts[:, 0]
        self.counts = np.zeros((2, 0), dtype=np.int64)

    def add(self, t: np.ndarray, off: np.ndarray) -> None:
        if not len(t):
            return
        if t.dtype.kind in "ub":
            t = t.astype(np.int64)   # differences below the origin must not wrap
        lo, hi = t.min(), t.max()
        first = min(self.first, int((lo - self.origin) // self.step))
        last = max(self.first + self.counts.shape[1] - 1, int((hi - self.origin) // self.step))
        while last - first + 1 > ACTIVITY_MAX_BINS:
            self._coarsen()
            first = min(self.first, int((lo - self.origin) // self.step))
            last = max(self.first + self.counts.shape[1] - 1,
                       int((hi - self.origin) // self.step))
        n = last - first + 1
        if first != self.first or n != self.counts.shape[1]:
            grown = np.zeros((2, n), dtype=np.int64)
            at = self.first - first
            grown[:, at:at + self.counts.shape[1]] = self.counts
            self.counts, self.first = grown, first
        self.counts += accumulate.add_activity(t, off, self.origin, self.step, self.first, n)

    def _coarsen(self) -> None:
        first = self.first // 2                           # floor, also below zero
        n = (self.first + self.counts.shape[1] - 1) // 2 - first + 1
        merged = np.zeros((2, n), dtype=np.int64)
        k = np.arange(self.first, self.first + self.counts.shape[1]) // 2 - first
        for c in (0, 1):
            np.add.at(merged[c], k, self.counts[c])
        self.counts, self.first, self.step = merged, first, self.step * 2


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
        self.sorted = True
        self.negative = 0
        self.activity: _Activity | None = None
        self.t_min: Any = None
        self.t_max: Any = None
        self.fractional = False
        self._totals = np.zeros((2, 0, 0), dtype=np.int64)
        self._extent = [0, 0]                 # largest x + 1, y + 1 seen
        self._beyond = 0
        batch: list[np.ndarray] = []
        batched = 0
        scan = self.source.scan(self.index_events)
        for position, chunk in self._scan_chunks(scan):
            if not len(chunk):
                continue
            if self.count == 0:
                self._fields(chunk.dtype)
                self.activity = _Activity(_exact(chunk[self.fields[2]][0]))
                self.fractional = chunk[self.fields[2]].dtype.kind == "f"
            t = chunk[self.fields[2]]
            # in time order so far: this chunk is sorted and starts at or after all before it
            in_order = bool(np.all(t[1:] >= t[:-1])) and (self.t_max is None or t[0] >= self.t_max)
            lo, hi = (t[0], t[-1]) if in_order else (t.min(), t.max())
            if not in_order:
                self.sorted = False
            self.t_min = lo if self.t_min is None else min(self.t_min, lo)
            self.t_max = hi if self.t_max is None else max(self.t_max, hi)
            idx.positions.append(position)
            idx.t_lo.append(float(lo))
            idx.t_hi.append(float(hi))
            idx.counts.append(len(chunk))
            self.count += len(chunk)
            batch.append(chunk)
            batched += len(chunk)
            if batched >= BATCH_EVENTS:
                self._add_batch(batch)
                batch, batched = [], 0
        if batch:
            self._add_batch(batch)
        if self.count == 0:
            raise ViewError(f"{self.path}: no events in the recording")
        self.t_min, self.t_max = _exact(self.t_min), _exact(self.t_max)
        self.sensor, self.sensor_from = self._sensor()
        totals = np.zeros((2, self.sensor[1], self.sensor[0]), dtype=np.int64)
        h = min(self.sensor[1], self._totals.shape[1])
        w = min(self.sensor[0], self._totals.shape[2])
        totals[:, :h, :w] = self._totals[:, :h, :w]
        self.outside = int(self._totals.sum() - totals.sum()) + self._beyond
        self.totals = totals
        self.drawn = self.count - self.negative - self.outside
        self.hot = hot.hot_pixels(totals.sum(axis=0))
        self._t_lo = np.asarray(idx.t_lo)
        self._t_hi = np.asarray(idx.t_hi)
        self._counts = np.asarray(idx.counts, dtype=np.int64)

    def _scan_chunks(self, scan: Iterator[tuple[Any, np.ndarray]]
                     ) -> Iterator[tuple[Any, np.ndarray]]:
        t_field = self.source.t_field
        for position, chunk in scan:
            if t_field and self.time_unit != "us":
                chunk = readers.to_microseconds(chunk, t_field, self.time_unit)
            yield position, chunk

    def _add_batch(self, batch: list[np.ndarray]) -> None:
        """Activity and per-pixel totals of a batch of chunks (fewer than 2**24 events)."""
        xf, yf, tf, pf = self.fields
        ev = batch[0] if len(batch) == 1 else np.concatenate(batch)
        assert self.activity is not None
        self.activity.add(ev[tf], accumulate.polarity_channels(ev, pf))
        x = ev[xf]
        y = ev[yf] if yf else None
        if not all(_never_negative(c) for c in (x, y) if c is not None):
            neg = x.astype(np.int32) < 0
            if y is not None:
                neg |= y.astype(np.int32) < 0
            self.negative += int(np.count_nonzero(neg))
        limit = self._given_sensor or self.source.sensor_size
        need_w = int(x.max()) + 1 if x.dtype.kind != "f" else int(x.astype(np.int32).max()) + 1
        need_h = 1 if y is None else (int(y.max()) + 1 if y.dtype.kind != "f"
                                      else int(y.astype(np.int32).max()) + 1)
        if limit is not None:
            # a sensor known beforehand bounds the totals; what lies beyond it is counted
            if need_w > limit[0] or need_h > limit[1]:
                xi = x.astype(np.int32)
                beyond, inside = xi >= limit[0], xi >= 0
                if y is not None:
                    yi = y.astype(np.int32)
                    beyond |= yi >= limit[1]
                    inside &= yi >= 0
                beyond &= inside          # negative ones are counted as such
                self._beyond += int(np.count_nonzero(beyond))
            need_w, need_h = min(need_w, limit[0]), min(need_h, limit[1])
        elif need_w > MAX_SIDE or need_h > MAX_SIDE:
            y_text = f" and y = {need_h - 1:,}" if yf else ""
            raise ViewError(f"{self.path}: the coordinates reach x = {need_w - 1:,}{y_text} "
                            f"(stray events?); give the sensor size (--sensor W H)")
        self._extent = [max(self._extent[0], need_w), max(self._extent[1], need_h)]
        h, w = self._totals.shape[1:]
        if self._extent[0] > w or self._extent[1] > h:
            grown = np.zeros((2, self._extent[1], self._extent[0]), dtype=np.int64)
            grown[:, :h, :w] = self._totals
            self._totals = grown
        scratch = np.zeros((1, *self._totals.shape), dtype=np.float32)
        accumulate.add_totals(ev, scratch, tf)
        self._totals += scratch[0].astype(np.int64)

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
        left = {"outside the sensor": self.outside, "negative coordinates": self.negative}
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


def _never_negative(c: np.ndarray) -> bool:
    """True when no value of the column is negative after the binning's int32 cast."""
    if c.dtype.kind == "u" and c.dtype.itemsize <= 2:
        return True
    return c.dtype.kind in "iu" and c.dtype.itemsize <= 4 and (not len(c) or c.min() >= 0) \
        and (c.dtype.kind == "i" or c.dtype.itemsize < 4)


def _exact(v: Any) -> Any:
    """A NumPy scalar as a Python int or float."""
    if isinstance(v, (np.integer, np.bool_)):
        return int(v)
    if isinstance(v, np.floating):
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
