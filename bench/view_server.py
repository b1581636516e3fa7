"""The viewer (nivra-viz view) on a 1e8-event 1280x720 recording: the opening pass, and the
time to answer a 10 ms frame (binning plus encoding, in the server, and through HTTP on
loopback), each next to its baseline measured in the same run:

- opening: reading the file once in chunks and doing nothing with it, and the same
  counts (extremes, order, ON/OFF per millisecond and per pixel) made with NumPy steps
  per chunk of 4 M events, as a script would;
- a frame: the window's events counted from scratch with NumPy (the file memory-mapped,
  the window found by a mask over all times, counts by np.add.at), which is what a
  script does without an index.

The recording is generated in a temporary directory (1.6 GB as .npy) and deleted after.
An EVT 3.0 .raw of the same events is measured too when the Prophesee reader can resume
from a position (otherwise every frame would decode the file from its start).
Wall and CPU times are printed: the machine may be shared. ``--events N`` for other sizes.
"""
from __future__ import annotations

import argparse
import http.client
import shutil
import tempfile
import time
from pathlib import Path

import numpy as np

from nivra.viz import spikes  # noqa: F401  (imported before timing: it probes Tonic)
from nivra.viz.io import _base, open_source, prophesee
from nivra.viz.view import Viewer
from nivra.viz.view.recording import Recording
from nivra.viz.view.routes import encode_frame

W, H = 1280, 720
DURATION_US = 50_000_000
DTYPE = np.dtype([("t", "<i8"), ("x", "<u2"), ("y", "<u2"), ("p", "u1")])
WINDOW_US = 10_000
FRAMES = 40


def generate(path: Path, n: int) -> None:
    """A dot circling over a noisy background, time-sorted, written piece by piece."""
    out = np.lib.format.open_memmap(path, mode="w+", dtype=DTYPE, shape=(n,))
    rng = np.random.default_rng(11)
    pieces = max(1, n // 5_000_000)
    for k in range(pieces):
        a, b = k * n // pieces, (k + 1) * n // pieces
        m = b - a
        t = np.sort(rng.integers(k * DURATION_US // pieces, (k + 1) * DURATION_US // pieces, m))
        ang = t / DURATION_US * 40 * np.pi
        dot = rng.random(m) < 0.6
        x = np.where(dot, W / 2 + W / 4 * np.cos(ang) + rng.normal(0, 6, m), rng.uniform(0, W, m))
        y = np.where(dot, H / 2 + H / 4 * np.sin(ang) + rng.normal(0, 6, m), rng.uniform(0, H, m))
        out["t"][a:b] = t
        out["x"][a:b] = np.clip(x, 0, W - 1)
        out["y"][a:b] = np.clip(y, 0, H - 1)
        out["p"][a:b] = rng.random(m) < 0.5
    out.flush()
    del out


def timed(fn):
    w, c = time.perf_counter(), time.process_time()
    result = fn()
    return result, time.perf_counter() - w, time.process_time() - c


def read_in_chunks(path: Path) -> int:
    return sum(len(c) for c in open_source(path).chunks())


def numpy_opening(path: Path) -> tuple[np.ndarray, np.ndarray]:
    """Per chunk: time extremes and order, ON/OFF events per millisecond and per pixel."""
    pixels = np.zeros(2 * H * W, np.int64)
    activity = np.zeros(0, np.int64)
    origin = None
    in_order = True
    for chunk in open_source(path).chunks(1 << 22):
        t = chunk["t"]
        if origin is None:
            origin = int(t[0])
        in_order &= bool(np.all(t[1:] >= t[:-1]))
        off = (chunk["p"] <= 0).astype(np.int64)
        x, y = chunk["x"].astype(np.int64), chunk["y"].astype(np.int64)
        ok = (x >= 0) & (x < W) & (y >= 0) & (y < H)
        pixels += np.bincount((off * H * W + y * W + x)[ok], minlength=2 * H * W)
        steps = (t - origin) // 1000
        n = max(len(activity) // 2, int(steps.max()) + 1)
        grown = np.zeros(2 * n, np.int64)
        grown[:len(activity) // 2] = activity[:len(activity) // 2]
        grown[n:n + len(activity) // 2] = activity[len(activity) // 2:]
        activity = grown + np.bincount(off * n + steps, minlength=2 * n)
    return pixels.reshape(2, H, W), activity.reshape(2, -1)


def scratch_frame(path: Path, lo: int, hi: int) -> np.ndarray:
    ev = np.load(path, mmap_mode="r")
    t = ev["t"]
    sel = ev[(t >= lo) & (t < hi)]
    out = np.zeros((2, H, W), np.float32)
    x, y = sel["x"].astype(np.int32), sel["y"].astype(np.int32)
    ok = (x >= 0) & (x < W) & (y >= 0) & (y < H)
    np.add.at(out, ((sel["p"][ok] <= 0).astype(np.int32), y[ok], x[ok]), 1)
    return out


def pct(values, q):
    return float(np.percentile(np.asarray(values) * 1e3, q))


def bench_file(path: Path, label: str, check_against: Path | None) -> None:
    size = path.stat().st_size
    print(f"-- {label}: {path.name}, {size / 2**30:.2f} GiB")
    n, bw, bc = timed(lambda: read_in_chunks(path))
    rec, ow, oc = timed(lambda: Recording(path))
    print(f"open   ours (index, activity, totals, hot pixels)  {ow:6.2f} s wall {oc:6.2f} s CPU "
          f"  {rec.count / ow / 1e6:5.1f} M events/s, {len(rec._index.positions):,} index entries")
    print(f"       baseline: read the file in chunks           {bw:6.2f} s wall {bc:6.2f} s CPU")
    if check_against is not None:
        (pixels, activity), nw, nc = timed(lambda: numpy_opening(check_against))
        assert np.array_equal(pixels, rec.totals) and rec.activity.first == 0 \
            and np.array_equal(activity, rec.activity.counts), "the opening differs from NumPy's"
        print(f"       baseline: the counts with NumPy steps       {nw:6.2f} s wall {nc:6.2f} s CPU "
              f"(same counts)")
    rng = np.random.default_rng(3)
    starts = rng.integers(0, int(rec.duration_us) - WINDOW_US, FRAMES)
    walls, cpus, events = [], [], []
    for s in starts:
        frame, w, c = timed(lambda: rec.frame(int(s), WINDOW_US))
        (body, _), w2, c2 = timed(lambda: encode_frame(frame))
        walls.append(w + w2)
        cpus.append(c + c2)
        events.append(frame.events)
    print(f"frame  ours, 10 ms window (bin + encode)           p50 {pct(walls, 50):6.1f} ms  "
          f"p90 {pct(walls, 90):6.1f} ms wall, p50 {pct(cpus, 50):6.1f} ms CPU  "
          f"({int(np.mean(events)):,} events a frame)")
    if check_against is not None:
        s = int(starts[0])
        lo, hi = rec.window_bounds(s, WINDOW_US)
        ref, rw, rc = timed(lambda: scratch_frame(check_against, lo, hi))
        assert np.array_equal(ref, rec.frame(s, WINDOW_US).dense(rec.sensor)), \
            "the frame differs from NumPy's count"
        print(f"       baseline: from scratch with NumPy           {rw * 1e3:8.1f} ms wall "
              f"{rc * 1e3:8.1f} ms CPU (same counts)")
    del rec


def bench_http(path: Path) -> None:
    viewer = Viewer(path, port=0)
    try:
        conn = http.client.HTTPConnection("127.0.0.1", viewer.port, timeout=60)
        dur = int(viewer.catalog.recording(0).duration_us)
        rng = np.random.default_rng(5)
        walls = []
        for s in rng.integers(0, dur - WINDOW_US, FRAMES):
            began = time.perf_counter()
            conn.request("GET", f"/api/frame?start={s}&window={WINDOW_US}&token={viewer.token}")
            res = conn.getresponse()
            body = res.read()
            walls.append(time.perf_counter() - began)
            assert res.status == 200, body
        conn.close()
        print(f"http   ours, one client on loopback                p50 {pct(walls, 50):6.1f} ms  "
              f"p90 {pct(walls, 90):6.1f} ms wall")
    finally:
        viewer.stop()


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--events", type=int, default=100_000_000)
    args = ap.parse_args()
    tmp = Path(tempfile.mkdtemp(prefix="nivra-bench-view-"))
    try:
        npy = tmp / "recording.npy"
        print(f"generating {args.events:,} events ({W}x{H}, {DURATION_US / 1e6:.0f} s) ...")
        generate(npy, args.events)
        bench_file(npy, "NumPy .npy", npy)
        bench_http(npy)
        if prophesee.PropheseeSource.chunks_from is _base.Source.chunks_from:
            print("-- EVT 3.0 .raw: skipped: the Prophesee reader cannot resume from a position "
                  "yet, so every frame would decode the file from its start")
        else:
            import expelliarmus

            raw = tmp / "recording.raw"
            ev = np.load(npy, mmap_mode="r")
            arr = np.empty(len(ev), [("t", "<i8"), ("x", "<i2"), ("y", "<i2"), ("p", "u1")])
            for f in "txyp":
                arr[f] = ev[f]
            expelliarmus.Wizard(encoding="evt3").save(raw, arr)
            del arr, ev
            bench_file(raw, "Prophesee EVT 3.0 .raw", None)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
