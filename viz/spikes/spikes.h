// viz/spikes/spikes.h: what the source files of the spikes module share: its module-level
// names, the record-array reader, the NumPy helpers and each file's functions.
//
// The module is built from viz/spikes.cpp (names, body, function table) and one file per
// concern: fields.cpp (field names, sensor size, reading record memory), binning.cpp
// (frames, grid, raster), output.cpp (large output arrays over pages of their own),
// document.cpp (colouring, images, the event document), pages.cpp (template,
// escaping, pages and files), chunks.cpp (counts added chunk by chunk), accumulate.cpp
// (a recording's page counts in one pass per chunk) and evt.cpp (Prophesee words decoded).
#pragma once

#include "frame/buffer.h"   // BufferView
#include "frame/frame.h"    // Ref, Call, Module, the function table
#include "kernels/events.h" // binning and colouring kernels

#include <initializer_list>

namespace nivra::spikes {

namespace k = nivra::kernels;

// Module-level names, looked up at each use (defined with the module in spikes.cpp).
extern const Name kNp, kTonic, kTonicAvailable, kIo, kBase64, kJson, kTempfile, kWebbrowser, kPath;
extern const Name kGetEventFields, kDetectSensorSize, kFramesNumpy, kFramesTonic, kEventsToFrames;
extern const Name kEventsToGrid, kEventsToRaster, kEncodeImage, kLoadTemplate, kHtmlEscape;
extern const Name kRenderSpikeHtml, kSerializeEvents, kFramesDocument, kFile;

// Attributes and keywords.
inline const Name kDtype("dtype"), kNames("names"), kFields("fields"), kKind("kind"), kItemsize("itemsize");
inline const Name kByteorder("byteorder"), kSubdtype("subdtype"), kMax("max"), kMin("min"), kAstype("astype");
inline const Name kFloat64("float64"), kFloat32("float32"), kInt32("int32"), kInt8("int8"), kUint8("uint8");
inline const Name kZeros("zeros"), kOnes("ones"), kClip("clip"), kWhere("where"), kAdd("add"), kAt("at");
inline const Name kCumsum("cumsum"), kAxis("axis"), kOut("out"), kKeepdims("keepdims"), kMaximum("maximum");
inline const Name kConcatenate("concatenate"), kTransforms("transforms"), kToFrame("ToFrame");
inline const Name kSensorSize("sensor_size"), kTimeWindow("time_window"), kNFrames("n_frames"), kNBins("n_bins");
inline const Name kNNeurons("n_neurons"), kTimeBins("time_bins"), kNdim("ndim"), kShape("shape");
inline const Name kZerosLike("zeros_like"), kNewaxis("newaxis"), kTolist("tolist"), kTitle("title");
// The keys of the event document.
inline const Name kEventCount("event_count"), kDurationUs("duration_us"), kGridFrames("grid_frames");
inline const Name kAnimationFrames("animation_frames"), kRaster("raster");

// Passes over at least this many events run with the interpreter lock released.
inline constexpr Py_ssize_t kReleaseGilEvents = 1 << 15;

// --- small helpers (fields.cpp) -------------------------------------------------

/// A new tuple of borrowed items; raises on error.
Ref tuple_of(std::initializer_list<PyObject*> items);

/// obj[key]; raises on error.
inline Ref item(PyObject* obj, PyObject* key) { return new_ref(PyObject_GetItem(obj, key)); }

/// np.<fn>(args...); raises on error.
template <class... A>
Ref np_call(PyObject* np, const Name& fn, A... args) {
    Ref f = attr(np, fn);
    return call(f.get(), args...);
}

/// len(obj); raises on error.
Py_ssize_t length(PyObject* obj);

/// np.zeros(shape, dtype=np.<dtype>); raises on error.
Ref np_zeros(PyObject* np, PyObject* shape, const Name& dtype);

/// The value of an object that is exactly an int and fits in 64 bits, or false.
bool exact_int64(PyObject* v, long long* out);

/// Unpacks the field tuple of _get_event_fields into four names; raises on error.
void event_fields(Call& c, PyObject* events, Ref out[4]);

/// The same for binning, which needs the time and x fields: raises ValueError "Events
/// must have time and x coordinate fields" when either is missing.
void binnable_event_fields(Call& c, PyObject* events, Ref out[4]);

/// Unpacks a sensor size into width and height; raises on error.
void width_height(PyObject* sensor_size, Ref* width, Ref* height);

/// sensor_size, or _detect_sensor_size(events) when it is None; must be a tuple.
Ref sensor_size_or_detected(Call& c, std::size_t index, PyObject* events);

// --- reading record arrays directly (fields.cpp) ---------------------------------

/// The ndarray and memmap types, taken when the module body imports NumPy: only
/// arrays of exactly these types are read through their buffer.
extern PyObject* g_ndarray;
extern PyObject* g_memmap;
extern PyObject* g_numpy;  // the numpy module the body imported

/// The record array behind `events`, when the kernels can read it: a 1-D NumPy
/// array of exactly ndarray or memmap type, exporting a strided buffer.
class RecordArray {
public:
    /// False when the kernels cannot read `events`; raises on errors of reading its dtype.
    bool open(PyObject* events);
    Py_ssize_t size() const noexcept { return n_; }

    /// The named field as the kernels read it, or false for names that are not a
    /// field of a type they read (sub-arrays, half floats, dates, objects, ...).
    bool field(PyObject* name, k::Field* out) const;

private:
    BufferView buffer_;
    Ref fields_;
    Py_ssize_t n_ = 0;
};

/// The sensor extents from the largest coordinates of integer or bool fields: width =
/// max x + 1, height = max y + 1 with a y field, else 1, as _detect_sensor_size gives
/// them; raises on error.
void extents_of(const __int128 maxima[2], bool has_y, Ref* width, Ref* height);

/// Reads the x, y, t, p columns named by `names` (y and p may be None); false when
/// one of them cannot be read directly.
bool open_columns(const RecordArray& rec, Ref names[4], bool with_p, k::EventColumns* cols);

/// Opens `events` and its x, y, t, p columns named by the 4-item `fields` of a pass's
/// state; raises TypeError when they cannot be read directly.
void open_state_columns(PyObject* events, PyObject* fields, RecordArray& rec, k::EventColumns* cols);

/// The two ints of a (width, height) pair of a pass's state, each 0 to `max`; raises
/// ValueError with `message` for anything else.
void size_pair(PyObject* pair, long long max, const char* message, long long* width, long long* height);

/// Whether a field holds integers (signed or not).
inline bool is_int_field(const k::Field& f) { return f.kind == k::FieldKind::Int || f.kind == k::FieldKind::UInt; }

// --- output.cpp -------------------------------------------------------------------

/// A new zero-filled float32 array of `shape` holding `count` elements: large ones an
/// ndarray over fresh zero pages of its own (its base owns them), which the OS zeroes
/// as they are first written; others (and where no pages can be mapped)
/// np.zeros(shape, dtype=np.float32). Raises on error.
Ref zeroed_float32(PyObject* np, PyObject* shape, std::size_t count);

// --- binning.cpp ------------------------------------------------------------------

/// A writable, row-major view of a new float32 / uint8 array of `count` elements;
/// false when the object is not one (the module's `np` was replaced).
bool output_view(BufferView& view, PyObject* arr, const char* format, Py_ssize_t count);

/// The time bins of the kernels, or false when the count does not fit them.
bool time_bins_of(PyObject* bins, const k::Field& t, std::size_t n, k::TimeBins* tb);

/// The range, scale and count of time bins whose bounds are set.
void set_bins(k::TimeBins* tb, long long count);

// --- colouring (document.cpp) -----------------------------------------------------

/// frames[:, channel]
Ref channel_of(PyObject* frames, long channel);

/// np.maximum(x.max(axis=(1, 2), keepdims=True), 1)
Ref frame_peaks(PyObject* np, PyObject* x);

/// target[:, :, :, channel] = np.clip(x / scale * 255, 0, 255).astype(np.uint8)
void paint(PyObject* np, PyObject* target, long channel, PyObject* x, PyObject* scale);

/// A float32 array's planes as the colouring kernel reads them: arr[:, channel] of a
/// row-major (n, channels, h, w) array. False for anything else.
bool float_planes(BufferView& view, PyObject* arr, Py_ssize_t n, Py_ssize_t channels, Py_ssize_t h,
                  Py_ssize_t w);

/// Colours a row-major float32 (n, channels, h, w) stack into the zero-filled uint8
/// (n, h, w, 3) array rgb; false when rgb is not one or a value is not finite.
bool colour_direct(PyObject* rgb, const BufferView& frames, Py_ssize_t n, Py_ssize_t channels,
                   Py_ssize_t plane, bool shared_scale);

/// The (n, h, w) sizes as exact non-negative ints, or false.
bool sizes_of(std::initializer_list<PyObject*> values, Py_ssize_t* out);

/// The ON/OFF colouring of the event document and the frame view (see document.cpp).
Ref colour_on_off(PyObject* np, PyObject* source, PyObject* on_all, PyObject* off_all, PyObject* n,
                  PyObject* height, PyObject* width);

// --- images (document.cpp) ---------------------------------------------------------

/// The images of one document encoded so far, reported to the progress hook as the
/// stage "images" (done of total) after each one.
struct ImageCount {
    Py_ssize_t done = 0;
    Py_ssize_t total = 0;
    /// Counts one more image and reports it; raises what the progress callback raises.
    void encoded();
};

/// The value of an exact int as an image count (0 when negative or not an exact int,
/// capped when huge); never raises.
Py_ssize_t count_of(PyObject* n) noexcept;

/// [fn(img) for img in images], fn being the module's _encode_image_base64.
Ref encode_each(Call& c, PyObject* images, ImageCount& count);

/// [fn(stack[i]) for i in range(n)].
Ref encode_range(Call& c, PyObject* stack, PyObject* n, ImageCount& count);

// --- the module's functions, with their docs ----------------------------------------

// fields.cpp
Ref get_event_fields(Call& c);
/// {"x": (...), "y": (...), "t": (...), "p": (...)}: the candidate names of each role,
/// read-only, from the table _get_event_fields tries; raises on error.
Ref field_candidates();
Ref detect_sensor_size(Call& c);
extern const char kGetEventFieldsDoc[], kDetectSensorSizeDoc[];
// binning.cpp
Ref events_to_frames_numpy(Call& c);
Ref events_to_frames_tonic(Call& c);
Ref events_to_frames(Call& c);
Ref events_to_grid(Call& c);
Ref events_to_raster(Call& c);
extern const char kFramesNumpyDoc[], kFramesTonicDoc[], kEventsToFramesDoc[], kEventsToGridDoc[];
extern const char kEventsToRasterDoc[];
// document.cpp
Ref encode_image_base64(Call& c);
Ref serialize_events(Call& c);
Ref frames_document(Call& c);
Ref page_images(Call& c);
extern const char kEncodeImageDoc[], kSerializeEventsDoc[], kFramesDocumentDoc[], kPageImagesDoc[];
// pages.cpp
Ref load_template(Call& c);
Ref html_escape(Call& c);
Ref render_spike_html(Call& c);
Ref plot_events(Call& c);
Ref export_events_html(Call& c);
Ref plot_frames(Call& c);
Ref write_frames_page(Call& c);
extern const char kLoadTemplateDoc[], kHtmlEscapeDoc[], kRenderSpikeHtmlDoc[], kPlotEventsDoc[];
extern const char kExportEventsHtmlDoc[], kPlotFramesDoc[], kWriteFramesPageDoc[];

// chunks.cpp
Ref bin_events_into(Call& c);
extern const char kBinEventsIntoDoc[];
// accumulate.cpp
Ref accumulate_events(Call& c);
extern const char kAccumulateEventsDoc[];
// view_scan.cpp
Ref view_scan(Call& c);
extern const char kViewScanDoc[];
// eventstream.cpp
Ref decode_event_stream(Call& c);
extern const char kDecodeEventStreamDoc[];
// evt.cpp
Ref evt_decode(Call& c);
extern const char kEvtDecodeDoc[];

}  // namespace nivra::spikes
