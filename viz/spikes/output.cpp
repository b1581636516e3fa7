// viz/spikes/output.cpp: new zero-filled output arrays, large ones over fresh zero pages.
#include "spikes.h"

#include "frame/types.h"     // static_type
#include "kernels/memory.h"  // map_zero_pages

#include <cstdint>

#include <dlfcn.h>  // dlsym

namespace nivra::spikes {
namespace {

// Outputs from this size on get pages of their own: below it, calloc's reuse of
// freed memory costs little.
constexpr std::size_t kOwnPagesBytes = std::size_t{8} << 20;

// The tracemalloc domain the mappings are reported under, so that memory
// measurements see them as they see NumPy's own allocations.
constexpr unsigned int kTraceDomain = 0x6e697672;  // "nivr"

const Name kBuffer("buffer");

// PyTraceMalloc_Track / _Untrack, looked up by name: CPython 3.13.0's Python.h
// declares them outside its extern "C" block, so a C++ call would link to a
// mangled name that does not exist. Null where they are not found.
struct TraceMalloc {
    int (*track)(unsigned int, std::uintptr_t, std::size_t) = nullptr;
    int (*untrack)(unsigned int, std::uintptr_t) = nullptr;
    TraceMalloc() noexcept {
        track = reinterpret_cast<decltype(track)>(dlsym(RTLD_DEFAULT, "PyTraceMalloc_Track"));
        untrack = reinterpret_cast<decltype(untrack)>(dlsym(RTLD_DEFAULT, "PyTraceMalloc_Untrack"));
    }
};

const TraceMalloc& trace_malloc() noexcept {
    static const TraceMalloc functions;
    return functions;
}

// Owns one zero-page mapping and exports it as a writable buffer: the base of the
// array made over it, unmapping it when the last array over it goes.
struct PagesObject {
    PyObject_HEAD
    k::ZeroPages pages;
};

void pages_dealloc(PyObject* self) {
    auto* p = reinterpret_cast<PagesObject*>(self);
    if (trace_malloc().untrack) trace_malloc().untrack(kTraceDomain, reinterpret_cast<std::uintptr_t>(p->pages.data));
    k::unmap_zero_pages(p->pages);
    PyObject_Free(self);
}

int pages_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* p = reinterpret_cast<PagesObject*>(self);
    return PyBuffer_FillInfo(view, self, p->pages.data, static_cast<Py_ssize_t>(p->pages.size), 0, flags);
}

PyBufferProcs pages_buffer = {pages_getbuffer, nullptr};

PyTypeObject* pages_type() {
    static PyTypeObject type = [] {
        PyTypeObject t = static_type("nivra_zero_pages", sizeof(PagesObject),
                                     "Zero-filled memory of its own under a nivra.viz output array.");
        t.tp_dealloc = pages_dealloc;
        t.tp_as_buffer = &pages_buffer;
        return t;
    }();
    return &type;
}

// A new owner of `bytes` bytes of fresh zero pages, or a null Ref where none can be
// mapped; raises on other errors.
Ref zero_pages(std::size_t bytes) {
    PyTypeObject* type = pages_type();
    if (!(type->tp_flags & Py_TPFLAGS_READY)) check(PyType_Ready(type));
    k::ZeroPages pages;
    if (!k::map_zero_pages(bytes, &pages)) return Ref();
    PagesObject* p = PyObject_New(PagesObject, type);
    if (!p) {
        k::unmap_zero_pages(pages);
        throw PythonError{};
    }
    p->pages = pages;
    Ref owner = Ref::steal(reinterpret_cast<PyObject*>(p));
    // Nothing is resident yet, but the pages will be: report them as allocated.
    if (trace_malloc().track) trace_malloc().track(kTraceDomain, reinterpret_cast<std::uintptr_t>(pages.data), bytes);
    return owner;
}

}  // namespace

Ref zeroed_float32(PyObject* np, PyObject* shape, std::size_t count) {
    // Only while the module's np is NumPy itself: a caller who replaced it sees np.zeros called.
    if (g_ndarray && np == g_numpy && count <= PY_SSIZE_T_MAX / 4 && count * 4 >= kOwnPagesBytes) {
        if (Ref owner = zero_pages(count * 4)) {
            Ref dtype = str("float32");
            return call_kw(g_ndarray, {shape}, {{&kDtype, dtype.get()}, {&kBuffer, owner.get()}});
        }
    }
    return np_zeros(np, shape, kFloat32);
}

}  // namespace nivra::spikes
