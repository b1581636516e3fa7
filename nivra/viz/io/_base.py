"""What every reader shares: the error type, the recording it returns, optional imports,
time windows and units."""
from __future__ import annotations

import contextlib
import importlib
import os
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path
from types import ModuleType
from typing import Any, Callable, Iterator

import numpy as np

# Microseconds per unit of the timestamps in a file.
TIME_UNITS = {"s": 1_000_000, "ms": 1_000, "us": 1, "ns": 0.001}

# Events per chunk when a recording is read piece by piece.
CHUNK_EVENTS = 1 << 22


@contextlib.contextmanager
def quiet_stderr() -> Iterator[None]:
    """File descriptor 2 goes to a scratch file while the block runs: the compiled readers
    write warnings and panic reports there, which must not reach the user as such."""
    try:
        sys.stderr.flush()
        saved = os.dup(2)
    except (OSError, ValueError, AttributeError):
        yield
        return
    try:
        with tempfile.TemporaryFile() as sink:
            os.dup2(sink.fileno(), 2)
            try:
                yield
            finally:
                os.dup2(saved, 2)
    finally:
        os.close(saved)


class ReaderError(Exception):
    """A recording that cannot be read; the message is one line naming the file."""


def escaped(text: str, limit: int = 80) -> str:
    """Text taken from a file, fit to be echoed in a one-line message: control characters
    (and other unprintable ones) written as escapes, cut to ``limit`` characters."""
    shown = "".join(c if c.isprintable() else repr(c)[1:-1] for c in text[:limit])
    return shown + ("..." if len(text) > limit else "")


def require(module: str, extra: str, path: Path, what: str) -> ModuleType:
    """An optional library, or a one-line error naming the extra that installs it."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ReaderError(f"{path}: reading {what} files needs the '{module}' package; "
                          f"install it with: pip install nivra-viz[{extra}]") from None


@dataclass
class Recording:
    """Events read from a file, with what the file said about them.

    ``events`` is a 1-D structured array (memory-mapped for .npy files); timestamps are
    microseconds unless the caller asked for ``time_unit="us"`` on a file in another unit.
    ``sensor_size`` is (width, height) when the file records it, else None.
    ``outside_window`` counts events left out by ``start``/``end`` (None: not counted,
    because the reader stopped at the window's end). ``notes`` says what the reader
    worked around or left out (see ``Source.skipped`` and ``Source.warnings``).
    """
    events: np.ndarray
    sensor_size: tuple[int, int] | None
    format: str
    path: Path
    outside_window: int | None = 0
    notes: list[str] = field(default_factory=list)


@dataclass
class Skip:
    """The events before a time that a reader passed over without building them: how
    many, their smallest and largest time (None for none), and ``chunks(size, keep)``,
    the chunks after them (as ``chunks_reusing`` gives them)."""
    count: int
    t_lo: Any
    t_hi: Any
    chunks: Callable[[int, int], Iterator[np.ndarray]]


class Source:
    """A recording file opened for reading: whole, by chunks, or one time window.

    Subclasses set ``format`` and ``sensor_size`` and give ``chunks``; those that can
    seek override ``window``.

    Readers of formats that hold more than the sensor's events say what the last read left
    out: ``skipped`` maps a reason ("IMU6 events", "invalid polarity events (valid bit
    0)") to the number of records not returned, and ``warnings`` holds one line for each
    thing the reader had to work around (a damaged or truncated stretch, with its byte
    offset). Both are complete once a read or a pass over ``chunks`` has finished.
    """
    format = "events"
    sensor_size: tuple[int, int] | None = None
    t_field: str | None = "t"

    def __init__(self, path: Path) -> None:
        self.path = path
        self.skipped: dict[str, int] = {}
        self.warnings: list[str] = []

    def fail(self, detail: str) -> ReaderError:
        return ReaderError(f"{self.path}: {self.format}: {detail}")

    def decoded_bytes(self) -> int:
        """About how much memory the decoded events take (for choosing chunked reading)."""
        return self.path.stat().st_size

    def chunks(self, size: int = CHUNK_EVENTS) -> Iterator[np.ndarray]:
        raise NotImplementedError

    def read(self) -> np.ndarray:
        parts = list(self.chunks())
        return concat(parts, self.fail)

    def window(self, lo: float | None, hi: float | None) -> tuple[np.ndarray, int | None]:
        """Events with lo <= t < hi in file units (None: open), and how many were left out.

        ``lo``/``hi`` are absolute; the default scans every chunk."""
        kept, left_out = [], 0
        for chunk in self.chunks():
            mask = in_window(chunk[self.t_field], lo, hi)
            kept.append(chunk[mask])
            left_out += len(chunk) - int(np.count_nonzero(mask))
        return concat(kept, self.fail), left_out

    def first_time(self) -> Any:
        """The timestamp of the first event in the file, or None for no events."""
        for chunk in self.chunks(1 << 16):
            if len(chunk):
                return chunk[self.t_field][0]
        return None

    def time_span(self) -> tuple[Any, Any] | None:
        """The smallest and largest timestamp of the recording, in file units, when they
        can be known without a pass over the events (a time-sorted file: its first and
        last record), else None. Callers check the claim during their own pass over the
        events and make another pass when it was wrong."""
        return None

    def window_span(self, lo: Any, hi: Any) -> tuple[Any, Any] | None:
        """The smallest and largest timestamp among the events with lo <= t < hi (file
        units, absolute; None: open), claimed as time_span claims, or None when unknown
        without a pass; ("empty", None) when the claim is that none lies there."""
        return None

    def skip_before(self, lo: Any) -> Skip | None:
        """Where the events before ``lo`` (file units, absolute) can be passed over
        faster than decoding them: every event from the first at ``lo`` or later
        follows the Skip. None where a reader cannot (the default)."""
        return None

    def chunks_reusing(self, size: int = CHUNK_EVENTS, keep: int = 2) -> Iterator[np.ndarray]:
        """The chunks of ``chunks``, possibly in memory handed out again: a chunk stays as
        it was until ``keep`` more chunks have been taken (a reader that fills buffers of
        its own saves allocating and faulting in fresh memory for every chunk)."""
        return self.chunks(size)

    def scan(self, size: int = CHUNK_EVENTS) -> Iterator[tuple[Any, np.ndarray]]:
        """The chunks of ``chunks``, each with the position where it starts: a value that
        ``chunks_from`` resumes from (here the number of events before the chunk; readers
        that can seek give whatever they need to resume, such as a byte offset and the
        decoder's state there)."""
        done = 0
        for chunk in self.chunks(size):
            yield done, chunk
            done += len(chunk)

    def chunks_from(self, position: Any, size: int = CHUNK_EVENTS) -> Iterator[np.ndarray]:
        """The chunks from a position that ``scan`` gave to the end of the recording. This
        fallback decodes from the start and drops what lies before; readers override it."""
        skip = int(position)
        for chunk in self.chunks(size):
            if skip >= len(chunk):
                skip -= len(chunk)
                continue
            yield chunk[skip:] if skip else chunk
            skip = 0


class ArraySource(Source):
    """A recording whose events are one record array already at hand (read or mapped)."""
    events: np.ndarray

    def decoded_bytes(self) -> int:
        return int(self.events.nbytes)

    def read(self) -> np.ndarray:
        return self.events

    def chunks(self, size: int = CHUNK_EVENTS) -> Iterator[np.ndarray]:
        return self.chunks_from(0, size)

    def chunks_from(self, position: Any, size: int = CHUNK_EVENTS) -> Iterator[np.ndarray]:
        for i in range(int(position), len(self.events), size):
            yield self.events[i:i + size]

    def first_time(self) -> Any:
        return self.events[self.t_field][0] if len(self.events) else None

    def time_span(self) -> tuple[Any, Any] | None:
        # Events in memory: the exact extremes cost one look at the column.
        if self.t_field is None or not len(self.events) or isinstance(self.events, np.memmap):
            return None
        t = self.events[self.t_field]
        return t.min(), t.max()

    def window_span(self, lo: Any, hi: Any) -> tuple[Any, Any] | None:
        if self.t_field is None or not len(self.events) or isinstance(self.events, np.memmap):
            return None
        t = self.events[self.t_field]
        t = t[in_window(t, lo, hi)]
        return (t.min(), t.max()) if len(t) else ("empty", None)


def in_window(t: np.ndarray, lo: float | None, hi: float | None) -> np.ndarray:
    mask = np.ones(len(t), dtype=bool)
    if lo is not None:
        mask &= t >= lo
    if hi is not None:
        mask &= t < hi
    return mask


def concat(parts: list[np.ndarray], fail: Callable[[str], ReaderError]) -> np.ndarray:
    parts = [p for p in parts if p is not None]
    if not parts:
        raise fail("no events could be decoded")
    if len(parts) == 1:
        return parts[0]
    return np.concatenate(parts)


def to_microseconds(events: np.ndarray, t_field: str, unit: str) -> np.ndarray:
    """The events with their time field in microseconds (a new array unless unit is us).

    Whole-number times stay integers (ns are floored to us); float times are scaled."""
    factor = TIME_UNITS[unit]
    if factor == 1:
        return events
    t = events[t_field]
    names = events.dtype.names or ()
    new_t: np.ndarray
    if t.dtype.kind in "iub" and factor >= 1:
        new_t = t.astype(np.int64) * int(factor)
    elif t.dtype.kind in "iub":
        new_t = t.astype(np.int64) // int(round(1 / factor))
    else:
        new_t = t.astype(np.float64) * factor
    descr = [(n, new_t.dtype if n == t_field else events.dtype[n]) for n in names]
    out = np.empty(len(events), dtype=descr)
    for n in names:
        out[n] = new_t if n == t_field else events[n]
    return out


T_NAMES = ("t", "ts", "time", "timestamp")


def time_field(dtype: np.dtype) -> str | None:
    """The time field's name, by the names the spikes module looks for."""
    names = dtype.names or ()
    return next((n for n in T_NAMES if n in names), None)
