"""Event recordings from files: NumPy (.npy, .npz), CSV/text, Prophesee (.raw EVT 2.0/3.0,
.dat), AEDAT 2.0 / 3.1 (.aedat), AEDAT4 (.aedat4), N-MNIST / N-Caltech101 (.bin), Event
Stream (.es) and HDF5 (.h5, .hdf5: x/y/t/p datasets or tables, DSEC-style files, SHD/SSC spiking audio).

    from nivra.viz.io import read_events
    rec = read_events("recording.raw", start=0, end=500_000)   # the first half second
    rec.events, rec.sensor_size   # structured array (x, y, t, p), (1280, 720) or None

The camera formats need optional packages: ``pip install nivra-viz[formats]``.
Every failure is a :class:`ReaderError` whose message is one line naming the file.
"""
from __future__ import annotations

import math
from pathlib import Path

import numpy as np

from ._base import (CHUNK_EVENTS, TIME_UNITS, ReaderError, Recording, Source, concat, in_window,
                    time_field, to_microseconds)

__all__ = ["read_events", "open_source", "detect_format", "Recording", "ReaderError", "Source",
           "TIME_UNITS", "CHUNK_EVENTS", "to_microseconds", "us_value", "time_field", "FORMATS"]

# Format family -> file name endings.
FORMATS = {
    "numpy": (".npy", ".npz"),
    "prophesee": (".raw", ".dat"),
    "aedat4": (".aedat4",),
    "aedat": (".aedat",),
    "nmnist": (".bin",),
    "eventstream": (".es",),
    "hdf5": (".h5", ".hdf5", ".hdf"),
    "text": (".csv", ".txt", ".tsv"),
}


def detect_format(path: Path) -> str:
    """The format family of a file, by its first bytes, then by its name ending."""
    from . import aedat4, aedat_header, hdf5, prophesee

    try:
        with open(path, "rb") as f:
            head = f.read(512)
    except OSError as exc:
        raise ReaderError(f"{path}: cannot read: {exc.strerror or exc}") from None
    if head.startswith(b"\x93NUMPY"):
        return "numpy"
    if head.startswith(b"PK"):
        if path.suffix.lower() != ".npz":
            raise ReaderError(f"{path}: looks like a .npz archive; rename it to end in .npz")
        return "numpy"
    if head.startswith(aedat4.MAGIC):
        return "aedat4"
    if aedat_header.version(head) is not None:
        return "aedat"
    if head.startswith(hdf5.MAGIC):
        return "hdf5"
    if head.startswith(b"Event Stream"):
        return "eventstream"
    suffix = path.suffix.lower()
    if suffix in FORMATS["prophesee"] or prophesee.looks_like(path, head):
        return "prophesee"
    for family, endings in FORMATS.items():
        if suffix in endings:
            return family
    return "text"


def open_source(path: str | Path, array: str | None = None, *, sample: int | None = None,
                allow_external: bool = False) -> Source:
    """The recording file opened for reading (whole, in chunks or by time window).

    ``sample`` picks a sample of a spiking audio HDF5 file (default: the first);
    ``allow_external`` lets an HDF5 file take data from other files (external links,
    external storage, virtual datasets), which is refused by default."""
    path = Path(path)
    if not path.exists():
        raise ReaderError(f"{path}: no such file")
    if path.is_dir():
        raise ReaderError(f"{path}: is a directory, not a file")
    family = detect_format(path)
    if array is not None and not (family == "numpy" and path.suffix.lower() == ".npz"):
        raise ReaderError(f"{path}: --array names an array of a .npz archive; this is not one")
    if family == "numpy":
        from .arrays import NumpySource
        return NumpySource(path, array)
    if family == "prophesee":
        from .prophesee import PropheseeSource
        return PropheseeSource(path)
    if sample is not None and family != "hdf5":
        raise ReaderError(f"{path}: --sample picks a sample of a spiking audio HDF5 file; "
                          f"this is not one")
    if family == "aedat4":
        from .aedat4 import Aedat4Source
        return Aedat4Source(path)
    if family == "aedat":
        return _aedat(path)
    if family == "nmnist":
        from .nmnist import NMnistSource
        return NMnistSource(path)
    if family == "eventstream":
        from .eventstream import EventStreamSource
        return EventStreamSource(path)
    if family == "hdf5":
        from .hdf5 import open_hdf5
        return open_hdf5(path, sample, allow_external)
    from .text import TextSource
    return TextSource(path)


def read_events(path: str | Path, start: float | None = None, end: float | None = None, *,
                time_unit: str = "us", array: str | None = None, sample: int | None = None,
                allow_external: bool = False) -> Recording:
    """Read a recording, or the window [start, end) of it.

    ``start`` and ``end`` are microseconds after the earliest event in the file (None:
    open), the window holding exactly the events with start <= t - t_min < end;
    ``time_unit`` is the unit of the file's timestamps ("s", "ms", "us", "ns"), converted
    to microseconds on reading; ``array`` picks an array of a .npz archive; ``sample`` and
    ``allow_external`` are those of :func:`open_source`.
    """
    if time_unit not in TIME_UNITS:
        raise ValueError(f"time_unit must be one of {', '.join(TIME_UNITS)}, got {time_unit!r}")
    source = open_source(path, array, sample=sample, allow_external=allow_external)
    return read_source(source, start, end, time_unit)


def read_source(source: Source, start: float | None, end: float | None,
                time_unit: str) -> Recording:
    """The recording of a source: whole, or the events with start <= t - t_min < end
    (microseconds; t_min the earliest event of the file), in any order."""
    t_field = source.t_field
    outside: int | None = 0
    if (start is None and end is None) or t_field is None:
        events = source.read()
        if t_field is not None:
            events = to_microseconds(events, t_field, time_unit)
    else:
        events, outside = _window(source, t_field, start, end, time_unit)
    notes = source.warnings + [f"{n:,} {why} not read" for why, n in source.skipped.items()]
    return Recording(events=events, sensor_size=source.sensor_size, format=source.format,
                     path=source.path, outside_window=outside, notes=notes)


def _aedat(path: Path) -> Source:
    """An AEDAT 2.0 or 3.x file, by the version its first line names."""
    from . import aedat_header

    with open(path, "rb") as f:
        version = aedat_header.version(f.read(32))
    if version == "2.0":
        from .aedat2 import Aedat2Source
        return Aedat2Source(path)
    if version in ("3.0", "3.1"):
        from .aedat3 import Aedat3Source
        return Aedat3Source(path, version)
    if version is None:
        raise ReaderError(f"{path}: AEDAT: no '#!AER-DAT' version line at the start; AEDAT "
                          f"2.0, 3.1 and 4.0 files begin with one")
    raise ReaderError(f"{path}: AEDAT {version} files are not read (2.0, 3.1 and 4.0 are)")


def _window(source: Source, t_field: str, start: float | None, end: float | None,
            time_unit: str) -> tuple[np.ndarray, int]:
    """The events of a time window and how many were left out. The earliest event is
    taken from the source's claim when it has one (checked while selecting: a wrong
    claim costs a second pass), else from a pass of its own."""
    span = source.time_span()
    origin = None if span is None else us_value(span[0], time_unit)
    for _ in range(3):
        if origin is None:
            origin = _earliest(source, t_field, time_unit)
            if origin is None:  # no events at all
                return to_microseconds(source.read(), t_field, time_unit), 0
        kept, left_out, earliest = [], 0, None
        skip = None
        if start is not None and time_unit == "us" and isinstance(origin, int):
            skip = source.skip_before(origin + math.ceil(start))  # passed over unbuilt
        if skip is not None and skip.count:
            left_out, earliest = skip.count, skip.t_lo
        for chunk in source.chunks() if skip is None else skip.chunks(CHUNK_EVENTS, 0):
            chunk = to_microseconds(chunk, t_field, time_unit)
            t = chunk[t_field]
            if len(t):
                low = t.min().item()
                earliest = low if earliest is None else min(earliest, low)
            mask = in_window(_relative(t, origin), start, end)
            kept.append(chunk[mask])
            left_out += len(chunk) - int(np.count_nonzero(mask))
        if earliest is None or earliest == origin:
            return concat(kept, source.fail), left_out
        origin = earliest  # the claim was wrong: select again from the real start
    raise source.fail("the file changed while it was read")


def _relative(t: np.ndarray, origin: float | int) -> np.ndarray:
    """t - origin without wrapping in a small integer type."""
    if t.dtype.kind in "iub":
        return t.astype(np.int64) - origin
    return t.astype(np.float64) - origin


def _earliest(source: Source, t_field: str, time_unit: str) -> float | int | None:
    earliest = None
    for chunk in source.chunks():
        if len(chunk):
            low = to_microseconds(chunk, t_field, time_unit)[t_field].min().item()
            earliest = low if earliest is None else min(earliest, low)
    return earliest


def us_value(value: object, unit: str) -> float | int:
    """A timestamp in file units as to_microseconds converts a time field holding it."""
    value = value.item() if isinstance(value, np.generic) else value
    factor = TIME_UNITS[unit]
    if factor == 1 or isinstance(value, bool):
        return value  # type: ignore[return-value]
    if isinstance(value, int):
        return value * int(factor) if factor >= 1 else value // int(round(1 / factor))
    return float(value) * factor  # type: ignore[arg-type]
