// Settling names registered both as a cell and as a container.
#include <optional>
#include <vector>

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

// The __module__ of a plain function, read from its own struct: a Python
// function or an exact builtin function, whose __module__ is a member that
// no instance dict and no subclass can shadow, so getattr would give the
// same object (None for an empty slot).  nullptr for anything else.
PyObject* plain_module_of(PyObject* o) {
    PyObject* module = nullptr;
    if (PyFunction_Check(o)) {
        module = PyFunction_GET_MODULE(o);
    } else if (PyCFunction_CheckExact(o)) {
        module = reinterpret_cast<PyCFunctionObject*>(o)->m_module;
    } else {
        return nullptr;
    }
    return module != nullptr ? module : Py_None;
}

// getattr(function, "__module__", "") is true: a str or None module.
bool module_given(PyObject* module) { return module != Py_None && PyUnicode_GET_LENGTH(module) != 0; }

// One name in both plain registries, with the entries the walk found.
struct Shared {
    Ref name, container, cell;
};

// The rules for one name of two plain registries, where nothing the rules
// read can run code: plain functions whose modules are strs or None.
// Returns false, having done nothing, for anything else.  The entries are
// those the walk found: nothing has run code since, and the loop deletes
// only the entry of the name it settles.  Deleted entries are kept in
// `removed`, so that no object dies (and runs a finaliser) before the loop
// is over.
bool settle_plain(const Registries& r, const Shared& s, Obj prefix, Obj removed) {
    PyObject* container_mod = plain_module_of(s.container.ptr());
    PyObject* cell_mod = plain_module_of(s.cell.ptr());
    if (container_mod == nullptr || cell_mod == nullptr) return false;
    auto plain_module = [](PyObject* m) { return m == Py_None || PyUnicode_CheckExact(m); };
    if (!plain_module(container_mod) || !plain_module(cell_mod)) return false;
    auto drop = [&](Obj registry, Obj value) {
        list_append(removed, value);
        check(PyDict_DelItem(registry.ptr(), s.name.ptr()));
    };
    if (s.container.is(s.cell)) {
        drop(r.cells, s.cell);
    } else if (!module_given(container_mod)) {
        drop(r.containers, s.container);
    } else if (!module_given(cell_mod)) {
        drop(r.cells, s.cell);
    } else if (startswith(Obj(container_mod), prefix)) {
        drop(r.cells, s.cell);
    } else if (startswith(Obj(cell_mod), prefix)) {
        drop(r.containers, s.container);
    } else {
        drop(r.containers, s.container);
    }
    return true;
}

// The names of the exact dict `containers` that are also in `cells`, in
// the order of `containers`, with both entries; nullopt when a name is not
// an exact str (looking it up could run code).
std::optional<std::vector<Shared>> shared_names(const Registries& r) {
    std::vector<Shared> shared;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* container = nullptr;
    while (PyDict_Next(r.containers.ptr(), &pos, &key, &container)) {
        if (!PyUnicode_CheckExact(key)) return std::nullopt;
        PyObject* cell = nullptr;
        if (check(PyDict_GetItemRef(r.cells.ptr(), key, &cell)) == 0) continue;
        shared.push_back({Ref::borrow(key), Ref::borrow(container), Ref::steal(cell)});
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
    auto shared = plain.cells ? shared_names(plain) : std::nullopt;
    if (shared) {
        Ref prefix = Ref::steal(PyUnicode_Concat(name.ptr(), dot.ptr()));
        Ref removed = new_list();
        for (const Shared& s : *shared) {
            if (settle_plain(plain, s, prefix, removed)) continue;
            for (Ref rest : iterate(names_from(plain.containers, s.name))) settle(pdk, rest, name);
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
