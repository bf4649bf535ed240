#include "ops.hpp"

#include <algorithm>
#include <cstdarg>
#include <vector>

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

PyObject* kwnames_of(PyObject* const* names, std::size_t n) {
    struct Entry {
        std::vector<PyObject*> names;
        PyObject* tuple;
    };
    static std::vector<Entry> cache;
    for (const Entry& e : cache) {
        if (e.names.size() == n && std::equal(e.names.begin(), e.names.end(), names)) return e.tuple;
    }
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(n));
    if (tuple == nullptr) return nullptr;
    for (std::size_t k = 0; k < n; ++k) PyTuple_SET_ITEM(tuple, k, Py_NewRef(names[k]));
    cache.push_back(Entry{std::vector<PyObject*>(names, names + n), tuple});
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

namespace {
const Name s_lazy("morvane.core.lazy");
const Name s_lazy_module("_lazy_module");
const Name s_lazy_module_name("_lazy_module_name");
const Name s_lazy_module_type("LazyModule");

// Whether `candidate` is exactly of the package's lazy proxy type `type_name`.
bool is_lazy_proxy(Obj candidate, const Name& type_name) {
    Ref lazy = in_sys_modules(s_lazy);
    Ref proxy_type = lazy ? getattr_opt(lazy, type_name) : Ref();
    return proxy_type && Obj(reinterpret_cast<PyObject*>(candidate.type())).is(proxy_type);
}
}  // namespace

Ref lazy_target(Obj candidate, const Name& type_name) {
    if (!is_lazy_proxy(candidate, type_name)) return {};
    Ref target = getattr_opt(candidate, s_lazy_module);
    return target && !target.is_none() ? target : Ref();
}

Ref in_sys_modules(const Name& name) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    if (modules == nullptr || !PyDict_CheckExact(modules)) return imported(name);
    return dict_get(Obj(modules), name);
}

bool is_module(Obj candidate, const Name& name) {
    Ref module = in_sys_modules(name);
    if (!module) return false;
    if (candidate.is(module)) return true;
    Ref target = lazy_target(candidate, s_lazy_module_type);
    return target && target.is(module);
}

bool own_function(Obj fn, Obj module, const Name& qualname) {
    static const Name s_co_qualname("co_qualname");
    if (!fn || !PyFunction_Check(fn.ptr())) return false;
    if (PyFunction_GET_GLOBALS(fn.ptr()) != PyModule_GetDict(module.ptr())) return false;
    Ref name = getattr_opt(Ref::borrow(Obj(PyFunction_GET_CODE(fn.ptr()))), s_co_qualname);
    return name && PyUnicode_CheckExact(name.ptr()) && eq(name, qualname);
}

Ref loaded_own_function(const Name& module, const Name& name) {
    Ref loaded = imported(module);
    Ref fn = loaded ? getattr_opt(loaded, name) : Ref();
    return fn && own_function(fn, loaded, name) ? fn : Ref();
}

bool stands_for_module(Obj candidate, const Name& name) {
    if (is_module(candidate, name)) return true;
    // A proxy not loaded yet imports the module of its name when first used.
    if (!is_lazy_proxy(candidate, s_lazy_module_type)) return false;
    Ref target = getattr_opt(candidate, s_lazy_module);
    if (target && !target.is_none()) return false;  // loaded with another module
    Ref target_name = getattr_opt(candidate, s_lazy_module_name);
    return target_name && PyUnicode_CheckExact(target_name.ptr()) && eq(target_name, name.ptr());
}

bool exit_after_error(Obj manager) {
    Ref error = Ref::steal_or_null(PyErr_GetRaisedException());
    if (!error) return false;  // nothing was raised: the caller's error goes on as it is
    Ref exit = getattr_opt(manager, s_exit);
    Ref swallowed;
    if (exit) {
        Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())));
        Ref traceback = Ref::steal_or_null(PyException_GetTraceback(error.ptr()));
        swallowed = Ref::steal_or_null(PyObject_CallFunctionObjArgs(
            exit.ptr(), type.ptr(), error.ptr(), traceback ? traceback.ptr() : Py_None, nullptr));
    }
    if (!swallowed) {
        // __exit__ raised (or was missing): its error goes on, the body's
        // as its context, as a with statement chains them.
        Ref raised = Ref::steal_or_null(PyErr_GetRaisedException());
        if (raised) {
            PyException_SetContext(raised.ptr(), error.release());
            PyErr_SetRaisedException(raised.release());
        } else {
            PyErr_SetRaisedException(error.release());
        }
        raise();
    }
    const int truth = PyObject_IsTrue(swallowed.ptr());
    if (truth < 0) {
        Ref raised = Ref::steal_or_null(PyErr_GetRaisedException());
        PyException_SetContext(raised.ptr(), error.release());
        PyErr_SetRaisedException(raised.release());
        raise();
    }
    if (!truth) PyErr_SetRaisedException(error.release());
    return truth == 1;
}

bool clear_if(PyObject* type) {
    if (!PyErr_ExceptionMatches(type)) return false;
    PyErr_Clear();
    return true;
}

}  // namespace host
