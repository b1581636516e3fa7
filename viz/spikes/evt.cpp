// viz/spikes/evt.cpp: _evt_decode, the words of a Prophesee file decoded chunk by chunk
// (kernels/evt.h) into a record array the caller reuses, with the decoder's state kept
// in an int64 array the caller owns between calls.
#include "spikes.h"

#include "kernels/evt.h"

#include <cstring>

namespace nivra::spikes {

const char kEvtDecodeDoc[] =
    "Decode the whole words of a chunk of a Prophesee file's data.\n\n"
    "Args:\n"
    "    data: a bytes-like object: the file's bytes after the header, from the\n"
    "        byte the state's offset names.\n"
    "    state: a writable int64 array of 19: the decoder's state (encoding in\n"
    "        slot 0: 3 EVT 3.0, 2 EVT 2.0, 21 EVT 2.1, 1 DAT; the rest 0 at the\n"
    "        start of the data), advanced past the words decoded. A copy is a\n"
    "        position to decode again from. Slots 17, 18 (stop_on, stop_at): when\n"
    "        stop_on is 1, decoding stops before the first event at stop_at or later.\n"
    "    out: None (only count the events and their time extremes into the\n"
    "        state), or a writable, contiguous 1-D record array of 16-byte\n"
    "        records (t int64, x int16, y int16, p uint8 at 0, 8, 10, 12) with\n"
    "        room for at least 32 events.\n\n"
    "Returns:\n"
    "    (events written, bytes decoded, status): status 0 when every whole\n"
    "    word was decoded (a partial word at the end is left), 1 when out\n"
    "    filled up first, 2 when a word that cannot be right stopped decoding\n"
    "    at the bytes decoded (what came before is kept), 3 when it stopped\n"
    "    before an event at stop_at or later.\n\n"
    "Raises:\n"
    "    TypeError or ValueError for a state or output not of this kind.";

namespace {

namespace e = nivra::kernels::evt;

bool is_ndarray(PyObject* obj) {
    return g_ndarray && Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(g_ndarray);
}

}  // namespace

Ref evt_decode(Call& c) {
    BufferView data, state_view, out_view;
    if (!data.acquire(c[0], PyBUF_C_CONTIGUOUS))
        raise(PyExc_TypeError, "data must be a contiguous bytes-like object");
    if (!is_ndarray(c[1]) || !state_view.acquire(c[1], PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS))
        raise(PyExc_TypeError, "state must be a writable int64 NumPy array");
    const Py_buffer& sv = state_view.view();
    if (!sv.format || sv.itemsize != 8 || (std::strcmp(sv.format, "l") != 0 && std::strcmp(sv.format, "q") != 0 &&
                                           std::strcmp(sv.format, "<q") != 0 && std::strcmp(sv.format, "<l") != 0) ||
        sv.len != static_cast<Py_ssize_t>(sizeof(e::State)))
        raise(PyExc_ValueError, "state must be an int64 array of %d", static_cast<int>(e::kStateSlots));
    e::Event* out = nullptr;
    std::size_t room = 0;
    if (c[2] != Py_None) {
        if (!is_ndarray(c[2]) || !out_view.acquire(c[2], PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS))
            raise(PyExc_TypeError, "out must be a writable, contiguous NumPy record array");
        const Py_buffer& ov = out_view.view();
        if (ov.ndim != 1 || ov.itemsize != static_cast<Py_ssize_t>(sizeof(e::Event)))
            raise(PyExc_ValueError, "out must be a 1-D array of 16-byte records");
        room = static_cast<std::size_t>(ov.shape[0]);
        if (room < e::kMinRoom) raise(PyExc_ValueError, "out must have room for at least 32 events");
        out = static_cast<e::Event*>(ov.buf);
    }
    e::State state;
    std::memcpy(&state, sv.buf, sizeof state);
    const Py_buffer& dv = data.view();
    std::size_t written = 0, consumed = 0;
    e::Status status;
    {
        ReleaseGil nogil(dv.len >= kReleaseGilEvents);
        status = e::decode(static_cast<const unsigned char*>(dv.buf), static_cast<std::size_t>(dv.len), state, out,
                           room, &written, &consumed);
    }
    if (status == e::Status::BadState) raise(PyExc_ValueError, "state is not a decoder state");
    std::memcpy(sv.buf, &state, sizeof state);
    const int code = status == e::Status::Ok ? 0 : status == e::Status::Full ? 1 : status == e::Status::Damaged ? 2 : 3;
    return new_ref(Py_BuildValue("(nni)", static_cast<Py_ssize_t>(written), static_cast<Py_ssize_t>(consumed), code));
}

}  // namespace nivra::spikes
