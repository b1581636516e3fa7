"""Properties over generated inputs: the encode round trip, JSON-ready values, binning
invariants and the substitution semantics of both page renderers, each against a plain
Python model written here."""
import base64
import json
import math
import os
import string
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import sweep_support as s
from nivra.viz import encode

settings.register_profile("nivra", max_examples=60, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
# NIVRA_HYPOTHESIS_PROFILE=nivra-deep for a long bug hunt by hand.
settings.register_profile("nivra-deep", parent=settings.get_profile("nivra"), max_examples=3000)
settings.load_profile(os.environ.get("NIVRA_HYPOTHESIS_PROFILE", "nivra"))
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")

DTYPES = ["?", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "f2", "f4", "f8", "g",
          ">i2", ">i4", ">u8", ">f4", ">f8", "<f8"]


def reorder(a, order):
    if a.ndim == 0 or order == "C":
        return a
    return {"F": lambda: np.asfortranarray(a), "T": lambda: a.T, "rev": lambda: a[::-1],
            "step": lambda: a[..., ::2]}[order]()


@st.composite
def arrays(draw):
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    shape = draw(hnp.array_shapes(min_dims=0, max_dims=4, min_side=0, max_side=5))
    a = draw(hnp.arrays(dtype, shape))  # floats include NaN, infinities and -0.0
    return reorder(a, draw(st.sampled_from(["C", "F", "T", "rev", "step"])))


class TestEncodeRoundTrip:
    @given(arrays())
    def test_decode_of_encode_is_the_row_major_array_bit_for_bit(self, a):
        rec = encode.encode_array(a)
        c = np.ascontiguousarray(a)
        back = encode.decode_array(rec)
        assert back.dtype == c.dtype and back.shape == c.shape
        assert back.tobytes() == c.tobytes()
        assert rec["data"] == base64.b64encode(c.tobytes()).decode("ascii")
        assert rec["shape"] == list(c.shape) and rec["size"] == c.size and rec["dtype"] == str(c.dtype)

    @given(arrays())
    def test_statistics_are_the_numpy_reductions_as_floats(self, a):
        with np.errstate(all="ignore"):
            stats = encode.encode_array(a)["stats"]
            c = np.ascontiguousarray(a)
            want = [float(f(c)) for f in (np.min, np.max, np.mean, np.std)] if c.size else [0.0] * 4
        assert list(stats) == ["min", "max", "mean", "std"]
        for got, exp in zip(stats.values(), want):
            assert type(got) is float
            assert got == exp or (math.isnan(got) and math.isnan(exp))


# --- encode_value ------------------------------------------------------------

NP_SCALARS = st.one_of(
    st.integers(-2**63, 2**63 - 1).map(np.int64), st.integers(0, 2**64 - 1).map(np.uint64),
    st.integers(-128, 127).map(np.int8), st.integers(0, 65535).map(np.uint16),
    st.floats(width=32).map(np.float32), st.floats().map(np.float64), st.floats(width=16).map(np.float16),
    st.booleans().map(np.bool_), st.binary(max_size=6).map(np.bytes_))
PLAIN = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), st.text(max_size=5),
                  st.binary(max_size=6), st.complex_numbers())
SMALL_ARRAYS = hnp.arrays(st.sampled_from(["i4", "f8", "?"]), hnp.array_shapes(max_dims=2, max_side=3))
VALUES = st.recursive(
    st.one_of(NP_SCALARS, PLAIN, SMALL_ARRAYS),
    lambda inner: st.one_of(st.lists(inner, max_size=4), st.lists(inner, max_size=3).map(tuple),
                            st.dictionaries(st.text(max_size=3), inner, max_size=4),
                            st.dictionaries(st.text(max_size=3), inner, max_size=3).map(s.DictSub)),
    max_leaves=12)


def model_encode_value(v):
    """The conversion rules in order, written plainly."""
    if isinstance(v, np.ndarray):
        return encode.encode_array(v)
    if isinstance(v, (np.integer, np.floating)):
        return v.item()
    if isinstance(v, np.bool_):
        return bool(v)
    if isinstance(v, dict):
        return {k: model_encode_value(x) for k, x in v.items()}
    if isinstance(v, (list, tuple)):
        return [model_encode_value(x) for x in v]
    if isinstance(v, bytes):
        return v.decode("utf-8", errors="replace")
    return v


def assert_plain(v, path="value"):
    assert not isinstance(v, (np.generic, np.ndarray)), f"{path} is {type(v).__name__}"
    if isinstance(v, dict):
        assert type(v) is dict, path
        for k, x in v.items():
            assert_plain(x, f"{path}[{k!r}]")
    elif isinstance(v, (list, tuple)):
        assert type(v) is list, path
        for i, x in enumerate(v):
            assert_plain(x, f"{path}[{i}]")


def same_value(a, b):
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    if isinstance(a, complex) and isinstance(b, complex):
        return a is b
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(same_value(a[k], b[k]) for k in a)
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same_value(x, y) for x, y in zip(a, b))
    return type(a) is type(b) and a == b


class TestEncodeValue:
    @given(VALUES)
    def test_result_holds_no_numpy_type_anywhere(self, v):
        assert_plain(encode.encode_value(v))

    @given(VALUES)
    def test_result_follows_the_conversion_rules(self, v):
        assert same_value(encode.encode_value(v), model_encode_value(v))

    @given(PLAIN.filter(lambda x: not isinstance(x, bytes)))
    def test_values_needing_no_conversion_come_back_as_the_same_object(self, v):
        assert encode.encode_value(v) is v


# --- binning (spikes) --------------------------------------------------------

def spikes():
    mod = s.module("spikes")
    if mod is None:
        pytest.skip("nivra.viz.spikes is not built")
    return mod


@st.composite
def event_arrays(draw, max_size=60):
    n = draw(st.integers(0, max_size))
    width, height = draw(st.integers(1, 9)), draw(st.integers(1, 9))
    ev = np.zeros(n, s.EVENT_DTYPE)
    # Coordinates may fall outside the sensor (dropped); timestamps in any order.
    ev["x"] = draw(hnp.arrays("u2", n, elements=st.integers(0, width + 1)))
    ev["y"] = draw(hnp.arrays("u2", n, elements=st.integers(0, height + 1)))
    ev["t"] = draw(hnp.arrays("i8", n, elements=st.integers(0, 10**6)))
    ev["p"] = draw(hnp.arrays("i1", n, elements=st.integers(-1, 1)))
    return ev, (width, height)


def inside(ev, size):
    return (ev["x"] < size[0]) & (ev["y"] < size[1])


class TestBinning:
    @given(event_arrays(), st.integers(1, 6))
    def test_frame_counts_total_and_split_by_polarity(self, sample, n_frames):
        ev, size = sample
        frames = spikes().events_to_frames(ev, size, n_frames, use_tonic=False)
        assert frames.shape == (n_frames, 2, size[1], size[0]) and frames.dtype == np.float32
        kept = ev[inside(ev, size)]
        assert frames[:, 0].sum() == np.count_nonzero(kept["p"] > 0)
        assert frames[:, 1].sum() == np.count_nonzero(kept["p"] <= 0)

    @given(event_arrays(), st.integers(1, 6))
    def test_accumulation_is_the_running_total(self, sample, n_frames):
        ev, size = sample
        mod = spikes()
        plain = mod.events_to_frames(ev, size, n_frames, use_tonic=False)
        acc = mod.events_to_frames(ev, size, n_frames, accumulate=True, use_tonic=False)
        assert np.array_equal(acc, np.cumsum(plain, axis=0))
        assert acc[-1].sum() == np.count_nonzero(inside(ev, size))

    @given(event_arrays(), st.integers(1, 5))
    def test_grid_scales_each_bin_and_channel_to_255(self, sample, n_bins):
        ev, size = sample
        mod = spikes()
        grid = mod.events_to_grid(ev, size, n_bins)
        frames = mod.events_to_frames(ev, size, n_frames=n_bins)
        assert grid.shape == (n_bins, size[1], size[0], 3) and grid.dtype == np.uint8
        assert not grid[..., 1].any()
        for b in range(n_bins):
            for channel, colour in ((0, 2), (1, 0)):
                counts = frames[b, channel]
                assert grid[b, ..., colour].max() == (255 if counts.max() > 0 else 0)
                assert np.array_equal(grid[b, ..., colour] == 0, counts == 0) or counts.max() > 255

    @given(event_arrays(), st.integers(1, 200), st.integers(1, 8))
    def test_raster_counts_every_event_of_a_kept_neuron(self, sample, n_neurons, time_bins):
        ev, _ = sample
        raster = spikes().events_to_raster(ev, n_neurons, time_bins)
        assert raster.shape == (time_bins, n_neurons)
        if len(ev):
            width = int(ev["x"].max()) + 1
            neuron = ev["y"].astype(np.int64) * width + ev["x"]
            assert raster.sum() == np.count_nonzero(neuron < n_neurons)
            assert np.array_equal(raster.sum(axis=0), np.bincount(neuron[neuron < n_neurons],
                                                                  minlength=n_neurons))


# Field types and value ranges of every kind the binning reads directly from memory.
T_TYPES = ["<i8", ">i8", "<u8", "<i4", "<u4", "<i2", "<u2", "<f8", ">f8", "<f4"]
XY_TYPES = ["<u2", ">u2", "<i2", "<u1", "<i4", "<u4", "<i8", "<u8", "<f4", "<f8"]
P_TYPES = ["i1", "?", "<i4", "<f4", "u1"]


@st.composite
def typed_events(draw, max_size=40):
    n = draw(st.integers(0, max_size))
    t_type, x_type, y_type, p_type = (np.dtype(draw(st.sampled_from(c)))
                                      for c in (T_TYPES, XY_TYPES, XY_TYPES, P_TYPES))
    layout = draw(st.permutations(["x", "y", "t", "p"]))
    types = {"x": x_type, "y": y_type, "t": t_type, "p": p_type}
    ev = np.zeros(n, [(name, types[name]) for name in layout])

    def column(dtype, small):
        if dtype.kind == "f":
            return hnp.arrays(dtype, n, elements=st.floats(-3, small + 3, width=dtype.itemsize * 8)
                              if small else st.floats(-2.0**49, 2.0**49, width=dtype.itemsize * 8))
        info = np.iinfo(dtype) if dtype.kind in "iu" else None
        if info is None:
            return hnp.arrays(dtype, n)
        lo, hi = (max(info.min, -3), min(info.max, small + 3)) if small else (info.min, info.max)
        return hnp.arrays(dtype, n, elements=st.integers(lo, hi))

    width, height = draw(st.integers(1, 7)), draw(st.integers(1, 7))
    ev["x"] = draw(column(x_type, width))
    ev["y"] = draw(column(y_type, height))
    wide = draw(st.booleans())  # timestamps over the type's whole range, or a narrow window
    ev["t"] = draw(column(t_type, 0 if wide else 50))
    ev["p"] = draw(hnp.arrays(p_type, n, elements=st.booleans() if p_type.kind == "b" else
                              st.integers(0 if p_type.kind == "u" else -1, 1)))
    if draw(st.booleans()):
        ev = ev[::-1]  # negative stride
    return ev, (width, height)


class TestBinningAgainstTheNumpySteps:
    @pytest.mark.filterwarnings("ignore::RuntimeWarning")
    @given(typed_events(), st.integers(1, 40), st.booleans())
    def test_frames(self, sample, n_frames, accumulate):
        import spikes_reference as ref
        ev, size = sample
        got = spikes()._events_to_frames_numpy(ev, size, n_frames, accumulate)
        assert np.array_equal(got, ref.frames(ev, size, n_frames, accumulate))

    @pytest.mark.filterwarnings("ignore::RuntimeWarning")
    @given(typed_events(), st.integers(1, 60), st.integers(1, 40))
    def test_raster(self, sample, n_neurons, time_bins):
        import spikes_reference as ref
        ev, _ = sample
        mod = spikes()
        if len(ev) == 0:
            assert np.array_equal(mod.events_to_raster(ev, n_neurons, time_bins),
                                  np.zeros((time_bins, n_neurons), np.float32))
            return
        try:
            width, height = mod._detect_sensor_size(ev)
        except (ValueError, OverflowError):
            return  # NaN or infinite maxima: no sensor size, nothing to compare
        got = mod.events_to_raster(ev, n_neurons, time_bins)
        with np.errstate(all="ignore"):
            want = ref.raster(ev, n_neurons, time_bins, width, height)
        assert np.array_equal(got, want)


# --- page renderers ----------------------------------------------------------

JSON_LEAVES = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False),
                        st.text(alphabet=st.sampled_from("ab<>&'\"$\u2028\u2029é{}\\/ "), max_size=8),
                        st.sampled_from(["{{TITLE}}", "{{WIDTH}}", "{{HEIGHT}}", "{{DATA_JSON}}", "</script>",
                                         "{{WID", "TH}}", "}",
                                         "$title", "${data_json}", "$$"]))
DOCS = st.dictionaries(st.text(max_size=4), st.recursive(
    JSON_LEAVES, lambda inner: st.one_of(st.lists(inner, max_size=3),
                                         st.dictionaries(st.text(max_size=3), inner, max_size=3)),
    max_leaves=8), max_size=4)
TITLES = st.text(alphabet=st.sampled_from("ab<>&'\"${}é "), max_size=10) | st.lists(st.sampled_from(
    ["{{DATA_JSON}}", "{{WIDTH}}", "{{HEIGHT}}", "{{TITLE}}", "{{", "}}", "{{WID", "TH}}", "{", "}",
     "$title", "${data_json}", "x"]), max_size=5).map("".join)


TEMPLATE_PIECES = st.lists(st.sampled_from(["{{TITLE}}", "{{DATA_JSON}}", "{{WIDTH}}", "{{HEIGHT}}", "{{",
                                            "}}", "{{OTHER}}", "<p>", "$x", "é", "\n", "{", "}", "{{WID",
                                            "TH}}", "{{HEI", "GHT}}", "\U0001f600"]), max_size=10)


class TestRenderHtml:
    @pytest.fixture
    def render(self):
        mod = s.module("render")
        if mod is None:
            pytest.skip("nivra.viz.render is not built")
        return mod

    @given(DOCS, TITLES, st.integers(0, 5000) | st.floats(0, 5000), st.integers(-5, 5000))
    def test_real_template_matches_the_model(self, render, data, title, width, height):
        if not (render.TEMPLATES_DIR / "viewer.html").exists():
            pytest.skip("viewer.html is not installed")
        template = render.load_template("viewer.html")
        assert render.render_html(data, title, width, height) == \
            s.model_render_html(template, data, title, width, height)

    @given(TEMPLATE_PIECES, DOCS, TITLES)
    def test_any_template_matches_the_model(self, render, tmp_path_factory, pieces, data, title):
        directory = tmp_path_factory.mktemp("templates")
        template = "".join(pieces)
        (directory / "viewer.html").write_text(template, encoding="utf-8")
        saved = render.TEMPLATES_DIR
        render.TEMPLATES_DIR = directory
        try:
            got = render.render_html(data, title)
        finally:
            render.TEMPLATES_DIR = saved
        assert got == s.model_render_html(template, data, title, 1200, 800)

    @given(st.text(max_size=20))
    def test_escape_html(self, render, text):
        assert render._escape_html(text) == s.model_escape_html(text)


class TestRenderSpikeHtml:
    @given(DOCS, TITLES)
    def test_matches_string_template_substitution(self, data, title):
        mod = spikes()
        if not (Path(mod.__file__).parent / "templates" / "spikes.html").exists():
            pytest.skip("spikes.html is not installed")
        template = mod._load_template("spikes.html")
        safe_json = json.dumps(data).replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")
        want = string.Template(template).substitute(title=s.model_escape_html(title), data_json=safe_json)
        assert mod._render_spike_html(data, title) == want

    @given(st.text(max_size=20))
    def test_html_escape(self, text):
        assert spikes()._html_escape(text) == s.model_escape_html(text)
