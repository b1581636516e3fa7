"""Hot pixels: the rule on crafted per-pixel totals, the command line's page that leaves
them out (and says so), and the raster of the busiest pixels."""
import base64
import io

import numpy as np
import pytest
from test_recording_page import page_doc, run

from nivra.viz import hot_pixels, recording_page, spikes

pytestmark = pytest.mark.skipif(not hasattr(spikes, "_accumulate_events"), reason="spikes not built")


def _scene(kind):
    rng = np.random.default_rng(5)
    t = np.zeros((48, 64), np.int64)
    want = []
    if kind == "sparse, one hot":
        t[rng.integers(0, 48, 40), rng.integers(0, 64, 40)] = 1
        t[10, 20], want = 25, [10 * 64 + 20]
    elif kind == "sparse, below the floor":
        t[10, 20] = hot_pixels.MIN_EVENTS - 1
    elif kind == "busy cluster is an object":
        t[20:24, 30:34] = 5000
    elif kind == "a pair of hot pixels":
        t[5, 5] = t[5, 6] = 900
        want = [5 * 64 + 5, 5 * 64 + 6]
    elif kind == "textured scene, one hot":
        t[:] = rng.integers(80, 120, t.shape)
        t[47, 63], want = 5000, [47 * 64 + 63]  # a corner: zeros outside count as neighbours
    return t, want


@pytest.mark.parametrize("kind", ["all quiet", "sparse, one hot", "sparse, below the floor",
                                  "busy cluster is an object", "a pair of hot pixels",
                                  "textured scene, one hot"])
def test_rule(kind):
    totals, want = _scene(kind)
    assert hot_pixels.hot_pixels(totals).tolist() == want


def band_recording(width=128, height=96, frames=20, frame_us=10_000, hot=(120, 10), share=0.05):
    """A wide band moving right (one event per pixel and frame) and one pixel firing all
    recording long that holds `share` of all events: the hot pixel sets each frame's
    scale, and the band's single events are stored as zeros."""
    parts = []
    for f in range(frames):
        xs, ys = np.meshgrid(np.arange(3 * f, 3 * f + 60), np.arange(height))
        n = xs.size
        parts.append((xs.ravel(), ys.ravel(), f * frame_us + np.arange(n) * frame_us // n))
    band = sum(len(p[0]) for p in parts)
    n_hot = round(band * share / (1 - share))
    parts.append((np.full(n_hot, hot[0]), np.full(n_hot, hot[1]),
                  np.linspace(0, parts[-1][2][-1], n_hot).astype(np.int64)))  # the band's span
    x, y, t = (np.concatenate(c) for c in zip(*parts))
    order = np.argsort(t, kind="stable")
    ev = np.zeros(len(t), [("x", "<u2"), ("y", "<u2"), ("t", "<i8"), ("p", "u1")])
    ev["x"], ev["y"], ev["t"], ev["p"] = x[order], y[order], t[order], 1
    return ev


def lit_pixels(doc):
    from PIL import Image
    return [int(np.asarray(Image.open(io.BytesIO(base64.b64decode(s))))[..., 2].astype(bool).sum())
            for s in doc["animation_frames"]]


def test_cli_leaves_the_hot_pixel_out_and_shows_the_object(capsys, tmp_path):
    path = tmp_path / "band.npy"
    ev = band_recording()
    np.save(path, ev)
    n_hot = int(((ev["x"] == 120) & (ev["y"] == 10)).sum())
    code, out, err = run(capsys, "events", path, "-o", tmp_path / "drop.html", "--sensor", 128, 96)
    assert code == 0
    worst = f"worst x 120 y 10, {n_hot:,} events"
    assert f"{len(ev) - n_hot:,} drawn" in out and f"left out {n_hot:,} at 1 hot pixel ({worst})" in out
    assert f"1 hot pixel left out ({n_hot:,} events; {worst}). {hot_pixels.RULE}" in err
    doc = page_doc(tmp_path / "drop.html")
    rec = doc["recording"]
    assert rec["left_out"] == [["at hot pixels", n_hot]] and rec["events_drawn"] == len(ev) - n_hot
    assert rec["hot_pixels"] == {"count": 1, "events": n_hot, "worst": [[120, 10, n_hot]],
                                 "rule": hot_pixels.RULE}
    assert min(lit_pixels(doc)) > 5000  # the band: 60 x 96 pixels a frame

    code, out, err = run(capsys, "events", path, "-o", tmp_path / "keep.html", "--sensor", 128, 96,
                         "--hot-pixels", "keep")
    assert code == 0 and "none left out" in out and "hot" not in err
    doc = page_doc(tmp_path / "keep.html")
    assert "hot_pixels" not in doc["recording"] and max(lit_pixels(doc)) < 10


@pytest.mark.parametrize("window, chunked", [(None, False), (None, True), ((30_000, 150_000), True)])
def test_dropped_page_is_the_page_without_the_hot_events(tmp_path, window, chunked):
    ev = band_recording(frames=12)
    cold_ev = ev[(ev["x"] != 120) | (ev["y"] != 10)]
    np.save(tmp_path / "all.npy", ev)
    np.save(tmp_path / "cold.npy", cold_ev)
    kw = dict(sensor=(128, 96), n_frames=9, grid_bins=4, raster="first")
    if window:
        kw.update(start=window[0], end=window[1])
    if chunked:
        kw.update(in_memory_bytes=0, chunk_events=5000)
    dropped = recording_page.make_page(tmp_path / "all.npy", tmp_path / "a.html", hot_pixels="drop", **kw)
    cold = recording_page.make_page(tmp_path / "cold.npy", tmp_path / "b.html", **kw)
    a, b = page_doc(tmp_path / "a.html"), page_doc(tmp_path / "b.html")
    assert a["grid_frames"] == b["grid_frames"] and a["animation_frames"] == b["animation_frames"]
    assert dropped.drawn == cold.drawn and dropped.passes == 2
    if window:
        cold_ev = cold_ev[(cold_ev["t"] >= window[0]) & (cold_ev["t"] < window[1])]
    first = cold_ev["y"].astype(int) * 128 + cold_ev["x"] < 1000  # the sensor's, in row order
    assert np.sum(a["raster"]) == np.count_nonzero(first)


def cluster_recording(with_y=True):
    """A sparse background and a 4 x 4 cluster of busy pixels (a real object, not hot)."""
    rng = np.random.default_rng(3)
    bx, by = rng.integers(0, 80, 3000), rng.integers(0, 60, 3000)
    cx, cy = np.meshgrid(np.arange(50, 54), np.arange(40, 44))
    x = np.concatenate([bx, np.repeat(cx.ravel(), 200)])
    y = np.concatenate([by, np.repeat(cy.ravel(), 200)])
    names = [("x", "<i4"), ("y", "<i4"), ("t", "<f8")] if with_y else [("x", "<i4"), ("t", "<f8")]
    ev = np.zeros(len(x), names)
    ev["x"], ev["t"] = x, rng.uniform(0, 1e6, len(x))
    if with_y:
        ev["y"] = y
    return ev


@pytest.mark.parametrize("sensor", [None, ("80", "60")])
def test_raster_holds_the_busiest_pixels(capsys, tmp_path, sensor):
    np.save(tmp_path / "c.npy", cluster_recording())
    given = ["--sensor", *sensor] if sensor else []
    code, out, _ = run(capsys, "events", tmp_path / "c.npy", "-o", tmp_path / "c.html",
                       "--max-neurons", 16, *given)
    assert code == 0 and "hot" not in out
    doc = page_doc(tmp_path / "c.html")
    pixels = [[x, y] for y in range(40, 44) for x in range(50, 54)]
    assert doc["recording"]["raster_pixels"] == pixels
    ev = cluster_recording()
    per_pixel = np.bincount(ev["y"] * 80 + ev["x"], minlength=4800)
    assert np.sum(doc["raster"], axis=0).tolist() == [per_pixel[y * 80 + x] for x, y in pixels]

    code, _, _ = run(capsys, "events", tmp_path / "c.npy", "-o", tmp_path / "f.html",
                     "--max-neurons", 16, "--raster", "first", *given)
    doc = page_doc(tmp_path / "f.html")
    assert "raster_pixels" not in doc["recording"]
    assert np.sum(doc["raster"], axis=0).tolist() == per_pixel[:16].tolist()


def test_one_dimensional_recordings_are_paged_as_before(capsys, tmp_path):
    np.save(tmp_path / "a.npy", cluster_recording(with_y=False))
    code, _, _ = run(capsys, "events", tmp_path / "a.npy", "-o", tmp_path / "cli.html")
    report = recording_page.make_page(tmp_path / "a.npy", tmp_path / "lib.html")
    assert code == 0 and report.passes == 1
    assert (tmp_path / "cli.html").read_text() == (tmp_path / "lib.html").read_text()
