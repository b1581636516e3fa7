// viz/frame/call.cpp: keyword calls into Python objects, and templates and pages through path objects.
#include "call.h"

#include <vector>

namespace nivra {

Ref call_kw(PyObject* f, std::initializer_list<PyObject*> positional,
            std::initializer_list<Keyword> keywords) {
    std::vector<PyObject*> argv;
    argv.reserve(1 + positional.size() + keywords.size());
    argv.push_back(nullptr);
    for (PyObject* a : positional) argv.push_back(a);
    Ref kwnames = new_ref(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    Py_ssize_t i = 0;
    for (const Keyword& kw : keywords) {
        PyObject* name = kw.first->get();
        PyTuple_SET_ITEM(kwnames.get(), i++, Ref::borrow(name).release());
        argv.push_back(kw.second);
    }
    return new_ref(PyObject_Vectorcall(
        f, argv.data() + 1, positional.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
        keywords.size() ? kwnames.get() : nullptr));
}

namespace {
const Name kReadText("read_text"), kWriteText("write_text"), kEncoding("encoding"), kParent("parent");
}

Ref templates_beside(PyObject* path_type, PyObject* file) {
    Ref here = call(path_type, file);
    Ref parent = attr(here.get(), kParent);
    Ref templates = str("templates");
    return new_ref(PyNumber_TrueDivide(parent.get(), templates.get()));
}

Ref read_text_utf8(PyObject* path) {
    Ref read_text = attr(path, kReadText);
    Ref utf8 = str("utf-8");
    return call_kw(read_text.get(), {}, {{&kEncoding, utf8.get()}});
}

void write_text_utf8(PyObject* path, PyObject* text) {
    Ref write_text = attr(path, kWriteText);
    Ref utf8 = str("utf-8");
    call_kw(write_text.get(), {text}, {{&kEncoding, utf8.get()}});
}

}  // namespace nivra
