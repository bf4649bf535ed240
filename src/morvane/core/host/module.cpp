#include "module.hpp"

#include <new>

namespace host {

namespace {

int check_binary_version(const char* module) {
    const unsigned long runtime = Py_Version;
    const int rt_major = static_cast<int>((runtime >> 24) & 0xFF);
    const int rt_minor = static_cast<int>((runtime >> 16) & 0xFF);
    if (rt_major == PY_MAJOR_VERSION && rt_minor == PY_MINOR_VERSION) return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, module, "does not match", rt_major, rt_minor);
}

}  // namespace

PyObject* init_module(PyModuleDef* def, ModuleInfo& info) {
    if (check_binary_version(info.full_name) < 0) return nullptr;
    return PyModuleDef_Init(def);
}

PyObject* create_module(ModuleInfo& info, PyObject* spec) {
    // The module keeps process-wide state (its functions hold the first
    // interpreter's objects), so it refuses every other interpreter.  The
    // module declares per-interpreter support only so that this check, and
    // not the import system's generic refusal, decides.
    const long long id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return nullptr;
    if (info.interpreter < 0) {
        info.interpreter = id;
    } else if (info.interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    // A later import (after removal from sys.modules) gets the same object.
    if (info.initialised != nullptr) return Py_NewRef(info.initialised);
    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    return module;
}

int exec_module(ModuleInfo& info, PyObject* module) {
    if (info.initialised == module) return 0;  // the same object, already run
    if (info.initialised != nullptr) {
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", info.short_name);
        return -1;
    }
    try {
        PyObject* ns = PyModule_GetDict(module);  // borrowed
        if (ns == nullptr) raise();
        info.body(module, ns);
    } catch (const Error&) {
        return -1;  // nothing recorded: the next import runs the body again
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();  // a C++ exception must not unwind into the import system
        return -1;
    }
    info.initialised = Py_NewRef(module);
    return 0;
}

void import_as(Obj ns, const char* module, const char* as) {
    Ref m = Ref::steal(PyImport_ImportModule(module));
    bind(ns, as, m);
}

void from_import(Obj ns, const char* module, std::initializer_list<const char*> names) {
    Ref fromlist = new_list();
    for (const char* name : names) list_append(fromlist, text(name));
    Ref module_name = text(module);
    Ref m = Ref::steal(PyImport_ImportModuleLevelObject(module_name.ptr(), ns.ptr(), nullptr, fromlist.ptr(), 0));
    for (const char* name : names) {
        Ref key = text(name);
        Ref value = getattr_opt(m, key);
        if (!value) raise(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
        dict_set(ns, key, value);
    }
}

void from_import_as(Obj ns, const char* module, const char* name, const char* as) {
    Ref fromlist = tuple({text(name)});
    Ref module_name = text(module);
    Ref m = Ref::steal(PyImport_ImportModuleLevelObject(module_name.ptr(), ns.ptr(), nullptr, fromlist.ptr(), 0));
    Ref value = getattr_opt(m, text(name));
    if (!value) raise(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    bind(ns, as, value);
}

void bind(Obj ns, const char* name, Obj value) { check(PyDict_SetItemString(ns.ptr(), name, value.ptr())); }

Ref define(Obj ns, const Signature& sig) {
    Ref builtins = Ref::steal(PyEval_GetFrameBuiltins());
    Ref f = make_function(sig, ns, builtins);
    bind(ns, sig.name, f);
    return f;
}

}  // namespace host
