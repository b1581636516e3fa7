// viz/spikes/eventstream.cpp: the events of a block of an Event Stream (.es) file,
// decoded into a record array the reader owns (nivra/viz/io/eventstream.py).
#include "spikes.h"

#include "kernels/eventstream.h"

#include <cstring>
#include <limits>

namespace nivra::spikes {

const char kDecodeEventStreamDoc[] =
    "Decode the DVS or ATIS events of a block of an Event Stream file.\n\n"
    "Decoding starts at the first byte of data, the time of the event before\n"
    "it being t (0 at the end of the header), and stops when fewer than an\n"
    "event's bytes are left, when out is full, or before an event outside the\n"
    "width x height sensor (a damaged stream). ATIS exposure measurements are\n"
    "passed over and counted.\n\n"
    "Args:\n"
    "    data: the bytes (any contiguous buffer).\n"
    "    out: a 1-D row-major record array of dtype [('t', '<i8'), ('x', '<u2'),\n"
    "        ('y', '<u2'), ('p', 'u1')], filled from its start; None counts the\n"
    "        events without writing them.\n"
    "    kind: the header's type byte, 1 (DVS) or 2 (ATIS).\n"
    "    width, height: the header's sensor size.\n"
    "    t: the time reached so far, in microseconds.\n\n"
    "Returns:\n"
    "    (stop, used, events, exposures, t, last): stop is 'more' (the rest is\n"
    "    not a whole event), 'full' or 'outside'; used is the bytes taken, from\n"
    "    where the next call starts with the returned t; last is the time of the\n"
    "    last event taken (0 when none was).\n\n"
    "Raises:\n"
    "    TypeError for data or out of another kind; ValueError for a kind,\n"
    "    size or time out of range.";

namespace {

long long int_in(PyObject* v, long long lo, long long hi, const char* what) {
    long long value = 0;
    if (!exact_int64(v, &value) || value < lo || value > hi)
        raise(PyExc_ValueError, "%s must be an int from %lld to %lld", what, lo, hi);
    return value;
}

// The record array of `out`, as the kernel writes it; raises TypeError otherwise.
k::EsOutput output_of(BufferView& view, RecordArray& rec, PyObject* out) {
    if (out == Py_None) return {};
    if (!g_ndarray || Py_TYPE(out) != reinterpret_cast<PyTypeObject*>(g_ndarray) ||
        !view.acquire(out, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) || !rec.open(out))
        raise(PyExc_TypeError, "out must be a writable, row-major NumPy record array");
    const auto* start = static_cast<const unsigned char*>(view.view().buf);
    // Each field's kind, size and place in the 13-byte record.
    static const struct {
        const char* name;
        k::FieldKind kind;
        int size;
        std::ptrdiff_t offset;
    } kLayout[] = {{"t", k::FieldKind::Int, 8, 0},
                   {"x", k::FieldKind::UInt, 2, 8},
                   {"y", k::FieldKind::UInt, 2, 10},
                   {"p", k::FieldKind::UInt, 1, 12}};
    bool layout = view.view().ndim == 1 && view.view().itemsize == 13;
    for (const auto& want : kLayout) {
        if (!layout) break;
        Ref name = str(want.name);
        k::Field f;
        layout = rec.field(name.get(), &f) && f.kind == want.kind && f.size == want.size && !f.swap &&
                 f.base - start == want.offset;
    }
    if (!layout)
        raise(PyExc_TypeError, "out must be a 1-D array of dtype [('t', '<i8'), ('x', '<u2'), "
                               "('y', '<u2'), ('p', 'u1')]");
    k::EsOutput o;
    o.base = static_cast<unsigned char*>(view.view().buf);
    o.stride = 13;
    o.capacity = static_cast<std::size_t>(rec.size());
    return o;
}

}  // namespace

Ref decode_event_stream(Call& c) {
    BufferView data;
    if (!data.acquire(c[0], PyBUF_C_CONTIGUOUS))
        raise(PyExc_TypeError, "data must be a contiguous bytes-like object");
    BufferView out_view;
    RecordArray out_fields;
    const k::EsOutput out = output_of(out_view, out_fields, c[1]);
    const auto kind = int_in(c[2], 1, 2, "kind");
    const auto width = int_in(c[3], 1, 65535, "width");
    const auto height = int_in(c[4], 1, 65535, "height");
    auto t = static_cast<std::uint64_t>(int_in(c[5], 0, std::numeric_limits<long long>::max() / 2, "t"));
    const Py_buffer& d = data.view();
    const auto size = static_cast<std::size_t>(d.len);
    k::EsResult r;
    {
        ReleaseGil nogil(d.len >= kReleaseGilEvents);
        r = k::decode_event_stream(static_cast<k::EsType>(kind), static_cast<const unsigned char*>(d.buf), size,
                                   static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), &t,
                                   out);
    }
    const char* stop = r.status == k::EsStatus::Full            ? "full"
                       : r.status == k::EsStatus::OutsideSensor ? "outside"
                                                                : "more";
    Ref stop_text = str(stop);
    Ref used = integer(static_cast<long long>(r.used));
    Ref events = integer(static_cast<long long>(r.events));
    Ref exposures = integer(static_cast<long long>(r.exposures));
    Ref time = integer(static_cast<long long>(t));
    Ref last = integer(static_cast<long long>(r.last));
    return tuple_of({stop_text.get(), used.get(), events.get(), exposures.get(), time.get(), last.get()});
}

}  // namespace nivra::spikes
