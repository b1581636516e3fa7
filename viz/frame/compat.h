// viz/frame/compat.h: the few API differences between CPython 3.11, 3.12 and 3.13.
#pragma once

#include <Python.h>

namespace nivra::compat {

/// Takes the pending exception out of the interpreter (a new reference, or null).
inline PyObject* take_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

/// Makes `exc` (a reference that is consumed) the pending exception.
inline void set_exception(PyObject* exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

/// getattr without raising AttributeError: 1 found (*out set), 0 absent, -1 error.
inline int lookup_attr(PyObject* obj, PyObject* name, PyObject** out) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, out);
#else
    return _PyObject_LookupAttr(obj, name, out);
#endif
}

/// dict lookup: 1 found (*out a new reference), 0 absent, -1 error.
inline int dict_get(PyObject* dict, PyObject* key, PyObject** out) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, out);
#else
    PyObject* item = PyDict_GetItemWithError(dict, key);
    if (item) {
        Py_INCREF(item);
        *out = item;
        return 1;
    }
    *out = nullptr;
    return PyErr_Occurred() ? -1 : 0;
#endif
}

}  // namespace nivra::compat
