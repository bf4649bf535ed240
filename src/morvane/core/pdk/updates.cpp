// What a pass writes to and deletes from the project database.
#include "pdk.hpp"
#include "host/watch.hpp"

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
// The labels are made once; two pieces are joined without a tuple.
void log_names(const Frame& f, const Name& label, Obj names) {
    log(f, S::info, [&] { return Ref::steal(PyUnicode_Concat(label.ptr(), format(sorted_list(names)).ptr())); });
}

const Name new_label("new factories: "), updated_label("updated factories: "), removed_label("removed factories: ");

Ref set_difference(Obj a, Obj b) { return Ref::steal(PyNumber_Subtract(a.ptr(), b.ptr())); }
Ref set_intersection(Obj a, Obj b) { return Ref::steal(PyNumber_And(a.ptr(), b.ptr())); }

// The keys of the exact dict `d` that are (`in_other`) or are not in the
// exact dict `other`, in the order of `d`.  Only for dicts whose keys are all
// exact strs: no lookup runs code, so this is the set operation's content.
Ref keys_by_membership(Obj d, Obj other, bool in_other) {
    Ref keys = new_list();
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(d.ptr(), &pos, &key, &value)) {
        if ((check(PyDict_Contains(other.ptr(), key)) == 1) == in_other) check(PyList_Append(keys.ptr(), key));
    }
    return keys;
}

Ref _get_database_updates(Frame& f) {
    Obj static_records = f[0];
    Obj present_records = f[1];
    Obj paths = f[2];

    // set(static_records) and set(present_records) are made once and kept
    // for the later steps while neither dict changes (see KeySet).
    KeySet static_keys(static_records), present_keys(present_records);
    // Fast path: while both dicts are exact, unchanged since the call began,
    // and keyed by exact strs only, each set operation below is a walk of one
    // dict with lookups in the other, giving the same names in the dict's
    // order.  The order of a set of strs changes from process to process with
    // the str hashes, so no caller can rely on it; the dict's order is the
    // order the records were made in, and walking them in it (instead of
    // hopping through memory in hash order) makes a full pass several times
    // faster.  Any other mapping, or a dict changed by the code the loop
    // calls, takes the set operations as written.
    const bool str_keyed = static_keys.unchanged() && present_keys.unchanged() && str_keys(static_records) &&
                           str_keys(present_records);
    auto walkable = [&] { return str_keyed && static_keys.unchanged() && present_keys.unchanged(); };
    Ref new_record_names;
    if (walkable()) {
        new_record_names = keys_by_membership(static_records, present_records, false);
    } else {
        Ref static_names = static_keys.get();
        new_record_names = set_difference(static_names, present_keys.get());
    }
    log_names(f, new_label, new_record_names);
    Ref new_records = new_list();
    for (Ref name : iterate(new_record_names)) list_append(new_records, getitem(static_records, name));

    Ref updated_record_names;
    if (walkable()) {
        updated_record_names = keys_by_membership(static_records, present_records, true);
    } else {
        Ref static_names = static_keys.get();
        updated_record_names = set_intersection(static_names, present_keys.get());
    }
    Ref updated_records = new_list();
    PathMembership named(paths);
    for (Ref name : iterate(updated_record_names)) {
        // Records are looked up afresh at every use: the calls in between are
        // free to replace them.  A record read before is reused only while
        // its dict has not changed and the name is an exact str (whose lookup
        // runs no code): then the fresh lookup would find that same record.
        const bool str_name = PyUnicode_CheckExact(name.ptr());
        Ref kept_current, kept_stored;
        auto current = [&] {
            if (!(kept_current && str_name && static_keys.unchanged())) kept_current = getitem(static_records, name);
            return kept_current;
        };
        auto stored = [&] {
            if (!(kept_stored && str_name && present_keys.unchanged())) kept_stored = getitem(present_records, name);
            return kept_stored;
        };
        // A new source, or a file the caller named: written as the pass made it.
        Ref source = getattr(current(), S::source);
        if (ne(source, getattr(stored(), S::source)) ||
            named.contains(call_method(current(), S::absolute_source))) {
            list_append(updated_records, current());
            continue;
        }
        // A failure, new or mended, must reach the database: taking over the
        // stored status and message would keep a stale one there while
        // pdk.cells holds the other state.
        if (eq(getattr(current(), S::status), S::ERROR) || eq(getattr(stored(), S::status), S::ERROR)) {
            Ref record = current();
            if (ne(record, stored())) list_append(updated_records, current());
            continue;
        }
        // Status and message alone never count as a change.
        Ref status = getattr(stored(), S::status);
        setattr(current(), S::status, status);
        Ref message = getattr(stored(), S::message);
        setattr(current(), S::message, message);
        Ref record = current();
        if (eq(record, stored())) continue;
        list_append(updated_records, current());
    }

    updated_record_names = new_set();
    for (Ref r : iterate(updated_records)) set_add(updated_record_names, getattr(r, S::name));
    log_names(f, updated_label, updated_record_names);

    Ref deleted_record_names;
    if (walkable()) {
        deleted_record_names = keys_by_membership(present_records, static_records, false);
    } else {
        Ref present_names = present_keys.get();
        deleted_record_names = set_difference(present_names, static_keys.get());
    }
    log_names(f, removed_label, deleted_record_names);

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
