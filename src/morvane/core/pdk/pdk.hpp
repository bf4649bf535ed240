// Declarations shared by the files of the pdk module: the signature of every
// function of the module (each defined beside its body) and the interned names
// the bodies use.
#pragma once

#include "host/function.hpp"
#include "host/ops.hpp"

namespace pdk {

using host::Frame;
using host::Obj;
using host::Ref;

// Module functions, in definition order.
extern const host::Signature get_pdk_sig;
extern const host::Signature get_base_pdk_sig;
extern const host::Signature register_cells_sig;
extern const host::Signature activate_pdk_by_name_sig;
extern const host::Signature frozen_setattr_sig;
extern const host::Signature frozen_delattr_sig;
extern const host::Signature _get_pdk_sig;
extern const host::Signature _sort_paths_sig;
extern const host::Signature _error_cell_sig;
extern const host::Signature _import_modules_sig;
extern const host::Signature _handle_import_errors_sig;
extern const host::Signature _find_cells_sig;
extern const host::Signature _get_database_updates_sig;
extern const host::Signature _clean_containers_also_in_cells_sig;

// Names looked up or called by the module's functions.
namespace S {
#define PDK_NAME(id) inline const host::Name id(#id)
PDK_NAME(settings);
PDK_NAME(log);
PDK_NAME(sys);
PDK_NAME(importlib);
PDK_NAME(warnings);
PDK_NAME(get_pdk);
PDK_NAME(get_base_pdk);
PDK_NAME(_get_pdk);
PDK_NAME(FrozenPdk);
PDK_NAME(copy);
PDK_NAME(deepcopy);
PDK_NAME(frozendict);
PDK_NAME(defaultdict);
PDK_NAME(Path);
PDK_NAME(cast);
PDK_NAME(db);
PDK_NAME(imports);
PDK_NAME(cg);
PDK_NAME(m);
PDK_NAME(pf);
PDK_NAME(register_models);
PDK_NAME(_sort_paths);
PDK_NAME(_error_cell);
PDK_NAME(_import_modules);
PDK_NAME(_handle_import_errors);
PDK_NAME(_find_cells);
PDK_NAME(_get_database_updates);
PDK_NAME(_clean_containers_also_in_cells);
#undef PDK_NAME
}  // namespace S

}  // namespace pdk
