// viz/frame/progress.cpp: the progress hook (see progress.h and nivra/viz/_progress.py).
#include "progress.h"

#include "call.h"
#include "compat.h"

namespace nivra {
namespace {
const Name kModule("nivra.viz._progress"), kCallback("_callback");
}  // namespace

void report_progress(const char* stage, Py_ssize_t done, Py_ssize_t total) {
    // No callback can be set before the module is imported: nothing to import here.
    PyObject* found = nullptr;
    if (check(compat::dict_get(PyImport_GetModuleDict(), kModule.get(), &found)) == 0) return;
    Ref module = Ref::steal(found);
    if (check(compat::lookup_attr(module.get(), kCallback.get(), &found)) == 0) return;
    Ref var = Ref::steal(found);
    if (!PyContextVar_CheckExact(var.get())) return;
    check(PyContextVar_Get(var.get(), nullptr, &found));
    Ref callback = Ref::steal(found);
    if (!callback || callback.get() == Py_None) return;
    Ref name = str(stage), done_int = integer(done), total_int = integer(total);
    call(callback.get(), name.get(), done_int.get(), total_int.get());
}

}  // namespace nivra
