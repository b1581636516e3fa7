"""Pages of recording files: chunked binning gives the page of whole binning, and the command
line says what it left out, refuses stray coordinates and oversized pages before binning,
and reads time windows and units."""
import json

import numpy as np
import pytest

from nivra.viz import recording_page, spikes
from nivra.viz.cli import main

pytestmark = pytest.mark.skipif(not hasattr(spikes, "_bin_events_into"), reason="spikes not built")


def events(n=4000, width=40, height=30, seed=2, t_dtype="<i8"):
    rng = np.random.default_rng(seed)
    ev = np.zeros(n, [("x", "<i2"), ("y", "<u2"), ("t", t_dtype), ("p", "i1")])
    ev["x"], ev["y"] = rng.integers(-2, width + 3, n), rng.integers(0, height + 2, n)
    ev["t"] = np.sort(rng.integers(0, 900_000, n)).astype(t_dtype)
    ev["p"] = rng.integers(-1, 2, n)
    return ev


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def page_doc(path):
    html = path.read_text()
    start = html.index('{"event_count"')
    return json.JSONDecoder().raw_decode(html[start:])[0]


@pytest.mark.parametrize("t_dtype, unit, sensor", [("<i8", "us", None), ("<f8", "ms", (36, 28)),
                                                   (">u4", "us", (64, 64))])
def test_chunked_page_equals_whole_page(tmp_path, monkeypatch, t_dtype, unit, sensor):
    monkeypatch.setattr(spikes, "TONIC_AVAILABLE", False)  # the array path bins both
    ev = events(t_dtype=t_dtype)
    if unit == "ms":
        ev["t"] = ev["t"] / 1000.0 + 0.25
    path = tmp_path / "rec.npy"
    np.save(path, ev)
    kw = dict(time_unit=unit, sensor=sensor, n_frames=7, grid_bins=3, raster_bins=11, max_neurons=300)
    whole = recording_page.make_page(path, tmp_path / "whole.html", **kw)
    parts = recording_page.make_page(path, tmp_path / "parts.html", in_memory_bytes=0,
                                     chunk_events=333, **kw)
    assert not whole.chunked and parts.chunked
    assert (tmp_path / "whole.html").read_text() == (tmp_path / "parts.html").read_text()
    assert whole.left_out == parts.left_out and whole.negative > 0


def test_left_out_events_are_reported(capsys, tmp_path):
    ev = events()
    path = tmp_path / "rec.npy"
    np.save(path, ev)
    x, y = ev["x"].astype(int), ev["y"].astype(int)
    negative = int((x < 0).sum())
    outside = int(((x >= 32) | (y >= 20)).sum() - ((x < 0) & (y >= 20)).sum())
    rel = ev["t"] - ev["t"][0]
    window = int(((rel < 100_000) | (rel >= 400_000)).sum())
    code, out, err = run(capsys, "events", path, "-o", tmp_path / "p.html", "--sensor", 32, 20,
                         "--start", "100ms", "--duration", "0.3s")
    assert code == 0
    assert "sensor 32 x 20 (given)" in out and f"{window:,} outside the time window" in out
    assert err.startswith("nivra-viz: warning: ") and "left out of the page" in err
    doc = page_doc(tmp_path / "p.html")
    assert doc["event_count"] == len(ev) - window
    code, out, err = run(capsys, "events", path, "-o", tmp_path / "p.html", "--sensor", 32, 20)
    assert f"{outside + negative:,} outside the sensor ({negative:,} of them at negative " \
           f"coordinates)" in out


@pytest.mark.parametrize("args, needles", [
    (["--start", "5s"], ["no events in the time window"]),
    (["--start", "10", "--end", "10"], ["time window is empty"]),
    (["--frames", "100000000"], ["100000005 images of 40 x 30", "--frames"]),
    (["--raster-bins", "100000", "--max-neurons", "1000"], ["raster would hold", "--raster-bins"]),
])
def test_refusals_before_binning(capsys, tmp_path, args, needles):
    path = tmp_path / "rec.npy"
    ev = events()
    ev["x"] = np.clip(ev["x"], 0, 39)
    ev["y"] = np.clip(ev["y"], 0, 29)
    np.save(path, ev)
    code, _, err = run(capsys, "events", path, "-o", tmp_path / "p.html", *args)
    assert code == 1 and len(err.splitlines()) == 1 and err.startswith("nivra-viz: error: ")
    for needle in needles:
        assert needle in err, err
    assert not (tmp_path / "p.html").exists()


def test_stray_coordinates(capsys, tmp_path):
    ev = events()
    ev["x"][100] = 32767  # one stray event
    path = tmp_path / "rec.npy"
    np.save(path, ev)
    code, _, err = run(capsys, "events", path, "-o", tmp_path / "p.html")
    assert code == 1
    assert "x = 32,767 and y = 31" in err and "--sensor W H" in err and len(err.splitlines()) == 1
    code, out, _ = run(capsys, "events", path, "-o", tmp_path / "p.html", "--sensor", 40, 30)
    assert code == 0 and "outside the sensor" in out
    # the Python API keeps its behaviour: the detected sensor is used as it is
    assert spikes._detect_sensor_size(np.load(path)) == (32768, 32)


def test_float_seconds_warning(capsys, tmp_path):
    ev = np.zeros(50, [("x", "<u2"), ("y", "<u2"), ("t", "<f8")])
    ev["t"] = np.linspace(0.0, 2.0, 50)
    path = tmp_path / "rec.npy"
    np.save(path, ev)
    code, _, err = run(capsys, "events", path, "-o", tmp_path / "p.html")
    assert code == 0 and "--time-unit s" in err
    code, _, err = run(capsys, "events", path, "-o", tmp_path / "p.html", "--time-unit", "s")
    assert code == 0 and err == ""
    assert page_doc(tmp_path / "p.html")["duration_us"] == 2_000_000


def test_npz_array_option(capsys, tmp_path):
    path = tmp_path / "rec.npz"
    np.savez(path, left=events(100), right=events(300))
    code, _, err = run(capsys, "events", path, "-o", tmp_path / "p.html")
    assert code == 1 and "left ({x: <i2" in err and "--array NAME" in err
    code, out, _ = run(capsys, "events", path, "-o", tmp_path / "p.html", "--array", "right")
    assert code == 0 and "300 events" in out


# --- the page is serialize_events' document of the window's events ----------------------


def reference_doc(ev, start=None, end=None, sensor=None, unit="us", **options):
    """serialize_events (without Tonic) of the events a window holds, counted from the
    earliest event, as the page's JSON gives it back."""
    from nivra.viz.io import to_microseconds
    ev = to_microseconds(ev, "t", unit)
    if start is not None or end is not None:
        t = ev["t"]
        rel = t.astype(np.int64) - t.min() if t.dtype.kind in "iub" else t.astype(np.float64) - t.min()
        keep = np.ones(len(ev), bool)
        if start is not None:
            keep &= rel >= start
        if end is not None:
            keep &= rel < end
        ev = ev[keep]
    doc = spikes.serialize_events(ev, sensor, **options)
    return json.loads(json.dumps(doc))


def audio_events(n=3000, seed=4):
    rng = np.random.default_rng(seed)
    ev = np.zeros(n, [("t", "<u4"), ("channel", "<i2"), ("p", "?")])
    ev["t"] = rng.integers(0, 500_000, n)
    ev["channel"] = rng.integers(-1, 70, n)
    ev["p"] = rng.integers(0, 2, n)
    return ev


def shuffled(ev, seed=7):
    return np.random.default_rng(seed).permutation(ev)


def almost_sorted(ev):
    ev = ev.copy()
    ev[[10, len(ev) - 10]] = ev[[len(ev) - 10, 10]]  # one early and one late event swapped
    return ev


CASES = {
    "sorted, detected": (events(), {}, {}),
    "shuffled, window": (shuffled(events()), dict(start=150_000, end=600_000), {}),
    "almost sorted, window": (almost_sorted(events()), dict(start=0, end=50_000), {}),
    "outside the sensor": (events(), dict(sensor=(25, 17)), {}),
    "float seconds, window": (events(t_dtype="<f8"), dict(start=100_000.5, end=None, unit="s"),
                              dict(scale=1e-6)),
    "audio, no y": (audio_events(), dict(start=10_000), {}),
    "big-endian times": (events(t_dtype=">u4"), dict(sensor=(64, 64)), {}),
}


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("chunked", [False, True])
def test_page_is_serialize_events_of_the_window(tmp_path, monkeypatch, case, chunked):
    ev, window, extra = CASES[case]
    ev = ev.copy()
    if "scale" in extra:
        ev["t"] = ev["t"] * extra["scale"]
    path = tmp_path / "rec.npy"
    np.save(path, ev)
    opts = dict(n_frames=9, n_grid_bins=4, raster_time_bins=23, max_raster_neurons=700)
    kw = dict(n_frames=9, grid_bins=4, raster_bins=23, max_neurons=700)
    unit = window.get("unit", "us")
    if chunked:
        monkeypatch.setattr(recording_page.passes, "READ_AHEAD_BYTES", 0)
        kw.update(in_memory_bytes=0, chunk_events=999)
    report = recording_page.make_page(path, tmp_path / "p.html", start=window.get("start"),
                                      end=window.get("end"), time_unit=unit,
                                      sensor=window.get("sensor"), **kw)
    doc = page_doc(tmp_path / "p.html")
    extra_key = doc.pop("recording")
    monkeypatch.setattr(spikes, "TONIC_AVAILABLE", False)
    want = reference_doc(ev, window.get("start"), window.get("end"), window.get("sensor"), unit,
                         **opts)
    assert doc == want
    assert report.chunked == chunked
    assert extra_key["events_read"] == len(ev) == report.read
    left = dict(extra_key["left_out"])
    assert report.drawn == extra_key["events_drawn"] == doc["event_count"] - left.get("outside the sensor", 0)
    assert report.read - report.drawn == sum(left.values())


def write_as(path, ev):
    """ev in the file format of path's suffix (HDF5: x, y, t, p datasets, or a table)."""
    if path.suffix == ".npy":
        np.save(path, ev)
    elif path.suffix == ".npz":
        np.savez(path, events=ev)
    elif path.suffix == ".csv":
        rows = "\n".join(",".join(str(v) for v in r) for r in ev[["x", "y", "t", "p"]].tolist())
        path.write_text("x,y,t,p\n" + rows + "\n")
    else:
        h5py = pytest.importorskip("h5py")
        with h5py.File(path, "w") as f:
            if "table" in path.stem:
                f.create_dataset("recording", data=ev)
            else:
                for name in "xytp":
                    f.create_dataset(f"events/{name}", data=ev[name])
    return path


@pytest.mark.parametrize("name", ["rec.npy", "rec.npz", "rec.csv", "rec.h5", "table.h5"])
@pytest.mark.parametrize("order", ["shuffled", "almost sorted"])
def test_windows_count_from_the_earliest_event_in_any_order(tmp_path, monkeypatch, name, order):
    ev = events(3000, seed=11)
    ev["t"] += 5_000
    ev = shuffled(ev) if order == "shuffled" else almost_sorted(ev)
    path = write_as(tmp_path / name, ev)
    from nivra.viz.io import read_events
    rel = ev["t"] - ev["t"].min()
    want = np.sort(ev["t"][(rel >= 200_000) & (rel < 450_000)])
    rec = read_events(path, start=200_000, end=450_000)
    np.testing.assert_array_equal(np.sort(rec.events["t"]), want)
    assert rec.outside_window == len(ev) - len(want)
    report = recording_page.make_page(path, tmp_path / "p.html", start=200_000, end=450_000,
                                      sensor=(40, 30), in_memory_bytes=0, chunk_events=700)
    assert report.in_window == len(want)
    doc = page_doc(tmp_path / "p.html")
    doc.pop("recording")
    monkeypatch.setattr(spikes, "TONIC_AVAILABLE", False)
    assert doc == reference_doc(ev, 200_000, 450_000, (40, 30))


def test_coordinates_past_int32_are_outside_the_sensor(tmp_path, capsys):
    ev = np.zeros(6, [("x", "<i8"), ("y", "<i8"), ("t", "<i8"), ("p", "u1")])
    ev["x"] = [1, 2, -(1 << 40), 3, 1 << 40, 2]  # the int32 cast would make 0 of both
    ev["y"] = [1, 1, 1, (1 << 33) + 1, 1, 2]
    ev["t"] = [0, 10, 20, 30, 40, 50]
    path = tmp_path / "rec.npy"
    np.save(path, ev)
    code, out, err = run(capsys, "events", path, "-o", tmp_path / "p.html", "--sensor", 8, 4)
    assert code == 0, err
    assert "6 events read, 3 drawn" in out
    assert "3 outside the sensor (1 of them at negative coordinates)" in out
    assert "3 of 6 events read left out of the page" in err
    doc = page_doc(tmp_path / "p.html")
    frames = [decode_png(img) for img in doc["animation_frames"]]
    assert sum(int(f.any(axis=2).sum()) for f in frames) == 3  # nothing drawn at x = 0
    assert all(not f[0, 0].any() and not f[1, 0].any() for f in frames)


def decode_png(text):
    import base64
    import io as _io
    from PIL import Image
    return np.asarray(Image.open(_io.BytesIO(base64.b64decode(text))))


def test_one_story_in_summary_warning_and_page(tmp_path, capsys):
    ev = events(200_000, width=700, height=500, seed=9)
    ev["t"] = np.sort(np.random.default_rng(3).integers(0, 2_000_000, len(ev)))
    path = tmp_path / "rec.npy"
    np.save(path, shuffled(ev))
    code, out, err = run(capsys, "events", path, "-o", tmp_path / "p.html", "--sensor", 640, 480,
                         "--start", "1s", "--duration", "500ms")
    assert code == 0
    rel = ev["t"] - ev["t"].min()
    window = ev[(rel >= 1_000_000) & (rel < 1_500_000)]
    x, y = window["x"].astype(int), window["y"].astype(int)
    drawn = int(((x >= 0) & (x < 640) & (y >= 0) & (y < 480)).sum())
    outside_window, outside = len(ev) - len(window), len(window) - drawn
    assert (f"200,000 events read, {len(window):,} in the time window, {drawn:,} drawn" in out)
    assert f"left out {outside_window:,} outside the time window, {outside:,} outside the sensor" in out
    assert f"{outside_window + outside:,} of 200,000 events read left out of the page: " in err
    doc = page_doc(tmp_path / "p.html")
    assert doc["event_count"] == len(window)
    assert doc["recording"]["events_read"] == 200_000 and doc["recording"]["events_drawn"] == drawn
    assert doc["recording"]["left_out"] == [["outside the time window", outside_window],
                                            ["outside the sensor", outside]]


def test_page_never_imports_tonic_or_scipy(tmp_path, run_python):
    pytest.importorskip("tonic")
    path = tmp_path / "rec.npy"
    np.save(path, events())
    out = run_python(f"""
        import sys
        from nivra.viz.cli import main
        assert main(["events", {str(path)!r}, "-o", {str(tmp_path / 'p.html')!r}, "-q"]) == 0
        print(sorted(m for m in sys.modules if m.split(".")[0] in ("tonic", "scipy")))
        from nivra.viz import spikes
        print(spikes.TONIC_AVAILABLE)
    """)
    assert "[]\nFalse\n" in out, out
    # the Python API keeps Tonic where it is installed
    out = run_python("from nivra.viz import spikes; print(spikes.TONIC_AVAILABLE)")
    assert out.strip() == "True"


def test_fractional_duration_is_kept_for_the_page(tmp_path):
    ev = np.zeros(40, [("x", "<u2"), ("y", "<u2"), ("t", "<f8"), ("p", "u1")])
    ev["t"] = np.linspace(0.0, 2.99999, 40)
    path = tmp_path / "rec.npy"
    np.save(path, ev)
    recording_page.make_page(path, tmp_path / "p.html")
    doc = page_doc(tmp_path / "p.html")
    assert doc["duration_us"] == 2 and doc["recording"]["span_us"] == pytest.approx(2.99999)


def test_large_pages_fit_what_memory_holds(tmp_path, monkeypatch, capsys):
    ev = events(2000)
    path = tmp_path / "rec.npy"
    np.save(path, ev)
    # 100 frames of 1280 x 720: once refused by a fixed limit; it takes about 1.3 GiB at most
    need = recording_page.limits.page_bytes(1280, 720, 105, 100 * 1000)
    assert need < 2 << 30
    monkeypatch.setattr(recording_page.limits, "memory_budget", lambda: need + 1)
    code, _, err = run(capsys, "events", path, "-o", tmp_path / "p.html", "--sensor", 1280, 720,
                       "--frames", 100, "--max-neurons", 1000)
    assert code == 0, err
    assert len(page_doc(tmp_path / "p.html")["animation_frames"]) == 100
    monkeypatch.setattr(recording_page.limits, "memory_budget", lambda: need // 2)
    code, _, err = run(capsys, "events", path, "-o", tmp_path / "q.html", "--sensor", 1280, 720,
                       "--frames", 100)
    assert code == 1 and "memory available" in err and "--frames" in err
    assert not (tmp_path / "q.html").exists()


def test_all_negative_coordinates_detect_no_sensor(tmp_path, capsys):
    ev = np.zeros(5, [("x", "<i2"), ("y", "<i2"), ("t", "<i8")])
    ev["x"], ev["y"], ev["t"] = -3, 2, np.arange(5)
    path = tmp_path / "rec.npy"
    np.save(path, ev)
    code, _, err = run(capsys, "events", path, "-o", tmp_path / "p.html")
    assert code == 1 and "every coordinate is negative" in err and "--sensor W H" in err
    code, out, _ = run(capsys, "events", path, "-o", tmp_path / "p.html", "--sensor", 4, 4)
    assert code == 0 and "5 events read, 0 drawn" in out


@pytest.mark.parametrize("order, window, passes", [
    ("sorted", None, 1), ("sorted", (100_000, 400_000), 1),   # the file's claims hold
    ("almost sorted", (100_000, 400_000), 1),  # out of place within the window's span
    ("one late event", None, 2),                # a wrong claim: once more
    ("shuffled", None, 2), ("shuffled", (100_000, 400_000), 3),  # no claim
])
def test_a_sorted_file_is_read_once(tmp_path, order, window, passes):
    ev = events(5000)
    late = ev.copy()
    late["t"][2001] = ev["t"].max() + 10  # between the records the file's claim looks at
    ev = {"sorted": ev, "almost sorted": almost_sorted(ev), "shuffled": shuffled(ev),
          "one late event": late}[order]
    path = tmp_path / "rec.npy"
    np.save(path, ev)
    start, end = window or (None, None)
    report = recording_page.make_page(path, tmp_path / "p.html", start=start, end=end,
                                      in_memory_bytes=0, chunk_events=1000)
    assert report.chunked and report.passes == passes
    assert report.span_us == ev["t"].max() - ev["t"].min() or window
