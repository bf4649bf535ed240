// Error cells for the factories of files that fail to import.
#include "pdk.hpp"

namespace pdk {
using namespace host;

namespace {

constexpr Param error_cell_func_params[] = {
    {.name = "args", .kind = Kind::VarPositional, .annotation = "Any"},
    {.name = "kwargs", .kind = Kind::VarKeyword, .annotation = "Any"},
};

const Signature error_cell_func_sig{
    .name = "func",
    .qualname = "_error_cell.<locals>.func",
    .params = error_cell_func_params,
    .returns = "pf.Component",
    .doc = nullptr,
    .documented = false,
    .impl = raise_captured,  // `raise error`, with the captured object
    .file = __FILE__,
    .line = __LINE__,
};

Ref _error_cell(Frame& f) { return make_raiser(f, error_cell_func_sig, f[0], f[1], f[2]); }

constexpr Param _error_cell_params[] = {
    {.name = "funcname", .check = Check::Str, .annotation = "str"},
    {.name = "modname", .check = Check::Str, .annotation = "str"},
    {.name = "error", .annotation = "str | Exception"},
};
}  // namespace

const Signature _error_cell_sig{
    .name = "_error_cell",
    .qualname = "_error_cell",
    .params = _error_cell_params,
    .returns = "Callable",
    .doc = nullptr,
    .documented = true,
    .impl = _error_cell,
    .file = __FILE__,
    .line = __LINE__,
};

namespace {

// imports.get_cells_from_regex(path), or [] when the scan fails with an
// Exception (the lookup of the function included); BaseExceptions that are not
// Exceptions still propagate.
Ref regex_names_of(const Frame& f, Obj path) {
    try {
        return call_method(f.global(S::imports), S::get_cells_from_regex, path);
    } catch (const Error&) {
        if (!clear_if(PyExc_Exception)) throw;
        return new_list();
    }
}

Ref _handle_import_errors(Frame& f) {
    Obj static_records = f[0];
    Obj errors = f[1];
    Ref error_cells = new_dict();
    Ref error_records = new_dict();

    // Grouped by source file even when no file failed.
    Ref static_records_by_path = call(f.global(S::defaultdict), Obj(reinterpret_cast<PyObject*>(&PyList_Type)));
    for_values(static_records, [&](Obj r) {
        Ref group = getitem(static_records_by_path, call_method(r, S::absolute_source));
        call_method(group, S::append, r);
    });

    for_items(errors, [&](Obj path, Obj value) {
        auto [modname, error] = unpack<2>(value);
        log(f, S::warning, [&] { return concat({format(getattr(path, S::name)), text(": "), format(error)}); });

        Ref regex_names = regex_names_of(f, path);
        Ref static_names = new_list();
        Ref group = call_method(static_records_by_path, S::get, path, new_list());
        for (Ref r : iterate(group)) list_append(static_names, getattr(r, S::name));

        // Names from the file's text and from the call graph alike.
        Ref names = set_of(regex_names);
        for (Ref name : iterate(static_names)) set_add(names, name);
        for (Ref name : iterate(names)) {
            Ref cell = call(f.global(S::_error_cell), name, modname, error);
            dict_set(error_cells, name, cell);

            // The record of that name, whatever file it comes from.
            Ref record = dict_get(static_records, name);
            if (!record || record.is_none()) {
                Ref factory_record = getattr(f.global(S::m), S::FactoryRecord);
                Ref source = str(path);
                Ref message = str(error);
                record = call(factory_record, kw(S::name, name), kw(S::source, source), kw(S::status, S::ERROR),
                              kw(S::message, message));
            } else {
                // A copy: the static record itself keeps its status and message.
                record = call(f.global(S::deepcopy), record);
                setattr(record, S::status, S::ERROR);
                setattr(record, S::message, str(error));
            }
            dict_set(error_records, name, record);
        }
    });
    return tuple({error_cells, error_records});
}

constexpr Param _handle_import_errors_params[] = {
    {.name = "static_records", .check = Check::Dict, .annotation = "dict[str, m.FactoryRecord]"},
    {.name = "errors", .check = Check::Dict, .annotation = "dict[Path, tuple[str, Exception]]"},
};
}  // namespace

const Signature _handle_import_errors_sig{
    .name = "_handle_import_errors",
    .qualname = "_handle_import_errors",
    .params = _handle_import_errors_params,
    .returns = "tuple[dict[str, Callable], dict[str, m.FactoryRecord]]",
    .doc = nullptr,
    .documented = true,
    .impl = _handle_import_errors,
    .file = __FILE__,
    .line = __LINE__,
};

}  // namespace pdk
