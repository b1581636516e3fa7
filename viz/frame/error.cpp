// viz/frame/error.cpp: PythonError and the message helpers shared by all modules.
#include "error.h"

#include "compat.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <new>

#if defined(__linux__)
#include <pthread.h>  // pthread_getattr_np: the calling thread's stack bounds
#endif

namespace nivra {
namespace {

// Stack left untouched below the last guarded level: room for what one
// level calls (NumPy, user __iter__ and __getattr__ code, raising the error).
#if defined(__SANITIZE_ADDRESS__)
constexpr std::uintptr_t kStackMargin = std::uintptr_t{1} << 20;
#else
constexpr std::uintptr_t kStackMargin = std::uintptr_t{256} << 10;
#endif

struct StackBounds {
    std::uintptr_t low = 0, high = 0;  // both 0 when unknown
    std::uintptr_t margin = 0;         // kStackMargin, or half of a smaller stack
};

StackBounds find_stack_bounds() noexcept {
    StackBounds b;
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return b;
    void* addr = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0 && size > 0) {
        b.low = reinterpret_cast<std::uintptr_t>(addr);
        b.high = b.low + size;
        b.margin = std::min<std::uintptr_t>(kStackMargin, size / 2);
    }
    pthread_attr_destroy(&attr);
#endif
    return b;
}

}  // namespace

bool stack_exhausted() noexcept {
    thread_local const StackBounds bounds = find_stack_bounds();  // once per thread
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    // Outside the bounds (unknown, or a sanitizer's side stack): no opinion.
    if (here < bounds.low || here >= bounds.high) return false;
    return here - bounds.low < bounds.margin;
}

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
