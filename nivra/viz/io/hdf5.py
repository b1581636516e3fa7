"""HDF5 event files, read with h5py: x, y, t, p datasets of equal length in an 'events'
group or at the root, or one structured (compound) dataset.

Compression filters other than HDF5's own come from the hdf5plugin package, which is
imported when it is installed.
"""
from __future__ import annotations

import contextlib
from pathlib import Path
from typing import Any, Iterator

import numpy as np

from ._base import CHUNK_EVENTS, ReaderError, Source, require

MAGIC = b"\x89HDF\r\n\x1a\n"
_ROLES = {
    "x": ("x", "channel", "addr", "address"),
    "y": ("y", "row"),
    "t": ("t", "ts", "time", "timestamp", "timestamps"),
    "p": ("p", "pol", "polarity", "on", "polarities"),
}


class Hdf5Source(Source):
    format = "HDF5"

    def __init__(self, path: Path) -> None:
        super().__init__(path)
        self.h5py = require("h5py", "formats", path, "HDF5")
        with contextlib.suppress(ImportError):
            import hdf5plugin  # noqa: F401  (registers more compression filters)
        try:
            self.file = self.h5py.File(path, "r")
        except (OSError, ValueError) as exc:
            raise self.fail(f"cannot open ({_first_line(exc)})") from None
        self.columns: dict[str, Any] = {}
        self.table: Any = None
        try:
            self._find()
        except ReaderError:
            raise
        except Exception as exc:  # h5py raises several kinds on damaged structure
            raise self.fail(f"damaged file ({_first_line(exc)})") from None
        attrs = {}
        for holder in (self.file, self.file.get("events")):
            if holder is not None:
                with contextlib.suppress(Exception):
                    attrs.update({k.lower(): holder.attrs[k] for k in holder.attrs})
        w, h = attrs.get("width"), attrs.get("height")
        with contextlib.suppress(TypeError, ValueError):
            if w is not None and h is not None and int(w) > 0 and int(h) > 0:
                self.sensor_size = (int(w), int(h))

    def _find(self) -> None:
        Dataset = self.h5py.Dataset
        for group in (self.file.get("events"), self.file.get("CD/events"), self.file):
            if group is None or isinstance(group, Dataset):
                if isinstance(group, Dataset) and group.dtype.names:
                    self.table = group
                    return
                continue
            cols = {}
            for role, names in _ROLES.items():
                for n in names:
                    obj = group.get(n)
                    if isinstance(obj, Dataset) and obj.ndim == 1 and obj.dtype.kind in "biuf":
                        cols[role] = obj
                        break
            if "x" in cols and "t" in cols:
                lengths = {len(d) for d in cols.values()}
                if len(lengths) != 1:
                    raise self.fail("the x, y, t, p datasets differ in length: " + ", ".join(
                        f"{r} {len(d)}" for r, d in cols.items()))
                self.columns = cols
                return
        tables = []
        self.file.visititems(lambda name, obj: tables.append(obj) if isinstance(obj, Dataset)
                             and obj.dtype.names and obj.ndim == 1 else None)
        if len(tables) == 1:
            self.table = tables[0]
            return
        raise self.fail("found no event data: expected x, y, t, p datasets of equal length in "
                        "an 'events' group or at the root, or one structured dataset")

    def __len__(self) -> int:
        return len(self.table) if self.table is not None else len(self.columns["t"])

    def decoded_bytes(self) -> int:
        if self.table is not None:
            return len(self.table) * self.table.dtype.itemsize
        return len(self) * sum(d.dtype.itemsize for d in self.columns.values())

    def _slice(self, i0: int, i1: int) -> np.ndarray:
        try:
            if self.table is not None:
                return np.asarray(self.table[i0:i1])
            parts = {r: np.asarray(d[i0:i1]) for r, d in self.columns.items()}
        except Exception as exc:  # OSError, ValueError, RuntimeError, ... from h5py
            text = _first_line(exc)
            if "filter" in text.lower() or "plugin" in text.lower():
                if self.table is not None and self.table.name == "/CD/events":
                    raise self.fail(f"compressed with Prophesee's ECF codec, which h5py and "
                                    f"hdf5plugin lack ({text}); convert the recording with "
                                    f"Prophesee's tools (to .raw or .dat)") from None
                raise self.fail(f"compressed with a filter h5py lacks ({text}); install it with: "
                                f"pip install hdf5plugin") from None
            raise self.fail(f"damaged file ({text})") from None
        roles = [r for r in ("x", "y", "t", "p") if r in parts]
        out = np.empty(max(i1 - i0, 0), [(r, parts[r].dtype) for r in roles])
        for r in roles:
            out[r] = parts[r]
        return out

    @property
    def t_field(self) -> str | None:  # type: ignore[override]
        if self.table is None:
            return "t"
        names = self.table.dtype.names or ()
        return next((n for n in _ROLES["t"] if n in names), None)

    def read(self) -> np.ndarray:
        return self._slice(0, len(self))

    def chunks(self, size: int = CHUNK_EVENTS) -> Iterator[np.ndarray]:
        n = len(self)
        for i in range(0, n, size):
            yield self._slice(i, min(n, i + size))

    def first_time(self):
        return self._slice(0, 1)[self.t_field][0] if len(self) else None

    def _time_at(self, i: int) -> Any:
        try:
            if self.table is not None:
                return self.table[int(i)][self.t_field].item()
            return self.columns["t"][int(i)].item()
        except Exception as exc:  # h5py raises several kinds on damaged data
            raise self.fail(f"damaged file ({_first_line(exc)})") from None

    def time_span(self) -> tuple[Any, Any] | None:
        # Claimed when a sample of the times is in order: the first and last record.
        n = len(self)
        if not n or self.t_field is None:
            return None
        sample = [self._time_at(i) for i in np.linspace(0, n - 1, num=min(n, 257)).astype(np.int64)]
        if any(b < a for a, b in zip(sample, sample[1:])):
            return None
        return sample[0], sample[-1]

    def window_span(self, lo: Any, hi: Any) -> tuple[Any, Any] | None:
        if self.time_span() is None:
            return None
        n = len(self)

        def search(value: Any) -> int:
            a, z = 0, n
            while a < z:
                mid = (a + z) // 2
                if self._time_at(mid) < value:
                    a = mid + 1
                else:
                    z = mid
            return a

        i0 = search(lo) if lo is not None else 0
        i1 = search(hi) if hi is not None else n
        if i1 <= i0:
            return ("empty", None)
        return self._time_at(i0), self._time_at(i1 - 1)


def _first_line(exc: BaseException) -> str:
    text = str(exc)
    return text.splitlines()[0][:160] if text else type(exc).__name__
