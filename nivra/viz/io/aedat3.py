"""AEDAT 3.1 recordings (cAER, DV's predecessor; DVS128 Gesture and DAVIS recordings).

A text header of '#' lines from '#!AER-DAT3.1' to '#!END-HEADER', then packets. Each
packet has a 28-byte little-endian header

    int16 type, int16 source, int32 event size, int32 timestamp offset,
    int32 timestamp overflow, int32 capacity, int32 number, int32 valid

followed by number x size bytes of events. Polarity packets (type 1) hold 8-byte events:
uint32 data (bit 0 valid, bit 1 polarity, bits 2-16 y, bits 17-31 x) and an int32
timestamp; the full time is overflow << 31 | timestamp (microseconds). Packets of other
types (frames, IMU samples, triggers, ...) share the file: they are skipped and counted,
and so are events whose valid bit is 0. The sensor size comes from the header where it
says (sizeX / sizeY values, or the camera named on the '#Source' line).
"""
from __future__ import annotations

import struct
from pathlib import Path
from typing import Iterator

import numpy as np

from . import aedat_header as header
from ._base import CHUNK_EVENTS, Source

PACKET = struct.Struct("<hhiiiiii")
POLARITY = 1
EVENT = np.dtype([("data", "<u4"), ("t", "<i4")])
DTYPE = np.dtype([("t", "<i8"), ("x", "<i2"), ("y", "<i2"), ("p", "u1")])
# The biggest event there is, a frame of a 640 x 480 camera with 3 colour channels,
# with room to spare; a larger size is a damaged header.
_MAX_EVENT_SIZE = 1 << 24
_MAX_CUT_PACKET = 1 << 26

_TYPES = {0: "special events (triggers, timestamp resets)", 2: "frame events (APS)",
          3: "IMU6 events", 4: "IMU9 events", 5: "sample events", 6: "ear events",
          7: "configuration events", 8: "point1D events", 9: "point2D events",
          10: "point3D events", 11: "point4D events", 12: "spike events"}
INVALID = "invalid polarity events (valid bit 0)"


def type_name(kind: int) -> str:
    return _TYPES.get(kind, f"events of type {kind}")


class Aedat3Source(Source):
    format = "AEDAT 3.1"

    def __init__(self, path: Path, version: str = "3.1") -> None:
        super().__init__(path)
        self.format = f"AEDAT {version}"
        lines, self.offset = header.read_header(path)
        if not lines or not lines[-1].startswith("!END-HEADER"):
            raise self.fail("the text header has no '#!END-HEADER' line")
        encoding = header.field(lines, "Format")
        if encoding is not None and encoding.split()[0].upper() != "RAW":
            raise self.fail(f"the event format '{header.shown(encoding)}' is not read "
                            f"(RAW is)")
        self.file_size = path.stat().st_size
        self.sensor_size = header.stated_size(lines)
        camera = header.source_camera(lines)
        if camera is not None:
            found = header.chip(camera)
            if found is not None:
                self.format = f"AEDAT {version} ({found.name})"
                if self.sensor_size is None:
                    self.sensor_size = found.size

    def decoded_bytes(self) -> int:
        return (self.file_size - self.offset) // 8 * DTYPE.itemsize

    def chunks(self, size: int = CHUNK_EVENTS) -> Iterator[np.ndarray]:
        self.skipped, self.warnings = {}, []
        pending: list[tuple[bytes, int]] = []
        count = 0
        for data, overflow in self._polarity_packets():
            pending.append((data, overflow))
            count += len(data) // EVENT.itemsize
            if count >= size:
                yield self._decode(pending)
                pending, count = [], 0
        if pending:
            yield self._decode(pending)

    def _polarity_packets(self) -> Iterator[tuple[bytes, int]]:
        """The whole events of each polarity packet as stored, with its overflow."""
        source = None
        self._read = 0
        with open(self.path, "rb") as f:
            pos = self.offset
            f.seek(pos)
            while True:
                head = f.read(PACKET.size)
                if not head:
                    return
                if len(head) < PACKET.size:
                    self._damage(f"the file ends inside a packet header at byte {pos:,}")
                    return
                kind, src, esize, ts_offset, overflow, _, number, valid = PACKET.unpack(head)
                if kind < 0 or not 0 < esize <= _MAX_EVENT_SIZE or number < 0 or \
                        not 0 <= valid <= number or not 0 <= ts_offset <= esize - 4 or \
                        (kind == POLARITY and (esize, ts_offset) != (8, 4)) or overflow < 0:
                    self._damage(f"a damaged packet header at byte {pos:,} (type {kind}, "
                                 f"event size {esize}, {number} events)")
                    return
                length = number * esize
                end = pos + PACKET.size + length
                if kind == POLARITY and source in (None, src):
                    source = src
                    if end > self.file_size and self.file_size - pos > _MAX_CUT_PACKET:
                        # A packet cut by the end of the file is a truncated file; one
                        # that would swallow more than any packet holds is damage.
                        self._damage(f"a damaged packet header at byte {pos:,} ({number:,} "
                                     f"polarity events, past the end of the file)")
                        return
                    data = f.read(length)
                    whole = len(data) // EVENT.itemsize
                    if whole:
                        self._read += whole
                        yield data[:whole * EVENT.itemsize] if whole < number else data, overflow
                    if whole < number:
                        self._damage(f"the file ends inside a packet of {number:,} polarity "
                                     f"events at byte {pos:,} ({whole:,} of them read)")
                        return
                else:
                    reason = type_name(kind) if kind != POLARITY else \
                        f"polarity events of source {src} (the first source is {source})"
                    self.skipped[reason] = self.skipped.get(reason, 0) + number
                    if end > self.file_size:
                        self._damage(f"the file ends inside a packet of {number:,} "
                                     f"{type_name(kind)} at byte {pos:,}")
                        return
                    f.seek(end)
                pos = end

    def _damage(self, where: str) -> None:
        self.warnings.append(f"{where}; the {self._read:,} events before it are read")

    def _decode(self, packets: list[tuple[bytes, int]]) -> np.ndarray:
        raw = np.frombuffer(b"".join(p for p, _ in packets), EVENT)
        epochs = {o for _, o in packets}
        overflow: np.ndarray | int = epochs.pop() if len(epochs) == 1 else np.repeat(
            np.array([o for _, o in packets], np.int64),
            [len(p) // EVENT.itemsize for p, _ in packets])
        data, stamp = raw["data"], raw["t"]
        valid = (data & 1).astype(bool)
        invalid = len(data) - int(np.count_nonzero(valid))
        if invalid:
            self.skipped[INVALID] = self.skipped.get(INVALID, 0) + invalid
            data, stamp = data[valid], stamp[valid]
            if isinstance(overflow, np.ndarray):
                overflow = overflow[valid]
        out = np.empty(len(data), DTYPE)
        t = out["t"]
        np.bitwise_and(stamp, 0x7FFFFFFF, out=t, casting="unsafe")
        if isinstance(overflow, np.ndarray) or overflow:
            t |= overflow << 31
        out["x"] = (data >> 17) & 0x7FFF
        out["y"] = (data >> 2) & 0x7FFF
        out["p"] = (data >> 1) & 1
        return out
