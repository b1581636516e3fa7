"""Encoded arrays and JSON-ready values."""
import base64
import collections
import math

import numpy as np
import pytest

from nivra.viz import encode

NUMERIC = ["bool", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64",
           "float16", "float32", "float64"]


def reference_record(a):
    """The encoded array by the plain NumPy and base64 steps."""
    a = np.ascontiguousarray(a)
    stats = dict(min=0.0, max=0.0, mean=0.0, std=0.0)
    if a.size > 0:
        stats = dict(min=float(np.min(a)), max=float(np.max(a)), mean=float(np.mean(a)),
                     std=float(np.std(a)))
    return dict(shape=list(a.shape), dtype=str(a.dtype),
                data=base64.b64encode(a.tobytes()).decode("ascii"), stats=stats, size=int(a.size))


def same(r1, r2):
    """Records equal, NaN statistics included."""
    s1, s2 = r1.pop("stats"), r2.pop("stats")
    ok = r1 == r2 and list(s1) == list(s2) and all(
        (math.isnan(s1[k]) and math.isnan(s2[k])) or s1[k] == s2[k] for k in s1)
    r1["stats"], r2["stats"] = s1, s2
    return ok


class TestEncodeArray:
    def test_record_layout(self):
        rec = encode.encode_array(np.arange(6, dtype=np.float32).reshape(2, 3))
        assert list(rec) == ["shape", "dtype", "data", "stats", "size"]
        assert list(rec["stats"]) == ["min", "max", "mean", "std"]
        assert rec["shape"] == [2, 3] and rec["size"] == 6 and rec["dtype"] == "float32"
        assert len(base64.b64decode(rec["data"])) == 24
        assert all(type(v) is float for v in rec["stats"].values())

    @pytest.mark.parametrize("n", list(range(0, 70)) + [95, 96, 97, 1000, 4099])
    def test_base64_matches_standard_for_every_length(self, n):
        # covers the vector kernels, their hand-over to the scalar loop and the padding
        data = np.random.default_rng(n).integers(0, 256, n, dtype=np.uint8)
        assert encode.encode_array(data)["data"] == base64.b64encode(data.tobytes()).decode()

    @pytest.mark.parametrize("dtype", NUMERIC + [">f4", ">i8", "<u2", "complex64"])
    @pytest.mark.parametrize("order", ["C", "F", "sliced"])
    def test_matches_reference_steps(self, dtype, order):
        rng = np.random.default_rng(7)
        a = (rng.standard_normal((5, 7)) * 50).astype(dtype) if dtype != "complex64" else \
            (rng.standard_normal((5, 7)) + 1j).astype(dtype)
        a = {"C": a, "F": np.asfortranarray(a), "sliced": a[::2, 1::3]}[order]
        if dtype == "complex64":
            with pytest.warns(np.exceptions.ComplexWarning):  # the statistics drop the imaginary part
                rec = encode.encode_array(a)
            assert rec["data"] == base64.b64encode(np.ascontiguousarray(a).tobytes()).decode()
            return
        assert same(encode.encode_array(a), reference_record(a))

    def test_big_endian_dtype_text(self):
        assert encode.encode_array(np.zeros(2, ">f4"))["dtype"] == ">f4"

    @pytest.mark.parametrize("shape", [(0,), (0, 3)])
    def test_empty(self, shape):
        rec = encode.encode_array(np.zeros(shape, np.float32))
        assert rec["data"] == "" and rec["size"] == 0 and rec["shape"] == list(shape)
        assert rec["stats"] == dict(min=0.0, max=0.0, mean=0.0, std=0.0)

    def test_bool_and_nan_statistics(self):
        s = encode.encode_array(np.array([True, False, True]))["stats"]
        assert (s["min"], s["max"]) == (0.0, 1.0) and s["mean"] == pytest.approx(2 / 3)
        s = encode.encode_array(np.array([1.0, np.nan]))["stats"]
        assert all(math.isnan(v) for v in s.values())

    def test_lists_scalars_and_arrays_without_a_buffer(self):
        assert encode.encode_array([[1, 2], [3, 4]])["shape"] == [2, 2]
        assert encode.encode_array(3.5)["shape"] == [1]  # ascontiguousarray gives ndim >= 1
        t = np.array(["2020-01-01", "2021-01-01"], dtype="datetime64[D]")
        with pytest.raises(TypeError):  # reductions work, float() of a datetime does not
            encode.encode_array(t)

    def test_failures_propagate(self):
        with pytest.raises((TypeError, ValueError)):
            encode.encode_array(np.array(["a", "b"]))
        with pytest.raises((TypeError, ValueError)):
            encode.encode_array(np.zeros(2, dtype=[("a", "i4")]))

    def test_uses_the_module_numpy_at_call_time(self, monkeypatch):
        class Spy:
            def __getattr__(self, name):
                calls.append(name)
                return getattr(np, name)
        calls = []
        monkeypatch.setattr(encode, "np", Spy())
        encode.encode_array(np.ones(3))
        assert calls == ["ascontiguousarray", "min", "max", "mean", "std"]


class TestDecodeArray:
    @pytest.mark.parametrize("dtype", NUMERIC + [">f8", ">i4"])
    @pytest.mark.parametrize("shape", [(0,), (1,), (3, 4), (2, 3, 5)])
    @pytest.mark.filterwarnings("ignore:overflow encountered:RuntimeWarning")  # float16 statistics
    def test_round_trip_bit_exact(self, dtype, shape):
        a = np.random.default_rng(1).integers(0, 200, shape).astype(dtype)
        a = np.asfortranarray(a)
        out = encode.decode_array(encode.encode_array(a))
        assert out.dtype == a.dtype and out.shape == a.shape
        assert out.tobytes() == np.ascontiguousarray(a).tobytes()
        assert not out.flags.writeable

    def test_missing_keys_in_reading_order(self):
        with pytest.raises(KeyError, match="data"):
            encode.decode_array({"dtype": "f4", "shape": [0]})
        with pytest.raises(KeyError, match="dtype"):
            encode.decode_array({"data": "", "shape": [0]})
        with pytest.raises(KeyError, match="shape"):
            encode.decode_array({"data": "", "dtype": "f4"})

    def test_bad_payloads(self):
        import binascii
        with pytest.raises(binascii.Error):
            encode.decode_array({"data": "AAA", "dtype": "u1", "shape": [2]})
        with pytest.raises(ValueError):
            encode.decode_array({"data": "AAAA", "dtype": "f4", "shape": [1]})
        with pytest.raises(TypeError):
            encode.decode_array({"data": "AAAA", "dtype": "no-such-type", "shape": [3]})


class TestEncodeValue:
    def test_scalars_and_containers(self):
        out = encode.encode_value((np.int64(3), np.float32(1.5), np.bool_(True)))
        assert out == [3, 1.5, True]
        assert [type(v) for v in out] == [int, float, bool]

    def test_nested_arrays_keep_keys_and_order(self):
        arr = np.arange(3)
        value = {"z": 1, "a": [arr, {"k": (np.uint8(7),)}]}
        out = encode.encode_value(value)
        assert list(out) == ["z", "a"]
        assert out["a"][0]["data"] == encode.encode_array(arr)["data"]
        assert out["a"][1] == {"k": [7]}

    def test_bytes_decode_with_replacement(self):
        assert encode.encode_value(b"fo\xff") == "fo\ufffd"

    def test_bytes_subclass_decodes_itself(self):
        class B(bytes):
            def decode(self, *args, **kwargs):
                return ("own", args, kwargs)
        assert encode.encode_value([B(b"x")]) == [("own", ("utf-8",), {"errors": "replace"})]

    @pytest.mark.parametrize("value", [None, "text", 1, 2.5, True, 1j, {1, 2}, bytearray(b"x"),
                                       np.complex64(1), np.str_("s"), object()])
    def test_everything_else_is_returned_as_is(self, value):
        assert encode.encode_value(value) is value

    def test_subclasses_of_containers(self):
        class D(collections.OrderedDict):
            pass
        class L(list):
            def __iter__(self):
                return iter([np.int16(5)])
        assert encode.encode_value(D(a=np.int8(1))) == {"a": 1}
        assert type(encode.encode_value(D())) is dict
        assert encode.encode_value(L([1, 2])) == [5]

    def test_errors_from_user_containers_propagate(self):
        class BadItems(dict):
            def items(self):
                raise LookupError("items failed")
        with pytest.raises(LookupError, match="items failed"):
            encode.encode_value(BadItems(a=1))

    @pytest.mark.parametrize("make", [
        lambda: (lambda l: (l.append(l), l)[1])([]),
        lambda: (lambda d: (d.__setitem__("me", d), d)[1])({}),
    ])
    def test_self_containing_containers_raise_recursion_error(self, make):
        with pytest.raises(RecursionError):
            encode.encode_value(make())

    def test_reaches_functions_through_module_names(self, monkeypatch):
        monkeypatch.setattr(encode, "encode_array", lambda a: "ARRAY")
        assert encode.encode_value([np.zeros(2)]) == ["ARRAY"]
        original = encode.encode_value
        monkeypatch.setattr(encode, "encode_value", lambda v: "NESTED")
        assert original([1, {"a": 2}]) == ["NESTED", "NESTED"]
