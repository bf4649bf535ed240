// What a pass writes to and deletes from the project database.
#include "pdk.hpp"

namespace pdk {
using namespace host;

namespace {

Ref _get_database_updates(Frame&) { raise(PyExc_NotImplementedError, "_get_database_updates"); }

constexpr Param _get_database_updates_params[] = {
    {.name = "static_records", .check = Check::Dict, .annotation = "dict[str, m.FactoryRecord]"},
    {.name = "present_records", .check = Check::Dict, .annotation = "dict[str, m.FactoryRecord]"},
    {.name = "paths", .check = Check::List, .annotation = "list[Path]"},
};
}  // namespace

const Signature _get_database_updates_sig{
    .name = "_get_database_updates",
    .qualname = "_get_database_updates",
    .params = _get_database_updates_params,
    .returns = "tuple[list[m.FactoryRecord], list[str]]",
    .doc = nullptr,
    .documented = true,
    .impl = _get_database_updates,
    .file = __FILE__,
    .line = __LINE__,
};

}  // namespace pdk
