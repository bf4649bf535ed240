// The model registration pass.
#include "models.hpp"

namespace models {
using namespace host;

namespace {

Ref register_models(Frame&) { raise(PyExc_NotImplementedError, "register_models"); }

constexpr Param register_models_params[] = {
    {.name = "G", .kind = Kind::PositionalOnly, .annotation = "nx.DiGraph | None", .value = Default::None},
    {.name = "reload", .kind = Kind::KeywordOnly, .annotation = "bool", .value = Default::True, .prefix = "bool"},
};
}  // namespace

const Signature register_models_sig{
    .name = "register_models",
    .qualname = "register_models",
    .params = register_models_params,
    .returns = "tuple[list[str], list[str]]",
    .doc = "Register all models in the current project.\n"
           "\n"
           "Args:\n"
           "    G: (optional) the call graph to extract factory dependencies from.\n"
           "    reload: Whether to reload the modules containing the models.\n"
           "\n"
           "Returns:\n"
           "    tuple[list[str], list[str]]:\n"
           "        - List of names of newly registered models.\n"
           "        - List of names of deleted models.",
    .documented = true,
    .impl = register_models,
    .file = __FILE__,
    .line = __LINE__,
};

}  // namespace models
