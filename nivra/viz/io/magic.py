"""What a file holds, by its first bytes: for messages about a file given under the wrong
name ("not a NumPy .npy file: it holds a PNG image")."""
from __future__ import annotations

from pathlib import Path

# Leading bytes -> what a person calls such a file. Longer prefixes first where one
# starts with another.
_KINDS: tuple[tuple[bytes, str], ...] = (
    (b"\x89PNG\r\n\x1a\n", "a PNG image"),
    (b"\xff\xd8\xff", "a JPEG image"),
    (b"GIF87a", "a GIF image"),
    (b"GIF89a", "a GIF image"),
    (b"BM", "a BMP image"),
    (b"II*\x00", "a TIFF image"),
    (b"MM\x00*", "a TIFF image"),
    (b"%PDF-", "a PDF document"),
    (b"PK\x03\x04", "a zip archive"),
    (b"PK\x05\x06", "an empty zip archive"),
    (b"\x1f\x8b", "gzip-compressed data"),
    (b"BZh", "bzip2-compressed data"),
    (b"\xfd7zXZ\x00", "xz-compressed data"),
    (b"(\xb5/\xfd", "zstd-compressed data"),
    (b"7z\xbc\xaf\x27\x1c", "a 7-Zip archive"),
    (b"\x89HDF\r\n\x1a\n", "an HDF5 file"),
    (b"\x7fELF", "an executable (ELF)"),
    (b"\x93NUMPY", "a NumPy .npy array"),
    (b"#!AER-DAT4", "an AEDAT4 recording"),
    (b"#!AER-DAT", "an AEDAT recording"),
    (b"\x80", "a Python pickle"),
    (b"RIFF", "a RIFF file (WAV or AVI)"),
    (b"OggS", "an Ogg stream"),
    (b"fLaC", "a FLAC audio file"),
    (b"ID3", "an MP3 audio file"),
    (b"<?xml", "an XML document"),
    (b"<!DOCTYPE html", "an HTML page"),
    (b"<html", "an HTML page"),
    (b"SQLite format 3\x00", "an SQLite database"),
)


def describe(head: bytes) -> str | None:
    """What the file starting with ``head`` is, or None for kinds not known here."""
    for prefix, kind in _KINDS:
        if head.startswith(prefix):
            return kind
    if len(head) >= 8 and head[4:8] == b"ftyp":
        return "an MP4/QuickTime video"
    if not head:
        return "nothing (it is empty)"
    return None


def describe_file(path: Path) -> str | None:
    """``describe`` of the first bytes of ``path``; None when unreadable or not known."""
    try:
        with open(path, "rb") as f:
            return describe(f.read(32))
    except OSError:
        return None
