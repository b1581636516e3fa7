// viz/spikes/document.cpp: the ON/OFF colouring of count stacks, PNG images and the
// event document that the spike page shows.
#include "spikes.h"
#include "frame/text.h"      // base64_str
#include "kernels/png.h"     // PNG files of RGB images

#include <cstring>
#include <memory>
#include <new>

namespace nivra::spikes {

// --- ON/OFF colouring ----------------------------------------------------------

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

// --- _encode_image_base64 ------------------------------------------------------

const char kEncodeImageDoc[] =
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

namespace {

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
    return base64_str(png.get(), n);
}

}  // namespace

const Name kFromarray("fromarray"), kSave("save"), kFormat("format"), kBytesIO("BytesIO");
const Name kGetvalue("getvalue"), kB64encode("b64encode"), kDecode("decode");

Ref encode_image_base64(Call& c) {
    Ref image_module;
    try {
        image_module = import_from(c.module().dict(), "PIL", "Image");
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

void ImageCount::encoded() {
    ++done;
    report_progress("images", done, done > total ? done : total);
}

// [fn(img) for img in images], fn being the module's _encode_image_base64.
Ref encode_each(Call& c, PyObject* images, ImageCount& count) {
    Ref out = new_list();
    Ref it = new_ref(PyObject_GetIter(images));
    while (Ref img = Ref::steal(PyIter_Next(it.get()))) {
        Ref fn = c.global(kEncodeImage);
        Ref text = call(fn.get(), img.get());
        append(out.get(), text.get());
        count.encoded();
    }
    throw_if_error();
    return out;
}

// [fn(stack[i]) for i in range(n)].
Ref encode_range(Call& c, PyObject* stack, PyObject* n, ImageCount& count) {
    Ref range = new_ref(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyRange_Type), n));
    Ref out = new_list();
    Ref it = new_ref(PyObject_GetIter(range.get()));
    while (Ref i = Ref::steal(PyIter_Next(it.get()))) {
        Ref fn = c.global(kEncodeImage);
        Ref img = item(stack, i.get());
        Ref text = call(fn.get(), img.get());
        append(out.get(), text.get());
        count.encoded();
    }
    throw_if_error();
    return out;
}

Py_ssize_t count_of(PyObject* n) noexcept {
    if (!PyLong_CheckExact(n)) return 0;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(n, &overflow);
    if (v == -1 && PyErr_Occurred()) PyErr_Clear();
    if (overflow > 0 || v > PY_SSIZE_T_MAX / 2) return PY_SSIZE_T_MAX / 2;
    return v > 0 ? static_cast<Py_ssize_t>(v) : 0;
}

// --- serialize_events -------------------------------------------------------------

const char kSerializeEventsDoc[] =
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

namespace {

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

}  // namespace

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

    report_progress("grid", 0, 1);
    Ref to_grid = c.global(kEventsToGrid);
    Ref grid = call_kw(to_grid.get(), {events, sensor_size.get()}, {{&kNBins, n_grid_bins}});
    Py_ssize_t grid_count = PyObject_LengthHint(grid.get(), 0);
    if (grid_count < 0) {  // only the progress total depends on it
        PyErr_Clear();
        grid_count = 0;
    }
    ImageCount images{0, grid_count + count_of(n_frames)};
    Ref grid_frames = encode_each(c, grid.get(), images);

    report_progress("frames", 0, 1);
    Ref to_frames = c.global(kEventsToFrames);
    Ref frames = call_kw(to_frames.get(), {events, sensor_size.get()}, {{&kNFrames, n_frames}});
    Ref on_all = channel_of(frames.get(), 0);
    Ref off_all = channel_of(frames.get(), 1);
    Ref one = integer(1), zero = integer(0);
    Ref height = item(sensor_size.get(), one.get());
    Ref width = item(sensor_size.get(), zero.get());
    Ref np = c.global(kNp);
    Ref all_rgb = colour_on_off(np.get(), frames.get(), on_all.get(), off_all.get(), n_frames, height.get(), width.get());
    Ref animation_frames = encode_range(c, all_rgb.get(), n_frames, images);

    Ref w, h;
    width_height(sensor_size.get(), &w, &h);
    Ref total = truthy(names[1].get()) ? new_ref(PyNumber_Multiply(w.get(), h.get())) : w.copy();
    Ref raster_neurons = compare(max_raster_neurons, total.get(), Py_LT) ? Ref::borrow(max_raster_neurons)
                                                                          : std::move(total);
    report_progress("raster", 0, 1);
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

// --- _frames_document ----------------------------------------------------------------

const char kFramesDocumentDoc[] =
    "Build the event document of precomputed frames (plot_frames' page shows it).\n\n"
    "(T, H, W) arrays are single-channel (ON only); (T, C, H, W) arrays use\n"
    "channel 0 as ON and channel 1 (when C >= 2) as OFF, coloured as the\n"
    "animation of serialize_events. The document has no events and an empty\n"
    "raster; its grid is the first five frames.\n\n"
    "Args:\n"
    "    frames: the frame array.\n\n"
    "Returns:\n"
    "    The event document, a new dict of JSON-ready values.\n\n"
    "Raises:\n"
    "    ValueError for arrays that are not 3-D or 4-D; IndexError for zero\n"
    "    channels; the errors of the image encoder.";

Ref frames_document(Call& c) {
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
    ImageCount images{0, count_of(dims[0].get())};
    Ref animation_frames = encode_range(c, all_rgb.get(), dims[0].get(), images);

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
    return doc;
}

}  // namespace nivra::spikes

namespace nivra::spikes {

// --- _page_images ----------------------------------------------------------------------

const char kPageImagesDoc[] =
    "Colour the grid and frame counts of a page into its image strings.\n\n"
    "Image i of a stack (n, 2, height, width) becomes the PNG of\n"
    "uint8(clip(count / scale * 255, 0, 255)), ON in blue and OFF in red, as\n"
    "serialize_events colours them: the grid with one scale per channel, the\n"
    "frames with one per frame (the larger peak); scales are at least 1. One\n"
    "image's pixels are held at a time; the stacks may be views. Progress is\n"
    "reported as the stage 'images' over both stacks.\n\n"
    "Args:\n"
    "    grid: float32 array of shape (n_grid, 2, height, width).\n"
    "    frames: float32 array of shape (n_frames, 2, height, width).\n\n"
    "Returns:\n"
    "    (grid images, frame images): lists of base64 PNG text, no data-URL prefix.\n\n"
    "Raises:\n"
    "    TypeError for another kind of array; ValueError for values that are\n"
    "    not finite.";

namespace {

const Name kAscontiguousarray("ascontiguousarray");

[[noreturn]] void not_counts() {
    raise(PyExc_TypeError, "counts must be a float32 NumPy array of shape (n, 2, height, width)");
}

// The (n, height, width) of a counts stack; raises for anything else.
void counts_dims(PyObject* counts, Ref dims[4], Py_ssize_t n_hw[3]) {
    if (!g_ndarray || !PyObject_TypeCheck(counts, reinterpret_cast<PyTypeObject*>(g_ndarray))) not_counts();
    Ref shape = attr(counts, kShape);
    if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 4) not_counts();
    unpack(shape.get(), dims, 4);
    Py_ssize_t channels = 0;
    if (!sizes_of({dims[0].get(), dims[2].get(), dims[3].get()}, n_hw) || !sizes_of({dims[1].get()}, &channels) ||
        channels != 2)
        not_counts();
}

Ref images_of(Call& c, PyObject* np, PyObject* counts, Ref dims[4], const Py_ssize_t n_hw[3], bool shared,
              ImageCount& images) {
    const Py_ssize_t n = n_hw[0], plane = n_hw[1] * n_hw[2];
    Ref three = integer(3);
    Ref rgb_shape = tuple_of({dims[2].get(), dims[3].get(), three.get()});
    Ref rgb = np_zeros(np, rgb_shape.get(), kUint8);
    BufferView out;
    if (plane > 0 && !output_view(out, rgb.get(), "B", plane * 3))
        raise(PyExc_TypeError, "the module's np does not make NumPy arrays");
    Ref list = new_list();
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref index = integer(i);
        Ref frame = item(counts, index.get());
        frame = np_call(np, kAscontiguousarray, frame.get());
        BufferView view;
        if (!view.acquire(frame.get(), PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) || !view.view().format ||
            std::strcmp(view.view().format, "f") != 0 || view.view().itemsize != 4 ||
            view.view().len != 2 * plane * 4)
            not_counts();
        if (plane > 0) {
            const float* base = static_cast<const float*>(view.view().buf);
            k::Status status;
            {
                ReleaseGil nogil(plane >= kReleaseGilEvents);
                status = k::colour_frames(k::Planes{base, 2 * plane}, k::Planes{base + plane, 2 * plane}, 1,
                                          static_cast<std::size_t>(plane), shared,
                                          static_cast<unsigned char*>(out.view().buf));
            }
            if (status != k::Status::Ok) raise(PyExc_ValueError, "counts must be finite");
        }
        Ref text = png_base64_direct(rgb.get());
        if (!text) {
            Ref fn = c.global(kEncodeImage);
            text = call(fn.get(), rgb.get());
        }
        append(list.get(), text.get());
        images.encoded();
    }
    return list;
}

}  // namespace

Ref page_images(Call& c) {
    Ref np = c.global(kNp);
    Ref grid_dims[4], frame_dims[4];
    Py_ssize_t grid_hw[3], frame_hw[3];
    counts_dims(c[0], grid_dims, grid_hw);
    counts_dims(c[1], frame_dims, frame_hw);
    ImageCount images{0, grid_hw[0] + frame_hw[0]};
    Ref grid = images_of(c, np.get(), c[0], grid_dims, grid_hw, false, images);
    Ref frames = images_of(c, np.get(), c[1], frame_dims, frame_hw, true, images);
    return tuple_of({grid.get(), frames.get()});
}

}  // namespace nivra::spikes
