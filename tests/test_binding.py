"""Argument binding shared by every module function: counts, keywords, typed conversions, notes."""
import collections
import ctypes
import decimal
import inspect
import pickle
import traceback

import numpy as np
import pytest

from nivra.viz import encode


def _module(name):
    return pytest.importorskip(f"nivra.viz.{name}")


def message(fn, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    return str(info.value)


class TestCounts:
    def test_exactly(self):
        assert message(encode.format_size, 1, 2) == \
            "format_size() takes exactly 1 positional argument (2 given)"
        assert message(encode.format_size) == \
            "format_size() takes exactly 1 positional argument (0 given)"

    def test_at_least_and_at_most(self):
        render = _module("render")
        assert message(render.render_html) == \
            "render_html() takes at least 1 positional argument (0 given)"
        assert message(render.render_html, {}, "t", 1, 2, 3) == \
            "render_html() takes at most 4 positional arguments (5 given)"

    def test_missing_required_after_keywords_counts_its_position(self):
        serialize = _module("serialize")
        # The count given is the position of the first required parameter missing.
        assert message(serialize.serialize_node, name="a") == \
            "serialize_node() takes exactly 2 positional arguments (1 given)"
        assert message(serialize.serialize_node, node=1) == \
            "serialize_node() takes exactly 2 positional arguments (0 given)"

    def test_plural_only_when_count_is_not_one(self):
        spikes = _module("spikes")
        assert message(spikes._events_to_frames_numpy) == \
            "_events_to_frames_numpy() takes exactly 4 positional arguments (0 given)"


class TestKeywords:
    def test_multiple_values(self):
        assert message(encode.format_size, 1, size=2) == \
            "format_size() got multiple values for keyword argument 'size'"

    def test_unexpected(self):
        assert message(encode.encode_array, [1], bogus=1) == \
            "encode_array() got an unexpected keyword argument 'bogus'"

    def test_names_built_at_run_time_match(self):
        name = "".join(["si", "ze"])  # not interned
        assert encode.format_size(**{name: 2048}) == "2.0 KB"

    def test_non_string_keyword_names(self):
        vectorcall = ctypes.pythonapi.PyObject_Vectorcall
        vectorcall.restype = ctypes.py_object
        vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
        args = (ctypes.py_object * 2)(5, 6)  # size=5 positionally, then a keyword named 1
        with pytest.raises(TypeError, match=r"^format_size\(\) keywords must be strings$"):
            vectorcall(encode.format_size, args, 1, (1,))

    def test_kwargs_are_collected(self):
        spikes = _module("spikes")
        assert "kwargs" in inspect.signature(spikes.plot_events).parameters


class TestTypedParameters:
    @pytest.mark.parametrize("value, text", [
        (1536.9, "1.5 KB"), (True, "1 B"), (np.int64(2048), "2.0 KB"),
        (np.float32(1024.5), "1.0 KB"), (decimal.Decimal("1024.7"), "1.0 KB"),
    ])
    def test_int_converts_numbers(self, value, text):
        assert encode.format_size(value) == text

    @pytest.mark.parametrize("value, tname", [("1024", "str"), (None, "NoneType"), ([1], "list")])
    def test_int_refuses_non_numbers(self, value, tname):
        assert message(encode.format_size, value) == \
            f"Argument 'size' has incorrect type (expected int, got {tname})"

    def test_int_conversion_errors_propagate(self):
        with pytest.raises(TypeError, match="complex"):
            encode.format_size(1 + 2j)
        with pytest.raises(ValueError):
            encode.format_size(float("nan"))

    def test_exact_dict_with_note_for_subclasses(self):
        with pytest.raises(TypeError) as info:
            encode.decode_array(collections.OrderedDict())
        assert str(info.value) == \
            "Argument 'encoded' has incorrect type (expected dict, got collections.OrderedDict)"
        assert len(info.value.__notes__) == 1 and "ubclass" in info.value.__notes__[0]

    def test_no_note_for_unrelated_types_and_bare_class_names(self):
        class Mapping:
            pass
        with pytest.raises(TypeError) as info:
            encode.decode_array(Mapping())
        assert str(info.value).endswith("got Mapping)")
        assert not getattr(info.value, "__notes__", None)

    def test_conversions_run_before_exact_type_tests(self):
        render = _module("render")
        assert message(render.render_html, None, width="800") == \
            "Argument 'width' has incorrect type (expected int, got str)"
        assert message(render.render_html, {}, title=None) == \
            "Argument 'title' has incorrect type (expected str, got NoneType)"

    def test_optional_bool_accepts_only_bools_and_none(self):
        spikes = _module("spikes")
        events = np.zeros(0, dtype=[("x", "u2"), ("y", "u2"), ("t", "i8"), ("p", "i1")])
        assert message(spikes.events_to_frames, events, use_tonic=1) == \
            "Argument 'use_tonic' has incorrect type (expected bool, got int)"


class TestFunctionAttributes:
    def test_names_module_doc(self):
        f = encode.decode_array
        assert f.__name__ == f.__qualname__ == "decode_array"
        assert f.__module__ == "nivra.viz.encode"
        first, blank, *rest = f.__doc__.split("\n")
        assert first == "decode_array(dict encoded: Dict[str, Any]) -> np.ndarray"
        assert blank == "" and rest

    def test_defaults_and_annotations_follow_the_signature_line(self):
        assert encode.format_size.__defaults__ is None
        assert list(encode.format_size.__annotations__.items()) == [("size", "int"), ("return", "str")]
        render = _module("render")
        assert render.render_html.__defaults__ == ("nivra.viz", 1200, 800)
        assert list(render.render_html.__annotations__) == ["data", "title", "width", "height", "return"]

    def test_inspect_signature(self):
        sig = inspect.signature(encode.format_shape)
        assert list(sig.parameters) == ["shape"]
        assert sig.return_annotation == "str"

    def test_pickles_by_reference(self):
        assert pickle.loads(pickle.dumps(encode.encode_value)) is encode.encode_value

    def test_traceback_names_module_function_and_source(self):
        with pytest.raises(KeyError) as info:
            encode.decode_array({})
        last = traceback.extract_tb(info.value.__traceback__)[-1]
        assert last.name == "nivra.viz.encode.decode_array"
        assert last.filename == "viz/encode.cpp"
