// Small pieces shared by the functions of the module.
#include "pdk.hpp"

namespace pdk {
using namespace host;

bool PathMembership::plain(Obj o) const {
    PyTypeObject* t = o.type();
    if (t == &PyUnicode_Type) return true;
    for (PyTypeObject* p : path_types_) {
        if (t == p) return true;
    }
    return false;
}

void PathMembership::build() {
    built_ = true;
    const Py_ssize_t n = PyList_GET_SIZE(paths_.ptr());
    if (n == 0) return;  // nothing to scan anyway
    // The concrete classes of the standard pathlib, whatever the module's own
    // `Path` is bound to: their __eq__ and __hash__ agree and call no user code.
    static const Name s_pathlib("pathlib");
    Ref pathlib = Ref::steal_or_null(PyImport_GetModule(s_pathlib.ptr()));
    if (!pathlib) pathlib = Ref::steal(PyImport_Import(s_pathlib.ptr()));
    static const Name names[4] = {Name("PurePosixPath"), Name("PureWindowsPath"), Name("PosixPath"),
                                  Name("WindowsPath")};
    for (int i = 0; i < 4; ++i) {
        Ref cls = getattr_opt(pathlib, names[i]);
        if (cls && PyType_Check(cls.ptr())) path_types_[i] = reinterpret_cast<PyTypeObject*>(cls.ptr());
        // The module holds the classes for the life of the process; they are
        // compared by address only.
    }
    Ref set = new_set();
    for (Ref item : iterate(paths_)) {
        if (!plain(item)) return;  // the scan keeps its semantics for the rest
        set_add(set, item);
    }
    set_ = set;
}

bool PathMembership::contains(Obj item) {
    if (!built_) build();
    if (set_ && plain(item)) return check(PySet_Contains(set_.ptr(), item.ptr())) == 1;
    return host::contains(paths_, item);
}

}  // namespace pdk
