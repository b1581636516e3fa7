"""Decoding Prophesee files: our chunked decoder next to expelliarmus's, same files, same run.

Generates, in a temporary directory deleted at the end, a recording of 1e8 events (1280x720,
sorted times, 5 events a microsecond; see events_cli.py) as an EVT 3.0 .raw (encoded from the
published word layout) and an EVT 2.0 .raw (expelliarmus's writer). Each figure is one child
process (wall and CPU seconds of the decode alone, peak RSS of the process): our decode of every chunk into reused buffers, our
scan of the words for the exact time span (what a page needs before binning; the other way
is a whole decoding pass), reading the file's bytes, and expelliarmus's chunked decode.

    python bench/evt_decode.py          # 1e8 events
    python bench/evt_decode.py 2e7      # another size
"""
import shutil
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from events_cli import READ_BYTES, W, H, measured, row, write_evt3, write_raw  # noqa: E402

ARGS = [a for a in sys.argv[1:] if not a.startswith("--")]
N = int(float(ARGS[0])) if ARGS else 100_000_000

# Each child times its decode alone (imports and process start left out) and prints
# "wall cpu"; its peak RSS is the whole process's.
TIMED = """
import sys, time
{setup}
w, c = time.perf_counter(), time.process_time()
{work}
print(time.perf_counter() - w, time.process_time() - c)
"""
OURS_SETUP = """from nivra.viz.recording_page import import_spikes
import_spikes(tonic=False)  # as the command line imports it
from nivra.viz.io import open_source"""
OURS = TIMED.format(setup=OURS_SETUP, work="n = sum(len(c) for c in open_source(sys.argv[1]).chunks_reusing())")
SPAN = TIMED.format(setup=OURS_SETUP, work="open_source(sys.argv[1]).time_span()")
THEIRS = TIMED.format(setup="from expelliarmus import Wizard",
                      work="n = sum(len(c) for c in Wizard(encoding=sys.argv[2], fpath=sys.argv[1], "
                           "chunk_size=1 << 22).read_chunk())")
READ = TIMED.format(setup="", work=READ_BYTES)


def timed(code, *args):
    """(wall, CPU) of the child's own work, and its peak RSS."""
    _, _, mib, out = measured(code, *args)
    wall, cpu = map(float, out.split()[-2:])
    return wall, cpu, mib


def main():
    tmp = Path(tempfile.mkdtemp(prefix="nivra-bench-"))
    try:
        need = N * 16 * 0.8
        if shutil.disk_usage(tmp).free < need:
            sys.exit(f"needs {need / 2**30:.1f} GiB free in {tmp.parent}")
        t = time.perf_counter()
        files = {"evt3": tmp / "rec3.raw", "evt2": tmp / "rec2.raw"}
        write_evt3(files["evt3"], N)
        write_raw(files["evt2"], N, "evt2")
        sizes = ", ".join(f"{k} {p.stat().st_size / 2**30:.2f} GiB" for k, p in files.items())
        print(f"{N:,} events, {W}x{H}: {sizes} (generated in {time.perf_counter() - t:.0f} s)", flush=True)
        for key, name in (("evt3", "EVT 3.0"), ("evt2", "EVT 2.0")):
            path = str(files[key])
            ours = timed(OURS, path)
            read = ("read the bytes", timed(READ, path))
            row(f"{name}: our decode", ours, [read, ("expelliarmus decode", timed(THEIRS, path, key))])
            row(f"{name}: our time-span scan", timed(SPAN, path), [("our decode", ours), read])
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
