// Error cells for the factories of files that fail to import.
#include "pdk.hpp"

namespace pdk {
using namespace host;

namespace {

Ref _error_cell(Frame&) { raise(PyExc_NotImplementedError, "_error_cell"); }

constexpr Param _error_cell_params[] = {
    {.name = "funcname", .check = Check::Str, .annotation = "str"},
    {.name = "modname", .check = Check::Str, .annotation = "str"},
    {.name = "error", .annotation = "str | Exception"},
};
}  // namespace

const Signature _error_cell_sig{
    .name = "_error_cell",
    .qualname = "_error_cell",
    .params = _error_cell_params,
    .returns = "Callable",
    .doc = nullptr,
    .documented = true,
    .impl = _error_cell,
    .file = __FILE__,
    .line = __LINE__,
};

namespace {

Ref _handle_import_errors(Frame&) { raise(PyExc_NotImplementedError, "_handle_import_errors"); }

constexpr Param _handle_import_errors_params[] = {
    {.name = "static_records", .check = Check::Dict, .annotation = "dict[str, m.FactoryRecord]"},
    {.name = "errors", .check = Check::Dict, .annotation = "dict[Path, tuple[str, Exception]]"},
};
}  // namespace

const Signature _handle_import_errors_sig{
    .name = "_handle_import_errors",
    .qualname = "_handle_import_errors",
    .params = _handle_import_errors_params,
    .returns = "tuple[dict[str, Callable], dict[str, m.FactoryRecord]]",
    .doc = nullptr,
    .documented = true,
    .impl = _handle_import_errors,
    .file = __FILE__,
    .line = __LINE__,
};

}  // namespace pdk
