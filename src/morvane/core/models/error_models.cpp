// Placeholder models for sources that fail to import.
#include "models.hpp"

namespace models {
using namespace host;

namespace {

// The placeholder's whole body, `raise error`: an instance is raised itself
// (every call raises the same object), a class is instantiated without
// arguments, anything else is a TypeError.
Ref func(Frame& f) { raise_object(f.closure()); }

constexpr Param func_params[] = {
    {.name = "args", .kind = Kind::VarPositional, .annotation = "Any"},
    {.name = "kwargs", .kind = Kind::VarKeyword, .annotation = "Any"},
};

const Signature func_sig{
    .name = "func",
    .qualname = "_error_model.<locals>.func",
    .params = func_params,
    .returns = "sax.SType",
    .doc = nullptr,
    .documented = false,
    .impl = func,
    .file = __FILE__,
    .line = __LINE__,
};

// A placeholder model for a model whose source failed to import: it stands in
// the PDK under the model's name and raises the import error where the model
// is evaluated.
Ref _error_model(Frame& f) {
    Obj funcname = f[0];
    Obj modname = f[1];
    // The exception is made once, so every call raises the same object.
    Ref error = Ref::borrow(f[2]);
    if (isinstance(error, reinterpret_cast<PyObject*>(&PyUnicode_Type))) error = call(f.global(S::RuntimeError), error);
    Ref placeholder = make_function(func_sig, f.globals(), f.builtins(), error);
    setattr(placeholder, S::__name__, funcname);
    setattr(placeholder, S::__qualname__, funcname);
    setattr(placeholder, S::__module__, modname);
    return placeholder;
}

constexpr Param _error_model_params[] = {
    {.name = "funcname", .check = Check::Str, .annotation = "str"},
    {.name = "modname", .check = Check::Str, .annotation = "str"},
    {.name = "error", .annotation = "str | Exception"},
};
}  // namespace

const Signature _error_model_sig{
    .name = "_error_model",
    .qualname = "_error_model",
    .params = _error_model_params,
    .returns = "Callable",
    .doc = nullptr,
    .documented = true,
    .impl = _error_model,
    .file = __FILE__,
    .line = __LINE__,
};

}  // namespace models
