// Owning and borrowed references, interned names, and the one error discipline
// of the native code: whenever a C API call fails, a Python exception is set and
// C++ unwinds with host::Error to the entry point, which returns NULL.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if MORVANE_EXPECT_PY_DEBUG && !defined(Py_DEBUG)
#error "building for a debug interpreter without Py_DEBUG: Python's headers came in through -isystem"
#endif

#include <utility>

namespace host {

// Thrown only while a Python exception is set.
struct Error {};

// Unwinds with the exception that is already set.
[[noreturn]] inline void raise() { throw Error{}; }

// Sets `type` with a printf-style message (PyErr_Format rules) and unwinds.
[[noreturn]] void raise(PyObject* type, const char* format, ...);

// A borrowed reference: valid while someone else holds the object.
class Obj {
public:
    Obj() = default;
    Obj(PyObject* p) : p_(p) {}  // NOLINT: implicit on purpose, like a handle
    PyObject* ptr() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    bool is(Obj other) const { return p_ == other.p_; }
    bool is_none() const { return p_ == Py_None; }
    PyTypeObject* type() const { return Py_TYPE(p_); }

protected:
    PyObject* p_ = nullptr;
};

// An owning reference.  `steal` takes over a new reference and turns NULL into
// host::Error, so a C API result can be wrapped at the call that made it.
class Ref : public Obj {
public:
    Ref() = default;
    Ref(const Ref& other) : Obj(Py_XNewRef(other.p_)) {}
    Ref(Ref&& other) noexcept : Obj(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    static Ref steal(PyObject* p) {
        if (p == nullptr) raise();
        return Ref(p);
    }
    // For the "maybe" results of the C API: NULL without an exception is fine.
    static Ref steal_or_null(PyObject* p) {
        if (p == nullptr && PyErr_Occurred()) raise();
        return Ref(p);
    }
    static Ref borrow(Obj o) { return Ref(Py_XNewRef(o.ptr())); }

    // Hands the reference to the caller (an entry point returning to Python).
    PyObject* release() { return std::exchange(p_, nullptr); }

private:
    explicit Ref(PyObject* p) : Obj(p) {}
};

// An interned string made on first use and kept for the life of the process,
// for attribute names, keywords and module globals: a lookup with it is a
// pointer-compare hash probe.
class Name {
public:
    constexpr explicit Name(const char* text) : text_(text) {}
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;
    PyObject* ptr() const {
        if (obj_ == nullptr) intern();
        return obj_;
    }
    operator Obj() const { return ptr(); }  // NOLINT
    const char* c_str() const { return text_; }

private:
    void intern() const;
    const char* text_;
    mutable PyObject* obj_ = nullptr;
};

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

// Checks an int status result of the C API (-1 means an exception is set).
inline int check(int status) {
    if (status < 0) raise();
    return status;
}

}  // namespace host
