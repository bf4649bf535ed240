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
PDK_NAME(db);
PDK_NAME(imports);
PDK_NAME(cg);
PDK_NAME(m);
PDK_NAME(register_models);
PDK_NAME(_sort_paths);
PDK_NAME(_error_cell);
PDK_NAME(_import_modules);
PDK_NAME(_handle_import_errors);
PDK_NAME(_find_cells);
PDK_NAME(_get_database_updates);
PDK_NAME(_clean_containers_also_in_cells);

// Attributes, methods and keywords.
PDK_NAME(debug);
PDK_NAME(info);
PDK_NAME(warning);
PDK_NAME(get_pdk_name);
PDK_NAME(is_a_pdk);
PDK_NAME(get_project_name);
PDK_NAME(lower);
PDK_NAME(modules);
PDK_NAME(import_module);
PDK_NAME(reload);
PDK_NAME(get_generic_pdk);
PDK_NAME(__wrapped__);
PDK_NAME(PDK);
PDK_NAME(activate);
PDK_NAME(name);
PDK_NAME(warn);
PDK_NAME(__dict__);
PDK_NAME(__class__);
PDK_NAME(__name__);
PDK_NAME(__module__);
PDK_NAME(update);
PDK_NAME(get);
PDK_NAME(append);
PDK_NAME(sort);
PDK_NAME(key);
PDK_NAME(startswith);
PDK_NAME(create_callgraph);
PDK_NAME(get_static_records);
PDK_NAME(paths);
PDK_NAME(from_project);
PDK_NAME(import_modules);
PDK_NAME(get_cells_from_regex);
PDK_NAME(get_factories_by_name);
PDK_NAME(get_factories_by_source);
PDK_NAME(__fspath__);
PDK_NAME(get_all_factories);
PDK_NAME(add_factories);
PDK_NAME(remove_factories);
PDK_NAME(cells);
PDK_NAME(containers);
PDK_NAME(absolute_source);
PDK_NAME(resolve);
PDK_NAME(parts);
PDK_NAME(FactoryRecord);
PDK_NAME(source);
PDK_NAME(status);
PDK_NAME(message);
#undef PDK_NAME

// Status values of factory records.
inline const host::Name UNKNOWN("UNKNOWN");
inline const host::Name ERROR("ERROR");
}  // namespace S

// log().<level>(message): a new logger from the factory for every record.
// The message is made after the logger and its method, as in the expression.
template <class MakeMessage>
void log(const Frame& f, const host::Name& level, MakeMessage&& make_message) {
    Ref method = host::getattr(host::call(f.global(S::log)), level);
    Ref message = make_message();
    host::call(method, message);
}

}  // namespace pdk
