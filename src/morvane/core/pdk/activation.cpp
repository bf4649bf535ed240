// Resolving and activating the project's PDK.
#include "pdk.hpp"

namespace pdk {
using namespace host;

namespace {

Ref get_pdk(Frame&) { raise(PyExc_NotImplementedError, "get_pdk"); }

}  // namespace

const Signature get_pdk_sig{
    .name = "get_pdk",
    .qualname = "get_pdk",
    .params = {},
    .returns = "pf.Pdk",
    .doc = "Import a PDK by name.\n"
           "\n"
           "Returns:\n"
           "    pf.Pdk: The imported PDK object.\n"
           "\n"
           "Raises:\n"
           "    ImportError: If the specified PDK cannot be found.",
    .documented = true,
    .impl = get_pdk,
    .file = __FILE__,
    .line = __LINE__,
};

namespace {

Ref _get_pdk(Frame&) { raise(PyExc_NotImplementedError, "_get_pdk"); }

}  // namespace

const Signature _get_pdk_sig{
    .name = "_get_pdk",
    .qualname = "_get_pdk",
    .params = {},
    .returns = "pf.Pdk",
    .doc = nullptr,
    .documented = true,
    .impl = _get_pdk,
    .file = __FILE__,
    .line = __LINE__,
};

namespace {

Ref activate_pdk_by_name(Frame&) { raise(PyExc_NotImplementedError, "activate_pdk_by_name"); }

constexpr Param activate_pdk_by_name_params[] = {
    {.name = "name", .check = Check::Str, .annotation = "str"},
};
}  // namespace

const Signature activate_pdk_by_name_sig{
    .name = "activate_pdk_by_name",
    .qualname = "activate_pdk_by_name",
    .params = activate_pdk_by_name_params,
    .returns = "pf.Pdk",
    .doc = "Activate a PDK by name (deprecated).\n"
           "\n"
           "Args:\n"
           "    name: Name of the PDK to activate. (deprecated, will be ignored)\n"
           "\n"
           "Returns:\n"
           "    pf.Pdk: The activated PDK object.",
    .documented = true,
    .impl = activate_pdk_by_name,
    .file = __FILE__,
    .line = __LINE__,
};

}  // namespace pdk
