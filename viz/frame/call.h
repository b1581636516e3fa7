// viz/frame/call.h: calling Python objects from module code; every helper raises on error.
#pragma once

#include "names.h"

#include <initializer_list>
#include <utility>

namespace nivra {

/// f(args...) with borrowed positional arguments; raises on error.
template <class... A>
Ref call(PyObject* f, A... args) {
    PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
    return new_ref(PyObject_Vectorcall(f, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                       nullptr));
}

/// obj.name(args...); raises on error.
template <class... A>
Ref call_method(PyObject* obj, const Name& name, A... args) {
    PyObject* argv[] = {obj, static_cast<PyObject*>(args)...};
    return new_ref(PyObject_VectorcallMethod(
        name.get(), argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

/// A keyword argument for call_kw: its name and a borrowed value.
using Keyword = std::pair<const Name*, PyObject*>;

/// f(*positional, **keywords); raises on error.
Ref call_kw(PyObject* f, std::initializer_list<PyObject*> positional,
            std::initializer_list<Keyword> keywords);

/// obj.name, raising on error.
inline Ref attr(PyObject* obj, const Name& name) { return get_attr(obj, name.get()); }

/// A new str from UTF-8 text; raises on error.
inline Ref str(const char* text) { return new_ref(PyUnicode_FromString(text)); }

/// A new int; raises on error.
inline Ref integer(long long v) { return new_ref(PyLong_FromLongLong(v)); }

/// A new float; raises on error.
inline Ref real(double v) { return new_ref(PyFloat_FromDouble(v)); }

/// The truth of `a op b` (op one of Py_LT, Py_EQ, ...); raises on error.
inline bool compare(PyObject* a, PyObject* b, int op) { return check(PyObject_RichCompareBool(a, b, op)) != 0; }

/// Py_True / Py_False as an owned reference.
inline Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }

/// None as an owned reference.
inline Ref none() { return Ref::borrow(Py_None); }

/// d[key] = value on a dict; raises on error.
inline void set_item(PyObject* dict, const Name& key, PyObject* value) {
    check(PyDict_SetItem(dict, key.get(), value));
}

/// A new empty dict / list; raise on error.
inline Ref new_dict() { return new_ref(PyDict_New()); }
inline Ref new_list(Py_ssize_t n = 0) { return new_ref(PyList_New(n)); }

/// list.append(item); raises on error.
inline void append(PyObject* list, PyObject* item) { check(PyList_Append(list, item)); }

}  // namespace nivra
