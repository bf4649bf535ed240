// Ordering and importing the source files of a pass.
#include "pdk.hpp"

namespace pdk {
using namespace host;

namespace {

// _sort_paths.<locals>._sort_key: fewer components first, so that a file
// comes before those in the directories below its own; then the shorter path
// string; then code-point order.
Ref _sort_key(Frame& f) {
    Obj p = f[0];
    Ref depth = from_size(len(getattr(p, S::parts)));
    Ref length = from_size(len(str(p)));
    return tuple({depth, length, str(p)});
}

constexpr Param _sort_key_params[] = {
    {.name = "p", .annotation = "Path"},
};

const Signature _sort_key_sig{
    .name = "_sort_key",
    .qualname = "_sort_paths.<locals>._sort_key",
    .params = _sort_key_params,
    .returns = "tuple[int, int, str]",
    .doc = nullptr,
    .documented = false,
    .impl = _sort_key,
    .file = __FILE__,
    .line = __LINE__,
};

Ref _sort_paths(Frame& f) {
    Ref sort_key = make_function(_sort_key_sig, f.globals(), f.builtins());
    Ref resolved = new_list();
    for (Ref p : iterate(f[0])) list_append(resolved, call_method(call(f.global(S::Path), p), S::resolve));
    // sorted() of a list nobody else holds: sorting it in place is the same.
    call_method(resolved, S::sort, kw(S::key, sort_key));
    return resolved;
}

constexpr Param _sort_paths_params[] = {
    {.name = "paths", .annotation = "Iterable[Path]"},
};
}  // namespace

const Signature _sort_paths_sig{
    .name = "_sort_paths",
    .qualname = "_sort_paths",
    .params = _sort_paths_params,
    .returns = "list[Path]",
    .doc = nullptr,
    .documented = true,
    .impl = _sort_paths,
    .file = __FILE__,
    .line = __LINE__,
};

namespace {

// {k: v for k, v in ((k, found.get(k, None)) for k in keys) if v}; an exact
// dict's get is its lookup, without a method call.
Ref keep_found(Obj keys, Obj found) {
    Ref kept = new_dict();
    const bool plain = PyDict_CheckExact(found.ptr());
    for (Ref k : iterate(keys)) {
        Ref v = plain ? dict_get(found, k) : call_method(found, S::get, k, Obj(Py_None));
        if (v && truthy(v)) dict_set(kept, k, v);
    }
    return kept;
}

Ref _import_modules(Frame& f) {
    Obj static_records = f[0];
    Obj paths = f[1];
    const bool reload = f.truth(2);

    // The distinct source files, in the order of their first record.
    Ref seen = new_dict();
    for_values(static_records, [&](Obj r) { dict_set(seen, call_method(r, S::absolute_source), Obj(Py_None)); });
    Ref _paths = list_of(seen);

    // An empty `paths` selects every file.
    if (truthy(paths)) {
        Ref narrowed = new_list();
        for (Ref p : iterate(_paths)) {
            if (contains(paths, p)) list_append(narrowed, p);
        }
        _paths = narrowed;
    }

    Ref import_modules = getattr(f.global(S::imports), S::import_modules);
    Ref sorted_paths = call(f.global(S::_sort_paths), _paths);
    auto [modules, errors] = unpack<2>(call(import_modules, kw(S::paths, sorted_paths), kw(S::reload, boolean(reload)),
                                            kw(S::from_project, boolean(false))));

    // Keyed by the records' own paths, in their order, whatever the importer
    // resolved them to.
    modules = keep_found(_paths, modules);
    errors = keep_found(_paths, errors);
    return tuple({modules, errors});
}

constexpr Param _import_modules_params[] = {
    {.name = "static_records", .check = Check::Dict, .annotation = "dict[str, m.FactoryRecord]"},
    {.name = "paths", .check = Check::List, .annotation = "list[Path]"},
    {.name = "reload", .kind = Kind::KeywordOnly, .annotation = "bool", .value = Default::True, .prefix = "bool"},
};
}  // namespace

const Signature _import_modules_sig{
    .name = "_import_modules",
    .qualname = "_import_modules",
    .params = _import_modules_params,
    .returns = "tuple[dict[Path, ModuleType], dict[Path, tuple[str, Exception]]]",
    .doc = nullptr,
    .documented = true,
    .impl = _import_modules,
    .file = __FILE__,
    .line = __LINE__,
};

}  // namespace pdk
