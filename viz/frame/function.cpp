// viz/frame/function.cpp: the function type, its attributes, vectorcall and the traceback entry.
#include "function.h"

#include "compat.h"
#include "module.h"
#include "types.h"

#include <frameobject.h>

#include <cstring>
#include <new>
#include <string>

namespace nivra {
namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FunctionRecord* rec;
    PyObject* name;         // __name__ and __qualname__
    PyObject* doc;          // signature line, blank line, prose
    PyObject* defaults;     // tuple, or None
    PyObject* annotations;  // dict: parameter name -> annotation text, then "return"
    PyObject* dict;         // __dict__
    PyObject* signature;    // inspect.Signature, made on first use
};

FunctionObject* as_fn(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

PyObject* vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    FunctionObject* f = as_fn(self);
    const FunctionRecord& rec = *f->rec;
    try {
        Call c(rec, args, PyVectorcall_NARGS(nargsf), kwnames);
        Ref result = rec.impl(c);
        if (!result) {
            throw_if_error();
            raise(PyExc_SystemError, "%s returned no result", rec.qualified.c_str());
        }
        if (rec.returns_str) expect_exact(result.get(), &PyUnicode_Type, true);
        return result.release();
    } catch (...) {
        set_error_from_current_exception();
    }
    add_traceback(rec.qualified.c_str(), rec.module->source_file, rec.line, rec.module->dict());
    return nullptr;
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_fn(self);
    Py_VISIT(f->dict);
    Py_VISIT(f->annotations);
    Py_VISIT(f->signature);
    Py_VISIT(f->defaults);
    return 0;
}

int clear(PyObject* self) {
    FunctionObject* f = as_fn(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->signature);
    Py_CLEAR(f->defaults);
    return 0;
}

void dealloc(PyObject* self) {
    FunctionObject* f = as_fn(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->doc);
    delete f->rec;
    PyObject_GC_Del(self);
}

PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("<nivra function %s>", as_fn(self)->rec->qualified.c_str());
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_fn(self)->name); }
PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(as_fn(self)->doc); }
PyObject* get_module(PyObject* self, void*) {
    return PyUnicode_FromString(as_fn(self)->rec->module->full_name);
}
PyObject* get_defaults(PyObject* self, void*) {
    PyObject* d = as_fn(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
PyObject* get_annotations(PyObject* self, void*) {
    PyObject* a = as_fn(self)->annotations;
    return Py_NewRef(a ? a : Py_None);
}
PyObject* get_dict(PyObject* self, void*) {
    FunctionObject* f = as_fn(self);
    if (!f->dict && !(f->dict = PyDict_New())) return nullptr;
    return Py_NewRef(f->dict);
}

// inspect.signature() and help() read this; made once, on first use.
Ref build_signature(FunctionObject* f) {
    Ref inspect = new_ref(PyImport_ImportModule("inspect"));
    Ref parameter = new_ref(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref kind = new_ref(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
    Ref varkw_kind = new_ref(PyObject_GetAttrString(parameter.get(), "VAR_KEYWORD"));
    Ref params = new_ref(PyList_New(0));
    static const Name kDefault("default"), kAnnotation("annotation"), kReturn("return_annotation");
    const FunctionRecord& rec = *f->rec;
    for (std::size_t i = 0; i < rec.params.size(); ++i) {
        const ParamRecord& p = rec.params[i];
        Ref ann = new_ref(PyUnicode_FromString(rec.sig.params[i].annotation.c_str()));
        Ref param = p.default_value
            ? call_kw(parameter.get(), {p.name.get(), kind.get()},
                      {{&kDefault, p.default_value.get()}, {&kAnnotation, ann.get()}})
            : call_kw(parameter.get(), {p.name.get(), kind.get()}, {{&kAnnotation, ann.get()}});
        append(params.get(), param.get());
    }
    if (rec.varkw_name) {
        Ref ann = new_ref(PyUnicode_FromString(rec.sig.varkw_annotation.c_str()));
        Ref param = call_kw(parameter.get(), {rec.varkw_name.get(), varkw_kind.get()},
                            {{&kAnnotation, ann.get()}});
        append(params.get(), param.get());
    }
    Ref signature = new_ref(PyObject_GetAttrString(inspect.get(), "Signature"));
    Ref ret = new_ref(PyUnicode_FromString(rec.sig.return_annotation.c_str()));
    return call_kw(signature.get(), {params.get()}, {{&kReturn, ret.get()}});
}

PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* f = as_fn(self);
    if (!f->signature) {
        try {
            f->signature = build_signature(f).release();
        } catch (...) {
            set_error_from_current_exception();
            return nullptr;
        }
    }
    return Py_NewRef(f->signature);
}

// Functions pickle by reference, like built-in functions: by module and name.
PyObject* reduce(PyObject* self, PyObject*) { return Py_NewRef(as_fn(self)->name); }

PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", get_dict, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* function_type() {
    static PyTypeObject type = [] {
        PyTypeObject t = static_type("nivra_function", sizeof(FunctionObject), "A function of a nivra.viz module.");
        t.tp_dealloc = dealloc;
        t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
        t.tp_repr = repr;
        t.tp_call = PyVectorcall_Call;
        t.tp_flags |= Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
        t.tp_traverse = traverse;
        t.tp_clear = clear;
        t.tp_methods = methods;
        t.tp_getset = getset;
        t.tp_dictoffset = offsetof(FunctionObject, dict);
        return t;
    }();
    return &type;
}

}  // namespace

Ref make_function(const Def& def, Module* module) {
    PyTypeObject* type = function_type();
    if (!(type->tp_flags & Py_TPFLAGS_READY)) check(PyType_Ready(type));
    auto rec = std::make_unique<FunctionRecord>(FunctionRecord::make(def.signature, def.impl, module, def.line));

    Ref name = new_ref(PyUnicode_InternFromString(rec->sig.name.c_str()));
    std::string doc_text = std::string(def.signature) + "\n\n" + (def.doc ? def.doc : "");
    Ref doc = new_ref(PyUnicode_FromStringAndSize(doc_text.data(), static_cast<Py_ssize_t>(doc_text.size())));

    Ref defaults = Ref::borrow(Py_None);
    Py_ssize_t ndefaults = static_cast<Py_ssize_t>(rec->params.size()) - rec->required;
    if (ndefaults > 0) {
        defaults = new_ref(PyTuple_New(ndefaults));
        for (Py_ssize_t i = 0; i < ndefaults; ++i)
            PyTuple_SET_ITEM(defaults.get(), i, rec->params[rec->required + i].default_value.copy().release());
    }
    Ref annotations = new_ref(PyDict_New());
    for (std::size_t i = 0; i < rec->params.size(); ++i) {
        const std::string& text = rec->sig.params[i].annotation;
        if (text.empty()) continue;
        Ref a = new_ref(PyUnicode_FromString(text.c_str()));
        check(PyDict_SetItem(annotations.get(), rec->params[i].name.get(), a.get()));
    }
    if (rec->varkw_name && !rec->sig.varkw_annotation.empty()) {
        Ref a = new_ref(PyUnicode_FromString(rec->sig.varkw_annotation.c_str()));
        check(PyDict_SetItem(annotations.get(), rec->varkw_name.get(), a.get()));
    }
    if (!rec->sig.return_annotation.empty()) {
        Ref a = new_ref(PyUnicode_FromString(rec->sig.return_annotation.c_str()));
        check(PyDict_SetItemString(annotations.get(), "return", a.get()));
    }

    FunctionObject* f = PyObject_GC_New(FunctionObject, type);
    if (!f) throw PythonError{};
    f->vectorcall = vectorcall;
    f->rec = rec.release();
    f->rec->self = reinterpret_cast<PyObject*>(f);
    f->name = name.release();
    f->doc = doc.release();
    f->defaults = defaults.get() == Py_None ? nullptr : defaults.release();
    f->annotations = annotations.release();
    f->dict = nullptr;
    f->signature = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

Impl impl_of(PyObject* obj) noexcept {
    if (!obj || Py_TYPE(obj) != function_type()) return nullptr;
    return as_fn(obj)->rec->impl;
}

void add_traceback(const char* qualified, const char* file, int line, PyObject* globals) noexcept {
    PyObject* exc = compat::take_exception();
    if (!exc) return;
    PyCodeObject* code = PyCode_NewEmpty(file, qualified, line);
    PyFrameObject* frame = nullptr;
    if (code && globals) frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    if (!frame) PyErr_Clear();
    compat::set_exception(exc);
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(reinterpret_cast<PyObject*>(frame));
    Py_XDECREF(reinterpret_cast<PyObject*>(code));
}

}  // namespace nivra
