"""Reading Event Stream (.es) files: 10 M events each of a DVS file (640 x 480) and an
ATIS file (304 x 240, a quarter of its events exposure measurements), written by the
tests' writer into a temporary directory, time steps of 0-40 us with an overflow byte now
and then.

Each read (read_events, whole file) is printed next to its baseline measured just before
it: np.fromfile of the same file as bytes, the least any reader must do; and the time
span the reader claims (one pass that adds up time steps, writing no events) next to a
pass over its chunks. Wall and CPU seconds, best of three (the machine is shared).
Target: at least 10 M events a CPU second, as for the other dataset formats.
"""
from __future__ import annotations

import os
import sys
import tempfile
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import eventstream_files as w  # noqa: E402
from dataset_readers import N, TARGET, best  # noqa: E402  (10 M events, 10 M a CPU second)

from nivra.viz.io import open_source, read_events  # noqa: E402


def write(path: Path, kind: int, width: int, height: int) -> None:
    rng = np.random.default_rng(kind)
    steps = rng.integers(0, 40, N)
    steps[rng.random(N) < 0.01] += 300
    exposure = rng.random(N) < 0.25 if kind == w.ATIS else None
    data, _ = w.events(kind, rng.integers(0, width, N), rng.integers(0, height, N),
                       rng.integers(0, 2, N), np.cumsum(steps), exposure=exposure)
    path.write_bytes(w.header(kind, width, height) + data)


def show(what: str, ours: tuple[float, float], label: str, base: tuple[float, float]) -> None:
    print(f"  {what:<12} {ours[0]:6.3f} s wall {ours[1]:6.3f} s CPU   {label} {base[0]:6.3f} s "
          f"wall {base[1]:6.3f} s CPU")


def main() -> int:
    ok = True
    with tempfile.TemporaryDirectory() as tmp:
        for name, kind, width, height in (("DVS", w.DVS, 640, 480), ("ATIS", w.ATIS, 304, 240)):
            path = Path(tmp) / f"{name}.es"
            write(path, kind, width, height)
            base = best(lambda: np.fromfile(path, np.uint8))
            ours = best(lambda: read_events(path))
            rate = N / ours[1]
            print(f"Event Stream {name} ({os.path.getsize(path) / 2**20:,.0f} MiB, "
                  f"{rate / 1e6:5.1f} M events a CPU second)")
            show("read_events", ours, "np.fromfile", base)
            chunks = best(lambda: sum(len(c) for c in open_source(path).chunks_reusing()))
            span = best(lambda: open_source(path).time_span())
            show("time_span", span, "chunk pass ", chunks)
            ok &= rate >= TARGET
    print(f"target: {TARGET / 1e6:g} M events a CPU second: {'met' if ok else 'MISSED'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
