"""Prophesee camera files: EVT 2.0 / EVT 3.0 .raw and .dat, decoded by expelliarmus.

The text header (lines starting with '%') names the encoding and usually the sensor:
'% evt 3.0', '% format EVT3;height=720;width=1280', '% geometry 1280x720', or for .dat
'% Width 640' and '% Height 480'.
"""
from __future__ import annotations

import contextlib
import os
import re
import tempfile
from pathlib import Path
from typing import Iterator

import numpy as np

from ._base import CHUNK_EVENTS, ReaderError, Source, quiet_stderr, require

_HEADER_LIMIT = 1 << 16
_GEOMETRY = re.compile(r"^geometry\s+(\d+)\s*x\s*(\d+)", re.IGNORECASE)
_FORMAT = re.compile(r"^format\s+([A-Za-z0-9.]+)(.*)$", re.IGNORECASE)


def read_header(path: Path) -> tuple[list[str], bytes]:
    """The '%' text lines at the top of the file (without the '%'), and the bytes after."""
    lines = []
    with open(path, "rb") as f:
        data = f.read(_HEADER_LIMIT)
    pos = 0
    while data.startswith(b"%", pos):
        end = data.find(b"\n", pos)
        if end < 0:
            break
        raw = data[pos + 1:end].rstrip(b"\r")
        if any(c < 32 and c != 9 or c > 126 for c in raw):
            break  # binary: the events began with a '%' byte (or this is no header)
        lines.append(raw.decode("ascii").strip())
        pos = end + 1
        if raw.strip() == b"end":
            break
    return lines, data[pos:pos + 2]


def looks_like(path: Path, head: bytes) -> bool:
    return head.startswith(b"% ") and any(w in head.lower() for w in (b"evt", b"format", b"cd events",
                                                                        b"geometry", b"date"))


def header_info(lines: list[str], dat: bool) -> tuple[str | None, tuple[int, int] | None]:
    """The expelliarmus encoding ("evt2", "evt3", "dat" or an unsupported name) and the
    sensor size the header gives."""
    encoding = "dat" if dat else None
    size = None
    width = height = None
    for line in lines:
        m = _GEOMETRY.match(line)
        if m:
            size = (int(m.group(1)), int(m.group(2)))
            continue
        m = _FORMAT.match(line)
        if m:
            name = m.group(1).upper()
            if not dat:
                encoding = {"EVT2": "evt2", "EVT3": "evt3"}.get(name, name)
            for key, value in re.findall(r"(width|height)\s*=\s*(\d+)", m.group(2), re.I):
                if key.lower() == "width":
                    width = int(value)
                else:
                    height = int(value)
            continue
        words = line.split()
        if len(words) >= 2 and words[0].lower() == "evt" and not dat and encoding is None:
            encoding = {"2.0": "evt2", "3.0": "evt3"}.get(words[1], "EVT " + words[1])
        elif len(words) == 2 and words[0].lower() in ("width", "height") and words[1].isdigit():
            if words[0].lower() == "width":
                width = int(words[1])
            else:
                height = int(words[1])
    if size is None and width and height:
        size = (width, height)
    return encoding, size


class PropheseeSource(Source):
    def __init__(self, path: Path) -> None:
        super().__init__(path)
        dat = path.suffix.lower() == ".dat"
        self.format = "Prophesee DAT" if dat else "Prophesee RAW"
        try:
            lines, after = read_header(path)
        except OSError as exc:
            raise ReaderError(f"{path}: cannot read: {exc.strerror or exc}") from None
        if not lines:
            raise self.fail("no '%' header at the start; not a Prophesee camera file")
        encoding, self.sensor_size = header_info(lines, dat)
        if dat and (len(after) < 2 or after[1] != 8):
            raise self.fail("not a DAT file of camera (CD) events: no 8-byte event records "
                            "after the header")
        if encoding not in ("evt2", "evt3", "dat"):
            if encoding is None:
                raise self.fail("the header names no encoding ('% evt 2.0', '% evt 3.0' or "
                                "'% format EVT3'); cannot tell EVT 2.0 from EVT 3.0")
            raise self.fail(f"the {encoding} encoding is not supported (EVT 2.0, EVT 3.0 and "
                            f"DAT are)")
        self.encoding = encoding
        if not dat:
            self.format = "Prophesee EVT 2.0" if encoding == "evt2" else "Prophesee EVT 3.0"
        self.expelliarmus = require("expelliarmus", "formats", path, "Prophesee")

    def decoded_bytes(self) -> int:
        # 16 bytes a decoded event; EVT 3.0 packs events into as little as ~2 bytes
        per_byte = {"dat": 2, "evt2": 4, "evt3": 8}[self.encoding]
        return self.path.stat().st_size * per_byte

    @contextlib.contextmanager
    def _named(self) -> Iterator[Path]:
        """The file under a name expelliarmus accepts: it insists on .raw / .dat, and
        resolves links, so another name gets a hard link beside the file."""
        want = ".dat" if self.encoding == "dat" else ".raw"
        if self.path.suffix == want:
            yield self.path
            return
        try:
            tmp = tempfile.TemporaryDirectory(dir=self.path.parent)
            link = Path(tmp.name) / ("recording" + want)
            os.link(self.path, link)
        except OSError:
            raise self.fail(f"cannot read it under this name; rename it to end in {want}") from None
        with tmp:
            yield link

    def _wizard(self, path: Path, **kw):
        try:
            return self.expelliarmus.Wizard(encoding=self.encoding, fpath=path, **kw)
        except (ValueError, TypeError, OSError) as exc:
            raise self.fail(f"cannot open: {exc}") from None

    def read(self) -> np.ndarray:
        with self._named() as path:
            try:
                with quiet_stderr():
                    arr = self._wizard(path).read()
            except (RuntimeError, ValueError, OSError) as exc:
                raise self.fail(f"cannot decode the events (a damaged file, or an encoding "
                                f"variant expelliarmus cannot read): {exc}") from None
        if arr is None or len(arr) == 0:
            raise self.fail("no events could be decoded (empty or damaged file)")
        return arr

    def chunks(self, size: int = CHUNK_EVENTS) -> Iterator[np.ndarray]:
        with self._named() as path:
            wizard = self._wizard(path, chunk_size=max(int(size), 16))
            try:
                chunks = wizard.read_chunk()
                while True:
                    with quiet_stderr():
                        chunk = next(chunks, None)
                    if chunk is None:
                        break
                    yield chunk
                # The reader stops quietly at an event it cannot decode; say so.
                if getattr(wizard.cargo.events_info, "finished", 1) == 0:
                    raise self.fail("decoding stopped at an event it does not know (damaged "
                                    "file, or an encoding variant expelliarmus cannot read)")
            except (RuntimeError, ValueError, OSError) as exc:
                raise self.fail(f"damaged file ({exc})") from None

    def window(self, lo, hi):
        # EVT streams carry time only as they go: decode from the start, stop past the end.
        kept, before, stopped = [], 0, False
        for chunk in self.chunks():
            t = chunk["t"]
            if lo is not None:
                keep_from = t >= lo
            else:
                keep_from = np.ones(len(t), bool)
            mask = keep_from if hi is None else keep_from & (t < hi)
            kept.append(chunk[mask])
            before += int(np.count_nonzero(~keep_from))
            if hi is not None and len(t) and t.min() >= hi:
                stopped = True
                break
            if hi is not None:
                before += int(np.count_nonzero(keep_from & (t >= hi)))
        parts = [k for k in kept if len(k)]
        events = np.concatenate(parts) if parts else np.zeros(0, kept[0].dtype if kept else
                                                              [("t", "<i8"), ("x", "<i2"),
                                                               ("y", "<i2"), ("p", "u1")])
        return events, None if stopped else before
