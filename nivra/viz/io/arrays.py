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
    """A .npy file (memory-mapped; read in chunks, its time span claimed from its first
    and last record when its times look sorted) or a .npz archive (read whole)."""

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
