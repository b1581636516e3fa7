// viz/frame/ref.h: the one owner of strong Python references.
#pragma once

#include <Python.h>

#include <utility>

namespace nivra {

/// Owns one strong reference, or none. Built only by steal (adopt a new
/// reference) or borrow (take one more); never raises.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    /// Hands the reference over to the caller (CPython).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    /// A second owner of the same object.
    Ref copy() const noexcept { return borrow(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace nivra
