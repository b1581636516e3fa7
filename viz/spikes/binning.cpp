// viz/spikes/binning.cpp: events -> ON/OFF frame stacks (array and Tonic paths, and the
// dispatch between them), RGB time grids and spike rasters.
//
// NumPy record arrays are binned in one pass over their memory (kernels/events.h); any
// other object, and any array the kernels cannot read, goes through the module's `np`
// step by step. Both roads give the same arrays, element for element.
#include "spikes.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace nivra::spikes {

// A writable, row-major view of a new float32 / uint8 array of `count` elements;
// false when the object is not one (the module's `np` was replaced).
bool output_view(BufferView& view, PyObject* arr, const char* format, Py_ssize_t count) {
    if (!view.acquire(arr, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS)) return false;
    const Py_buffer& v = view.view();
    const Py_ssize_t itemsize = format[0] == 'f' ? 4 : 1;
    return v.format && std::strcmp(v.format, format) == 0 && v.itemsize == itemsize &&
           v.len == count * itemsize;
}

namespace {

// The bin count, or false when it does not fit the kernels.
bool bin_count(PyObject* bins, long long* count) {
    return exact_int64(bins, count) && *count >= 1 && *count <= std::numeric_limits<std::int32_t>::max();
}

}  // namespace

void set_bins(k::TimeBins* tb, long long count) {
    double range = tb->t_max - tb->t_min;
    if (1e-9 > range) range = 1e-9;
    tb->t_range = range;
    tb->scale = static_cast<double>(count) - 0.001;
    tb->bins = static_cast<std::int32_t>(count);
}

// The time bins of the kernels, or false when the count does not fit them.
bool time_bins_of(PyObject* bins, const k::Field& t, std::size_t n, k::TimeBins* tb) {
    long long count = 0;
    if (!bin_count(bins, &count)) return false;
    {
        ReleaseGil nogil(static_cast<Py_ssize_t>(n) >= kReleaseGilEvents);
        k::time_bounds(t, n, tb);
    }
    set_bins(tb, count);
    return true;
}

namespace {

// --- the plain NumPy steps ---------------------------------------------------

// ((t_vals - t_min) / t_range * (bins - 0.001)).astype(np.int32), clipped to 0 .. bins - 1.
Ref numpy_time_bins(PyObject* np, PyObject* t_vals, PyObject* bins) {
    Ref t_min = call_method(t_vals, kMin);
    Ref t_max = call_method(t_vals, kMax);
    Ref t_range = new_ref(PyNumber_Subtract(t_max.get(), t_min.get()));
    Ref floor = real(1e-9);
    if (compare(floor.get(), t_range.get(), Py_GT)) t_range = std::move(floor);
    Ref shifted = new_ref(PyNumber_Subtract(t_vals, t_min.get()));
    Ref scaled = new_ref(PyNumber_TrueDivide(shifted.get(), t_range.get()));
    Ref margin = real(0.001);
    Ref span = new_ref(PyNumber_Subtract(bins, margin.get()));
    Ref pos = new_ref(PyNumber_Multiply(scaled.get(), span.get()));
    Ref int32 = attr(np, kInt32);
    Ref idx = call_method(pos.get(), kAstype, int32.get());
    Ref zero = integer(0);
    Ref one = integer(1);
    Ref last = new_ref(PyNumber_Subtract(bins, one.get()));
    return np_call(np, kClip, idx.get(), zero.get(), last.get());
}

// events[field].astype(np.<dtype>).
Ref column_as(PyObject* np, PyObject* events, PyObject* field, const Name& dtype) {
    Ref col = item(events, field);
    Ref dt = attr(np, dtype);
    return call_method(col.get(), kAstype, dt.get());
}

// np.<dtype-filled>(len(events), dtype=np.<dtype>) through np.zeros / np.ones.
Ref filled(PyObject* np, const Name& fn, Py_ssize_t n, const Name& dtype) {
    Ref f = attr(np, fn);
    Ref count = integer(n);
    Ref dt = attr(np, dtype);
    return call_kw(f.get(), {count.get()}, {{&kDtype, dt.get()}});
}

// a & b; raises on error.
Ref both(PyObject* a, PyObject* b) { return new_ref(PyNumber_And(a, b)); }

// a <op> b as an array; raises on error.
Ref cmp(PyObject* a, PyObject* b, int op) { return new_ref(PyObject_RichCompare(a, b, op)); }

// np.add.at(target, index, 1).
void add_at(PyObject* np, PyObject* target, PyObject* index) {
    Ref add = attr(np, kAdd);
    Ref at = attr(add.get(), kAt);
    Ref one = integer(1);
    call(at.get(), target, index, one.get());
}

Ref frames_numpy_steps(PyObject* np, PyObject* events, Ref names[4], PyObject* width, PyObject* height,
                       PyObject* n_frames, bool accumulate) {
    const Py_ssize_t n = length(events);
    Ref t_vals = column_as(np, events, names[2].get(), kFloat64);
    Ref x_vals = column_as(np, events, names[0].get(), kInt32);
    Ref y_vals = truthy(names[1].get()) ? column_as(np, events, names[1].get(), kInt32)
                                        : filled(np, kZeros, n, kInt32);
    Ref p_vals = truthy(names[3].get()) ? item(events, names[3].get()) : filled(np, kOnes, n, kInt8);
    Ref frame_idx = numpy_time_bins(np, t_vals.get(), n_frames);
    Ref zero = integer(0);
    Ref valid = both(cmp(x_vals.get(), zero.get(), Py_GE).get(), cmp(x_vals.get(), width, Py_LT).get());
    valid = both(valid.get(), cmp(y_vals.get(), zero.get(), Py_GE).get());
    valid = both(valid.get(), cmp(y_vals.get(), height, Py_LT).get());
    frame_idx = item(frame_idx.get(), valid.get());
    x_vals = item(x_vals.get(), valid.get());
    y_vals = item(y_vals.get(), valid.get());
    p_vals = item(p_vals.get(), valid.get());
    Ref positive = cmp(p_vals.get(), zero.get(), Py_GT);
    Ref one = integer(1);
    Ref where = np_call(np, kWhere, positive.get(), zero.get(), one.get());
    Ref int32 = attr(np, kInt32);
    Ref channels = call_method(where.get(), kAstype, int32.get());
    Ref two = integer(2);
    Ref shape = tuple_of({n_frames, two.get(), height, width});
    Ref frames = np_zeros(np, shape.get(), kFloat32);
    Ref index = tuple_of({frame_idx.get(), channels.get(), y_vals.get(), x_vals.get()});
    add_at(np, frames.get(), index.get());
    if (accumulate) {
        Ref cumsum = attr(np, kCumsum);
        call_kw(cumsum.get(), {frames.get()}, {{&kAxis, zero.get()}, {&kOut, frames.get()}});
    }
    return frames;
}

// The frame stack of the kernels, or a null Ref when they cannot read this input.
Ref frames_direct(PyObject* np, PyObject* events, Ref names[4], PyObject* width, PyObject* height,
                  PyObject* n_frames, bool accumulate) {
    RecordArray rec;
    k::EventColumns cols;
    long long w = 0, h = 0;
    if (!rec.open(events) || !open_columns(rec, names, true, &cols)) return Ref();
    if (!exact_int64(width, &w) || !exact_int64(height, &h) || w < 0 || h < 0 || w > (1LL << 31) || h > (1LL << 31))
        return Ref();
    const std::size_t n = static_cast<std::size_t>(rec.size());
    k::TimeBins tb;
    if (!time_bins_of(n_frames, cols.t, n, &tb)) return Ref();
    Ref two = integer(2);
    Ref shape = tuple_of({n_frames, two.get(), height, width});
    Ref frames = np_zeros(np, shape.get(), kFloat32);
    BufferView out;
    const long long plane = w * h;
    if (!output_view(out, frames.get(), "f", static_cast<Py_ssize_t>(tb.bins * 2 * plane))) return Ref();
    float* data = static_cast<float*>(out.view().buf);
    {
        ReleaseGil nogil(static_cast<Py_ssize_t>(n) >= kReleaseGilEvents);
        k::bin_frames(cols, n, tb, w, h, data);
        if (accumulate) k::accumulate_frames(data, static_cast<std::size_t>(tb.bins), static_cast<std::size_t>(2 * plane));
    }
    return frames;
}

}  // namespace

// --- _events_to_frames_numpy -------------------------------------------------

const char kFramesNumpyDoc[] =
    "Bin events into ON/OFF count frames (the array path; the only one that accumulates).\n\n"
    "The span from the first to the last timestamp (at least 1e-9) is cut into\n"
    "n_frames equal slices; event t falls into int((t - t_min) / t_range *\n"
    "(n_frames - 0.001)), clipped to 0 .. n_frames - 1. Coordinates are cast to\n"
    "int32 and events outside the sensor are dropped; polarity > 0 counts in\n"
    "channel 0 (ON), anything else in channel 1 (OFF); no polarity field means ON.\n"
    "NumPy record arrays are binned in one pass over their memory.\n\n"
    "Args:\n"
    "    events: an event array with time and x fields.\n"
    "    sensor_size: (width, height).\n"
    "    n_frames: number of frames.\n"
    "    accumulate: make each frame the running total from frame 0.\n\n"
    "Returns:\n"
    "    float32 array of shape (n_frames, 2, height, width).\n\n"
    "Raises:\n"
    "    ValueError 'Events must have time and x coordinate fields' (also for an\n"
    "    empty array); ValueError when sensor_size has not two items; NumPy's\n"
    "    errors for n_frames below 1.";

Ref events_to_frames_numpy(Call& c) {
    PyObject* events = c[0];
    Ref names[4];
    binnable_event_fields(c, events, names);
    Ref width, height;
    width_height(c[1], &width, &height);
    PyObject* n_frames = c[2];
    const bool accumulate = c[3] == Py_True;
    Ref np = c.global(kNp);
    if (length(events) == 0) {
        Ref two = integer(2);
        Ref shape = tuple_of({n_frames, two.get(), height.get(), width.get()});
        return np_zeros(np.get(), shape.get(), kFloat32);
    }
    Ref frames = frames_direct(np.get(), events, names, width.get(), height.get(), n_frames, accumulate);
    if (frames) return frames;
    return frames_numpy_steps(np.get(), events, names, width.get(), height.get(), n_frames, accumulate);
}

// --- _events_to_frames_tonic -------------------------------------------------

const char kFramesTonicDoc[] =
    "Bin events into frames with Tonic's ToFrame transform.\n\n"
    "Same frames as the array path: the span from the first to the last\n"
    "timestamp is cut into n_frames windows of (t_max - t_min) / (n_frames -\n"
    "0.001); polarity > 0 (or no polarity field) counts in channel 0 (ON),\n"
    "anything else in channel 1 (OFF); events outside the sensor are dropped.\n"
    "ToFrame is handed those events sorted by time, with times relative to the\n"
    "first event, and every window spelled out, so none is dropped.\n\n"
    "Args:\n"
    "    events: an event array with time and x fields.\n"
    "    sensor_size: (width, height).\n"
    "    n_frames: number of frames.\n\n"
    "Returns:\n"
    "    float32 array of shape (n_frames, 2, height, width).\n\n"
    "Raises:\n"
    "    ImportError 'Tonic not available' when TONIC_AVAILABLE is false;\n"
    "    ValueError when sensor_size has not two items, a field is missing,\n"
    "    a timestamp is not finite or ToFrame's int16 counts overflowed;\n"
    "    Tonic's and NumPy's errors.";

const Name kIncludeIncomplete("include_incomplete"), kStartTime("start_time"), kEndTime("end_time");
const Name kArgsort("argsort"), kEmpty("empty"), kAllOf("all"), kSum("sum"), kInt64("int64");

// Tonic's ToFrame slices by time assuming time order, starts at the first event,
// drops the last, incomplete window unless told otherwise, maps a polarity value
// to the channel of that number (1 -> 1), and counts in int16. So it is handed a
// new record array: events inside the sensor only, sorted, times relative to the
// first event, p = 0 for ON and 1 for OFF, and windows from 0 to n_frames * window.
Ref events_to_frames_tonic(Call& c) {
    PyObject* events = c[0];
    PyObject* n_frames = c[2];
    {
        Ref available = c.global(kTonicAvailable);
        if (!truthy(available.get())) raise(PyExc_ImportError, "Tonic not available");
    }
    Ref width, height;
    width_height(c[1], &width, &height);
    Ref two = integer(2);
    Ref np = c.global(kNp);
    Ref zero_shape = tuple_of({n_frames, two.get(), height.get(), width.get()});
    if (length(events) == 0) return np_zeros(np.get(), zero_shape.get(), kFloat32);
    Ref names[4];
    binnable_event_fields(c, events, names);
    const long long frames_wanted = PyLong_AsLongLong(n_frames);
    if (frames_wanted == -1 && PyErr_Occurred()) throw PythonError{};
    if (frames_wanted < 1) raise(PyExc_ValueError, "n_frames must be at least 1");

    const Py_ssize_t n = length(events);
    Ref t_vals = column_as(np.get(), events, names[2].get(), kFloat64);
    Ref t_min = call_method(t_vals.get(), kMin);
    Ref t_max = call_method(t_vals.get(), kMax);
    const double lo = PyFloat_AsDouble(t_min.get());
    const double hi = PyFloat_AsDouble(t_max.get());
    throw_if_error();
    double range = hi - lo;
    if (!std::isfinite(range)) raise(PyExc_ValueError, "timestamps must be finite");
    if (1e-9 > range) range = 1e-9;

    Ref x_vals = column_as(np.get(), events, names[0].get(), kInt32);
    Ref y_vals = truthy(names[1].get()) ? column_as(np.get(), events, names[1].get(), kInt32)
                                        : filled(np.get(), kZeros, n, kInt32);
    Ref zero = integer(0);
    Ref one = integer(1);
    Ref valid = both(cmp(x_vals.get(), zero.get(), Py_GE).get(), cmp(x_vals.get(), width.get(), Py_LT).get());
    valid = both(valid.get(), cmp(y_vals.get(), zero.get(), Py_GE).get());
    valid = both(valid.get(), cmp(y_vals.get(), height.get(), Py_LT).get());
    Ref rel = new_ref(PyNumber_Subtract(t_vals.get(), t_min.get()));
    Ref cols[4] = {item(x_vals.get(), valid.get()), item(y_vals.get(), valid.get()), item(rel.get(), valid.get()),
                   Ref()};
    if (truthy(names[3].get())) {
        Ref p_vals = item(events, names[3].get());
        Ref positive = cmp(p_vals.get(), zero.get(), Py_GT);
        Ref channel = np_call(np.get(), kWhere, positive.get(), zero.get(), one.get());
        cols[3] = item(channel.get(), valid.get());
    }
    const Py_ssize_t kept = length(cols[2].get());
    if (kept == 0) return np_zeros(np.get(), zero_shape.get(), kFloat32);

    // rel[1:] >= rel[:-1] everywhere, else reorder every column by a stable sort of rel.
    Ref head = new_ref(PySlice_New(nullptr, integer(-1).get(), nullptr));
    Ref tail = new_ref(PySlice_New(one.get(), nullptr, nullptr));
    Ref ordered = cmp(item(cols[2].get(), tail.get()).get(), item(cols[2].get(), head.get()).get(), Py_GE);
    if (!truthy(call_method(ordered.get(), kAllOf).get())) {
        Ref argsort = attr(np.get(), kArgsort);
        Ref stable = str("stable");
        Ref order = call_kw(argsort.get(), {cols[2].get()}, {{&kKind, stable.get()}});
        for (Ref& col : cols)
            if (col) col = item(col.get(), order.get());
    }
    Ref layout = new_ref(Py_BuildValue("[(ss)(ss)(ss)(ss)]", "x", "<i4", "y", "<i4", "t", "<f8", "p", "i1"));
    Ref kept_count = integer(kept);
    Ref empty = attr(np.get(), kEmpty);
    Ref records = call_kw(empty.get(), {kept_count.get()}, {{&kDtype, layout.get()}});
    const char* field_names[4] = {"x", "y", "t", "p"};
    for (int i = 0; i < 4; ++i) {
        Ref key = str(field_names[i]);
        check(PyObject_SetItem(records.get(), key.get(), cols[i] ? cols[i].get() : zero.get()));
    }

    const double window = range / (static_cast<double>(frames_wanted) - 0.001);
    Ref time_window = real(window);
    Ref start = real(0.0);
    Ref end = real(window * static_cast<double>(frames_wanted));
    Ref tonic_size = tuple_of({width.get(), height.get(), two.get()});
    Ref tonic = c.global(kTonic);
    Ref transforms = attr(tonic.get(), kTransforms);
    Ref to_frame = attr(transforms.get(), kToFrame);
    Ref transform = call_kw(to_frame.get(), {},
                            {{&kSensorSize, tonic_size.get()}, {&kTimeWindow, time_window.get()},
                             {&kIncludeIncomplete, Py_True}, {&kStartTime, start.get()}, {&kEndTime, end.get()}});
    Ref frames = call(transform.get(), records.get());
    Ref count = integer(length(frames.get()));
    if (compare(count.get(), n_frames, Py_LT)) {
        Ref missing = new_ref(PyNumber_Subtract(n_frames, count.get()));
        Ref shape = tuple_of({missing.get(), two.get(), height.get(), width.get()});
        Ref zeros = attr(np.get(), kZeros);
        Ref dtype = attr(frames.get(), kDtype);
        Ref padding = call_kw(zeros.get(), {shape.get()}, {{&kDtype, dtype.get()}});
        Ref parts = new_list();
        append(parts.get(), frames.get());
        append(parts.get(), padding.get());
        Ref concatenate = attr(np.get(), kConcatenate);
        frames = call_kw(concatenate.get(), {parts.get()}, {{&kAxis, zero.get()}});
    } else if (compare(count.get(), n_frames, Py_GT)) {
        Ref cut = new_ref(PySlice_New(nullptr, n_frames, nullptr));
        frames = item(frames.get(), cut.get());
    }
    // Every event handed over must be counted once; a pixel past 32,767 events in one
    // frame wraps Tonic's int16 counts (each wrap lowers the total), and the array path
    // takes over.
    Ref sum = attr(frames.get(), kSum);
    Ref int64 = attr(np.get(), kInt64);
    Ref total = call_kw(sum.get(), {}, {{&kDtype, int64.get()}});
    if (!compare(total.get(), kept_count.get(), Py_EQ))
        raise(PyExc_ValueError, "ToFrame's counts do not add up to the %zd events handed to it", kept);
    Ref float32 = attr(np.get(), kFloat32);
    return call_method(frames.get(), kAstype, float32.get());
}

// --- events_to_frames --------------------------------------------------------

const char kEventsToFramesDoc[] =
    "Bin events into a stack of ON/OFF count frames.\n\n"
    "Dispatch: use_tonic None means 'Tonic when it is installed and accumulate is\n"
    "off'; an explicit True is overridden by accumulate (accumulation is only\n"
    "done by the array path). When the Tonic path raises an Exception, the array\n"
    "path is used instead, silently.\n\n"
    "Args:\n"
    "    events: an event array (see _get_event_fields for the field names).\n"
    "    sensor_size: (width, height), or None to detect it from the coordinates.\n"
    "    n_frames: number of frames (other numbers go through int()).\n"
    "    accumulate: make each frame the running total from frame 0.\n"
    "    use_tonic: True, False or None (choose automatically).\n\n"
    "Returns:\n"
    "    float32 array of shape (n_frames, 2, height, width): channel 0 ON, 1 OFF.\n\n"
    "Raises:\n"
    "    ImportError when use_tonic is True and Tonic is not installed;\n"
    "    ValueError 'Events must have time and x coordinate fields'; the errors of\n"
    "    the chosen path.";

Ref events_to_frames(Call& c) {
    PyObject* events = c[0];
    Ref sensor_size = sensor_size_or_detected(c, 1, events);
    PyObject* n_frames = c[2];
    const bool accumulate = c[3] == Py_True;
    Ref use_tonic = c.take(4);
    if (use_tonic.get() == Py_None) {
        Ref available = c.global(kTonicAvailable);
        use_tonic = truthy(available.get()) ? boolean(!accumulate) : std::move(available);
        expect_exact(use_tonic.get(), &PyBool_Type, true);
    }
    if (truthy(use_tonic.get())) {
        Ref available = c.global(kTonicAvailable);
        if (!truthy(available.get()))
            raise(PyExc_ImportError,
                  "Tonic not installed. Install with: uv add nivra-viz[tonic] or use "
                  "use_tonic=False for NumPy fallback.");
    }
    if (truthy(use_tonic.get()) && !accumulate) {
        try {
            Ref fn = c.global(kFramesTonic);
            return call(fn.get(), events, sensor_size.get(), n_frames);
        } catch (PythonError& e) {
            if (!e.exc || !PyErr_GivenExceptionMatches(e.exc.get(), PyExc_Exception)) throw;
        }
    }
    Ref fn = c.global(kFramesNumpy);
    Ref acc = boolean(accumulate);
    return call(fn.get(), events, sensor_size.get(), n_frames, acc.get());
}

// --- events_to_grid ----------------------------------------------------------

const char kEventsToGridDoc[] =
    "Bin events into a few RGB images: ON counts in blue, OFF counts in red.\n\n"
    "Each bin's channel is scaled by its own brightest pixel (at least 1):\n"
    "uint8(clip(count / peak * 255, 0, 255)), computed in float32.\n\n"
    "Args:\n"
    "    events: an event array.\n"
    "    sensor_size: (width, height), or None to detect it.\n"
    "    n_bins: number of time bins (other numbers go through int()).\n\n"
    "Returns:\n"
    "    uint8 array of shape (n_bins, height, width, 3), channels red, green, blue.\n\n"
    "Raises:\n"
    "    The errors of events_to_frames and NumPy.";

Ref events_to_grid(Call& c) {
    PyObject* events = c[0];
    Ref sensor_size = sensor_size_or_detected(c, 1, events);
    PyObject* n_bins = c[2];
    Ref to_frames = c.global(kEventsToFrames);
    Ref frames = call_kw(to_frames.get(), {events, sensor_size.get()}, {{&kNFrames, n_bins}});
    Ref width, height;
    width_height(sensor_size.get(), &width, &height);
    Ref np = c.global(kNp);
    Ref three = integer(3);
    Ref shape = tuple_of({n_bins, height.get(), width.get(), three.get()});
    Ref grid = np_zeros(np.get(), shape.get(), kUint8);

    Py_ssize_t dims[3];
    BufferView view;
    if (sizes_of({n_bins, height.get(), width.get()}, dims) && dims[1] * dims[2] > 0 &&
        float_planes(view, frames.get(), dims[0], 2, dims[1], dims[2])) {
        if (colour_direct(grid.get(), view, dims[0], 2, dims[1] * dims[2], false)) return grid;
    }
    Ref on = channel_of(frames.get(), 0);
    Ref off = channel_of(frames.get(), 1);
    Ref max_on = frame_peaks(np.get(), on.get());
    Ref max_off = frame_peaks(np.get(), off.get());
    paint(np.get(), grid.get(), 2, on.get(), max_on.get());
    paint(np.get(), grid.get(), 0, off.get(), max_off.get());
    return grid;
}

// --- events_to_raster --------------------------------------------------------

const char kEventsToRasterDoc[] =
    "Count events per time bin and neuron (a spike raster).\n\n"
    "Neurons are pixels flattened row by row (y * width + x, int32 arithmetic)\n"
    "on the detected sensor, or x alone without a y field; events whose neuron\n"
    "is not in 0 .. n_neurons - 1 are dropped. Time bins as in events_to_frames.\n\n"
    "Args:\n"
    "    events: an event array with time and x fields.\n"
    "    n_neurons: number of neurons, or None for the whole sensor.\n"
    "    time_bins: number of time bins (other numbers go through int()).\n\n"
    "Returns:\n"
    "    float32 array of shape (time_bins, n_neurons) (one column when empty\n"
    "    and n_neurons is None or 0).\n\n"
    "Raises:\n"
    "    The errors of _detect_sensor_size, field indexing and NumPy.";

namespace {

// A record array's raster inputs as the kernels read them, and what one pass over them
// found when the sensor size was detected that way.
struct RasterInput {
    RecordArray rec;
    k::EventColumns cols;
    bool scanned = false;  // the rest is set
    __int128 maxima[2] = {0, 0};
    k::TimeBins tb;
    std::unique_ptr<std::uint32_t[]> index;
    k::Candidates cand;
    bool collected = false;
};

// The detected sensor size through one pass over the records that also finds the time
// bounds and, for a given neuron count, the events that may fall into the raster (most
// are ruled out while reading x and y, so binning need not read every event again).
// Only when _detect_sensor_size and the _get_event_fields it calls are the module's own
// and x and y are integer or bool fields: the detection then does nothing else one could
// see. False when that pass does not apply.
bool scan_detect(Call& c, PyObject* events, Ref names[4], PyObject* detect, PyObject* n_neurons, RasterInput& in,
                 Ref* width, Ref* height) {
    if (impl_of(detect) != detect_sensor_size) return false;
    {
        Ref fields = c.global(kGetEventFields);
        if (impl_of(fields.get()) != get_event_fields) return false;
    }
    if (!in.rec.open(events) || in.rec.size() == 0 || !open_columns(in.rec, names, false, &in.cols)) return false;
    if (in.cols.x.kind == k::FieldKind::Float || (in.cols.has_y && in.cols.y.kind == k::FieldKind::Float))
        return false;
    const std::size_t n = static_cast<std::size_t>(in.rec.size());
    long long limit = 0;
    if (n_neurons != Py_None && exact_int64(n_neurons, &limit) && limit >= 0 &&
        n <= std::numeric_limits<std::uint32_t>::max()) {
        // Room for an eighth of the events (the scan wants room for a chunk of 2,048
        // ahead): past that, binning all of them costs no more.
        const std::size_t room = std::min(n, n / 8 + 4096);
        in.index.reset(new (std::nothrow) std::uint32_t[room]);
        if (in.index) {
            in.cand.index = in.index.get();
            in.cand.capacity = room;
            in.cand.limit = static_cast<std::uint64_t>(limit);
            in.collected = true;
        }
    }
    {
        ReleaseGil nogil(static_cast<Py_ssize_t>(n) >= kReleaseGilEvents);
        k::scan_raster(in.cols, n, in.maxima, &in.tb, in.collected ? &in.cand : nullptr);
    }
    in.scanned = true;
    extents_of(in.maxima, in.cols.has_y, width, height);
    return true;
}

Ref raster_direct(PyObject* np, PyObject* events, Ref names[4], PyObject* width, PyObject* n_neurons,
                  PyObject* time_bins, RasterInput& in) {
    if (!in.scanned && (!in.rec.open(events) || !open_columns(in.rec, names, false, &in.cols))) return Ref();
    long long w = 0, neurons = 0;
    if (!exact_int64(width, &w) || w < std::numeric_limits<std::int32_t>::min() ||
        w > std::numeric_limits<std::int32_t>::max())
        return Ref();
    if (!exact_int64(n_neurons, &neurons) || neurons < 0) return Ref();
    const std::size_t n = static_cast<std::size_t>(in.rec.size());
    k::TimeBins tb;
    if (in.scanned) {
        long long count = 0;
        if (!bin_count(time_bins, &count)) return Ref();
        tb = in.tb;
        set_bins(&tb, count);
    } else if (!time_bins_of(time_bins, in.cols.t, n, &tb)) {
        return Ref();
    }
    long long count = 0;
    if (__builtin_mul_overflow(static_cast<long long>(tb.bins), neurons, &count)) return Ref();
    Ref shape = tuple_of({time_bins, n_neurons});
    Ref raster = zeroed_float32(np, shape.get(), static_cast<std::size_t>(count));
    BufferView out;
    if (!output_view(out, raster.get(), "f", static_cast<Py_ssize_t>(count))) return Ref();
    float* data = static_cast<float*>(out.view().buf);
    const bool few = in.collected && static_cast<std::uint64_t>(neurons) == in.cand.limit &&
                     k::candidates_complete(in.cand, w, in.cols.has_y);
    {
        ReleaseGil nogil(static_cast<Py_ssize_t>(few ? in.cand.count : n) >= kReleaseGilEvents);
        if (few)
            k::bin_raster_candidates(in.cols, in.cand, tb, static_cast<std::int32_t>(w), neurons, data);
        else
            k::bin_raster(in.cols, n, tb, static_cast<std::int32_t>(w), neurons, data);
    }
    return raster;
}

}  // namespace

Ref events_to_raster(Call& c) {
    PyObject* events = c[0];
    Ref n_neurons = c.take(1);
    PyObject* time_bins = c[2];
    Ref names[4];
    event_fields(c, events, names);
    Ref np = c.global(kNp);
    if (length(events) == 0) {
        Ref columns = truthy(n_neurons.get()) ? n_neurons.copy() : integer(1);
        Ref shape = tuple_of({time_bins, columns.get()});
        return np_zeros(np.get(), shape.get(), kFloat32);
    }
    Ref detect = c.global(kDetectSensorSize);
    RasterInput in;
    Ref width, height;
    if (!scan_detect(c, events, names, detect.get(), n_neurons.get(), in, &width, &height)) {
        Ref sensor_size = call(detect.get(), events);
        width_height(sensor_size.get(), &width, &height);
    }
    const bool has_y = truthy(names[1].get());
    if (n_neurons.get() == Py_None) {
        n_neurons = has_y ? new_ref(PyNumber_Multiply(width.get(), height.get())) : width.copy();
        n_neurons = expect_int(std::move(n_neurons), false);
    }
    Ref raster = raster_direct(np.get(), events, names, width.get(), n_neurons.get(), time_bins, in);
    if (raster) return raster;

    Ref t_vals = column_as(np.get(), events, names[2].get(), kFloat64);
    Ref x_vals = column_as(np.get(), events, names[0].get(), kInt32);
    Ref y_vals = has_y ? column_as(np.get(), events, names[1].get(), kInt32)
                       : filled(np.get(), kZeros, length(events), kInt32);
    Ref time_idx = numpy_time_bins(np.get(), t_vals.get(), time_bins);
    Ref neuron_idx = x_vals.copy();
    if (has_y) {
        Ref row = new_ref(PyNumber_Multiply(y_vals.get(), width.get()));
        neuron_idx = new_ref(PyNumber_Add(row.get(), x_vals.get()));
    }
    Ref zero = integer(0);
    Ref valid = both(cmp(neuron_idx.get(), zero.get(), Py_GE).get(), cmp(neuron_idx.get(), n_neurons.get(), Py_LT).get());
    time_idx = item(time_idx.get(), valid.get());
    neuron_idx = item(neuron_idx.get(), valid.get());
    Ref shape = tuple_of({time_bins, n_neurons.get()});
    raster = np_zeros(np.get(), shape.get(), kFloat32);
    Ref index = tuple_of({time_idx.get(), neuron_idx.get()});
    add_at(np.get(), raster.get(), index.get());
    return raster;
}

}  // namespace nivra::spikes
