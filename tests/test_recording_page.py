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
    assert whole.left_out == parts.left_out and whole.left_out["negative coordinates"] > 0


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
    assert f"{outside:,} outside the sensor, {negative:,} negative coordinates" in out


@pytest.mark.parametrize("args, needles", [
    (["--start", "5s"], ["no events in the time window"]),
    (["--start", "10", "--end", "10"], ["time window is empty"]),
    (["--frames", "100000"], ["100005 images of 40 x 30", "--frames"]),
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
