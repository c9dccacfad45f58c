#pragma once

// The `_RustBus` class: the one class of the module that Python code can construct.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kavri::py {

// The type, created on first use and kept for the process. Throws PythonError.
PyTypeObject* bus_type();

}  // namespace kavri::py
