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
#undef MODELS_NAME
}  // namespace S

}  // namespace models
