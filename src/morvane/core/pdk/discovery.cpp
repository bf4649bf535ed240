// Taking each pending record's factory from its module.
#include "pdk.hpp"

namespace pdk {
using namespace host;

namespace {

// The record fails: its status and message change first, the warning reads the
// message back, and the cell's entry becomes an error cell holding an
// exception of `exc_type` with that message.
template <class MakeMessage>
void fail(const Frame& f, Obj new_cells, Obj name, Obj static_record, Obj path, PyObject* exc_type,
          MakeMessage&& make_message) {
    setattr(static_record, S::status, S::ERROR);
    setattr(static_record, S::message, make_message());
    log(f, S::warning, [&] { return getattr(static_record, S::message); });
    Ref error_cell = f.global(S::_error_cell);
    Ref modname = getattr(path, S::name);
    Ref exc = call(Obj(exc_type), getattr(static_record, S::message));  // made, not raised
    dict_set(new_cells, name, call(error_cell, name, modname, exc));
}

Ref _find_cells(Frame& f) {
    Obj static_records = f[0];
    Obj modules = f[1];
    Ref new_cells = new_dict();

    for_items(static_records, [&](Obj name, Obj static_record) {
        // Only pending records; failed ones already have their error cell.
        if (ne(getattr(static_record, S::status), S::UNKNOWN)) return;

        Ref path = call_method(static_record, S::absolute_source);
        Ref mod = dict_get(modules, path);
        if (!mod || mod.is_none()) {
            // Not imported by the pass: import this one file now, and let the
            // caller see the module too.
            Ref paths = new_list();
            list_append(paths, path);
            auto [extra_modules, ignored] =
                unpack<2>(call_method(f.global(S::imports), S::import_modules, kw(S::paths, paths),
                                      kw(S::reload, boolean(false)), kw(S::from_project, boolean(false))));
            call_method(modules, S::update, extra_modules);
            mod = call_method(extra_modules, S::get, path);
            if (mod.is_none()) {
                fail(f, new_cells, name, static_record, path, PyExc_ModuleNotFoundError, [&] {
                    return concat({text("Module for cell '"), format(getattr(static_record, S::name)),
                                   text("' with path "), format(path), text(" not found.")});
                });
                return;
            }
        }

        // getattr(mod, name, None): only a missing attribute means "no cell".
        Ref cell = getattr_opt(mod, name);
        if (!cell || cell.is_none()) {
            fail(f, new_cells, name, static_record, path, PyExc_ImportError, [&] {
                return concat({text("Cell '"), format(getattr(static_record, S::name)), text("' not found in '"),
                               format(path), text("'.")});
            });
            return;
        }
        dict_set(new_cells, name, cell);
    });
    return new_cells;
}

constexpr Param _find_cells_params[] = {
    {.name = "static_records", .check = Check::Dict, .annotation = "dict[str, m.FactoryRecord]"},
    {.name = "modules", .check = Check::Dict, .annotation = "dict[Path, ModuleType]"},
};
}  // namespace

const Signature _find_cells_sig{
    .name = "_find_cells",
    .qualname = "_find_cells",
    .params = _find_cells_params,
    .returns = "dict[str, Callable]",
    .doc = nullptr,
    .documented = true,
    .impl = _find_cells,
    .file = __FILE__,
    .line = __LINE__,
};

}  // namespace pdk
