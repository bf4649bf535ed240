// The pdk module: its initialisation entry and its body.
#include "host/module.hpp"
#include "pdk.hpp"

namespace pdk {
namespace {

void body(Obj module, Obj ns) {
    using namespace host;
    // 1. The docstring.
    check(PyModule_SetDocString(module.ptr(), "PDK Utilties."));

    // 2. The standard library, one statement at a time.
    import_as(ns, "importlib", "importlib");
    import_as(ns, "sys", "sys");
    import_as(ns, "warnings", "warnings");
    from_import(ns, "collections", {"defaultdict"});
    from_import(ns, "collections.abc", {"Callable", "Iterable"});
    from_import(ns, "copy", {"copy", "deepcopy"});
    from_import(ns, "functools", {"cache"});
    from_import(ns, "pathlib", {"Path"});
    from_import(ns, "types", {"ModuleType"});
    from_import(ns, "typing", {"TYPE_CHECKING", "Any", "cast"});

    // 3. The collaborators: direct imports for type checkers, lazy proxies at run time.
    if (truthy(getitem(ns, text("TYPE_CHECKING")))) {
        import_as(ns, "polyforge", "pf");
        from_import(ns, "frozendict", {"frozendict"});
        import_as(ns, "morvane.core.callgraph", "cg");
        import_as(ns, "morvane.core.database", "db");
        import_as(ns, "morvane.models", "m");
        from_import(ns, "morvane", {"settings"});
        from_import(ns, "morvane.core", {"imports"});
        from_import(ns, "morvane.core.models", {"register_models"});
        from_import_as(ns, "morvane.logger", "get_logger", "log");
    } else {
        from_import(ns, "morvane.core.lazy", {"lazy_import"});
        Ref lazy_import = getitem(ns, text("lazy_import"));
        bind(ns, "m", call(lazy_import, text("morvane.models")));
        bind(ns, "cg", call(lazy_import, text("morvane.core.callgraph")));
        bind(ns, "pf", call(lazy_import, text("polyforge")));
        bind(ns, "log", call(lazy_import, text("morvane.logger"), text("get_logger")));
        bind(ns, "settings", call(lazy_import, text("morvane.settings")));
        bind(ns, "frozendict", call(lazy_import, text("frozendict"), text("frozendict")));
        bind(ns, "imports", call(lazy_import, text("morvane.core.imports")));
        bind(ns, "db", call(lazy_import, text("morvane.core.database")));
        bind(ns, "register_models", call(lazy_import, text("morvane.core.models"), text("register_models")));
    }

    // 4. The functions and the class, in definition order; `cache` is read
    // from the namespace at each decoration.
    // As with a decorator, the name is bound once, to the wrapper.
    auto decorate_with_cache = [&](const Signature& sig) {
        Ref plain = make_function(sig, ns, Ref::steal(PyEval_GetFrameBuiltins()));
        bind(ns, sig.name, call(getitem(ns, text("cache")), plain));
    };
    define(ns, get_pdk_sig);
    decorate_with_cache(get_base_pdk_sig);
    define(ns, register_cells_sig);
    define(ns, activate_pdk_by_name_sig);

    // 5. class FrozenPdk(pf.Pdk): the base is read through the proxy now.
    {
        Ref base = getattr(getitem(ns, text("pf")), text("Pdk"));
        if (!PyType_Check(base.ptr())) {
            raise(PyExc_TypeError, "pf.Pdk must be a class, not %.200s", Py_TYPE(base.ptr())->tp_name);
        }
        Ref metaclass = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(base.ptr())));
        Ref name = text("FrozenPdk");
        Ref bases = tuple({base});
        Ref class_ns = call_method(metaclass, text("__prepare__"), name, bases);
        Ref builtins = Ref::steal(PyEval_GetFrameBuiltins());
        setitem(class_ns, text("__module__"), getitem(ns, text("__name__")));
        setitem(class_ns, text("__qualname__"), name);
        setitem(class_ns, text("__doc__"), text("A frozen PDK that prevents modification of its attributes."));
        setitem(class_ns, text("__setattr__"), make_function(frozen_setattr_sig, ns, builtins));
        setitem(class_ns, text("__delattr__"), make_function(frozen_delattr_sig, ns, builtins));
        bind(ns, "FrozenPdk", call(metaclass, name, bases, class_ns));
    }

    decorate_with_cache(_get_pdk_sig);
    define(ns, _sort_paths_sig);
    define(ns, _error_cell_sig);
    define(ns, _import_modules_sig);
    define(ns, _handle_import_errors_sig);
    define(ns, _find_cells_sig);
    define(ns, _get_database_updates_sig);
    define(ns, _clean_containers_also_in_cells_sig);
}

host::ModuleInfo info{"pdk", "morvane.core.pdk", body};

}  // namespace
}  // namespace pdk

PyMODINIT_FUNC PyInit_pdk() { return host::Extension<pdk::info>::init(); }
