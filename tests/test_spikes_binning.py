"""Frame binning, dispatch, grid and raster: element-for-element equality with the plain
NumPy steps, on the one-pass road (record arrays) and the step-by-step road (other objects)."""
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from nivra.viz import spikes
import spikes_reference as ref

CONVENTIONS = [("x", "y", "t", "p"), ("x", "y", "ts", "pol"), ("address", "row", "timestamp", "polarity"),
               ("channel", None, "t", "p"), ("addr", None, "time", "on"), ("x", "y", "t", None)]
DTYPES = [
    {},
    {"x": ">u2", "y": ">u2", "t": ">i8", "p": "i1"},
    {"x": "<i8", "y": "<i4", "t": "<f8", "p": "<f4"},
    {"x": "<f4", "y": ">f8", "t": ">u4", "p": ">i8"},
    {"x": "u1", "y": "i1", "t": "<i2", "p": "?"},
    {"x": "<u8", "y": "<u4", "t": "<u8", "p": "u1"},
    {"x": "<i2", "y": "<i2", "t": ">f4", "p": "<i2"},
]


class Duck:
    """An event container that is not an ndarray: it takes the step-by-step road."""
    def __init__(self, arr):
        self.arr = arr
        self.dtype = arr.dtype
    def __len__(self):
        return len(self.arr)
    def __getitem__(self, key):
        return self.arr[key]


def size_of(ev, names):
    return (34, 30) if names[1] else (34, 1)


def views(ev, rng):
    """The array itself, strided and reversed views, a copy with unaligned fields."""
    packed = np.zeros(len(ev), dtype=np.dtype({"names": list(ev.dtype.names),
                                              "formats": [ev.dtype[n] for n in ev.dtype.names],
                                              "offsets": [1 + 9 * i for i in range(len(ev.dtype.names))],
                                              "itemsize": 9 * len(ev.dtype.names) + 3}))
    for n in ev.dtype.names:
        packed[n] = ev[n]
    return [ev, ev[::2], ev[::-3], packed]


@pytest.mark.parametrize("names", CONVENTIONS)
@pytest.mark.parametrize("dtypes", DTYPES)
def test_frames_equal_numpy_steps(names, dtypes):
    rng = np.random.default_rng(hash((names, str(dtypes))) % 2**32)
    for trial in range(4):
        ev = ref.make_events(rng, int(rng.integers(1, 800)), names=names, dtypes=dtypes,
                             spill=int(rng.integers(0, 4)), t_max=int(rng.choice([1, 7, 10**6])),
                             extra=bool(trial % 2))
        size = size_of(ev, names)
        for view in views(ev, rng):
            n = int(rng.integers(1, 65))
            acc = bool(rng.integers(2))
            want = ref.frames(view, size, n, acc)
            got = spikes.events_to_frames(view, size, n, acc, use_tonic=False)
            assert got.dtype == np.float32 and got.shape == want.shape
            np.testing.assert_array_equal(got, want)
            np.testing.assert_array_equal(
                spikes._events_to_frames_numpy(Duck(view), size, n, acc), want)


@pytest.mark.parametrize("dtypes", DTYPES)
def test_raster_and_grid_equal_numpy_steps(dtypes, monkeypatch):
    monkeypatch.setattr(spikes, "TONIC_AVAILABLE", False)
    rng = np.random.default_rng(len(str(dtypes)))
    for names in CONVENTIONS:
        ev = ref.make_events(rng, int(rng.integers(1, 600)), names=names, dtypes=dtypes,
                             spill=int(rng.integers(0, 3)))
        for view in views(ev, rng):
            width, height = spikes._detect_sensor_size(view)
            for n_neurons in (None, 0, 50, 10**4):
                bins = int(rng.integers(1, 40))
                want = ref.raster(view, n_neurons, bins, width, height)
                np.testing.assert_array_equal(spikes.events_to_raster(view, n_neurons, bins), want)
                np.testing.assert_array_equal(spikes.events_to_raster(Duck(view), n_neurons, bins), want)
            size = size_of(view, names)
            bins = int(rng.integers(1, 9))
            want = ref.grid_from_frames(ref.frames(view, size, bins))
            np.testing.assert_array_equal(spikes.events_to_grid(view, size, bins), want)
            np.testing.assert_array_equal(spikes.events_to_grid(Duck(view), size, bins), want)


def test_special_times_and_coordinates():
    rng = np.random.default_rng(5)
    ev = ref.make_events(rng, 300, dtypes={"x": "<f8", "y": "<f4", "t": "<f8", "p": "<f8"}, spill=3)
    cases = []
    e = ev.copy(); e["t"][7] = np.nan; cases.append(e)                        # NaN time: all in frame 0
    e = ev.copy(); e["t"] = 42.0; cases.append(e)                             # one instant
    e = ev.copy(); e["t"][3] = np.inf; cases.append(e)
    e = ev.copy(); e["t"][::2] = -np.inf; cases.append(e)
    e = ev.copy(); e["x"][:20] = [np.nan, np.inf, -np.inf, 3e9, -3e9, 2**31 - 0.5, -2**31 - 0.5, 33.99,
                                  -0.99, 1e300] * 2; cases.append(e)        # float -> int32 casts
    e = ev.copy(); e["p"][:4] = [np.nan, -0.0, 1e-300, -1]; cases.append(e)
    e = ev.copy(); e["t"] = np.sort(e["t"])[::-1]; cases.append(e)
    wide = np.zeros(6, [("x", "<i8"), ("y", "<u8"), ("t", "<u8")])
    wide["x"] = [2**32 + 3, -2**32 + 1, 2**31, 5, 2**40, -1]
    wide["y"] = [2**32 + 2, 1, 0, 2**64 - 1, 2**33, 1]
    wide["t"] = [2**64 - 1, 0, 2**63, 12345, 2**53 + 1, 7]
    cases.append(wide)
    alike = np.zeros(6, [("x", ">i8"), ("y", ">i8"), ("t", "<u8")])  # x and y stored alike
    alike["x"] = [2**32 + 3, -2**32 + 1, 2**31, 5, 2**40, -1]
    alike["y"] = [2**32 + 2, 1, 0, 2**62, -2**33 + 29, 1]
    alike["t"] = wide["t"]
    cases.append(alike)
    for e in cases:
        for n in (1, 3, 64):
            for acc in (False, True):
                np.testing.assert_array_equal(spikes.events_to_frames(e, (34, 30), n, acc, use_tonic=False),
                                              ref.frames(e, (34, 30), n, acc))
        if not np.isnan(e["x"].astype(np.float64)).any():
            w, h = spikes._detect_sensor_size(e)
            if abs(w) < 2**31:
                np.testing.assert_array_equal(spikes.events_to_raster(e, 500, 9), ref.raster(e, 500, 9, w, h))


def test_memmap(tmp_path):
    rng = np.random.default_rng(9)
    ev = ref.make_events(rng, 5000, dtypes={"t": ">i8"}, extra=True)
    path = tmp_path / "events.dat"
    ev.tofile(path)
    mm = np.memmap(path, dtype=ev.dtype, mode="r")
    np.testing.assert_array_equal(spikes.events_to_frames(mm, (34, 30), 16, use_tonic=False),
                                  ref.frames(ev, (34, 30), 16))
    np.testing.assert_array_equal(spikes.events_to_raster(mm), ref.raster(ev, None, 100, 34, 30))


class TestFrameRules:
    def ev(self, t, x=0, y=0, p=1, names=("x", "y", "t", "p")):
        e = np.zeros(len(t), [(n, "<i8") for n in names if n])
        e[names[2]] = t
        for name, v in zip((names[0], names[1], names[3]), (x, y, p)):
            if name:
                e[name] = v
        return e

    @pytest.mark.parametrize("t, n, frames", [
        ([0, 50, 100], 2, [0, 0, 1]),
        ([5, 1005], 10, [0, 9]),
        ([7, 7, 7], 4, [0, 0, 0]),
    ])
    def test_frame_of_event(self, t, n, frames):
        out = spikes.events_to_frames(self.ev(t), (2, 2), n, use_tonic=False)
        assert out[:, 0, 0, 0].tolist() == np.bincount(frames, minlength=n).tolist()

    def test_polarity_channels_and_drops(self):
        e = self.ev([0, 1, 2, 3, 4, 1000], x=[0, 0, 0, 2, 0, 0], y=[0, 0, 0, 0, -1, 0], p=[1, 0, -1, 1, 1, 5])
        out = spikes.events_to_frames(e, (2, 2), 10, use_tonic=False)
        assert out.sum() == 4  # x = width and y = -1 dropped...
        assert out[0, 0, 0, 0] == 1 and out[0, 1, 0, 0] == 2 and out[9, 0, 0, 0] == 1  # ...but t=1000 counts
        nop = self.ev([0, 1], names=("x", "y", "t", None))
        assert spikes.events_to_frames(nop, (1, 1), 1, use_tonic=False)[0, :, 0, 0].tolist() == [2, 0]
        audio = self.ev([0, 1, 2], x=[3, 7, 70], names=("channel", None, "t", "p"))
        out = spikes.events_to_frames(audio, (64, 1), 1, use_tonic=False)
        assert out.shape == (1, 2, 1, 64) and out[0, 0, 0, [3, 7]].tolist() == [1, 1] and out.sum() == 2

    @ref.requires_tonic
    def test_accumulate(self):
        e = ref.make_events(np.random.default_rng(2), 500)
        plain = spikes.events_to_frames(e, (34, 30), 8, use_tonic=False)
        acc = spikes.events_to_frames(e, (34, 30), 8, accumulate=1, use_tonic=True)  # accumulation wins
        np.testing.assert_array_equal(acc, np.cumsum(plain, axis=0))
        assert acc[-1].sum() == 500

    @ref.requires_tonic
    def test_empty_and_missing_fields(self, monkeypatch):
        empty = np.zeros(0, [("x", "<u2"), ("y", "<u2"), ("t", "<i8")])
        for use_tonic in (False, True):
            out = spikes.events_to_frames(empty, (5, 4), 3, use_tonic=use_tonic)
            assert out.shape == (3, 2, 4, 5) and out.dtype == np.float32 and not out.any()
        no_t = np.zeros(2, [("x", "<u2"), ("y", "<u2")])
        msg = "Events must have time and x coordinate fields"
        for use_tonic in (None, True, False):
            with pytest.raises(ValueError, match=msg):
                spikes.events_to_frames(no_t, (5, 4), use_tonic=use_tonic)
        with pytest.raises(ValueError, match=msg):
            spikes._events_to_frames_numpy(no_t[:0], (5, 4), 3, False)
        assert spikes._events_to_frames_tonic(no_t[:0], (5, 4), 3).shape == (3, 2, 4, 5)

    @pytest.mark.parametrize("size, msg", [
        ((1, 2, 3), "too many values to unpack \\(expected 2\\)"),
        ((1,), "need more than 1 value to unpack"),
        ((), "need more than 0 values to unpack"),
    ])
    @ref.requires_tonic
    def test_sensor_size_unpacking(self, size, msg):
        e = self.ev([0, 1])
        with pytest.raises(ValueError, match=msg):
            spikes.events_to_frames(e, size, use_tonic=False)
        with pytest.raises(ValueError, match=msg):
            spikes._events_to_frames_tonic(e, size, 2)
        with pytest.raises(ValueError, match=msg):
            spikes.events_to_grid(e, size)

    def test_arguments(self):
        e = self.ev([0, 1])
        assert spikes.events_to_frames(e, (1, 1), n_frames=10.0, use_tonic=False).shape[0] == 10
        assert spikes.events_to_frames(e, (1, 1), n_frames=True, use_tonic=False).shape[0] == 1
        for kw, name in (({"use_tonic": 1}, "use_tonic"), ({"sensor_size": [34, 34]}, "sensor_size"),
                         ({"n_frames": "3"}, "n_frames")):
            with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type"):
                spikes.events_to_frames(e, **kw)
        with pytest.raises(TypeError, match="Argument 'sensor_size' has incorrect type"):
            spikes._events_to_frames_numpy(e, None, 3, False)
        with pytest.raises(ValueError):
            spikes.events_to_frames(e, (1, 1), n_frames=-1, use_tonic=False)
        with pytest.raises(IndexError):
            spikes.events_to_frames(e, (1, 1), n_frames=0, use_tonic=False)
        assert spikes.events_to_frames.__annotations__["use_tonic"] == "Optional[bool]"

    def test_detected_size_must_be_tuple(self, monkeypatch):
        monkeypatch.setattr(spikes, "_detect_sensor_size", lambda e: [3, 3])
        for fn in (spikes.events_to_frames, spikes.events_to_grid):
            with pytest.raises(TypeError, match="Expected tuple, got list"):
                fn(self.ev([0]))


class TestDispatch:
    @pytest.fixture
    def spy(self, monkeypatch):
        calls = []
        monkeypatch.setattr(spikes, "_events_to_frames_tonic", lambda *a: calls.append(("tonic", a[2])) or "T")
        monkeypatch.setattr(spikes, "_events_to_frames_numpy", lambda *a: calls.append(("numpy", a[3])) or "N")
        return calls

    @pytest.mark.parametrize("use_tonic, available, accumulate, result", [
        (None, True, False, "T"), (None, True, True, "N"), (None, False, False, "N"), (None, False, True, "N"),
        (True, True, False, "T"), (True, True, True, "N"), (True, False, False, ImportError),
        (True, False, True, ImportError), (False, True, False, "N"), (False, True, True, "N"),
        (False, False, False, "N"),
    ])
    def test_table(self, spy, monkeypatch, use_tonic, available, accumulate, result):
        monkeypatch.setattr(spikes, "TONIC_AVAILABLE", available)
        e = np.zeros(1, [("x", "i1"), ("t", "i1")])
        if result is ImportError:
            with pytest.raises(ImportError, match="^Tonic not installed. Install with: uv add nivra-viz\\[tonic\\] "
                               "or use use_tonic=False for NumPy fallback.$"):
                spikes.events_to_frames(e, (1, 1), 7, accumulate, use_tonic)
            assert spy == []
            return
        assert spikes.events_to_frames(e, (1, 1), 7, accumulate, use_tonic) == result
        assert spy == [("tonic", 7)] if result == "T" else [("numpy", accumulate)]

    def test_flag_values(self, spy, monkeypatch):
        e = np.zeros(1, [("x", "i1"), ("t", "i1")])
        monkeypatch.setattr(spikes, "TONIC_AVAILABLE", 0)
        with pytest.raises(TypeError, match="Expected bool, got int"):
            spikes.events_to_frames(e, (1, 1))
        monkeypatch.setattr(spikes, "TONIC_AVAILABLE", None)
        assert spikes.events_to_frames(e, (1, 1)) == "N"
        monkeypatch.setattr(spikes, "TONIC_AVAILABLE", "yes")
        assert spikes.events_to_frames(e, (1, 1)) == "T"

    @ref.requires_tonic
    def test_fallback_only_on_exception(self, monkeypatch):
        e = ref.make_events(np.random.default_rng(4), 200)
        want = ref.frames(e, (34, 30), 6)
        class Boom(BaseException):
            pass
        def raising(exc):
            def fn(*a):
                raise exc
            return fn
        monkeypatch.setattr(spikes, "_events_to_frames_tonic", raising(ValueError("tonic broke")))
        np.testing.assert_array_equal(spikes.events_to_frames(e, (34, 30), 6), want)
        monkeypatch.setattr(spikes, "_events_to_frames_tonic", raising(Boom()))
        with pytest.raises(Boom):
            spikes.events_to_frames(e, (34, 30), 6)

    @ref.requires_tonic
    def test_tonic_path(self, monkeypatch):
        made, seen = [], []
        class FakeToFrame:
            count = 3
            def __init__(self, **kw):
                made.append(kw)
            def __call__(self, events):
                seen.append(events.copy())
                out = np.zeros((FakeToFrame.count, 2, 4, 5), dtype=np.int16)
                out[0, 0, 0, 0] = len(events)
                return out
        class Fake:
            class transforms:
                ToFrame = FakeToFrame
        monkeypatch.setattr(spikes, "tonic", Fake)
        e = np.zeros(4, [("x", "i1"), ("t", "<i8"), ("p", "<i2")])
        e["t"] = [100, 1100, 600, 300]
        e["x"] = [0, 1, 2, 9]  # the last one is outside the sensor
        e["p"] = [1, -1, 0, 1]
        out = spikes.events_to_frames(e, (5, 4), 10)
        window = 1000 / 9.999
        assert made == [{"sensor_size": (5, 4, 2), "time_window": window, "include_incomplete": True,
                         "start_time": 0.0, "end_time": window * 10}]
        # inside the sensor, sorted, times from the first event, ON as 0 and OFF as 1
        assert seen[0].tolist() == [(0, 0, 0.0, 0), (2, 0, 500.0, 1), (1, 0, 1000.0, 1)]
        assert out.dtype == np.float32 and out.shape == (10, 2, 4, 5) and out.sum() == 3
        FakeToFrame.count = 12
        assert spikes.events_to_frames(e, (5, 4), 10).shape == (10, 2, 4, 5)
        FakeToFrame.count = 1
        monkeypatch.setattr(FakeToFrame, "__call__", lambda self, ev: np.ones((1, 2, 4, 5), np.int16))
        with pytest.raises(ValueError, match="do not add up"):  # what the dispatch falls back on
            spikes._events_to_frames_tonic(e, (5, 4), 2)
        monkeypatch.setattr(spikes, "TONIC_AVAILABLE", False)
        with pytest.raises(ImportError, match="^Tonic not available$"):
            spikes._events_to_frames_tonic(e, (5, 4), 2)

    @ref.requires_tonic
    @pytest.mark.parametrize("polarity", ["0/1", "-1/1", "bool", None])
    @pytest.mark.parametrize("ordered", [True, False])
    def test_tonic_keeps_the_frame_contract(self, polarity, ordered):
        rng = np.random.default_rng(3)
        n = 4000
        fields = [("x", "<u2"), ("y", "<u2"), ("t", "<i8")]
        if polarity:
            fields.append(("p", "?" if polarity == "bool" else "<i1"))
        e = np.zeros(n, fields)
        e["x"], e["y"], e["t"] = rng.integers(0, 40, n), rng.integers(0, 33, n), rng.integers(0, 10**6, n)
        on = rng.random(n) < 0.7
        if polarity:
            e["p"] = on if polarity == "bool" else np.where(on, 1, 0 if polarity == "0/1" else -1)
        if ordered:
            e.sort(order="t")
        inside = (e["x"] < 34) & (e["y"] < 30)
        want_on = int((inside & (e["p"] > 0)).sum()) if polarity else int(inside.sum())
        for n_frames in (1, 5, 20):
            tonic = spikes.events_to_frames(e, (34, 30), n_frames, use_tonic=True)
            plain = spikes.events_to_frames(e, (34, 30), n_frames, use_tonic=False)
            np.testing.assert_array_equal(tonic.sum(axis=(0, 2, 3)), plain.sum(axis=(0, 2, 3)))
            assert tonic[:, 0].sum() == want_on and tonic.sum() == inside.sum()
            assert tonic[-1].sum() > 0  # the last events fall in the last frame
        big = np.zeros(40000, [("x", "<u2"), ("y", "<u2"), ("t", "<i8")])  # one pixel past int16
        big["t"] = np.arange(40000)
        assert spikes.events_to_frames(big, (2, 2), 1, use_tonic=True)[0, 0, 0, 0] == 40000

    def test_real_tonic(self):
        e = ref.make_events(np.random.default_rng(8), 2000)
        e.sort(order="t")
        out = spikes.events_to_frames(e, (34, 30), 5)
        assert out.shape == (5, 2, 30, 34) and out.dtype == np.float32 and out.sum() > 0
        assert spikes.events_to_grid(e, (34, 30), 5).shape == (5, 30, 34, 3)


class TestGridAndRaster:
    def test_grid_rules(self, monkeypatch):
        monkeypatch.setattr(spikes, "TONIC_AVAILABLE", False)
        e = np.zeros(5, [("x", "<u2"), ("y", "<u2"), ("t", "<i8"), ("p", "i1")])
        e["x"] = [1, 1, 2, 0, 3]
        e["p"] = [1, 1, 1, 0, 0]
        e["t"] = [0, 0, 0, 0, 100]
        g = spikes.events_to_grid(e, (4, 1), n_bins=2)
        assert g[0, 0, 1].tolist() == [0, 0, 255] and g[0, 0, 2].tolist() == [0, 0, 127]
        assert g[0, 0, 0].tolist() == [255, 0, 0] and g[1, 0, 3].tolist() == [255, 0, 0]
        empty = spikes.events_to_grid(e[:0])
        assert empty.shape == (5, 128, 128, 3) and empty.dtype == np.uint8 and not empty.any()

    @pytest.mark.filterwarnings("ignore::RuntimeWarning")
    def test_grid_uses_module_frames(self, monkeypatch):
        f = np.zeros((2, 2, 1, 3), np.float32)
        f[0, 0, 0] = [0.5, 3, np.nan]
        f[1, 1, 0] = [np.inf, 1, 2]
        monkeypatch.setattr(spikes, "events_to_frames", lambda e, s, n_frames: f)
        np.testing.assert_array_equal(spikes.events_to_grid(None, (3, 1), 2), ref.grid_from_frames(f))

    @pytest.mark.filterwarnings("ignore::RuntimeWarning")
    @pytest.mark.parametrize("seed", range(8))
    def test_grid_colouring_of_any_values(self, monkeypatch, seed):
        rng = np.random.default_rng(seed)
        n, h, w = int(rng.integers(1, 6)), int(rng.integers(1, 9)), int(rng.integers(1, 13))
        scale = [1, 1e-3, 7.5, 1e6, 3e38, 2**24][seed % 6]
        f = (rng.standard_normal((n, 2, h, w)) * scale).astype(np.float32)
        f[rng.random(f.shape) < 0.3] = 0
        if seed % 2:
            f = np.abs(np.round(f))
        monkeypatch.setattr(spikes, "events_to_frames", lambda e, s, n_frames: f)
        np.testing.assert_array_equal(spikes.events_to_grid(None, (w, h), n), ref.grid_from_frames(f))

    def test_raster_rules(self):
        e = np.zeros(4, [("x", "<i2"), ("y", "<i2"), ("t", "<i8")])
        e["x"] = [3, 33, -1, 0]
        e["y"] = [2, 33, 1, 0]
        r = spikes.events_to_raster(e)
        assert r.shape == (100, 34 * 34) and r[0, 71] == 1 and r.sum(axis=0)[33] == 1  # x=-1, y=1 -> 33
        r = spikes.events_to_raster(e, n_neurons=100)
        assert r.sum() == 3
        audio = np.zeros(2, [("t", "<i8"), ("channel", "<u2")])
        audio["channel"] = [7, 2]
        assert spikes.events_to_raster(audio)[0].tolist() == [0, 0, 1, 0, 0, 0, 0, 1]
        assert spikes.events_to_raster(e[:0]).shape == (100, 1)
        assert spikes.events_to_raster(e[:0], n_neurons=50).shape == (100, 50)
        assert spikes.events_to_raster(e, time_bins=10.5).shape == (10, 34 * 34)
        with pytest.raises(TypeError, match="Argument 'n_neurons' has incorrect type"):
            spikes.events_to_raster(e, n_neurons="5")
        with pytest.raises(TypeError, match="Argument 'time_bins' has incorrect type \\(expected int, got str\\)"):
            spikes.events_to_raster(e, time_bins="50")

    def test_raster_rows_limit(self):
        e = np.zeros(34 * 34, [("x", "<u2"), ("y", "<u2"), ("t", "<i8")])
        e["x"] = np.tile(np.arange(34), 34)
        e["y"] = np.repeat(np.arange(34), 34)
        r = spikes.events_to_raster(e, n_neurons=100, time_bins=1)
        assert r.sum() == 100 and r[0, 99] == 1  # rows 0, 1 and row 2 up to x = 31

    def test_raster_sees_replaced_helpers(self, monkeypatch):
        ev = ref.make_events(np.random.default_rng(3), 500)
        calls = []
        monkeypatch.setattr(spikes, "_detect_sensor_size", lambda e: calls.append("size") or (10, 3))
        np.testing.assert_array_equal(spikes.events_to_raster(ev, None, 4), ref.raster(ev, None, 4, 10, 3))
        monkeypatch.undo()
        fields = spikes._get_event_fields
        monkeypatch.setattr(spikes, "_get_event_fields", lambda e: calls.append("fields") or fields(e))
        np.testing.assert_array_equal(spikes.events_to_raster(ev, 40, 4), ref.raster(ev, 40, 4, 34, 30))
        assert calls == ["size", "fields", "fields"]

    def test_large_raster(self):
        e = np.zeros(3, [("x", "<u2"), ("y", "<u2"), ("t", "<i8")])
        e["x"], e["y"], e["t"] = [0, 999, 5], [0, 99, 7], [0, 5, 9]
        r = spikes.events_to_raster(e)  # 40 MB: over pages of its own
        assert r.shape == (100, 100_000) and r.dtype == np.float32 and r.flags.writeable and r.flags.c_contiguous
        np.testing.assert_array_equal(r, ref.raster(e, None, 100, 1000, 100))
        row = r[55]
        del r
        row += 1
        assert row.sum() == 100_000 + 1

    def test_large_raster_through_a_replaced_np(self, monkeypatch):
        import types
        calls = []
        proxy = types.ModuleType("proxy")
        proxy.__dict__.update(vars(np))
        proxy.zeros = lambda *a, **k: calls.append(a[0]) or np.zeros(*a, **k)
        monkeypatch.setattr(spikes, "np", proxy)
        e = np.zeros(2, [("x", "<u2"), ("y", "<u2"), ("t", "<i8")])
        e["x"], e["y"], e["t"] = [0, 999], [0, 99], [0, 5]
        assert spikes.events_to_raster(e).sum() == 2 and (100, 100_000) in calls


@pytest.mark.parametrize("xy", ["u1", "i1", "<u2", "<i2", "<u4", "<i4"])
@pytest.mark.parametrize("t", ["<i8", "<u8", "<i4", "<u4"])
def test_raster_of_packed_records(xy, t):
    """Packed integer records (read eight at a time where the CPU allows) over several
    chunks, an uneven tail, negative and out-of-range coordinates, a width that grows
    along the recording, and y * width + x wrapping around the int32 range."""
    rng = np.random.default_rng(len(xy) * 7 + len(t))
    info, t_info = np.iinfo(xy), np.iinfo(t)
    ev = np.zeros(20003, [("t", t), ("x", xy), ("y", xy), ("p", "i1")])
    ev["x"] = rng.integers(0, 40, len(ev))
    ev["y"] = rng.integers(0, 30, len(ev))
    ev["x"][:7000] = np.sort(ev["x"][:7000])
    ev["t"] = np.sort(rng.integers(t_info.min // 2, t_info.max // 2, len(ev), dtype=np.dtype(t).newbyteorder("=")))
    ev["t"][[0, 9000, 9001, -1]] = ev["t"][[9000, 0, -1, 9001]]  # the extremes away from the ends
    negative_x, negative_y = ev.copy(), ev.copy()  # only in the middle, where records may go eight at a time
    negative_x["x"][3000:9000:7] = rng.integers(max(info.min, -3), 1, len(ev[3000:9000:7]))
    negative_y["y"][3000:9000:11] = max(info.min, -2)
    wrapped = ev.copy()
    wrapped["x"][16000] = min(info.max, 4095)
    wrapped["y"][16001] = min(info.max, 2**20)  # 2**20 * 4096 + x wraps to x
    wrapped["y"][16002] = info.min
    for e in (ev, negative_x, negative_y, wrapped):
        w, h = spikes._detect_sensor_size(e)
        for n_neurons in ((None,) if e is not wrapped else ()) + (1, 97, 10**4):
            np.testing.assert_array_equal(spikes.events_to_raster(e, n_neurons, 37),
                                          ref.raster(e, n_neurons, 37, w, h))


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.integers(-3, 12), st.integers(-3, 9), st.integers(-10**12, 10**12),
                          st.sampled_from([-1, 0, 1, 2])), max_size=200),
       st.integers(1, 64))
def test_counts_property(rows, n_frames):
    e = np.array(rows, dtype=[("x", "<i4"), ("y", ">i2"), ("t", "<i8"), ("p", "i1")])
    inside = sum(0 <= x < 10 and 0 <= y < 7 for x, y, _, _ in rows)
    plain = spikes.events_to_frames(e, (10, 7), n_frames, use_tonic=False)
    acc = spikes.events_to_frames(e, (10, 7), n_frames, accumulate=True)
    assert plain.sum() == inside and acc[-1].sum() == inside
    np.testing.assert_array_equal(plain, ref.frames(e, (10, 7), n_frames))


@pytest.mark.parametrize("t_dtype", ["<i8", ">i8", "<u8", "<u4", ">i2", "u1"])
@pytest.mark.parametrize("n_bins", [1, 2, 7, 100, 1024, 1025])
def test_sorted_integer_times(t_dtype, n_bins):
    """Long sorted (then partly shuffled) recordings, where consecutive events share bins."""
    rng = np.random.default_rng(n_bins)
    info = np.iinfo(np.dtype(t_dtype))
    ev = ref.make_events(rng, 9000, dtypes={"t": t_dtype})
    for lo, hi in ((info.min, info.max), (0, 3), (info.max - 5000, info.max), (info.min, info.min + 10**6)):
        lo, hi = max(lo, int(info.min)), min(hi, int(info.max))
        t = np.sort(rng.integers(lo, hi, len(ev), endpoint=True, dtype=np.dtype(t_dtype).newbyteorder("=")))
        t[:2] = [lo, hi] if rng.integers(2) else t[:2]
        ev["t"] = np.sort(t)
        mixed = ev.copy()
        mixed[3000:4500] = rng.permutation(mixed[3000:4500])
        for e in (ev, mixed, ev[::-1]):
            np.testing.assert_array_equal(spikes.events_to_frames(e, (34, 30), n_bins, use_tonic=False),
                                          ref.frames(e, (34, 30), n_bins))
            np.testing.assert_array_equal(spikes.events_to_raster(e, 300, n_bins),
                                          ref.raster(e, 300, n_bins, *spikes._detect_sensor_size(e)))
