"""NumPy files: a .npy structured array (memory-mapped) or one array of a .npz archive, and
frame stacks stored the same way.

Sizes are checked against the file before anything is read: a .npy file shorter or longer
than its header says is read as far as it holds whole records, with a warning; an array of a
.npz archive is inflated only when the size its header declares fits in memory (a few
hundred bytes of deflate can declare terabytes)."""
from __future__ import annotations

import contextlib
import math
import os
import resource
import struct
import tokenize
import zipfile
import zlib
from pathlib import Path
from typing import IO, Any, Iterator

import numpy as np

from ._base import CHUNK_EVENTS, ArraySource, ReaderError, escaped, time_field
from .magic import describe

NPY_MAGIC = b"\x93NUMPY"
# The errors NumPy and zipfile raise on damaged bytes.
_DAMAGE = (ValueError, EOFError, zipfile.BadZipFile, zlib.error, KeyError, TypeError,
           struct.error, SyntaxError, tokenize.TokenError, OverflowError, NotImplementedError,
           UnicodeDecodeError)


def _damaged(path: Path, exc: BaseException, member: str | None = None) -> ReaderError:
    text = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
    if "pickle" in text.lower():
        text = "it holds Python objects, which are never loaded"
    elif isinstance(exc, (SyntaxError, tokenize.TokenError)) or "header" in text.lower() \
            or "b'" in text or 'b"' in text:
        text = "its array header cannot be parsed"  # NumPy quotes the raw header bytes
    else:
        text = escaped(text, 120)
    where = f" (array {escaped(member, 60)!s})" if member is not None else ""
    return ReaderError(f"{path}: damaged or unsupported array file{where}: {text}")


def _not_numpy(path: Path, head: bytes) -> ReaderError:
    kind = describe(head)
    if kind is None:
        return ReaderError(f"{path}: damaged, or not a NumPy .npy file: its first bytes are "
                           f"{head[:8].hex(' ')}")
    return ReaderError(f"{path}: not a NumPy .npy file: it holds {kind}")


def _format_bytes(n: int) -> str:
    from nivra.viz.output import format_size
    return format_size(n)


def available_memory() -> int:
    """Bytes this process could still allocate: the memory the system has available, less
    when an address-space limit is nearer."""
    free = None
    with contextlib.suppress(OSError, ValueError):
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    free = int(line.split()[1]) * 1024
                    break
    if free is None:
        with contextlib.suppress(OSError, ValueError, AttributeError):
            free = os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    if free is None:
        free = 1 << 62
    soft, _ = resource.getrlimit(resource.RLIMIT_AS)
    if soft != resource.RLIM_INFINITY:
        used = 0
        with contextlib.suppress(OSError, ValueError):
            with open("/proc/self/statm") as f:
                used = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        free = min(free, max(0, soft - used))
    return free


def _read_header(f: IO[bytes]) -> tuple[tuple[int, ...], bool, np.dtype]:
    """The shape, Fortran order and dtype an array header declares; ``f`` is left at the
    first data byte."""
    version = np.lib.format.read_magic(f)
    if version == (1, 0):
        return np.lib.format.read_array_header_1_0(f)
    if version in ((2, 0), (3, 0)):  # 3.0 differs only in how field names are encoded
        return np.lib.format.read_array_header_2_0(f)
    raise ValueError(f"NumPy format version {version[0]}.{version[1]} is not read")


def _declared_bytes(shape: tuple[int, ...], dtype: np.dtype) -> int:
    return math.prod(shape) * dtype.itemsize


def load_array(path: Path, array: str | None = None, structured: bool = True,
               notes: list[str] | None = None) -> np.ndarray:
    """A .npy file memory-mapped, or one array of a .npz file: the one named ``array``,
    else the only structured one (``structured``) or the only one. What was left out of a
    file whose length differs from its header is said in ``notes``."""
    try:
        if path.suffix.lower() == ".npz":
            return _load_npz(path, array, structured)
        return _load_npy(path, notes if notes is not None else [])
    except ReaderError:
        raise
    except _DAMAGE as exc:
        raise _damaged(path, exc) from None
    except OSError as exc:
        raise ReaderError(f"{path}: cannot read: {exc.strerror or exc}") from None


def _load_npy(path: Path, notes: list[str]) -> np.ndarray:
    with open(path, "rb") as f:
        head = f.read(32)
        if not head.startswith(NPY_MAGIC):
            raise _not_numpy(path, head)
        f.seek(0)
        shape, fortran, dtype = _read_header(f)
        offset, size = f.tell(), os.fstat(f.fileno()).st_size
    if dtype.hasobject:
        raise _damaged(path, ValueError("pickle"))
    declared, held = _declared_bytes(shape, dtype), size - offset
    unit = "records" if len(shape) == 1 else "frames"
    if held > declared:
        notes.append(f"the file holds {held - declared:,} bytes more than its header declares "
                     f"after the last of its {shape[0] if shape else 1:,} {unit}; they were "
                     f"left out")
    elif held < declared:
        row = _declared_bytes(shape[1:], dtype) if shape else declared
        whole = held // row if row and shape and not fortran else 0
        if not whole:
            raise ReaderError(f"{path}: damaged array file: it is shorter than its header says "
                              f"({max(held, 0):,} of {declared:,} data bytes, no whole "
                              f"{unit[:-1]})")
        notes.append(f"the file is shorter than its header says: {whole:,} of {shape[0]:,} "
                     f"{unit} read, the other {shape[0] - whole:,} left out")
        shape = (whole, *shape[1:])
    if not math.prod(shape) or not dtype.itemsize:
        return np.empty(shape, dtype)  # nothing to map
    return np.memmap(path, dtype=dtype, mode="r", offset=offset, shape=shape,
                     order="F" if fortran else "C")


class _Member:
    """An array of a .npz archive, known by its header before any data is inflated."""

    def __init__(self, info: zipfile.ZipInfo, shape: tuple[int, ...], dtype: np.dtype,
                 data_offset: int) -> None:
        self.info, self.shape, self.dtype, self.data_offset = info, shape, dtype, data_offset
        self.nbytes = _declared_bytes(shape, dtype)


def _members(path: Path, zf: zipfile.ZipFile) -> dict[str, _Member]:
    members = {}
    for info in zf.infolist():
        if not info.filename.endswith(".npy"):
            continue
        name = info.filename[:-4]
        try:
            with zf.open(info) as m:
                shape, _, dtype = _read_header(m)
                offset = m.tell()
        except _DAMAGE as exc:
            raise _damaged(path, exc, name) from None
        members[name] = _Member(info, shape, dtype, offset)
    return members


def _load_npz(path: Path, array: str | None, structured: bool) -> np.ndarray:
    with zipfile.ZipFile(path) as zf:
        members = _members(path, zf)
        if not members:
            raise ReaderError(f"{path}: the archive holds no arrays")
        if array is not None:
            if array not in members:
                raise ReaderError(f"{path}: no array named '{escaped(array, 60)}'; it holds "
                                  f"{_listing(members)}")
            pick = array
        else:
            picks = [n for n, m in members.items() if m.dtype.names] if structured \
                else list(members)
            if len(picks) != 1:
                what = "one structured event array" if structured else "one array"
                hint = "; choose one with --array NAME" if structured else ""
                raise ReaderError(f"{path}: expected {what}, found {_listing(members)}{hint}")
            pick = picks[0]
        return _inflate(path, zf, pick, members[pick])


def _inflate(path: Path, zf: zipfile.ZipFile, name: str, member: _Member) -> np.ndarray:
    shown = escaped(name, 60)
    if member.dtype.hasobject:
        raise _damaged(path, ValueError("pickle"), name)
    room = available_memory() // 2
    if member.nbytes > room:
        raise ReaderError(f"{path}: array '{shown}' declares {_format_bytes(member.nbytes)} "
                          f"(shape {member.shape}), more than the page could use here (half of "
                          f"the {_format_bytes(room * 2)} of memory available); nothing was "
                          f"inflated")
    if member.info.file_size < member.data_offset + member.nbytes:
        raise ReaderError(f"{path}: damaged array file: array '{shown}' declares "
                          f"{member.nbytes:,} data bytes, the archive holds "
                          f"{max(0, member.info.file_size - member.data_offset):,}")
    try:
        with zf.open(member.info) as m:
            return np.lib.format.read_array(m, allow_pickle=False)
    except _DAMAGE as exc:
        raise _damaged(path, exc, name) from None


def load_frames(path: Path, notes: list[str] | None = None) -> np.ndarray:
    """A frame stack (T, H, W) or (T, C, H, W) of numbers from a .npy or .npz file; bool
    frames become uint8. What was left out of a short or long file is said in ``notes``."""
    frames = load_array(path, structured=False, notes=notes)
    if frames.dtype.names or not (np.issubdtype(frames.dtype, np.number)
                                  or frames.dtype == np.bool_):
        raise ReaderError(f"{path}: expected a numeric frame array, got dtype {frames.dtype}"
                          + (" (an event recording? use 'nivra-viz events')"
                             if frames.dtype.names else ""))
    if frames.ndim not in (3, 4) or (frames.ndim == 4 and frames.shape[1] < 1):
        raise ReaderError(f"{path}: expected frames of shape (T, H, W) or (T, C, H, W), "
                          f"got {tuple(frames.shape)}")
    if frames.dtype == np.bool_:
        frames = frames.astype(np.uint8)
    return frames


def _listing(members: dict[str, _Member]) -> str:
    parts = []
    for name, m in members.items():
        if m.dtype.names:
            kind = "{" + ", ".join(f"{escaped(f, 40)}: {m.dtype[f].str}"
                                   for f in m.dtype.names) + "}"
        else:
            kind = str(m.dtype)
        parts.append(f"{escaped(name, 60)} ({kind}, shape {m.shape})")
    return "the arrays " + ", ".join(parts)


class NumpySource(ArraySource):
    """A .npy file (memory-mapped; read in chunks, its time span claimed from its first
    and last record when its times look sorted) or a .npz archive (read whole)."""

    def __init__(self, path: Path, array: str | None = None) -> None:
        super().__init__(path)
        self.format = "NumPy .npz" if path.suffix.lower() == ".npz" else "NumPy .npy"
        self.events = load_array(path, array, notes=self.warnings)
        if not self.events.dtype.names:
            raise ReaderError(f"{path}: holds a plain {self.events.dtype} array of shape "
                              f"{tuple(self.events.shape)}, not a structured event array "
                              f"with named fields such as x, y, t, p")
        if self.events.ndim != 1:
            raise ReaderError(f"{path}: the event array must be one-dimensional, "
                              f"got shape {tuple(self.events.shape)}")
        self.t_field = time_field(self.events.dtype)

    def chunks_from(self, position: Any, size: int = CHUNK_EVENTS) -> Iterator[np.ndarray]:
        if not self._readable():
            yield from super().chunks_from(position, size)
            return
        yield from self._read_chunks(int(position), size, None)

    def chunks_reusing(self, size: int = CHUNK_EVENTS, keep: int = 2) -> Iterator[np.ndarray]:
        if not self._readable():
            return super().chunks_reusing(size, keep)
        count = max(1, min(size, len(self.events)))
        return self._read_chunks(0, size, [np.empty(count, self.events.dtype) for _ in range(keep + 1)])

    def _read_chunks(self, first: int, size: int,
                     buffers: list[np.ndarray] | None) -> Iterator[np.ndarray]:
        # Plain reads instead of the mapping: pages of a mapped file count as resident
        # memory once touched, read copies are freed (or refilled) chunk by chunk.
        ev = self.events
        itemsize, offset = ev.dtype.itemsize, int(ev.offset)
        with open(self.path, "rb", buffering=0) as f:
            for k, i in enumerate(range(first, len(ev), size)):
                count = min(size, len(ev) - i)
                f.seek(offset + i * itemsize)
                if buffers is None:
                    chunk = np.fromfile(f, dtype=ev.dtype, count=count)
                    got = len(chunk)
                else:
                    chunk = buffers[k % len(buffers)][:count]
                    got = _read_into(f, chunk.view(np.uint8)) // itemsize
                if got != count:
                    raise self.fail("the file is shorter than its header says")
                yield chunk

    def time_span(self) -> tuple[Any, Any] | None:
        if not self._readable():
            return super().time_span()
        n = len(self.events)
        if not n or self.t_field is None:
            return None
        # Claimed when a sample of the times is in order: the first and last record.
        with self._records() as record:
            sample = [record(i) for i in np.linspace(0, n - 1, num=min(n, 257)).astype(np.int64)]
        if any(b < a for a, b in zip(sample, sample[1:])):
            return None
        return sample[0], sample[-1]

    def window_span(self, lo: Any, hi: Any) -> tuple[Any, Any] | None:
        if not self._readable():
            return super().window_span(lo, hi)
        if self.time_span() is None:
            return None
        n = len(self.events)
        with self._records() as record:
            i0 = _bisect(record, n, lo) if lo is not None else 0
            i1 = _bisect(record, n, hi) if hi is not None else n
            if i1 <= i0:
                return ("empty", None)
            return record(i0), record(i1 - 1)

    @contextlib.contextmanager
    def _records(self) -> Iterator[Any]:
        """A function giving the time of record i, read from the file. Not through the
        mapping: touching a mapped page makes the kernel map a wide stretch around it
        (megabytes here), which would count as resident."""
        ev, name = self.events, self.t_field
        size, offset = ev.dtype.itemsize, int(ev.offset)
        with open(self.path, "rb") as f:
            fd = f.fileno()

            def record(i: int) -> Any:
                raw = os.pread(fd, size, offset + int(i) * size)
                if len(raw) != size:
                    raise self.fail("the file is shorter than its header says")
                return np.frombuffer(raw, dtype=ev.dtype)[name][0].item()

            yield record

    def _readable(self) -> bool:
        ev = self.events
        return isinstance(ev, np.memmap) and ev.flags.c_contiguous and hasattr(os, "pread")


def _read_into(f: Any, buf: np.ndarray) -> int:
    """Reads into buf until it is full or the file ends; the bytes read."""
    view = memoryview(buf)
    done = 0
    while done < len(view):
        got = f.readinto(view[done:])
        if not got:
            break
        done += got
    return done


def _bisect(record: Any, n: int, value: float) -> int:
    """The first index whose time is not below value, in sorted times."""
    a, z = 0, n
    while a < z:
        mid = (a + z) // 2
        if record(mid) < value:
            a = mid + 1
        else:
            z = mid
    return a
