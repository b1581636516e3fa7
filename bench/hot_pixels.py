"""What leaving hot pixels out (and rastering the busiest pixels) costs a recording's page:
the pass that counts each pixel's events before binning.

Generates a sorted 1280x720 recording (N events, default 2e7, 16-byte records, 3 hot
pixels) as a .npy file in a temporary directory, and times make_page on it, in memory and
read from the file chunk by chunk, with:
    keep/first   today's page (one pass: the file's first and last events give the span)
    drop/active  the command line's default (a pass counting each pixel, then binning)
    drop/first   hot pixels left out, the raster in row order
CPU time (the machine is shared: the steadier figure) and wall time, best of 3, and the
CPU time of the per-pixel pass alone; then the choice of pixels alone (the rule and the
busiest pixels on 921,600 totals). Encoding costs more once the hot pixels are out: the
frames then hold the scene, not one bright pixel on zeros.

    python bench/hot_pixels.py            # 2e7 events
    python bench/hot_pixels.py 5e6

Target: the per-pixel pass under half the CPU time of keep/first (one more read of the file).
"""
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from nivra.viz import recording_page
from nivra.viz.recording_page.pixels import choose

N = int(float(sys.argv[1])) if len(sys.argv) > 1 else 20_000_000
W, H = 1280, 720


def recording(n, seed=5):
    rng = np.random.default_rng(seed)
    ev = np.zeros(n, [("t", "<i8"), ("x", "<i2"), ("y", "<i2"), ("p", "u1"), ("pad", "V3")])
    ev["t"] = np.cumsum(rng.random(n) < 0.2)
    ev["x"], ev["y"], ev["p"] = rng.integers(0, W, n), rng.integers(0, H, n), rng.integers(0, 2, n)
    hot = rng.random(n) < 0.05
    k = int(hot.sum())
    ev["x"][hot], ev["y"][hot] = rng.choice([612, 90, 1000], k), rng.choice([301, 40, 700], k)
    return ev


def timed(fn, repeat=3):
    best = (float("inf"), float("inf"))
    for _ in range(repeat):
        w, c = time.perf_counter(), time.process_time()
        fn()
        best = min(best, (time.process_time() - c, time.perf_counter() - w))
    return best


def main():
    with tempfile.TemporaryDirectory() as tmp:
        path, out = Path(tmp) / "rec.npy", Path(tmp) / "rec.html"
        np.save(path, recording(N))
        print(f"{N:,} events, {W} x {H}, sorted; CPU s / wall s, best of 3")
        for where, kw in (("in memory", {}), ("from the file", {"in_memory_bytes": 0})):
            base = None
            for hot, raster in (("keep", "first"), ("drop", "active"), ("drop", "first")):
                marks = {}
                report = recording_page.make_page(
                    path, out, hot_pixels=hot, raster=raster,
                    stage=lambda text: marks.setdefault(text.split()[0], time.process_time()), **kw)
                counting = marks["binning"] - marks.get("counting", marks["binning"])
                cpu, wall = timed(lambda: recording_page.make_page(
                    path, out, hot_pixels=hot, raster=raster, **kw))
                base = base or cpu
                print(f"  {where:14} {hot}/{raster:7} {cpu:6.2f} / {wall:6.2f}  "
                      f"{cpu / base:4.2f}x  ({report.passes} passes; per-pixel pass {counting:.2f})")
        totals = np.random.default_rng(1).poisson(20, (H, W))
        cpu, wall = timed(lambda: choose(totals, drop_hot=True, raster="active", neurons=1000))
        print(f"  choosing the pixels alone    {cpu:6.3f} / {wall:6.3f}")


if __name__ == "__main__":
    main()
