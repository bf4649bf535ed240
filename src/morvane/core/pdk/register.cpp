// The cell registration pass.
#include "pdk.hpp"

namespace pdk {
using namespace host;

namespace {

Ref register_cells(Frame&) { raise(PyExc_NotImplementedError, "register_cells"); }

constexpr Param register_cells_params[] = {
    {.name = "paths", .kind = Kind::KeywordOnly, .annotation = "Iterable[Path]", .value = Default::EmptyTuple},
    {.name = "reload", .kind = Kind::KeywordOnly, .annotation = "bool", .value = Default::True, .prefix = "bool"},
};
}  // namespace

const Signature register_cells_sig{
    .name = "register_cells",
    .qualname = "register_cells",
    .params = register_cells_params,
    .returns = "tuple[list[str], list[str]]",
    .doc = "Register PDK cells.\n"
           "\n"
           "Args:\n"
           "    paths: Paths to Python modules containing PDK cells.\n"
           "        If empty, it will import all modules.\n"
           "    reload: Whether to reload the modules we're importing from.\n"
           "\n"
           "Returns:\n"
           "    tuple[list[str], list[str]]:\n"
           "        - List of names of newly registered cells.\n"
           "        - List of names of deleted cells.",
    .documented = true,
    .impl = register_cells,
    .file = __FILE__,
    .line = __LINE__,
};

}  // namespace pdk
