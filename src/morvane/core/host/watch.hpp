// Dict watchers for structures that outlive one call.
#pragma once

#include "ref.hpp"

namespace host {

// A dict watcher of the caller's own, for a structure of many dicts watched
// for as long as it lives: made on the first call for `callback`, then the
// same id.  -1 when the interpreter has none to spare (no error is left
// set): the caller then knows nothing and checks everything.
int long_lived_watcher(PyDict_WatchCallback callback);

}  // namespace host
