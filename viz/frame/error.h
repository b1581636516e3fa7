// viz/frame/error.h: Python errors as one C++ exception type, and the message helpers.
#pragma once

#include "ref.h"

#include <cstddef>

namespace nivra {

/// The pending Python error, taken out of the interpreter when thrown; the
/// function boundary puts it back exactly once.
struct PythonError {
    Ref exc;
    PythonError() noexcept;
    /// Puts the error back into the interpreter (the boundary calls this).
    void restore() noexcept;
};

/// Called inside a catch block at a boundary to CPython: makes the exception
/// being handled the pending Python error (a C++ error becomes MemoryError or
/// SystemError). Never raises.
void set_error_from_current_exception() noexcept;

/// Wraps a new reference; throws PythonError when it is null.
inline Ref new_ref(PyObject* p) {
    if (!p) throw PythonError{};
    return Ref::steal(p);
}

/// Passes a CPython status through; throws PythonError when it is negative.
inline int check(int rc) {
    if (rc < 0) throw PythonError{};
    return rc;
}

/// Sets a Python exception with a printf-style message and throws it.
[[noreturn]] void raise(PyObject* type, const char* fmt, ...);

/// Throws PythonError if an error is pending (after calls that signal by value).
inline void throw_if_error() {
    if (PyErr_Occurred()) throw PythonError{};
}

/// True when less than a safety margin of this thread's stack is left. The
/// interpreter's own recursion limit counts levels, sized for 8 MiB stacks:
/// threads with smaller stacks (and sanitizer builds, whose frames are
/// larger) would overflow before it is reached.
bool stack_exhausted() noexcept;

/// Recursion guard for walking user containers; raises RecursionError at the
/// interpreter's recursion limit or when the thread's stack runs low.
struct Depth {
    explicit Depth(const char* where) {
        if (Py_EnterRecursiveCall(where)) throw PythonError{};
        if (stack_exhausted()) {
            Py_LeaveRecursiveCall();
            raise(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        }
    }
    ~Depth() { Py_LeaveRecursiveCall(); }
    Depth(const Depth&) = delete;
    Depth& operator=(const Depth&) = delete;
};

/// Releases the interpreter lock for a pure C++ stretch; reacquires on exit.
class ReleaseGil {
public:
    explicit ReleaseGil(bool release = true) noexcept
        : state_(release ? PyEval_SaveThread() : nullptr) {}
    ~ReleaseGil() {
        if (state_) PyEval_RestoreThread(state_);
    }
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;

private:
    PyThreadState* state_;
};

/// "Expected %s, got %.200s": raises TypeError unless `value` is exactly of
/// type `type` (or None where `allow_none`).
void expect_exact(PyObject* value, PyTypeObject* type, bool allow_none);

/// Makes a value that must hold an int into one: exact ints pass, numbers go
/// through int(), anything else raises "Expected int, got %.200s".
Ref expect_int(Ref value, bool allow_none);

/// Unpacks an iterable into exactly `n` items, raising "too many values to
/// unpack (expected %zd)" or "need more than %zd value%.1s to unpack".
void unpack(PyObject* iterable, Ref* out, Py_ssize_t n);

/// True when the object has the attribute; only AttributeError counts as
/// absence, any other error raises.
bool has_attr(PyObject* obj, PyObject* name);

/// getattr(obj, name, None): only AttributeError counts as absence.
Ref get_attr_or_none(PyObject* obj, PyObject* name);

/// getattr(obj, name) or raise.
inline Ref get_attr(PyObject* obj, PyObject* name) {
    return new_ref(PyObject_GetAttr(obj, name));
}

/// The truth value of obj, or raise.
inline bool truthy(PyObject* obj) { return check(PyObject_IsTrue(obj)) != 0; }

/// A type's C-level name, as used in every message.
inline const char* type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

}  // namespace nivra
