// Settling names registered both as a cell and as a container.
#include "pdk.hpp"

namespace pdk {
using namespace host;

namespace {

Ref _clean_containers_also_in_cells(Frame&) { raise(PyExc_NotImplementedError, "_clean_containers_also_in_cells"); }

constexpr Param _clean_containers_also_in_cells_params[] = {
    {.name = "pdk", .annotation = "pf.Pdk"},
};
}  // namespace

const Signature _clean_containers_also_in_cells_sig{
    .name = "_clean_containers_also_in_cells",
    .qualname = "_clean_containers_also_in_cells",
    .params = _clean_containers_also_in_cells_params,
    .returns = "None",
    .doc = nullptr,
    .documented = true,
    .impl = _clean_containers_also_in_cells,
    .file = __FILE__,
    .line = __LINE__,
};

}  // namespace pdk
