"""Runs one module's table of hostile calls and prints one JSON line per call.

    python tests/hostile_driver.py <module>

Run in a child process by test_hostile_inputs.py, so that a crash kills only the child (the
last "start" line names the call) and a hang is cut short by faulthandler. Every argument of
every public function receives every hostile value in turn, the other arguments keeping a
good value. Each call must end in a result or an exception; arrays passed in must come back
unchanged.
"""
import faulthandler
import inspect
import json
import math
import os
import sys
import tempfile
import types

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sweep_support as s  # noqa: E402

CALL_TIMEOUT = float(os.environ.get("NIVRA_HOSTILE_CALL_TIMEOUT", "60"))
WORKDIR = tempfile.mkdtemp(prefix="nivra-hostile-")


def memmap(dtype, values):
    path = os.path.join(WORKDIR, f"mm{len(os.listdir(WORKDIR))}.bin")
    m = np.memmap(path, dtype=dtype, mode="w+", shape=len(values))
    m[:] = values
    m.flush()
    return np.memmap(path, dtype=dtype, mode="r", shape=len(values))


def readonly(a):
    a = a.copy()
    a.flags.writeable = False
    return a


def ev(n=30, dtype=s.EVENT_DTYPE, **override):
    base = s.events(n, width=8, height=6)
    out = np.zeros(n, dtype)
    for name in out.dtype.names or ():
        if name in override:
            out[name] = override[name]
        elif name in base.dtype.names:
            column = base[name].reshape((n,) + (1,) * (out[name].ndim - 1))  # sub-array fields
            out[name] = np.broadcast_to(column, out[name].shape)
    return out


PACKED = np.dtype({"names": ["p", "t", "x", "y"], "formats": ["i1", "<i8", "<u2", "<u2"],
                   "offsets": [0, 1, 9, 11], "itemsize": 13})
PADDED = np.dtype({"names": ["x", "y", "t", "p"], "formats": ["<u2", "<u2", "<i8", "i1"],
                   "offsets": [0, 8, 16, 40], "itemsize": 48})
BIG_ENDIAN = np.dtype([("x", ">u2"), ("y", ">u2"), ("t", ">i8"), ("p", "i1")])
FLOATS = np.dtype([("x", "<f8"), ("y", "<f4"), ("t", "<f8"), ("p", "<f4")])
SIGNED = np.dtype([("x", "<i8"), ("y", "<i2"), ("t", "<u8"), ("p", "?")])
OBJECTS = np.dtype([("x", "O"), ("y", "O"), ("t", "O"), ("p", "O")])
SUBARRAY = np.dtype([("x", "<u2", (2,)), ("y", "<u2"), ("t", "<i8"), ("p", "i1")])
AUDIO = np.dtype([("t", "<i8"), ("channel", "<u2"), ("p", "i1")])
ALIASES = np.dtype([("address", "<u4"), ("row", "<u2"), ("timestamp", "<f8"), ("polarity", "<i4")])
STRINGS = np.dtype([("x", "U3"), ("y", "U3"), ("t", "U3"), ("p", "U3")])

# name -> factory of a fresh hostile value
VALUES = {
    "None": lambda: None,
    "True": lambda: True,
    "zero": lambda: 0,
    "minus_one": lambda: -1,
    "int_2_63": lambda: 2 ** 63,
    "int_neg_huge": lambda: -(2 ** 200),
    "int_huge": lambda: 10 ** 400,
    "float": lambda: 2.5,
    "nan": lambda: math.nan,
    "inf": lambda: math.inf,
    "neg_inf": lambda: -math.inf,
    "complex": lambda: 1 + 2j,
    "empty_str": lambda: "",
    "str": lambda: "x<&'\"$",
    "bytes": lambda: b"\xff\xfe",
    "bytearray": lambda: bytearray(b"ab"),
    "str_sub": lambda: s.StrSub("spikes.html"),
    "int_sub": lambda: s.IntSub(3),
    "dict_sub": lambda: s.DictSub(a=1),
    "tuple_sub": lambda: s.TupleSub((8, 6)),
    "empty_tuple": lambda: (),
    "tuple3": lambda: (8, 6, 2),
    "tuple_neg": lambda: (-4, -3),
    "tuple_zero": lambda: (0, 0),
    "tuple_huge": lambda: (2 ** 62, 2 ** 62),
    "tuple_float": lambda: (8.5, 6.5),
    "tuple_nan": lambda: (math.nan, 1),
    "tuple_str": lambda: ("8", "6"),
    "list": lambda: [8, 6],
    "empty_dict": lambda: {},
    "dict": lambda: {"data": "", "dtype": "f8", "shape": [0], "nodes": [], "x": np.zeros(2)},
    "object": lambda: object(),
    "bad_attr": lambda: s.BadAttr(),
    "bad_len": lambda: s.BadLen([1, 2]),
    "bad_iter": lambda: s.BadIter([1, 2]),
    "bad_items": lambda: s.BadItems(a=1),
    "bad_number": lambda: s.BadNumber(),
    "bad_bool": lambda: s.BadBool(),
    "bad_array": lambda: s.BadArray(),
    "bad_array_interface": lambda: s.BadArrayInterface(),
    "failing_iterable": lambda: s.FailingIterable(),
    "self_list": s.self_list,
    "self_dict": s.self_dict,
    "self_tuple_in_list": s.self_tuple_in_list,
    "np_int": lambda: np.int64(7),
    "np_float_nan": lambda: np.float32("nan"),
    "np_bool": lambda: np.bool_(True),
    "arr_0d": lambda: np.array(3.0),
    "arr_empty": lambda: np.zeros(0),
    "arr_object": lambda: np.array([1, "a", None], dtype=object),
    "arr_readonly": lambda: readonly(np.arange(12.0).reshape(3, 4)),
    "arr_big_endian": lambda: np.arange(6, dtype=">f8"),
    "arr_fortran": lambda: np.asfortranarray(np.arange(24.0).reshape(2, 3, 4)),
    "arr_strided": lambda: np.arange(40, dtype=np.int16)[::3],
    "arr_memmap": lambda: memmap("<f4", np.arange(10)),
    "arr_nan_inf": lambda: np.array([np.nan, np.inf, -np.inf, 1.0]),
    "arr_int_extremes": lambda: np.array([np.iinfo(np.int64).min, np.iinfo(np.int64).max]),
    "arr_uint8_img": lambda: np.full((4, 5, 3), 200, np.uint8),
    "arr_float_img": lambda: np.linspace(-1, 2, 60).reshape(4, 5, 3),
    "arr_frames3": lambda: np.arange(2 * 4 * 5, dtype=np.float32).reshape(2, 4, 5),
    "arr_frames4": lambda: np.arange(2 * 3 * 4 * 5, dtype=np.float32).reshape(2, 3, 4, 5),
    "arr_frames_0ch": lambda: np.zeros((2, 0, 4, 5)),
    "arr_5d": lambda: np.zeros((1, 1, 1, 1, 1)),
    "arr_bool": lambda: np.array([True, False]),
    "arr_complex": lambda: np.array([1 + 1j]),
    "arr_str": lambda: np.array(["a", "bc"]),
    "ev": lambda: ev(),
    "ev_empty": lambda: ev(0),
    "ev_0d": lambda: np.zeros((), s.EVENT_DTYPE),
    "ev_2d": lambda: ev(12).reshape(3, 4),
    "ev_readonly": lambda: readonly(ev()),
    "ev_memmap": lambda: memmap(s.EVENT_DTYPE, ev()),
    "ev_strided": lambda: ev(40)[::3],
    "ev_reversed": lambda: ev()[::-1],
    "ev_recarray": lambda: ev().view(np.recarray),
    "ev_packed": lambda: ev(dtype=PACKED),
    "ev_padded": lambda: ev(dtype=PADDED),
    "ev_big_endian": lambda: ev(dtype=BIG_ENDIAN),
    "ev_floats_nan": lambda: ev(5, dtype=FLOATS, x=[0, np.nan, 3.7, np.inf, -1], t=[0, 1, np.nan, 3, np.inf]),
    "ev_signed_negative": lambda: ev(6, dtype=SIGNED, x=[-1, -5, 3, 2, -(2 ** 40), 1]),
    "ev_huge_x": lambda: ev(3, dtype=SIGNED, x=[0, 2 ** 62, 1], y=[0, 0, 1]),
    "ev_huge_t": lambda: ev(4, t=[-(2 ** 63), 2 ** 63 - 1, 0, 5]),
    "ev_uint_t": lambda: ev(4, dtype=SIGNED, t=[0, 2 ** 64 - 1, 2 ** 63, 1]),
    "ev_same_time": lambda: ev(5, t=[7] * 5),
    "ev_objects": lambda: ev(4, dtype=OBJECTS, x=[1, 2, "a", None], t=[1, 2, 3, 4]),
    "ev_strings": lambda: ev(3, dtype=STRINGS, x=["1", "2", "x"], t=["1", "2", "3"]),
    "ev_subarray": lambda: ev(4, dtype=SUBARRAY),
    "ev_audio": lambda: ev(20, dtype=AUDIO, channel=np.arange(20) % 7),
    "ev_aliases": lambda: ev(10, dtype=ALIASES, address=np.arange(10), row=np.arange(10) % 3,
                             timestamp=np.linspace(0, 1, 10)),
    "ev_only_x": lambda: np.zeros(5, [("x", "<u2")]),
    "ev_only_t": lambda: np.zeros(5, [("t", "<i8")]),
    "ev_no_p": lambda: ev(8, dtype=np.dtype([("x", "<u2"), ("y", "<u2"), ("t", "<i8")])),
    "ev_bool_p": lambda: ev(8, dtype=np.dtype([("x", "<u2"), ("y", "<u2"), ("t", "<i8"), ("p", "?")])),
    "ev_plain_array": lambda: np.arange(10),
}


# Binding abuse: name -> (good args -> (args, kwargs)).
BINDING = {
    "no_args": lambda good: ([], {}),
    "too_many": lambda good: ([*good, 1, 2, 3, 4, 5, 6, 7, 8, 9], {}),
    "unknown_keyword": lambda good: (good, {"no_such_parameter": 1}),
    "long_keyword": lambda good: (good, {"k" * 100_000: 1}),
    "odd_keyword": lambda good: (good, {"\udcff\x00é": 1}),
}
SIGNATURE_BINDING = ("twice", "all_keywords")  # need the parameter names


class StubBrowser(types.ModuleType):
    def __init__(self):
        super().__init__("webbrowser")
        self.opened = []

    def open(self, url, *args, **kwargs):
        self.opened.append(url)
        return True


def good_rows(name):
    """(function name, good positional arguments) for each public function of a module."""
    if name == "encode":
        return [("encode_array", [np.arange(6.0)]), ("encode_value", [{"a": [1, np.int8(2)]}]),
                ("decode_array", [{"data": "AAAAAAAA8D8=", "dtype": "f8", "shape": [1]}]),
                ("format_shape", [(1, 2)]), ("format_size", [2048])]
    if name == "serialize":
        g = s.small_graph()
        return [("serialize_node", ["fc", g.nodes["fc"]]), ("compute_summary", [g]),
                ("serialize_pattern", [s.PATTERNS[0]]), ("graph_to_dict", [g, False])]
    if name == "render":
        return [("load_template", ["viewer.html"]), ("render_html", [{"a": "<b>"}, "t", 10, 20]),
                ("_escape_html", ["<&>"])]
    if name == "compiled":
        from nivra.viz import samples
        g = samples.sample_partitioned_model()
        return [("_node_type_color", [next(iter(g.nodes.values()))]),
                ("visualize_partitioned", [g, "part.html", "t"]), ("_partition_document", [g]),
                ("visualize_execution_schedule", [g, "sched.html", "t", None])]
    if name == "spikes":
        e = ev()
        return [("_get_event_fields", [e]), ("_detect_sensor_size", [e]),
                ("_events_to_frames_numpy", [e, (8, 6), 3, False]),
                ("_events_to_frames_tonic", [e, (8, 6), 3]),
                ("events_to_frames", [e, (8, 6), 3, False, None]),
                ("events_to_grid", [e, (8, 6), 2]), ("events_to_raster", [e, 20, 4]),
                ("_encode_image_base64", [np.zeros((4, 5, 3), np.uint8)]),
                ("_load_template", ["spikes.html"]), ("_html_escape", ["<&>"]),
                ("_render_spike_html", [{"a": 1}, "t"]),
                ("serialize_events", [e, (8, 6), 2, 2, 5, 30]),
                ("plot_events", [e, (8, 6), "t"]), ("export_events_html", [e, "out.html", (8, 6), "t"]),
                ("plot_frames", [np.zeros((2, 2, 4, 5), np.float32), "t"])]
    raise SystemExit(f"unknown module {name}")


def emit(**record):
    sys.stdout.write(json.dumps(record) + "\n")
    sys.stdout.flush()


def snapshot(value):
    if isinstance(value, np.ndarray) and not value.dtype.hasobject:
        raw = bytes(np.ascontiguousarray(value).view(np.uint8))
        return value.shape, value.dtype.str, value.flags.writeable, raw
    return None


def main():
    name = sys.argv[1]
    mod = s.module(name)
    if mod is None:
        emit(skip=f"nivra.viz.{name} does not import")
        return
    if hasattr(mod, "webbrowser"):
        mod.webbrowser = StubBrowser()
    render = s.module("render")
    if render is not None and not (render.TEMPLATES_DIR / "viewer.html").exists():
        # viewer.html not installed on this branch: a stand-in with every placeholder
        with open(os.path.join(WORKDIR, "viewer.html"), "w", encoding="utf-8") as f:
            f.write("<title>{{TITLE}}</title><script>const D = {{DATA_JSON}};</script>{{WIDTH}}x{{HEIGHT}}")
        render.TEMPLATES_DIR = type(render.TEMPLATES_DIR)(WORKDIR)
    os.chdir(WORKDIR)
    faulthandler.enable()
    rows = good_rows(name)
    for fn_name, good in rows:
        fn = getattr(mod, fn_name)
        calls = [("good", None, None)] + [(v, i, VALUES[v]) for i in range(len(good)) for v in VALUES]
        calls += [(name, None, None) for name in (*BINDING, *SIGNATURE_BINDING)]
        names = list(inspect.signature(fn).parameters)
        for value_name, position, make in calls:
            args = list(good)
            kwargs = {}
            if position is not None:
                args[position] = make()
            elif value_name in BINDING:
                args, kwargs = BINDING[value_name](good)
            elif value_name == "twice":
                kwargs = {names[0]: good[0]}
            elif value_name == "all_keywords":
                args, kwargs = [], dict(zip(names, good))
            before = [snapshot(a) for a in args]
            emit(start=fn_name, position=position, value=value_name)
            faulthandler.dump_traceback_later(CALL_TIMEOUT, exit=True)
            try:
                fn(*args, **kwargs)
                outcome = "ok"
            except BaseException as e:  # noqa: BLE001 - every outcome is reported
                outcome = f"exc:{type(e).__name__}:{str(e)[:160]}"
                if not isinstance(e, Exception):
                    raise
            finally:
                faulthandler.cancel_dump_traceback_later()
            changed = [i for i, (a, b) in enumerate(zip(args, before)) if b is not None and snapshot(a) != b]
            emit(done=fn_name, position=position, value=value_name, outcome=outcome, changed=changed)
    emit(finished=name)


if __name__ == "__main__":
    main()
