// viz/frame/binding.cpp: positional and keyword matching, typed conversions, count messages, notes.
#include "binding.h"

#include "module.h"

#include <string>

namespace nivra {
namespace {

// Default values are written in the signature line as Python literals.
Ref default_object(const std::string& text) {
    if (text == "None") return Ref::borrow(Py_None);
    if (text == "True") return Ref::borrow(Py_True);
    if (text == "False") return Ref::borrow(Py_False);
    if (text.size() >= 2 && (text.front() == '\'' || text.front() == '"') && text.back() == text.front())
        return new_ref(PyUnicode_FromStringAndSize(text.data() + 1,
                                                   static_cast<Py_ssize_t>(text.size() - 2)));
    Ref s = new_ref(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    PyObject* v = PyLong_FromUnicodeObject(s.get(), 10);
    if (v) return Ref::steal(v);
    PyErr_Clear();
    return new_ref(PyFloat_FromString(s.get()));
}

bool name_equals(PyObject* a, PyObject* b) {
    if (a == b) return true;
    // Keyword names built at run time are not interned: compare the text.
    return PyUnicode_Check(b) && PyUnicode_Compare(a, b) == 0;
}

[[noreturn]] void incorrect_type(const ParamRecord& p, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 PyUnicode_AsUTF8(p.name.get()), expected, Py_TYPE(got)->tp_name);
    PythonError err;
    PyTypeObject* base = p.kind == Kind::Str    ? &PyUnicode_Type
                         : p.kind == Kind::Dict ? &PyDict_Type
                         : p.kind == Kind::Tuple ? &PyTuple_Type
                                                 : nullptr;
    if (base && PyObject_TypeCheck(got, base) && err.exc) {
        Ref note = new_ref(PyUnicode_FromFormat(
            "Subclasses of built-in types are rejected here: '%.200s' needs exactly %.200s, "
            "not the subclass %.200s (convert it with %.200s(...) first).",
            PyUnicode_AsUTF8(p.name.get()), expected, Py_TYPE(got)->tp_name, expected));
        Ref rc = Ref::steal(PyObject_CallMethod(err.exc.get(), "add_note", "O", note.get()));
        if (!rc) throw PythonError{};
    }
    throw err;
}

}  // namespace

FunctionRecord FunctionRecord::make(const char* signature, Impl impl, Module* module, int line) {
    FunctionRecord rec;
    try {
        rec.sig = parse_signature(signature);
    } catch (const std::invalid_argument& e) {
        raise(PyExc_SystemError, "%s", e.what());
    }
    if (rec.sig.params.size() > Call::kMaxParams) raise(PyExc_SystemError, "too many parameters: %s", signature);
    for (const ParamSpec& p : rec.sig.params) {
        ParamRecord r;
        r.name = new_ref(PyUnicode_InternFromString(p.name.c_str()));
        r.kind = p.kind;
        r.optional = p.optional;
        if (p.has_default) r.default_value = default_object(p.default_text);
        rec.params.push_back(std::move(r));
    }
    if (rec.sig.has_varkw) rec.varkw_name = new_ref(PyUnicode_InternFromString(rec.sig.varkw_name.c_str()));
    rec.required = static_cast<Py_ssize_t>(rec.sig.required);
    rec.returns_str = rec.sig.return_annotation == "str";
    rec.impl = impl;
    rec.module = module;
    rec.qualified = std::string(module->full_name) + "." + rec.sig.name;
    rec.line = line;
    return rec;
}

Call::Call(const FunctionRecord& rec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
    : rec_(rec) {
    const Py_ssize_t nparams = static_cast<Py_ssize_t>(rec.params.size());
    if (nargs > nparams) count_error(nargs, true);
    for (Py_ssize_t i = 0; i < nargs; ++i) values_[i] = Ref::borrow(args[i]);
    if (rec.sig.has_varkw) kwargs_ = new_ref(PyDict_New());

    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        bind_keywords(args + nargs, kwnames, nargs);
    } else if (nargs < rec.required) {
        count_error(nargs, false);
    }
    for (Py_ssize_t i = nargs; i < nparams; ++i)
        if (!values_[i]) values_[i] = rec.params[i].default_value.copy();
    convert();
}

void Call::bind_keywords(PyObject* const* kwvalues, PyObject* kwnames, Py_ssize_t nargs) {
    const Py_ssize_t nparams = static_cast<Py_ssize_t>(rec_.params.size());
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    Py_ssize_t matched = 0;
    // Parameters after the positional ones, in order: a required one that no
    // keyword names is reported with its position as the count given.
    for (Py_ssize_t i = nargs; i < nparams; ++i) {
        PyObject* pname = rec_.params[i].name.get();
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (name_equals(pname, PyTuple_GET_ITEM(kwnames, k))) {
                values_[i] = Ref::borrow(kwvalues[k]);
                ++matched;
                break;
            }
        }
        if (!values_[i] && i < rec_.required) count_error(i, false);
    }
    if (matched == nkw) return;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key))
            raise(PyExc_TypeError, "%.200s() keywords must be strings", rec_.sig.name.c_str());
        Py_ssize_t found = -1;
        for (Py_ssize_t i = 0; i < nparams && found < 0; ++i)
            if (name_equals(rec_.params[i].name.get(), key)) found = i;
        if (found >= nargs) continue;  // matched above
        if (found >= 0)
            raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                  rec_.sig.name.c_str(), key);
        if (!kwargs_)
            raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                  rec_.sig.name.c_str(), key);
        check(PyDict_SetItem(kwargs_.get(), key, kwvalues[k]));
    }
}

void Call::count_error(Py_ssize_t given, bool too_many) const {
    const Py_ssize_t nparams = static_cast<Py_ssize_t>(rec_.params.size());
    const bool exact = rec_.required == nparams;
    const Py_ssize_t expected = too_many ? nparams : rec_.required;
    const char* how = exact ? "exactly" : too_many ? "at most" : "at least";
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
          rec_.sig.name.c_str(), how, expected, expected == 1 ? "" : "s", given);
}

void Call::convert() {
    const std::size_t nparams = rec_.params.size();
    // Conversions first, in signature order...
    for (std::size_t i = 0; i < nparams; ++i) {
        const ParamRecord& p = rec_.params[i];
        PyObject* v = values_[i].get();
        if (p.kind == Kind::Int) {
            if (PyLong_CheckExact(v) || (p.optional && v == Py_None)) continue;
            if (!PyNumber_Check(v)) incorrect_type(p, "int", v);
            values_[i] = new_ref(PyNumber_Long(v));
        } else if (p.kind == Kind::Bool) {
            values_[i] = Ref::borrow(truthy(v) ? Py_True : Py_False);
        }
    }
    // ...then the exact-type tests, in signature order.
    for (std::size_t i = 0; i < nparams; ++i) {
        const ParamRecord& p = rec_.params[i];
        PyObject* v = values_[i].get();
        if (p.optional && v == Py_None) continue;
        switch (p.kind) {
            case Kind::OptBool:
                if (v != Py_True && v != Py_False) incorrect_type(p, "bool", v);
                break;
            case Kind::Str:
                if (!PyUnicode_CheckExact(v)) incorrect_type(p, "str", v);
                break;
            case Kind::Dict:
                if (!PyDict_CheckExact(v)) incorrect_type(p, "dict", v);
                break;
            case Kind::Tuple:
                if (!PyTuple_CheckExact(v)) incorrect_type(p, "tuple", v);
                break;
            case Kind::Any:
            case Kind::Int:
            case Kind::Bool:
                break;
        }
    }
}

Ref Call::global(const Name& name) const { return rec_.module->global(name); }

}  // namespace nivra
