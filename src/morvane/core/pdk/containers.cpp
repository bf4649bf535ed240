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

Ref _clean_containers_also_in_cells(Frame& f) {
    Obj pdk = f[0];
    Ref name = call_method(f.global(S::settings), S::get_project_name);

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
