// Finding the project's models through its call graph.
#include "models.hpp"

namespace models {
using namespace host;

namespace {

// k.split(".")[-1]: the plain name of a dotted function key.  For an exact
// str, the text after its last dot, without the list of parts.
Ref plain_name(Obj key) {
    if (PyUnicode_CheckExact(key.ptr())) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(key.ptr());
        const Py_ssize_t dot = PyUnicode_FindChar(key.ptr(), '.', 0, n, -1);
        if (dot == -2) raise();
        if (dot == -1) return Ref::borrow(key);
        return Ref::steal(PyUnicode_Substring(key.ptr(), dot + 1, n));
    }
    return getitem(call_method(key, S::split, T::dot), from_size(-1));
}

// record["module"].startswith(here): the plain prefix test, no dot required.
bool module_starts_with(Obj record, Obj here) { return startswith(getitem(record, S::module), here); }

// pathlib's own Path class while pathlib is imported (it is whenever the
// module's `Path` came from it); an empty Ref otherwise.
Ref pathlib_path() {
    static const Name s_pathlib("pathlib");
    Ref pathlib = imported(s_pathlib);
    return pathlib ? getattr_opt(pathlib, S::Path) : Ref();
}

// Whether the call graph is the call graph service's own result type,
// named as the service names it (its name is read from the type, which runs
// no code).
bool own_call_graph(Obj call_graph) {
    static const Name s_call_graph_type("morvane.morvane.CallGraph");
    Ref name = Ref::steal(PyType_GetFullyQualifiedName(call_graph.type()));
    return PyUnicode_CheckExact(name.ptr()) && eq(name, s_call_graph_type);
}

Ref find_models(Frame& f) {
    Ref pdk = call(f.global(S::get_pdk));

    // An empty mapping counts as none given.
    Ref lib_paths = Ref::borrow(f[0]);
    if (!f.truth(0)) lib_paths = call_method(f.global(S::ccg), S::default_lib_paths);
    expect_exact(lib_paths, &PyDict_Type, true);

    // The call graph is given the library paths as resolved text.
    Ref generate_call_graph = f.global(S::generate_call_graph);
    Ref resolved = new_dict();
    for_items(lib_paths, [&](Obj k, Obj v) { dict_set(resolved, k, str(call_method(v, S::resolve))); });
    Ref call_graph = call(generate_call_graph, kw(S::lib_paths, resolved));

    // Fast path, for the call graph service's own result and this module's
    // own _is_model: the service hands out the records that _is_model
    // accepts, and only those (CallGraph.select), as the filter below would
    // keep them from all records.  It relies on _is_model reading nothing but
    // the record it is given, so that the service may keep its answers while
    // a file's functions are unchanged; the records are fresh copies either
    // way, and nothing else reads the others.
    Ref model_functions;
    Ref all_modules;
    if (own_call_graph(call_graph) && made_from(f.global(S::_is_model), _is_model_sig)) {
        model_functions = call_method(call_graph, S::select, f.global(S::_is_model));
        all_modules = getitem(call_graph, S::modules);
    } else {
        Ref all_functions = getitem(call_graph, S::functions);
        all_modules = getitem(call_graph, S::modules);
        model_functions = new_dict();
        for_items(all_functions, [&](Obj k, Obj v) {
            if (truthy(call(f.global(S::_is_model), v))) dict_set(model_functions, k, v);
        });
    }

    // The project's anchor module: the first whose name starts with the
    // project name.  The project name is asked anew for every module examined.
    Ref here;
    for (Ref name : iterate(all_modules)) {
        Ref method = getattr(name, S::startswith);
        if (truthy(call(method, call(f.global(S::get_project_name))))) {
            here = name;
            break;
        }
    }
    if (!here) return new_dict();

    // Split by origin and re-keyed by plain name; a later entry of the same
    // name replaces an earlier one in its place.
    Ref functions_here = new_dict();
    Ref functions_there = new_dict();
    for_items(model_functions, [&](Obj k, Obj v) {
        dict_set(module_starts_with(v, here) ? functions_here : functions_there, plain_name(k), v);
    });

    // A project function replaces a library function of the same name.
    Ref model_records = new_dict();
    check(PyDict_Update(model_records.ptr(), functions_there.ptr()));
    check(PyDict_Update(model_records.ptr(), functions_here.ptr()));

    // The models the PDK registers, under the PDK's names; those whose
    // function is not a known model are dropped.
    Ref created = new_dict();
    for_items(getattr(pdk, S::models), [&](Obj k, Obj v) {
        dict_set(created, k, call(f.global(S::_create_record), model_records, v));
    });
    Ref registered_records = new_dict();
    for_items(created, [&](Obj k, Obj v) {
        if (truthy(v)) dict_set(registered_records, k, v);
    });

    // The project's own model functions, then the registered models; the
    // library's other functions are dropped here.
    Ref own_records = new_dict();
    for_items(model_records, [&](Obj k, Obj v) {
        if (module_starts_with(v, here)) dict_set(own_records, k, v);
    });
    model_records = new_dict();
    check(PyDict_Update(model_records.ptr(), own_records.ptr()));
    check(PyDict_Update(model_records.ptr(), registered_records.ptr()));

    // The anchor module's directory: sources under it belong to the project's
    // own PDK, all others to the base PDK.
    Ref here_path = call(f.global(S::Path), getitem(getitem(all_modules, here), S::path));
    Ref pdk_path = getattr(call_method(here_path, S::resolve), S::parent);
    Ref project_dir = call_method(call(f.global(S::get_project_dir)), S::resolve);

    // Fast path, while `Path` is pathlib's own: records of one module share
    // its source, so pdk_type and the relative source text are worked out once
    // per distinct module path text and looked up in `sources` for the others.
    // It relies on equal path texts resolving equally within one call (the
    // file system's links do not change under it), and on the steps running
    // no code but pathlib's: the path is an exact str and pdk_path and
    // project_dir are paths of the very class the resolved source has, so
    // is_relative_to and relative_to compare paths only.  A first record whose
    // steps raise leaves no entry, and the error ends the call as written.
    // Anything else takes the steps as written, record by record.
    Ref own_path = pathlib_path();
    Ref sources = new_dict();

    Ref final_model_records = new_dict();
    for_items(model_records, [&](Obj k, Obj v) {
        if (v.is_none()) return;
        Ref path_type = f.global(S::Path);
        Ref path_text = getitem(getitem(all_modules, getitem(v, S::module)), S::path);
        const bool shared = own_path && path_type.is(own_path) && PyUnicode_CheckExact(path_text.ptr());
        Ref known = shared ? dict_get(sources, path_text) : Ref();
        if (known) {
            Ref model_record_type = getattr(f.global(S::m), S::ModelRecord);
            Ref factory = getitem(v, S::name);
            Ref settings = call(getattr(f.global(S::json), S::dumps), getitem(v, S::parameter_defaults));
            dict_set(final_model_records, k,
                     call(model_record_type, kw(S::factory, factory), kw(S::settings, settings),
                          kw(S::source, Obj(PyTuple_GET_ITEM(known.ptr(), 1))),
                          kw(S::pdk_type, Obj(PyTuple_GET_ITEM(known.ptr(), 0)))));
            return;
        }
        Ref source = call_method(call(path_type, path_text), S::resolve);
        Obj pdk_type = truthy(call_method(source, S::is_relative_to, pdk_path)) ? T::pdk : T::base_pdk;
        // Sources outside the project directory are written with ".." parts.
        Ref relsource = call_method(source, S::relative_to, project_dir, kw(S::walk_up, Py_True));
        // The values in the order the record's keywords are written.
        Ref model_record_type = getattr(f.global(S::m), S::ModelRecord);
        Ref factory = getitem(v, S::name);
        Ref settings = call(getattr(f.global(S::json), S::dumps), getitem(v, S::parameter_defaults));
        Ref source_text = str(relsource);
        if (shared && pdk_path.type() == source.type() && project_dir.type() == source.type() &&
            PyUnicode_CheckExact(source_text.ptr())) {
            dict_set(sources, path_text, tuple({pdk_type, source_text}));
        }
        dict_set(final_model_records, k,
                 call(model_record_type, kw(S::factory, factory), kw(S::settings, settings),
                      kw(S::source, source_text), kw(S::pdk_type, pdk_type)));
    });

    return final_model_records;
}

constexpr Param find_models_params[] = {
    {.name = "lib_paths", .check = Check::DictOrNone, .annotation = "dict[str, Path] | None", .value = Default::None},
};
}  // namespace

const Signature find_models_sig{
    .name = "find_models",
    .qualname = "find_models",
    .params = find_models_params,
    .returns = "dict[str, m.ModelRecord]",
    .doc = "Find all models in the current project.\n"
           "\n"
           "Args:\n"
           "    lib_paths: module name -> library path mapping of all relevant python libraries.\n"
           "\n"
           "Returns:\n"
           "    dict[str, ModelRecord]: mapping of model names to their records.",
    .documented = true,
    .impl = find_models,
    .file = __FILE__,
    .line = __LINE__,
};

}  // namespace models
