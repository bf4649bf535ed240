#include "ops.hpp"

#include <cstdarg>

namespace host {

void raise(PyObject* type, const char* format, ...) {
    va_list vargs;
    va_start(vargs, format);
    PyErr_FormatV(type, format, vargs);
    va_end(vargs);
    throw Error{};
}

void Name::intern() const {
    obj_ = PyUnicode_InternFromString(text_);
    if (obj_ == nullptr) raise();
}

namespace detail {

Ref kwnames_of(PyObject* const* names, std::size_t n) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t k = 0; k < n; ++k) PyTuple_SET_ITEM(tuple.ptr(), k, Py_NewRef(names[k]));
    return tuple;
}

void dict_changed_size() { raise(PyExc_RuntimeError, "dictionary changed size during iteration"); }

}  // namespace detail

bool startswith(Obj s, Obj prefix) {
    if (both_str(s, prefix)) return check(static_cast<int>(PyUnicode_Tailmatch(s.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1))) == 1;
    static const Name s_startswith("startswith");
    return truthy(call_method(s, s_startswith, prefix));
}

Ref call_star(Obj callable, Obj iterable, Obj kwargs) {
    Ref args = tuple_of(iterable);
    return Ref::steal(PyObject_Call(callable.ptr(), args.ptr(), kwargs.ptr()));
}

void unpack_into(Obj o, Ref* out, std::size_t n) {
    PyObject* it = PyObject_GetIter(o.ptr());
    if (it == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && o.type()->tp_iter == nullptr && !PySequence_Check(o.ptr())) {
            PyErr_Clear();
            raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", o.type()->tp_name);
        }
        raise();
    }
    Ref iterator = Ref::steal(it);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = Ref::steal_or_null(PyIter_Next(iterator.ptr()));
        if (!out[i]) raise(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n, i);
    }
    Ref extra = Ref::steal_or_null(PyIter_Next(iterator.ptr()));
    if (!extra) return;
    // Where the length is known without running code, the message gives it.
    if (PyList_CheckExact(o.ptr()) || PyTuple_CheckExact(o.ptr()) || PyDict_CheckExact(o.ptr())) {
        raise(PyExc_ValueError, "too many values to unpack (expected %zu, got %zd)", n, PyObject_Size(o.ptr()));
    }
    raise(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
}

Ref tuple(std::initializer_list<Obj> items) {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Obj item : items) PyTuple_SET_ITEM(t.ptr(), i++, Py_NewRef(item.ptr()));
    return t;
}

Ref text(std::string_view s) {
    return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

Ref concat(std::initializer_list<Obj> pieces) {
    Ref parts = tuple(pieces);
    return Ref::steal(PyUnicode_Join(Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_STR), parts.ptr()));
}

void expect_exact(Obj value, PyTypeObject* type, bool none_allowed) {
    if (Py_IS_TYPE(value.ptr(), type) || (none_allowed && value.is_none())) return;
    raise(PyExc_TypeError, "Expected %s, got %.200s", type->tp_name, Py_TYPE(value.ptr())->tp_name);
}

void raise_object(Obj value) {
    if (PyExceptionInstance_Check(value.ptr())) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())), value.ptr());
        raise();
    }
    if (PyExceptionClass_Check(value.ptr())) {
        Ref instance = call(value);
        if (!PyExceptionInstance_Check(instance.ptr())) {
            raise(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R",
                  value.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(instance.ptr())));
        }
        PyErr_SetObject(value.ptr(), instance.ptr());
        raise();
    }
    raise(PyExc_TypeError, "exceptions must derive from BaseException");
}

bool clear_if(PyObject* type) {
    if (!PyErr_ExceptionMatches(type)) return false;
    PyErr_Clear();
    return true;
}

}  // namespace host
