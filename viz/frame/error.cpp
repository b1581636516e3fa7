// viz/frame/error.cpp: PythonError and the message helpers shared by all modules.
#include "error.h"

#include "compat.h"

#include <cstdarg>
#include <new>

namespace nivra {

PythonError::PythonError() noexcept : exc(Ref::steal(compat::take_exception())) {}

void PythonError::restore() noexcept {
    if (exc) {
        compat::set_exception(exc.release());
    } else if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
    }
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (PythonError& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
}

void raise(PyObject* type, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    PyErr_FormatV(type, fmt, ap);
    va_end(ap);
    throw PythonError{};
}

void expect_exact(PyObject* value, PyTypeObject* type, bool allow_none) {
    if (Py_IS_TYPE(value, type) || (allow_none && value == Py_None)) return;
    raise(PyExc_TypeError, "Expected %s, got %.200s", type->tp_name, type_name(value));
}

Ref expect_int(Ref value, bool allow_none) {
    PyObject* v = value.get();
    if (PyLong_CheckExact(v) || (allow_none && v == Py_None)) return value;
    if (PyNumber_Check(v)) return new_ref(PyNumber_Long(v));
    raise(PyExc_TypeError, "Expected %.200s, got %.200s", "int", type_name(v));
}

void unpack(PyObject* iterable, Ref* out, Py_ssize_t n) {
    if (PyTuple_CheckExact(iterable) || PyList_CheckExact(iterable)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(iterable);
        if (size > n) raise(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        if (size < n)
            raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", size,
                  size == 1 ? "" : "s");
        PyObject** items = PySequence_Fast_ITEMS(iterable);
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = Ref::borrow(items[i]);
        return;
    }
    Ref it = new_ref(PyObject_GetIter(iterable));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyIter_Next(it.get());
        if (!item) {
            throw_if_error();
            raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", i,
                  i == 1 ? "" : "s");
        }
        out[i] = Ref::steal(item);
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) raise(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
    throw_if_error();
}

bool has_attr(PyObject* obj, PyObject* name) {
    PyObject* value = nullptr;
    int rc = check(compat::lookup_attr(obj, name, &value));
    Ref owned = Ref::steal(value);
    return rc == 1;
}

Ref get_attr_or_none(PyObject* obj, PyObject* name) {
    PyObject* value = nullptr;
    if (check(compat::lookup_attr(obj, name, &value)) == 0) return Ref::borrow(Py_None);
    return Ref::steal(value);
}

}  // namespace nivra
