"""AEDAT 2.0 recordings (jAER; CIFAR10-DVS, v2e and other simulators write them too).

A text header of '#' lines starting '#!AER-DAT2.0', then 8 bytes an event, big-endian:
int32 address, int32 timestamp (microseconds). The address layout belongs to the sensor,
which jAER names in a '# AEChip:' line:

    DVS128   bit 0 polarity, bits 1-7 x, bits 8-14 y; higher bits mark special events
    DAVIS    bits 22-30 y, bits 12-21 x, bit 11 polarity; bit 31 marks an APS (frame) or
             IMU sample and bit 10 a special event (external input): neither is a pixel event

A file that names no chip (MATLAB's and simulators' writers often do not) is read with the
DVS128 layout, with a warning; a chip whose layout this reader does not know is refused.
Timestamps are signed 32-bit and wrap after 2^31 us (36 minutes); wraps are unwrapped.
"""
from __future__ import annotations

from pathlib import Path
from typing import Iterator

import numpy as np

from . import aedat_header as header
from ._base import CHUNK_EVENTS, Source
from ._counters import unwrap

RECORD = np.dtype([("a", ">u4"), ("t", ">i4")])
DTYPE = np.dtype([("t", "<i8"), ("x", "<i2"), ("y", "<i2"), ("p", "u1")])

SPECIAL_DVS128 = "special events (address bits 15-31)"
APS_IMU = "APS/IMU samples (address bit 31)"
SPECIAL_DAVIS = "special events (address bit 10)"


class Aedat2Source(Source):
    format = "AEDAT 2.0"

    def __init__(self, path: Path) -> None:
        super().__init__(path)
        lines, self.offset = header.read_header(path)
        size = path.stat().st_size
        self.count, self.rest = divmod(size - self.offset, RECORD.itemsize)
        name = header.field(lines, "AEChip")
        self.notes: list[str] = []
        if name is None:
            self.chip = header.chip("DVS128")
            self.notes.append("the header names no sensor ('# AEChip:' line); the addresses "
                              "are read with the DVS128 layout (128 x 128)")
        else:
            self.chip = header.chip(name)
            if self.chip is None or self.chip.layout is None:
                raise self.fail(f"the sensor '{header.shown(name)}' has an address layout "
                                f"this reader does not know (it reads {header.KNOWN_CHIPS})")
        assert self.chip is not None
        self.format = f"AEDAT 2.0 ({self.chip.name})"
        self.sensor_size = self.chip.size
        self.warnings = list(self.notes)

    def decoded_bytes(self) -> int:
        return self.count * DTYPE.itemsize

    def chunks(self, size: int = CHUNK_EVENTS) -> Iterator[np.ndarray]:
        self.skipped, self.warnings = {}, list(self.notes)
        if self.rest:
            self.warnings.append(
                f"the file ends inside an event record: {self.rest} of its 8 bytes at byte "
                f"{self.offset + self.count * RECORD.itemsize:,}; the {self.count:,} events "
                f"before it are read")
        last, wraps = None, 0
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            for i in range(0, self.count, size):
                want = min(size, self.count - i)
                records = np.fromfile(f, RECORD, want)
                if not len(records):
                    break
                t = records["t"].astype(np.int64)
                last, wraps = unwrap(t, 32, last, wraps)
                events = self._decode(records["a"], t)
                if len(events):
                    yield events
                if len(records) < want:
                    self.warnings.append(f"the file ended at byte {f.tell():,} while being "
                                         f"read; the events before it are read")
                    return

    def _decode(self, address: np.ndarray, t: np.ndarray) -> np.ndarray:
        assert self.chip is not None
        if self.chip.layout == "dvs128":
            pixel = address >> 15 == 0
            self._count(SPECIAL_DVS128, len(address) - int(np.count_nonzero(pixel)))
            a, t = address[pixel], t[pixel]
            out = np.empty(len(a), DTYPE)
            out["x"] = (a >> 1) & 0x7F
            out["y"] = (a >> 8) & 0x7F
            out["p"] = a & 1
        else:
            aps = (address >> 31).astype(bool)
            special = ~aps & ((address >> 10) & 1).astype(bool)
            self._count(APS_IMU, int(np.count_nonzero(aps)))
            self._count(SPECIAL_DAVIS, int(np.count_nonzero(special)))
            pixel = ~(aps | special)
            a, t = address[pixel], t[pixel]
            out = np.empty(len(a), DTYPE)
            out["x"] = (a >> 12) & 0x3FF
            y = ((a >> 22) & 0x1FF).astype(np.int32)
            # jAER counts DAVIS rows from the bottom; the page draws row 0 at the top, so
            # the rows are turned over to show the picture upright.
            assert self.chip.size is not None  # every DAVIS in the table has its size
            out["y"] = self.chip.size[1] - 1 - y
            out["p"] = (a >> 11) & 1
        out["t"] = t
        return out

    def _count(self, reason: str, n: int) -> None:
        if n:
            self.skipped[reason] = self.skipped.get(reason, 0) + n
