// Settling names registered both as a cell and as a container.
#include "pdk.hpp"

namespace pdk {
using namespace host;

namespace {

const Name empty(""), dot(".");

// getattr(function, "__module__", "")
Ref module_of(Obj function) {
    Ref module = getattr_opt(function, S::__module__);
    return module ? module : Ref::borrow(empty);
}

// module.startswith(f"{name}."): defined inside the project.  With both
// exact strs nothing can observe the order of the method lookup and the
// prefix, and neither needs an object of its own.
bool in_project(Obj module, Obj name) {
    if (both_str(module, name)) return startswith(module, Ref::steal(PyUnicode_Concat(name.ptr(), dot.ptr())));
    Ref method = getattr(module, S::startswith);
    return truthy(call(method, concat({format(name), dot})));
}

// The rules for one name `k`, with every registry read afresh from `pdk`.
void settle(Obj pdk, Obj k, Obj name) {
    if (!contains(getattr(pdk, S::cells), k)) return;
    Ref container = getitem(getattr(pdk, S::containers), k);
    Ref cell = getitem(getattr(pdk, S::cells), k);

    // One function registered both ways stays a container only.
    if (container.is(cell)) {
        delitem(getattr(pdk, S::cells), k);
        return;
    }
    // A side without a module loses, the container side examined first.
    Ref container_mod = module_of(container);
    if (!truthy(container_mod)) {
        delitem(getattr(pdk, S::containers), k);
        return;
    }
    Ref cell_mod = module_of(cell);
    if (!truthy(cell_mod)) {
        delitem(getattr(pdk, S::cells), k);
        return;
    }
    // The project's own function wins, a container before a cell.
    if (in_project(container_mod, name)) {
        delitem(getattr(pdk, S::cells), k);
    } else if (in_project(cell_mod, name)) {
        delitem(getattr(pdk, S::containers), k);
    } else if (contains(getattr(pdk, S::containers), k) && contains(getattr(pdk, S::cells), k)) {
        // Neither is the project's: the cell wins.
        delitem(getattr(pdk, S::containers), k);
    }
}

// `pdk.cells` and `pdk.containers` when reading them runs no code and gives
// the same dicts every time: generic attribute access on an instance of a
// plain class, both held as exact dicts in the instance __dict__, no class
// in the MRO defining either name.  Otherwise empty Refs.
struct Registries {
    Ref cells, containers;
};
Registries plain_registries(Obj pdk) {
    PyTypeObject* type = pdk.type();
    if (type->tp_getattro != PyObject_GenericGetAttr || Py_TYPE(type) != &PyType_Type) return {};
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return {};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        if (check(PyDict_Contains(dict.ptr(), S::cells.ptr())) || check(PyDict_Contains(dict.ptr(), S::containers.ptr())))
            return {};
    }
    if (type->tp_dictoffset == 0) return {};
    Ref attrs = Ref::steal(PyObject_GenericGetDict(pdk.ptr(), nullptr));
    if (!PyDict_CheckExact(attrs.ptr())) return {};
    Ref cells = dict_get(attrs, S::cells), containers = dict_get(attrs, S::containers);
    if (!cells || !containers || !PyDict_CheckExact(cells.ptr()) || !PyDict_CheckExact(containers.ptr())) return {};
    return {cells, containers};
}

// A function whose __module__ is read from its own struct, with no code run.
bool plain_function(Obj o) { return PyFunction_Check(o.ptr()) || PyCFunction_CheckExact(o.ptr()); }
bool plain_module(Obj m) { return m.is_none() || PyUnicode_CheckExact(m.ptr()); }

// The rules for one name of two plain registries, where nothing the rules
// read can run code: an exact str name, plain functions whose modules are
// strs or None.  Returns false, having done nothing, for anything else.
// Deleted entries are kept in `removed`, so that no object dies (and runs a
// finaliser) before the loop is over.
bool settle_plain(const Registries& r, Obj k, Obj prefix, Obj removed) {
    if (!PyUnicode_CheckExact(k.ptr())) return false;
    if (check(PyDict_Contains(r.cells.ptr(), k.ptr())) == 0) return true;
    Ref container = dict_get(r.containers, k), cell = dict_get(r.cells, k);
    if (!container || !cell || !plain_function(container) || !plain_function(cell)) return false;
    Ref container_mod = getattr(container, S::__module__), cell_mod = getattr(cell, S::__module__);
    if (!plain_module(container_mod) || !plain_module(cell_mod)) return false;
    auto drop = [&](Obj registry, Obj value) {
        list_append(removed, value);
        check(PyDict_DelItem(registry.ptr(), k.ptr()));
    };
    const bool container_has_mod = truthy(container_mod), cell_has_mod = truthy(cell_mod);
    if (container.is(cell)) {
        drop(r.cells, cell);
    } else if (!container_has_mod) {
        drop(r.containers, container);
    } else if (!cell_has_mod) {
        drop(r.cells, cell);
    } else if (startswith(container_mod, prefix)) {
        drop(r.cells, cell);
    } else if (startswith(cell_mod, prefix)) {
        drop(r.containers, container);
    } else {
        drop(r.containers, container);
    }
    return true;
}

// The names of the exact dict `containers` that are also in `cells`, in
// the order of `containers`; an empty Ref when a name is not an exact str
// (looking it up could run code).
Ref shared_names(const Registries& r) {
    Ref shared = new_list();
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(r.containers.ptr(), &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return {};
        if (check(PyDict_Contains(r.cells.ptr(), key))) list_append(shared, Obj(key));
    }
    return shared;
}

// The names of `containers` from `first` on, in its order: what is left of
// a snapshot of its names taken before the fast path deleted names before
// `first` (and nothing else).
Ref names_from(Obj containers, Obj first) {
    Ref names = new_list();
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    bool reached = false;
    while (PyDict_Next(containers.ptr(), &pos, &key, &value)) {
        reached = reached || key == first.ptr();
        if (reached) list_append(names, Obj(key));
    }
    return names;
}

Ref _clean_containers_also_in_cells(Frame& f) {
    Obj pdk = f[0];
    Ref name = call_method(f.global(S::settings), S::get_project_name);

    // Fast path: the registries are read once and the rules run on the dicts
    // directly, for as long as nothing the rules read can run code, which is
    // what makes reading the registries afresh for every step give the same
    // dicts.  Then a name that is not a cell is passed over without a step
    // of its own: only the names in both registries are visited.  The first
    // name that could run code, and all after it, take the rules as written.
    Registries plain = PyUnicode_CheckExact(name.ptr()) ? plain_registries(pdk) : Registries{};
    Ref shared = plain.cells ? shared_names(plain) : Ref();
    if (shared) {
        Ref prefix = Ref::steal(PyUnicode_Concat(name.ptr(), dot.ptr()));
        Ref removed = new_list();
        for (Ref k : iterate(shared)) {
            if (settle_plain(plain, k, prefix, removed)) continue;
            for (Ref rest : iterate(names_from(plain.containers, k))) settle(pdk, rest, name);
            break;
        }
        return none();
    }

    // A snapshot of the names: the loop deletes from both registries.
    Ref names = list_of(getattr(pdk, S::containers));
    for (Ref k : iterate(names)) settle(pdk, k, name);
    return none();
}

constexpr Param _clean_containers_also_in_cells_params[] = {
    {.name = "pdk", .annotation = "pf.Pdk"},
};
}  // namespace

const Signature _clean_containers_also_in_cells_sig{
    .name = "_clean_containers_also_in_cells",
    .qualname = "_clean_containers_also_in_cells",
    .params = _clean_containers_also_in_cells_params,
    .returns = "None",
    .doc = nullptr,
    .documented = true,
    .impl = _clean_containers_also_in_cells,
    .file = __FILE__,
    .line = __LINE__,
};

}  // namespace pdk
