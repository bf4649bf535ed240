// Resolving and activating the project's PDK.
#include <string>

#include "pdk.hpp"

namespace pdk {
using namespace host;

namespace {

Ref get_pdk(Frame& f) {
    // The base PDK first: on the first call this resolves and caches the
    // project PDK too, and freezes a second copy of it.
    call(f.global(S::get_base_pdk));
    Ref pdk = call(f.global(S::_get_pdk));
    // Every call, so that the project PDK is active again whatever a caller
    // activated in between.
    call_method(pdk, S::activate);
    log(f, S::debug, [&] { return concat({text("Activated PDK: "), format(getattr(pdk, S::name))}); });
    return pdk;
}

}  // namespace

const Signature get_pdk_sig{
    .name = "get_pdk",
    .qualname = "get_pdk",
    .params = {},
    .returns = "pf.Pdk",
    .doc = "Import a PDK by name.\n"
           "\n"
           "Returns:\n"
           "    pf.Pdk: The imported PDK object.\n"
           "\n"
           "Raises:\n"
           "    ImportError: If the specified PDK cannot be found.",
    .documented = true,
    .impl = get_pdk,
    .file = __FILE__,
    .line = __LINE__,
};

namespace {

bool in_sys_modules(const Frame& f, Obj module_name) {
    return contains(getattr(f.global(S::sys), S::modules), module_name);
}

Ref _get_pdk(Frame& f) {
    Ref import_name = call_method(f.global(S::settings), S::get_pdk_name);
    Ref submod = none();

    Ref lowered = call_method(import_name, S::lower);
    if (eq(lowered, text("generic")) || eq(lowered, text("gpdk"))) {
        // The layout library's generic technology.
        Ref lib_name = eq(call_method(import_name, S::lower), text("generic")) ? text("polyforge.generic_tech")
                                                                                : text("polyforge.gpdk");
        const bool needs_reload = in_sys_modules(f, lib_name);
        Ref generic_tech = call_method(f.global(S::importlib), S::import_module, lib_name);
        if (needs_reload) generic_tech = call_method(f.global(S::importlib), S::reload, generic_tech);
        // The undecorated factory: the library's own cache would hand back the
        // PDK it built before the reload.
        Ref pdk = call(getattr(getattr(generic_tech, S::get_generic_pdk), S::__wrapped__));
        return pdk;
    }

    // A PDK package: reloaded when already imported, so that edits show.
    const bool needs_reload = in_sys_modules(f, import_name);
    Ref module = call_method(f.global(S::importlib), S::import_module, import_name);
    if (needs_reload) {
        module = call_method(f.global(S::importlib), S::reload, module);
        Ref submod_name = concat({format(import_name), text(".pdk")});
        if (in_sys_modules(f, submod_name)) {
            Ref reload = getattr(f.global(S::importlib), S::reload);
            submod = call(reload, getitem(getattr(f.global(S::sys), S::modules), submod_name));
        }
    }
    if (!hasattr(module, S::PDK) && !hasattr(submod, S::PDK)) {
        Ref message = concat({text("Module '"), format(import_name), text("' does not expose a PDK in its __init__.py.")});
        PyErr_SetObject(PyExc_ImportError, message.ptr());
        raise();
    }
    return hasattr(submod, S::PDK) ? getattr(submod, S::PDK) : getattr(module, S::PDK);
}

}  // namespace

const Signature _get_pdk_sig{
    .name = "_get_pdk",
    .qualname = "_get_pdk",
    .params = {},
    .returns = "pf.Pdk",
    .doc = nullptr,
    .documented = true,
    .impl = _get_pdk,
    .file = __FILE__,
    .line = __LINE__,
};

namespace {

// warn(msg, category, stacklevel=2), made from a Python frame that stands in
// for the native function's own: warnings count Python frames only, and
// without one stacklevel=2 would name our caller's caller (and, at the top of
// a script, no module at all, which the default filters silence).
Ref warn_as_caller(Obj warn, Obj msg, Obj category) {
    static PyObject* trampoline = nullptr;  // kept for the life of the process
    if (trampoline == nullptr) {
        // Padded so that a traceback through it points at this line.
        std::string source(__LINE__ - 1, '\n');
        source += "def activate_pdk_by_name(warn, msg, category):\n    return warn(msg, category, stacklevel=2)\n";
        Ref code = Ref::steal(Py_CompileString(source.c_str(), __FILE__, Py_file_input));
        Ref ns = new_dict();
        dict_set(ns, S::__name__, text("morvane.core.pdk"));
        dict_set(ns, text("__builtins__"), Ref::steal(PyEval_GetFrameBuiltins()));
        Ref::steal(PyEval_EvalCode(code.ptr(), ns.ptr(), ns.ptr()));
        trampoline = dict_get(ns, text("activate_pdk_by_name")).release();
    }
    return call(trampoline, warn, msg, category);
}

Ref activate_pdk_by_name(Frame& f) {
    Obj name = f[0];
    Ref pdk_name = call_method(f.global(S::settings), S::get_pdk_name);
    // Built before the comparison, as it is also when discarded.
    Ref extra_msg = concat({text("The given 'name' argument '"), format(name), text("' will be ignored. Using '"),
                            format(pdk_name), text("' instead (as configured in 'pyproject.toml').")});
    if (eq(pdk_name, name)) extra_msg = text("");
    Ref msg = concat({text("activate_pdk_by_name is deprecated, use get_pdk() instead. "), extra_msg});
    warn_as_caller(getattr(f.global(S::warnings), S::warn), msg, Obj(PyExc_DeprecationWarning));
    return call(f.global(S::get_pdk));
}

constexpr Param activate_pdk_by_name_params[] = {
    {.name = "name", .check = Check::Str, .annotation = "str"},
};
}  // namespace

const Signature activate_pdk_by_name_sig{
    .name = "activate_pdk_by_name",
    .qualname = "activate_pdk_by_name",
    .params = activate_pdk_by_name_params,
    .returns = "pf.Pdk",
    .doc = "Activate a PDK by name (deprecated).\n"
           "\n"
           "Args:\n"
           "    name: Name of the PDK to activate. (deprecated, will be ignored)\n"
           "\n"
           "Returns:\n"
           "    pf.Pdk: The activated PDK object.",
    .documented = true,
    .impl = activate_pdk_by_name,
    .file = __FILE__,
    .line = __LINE__,
};

}  // namespace pdk
