// viz/frame/types.h: the start of a static type object, for the few types the frame and the
// modules define themselves.
#pragma once

#include <Python.h>

#include <cstring>

namespace nivra {

/// A zero-filled type object holding one reference, with its name, instance size, doc and
/// the default flags; the caller adds its slots (and flags), then readies it. Never raises.
inline PyTypeObject static_type(const char* name, Py_ssize_t basicsize, const char* doc) noexcept {
    PyTypeObject t;
    std::memset(&t, 0, sizeof t);
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
    t.tp_name = name;
    t.tp_basicsize = basicsize;
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = doc;
    return t;
}

}  // namespace nivra
