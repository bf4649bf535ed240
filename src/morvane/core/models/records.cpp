// Model records made from the call graph's function records.
#include "models.hpp"

namespace models {
using namespace host;

namespace {

// A function is a model when its return annotation names one of sax's
// S-parameter types; plain `dict[str, ...]` results and private or helper
// functions are not.
Ref _is_model(Frame& f) {
    Obj record = f[0];
    // The annotation is read first, so a record without one fails before any
    // other test.
    Ref annot = call_method(str(getitem(record, S::resolved_return_annotation)), S::upper);
    if (eq(getitem(record, S::name), T::get_models) || startswith(getitem(record, S::name), T::underscore)) {
        return boolean(false);
    }
    if (contains(annot, T::dict_str)) return boolean(false);
    for (const Name* word : {&T::sdict, &T::sdense, &T::scoo, &T::stype}) {
        if (contains(annot, *word)) return boolean(true);
    }
    return boolean(false);
}

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

// The record of a model that the PDK registers: a copy of the call graph's
// record of the underlying function, with the keywords a partial binds folded
// into its parameter defaults.
Ref _create_record(Frame& f) {
    Obj model_records = f[0];
    Obj func = f[1];
    Ref func_name = call(f.global(S::_funcname), func);
    if (func_name.is_none()) return none();
    if (!contains(model_records, func_name)) return none();
    // A copy: the call graph's record stays as it was.
    Ref deepcopy = f.global(S::deepcopy);
    Ref record = call(deepcopy, getitem(model_records, func_name));
    Ref keywords = new_dict();
    // Only the outermost partial's keywords count.
    if (isinstance(func, f.global(S::partial))) keywords = getattr(func, S::keywords);
    for_items(keywords, [&](Obj k, Obj v) { setitem(getitem(record, S::parameter_defaults), k, v); });
    expect_exact(record, &PyDict_Type, true);
    return record;
}

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

// The plain name of a callable, looking through any depth of partials.
Ref _funcname(Frame& f) {
    Obj func = f[0];
    Ref name;
    if (isinstance(func, f.global(S::partial))) {
        name = call(f.global(S::_funcname), getattr(func, S::func));
    } else {
        name = getattr_opt(func, S::__name__);
        if (!name) name = none();
    }
    expect_exact(name, &PyUnicode_Type, true);
    return name;
}

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
