// Ordering and importing the source files of a pass.
#include "pdk.hpp"

namespace pdk {
using namespace host;

namespace {

Ref _sort_paths(Frame&) { raise(PyExc_NotImplementedError, "_sort_paths"); }

constexpr Param _sort_paths_params[] = {
    {.name = "paths", .annotation = "Iterable[Path]"},
};
}  // namespace

const Signature _sort_paths_sig{
    .name = "_sort_paths",
    .qualname = "_sort_paths",
    .params = _sort_paths_params,
    .returns = "list[Path]",
    .doc = nullptr,
    .documented = true,
    .impl = _sort_paths,
    .file = __FILE__,
    .line = __LINE__,
};

namespace {

Ref _import_modules(Frame&) { raise(PyExc_NotImplementedError, "_import_modules"); }

constexpr Param _import_modules_params[] = {
    {.name = "static_records", .check = Check::Dict, .annotation = "dict[str, m.FactoryRecord]"},
    {.name = "paths", .check = Check::List, .annotation = "list[Path]"},
    {.name = "reload", .kind = Kind::KeywordOnly, .annotation = "bool", .value = Default::True, .prefix = "bool"},
};
}  // namespace

const Signature _import_modules_sig{
    .name = "_import_modules",
    .qualname = "_import_modules",
    .params = _import_modules_params,
    .returns = "tuple[dict[Path, ModuleType], dict[Path, tuple[str, Exception]]]",
    .doc = nullptr,
    .documented = true,
    .impl = _import_modules,
    .file = __FILE__,
    .line = __LINE__,
};

}  // namespace pdk
