"""What AEDAT 2.0 and 3.1 files share: the '#' text header at the top, and the sensors
their headers name (jAER's chip classes in '# AEChip:' lines, the camera in '#Source 1:').
"""
from __future__ import annotations

import re
from dataclasses import dataclass
from pathlib import Path

from ._base import ReaderError, escaped

# The header ends within this many bytes, or the file is not of these formats.
HEADER_LIMIT = 1 << 20
_LINE_LIMIT = 4096
_VERSION = re.compile(rb"#!AER-DAT(\d+\.\d+)")
_SIZE = re.compile(r"size\s*([XY])\s*[=:]\s*(\d+)", re.IGNORECASE)


def version(head: bytes) -> str | None:
    """The AEDAT version a file starts with ("2.0", "3.1", ...), or None."""
    m = _VERSION.match(head)
    return m.group(1).decode() if m else None


def read_header(path: Path) -> tuple[list[str], int]:
    """The '#' lines at the top of the file (without the '#' and the line end) and the
    byte offset where the events begin.

    The header ends after a '#!END-HEADER' line, or before the first line that is not a
    '#' line of text (a binary record may start with the byte '#': its line is not text).
    """
    try:
        with open(path, "rb") as f:
            data = f.read(HEADER_LIMIT)
    except OSError as exc:
        raise ReaderError(f"{path}: cannot read: {exc.strerror or exc}") from None
    lines: list[str] = []
    pos = 0
    while data.startswith(b"#", pos):
        end = data.find(b"\n", pos, pos + _LINE_LIMIT)
        if end < 0:
            rest = data[pos:]
            if len(rest) < _LINE_LIMIT and not any(c < 32 and c not in (9, 13) or c == 127
                                                   for c in rest):
                raise ReaderError(f"{path}: AEDAT: the file ends inside its text header, "
                                  f"at byte {len(data):,}")
            break
        raw = data[pos + 1:end].rstrip(b"\r")
        if any(c < 32 and c != 9 or c == 127 for c in raw):
            break
        lines.append(raw.decode("utf-8", "replace").strip())
        pos = end + 1
        if raw.startswith(b"!END-HEADER"):
            break
    return lines, pos


@dataclass(frozen=True)
class Chip:
    name: str
    layout: str | None    # its AEDAT 2.0 address layout, "dvs128" or "davis" (None: not known)
    size: tuple[int, int] | None


# Camera and chip names as the headers give them (jAER class names without their package,
# cAER source names), by the start of the name, case ignored; longer names first.
_CHIPS = [
    Chip("DVXplorerLite", None, (320, 240)),
    Chip("DVXplorer", None, (640, 480)),
    Chip("DVS128", "dvs128", (128, 128)),
    Chip("Tmpdiff128", "dvs128", (128, 128)),
    Chip("DVS132S", None, (132, 104)),
    Chip("DAVIS128", "davis", (128, 128)),
    Chip("DAVIS208", "davis", (208, 192)),
    Chip("DAVIS240", "davis", (240, 180)),
    Chip("SBret10", "davis", (240, 180)),
    Chip("DAVIS346", "davis", (346, 260)),
    Chip("DAVIS640", "davis", (640, 480)),
]
KNOWN_CHIPS = "DVS128, DAVIS128, DAVIS208, DAVIS240, DAVIS346, DAVIS640"


def chip(name: str) -> Chip | None:
    """The sensor a jAER chip class ('ch.unizh.ini.jaer.chip.retina.DVS128') or a camera
    name ('DAVIS346B') stands for, or None for one this reader does not know."""
    short = name.strip().rsplit(".", 1)[-1].replace("_", "").replace(" ", "").lower()
    return next((c for c in _CHIPS if short.startswith(c.name.lower())), None)


def field(lines: list[str], key: str) -> str | None:
    """The value of the first 'Key: value' header line with this key (case ignored)."""
    want = key.lower()
    for line in lines:
        name, sep, value = line.partition(":")
        if sep and name.strip().lower() == want:
            return value.strip()
    return None


def source_camera(lines: list[str]) -> str | None:
    """The camera of the first '#Source N: NAME' line (AEDAT 3.1), or None."""
    for line in lines:
        key, sep, value = line.partition(":")
        if sep and key.strip().lower().startswith("source") and value.split():
            return value.split()[0].rstrip(",")
    return None


def stated_size(lines: list[str]) -> tuple[int, int] | None:
    """A sensor size the header states as sizeX / sizeY values."""
    found: dict[str, int] = {}
    for line in lines:
        for axis, value in _SIZE.findall(line):
            found.setdefault(axis.upper(), int(value))
    w, h = found.get("X"), found.get("Y")
    return (w, h) if w and h else None


def shown(name: str) -> str:
    """A name from the header, fit for a message."""
    return escaped(name, 60)
