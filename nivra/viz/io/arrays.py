"""NumPy files: a .npy structured array (memory-mapped) or one array of a .npz archive, and
frame stacks stored the same way."""
from __future__ import annotations

import contextlib
import os
import zipfile
from pathlib import Path
from typing import Any, Iterator

import numpy as np

from ._base import CHUNK_EVENTS, ArraySource, ReaderError, time_field


def _damaged(path: Path, exc: BaseException) -> ReaderError:
    text = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
    if "pickle" in text.lower():
        text = "it holds Python objects, which are never loaded"
    return ReaderError(f"{path}: damaged or unsupported array file: {text}")


def load_array(path: Path, array: str | None = None, structured: bool = True) -> np.ndarray:
    """A .npy file memory-mapped, or one array of a .npz file: the one named ``array``,
    else the only structured one (``structured``) or the only one."""
    try:
        if path.suffix.lower() == ".npz":
            with np.load(path, allow_pickle=False) as npz:
                names = list(npz.files)
                if not names:
                    raise ReaderError(f"{path}: the archive holds no arrays")
                if array is not None:
                    if array not in names:
                        raise ReaderError(f"{path}: no array named {array!r}; it holds "
                                          f"{_listing(npz, names)}")
                    return np.asarray(npz[array])
                picks = [n for n in names if npz[n].dtype.names] if structured else names
                if len(picks) != 1:
                    what = "one structured event array" if structured else "one array"
                    hint = "; choose one with --array NAME" if structured else ""
                    raise ReaderError(f"{path}: expected {what}, found "
                                      f"{_listing(npz, names)}{hint}")
                return np.asarray(npz[picks[0]])
        mapped: np.ndarray = np.load(path, mmap_mode="r", allow_pickle=False)
        return mapped
    except ReaderError:
        raise
    except (ValueError, EOFError, zipfile.BadZipFile, KeyError, TypeError) as exc:
        raise _damaged(path, exc) from None
    except OSError as exc:
        raise ReaderError(f"{path}: cannot read: {exc.strerror or exc}") from None


def load_frames(path: Path) -> np.ndarray:
    """A frame stack (T, H, W) or (T, C, H, W) of numbers from a .npy or .npz file; bool
    frames become uint8."""
    frames = load_array(path, structured=False)
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


def _listing(npz: np.lib.npyio.NpzFile, names: list[str]) -> str:
    parts = []
    for n in names:
        a = npz[n]
        if a.dtype.names:
            kind = "{" + ", ".join(f"{f}: {a.dtype[f].str}" for f in a.dtype.names) + "}"
        else:
            kind = str(a.dtype)
        parts.append(f"{n} ({kind}, shape {tuple(a.shape)})")
    return "the arrays " + ", ".join(parts)


class NumpySource(ArraySource):
    """A .npy file (memory-mapped; read in chunks or by binary search on sorted t) or a
    .npz archive (read whole)."""

    def __init__(self, path: Path, array: str | None = None) -> None:
        super().__init__(path)
        self.format = "NumPy .npz" if path.suffix.lower() == ".npz" else "NumPy .npy"
        self.events = load_array(path, array)
        if not self.events.dtype.names:
            raise ReaderError(f"{path}: holds a plain {self.events.dtype} array of shape "
                              f"{tuple(self.events.shape)}, not a structured event array "
                              f"with named fields such as x, y, t, p")
        if self.events.ndim != 1:
            raise ReaderError(f"{path}: the event array must be one-dimensional, "
                              f"got shape {tuple(self.events.shape)}")
        self.t_field = time_field(self.events.dtype)

    def chunks_from(self, position: Any, size: int = CHUNK_EVENTS) -> Iterator[np.ndarray]:
        ev = self.events
        mm = getattr(ev, "_mmap", None)
        if not isinstance(ev, np.memmap) or mm is None or not ev.flags.c_contiguous:
            yield from super().chunks_from(position, size)
            return
        # Plain reads instead of the mapping: pages of a mapped file count as resident
        # memory once touched, read copies are freed chunk by chunk.
        offset = int(ev.offset)
        with open(self.path, "rb") as f:
            for i in range(int(position), len(ev), size):
                count = min(size, len(ev) - i)
                f.seek(offset + i * ev.dtype.itemsize)
                chunk = np.fromfile(f, dtype=ev.dtype, count=count)
                if len(chunk) != count:
                    raise self.fail("the file is shorter than its header says")
                yield chunk

    def window(self, lo, hi):
        ev = self.events
        n = len(ev)
        if not n:
            return ev, 0
        # Binary search when the times look sorted (checked on a sample, then on the
        # window itself and its edges); a scan otherwise. The file is read record by
        # record rather than through the mapping: touching a mapped page makes the kernel
        # map a wide stretch around it (megabytes here), which would count as resident.
        with self._records() as record:
            sample = np.array([record(i) for i in np.linspace(0, n - 1, num=min(n, 257))
                               .astype(np.int64)])
            if np.all(sample[1:] >= sample[:-1]):
                i0 = _bisect(record, n, lo) if lo is not None else 0
                i1 = _bisect(record, n, hi) if hi is not None else n
                part = self._slice(i0, max(i0, i1))
                pt = part[self.t_field]
                edges_ok = (i0 == 0 or not len(pt) or record(i0 - 1) < pt[0]) and \
                           (i1 >= n or not len(pt) or record(i1) >= pt[-1])
                if np.all(pt[1:] >= pt[:-1]) and edges_ok:
                    return part, n - len(part)
        return super().window(lo, hi)

    @contextlib.contextmanager
    def _records(self) -> Iterator[Any]:
        """A function giving the time of record i, read from the file (or the array)."""
        ev, name = self.events, self.t_field
        if not self._readable():
            yield lambda i: ev[name][i]
            return
        size, offset = ev.dtype.itemsize, int(ev.offset)
        with open(self.path, "rb") as f:
            fd = f.fileno()

            def record(i: int) -> Any:
                raw = os.pread(fd, size, offset + int(i) * size)
                if len(raw) != size:
                    raise self.fail("the file is shorter than its header says")
                return np.frombuffer(raw, dtype=ev.dtype)[name][0]

            yield record

    def _readable(self) -> bool:
        ev = self.events
        return isinstance(ev, np.memmap) and ev.flags.c_contiguous and hasattr(os, "pread")

    def _slice(self, i0: int, i1: int) -> np.ndarray:
        ev = self.events
        if not self._readable():
            return np.array(ev[i0:i1])
        with open(self.path, "rb") as f:
            f.seek(int(ev.offset) + i0 * ev.dtype.itemsize)
            part = np.fromfile(f, dtype=ev.dtype, count=i1 - i0)
        if len(part) != i1 - i0:
            raise self.fail("the file is shorter than its header says")
        return part


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
