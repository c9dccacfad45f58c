#pragma once

// Adding names to the module object. Needs the interpreter lock.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kavri::py {

// Appends `name` to the module's __all__ (a list, created empty when missing; TypeError when
// it is something else), then sets the module attribute `name` to `object` (borrowed).
// Throws PythonError.
void add_to_module(PyObject* module, const char* name, PyObject* object);

}  // namespace kavri::py
