#include "watch.hpp"

#include "ops.hpp"

#include <utility>

namespace host {

namespace {

// The watcher of this process (the modules live in one interpreter): made on
// first use; -2 when the interpreter had none to spare.
int g_watcher = -1;
// Every watch live now, on any thread; changed only under the interpreter lock.
DictWatch* g_watches = nullptr;

int watcher_id(PyDict_WatchCallback callback) {
    if (g_watcher == -1) {
        g_watcher = PyDict_AddWatcher(callback);
        if (g_watcher < 0) {
            PyErr_Clear();  // all taken: every body reads afresh, as written
            g_watcher = -2;
        }
    }
    return g_watcher;
}

}  // namespace

DictWatch::DictWatch(Obj d) {
    if (!PyDict_CheckExact(d.ptr())) return;
    const int id = watcher_id(on_event);
    if (id < 0) return;
    check(PyDict_Watch(id, d.ptr()));
    dict_ = d.ptr();
    watching_ = true;
    next_ = g_watches;
    g_watches = this;
}

DictWatch::~DictWatch() {
    if (!watching_) return;
    bool still_watched = false;
    for (DictWatch** p = &g_watches; *p != nullptr;) {
        if (*p == this) {
            *p = next_;
            continue;
        }
        if (dict_ != nullptr && (*p)->dict_ == dict_) still_watched = true;
        p = &(*p)->next_;
    }
    // Another watch of the same dict (a nested call) keeps it watched; a
    // dict that went away while watched (see on_event) has nothing to undo.
    if (dict_ == nullptr || still_watched) return;
    // May run while an exception unwinds the body: that one stays set.
    PyObject* pending = PyErr_GetRaisedException();
    if (PyDict_Unwatch(g_watcher, dict_) < 0) PyErr_Clear();
    PyErr_SetRaisedException(pending);
}

int DictWatch::on_event(PyDict_WatchEvent event, PyObject* d, PyObject*, PyObject*) {
    for (DictWatch* w = g_watches; w != nullptr; w = w->next_) {
        if (w->dict_ != d) continue;
        w->changed_ = true;
        if (event == PyDict_EVENT_DEALLOCATED) w->dict_ = nullptr;
    }
    return 0;
}

Ref KeySet::get() {
    // Kept only while no key could run code in the making.
    if (keys_ && watch_.unchanged()) return keys_;
    Ref keys = set_of(dict_);
    if (watch_.unchanged() && str_keys(dict_)) keys_ = keys;
    return keys;
}

int long_lived_watcher(PyDict_WatchCallback callback) {
    // A few callers at most (one per structure kind), each asking with its
    // own static callback.
    static std::pair<PyDict_WatchCallback, int> made[4];
    for (auto& [known, id] : made) {
        if (known == callback) return id;
        if (known != nullptr) continue;
        id = PyDict_AddWatcher(callback);
        if (id < 0) {
            PyErr_Clear();
            id = -1;
        }
        known = callback;
        return id;
    }
    return -1;
}

bool str_keys(Obj d) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(d.ptr(), &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

}  // namespace host
