"""Event binning: events_to_frames / events_to_raster / events_to_grid against the plain
NumPy steps they replace, and against Tonic's ToFrame.

10 million events of a 346x260 sensor (x, y: uint16; t: int64; p: bool and int8); the
raster also at 2 million, over the whole sensor and limited to 1,000 neurons.
Each result is first compared with the baseline's; then the best of a few runs is
timed, and the peak of extra memory (tracemalloc: NumPy reports its allocations to
it) is printed next to the output size. The raster lines also give the spread of the
CPU times (slowest over fastest run): the machine may be shared.
"""
import sys
import time
import tracemalloc

import numpy as np

from nivra.viz import spikes

N = 10_000_000
RASTER_SIZES = (2_000_000, 10_000_000)
W, H = 346, 260
REPEAT = 3
RASTER_REPEAT = 7


def make(n, p_dtype):
    rng = np.random.default_rng(7)
    ev = np.empty(n, dtype=[("x", "<u2"), ("y", "<u2"), ("t", "<i8"), ("p", p_dtype)])
    ev["x"] = rng.integers(0, W, n)
    ev["y"] = rng.integers(0, H, n)
    ev["t"] = np.sort(rng.integers(0, 5_000_000, n))
    ev["p"] = rng.integers(0, 2, n)
    return ev


# --- the baseline: the NumPy steps, written plainly ---------------------------

def bins_numpy(t_vals, n):
    t_min, t_max = t_vals.min(), t_vals.max()
    t_range = max(t_max - t_min, 1e-9)
    idx = ((t_vals - t_min) / t_range * (n - 0.001)).astype(np.int32)
    return np.clip(idx, 0, n - 1)


def frames_numpy(events, sensor_size, n_frames, accumulate=False):
    width, height = sensor_size
    t_vals = events["t"].astype(np.float64)
    x_vals = events["x"].astype(np.int32)
    y_vals = events["y"].astype(np.int32)
    p_vals = events["p"]
    frame_idx = bins_numpy(t_vals, n_frames)
    valid = (x_vals >= 0) & (x_vals < width) & (y_vals >= 0) & (y_vals < height)
    frame_idx, x_vals, y_vals, p_vals = frame_idx[valid], x_vals[valid], y_vals[valid], p_vals[valid]
    channels = np.where(p_vals > 0, 0, 1).astype(np.int32)
    frames = np.zeros((n_frames, 2, height, width), dtype=np.float32)
    np.add.at(frames, (frame_idx, channels, y_vals, x_vals), 1)
    if accumulate:
        np.cumsum(frames, axis=0, out=frames)
    return frames


def raster_numpy(events, n_neurons, time_bins):
    width = int(events["x"].max()) + 1
    height = int(events["y"].max()) + 1
    if n_neurons is None:
        n_neurons = width * height
    t_vals = events["t"].astype(np.float64)
    x_vals = events["x"].astype(np.int32)
    y_vals = events["y"].astype(np.int32)
    time_idx = bins_numpy(t_vals, time_bins)
    neuron_idx = y_vals * width + x_vals
    valid = (neuron_idx >= 0) & (neuron_idx < n_neurons)
    raster = np.zeros((time_bins, n_neurons), dtype=np.float32)
    np.add.at(raster, (time_idx[valid], neuron_idx[valid]), 1)
    return raster


def grid_numpy(events, sensor_size, n_bins):
    return grid_from_frames(frames_numpy(events, sensor_size, n_bins), sensor_size)


def grid_from_frames(frames, sensor_size):
    """The grid's colouring: each bin's ON and OFF counts scaled to its own peak."""
    width, height = sensor_size
    grid = np.zeros((len(frames), height, width, 3), dtype=np.uint8)
    on, off = frames[:, 0], frames[:, 1]
    max_on = np.maximum(on.max(axis=(1, 2), keepdims=True), 1)
    max_off = np.maximum(off.max(axis=(1, 2), keepdims=True), 1)
    grid[:, :, :, 2] = np.clip(on / max_on * 255, 0, 255).astype(np.uint8)
    grid[:, :, :, 0] = np.clip(off / max_off * 255, 0, 255).astype(np.uint8)
    return grid


# --- harness ------------------------------------------------------------------

def measure(fn, repeat=REPEAT):
    """Best wall time and best CPU time of this thread (the machine is shared: the CPU
    time leaves out the time other processes had the core), peak traced memory, and
    the slowest CPU time over the best."""
    best = cpu = float("inf")
    worst = 0.0
    for _ in range(repeat):
        t0, c0 = time.perf_counter(), time.thread_time()
        out = fn()
        best = min(best, time.perf_counter() - t0)
        used = time.thread_time() - c0
        cpu, worst = min(cpu, used), max(worst, used)
        del out
    tracemalloc.start()
    tracemalloc.reset_peak()
    out = fn()
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    return (best, cpu, worst / cpu), peak, out.nbytes


def row(label, secs, peak, out_bytes, ref_secs=None, n=N):
    (wall, cpu, spread) = secs
    ratio = f"  x{ref_secs[0] / wall:5.1f} wall, x{ref_secs[1] / cpu:5.1f} cpu" if ref_secs else ""
    print(f"  {label:<32} {wall * 1e3:7.1f} ms {n / wall / 1e6:6.1f} Mev/s | cpu {cpu * 1e3:7.1f} ms "
          f"{n / cpu / 1e6:6.1f} Mev/s (spread x{spread:.2f}) | peak {peak / 2**20:6.1f} MiB "
          f"(output {out_bytes / 2**20:5.1f} MiB){ratio}")


def rasters():
    """events_to_raster over the whole sensor and limited to 1,000 neurons, 2 M and 10 M
    events, each next to the NumPy steps measured just before it."""
    print(f"\nevents_to_raster, time_bins=100; best of {RASTER_REPEAT}")
    for n in RASTER_SIZES:
        ev = make(n, "i1")
        for n_neurons, what in ((None, "whole sensor"), (1000, "1,000 neurons")):
            compare("raster", spikes.events_to_raster(ev, n_neurons, 100), raster_numpy(ev, n_neurons, 100))
            b_s, b_p, b_o = measure(lambda: raster_numpy(ev, n_neurons, 100), RASTER_REPEAT)
            o_s, o_p, o_o = measure(lambda: spikes.events_to_raster(ev, n_neurons, 100), RASTER_REPEAT)
            print(f" {n / 1e6:g} M events, {what}")
            row("NumPy baseline", b_s, b_p, b_o, n=n)
            row("nivra", o_s, o_p, o_o, b_s, n=n)
        del ev


def compare(name, ours, ref):
    if not np.array_equal(ours, ref):
        sys.exit(f"{name}: result differs from the NumPy baseline")


def main():
    print(f"{N:,} events, sensor {W}x{H}; best of {REPEAT}; ratios against the NumPy baseline")
    for p_dtype in ("?", "i1"):
        ev = make(N, p_dtype)
        print(f"\np: {np.dtype(p_dtype)}")
        for n_frames, acc in ((10, False), (20, True)):
            compare("frames", spikes.events_to_frames(ev, (W, H), n_frames, acc, use_tonic=False),
                    frames_numpy(ev, (W, H), n_frames, acc))
            b_s, b_p, b_o = measure(lambda: frames_numpy(ev, (W, H), n_frames, acc))
            o_s, o_p, o_o = measure(lambda: spikes.events_to_frames(ev, (W, H), n_frames, acc, use_tonic=False))
            print(f" events_to_frames n_frames={n_frames} accumulate={acc}")
            row("NumPy baseline", b_s, b_p, b_o)
            row("nivra (one pass)", o_s, o_p, o_o, b_s)
        if spikes.TONIC_AVAILABLE:
            t_s, t_p, t_o = measure(lambda: spikes._events_to_frames_tonic(ev, (W, H), 10))
            row("Tonic ToFrame path, n_frames=10", t_s, t_p, t_o)
            o_s, o_p, o_o = measure(lambda: spikes.events_to_frames(ev, (W, H), 10, use_tonic=False))
            print(f"  nivra vs Tonic path: x{t_s[0] / o_s[0]:.1f} wall, x{t_s[1] / o_s[1]:.1f} cpu")

        saved = spikes.TONIC_AVAILABLE
        spikes.TONIC_AVAILABLE = False  # the array path, as without Tonic
        try:
            compare("grid", spikes.events_to_grid(ev, (W, H)), grid_numpy(ev, (W, H), 5))
            b_s, b_p, b_o = measure(lambda: grid_numpy(ev, (W, H), 5))
            o_s, o_p, o_o = measure(lambda: spikes.events_to_grid(ev, (W, H)))
        finally:
            spikes.TONIC_AVAILABLE = saved
        print(" events_to_grid n_bins=5 (array path; output counted without the frame stack)")
        row("NumPy baseline", b_s, b_p, b_o)
        row("nivra (one pass)", o_s, o_p, o_o, b_s)
        del ev
    rasters()


if __name__ == "__main__":
    main()
