"""encode_array against the same steps written with NumPy and the standard base64 module.

For float32 arrays of 1e6 and 1e8 elements and a Fortran-order array, prints the whole record
(ours vs baseline), the base64 step alone (ours vs base64.b64encode(arr.tobytes())), the
throughput, and the peak memory each side allocates beyond its input.
"""
import base64
import gc
import math
import time
import tracemalloc

import numpy as np

from nivra.viz import encode


def baseline(arr):
    arr = np.ascontiguousarray(arr)
    stats = {"min": 0.0, "max": 0.0, "mean": 0.0, "std": 0.0}
    if arr.size > 0:
        stats = {"min": float(np.min(arr)), "max": float(np.max(arr)),
                 "mean": float(np.mean(arr)), "std": float(np.std(arr))}
    return {"shape": list(arr.shape), "dtype": str(arr.dtype),
            "data": base64.b64encode(arr.tobytes()).decode("ascii"), "stats": stats,
            "size": int(arr.size)}


def baseline_base64(arr):
    return base64.b64encode(np.ascontiguousarray(arr).tobytes()).decode("ascii")


class NoStats:
    """Stands in for the module's numpy so that only the copy and base64 steps are timed."""

    def __getattr__(self, name):
        if name in ("min", "max", "mean", "std"):
            return lambda a: 0.0
        return getattr(np, name)


def ours_base64(arr):
    saved = encode.np
    encode.np = NoStats()
    try:
        return encode.encode_array(arr)["data"]
    finally:
        encode.np = saved


def best(fn, arg, repeat):
    times = []
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        fn(arg)
        times.append(time.perf_counter() - t0)
    return min(times)


def peak(fn, arg):
    gc.collect()
    tracemalloc.start()
    out = fn(arg)
    _, top = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    del out
    return top


def same(a, b):
    sa, sb = a.pop("stats"), b.pop("stats")
    ok = a == b and all(sa[k] == sb[k] or (math.isnan(sa[k]) and math.isnan(sb[k])) for k in sa)
    a["stats"], b["stats"] = sa, sb
    return ok


def main():
    rng = np.random.default_rng(0)
    cases = [
        ("float32 1e6", rng.standard_normal(10 ** 6, dtype=np.float32), 7),
        ("float32 1e8", rng.standard_normal(10 ** 8, dtype=np.float32), 2),
        ("float32 2000x2000 Fortran", np.asfortranarray(rng.standard_normal((2000, 2000), dtype=np.float32)), 5),
    ]
    print(f"{'case':28} {'step':8} {'ours ms':>9} {'base ms':>9} {'ratio':>7} {'ours MB/s':>10} "
          f"{'ours peak/in':>12} {'base peak/in':>12}")
    for name, arr, repeat in cases:
        assert same(encode.encode_array(arr), baseline(arr)), name
        assert ours_base64(arr) == baseline_base64(arr), name
        nbytes = arr.nbytes
        for step, ours, base in (("record", encode.encode_array, baseline),
                                 ("base64", ours_base64, baseline_base64)):
            t_ours, t_base = best(ours, arr, repeat), best(base, arr, repeat)
            p_ours, p_base = peak(ours, arr), peak(base, arr)
            print(f"{name:28} {step:8} {t_ours * 1e3:9.1f} {t_base * 1e3:9.1f} {t_base / t_ours:6.1f}x "
                  f"{nbytes / t_ours / 1e6:10.0f} {p_ours / nbytes:12.2f} {p_base / nbytes:12.2f}")
    print("peak/in: peak bytes allocated during the call divided by the input size "
          "(the base64 text alone is 1.33)")


if __name__ == "__main__":
    main()
