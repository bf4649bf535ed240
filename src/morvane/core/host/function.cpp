#include "function.hpp"

#include <cstddef>
#include <exception>
#include <new>
#include <string>
#include <unordered_map>

#include <frameobject.h>

#include "ops.hpp"

namespace host {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Signature* sig;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* defaults;    // tuple or None
    PyObject* kwdefaults;  // dict or None
    PyObject* dict;
    PyObject* weakreflist;
    PyObject* globals;
    PyObject* builtins;
    PyObject* closure;
    bool annotations_pending;  // __annotations__ not made yet: made from sig when first asked for
};

namespace {

const Name s_name("__name__");
const Name s_return("return");

PyObject* default_object(Default d) {
    // All three are immortal in 3.14: borrowing them for a call is free.
    switch (d) {
    case Default::None: return Py_None;
    case Default::True: return Py_True;
    case Default::EmptyTuple: return Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_TUPLE);
    case Default::Required: break;
    }
    return nullptr;
}

const char* default_text(Default d) {
    switch (d) {
    case Default::None: return "None";
    case Default::True: return "True";
    case Default::EmptyTuple: return "()";
    case Default::Required: break;
    }
    return "";
}

PyTypeObject* check_type(Check c) {
    switch (c) {
    case Check::Str: return &PyUnicode_Type;
    case Check::Dict:
    case Check::DictOrNone: return &PyDict_Type;
    case Check::List: return &PyList_Type;
    case Check::Any: break;
    }
    return nullptr;
}

bool is_positional(Kind k) { return k == Kind::PositionalOnly || k == Kind::PositionalOrKeyword; }

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

// ---- argument binding errors, worded as the interpreter words them --------------

[[noreturn]] void too_many_positional(FunctionObject* f, const Signature& sig, PyObject* const* slots,
                                      std::size_t n_required, std::size_t n_positional, std::size_t given) {
    // Keyword-only arguments already bound by keyword are counted in the
    // message, as the interpreter does.
    std::size_t kwonly_given = 0;
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (sig.params[i].kind == Kind::KeywordOnly && slots[i] != nullptr) ++kwonly_given;
    }
    std::string takes;
    if (n_required == n_positional) {
        takes = std::to_string(n_positional);
    } else {
        takes = "from " + std::to_string(n_required) + " to " + std::to_string(n_positional);
    }
    std::string kwonly;
    if (kwonly_given > 0) {
        kwonly = std::string(" positional argument") + (given != 1 ? "s" : "") + " (and " +
                 std::to_string(kwonly_given) + " keyword-only argument" + (kwonly_given != 1 ? "s" : "") + ")";
    }
    raise(PyExc_TypeError, "%U() takes %s positional argument%s but %zu%s %s given", f->qualname, takes.c_str(),
          n_positional == 1 && n_required == n_positional ? "" : "s", given, kwonly.c_str(),
          given == 1 && kwonly_given == 0 ? "was" : "were");
}

[[noreturn]] void missing(FunctionObject* f, const Signature& sig, PyObject* const* slots, bool keyword_only) {
    Ref names = new_list();
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        const Param& p = sig.params[i];
        bool wanted = keyword_only ? p.kind == Kind::KeywordOnly : is_positional(p.kind);
        if (wanted && slots[i] == nullptr) list_append(names, repr(text(p.name)));
    }
    Py_ssize_t n = PyList_GET_SIZE(names.ptr());
    Ref listed;
    if (n == 1) {
        listed = Ref::borrow(PyList_GET_ITEM(names.ptr(), 0));
    } else if (n == 2) {
        listed = concat({Obj(PyList_GET_ITEM(names.ptr(), 0)), text(" and "), Obj(PyList_GET_ITEM(names.ptr(), 1))});
    } else {
        // 'a', 'b', and 'c'
        Ref head = Ref::steal(PyList_GetSlice(names.ptr(), 0, n - 1));
        Ref joined = Ref::steal(PyUnicode_Join(text(", ").ptr(), head.ptr()));
        listed = concat({joined, text(", and "), Obj(PyList_GET_ITEM(names.ptr(), n - 1))});
    }
    raise(PyExc_TypeError, "%U() missing %zd required %s argument%s: %U", f->qualname, n,
          keyword_only ? "keyword-only" : "positional", n == 1 ? "" : "s", listed.ptr());
}

// The keyword names given for positional-only parameters, in parameter order.
Ref positional_only_given(const Signature& sig, PyObject* kwnames) {
    Ref given = new_list();
    for (const Param& p : sig.params) {
        if (p.kind != Kind::PositionalOnly) continue;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (PyUnicode_CompareWithASCIIString(key, p.name) == 0) list_append(given, key);
        }
    }
    return given;
}

[[noreturn]] void unexpected_keyword(FunctionObject* f, const Signature& sig, PyObject* kwnames, PyObject* key) {
    Ref positional_only = positional_only_given(sig, kwnames);
    if (PyList_GET_SIZE(positional_only.ptr()) > 0) {
        Ref joined = Ref::steal(PyUnicode_Join(text(", ").ptr(), positional_only.ptr()));
        raise(PyExc_TypeError, "%U() got some positional-only arguments passed as keyword arguments: '%U'",
              f->qualname, joined.ptr());
    }
    // The interpreter offers the closest keyword parameter; its own
    // suggestion module does the matching, so the hint reads the same.
    Ref candidates = new_list();
    for (const Param& p : sig.params) {
        if (p.kind == Kind::PositionalOrKeyword || p.kind == Kind::KeywordOnly) list_append(candidates, text(p.name));
    }
    Ref suggestion;
    if (PyList_GET_SIZE(candidates.ptr()) > 0) {
        static const Name s_generate("_generate_suggestions");
        PyObject* module = PyImport_ImportModule("_suggestions");
        PyObject* found = module ? PyObject_CallMethodObjArgs(module, s_generate.ptr(), candidates.ptr(), key, nullptr)
                                 : nullptr;
        Py_XDECREF(module);
        if (found == nullptr) PyErr_Clear();  // no hint rather than another error
        suggestion = Ref::steal_or_null(found);
    }
    if (suggestion && PyUnicode_Check(suggestion.ptr())) {
        raise(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?", f->qualname, key,
              suggestion.ptr());
    }
    raise(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
}

// ---- the type's slots -------------------------------------------------------------

void add_traceback_entry(FunctionObject* f) {
    // A frame of our own in the traceback, as a Python function would leave:
    // its qualified name, and the C++ file and line the function is defined at.
    PyObject* exc = PyErr_GetRaisedException();
    const char* qualname = PyUnicode_Check(f->qualname) ? PyUnicode_AsUTF8(f->qualname) : nullptr;
    if (qualname == nullptr) {
        PyErr_Clear();
        qualname = f->sig->qualname;
    }
    PyCodeObject* code = PyCode_NewEmpty(f->sig->file, qualname, f->sig->line);
    PyFrameObject* frame = code ? PyFrame_New(PyThreadState_Get(), code, f->globals, nullptr) : nullptr;
    if (frame == nullptr) {
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
        Py_XDECREF(code);
        return;
    }
    // Should the entry itself fail (no memory), the exception being reported
    // stays the one raised, without the entry, rather than being lost.
    PyErr_SetRaisedException(Py_NewRef(exc));
    if (PyTraceBack_Here(frame) < 0) {
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
    } else {
        Py_DECREF(exc);
    }
    Py_DECREF(frame);
    Py_DECREF(code);
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* f = as_function(self);
    // Native functions calling each other (through module globals) never pass
    // a Python frame: without this, unbounded recursion would overflow the C
    // stack instead of raising RecursionError.
    if (f->globals == nullptr || f->builtins == nullptr) {
        PyErr_Format(PyExc_RuntimeError, "%U() was cleared by the garbage collector", f->qualname);
        return nullptr;
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    try {
        Frame frame(f);
        frame.bind(args, PyVectorcall_NARGS(nargsf), kwnames);
        PyObject* result = f->sig->impl(frame).release();
        Py_LeaveRecursiveCall();
        return result;
    } catch (const Error&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    }
    Py_LeaveRecursiveCall();
    add_traceback_entry(f);
    return nullptr;
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->dict);
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
    Py_VISIT(f->closure);
    return 0;
}

int function_clear(PyObject* self) {
    // __name__ and __qualname__ stay (strings cannot close a cycle): a
    // finaliser elsewhere in the cycle may still print this function.
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    f->annotations_pending = false;
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->closure);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(as_function(self)->name);
    Py_CLEAR(as_function(self)->qualname);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Stored in a class, a native function binds like a Python function.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// copy.copy and copy.deepcopy return a function unchanged: a reduce value that
// is a string tells them the object is shared, as for Python functions.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

int set_string(PyObject** field, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*field, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) { return set_string(&as_function(self)->name, value, "__name__"); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_string(&as_function(self)->qualname, value, "__qualname__");
}
// A function cleared by the collector (tp_clear) may still be reached by a
// finaliser in its cycle: its getters then answer None instead of reading NULL.
PyObject* or_none(PyObject* field) { return Py_NewRef(field != nullptr ? field : Py_None); }

PyObject* get_doc(PyObject* self, void*) { return or_none(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}
// The __annotations__ a function of `sig` starts with: the annotations as
// written, the return annotation last.
Ref annotations_of(const Signature& sig) {
    Ref annotations = new_dict();
    for (const Param& p : sig.params) {
        if (p.annotation != nullptr) dict_set(annotations, text(p.name), text(p.annotation));
    }
    if (sig.returns != nullptr) dict_set(annotations, s_return, text(sig.returns));
    return annotations;
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (f->annotations == nullptr) {
        if (f->annotations_pending) {
            try {
                f->annotations = annotations_of(*f->sig).release();
            } catch (const Error&) {
                return nullptr;
            }
            f->annotations_pending = false;
        } else if ((f->annotations = PyDict_New()) == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || value == Py_None) {
        value = PyDict_New();
        if (value == nullptr) return -1;
    } else if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    } else {
        Py_INCREF(value);
    }
    Py_XSETREF(as_function(self)->annotations, value);
    as_function(self)->annotations_pending = false;
    return 0;
}
PyObject* get_defaults(PyObject* self, void*) { return or_none(as_function(self)->defaults); }
PyObject* get_kwdefaults(PyObject* self, void*) { return or_none(as_function(self)->kwdefaults); }
PyObject* get_globals(PyObject* self, void*) { return or_none(as_function(self)->globals); }

// inspect.signature() asks for __signature__ first; this one is made from the
// declared parameters and the current defaults and annotations, so it shows
// what the signature line shows.
PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    try {
        static const Name s_Parameter("Parameter"), s_Signature("Signature"), s_empty("empty"),
            s_default("default"), s_annotation("annotation"), s_return_annotation("return_annotation");
        static const Name kind_names[] = {Name("POSITIONAL_ONLY"), Name("POSITIONAL_OR_KEYWORD"), Name("KEYWORD_ONLY"),
                                          Name("VAR_POSITIONAL"), Name("VAR_KEYWORD")};
        Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
        Ref parameter = getattr(inspect, s_Parameter);
        Ref empty = getattr(parameter, s_empty);
        // Held for the whole call: a key's __eq__ may replace __annotations__
        // while the dict is being searched, which would free it under us.
        Ref annotations = Ref::steal(get_annotations(self, nullptr));
        Ref params = new_list();
        std::size_t i_default = 0;
        for (const Param& p : f->sig->params) {
            Ref name = text(p.name);
            Ref kind = getattr(parameter, kind_names[static_cast<int>(p.kind)]);
            Ref value = empty;
            if (p.value != Default::Required) {
                if (is_positional(p.kind) && f->defaults != nullptr && PyTuple_Check(f->defaults)) {
                    Py_ssize_t k = static_cast<Py_ssize_t>(i_default++);
                    if (k < PyTuple_GET_SIZE(f->defaults)) value = Ref::borrow(PyTuple_GET_ITEM(f->defaults, k));
                } else if (p.kind == Kind::KeywordOnly && f->kwdefaults != nullptr && PyDict_Check(f->kwdefaults)) {
                    Ref found = dict_get(f->kwdefaults, name);
                    if (found) value = found;
                }
            }
            Ref annotation = dict_get(annotations, name);
            if (!annotation) annotation = empty;
            list_append(params, call(parameter, name, kind, kw(s_default, value), kw(s_annotation, annotation)));
        }
        Ref returns = dict_get(annotations, s_return);
        if (!returns) returns = empty;
        return call(getattr(inspect, s_Signature), params, kw(s_return_annotation, returns)).release();
    } catch (const Error&) {
        return nullptr;
    }
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), 0, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakreflist), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "morvane.core.native_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

PyTypeObject* g_function_type = nullptr;  // one per process, never freed

}  // namespace

PyTypeObject* function_type() {
    if (g_function_type == nullptr) {
        g_function_type = reinterpret_cast<PyTypeObject*>(Ref::steal(PyType_FromSpec(&function_spec)).release());
    }
    return g_function_type;
}

bool made_from(Obj o, const Signature& sig) {
    return Py_IS_TYPE(o.ptr(), function_type()) && reinterpret_cast<FunctionObject*>(o.ptr())->sig == &sig;
}

// ---- Frame ----------------------------------------------------------------------------

bool Frame::truth(std::size_t i) const { return truthy(slots_[i]); }

Ref Frame::global(Obj name) const {
    Ref value = dict_get(f_->globals, name);
    if (value) return value;
    value = dict_get(f_->builtins, name);
    if (value) return value;
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    // As the interpreter does, so that the traceback can offer a close name.
    PyObject* exc = PyErr_GetRaisedException();
    if (PyObject_SetAttrString(exc, "name", name.ptr()) < 0) PyErr_Clear();
    PyErr_SetRaisedException(exc);
    raise();
}

Obj Frame::globals() const { return f_->globals; }
Obj Frame::builtins() const { return f_->builtins; }
Obj Frame::closure() const { return f_->closure; }

void Frame::bind(PyObject* const* args, std::size_t nargs, PyObject* kwnames) {
    const Signature& sig = *f_->sig;
    const std::size_t n = sig.params.size();
    std::size_t n_positional = 0, n_required = 0;
    std::ptrdiff_t i_varargs = -1, i_varkw = -1;
    for (std::size_t i = 0; i < n; ++i) {
        const Param& p = sig.params[i];
        if (is_positional(p.kind)) {
            ++n_positional;
            if (p.value == Default::Required) ++n_required;
        } else if (p.kind == Kind::VarPositional) {
            i_varargs = static_cast<std::ptrdiff_t>(i);
        } else if (p.kind == Kind::VarKeyword) {
            i_varkw = static_cast<std::ptrdiff_t>(i);
        }
    }

    // Positional arguments fill the positional parameters, the rest go to
    // *args; too many are reported after the keywords, as the interpreter
    // orders its checks.
    const std::size_t n_direct = nargs < n_positional ? nargs : n_positional;
    for (std::size_t i = 0; i < n_direct; ++i) slots_[i] = args[i];
    if (i_varargs >= 0) {
        varargs_ = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(nargs - n_direct)));
        for (std::size_t i = n_direct; i < nargs; ++i) PyTuple_SET_ITEM(varargs_.ptr(), i - n_direct, Py_NewRef(args[i]));
        slots_[i_varargs] = varargs_.ptr();
    }
    if (i_varkw >= 0) {
        varkw_ = new_dict();
        slots_[i_varkw] = varkw_.ptr();
    }

    // Keywords, matched by name against the parameters that take keywords.
    const Py_ssize_t n_kw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < n_kw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + static_cast<std::size_t>(k)];
        if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "%U() keywords must be strings", f_->qualname);
        std::ptrdiff_t found = -1;
        for (std::size_t i = 0; i < n; ++i) {
            const Param& p = sig.params[i];
            if (p.kind != Kind::PositionalOrKeyword && p.kind != Kind::KeywordOnly) continue;
            if (PyUnicode_CompareWithASCIIString(key, p.name) == 0) {
                found = static_cast<std::ptrdiff_t>(i);
                break;
            }
        }
        if (found >= 0) {
            if (slots_[found] != nullptr) raise(PyExc_TypeError, "%U() got multiple values for argument '%U'", f_->qualname, key);
            slots_[found] = value;
        } else if (i_varkw >= 0) {
            dict_set(varkw_, key, value);
        } else {
            unexpected_keyword(f_, sig, kwnames, key);
        }
    }
    if (nargs > n_positional && i_varargs < 0) too_many_positional(f_, sig, slots_, n_required, n_positional, nargs);

    // Defaults, then what is still missing.
    bool missing_positional = false, missing_keyword = false;
    for (std::size_t i = 0; i < n; ++i) {
        const Param& p = sig.params[i];
        if (slots_[i] != nullptr || p.kind == Kind::VarPositional || p.kind == Kind::VarKeyword) continue;
        if (p.value != Default::Required) {
            slots_[i] = default_object(p.value);
        } else if (p.kind == Kind::KeywordOnly) {
            missing_keyword = true;
        } else {
            missing_positional = true;
        }
    }
    if (missing_positional) missing(f_, sig, slots_, false);
    if (missing_keyword) missing(f_, sig, slots_, true);

    // Typed parameters: exactly the built-in type.
    for (std::size_t i = 0; i < n; ++i) {
        const Param& p = sig.params[i];
        PyTypeObject* expected = check_type(p.check);
        if (expected == nullptr || Py_IS_TYPE(slots_[i], expected)) continue;
        if (p.check == Check::DictOrNone && slots_[i] == Py_None) continue;
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", p.name,
                     expected->tp_name, Py_TYPE(slots_[i])->tp_name);
        if (PyObject_TypeCheck(slots_[i], expected)) {
            // The TypeError stays the one raised even if the note cannot be added.
            PyObject* exc = PyErr_GetRaisedException();
            PyObject* note = PyUnicode_FromFormat(
                "'%.200s' is a subclass of '%.200s'; this parameter takes the built-in type itself, not a subclass.",
                Py_TYPE(slots_[i])->tp_name, expected->tp_name);
            PyObject* added = note ? PyObject_CallMethod(exc, "add_note", "O", note) : nullptr;
            if (added == nullptr) PyErr_Clear();
            Py_XDECREF(added);
            Py_XDECREF(note);
            PyErr_SetRaisedException(exc);
        }
        raise();
    }
}

// ---- making functions ------------------------------------------------------------------

Ref signature_line(const Signature& sig, Obj qualname) {
    std::string line;
    bool keyword_only_marked = false;
    const std::size_t n = sig.params.size();
    for (std::size_t i = 0; i < n; ++i) {
        const Param& p = sig.params[i];
        if (p.kind == Kind::VarPositional) keyword_only_marked = true;
        if (p.kind == Kind::KeywordOnly && !keyword_only_marked) {
            line += line.empty() ? "*" : ", *";
            keyword_only_marked = true;
        }
        if (!line.empty()) line += ", ";
        const char* prefix = p.prefix;
        if (prefix == nullptr && p.check != Check::Any) prefix = check_type(p.check)->tp_name;
        if (prefix != nullptr) (line += prefix) += " ";
        if (p.kind == Kind::VarPositional) line += "*";
        if (p.kind == Kind::VarKeyword) line += "**";
        line += p.name;
        if (p.annotation != nullptr) (line += ": ") += p.annotation;
        if (p.value != Default::Required) (line += p.annotation != nullptr ? " = " : "=") += default_text(p.value);
        if (p.kind == Kind::PositionalOnly && (i + 1 == n || sig.params[i + 1].kind != Kind::PositionalOnly)) {
            line += ", /";
        }
    }
    std::string tail = "(" + line + ")";
    if (sig.returns != nullptr) (tail += " -> ") += sig.returns;
    return concat({qualname, text(tail)});
}

namespace {

// What every function made from one signature starts with and may share, as
// the functions one `def` makes share their code's constants: the names, the
// docstring and the defaults tuple, none of which can be changed in place.
// Made for the first function of the signature and kept for the process (one
// interpreter per process); never released, like the signatures themselves.
// A function made inside another is made at every call of it (a sort key,
// an error cell): only its own struct is new.
struct SharedParts {
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* defaults;  // tuple or None
};

const SharedParts& shared_parts(const Signature& sig) {
    static auto* table = new std::unordered_map<const Signature*, SharedParts>;
    if (auto it = table->find(&sig); it != table->end()) return it->second;
    Ref name = text(sig.name);
    Ref qualname = text(sig.qualname);
    Ref doc = none();
    if (sig.documented) {
        doc = signature_line(sig, qualname);
        if (sig.doc != nullptr) doc = concat({doc, text("\n\n"), text(sig.doc)});
    }
    Ref defaults = new_list();
    for (const Param& p : sig.params) {
        if (p.value != Default::Required && p.kind != Kind::KeywordOnly) list_append(defaults, default_object(p.value));
    }
    Ref defaults_tuple = PyList_GET_SIZE(defaults.ptr()) ? tuple_of(defaults) : none();
    SharedParts parts{name.release(), qualname.release(), doc.release(), defaults_tuple.release()};
    return table->emplace(&sig, parts).first->second;
}

}  // namespace

Ref make_function(const Signature& sig, Obj globals, Obj builtins, Obj closure) {
    if (sig.params.size() > max_params) {
        raise(PyExc_SystemError, "%s: more parameters than a native function binds (%zu)", sig.qualname, max_params);
    }
    const SharedParts& parts = shared_parts(sig);
    Ref module = dict_get(globals, s_name);
    if (!module) module = none();

    // Its own dict: it can be changed in place.
    Ref kwdefaults = none();
    for (const Param& p : sig.params) {
        if (p.value == Default::Required || p.kind != Kind::KeywordOnly) continue;
        if (kwdefaults.is_none()) kwdefaults = new_dict();
        dict_set(kwdefaults, text(p.name), default_object(p.value));
    }

    Ref self = Ref::steal(PyType_GenericAlloc(function_type(), 0));
    FunctionObject* f = as_function(self.ptr());
    f->vectorcall = function_vectorcall;
    f->sig = &sig;
    f->name = Py_NewRef(parts.name);
    f->qualname = Py_NewRef(parts.qualname);
    f->module = module.release();
    f->doc = Py_NewRef(parts.doc);
    f->annotations = nullptr;
    f->annotations_pending = true;
    f->defaults = Py_NewRef(parts.defaults);
    f->kwdefaults = kwdefaults.release();
    f->globals = Py_NewRef(globals.ptr());
    f->builtins = Py_NewRef(builtins.ptr());
    f->closure = Py_XNewRef(closure.ptr());
    return self;
}

Ref make_raiser(const Frame& f, const Signature& func_sig, Obj funcname, Obj modname, Obj error) {
    static const Name s_RuntimeError("RuntimeError"), s_qualname("__qualname__"), s_module("__module__");
    // Made once here: every call of the placeholder raises this same object.
    Ref exception = Ref::borrow(error);
    if (isinstance(error, Obj(reinterpret_cast<PyObject*>(&PyUnicode_Type)))) {
        exception = call(f.global(s_RuntimeError), error);
    }
    Ref func = make_function(func_sig, f.globals(), f.builtins(), exception);
    setattr(func, s_name, funcname);
    setattr(func, s_qualname, funcname);
    setattr(func, s_module, modname);
    return func;
}

Ref raise_captured(Frame& f) { raise_object(f.closure()); }

}  // namespace host
