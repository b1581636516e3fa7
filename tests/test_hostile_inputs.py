"""Hostile inputs: every argument of every public function against a table of malformed and
unusual values (see hostile_driver.py) ends in a result or an exception, never a crash, a hang
or a changed argument; event arrays in every memory layout bin like the plain NumPy steps."""
import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import hostile_driver as hd
import spikes_reference as ref
import sweep_support as s

DRIVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "hostile_driver.py")


@pytest.mark.parametrize("module", ["encode", "serialize", "render", "compiled", "spikes"])
def test_every_call_ends_in_a_result_or_an_exception(module, tmp_path):
    if s.module(module) is None:
        pytest.skip(f"nivra.viz.{module} is not built")
    env = dict(os.environ, TMPDIR=str(tmp_path), BROWSER="true")
    proc = subprocess.run([sys.executable, DRIVER, module], capture_output=True, text=True,
                          timeout=1200, env=env, cwd=tmp_path)
    lines = [json.loads(line) for line in proc.stdout.splitlines()]
    last_start = next((r for r in reversed(lines) if "start" in r), None)
    assert proc.returncode == 0, f"died in {last_start}:\n{proc.stderr[-3000:]}"
    assert lines and lines[-1] == {"finished": module}, proc.stderr[-3000:]
    done = [r for r in lines if "done" in r]
    assert len(done) == sum(1 for r in lines if "start" in r)
    # The good call of each function works (the Tonic path only where Tonic is installed);
    # nothing it was given was changed.
    skip = {"load_template"}
    if module == "spikes" and not s.module("spikes").TONIC_AVAILABLE:
        skip.add("_events_to_frames_tonic")
    assert all(r["outcome"] == "ok" for r in done if r["value"] == "good" and r["done"] not in skip), \
        [r for r in done if r["value"] == "good" and r["outcome"] != "ok"]
    assert not [r for r in done if r["changed"]]
    # SystemError means a function failed without a proper exception of its own.
    assert not [r for r in done if r["outcome"].startswith("exc:SystemError")]


@pytest.mark.parametrize("stack_kib", [512, 1024, 2048])
def test_self_containing_containers_on_small_thread_stacks(run_python, stack_kib):
    out = run_python(f"""
        import threading
        from nivra.viz import encode
        threading.stack_size({stack_kib} * 1024)
        seen = []
        def run():
            a = []; a.append(a)
            d = {{}}; d["k"] = [d]
            for value in (a, d, (1, [a])):
                try:
                    encode.encode_value(value)
                except RecursionError:
                    seen.append("RecursionError")
        t = threading.Thread(target=run); t.start(); t.join()
        print(seen)
    """)
    assert str(["RecursionError"] * 3) in out.splitlines()


# --- event arrays in every layout: the module's binning equals the NumPy steps ---------

LAYOUTS = ["ev", "ev_strided", "ev_reversed", "ev_recarray", "ev_packed", "ev_padded", "ev_big_endian",
           "ev_memmap", "ev_readonly", "ev_floats_nan", "ev_signed_negative", "ev_huge_x", "ev_huge_t",
           "ev_uint_t", "ev_same_time", "ev_audio", "ev_aliases", "ev_no_p", "ev_bool_p", "ev_empty"]


@pytest.fixture(scope="module")
def spikes():
    mod = s.module("spikes")
    if mod is None:
        pytest.skip("nivra.viz.spikes is not built")
    return mod


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("accumulate", [False, True])
def test_frames_equal_the_numpy_steps(spikes, layout, accumulate):
    events = hd.VALUES[layout]()
    for size in [(8, 6), (3, 2), (1, 1)]:
        got = spikes._events_to_frames_numpy(events, size, 4, accumulate)
        want = ref.frames(events, size, 4, accumulate)
        assert got.dtype == np.float32 and np.array_equal(got, want), (layout, size)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("layout", [v for v in LAYOUTS if v not in ("ev_floats_nan", "ev_huge_x")])
def test_raster_and_grid_equal_the_numpy_steps(spikes, layout):
    events = hd.VALUES[layout]()
    if len(events):
        width, height = spikes._detect_sensor_size(events)
        got = spikes.events_to_raster(events, 40, 5)
        assert np.array_equal(got, ref.raster(events, 40, 5, width, height)), layout
    frames = spikes.events_to_frames(events, (8, 6), n_frames=3)
    grid = spikes.events_to_grid(events, (8, 6), 3)
    assert np.array_equal(grid, ref.grid_from_frames(frames)), layout


def test_the_driver_table_is_importable_without_the_modules():
    """The table builds with NumPy alone, so a missing module only skips its rows."""
    for name, make in hd.VALUES.items():
        make()
    assert textwrap.dedent(hd.__doc__).startswith("Runs one module's table")
