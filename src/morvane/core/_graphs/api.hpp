// What the graph module offers the other native modules, through the capsule
// it binds as `_C_API` (PyCapsule_Import's way of sharing C functions).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace graphs {

inline constexpr const char* capsule_name = "morvane.core._graphs._C_API";

struct Api {
    // True, with the graph's generation and the has-model flags set since it
    // was last handed out, while `G` is the graph last kept and nothing else
    // in it has changed since it was made or last checked in full; false for
    // any other graph.  Runs no code, raises nothing.
    bool (*since_taken)(PyObject* G, unsigned long long* generation, unsigned long long* flags);
};

}  // namespace graphs
