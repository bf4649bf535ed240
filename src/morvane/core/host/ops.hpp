// The object operations the algorithms are written in.  Each wraps one C API
// call (or the few that one Python operation needs), checks its result and
// returns an owning reference, so algorithm code reads like the Python it
// implements and never manages reference counts by hand.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <type_traits>

#include "ref.hpp"

namespace host {

// ---- attributes --------------------------------------------------------------

inline Ref getattr(Obj o, Obj name) { return Ref::steal(PyObject_GetAttr(o.ptr(), name.ptr())); }

// getattr(o, name, None) without the None: an empty Ref when the attribute is
// missing (AttributeError); any other exception propagates.
inline Ref getattr_opt(Obj o, Obj name) {
    PyObject* result = nullptr;
    check(PyObject_GetOptionalAttr(o.ptr(), name.ptr(), &result));
    return Ref::steal_or_null(result);
}

inline bool hasattr(Obj o, Obj name) { return check(PyObject_HasAttrWithError(o.ptr(), name.ptr())) == 1; }
inline void setattr(Obj o, Obj name, Obj value) { check(PyObject_SetAttr(o.ptr(), name.ptr(), value.ptr())); }

// ---- calls -----------------------------------------------------------------

// A keyword argument of call(): call(f, x, kw(S.reload, Py_True)).
struct Kw {
    Obj name;
    Obj value;
};
inline Kw kw(Obj name, Obj value) { return Kw{name, value}; }

namespace detail {
template <class T>
constexpr bool is_kw = std::is_same_v<std::decay_t<T>, Kw>;

inline Obj as_obj(Obj o) { return o; }
inline Obj as_obj(const Name& n) { return n.ptr(); }

// The keyword-names tuple of one call.
Ref kwnames_of(PyObject* const* names, std::size_t n);

// The arguments of one call laid out for vectorcall: slot 0 stays free for
// PY_VECTORCALL_ARGUMENTS_OFFSET, slot 1 holds `self` for a method call.
template <class... A>
struct Stack {
    static constexpr std::size_t n_kw = (0 + ... + (is_kw<A> ? 1 : 0));
    static constexpr std::size_t n_pos = sizeof...(A) - n_kw;
    std::array<PyObject*, 2 + sizeof...(A)> slots{};
    Ref kwnames;

    explicit Stack(Obj self, const A&... args) {
        slots[1] = self.ptr();
        std::array<PyObject*, n_kw + 1> names{};
        std::size_t i_pos = 2, i_kw = 0;
        [[maybe_unused]] auto put = [&](const auto& a) {  // unused for call(f)
            if constexpr (is_kw<decltype(a)>) {
                slots[2 + n_pos + i_kw] = a.value.ptr();
                names[i_kw++] = a.name.ptr();
            } else {
                slots[i_pos++] = as_obj(a).ptr();
            }
        };
        (put(args), ...);
        if constexpr (n_kw > 0) {
            kwnames = kwnames_of(names.data(), n_kw);
        }
    }
};

template <class... A>
Ref vectorcall(Obj callable, const A&... args) {
    Stack<A...> stack(Obj(), args...);
    return Ref::steal(PyObject_Vectorcall(callable.ptr(), stack.slots.data() + 2,
                                          Stack<A...>::n_pos | PY_VECTORCALL_ARGUMENTS_OFFSET, stack.kwnames.ptr()));
}

template <class... A>
Ref vectorcall_method(Obj self, Obj name, const A&... args) {
    Stack<A...> stack(self, args...);
    return Ref::steal(PyObject_VectorcallMethod(name.ptr(), stack.slots.data() + 1,
                                                (1 + Stack<A...>::n_pos) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                stack.kwnames.ptr()));
}
}  // namespace detail

// callable(args...): positional arguments first, then kw(...) keywords.
template <class... A>
Ref call(Obj callable, const A&... args) {
    return detail::vectorcall(callable, args...);
}

// o.name(args...), without a bound method: the method is looked up on `o` as
// the attribute would be, and called with `o` in front.
template <class... A>
Ref call_method(Obj o, Obj name, const A&... args) {
    return detail::vectorcall_method(o, name, args...);
}

// callable(*iterable, **kwargs)
Ref call_star(Obj callable, Obj iterable, Obj kwargs = {});

// ---- truth, comparison, identity ---------------------------------------------

inline bool truthy(Obj o) { return check(PyObject_IsTrue(o.ptr())) == 1; }

// The Python expressions `a == b`, `a != b`, `a < b`: the rich comparison, then
// the truth of its result (no identity shortcut, unlike `in`).
inline bool compare(Obj a, Obj b, int op) {
    Ref result = Ref::steal(PyObject_RichCompare(a.ptr(), b.ptr(), op));
    return truthy(result);
}
// Two exact strs compare without a result object: their == runs no code.
inline bool both_str(Obj a, Obj b) { return PyUnicode_CheckExact(a.ptr()) && PyUnicode_CheckExact(b.ptr()); }
inline bool eq(Obj a, Obj b) {
    if (both_str(a, b)) return a.is(b) || PyUnicode_Compare(a.ptr(), b.ptr()) == 0;
    return compare(a, b, Py_EQ);
}
inline bool ne(Obj a, Obj b) { return both_str(a, b) ? !eq(a, b) : compare(a, b, Py_NE); }

// `item in container`
inline bool contains(Obj container, Obj item) {
    if (PyDict_CheckExact(container.ptr())) return check(PyDict_Contains(container.ptr(), item.ptr())) == 1;
    return check(PySequence_Contains(container.ptr(), item.ptr())) == 1;
}

inline bool callable(Obj o) { return PyCallable_Check(o.ptr()) == 1; }
// isinstance(o, cls).  For a class that is a plain type (its metaclass is
// `type` itself, so no __instancecheck__) the interpreter first asks o's own
// type, and only when that does not derive from it o.__class__: asked here
// too, except for the exact built-in types whose __class__ is their type
// (functions, strs, ints, dicts, lists, tuples, None).
inline bool isinstance(Obj o, Obj cls) {
    PyObject* x = o.ptr();
    if (PyType_CheckExact(cls.ptr())) {
        if (PyObject_TypeCheck(x, reinterpret_cast<PyTypeObject*>(cls.ptr()))) return true;
        if (PyFunction_Check(x) || PyCFunction_CheckExact(x) || PyUnicode_CheckExact(x) || PyLong_CheckExact(x) ||
            PyDict_CheckExact(x) || PyList_CheckExact(x) || PyTuple_CheckExact(x) || x == Py_None) {
            return false;
        }
    }
    return check(PyObject_IsInstance(x, cls.ptr())) == 1;
}

// ---- items ---------------------------------------------------------------------

// An exact dict is read and written in place (what its own slots do); a
// missing key still raises through the generic path, with its KeyError.
inline Ref getitem(Obj o, Obj key) {
    if (PyDict_CheckExact(o.ptr())) {
        PyObject* found = nullptr;
        if (check(PyDict_GetItemRef(o.ptr(), key.ptr(), &found)) == 1) return Ref::steal(found);
    }
    return Ref::steal(PyObject_GetItem(o.ptr(), key.ptr()));
}
// o[key], or an empty Ref when that raises KeyError.
inline Ref getitem_opt(Obj o, Obj key) {
    PyObject* found = nullptr;
    check(PyMapping_GetOptionalItem(o.ptr(), key.ptr(), &found));
    return Ref::steal_or_null(found);
}
inline void setitem(Obj o, Obj key, Obj value) {
    if (PyDict_CheckExact(o.ptr())) {
        check(PyDict_SetItem(o.ptr(), key.ptr(), value.ptr()));
        return;
    }
    check(PyObject_SetItem(o.ptr(), key.ptr(), value.ptr()));
}
inline void delitem(Obj o, Obj key) { check(PyObject_DelItem(o.ptr(), key.ptr())); }
inline Py_ssize_t len(Obj o) {
    Py_ssize_t n = PyObject_Length(o.ptr());
    if (n < 0) raise();
    return n;
}

// ---- builtin containers --------------------------------------------------------

inline Ref new_dict() { return Ref::steal(PyDict_New()); }
inline Ref new_list() { return Ref::steal(PyList_New(0)); }
inline Ref new_set() { return Ref::steal(PySet_New(nullptr)); }
inline Ref list_of(Obj iterable) { return Ref::steal(PySequence_List(iterable.ptr())); }
inline Ref tuple_of(Obj iterable) { return Ref::steal(PySequence_Tuple(iterable.ptr())); }
inline Ref set_of(Obj iterable) { return Ref::steal(PySet_New(iterable.ptr())); }
Ref tuple(std::initializer_list<Obj> items);

// sys.modules[name] when that module is imported, else an empty Ref (no
// import is started).
inline Ref imported(const Name& name) { return Ref::steal_or_null(PyImport_GetModule(name.ptr())); }

// For exact dicts, lists and sets made by the caller (no hooks can run).
inline void dict_set(Obj d, Obj key, Obj value) { check(PyDict_SetItem(d.ptr(), key.ptr(), value.ptr())); }
inline Ref dict_get(Obj d, Obj key) {  // d.get(key): empty Ref when missing
    PyObject* result = nullptr;
    check(PyDict_GetItemRef(d.ptr(), key.ptr(), &result));
    return Ref::steal_or_null(result);
}
inline void list_append(Obj l, Obj item) { check(PyList_Append(l.ptr(), item.ptr())); }
inline void set_add(Obj s, Obj item) { check(PySet_Add(s.ptr(), item.ptr())); }

// ---- iteration -----------------------------------------------------------------

// for (Ref item : iterate(obj)): the iterator protocol, so a dict that changes
// size under the loop raises RuntimeError exactly as in Python.  An exact
// list is read by index, as its own iterator reads it: the next item while
// the index is below the list's size at that moment.
class Iterate {
public:
    explicit Iterate(Obj iterable) {
        if (PyList_CheckExact(iterable.ptr())) {
            list_ = Ref::borrow(iterable);
        } else {
            it_ = Ref::steal(PyObject_GetIter(iterable.ptr()));
        }
    }
    class iterator {
    public:
        iterator(Obj it, Obj list) : it_(it), list_(list) { ++*this; }
        iterator() = default;
        Ref& operator*() { return item_; }
        iterator& operator++() {
            if (list_) {
                item_ = index_ < PyList_GET_SIZE(list_.ptr()) ? Ref::borrow(PyList_GET_ITEM(list_.ptr(), index_++))
                                                              : Ref();
            } else {
                item_ = Ref::steal_or_null(PyIter_Next(it_.ptr()));
            }
            return *this;
        }
        bool operator!=(const iterator&) const { return bool(item_); }

    private:
        Obj it_, list_;
        Py_ssize_t index_ = 0;
        Ref item_;
    };
    iterator begin() { return iterator(it_, list_); }
    iterator end() { return iterator(); }

private:
    Ref it_, list_;
};
inline Iterate iterate(Obj iterable) { return Iterate(iterable); }

// `for key, value in mapping.items(): body(key, value)`.  For an exact dict
// the entries are read in place, without a view, an iterator or a pair per
// item; each is held while the body runs, and a body that changes the dict's
// size ends the loop with the iterator's RuntimeError.  Anything else goes
// through its own items() and pair unpacking.
template <class Body>
void for_items(Obj mapping, Body&& body);

// `for value in mapping.values(): body(value)`, the same way.
template <class Body>
void for_values(Obj mapping, Body&& body);

// `a, b = obj`: exactly N items, with the interpreter's errors otherwise.
void unpack_into(Obj o, Ref* out, std::size_t n);
template <std::size_t N>
std::array<Ref, N> unpack(Obj o) {
    std::array<Ref, N> out;
    unpack_into(o, out.data(), N);
    return out;
}

namespace detail {
inline const Name s_items("items");
inline const Name s_values("values");
[[noreturn]] void dict_changed_size();

template <class Body>
void for_dict_entries(Obj d, Body&& body) {
    const Py_ssize_t size = PyDict_GET_SIZE(d.ptr());
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(d.ptr(), &pos, &key, &value)) {
        Ref k = Ref::borrow(key), v = Ref::borrow(value);
        body(k, v);
        if (PyDict_GET_SIZE(d.ptr()) != size) dict_changed_size();
    }
}
}  // namespace detail

template <class Body>
void for_items(Obj mapping, Body&& body) {
    if (PyDict_CheckExact(mapping.ptr())) {
        detail::for_dict_entries(mapping, [&](Obj k, Obj v) { body(k, v); });
        return;
    }
    for (Ref item : iterate(call_method(mapping, detail::s_items))) {
        auto [key, value] = unpack<2>(item);
        body(key, value);
    }
}

template <class Body>
void for_values(Obj mapping, Body&& body) {
    if (PyDict_CheckExact(mapping.ptr())) {
        detail::for_dict_entries(mapping, [&](Obj, Obj v) { body(v); });
        return;
    }
    for (Ref value : iterate(call_method(mapping, detail::s_values))) body(value);
}

// ---- strings -------------------------------------------------------------------

inline Ref str(Obj o) { return Ref::steal(PyObject_Str(o.ptr())); }
inline Ref repr(Obj o) { return Ref::steal(PyObject_Repr(o.ptr())); }
// f"{o}": format(o, "")
inline Ref format(Obj o) { return Ref::steal(PyObject_Format(o.ptr(), nullptr)); }
Ref text(std::string_view s);
inline Ref from_size(Py_ssize_t n) { return Ref::steal(PyLong_FromSsize_t(n)); }

// `s.startswith(prefix)`, its truth; for exact strs without a method call.
bool startswith(Obj s, Obj prefix);

// Joins already-made str pieces, as an f-string does.
Ref concat(std::initializer_list<Obj> pieces);

// An exact-type check of a result or local: "Expected %s, got %.200s".
void expect_exact(Obj value, PyTypeObject* type, bool none_allowed);

// ---- exceptions ---------------------------------------------------------------

// The statement `raise value`: an exception instance is raised as itself (so
// raising one object twice raises the same object), an exception class is
// instantiated without arguments, anything else is a TypeError.
[[noreturn]] void raise_object(Obj value);

// True when the set exception matches `type`; then it is cleared.
bool clear_if(PyObject* type);

}  // namespace host
