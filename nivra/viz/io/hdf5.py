"""HDF5 event files, read with h5py: x, y, t, p datasets of equal length in an 'events'
group or at the root, or one structured (compound) dataset. What every HDF5 reader here
shares is in this file too: only data stored in the file itself is read (external links,
external storage and virtual datasets take data from other files, and are refused unless
the caller allows them), declared sizes are checked before anything is read, and missing
compression filters are named.

Compression filters other than HDF5's own come from the hdf5plugin package, which is
imported when it is installed.
"""
from __future__ import annotations

import contextlib
from pathlib import Path
from typing import Any, Callable, Iterator

import numpy as np

from ._base import CHUNK_EVENTS, ReaderError, Source, escaped, require

MAGIC = b"\x89HDF\r\n\x1a\n"
_ROLES = {
    "x": ("x", "channel", "addr", "address"),
    "y": ("y", "row"),
    "t": ("t", "ts", "time", "timestamp", "timestamps"),
    "p": ("p", "pol", "polarity", "on", "polarities"),
}

# No recording a page is made from has more values in a dataset than this (10^10 events
# take hours to read); a dataset declaring more is refused before anything is read.
MAX_VALUES = 1 << 36
# A dataset declaring more than SPARSE_BYTES whose declared size exceeds what it stores by
# more than SPARSE_RATIO is mostly unwritten (fill values, not data): refused too. No
# compression of event data comes near that ratio.
SPARSE_BYTES = 1 << 26
SPARSE_RATIO = 4096
# HDF5 filter ids: Prophesee's ECF codec for event tables, and names for others that
# hdf5plugin provides.
ECF_FILTER = 36559
_PLUGIN_FILTERS = {307: "bzip2", 32001: "Blosc", 32004: "LZ4", 32008: "bitshuffle",
                   32013: "ZFP", 32015: "Zstandard", 32017: "SZ", 32018: "FCIDECOMP",
                   32024: "SZ3", 32026: "Blosc2"}
ALLOW_HINT = "allowed with --allow-external (allow_external=True)"


class Hdf5File:
    """An HDF5 file opened for reading events, with the checks every layout shares.

    ``notes`` collects what the caller should be told (data read from other files where
    that was allowed)."""

    def __init__(self, path: Path, allow_external: bool = False) -> None:
        self.path = path
        self.allow_external = allow_external
        self.h5py = require("h5py", "formats", path, "HDF5")
        with contextlib.suppress(ImportError):
            import hdf5plugin  # noqa: F401  (registers more compression filters)
        try:
            self.file = self.h5py.File(path, "r")
        except (OSError, ValueError) as exc:
            raise self.fail(f"cannot open ({_first_line(exc)})") from None
        self.notes: list[str] = []

    def fail(self, detail: str) -> ReaderError:
        return ReaderError(f"{self.path}: HDF5: {detail}")

    def lookup(self, name: str, depth: int = 0) -> Any:
        """The object at a path in the file, or None. Hard and soft links inside the file
        are followed; an external link is refused unless allowed."""
        node = self.file
        parts = [p for p in name.split("/") if p]
        for i, part in enumerate(parts):
            if not isinstance(node, self.h5py.Group):
                return None
            where = "/" + escaped("/".join(parts[:i + 1]))
            try:
                link = node.get(part, getlink=True)
            except Exception as exc:  # a damaged link table
                raise self.fail(f"damaged file ({_first_line(exc)})") from None
            if link is None:
                return None
            if isinstance(link, self.h5py.ExternalLink):
                target = f"{escaped(link.filename)}:{escaped(link.path)}"
                if not self.allow_external:
                    raise self.fail(f"{where} is an external link to {target}; other files "
                                    f"are not read into a page unless {ALLOW_HINT}")
                self.notes.append(f"{where} is read from another file ({target}) through "
                                  f"an external link")
            elif isinstance(link, self.h5py.SoftLink):
                if depth > 16:
                    raise self.fail(f"{where}: soft links in a loop")
                target = link.path if link.path.startswith("/") else \
                    "/".join(parts[:i] + [link.path])
                node = self.lookup(target, depth + 1)
                continue
            try:
                node = node.get(part)
            except Exception as exc:
                raise self.fail(f"cannot read {where} ({_first_line(exc)})") from None
        return node

    def dataset(self, name: str) -> Any:
        """The dataset at a path, checked (see ``check``), or None."""
        found = self.lookup(name)
        if not isinstance(found, self.h5py.Dataset):
            return None
        self.check(found)
        return found

    def check(self, dataset: Any) -> None:
        """Refuse a dataset whose data lies in other files (unless allowed), that declares
        more values than it could hold, or that needs a compression filter not at hand."""
        name = escaped(dataset.name or "?")
        external = dataset.external
        if dataset.is_virtual or external:
            if dataset.is_virtual:
                files = sorted({m.file_name for m in dataset.virtual_sources()})
                how = "a virtual dataset mapping data from other files"
            else:
                files = [str(e[0]) for e in external]
                how = "kept in other files (external storage)"
            where = ", ".join(escaped(f) for f in files[:3]) + (", ..." if len(files) > 3 else "")
            if not self.allow_external:
                raise self.fail(f"the dataset {name} is {how}: {where}; other files are not "
                                f"read into a page unless {ALLOW_HINT}")
            self.notes.append(f"the dataset {name} is read from other files: {where}")
        values = int(dataset.size or 0)
        if values > MAX_VALUES:
            raise self.fail(f"the dataset {name} declares {values:,} values, more than a "
                            f"recording holds ({MAX_VALUES:,} at most are read); refused "
                            f"before reading")
        declared = values * dataset.dtype.itemsize
        if declared > SPARSE_BYTES and not (dataset.is_virtual or external):
            stored = dataset.id.get_storage_size()
            if stored * SPARSE_RATIO < declared:
                raise self.fail(f"the dataset {name} declares {values:,} values "
                                f"({declared / 2**30:,.1f} GiB) but stores only {stored:,} "
                                f"bytes: the rest was never written; refused before reading")
        try:
            plist = dataset.id.get_create_plist()
            filters = [plist.get_filter(i)[::3] for i in range(plist.get_nfilters())]
        except Exception:  # a pipeline h5py cannot list: reading will tell
            filters = []
        for code, label in filters:
            if not self.h5py.h5z.filter_avail(code):
                raise self.fail(missing_filter(name, code, label))


def open_hdf5(path: Path, sample: int | None = None, allow_external: bool = False) -> Source:
    """The reader for an HDF5 file's layout: spiking audio (spikes/times, spikes/units),
    DSEC-style events with a millisecond index (ms_to_idx), or the general one."""
    h5 = Hdf5File(path, allow_external)
    if h5.lookup("spikes/times") is not None and h5.lookup("spikes/units") is not None:
        from .spike_audio import SpikeAudioSource
        return SpikeAudioSource(h5, sample)
    if sample is not None:
        raise h5.fail("--sample picks a sample of a spiking audio file (spikes/times, "
                      "spikes/units); this file is not one")
    if isinstance(h5.lookup("ms_to_idx"), h5.h5py.Dataset):
        from .dsec import DsecSource
        return DsecSource(path, h5=h5)
    return Hdf5Source(path, h5=h5)


class Hdf5Source(Source):
    format = "HDF5"

    def __init__(self, path: Path, allow_external: bool = False,
                 h5: Hdf5File | None = None) -> None:
        super().__init__(path)
        self.h5 = h5 if h5 is not None else Hdf5File(path, allow_external)
        self.h5py, self.file = self.h5.h5py, self.h5.file
        self.columns: dict[str, Any] = {}
        self.table: Any = None
        try:
            self._find()
        except ReaderError:
            raise
        except Exception as exc:  # h5py raises several kinds on damaged structure
            raise self.fail(f"damaged file ({_first_line(exc)})") from None
        for dataset in [self.table] if self.table is not None else self.columns.values():
            self.h5.check(dataset)
        attrs = {}
        for holder in (self.file, self.h5.lookup("events")):
            if holder is not None:
                with contextlib.suppress(Exception):
                    attrs.update({k.lower(): holder.attrs[k] for k in holder.attrs})
        w, h = attrs.get("width"), attrs.get("height")
        with contextlib.suppress(TypeError, ValueError):
            if w is not None and h is not None and int(w) > 0 and int(h) > 0:
                self.sensor_size = (int(w), int(h))
        self.warnings = self.h5.notes

    def _find(self) -> None:
        Dataset = self.h5py.Dataset
        lookup = self.h5.lookup
        for group in (lookup("events"), lookup("CD/events"), self.file):
            if group is None or isinstance(group, Dataset):
                if isinstance(group, Dataset) and group.dtype.names:
                    self.table = group
                    return
                continue
            cols = {}
            for role, names in _ROLES.items():
                for n in names:
                    obj = lookup(f"{group.name}/{n}")
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
            return len(self.table) * int(self.table.dtype.itemsize)
        return len(self) * sum(int(d.dtype.itemsize) for d in self.columns.values())

    def _slice(self, i0: int, i1: int) -> np.ndarray:
        try:
            if self.table is not None:
                return np.asarray(self.table[i0:i1])
            parts = {r: np.asarray(d[i0:i1]) for r, d in self.columns.items()}
        except Exception as exc:  # OSError, ValueError, RuntimeError, ... from h5py
            text = _first_line(exc)
            if "filter" in text.lower() or "plugin" in text.lower():
                prophesee = self.table is not None and self.table.name == "/CD/events"
                raise self.fail(missing_filter(self.table.name if prophesee else None,
                                               ECF_FILTER if prophesee else None, None)) from None
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

    def first_time(self) -> Any:
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


def missing_filter(name: str | None, code: int | None, label: bytes | None) -> str:
    """The message for data compressed with a filter that is not at hand (``code`` None:
    one h5py named only by failing to read)."""
    what = f"the dataset {name}" if name else "the data"
    if code == ECF_FILTER:
        return (f"{what} is compressed with Prophesee's ECF codec (HDF5 filter {ECF_FILTER}), "
                f"which neither h5py nor hdf5plugin provide; install Prophesee's ECF plugin "
                f"for HDF5, or convert the recording to .raw or .dat with Prophesee's tools")
    if code is None:
        filt = "a compression filter that is not installed"
    else:
        known = _PLUGIN_FILTERS.get(code) or escaped((label or b"").decode("ascii", "replace"))
        filt = f"HDF5 filter {code}" + (f" ({known})" if known else "")
    try:
        import hdf5plugin  # noqa: F401
    except ImportError:
        return (f"{what} is compressed with {filt}, which h5py reads only with the hdf5plugin "
                f"package; install it with: pip install hdf5plugin (Prophesee's own HDF5 "
                f"files need its ECF plugin instead)")
    return (f"{what} is compressed with {filt}, which neither h5py nor hdf5plugin provide")


def _first_line(exc: BaseException) -> str:
    text = str(exc)
    return text.splitlines()[0][:160] if text else type(exc).__name__
