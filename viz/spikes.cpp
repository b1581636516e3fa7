// viz/spikes.cpp: event arrays -> frame stacks, grids, rasters, PNG images, the event
// document and the spike viewer page.
//
// NumPy record arrays are binned in one pass over their memory (kernels/events.h); any
// other object, and any array the kernels cannot read, goes through the module's `np`
// step by step. Both roads give the same arrays, element for element.
#include "frame/buffer.h"   // BufferView
#include "frame/frame.h"    // Ref, Call, Module, the function table
#include "frame/text.h"     // escape_html
#include "kernels/base64.h" // base64 of the PNG files
#include "kernels/events.h" // binning and colouring kernels
#include "kernels/png.h"    // PNG files of RGB images

#include <bit>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <new>

using namespace nivra;
namespace k = nivra::kernels;

namespace {

// Module-level names, looked up at each use.
const Name kNp("np"), kTonic("tonic"), kTonicAvailable("TONIC_AVAILABLE"), kIo("io"), kBase64("base64");
const Name kJson("json"), kTempfile("tempfile"), kWebbrowser("webbrowser"), kPath("Path");
const Name kGetEventFields("_get_event_fields"), kDetectSensorSize("_detect_sensor_size");
const Name kFramesNumpy("_events_to_frames_numpy"), kFramesTonic("_events_to_frames_tonic");
const Name kEventsToFrames("events_to_frames"), kEventsToGrid("events_to_grid");
const Name kEventsToRaster("events_to_raster"), kEncodeImage("_encode_image_base64");
const Name kLoadTemplate("_load_template"), kHtmlEscape("_html_escape"), kRenderSpikeHtml("_render_spike_html");
const Name kSerializeEvents("serialize_events"), kFile("__file__");

// Attributes and keywords.
const Name kDtype("dtype"), kNames("names"), kFields("fields"), kKind("kind"), kItemsize("itemsize");
const Name kByteorder("byteorder"), kSubdtype("subdtype"), kMax("max"), kMin("min"), kAstype("astype");
const Name kFloat64("float64"), kFloat32("float32"), kInt32("int32"), kInt8("int8"), kUint8("uint8");
const Name kZeros("zeros"), kOnes("ones"), kClip("clip"), kWhere("where"), kAdd("add"), kAt("at");
const Name kCumsum("cumsum"), kAxis("axis"), kOut("out"), kKeepdims("keepdims"), kMaximum("maximum");
const Name kConcatenate("concatenate"), kTransforms("transforms"), kToFrame("ToFrame");
const Name kSensorSize("sensor_size"), kTimeWindow("time_window"), kNFrames("n_frames"), kNBins("n_bins");
const Name kNNeurons("n_neurons"), kTimeBins("time_bins"), kNdim("ndim"), kShape("shape"), kZerosLike("zeros_like");
const Name kNewaxis("newaxis"), kTolist("tolist");

// Passes over at least this many events run with the interpreter lock released.
constexpr Py_ssize_t kReleaseGilEvents = 1 << 15;

// --- small helpers ----------------------------------------------------------

// A new tuple of borrowed items; raises on error.
Ref tuple_of(std::initializer_list<PyObject*> items) {
    Ref t = new_ref(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(t.get(), i++, Ref::borrow(item).release());
    return t;
}

// obj[key]; raises on error.
Ref item(PyObject* obj, PyObject* key) { return new_ref(PyObject_GetItem(obj, key)); }

// np.<fn>(args...); raises on error.
template <class... A>
Ref np_call(PyObject* np, const Name& fn, A... args) {
    Ref f = attr(np, fn);
    return call(f.get(), args...);
}

// len(obj); raises on error.
Py_ssize_t length(PyObject* obj) {
    const Py_ssize_t n = PyObject_Length(obj);
    if (n < 0) throw PythonError{};
    return n;
}

// np.zeros(shape, dtype=np.<dtype>); raises on error.
Ref np_zeros(PyObject* np, PyObject* shape, const Name& dtype) {
    Ref zeros = attr(np, kZeros);
    Ref dt = attr(np, dtype);
    return call_kw(zeros.get(), {shape}, {{&kDtype, dt.get()}});
}

// The value of an object that is exactly an int and fits in 64 bits, or false.
bool exact_int64(PyObject* v, long long* out) {
    if (!PyLong_CheckExact(v)) return false;
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (value == -1 && PyErr_Occurred()) throw PythonError{};
    if (overflow) return false;
    *out = value;
    return true;
}

// Unpacks the field tuple of _get_event_fields into four names.
void event_fields(Call& c, PyObject* events, Ref out[4]) {
    Ref fn = c.global(kGetEventFields);
    Ref fields = call(fn.get(), events);
    unpack(fields.get(), out, 4);
}

// Unpacks a sensor size into width and height.
void width_height(PyObject* sensor_size, Ref* width, Ref* height) {
    Ref wh[2];
    unpack(sensor_size, wh, 2);
    *width = std::move(wh[0]);
    *height = std::move(wh[1]);
}

// sensor_size, or _detect_sensor_size(events) when it is None; must be a tuple.
Ref sensor_size_or_detected(Call& c, std::size_t index, PyObject* events) {
    Ref size = c.take(index);
    if (size.get() == Py_None) {
        Ref fn = c.global(kDetectSensorSize);
        size = call(fn.get(), events);
        expect_exact(size.get(), &PyTuple_Type, true);
    }
    return size;
}

// --- reading record arrays directly ----------------------------------------

// The ndarray and memmap types, taken when the module body imports NumPy: only
// arrays of exactly these types are read through their buffer.
PyObject* g_ndarray = nullptr;
PyObject* g_memmap = nullptr;

// The record array behind `events`, when the kernels can read it: a 1-D NumPy
// array of exactly ndarray or memmap type, exporting a strided buffer.
class RecordArray {
public:
    bool open(PyObject* events) {
        if (!g_ndarray) return false;
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(events));
        if (type != g_ndarray && type != g_memmap) return false;
        if (!buffer_.acquire(events, PyBUF_RECORDS_RO)) return false;
        const Py_buffer& v = buffer_.view();
        if (v.ndim != 1 || !v.strides || !v.shape) return false;
        Ref dtype = attr(events, kDtype);
        fields_ = attr(dtype.get(), kFields);
        if (fields_.get() == Py_None) return false;
        n_ = v.shape[0];
        return true;
    }
    Py_ssize_t size() const noexcept { return n_; }

    // The named field as the kernels read it, or false for names that are not a
    // field of a type they read (sub-arrays, half floats, dates, objects, ...).
    bool field(PyObject* name, k::Field* out) const {
        if (!PyUnicode_CheckExact(name)) return false;
        Ref entry_ref = Ref::steal(PyObject_GetItem(fields_.get(), name));
        if (!entry_ref) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw PythonError{};
            PyErr_Clear();
            return false;
        }
        PyObject* entry = entry_ref.get();
        if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) < 2) return false;
        PyObject* fdtype = PyTuple_GET_ITEM(entry, 0);
        long long offset = 0, itemsize = 0;
        Ref off = Ref::borrow(PyTuple_GET_ITEM(entry, 1));
        if (!exact_int64(off.get(), &offset)) return false;
        Ref sub = attr(fdtype, kSubdtype);
        if (sub.get() != Py_None) return false;
        Ref size = attr(fdtype, kItemsize);
        if (!exact_int64(size.get(), &itemsize)) return false;
        Ref kind = attr(fdtype, kKind);
        Ref order = attr(fdtype, kByteorder);
        const char* kind_text = PyUnicode_Check(kind.get()) ? PyUnicode_AsUTF8(kind.get()) : nullptr;
        const char* order_text = PyUnicode_Check(order.get()) ? PyUnicode_AsUTF8(order.get()) : nullptr;
        if (!kind_text || !order_text) {
            throw_if_error();
            return false;
        }
        k::FieldKind fk;
        switch (kind_text[0]) {
            case 'b': fk = k::FieldKind::Bool; break;
            case 'i': fk = k::FieldKind::Int; break;
            case 'u': fk = k::FieldKind::UInt; break;
            case 'f': fk = k::FieldKind::Float; break;
            default: return false;
        }
        if (kind_text[1] != '\0' || !k::field_supported(fk, static_cast<int>(itemsize))) return false;
        const Py_buffer& v = buffer_.view();
        if (offset < 0 || offset + itemsize > v.itemsize) return false;
        out->base = static_cast<const unsigned char*>(v.buf) + offset;
        out->stride = v.strides[0];
        out->kind = fk;
        out->size = static_cast<unsigned char>(itemsize);
        const bool little = std::endian::native == std::endian::little;
        out->swap = (order_text[0] == '>' && little) || (order_text[0] == '<' && !little);
        return true;
    }

private:
    BufferView buffer_;
    Ref fields_;
    Py_ssize_t n_ = 0;
};

// Reads the x, y, t, p columns named by `names` (y and p may be None); false when
// one of them cannot be read directly.
bool open_columns(const RecordArray& rec, Ref names[4], bool with_p, k::EventColumns* cols) {
    if (names[0].get() == Py_None || names[2].get() == Py_None) return false;
    if (!rec.field(names[0].get(), &cols->x) || !rec.field(names[2].get(), &cols->t)) return false;
    cols->has_y = truthy(names[1].get());
    if (cols->has_y && !rec.field(names[1].get(), &cols->y)) return false;
    cols->has_p = with_p && truthy(names[3].get());
    if (cols->has_p && !rec.field(names[3].get(), &cols->p)) return false;
    return true;
}

// A writable, row-major view of a new float32 / uint8 array of `count` elements;
// false when the object is not one (the module's `np` was replaced).
bool output_view(BufferView& view, PyObject* arr, const char* format, Py_ssize_t count) {
    if (!view.acquire(arr, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS)) return false;
    const Py_buffer& v = view.view();
    const Py_ssize_t itemsize = format[0] == 'f' ? 4 : 1;
    return v.format && std::strcmp(v.format, format) == 0 && v.itemsize == itemsize &&
           v.len == count * itemsize;
}

// The time bins of the kernels, or false when the count does not fit them.
bool time_bins_of(PyObject* bins, const k::Field& t, std::size_t n, k::TimeBins* tb) {
    long long count = 0;
    if (!exact_int64(bins, &count) || count < 1 || count > std::numeric_limits<std::int32_t>::max())
        return false;
    {
        ReleaseGil nogil(static_cast<Py_ssize_t>(n) >= kReleaseGilEvents);
        k::time_bounds(t, n, tb);
    }
    double range = tb->t_max - tb->t_min;
    if (1e-9 > range) range = 1e-9;
    tb->t_range = range;
    tb->scale = static_cast<double>(count) - 0.001;
    tb->bins = static_cast<std::int32_t>(count);
    return true;
}

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

// --- _get_event_fields -------------------------------------------------------

namespace {

constexpr const char kGetEventFieldsDoc[] =
    "Find the names of the x, y, time and polarity fields of an event array.\n\n"
    "Each role is matched by fixed candidate names, tried in order and compared\n"
    "exactly: x: 'x', 'channel', 'addr', 'address'; y: 'y', 'row'; time: 't',\n"
    "'ts', 'time', 'timestamp'; polarity: 'p', 'pol', 'polarity', 'on'.\n\n"
    "Args:\n"
    "    events: a structured array (anything with dtype.names).\n\n"
    "Returns:\n"
    "    (x_field, y_field, t_field, p_field), each a name or None.\n\n"
    "Raises:\n"
    "    AttributeError when events has no dtype.names.";

PyObject* first_present(PyObject* present, std::initializer_list<const char*> candidates) {
    for (const char* name : candidates) {
        Ref s = str(name);
        if (check(PySet_Contains(present, s.get()))) return s.release();
    }
    return Ref::borrow(Py_None).release();
}

Ref get_event_fields(Call& c) {
    Ref dtype = attr(c[0], kDtype);
    Ref names = attr(dtype.get(), kNames);
    Ref present = new_ref(truthy(names.get()) ? PySet_New(names.get()) : PySet_New(nullptr));
    Ref t = Ref::steal(first_present(present.get(), {"t", "ts", "time", "timestamp"}));
    Ref x = Ref::steal(first_present(present.get(), {"x", "channel", "addr", "address"}));
    Ref y = Ref::steal(first_present(present.get(), {"y", "row"}));
    Ref p = Ref::steal(first_present(present.get(), {"p", "pol", "polarity", "on"}));
    return tuple_of({x.get(), y.get(), t.get(), p.get()});
}

// --- _detect_sensor_size -----------------------------------------------------

constexpr const char kDetectSensorSizeDoc[] =
    "Infer the sensor size (width, height) from the largest coordinates.\n\n"
    "width is the largest x plus 1 and height the largest y plus 1 (int()\n"
    "truncates float maxima first); without a y field the height is 1, without an\n"
    "x field the size is (128, 128), and an empty array gives 128 for each\n"
    "coordinate that has a field.\n\n"
    "Args:\n"
    "    events: an event array.\n\n"
    "Returns:\n"
    "    (width, height), two ints.\n\n"
    "Raises:\n"
    "    Errors of _get_event_fields, len(), field indexing, max() or int().";

// int(events[field].max()) + 1 through the array's own max().
Ref extent(PyObject* events, PyObject* field) {
    Ref col = item(events, field);
    Ref mx = call_method(col.get(), kMax);
    Ref as_int = new_ref(PyNumber_Long(mx.get()));
    Ref one = integer(1);
    return new_ref(PyNumber_Add(as_int.get(), one.get()));
}

// A 128-bit integer as a Python int (the values here fit 64 bits, signed or not).
Ref wide_int(__int128 v) {
    if (v < 0) return integer(static_cast<long long>(v));
    return new_ref(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v)));
}

// The extents of non-empty integer (or bool) coordinate fields, read from the record
// memory in one pass; false when a field is not one.
bool extents_direct(PyObject* events, Ref names[4], Ref* width, Ref* height) {
    RecordArray rec;
    if (!rec.open(events) || rec.size() == 0) return false;
    k::Field fields[2];
    const std::size_t count = names[1].get() != Py_None ? 2 : 1;
    for (std::size_t j = 0; j < count; ++j)
        if (!rec.field(names[j].get(), &fields[j]) || fields[j].kind == k::FieldKind::Float) return false;
    __int128 maxima[2] = {0, 0};
    {
        ReleaseGil nogil(rec.size() >= kReleaseGilEvents);
        k::column_maxima(fields, count, static_cast<std::size_t>(rec.size()), maxima);
    }
    Ref one = integer(1);
    *width = new_ref(PyNumber_Add(wide_int(maxima[0]).get(), one.get()));
    *height = count == 2 ? new_ref(PyNumber_Add(wide_int(maxima[1]).get(), one.get())) : integer(1);
    return true;
}

Ref detect_sensor_size(Call& c) {
    PyObject* events = c[0];
    Ref names[4];
    event_fields(c, events, names);
    if (names[0].get() == Py_None) {
        Ref d = integer(128);
        return tuple_of({d.get(), d.get()});
    }
    Ref width, height;
    if (length(events) > 0 && extents_direct(events, names, &width, &height))
        return tuple_of({width.get(), height.get()});
    width = length(events) > 0 ? extent(events, names[0].get()) : integer(128);
    if (names[1].get() != Py_None)
        height = length(events) > 0 ? extent(events, names[1].get()) : integer(128);
    else
        height = integer(1);
    return tuple_of({width.get(), height.get()});
}

// --- _events_to_frames_numpy -------------------------------------------------

constexpr const char kFramesNumpyDoc[] =
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
    event_fields(c, events, names);
    if (names[2].get() == Py_None || names[0].get() == Py_None)
        raise(PyExc_ValueError, "Events must have time and x coordinate fields");
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

constexpr const char kFramesTonicDoc[] =
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
    event_fields(c, events, names);
    if (names[2].get() == Py_None || names[0].get() == Py_None)
        raise(PyExc_ValueError, "Events must have time and x coordinate fields");
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

constexpr const char kEventsToFramesDoc[] =
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

constexpr const char kEventsToGridDoc[] =
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

// frames[:, channel]
Ref channel_of(PyObject* frames, long channel) {
    Ref all = new_ref(PySlice_New(nullptr, nullptr, nullptr));
    Ref ch = integer(channel);
    Ref key = tuple_of({all.get(), ch.get()});
    return item(frames, key.get());
}

// np.maximum(x.max(axis=(1, 2), keepdims=True), 1)
Ref frame_peaks(PyObject* np, PyObject* x) {
    Ref max = attr(x, kMax);
    Ref one = integer(1), two = integer(2);
    Ref axes = tuple_of({one.get(), two.get()});
    Ref peaks = call_kw(max.get(), {}, {{&kAxis, axes.get()}, {&kKeepdims, Py_True}});
    return np_call(np, kMaximum, peaks.get(), one.get());
}

// target[:, :, :, channel] = np.clip(x / scale * 255, 0, 255).astype(np.uint8)
void paint(PyObject* np, PyObject* target, long channel, PyObject* x, PyObject* scale) {
    Ref q = new_ref(PyNumber_TrueDivide(x, scale));
    Ref k255 = integer(255), zero = integer(0);
    q = new_ref(PyNumber_Multiply(q.get(), k255.get()));
    q = np_call(np, kClip, q.get(), zero.get(), k255.get());
    Ref u8 = attr(np, kUint8);
    q = call_method(q.get(), kAstype, u8.get());
    Ref all = new_ref(PySlice_New(nullptr, nullptr, nullptr));
    Ref ch = integer(channel);
    Ref key = tuple_of({all.get(), all.get(), all.get(), ch.get()});
    check(PyObject_SetItem(target, key.get(), q.get()));
}

// A float32 array's planes as the colouring kernel reads them: arr[:, channel] of a
// row-major (n, channels, h, w) array. False for anything else.
bool float_planes(BufferView& view, PyObject* arr, Py_ssize_t n, Py_ssize_t channels, Py_ssize_t h,
                  Py_ssize_t w) {
    if (!g_ndarray || Py_TYPE(arr) != reinterpret_cast<PyTypeObject*>(g_ndarray)) return false;
    if (!view.acquire(arr, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS)) return false;
    const Py_buffer& v = view.view();
    if (!v.format || std::strcmp(v.format, "f") != 0 || v.itemsize != 4) return false;
    if (v.ndim == 4)
        return v.shape[0] == n && v.shape[1] == channels && v.shape[2] == h && v.shape[3] == w;
    return channels == 1 && v.ndim == 3 && v.shape[0] == n && v.shape[1] == h && v.shape[2] == w;
}

// Colours a row-major float32 (n, channels, h, w) stack into the zero-filled uint8
// (n, h, w, 3) array rgb; false when rgb is not one or a value is not finite.
bool colour_direct(PyObject* rgb, const BufferView& frames, Py_ssize_t n, Py_ssize_t channels,
                  Py_ssize_t plane, bool shared_scale) {
    BufferView out;
    if (!output_view(out, rgb, "B", n * plane * 3)) return false;
    const float* base = static_cast<const float*>(frames.view().buf);
    k::Planes on{base, channels * plane};
    k::Planes off{channels >= 2 ? base + plane : nullptr, channels * plane};
    k::Status status;
    {
        ReleaseGil nogil(n * plane >= kReleaseGilEvents);
        status = k::colour_frames(on, off, static_cast<std::size_t>(n), static_cast<std::size_t>(plane),
                                  shared_scale, static_cast<unsigned char*>(out.view().buf));
    }
    return status == k::Status::Ok;
}

// The (n, h, w) sizes as exact non-negative ints, or false.
bool sizes_of(std::initializer_list<PyObject*> values, Py_ssize_t* out) {
    for (PyObject* v : values) {
        long long x = 0;
        if (!exact_int64(v, &x) || x < 0 || x > (1LL << 40)) return false;
        *out++ = static_cast<Py_ssize_t>(x);
    }
    return true;
}

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

constexpr const char kEventsToRasterDoc[] =
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

Ref raster_direct(PyObject* np, PyObject* events, Ref names[4], PyObject* width, PyObject* n_neurons,
                  PyObject* time_bins) {
    RecordArray rec;
    k::EventColumns cols;
    long long w = 0, neurons = 0;
    if (!rec.open(events) || !open_columns(rec, names, false, &cols)) return Ref();
    if (!exact_int64(width, &w) || w < std::numeric_limits<std::int32_t>::min() ||
        w > std::numeric_limits<std::int32_t>::max())
        return Ref();
    if (!exact_int64(n_neurons, &neurons) || neurons < 0) return Ref();
    const std::size_t n = static_cast<std::size_t>(rec.size());
    k::TimeBins tb;
    if (!time_bins_of(time_bins, cols.t, n, &tb)) return Ref();
    Ref shape = tuple_of({time_bins, n_neurons});
    Ref raster = np_zeros(np, shape.get(), kFloat32);
    BufferView out;
    if (!output_view(out, raster.get(), "f", static_cast<Py_ssize_t>(tb.bins * neurons))) return Ref();
    {
        ReleaseGil nogil(static_cast<Py_ssize_t>(n) >= kReleaseGilEvents);
        k::bin_raster(cols, n, tb, static_cast<std::int32_t>(w), neurons, static_cast<float*>(out.view().buf));
    }
    return raster;
}

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
    Ref sensor_size = call(detect.get(), events);
    Ref width, height;
    width_height(sensor_size.get(), &width, &height);
    const bool has_y = truthy(names[1].get());
    if (n_neurons.get() == Py_None) {
        n_neurons = has_y ? new_ref(PyNumber_Multiply(width.get(), height.get())) : width.copy();
        n_neurons = expect_int(std::move(n_neurons), false);
    }
    Ref raster = raster_direct(np.get(), events, names, width.get(), n_neurons.get(), time_bins);
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

// --- _encode_image_base64 ------------------------------------------------------

constexpr const char kEncodeImageDoc[] =
    "Encode an image array as base64 PNG text (no data-URL prefix).\n\n"
    "Pillow is imported at every call. A non-uint8 image is taken to lie in 0..1\n"
    "and becomes (img * 255).astype(uint8), unclipped.\n\n"
    "Args:\n"
    "    img: an image array, normally an RGB frame of shape (H, W, 3).\n\n"
    "Returns:\n"
    "    The base64 text of the PNG file.\n\n"
    "Raises:\n"
    "    ImportError when Pillow is missing (the original error as context);\n"
    "    Pillow's and NumPy's errors.";

const char kPillowMissing[] =
    "Pillow is required for spike visualization but was not found. This is a required "
    "dependency of nivra-viz. Install with: pip install pillow>=9.0";

// `from <module> import <name>` at call time; raises on error.
Ref import_name(Call& c, const char* module, const char* name) {
    Ref mod_name = str(module);
    Ref item_name = str(name);
    Ref fromlist = tuple_of({item_name.get()});
    Ref mod = new_ref(PyImport_ImportModuleLevelObject(mod_name.get(), c.module().dict(), nullptr,
                                                       fromlist.get(), 0));
    PyObject* value = PyObject_GetAttr(mod.get(), item_name.get());
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        raise(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    }
    return Ref::steal(value);
}

// The image string of an (H, W, 3) uint8 row-major ndarray (the images this module
// makes), written by the PNG kernel with the interpreter lock released; an empty
// Ref for any other image, which then takes Pillow's road. Same pixels either way.
Ref png_base64_direct(PyObject* img) {
    if (!g_ndarray || Py_TYPE(img) != reinterpret_cast<PyTypeObject*>(g_ndarray)) return Ref();
    BufferView view;
    if (!view.acquire(img, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return Ref();
    const Py_buffer& v = view.view();
    if (v.ndim != 3 || v.shape[2] != 3 || v.itemsize != 1 || !v.format || std::strcmp(v.format, "B") != 0)
        return Ref();
    const auto height = static_cast<std::size_t>(v.shape[0]), width = static_cast<std::size_t>(v.shape[1]);
    const std::size_t bound = k::png_rgb8_bound(width, height);
    if (bound == 0) return Ref();  // empty, or too large for one chunk
    std::unique_ptr<unsigned char[]> png(new unsigned char[bound]);
    std::size_t n = 0;
    {
        ReleaseGil nogil;
        n = k::png_encode_rgb8(static_cast<const unsigned char*>(v.buf), width, height, png.get());
    }
    if (n == 0) throw std::bad_alloc();
    const std::size_t len = k::base64_length(n);
    Ref text = new_ref(PyUnicode_New(static_cast<Py_ssize_t>(len), 127));
    bool done;
    {
        ReleaseGil nogil(n >= (1 << 16));
        done = k::base64_encode(png.get(), n, static_cast<char*>(PyUnicode_DATA(text.get())), len);
    }
    if (!done) raise(PyExc_SystemError, "base64 text length differs from its plan");
    return text;
}

const Name kFromarray("fromarray"), kSave("save"), kFormat("format"), kBytesIO("BytesIO");
const Name kGetvalue("getvalue"), kB64encode("b64encode"), kDecode("decode");

Ref encode_image_base64(Call& c) {
    Ref image_module;
    try {
        image_module = import_name(c, "PIL", "Image");
    } catch (PythonError& e) {
        if (!e.exc || !PyErr_GivenExceptionMatches(e.exc.get(), PyExc_ImportError)) throw;
        PyErr_SetString(PyExc_ImportError, kPillowMissing);
        PythonError replaced;
        PyException_SetContext(replaced.exc.get(), e.exc.release());
        throw replaced;
    }
    Ref img = c.take(0);
    if (Ref text = png_base64_direct(img.get())) return text;
    Ref np = c.global(kNp);
    Ref dtype = attr(img.get(), kDtype);
    Ref u8 = attr(np.get(), kUint8);
    if (compare(dtype.get(), u8.get(), Py_NE)) {
        Ref k255 = integer(255);
        Ref scaled = new_ref(PyNumber_Multiply(img.get(), k255.get()));
        img = call_method(scaled.get(), kAstype, u8.get());
    }
    Ref fromarray = attr(image_module.get(), kFromarray);
    Ref pil_img = call(fromarray.get(), img.get());
    Ref io = c.global(kIo);
    Ref bytes_io = attr(io.get(), kBytesIO);
    Ref buffer = call(bytes_io.get());
    Ref save = attr(pil_img.get(), kSave);
    Ref png = str("PNG");
    call_kw(save.get(), {buffer.get()}, {{&kFormat, png.get()}});
    Ref raw = call_method(buffer.get(), kGetvalue);
    Ref b64 = c.global(kBase64);
    Ref encoded = np_call(b64.get(), kB64encode, raw.get());
    Ref utf8 = str("utf-8");
    return call_method(encoded.get(), kDecode, utf8.get());
}

// [fn(img) for img in images], fn being the module's _encode_image_base64.
Ref encode_each(Call& c, PyObject* images) {
    Ref out = new_list();
    Ref it = new_ref(PyObject_GetIter(images));
    while (Ref img = Ref::steal(PyIter_Next(it.get()))) {
        Ref fn = c.global(kEncodeImage);
        Ref text = call(fn.get(), img.get());
        append(out.get(), text.get());
    }
    throw_if_error();
    return out;
}

// [fn(stack[i]) for i in range(count)].
Ref encode_range(Call& c, PyObject* stack, PyObject* count) {
    Ref range = new_ref(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyRange_Type), count));
    Ref out = new_list();
    Ref it = new_ref(PyObject_GetIter(range.get()));
    while (Ref i = Ref::steal(PyIter_Next(it.get()))) {
        Ref fn = c.global(kEncodeImage);
        Ref img = item(stack, i.get());
        Ref text = call(fn.get(), img.get());
        append(out.get(), text.get());
    }
    throw_if_error();
    return out;
}

// --- ON/OFF colouring ----------------------------------------------------------

// The colouring of the event document and the frame view: one scale per frame,
// max(peak ON, peak OFF, 1), shared by blue (ON) and red (OFF). `source` is the
// stack on_all and off_all were sliced from, with `channels` channels (1: OFF is all
// zeros); row-major float32 stacks are coloured by the kernel, anything else by
// the NumPy steps. Returns the new (n, h, w, 3) uint8 stack.
Ref colour_on_off(PyObject* np, PyObject* source, PyObject* on_all, PyObject* off_all, PyObject* n,
                  PyObject* height, PyObject* width) {
    Ref three = integer(3);
    Ref shape = tuple_of({n, height, width, three.get()});
    Py_ssize_t dims[3];
    BufferView view;
    if (source && sizes_of({n, height, width}, dims) && dims[1] * dims[2] > 0) {
        Ref src_shape = attr(source, kShape);
        const Py_ssize_t channels =
            PyTuple_Check(src_shape.get()) && PyTuple_GET_SIZE(src_shape.get()) == 4
                ? PyLong_AsSsize_t(PyTuple_GET_ITEM(src_shape.get(), 1))
                : 1;
        throw_if_error();
        if (channels >= 1 && float_planes(view, source, dims[0], channels, dims[1], dims[2])) {
            Ref rgb = np_zeros(np, shape.get(), kUint8);
            if (colour_direct(rgb.get(), view, dims[0], channels, dims[1] * dims[2], true)) return rgb;
        }
    }
    Ref max_on = frame_peaks(np, on_all);
    Ref max_off = frame_peaks(np, off_all);
    Ref max_val = np_call(np, kMaximum, max_on.get(), max_off.get());
    Ref rgb = np_zeros(np, shape.get(), kUint8);
    paint(np, rgb.get(), 2, on_all, max_val.get());
    paint(np, rgb.get(), 0, off_all, max_val.get());
    return rgb;
}

// --- serialize_events -------------------------------------------------------------

constexpr const char kSerializeEventsDoc[] =
    "Build the event document that the spike page shows.\n\n"
    "Keys, in order: event_count, duration_us (last minus first timestamp, 0\n"
    "when empty or without a time field), sensor_size, grid_frames (one PNG per\n"
    "grid bin), animation_frames (one PNG per frame, ON blue and OFF red on one\n"
    "scale per frame) and raster (lists of counts, neurons limited to\n"
    "min(sensor neurons, max_raster_neurons)).\n\n"
    "Args:\n"
    "    events: an event array.\n"
    "    sensor_size: (width, height), or None to detect it.\n"
    "    n_frames: animation frames.\n"
    "    n_grid_bins: grid images.\n"
    "    raster_time_bins: raster rows.\n"
    "    max_raster_neurons: the most raster columns.\n\n"
    "Returns:\n"
    "    The event document, a new dict of JSON-ready values.\n\n"
    "Raises:\n"
    "    The errors of the binning functions, of NumPy and of Pillow.";

const Name kEventCount("event_count"), kDurationUs("duration_us"), kGridFrames("grid_frames");
const Name kAnimationFrames("animation_frames"), kRaster("raster");

// int(events[t].max() - events[t].min()), the minimum taken first.
Ref duration_of(PyObject* events, PyObject* t_field) {
    RecordArray rec;
    k::Field t;
    if (rec.open(events) && rec.size() > 0 && rec.field(t_field, &t) &&
        (t.kind == k::FieldKind::Int || t.kind == k::FieldKind::UInt)) {
        k::TimeBins tb;
        {
            ReleaseGil nogil(rec.size() >= kReleaseGilEvents);
            k::time_bounds(t, static_cast<std::size_t>(rec.size()), &tb);
        }
        // The difference of two array scalars of the field's type wraps in that type.
        const unsigned bits = 8u * t.size;
        std::uint64_t diff = static_cast<std::uint64_t>(tb.int_max) - static_cast<std::uint64_t>(tb.int_min);
        if (bits < 64) diff &= (std::uint64_t{1} << bits) - 1;
        if (t.kind == k::FieldKind::Int) {
            std::int64_t v = static_cast<std::int64_t>(diff << (64 - bits)) >> (64 - bits);
            return integer(v);
        }
        return new_ref(PyLong_FromUnsignedLongLong(diff));
    }
    Ref col = item(events, t_field);
    Ref t_min = call_method(col.get(), kMin);
    col = item(events, t_field);
    Ref t_max = call_method(col.get(), kMax);
    Ref diff = new_ref(PyNumber_Subtract(t_max.get(), t_min.get()));
    return new_ref(PyNumber_Long(diff.get()));
}

Ref serialize_events(Call& c) {
    PyObject* events = c[0];
    Ref sensor_size = sensor_size_or_detected(c, 1, events);
    PyObject* n_frames = c[2];
    PyObject* n_grid_bins = c[3];
    PyObject* raster_time_bins = c[4];
    PyObject* max_raster_neurons = c[5];

    Ref names[4];
    event_fields(c, events, names);
    const Py_ssize_t event_count = length(events);
    Ref duration = integer(0);
    if (event_count > 0 && truthy(names[2].get())) duration = duration_of(events, names[2].get());

    Ref to_grid = c.global(kEventsToGrid);
    Ref grid = call_kw(to_grid.get(), {events, sensor_size.get()}, {{&kNBins, n_grid_bins}});
    Ref grid_frames = encode_each(c, grid.get());

    Ref to_frames = c.global(kEventsToFrames);
    Ref frames = call_kw(to_frames.get(), {events, sensor_size.get()}, {{&kNFrames, n_frames}});
    Ref on_all = channel_of(frames.get(), 0);
    Ref off_all = channel_of(frames.get(), 1);
    Ref one = integer(1), zero = integer(0);
    Ref height = item(sensor_size.get(), one.get());
    Ref width = item(sensor_size.get(), zero.get());
    Ref np = c.global(kNp);
    Ref all_rgb = colour_on_off(np.get(), frames.get(), on_all.get(), off_all.get(), n_frames, height.get(), width.get());
    Ref animation_frames = encode_range(c, all_rgb.get(), n_frames);

    Ref w, h;
    width_height(sensor_size.get(), &w, &h);
    Ref total = truthy(names[1].get()) ? new_ref(PyNumber_Multiply(w.get(), h.get())) : w.copy();
    Ref raster_neurons = compare(max_raster_neurons, total.get(), Py_LT) ? Ref::borrow(max_raster_neurons)
                                                                          : std::move(total);
    Ref to_raster = c.global(kEventsToRaster);
    Ref raster = call_kw(to_raster.get(), {events},
                         {{&kNNeurons, raster_neurons.get()}, {&kTimeBins, raster_time_bins}});
    Ref raster_list = call_method(raster.get(), kTolist);

    Ref doc = new_dict();
    Ref count = integer(event_count);
    set_item(doc.get(), kEventCount, count.get());
    set_item(doc.get(), kDurationUs, duration.get());
    set_item(doc.get(), kSensorSize, sensor_size.get());
    set_item(doc.get(), kGridFrames, grid_frames.get());
    set_item(doc.get(), kAnimationFrames, animation_frames.get());
    set_item(doc.get(), kRaster, raster_list.get());
    return doc;
}

// --- _load_template, _html_escape, _render_spike_html -----------------------------

constexpr const char kLoadTemplateDoc[] =
    "Read a template from the 'templates' directory beside this module.\n\n"
    "Args:\n"
    "    name: file name, joined to the directory as given.\n\n"
    "Returns:\n"
    "    The file's text, read as UTF-8.\n\n"
    "Raises:\n"
    "    OSError (FileNotFoundError) and UnicodeDecodeError from reading.";

const Name kEncoding("encoding");

Ref load_template(Call& c) {
    Ref path_type = c.global(kPath);
    Ref file = c.global(kFile);
    Ref dir = templates_beside(path_type.get(), file.get());
    Ref path = new_ref(PyNumber_TrueDivide(dir.get(), c[0]));
    return read_text_utf8(path.get());
}

constexpr const char kHtmlEscapeDoc[] =
    "Escape text for HTML: & < > \" ' become &amp; &lt; &gt; &quot; &#x27;.\n\n"
    "'&' goes first, so entities already in the text are escaped once more.\n\n"
    "Args:\n"
    "    text: the text.\n\n"
    "Returns:\n"
    "    The escaped text.";

Ref html_escape(Call& c) { return escape_html(c.take(0)); }

constexpr const char kRenderSpikeHtmlDoc[] =
    "Fill the spike page template with a title and an event document.\n\n"
    "The template is 'spikes.html' in string.Template syntax: $title receives\n"
    "the escaped title, $data_json the document as json.dumps text; the\n"
    "substitution is strict.\n\n"
    "Args:\n"
    "    data: the event document.\n"
    "    title: the page title.\n\n"
    "Returns:\n"
    "    The page text.\n\n"
    "Raises:\n"
    "    TypeError from json.dumps; OSError reading the template; KeyError or\n"
    "    ValueError for a template with other placeholders or a stray '$'.";

const Name kDumps("dumps"), kSubstitute("substitute"), kTitle("title"), kDataJson("data_json");

Ref render_spike_html(Call& c) {
    Ref template_type = import_name(c, "string", "Template");
    Ref escape = c.global(kHtmlEscape);
    Ref safe_title = call(escape.get(), c[1]);
    Ref json = c.global(kJson);
    Ref data_json = np_call(json.get(), kDumps, c[0]);
    Ref load = c.global(kLoadTemplate);
    Ref name = str("spikes.html");
    Ref template_str = call(load.get(), name.get());
    Ref tmpl = call(template_type.get(), template_str.get());
    Ref substitute = attr(tmpl.get(), kSubstitute);
    return call_kw(substitute.get(), {}, {{&kTitle, safe_title.get()}, {&kDataJson, data_json.get()}});
}

// --- writing pages -------------------------------------------------------------

const Name kNamedTemporaryFile("NamedTemporaryFile"), kMode("mode"), kSuffix("suffix"), kDelete("delete");
const Name kEnter("__enter__"), kExit("__exit__"), kWrite("write"), kName_("name"), kOpen("open");

// Writes the page to a new temporary ".html" file (kept after closing), asks the
// browser to open it and returns its path. Pages are written as UTF-8, the
// encoding they declare.
Ref write_temp_and_open(Call& c, PyObject* html) {
    Ref tempfile = c.global(kTempfile);
    Ref ntf = attr(tempfile.get(), kNamedTemporaryFile);
    Ref w = str("w"), suffix = str(".html"), utf8 = str("utf-8");
    Ref file = call_kw(ntf.get(), {}, {{&kMode, w.get()}, {&kSuffix, suffix.get()}, {&kDelete, Py_False},
                                       {&kEncoding, utf8.get()}});
    Ref exit = attr(file.get(), kExit);
    Ref f = call_method(file.get(), kEnter);
    Ref path;
    try {
        call_method(f.get(), kWrite, html);
        path = attr(f.get(), kName_);
    } catch (PythonError& e) {
        // `with` semantics: __exit__ sees the error; the error goes on unless it is swallowed.
        PyObject* exc = e.exc.get();
        Ref type = Ref::borrow(exc ? reinterpret_cast<PyObject*>(Py_TYPE(exc)) : Py_None);
        Ref tb = exc ? Ref::steal(PyException_GetTraceback(exc)) : Ref();
        Ref swallowed = call(exit.get(), type.get(), exc ? exc : Py_None, tb ? tb.get() : Py_None);
        if (!truthy(swallowed.get())) throw;
        raise(PyExc_UnboundLocalError, "cannot access local variable 'path' where it is not associated with a value");
    }
    call(exit.get(), Py_None, Py_None, Py_None);
    Ref browser = c.global(kWebbrowser);
    Ref empty = str("");
    Ref shown = new_ref(PyObject_Format(path.get(), empty.get()));
    Ref url = new_ref(PyUnicode_FromFormat("file://%U", shown.get()));
    Ref open = attr(browser.get(), kOpen);
    call(open.get(), url.get());
    return path;
}

// serialize_events(events, sensor_size, **kwargs), then the page with `title`.
Ref page_of(Call& c, PyObject* events, PyObject* sensor_size, PyObject* title) {
    Ref serialize = c.global(kSerializeEvents);
    Ref args = tuple_of({events, sensor_size});
    Ref kwargs = new_ref(PyDict_Copy(c.kwargs()));
    Ref data = new_ref(PyObject_Call(serialize.get(), args.get(), kwargs.get()));
    Ref render = c.global(kRenderSpikeHtml);
    return call_kw(render.get(), {data.get()}, {{&kTitle, title}});
}

constexpr const char kPlotEventsDoc[] =
    "Show events on the spike page in the web browser.\n\n"
    "The page goes to a new temporary '.html' file (UTF-8) that is left in place\n"
    "for the browser; further keyword arguments go to serialize_events.\n\n"
    "Args:\n"
    "    events: an event array.\n"
    "    sensor_size: (width, height), or None to detect it.\n"
    "    title: the page title.\n"
    "    **kwargs: n_frames, n_grid_bins, raster_time_bins, max_raster_neurons.\n\n"
    "Returns:\n"
    "    The path of the temporary file.\n\n"
    "Raises:\n"
    "    The errors of serialize_events (before any file is made) and of\n"
    "    rendering and writing.";

Ref plot_events(Call& c) {
    Ref html = page_of(c, c[0], c[1], c[2]);
    return write_temp_and_open(c, html.get());
}

constexpr const char kExportEventsHtmlDoc[] =
    "Write the spike page of events to a file.\n\n"
    "The file is written as UTF-8, replacing an existing one; no directory is\n"
    "made and no suffix added.\n\n"
    "Args:\n"
    "    events: an event array.\n"
    "    output_path: a str or path object.\n"
    "    sensor_size: (width, height), or None to detect it.\n"
    "    title: the page title.\n"
    "    **kwargs: n_frames, n_grid_bins, raster_time_bins, max_raster_neurons.\n\n"
    "Returns:\n"
    "    str(Path(output_path)).\n\n"
    "Raises:\n"
    "    The errors of serialize_events, rendering, Path() and writing.";

Ref export_events_html(Call& c) {
    Ref html = page_of(c, c[0], c[2], c[3]);
    Ref path_type = c.global(kPath);
    Ref path = call(path_type.get(), c[1]);
    write_text_utf8(path.get(), html.get());
    return new_ref(PyObject_Str(path.get()));
}

// --- plot_frames -----------------------------------------------------------------

constexpr const char kPlotFramesDoc[] =
    "Show precomputed frames on the spike page in the web browser.\n\n"
    "(T, H, W) arrays are single-channel (ON only); (T, C, H, W) arrays use\n"
    "channel 0 as ON and channel 1 (when C >= 2) as OFF. The document has no\n"
    "events and an empty raster; its grid is the first five frames.\n\n"
    "Args:\n"
    "    frames: the frame array.\n"
    "    title: the page title.\n\n"
    "Returns:\n"
    "    The path of the temporary '.html' file.\n\n"
    "Raises:\n"
    "    ValueError for arrays that are not 3-D or 4-D; IndexError for zero\n"
    "    channels; the errors of the image encoder, rendering and writing.";

Ref plot_frames(Call& c) {
    Ref frames = c.take(0);
    Ref np = c.global(kNp);
    Ref ndim = attr(frames.get(), kNdim);
    Ref three = integer(3);
    if (compare(ndim.get(), three.get(), Py_EQ)) {
        Ref all = new_ref(PySlice_New(nullptr, nullptr, nullptr));
        Ref newaxis = attr(np.get(), kNewaxis);
        Ref key = tuple_of({all.get(), newaxis.get(), all.get(), all.get()});
        frames = item(frames.get(), key.get());
    }
    Ref shape = attr(frames.get(), kShape);
    Ref dims[4];
    unpack(shape.get(), dims, 4);
    Ref on_all = channel_of(frames.get(), 0);
    Ref two = integer(2);
    Ref off_all = compare(dims[1].get(), two.get(), Py_GE) ? channel_of(frames.get(), 1)
                                                          : np_call(np.get(), kZerosLike, on_all.get());
    Ref source = c.take(0);  // the caller's array: row-major float32 stacks are coloured directly
    Ref all_rgb = colour_on_off(np.get(), source.get(), on_all.get(), off_all.get(), dims[0].get(),
                                dims[2].get(), dims[3].get());
    Ref animation_frames = encode_range(c, all_rgb.get(), dims[0].get());

    Ref doc = new_dict();
    Ref zero = integer(0);
    set_item(doc.get(), kEventCount, zero.get());
    set_item(doc.get(), kDurationUs, zero.get());
    Ref size = tuple_of({dims[3].get(), dims[2].get()});
    set_item(doc.get(), kSensorSize, size.get());
    Ref first = new_ref(PyList_GetSlice(animation_frames.get(), 0, 5));
    set_item(doc.get(), kGridFrames, first.get());
    set_item(doc.get(), kAnimationFrames, animation_frames.get());
    Ref no_raster = new_list();
    set_item(doc.get(), kRaster, no_raster.get());

    Ref render = c.global(kRenderSpikeHtml);
    Ref html = call_kw(render.get(), {doc.get()}, {{&kTitle, c[1]}});
    return write_temp_and_open(c, html.get());
}

// --- _bin_events_into ------------------------------------------------------------

constexpr const char kBinEventsIntoDoc[] =
    "Add the counts of a chunk of events into a frame stack or a raster.\n\n"
    "Binning a recording chunk by chunk into the same arrays, with t_min and\n"
    "t_max taken over the whole recording, gives the counts of binning it whole\n"
    "(events_to_frames without Tonic, events_to_raster): the time bins come from\n"
    "the given span, and counts only add up.\n\n"
    "Args:\n"
    "    events: a 1-D NumPy record array with time and x fields of plain numbers.\n"
    "    out: float32 row-major array: (bins, 2, height, width) frames, or\n"
    "        (bins, n_neurons) raster when raster_width is given.\n"
    "    t_min: the smallest timestamp of the whole recording.\n"
    "    t_max: the largest timestamp of the whole recording.\n"
    "    raster_width: the raster's detected sensor width (neuron = y * width + x).\n\n"
    "Raises:\n"
    "    ValueError 'Events must have time and x coordinate fields'; TypeError\n"
    "    when events or out are not arrays of that kind.";

// The time bins of a whole recording from its bounds: exact ints keep the exact
// integer bounds too (the kernels' shortcut for integer times), anything else
// goes through float().
k::TimeBins span_of(PyObject* t_min, PyObject* t_max, Py_ssize_t bins) {
    k::TimeBins tb;
    long long lo = 0, hi = 0;
    if (exact_int64(t_min, &lo) && exact_int64(t_max, &hi) && lo <= hi) {
        tb.has_int_bounds = true;
        tb.int_min = lo;
        tb.int_max = hi;
        tb.t_min = static_cast<double>(lo);
        tb.t_max = static_cast<double>(hi);
    } else {
        tb.t_min = PyFloat_AsDouble(t_min);
        tb.t_max = PyFloat_AsDouble(t_max);
        throw_if_error();
    }
    double range = tb.t_max - tb.t_min;
    if (1e-9 > range) range = 1e-9;
    tb.t_range = range;
    tb.scale = static_cast<double>(bins) - 0.001;
    tb.bins = static_cast<std::int32_t>(bins);
    return tb;
}

Ref bin_events_into(Call& c) {
    PyObject* events = c[0];
    PyObject* out = c[1];
    PyObject* raster_width = c[4];
    const bool raster = raster_width != Py_None;
    Ref names[4];
    event_fields(c, events, names);
    if (names[2].get() == Py_None || names[0].get() == Py_None)
        raise(PyExc_ValueError, "Events must have time and x coordinate fields");
    RecordArray rec;
    k::EventColumns cols;
    if (!rec.open(events) || !open_columns(rec, names, !raster, &cols))
        raise(PyExc_TypeError, "events must be a 1-D NumPy record array with plain number fields");
    BufferView view;
    if (!g_ndarray || Py_TYPE(out) != reinterpret_cast<PyTypeObject*>(g_ndarray) ||
        !view.acquire(out, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS))
        raise(PyExc_TypeError, "out must be a writable, row-major float32 NumPy array");
    const Py_buffer& v = view.view();
    const bool shape_ok = raster ? v.ndim == 2 : (v.ndim == 4 && v.shape[1] == 2);
    if (!v.format || std::strcmp(v.format, "f") != 0 || v.itemsize != 4 || !shape_ok)
        raise(PyExc_TypeError, raster ? "out must be a float32 (bins, n_neurons) array"
                                      : "out must be a float32 (bins, 2, height, width) array");
    const Py_ssize_t bins = v.shape[0];
    if (bins < 1 || bins > std::numeric_limits<std::int32_t>::max())
        raise(PyExc_ValueError, "out must hold 1 to 2**31 - 1 bins");
    long long width = 0;
    if (raster && (!exact_int64(raster_width, &width) || width < std::numeric_limits<std::int32_t>::min() ||
                   width > std::numeric_limits<std::int32_t>::max()))
        raise(PyExc_ValueError, "raster_width must fit in 32 bits");
    const std::size_t n = static_cast<std::size_t>(rec.size());
    if (n == 0) return none();
    const k::TimeBins tb = span_of(c[2], c[3], bins);
    float* data = static_cast<float*>(v.buf);
    {
        ReleaseGil nogil(static_cast<Py_ssize_t>(n) >= kReleaseGilEvents);
        if (raster)
            k::bin_raster(cols, n, tb, static_cast<std::int32_t>(width), v.shape[1], data);
        else
            k::bin_frames(cols, n, tb, v.shape[3], v.shape[2], data);
    }
    return none();
}

// --- module ------------------------------------------------------------------

// `try: <import> except ImportError: ...`: true when the import worked; an error
// that is not an ImportError propagates.
bool try_import(void (*step)(Module&), Module& m) {
    try {
        step(m);
        return true;
    } catch (PythonError& e) {
        if (!e.exc || !PyErr_GivenExceptionMatches(e.exc.get(), PyExc_ImportError)) throw;
        return false;
    }
}

// `from PIL import Image as _PILImage`.
void bind_pil_image(Module& m) {
    Ref name = str("PIL");
    Ref fromlist = new_list();
    Ref image_name = str("Image");
    append(fromlist.get(), image_name.get());
    Ref pil = new_ref(PyImport_ImportModuleLevelObject(name.get(), m.dict(), nullptr, fromlist.get(), 0));
    PyObject* image = PyObject_GetAttr(pil.get(), image_name.get());
    if (!image) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        raise(PyExc_ImportError, "cannot import name 'Image' from 'PIL'");
    }
    Ref owned = Ref::steal(image);
    m.set("_PILImage", owned.get());
}

void body(Module& m) {
    for (const char* name : {"base64", "io", "json", "tempfile", "webbrowser"}) m.import_as(name, name);
    m.import_from("pathlib", {"Path"});
    m.import_from("typing", {"Any", "Dict", "List", "Optional", "Tuple", "Union"});
    Ref np = m.import_as("numpy", "np");
    Ref ndarray = attr(np.get(), Name("ndarray"));
    Ref memmap = attr(np.get(), Name("memmap"));
    g_ndarray = ndarray.release();  // kept for the life of the process
    g_memmap = memmap.release();

    const bool tonic = try_import(
        [](Module& mod) {
            mod.import_as("tonic", "tonic");
            Ref top = mod.import("tonic.transforms");
            mod.set("tonic", top.get());
        },
        m);
    if (!tonic) m.set("tonic", Py_None);
    m.set("TONIC_AVAILABLE", tonic ? Py_True : Py_False);

    const bool pil = try_import([](Module& mod) { bind_pil_image(mod); }, m);
    m.set("PIL_AVAILABLE", pil ? Py_True : Py_False);
}

}  // namespace

namespace {

const Def kDefs[] = {
    NIVRA_DEF("_get_event_fields(events: np.ndarray) -> Tuple[str, str, str, str]", get_event_fields,
              kGetEventFieldsDoc),
    NIVRA_DEF("_detect_sensor_size(events: np.ndarray) -> Tuple[int, int]", detect_sensor_size,
              kDetectSensorSizeDoc),
    NIVRA_DEF("_events_to_frames_numpy(events: np.ndarray, tuple sensor_size: Tuple[int, int], "
              "int n_frames: int, bool accumulate: bool) -> np.ndarray",
              events_to_frames_numpy, kFramesNumpyDoc),
    NIVRA_DEF("_events_to_frames_tonic(events: np.ndarray, tuple sensor_size: Tuple[int, int], "
              "int n_frames: int) -> np.ndarray",
              events_to_frames_tonic, kFramesTonicDoc),
    NIVRA_DEF("events_to_frames(events: np.ndarray, tuple sensor_size: Optional[Tuple[int, int]] = None, "
              "int n_frames: int = 10, bool accumulate: bool = False, "
              "bool use_tonic: Optional[bool] = None) -> np.ndarray",
              events_to_frames, kEventsToFramesDoc),
    NIVRA_DEF("events_to_grid(events: np.ndarray, tuple sensor_size: Optional[Tuple[int, int]] = None, "
              "int n_bins: int = 5) -> np.ndarray",
              events_to_grid, kEventsToGridDoc),
    NIVRA_DEF("events_to_raster(events: np.ndarray, int n_neurons: Optional[int] = None, "
              "int time_bins: int = 100) -> np.ndarray",
              events_to_raster, kEventsToRasterDoc),
    NIVRA_DEF("_encode_image_base64(img: np.ndarray) -> str", encode_image_base64, kEncodeImageDoc),
    NIVRA_DEF("_load_template(str name: str) -> str", load_template, kLoadTemplateDoc),
    NIVRA_DEF("_html_escape(str text: str) -> str", html_escape, kHtmlEscapeDoc),
    NIVRA_DEF("_render_spike_html(dict data: Dict[str, Any], str title: str = 'Spike Visualization') -> str",
              render_spike_html, kRenderSpikeHtmlDoc),
    NIVRA_DEF("serialize_events(events: np.ndarray, tuple sensor_size: Optional[Tuple[int, int]] = None, "
              "int n_frames: int = 20, int n_grid_bins: int = 5, int raster_time_bins: int = 100, "
              "int max_raster_neurons: int = 1000) -> Dict[str, Any]",
              serialize_events, kSerializeEventsDoc),
    NIVRA_DEF("plot_events(events: np.ndarray, tuple sensor_size: Optional[Tuple[int, int]] = None, "
              "str title: str = 'Spike Visualization', **kwargs: Any) -> str",
              plot_events, kPlotEventsDoc),
    NIVRA_DEF("export_events_html(events: np.ndarray, output_path: Union[str, Path], "
              "tuple sensor_size: Optional[Tuple[int, int]] = None, str title: str = 'Spike Visualization', "
              "**kwargs: Any) -> str",
              export_events_html, kExportEventsHtmlDoc),
    NIVRA_DEF("plot_frames(frames: np.ndarray, str title: str = 'Frame Visualization') -> str", plot_frames,
              kPlotFramesDoc),
    NIVRA_DEF("_bin_events_into(events: np.ndarray, out: np.ndarray, t_min: float, t_max: float, "
              "int raster_width: Optional[int] = None) -> None",
              bin_events_into, kBinEventsIntoDoc),
};

constexpr const char kModuleDoc[] =
    "Spike and event visualization for nivra.viz.\n\n"
    "Turns event-camera (and other spike) recordings, given as NumPy structured\n"
    "arrays with x/y/t/p-style fields, into ON/OFF frame stacks, RGB time grids,\n"
    "spike rasters, PNG images and a standalone spike viewer page. Binning runs\n"
    "in one pass over the array's memory; Tonic's ToFrame is used for the frames\n"
    "when it is installed.\n\n"
    "Installation:\n"
    "    pip install nivra-viz            # NumPy and Pillow\n"
    "    pip install 'nivra-viz[tonic]'   # also Tonic's ToFrame\n\n"
    "Usage:\n"
    "    from nivra.viz.spikes import events_to_frames, plot_events, export_events_html\n"
    "    frames = events_to_frames(events, sensor_size=(346, 260), n_frames=20)\n"
    "    export_events_html(events, 'recording.html', title='My recording')\n"
    "    plot_events(events)   # opens the page in the web browser";

}  // namespace

NIVRA_MODULE(spikes, kModuleDoc, body, kDefs)
