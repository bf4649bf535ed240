// Model records made from the call graph's function records.
#include <string_view>

#include "models.hpp"

namespace models {
using namespace host;

namespace {

// `word in text.upper()`, for a text of ASCII characters and a word of
// upper-case ones: upper-casing ASCII text maps each byte to one byte.
bool contains_upper(std::string_view text, const Name& word) {
    const std::string_view w(word.c_str());
    if (w.size() > text.size()) return false;
    for (std::size_t i = 0; i + w.size() <= text.size(); ++i) {
        std::size_t j = 0;
        while (j < w.size() && (text[i + j] >= 'a' && text[i + j] <= 'z' ? text[i + j] - 32 : text[i + j]) == w[j]) ++j;
        if (j == w.size()) return true;
    }
    return false;
}

}  // namespace

bool is_model(Obj record) {
    // The annotation is read first, so a record without one fails before any
    // other test.
    Ref value = getitem(record, S::resolved_return_annotation);
    // Fast path: an exact str of ASCII characters is its own str(), and its
    // upper() is made byte by byte, so the tests below can read its bytes
    // without the upper-case copy.  Any other annotation is made text and
    // upper-cased as written.
    std::string_view ascii;
    Ref annot;
    if (PyUnicode_CheckExact(value.ptr()) && PyUnicode_IS_ASCII(value.ptr())) {
        ascii = std::string_view(static_cast<const char*>(PyUnicode_DATA(value.ptr())),
                                 static_cast<std::size_t>(PyUnicode_GET_LENGTH(value.ptr())));
    } else {
        annot = call_method(str(value), S::upper);
    }
    auto has = [&](const Name& word) { return annot ? contains(annot, word) : contains_upper(ascii, word); };
    if (eq(getitem(record, S::name), T::get_models) ||
        startswith(getitem(record, S::name), T::underscore)) {
        return false;
    }
    if (has(T::dict_str)) return false;
    for (const Name* word : {&T::sdict, &T::sdense, &T::scoo, &T::stype}) {
        if (has(*word)) return true;
    }
    return false;
}

namespace {

// A function is a model when its return annotation names one of sax's
// S-parameter types; plain `dict[str, ...]` results and private or helper
// functions are not.
Ref _is_model(Frame& f) { return boolean(is_model(f[0])); }

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

// An object that copy.deepcopy returns unchanged and that holds nothing a
// copy could tell apart: None, a bool, an exact int, float or str, or an
// exact tuple of those.
bool atomic(PyObject* o, bool in_tuple = false) {
    if (o == Py_None || PyBool_Check(o) || PyLong_CheckExact(o) || PyFloat_CheckExact(o) || PyUnicode_CheckExact(o)) {
        return true;
    }
    if (in_tuple || !PyTuple_CheckExact(o)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(o); ++i) {
        if (!atomic(PyTuple_GET_ITEM(o, i), true)) return false;
    }
    return true;
}

// An exact dict with exact str keys whose values pass `value_ok`.
template <class ValueOk>
bool plain_dict(PyObject* d, ValueOk value_ok) {
    if (!PyDict_CheckExact(d)) return false;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(d, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key) || !value_ok(value)) return false;
    }
    return true;
}

// deepcopy(record).  Fast path: while `deepcopy` is copy's own and the record
// is a plain dict of atoms and plain dicts of atoms (every function record of
// the call graph with literal defaults), the copy deepcopy would make is new
// dicts around the same atoms, in the same order; nothing it calls can be
// told from that.  Anything else is given to `deepcopy`.
Ref deep_copy(Obj deepcopy, Obj record) {
    Ref copy_module = imported(T::copy_module);
    Ref own = copy_module ? getattr_opt(copy_module, S::deepcopy) : Ref();
    auto flat = [](PyObject* v) { return atomic(v) || plain_dict(v, [](PyObject* w) { return atomic(w); }); };
    if (!own || !deepcopy.is(own) || !plain_dict(record.ptr(), flat)) return call(deepcopy, record);
    Ref copy = Ref::steal(PyDict_Copy(record.ptr()));
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(record.ptr(), &pos, &key, &value)) {
        if (PyDict_CheckExact(value)) dict_set(copy, Obj(key), Ref::steal(PyDict_Copy(value)));
    }
    return copy;
}

}  // namespace

// The record of a model that the PDK registers: a copy of the call graph's
// record of the underlying function, with the keywords a partial binds folded
// into its parameter defaults.  During find_models' fast path the records of
// `model_records` may be the cache's own: one goes to a `deepcopy` other than
// copy's as the fresh copy that replaces it; while `deepcopy` is copy's, a
// cache's record that no keyword is folded into is returned as its own copy:
// find_models, the only caller that can be given one (the target of its
// fast path), keeps what it gets to itself and only reads it, so nothing can
// tell it from the copy.
Ref create_record(const Frame& f, Obj model_records, Obj func) {
    Ref func_name = call(f.global(S::_funcname), func);
    if (func_name.is_none()) return none();
    if (!contains(model_records, func_name)) return none();
    // A copy: the call graph's record stays as it was.
    Ref deepcopy = f.global(S::deepcopy);
    Ref source = getitem(model_records, func_name);
    SharedRecords* shared = SharedRecords::active();
    if (shared && !shared->is_target(model_records)) shared = nullptr;
    bool share = false;
    if (shared && shared->holds(source)) {
        Ref copy_module = imported(T::copy_module);
        Ref own = copy_module ? getattr_opt(copy_module, S::deepcopy) : Ref();
        if (!own || !deepcopy.is(own)) {
            source = shared->release(source);
            dict_set(model_records, func_name, source);
        } else {
            share = true;
        }
    }
    Ref record = share ? Ref() : deep_copy(deepcopy, source);
    Ref keywords = new_dict();
    // Only the outermost partial's keywords count.
    if (isinstance(func, f.global(S::partial))) keywords = getattr(func, S::keywords);
    bool folded = false;
    for_items(keywords, [&](Obj k, Obj v) {
        if (!record) record = deep_copy(deepcopy, source);
        folded = true;
        setitem(getitem(record, S::parameter_defaults), k, v);
    });
    if (!record) return source;
    expect_exact(record, &PyDict_Type, true);
    if (shared && !folded) shared->note_copy(record, source);
    return record;
}

namespace {

Ref _create_record(Frame& f) { return create_record(f, f[0], f[1]); }

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
