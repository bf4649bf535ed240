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

namespace graphs {
using namespace host;

namespace {

const Name s_has_model("has_model"), s_source("source"), s_module("module");
const Name s_graph("graph"), s_node("_node"), s_adj("_adj"), s_succ("_succ"), s_pred("_pred"),
    s_cache("__networkx_cache__"), s_nodes("nodes"), s__nodes("_nodes");
const Name s_weakref("weakref"), s_getweakrefcount("getweakrefcount");

// The graph last handed out, kept for the life of the process (never
// destroyed: its reference must not be released after the interpreter has
// finished).
Ref& kept_graph() {
    static Ref* kept = new Ref;
    return *kept;
}

void forget() { kept_graph() = Ref(); }

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

// Whether the graph of `attrs`, referenced from here alone, holds what a new graph of `nodes`
// and `callees` holds.  Reads pointers, sizes and reference counts only: no
// code runs, so nothing changes while it looks.
bool reusable(PyObject* nodes, PyObject* callees, Obj attrs) {
    PyObject* graph = PyDict_GetItemWithError(attrs.ptr(), s_graph.ptr());
    PyObject* cache = PyDict_GetItemWithError(attrs.ptr(), s_cache.ptr());
    PyObject* table = PyDict_GetItemWithError(attrs.ptr(), s_node.ptr());
    PyObject* adj = PyDict_GetItemWithError(attrs.ptr(), s_adj.ptr());
    PyObject* succ = PyDict_GetItemWithError(attrs.ptr(), s_succ.ptr());
    PyObject* pred = PyDict_GetItemWithError(attrs.ptr(), s_pred.ptr());
    return PyDict_GET_SIZE(graph) == 0 && PyDict_GET_SIZE(cache) == 0 && adj == succ && succ != pred &&
           same_nodes(table, nodes) && same_edges(succ, pred, nodes, callees);
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
    PyObject* kept = kept_graph().ptr();
    if (kept == nullptr) return none();
    // Ours alone, of the class a new graph has, and no weak reference that
    // would see it come back.
    const bool ours = Py_REFCNT(kept) == 1 && Py_TYPE(kept) == reinterpret_cast<PyTypeObject*>(cls.ptr()) &&
                      !weakly_referenced(kept);
    Ref attrs = ours ? plain_attributes(kept, view_class.ptr()) : Ref();
    if (!attrs || !reusable(nodes.ptr(), callees.ptr(), attrs)) {
        forget();
        return none();
    }
    clear_flags(attrs);
    // A new graph makes its node view on first use.
    if (check(PyDict_Contains(attrs.ptr(), s_nodes.ptr()))) check(PyDict_DelItem(attrs.ptr(), s_nodes.ptr()));
    return Ref::borrow(Obj(kept));
}

Ref keep(Frame& f) {
    // The graph it replaces is let go first: its address may then be reused.
    forget();
    kept_graph() = Ref::borrow(f[0]);
    return none();
}

constexpr Param take_params[] = {
    {.name = "nodes", .check = Check::Dict, .annotation = "dict[str, tuple[str, str]]"},
    {.name = "callees", .check = Check::Dict, .annotation = "dict[str, list[str]]"},
    {.name = "cls", .annotation = "type"},
    {.name = "view_class", .annotation = "type"},
};
constexpr Param keep_params[] = {
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
    .doc = "Keep ``G``, a graph just made and about to be handed out, for take().",
    .documented = true,
    .impl = keep,
    .file = __FILE__,
    .line = __LINE__,
};

void body(Obj module, Obj ns) {
    check(PyModule_SetDocString(module.ptr(), "The call graph's recycled graph."));
    define(ns, take_sig);
    define(ns, keep_sig);
}

host::ModuleInfo info{"_graphs", "morvane.core._graphs", body};

}  // namespace
}  // namespace graphs

PyMODINIT_FUNC PyInit__graphs() { return host::Extension<graphs::info>::init(); }
