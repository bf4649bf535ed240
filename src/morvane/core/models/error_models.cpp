// Placeholder models for sources that fail to import.
#include "models.hpp"

namespace models {
using namespace host;

namespace {

constexpr Param func_params[] = {
    {.name = "args", .kind = Kind::VarPositional, .annotation = "Any"},
    {.name = "kwargs", .kind = Kind::VarKeyword, .annotation = "Any"},
};

const Signature func_sig{
    .name = "func",
    .qualname = "_error_model.<locals>.func",
    .params = func_params,
    .returns = "sax.SType",
    .doc = nullptr,
    .documented = false,
    // The whole body, `raise error`: an instance is raised itself (every call
    // raises the same object), a class is instantiated without arguments.
    .impl = raise_captured,
    .file = __FILE__,
    .line = __LINE__,
};

// A placeholder model for a model whose source failed to import: it stands in
// the PDK under the model's name and raises the import error where the model
// is evaluated.
Ref _error_model(Frame& f) { return make_raiser(f, func_sig, f[0], f[1], f[2]); }

constexpr Param _error_model_params[] = {
    {.name = "funcname", .check = Check::Str, .annotation = "str"},
    {.name = "modname", .check = Check::Str, .annotation = "str"},
    {.name = "error", .annotation = "str | Exception"},
};
}  // namespace

const Signature _error_model_sig{
    .name = "_error_model",
    .qualname = "_error_model",
    .params = _error_model_params,
    .returns = "Callable",
    .doc = nullptr,
    .documented = true,
    .impl = _error_model,
    .file = __FILE__,
    .line = __LINE__,
};

}  // namespace models
