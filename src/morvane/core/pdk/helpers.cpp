// Small pieces shared by the functions of the module.
#include "pdk.hpp"

#include <algorithm>

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
    // Found once and held for the life of the process (so that no other type
    // can come to live at their addresses); compared by address only.
    static PyTypeObject* classes[4] = {};
    if (classes[0] == nullptr) {
        static const Name s_pathlib("pathlib");
        Ref pathlib = imported(s_pathlib);
        if (!pathlib) pathlib = Ref::steal(PyImport_Import(s_pathlib.ptr()));
        static const Name names[4] = {Name("PurePosixPath"), Name("PureWindowsPath"), Name("PosixPath"),
                                      Name("WindowsPath")};
        Ref found[4];
        for (int i = 0; i < 4; ++i) {
            Ref cls = getattr_opt(pathlib, names[i]);
            if (cls && PyType_Check(cls.ptr())) found[i] = cls;
        }
        if (!found[0]) return;  // no pathlib to speak of: every query scans
        for (int i = 0; i < 4; ++i) classes[i] = reinterpret_cast<PyTypeObject*>(found[i].release());
    }
    std::copy(classes, classes + 4, path_types_);
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
