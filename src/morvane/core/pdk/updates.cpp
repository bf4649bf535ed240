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
// The labels are made once; two pieces are joined without a tuple.
void log_names(const Frame& f, const Name& label, Obj names) {
    log(f, S::info, [&] { return Ref::steal(PyUnicode_Concat(label.ptr(), format(sorted_list(names)).ptr())); });
}

const Name new_label("new factories: "), updated_label("updated factories: "), removed_label("removed factories: ");

// Whether `d` is an exact dict whose keys are all exact strs: looking them
// up, hashing and comparing them runs no code.
bool str_keyed(Obj d) {
    if (!PyDict_CheckExact(d.ptr())) return false;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(d.ptr(), &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

// set(a) - set(b), or with `in_b` set(a) & set(b): the sets made in that
// order, then combined.
//
// Fast path: for two str-keyed dicts (see str_keyed) the names of `a` that
// are (or are not) in `b`, walked in `a`'s order, are the set's names; no
// code runs while they are read, so they are what the set would hold at
// this step.  They come in another order: a set of strs is ordered by the
// strs' hashes, which change from process to process, so no caller can rely
// on that order, and everything that uses these names either sorts them or
// visits them one by one.  `a`'s order is the order its records were made
// in; visiting them in it, instead of hopping through memory in hash order,
// and making no set of them makes a full pass several times faster.
Ref key_group(Obj a, Obj b, bool in_b) {
    if (str_keyed(a) && str_keyed(b)) {
        Ref names = new_list();
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(a.ptr(), &pos, &key, &value)) {
            if ((check(PyDict_Contains(b.ptr(), key)) == 1) == in_b) list_append(names, Obj(key));
        }
        return names;
    }
    Ref a_keys = set_of(a);
    Ref b_keys = set_of(b);
    return Ref::steal(in_b ? PyNumber_And(a_keys.ptr(), b_keys.ptr()) : PyNumber_Subtract(a_keys.ptr(), b_keys.ptr()));
}

Ref _get_database_updates(Frame& f) {
    Obj static_records = f[0];
    Obj present_records = f[1];
    Obj paths = f[2];

    Ref new_record_names = key_group(static_records, present_records, false);
    log_names(f, new_label, new_record_names);
    Ref new_records = new_list();
    for (Ref name : iterate(new_record_names)) list_append(new_records, getitem(static_records, name));

    Ref updated_record_names = key_group(static_records, present_records, true);
    Ref updated_records = new_list();
    for (Ref name : iterate(updated_record_names)) {
        // Records are looked up afresh at every use: the calls in between are
        // free to replace them.
        auto current = [&] { return getitem(static_records, name); };
        auto stored = [&] { return getitem(present_records, name); };
        // A new source, or a file the caller named: written as the pass made it.
        Ref source = getattr(current(), S::source);
        if (ne(source, getattr(stored(), S::source)) || contains(paths, call_method(current(), S::absolute_source))) {
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

    Ref deleted_record_names = key_group(present_records, static_records, false);
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
