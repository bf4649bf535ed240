// The base PDK and FrozenPdk.
#include "pdk.hpp"

namespace pdk {
using namespace host;

namespace {

Ref get_base_pdk(Frame& f) {
    Ref pdk = call(f.global(S::_get_pdk));
    if (truthy(call_method(f.global(S::settings), S::is_a_pdk))) return pdk;

    // A second resolution of its own; since the first one imported the PDK's
    // modules, this one reloads them and so builds new objects.
    Ref base_pdk = call(getattr(f.global(S::_get_pdk), S::__wrapped__));
    // Freezing must never reach the active PDK.
    if (base_pdk.is(pdk)) base_pdk = call(f.global(S::copy), pdk);

    // One level deep: dicts become frozendicts and lists tuples.
    Ref frozen_attrs = new_dict();
    for_items(getattr(base_pdk, S::__dict__), [&](Obj k, Obj v) {
        if (isinstance(v, Obj(reinterpret_cast<PyObject*>(&PyDict_Type)))) {
            dict_set(frozen_attrs, k, call(f.global(S::frozendict), v));
        } else if (isinstance(v, Obj(reinterpret_cast<PyObject*>(&PyList_Type)))) {
            dict_set(frozen_attrs, k, tuple_of(v));
        } else {
            dict_set(frozen_attrs, k, v);
        }
    });
    // Straight into the instance dictionary: no attribute hook of the PDK runs.
    call_method(getattr(base_pdk, S::__dict__), S::update, frozen_attrs);
    // Still a pf.Pdk here, so its own attribute rules allow the switch.
    setattr(base_pdk, S::__class__, f.global(S::FrozenPdk));

    call_method(pdk, S::activate);
    log(f, S::debug, [&] { return concat({text("Froze base PDK: "), format(getattr(base_pdk, S::name))}); });
    return base_pdk;
}

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

Ref frozen_setattr(Frame&) { raise(PyExc_AttributeError, "Frozen PDK cannot be modified."); }

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

Ref frozen_delattr(Frame&) { raise(PyExc_AttributeError, "Frozen PDK cannot be modified."); }

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
