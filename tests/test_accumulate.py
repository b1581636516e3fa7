"""spikes._accumulate_events, through the page's Accumulator: counts added chunk by chunk,
however the chunks are cut and whatever the outputs had to grow or wait for, equal binning
the selected events whole (events_to_frames without Tonic, events_to_raster), and the
optional per-pixel totals and activity histogram equal NumPy's counts."""
import numpy as np
import pytest

from nivra.viz import spikes

pytestmark = pytest.mark.skipif(not hasattr(spikes, "_accumulate_events"), reason="spikes not built")

from nivra.viz.recording_page.accumulator import PENDING_ROWS, Accumulator  # noqa: E402


def random_events(seed, n, x_dtype, t_dtype, has_y=True, width=50, height=40, sort=True):
    rng = np.random.default_rng(seed)
    dt = [("x", x_dtype)] + ([("y", x_dtype)] if has_y else []) + [("t", t_dtype), ("p", "i1")]
    ev = np.zeros(n, dt)
    lo = -3 if np.dtype(x_dtype).kind in "if" else 0
    ev["x"] = rng.integers(lo, width + 3, n)
    if has_y:
        ev["y"] = rng.integers(lo, height + 3, n)
    t = rng.integers(0, 3_000_000, n)
    ev["t"] = np.sort(t) if sort else t
    if np.dtype(t_dtype).kind == "f":
        ev["t"] = ev["t"] / 7.0
    ev["p"] = rng.integers(-1, 2, n)
    return ev


def accumulate(ev, chunk, sensor=None, window=None, **kw):
    fields = spikes._get_event_fields(ev)
    t = ev["t"]
    sel = np.ones(len(ev), bool) if window is None else window_mask(ev, window)
    span = (t[sel].min().item(), t[sel].max().item())
    step = 1000 if t.dtype.kind in "iu" else 1000.0
    acc = Accumulator(spikes, fields, span=span, sensor=sensor, histogram_step=step,
                      pixel_totals=True, window=window, **kw)
    for i in range(0, len(ev), chunk):
        acc.add(ev[i:i + chunk])
    return acc.finish()


def window_mask(ev, window):
    origin, start, end = window
    t = ev["t"]
    rel = t.astype(np.int64) - origin if t.dtype.kind in "iu" else t.astype(np.float64) - origin
    keep = np.ones(len(ev), bool)
    if start is not None:
        keep &= rel >= start
    if end is not None:
        keep &= rel < end
    return keep


@pytest.mark.parametrize("seed", range(12))
def test_chunked_counts_equal_binning_whole(seed, monkeypatch):
    monkeypatch.setattr(spikes, "TONIC_AVAILABLE", False)
    rng = np.random.default_rng(100 + seed)
    x_dtype = ["<i2", "<u2", "<i4", "<i8", "<f4", "<u1", ">i2"][seed % 7]
    t_dtype = ["<i8", "<u4", "<f8", "<i4", "<f4", ">i8"][seed % 6]
    has_y, detected = seed % 5 != 4, seed % 2 == 0
    ev = random_events(seed, int(rng.integers(1, 20_000)), x_dtype, t_dtype, has_y, sort=seed % 3 != 0)
    window = None
    if seed % 4 == 1:
        origin = ev["t"].min().item()
        window = (origin, 200_000 / (7 if t_dtype[1] == "f" else 1), None)
    sel = ev if window is None else ev[window_mask(ev, window)]
    size = spikes._detect_sensor_size(sel) if detected else (45, 33 if has_y else 1)
    frames, grid, bins, neurons = 13, 4, 37, 900
    total = size[0] * size[1] if has_y else size[0]
    c = accumulate(ev, int(rng.integers(100, 5000)), sensor=None if detected else size, window=window,
                   n_frames=frames, grid_bins=grid, raster_bins=bins,
                   raster_neurons=neurons if detected else min(total, neurons))
    assert c.sensor == size
    np.testing.assert_array_equal(c.frames, spikes.events_to_frames(sel, size, n_frames=frames))
    np.testing.assert_array_equal(c.grid, spikes.events_to_frames(sel, size, n_frames=grid))
    want = spikes.events_to_raster(sel, n_neurons=min(total, neurons), time_bins=bins)
    np.testing.assert_array_equal(c.raster, want)
    # per-pixel totals and the histogram count the events drawn
    np.testing.assert_array_equal(c.pixels, c.frames.sum(axis=0).astype(np.int64))
    t = sel["t"]
    x, y = sel["x"].astype(np.int64), (sel["y"].astype(np.int64) if has_y else np.zeros(len(sel), int))
    drawn = (x >= 0) & (x < size[0]) & (y >= 0) & (y < size[1])
    step = 1000 if t.dtype.kind in "iu" else 1000.0
    k = ((t.astype(np.int64) - t.min()) // step if t.dtype.kind in "iu"
         else np.floor((t.astype(np.float64) - t.min()) / step)).astype(np.int64)
    on = sel["p"] > 0
    for channel, mask in ((0, on), (1, ~on)):
        want_h = np.bincount(k[drawn & mask], minlength=len(c.histogram))
        np.testing.assert_array_equal(c.histogram[:, channel], want_h)
    assert (c.count, c.selected, c.drawn) == (len(ev), len(sel), int(drawn.sum()))
    assert c.negative == int(((x < 0) | (y < 0)).sum())


def test_raster_events_left_of_the_sensor_wait_for_its_width(monkeypatch):
    """Events at x < 0 on rows below the first have neurons only the final width gives;
    many of them (more than the rows set aside) are thinned and kept exactly."""
    monkeypatch.setattr(spikes, "TONIC_AVAILABLE", False)
    rng = np.random.default_rng(5)
    n = 6 * PENDING_ROWS
    ev = np.zeros(n, [("x", "<i4"), ("y", "<i4"), ("t", "<i8"), ("p", "u1")])
    ev["x"] = rng.integers(-40, 0, n)
    ev["y"] = rng.integers(1, 30, n)
    ev["x"][::50] = np.arange(len(ev[::50])) % 70  # the width grows as the recording goes
    ev["t"] = np.arange(n)
    c = accumulate(ev, 3000, sensor=(70, 30), n_frames=2, grid_bins=1, raster_bins=9,
                   raster_neurons=1000)
    np.testing.assert_array_equal(c.raster, spikes.events_to_raster(ev, n_neurons=1000, time_bins=9))
    assert c.raster.sum() > 0


def test_detected_sensor_grows_as_coordinates_reach_further(monkeypatch):
    monkeypatch.setattr(spikes, "TONIC_AVAILABLE", False)
    ev = np.zeros(50_000, [("x", "<u2"), ("y", "<u2"), ("t", "<i8"), ("p", "u1")])
    ev["x"] = np.arange(len(ev)) % 1000 * np.arange(len(ev)) // len(ev)  # reaches 999 at the end
    ev["y"] = np.arange(len(ev)) // 500
    ev["t"] = np.arange(len(ev))
    c = accumulate(ev, 2048, n_frames=3, grid_bins=2, raster_bins=5, raster_neurons=5000)
    size = spikes._detect_sensor_size(ev)
    assert c.sensor == size
    np.testing.assert_array_equal(c.frames, spikes.events_to_frames(ev, size, n_frames=3))
    np.testing.assert_array_equal(c.raster, spikes.events_to_raster(ev, n_neurons=5000, time_bins=5))


def test_totals_of_a_pass_without_binning():
    ev = random_events(1, 5000, "<i2", "<f8", sort=False)
    ev["t"][[3, 9]] = [np.nan, np.inf]
    fields = spikes._get_event_fields(ev)
    finite = ev["t"][np.isfinite(ev["t"])]
    origin = finite.min()
    acc = Accumulator(spikes, fields, window=(origin, 10_000.0, 300_000.0), sensor=(40, 30))
    for i in range(0, len(ev), 777):
        acc.add(ev[i:i + 777])
    c = acc.finish()
    keep = np.isfinite(ev["t"]) & (ev["t"] - origin >= 10_000.0) & (ev["t"] - origin < 300_000.0)
    assert (c.count, c.bad_time, c.selected) == (5000, 2, int(keep.sum()))
    assert (c.t_lo, c.t_hi) == (finite.min(), finite.max())
    assert (c.s_lo, c.s_hi) == (ev["t"][keep].min(), ev["t"][keep].max())
    assert (c.x_max, c.y_max) == (ev["x"][keep].max(), ev["y"][keep].max())
    assert c.fractional and c.frames is None


@pytest.mark.parametrize("state_change, error", [
    (dict(fields=("x", "y", "nope", "p")), TypeError),
    (dict(sensor=(-1, 5)), ValueError),
    (dict(span=None), ValueError),  # outputs without a span
    (dict(frames=np.zeros((3, 2, 5, 4), np.float32)), ValueError),  # another sensor's shape
    (dict(frames=np.zeros((3, 2, 30, 40), np.float64)), ValueError),
    (dict(count="many"), TypeError),
])
def test_malformed_state_is_refused(state_change, error):
    ev = random_events(2, 100, "<i2", "<i8")
    acc = Accumulator(spikes, ("x", "y", "t", "p"), span=(0, 3_000_000), sensor=(40, 30), n_frames=3)
    acc.state.update(state_change)
    with pytest.raises(error):
        spikes._accumulate_events(ev, acc.state)
