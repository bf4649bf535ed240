// Model records made from the call graph's function records.
#include "models.hpp"

namespace models {
using namespace host;

namespace {

Ref _is_model(Frame&) { raise(PyExc_NotImplementedError, "_is_model"); }

constexpr Param _is_model_params[] = {
    {.name = "record", .check = Check::Dict, .annotation = "dict"},
};
}  // namespace

const Signature _is_model_sig{
    .name = "_is_model",
    .qualname = "_is_model",
    .params = _is_model_params,
    .returns = "bool",
    .doc = nullptr,
    .documented = true,
    .impl = _is_model,
    .file = __FILE__,
    .line = __LINE__,
};

namespace {

Ref _create_record(Frame&) { raise(PyExc_NotImplementedError, "_create_record"); }

constexpr Param _create_record_params[] = {
    {.name = "model_records", .check = Check::Dict, .annotation = "dict[str, dict]"},
    {.name = "func", .annotation = "Callable"},
};
}  // namespace

const Signature _create_record_sig{
    .name = "_create_record",
    .qualname = "_create_record",
    .params = _create_record_params,
    .returns = "dict | None",
    .doc = nullptr,
    .documented = true,
    .impl = _create_record,
    .file = __FILE__,
    .line = __LINE__,
};

namespace {

Ref _funcname(Frame&) { raise(PyExc_NotImplementedError, "_funcname"); }

constexpr Param _funcname_params[] = {
    {.name = "func", .annotation = "Callable"},
};
}  // namespace

const Signature _funcname_sig{
    .name = "_funcname",
    .qualname = "_funcname",
    .params = _funcname_params,
    .returns = "str | None",
    .doc = nullptr,
    .documented = true,
    .impl = _funcname,
    .file = __FILE__,
    .line = __LINE__,
};

}  // namespace models
