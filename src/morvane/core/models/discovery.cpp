// Finding the project's models through its call graph.
#include "models.hpp"

namespace models {
using namespace host;

namespace {

Ref find_models(Frame&) { raise(PyExc_NotImplementedError, "find_models"); }

constexpr Param find_models_params[] = {
    {.name = "lib_paths", .check = Check::DictOrNone, .annotation = "dict[str, Path] | None", .value = Default::None},
};
}  // namespace

const Signature find_models_sig{
    .name = "find_models",
    .qualname = "find_models",
    .params = find_models_params,
    .returns = "dict[str, m.ModelRecord]",
    .doc = "Find all models in the current project.\n"
           "\n"
           "Args:\n"
           "    lib_paths: module name -> library path mapping of all relevant python libraries.\n"
           "\n"
           "Returns:\n"
           "    dict[str, ModelRecord]: mapping of model names to their records.",
    .documented = true,
    .impl = find_models,
    .file = __FILE__,
    .line = __LINE__,
};

}  // namespace models
