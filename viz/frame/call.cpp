// viz/frame/call.cpp: keyword calls into Python objects.
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

}  // namespace nivra
