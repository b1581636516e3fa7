"""The spikes module body, field detection and sensor-size rules."""
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from nivra.viz import spikes
from spikes_reference import make_events, requires_tonic


def rec(names, n=3, dtype="<i8"):
    return np.zeros(n, dtype=[(name, dtype) for name in names])


def run_isolated(code):
    """Runs code in a fresh interpreter (imports cannot be undone in this one)."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)


class TestModuleBody:
    @requires_tonic
    def test_names_bound(self):
        import base64, io, json, pathlib, tempfile, typing, webbrowser
        import PIL.Image
        import tonic

        assert (spikes.base64, spikes.io, spikes.json, spikes.tempfile, spikes.webbrowser) == (
            base64, io, json, tempfile, webbrowser)
        assert spikes.Path is pathlib.Path and spikes.np is np
        for name in ("Any", "Dict", "List", "Optional", "Tuple", "Union"):
            assert getattr(spikes, name) is getattr(typing, name)
        assert spikes.tonic is tonic and spikes.TONIC_AVAILABLE is True
        assert spikes._PILImage is PIL.Image and spikes.PIL_AVAILABLE is True
        assert spikes.__test__ == {}
        assert spikes.__doc__.splitlines()[0] == "Spike and event visualization for nivra.viz."
        assert not hasattr(spikes, "Image")

    @pytest.mark.parametrize("blocked, expect", [
        ("sys.modules['tonic'] = None", "False None True True"),
        ("sys.modules['tonic.transforms'] = None", "False None True True"),
        pytest.param("sys.modules['PIL'] = None", "True tonic False False", marks=requires_tonic),
    ])
    def test_optional_library_missing(self, blocked, expect):
        r = run_isolated(f"""
            import sys
            {blocked}
            from nivra.viz import spikes as s
            t = 'None' if s.tonic is None else s.tonic.__name__
            print(s.TONIC_AVAILABLE, t, s.PIL_AVAILABLE, hasattr(s, '_PILImage'))
        """)
        assert r.returncode == 0, r.stderr
        assert r.stdout.split() == expect.split()

    def test_other_errors_abort_import(self):
        r = run_isolated("""
            import sys, importlib.abc
            class Finder(importlib.abc.MetaPathFinder):
                def find_spec(self, name, path, target=None):
                    if name == 'tonic':
                        raise RuntimeError('broken tonic')
            sys.meta_path.insert(0, Finder())
            try:
                from nivra.viz import spikes
            except RuntimeError as e:
                print('aborted', e)
        """)
        assert r.stdout.strip() == "aborted broken tonic", r.stderr


class TestEventFields:
    @pytest.mark.parametrize("names, expect", [
        (("x", "y", "t", "p"), ("x", "y", "t", "p")),
        (("p", "t", "y", "x"), ("x", "y", "t", "p")),
        (("x", "y", "ts", "pol"), ("x", "y", "ts", "pol")),
        (("t", "channel", "p"), ("channel", None, "t", "p")),
        (("timestamp", "address", "row", "polarity"), ("address", "row", "timestamp", "polarity")),
        (("time", "addr", "on"), ("addr", None, "time", "on")),
        (("t", "timestamp", "x"), ("x", None, "t", None)),
        (("channel", "address", "t"), ("channel", None, "t", None)),
        (("on", "polarity", "t"), (None, None, "t", "polarity")),
        (("x", "channel", "p", "on"), ("x", None, None, "p")),
        (("T", "X", "P", "Y"), (None, None, None, None)),
        (("a", "b"), (None, None, None, None)),
    ])
    def test_conventions_and_preference(self, names, expect):
        assert spikes._get_event_fields(rec(names)) == expect
        assert spikes._get_event_fields(events=rec(names)) == expect

    def test_candidates_are_the_names_tried(self):
        table = spikes._FIELD_CANDIDATES
        assert list(table) == ["x", "y", "t", "p"]
        for i, role in enumerate(table):
            for name in table[role]:
                assert spikes._get_event_fields(rec((name,)))[i] == name
        with pytest.raises(TypeError):
            table["x"] = ("x",)

    def test_plain_arrays_and_errors(self):
        assert spikes._get_event_fields(np.arange(5)) == (None, None, None, None)
        assert spikes._detect_sensor_size(np.arange(5)) == (128, 128)
        with pytest.raises(AttributeError):
            spikes._get_event_fields([1, 2])

    def test_duck_typed_dtype(self):
        class D:
            names = ("ts", "x")
        class E:
            dtype = D()
        assert spikes._get_event_fields(E()) == ("x", None, "ts", None)


class TestSensorSize:
    def test_rules(self):
        ev = rec(("x", "y", "t"), 4)
        ev["x"] = [0, 33, 5, 1]
        ev["y"] = [33, 2, 0, 0]
        assert spikes._detect_sensor_size(ev) == (34, 34)
        audio = rec(("t", "channel"), 3)
        audio["channel"] = [63, 1, 0]
        assert spikes._detect_sensor_size(audio) == (64, 1)
        assert spikes._detect_sensor_size(rec(("x", "y", "t"), 0)) == (128, 128)
        assert spikes._detect_sensor_size(rec(("x", "t"), 0)) == (128, 1)
        assert spikes._detect_sensor_size(rec(("t", "p"), 4)) == (128, 128)
        fl = rec(("x", "y"), 2, "<f8")
        fl["x"] = [33.7, 1]
        fl["y"] = [-5.5, -9]
        assert spikes._detect_sensor_size(fl) == (34, -4)
        neg = rec(("x", "y"), 2, "<i2")
        neg["x"] = [-3, -7]
        assert spikes._detect_sensor_size(neg) == (-2, 1)

    @pytest.mark.parametrize("dtype, y_dtype", [("<u2", "<u2"), (">u2", "<i8"), ("<i1", "u1"), (">i4", ">i4"),
                                                 ("<u8", "?"), (">i8", "<f4"), ("<f4", "<i2"), (">f8", ">f8"),
                                                 ("?", "<u4")])
    def test_every_width_and_order(self, dtype, y_dtype):
        rng = np.random.default_rng(3)
        ev = make_events(rng, 5000, dtypes={"x": dtype, "y": y_dtype}, extra=True, spill=3)
        for view in (ev, ev[::3], ev[::-1]):
            want = (int(view["x"].max()) + 1, int(view["y"].max()) + 1)
            got = spikes._detect_sensor_size(view)
            assert got == want and all(type(v) is int for v in got)

    def test_uint64_extremes(self):
        ev = rec(("x", "y"), 2, "<u8")
        ev["x"] = [2**64 - 1, 0]
        assert spikes._detect_sensor_size(ev) == (2**64, 1)

    def test_field_detection_looked_up_at_call(self, monkeypatch):
        ev = rec(("x", "y", "t"), 2)
        ev["y"] = [4, 9]
        monkeypatch.setattr(spikes, "_get_event_fields", lambda e: ("y", None, "t", None))
        assert spikes._detect_sensor_size(ev) == (10, 1)
        monkeypatch.setattr(spikes, "_get_event_fields", lambda e: ("x", "y"))
        with pytest.raises(ValueError, match="need more than 2 values to unpack"):
            spikes._detect_sensor_size(ev)

    def test_errors_propagate(self):
        class Broken:
            class dtype:
                names = ("x",)
            def __len__(self):
                raise RuntimeError("no length")
        with pytest.raises(RuntimeError, match="no length"):
            spikes._detect_sensor_size(Broken())
        nan = rec(("x",), 2, "<f8")
        nan["x"] = [np.nan, 1]
        with pytest.raises(ValueError):
            spikes._detect_sensor_size(nan)
