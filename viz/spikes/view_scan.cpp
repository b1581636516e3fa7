// viz/spikes/view_scan.cpp: _view_scan, the viewer's opening pass over one chunk of a
// recording (kernels/view_scan.h), its totals kept in a dict the caller owns.
#include "spikes.h"

#include "kernels/view_scan.h"

#include <cstring>
#include <limits>

namespace nivra::spikes {

const char kViewScanDoc[] =
    "Scan one chunk of a recording for the viewer, in one pass.\n\n"
    "Adds the chunk's events to the ON/OFF activity per time step and the ON/OFF\n"
    "totals per pixel, and keeps the time extremes, whether the times are in\n"
    "order and what was left out. Events whose time is NaN or infinite count\n"
    "only as bad_time. Coordinates are taken as they are (float ones truncated\n"
    "to int32, NaN negative); polarity above zero is ON, anything else OFF.\n\n"
    "The state is a dict the caller makes and keeps. It gives:\n"
    "    fields: (x, y, t, p) field names of the chunks (y, p may be None).\n"
    "    step: int > 0: the activity step; an event's step k is the largest k\n"
    "        with origin + k * step <= t (float64 edges for float times).\n"
    "    activity: int64 (2, bins): ON, OFF events per step, column 0 being\n"
    "        step activity_first (an int).\n"
    "    pixels: int64 (2, height, width): ON, OFF events per pixel, the room.\n"
    "    limit: None, or (width, height) of a sensor known beforehand: events\n"
    "        at or past it count as outside.\n"
    "It keeps (start them at 0, True, or None; they are updated): count,\n"
    "bad_time, negative, outside, origin (the first valid time; a whole float\n"
    "time is given as an int), t_min, t_max, last (the last valid time),\n"
    "sorted, step_lo, step_hi (the steps used), x_max, y_max; and stop: None,\n"
    "'pixels' (need: the (width, height) room wanted, within the limit) or\n"
    "'activity' (need: the (lowest, highest) steps wanted).\n\n"
    "Args:\n"
    "    events: a 1-D NumPy record array with the named fields.\n"
    "    state: the scan state.\n\n"
    "Returns:\n"
    "    (taken, lo, hi): the number of events taken from the first (all, or\n"
    "    fewer when it stopped: call again with the rest after making room),\n"
    "    and the extremes of their valid times, or None.\n\n"
    "Raises:\n"
    "    TypeError, KeyError or ValueError for a state or events not of this kind.";

namespace {

const Name kStepKey("step"), kActivity("activity"), kActivityFirst("activity_first"), kPixelsKey("pixels");
const Name kLimit("limit"), kCountKey("count"), kBadTimeKey("bad_time"), kNegativeKey("negative");
const Name kOutsideKey("outside"), kOrigin("origin"), kTMin("t_min"), kTMax("t_max"), kLast("last");
const Name kSorted("sorted"), kStepLo("step_lo"), kStepHi("step_hi"), kXMaxKey("x_max"), kYMaxKey("y_max");
const Name kStopKey("stop"), kNeedKey("need");

PyObject* entry(PyObject* state, const Name& key) {
    PyObject* v = PyDict_GetItemWithError(state, key.get());
    if (!v) {
        throw_if_error();
        raise(PyExc_KeyError, "scan state has no '%s'", key.text());
    }
    return v;  // borrowed
}

void store(PyObject* state, const Name& key, PyObject* value) { check(PyDict_SetItem(state, key.get(), value)); }

void store(PyObject* state, const Name& key, Ref value) { store(state, key, value.get()); }

std::int64_t int_entry(PyObject* state, const Name& key) {
    long long v = 0;
    if (!exact_int64(entry(state, key), &v)) raise(PyExc_TypeError, "state['%s'] must be an int", key.text());
    return v;
}

// An optional int entry: false for None.
bool optional_int(PyObject* state, const Name& key, std::int64_t* out) {
    if (entry(state, key) == Py_None) return false;
    *out = int_entry(state, key);
    return true;
}

// A time: integer times as 128-bit values (within 64 bits, signed or not), others float64.
bool time_entry(PyObject* state, const Name& key, bool is_int, k::Number* out) {
    PyObject* v = entry(state, key);
    if (v == Py_None) return false;
    if (!PyLong_Check(v) && (is_int || !PyFloat_Check(v)))
        raise(PyExc_TypeError, "state['%s'] must be a number", key.text());
    if (PyLong_Check(v)) {
        int overflow = 0;
        const long long s = PyLong_AsLongLongAndOverflow(v, &overflow);
        throw_if_error();
        if (overflow) {
            const unsigned long long u = PyLong_AsUnsignedLongLong(v);
            throw_if_error();
            out->i = u;
        } else {
            out->i = s;
        }
        out->f = static_cast<double>(out->i);
    } else {
        out->f = PyFloat_AsDouble(v);
    }
    return true;
}

Ref time_value(const k::Number& n, bool is_int) {
    if (!is_int) return real(n.f);
    if (n.i >= std::numeric_limits<long long>::min() && n.i <= std::numeric_limits<long long>::max())
        return integer(static_cast<long long>(n.i));
    return new_ref(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(n.i)));
}

Ref optional(bool have, Ref value) { return have ? std::move(value) : none(); }

// A writable, row-major int64 array of the given rank; its shape into dims.
std::int64_t* int64_array(PyObject* state, const Name& key, int rank, BufferView& view, Py_ssize_t* dims) {
    PyObject* arr = entry(state, key);
    if (!g_ndarray || Py_TYPE(arr) != reinterpret_cast<PyTypeObject*>(g_ndarray) ||
        !view.acquire(arr, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS))
        raise(PyExc_TypeError, "state['%s'] must be a writable, row-major NumPy array", key.text());
    const Py_buffer& v = view.view();
    const char* f = v.format;
    const bool int64 = f && v.itemsize == 8 && (std::strcmp(f, "q") == 0 || (sizeof(long) == 8 && std::strcmp(f, "l") == 0));
    if (!int64 || v.ndim != rank || v.shape[0] != 2)
        raise(PyExc_ValueError, "state['%s'] must be an int64 array of %d dimensions, the first 2", key.text(), rank);
    for (int d = 0; d < rank; ++d) dims[d] = v.shape[d];
    return static_cast<std::int64_t*>(v.buf);
}

}  // namespace

Ref view_scan(Call& c) {
    PyObject* events = c[0];
    PyObject* state = c[1];

    RecordArray rec;
    k::ScanSpec spec;
    open_state_columns(events, entry(state, kFields), rec, &spec.cols);
    const bool is_int = is_int_field(spec.cols.t);
    spec.int_time = is_int;

    spec.step = int_entry(state, kStepKey);
    if (spec.step < 1 || spec.step > (std::int64_t{1} << 62)) raise(PyExc_ValueError, "state['step'] must be 1 to 2**62");
    BufferView activity_view, pixels_view;
    Py_ssize_t dims[3] = {0, 0, 0};
    spec.activity = int64_array(state, kActivity, 2, activity_view, dims);
    spec.bins = dims[1];
    spec.first = int_entry(state, kActivityFirst);
    if (spec.first < -(std::int64_t{1} << 62) || spec.first > (std::int64_t{1} << 62))
        raise(PyExc_ValueError, "state['activity_first'] is out of range");
    spec.pixels = int64_array(state, kPixelsKey, 3, pixels_view, dims);
    spec.height = dims[1];
    spec.width = dims[2];
    PyObject* limit = entry(state, kLimit);
    if (limit != Py_None) {
        long long w = 0, h = 0;
        size_pair(limit, std::numeric_limits<long long>::max(), "state['limit'] must be two ints of at least 0", &w,
                  &h);
        spec.limited = true;
        spec.limit_width = w;
        spec.limit_height = h;
    }

    k::ScanTotals tot;
    tot.count = static_cast<std::uint64_t>(int_entry(state, kCountKey));
    tot.bad_time = static_cast<std::uint64_t>(int_entry(state, kBadTimeKey));
    tot.negative = static_cast<std::uint64_t>(int_entry(state, kNegativeKey));
    tot.outside = static_cast<std::uint64_t>(int_entry(state, kOutsideKey));
    PyObject* origin = entry(state, kOrigin);
    tot.any_origin = time_entry(state, kOrigin, is_int, &tot.origin);
    tot.origin_whole = tot.any_origin && PyLong_Check(origin);
    tot.any_time = time_entry(state, kTMin, is_int, &tot.t_lo);
    if (tot.any_time && !(time_entry(state, kTMax, is_int, &tot.t_hi) && time_entry(state, kLast, is_int, &tot.last)))
        raise(PyExc_ValueError, "state['t_max'] and state['last'] must be set with state['t_min']");
    tot.sorted = truthy(entry(state, kSorted));
    tot.any_step = optional_int(state, kStepLo, &tot.step_lo);
    if (tot.any_step && !optional_int(state, kStepHi, &tot.step_hi))
        raise(PyExc_ValueError, "state['step_hi'] must be set with state['step_lo']");
    tot.any_xy = optional_int(state, kXMaxKey, &tot.x_max);
    if (tot.any_xy && !optional_int(state, kYMaxKey, &tot.y_max))
        raise(PyExc_ValueError, "state['y_max'] must be set with state['x_max']");

    const std::size_t n = static_cast<std::size_t>(rec.size());
    k::ScanChunk chunk;
    k::ScanResult res;
    {
        ReleaseGil nogil(static_cast<Py_ssize_t>(n) >= kReleaseGilEvents);
        res = k::view_scan(spec, tot, chunk, n);
    }

    store(state, kCountKey, new_ref(PyLong_FromUnsignedLongLong(tot.count)));
    store(state, kBadTimeKey, new_ref(PyLong_FromUnsignedLongLong(tot.bad_time)));
    store(state, kNegativeKey, new_ref(PyLong_FromUnsignedLongLong(tot.negative)));
    store(state, kOutsideKey, new_ref(PyLong_FromUnsignedLongLong(tot.outside)));
    store(state, kOrigin, optional(tot.any_origin, time_value(tot.origin, is_int || tot.origin_whole)));
    store(state, kTMin, optional(tot.any_time, time_value(tot.t_lo, is_int)));
    store(state, kTMax, optional(tot.any_time, time_value(tot.t_hi, is_int)));
    store(state, kLast, optional(tot.any_time, time_value(tot.last, is_int)));
    store(state, kSorted, tot.sorted ? Py_True : Py_False);
    store(state, kStepLo, optional(tot.any_step, integer(tot.step_lo)));
    store(state, kStepHi, optional(tot.any_step, integer(tot.step_hi)));
    store(state, kXMaxKey, optional(tot.any_xy, integer(tot.x_max)));
    store(state, kYMaxKey, optional(tot.any_xy, integer(tot.y_max)));
    if (res.stop == k::ScanStop::Done) {
        store(state, kStopKey, Py_None);
    } else {
        Ref a = integer(res.need_a), b = integer(res.need_b);
        store(state, kNeedKey, tuple_of({a.get(), b.get()}));
        store(state, kStopKey, str(res.stop == k::ScanStop::Pixels ? "pixels" : "activity"));
    }
    Ref taken = integer(static_cast<long long>(res.consumed));
    Ref lo = optional(chunk.any, time_value(chunk.lo, is_int));
    Ref hi = optional(chunk.any, time_value(chunk.hi, is_int));
    return tuple_of({taken.get(), lo.get(), hi.get()});
}

}  // namespace nivra::spikes
