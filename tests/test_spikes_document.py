"""Event documents, images, templates and pages of the spikes module."""
import base64
import io
import json
import os
import pathlib

import numpy as np
import pytest
from PIL import Image

from nivra.viz import spikes
import spikes_reference as ref

KEYS = ["event_count", "duration_us", "sensor_size", "grid_frames", "animation_frames", "raster"]


def pixels(text):
    raw = base64.b64decode(text, validate=True)
    assert raw.startswith(b"\x89PNG\r\n\x1a\n")
    return np.asarray(Image.open(io.BytesIO(raw)))


@pytest.fixture
def opened(monkeypatch):
    """The URLs the module asks the browser to open (nothing is really opened)."""
    urls = []
    monkeypatch.setattr(spikes.webbrowser, "open", lambda url, *a, **k: urls.append(url))
    return urls


@pytest.fixture
def no_tonic(monkeypatch):
    monkeypatch.setattr(spikes, "TONIC_AVAILABLE", False)


class TestImages:
    def test_encode(self):
        img = np.zeros((3, 4, 3), np.uint8)
        img[1, 2] = [10, 200, 255]
        np.testing.assert_array_equal(pixels(spikes._encode_image_base64(img)), img)
        f = np.zeros((2, 2, 3))
        f[0, 0] = [1.0, 0.5, 0.0]
        assert pixels(spikes._encode_image_base64(f))[0, 0].tolist() == [255, 127, 0]
        wrap = np.full((1, 1, 3), 2, np.int64)  # 2 * 255 = 510 wraps to 254
        assert pixels(spikes._encode_image_base64(wrap))[0, 0].tolist() == [254] * 3

    # Every size from 1x1 up to 9x9, then a few large ones (the sensors of the samples and benches).
    SIZES = [(h, w) for h in range(1, 10) for w in range(1, 10)] + [(1, 4099), (3001, 1), (260, 346), (720, 1280)]

    def test_pixels_survive_every_size(self):
        rng = np.random.default_rng(5)
        for h, w in self.SIZES:
            noise = rng.integers(0, 256, (h, w, 3), np.uint8)       # incompressible
            sparse = noise * (rng.random((h, w, 1)) < 0.02)           # long zero runs, as in event images
            for img in (noise, sparse):
                raw = base64.b64decode(spikes._encode_image_base64(img), validate=True)
                Image.open(io.BytesIO(raw)).verify()  # chunk CRCs
                with Image.open(io.BytesIO(raw)) as decoded:
                    assert decoded.mode == "RGB"
                    np.testing.assert_array_equal(np.asarray(decoded), img, err_msg=f"{h}x{w}")

    @pytest.mark.parametrize("make", [
        lambda img: img.astype(np.float64) / 255,              # scaled by 255 first
        lambda img: img.astype(bool),
        lambda img: img[:, ::2],                                # not contiguous
        lambda img: np.asfortranarray(img),
        lambda img: img[..., 0],                                # grey
        lambda img: np.dstack([img, img[..., :1]]),             # RGBA
        lambda img: img.view(type("Sub", (np.ndarray,), {})),
    ])
    def test_other_images_go_through_pillow(self, make):
        img = make(np.random.default_rng(2).integers(0, 256, (5, 6, 3), np.uint8))
        u8 = img if img.dtype == np.uint8 else (img * 255).astype(np.uint8)
        buf = io.BytesIO()
        Image.fromarray(np.asarray(u8)).save(buf, format="PNG")
        assert spikes._encode_image_base64(img) == base64.b64encode(buf.getvalue()).decode()

    def test_empty_image_fails_as_in_pillow(self):
        img = np.zeros((0, 4, 3), np.uint8)
        with pytest.raises(Exception) as pillow_error:
            Image.fromarray(img).save(io.BytesIO(), format="PNG")
        with pytest.raises(type(pillow_error.value)):
            spikes._encode_image_base64(img)

    def test_pillow_missing(self, monkeypatch):
        import sys
        monkeypatch.setitem(sys.modules, "PIL", None)
        with pytest.raises(ImportError, match="^Pillow is required for spike visualization but was not found. "
                           "This is a required dependency of nivra-viz. Install with: pip install pillow>=9.0$") as e:
            spikes._encode_image_base64(np.zeros((1, 1, 3), np.uint8))
        assert isinstance(e.value.__context__, ImportError)


class TestDocument:
    @pytest.mark.parametrize("seed", range(6))
    def test_document_equals_steps(self, seed, no_tonic):
        rng = np.random.default_rng(seed)
        names = [("x", "y", "t", "p"), ("x", "y", "ts", "pol"), ("channel", None, "t", "p"),
                 ("addr", None, "time", "on"), ("x", "row", "timestamp", None), ("x", "y", "t", "p")][seed]
        ev = ref.make_events(rng, int(rng.integers(1, 3000)), names=names, spill=2,
                             dtypes={"t": ["<i8", ">u4", "<f8"][seed % 3]})
        size = (34, 30) if names[1] else (34, 1)
        n_frames, n_grid, t_bins, max_n = int(rng.integers(1, 25)), int(rng.integers(1, 7)), 17, 700
        doc = spikes.serialize_events(ev, size, n_frames, n_grid, t_bins, max_n)
        assert list(doc) == KEYS and doc["sensor_size"] is size
        assert doc["event_count"] == len(ev)
        t = ev[names[2]]
        assert doc["duration_us"] == int(t.max() - t.min()) and type(doc["duration_us"]) is int
        grid = ref.grid_from_frames(ref.frames(ev, size, n_grid))
        assert len(doc["grid_frames"]) == n_grid
        for text, want in zip(doc["grid_frames"], grid):
            np.testing.assert_array_equal(pixels(text), want)
        frames = ref.frames(ev, size, n_frames)
        rgb = ref.colour(frames[:, 0], frames[:, 1], shared=True)
        assert len(doc["animation_frames"]) == n_frames
        for text, want in zip(doc["animation_frames"], rgb):
            np.testing.assert_array_equal(pixels(text), want)
        neurons = min(size[0] * size[1] if names[1] else size[0], max_n)
        w, h = spikes._detect_sensor_size(ev)
        assert doc["raster"] == ref.raster(ev, neurons, t_bins, w, h).tolist()
        json.dumps(doc)

    def test_limits_and_edges(self, no_tonic):
        ev = ref.make_events(np.random.default_rng(1), 400)
        doc = spikes.serialize_events(ev, (34, 34))
        assert (len(doc["grid_frames"]), len(doc["animation_frames"])) == (5, 20)
        assert len(doc["raster"]) == 100 and {len(r) for r in doc["raster"]} == {1000}
        assert {len(r) for r in spikes.serialize_events(ev, (10, 10))["raster"]} == {100}
        audio = ref.make_events(np.random.default_rng(2), 50, names=("channel", None, "t", "p"), width=64)
        assert {len(r) for r in spikes.serialize_events(audio, (64, 1))["raster"]} == {64}
        assert len(spikes.serialize_events(ev, (34, 34), n_frames=3.9)["animation_frames"]) == 3
        t = ev[:2].copy()
        t["t"] = [5, 1005]
        assert spikes.serialize_events(t)["duration_us"] == 1000
        empty = spikes.serialize_events(ev[:0])
        assert empty["event_count"] == 0 and empty["duration_us"] == 0 and empty["sensor_size"] == (128, 128)
        assert not pixels(empty["grid_frames"][0]).any() and empty["raster"] == [[0.0] * 1000] * 100
        wrap = np.zeros(2, [("x", "u1"), ("t", "<i2")])
        wrap["t"] = [-30000, 30000]  # the difference wraps in int16, as array scalars do
        with np.errstate(over="ignore"):
            assert spikes.serialize_events(wrap)["duration_us"] == int(np.int16(30000) - np.int16(-30000))

    def test_colouring_rules(self, monkeypatch):
        f = np.zeros((2, 2, 1, 5), np.float32)
        f[0, 0, 0, :4] = [0, 1, 2, 4]
        f[0, 1, 0, 4] = 2
        f[1, 0, 0, :2] = [0.5, -3]
        monkeypatch.setattr(spikes, "events_to_frames", lambda e, s, n_frames: f)
        monkeypatch.setattr(spikes, "events_to_grid", lambda e, s, n_bins: np.zeros((1, 1, 5, 3), np.uint8))
        monkeypatch.setattr(spikes, "events_to_raster", lambda e, n_neurons, time_bins: np.zeros((1, 1)))
        ev = np.zeros(1, [("x", "u1"), ("t", "u1")])
        doc = spikes.serialize_events(ev, (5, 1), n_frames=2)
        a, b = (pixels(t) for t in doc["animation_frames"])
        assert a[0, :, 2].tolist() == [0, 63, 127, 255, 0] and a[0, 4].tolist() == [127, 0, 0]
        assert b[0, :2, 2].tolist() == [127, 0] and not b[..., :2].any()
        f[1, 1, 0, 0] = np.nan  # not finite: the array steps decide
        with np.errstate(invalid="ignore"):
            want = ref.colour(f[:, 0], f[:, 1], shared=True)
            got = [pixels(t) for t in spikes.serialize_events(ev, (5, 1), n_frames=2)["animation_frames"]]
        np.testing.assert_array_equal(np.stack(got), want)

    def test_call_order_and_arguments(self, monkeypatch):
        calls = []
        def spy(name, result):
            def fn(*a, **k):
                calls.append((name, a[1:], k))
                return result
            return fn
        ev = np.zeros(3, [("x", "u1"), ("y", "u1"), ("t", "u1")])
        monkeypatch.setattr(spikes, "_detect_sensor_size", spy("detect", (40, 30)))
        monkeypatch.setattr(spikes, "events_to_grid", spy("grid", np.zeros((2, 30, 40, 3), np.uint8)))
        monkeypatch.setattr(spikes, "events_to_frames", spy("frames", np.zeros((3, 2, 30, 40), np.float32)))
        monkeypatch.setattr(spikes, "events_to_raster", spy("raster", np.zeros((4, 2))))
        doc = spikes.serialize_events(ev, None, 3, 2, 4, 999)
        assert calls == [("detect", (), {}), ("grid", ((40, 30),), {"n_bins": 2}),
                         ("frames", ((40, 30),), {"n_frames": 3}),
                         ("raster", (), {"n_neurons": 999, "time_bins": 4})]
        assert doc["sensor_size"] == (40, 30)

    def test_arguments(self):
        ev = np.zeros(1, [("x", "u1"), ("t", "u1")])
        with pytest.raises(TypeError, match="Argument 'n_frames' has incorrect type \\(expected int, got str\\)"):
            spikes.serialize_events(ev, [3, 3], n_frames="3")  # counts are converted before sensor_size
        with pytest.raises(TypeError, match="Argument 'max_raster_neurons' has incorrect type"):
            spikes.serialize_events(ev, max_raster_neurons=None)
        with pytest.raises(TypeError, match="Argument 'sensor_size' has incorrect type"):
            spikes.serialize_events(ev, [3, 3])
        with pytest.raises(ValueError, match="Events must have time and x coordinate fields"):
            spikes.serialize_events(np.zeros(2, [("x", "u1")]))
        assert spikes.serialize_events.__defaults__ == (None, 20, 5, 100, 1000)


    def test_progress_stages(self, no_tonic):
        from nivra.viz._progress import reporting

        class Stop(Exception):
            pass

        def stop(stage, done, total):
            raise Stop(stage)

        seen = []
        ev = ref.make_events(np.random.default_rng(1), 200)
        with reporting(lambda *a: seen.append(a)):
            spikes.serialize_events(ev, n_frames=3, n_grid_bins=2)
            spikes._frames_document(np.zeros((2, 4, 4), np.float32))
        assert seen == [("grid", 0, 1), ("images", 1, 5), ("images", 2, 5), ("frames", 0, 1),
                        ("images", 3, 5), ("images", 4, 5), ("images", 5, 5), ("raster", 0, 1),
                        ("images", 1, 2), ("images", 2, 2)]
        spikes._frames_document(np.zeros((1, 2, 2)))  # nothing is reported outside the block
        assert len(seen) == 10
        with reporting(stop), pytest.raises(Stop, match="grid"):
            spikes.serialize_events(ev)


class TestTemplates:
    def test_html_escape(self):
        assert spikes._html_escape("<a href=\"x\">Tom's & Jerry</a>") == \
            "&lt;a href=&quot;x&quot;&gt;Tom&#x27;s &amp; Jerry&lt;/a&gt;"
        assert spikes._html_escape("&lt;") == "&amp;lt;"
        with pytest.raises(TypeError, match="Argument 'text' has incorrect type"):
            spikes._html_escape(b"x")

    def test_load_template(self, tmp_path):
        here = pathlib.Path(spikes.__file__).parent / "templates" / "spikes.html"
        assert spikes._load_template("spikes.html") == here.read_text(encoding="utf-8")
        own = tmp_path / "t.html"
        own.write_text("é $title", encoding="utf-8")
        assert spikes._load_template(str(own)) == "é $title"  # an absolute name replaces the directory
        with pytest.raises(FileNotFoundError):
            spikes._load_template("missing.html")

    def test_render(self, monkeypatch, tmp_path):
        page = spikes._render_spike_html({}, "T")
        assert "{}" in page and "$data_json" not in page
        doc = {"event_count": 1, "duration_us": 2, "sensor_size": (3, 4), "grid_frames": [],
               "animation_frames": [], "raster": []}
        page = spikes._render_spike_html(doc, title="A $dollar <b>")
        assert json.dumps(doc) in page and "A $dollar &lt;b&gt;" in page
        own = tmp_path / "own.html"
        monkeypatch.setattr(spikes, "_load_template", lambda name: own.read_text())
        own.write_text("[$title|${data_json}|$$]")
        assert spikes._render_spike_html({"é": 1}, "x") == '[x|{"\\u00e9": 1}|$]'
        # no string of the document can end its script element; the JSON still reads back
        hostile = {"</script><b>": "a & b > c \u2028"}
        text = spikes._render_spike_html(hostile, "x")[3:-3]
        assert "<" not in text and ">" not in text and "&" not in text and json.loads(text) == hostile
        own.write_text("$other")
        with pytest.raises(KeyError):
            spikes._render_spike_html({}, "x")
        own.write_text("$ 1")
        with pytest.raises(ValueError):
            spikes._render_spike_html({}, "x")
        with pytest.raises(TypeError):
            spikes._render_spike_html({"a": object()}, "x")
        with pytest.raises(TypeError, match="Argument 'title' has incorrect type"):
            spikes._render_spike_html({}, None)


class TestPages:
    def events(self):
        return ref.make_events(np.random.default_rng(3), 300)

    def test_export(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        ev = self.events()
        assert spikes.export_events_html(ev, "out.htm", title="Café ☕") == "out.htm"
        text = (tmp_path / "out.htm").read_text(encoding="utf-8")  # written as UTF-8
        assert "Café ☕" in text and '"event_count": 300' in text
        p = tmp_path / "sub" / ".." / "page.html"
        (tmp_path / "sub").mkdir()
        got = spikes.export_events_html(ev, p, n_frames=4)
        assert got == str(p) and type(got) is str
        assert p.read_text(encoding="utf-8") == spikes._render_spike_html(
            spikes.serialize_events(ev, None, n_frames=4), "Spike Visualization")
        with pytest.raises(FileNotFoundError):
            spikes.export_events_html(ev, tmp_path / "none" / "x.html")
        with pytest.raises(TypeError):
            spikes.export_events_html(ev, 42)

    def test_plot_events(self, opened):
        path = spikes.plot_events(self.events(), (34, 30), "Ünïcode", n_frames=5)
        assert path.endswith(".html") and os.path.isabs(path) and opened == [f"file://{path}"]
        text = pathlib.Path(path).read_text(encoding="utf-8")
        assert text == spikes._render_spike_html(spikes.serialize_events(self.events(), (34, 30), n_frames=5),
                                                 "Ünïcode")
        os.unlink(path)

    def test_errors_before_any_file(self, opened, monkeypatch, tmp_path):
        made = []
        real = spikes.tempfile.NamedTemporaryFile
        monkeypatch.setattr(spikes.tempfile, "NamedTemporaryFile", lambda **k: made.append(k) or real(**k))
        with pytest.raises(TypeError, match="serialize_events\\(\\) got an unexpected keyword argument 'bogus'"):
            spikes.plot_events(self.events(), bogus=1)
        with pytest.raises(TypeError, match="Argument 'title' has incorrect type"):
            spikes.plot_events(self.events(), title=3)
        with pytest.raises(ValueError):
            spikes.plot_frames(np.zeros((2, 3)))
        with pytest.raises(ValueError, match="too many values to unpack \\(expected 4\\)"):
            spikes.plot_frames(np.zeros((1, 1, 1, 1, 1)))
        with pytest.raises(IndexError):
            spikes.plot_frames(np.zeros((2, 0, 3, 3)))
        with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
            spikes.export_events_html(self.events(), tmp_path / "x.html", bogus=1)
        assert made == [] and opened == [] and not (tmp_path / "x.html").exists()

    @pytest.mark.parametrize("shape, dtype", [((4, 32, 48), np.float32), ((3, 1, 8, 8), np.float32),
                                              ((10, 2, 34, 34), np.float32), ((3, 3, 8, 8), np.float64),
                                              ((2, 2, 5, 6), np.uint8), ((3, 8, 8), np.int64)])
    def test_plot_frames(self, opened, monkeypatch, shape, dtype):
        docs = []
        real = spikes._render_spike_html
        monkeypatch.setattr(spikes, "_render_spike_html", lambda d, title: docs.append(d) or real(d, title=title))
        rng = np.random.default_rng(len(shape))
        frames = (rng.random(shape) * 6).astype(dtype)
        path = spikes.plot_frames(frames, title="Frames")
        assert path.endswith(".html") and opened == [f"file://{path}"]
        assert "Frames" in pathlib.Path(path).read_text(encoding="utf-8")
        os.unlink(path)
        doc = docs[0]
        f4 = frames[:, None] if frames.ndim == 3 else frames
        assert list(doc) == KEYS and doc["event_count"] == 0 and doc["raster"] == []
        assert doc["sensor_size"] == (shape[-1], shape[-2])
        assert len(doc["animation_frames"]) == shape[0] and doc["grid_frames"] == doc["animation_frames"][:5]
        off = f4[:, 1] if f4.shape[1] >= 2 else np.zeros_like(f4[:, 0])
        want = ref.colour(f4[:, 0], off, shared=True)
        got = np.stack([pixels(t) for t in doc["animation_frames"]])
        np.testing.assert_array_equal(got, want)
        if f4.shape[1] == 1:
            assert not got[..., :2].any()

    def test_write_frames_page(self, opened, tmp_path):
        frames = np.random.default_rng(0).poisson(2.0, (3, 2, 6, 8)).astype(np.float32)
        out = tmp_path / "f.htm"
        assert spikes._write_frames_page(frames, out, title="F") == str(out)
        assert opened == []
        tmp = spikes.plot_frames(frames, title="F")
        assert out.read_text(encoding="utf-8") == pathlib.Path(tmp).read_text(encoding="utf-8")
        os.unlink(tmp)

    @pytest.mark.parametrize("refusal", ["false", "error"])
    def test_no_browser_warns_with_the_path(self, monkeypatch, refusal):
        def open_(url, *a, **k):
            if refusal == "error":
                raise spikes.webbrowser.Error("could not locate runnable browser")
            return False

        monkeypatch.setattr(spikes.webbrowser, "open", open_)
        for show in (lambda: spikes.plot_events(self.events()),
                     lambda: spikes.plot_frames(np.ones((2, 3, 3), np.float32))):
            with pytest.warns(RuntimeWarning, match="no web browser could be started") as caught:
                path = show()
            assert path in str(caught[0].message) and caught[0].filename == __file__
            assert pathlib.Path(path).read_text(encoding="utf-8").startswith("<!DOCTYPE html>")
            os.unlink(path)

    def test_plot_frames_scale_floor(self, opened):
        f = np.zeros((2, 1, 1), np.float32)
        f[0, 0, 0] = 0.5
        path = spikes.plot_frames(f)
        text = pathlib.Path(path).read_text(encoding="utf-8")
        os.unlink(path)
        first = spikes._encode_image_base64(np.array([[[0, 0, 127]]], np.uint8))
        assert first in text and spikes._encode_image_base64(np.zeros((1, 1, 3), np.uint8)) in text
