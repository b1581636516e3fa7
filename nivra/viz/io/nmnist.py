"""N-MNIST and N-Caltech101 recordings (.bin): no header, one event every 5 bytes.

    byte 0  x             byte 1  y
    byte 2  bit 7: polarity (1 = ON); bits 6-0: timestamp bits 22-16
    byte 3  timestamp bits 15-8       byte 4  timestamp bits 7-0   (microseconds)

The 23-bit timestamp wraps every 2^23 us (8.4 s): a step back of more than half that range
is taken as a wrap, so long recordings keep counting up. N-MNIST digits are 34 x 34 pixels;
a file whose coordinates all fit is given that sensor, others (N-Caltech101's images vary in
size) are sized from their coordinates.
"""
from __future__ import annotations

from pathlib import Path
from typing import Iterator

import numpy as np

from ._base import CHUNK_EVENTS, Source
from ._counters import unwrap

RECORD = 5
TIME_BITS = 23
NMNIST_SIDE = 34
DTYPE = np.dtype([("t", "<i8"), ("x", "<u2"), ("y", "<u2"), ("p", "u1")])

# Files up to this size are decoded whole on opening (N-MNIST digits are a few kB,
# N-Caltech101 images under a MB), which tells whether they fit the N-MNIST sensor.
_WHOLE_BYTES = 1 << 24
# The first records, checked on opening: a file of this format goes back in time rarely
# (its wraps), a foreign file about every other record.
_PROBE_RECORDS = 1 << 16
_MAX_BACK_FRACTION = 0.01


def decode(records: np.ndarray, last: int = 0, wraps: int = 0) -> tuple[np.ndarray, int, int]:
    """Events from an (n, 5) uint8 array of records, continuing after a chunk whose last
    raw timestamp was ``last`` and which had counted ``wraps``; also the two for the next."""
    n = len(records)
    if not n:
        return np.zeros(0, DTYPE), last, wraps
    records = np.ascontiguousarray(records)
    # Bytes 1-4 of each record read as one big-endian word: y, then polarity and the stamp.
    word = np.ndarray((n,), ">u4", records, offset=1, strides=(RECORD,))
    events = np.empty(n, DTYPE)
    t = events["t"]
    np.bitwise_and(word, (1 << TIME_BITS) - 1, out=t, casting="unsafe")
    last, wraps = unwrap(t, TIME_BITS, last, wraps)
    events["x"] = records[:, 0]
    events["y"] = records[:, 1]
    events["p"] = records[:, 2] >> 7
    return events, last, wraps


class NMnistSource(Source):
    format = "N-MNIST/N-Caltech101 .bin"

    def __init__(self, path: Path) -> None:
        super().__init__(path)
        self.size = path.stat().st_size
        self.count, self.rest = divmod(self.size, RECORD)
        if self.count == 0:
            raise self.fail(f"the file holds no whole {RECORD}-byte event record "
                            f"({self.size} bytes)")
        self._events: np.ndarray | None = None
        with open(path, "rb") as f:
            head = np.fromfile(f, np.uint8, min(self.count, _PROBE_RECORDS) * RECORD)
        stamp = decode(head.reshape(-1, RECORD))[0]["t"] % (1 << TIME_BITS)  # wraps count too
        back = int(np.count_nonzero(np.diff(stamp) < 0))
        if back > max(2, _MAX_BACK_FRACTION * len(stamp)):
            raise self.fail(f"not an N-MNIST/N-Caltech101 event file: its timestamps go back "
                            f"{back:,} times in the first {len(stamp):,} records (the format "
                            f"has no header, so it is told by the name .bin)")
        if self.size <= _WHOLE_BYTES:
            self._events = self.read()
            if self._events["x"].max() < NMNIST_SIDE and self._events["y"].max() < NMNIST_SIDE:
                self.format = "N-MNIST .bin"
                self.sensor_size = (NMNIST_SIDE, NMNIST_SIDE)
            else:
                self.format = "N-Caltech101 .bin"

    def decoded_bytes(self) -> int:
        return self.count * DTYPE.itemsize

    def chunks(self, size: int = CHUNK_EVENTS) -> Iterator[np.ndarray]:
        self.warnings = []
        if self.rest:
            self.warnings.append(
                f"the file ends inside an event record: {self.rest} of its {RECORD} bytes at "
                f"byte {self.count * RECORD:,}; the {self.count:,} events before it are read")
        if self._events is not None:
            for i in range(0, self.count, size):
                yield self._events[i:i + size]
            return
        last = wraps = 0
        with open(self.path, "rb") as f:
            for i in range(0, self.count, size):
                records = np.fromfile(f, np.uint8, min(size, self.count - i) * RECORD)
                if len(records) % RECORD:  # the file shrank while being read
                    records = records[:len(records) - len(records) % RECORD]
                events, last, wraps = decode(records.reshape(-1, RECORD), last, wraps)
                if len(events):
                    yield events
                if len(records) < min(size, self.count - i) * RECORD:
                    self.warnings.append(f"the file ended at byte {f.tell():,} while being "
                                         f"read; the events before it are read")
                    return
