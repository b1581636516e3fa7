"""iniVation AEDAT4 files, decoded by the aedat package.

The first event stream is read; its width and height are the sensor size. aedat is
written in Rust: a damaged file can make it panic (an exception that is not an
Exception) after the panic hook has written to the process's stderr, so calls into it
run with stderr set aside and every failure becomes one line.
"""
from __future__ import annotations

from pathlib import Path
from typing import Any, Iterator

import numpy as np

from ._base import CHUNK_EVENTS, Source, quiet_stderr, require

MAGIC = b"#!AER-DAT4.0"


def _is_panic(exc: BaseException) -> bool:
    return type(exc).__name__ == "PanicException"


class Aedat4Source(Source):
    format = "AEDAT4"

    def __init__(self, path: Path) -> None:
        super().__init__(path)
        self.aedat = require("aedat", "formats", path, "AEDAT4")
        decoder = self._decoder()
        streams = self._call(decoder.id_to_stream)
        events = [(sid, s) for sid, s in sorted(streams.items()) if s.get("type") == "events"]
        if not events:
            raise self.fail("the file has no event stream")
        self.stream_id, info = events[0]
        w, h = info.get("width"), info.get("height")
        self.sensor_size = (int(w), int(h)) if w and h else None

    def _call(self, fn: Any, *args: Any) -> Any:
        try:
            with quiet_stderr():
                return fn(*args)
        except StopIteration:
            raise
        except BaseException as exc:  # aedat's panics are BaseExceptions
            if isinstance(exc, (KeyboardInterrupt, SystemExit, MemoryError)):
                raise
            detail = str(exc).splitlines()[0][:120] if str(exc) else type(exc).__name__
            what = "damaged file" if _is_panic(exc) or isinstance(exc, Exception) else "error"
            raise self.fail(f"{what} ({detail})") from None

    def _decoder(self) -> Any:
        return self._call(self.aedat.Decoder, str(self.path))

    def _packets(self) -> Iterator[np.ndarray]:
        decoder = self._decoder()
        it = iter(decoder)
        while True:
            try:
                packet = self._call(next, it)
            except StopIteration:
                return
            if packet.get("stream_id") == self.stream_id and "events" in packet:
                yield packet["events"]

    def decoded_bytes(self) -> int:
        return self.path.stat().st_size * 4  # LZ4/zstd-compressed 13-byte events

    def chunks(self, size: int = CHUNK_EVENTS) -> Iterator[np.ndarray]:
        pending: list[np.ndarray] = []
        count = 0
        for events in self._packets():
            pending.append(events)
            count += len(events)
            if count >= size:
                yield np.concatenate(pending)
                pending, count = [], 0
        if pending:
            yield np.concatenate(pending)
