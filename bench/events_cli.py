"""`nivra-viz events` from file to page: wall and CPU time and peak memory, next to reading
the same file.

Generates, in a temporary directory that is deleted at the end, a recording of 1e8 events
(1280x720 sensor, sorted times, 5 events a microsecond) as a NumPy .npy file (16-byte
records), a Prophesee EVT 3.0 .raw file (encoded here from the format's word layout) and an EVT 2.0
one (expelliarmus's writer, with the geometry line the cameras write) and an AEDAT4 file (dv-processing's writer), plus a
2e7-event .npy. Each figure is one child process, whose wall and CPU time (the machine is
shared: CPU time is the steadier figure) and peak resident memory (ru_maxrss) are read when
it ends. Each .npy page is timed as the command makes it (hot pixels left out, the busiest
pixels rastered: one more pass) and with `--hot-pixels keep --raster first`. Baselines, measured in the same run: reading the file (np.fromfile for .npy, the
file's bytes otherwise) and, for the .raw files, expelliarmus decoding it (what the page had
to wait for before our own decoder). The command runs with Tonic installed (it never imports
it). Before timing, the 2e7-event page is checked against serialize_events of the same events
without Tonic.

    python bench/events_cli.py            # 1e8 and 2e7 events
    python bench/events_cli.py 2e7        # another size for the large files
    python bench/events_cli.py --huge     # 1e9 events in EVT 3.0 (needs ~5 GB of disk)

Targets: .npy page within 2.5x of reading the file, 2e7-event .npy within 4x; EVT 3.0 page
at least 5x faster than expelliarmus's decode alone; peak RSS at most 1 GiB at any size;
--huge: under 10 s and 1 GB.
"""
import datetime
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HUGE = "--huge" in sys.argv
ARGS = [a for a in sys.argv[1:] if not a.startswith("--")]
N = int(float(ARGS[0])) if ARGS else (1_000_000_000 if HUGE else 100_000_000)
SMALL = 20_000_000
W, H = 1280, 720
DTYPE = np.dtype({"names": ["t", "x", "y", "p"], "formats": ["<i8", "<i2", "<i2", "u1"],
                  "offsets": [0, 8, 10, 12], "itemsize": 16})  # expelliarmus's layout
PY = sys.executable
STEP = 1 << 24


def chunks(n, seed=5):
    """The recording, STEP events at a time (sorted times, ~5 events a microsecond)."""
    rng = np.random.default_rng(seed)
    t0 = 0
    for i in range(0, n, STEP):
        k = min(STEP, n - i)
        ev = np.zeros(k, DTYPE)
        ev["t"] = t0 + np.cumsum(rng.random(k) < 0.2)
        t0 = int(ev["t"][-1])
        ev["x"] = rng.integers(0, W, k)
        ev["y"] = rng.integers(0, H, k)
        ev["p"] = rng.integers(0, 2, k)
        yield ev


def write_npy(path, n):
    header = {"descr": np.lib.format.dtype_to_descr(DTYPE), "fortran_order": False, "shape": (n,)}
    with open(path, "wb") as f:
        np.lib.format.write_array_header_1_0(f, header)
        for ev in chunks(n):
            ev.tofile(f)


def write_raw(path, n, encoding):
    """EVT file of the recording: expelliarmus's writer, chunk by chunk into one file (its
    header once), with the geometry line the cameras write after the first header line."""
    from expelliarmus import Wizard
    part = path.with_suffix(".part.raw")
    with open(path, "wb") as out:
        for k, ev in enumerate(chunks(n)):
            Wizard(encoding=encoding).save(str(part), ev)
            data = part.read_bytes()
            body = 0
            while data.startswith(b"%", body):  # the '%' header lines
                body = data.index(b"\n", body) + 1
            if k == 0:
                cut = data.index(b"\n") + 1
                out.write(data[:cut] + b"% geometry 1280x720\n" + data[cut:])
            else:
                out.write(data[body:])
    part.unlink()


EVT3_HEADER = (b"% camera_integrator_name Prophesee\n% evt 3.0\n"
               b"% format EVT3;height=720;width=1280\n% geometry 1280x720\n% end\n")


def write_evt3(path, n):
    """EVT 3.0 file of the recording, encoded here from the published word layout (16-bit
    words, type in the top 4 bits): TIME_HIGH (0x8) when t >> 12 changes, TIME_LOW (0x6)
    when t changes, ADDR_Y (0x0) when y changes, then ADDR_X (0x2, polarity in bit 11)
    for each event. The 24-bit time wraps every 16.7 s; readers count the wraps."""
    prev_t, prev_y = -1, -1
    with open(path, "wb") as f:
        f.write(EVT3_HEADER)
        for ev in chunks(n):
            t = ev["t"].astype(np.int64)
            y = ev["y"].astype(np.int64)
            before_t = np.concatenate(([prev_t], t[:-1]))
            before_y = np.concatenate(([prev_y], y[:-1]))
            words = np.zeros((len(ev), 4), np.uint16)
            keep = np.zeros((len(ev), 4), bool)
            words[:, 0] = 0x8000 | ((t >> 12) & 0xFFF)
            keep[:, 0] = (t >> 12) != (before_t >> 12)
            words[:, 1] = 0x6000 | (t & 0xFFF)
            keep[:, 1] = t != before_t
            words[:, 2] = 0x0000 | (y & 0x7FF)
            keep[:, 2] = (y != before_y) | keep[:, 1]
            words[:, 3] = 0x2000 | (ev["x"].astype(np.uint16) & 0x7FF) | (ev["p"].astype(np.uint16) << 11)
            keep[:, 3] = True
            words[keep].astype("<u2").tofile(f)
            prev_t, prev_y = int(t[-1]), int(y[-1])


def write_aedat4(path, n):
    import dv_processing as dv
    writer = dv.io.MonoCameraWriter(str(path), dv.io.MonoCameraWriter.EventOnlyConfig("cam", (W, H)))
    per = 1_000_000
    span = datetime.timedelta(microseconds=per // 5)
    for k in range(0, n, per):
        store = dv.data.generate.uniformEventsWithinTimeRange(k // 5, span, (W, H), min(per, n - k), k)
        writer.writeEvents(store)
    del writer


def measured(code, *args):
    """Wall and CPU seconds and peak RSS (MiB) of one child process running `code`."""
    wrapper = ("import resource, subprocess, sys, time\n"
               "t = time.perf_counter()\n"
               "r = subprocess.run(sys.argv[1:], capture_output=True, text=True)\n"
               "t = time.perf_counter() - t\n"
               "sys.stderr.write(r.stderr)\n"
               "u = resource.getrusage(resource.RUSAGE_CHILDREN)\n"
               "print(t, u.ru_utime + u.ru_stime, u.ru_maxrss / 1024)\n"
               "print(r.stdout, end='')\n"
               "sys.exit(r.returncode)\n")
    res = subprocess.run([PY, "-c", wrapper, PY, "-c", code, *args], capture_output=True, text=True)
    if res.returncode:
        sys.exit(f"failed: {args}\n{res.stderr}")
    first, _, rest = res.stdout.partition("\n")
    secs, cpu, mib = first.split()
    return float(secs), float(cpu), float(mib), rest


CLI = "import sys; from nivra.viz.cli import main; sys.exit(main(sys.argv[1:]))"
READ_NPY = """
import sys
import numpy as np
with open(sys.argv[1], "rb") as f:
    np.lib.format.read_magic(f)
    shape, _, dtype = np.lib.format.read_array_header_1_0(f)
    ev = np.fromfile(f, dtype=dtype, count=shape[0])
"""
READ_BYTES = """
import sys
with open(sys.argv[1], "rb", buffering=0) as f:
    buf = bytearray(64 << 20)
    while f.readinto(buf):
        pass
"""
EXPELLIARMUS = """
import sys
from expelliarmus import Wizard
w = Wizard(encoding=sys.argv[2], fpath=sys.argv[1], chunk_size=1 << 22)
n = sum(len(c) for c in w.read_chunk())
"""
REFERENCE = """
import json, sys
import numpy as np
from nivra.viz import spikes
spikes.TONIC_AVAILABLE = False
doc = spikes.serialize_events(np.load(sys.argv[1]), (1280, 720))
with open(sys.argv[2], "w") as f:
    json.dump(doc, f)
"""


def page_doc(html):
    start = html.index('{"event_count"')
    doc = json.JSONDecoder().raw_decode(html[start:])[0]
    doc.pop("recording", None)
    return doc


def row(label, ours, baselines):
    secs, cpu, mib = ours
    parts = [f"{label:<34} {secs:6.2f} s ({cpu:6.2f} s CPU), peak {mib:6.0f} MiB"]
    for name, (b_secs, b_cpu, b_mib) in baselines:
        parts.append(f"{name}: {b_secs:6.2f} s ({b_cpu:6.2f} s CPU, peak {b_mib:5.0f} MiB), "
                     f"ours {secs / b_secs:5.2f}x its wall, {cpu / b_cpu:5.2f}x its CPU")
    print(" | ".join(parts), flush=True)


# The command's own page leaves hot pixels out and rasters the busiest pixels, which takes a
# pass counting each pixel first; KEEP is the page as serialize_events makes it.
KEEP = ("--hot-pixels", "keep", "--raster", "first")


def page_of(path, out, *options):
    return measured(CLI, "events", str(path), "-o", str(out), "-q", *options)[:3]


def main():
    tmp = Path(tempfile.mkdtemp(prefix="nivra-bench-"))
    try:
        need = (N * 16 * (0.6 if HUGE else 2.3)) + SMALL * 16
        free = shutil.disk_usage(tmp).free
        if free < need:
            sys.exit(f"needs {need / 2**30:.1f} GiB free in {tmp.parent}, has {free / 2**30:.1f}")
        page = tmp / "page.html"
        t = time.perf_counter()
        if HUGE:
            raw = tmp / "huge.raw"
            write_evt3(raw, N)
            print(f"{N:,} events, {W}x{H}: EVT 3.0 {raw.stat().st_size / 2**30:.2f} GiB "
                  f"(generated in {time.perf_counter() - t:.0f} s)", flush=True)
            ours = page_of(raw, page)
            row("EVT 3.0, nivra-viz events", ours, [("read the bytes", measured(READ_BYTES, str(raw))[:3])])
            print(f"target: under 10 s and 1 GB: {'met' if ours[0] < 10 and ours[2] < 1000 else 'not met'}")
            return
        small = tmp / "small.npy"
        write_npy(small, SMALL)
        # The page is serialize_events' document of the same events, without Tonic.
        measured(REFERENCE, str(small), str(tmp / "ref.json"))
        measured(CLI, "events", str(small), "-o", str(page), "-q", "--sensor", "1280", "720", *KEEP)
        want = json.loads((tmp / "ref.json").read_text())
        want["sensor_size"] = list(want["sensor_size"])
        if page_doc(page.read_text()) != want:
            sys.exit("the page differs from serialize_events' document of the same events")
        files = {"npy": tmp / "rec.npy", "evt3": tmp / "rec3.raw", "evt2": tmp / "rec2.raw",
                 "aedat4": tmp / "rec.aedat4"}
        write_npy(files["npy"], N)
        write_evt3(files["evt3"], N)
        write_raw(files["evt2"], N, "evt2")
        write_aedat4(files["aedat4"], N)
        sizes = ", ".join(f"{k} {p.stat().st_size / 2**30:.2f} GiB" for k, p in files.items())
        print(f"{N:,} events, {W}x{H}: {sizes} (generated in {time.perf_counter() - t:.0f} s)",
              flush=True)
        for label, path in ((f"{SMALL:.0e} events, .npy", small), (f"{N:.0e} events, .npy", files["npy"])):
            read = ("np.fromfile", measured(READ_NPY, str(path))[:3])
            row(label, page_of(path, page), [read])
            row(label + ", keep/first", page_of(path, page, *KEEP), [read])
        for key, name in (("evt3", "EVT 3.0"), ("evt2", "EVT 2.0")):
            path = files[key]
            row(f"{N:.0e} events, {name} .raw", page_of(path, page),
                [("read the bytes", measured(READ_BYTES, str(path))[:3]),
                 ("expelliarmus decode", measured(EXPELLIARMUS, str(path), key)[:3])])
        path = files["aedat4"]
        row(f"{N:.0e} events, AEDAT4", page_of(path, page),
            [("read the bytes", measured(READ_BYTES, str(path))[:3])])
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
