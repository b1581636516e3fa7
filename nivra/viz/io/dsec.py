"""DSEC-style HDF5 event files: events/x, events/y, events/t, events/p, a t_offset (the
microseconds to add to every t) and ms_to_idx, where entry k is the index of the first
event at or after k milliseconds (of t, before the offset). Windows are read through
that index: only the events of the window's milliseconds are read.
"""
from __future__ import annotations

import math
from pathlib import Path
from typing import Any

import numpy as np

from ._base import Source
from .hdf5 import Hdf5File, Hdf5Source


class DsecSource(Hdf5Source):
    format = "DSEC HDF5"

    def __init__(self, path: Path, allow_external: bool = False,
                 h5: Hdf5File | None = None) -> None:
        super().__init__(path, allow_external, h5)
        if not self.columns:
            raise self.fail("ms_to_idx is there, but no events/x, y, t, p datasets")
        self.index = self.h5.dataset("ms_to_idx")
        if self.index is None or self.index.ndim != 1 or self.index.dtype.kind not in "iu":
            raise self.fail("ms_to_idx is not a one-dimensional array of indices")
        self.offset = 0
        holder = self.h5.dataset("t_offset")
        if holder is not None:
            try:
                value = np.asarray(holder[()])
            except Exception as exc:
                raise self.fail(f"cannot read t_offset ({exc})") from None
            if value.size != 1 or value.dtype.kind not in "iu":
                raise self.fail(f"t_offset is not one whole number (dtype {value.dtype}, "
                                f"shape {value.shape})")
            self.offset = int(value.reshape(-1)[0])

    def _slice(self, i0: int, i1: int) -> np.ndarray:
        part = super()._slice(i0, i1)
        if not self.offset:
            return part
        names = part.dtype.names or ()
        out = np.empty(len(part), [(n, np.int64 if n == "t" else part.dtype[n]) for n in names])
        for n in names:
            out[n] = part[n]
        out["t"] += self.offset
        return out

    def window(self, lo: Any, hi: Any) -> tuple[np.ndarray, int | None]:
        n = len(self)
        try:
            index = np.asarray(self.index[()], dtype=np.int64)
        except Exception as exc:
            raise self.fail(f"cannot read ms_to_idx ({exc})") from None
        if n == 0 or not len(index) or index.min() < 0 or index.max() > n \
                or np.any(index[1:] < index[:-1]):
            return Source.window(self, lo, hi)  # no usable index: a scan
        t = self.columns["t"]
        rel_lo = None if lo is None else lo - self.offset
        rel_hi = None if hi is None else hi - self.offset
        i0 = 0
        if rel_lo is not None and rel_lo > 0:
            i0 = int(index[min(math.floor(rel_lo / 1000), len(index) - 1)])
        i1 = n
        if rel_hi is not None:
            k = math.ceil(rel_hi / 1000)
            if k < len(index):
                i1 = int(index[max(k, 0)])
        i1 = max(i0, i1)
        part = self._slice(i0, i1)
        rel = part["t"] - self.offset
        # The index is trusted where the times agree with it: sorted inside the stretch,
        # and the events just outside it outside the window; else a scan.
        if np.any(rel[1:] < rel[:-1]) or \
                (i0 > 0 and rel_lo is not None and t[i0 - 1] >= rel_lo) or \
                (i1 < n and rel_hi is not None and t[i1] < rel_hi):
            return Source.window(self, lo, hi)
        mask = np.ones(len(part), bool)
        if lo is not None:
            mask &= part["t"] >= lo
        if hi is not None:
            mask &= part["t"] < hi
        kept = part[mask]
        return kept, n - len(kept)
