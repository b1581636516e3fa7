// viz/frame/files.cpp: templates read and pages written as UTF-8 text (see files.h).
#include "files.h"

#include "call.h"
#include "compat.h"

namespace nivra {
namespace {

const Name kReadText("read_text"), kEncoding("encoding"), kParent("parent"), kOpen("open");
const Name kNamedTemporaryFile("NamedTemporaryFile"), kMode("mode"), kSuffix("suffix"), kDelete("delete");
const Name kEnter("__enter__"), kExit("__exit__"), kWrite("write"), kName("name");

// `with file as f: f.write(text)`: __exit__ sees a failed write, whose error goes on
// unless __exit__ swallows it. Returns f.
Ref write_closing(PyObject* file, PyObject* text) {
    Ref exit = attr(file, kExit);
    Ref f = call_method(file, kEnter);
    try {
        call_method(f.get(), kWrite, text);
    } catch (PythonError& e) {
        PyObject* exc = e.exc.get();
        Ref type = Ref::borrow(exc ? reinterpret_cast<PyObject*>(Py_TYPE(exc)) : Py_None);
        Ref tb = exc ? Ref::steal(PyException_GetTraceback(exc)) : Ref();
        Ref swallowed = call(exit.get(), type.get(), exc ? exc : Py_None, tb ? tb.get() : Py_None);
        if (!truthy(swallowed.get())) throw;
        return f;
    }
    call(exit.get(), Py_None, Py_None, Py_None);
    return f;
}

}  // namespace

Ref read_text_utf8(PyObject* path) {
    Ref read_text = attr(path, kReadText);
    Ref utf8 = str("utf-8");
    return call_kw(read_text.get(), {}, {{&kEncoding, utf8.get()}});
}

Ref templates_beside(PyObject* path_type, PyObject* file) {
    Ref here = call(path_type, file);
    Ref parent = attr(here.get(), kParent);
    Ref templates = str("templates");
    return new_ref(PyNumber_TrueDivide(parent.get(), templates.get()));
}

void write_text_utf8(PyObject* path, PyObject* text) {
    PyObject* found = nullptr;
    PyObject* builtins = PyEval_GetBuiltins();
    if (!builtins || check(compat::dict_get(builtins, kOpen.get(), &found)) == 0)
        raise(PyExc_NameError, "name 'open' is not defined");
    Ref open = Ref::steal(found);
    Ref mode = str("w"), utf8 = str("utf-8");
    Ref file = call_kw(open.get(), {path, mode.get()}, {{&kEncoding, utf8.get()}});
    write_closing(file.get(), text);
}

Ref write_temp_utf8(PyObject* tempfile, const char* suffix, PyObject* text) {
    Ref make = attr(tempfile, kNamedTemporaryFile);
    Ref mode = str("w"), ending = str(suffix), utf8 = str("utf-8");
    Ref file = call_kw(make.get(), {}, {{&kMode, mode.get()}, {&kSuffix, ending.get()}, {&kDelete, Py_False},
                                        {&kEncoding, utf8.get()}});
    Ref f = write_closing(file.get(), text);
    return attr(f.get(), kName);
}

}  // namespace nivra
