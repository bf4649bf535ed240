// The model registration pass.
#include <vector>

#include "models.hpp"
#include "_graphs/api.hpp"

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

// What step 10 stores for a freshly imported model function: the function,
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

// Step 17.3 as written: each unflagged factory is flagged when it depends on
// something and everything it depends on is flagged.
void propagate(const Frame& f, Obj G, Obj order, Obj has_model) {
    for (Ref name : iterate(order)) {
        if (truthy(getitem(getitem(getattr(G, S::nodes), name), S::has_model))) continue;
        Ref descendants = list_of(call(getattr(f.global(S::nx), S::descendants), G, name));
        bool flag = false;
        if (PyList_GET_SIZE(descendants.ptr()) > 0) {
            flag = true;
            for (Ref c : iterate(descendants)) {
                if (!truthy(getitem(getitem(getattr(G, S::nodes), c), S::has_model))) {
                    flag = false;
                    break;
                }
            }
        }
        setitem(getitem(getattr(G, S::nodes), name), S::has_model, boolean(flag));
        if (truthy(getitem(getitem(getattr(G, S::nodes), name), S::has_model))) set_add(has_model, name);
    }
}

// G's successor dicts (networkx's own adjacency, G._succ) when `nx` is the
// networkx package itself (the module, or the package's lazy proxy for it,
// already loaded), its `descendants` is networkx's own and G is exactly a
// networkx DiGraph; otherwise an empty Ref, and step 17.3 runs as written.
Ref networkx_adjacency(Obj nx, Obj G) {
    if (!is_module(nx, T::networkx)) return {};
    Ref networkx = imported(T::networkx);
    Ref dag = imported(T::networkx_dag);
    Ref digraph = imported(T::networkx_digraph);
    if (!dag || !digraph) return {};
    Ref descendants = getattr_opt(networkx, S::descendants);
    Ref own_descendants = getattr_opt(dag, S::descendants);
    Ref graph_type = getattr_opt(digraph, S::DiGraph);
    if (!descendants || !descendants.is(own_descendants) || !graph_type) return {};
    if (!Obj(reinterpret_cast<PyObject*>(G.type())).is(graph_type)) return {};
    Ref succ = getattr_opt(G, S::_succ);
    Ref nodes = getattr_opt(G, S::_node);
    if (!succ || !nodes || !PyDict_CheckExact(succ.ptr()) || !PyDict_CheckExact(nodes.ptr())) return {};
    return succ;
}

// G._node when `G.nodes` is networkx's own view of it: `name in G.nodes` is
// then `name in G._node`, and `G.nodes[name]` is `G._node[name]` for any
// name that is not a slice (the view refuses slices; they go through it).
// Taken while `nx` is networkx and G exactly its DiGraph (see
// networkx_adjacency), with the view's class and its two methods
// networkx's own; the view is asked for once, as the first use makes it.
// An empty Ref otherwise, and every name goes through the view.
Ref node_table(Obj nx, Obj G) {
    static const Name s_reportviews("networkx.classes.reportviews"), s_NodeView("NodeView"), s__nodes("_nodes");
    static const Name q_contains("NodeView.__contains__"), q_getitem("NodeView.__getitem__");
    static const Name s_contains("__contains__"), s_getitem("__getitem__");
    if (!networkx_adjacency(nx, G)) return {};
    Ref reportviews = imported(s_reportviews);
    Ref view_class = reportviews ? getattr_opt(reportviews, s_NodeView) : Ref();
    if (!view_class || !PyType_Check(view_class.ptr())) return {};
    if (!own_function(getattr_opt(view_class, s_contains), reportviews, q_contains) ||
        !own_function(getattr_opt(view_class, s_getitem), reportviews, q_getitem)) {
        return {};
    }
    Ref view = getattr(G, S::nodes);
    if (!Obj(reinterpret_cast<PyObject*>(view.type())).is(view_class)) return {};
    Ref table = getattr_opt(view, s__nodes);
    Ref own = getattr_opt(G, S::_node);
    if (!table || !own || !table.is(own) || !PyDict_CheckExact(table.ptr())) return {};
    return table;
}

// Step 17.3 in one pass over the same order, for a networkx DiGraph.  A
// factory's descendants are all flagged exactly when each of its direct
// successors is flagged and has all of its own descendants flagged, and the
// successors come first in the order, so their facts are final when the
// factory is reached.  `complete` holds the factories that are flagged and
// whose descendants all are.  The flags written, the nodes read, the set
// built and the KeyError for a node without a flag are those of the steps as
// written; only the descendant sets are never made.  `flagged` gets the
// factories it flags, in order.
void propagate_in_one_pass(Obj G, Obj succ, Obj order, Obj has_model, Obj flagged) {
    Ref node_attrs = getattr(G, S::_node);
    Ref complete = new_set();
    for (Ref name : iterate(order)) {
        Ref attrs = getitem(node_attrs, name);
        bool flag = truthy(getitem(attrs, S::has_model));
        Ref successors = getitem(succ, name);
        bool depends = false, all_complete = true;
        auto complete_successor = [&](Obj c) {
            depends = true;
            all_complete = check(PySet_Contains(complete.ptr(), c.ptr())) == 1;
            return all_complete;
        };
        if (PyDict_CheckExact(successors.ptr())) {
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            Py_ssize_t pos = 0;
            while (PyDict_Next(successors.ptr(), &pos, &key, &value)) {
                Ref c = Ref::borrow(key);  // held while a node's __eq__ runs
                if (!complete_successor(c)) break;
            }
        } else {
            for (Ref c : iterate(successors)) {
                if (!complete_successor(c)) break;
            }
        }
        if (!flag) {
            setitem(attrs, S::has_model, boolean(depends && all_complete));
            flag = truthy(getitem(attrs, S::has_model));
            if (flag) {
                set_add(has_model, name);
                list_append(flagged, name);
            }
        }
        if (flag && all_complete) set_add(complete, name);
    }
}

// Whether `reverse_view` and `topological_sort`, and the package's
// topological_generations, are networkx's own.
bool own_order(Obj nx, Obj reverse_view, Obj topological_sort) {
    static const Name s_graphviews("networkx.classes.graphviews");
    static const Name s_topological_generations("topological_generations");
    if (!is_module(nx, T::networkx)) return false;
    Ref dag = imported(T::networkx_dag);
    Ref graphviews = imported(s_graphviews);
    Ref networkx = imported(T::networkx);
    if (!dag || !graphviews || !networkx) return false;
    auto own = [](Obj module, Obj name, Obj value) {
        Ref genuine = getattr_opt(module, name);
        return genuine && genuine.is(value);
    };
    Ref generations = getattr_opt(networkx, s_topological_generations);
    return own(graphviews, S::reverse_view, reverse_view) && own(dag, S::topological_sort, topological_sort) &&
           generations && own(dag, s_topological_generations, generations);
}

// nx.topological_sort(nx.reverse_view(G)) as a list, worked out here: the
// order networkx's topological_generations gives for the reversed view (its
// nodes in G._pred's order, a node's in-degree the size of its G._succ entry,
// its children the keys of its G._pred entry), generation after generation.
// Taken while `nx` is networkx (see networkx_adjacency), its reverse_view,
// topological_sort and topological_generations are networkx's own, and
// every node is an exact str (no hash or comparison of ours runs code); an
// empty Ref otherwise, and also for a graph without a topological order or
// an adjacency out of step with itself, which take networkx's own calls,
// their partial results and their errors.
Ref reverse_topological_order(Obj nx, Obj G, Obj reverse_view, Obj topological_sort) {
    if (!own_order(nx, reverse_view, topological_sort) || !networkx_adjacency(nx, G)) return {};
    static const Name s_pred("_pred");
    Ref pred = getattr_opt(G, s_pred);
    Ref succ = getattr_opt(G, S::_succ);
    if (!pred || !succ || !PyDict_CheckExact(pred.ptr()) || !PyDict_CheckExact(succ.ptr()) ||
        PyDict_GET_SIZE(pred.ptr()) != PyDict_GET_SIZE(succ.ptr())) {
        return {};
    }
    // Each node's index, in G._pred's order; its in-degree in the view.
    const Py_ssize_t n = PyDict_GET_SIZE(pred.ptr());
    Ref index = new_dict();
    std::vector<PyObject*> preds;  // borrowed from G._pred, which nothing changes here
    std::vector<Py_ssize_t> degree;
    preds.reserve(n);
    degree.reserve(n);
    PyObject* node = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(pred.ptr(), &pos, &node, &value)) {
        if (!PyUnicode_CheckExact(node) || !PyDict_CheckExact(value)) return {};
        Ref successors = dict_get(succ, Obj(node));
        if (!successors || !PyDict_CheckExact(successors.ptr())) return {};
        dict_set(index, Obj(node), from_size(static_cast<Py_ssize_t>(preds.size())));
        preds.push_back(value);
        degree.push_back(PyDict_GET_SIZE(successors.ptr()));
    }
    Ref order = Ref::steal(PyList_New(0));
    std::vector<Py_ssize_t> zero, generation;  // indices
    // The objects networkx would yield: a generation's first nodes are
    // G._pred's keys, later ones the keys of their dependents' entries.
    Ref zero_nodes = new_list();
    pos = 0;
    for (Py_ssize_t i = 0; PyDict_Next(pred.ptr(), &pos, &node, &value); ++i) {
        if (degree[i] == 0) {
            zero.push_back(i);
            list_append(zero_nodes, Obj(node));
        }
    }
    Py_ssize_t placed = 0;
    while (!zero.empty()) {
        generation.swap(zero);
        zero.clear();
        Ref generation_nodes = zero_nodes;
        zero_nodes = new_list();
        for (std::size_t g = 0; g < generation.size(); ++g) {
            list_append(order, Obj(PyList_GET_ITEM(generation_nodes.ptr(), g)));
            ++placed;
            PyObject* child = nullptr;
            Py_ssize_t child_pos = 0;
            while (PyDict_Next(preds[generation[g]], &child_pos, &child, &value)) {
                if (!PyUnicode_CheckExact(child)) return {};
                Ref at = dict_get(index, Obj(child));
                if (!at) return {};
                const Py_ssize_t c = PyLong_AsSsize_t(at.ptr());
                if (c == -1 && PyErr_Occurred()) raise();
                if (degree[c] <= 0) return {};
                if (--degree[c] == 0) {
                    zero.push_back(c);
                    list_append(zero_nodes, Obj(child));
                }
            }
        }
    }
    if (placed != n) return {};  // a cycle
    return order;
}

// The has-model flags the last pass set, for the call graph the graph module
// kept, while that graph is unchanged.  The flags follow from the graph's
// edges and from which factories are flagged when the climb begins, so the
// same graph (its generation), flagged for the same new models and for
// nothing else since it was handed out (every hand-out clears its flags,
// and the module counts each flag set after that), gets the same flags.
// Kept only when they were worked out in one pass over exact str nodes, in
// networkx's order worked out here: nothing in it ran code.
class KeptFlags {
public:
    // Before the new models are flagged: the graph's state as the graph
    // module knows it.
    explicit KeptFlags(Obj G) {
        static const Name s_graphs("morvane.core._graphs"), s_c_api("_C_API");
        Ref module = imported(s_graphs);
        Ref capsule = module ? getattr_opt(module, s_c_api) : Ref();
        if (!capsule || !PyCapsule_IsValid(capsule.ptr(), graphs::capsule_name)) return;
        const auto* api = static_cast<const graphs::Api*>(PyCapsule_GetPointer(capsule.ptr(), graphs::capsule_name));
        if (api == nullptr) raise();
        api_ = api;
        G_ = G;
    }

    // Whether the flags kept are those of this graph, flagged for `names`
    // (`written` flags set since it was handed out, all of them ours).
    bool match(Obj names, unsigned long long written) {
        unsigned long long generation = 0, flags = 0;
        if (api_ == nullptr || !api_->since_taken(G_.ptr(), &generation, &flags)) return false;
        known_ = flags == written;
        generation_ = generation;
        if (!known_) return false;
        Last& last = this->last();
        if (!last.flagged || last.generation != generation || !same_names(last.names, names)) return false;
        return true;
    }

    // The factories flagged by the last pass, in the order they were flagged.
    Obj flagged() const { return last().flagged; }

    void remember(Obj names, Obj flagged_in_order) {
        if (!known_) return;
        Last& last = this->last();
        last.generation = generation_;
        last.names = tuple_of(names);
        last.flagged = Ref::borrow(flagged_in_order);
    }

private:
    struct Last {
        unsigned long long generation = 0;
        Ref names, flagged;
    };
    // Never destroyed: its references must not be released after the
    // interpreter has finished.
    static Last& last() {
        static Last* state = new Last;
        return *state;
    }
    static bool same_names(Obj kept, Obj names) {
        if (!PyList_CheckExact(names.ptr()) || PyTuple_GET_SIZE(kept.ptr()) != PyList_GET_SIZE(names.ptr())) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.ptr()); ++i) {
            PyObject* a = PyTuple_GET_ITEM(kept.ptr(), i);
            PyObject* b = PyList_GET_ITEM(names.ptr(), i);
            if (a == b) continue;
            if (!PyUnicode_CheckExact(a) || !PyUnicode_CheckExact(b) || PyUnicode_Compare(a, b) != 0) return false;
        }
        return true;
    }
    const graphs::Api* api_ = nullptr;
    Obj G_;
    bool known_ = false;
    unsigned long long generation_ = 0;
};

// r.absolute_source(), asked in step 2 and again in step 3.  Fast path: for a
// record of exactly morvane.models' ModelRecord whose absolute_source is the
// class's own method (the class has slots: no record holds another), the
// answer follows from the record's source and the project directory, and
// with the genuine defaultdict and list nothing between the two steps runs
// code that could change either: step 3 takes step 2's answer.  Any other
// record, or a replaced class, method, defaultdict or list, is asked twice.
class AbsoluteSources {
public:
    AbsoluteSources(const Frame& f, Obj model_records) {
        static const Name s_models("morvane.models");
        static const Name s_collections("collections");
        static const Name s_co_qualname("co_qualname");
        static const Name s_own_qualname("ModelRecord.absolute_source");
        if (!PyDict_CheckExact(model_records.ptr())) return;
        Ref collections = imported(s_collections);
        Ref defaultdict = collections ? getattr_opt(collections, S::defaultdict) : Ref();
        if (!defaultdict || !f.global(S::defaultdict).is(defaultdict) ||
            !f.global(S::list).is(Obj(reinterpret_cast<PyObject*>(&PyList_Type)))) {
            return;
        }
        Ref module = imported(s_models);
        Ref cls = module ? getattr_opt(module, S::ModelRecord) : Ref();
        if (!cls || !PyType_Check(cls.ptr())) return;
        Ref method = getattr_opt(cls, S::absolute_source);
        if (!method || !PyFunction_Check(method.ptr())) return;
        Ref qualname = getattr_opt(Ref::borrow(Obj(PyFunction_GET_CODE(method.ptr()))), s_co_qualname);
        if (!qualname || !PyUnicode_CheckExact(qualname.ptr()) || !eq(qualname, s_own_qualname) ||
            PyFunction_GET_GLOBALS(method.ptr()) != PyModule_GetDict(module.ptr())) {
            return;
        }
        record_type_ = cls;
        // Nothing between step 2's calls ends or starts a look.
        looking_ = looking();
    }

    // Step 2's call; the answer is kept for a record of the class.  A fresh
    // record of the class (nothing kept in its `_resolved`) whose source is
    // the very str of a fresh record asked before has that record's answer:
    // within a look at the files a source resolves once, and a fresh record
    // keeps nothing that could differ.  The records of one model file share
    // their source text, so each file is asked about once.
    Ref first(Obj record) {
        const bool ours = record_type_ && Obj(reinterpret_cast<PyObject*>(record.type())).is(record_type_);
        Ref text = ours && looking_ ? fresh_source(record) : Ref();
        Ref source;
        if (text) source = dict_get(by_text_, Ref::steal(PyLong_FromVoidPtr(text.ptr())));
        if (!source) {
            source = call_method(record, S::absolute_source);
            if (text) {
                dict_set(by_text_, Ref::steal(PyLong_FromVoidPtr(text.ptr())), source);
                held_.push_back(text);
            }
        }
        if (ours) {
            dict_set(known_, Ref::steal(PyLong_FromVoidPtr(record.ptr())), source);
            held_.push_back(Ref::borrow(record));
        }
        return source;
    }

    // Step 3's call, or the answer kept.
    Ref again(Obj record) {
        if (PyDict_GET_SIZE(known_.ptr()) > 0) {
            if (Ref source = dict_get(known_, Ref::steal(PyLong_FromVoidPtr(record.ptr())))) return source;
        }
        return call_method(record, S::absolute_source);
    }

private:
    // The record's source when it is an exact, non-empty str and the record
    // keeps no answer of its own; an empty Ref otherwise.
    static Ref fresh_source(Obj record) {
        static const Name s_resolved("_resolved");
        Ref kept = getattr_opt(record, s_resolved);
        if (!kept || !kept.is_none()) return {};
        Ref text = getattr_opt(record, S::source);
        if (!text || !PyUnicode_CheckExact(text.ptr()) || PyUnicode_GET_LENGTH(text.ptr()) == 0) return {};
        return text;
    }
    // Whether the host's files are being looked at (a pass), in which a
    // source resolves to one path.
    static bool looking() {
        static const Name s_project_state("morvane.core.project_state"), s_files("files"), s_looking("looking");
        Ref state = imported(s_project_state);
        Ref files = state ? getattr_opt(state, s_files) : Ref();
        Ref now = files ? getattr_opt(files, s_looking) : Ref();
        return now && now.is(Obj(Py_True));
    }
    Ref record_type_;
    bool looking_ = false;
    Ref by_text_ = new_dict();  // source text address -> the answer for it
    Ref known_ = new_dict();    // record address -> its answer
    std::vector<Ref> held_;     // the records, alive while their addresses are keys
};

Ref register_models(Frame& f) {
    Obj G = f[0];
    // Taken by truth on entry, like any `bool` parameter.
    const bool reload = f.truth(1);

    Ref model_records = call(f.global(S::find_models));

    // The records by source file; records without one form their own group.
    AbsoluteSources absolute_sources(f, model_records);
    Ref model_records_by_path = call(f.global(S::defaultdict), f.global(S::list));
    for_values(model_records, [&](Obj r) {
        Ref group = getitem(model_records_by_path, absolute_sources.first(r));
        if (PyList_CheckExact(group.ptr())) {
            list_append(group, r);  // list's own append, without the bound method
        } else {
            call_method(group, S::append, r);
        }
    });

    // Each source file once, in natural order.
    Ref natsorted = f.global(S::natsorted);
    Ref sources = new_set();
    for_values(model_records, [&](Obj r) {
        Ref source = absolute_sources.again(r);
        if (!source.is_none()) set_add(sources, source);
    });
    Ref paths = natural_sorted(natsorted, sources);

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

    Ref _new = natural_sorted(f.global(S::natsorted), model_records);
    Ref _del = natural_sorted(f.global(S::natsorted), not_found);
    log_line(f, S::info, [&] { return concat({T::new_models, str(_new)}); });
    log_line(f, S::info, [&] { return concat({T::removed_models, str(_del)}); });

    // The has-model flag climbs from the models to every factory built
    // only from modelled parts: in reverse topological order each factory
    // comes after all the factories it depends on.
    if (truthy(_new) && !G.is_none()) {
        KeptFlags kept_flags(G);
        unsigned long long written = 0;
        Ref table = node_table(f.global(S::nx), G);
        for (Ref name : iterate(_new)) {
            if (table && !PySlice_Check(name.ptr())) {
                // Fast path: what networkx's own view does (see node_table).
                if (check(PyDict_Contains(table.ptr(), name.ptr()))) {
                    setitem(getitem(table, name), S::has_model, Py_True);
                    ++written;
                }
                continue;
            }
            if (contains(getattr(G, S::nodes), name)) {
                setitem(getitem(getattr(G, S::nodes), name), S::has_model, Py_True);
                ++written;
            }
        }
        Ref has_model = new_set();
        Ref nx = f.global(S::nx);
        Ref topological_sort = getattr(nx, S::topological_sort);
        Ref reverse_view = getattr(f.global(S::nx), S::reverse_view);
        Ref view = call(reverse_view, G);
        Ref adjacency = networkx_adjacency(f.global(S::nx), G);
        if (adjacency && own_order(f.global(S::nx), reverse_view, topological_sort) && kept_flags.match(_new, written)) {
            // Fast path: the same graph, flagged the same way, as last time
            // (see KeptFlags): the flags that pass set, in its order.
            Ref node_attrs = getattr(G, S::_node);
            for (Ref name : iterate(kept_flags.flagged())) {
                setitem(getitem(node_attrs, name), S::has_model, Py_True);
                set_add(has_model, name);
            }
        } else {
            Ref order = reverse_topological_order(f.global(S::nx), G, reverse_view, topological_sort);
            const bool worked_out = bool(order);
            if (!order) order = call(topological_sort, view);
            if (adjacency) {
                Ref flagged = new_list();
                propagate_in_one_pass(G, adjacency, order, has_model, flagged);
                if (worked_out) kept_flags.remember(_new, flagged);
            } else {
                propagate(f, G, order, has_model);
            }
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
