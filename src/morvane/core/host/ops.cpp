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

Ref call_star(Obj callable, Obj iterable, Obj kwargs) {
    Ref args = tuple_of(iterable);
    return Ref::steal(PyObject_Call(callable.ptr(), args.ptr(), kwargs.ptr()));
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
