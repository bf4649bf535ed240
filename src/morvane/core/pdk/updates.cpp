// What a pass writes to and deletes from the project database.
#include "pdk.hpp"

namespace pdk {
using namespace host;

namespace {

// _get_database_updates.<locals>.<lambda>: the sort key of `add`.
Ref by_name(Frame& f) { return getattr(f[0], S::name); }

constexpr Param by_name_params[] = {
    {.name = "r"},
};

const Signature by_name_sig{
    .name = "<lambda>",
    .qualname = "_get_database_updates.<locals>.<lambda>",
    .params = by_name_params,
    .returns = nullptr,
    .doc = nullptr,
    .documented = false,
    .impl = by_name,
    .file = __FILE__,
    .line = __LINE__,
};

Ref sorted_list(Obj iterable) {
    Ref result = list_of(iterable);
    check(PyList_Sort(result.ptr()));
    return result;
}

// One info line: the label and the sorted names, as f"{label}{sorted(names)}".
void log_names(const Frame& f, const char* label, Obj names) {
    log(f, S::info, [&] { return concat({text(label), format(sorted_list(names))}); });
}

Ref set_difference(Obj a, Obj b) { return Ref::steal(PyNumber_Subtract(a.ptr(), b.ptr())); }

Ref _get_database_updates(Frame& f) {
    Obj static_records = f[0];
    Obj present_records = f[1];
    Obj paths = f[2];

    Ref static_names = set_of(static_records);
    Ref new_record_names = set_difference(static_names, set_of(present_records));
    log_names(f, "new factories: ", new_record_names);
    Ref new_records = new_list();
    for (Ref name : iterate(new_record_names)) list_append(new_records, getitem(static_records, name));

    static_names = set_of(static_records);
    Ref updated_record_names = Ref::steal(PyNumber_And(static_names.ptr(), set_of(present_records).ptr()));
    Ref updated_records = new_list();
    PathMembership named(paths);
    // Records are looked up afresh at every use: the calls in between are
    // free to replace them.
    auto current = [&](Obj name) { return getitem(static_records, name); };
    auto stored = [&](Obj name) { return getitem(present_records, name); };
    for (Ref name : iterate(updated_record_names)) {
        // A new source, or a file the caller named: written as the pass made it.
        Ref source = getattr(current(name), S::source);
        if (ne(source, getattr(stored(name), S::source)) ||
            named.contains(call_method(current(name), S::absolute_source))) {
            list_append(updated_records, current(name));
            continue;
        }
        // A failure, new or mended, must reach the database: taking over the
        // stored status and message would keep a stale one there while
        // pdk.cells holds the other state.
        if (eq(getattr(current(name), S::status), S::ERROR) || eq(getattr(stored(name), S::status), S::ERROR)) {
            Ref record = current(name);
            if (ne(record, stored(name))) list_append(updated_records, current(name));
            continue;
        }
        // Status and message alone never count as a change.
        Ref status = getattr(stored(name), S::status);
        setattr(current(name), S::status, status);
        Ref message = getattr(stored(name), S::message);
        setattr(current(name), S::message, message);
        Ref record = current(name);
        if (eq(record, stored(name))) continue;
        list_append(updated_records, current(name));
    }

    updated_record_names = new_set();
    for (Ref r : iterate(updated_records)) set_add(updated_record_names, getattr(r, S::name));
    log_names(f, "updated factories: ", updated_record_names);

    Ref present_names = set_of(present_records);
    Ref deleted_record_names = set_difference(present_names, set_of(static_records));
    log_names(f, "removed factories: ", deleted_record_names);

    Ref add = new_list();
    for (Ref r : iterate(new_records)) list_append(add, r);
    for (Ref r : iterate(updated_records)) list_append(add, r);
    Ref key = make_function(by_name_sig, f.globals(), f.builtins());
    call_method(add, S::sort, kw(S::key, key));
    Ref remove = sorted_list(deleted_record_names);
    return tuple({add, remove});
}

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
