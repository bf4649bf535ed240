// Placeholder models for sources that fail to import.
#include "models.hpp"

namespace models {
using namespace host;

namespace {

Ref _error_model(Frame&) { raise(PyExc_NotImplementedError, "_error_model"); }

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
