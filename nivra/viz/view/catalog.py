"""What a viewer serves: one recording, or the recordings found under a directory.

Recordings are named by their number in the listing, never by a path from a request, so a
request can reach nothing but the files found when the viewer started.
"""
from __future__ import annotations

import os
import re
import threading
from collections import OrderedDict
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from nivra.viz import io as readers
from nivra.viz.io import ReaderError

from .recording import Recording, Summary, ViewError, open_recording

# Recordings kept opened (index, activity, totals) at once; others are opened again.
KEEP_OPEN = 4
# A directory lists at most this many recordings.
MAX_LISTED = 10_000

_CONTROL = re.compile(r"[\x00-\x1f\x7f-\x9f]")


def clean(text: str) -> str:
    """Text for a one-line message: control characters escaped."""
    return _CONTROL.sub(lambda m: f"\\x{ord(m.group()):02x}", text)


def endings() -> set[str]:
    """File name endings of the formats the readers know."""
    return {e for endings in readers.FORMATS.values() for e in endings}


@dataclass
class Entry:
    id: int
    path: Path
    name: str                      # relative to the directory opened
    summary: Summary | None = None
    error: str | None = None


class Catalog:
    def __init__(self, path: Path, sensor: tuple[int, int] | None = None,
                 time_unit: str = "us") -> None:
        self.root = path
        self.sensor = sensor
        self.time_unit = time_unit
        self.is_dir = path.is_dir()
        self.truncated = False
        if self.is_dir:
            self.entries = self._walk(path)
        else:
            self.entries = [Entry(0, path, path.name)]
        self._open: OrderedDict[int, Recording] = OrderedDict()
        self._locks = [threading.Lock() for _ in self.entries]
        self._lock = threading.Lock()
        self._stop = threading.Event()

    def _walk(self, top: Path) -> list[Entry]:
        known = endings()
        found: list[Path] = []
        for here, dirs, files in os.walk(top):
            dirs[:] = sorted(d for d in dirs if not d.startswith("."))
            for name in sorted(files):
                if not name.startswith(".") and Path(name).suffix.lower() in known:
                    found.append(Path(here) / name)
            if len(found) > MAX_LISTED:
                self.truncated = True
                break
        found = found[:MAX_LISTED]
        return [Entry(i, p, p.relative_to(top).as_posix()) for i, p in enumerate(found)]

    def entry(self, rec_id: int) -> Entry:
        if not 0 <= rec_id < len(self.entries):
            raise KeyError(rec_id)
        return self.entries[rec_id]

    def recording(self, rec_id: int) -> Recording:
        """The recording opened (its pass made on first use, once even when asked for by
        several requests at the same time)."""
        entry = self.entry(rec_id)
        with self._locks[rec_id]:
            with self._lock:
                rec = self._open.get(rec_id)
                if rec is not None:
                    self._open.move_to_end(rec_id)
                    return rec
            if entry.error is not None:
                raise ViewError(entry.error)
            try:
                rec = open_recording(entry.path, self.sensor, self.time_unit)
            except (ReaderError, ViewError) as exc:
                entry.error = clean(str(exc))
                raise ViewError(entry.error) from None
            entry.summary = rec.summary()
            with self._lock:
                self._open[rec_id] = rec
                while len(self._open) > KEEP_OPEN:
                    self._open.popitem(last=False)
            return rec

    def listing(self) -> dict[str, Any]:
        rows = []
        for e in self.entries:
            row: dict[str, Any] = {"id": e.id, "name": clean(e.name)}
            if e.summary is not None:
                s = e.summary
                row.update(format=s.format, events=s.events, duration_us=s.duration_us,
                           sensor=list(s.sensor))
            elif e.error is not None:
                row["error"] = e.error
            else:
                row["pending"] = True
            rows.append(row)
        return {"directory": self.is_dir, "name": clean(self.root.name or str(self.root)),
                "recordings": rows, "truncated": self.truncated}

    def survey(self) -> None:
        """Opens every recording of the listing once, in order, so that it shows their
        counts and durations (runs in a thread of its own until done or stopped)."""
        for e in self.entries:
            if self._stop.is_set():
                return
            if e.summary is None and e.error is None:
                try:
                    self.recording(e.id)
                except ViewError:
                    pass
                except MemoryError:
                    e.error = f"{clean(str(e.path))}: out of memory while opening it"

    def stop(self) -> None:
        self._stop.set()
