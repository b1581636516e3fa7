"""Recordings stored as a stream of words that a compiled decoder reads (Prophesee EVT
and DAT): the file read in blocks into reused buffers, decoded chunk by chunk, with
positions (the decoder's state at a word boundary) to resume from."""
from __future__ import annotations

from pathlib import Path
from typing import Any, Callable, Iterator

import numpy as np

from ._base import CHUNK_EVENTS, Skip, Source, concat

# The records the decoder writes (t, x, y, p at 0, 8, 10, 12 of 16 bytes).
EVENT_DTYPE = np.dtype({"names": ["t", "x", "y", "p"], "formats": ["<i8", "<i2", "<i2", "u1"],
                        "offsets": [0, 8, 10, 12], "itemsize": 16})

# The decoder's state: int64 slots, in the order the decoder keeps them.
SLOTS = ("encoding", "offset", "time_high", "time_base", "time", "wraps", "seen_high", "y",
         "base_x", "polarity", "events", "triggers", "others", "continuations", "unknown",
         "t_min", "t_max", "stop_on", "stop_at")
_SLOT = {name: i for i, name in enumerate(SLOTS)}

# What the skipped-word counts are called in the summary ("12 trigger events not drawn").
SKIPPED = (("triggers", "trigger events"), ("others", "vendor 'others' words"),
           ("continuations", "continuation words"), ("unknown", "padding or unknown words"))

# Bytes read from the file at a time.
BLOCK_BYTES = 8 << 20

_FULL, _DAMAGED, _REACHED = 1, 2, 3


def new_state(encoding: int) -> np.ndarray:
    state = np.zeros(len(SLOTS), np.int64)
    state[0] = encoding
    return state


def slot(state: np.ndarray, name: str) -> int:
    return int(state[_SLOT[name]])


def _decoder() -> Callable[..., tuple[int, int, int]]:
    from nivra.viz import spikes
    return spikes._evt_decode


class ByteStreamSource(Source):
    """A file whose events are words after a header of ``data_start`` bytes, in the
    decoder's ``encoding`` (subclasses set both, and ``word_bytes``).

    Positions (``scan``/``chunks_from``) are copies of the decoder's state; warnings
    and skipped-word counts describe the last pass that reached the end."""
    encoding = 0
    word_bytes = 1
    data_start = 0
    damage_hint = "a word that cannot be right"

    def __init__(self, path: Path) -> None:
        super().__init__(path)
        self._span: tuple[int, int] | None | str = "unknown"
        self._skips: dict[int, Skip] = {}

    # -- passes over the words ------------------------------------------------------

    def _pass(self, state: np.ndarray, outs: list[Any] | None,
              size: int) -> Iterator[tuple[np.ndarray, np.ndarray]]:
        """(position, chunk) from ``state`` to the end; chunks fill the buffers of
        ``outs`` in turn (None: fresh arrays; outs of no length: the scan, no chunks)."""
        decode = _decoder()
        scan = outs is not None and not outs
        size = max(int(size), 32)
        left = self.path.stat().st_size - self.data_start - slot(state, "offset")
        buf = bytearray(max(min(BLOCK_BYTES, left + 16), 64))
        view = memoryview(buf)
        have = pos = 0
        eof = False
        turn = 0
        out = None if scan else self._next_out(outs, turn, size)
        filled = 0
        chunk_state = state.copy()
        with open(self.path, "rb", buffering=0) as f:
            f.seek(self.data_start + slot(state, "offset"))
            while True:
                if not eof and have - pos < self.word_bytes:
                    rest = have - pos  # a partial word goes to the front
                    if rest:
                        view[:rest] = view[pos:have]
                    have, pos = rest, 0
                    n = f.readinto(view[have:]) or 0
                    eof = n == 0
                    have += n
                target = None if out is None else out[filled:]
                written, consumed, status = decode(view[pos:have], state, target)
                pos += consumed
                filled += written
                if out is not None and (status == _FULL or len(out) - filled < 32):
                    yield chunk_state, out[:filled]
                    turn += 1
                    out, filled = self._next_out(outs, turn, size), 0
                    chunk_state = state.copy()
                    continue
                if status == _DAMAGED:
                    self._stopped(state, self.damage_hint)
                    break
                if status == _REACHED:
                    return
                if eof and have - pos < self.word_bytes:
                    if have > pos:
                        self._stopped(state, f"the file ends inside a {self.word_bytes}-byte word")
                    break
        if out is not None and filled:
            yield chunk_state, out[:filled]
        self._finished(state)

    def _next_out(self, outs: list[Any] | None, turn: int, size: int) -> np.ndarray:
        if outs is None:
            return np.empty(size, EVENT_DTYPE)
        k = turn % len(outs)
        if outs[k] is None:
            outs[k] = np.empty(size, EVENT_DTYPE)
        return outs[k]

    def _stopped(self, state: np.ndarray, why: str) -> None:
        self.warnings.append(f"decoding stopped at byte {self.data_start + slot(state, 'offset'):,} "
                             f"({why}); {slot(state, 'events'):,} events read before it")

    def _finished(self, state: np.ndarray) -> None:
        self.skipped = {label: slot(state, key) for key, label in SKIPPED if slot(state, key)}
        self.check_decoded(state)

    def check_decoded(self, state: np.ndarray) -> None:
        """Called after a pass over the whole file; subclasses refuse what the words say
        is not their encoding."""

    def _start(self, position: Any = None) -> np.ndarray:
        self.warnings = []
        return new_state(self.encoding) if position is None else np.array(position, np.int64)

    # -- the Source interface ---------------------------------------------------------

    def chunks(self, size: int = CHUNK_EVENTS) -> Iterator[np.ndarray]:
        return self.chunks_from(None, size)

    def chunks_reusing(self, size: int = CHUNK_EVENTS, keep: int = 2) -> Iterator[np.ndarray]:
        outs: list[Any] = [None] * (keep + 1)
        for _, chunk in self._pass(self._start(), outs, size):
            yield chunk

    def scan(self, size: int = CHUNK_EVENTS) -> Iterator[tuple[Any, np.ndarray]]:
        yield from self._pass(self._start(), None, size)

    def chunks_from(self, position: Any, size: int = CHUNK_EVENTS) -> Iterator[np.ndarray]:
        for _, chunk in self._pass(self._start(position), None, size):
            yield chunk.copy() if len(chunk) < size // 2 else chunk

    def read(self) -> np.ndarray:
        """Every event, decoded into one array sized by a scan of the words first (fresh
        memory costs more to fault in than the scan does to count)."""
        n = self._count()
        if n:
            whole = np.empty(n + 32, EVENT_DTYPE)
            parts = [chunk for _, chunk in self._pass(self._start(), [whole], n + 32)]
            if len(parts) == 1 and len(parts[0]) == n:
                return parts[0]
            parts = [c for c in self.chunks() if len(c)]  # the file changed: as it is now
            if parts:
                return concat(parts, self.fail)
        why = f" ({self.warnings[0]})" if self.warnings else ""
        raise self.fail(f"no events could be decoded{why}")

    def _count(self) -> int:
        """The events of the file, from a scan of the words (which also finds the span)."""
        state = self._start()
        for _ in self._pass(state, [], 0):
            pass
        n = slot(state, "events")
        self._span = (slot(state, "t_min"), slot(state, "t_max")) if n else None
        return n

    def first_time(self) -> Any:
        for chunk in self.chunks(1 << 12):
            if len(chunk):
                return chunk["t"][0]
        return None

    def time_span(self) -> tuple[Any, Any] | None:
        """The exact smallest and largest event time, from a scan of the words that
        counts events without building them (cached)."""
        if self._span == "unknown":
            self._count()
        return self._span  # type: ignore[return-value]

    def skip_before(self, lo: Any) -> Skip | None:
        """Scans the words up to the first event at ``lo`` or later without building
        the events before it."""
        if not isinstance(lo, (int, np.integer)):
            return None
        if int(lo) in self._skips:
            return self._skips[int(lo)]
        state = self._start()
        state[_SLOT["stop_on"]], state[_SLOT["stop_at"]] = 1, int(lo)
        for _ in self._pass(state, [], 0):
            pass
        state[_SLOT["stop_on"]] = 0
        n = slot(state, "events")
        position = state.copy()

        def chunks(size: int, keep: int) -> Iterator[np.ndarray]:
            outs: list[Any] = [None] * (keep + 1)
            empty = True
            for _, chunk in self._pass(self._start(position), outs, size):
                empty = False
                yield chunk
            if empty:  # the pass still sees the records' layout
                yield np.zeros(0, EVENT_DTYPE)

        skip = Skip(n, slot(state, "t_min") if n else None, slot(state, "t_max") if n else None,
                    chunks)
        self._skips[int(lo)] = skip
        return skip
