// Taking each pending record's factory from its module.
#include "pdk.hpp"

namespace pdk {
using namespace host;

namespace {

Ref _find_cells(Frame&) { raise(PyExc_NotImplementedError, "_find_cells"); }

constexpr Param _find_cells_params[] = {
    {.name = "static_records", .check = Check::Dict, .annotation = "dict[str, m.FactoryRecord]"},
    {.name = "modules", .check = Check::Dict, .annotation = "dict[Path, ModuleType]"},
};
}  // namespace

const Signature _find_cells_sig{
    .name = "_find_cells",
    .qualname = "_find_cells",
    .params = _find_cells_params,
    .returns = "dict[str, Callable]",
    .doc = nullptr,
    .documented = true,
    .impl = _find_cells,
    .file = __FILE__,
    .line = __LINE__,
};

}  // namespace pdk
