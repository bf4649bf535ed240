// The native function type: a function object implemented in C++ that behaves
// like a Python function (names, docstring, string annotations, defaults,
// __dict__, method binding, weak references, garbage collection, signature
// introspection, vectorcall), with arguments bound from one declarative
// signature per function.
#pragma once

#include <cstddef>
#include <span>

#include "ref.hpp"

namespace host {

enum class Kind : unsigned char { PositionalOnly, PositionalOrKeyword, KeywordOnly, VarPositional, VarKeyword };

// A typed parameter accepts exactly that built-in type (a subclass is refused
// with a note saying why); DictOrNone accepts None as well.
enum class Check : unsigned char { Any, Str, Dict, List, DictOrNone };

enum class Default : unsigned char { Required, None, True, EmptyTuple };

struct Param {
    const char* name;
    Kind kind = Kind::PositionalOrKeyword;
    Check check = Check::Any;
    const char* annotation = nullptr;  // stored as written; nullptr: none
    Default value = Default::Required;
    const char* prefix = nullptr;  // a type shown before the name without a check ("bool")
};

class Frame;
using Impl = Ref (*)(Frame&);

struct Signature {
    const char* name;
    const char* qualname;
    std::span<const Param> params;
    const char* returns;   // return annotation, nullptr: none
    const char* doc;       // text after the signature line, nullptr: the line alone
    bool documented;       // false: __doc__ is None (functions made inside functions)
    Impl impl;
    const char* file;      // where a traceback entry leads the reader
    int line;
};

inline constexpr std::size_t max_params = 8;

struct FunctionObject;

// The bound arguments of one call, and what the body reaches through it.
class Frame {
public:
    explicit Frame(FunctionObject* f) : f_(f) {}
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    // The bound value of parameter i (declaration order); for *args the tuple,
    // for **kwargs the dict.
    Obj operator[](std::size_t i) const { return slots_[i]; }
    // Truth of a parameter taken "by truthiness" (reload: bool).
    bool truth(std::size_t i) const;

    // A module global at call time, falling back to the builtins; NameError as
    // the interpreter words it when neither has the name.
    Ref global(Obj name) const;
    Obj globals() const;
    Obj builtins() const;
    // The one value a function made inside another captured.
    Obj closure() const;
    FunctionObject* function() const { return f_; }

    void bind(PyObject* const* args, std::size_t nargs, PyObject* kwnames);

private:
    FunctionObject* f_;
    PyObject* slots_[max_params] = {};
    Ref varargs_, varkw_;
};

// Makes a function object in the namespace `globals` (its __module__ is
// globals["__name__"]).  `closure` is the captured value, if any.
Ref make_function(const Signature& sig, Obj globals, Obj builtins, Obj closure = {});

// What the placeholder factories share (error cells, error models): `error`
// becomes one exception object (a str is made RuntimeError(error), the name
// looked up as a global), captured by a new function of `func_sig`, which is
// then given the names `funcname`, `funcname` and the module `modname`, in the
// order __name__, __qualname__, __module__.  `raise_captured` is the body of
// such a function: `raise error`.
Ref make_raiser(const Frame& f, const Signature& func_sig, Obj funcname, Obj modname, Obj error);
Ref raise_captured(Frame& f);

// The type of all native functions (made once, on first use).
PyTypeObject* function_type();

// Whether `o` is a native function made from `sig`: the module's own
// function, not a stand-in bound under its name.
bool made_from(Obj o, const Signature& sig);

// The signature line that opens __doc__ ("name(params) -> returns").
Ref signature_line(const Signature& sig, Obj qualname);

}  // namespace host

