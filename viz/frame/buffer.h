// viz/frame/buffer.h: a buffer-protocol view that is released on every path out.
#pragma once

#include "ref.h"

namespace nivra {

/// Holds a buffer view of an object and releases it on every path out.
class BufferView {
public:
    BufferView() noexcept = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }

    /// Returns false (error cleared) when the object exports no buffer with
    /// these PyBUF_* flags; never raises.
    bool acquire(PyObject* obj, int flags = PyBUF_C_CONTIGUOUS) noexcept {
        release();
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        return true;
    }
    /// Gives the view back now (also done by the destructor); never raises.
    void release() noexcept {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }
    const Py_buffer& view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace nivra
