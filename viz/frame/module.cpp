// viz/frame/module.cpp: create and exec steps, the once-per-process checks, sys.modules.
#include "module.h"

#include "compat.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace nivra {
namespace {

const Name kDunderName("__name__"), kDunderFile("__file__");

ModuleDef* module_def_of(PyModuleDef* def) { return reinterpret_cast<ModuleDef*>(def); }

// Copies spec.<attr> into the module dict under `key`; a missing attribute
// leaves the key out, any other error raises.
void copy_spec_attr(PyObject* spec, PyObject* dict, const char* attr, const char* key, bool allow_none) {
    PyObject* value = nullptr;
    Ref name = new_ref(PyUnicode_FromString(attr));
    if (check(compat::lookup_attr(spec, name.get(), &value)) == 0) return;
    Ref owned = Ref::steal(value);
    if (allow_none || value != Py_None) check(PyDict_SetItemString(dict, key, value));
}

// Warns when the interpreter running the module is not the one it was built for.
void check_binary_version(const char* full_name) {
    int major = 0, minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, full_name, "does not match", major, minor);
    check(PyErr_WarnEx(nullptr, message, 1));
}

void run_body(ModuleDef& md, PyObject* module) {
    Module& m = md.module;
    const ModuleDecl& decl = *md.decl;
    check(PyObject_SetAttrString(module, "__builtins__", PyEval_GetBuiltins()));
    check_binary_version(decl.full_name);

    Ref modules = Ref::borrow(PySys_GetObject("modules"));
    if (!modules) raise(PyExc_ImportError, "sys.modules is not available");
    Ref full = new_ref(PyUnicode_FromString(decl.full_name));
    if (check(PySequence_Contains(modules.get(), full.get())) == 0)
        check(PyObject_SetItem(modules.get(), full.get(), module));

    if (decl.body) decl.body(m);
    for (std::size_t i = 0; i < decl.ndefs; ++i) {
        Ref fn = make_function(decl.defs[i], &m);
        std::string name = parse_signature(decl.defs[i].signature).name;
        m.set(name.c_str(), fn.get());
    }
    Ref test = new_dict();
    m.set("__test__", test.get());
}

}  // namespace

PyObject* module_create(PyObject* spec, PyModuleDef* def) noexcept {
    ModuleDef& md = *module_def_of(def);
    long long current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (md.interpreter == -1) {
        md.interpreter = current;
    } else if (md.interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (md.module.object_) return Py_NewRef(md.module.object_);
    try {
        Ref name = new_ref(PyObject_GetAttrString(spec, "name"));
        Ref module = new_ref(PyModule_NewObject(name.get()));
        PyObject* dict = PyModule_GetDict(module.get());
        if (!dict) throw PythonError{};
        copy_spec_attr(spec, dict, "loader", "__loader__", true);
        copy_spec_attr(spec, dict, "origin", "__file__", true);
        copy_spec_attr(spec, dict, "parent", "__package__", true);
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", false);
        return module.release();
    } catch (...) {
        set_error_from_current_exception();
    }
    return nullptr;
}

int module_exec(PyObject* module) noexcept {
    PyModuleDef* def = PyModule_GetDef(module);
    if (!def) return -1;
    ModuleDef& md = *module_def_of(def);
    Module& m = md.module;
    if (m.object_) {
        if (m.object_ == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     md.decl->short_name);
        return -1;
    }
    m.short_name = md.decl->short_name;
    m.full_name = md.decl->full_name;
    m.source_file = md.decl->source_file;
    m.object_ = Py_NewRef(module);
    m.dict_ = PyModule_GetDict(module);
    try {
        run_body(md, module);
        return 0;
    } catch (...) {
        set_error_from_current_exception();
    }
    if (PyErr_Occurred()) {
        std::string where = std::string("init ") + md.decl->full_name;
        add_traceback(where.c_str(), md.decl->source_file, 1, m.dict_);
    } else {
        PyErr_Format(PyExc_ImportError, "init %s", md.decl->full_name);
    }
    // A failed body leaves nothing behind: a later import starts afresh.
    Ref old = Ref::steal(m.object_);
    m.object_ = nullptr;
    m.dict_ = nullptr;
    return -1;
}

Ref Module::global(const Name& name) const {
    PyObject* value = nullptr;
    if (check(compat::dict_get(dict_, name.get(), &value)) == 1) return Ref::steal(value);
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins && check(compat::dict_get(builtins, name.get(), &value)) == 1) return Ref::steal(value);
    raise(PyExc_NameError, "name '%U' is not defined", name.get());
}

void Module::set(const char* name, PyObject* value) const {
    check(PyDict_SetItemString(dict_, name, value));
}

Ref Module::import(const char* name) const {
    Ref text = new_ref(PyUnicode_FromString(name));
    return new_ref(PyImport_ImportModuleLevelObject(text.get(), dict_, nullptr, nullptr, 0));
}

Ref Module::import_as(const char* name, const char* alias) const {
    Ref top = import(name);
    // `import a.b as c` binds the submodule itself.
    Ref module = std::strchr(name, '.') ? new_ref(PyImport_ImportModule(name)) : top.copy();
    set(alias, module.get());
    return module;
}

void Module::import_from(const char* module, std::initializer_list<const char*> names, int level) const {
    for (const char* n : names) {
        Ref value = nivra::import_from(dict_, module, n, level);
        set(n, value.get());
    }
}

Ref import_from(PyObject* globals, const char* module, const char* name, int level) {
    Ref module_text = new_ref(PyUnicode_FromString(module));
    Ref name_text = new_ref(PyUnicode_FromString(name));
    Ref fromlist = new_ref(PyTuple_Pack(1, name_text.get()));
    Ref mod = new_ref(PyImport_ImportModuleLevelObject(module_text.get(), globals, nullptr, fromlist.get(), level));
    PyObject* value = nullptr;
    if (check(compat::lookup_attr(mod.get(), name_text.get(), &value)) == 1) return Ref::steal(value);
    // A submodule that is imported but not (yet) bound on its package.
    Ref package = get_attr_or_none(mod.get(), kDunderName.get());
    if (PyUnicode_Check(package.get())) {
        Ref full = new_ref(PyUnicode_FromFormat("%U.%U", package.get(), name_text.get()));
        if (check(compat::dict_get(PyImport_GetModuleDict(), full.get(), &value)) == 1) {
            Ref found = Ref::steal(value);
            if (found.get() != Py_None) return found;
        }
    } else {
        package = new_ref(PyUnicode_FromString("<unknown module name>"));
    }
    Ref file = get_attr_or_none(mod.get(), kDunderFile.get());
    Ref message = file.get() != Py_None
                      ? new_ref(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name_text.get(),
                                                     package.get(), file.get()))
                      : new_ref(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                                     name_text.get(), package.get()));
    PyErr_SetImportError(message.get(), package.get(), file.get());
    throw PythonError{};
}

}  // namespace nivra
