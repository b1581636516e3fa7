// viz/spikes/accumulate.cpp: _accumulate_events, a recording's page counts added chunk by
// chunk in one pass each (kernels/accumulate.h), with its state kept in a dict the
// caller owns between chunks.
#include "spikes.h"

#include "kernels/accumulate.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace nivra::spikes {

const char kAccumulateEventsDoc[] =
    "Add one chunk of a recording into the counts of its page, in one pass.\n\n"
    "A recording read chunk by chunk is accumulated into the same state: the\n"
    "counts then equal binning the selected events whole as serialize_events\n"
    "does without Tonic (time bins over `span`, coordinates cast to int32,\n"
    "float32 counts; neurons numbered y * w + x with w the largest selected x\n"
    "plus 1), except that a coordinate int32 cannot hold is off the sensor and\n"
    "out of the raster instead of wrapping onto it.\n\n"
    "The state is a dict the caller makes and keeps. It gives:\n"
    "    fields: (x, y, t, p) field names of the chunks (y, p may be None).\n"
    "    window: None, or (origin, start, end): events with start <= t - origin\n"
    "        < end are selected (start or end None for open; exact for integer\n"
    "        times, float64 otherwise); the others only count in the totals.\n"
    "    span: None (totals only), or (t_min, t_max) of the selected events,\n"
    "        for their time bins.\n"
    "    sensor: (width, height): events with 0 <= x < width and 0 <= y <\n"
    "        height are drawn; detected: True when the sensor is what the\n"
    "        coordinates reach and (width, height) is only the arrays' room so\n"
    "        far (then the call stops before events past it, see below).\n"
    "    frames, grid: None or float32 (bins, 2, height, width): ON, OFF counts.\n"
    "    grid_of_frame: None, or int32 (frame bins,): set to the grid bin that\n"
    "        holds every event of each frame, or -1; the grid then counts only\n"
    "        the events of frames at -1, and the caller finishes it by adding\n"
    "        each other frame into its grid bin, capped at 2**24 (float32 counts\n"
    "        stop there).\n"
    "    raster: None or float32 (bins, limit), limit < 2**31; pending: int32\n"
    "        (room, 3), at least 2,048 rows, for raster events with x < 0 < y,\n"
    "        whose neuron needs the final width: (bin, y, x) rows, pending_count\n"
    "        of them used.\n"
    "    pixels: None or int64 (2, height, width): ON, OFF events per pixel.\n"
    "    histogram: None or int64 (steps, 2): ON, OFF events per time step of\n"
    "        histogram_step from t_min (the last step takes the rest).\n"
    "    pixel_map (optional key): None or int32 (height, width): -2 leaves the\n"
    "        pixel's events out of every output (counted in masked); 0 to limit\n"
    "        - 1 is its raster column (the raster then takes drawn events by\n"
    "        this column, and needs no pending rows); other values: drawn, not\n"
    "        in the raster.\n"
    "Integer times take ints for origin, t_min, t_max and histogram_step;\n"
    "other times any real number. Drawn events are the only ones in frames,\n"
    "grid, pixels and histogram; the raster takes every selected event (with\n"
    "a pixel_map, the drawn ones).\n\n"
    "It keeps (start them at 0, or None for extremes; they are updated):\n"
    "    count, bad_time (time NaN or infinite), outside_window, outside\n"
    "    (selected, not drawn), negative (of those, with a negative\n"
    "    coordinate), t_lo, t_hi (over every event with a finite time), s_lo,\n"
    "    s_hi, x_max, y_max (over the selected events; NaN coordinates left\n"
    "    out), fractional (a selected float time has a fraction),\n"
    "    pending_count, masked (optional key: events a pixel_map left out);\n"
    "    and stop: None, 'grow' (need: (width, height) the\n"
    "    arrays must be re-laid out to, counts kept in place) or 'room' (the\n"
    "    pending rows are full).\n\n"
    "Args:\n"
    "    events: a 1-D NumPy record array with the named fields.\n"
    "    state: the accumulation state.\n\n"
    "Returns:\n"
    "    The number of events counted, from the first: len(events), or fewer\n"
    "    when it stopped; call again with the rest after making room.\n\n"
    "Raises:\n"
    "    TypeError or ValueError for a state or events not of this kind.";

namespace {

constexpr long long kInt32Limit = std::numeric_limits<std::int32_t>::max();

const Name kGridOfFrame("grid_of_frame");
const Name kFieldsKey("fields"), kWindow("window"), kSpan("span"), kSensor("sensor"), kDetected("detected");
const Name kFramesKey("frames"), kGridKey("grid"), kRasterKey("raster"), kPending("pending"), kPixels("pixels");
const Name kHistogram("histogram"), kHistogramStep("histogram_step"), kCount("count"), kBadTime("bad_time");
const Name kOutsideWindow("outside_window"), kOutside("outside"), kNegative("negative"), kTLo("t_lo");
const Name kTHi("t_hi"), kSLo("s_lo"), kSHi("s_hi"), kXMax("x_max"), kYMax("y_max"), kFractional("fractional");
const Name kPendingCount("pending_count"), kStop("stop"), kNeed("need"), kPixelMap("pixel_map"), kMasked("masked");

PyObject* get(PyObject* state, const Name& key) {
    PyObject* v = PyDict_GetItemWithError(state, key.get());
    if (!v) {
        throw_if_error();
        raise(PyExc_KeyError, "accumulation state has no '%s'", key.text());
    }
    return v;  // borrowed
}

// An optional key: its value (borrowed), or null when absent.
PyObject* find(PyObject* state, const Name& key) {
    PyObject* v = PyDict_GetItemWithError(state, key.get());
    if (!v) throw_if_error();
    return v;
}

std::uint64_t get_count(PyObject* state, const Name& key) {
    PyObject* v = get(state, key);
    if (!PyLong_CheckExact(v)) raise(PyExc_TypeError, "state['%s'] must be an int", key.text());
    const unsigned long long n = PyLong_AsUnsignedLongLong(v);
    throw_if_error();
    return n;
}

// A Python int as a 128-bit value: anything past 2^100 saturates (bounds only).
__int128 wide_of(PyObject* v, const char* what) {
    if (!PyLong_Check(v)) raise(PyExc_TypeError, "%s must be an int for integer times", what);
    int overflow = 0;
    const long long s = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (s == -1 && PyErr_Occurred()) throw PythonError{};
    if (!overflow) return s;
    if (overflow < 0) return -(__int128{1} << 100);
    const unsigned long long u = PyLong_AsUnsignedLongLong(v);
    if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return __int128{1} << 100;
    }
    return u;
}

k::Number number_of(PyObject* v, bool is_int, const char* what) {
    k::Number n;
    if (is_int) {
        n.i = wide_of(v, what);
        return n;
    }
    if (!PyLong_Check(v) && !PyFloat_Check(v)) raise(PyExc_TypeError, "%s must be a number", what);
    n.f = PyFloat_AsDouble(v);
    throw_if_error();
    return n;
}

// A window bound: origin + offset exactly for integer times (t - origin >= a real
// offset is t >= origin + ceil(offset), and likewise for < on whole numbers), the
// offset itself for float times.
k::Number window_bound(const k::AccSpec& spec, PyObject* offset, const char* what) {
    k::Number b;
    if (!spec.int_time) return number_of(offset, false, what);
    if (PyLong_Check(offset)) {
        b.i = spec.origin.i + wide_of(offset, what);
        return b;
    }
    if (!PyFloat_Check(offset)) raise(PyExc_TypeError, "%s must be a number", what);
    const double d = std::ceil(PyFloat_AsDouble(offset));
    throw_if_error();
    const double cap = 1e30;  // past any time of 64 bits
    b.i = spec.origin.i + static_cast<__int128>(d > cap ? cap : (d < -cap ? -cap : (d == d ? d : cap)));
    return b;
}

Ref python_number(const k::Number& n, bool is_int) {
    if (!is_int) return real(n.f);
    if (n.i >= std::numeric_limits<long long>::min() && n.i <= std::numeric_limits<long long>::max())
        return integer(static_cast<long long>(n.i));
    return new_ref(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(n.i)));
}

// An extreme kept in the state: None (not yet) or a number.
bool extreme_of(PyObject* state, const Name& key, bool is_int, k::Number* out) {
    PyObject* v = get(state, key);
    if (v == Py_None) return false;
    *out = number_of(v, is_int, key.text());
    return true;
}

void put(PyObject* state, const Name& key, PyObject* value) { check(PyDict_SetItem(state, key.get(), value)); }

void put_count(PyObject* state, const Name& key, std::uint64_t n) {
    Ref v = new_ref(PyLong_FromUnsignedLongLong(n));
    put(state, key, v.get());
}

void put_extreme(PyObject* state, const Name& key, bool have, const k::Number& n, bool is_int) {
    Ref v = have ? python_number(n, is_int) : none();
    put(state, key, v.get());
}

// The buffer formats of an element type: int64 is 'l' or 'q' depending on the platform.
template <class T>
bool format_is(const char* f) {
    if (!f) return false;
    if constexpr (std::is_same_v<T, float>) return std::strcmp(f, "f") == 0;
    else if constexpr (sizeof(T) == 4) return std::strcmp(f, "i") == 0 || (sizeof(long) == 4 && std::strcmp(f, "l") == 0);
    else return (sizeof(long) == 8 && std::strcmp(f, "l") == 0) || std::strcmp(f, "q") == 0;
}

// A C-contiguous, writable ndarray of the element type and shape (-1: any), or None.
template <class T>
T* array_of(PyObject* state, const Name& key, std::initializer_list<Py_ssize_t> shape,
            BufferView& view, Py_ssize_t* dims = nullptr) {
    PyObject* arr = get(state, key);
    if (arr == Py_None) return nullptr;
    if (!g_ndarray || Py_TYPE(arr) != reinterpret_cast<PyTypeObject*>(g_ndarray) ||
        !view.acquire(arr, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS))
        raise(PyExc_TypeError, "state['%s'] must be a writable, row-major NumPy array", key.text());
    const Py_buffer& v = view.view();
    bool ok = format_is<T>(v.format) && v.itemsize == static_cast<Py_ssize_t>(sizeof(T)) &&
              v.ndim == static_cast<int>(shape.size());
    int d = 0;
    for (Py_ssize_t want : shape) {
        if (!ok) break;
        ok = want < 0 || v.shape[d] == want;
        if (dims) dims[d] = v.shape[d];
        ++d;
    }
    if (!ok) raise(PyExc_ValueError, "state['%s'] does not have the dtype or shape of this state", key.text());
    return static_cast<T*>(v.buf);
}

// The time bins of `bins` over the span, as the array arithmetic takes them: integer
// times keep their exact bounds, float64 copies as the array cast gives them.
k::TimeBins bins_over(const k::Field& t, const k::Number& lo, const k::Number& hi, bool is_int, Py_ssize_t bins) {
    k::TimeBins tb;
    if (is_int) {
        tb.has_int_bounds = true;
        tb.int_min = lo.i;
        tb.int_max = hi.i;
        const bool unsigned64 = t.kind == k::FieldKind::UInt && t.size == 8;
        tb.t_min = unsigned64 ? static_cast<double>(static_cast<std::uint64_t>(lo.i))
                              : static_cast<double>(static_cast<std::int64_t>(lo.i));
        tb.t_max = unsigned64 ? static_cast<double>(static_cast<std::uint64_t>(hi.i))
                              : static_cast<double>(static_cast<std::int64_t>(hi.i));
    } else {
        tb.t_min = lo.f;
        tb.t_max = hi.f;
    }
    set_bins(&tb, bins);
    return tb;
}

}  // namespace

Ref accumulate_events(Call& c) {
    PyObject* events = c[0];
    PyObject* state = c[1];

    RecordArray rec;
    k::AccSpec spec;
    open_state_columns(events, get(state, kFieldsKey), rec, &spec.cols);
    const k::EventColumns& cols = spec.cols;
    spec.int_time = is_int_field(cols.t);
    spec.int_x = cols.x.kind != k::FieldKind::Float;
    spec.int_y = cols.has_y && cols.y.kind != k::FieldKind::Float;

    PyObject* window = get(state, kWindow);
    if (window != Py_None) {
        Ref parts[3];
        unpack(window, parts, 3);
        spec.origin = number_of(parts[0].get(), spec.int_time, "the window's origin");
        spec.has_lo = parts[1].get() != Py_None;
        spec.has_hi = parts[2].get() != Py_None;
        if (spec.has_lo) spec.lo = window_bound(spec, parts[1].get(), "the window's start");
        if (spec.has_hi) spec.hi = window_bound(spec, parts[2].get(), "the window's end");
    }

    long long width = 0, height = 0;
    size_pair(get(state, kSensor), kInt32Limit, "state['sensor'] must be two ints from 0 to 2**31 - 1", &width,
              &height);
    if (!cols.has_y && height != 1) raise(PyExc_ValueError, "events without y have a sensor 1 high");
    spec.width = width;
    spec.height = height;
    spec.detected = truthy(get(state, kDetected));

    // The outputs, all of the sensor's (or room's) size.
    BufferView frames_view, grid_view, raster_view, pending_view, pixels_view, histogram_view;
    k::AccOutputs out;
    Py_ssize_t dims[4] = {0, 0, 0, 0};
    out.frames = array_of<float>(state, kFramesKey, {-1, 2, height, width}, frames_view, dims);
    const Py_ssize_t frame_bins = dims[0];
    out.grid = array_of<float>(state, kGridKey, {-1, 2, height, width}, grid_view, dims);
    const Py_ssize_t grid_bins = dims[0];
    out.raster = array_of<float>(state, kRasterKey, {-1, -1}, raster_view, dims);
    const Py_ssize_t raster_bins = dims[0];
    out.raster_limit = dims[1];
    out.pixels = array_of<std::int64_t>(state, kPixels, {2, height, width}, pixels_view);
    out.histogram = array_of<std::int64_t>(state, kHistogram, {-1, 2}, histogram_view, dims);
    out.histogram_steps = dims[0];
    if (out.raster && out.raster_limit > kInt32Limit)
        raise(PyExc_ValueError, "state['raster'] may hold at most 2**31 - 1 neurons");
    BufferView map_view;
    if (PyObject* m = find(state, kPixelMap); m && m != Py_None)
        out.pixel_map = array_of<std::int32_t>(state, kPixelMap, {height, width}, map_view);
    if (out.raster && cols.has_y && !out.pixel_map) {
        out.pending = array_of<std::int32_t>(state, kPending, {-1, 3}, pending_view, dims);
        if (!out.pending) raise(PyExc_ValueError, "state['pending'] must be an int32 (room, 3) array for a raster");
        out.pending_capacity = static_cast<std::size_t>(dims[0]);
    }
    for (Py_ssize_t bins : {frame_bins, grid_bins, raster_bins})
        if ((bins < 1 && bins != 0) || bins > std::numeric_limits<std::int32_t>::max())
            raise(PyExc_ValueError, "time bins must number 1 to 2**31 - 1");

    PyObject* span = get(state, kSpan);
    spec.binning = span != Py_None;
    const bool any_output = out.frames || out.grid || out.raster || out.pixels || out.histogram;
    if (!spec.binning && any_output) raise(PyExc_ValueError, "outputs need the span of the selected events");
    if (spec.binning) {
        Ref ends[2];
        unpack(span, ends, 2);
        const k::Number lo = number_of(ends[0].get(), spec.int_time, "t_min");
        const k::Number hi = number_of(ends[1].get(), spec.int_time, "t_max");
        if (out.frames) spec.frame_tb = bins_over(cols.t, lo, hi, spec.int_time, frame_bins);
        if (out.grid) spec.grid_tb = bins_over(cols.t, lo, hi, spec.int_time, grid_bins);
        if (out.raster) spec.raster_tb = bins_over(cols.t, lo, hi, spec.int_time, raster_bins);
        if (out.histogram) {
            if (out.histogram_steps < 1) raise(PyExc_ValueError, "the histogram needs at least one step");
            spec.histogram_start = lo;
            spec.histogram_step = number_of(get(state, kHistogramStep), spec.int_time, "histogram_step");
            const bool positive = spec.int_time ? spec.histogram_step.i >= 1 && spec.histogram_step.i < (__int128{1} << 64)
                                                : spec.histogram_step.f > 0 && spec.histogram_step.f < 1e300;
            if (!positive) raise(PyExc_ValueError, "histogram_step must be positive");
        }
    }

    // The grid's shortcut through the frames: its table, or -1 everywhere when none applies.
    BufferView grid_of_view;
    std::int32_t* grid_of = array_of<std::int32_t>(state, kGridOfFrame, {frame_bins}, grid_of_view);
    if (grid_of) {
        if (spec.binning && out.frames && out.grid && k::grid_of_frames(spec, grid_of))
            out.grid_of_frame = grid_of;
        else
            std::fill_n(grid_of, frame_bins, -1);
    }

    k::AccTotals totals;
    totals.count = get_count(state, kCount);
    totals.bad_time = get_count(state, kBadTime);
    totals.outside_window = get_count(state, kOutsideWindow);
    totals.outside = get_count(state, kOutside);
    totals.negative = get_count(state, kNegative);
    totals.any_time = extreme_of(state, kTLo, spec.int_time, &totals.t_lo);
    if (totals.any_time && !extreme_of(state, kTHi, spec.int_time, &totals.t_hi))
        raise(PyExc_ValueError, "state['t_hi'] is missing");
    totals.any_selected = extreme_of(state, kSLo, spec.int_time, &totals.s_lo);
    if (totals.any_selected && !extreme_of(state, kSHi, spec.int_time, &totals.s_hi))
        raise(PyExc_ValueError, "state['s_hi'] is missing");
    totals.any_x = extreme_of(state, kXMax, spec.int_x, &totals.x_max);
    totals.any_y = cols.has_y && extreme_of(state, kYMax, spec.int_y, &totals.y_max);
    totals.fractional = truthy(get(state, kFractional));
    totals.pending = static_cast<std::size_t>(get_count(state, kPendingCount));
    if (find(state, kMasked)) totals.masked = get_count(state, kMasked);
    if (out.pending && totals.pending > out.pending_capacity)
        raise(PyExc_ValueError, "state['pending_count'] is past the pending rows");

    const std::size_t n = static_cast<std::size_t>(rec.size());
    k::AccResult res;
    {
        ReleaseGil nogil(static_cast<Py_ssize_t>(n) >= kReleaseGilEvents);
        res = k::accumulate(spec, out, totals, n);
    }

    put_count(state, kCount, totals.count);
    put_count(state, kBadTime, totals.bad_time);
    put_count(state, kOutsideWindow, totals.outside_window);
    put_count(state, kOutside, totals.outside);
    put_count(state, kNegative, totals.negative);
    put_extreme(state, kTLo, totals.any_time, totals.t_lo, spec.int_time);
    put_extreme(state, kTHi, totals.any_time, totals.t_hi, spec.int_time);
    put_extreme(state, kSLo, totals.any_selected, totals.s_lo, spec.int_time);
    put_extreme(state, kSHi, totals.any_selected, totals.s_hi, spec.int_time);
    put_extreme(state, kXMax, totals.any_x, totals.x_max, spec.int_x);
    put_extreme(state, kYMax, totals.any_y, totals.y_max, spec.int_y);
    put(state, kFractional, totals.fractional ? Py_True : Py_False);
    put_count(state, kPendingCount, totals.pending);
    put_count(state, kMasked, totals.masked);
    if (res.stop == k::AccStop::Grow) {
        Ref w = integer(res.need_width), h = integer(res.need_height);
        Ref need = tuple_of({w.get(), h.get()});
        put(state, kNeed, need.get());
        Ref word = str("grow");
        put(state, kStop, word.get());
    } else if (res.stop == k::AccStop::Room) {
        Ref word = str("room");
        put(state, kStop, word.get());
    } else {
        put(state, kStop, Py_None);
    }
    return integer(static_cast<long long>(res.consumed));
}

}  // namespace nivra::spikes
