// viz/spikes/chunks.cpp: counts of a recording added chunk by chunk into one frame
// stack or raster, for recordings larger than memory.
#include "spikes.h"

#include <cstring>
#include <limits>

namespace nivra::spikes {

const char kBinEventsIntoDoc[] =
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

namespace {

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
    set_bins(&tb, bins);
    return tb;
}

}  // namespace

Ref bin_events_into(Call& c) {
    PyObject* events = c[0];
    PyObject* out = c[1];
    PyObject* raster_width = c[4];
    const bool raster = raster_width != Py_None;
    Ref names[4];
    binnable_event_fields(c, events, names);
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

}  // namespace nivra::spikes
