// Declarations shared by the files of the models module: the signature of
// every function of the module (each defined beside its body) and the interned
// names the bodies use.
#pragma once

#include "host/function.hpp"
#include "host/ops.hpp"

namespace models {

using host::Frame;
using host::Obj;
using host::Ref;

// Module functions, in definition order.
extern const host::Signature register_models_sig;
extern const host::Signature find_models_sig;
extern const host::Signature _is_model_sig;
extern const host::Signature _create_record_sig;
extern const host::Signature _funcname_sig;
extern const host::Signature _error_model_sig;

// Names looked up or called by the module's functions.
namespace S {
#define MODELS_NAME(id) inline const host::Name id(#id)
MODELS_NAME(json);
MODELS_NAME(defaultdict);
MODELS_NAME(deepcopy);
MODELS_NAME(partial);
MODELS_NAME(Path);
MODELS_NAME(nx);
MODELS_NAME(db);
MODELS_NAME(natsorted);
MODELS_NAME(log);
MODELS_NAME(m);
MODELS_NAME(ccg);
MODELS_NAME(imports);
MODELS_NAME(get_pdk);
MODELS_NAME(get_base_pdk);
MODELS_NAME(get_project_dir);
MODELS_NAME(get_project_name);
MODELS_NAME(generate_call_graph);
MODELS_NAME(find_models);
MODELS_NAME(_is_model);
MODELS_NAME(_create_record);
MODELS_NAME(_funcname);
MODELS_NAME(_error_model);
MODELS_NAME(list);
// Attributes, methods and keywords.
MODELS_NAME(values);
MODELS_NAME(get);
MODELS_NAME(append);
MODELS_NAME(upper);
MODELS_NAME(startswith);
MODELS_NAME(split);
MODELS_NAME(resolve);
MODELS_NAME(parent);
MODELS_NAME(is_relative_to);
MODELS_NAME(relative_to);
MODELS_NAME(walk_up);
MODELS_NAME(dumps);
MODELS_NAME(default_lib_paths);
MODELS_NAME(lib_paths);
MODELS_NAME(ModelRecord);
MODELS_NAME(factory);
MODELS_NAME(settings);
MODELS_NAME(source);
MODELS_NAME(pdk_type);
MODELS_NAME(models);
MODELS_NAME(absolute_source);
MODELS_NAME(status);
MODELS_NAME(message);
MODELS_NAME(import_modules);
MODELS_NAME(paths);
MODELS_NAME(reload);
MODELS_NAME(from_project);
MODELS_NAME(debug);
MODELS_NAME(info);
MODELS_NAME(set_all_factories_has_model);
MODELS_NAME(set_factories_has_model_by_names);
MODELS_NAME(add_models);
MODELS_NAME(get_all_models);
MODELS_NAME(remove_models);
MODELS_NAME(has_model);
MODELS_NAME(reverse_view);
MODELS_NAME(topological_sort);
MODELS_NAME(descendants);
MODELS_NAME(nodes);
MODELS_NAME(successors);
MODELS_NAME(select);
MODELS_NAME(func);
MODELS_NAME(keywords);
MODELS_NAME(__name__);
MODELS_NAME(__module__);
MODELS_NAME(__qualname__);
MODELS_NAME(__reduce__);
MODELS_NAME(__setstate__);
MODELS_NAME(__dict__);
// Keys of the call graph's records.
MODELS_NAME(functions);
MODELS_NAME(modules);
MODELS_NAME(name);
MODELS_NAME(module);
MODELS_NAME(path);
MODELS_NAME(resolved_return_annotation);
MODELS_NAME(parameter_defaults);
#undef MODELS_NAME
}  // namespace S

// String constants of the algorithms (interned once, like the names).
namespace T {
inline const host::Name empty("");
inline const host::Name dot(".");
inline const host::Name underscore("_");
inline const host::Name get_models("get_models");
inline const host::Name dict_str("DICT[STR");
inline const host::Name sdict("SDICT");
inline const host::Name sdense("SDENSE");
inline const host::Name scoo("SCOO");
inline const host::Name stype("STYPE");
inline const host::Name pdk("pdk");
inline const host::Name base_pdk("base_pdk");
inline const host::Name error("ERROR");
inline const host::Name success("SUCCESS");
inline const host::Name found_prefix("Found ");
inline const host::Name errors_suffix(" errors");
inline const host::Name error_prefix("error=");
inline const host::Name new_models("new models: ");
inline const host::Name removed_models("removed models: ");
}  // namespace T

}  // namespace models
