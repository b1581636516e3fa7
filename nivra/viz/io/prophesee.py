"""Prophesee camera files: EVT 2.0 / EVT 2.1 / EVT 3.0 .raw and .dat, decoded by our own
word decoder (see _stream.py and the spikes module's _evt_decode), under any file name.

The text header (lines starting with '%') names the encoding and usually the sensor:
'% evt 3.0', '% format EVT3;height=720;width=1280', '% geometry 1280x720', or for .dat
'% Width 640' and '% Height 480'. Without a size, the camera it names
('% plugin_name hal_plugin_imx636_evk4', '% sensor_generation 3.1') gives the sensor.
"""
from __future__ import annotations

import re
from pathlib import Path

import numpy as np

from ._base import ReaderError, escaped
from ._stream import ByteStreamSource

_HEADER_LIMIT = 1 << 16
_GEOMETRY = re.compile(r"^geometry\s+(\d+)\s*x\s*(\d+)", re.IGNORECASE)
_FORMAT = re.compile(r"^format\s+([A-Za-z0-9.]+)(.*)$", re.IGNORECASE)

# Encoding name -> (decoder code, bytes a word, name in messages).
ENCODINGS = {
    "evt3": (3, 2, "EVT 3.0"),
    "evt2": (2, 4, "EVT 2.0"),
    "evt21": (21, 8, "EVT 2.1"),
    "dat": (1, 8, "DAT"),
}
_NAMES = {"EVT3": "evt3", "EVT3.0": "evt3", "EVT2": "evt2", "EVT2.0": "evt2", "EVT21": "evt21",
          "EVT2.1": "evt21", "3.0": "evt3", "2.0": "evt2", "2.1": "evt21"}

# The sensor of each camera generation, by what the header's plugin, integrator or
# generation lines call it (the first that a line contains wins).
CAMERA_SENSORS = (
    ("genx320", (320, 320)), ("imx636", (1280, 720)), ("imx646", (1280, 720)),
    ("gen41", (1280, 720)), ("gen4.1", (1280, 720)), ("gen40", (1280, 720)), ("gen4", (1280, 720)),
    ("imx637", (640, 512)), ("gen31", (640, 480)), ("gen3.1", (640, 480)), ("gen3", (640, 480)),
)
_GENERATION = re.compile(r"^(?:sensor_)?generation\s+(\d+(?:\.\d+)?)", re.IGNORECASE)
_CAMERA_LINES = ("plugin_name", "camera_integrator_name", "sensor_name", "system_id")

# DAT event types of camera events: 2-D (0x00) and contrast detection (0x0C).
_DAT_CAMERA_TYPES = (0x00, 0x0C)

# Reading the first bytes of the data as each encoding: data whose words are this share
# or more of no known type is not in that encoding (random bytes: 31% in EVT 3.0, 62% in
# EVT 2.0 / 2.1).
_PROBE_BYTES = 1 << 16
_FOREIGN_SHARE = 0.2


def read_header(path: Path) -> tuple[list[str], int, bytes]:
    """The '%' text lines at the top of the file (without the '%'), the offset of the
    first byte after them, and the bytes from there (up to the first 64 KiB of the
    file). Raises for a file that ends inside its header."""
    lines = []
    with open(path, "rb") as f:
        data = f.read(_HEADER_LIMIT)
    pos = 0
    while data.startswith(b"%", pos):
        end = data.find(b"\n", pos)
        raw = data[pos + 1:end if end >= 0 else len(data)].rstrip(b"\r")
        if any(c < 32 and c != 9 or c > 126 for c in raw):
            break  # binary: the events began with a '%' byte (or this is no header)
        if end < 0:
            if len(data) < _HEADER_LIMIT:
                raise ReaderError(f"{path}: Prophesee: the file ends inside its header "
                                  f"({len(data):,} bytes); it is cut short")
            break
        lines.append(raw.decode("ascii").strip())
        pos = end + 1
        if raw.strip() == b"end":
            break
    return lines, pos, data[pos:]


def looks_like(path: Path, head: bytes) -> bool:
    return head.startswith(b"% ") and any(w in head.lower() for w in (b"evt", b"format", b"cd events",
                                                                        b"geometry", b"date"))


def header_info(lines: list[str], dat: bool) -> tuple[str | None, tuple[int, int] | None]:
    """The encoding ("evt2", "evt21", "evt3", "dat" or the unsupported name the header
    gives) and the sensor size the header gives."""
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
                encoding = _NAMES.get(name, name)
            for key, value in re.findall(r"(width|height)\s*=\s*(\d+)", m.group(2), re.I):
                if key.lower() == "width":
                    width = int(value)
                else:
                    height = int(value)
            continue
        words = line.split()
        if len(words) >= 2 and words[0].lower() == "evt" and not dat and encoding is None:
            encoding = _NAMES.get(words[1], "EVT " + words[1])
        elif len(words) == 2 and words[0].lower() in ("width", "height") and words[1].isdigit():
            if words[0].lower() == "width":
                width = int(words[1])
            else:
                height = int(words[1])
    if size is None and width and height:
        size = (width, height)
    return encoding, size


def camera_sensor(lines: list[str]) -> tuple[int, int] | None:
    """The sensor size of the camera model the header names, if it names one we know."""
    names = []
    for line in lines:
        words = line.split(None, 1)
        if len(words) == 2 and words[0].lower() in _CAMERA_LINES:
            names.append(words[1].lower().replace("_", "").replace(" ", ""))
        m = _GENERATION.match(line)
        if m:
            names.append("gen" + m.group(1).replace(".0", ""))
    for name in names:
        for key, size in CAMERA_SENSORS:
            if key in name:
                return size
    return None


# The word types each encoding knows (of 16-bit / 32-bit words, or the upper half of
# EVT 2.1's 64-bit ones).
_KNOWN_TYPES = {
    "evt3": (0x0, 0x2, 0x3, 0x4, 0x5, 0x6, 0x7, 0x8, 0xA, 0xE, 0xF),
    "evt2": (0x0, 0x1, 0x8, 0xA, 0xE, 0xF),
    "evt21": (0x0, 0x1, 0x8, 0xA, 0xE, 0xF),
}
_WORDS = {"evt3": "<u2", "evt2": "<u4", "evt21": "<u8"}


def _unknown_share(data: bytes, encoding: str) -> float:
    """The share of the words of ``data`` (read as the encoding) of no known type,
    padding words (every hex digit 9, as some cameras write them) aside."""
    dtype = np.dtype(_WORDS[encoding])
    words = np.frombuffer(data, dtype, len(data) // dtype.itemsize)
    words = words[words != int("9" * (2 * dtype.itemsize), 16)]
    if not len(words):
        return 0.0
    types = (words >> (8 * dtype.itemsize - 4)).astype(np.uint8)
    return 1.0 - float(np.isin(types, _KNOWN_TYPES[encoding]).mean())


def _encoding_of_words(probe: bytes) -> str | None:
    """The encoding of data under a header that names none (older cameras' files): the
    one whose word types the data holds almost only, or None when that is not one. EVT
    2.0 words also read as EVT 2.1 ones; EVT 2.1 is taken only when its event words
    start at multiples of 32 pixels, as they must."""
    if not probe:
        return None
    fits = [e for e in ("evt3", "evt2", "evt21") if _unknown_share(probe, e) < _FOREIGN_SHARE / 4]
    if fits == ["evt2", "evt21"]:
        words = np.frombuffer(probe, "<u8", len(probe) // 8) >> 32
        x = (words[(words >> 28) <= 1] >> 11) & 0x7FF
        fits = ["evt21" if len(x) and float(np.mean(x % 32 == 0)) > 0.99 else "evt2"]
    return fits[0] if len(fits) == 1 else None


class PropheseeSource(ByteStreamSource):
    def __init__(self, path: Path) -> None:
        super().__init__(path)
        self.format = "Prophesee DAT" if path.suffix.lower() == ".dat" else "Prophesee RAW"
        self.sensor_from = "from the file"
        try:
            lines, self.data_start, after = read_header(path)
        except OSError as exc:
            raise ReaderError(f"{path}: cannot read: {exc.strerror or exc}") from None
        if not lines:
            raise self.fail("no '%' header at the start; not a Prophesee camera file")
        named, _ = header_info(lines, False)
        dat = path.suffix.lower() == ".dat" or (named is None and len(after) >= 2 and after[1] == 8)
        if dat:
            self.format = "Prophesee DAT"
        encoding, self.sensor_size = header_info(lines, dat)
        if self.sensor_size is None:
            self.sensor_size = camera_sensor(lines)
            self.sensor_from = "from the camera model"
        if dat:
            if len(after) < 2:
                raise self.fail("the file ends right after its header: no event records")
            if after[1] != 8 or after[0] not in _DAT_CAMERA_TYPES:
                raise self.fail(f"not a DAT file of camera (CD) events: its records are of event "
                                f"type {after[0]} and {after[1]} bytes (camera events are type 0 "
                                f"or 12, 8 bytes)")
            self.data_start += 2
            after = after[2:]
        told = ""
        if encoding is None and not dat:
            encoding = _encoding_of_words(after[:_PROBE_BYTES])
            told = " (told from its words: the header names no encoding)" if encoding else ""
        if encoding not in ENCODINGS:
            if encoding is None:
                raise self.fail("the header names no encoding ('% evt 2.0', '% evt 3.0' or "
                                "'% format EVT3'); cannot tell EVT 2.0 from EVT 3.0")
            raise self.fail(f"the {escaped(encoding)} encoding is not supported (EVT 2.0, EVT 2.1, "
                            f"EVT 3.0 and DAT are)")
        self.encoding, self.word_bytes, name = ENCODINGS[encoding]
        self.kind = encoding
        if not dat:
            self.format = "Prophesee " + name + told
            self._check_encoding(encoding, after[:_PROBE_BYTES])
        if not after:
            raise self.fail("the file ends right after its header: no events")

    def _check_encoding(self, encoding: str, probe: bytes) -> None:
        """Refuses data whose words contradict the encoding the header names."""
        name = ENCODINGS[encoding][2]
        if _unknown_share(probe, encoding) < _FOREIGN_SHARE:
            return
        for other, (_, _, other_name) in ENCODINGS.items():
            if other not in (encoding, "dat") and _unknown_share(probe, other) == 0.0:
                raise self.fail(f"the header says {name}, but the data reads as {other_name} "
                                f"(its words are not {name} words)")
        raise self.fail(f"the data after the header is not {name} words (damaged, or not a "
                        f"camera recording)")

    def decoded_bytes(self) -> int:
        # 16 bytes a decoded event; EVT 3.0 packs events into as little as ~2 bytes
        per_byte = {"dat": 2, "evt2": 4, "evt21": 8, "evt3": 8}[self.kind]
        return self.path.stat().st_size * per_byte
