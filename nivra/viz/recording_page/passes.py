"""A recording read in as few passes as give exact counts.

Binning needs the time span of the events drawn on before the first of them is binned,
and a time window needs the earliest event of the file. Where the file can say them
without a pass (Source.time_span, Source.window_span: a time-sorted file's first and
last record), one pass bins and checks what was claimed; a wrong claim, or a file that
cannot say, costs a pass that finds them, which the next one uses:

    counts, fields = count_events(stream, plan)

A page that chooses pixels by their events first counts them (``count_pixels``): that
pass also finds the earliest and latest event, so the binning pass that follows needs
no claim from the file.

The chunks of a pass come from ``Stream``: from memory, or read from the file by a
helper thread one chunk ahead of the binning (into buffers that are reused), converted
to microseconds.
"""
from __future__ import annotations

import math
import queue
import threading
from dataclasses import dataclass
from typing import Any, Callable, Iterator

import numpy as np

from nivra.viz.io import Source, to_microseconds, us_value
from nivra.viz.io._base import Skip

from .accumulator import Accumulator, Counts
from .limits import PageError

# Files read ahead by a helper thread from this size on (smaller ones gain nothing).
READ_AHEAD_BYTES = 64 << 20


class Stream:
    """The chunks of a recording, once per pass, in microseconds."""

    def __init__(self, source: Source, time_unit: str, chunk_events: int,
                 events: np.ndarray | None = None) -> None:
        self.source = source
        self.time_unit = time_unit
        self.chunk_events = chunk_events
        self.events = events  # in memory (already in microseconds), or None
        self.passes = 0
        self.skip: Skip | None = None  # the events before a window the reader passes over

    def __iter__(self) -> Iterator[np.ndarray]:
        self.passes += 1
        if self.events is not None:
            for i in range(0, len(self.events), self.chunk_events):
                yield self.events[i:i + self.chunk_events]
            return
        t_field, unit = self.source.t_field, self.time_unit
        if self.skip is not None:
            chunks = self.skip.chunks(self.chunk_events, 2)
        else:
            chunks = self.source.chunks_reusing(self.chunk_events, keep=2)
        if t_field is not None and unit != "us":
            chunks = (to_microseconds(c, t_field, unit) for c in chunks)
        if self.source.decoded_bytes() >= READ_AHEAD_BYTES:
            chunks = _read_ahead(chunks)
        yield from chunks


def _read_ahead(chunks: Iterator[np.ndarray]) -> Iterator[np.ndarray]:
    """The chunks, each taken from the source by a helper thread while the one before it
    is binned (reading and decoding release the interpreter lock, as binning does). At
    most one chunk waits; the thread ends with the pass, also when the pass stops early.
    The first chunk is taken here, before the thread starts: a reader that decodes in a
    child process can then fork it from a process of one thread (cheaper than spawning)."""
    ready: queue.Queue[tuple[str, Any]] = queue.Queue(maxsize=1)
    stop = threading.Event()
    first = next(chunks, None)
    if first is None:
        return
    try:
        yield first
    except BaseException:  # the pass stopped at the first chunk
        close = getattr(chunks, "close", None)
        if close is not None:
            close()
        raise

    def produce() -> None:
        try:
            for chunk in chunks:
                while not stop.is_set():
                    try:
                        ready.put(("chunk", chunk), timeout=0.1)
                        break
                    except queue.Full:
                        continue
                if stop.is_set():
                    return
            ready.put(("end", None))
        except BaseException as exc:  # handed over to the pass, raised there
            ready.put(("error", exc))

    thread = threading.Thread(target=produce, name="nivra-viz read-ahead", daemon=True)
    thread.start()
    try:
        while True:
            kind, value = ready.get()
            if kind == "chunk":
                yield value
            elif kind == "error":
                raise value
            else:
                return
    finally:
        stop.set()
        while thread.is_alive():  # let it see the stop flag, or finish its put
            try:
                ready.get_nowait()
            except queue.Empty:
                pass
            thread.join(timeout=0.05)
        close = getattr(chunks, "close", None)
        if close is not None:
            close()


@dataclass
class Plan:
    """What the page bins: a window (start, end microseconds after the earliest event,
    either None; None: the whole recording), and how to set up a pass's accumulator."""
    window: tuple[float | None, float | None] | None
    setup: Callable[..., Accumulator]     # setup(fields, window=..., span=..., room=...)
    stage: Callable[[str], Any]           # told why a pass begins, from the second on
    fields_of: Callable[[np.dtype], tuple[str | None, ...]]
    before_binning: Callable[[Counts | None, tuple[str | None, ...]], int | None]
    # before_binning(counts of the last pass or None, fields) -> the pixel room a detected
    # sensor may take (raises PageError for a page that would not fit)


def _claims(stream: Stream, window: tuple[Any, Any] | None,
            known: tuple[Any, Any] | None = None) -> tuple[Any, Any]:
    """The earliest event (for a window) and the span of the events to bin, as the file
    claims them, in microseconds; None where it cannot say. ``known``: the earliest and
    latest valid time an earlier pass found (then the file is not asked for its span,
    which for some readers is a scan of the whole file)."""
    source, unit = stream.source, stream.time_unit
    if source.t_field is None:
        return None, None
    if stream.events is not None:
        return _memory_claims(stream.events[source.t_field], window)
    if known is not None:
        origin = known[0]
        if window is None:
            return origin, known
    else:
        span = source.time_span()
        if span is None:
            return None, None
        origin = us_value(span[0], unit)
        if window is None:
            return origin, (origin, us_value(span[1], unit))
    if unit != "us":
        return origin, None
    start, end = window
    lo = None if start is None else _bound(origin, start)
    hi = None if end is None else _bound(origin, end)
    claim = source.window_span(lo, hi)
    if claim is None or claim[0] == "empty":
        return origin, None
    return origin, (us_value(claim[0], unit), us_value(claim[1], unit))


def _memory_claims(t: np.ndarray, window: tuple[Any, Any] | None) -> tuple[Any, Any]:
    """The claims of events in memory, taken from them as the binning selects them:
    finite times only, a window on t - origin."""
    if t.dtype.kind == "f":
        t = t[np.isfinite(t)]
    if not len(t):
        return None, None
    origin = t.min().item()
    if window is None:
        return origin, (origin, t.max().item())
    rel = t.astype(np.int64) - origin if t.dtype.kind in "iub" else t.astype(np.float64) - origin
    mask = np.ones(len(t), bool)
    if window[0] is not None:
        mask &= rel >= window[0]
    if window[1] is not None:
        mask &= rel < window[1]
    picked = t[mask]
    return origin, ((picked.min().item(), picked.max().item()) if len(picked) else None)


def _bound(origin: Any, offset: float) -> Any:
    """origin + offset as the selection takes it: t >= origin + ceil(offset) for whole
    numbers."""
    if isinstance(origin, int) and not isinstance(origin, bool):
        return origin + math.ceil(offset)
    return origin + offset


def _skip(stream: Stream, origin: Any, window: tuple[Any, Any] | None) -> Skip | None:
    """The events before a window's start that the reader can pass over unbuilt."""
    if window is None or window[0] is None or origin is None or stream.events is not None \
            or stream.time_unit != "us":
        return None
    return stream.source.skip_before(_bound(origin, window[0]))


def count_pixels(stream: Stream, plan: Plan,
                 make: Callable[[tuple[str | None, ...], int | None], Accumulator]) -> Counts | None:
    """One pass counting the events of each pixel over the whole recording, with the
    accumulator ``make(fields, room)`` gives; None for events without y (the pass stops
    at its first chunk and is not counted as a read) or a recording with no chunk."""
    acc: Accumulator | None = None
    chunks = iter(stream)
    try:
        for chunk in chunks:
            if acc is None:
                fields = plan.fields_of(chunk.dtype)
                if fields[1] is None:
                    stream.passes -= 1
                    return None
                acc = make(fields, plan.before_binning(None, fields))
            if len(chunk):
                acc.add(chunk)
    finally:
        close = getattr(chunks, "close", None)
        if close is not None:
            close()
    return acc.finish() if acc is not None else None


def count_events(stream: Stream, plan: Plan, known: tuple[Any, Any] | None = None
                 ) -> tuple[Counts | None, tuple[str | None, ...] | None]:
    """Passes over the stream until one binned the selected events over their exact span
    (from the earliest event, for a window): its counts, or those of a pass that found
    no events to bin (None: the recording holds no chunk), and the fields of the chunks.
    ``known``: the earliest and latest valid time, found by an earlier pass."""
    origin, span = _claims(stream, plan.window, known)
    if known is not None:
        if plan.window is None:
            span = known
        elif origin != known[0]:
            span = None
        origin = known[0]
    last: Counts | None = None
    fields: tuple[str | None, ...] | None = None
    why = ""
    for attempt in range(5):
        if attempt:
            plan.stage(f"reading again ({why})")
        windowed = plan.window is not None
        binning = span is not None and (not windowed or origin is not None)
        room = None
        if binning and fields is not None:
            room = plan.before_binning(last, fields)
        acc: Accumulator | None = None
        stream.skip = _skip(stream, origin, plan.window)
        for chunk in stream:
            if acc is None:
                fields = plan.fields_of(chunk.dtype)
                if binning and room is None:
                    room = plan.before_binning(last, fields)
                window = (origin, *plan.window) if windowed and origin is not None else None
                acc = plan.setup(fields, window=window, span=span if binning else None,
                                 room=room, previous=last)
                if stream.skip is not None:
                    acc.add_skipped(stream.skip.count, stream.skip.t_lo, stream.skip.t_hi)
            if len(chunk):
                acc.add(chunk)
        if acc is None:
            return None, fields
        counts = acc.finish()
        if counts.t_lo is None:
            return counts, fields  # no event with a time
        if windowed and (origin is None or counts.t_lo != origin):
            origin, span, last = counts.t_lo, None, None  # select again from the real start
            why = "the window counts from the earliest event, found now"
            continue
        if counts.s_lo is None:
            return counts, fields  # nothing selected
        observed = (counts.s_lo, counts.s_hi)
        if binning and observed == span:
            return counts, fields
        why = "to bin over the time span found" if not binning else \
            "the time span was not the one the file's first and last events gave"
        span, last = observed, counts
    raise PageError(f"{stream.source.path}: the file changed while it was read")
