// The base PDK and FrozenPdk.
#include "pdk.hpp"

namespace pdk {
using namespace host;

namespace {

Ref get_base_pdk(Frame&) { raise(PyExc_NotImplementedError, "get_base_pdk"); }

}  // namespace

const Signature get_base_pdk_sig{
    .name = "get_base_pdk",
    .qualname = "get_base_pdk",
    .params = {},
    .returns = "pf.Pdk | FrozenPdk",
    .doc = "Get the base PDK, which is the generic PDK.\n"
           "\n"
           "Returns:\n"
           "    pf.Pdk: The base PDK object.",
    .documented = true,
    .impl = get_base_pdk,
    .file = __FILE__,
    .line = __LINE__,
};

namespace {

Ref frozen_setattr(Frame&) { raise(PyExc_NotImplementedError, "FrozenPdk.__setattr__"); }

constexpr Param frozen_setattr_params[] = {
    {.name = "self"},
    {.name = "name", .check = Check::Str, .annotation = "str"},
    {.name = "value", .annotation = "Any"},
};
}  // namespace

const Signature frozen_setattr_sig{
    .name = "__setattr__",
    .qualname = "FrozenPdk.__setattr__",
    .params = frozen_setattr_params,
    .returns = "None",
    .doc = nullptr,
    .documented = true,
    .impl = frozen_setattr,
    .file = __FILE__,
    .line = __LINE__,
};

namespace {

Ref frozen_delattr(Frame&) { raise(PyExc_NotImplementedError, "FrozenPdk.__delattr__"); }

constexpr Param frozen_delattr_params[] = {
    {.name = "self"},
    {.name = "name", .check = Check::Str, .annotation = "str"},
};
}  // namespace

const Signature frozen_delattr_sig{
    .name = "__delattr__",
    .qualname = "FrozenPdk.__delattr__",
    .params = frozen_delattr_params,
    .returns = "None",
    .doc = nullptr,
    .documented = true,
    .impl = frozen_delattr,
    .file = __FILE__,
    .line = __LINE__,
};

}  // namespace pdk
