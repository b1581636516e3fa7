// viz/frame/module.h: module creation and execution shared by the five modules.
#pragma once

#include "call.h"
#include "function.h"

#include <cstddef>
#include <initializer_list>

namespace nivra {

/// The module being executed or called into: its object and dictionary, and
/// the imports and lookups its body needs. Lives for the whole process.
class Module {
public:
    const char* short_name;   // "render"
    const char* full_name;    // "nivra.viz.render"
    const char* source_file;  // shown in tracebacks

    PyObject* object() const noexcept { return object_; }
    PyObject* dict() const noexcept { return dict_; }

    /// The module-level name, looked up now: module dict, then builtins,
    /// else NameError "name '%U' is not defined".
    Ref global(const Name& name) const;
    /// Binds a module-level name; raises on error.
    void set(const char* name, PyObject* value) const;
    /// `import name` (absolute); returns the top-level module bound by that statement.
    Ref import(const char* name) const;
    /// `import dotted.name as alias` / `import name`; binds and returns the module.
    Ref import_as(const char* name, const char* alias) const;
    /// `from module import a, b, ...` (level 1 for a sibling module); binds each name
    /// (through nivra::import_from).
    void import_from(const char* module, std::initializer_list<const char*> names,
                     int level = 0) const;

    PyObject* object_ = nullptr;
    PyObject* dict_ = nullptr;
};

/// `from module import name` as the statement does it, with `globals` the importing
/// module's dict (level 1 for a sibling module): the module's attribute, else the
/// submodule "<module>.<name>" already in sys.modules, else ImportError "cannot import
/// name 'name' from 'module' (its file)". The one way module code imports a name, at
/// import or at call time; raises on error.
Ref import_from(PyObject* globals, const char* module, const char* name, int level = 0);

/// A module's declaration: names, doc, the body that binds imports and tables,
/// and the function table in binding order.
struct ModuleDecl {
    const char* short_name;
    const char* full_name;
    const char* doc;
    const char* source_file;
    void (*body)(Module&);  // imports and tables, before the functions
    const Def* defs;
    std::size_t ndefs;
};

/// The module definition CPython sees, with the state of this process.
struct ModuleDef {
    PyModuleDef def;
    const ModuleDecl* decl;
    Module module;
    long long interpreter = -1;  // the one interpreter allowed to load the module
};

PyObject* module_create(PyObject* spec, PyModuleDef* def) noexcept;
int module_exec(PyObject* module) noexcept;

}  // namespace nivra

/// Defines PyInit_<name> for a module file whose table is `defs` and body `body`.
#define NIVRA_MODULE(name, doc, body, defs)                                                 \
    static const ::nivra::ModuleDecl name##_decl = {                                        \
        #name, "nivra.viz." #name, doc, "viz/" #name ".cpp", body, defs,                    \
        sizeof(defs) / sizeof((defs)[0])};                                                  \
    static PyModuleDef_Slot name##_slots[] = {                                              \
        {Py_mod_create, reinterpret_cast<void*>(::nivra::module_create)},                  \
        {Py_mod_exec, reinterpret_cast<void*>(::nivra::module_exec)},                      \
        {0, nullptr}};                                                                      \
    static ::nivra::ModuleDef name##_def = {                                                \
        {PyModuleDef_HEAD_INIT, "nivra.viz." #name, doc, 0, nullptr, name##_slots, nullptr, \
         nullptr, nullptr},                                                                 \
        &name##_decl,                                                                       \
        {},                                                                                 \
        -1};                                                                                \
    PyMODINIT_FUNC PyInit_##name(void) { return PyModuleDef_Init(&name##_def.def); }
