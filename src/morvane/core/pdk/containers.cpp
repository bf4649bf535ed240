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

// A function's __module__ read from its own struct, with no code run
// (`__module__` of both types is a member of the instance that a subclass
// could not shadow: neither type can be subclassed); an empty Ref for any
// other object.  An unset member reads as None.
Ref plain_module_of(Obj o) {
    PyObject* module = nullptr;
    if (PyFunction_Check(o.ptr())) {
        module = PyFunction_GET_MODULE(o.ptr());
    } else if (PyCFunction_CheckExact(o.ptr())) {
        module = reinterpret_cast<PyCFunctionObject*>(o.ptr())->m_module;
    } else {
        return {};
    }
    return Ref::borrow(module ? module : Py_None);
}
bool plain_module(Obj m) { return m.is_none() || PyUnicode_CheckExact(m.ptr()); }
// `bool(module)` of a None or exact str module.
bool has_module(Obj m) { return !m.is_none() && PyUnicode_GET_LENGTH(m.ptr()) > 0; }

// What the rules decided for plain registries, done once the loop is over:
// the names to delete from each registry, and the deleted entries, kept
// alive until all deletions are made, so that no finaliser runs between two
// of them.  A rule deletes the entry of its own name only, which no other
// name's rules read, so deleting afterwards gives the registries that
// deleting at once would.
struct Drops {
    Ref cells = new_list(), containers = new_list(), removed = new_list();

    void apply(const Registries& r) {
        for (Ref k : iterate(cells)) check(PyDict_DelItem(r.cells.ptr(), k.ptr()));
        for (Ref k : iterate(containers)) check(PyDict_DelItem(r.containers.ptr(), k.ptr()));
    }
};

// The rules for one name of two plain registries, where nothing the rules
// read can run code: an exact str name, plain functions whose modules are
// strs or None.  `container` is the name's entry in the containers.
// Returns false, having decided nothing, for anything else.
bool settle_plain(const Registries& r, Obj k, Obj container, Obj prefix, Drops& drops) {
    if (!PyUnicode_CheckExact(k.ptr())) return false;
    PyObject* found = nullptr;
    if (check(PyDict_GetItemRef(r.cells.ptr(), k.ptr(), &found)) == 0) return true;  // not a cell
    Ref cell = Ref::steal(found);
    Ref container_mod = plain_module_of(container), cell_mod = plain_module_of(cell);
    if (!container_mod || !cell_mod || !plain_module(container_mod) || !plain_module(cell_mod)) return false;
    auto drop_cell = [&] {
        list_append(drops.removed, cell);
        list_append(drops.cells, k);
    };
    auto drop_container = [&] {
        list_append(drops.removed, container);
        list_append(drops.containers, k);
    };
    if (container.is(cell)) {
        drop_cell();
    } else if (!has_module(container_mod)) {
        drop_container();
    } else if (!has_module(cell_mod)) {
        drop_cell();
    } else if (startswith(container_mod, prefix)) {
        drop_cell();
    } else if (startswith(cell_mod, prefix)) {
        drop_container();
    } else {
        drop_container();
    }
    return true;
}

Ref _clean_containers_also_in_cells(Frame& f) {
    Obj pdk = f[0];
    Ref name = call_method(f.global(S::settings), S::get_project_name);

    // Fast path: the registries are read once and the rules run on the dicts
    // directly, for as long as nothing the rules read can run code, which is
    // what makes reading the registries afresh for every step give the same
    // dicts.  The containers are then walked in place, and the deletions made
    // after the walk (see Drops).  The first name that could run code, and
    // all after it, take the rules as written, after the deletions decided
    // before it.
    Registries plain = PyUnicode_CheckExact(name.ptr()) ? plain_registries(pdk) : Registries{};
    if (plain.cells) {
        Ref prefix = Ref::steal(PyUnicode_Concat(name.ptr(), dot.ptr()));
        Drops drops;
        Ref rest;  // the names left for the rules as written
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(plain.containers.ptr(), &pos, &key, &value)) {
            if (!rest && settle_plain(plain, Obj(key), Obj(value), prefix, drops)) continue;
            if (!rest) rest = new_list();
            list_append(rest, Obj(key));
        }
        drops.apply(plain);
        if (rest) {
            for (Ref k : iterate(rest)) settle(pdk, k, name);
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
