"""Reading an AEDAT4 file (zstd, 2 M events in 20 packets, written by dv-processing into a
temporary directory) through a child process, next to the same decode in this process.

The reader runs the aedat decoder in a child (a native abort on a damaged file must not
end the command), so its cost over the in-process decode is the price of that isolation:
starting the child and sending the events back over a pipe. Forking is cheap; beside
other threads the child is a new interpreter, which costs its start-up. Wall seconds, best of three
(the machine is shared). Target: the child adds at most a quarter to the in-process time.
"""
from __future__ import annotations

import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

from nivra.viz.io import open_source, read_events

N = 2_000_000
PACKETS = 20


def best(fn, repeat: int = 3) -> float:
    wall = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        wall = min(wall, time.perf_counter() - start)
    return wall


def in_thread(fn) -> None:
    """fn run in a second thread: the reader then spawns its child instead of forking, as
    under the page's read-ahead thread."""
    worker = threading.Thread(target=fn)
    worker.start()
    worker.join()


def write(path: Path) -> None:
    import dv_processing as dv

    rng = np.random.default_rng(1)
    t = np.cumsum(rng.integers(1, 20, N)) + 1_000
    x, y, p = rng.integers(0, 640, N), rng.integers(0, 480, N), rng.integers(0, 2, N)
    config = dv.io.MonoCameraWriter.EventOnlyConfig("cam", (640, 480), dv.CompressionType.ZSTD)
    writer = dv.io.MonoCameraWriter(str(path), config)
    for part in np.array_split(np.arange(N), PACKETS):
        store = dv.EventStore()
        for row in zip(t[part].tolist(), x[part].tolist(), y[part].tolist(), p[part].tolist()):
            store.push_back(row[0], row[1], row[2], bool(row[3]))
        writer.writeEvents(store)
    del writer


def in_process(path: Path) -> int:
    import aedat

    decoder = aedat.Decoder(str(path))
    stream = next(sid for sid, s in sorted(decoder.id_to_stream().items())
                  if s.get("type") == "events")
    parts = [pk["events"] for pk in decoder if pk.get("stream_id") == stream and "events" in pk]
    return len(np.concatenate(parts))


def main() -> int:
    try:
        import aedat  # noqa: F401
        import dv_processing  # noqa: F401
    except ImportError as exc:
        print(f"skipped: {exc.name} is not installed")
        return 0
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "rec.aedat4"
        write(path)
        assert in_process(path) == len(read_events(path).events) == N
        base = best(lambda: in_process(path))
        child = best(lambda: read_events(path))
        opened = best(lambda: open_source(path))
        spawned = best(lambda: in_thread(lambda: read_events(path)))
        size = path.stat().st_size
    print(f"{'file':<44} {N:,} events, zstd, {size / 1e6:.1f} MB")
    print(f"{'in-process decode (baseline)':<44} {base * 1000:8.1f} ms  {N / base / 1e6:6.1f} M ev/s")
    print(f"{'read_events, decode in a child':<44} {child * 1000:8.1f} ms  {N / child / 1e6:6.1f} M ev/s"
          f"  ({child / base:.2f}x the baseline)")
    print(f"{'open_source (stream list, in a child)':<44} {opened * 1000:8.1f} ms")
    print(f"{'read_events beside another thread (spawned)':<44} {spawned * 1000:8.1f} ms"
          f"  ({spawned / base:.2f}x the baseline)")
    return 0 if child <= 1.25 * base + 0.05 else 1


if __name__ == "__main__":
    sys.exit(main())
