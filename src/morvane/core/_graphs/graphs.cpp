// The call graph's recycled graph: the graph handed out by the last call,
// taken back when nothing else can reach it.
//
// A registration pass makes a new call graph (one dict per node, two per node
// for its adjacency, one per edge: about 45,000 dicts for a 10,000-cell
// hierarchy), uses it and drops it; making and freeing them costs more than
// the rest of the pass that reads them.  When the graph of the last call and
// every object inside it are referenced by this module alone, no code can
// tell that graph from a new one: whoever held it has let go, and nothing
// can reach it through a weak reference.  If it also holds what a new graph
// of the same table would hold, it is handed out again, with its has-model
// flags cleared.  Anything else (a reference held elsewhere, an attribute
// added or changed, an edge added or removed, a table that changed) makes
// the caller build a new graph as it always has.
#include <algorithm>
#include <functional>
#include <vector>

#include "host/module.hpp"
#include "host/watch.hpp"
#include "_graphs/api.hpp"

namespace graphs {
using namespace host;

namespace {

const Name s_has_model("has_model"), s_source("source"), s_module("module");
const Name s_graph("graph"), s_node("_node"), s_adj("_adj"), s_succ("_succ"), s_pred("_pred"),
    s_cache("__networkx_cache__"), s_nodes("nodes"), s__nodes("_nodes");
const Name s_weakref("weakref"), s_getweakrefcount("getweakrefcount");

// What is known of the graph last handed out.  From the moment it is kept
// (or next checked in full) every dict in it and in the table it was made
// of is watched; while none of them has changed, beyond the has-model flags
// that each hand-out clears and the node view networkx caches in the
// instance dict (both checked when it is taken), the graph holds what it
// held then, and its dicts are the ones listed here, alive.  Lists cannot
// be watched: the table's callee lists are compared with their copy.
// Reference counts are read at every take.  Never destroyed: its references
// must not be released after the interpreter has finished.
struct Kept {
    Ref graph;
    Ref nodes, callees;             // the table it holds
    PyObject* attrs = nullptr;      // its instance dict (watched, so never another at this address)
    std::vector<PyObject*> once;    // node attributes, successor and predecessor rows: held by one table
    std::vector<PyObject*> twice;   // edge data: held by a successor row and a predecessor row
    std::vector<PyObject*> lists;   // the table's callee lists, in order,
    std::vector<PyObject*> items;   // and their items, one list after the other
    bool known = false;             // recorded, and no watched dict has changed since
    unsigned long long generation = 0;  // one per recording
    unsigned long long flag_writes = 0, flags_cleared_at = 0;
};

Kept& kept() {
    static Kept* k = new Kept;
    return *k;
}

void forget() {
    kept().known = false;
    kept().attrs = nullptr;
    // Its dicts report their deallocation to the watchers below.
    kept().graph = Ref();
}

bool is_name(PyObject* key, const Name& name) {
    return key == name.ptr() ||
           (key != nullptr && PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name.ptr()) == 0);
}

// A node's attribute dict: a has-model flag set to a bool is counted (every
// take sets them all to False), anything else is a change.
int on_attributes_event(PyDict_WatchEvent event, PyObject*, PyObject* key, PyObject* value) {
    Kept& k = kept();
    if (event == PyDict_EVENT_MODIFIED && (value == Py_True || value == Py_False) && is_name(key, s_has_model)) {
        ++k.flag_writes;
    } else {
        k.known = false;
    }
    return 0;
}

// Any other dict: a change, but for the node view in the instance dict.
int on_event(PyDict_WatchEvent event, PyObject* d, PyObject* key, PyObject*) {
    Kept& k = kept();
    const bool node_view = d == k.attrs && event != PyDict_EVENT_CLEARED && event != PyDict_EVENT_CLONED &&
                           event != PyDict_EVENT_DEALLOCATED && is_name(key, s_nodes);
    if (!node_view) k.known = false;
    return 0;
}

bool exact_dict(PyObject* o, Py_ssize_t refs) { return o != nullptr && PyDict_CheckExact(o) && Py_REFCNT(o) == refs; }

// The attributes of a new graph, in the order its constructor sets them, and
// what holds each one besides the instance dict.
struct Attribute {
    const Name& name;
    Py_ssize_t refs;  // references from the instance dict (_adj and _succ are one dict)
};
const Attribute attributes[] = {
    {s_graph, 1}, {s_node, 1}, {s_adj, 2}, {s_succ, 2}, {s_pred, 1}, {s_cache, 1},
};

// The instance dict of `G` when it holds exactly the attributes of a new
// graph, in their order, each referenced from `G` alone, and perhaps after
// them the node view that the first read of `G.nodes` keeps there (of the
// class `view_class`, over the node table, referenced from `G` alone); else
// an empty Ref.
Ref plain_attributes(PyObject* G, PyObject* view_class) {
    Ref attrs = Ref::steal(PyObject_GenericGetDict(G, nullptr));
    // Ours and the instance's.
    if (!PyDict_CheckExact(attrs.ptr()) || Py_REFCNT(attrs.ptr()) != 2) return {};
    const auto fresh = static_cast<Py_ssize_t>(std::size(attributes));
    const Py_ssize_t size = PyDict_GET_SIZE(attrs.ptr());
    if (size != fresh && size != fresh + 1) return {};
    Py_ssize_t pos = 0;
    PyObject *key, *value, *table = nullptr;
    for (const Attribute& a : attributes) {
        PyDict_Next(attrs.ptr(), &pos, &key, &value);
        // The node table's refs are checked below, with the view's.
        if (key != a.name.ptr() || !exact_dict(value, a.name.ptr() == s_node.ptr() ? Py_REFCNT(value) : a.refs))
            return {};
        if (key == s_node.ptr()) table = value;
    }
    Py_ssize_t table_refs = 1;
    if (size == fresh + 1) {
        PyDict_Next(attrs.ptr(), &pos, &key, &value);
        if (key != s_nodes.ptr() || Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(view_class) ||
            Py_REFCNT(value) != 1)
            return {};
        Ref viewed = Ref::steal(PyObject_GetAttr(value, s__nodes.ptr()));
        if (!viewed.is(table)) return {};
        table_refs = 2;
    }
    if (Py_REFCNT(table) != table_refs) return {};
    return attrs;
}

// Whether the node table holds, in order, one attribute dict per entry of
// `nodes` (name -> (source, module)), each {"has_model": bool, "source":
// source, "module": module} in that order and referenced from the table alone.
bool same_nodes(PyObject* table, PyObject* nodes) {
    if (PyDict_GET_SIZE(table) != PyDict_GET_SIZE(nodes)) return false;
    Py_ssize_t pos = 0, npos = 0;
    PyObject *name, *attrs, *expected_name, *where;
    while (PyDict_Next(table, &pos, &name, &attrs)) {
        if (!PyDict_Next(nodes, &npos, &expected_name, &where) || name != expected_name) return false;
        if (!PyTuple_CheckExact(where) || PyTuple_GET_SIZE(where) != 2) return false;
        if (!exact_dict(attrs, 1) || PyDict_GET_SIZE(attrs) != 3) return false;
        Py_ssize_t apos = 0;
        PyObject *key, *value;
        PyDict_Next(attrs, &apos, &key, &value);
        if (key != s_has_model.ptr() || (value != Py_True && value != Py_False)) return false;
        PyDict_Next(attrs, &apos, &key, &value);
        if (key != s_source.ptr() || value != PyTuple_GET_ITEM(where, 0)) return false;
        PyDict_Next(attrs, &apos, &key, &value);
        if (key != s_module.ptr() || value != PyTuple_GET_ITEM(where, 1)) return false;
    }
    return true;
}

// The number of entries of an adjacency table's inner dicts, when its keys
// are those of `nodes`, in order, and each inner dict is referenced from the
// table alone; -1 otherwise.
Py_ssize_t entries_with_keys(PyObject* adjacency, PyObject* nodes) {
    if (PyDict_GET_SIZE(adjacency) != PyDict_GET_SIZE(nodes)) return -1;
    Py_ssize_t pos = 0, npos = 0, entries = 0;
    PyObject *name, *neighbours, *expected_name, *where;
    while (PyDict_Next(adjacency, &pos, &name, &neighbours)) {
        if (!PyDict_Next(nodes, &npos, &expected_name, &where) || name != expected_name) return -1;
        if (!exact_dict(neighbours, 1)) return -1;
        entries += PyDict_GET_SIZE(neighbours);
    }
    return entries;
}

// adjacency[name] for an exact str name (a lookup that runs no code), or null.
PyObject* neighbours_of(PyObject* adjacency, PyObject* name) {
    if (!PyUnicode_CheckExact(name)) return nullptr;
    PyObject* found = PyDict_GetItemWithError(adjacency, name);
    if (found == nullptr && PyErr_Occurred()) raise();
    return found;
}

// Whether the adjacency holds exactly the edges of `callees` (name -> list of
// its callees), added in that order as a new graph adds them: one empty
// data dict per edge, shared by succ[u][v] and pred[v][u] only.  Names are
// matched by value, as a new graph matches them: a callee is an equal
// string, not always the node's own key.  The predecessor rows are read in
// table order and matched to the edges by their data dicts (sorted, not
// looked up one by one: the rows are scattered in memory).
bool same_edges(PyObject* succ, PyObject* pred, PyObject* nodes, PyObject* callees) {
    const Py_ssize_t out_entries = entries_with_keys(succ, nodes), in_entries = entries_with_keys(pred, nodes);
    if (out_entries < 0 || in_entries != out_entries) return false;

    struct Edge {
        PyObject* data;
        PyObject* u;
        PyObject* v;
        std::size_t rank;  // u's place among the callers
    };
    std::vector<Edge> edges;
    edges.reserve(static_cast<std::size_t>(out_entries));
    Py_ssize_t pos = 0;
    PyObject *u, *vs;
    for (std::size_t rank = 0; PyDict_Next(callees, &pos, &u, &vs); ++rank) {
        PyObject* out = neighbours_of(succ, u);
        if (out == nullptr || !PyList_CheckExact(vs) || PyDict_GET_SIZE(out) != PyList_GET_SIZE(vs)) return false;
        Py_ssize_t opos = 0;
        PyObject *v, *data;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(vs); ++i) {
            PyDict_Next(out, &opos, &v, &data);
            if (v != PyList_GET_ITEM(vs, i) || !PyUnicode_CheckExact(v) || !exact_dict(data, 2) ||
                PyDict_GET_SIZE(data) != 0)
                return false;
            edges.push_back({data, u, v, rank});
        }
    }
    // Every entry of succ is one of these: no node has callees beyond them.
    if (static_cast<Py_ssize_t>(edges.size()) != out_entries) return false;

    struct In {
        PyObject* data;
        PyObject* u;
        PyObject* v;
        std::size_t row;
    };
    std::vector<In> ins;
    ins.reserve(edges.size());
    pos = 0;
    PyObject *v, *row;
    for (std::size_t r = 0; PyDict_Next(pred, &pos, &v, &row); ++r) {
        Py_ssize_t rpos = 0;
        PyObject *w, *data;
        while (PyDict_Next(row, &rpos, &w, &data)) ins.push_back({data, w, v, r});
    }

    // Each edge's data dict is the one entry's that names the same caller
    // and an equal callee.
    auto by_data = [](const auto& items) {
        std::vector<std::size_t> order(items.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return std::less<PyObject*>()(items[a].data, items[b].data);
        });
        return order;
    };
    const std::vector<std::size_t> e_order = by_data(edges), i_order = by_data(ins);
    std::vector<std::size_t> rank_of(ins.size());
    for (std::size_t k = 0; k < e_order.size(); ++k) {
        const Edge& e = edges[e_order[k]];
        const In& in = ins[i_order[k]];
        if (e.data != in.data || e.u != in.u) return false;
        if (e.v != in.v && (!PyUnicode_CheckExact(in.v) || PyUnicode_Compare(e.v, in.v) != 0)) return false;
        rank_of[i_order[k]] = e.rank;
    }
    // Within a row, the callers in the order their edges were added.
    for (std::size_t i = 1; i < ins.size(); ++i) {
        if (ins[i].row == ins[i - 1].row && rank_of[i] <= rank_of[i - 1]) return false;
    }
    return true;
}

// Watches every dict of the graph of `attrs` and of its table, and lists
// them; from here on `known` tells whether any has changed.  Nothing is known
// when the interpreter has no watcher to spare, or for a graph or table of
// another shape (each take then checks it in full).
void record(Obj attrs, PyObject* nodes, PyObject* callees) {
    Kept& k = kept();
    k.known = false;
    const int attributes_id = long_lived_watcher(on_attributes_event);
    const int other_id = long_lived_watcher(on_event);
    if (attributes_id < 0 || other_id < 0) return;
    PyObject* table = PyDict_GetItemWithError(attrs.ptr(), s_node.ptr());
    PyObject* succ = PyDict_GetItemWithError(attrs.ptr(), s_succ.ptr());
    PyObject* pred = PyDict_GetItemWithError(attrs.ptr(), s_pred.ptr());
    PyObject* graph = PyDict_GetItemWithError(attrs.ptr(), s_graph.ptr());
    PyObject* cache = PyDict_GetItemWithError(attrs.ptr(), s_cache.ptr());
    if (PyErr_Occurred()) raise();
    for (PyObject* d : {table, succ, pred, graph, cache, nodes, callees}) {
        if (d == nullptr || !PyDict_CheckExact(d)) return;
    }
    k.once.clear();
    k.twice.clear();
    k.lists.clear();
    k.items.clear();
    auto watch = [](int id, PyObject* d) {
        if (!PyDict_CheckExact(d)) return false;
        check(PyDict_Watch(id, d));
        return true;
    };
    for (PyObject* d : {attrs.ptr(), table, succ, pred, graph, cache, nodes, callees}) watch(other_id, d);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(table, &pos, &key, &value)) {
        if (!watch(attributes_id, value)) return;
        k.once.push_back(value);
    }
    pos = 0;
    while (PyDict_Next(succ, &pos, &key, &value)) {
        if (!watch(other_id, value)) return;
        k.once.push_back(value);
        Py_ssize_t rpos = 0;
        PyObject *v, *data;
        while (PyDict_Next(value, &rpos, &v, &data)) {
            if (!watch(other_id, data)) return;
            k.twice.push_back(data);
        }
    }
    pos = 0;
    while (PyDict_Next(pred, &pos, &key, &value)) {
        if (!watch(other_id, value)) return;
        k.once.push_back(value);
    }
    pos = 0;
    while (PyDict_Next(callees, &pos, &key, &value)) {
        if (!PyList_CheckExact(value)) return;
        k.lists.push_back(value);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) k.items.push_back(PyList_GET_ITEM(value, i));
    }
    k.nodes = Ref::borrow(Obj(nodes));
    k.callees = Ref::borrow(Obj(callees));
    k.attrs = attrs.ptr();
    ++k.generation;
    k.flags_cleared_at = k.flag_writes;
    k.known = true;
}

// Whether the graph of `attrs` is the one recorded, unchanged, for this very
// table, and its dicts are referenced as a new graph's are.  Reads pointers,
// sizes and reference counts only.
bool unchanged_since_recorded(PyObject* nodes, PyObject* callees, Obj attrs) {
    const Kept& k = kept();
    if (!k.known || attrs.ptr() != k.attrs || nodes != k.nodes.ptr() || callees != k.callees.ptr()) return false;
    if (PyDict_GET_SIZE(callees) != static_cast<Py_ssize_t>(k.lists.size())) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *vs;
    std::size_t at = 0;
    for (std::size_t i = 0; PyDict_Next(callees, &pos, &key, &vs); ++i) {
        if (vs != k.lists[i]) return false;
        const Py_ssize_t n = PyList_GET_SIZE(vs);
        if (at + static_cast<std::size_t>(n) > k.items.size()) return false;
        for (Py_ssize_t j = 0; j < n; ++j) {
            if (PyList_GET_ITEM(vs, j) != k.items[at++]) return false;
        }
    }
    if (at != k.items.size()) return false;
    for (PyObject* d : k.once) {
        if (Py_REFCNT(d) != 1) return false;
    }
    for (PyObject* d : k.twice) {
        if (Py_REFCNT(d) != 2) return false;
    }
    return true;
}

// Whether the graph of `attrs`, referenced from here alone, holds what a new
// graph of `nodes` and `callees` holds: known when it is the recorded one,
// unchanged, else checked in full.  Reads pointers, sizes and reference
// counts only: no code runs, so nothing changes while it looks.
enum class Reuse { No, Known, Checked };
Reuse reusable(PyObject* nodes, PyObject* callees, Obj attrs) {
    PyObject* graph = PyDict_GetItemWithError(attrs.ptr(), s_graph.ptr());
    PyObject* cache = PyDict_GetItemWithError(attrs.ptr(), s_cache.ptr());
    PyObject* table = PyDict_GetItemWithError(attrs.ptr(), s_node.ptr());
    PyObject* adj = PyDict_GetItemWithError(attrs.ptr(), s_adj.ptr());
    PyObject* succ = PyDict_GetItemWithError(attrs.ptr(), s_succ.ptr());
    PyObject* pred = PyDict_GetItemWithError(attrs.ptr(), s_pred.ptr());
    if (PyDict_GET_SIZE(graph) != 0 || PyDict_GET_SIZE(cache) != 0 || adj != succ || succ == pred) return Reuse::No;
    if (unchanged_since_recorded(nodes, callees, attrs)) return Reuse::Known;
    return same_nodes(table, nodes) && same_edges(succ, pred, nodes, callees) ? Reuse::Checked : Reuse::No;
}

// The has-model flags as a new graph has them.
void clear_flags(Obj attrs) {
    PyObject* table = PyDict_GetItemWithError(attrs.ptr(), s_node.ptr());
    Py_ssize_t pos = 0;
    PyObject *name, *node;
    while (PyDict_Next(table, &pos, &name, &node)) {
        // Replacing the value of a present key keeps the dict's order and size.
        check(PyDict_SetItem(node, s_has_model.ptr(), Py_False));
    }
}

bool weakly_referenced(PyObject* G) {
    Ref weakref = Ref::steal(PyImport_Import(s_weakref.ptr()));
    return truthy(call_method(weakref, s_getweakrefcount, Obj(G)));
}

Ref take(Frame& f) {
    Obj nodes = f[0], callees = f[1], cls = f[2], view_class = f[3];
    PyObject* kept_graph = kept().graph.ptr();
    if (kept_graph == nullptr) return none();
    // Ours alone, of the class a new graph has, and no weak reference that
    // would see it come back.
    const bool ours = Py_REFCNT(kept_graph) == 1 &&
                      Py_TYPE(kept_graph) == reinterpret_cast<PyTypeObject*>(cls.ptr()) &&
                      !weakly_referenced(kept_graph);
    Ref attrs = ours ? plain_attributes(kept_graph, view_class.ptr()) : Ref();
    const Reuse reuse = attrs ? reusable(nodes.ptr(), callees.ptr(), attrs) : Reuse::No;
    if (reuse == Reuse::No) {
        forget();
        return none();
    }
    clear_flags(attrs);
    // A new graph makes its node view on first use.
    if (check(PyDict_Contains(attrs.ptr(), s_nodes.ptr()))) check(PyDict_DelItem(attrs.ptr(), s_nodes.ptr()));
    // Checked in full: its dicts may not be the ones recorded.
    if (reuse == Reuse::Checked) record(attrs, nodes.ptr(), callees.ptr());
    kept().flags_cleared_at = kept().flag_writes;
    return Ref::borrow(Obj(kept_graph));
}

Ref keep(Frame& f) {
    // The graph it replaces is let go first: its address may then be reused.
    forget();
    kept().graph = Ref::borrow(f[0]);
    Ref attrs = Ref::steal(PyObject_GenericGetDict(f[0].ptr(), nullptr));
    if (PyDict_CheckExact(attrs.ptr())) record(attrs, f[1].ptr(), f[2].ptr());
    return none();
}

bool graph_since_taken(PyObject* G, unsigned long long* generation, unsigned long long* flags) {
    const Kept& k = kept();
    if (!k.known || G != k.graph.ptr()) return false;
    *generation = k.generation;
    *flags = k.flag_writes - k.flags_cleared_at;
    return true;
}

const Api api{graph_since_taken};

Ref since_taken(Frame& f) {
    unsigned long long generation = 0, flags = 0;
    if (!graph_since_taken(f[0].ptr(), &generation, &flags)) return none();
    return tuple({Ref::steal(PyLong_FromUnsignedLongLong(generation)), Ref::steal(PyLong_FromUnsignedLongLong(flags))});
}

constexpr Param take_params[] = {
    {.name = "nodes", .check = Check::Dict, .annotation = "dict[str, tuple[str, str]]"},
    {.name = "callees", .check = Check::Dict, .annotation = "dict[str, list[str]]"},
    {.name = "cls", .annotation = "type"},
    {.name = "view_class", .annotation = "type"},
};
constexpr Param keep_params[] = {
    {.name = "G", .annotation = "nx.DiGraph"},
    {.name = "nodes", .check = Check::Dict, .annotation = "dict[str, tuple[str, str]]"},
    {.name = "callees", .check = Check::Dict, .annotation = "dict[str, list[str]]"},
};
constexpr Param since_taken_params[] = {
    {.name = "G", .annotation = "nx.DiGraph"},
};

const Signature take_sig{
    .name = "take",
    .qualname = "take",
    .params = take_params,
    .returns = "nx.DiGraph | None",
    .doc = "The graph last kept, with its has-model flags cleared and its cached\n"
           "node view (of ``view_class``) dropped, when nothing else references it or\n"
           "anything in it and it holds what a new ``cls`` graph of ``nodes`` (name ->\n"
           "(source, module)) and ``callees`` (name -> callees) would hold; otherwise\n"
           "None, and the kept graph is let go.",
    .documented = true,
    .impl = take,
    .file = __FILE__,
    .line = __LINE__,
};
const Signature keep_sig{
    .name = "keep",
    .qualname = "keep",
    .params = keep_params,
    .returns = "None",
    .doc = "Keep ``G``, a graph just made of ``nodes`` and ``callees`` and about to be\n"
           "handed out, for take().",
    .documented = true,
    .impl = keep,
    .file = __FILE__,
    .line = __LINE__,
};

const Signature since_taken_sig{
    .name = "since_taken",
    .qualname = "since_taken",
    .params = since_taken_params,
    .returns = "tuple[int, int] | None",
    .doc = "``(generation, flags)`` while ``G`` is the graph last kept and nothing in it\n"
           "has changed since it was made or last checked in full, but its has-model\n"
           "flags: ``generation`` tells one such graph from the next, ``flags`` counts\n"
           "the flags set since it was last handed out.  None for any other graph.",
    .documented = true,
    .impl = since_taken,
    .file = __FILE__,
    .line = __LINE__,
};

void body(Obj module, Obj ns) {
    check(PyModule_SetDocString(module.ptr(), "The call graph's recycled graph."));
    define(ns, take_sig);
    define(ns, keep_sig);
    define(ns, since_taken_sig);
    Ref capsule = Ref::steal(PyCapsule_New(const_cast<Api*>(&api), capsule_name, nullptr));
    static const Name s_c_api("_C_API");
    dict_set(ns, s_c_api, capsule);
}

host::ModuleInfo info{"_graphs", "morvane.core._graphs", body};

}  // namespace
}  // namespace graphs

PyMODINIT_FUNC PyInit__graphs() { return host::Extension<graphs::info>::init(); }
