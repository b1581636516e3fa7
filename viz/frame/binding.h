// viz/frame/binding.h: a function's binding record, and a call's bound, converted arguments.
#pragma once

#include "names.h"
#include "signature.h"

#include <string>
#include <vector>

namespace nivra {

class Call;
class Module;

/// The body of a module function: reads its arguments from the Call, returns
/// a new reference or throws PythonError.
using Impl = Ref (*)(Call&);

struct ParamRecord {
    Ref name;  // interned
    Kind kind = Kind::Any;
    bool optional = false;
    Ref default_value;  // null when the parameter is required
};

/// Everything binding needs, made once from the signature line.
struct FunctionRecord {
    Signature sig;
    std::vector<ParamRecord> params;
    Ref varkw_name;
    Py_ssize_t required = 0;
    bool returns_str = false;
    Impl impl = nullptr;
    Module* module = nullptr;
    PyObject* self = nullptr;  // the function object made from this record (not owned)
    std::string qualified;  // "nivra.viz.<module>.<function>", for tracebacks
    int line = 0;

    /// Builds the record from a signature line; raises (SystemError) on a bad line.
    static FunctionRecord make(const char* signature, Impl impl, Module* module, int line);
};

/// The arguments of one call, bound to parameters and converted by type word.
class Call {
public:
    static constexpr std::size_t kMaxParams = 8;

    /// Binds a vectorcall; raises TypeError with the binding messages.
    Call(const FunctionRecord& rec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

    /// The bound (converted) argument of parameter i, borrowed.
    PyObject* operator[](std::size_t i) const noexcept { return values_[i].get(); }
    /// A new reference to the argument of parameter i.
    Ref take(std::size_t i) const noexcept { return values_[i].copy(); }
    /// The **kwargs dictionary (only for functions that collect them).
    PyObject* kwargs() const noexcept { return kwargs_.get(); }

    const FunctionRecord& record() const noexcept { return rec_; }
    Module& module() const noexcept { return *rec_.module; }
    /// The module-level name, looked up now: module dict, then builtins, else NameError.
    Ref global(const Name& name) const;

private:
    [[noreturn]] void count_error(Py_ssize_t given, bool too_many) const;
    void bind_keywords(PyObject* const* kwvalues, PyObject* kwnames, Py_ssize_t nargs);
    void convert();

    const FunctionRecord& rec_;
    Ref values_[kMaxParams];
    Ref kwargs_;
};

}  // namespace nivra
