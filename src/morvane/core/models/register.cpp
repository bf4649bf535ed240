// The model registration pass.
#include <vector>

#include "models.hpp"

namespace models {
using namespace host;

namespace {

// log().<level>(message): a new logger call for every record, the message
// built after the level method is looked up, as `log().debug(f"...")` does.
template <class Message>
void log_line(Frame& f, Obj level, Message message) {
    Ref method = getattr(call(f.global(S::log)), level);
    call(method, message());
}

// The entry `models` holds under `name`, or an empty Ref; `name in models`,
// then `models[name]`, for a mapping that is not a plain dict.
Ref current_entry(Obj models, Obj name) {
    if (PyDict_CheckExact(models.ptr())) return dict_get(models, name);
    if (!contains(models, name)) return {};
    return getitem(models, name);
}

// `a.attr == b.attr` for an attribute both have.
bool same_attribute(Obj a, Obj b, Obj attr) {
    Ref x = getattr_opt(a, attr);
    if (!x) return false;
    Ref y = getattr_opt(b, attr);
    return y && eq(x, y);
}

// Guards the walks down a chain of partials (a partial can be made to hold
// itself), as the interpreter guards a recursive Python function.
struct Descent {
    Descent() {
        if (Py_EnterRecursiveCall(" while unwrapping a partial")) raise();
    }
    ~Descent() { Py_LeaveRecursiveCall(); }
    Descent(const Descent&) = delete;
    Descent& operator=(const Descent&) = delete;
};

// The function a partial (of a partial ...) wraps.
Ref innermost_function(Obj p, Obj partial) {
    Descent descent;
    Ref inner = getattr(p, S::func);
    return isinstance(inner, partial) ? innermost_function(inner, partial) : inner;
}

// `p` with the innermost function replaced by `func`, every level keeping its
// type, bound arguments and attributes.  Each level is rebuilt the way
// copy.copy rebuilds a partial (its __reduce__, then __setstate__ with the new
// function), so partials that were not merged into one stay nested.
Ref rebind(Obj p, Obj func, Obj partial) {
    Descent descent;
    Ref inner = getattr(p, S::func);
    Ref new_inner = isinstance(inner, partial) ? rebind(inner, func, partial) : Ref::borrow(func);
    auto [cls, args, state] = unpack<3>(call_method(p, S::__reduce__));
    auto [old_func, bound_args, keywords, attrs] = unpack<4>(state);
    Ref q = call_star(cls, args);
    call_method(q, S::__setstate__, tuple({new_inner, bound_args, keywords, attrs}));
    return q;
}

// What the pass stores for a freshly imported model function: the function,
// or, where the PDK registers a partial (of a partial ...) of a function of
// the same module and qualified name, that partial bound to the new function,
// so that the PDK's own settings survive the reload.
Ref model_entry(const Frame& f, Obj current, Obj func) {
    if (!current) return Ref::borrow(func);
    Ref partial = f.global(S::partial);
    if (!isinstance(current, partial)) return Ref::borrow(func);
    Ref innermost = innermost_function(current, partial);
    if (!same_attribute(innermost, func, S::__module__) || !same_attribute(innermost, func, S::__qualname__)) {
        return Ref::borrow(func);
    }
    return rebind(current, func, partial);
}

// Whether G is exactly networkx's DiGraph and `function` is networkx's own
// function of that name from `module` (not a stand-in bound in its place),
// so that skipping a call of it cannot be told from making it.  networkx
// counts as imported once G is one of its graphs.
bool own_networkx(Obj function, const Name& name, const Name& module, Obj G) {
    static const Name s_networkx("networkx"), s_DiGraph("DiGraph");
    static const Name s_digraph_module("networkx.classes.digraph");
    Ref networkx = imported(s_networkx);
    if (!networkx) return false;
    Ref own = getattr_opt(networkx, name);
    if (!own || !own.is(function)) return false;
    Ref graph_type = getattr_opt(networkx, s_DiGraph);
    if (!graph_type || !Obj(reinterpret_cast<PyObject*>(G.type())).is(graph_type)) return false;
    auto named = [](Obj o, const Name& attr, const Name& expected) {
        Ref value = getattr_opt(o, attr);
        return value && PyUnicode_CheckExact(value.ptr()) && eq(value, expected);
    };
    return named(own, S::__module__, module) && named(own, S::__name__, name) &&
           named(graph_type, S::__module__, s_digraph_module) && named(graph_type, S::__name__, s_DiGraph);
}

// The has-model flags climb: in the given order (each factory after all the
// factories it depends on) an unflagged factory is flagged when it depends
// on something and everything it depends on is flagged.
//
// Fast path, for networkx's own graph and descendants (see own_networkx):
// a factory's descendants are all flagged exactly when each of its direct
// successors is flagged and has all of its own descendants flagged, and the
// successors come first in the order, so their facts are final when the
// factory is reached.  `complete` holds the factories that are flagged and
// whose descendants all are; no descendant set is made.  It relies on
// nothing running between the steps that could change a flag: it holds
// while every node met is an exact str (hashing and comparing it runs no
// code), its attributes an exact dict (reading and writing them runs none:
// the steps as written read every descendant's flag, the one pass does not)
// and every flag read an exact bool (its truth runs none).  networkx's own
// graph hands out one attribute dict per node through one node view, so the
// pass reads and writes the dict it got once.  From the first node,
// attributes or flag that is not, the steps run as written, on the flags
// written so far, which are those the written steps give.
void propagate(const Frame& f, Obj G, Obj order, Obj has_model, bool one_pass) {
    Ref complete = new_set();
    Ref nodes = one_pass ? getattr(G, S::nodes) : Ref();
    for (Ref name : iterate(order)) {
        one_pass = one_pass && PyUnicode_CheckExact(name.ptr());
        Ref attrs = getitem(one_pass ? nodes : getattr(G, S::nodes), name);
        one_pass = one_pass && PyDict_CheckExact(attrs.ptr());
        Ref flag = getitem(attrs, S::has_model);
        one_pass = one_pass && PyBool_Check(flag.ptr());
        bool flagged = truthy(flag);
        if (one_pass) {
            bool depends = false, all_complete = true;
            for (Ref c : iterate(call_method(G, S::successors, name))) {
                depends = true;
                if (check(PySet_Contains(complete.ptr(), c.ptr())) == 0) {
                    all_complete = false;
                    break;
                }
            }
            if (!flagged) {
                flagged = depends && all_complete;
                setitem(attrs, S::has_model, boolean(flagged));
                if (flagged) set_add(has_model, name);
            }
            if (flagged && all_complete) set_add(complete, name);
            continue;
        }
        if (flagged) continue;
        Ref descendants = list_of(call(getattr(f.global(S::nx), S::descendants), G, name));
        bool all_flagged = PyList_GET_SIZE(descendants.ptr()) > 0;
        for (Ref c : iterate(descendants)) {
            if (!truthy(getitem(getitem(getattr(G, S::nodes), c), S::has_model))) {
                all_flagged = false;
                break;
            }
        }
        setitem(getitem(getattr(G, S::nodes), name), S::has_model, boolean(all_flagged));
        if (truthy(getitem(getitem(getattr(G, S::nodes), name), S::has_model))) set_add(has_model, name);
    }
}

// Fast path, beside the two calls it spares (nx.topological_sort of
// nx.reverse_view(G)): the call graph service hands its graph out with the
// order those calls give, in the graph attribute "dependency_order" (a tuple
// of every factory, each after all the factories it depends on), kept while
// the nodes and edges are unchanged.  It is taken for networkx's own graph
// and functions (see own_networkx), and it must prove to be an order of G as
// G is now: every entry an exact str, a node of G met once and after all its
// successors, and as many entries as nodes.  The nodes' attribute dicts and
// successors are read through G.nodes(data=True) and G.adjacency(), one call
// each.  The flags are worked out as in
// propagate's one pass, on the flags as they were, and written, in the order
// the steps write them, only once the whole order has passed; anything that
// fails (a caller changed the graph, a node or flag of another type) leaves
// G untouched and returns false, and the steps run as written.  A caller that
// changed the edges and left that order valid gets the same flags and the
// same names flagged; only the set of those names may have been filled in
// another order.
// The (node, dict) pairs that `pairs` yields as one dict; an empty Ref when
// a node is not an exact str or its dict not an exact dict, checked before
// any node is hashed (hashing another type could run code).  For networkx's
// G.nodes(data=True) and G.adjacency(), which yield each node's own
// attribute dict and its own dict of successors.
Ref by_node(Obj pairs) {
    Ref items = list_of(pairs);
    for (Ref pair : iterate(items)) {
        if (!PyTuple_CheckExact(pair.ptr()) || PyTuple_GET_SIZE(pair.ptr()) != 2 ||
            !PyUnicode_CheckExact(PyTuple_GET_ITEM(pair.ptr(), 0)) || !PyDict_CheckExact(PyTuple_GET_ITEM(pair.ptr(), 1))) {
            return {};
        }
    }
    Ref out = new_dict();
    check(PyDict_MergeFromSeq2(out.ptr(), items.ptr(), 1));
    return out;
}

bool propagate_in_order(Obj G, Obj has_model) {
    static const Name s_graph("graph"), s_dependency_order("dependency_order"), s_data("data"),
        s_adjacency("adjacency");
    Ref graph_attrs = getattr_opt(G, s_graph);
    if (!graph_attrs || !PyDict_CheckExact(graph_attrs.ptr())) return false;
    Ref order = dict_get(graph_attrs, s_dependency_order);
    if (!order || !PyTuple_CheckExact(order.ptr()) || PyTuple_GET_SIZE(order.ptr()) != len(G)) return false;
    Ref attrs_of = by_node(call(getattr(G, S::nodes), kw(s_data, Py_True)));
    Ref successors_of = attrs_of ? by_node(call_method(G, s_adjacency)) : Ref();
    if (!successors_of) return false;
    struct Write {
        Obj attrs, name;  // held by attrs_of and order
        bool flag;
    };
    std::vector<Write> writes;
    Ref met = new_set();
    Ref complete = new_set();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(order.ptr()); ++i) {
        Obj name(PyTuple_GET_ITEM(order.ptr(), i));
        if (!PyUnicode_CheckExact(name.ptr()) || check(PySet_Contains(met.ptr(), name.ptr())) == 1) return false;
        Ref attrs = dict_get(attrs_of, name);
        Ref successors = dict_get(successors_of, name);
        if (!attrs || !successors) return false;
        Ref flag = dict_get(attrs, S::has_model);
        if (!flag || !PyBool_Check(flag.ptr())) return false;
        bool all_complete = true;
        Py_ssize_t pos = 0;
        PyObject *c, *edge;
        while (PyDict_Next(successors.ptr(), &pos, &c, &edge)) {
            if (!PyUnicode_CheckExact(c) || check(PySet_Contains(met.ptr(), c)) == 0) return false;
            all_complete = all_complete && check(PySet_Contains(complete.ptr(), c)) == 1;
        }
        const bool depends = PyDict_GET_SIZE(successors.ptr()) > 0;
        set_add(met, name);
        bool flagged = flag.is(Py_True);
        if (!flagged) {
            flagged = depends && all_complete;
            writes.push_back({attrs, name, flagged});
        }
        if (flagged && all_complete) set_add(complete, name);
    }
    for (const Write& w : writes) {
        setitem(w.attrs, S::has_model, boolean(w.flag));
        if (w.flag) set_add(has_model, w.name);
    }
    return true;
}

Ref register_models(Frame& f) {
    Obj G = f[0];
    // Taken by truth on entry, like any `bool` parameter.
    const bool reload = f.truth(1);

    Ref model_records = call(f.global(S::find_models));

    // The records by source file; records without one form their own group.
    Ref model_records_by_path = call(f.global(S::defaultdict), f.global(S::list));
    for_values(model_records, [&](Obj r) {
        call_method(getitem(model_records_by_path, call_method(r, S::absolute_source)), S::append, r);
    });

    // Each source file once, in natural order.
    Ref natsorted = f.global(S::natsorted);
    Ref sources = new_set();
    for_values(model_records, [&](Obj r) {
        Ref source = call_method(r, S::absolute_source);
        if (!source.is_none()) set_add(sources, source);
    });
    Ref paths = call(natsorted, sources);

    Ref pdk = call(f.global(S::get_pdk));
    Ref base_pdk = call(f.global(S::get_base_pdk));

    // Failed imports come back as data, not as exceptions.
    Ref import_modules = getattr(f.global(S::imports), S::import_modules);
    auto [modules, errors] = unpack<2>(call(import_modules, kw(S::paths, paths), kw(S::reload, boolean(reload)),
                                            kw(S::from_project, Py_False)));

    log_line(f, S::debug, [&] { return concat({T::found_prefix, str(from_size(len(errors))), T::errors_suffix}); });

    Ref found = new_set();
    Ref model_errors = new_dict();

    // Every model of a failed file takes that file's error; a later error
    // for the same name replaces the pair in its place.
    for_items(errors, [&](Obj path, Obj value) {
        auto [modname, error] = unpack<2>(value);
        log_line(f, S::debug, [&] { return concat({T::error_prefix, repr(error)}); });
        Ref group = call_method(model_records_by_path, S::get, path, new_list());
        for (Ref model_record : iterate(group)) {
            Ref model_name = getattr(model_record, S::factory);
            set_add(found, model_name);
            dict_set(model_errors, model_name, tuple({modname, error}));
        }
    });

    // Placeholders that raise the import error where the model is used.
    for_items(model_errors, [&](Obj model_name, Obj value) {
        auto [modname, error] = unpack<2>(value);
        if (!contains(model_records, model_name)) return;
        Ref model_record = getitem(model_records, model_name);
        setattr(model_record, S::status, T::error);
        setattr(model_record, S::message, str(error));
        Ref placeholder = call(f.global(S::_error_model), model_name, modname, error);
        setitem(getattr(pdk, S::models), model_name, placeholder);
    });

    // Any callable of an imported module named like a project model is
    // that model; when several modules define it, the last one wins.  A
    // partial the PDK registers for it is kept, bound to the new function.
    for_values(modules, [&](Obj module) {
        for_items(getattr(module, S::__dict__), [&](Obj name, Obj func) {
            if (!callable(func) || !contains(model_records, name)) return;
            Ref current = current_entry(getattr(pdk, S::models), name);
            setitem(getattr(pdk, S::models), name, model_entry(f, current, func));
            set_add(found, name);
            Ref model_record = getitem(model_records, name);
            setattr(model_record, S::status, T::success);
            setattr(model_record, S::message, T::empty);
        });
    });

    // The base PDK's models are accounted for; the active PDK is left as is.
    for (Ref name : iterate(getattr(base_pdk, S::models))) {
        set_add(found, name);
        if (contains(model_records, name)) {
            Ref model_record = getitem(model_records, name);
            setattr(model_record, S::status, T::success);
            setattr(model_record, S::message, T::empty);
        }
    }

    call(getattr(f.global(S::db), S::set_all_factories_has_model), kw(S::has_model, Py_False));
    {
        Ref add_models = getattr(f.global(S::db), S::add_models);
        call_star(add_models, call_method(model_records, S::values));
    }

    // What the PDK or the database holds and this pass did not account
    // for; the database already sees the records just added.
    Ref in_pdk = set_of(getattr(pdk, S::models));
    Ref in_db = set_of(call_method(f.global(S::db), S::get_all_models));
    Ref known = Ref::steal(PyNumber_Or(in_pdk.ptr(), in_db.ptr()));
    Ref not_found = Ref::steal(PyNumber_Subtract(known.ptr(), found.ptr()));
    // The database keeps a model under its record's factory name, which is not
    // the model's name when the PDK registers a function under a name of its
    // own (a partial of a library model, say).  The row of an accounted-for
    // model is the one just written: it must not be deleted again.
    for (Ref name : iterate(found)) {
        if (!contains(model_records, name)) continue;
        Ref factory = getattr(getitem(model_records, name), S::factory);
        check(PySet_Discard(not_found.ptr(), factory.ptr()));
    }

    // Called even with nothing to remove.
    call_star(getattr(f.global(S::db), S::remove_models), not_found);

    Ref _new = call(f.global(S::natsorted), model_records);
    Ref _del = call(f.global(S::natsorted), not_found);
    log_line(f, S::info, [&] { return concat({T::new_models, str(_new)}); });
    log_line(f, S::info, [&] { return concat({T::removed_models, str(_del)}); });

    // The has-model flag climbs from the models to every factory built
    // only from modelled parts: in reverse topological order each factory
    // comes after all the factories it depends on.
    if (truthy(_new) && !G.is_none()) {
        for (Ref name : iterate(_new)) {
            if (contains(getattr(G, S::nodes), name)) setitem(getitem(getattr(G, S::nodes), name), S::has_model, Py_True);
        }
        Ref has_model = new_set();
        static const Name s_dag("networkx.algorithms.dag"), s_graphviews("networkx.classes.graphviews");
        Ref topological_sort = getattr(f.global(S::nx), S::topological_sort);
        Ref reverse_view = getattr(f.global(S::nx), S::reverse_view);
        Ref descendants;
        const bool hinted = own_networkx(topological_sort, S::topological_sort, s_dag, G) &&
                            own_networkx(reverse_view, S::reverse_view, s_graphviews, G) &&
                            (descendants = getattr_opt(f.global(S::nx), S::descendants)) &&
                            own_networkx(descendants, S::descendants, s_dag, G) && propagate_in_order(G, has_model);
        if (!hinted) {
            Ref order = call(topological_sort, call(reverse_view, G));
            descendants = getattr_opt(f.global(S::nx), S::descendants);
            propagate(f, G, order, has_model, descendants && own_networkx(descendants, S::descendants, s_dag, G));
        }
        Ref kwargs = new_dict();
        dict_set(kwargs, S::has_model, Py_True);
        call_star(getattr(f.global(S::db), S::set_factories_has_model_by_names), has_model, kwargs);
    }

    return tuple({_new, _del});
}

constexpr Param register_models_params[] = {
    {.name = "G", .kind = Kind::PositionalOnly, .annotation = "nx.DiGraph | None", .value = Default::None},
    {.name = "reload", .kind = Kind::KeywordOnly, .annotation = "bool", .value = Default::True, .prefix = "bool"},
};
}  // namespace

const Signature register_models_sig{
    .name = "register_models",
    .qualname = "register_models",
    .params = register_models_params,
    .returns = "tuple[list[str], list[str]]",
    .doc = "Register all models in the current project.\n"
           "\n"
           "Args:\n"
           "    G: (optional) the call graph to extract factory dependencies from.\n"
           "    reload: Whether to reload the modules containing the models.\n"
           "\n"
           "Returns:\n"
           "    tuple[list[str], list[str]]:\n"
           "        - List of names of newly registered models.\n"
           "        - List of names of deleted models.",
    .documented = true,
    .impl = register_models,
    .file = __FILE__,
    .line = __LINE__,
};

}  // namespace models
