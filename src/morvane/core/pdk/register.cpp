// The cell registration pass.
#include "pdk.hpp"

namespace pdk {
using namespace host;

namespace {

// One path where an iterable of paths belongs: iterating it would select
// nothing (the characters of a str) and the pass would report success.
void refuse_single_path(Obj paths) {
    const bool path_like = PyUnicode_Check(paths.ptr()) || PyBytes_Check(paths.ptr()) ||
                           hasattr(Obj(reinterpret_cast<PyObject*>(paths.type())), S::__fspath__);
    if (!path_like) return;
    raise(PyExc_TypeError, "register_cells() paths must be an iterable of paths, not %.200s; pass a list of paths, "
          "as in paths=[path]", paths.type()->tp_name);
}

// present_records[name] = record for the stored records of `more` whose names
// it does not hold yet.
void add_missing(Obj present_records, Obj more) {
    for_items(more, [&](Obj name, Obj record) {
        if (!contains(present_records, name)) setitem(present_records, name, record);
    });
}

Ref register_cells(Frame& f) {
    refuse_single_path(f[0]);
    // `reload: bool` is taken by truthiness once, as the call binds it.
    const bool reload = f.truth(1);

    // Iterated once: a generator serves every later step as the same list.
    Ref paths = list_of(f[0]);
    Ref pdk = call(f.global(S::get_pdk));
    Ref G = call_method(f.global(S::cg), S::create_callgraph);
    Ref static_records = call_method(f.global(S::cg), S::get_static_records, G, kw(S::paths, paths));

    auto [modules, errors] = unpack<2>(call(f.global(S::_import_modules), static_records, paths,
                                            kw(S::reload, boolean(reload))));
    auto [error_cells, error_records] = unpack<2>(call(f.global(S::_handle_import_errors), static_records, errors));
    // From here on the factories of failed files are "ERROR" records, which
    // _find_cells leaves alone.
    call_method(static_records, S::update, error_records);
    Ref new_cells = call(f.global(S::_find_cells), static_records, modules);
    // Error cells last: they win over whatever a failed file's name held.
    call_method(getattr(pdk, S::cells), S::update, new_cells);
    call_method(getattr(pdk, S::cells), S::update, error_cells);

    Ref present_records;
    if (truthy(paths)) {
        present_records = call_star(getattr(f.global(S::db), S::get_factories_by_name), static_records);
        // What the named files held before: a name they no longer define
        // (renamed, deleted, moved away) is compared too, and so removed.
        add_missing(present_records, call_star(getattr(f.global(S::db), S::get_factories_by_source), paths));
    } else {
        present_records = call_method(f.global(S::db), S::get_all_factories);
    }
    auto [add, remove] = unpack<2>(call(f.global(S::_get_database_updates), static_records, present_records, paths));
    call_star(getattr(f.global(S::db), S::add_factories), add);
    call_star(getattr(f.global(S::db), S::remove_factories), remove);

    for (Ref name : iterate(remove)) {
        if (contains(getattr(pdk, S::cells), name)) delitem(getattr(pdk, S::cells), name);
    }
    Ref added = new_list();
    for (Ref r : iterate(add)) list_append(added, getattr(r, S::name));

    if (reload) call(f.global(S::register_models), G, kw(S::reload, boolean(true)));
    call(f.global(S::_clean_containers_also_in_cells), pdk);
    return tuple({added, remove});
}

constexpr Param register_cells_params[] = {
    {.name = "paths", .kind = Kind::KeywordOnly, .annotation = "Iterable[Path]", .value = Default::EmptyTuple},
    {.name = "reload", .kind = Kind::KeywordOnly, .annotation = "bool", .value = Default::True, .prefix = "bool"},
};
}  // namespace

const Signature register_cells_sig{
    .name = "register_cells",
    .qualname = "register_cells",
    .params = register_cells_params,
    .returns = "tuple[list[str], list[str]]",
    .doc = "Register PDK cells.\n"
           "\n"
           "Args:\n"
           "    paths: Paths to Python modules containing PDK cells.\n"
           "        If empty, it will import all modules.\n"
           "    reload: Whether to reload the modules we're importing from.\n"
           "\n"
           "Returns:\n"
           "    tuple[list[str], list[str]]:\n"
           "        - List of names of newly registered cells.\n"
           "        - List of names of deleted cells.",
    .documented = true,
    .impl = register_cells,
    .file = __FILE__,
    .line = __LINE__,
};

}  // namespace pdk
