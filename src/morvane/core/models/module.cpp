// The models module: its initialisation entry and its body.
#include "host/module.hpp"
#include "models.hpp"

namespace models {
namespace {

void body(Obj module, Obj ns) {
    using namespace host;
    check(PyModule_SetDocString(module.ptr(), "Utilities to work with SAX models in Morvane projects."));

    // 1. The standard library.
    import_as(ns, "json", "json");
    from_import(ns, "collections", {"defaultdict"});
    from_import(ns, "collections.abc", {"Callable"});
    from_import(ns, "copy", {"deepcopy"});
    from_import(ns, "functools", {"partial"});
    from_import(ns, "pathlib", {"Path"});
    from_import(ns, "typing", {"TYPE_CHECKING", "Any"});

    // 2.-4. The collaborators: lazy proxies at run time, direct imports for
    // type checkers.
    if (!truthy(getitem(ns, text("TYPE_CHECKING")))) {
        from_import(ns, "morvane.core.lazy", {"lazy_import"});
        Ref lazy_import = getitem(ns, text("lazy_import"));
        bind(ns, "nx", call(lazy_import, text("networkx")));
        bind(ns, "sax", call(lazy_import, text("sax")));
        bind(ns, "db", call(lazy_import, text("morvane.core.database")));
        bind(ns, "natsorted", call(lazy_import, text("natsort"), text("natsorted")));
        bind(ns, "log", call(lazy_import, text("morvane.logger"), text("get_logger")));
        bind(ns, "m", call(lazy_import, text("morvane.models")));
        bind(ns, "ccg", call(lazy_import, text("morvane.core.callgraph")));
        bind(ns, "imports", call(lazy_import, text("morvane.core.imports")));
        bind(ns, "get_pdk", call(lazy_import, text("morvane.core.pdk"), text("get_pdk")));
        bind(ns, "get_base_pdk", call(lazy_import, text("morvane.core.pdk"), text("get_base_pdk")));
        bind(ns, "get_project_dir", call(lazy_import, text("morvane.settings"), text("get_project_dir")));
        bind(ns, "get_project_name", call(lazy_import, text("morvane.settings"), text("get_project_name")));
        bind(ns, "generate_call_graph", call(lazy_import, text("morvane.morvane"), text("generate_call_graph")));
    } else {
        import_as(ns, "networkx", "nx");
        import_as(ns, "sax", "sax");
        from_import(ns, "natsort", {"natsorted"});
        import_as(ns, "morvane.core.callgraph", "ccg");
        import_as(ns, "morvane.core.database", "db");
        import_as(ns, "morvane.models", "m");
        from_import(ns, "morvane.core", {"imports"});
        from_import(ns, "morvane.core.pdk", {"get_base_pdk", "get_pdk"});
        from_import(ns, "morvane.morvane", {"generate_call_graph"});
        from_import_as(ns, "morvane.logger", "get_logger", "log");
        from_import(ns, "morvane.settings", {"get_project_dir", "get_project_name"});
    }

    // 5. The functions, in definition order.
    define(ns, register_models_sig);
    define(ns, find_models_sig);
    define(ns, _is_model_sig);
    define(ns, _create_record_sig);
    define(ns, _funcname_sig);
    define(ns, _error_model_sig);
}

host::ModuleInfo info{"models", "morvane.core.models", body};

}  // namespace
}  // namespace models

PyMODINIT_FUNC PyInit_models() { return host::Extension<models::info>::init(); }
