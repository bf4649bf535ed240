// Knowing that a dict has not changed.  A body that reads one dict many
// times (the same key looked up at every use, the same keys made into a set
// at every step) may keep what it read for as long as the dict stays as it
// was: then a fresh read would give exactly what was kept.  Whatever code
// runs in between (a record's __eq__, a logger) may change the dict; the
// interpreter's dict watchers report every change, and from the first one on
// the body reads afresh, as written.
#pragma once

#include "ref.hpp"

namespace host {

class DictWatch {
public:
    // Watches `d` for the life of this object when it is an exact dict and
    // the interpreter has a watcher to spare; otherwise `unchanged()` is
    // false from the start and the body reads everything afresh.
    explicit DictWatch(Obj d);
    ~DictWatch();
    DictWatch(const DictWatch&) = delete;
    DictWatch& operator=(const DictWatch&) = delete;

    // True while nothing has added, replaced, removed or cleared an entry of
    // the dict since the watch began.
    bool unchanged() const { return watching_ && !changed_; }

private:
    static int on_event(PyDict_WatchEvent event, PyObject* d, PyObject* key, PyObject* value);

    PyObject* dict_ = nullptr;  // borrowed: the caller holds it for the watch
    bool watching_ = false;
    bool changed_ = false;
    DictWatch* next_ = nullptr;  // the watches live now, innermost first
};

// A set of the keys of an exact dict (`set(d)`), made again only when the
// dict has changed since the last one was made.  The set is the caller's to
// read, never to change.  With keys that are all exact strs, making the set
// runs no code, so handing out the kept one is what making it again would do.
class KeySet {
public:
    explicit KeySet(Obj d) : dict_(d), watch_(d) {}
    Ref get();
    // True while the dict is as it was when the watch began.
    bool unchanged() const { return watch_.unchanged(); }

private:
    Obj dict_;
    DictWatch watch_;
    Ref keys_;
};

// A dict watcher of the caller's own, for a structure of many dicts watched
// for as long as it lives (the watches above are for one body's run): made
// on the first call for `callback`, then the same id.  -1 when the
// interpreter has none to spare (no error is left set): the caller then
// knows nothing and checks everything.
int long_lived_watcher(PyDict_WatchCallback callback);

// True when every key of the exact dict `d` is an exact str.
bool str_keys(Obj d);

}  // namespace host
