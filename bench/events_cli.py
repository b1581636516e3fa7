"""`nivra-viz events` on recordings larger than the in-memory limit: time and peak memory.

Generates a 1e8-event recording (1280x720 sensor, sorted times, 20 s) as a .npy file
(16-byte records, 1.6 GB) and as a Prophesee EVT 3.0 .raw file (expelliarmus's writer) in a
temporary directory, then runs the command on each, whole (binned in chunks) and with a
window (the 20th of the recording from its first quarter), each in its own process whose
wall and CPU time (the machine is shared: CPU time is the steadier figure) and peak resident
memory (ru_maxrss) are read when it ends. Baseline, measured in the same run: the whole
recording loaded into memory (NumPy's fromfile, expelliarmus's read) and made into the
page's document by serialize_events. The chunked page is first checked against the
baseline's document (Tonic off on the baseline's side: both bin with the same arithmetic).
`python bench/events_cli.py N` for another size.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

N = int(float(sys.argv[1])) if len(sys.argv) > 1 else 100_000_000
W, H = 1280, 720
DTYPE = np.dtype({"names": ["t", "x", "y", "p"], "formats": ["<i8", "<i2", "<i2", "u1"],
                  "offsets": [0, 8, 10, 12], "itemsize": 16})  # expelliarmus's layout
PY = sys.executable


def generate(npy: Path, raw: Path) -> None:
    rng = np.random.default_rng(5)
    ev = np.zeros(N, DTYPE)
    step = 1 << 24
    t0 = 0
    for i in range(0, N, step):  # ~20 s of recording at 5 M events/s
        n = min(step, N - i)
        ev["t"][i:i + n] = t0 + np.cumsum(rng.random(n) < 0.2)
        t0 = int(ev["t"][i + n - 1])
        ev["x"][i:i + n] = rng.integers(0, W, n)
        ev["y"][i:i + n] = rng.integers(0, H, n)
        ev["p"][i:i + n] = rng.integers(0, 2, n)
    np.save(npy, ev)
    from expelliarmus import Wizard
    Wizard(encoding="evt3").save(str(raw), ev)
    del ev
    # the sensor line the cameras write, after the first header line
    with open(raw, "r+b") as f:
        head = f.read(4096)
    cut = head.index(b"\n") + 1
    tmp = raw.with_suffix(".tmp")
    with open(raw, "rb") as src, open(tmp, "wb") as dst:
        dst.write(head[:cut] + b"% geometry 1280x720\n")
        src.seek(cut)
        shutil.copyfileobj(src, dst, 64 << 20)
    os.replace(tmp, raw)


def measured(code: str, *args: str) -> tuple[float, float, float, str]:
    """Wall and CPU seconds and peak RSS (MiB) of one child process running `code`, and its
    stdout."""
    wrapper = ("import resource, subprocess, sys, time\n"
               "t = time.perf_counter()\n"
               "r = subprocess.run(sys.argv[1:], capture_output=True, text=True)\n"
               "t = time.perf_counter() - t\n"
               "sys.stderr.write(r.stderr)\n"
               "u = resource.getrusage(resource.RUSAGE_CHILDREN)\n"
               "print(t, u.ru_utime + u.ru_stime, u.ru_maxrss / 1024)\n"
               "print(r.stdout, end='')\n"
               "sys.exit(r.returncode)\n")
    res = subprocess.run([PY, "-c", wrapper, PY, "-c", code, *args], capture_output=True,
                         text=True)
    if res.returncode:
        sys.exit(f"failed: {args}\n{res.stderr}")
    first, _, rest = res.stdout.partition("\n")
    secs, cpu, mib = first.split()
    return float(secs), float(cpu), float(mib), rest


CLI = "import sys; from nivra.viz.cli import main; sys.exit(main(sys.argv[1:]))"
BASELINE = """
import json, sys
import numpy as np
from nivra.viz import spikes
spikes.TONIC_AVAILABLE = False
path, out = sys.argv[1], sys.argv[2]
if path.endswith(".npy"):
    with open(path, "rb") as f:
        major, _ = np.lib.format.read_magic(f)
        read_header = np.lib.format.read_array_header_1_0 if major == 1 else \
            np.lib.format.read_array_header_2_0
        shape, _, dtype = read_header(f)
        ev = np.fromfile(f, dtype=dtype, count=shape[0])
else:
    from expelliarmus import Wizard
    ev = Wizard(encoding="evt3").read(path)
doc = spikes.serialize_events(ev, (1280, 720))
with open(out, "w") as f:
    json.dump(doc, f)
"""


def page_doc(html: str) -> dict:
    start = html.index('{"event_count"')
    return json.JSONDecoder().raw_decode(html[start:])[0]


def main() -> None:
    tmp = Path(tempfile.mkdtemp(prefix="nivra-bench-"))
    try:
        free = shutil.disk_usage(tmp).free
        need = N * 16 * 2.5
        if free < need:
            sys.exit(f"needs {need / 2**30:.1f} GiB free in {tmp.parent}, has {free / 2**30:.1f}")
        npy, raw = tmp / "rec.npy", tmp / "rec.raw"
        t = time.perf_counter()
        generate(npy, raw)
        print(f"{N:,} events, {W}x{H}: .npy {npy.stat().st_size / 2**30:.2f} GiB, EVT 3.0 .raw "
              f"{raw.stat().st_size / 2**30:.2f} GiB (generated in {time.perf_counter() - t:.0f} s)")
        for rec in (npy, raw):
            base_s, base_cpu, base_mib, _ = measured(BASELINE, str(rec), str(tmp / "base.json"))
            page = tmp / "page.html"
            whole_s, whole_cpu, whole_mib, _ = measured(CLI, "events", str(rec), "-o", str(page), "-q")
            ours = page_doc(page.read_text())
            base = json.loads((tmp / "base.json").read_text())
            base["sensor_size"] = list(base["sensor_size"])
            if ours != base:
                sys.exit(f"{rec.name}: the chunked page differs from the baseline's document")
            span = N / 5  # microseconds: 5 events a microsecond
            win_s, win_cpu, win_mib, _ = measured(CLI, "events", str(rec), "-o", str(page), "-q",
                                         "--start", f"{span / 4:.0f}", "--duration",
                                         f"{span / 20:.0f}")
            print(f"{rec.suffix}: whole (chunked): {whole_s:5.1f} s ({whole_cpu:5.1f} s CPU), peak "
                  f"{whole_mib:5.0f} MiB | window of 1/20: {win_s:5.1f} s ({win_cpu:5.1f} s CPU), "
                  f"peak {win_mib:5.0f} MiB | baseline, load all + serialize_events: {base_s:5.1f} s "
                  f"({base_cpu:5.1f} s CPU), peak {base_mib:5.0f} MiB | whole vs baseline: "
                  f"{base_cpu / whole_cpu:.2f}x CPU time, {base_mib / whole_mib:.1f}x less memory")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
