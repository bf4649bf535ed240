// The natural order of the model names the pass logs and returns.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "models.hpp"

namespace models {
using namespace host;

namespace {

// Whether `natsorted` is natsort's own natsorted with its own defaults: the
// function itself, or the package's lazy proxy for it, already loaded.
bool genuine_natsorted(Obj natsorted) {
    static const Name s_natsort("natsort"), s_natsort_natsort("natsort.natsort"), q_natsorted("natsorted");
    static const Name s___defaults__("__defaults__");
    Ref implementation = imported(s_natsort_natsort);
    if (!implementation) return false;
    Ref own = getattr_opt(implementation, S::natsorted);
    if (!own || !own_function(own, implementation, q_natsorted)) return false;
    // natsorted(seq, key=None, reverse=False, alg=ns.DEFAULT), ns.DEFAULT == 0
    Ref defaults = getattr_opt(own, s___defaults__);
    if (!defaults || !PyTuple_CheckExact(defaults.ptr()) || PyTuple_GET_SIZE(defaults.ptr()) != 3) return false;
    Obj alg(PyTuple_GET_ITEM(defaults.ptr(), 2));
    if (PyTuple_GET_ITEM(defaults.ptr(), 0) != Py_None || PyTuple_GET_ITEM(defaults.ptr(), 1) != Py_False ||
        !PyLong_Check(alg.ptr()))
        return false;
    int overflow = 0;
    // An alg out of a long's range is no default: natsorted decides.
    if (PyLong_AsLongAndOverflow(alg.ptr(), &overflow) != 0 || overflow != 0) return false;
    if (natsorted.is(own)) return true;
    Ref package = imported(s_natsort);
    Ref target = package ? lazy_target(natsorted, S::LazyAttribute) : Ref();
    if (!target || !target.is(package)) return false;
    Ref attr = getattr_opt(natsorted, S::_lazy_attr_name);
    if (!attr || !PyUnicode_CheckExact(attr.ptr()) || !eq(attr, S::natsorted)) return false;
    Ref current = getattr_opt(package, S::natsorted);
    return current && current.is(own);
}

// natsort's default key of an ASCII string: its runs of digits and of other
// characters, in order, a digit run standing for its number and a leading
// empty text put before a leading number; keys compare part by part, text as
// text and numbers as numbers, a key that runs out first coming first.  For
// ASCII text the default's normalisation (NFD) changes nothing and its digits
// are 0-9 only.
struct Part {
    std::string_view text;
    bool number;
};
using Key = std::vector<Part>;

Key natural_key(std::string_view s) {
    Key key;
    std::size_t i = 0;
    while (i < s.size()) {
        const bool number = s[i] >= '0' && s[i] <= '9';
        std::size_t j = i;
        while (j < s.size() && (s[j] >= '0' && s[j] <= '9') == number) ++j;
        if (key.empty() && number) key.push_back({std::string_view(), false});
        key.push_back({s.substr(i, j - i), number});
        i = j;
    }
    return key;
}

int compare_numbers(std::string_view a, std::string_view b) {
    auto strip = [](std::string_view d) {
        const std::size_t first = d.find_first_not_of('0');
        return first == std::string_view::npos ? std::string_view() : d.substr(first);
    };
    a = strip(a);
    b = strip(b);
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}

// Both keys alternate text and numbers from a text part, so the parts at one
// position are of one kind.
bool natural_less(const Key& a, const Key& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const int c = a[i].number ? compare_numbers(a[i].text, b[i].text) : a[i].text.compare(b[i].text);
        if (c != 0) return c < 0;
    }
    return a.size() < b.size();
}

// pathlib's PosixPath, when pathlib is imported and the class's text is
// pathlib's own PurePath.__str__ (worked out once per path, kept on it, no
// other code run); an empty Ref otherwise.
Ref plain_posix_path() {
    static const Name s_pathlib("pathlib"), s_PosixPath("PosixPath"), s___str__("__str__"),
        q_str("PurePath.__str__");
    Ref pathlib = imported(s_pathlib);
    Ref cls = pathlib ? getattr_opt(pathlib, s_PosixPath) : Ref();
    if (!cls || !PyType_Check(cls.ptr()) || !own_function(getattr_opt(cls, s___str__), pathlib, q_str)) return {};
    return cls;
}

}  // namespace

Ref natural_sorted(Obj natsorted, Obj items) {
    // Fast path: natsort's own natsorted over a built-in collection of ASCII
    // strs, or of pathlib's own paths, which natsort keys by str(path); the
    // iteration runs no code, nor does str() of such a path. The same stable
    // sort by the same key.  Anything else is natsorted's.
    const bool plain = PyDict_CheckExact(items.ptr()) || PyAnySet_CheckExact(items.ptr()) ||
                       PyList_CheckExact(items.ptr()) || PyTuple_CheckExact(items.ptr());
    if (!plain || !genuine_natsorted(natsorted)) return call(natsorted, items);
    Ref seq = list_of(items);
    const Py_ssize_t n = PyList_GET_SIZE(seq.ptr());
    std::optional<Ref> posix_path;  // asked for at the first item that is no str
    std::vector<Ref> texts;  // the paths' texts, alive while their keys are
    std::vector<Key> keys;
    keys.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Obj item(PyList_GET_ITEM(seq.ptr(), i));
        PyObject* s = item.ptr();
        if (!PyUnicode_CheckExact(s)) {
            if (!posix_path) posix_path = plain_posix_path();
            if (!*posix_path || reinterpret_cast<PyObject*>(Py_TYPE(s)) != posix_path->ptr()) {
                return call(natsorted, items);
            }
            texts.push_back(str(item));
            s = texts.back().ptr();
            if (!PyUnicode_CheckExact(s)) return call(natsorted, items);
        }
        if (!PyUnicode_IS_ASCII(s)) return call(natsorted, items);
        keys.push_back(natural_key(std::string_view(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(s)),
                                                     static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)))));
    }
    std::vector<Py_ssize_t> order(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) order[static_cast<std::size_t>(i)] = i;
    std::stable_sort(order.begin(), order.end(), [&](Py_ssize_t a, Py_ssize_t b) {
        return natural_less(keys[static_cast<std::size_t>(a)], keys[static_cast<std::size_t>(b)]);
    });
    Ref out = new_list();
    for (Py_ssize_t i : order) list_append(out, Obj(PyList_GET_ITEM(seq.ptr(), i)));
    return out;
}

}  // namespace models
