"""iniVation AEDAT4 files, decoded by the aedat package.

The first event stream is read; its width and height are the sensor size. aedat is
written in Rust: a damaged file can make it panic, which may abort the process or leave
it killed by a signal, so every call into it runs in a child process (``_isolated``) and
any such end becomes one line naming the file.
"""
from __future__ import annotations

import os
import struct
from pathlib import Path
from typing import Any, Iterator

import numpy as np

from ._base import CHUNK_EVENTS, Source, escaped, require
from ._isolated import ChildFailed, isolated

MAGIC = b"#!AER-DAT4.0"
# The version line, then the byte length of the header that follows it.
_HEAD = len(MAGIC) + 2 + 4
# Events the child gathers before sending them (fewer, larger messages).
_BATCH_EVENTS = 1 << 18


def _streams(path: str) -> Iterator[dict[int, dict[str, Any]]]:
    import aedat
    yield aedat.Decoder(path).id_to_stream()


def _stream_events(path: str, stream_id: int) -> Iterator[np.ndarray]:
    import aedat
    pending: list[np.ndarray] = []
    count = 0
    for packet in aedat.Decoder(path):
        if packet.get("stream_id") == stream_id and "events" in packet:
            pending.append(packet["events"])
            count += len(pending[-1])
            if count >= _BATCH_EVENTS:
                yield np.concatenate(pending)
                pending, count = [], 0
    if pending:
        yield np.concatenate(pending)


def _data_table_position(header: bytes) -> int | None:
    """The data table's byte offset that the file header (a FlatBuffers IOHeader table:
    compression, dataTablePosition, infoNode) records, or None."""
    try:
        table = struct.unpack_from("<I", header, 0)[0]
        vtable = table - struct.unpack_from("<i", header, table)[0]
        vt_size = struct.unpack_from("<H", header, vtable)[0]
        if vt_size < 8:
            return None
        field = struct.unpack_from("<H", header, vtable + 6)[0]
        return int(struct.unpack_from("<q", header, table + field)[0]) if field else None
    except struct.error:
        return None


def _packets_beyond_table(path: Path, stream_ids: set[int], wanted: int) -> tuple[int, int]:
    """Packets of stream ``wanted`` that follow the position where the header says the
    data table starts (the decoder stops there), and where the first of them starts."""
    with open(path, "rb") as f:
        f.seek(_HEAD - 4)
        (length,) = struct.unpack("<I", f.read(4))
        table_at = _data_table_position(f.read(length))
        size = os.fstat(f.fileno()).st_size
        if table_at is None or not _HEAD + length <= table_at < size:
            return 0, 0
        at, found = table_at, 0
        while at + 8 <= size:
            f.seek(at)
            sid, n = struct.unpack("<iI", f.read(8))
            if sid not in stream_ids or at + 8 + n > size:
                break  # the data table itself, or what is not a packet
            found += sid == wanted
            at += 8 + n
        return found, table_at


class Aedat4Source(Source):
    format = "AEDAT4"

    def __init__(self, path: Path) -> None:
        super().__init__(path)
        require("aedat", "formats", path, "AEDAT4")
        self._check_header()
        streams = (list(self._isolated(_streams)) or [{}])[0]
        events = [(sid, s) for sid, s in sorted(streams.items()) if s.get("type") == "events"]
        if not events:
            raise self.fail("the file has no event stream")
        self.stream_id, info = events[0]
        w, h = info.get("width"), info.get("height")
        self.sensor_size = (int(w), int(h)) if w and h else None
        self._beyond_table = _packets_beyond_table(self.path, set(streams), self.stream_id)

    def _check_header(self) -> None:
        """Refuse a file too short for the header it starts to declare."""
        size = self.path.stat().st_size
        with open(self.path, "rb") as f:
            head = f.read(_HEAD)
        if len(head) < _HEAD:
            raise self.fail(f"the file is too short to hold a header ({size:,} bytes)")
        (length,) = struct.unpack_from("<I", head, _HEAD - 4)
        if _HEAD + length > size:
            raise self.fail(f"the file ends inside its header ({size:,} bytes, the header "
                            f"declares {_HEAD + length:,})")

    def _isolated(self, target: Any, *args: Any) -> Iterator[Any]:
        items = isolated(target, str(self.path), *args)
        try:
            yield from items
        except ChildFailed as exc:
            raise self.fail(f"damaged file ({escaped(str(exc), 120)})") from None
        finally:
            items.close()

    def decoded_bytes(self) -> int:
        return self.path.stat().st_size * 4  # LZ4/zstd-compressed 13-byte events

    def chunks(self, size: int = CHUNK_EVENTS) -> Iterator[np.ndarray]:
        yield from self._batches(size)
        packets, at = self._beyond_table
        note = (f"the decoder stops at byte {at:,}, where the header says the data table "
                f"starts; {packets:,} event packet{'s' if packets > 1 else ''} after it "
                f"left out")
        if packets and note not in self.warnings:
            self.warnings.append(note)

    def _batches(self, size: int) -> Iterator[np.ndarray]:
        pending: list[np.ndarray] = []
        count = 0
        for events in self._isolated(_stream_events, self.stream_id):
            pending.append(events)
            count += len(events)
            if count >= size:
                yield np.concatenate(pending)
                pending, count = [], 0
        if pending:
            yield np.concatenate(pending)
