// viz/frame/function.h: the function object type of all nivra.viz modules.
#pragma once

#include "binding.h"

#include <memory>

namespace nivra {

/// One declared function: its signature line (the single source of truth
/// for parameters, types, defaults and annotations), body and prose doc.
struct Def {
    const char* signature;
    Impl impl;
    const char* doc;
    int line;
};

/// Declares a table entry at the current line (the line shows in tracebacks).
#define NIVRA_DEF(signature, impl, doc) ::nivra::Def{signature, impl, doc, __LINE__}

/// Makes a function object for `def`, bound to `module`; raises on error.
Ref make_function(const Def& def, Module* module);

/// The body of a function object made by make_function, or null for any other
/// object: tells a module's own functions from replacements bound in their place.
Impl impl_of(PyObject* obj) noexcept;

/// Adds the traceback entry "<module>.<function>" for the pending exception.
void add_traceback(const char* qualified, const char* file, int line, PyObject* globals) noexcept;

}  // namespace nivra
