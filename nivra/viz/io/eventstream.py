"""Event Stream recordings (.es, version 2): DVS and ATIS cameras.

The header is the signature 'Event Stream', three version bytes (major, minor, patch),
a type byte (0 generic, 1 DVS, 2 ATIS, 4 colour) and, for camera types, the sensor
width and height as uint16 little-endian (20 bytes in all). Events follow, 5 bytes
each: a byte with the time since the event before (7 bits for DVS, 6 for ATIS) and the
polarity, then x and y as uint16 little-endian; bytes that cannot start an event add
time steps too long for that byte (see viz/kernels/eventstream.h). Times are
microseconds from the start of the recording and only grow.

ATIS exposure measurements (grey levels, not changes) are left out and counted;
generic and colour files are refused (neither has ON/OFF pixel events to draw).
Decoding runs in the C++ kernel, a block of the file at a time.
"""
from __future__ import annotations

import struct
from pathlib import Path
from typing import Any, Iterator

import numpy as np

from ._base import CHUNK_EVENTS, Source, concat

MAGIC = b"Event Stream"
HEADER_BYTES = 20
EVENT_BYTES = 5
DTYPE = np.dtype([("t", "<i8"), ("x", "<u2"), ("y", "<u2"), ("p", "u1")])
TYPES = {0: "generic", 1: "DVS", 2: "ATIS", 4: "colour"}
EXPOSURES = "ATIS exposure measurements (grey levels)"

# Bytes read from the file at a time (the events of a block are decoded in one call).
BLOCK_BYTES = 1 << 22

# Where decoding resumes: (byte offset, time so far, events before it).
Position = tuple[int, int, int]


class EventStreamSource(Source):
    format = "Event Stream"

    def __init__(self, path: Path) -> None:
        super().__init__(path)
        with open(path, "rb") as f:
            head = f.read(HEADER_BYTES)
        if not head.startswith(MAGIC):
            raise self.fail("not an Event Stream file: it does not begin with the signature "
                            "'Event Stream'")
        if len(head) < len(MAGIC) + 4:
            raise self.fail(f"the header ends after {len(head)} bytes (it has {HEADER_BYTES})")
        major, minor, patch, kind = head[12:16]
        version = f"{major}.{minor}.{patch}"
        if major != 2:
            raise self.fail(f"version {version} files are not read (version 2 files are)")
        name = TYPES.get(kind)
        if name is None:
            raise self.fail(f"unknown event type {kind} in the header (0 generic, 1 DVS, "
                            f"2 ATIS, 4 colour)")
        self.format = f"Event Stream {major}.{minor} {name}"
        if name == "generic":
            raise self.fail("generic events (bytes of no fixed meaning, no pixels) are not "
                            "read; DVS and ATIS files are")
        if name == "colour":
            raise self.fail("colour events are not read; DVS and ATIS files are")
        if len(head) < HEADER_BYTES:
            raise self.fail(f"the header ends after {len(head)} bytes, inside the sensor "
                            f"size (it has {HEADER_BYTES})")
        width, height = struct.unpack_from("<HH", head, 16)
        if not width or not height:
            raise self.fail(f"the header gives a {width} x {height} sensor")
        self.kind = kind
        self.sensor_size = (width, height)
        self.file_size = path.stat().st_size
        self._span: tuple[int, int] | None | bool = False  # False: not looked for yet

    def decoded_bytes(self) -> int:
        return (self.file_size - HEADER_BYTES) // EVENT_BYTES * DTYPE.itemsize

    def chunks(self, size: int = CHUNK_EVENTS) -> Iterator[np.ndarray]:
        return (chunk for _, chunk in self.scan(size))

    def chunks_reusing(self, size: int = CHUNK_EVENTS, keep: int = 2) -> Iterator[np.ndarray]:
        ring: list[np.ndarray] = []
        turn = 0

        def buffer(room: int) -> np.ndarray:
            nonlocal turn
            if len(ring) <= keep:
                ring.append(np.empty(room, DTYPE))
            out = ring[turn % len(ring)]
            turn += 1
            return out

        return (chunk for _, chunk in self._decode((HEADER_BYTES, 0, 0), size, buffer))

    def scan(self, size: int = CHUNK_EVENTS) -> Iterator[tuple[Position, np.ndarray]]:
        return self._decode((HEADER_BYTES, 0, 0), size, None)

    def chunks_from(self, position: Any, size: int = CHUNK_EVENTS) -> Iterator[np.ndarray]:
        return (chunk for _, chunk in self._decode(tuple(position), size, None))

    def read(self) -> np.ndarray:
        # One buffer with room for every event the file can hold: no joining of chunks.
        parts = list(self.chunks(max(1, self.file_size // EVENT_BYTES)))
        if not parts:
            why = "; ".join(self.warnings + [f"{n:,} {what} left out"
                                             for what, n in self.skipped.items()])
            raise self.fail("no events could be decoded" + (f" ({why})" if why else ""))
        events = concat(parts, self.fail)
        if events.base is not None and len(events) < 0.75 * len(events.base):
            events = events.copy()  # much of the room went to overflow bytes or exposures
        return events

    def window(self, lo: float | None, hi: float | None) -> tuple[np.ndarray, int | None]:
        # Times only grow: the window is a stretch of each chunk, and the first chunk
        # that reaches past it ends the read (what follows is not counted).
        kept, left_out = [], 0
        for chunk in self.chunks():
            t = chunk["t"]
            a = 0 if lo is None else int(np.searchsorted(t, lo, "left"))
            b = len(t) if hi is None else int(np.searchsorted(t, hi, "left"))
            kept.append(chunk[a:b])
            left_out += a + len(t) - b
            if b < len(t):
                return concat(kept, self.fail), None
        return concat(kept, self.fail), left_out

    def time_span(self) -> tuple[int, int] | None:
        # The first event's time and the last one's from one pass over the bytes that
        # adds up time steps and writes no events (far cheaper than decoding them).
        if self._span is False:
            self._span = self._times()
        return self._span or None

    def _times(self) -> tuple[int, int] | None:
        from nivra.viz.spikes import _decode_event_stream

        first = np.empty(1, DTYPE)
        found, last, t = False, 0, 0
        width, height = self.sensor_size
        with open(self.path, "rb") as f:
            f.seek(HEADER_BYTES)
            rest = b""
            while block := f.read(BLOCK_BYTES):
                data = rest + block if rest else block
                if not found:
                    stop, _, got, _, _, _ = _decode_event_stream(data, first, self.kind, width,
                                                                  height, t)
                    found = got > 0
                stop, used, got, _, t, end = _decode_event_stream(data, None, self.kind, width,
                                                                  height, t)
                if got:
                    last = end
                if stop == "outside":
                    break
                rest = data[used:]
        return (int(first["t"][0]), last) if found else None

    def _decode(self, start: Position, size: int, buffer: Any) -> Iterator[tuple[Position, np.ndarray]]:
        """(position, chunk) for the chunks of up to ``size`` events from ``start``, each
        chunk a new array, or one that ``buffer(room)`` hands out."""
        from nivra.viz.spikes import _decode_event_stream

        self.skipped, self.warnings = {}, []
        offset, t, read = (int(v) for v in start)
        room = max(1, min(size, (self.file_size - offset) // EVENT_BYTES))
        width, height = self.sensor_size
        block = np.empty(BLOCK_BYTES + EVENT_BYTES, np.uint8)
        exposures = 0

        def fresh() -> np.ndarray:
            return buffer(room) if buffer is not None else np.empty(room, DTYPE)

        out, filled, at = fresh(), 0, (offset, t, read)
        have = 0  # bytes carried over at the front of the block: the start of an event
        with open(self.path, "rb") as f:
            f.seek(offset)
            while True:
                n = f.readinto(memoryview(block)[have:])
                end, pos = have + n, 0
                while True:
                    stop, used, got, skipped, t, _ = _decode_event_stream(
                        block[pos:end], out[filled:], self.kind, width, height, t)
                    pos, filled, read, exposures = pos + used, filled + got, read + got, \
                        exposures + skipped
                    if stop != "full":
                        break
                    yield at, out
                    out, filled, at = fresh(), 0, (offset + pos, t, read)
                if stop == "outside":
                    x, y = struct.unpack_from("<HH", block, pos + 1)
                    self.warnings.append(
                        f"the event at byte {offset + pos:,} lies at x {x}, y {y}, outside the "
                        f"{width} x {height} sensor (damaged data); the {read:,} events before "
                        f"it are read")
                    break
                if n == 0:
                    if end > pos:
                        self.warnings.append(
                            f"the file ends inside an event: {end - pos} of its {EVENT_BYTES} "
                            f"bytes at byte {offset + pos:,}; the {read:,} events before it are "
                            f"read")
                    break
                have = end - pos
                block[:have] = block[pos:end]
                offset += pos
        if exposures:
            self.skipped[EXPOSURES] = exposures
        if filled:
            yield at, out[:filled]
