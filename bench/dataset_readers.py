"""Reading the fixed-layout dataset formats: 10 M events each of N-MNIST-layout .bin,
AEDAT 2.0 (DAVIS, big-endian) and AEDAT 3.1 (DAVIS346, 2,000-event polarity packets with
IMU packets between them), generated into a temporary directory.

Each read (read_events, whole file) is printed next to its baseline measured just before
it: np.fromfile of the same file as raw records, the least any reader must do. Wall and
CPU seconds, best of three (the machine is shared). Target: at least 10 M events a CPU
second (10^8 events, a long recording, read in 10 s).
"""
from __future__ import annotations

import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import dataset_files as w  # noqa: E402

from nivra.viz.io import read_events  # noqa: E402

N = 10_000_000
TARGET = 10e6  # events a CPU second


def best(fn, repeat: int = 3) -> tuple[float, float]:
    wall = cpu = float("inf")
    for _ in range(repeat):
        w0, c0 = time.perf_counter(), time.process_time()
        fn()
        wall, cpu = min(wall, time.perf_counter() - w0), min(cpu, time.process_time() - c0)
    return wall, cpu


def files(tmp: Path) -> dict[str, tuple[Path, np.dtype, int]]:
    ev = w.events(N, 346, 260, t0=1_000, step=20)
    made = {}
    path = tmp / "nmnist.bin"
    path.write_bytes(w.nmnist(ev["x"] % 34, ev["y"] % 34, ev["p"], ev["t"]))
    made["N-MNIST .bin"] = (path, np.dtype("u1"), 0)
    path = tmp / "davis.aedat"
    head = w.aedat2_header("eu.seebetter.ini.chips.davis.Davis346B")
    path.write_bytes(head + w.aedat2_records(w.davis_address(ev["x"], ev["y"], ev["p"], 260),
                                             ev["t"]))
    made["AEDAT 2.0 (DAVIS346)"] = (path, np.dtype([("a", ">u4"), ("t", ">i4")]), len(head))
    path = tmp / "davis346.aedat"
    head = w.aedat31_header("DAVIS346B")
    with open(path, "wb") as f:
        f.write(head)
        for i in range(0, N, 2000):
            s = slice(i, i + 2000)
            f.write(w.polarity_packet(ev["x"][s], ev["y"][s], ev["p"][s], ev["t"][s]))
            f.write(w.imu6_packet(4))
    made["AEDAT 3.1 (DAVIS346)"] = (path, np.dtype("u1"), len(head))
    return made


def main() -> int:
    ok = True
    with tempfile.TemporaryDirectory() as tmp:
        for name, (path, raw, offset) in files(Path(tmp)).items():
            base = best(lambda: np.fromfile(path, raw, offset=offset))
            ours = best(lambda: read_events(path))
            rate = N / ours[1]
            print(f"{name:<22} read_events {ours[0]:6.3f} s wall {ours[1]:6.3f} s CPU "
                  f"({rate / 1e6:5.1f} M events/s)   np.fromfile {base[0]:6.3f} s wall "
                  f"{base[1]:6.3f} s CPU   ({os.path.getsize(path) / 2**20:,.0f} MiB)")
            ok &= rate >= TARGET
    print(f"target: {TARGET / 1e6:g} M events a CPU second: {'met' if ok else 'MISSED'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
