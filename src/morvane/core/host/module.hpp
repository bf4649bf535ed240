// Module initialisation shared by the extension modules: multi-phase, the body
// run once per process, the same module object handed to later imports, one
// interpreter per process, and the statements a module body is made of.
#pragma once

#include <initializer_list>

#include "function.hpp"
#include "ops.hpp"

namespace host {

// What one extension module tells the shared initialisation.
struct ModuleInfo {
    const char* short_name;  // "pdk": used in the re-initialisation message
    const char* full_name;   // "morvane.core.pdk": used in the version warning
    void (*body)(Obj module, Obj ns);  // runs once; raises host::Error on failure
    PyObject* initialised = nullptr;    // the module whose body ran, kept for the process
    long long interpreter = -1;         // id of the one interpreter it may live in
};

// The initialisation entry: warns when built for another Python version, then
// hands the import system the module's definition.
PyObject* init_module(PyModuleDef* def, ModuleInfo& info);

// The Py_mod_create and Py_mod_exec work for one module.
PyObject* create_module(ModuleInfo& info, PyObject* spec);
int exec_module(ModuleInfo& info, PyObject* module);

// The module definition of one extension: PyInit_x returns
// host::Extension<info>::init().
template <ModuleInfo& info>
struct Extension {
    static PyObject* create(PyObject* spec, PyModuleDef*) { return create_module(info, spec); }
    static int exec(PyObject* module) { return exec_module(info, module); }
    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(create)},
        {Py_mod_exec, reinterpret_cast<void*>(exec)},
        {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
        {0, nullptr},
    };
    static inline PyModuleDef def = {
        PyModuleDef_HEAD_INIT, info.short_name, nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
    };
    static PyObject* init() { return init_module(&def, info); }
};

// ---- statements of a module body ------------------------------------------------

// import a.b.c (bound under `as`; the leaf module, as `import a.b.c as x` binds it)
void import_as(Obj ns, const char* module, const char* as);
// from module import a, b, c
void from_import(Obj ns, const char* module, std::initializer_list<const char*> names);
// from module import name as alias
void from_import_as(Obj ns, const char* module, const char* name, const char* as);
// ns[name] = value
void bind(Obj ns, const char* name, Obj value);
// A function of the module, bound under its name; returns it.
Ref define(Obj ns, const Signature& sig);

}  // namespace host
