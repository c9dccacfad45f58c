#pragma once

// The `Subscription` class: the Python face of one subscriber of one topic. Each object owns
// its Subscriber outright (and with it the cursor-table entry, the ring mapping and the
// connection) until the object is destroyed; there is no close method. Python code gets one
// only from the `_RustBus` subscribe methods.
//
// Thread rules: everything here needs the interpreter lock.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

namespace kavri {
class Subscriber;
}

namespace kavri::py {

// The type, created on first use and kept for the process. Throws PythonError.
PyTypeObject* subscription_type();

// A new `Subscription` that takes over `subscriber`, with an empty receive buffer. A failure
// to create it is an internal failure; the subscriber is then destroyed first (its cursor
// entry freed, its mapping and connection closed).
PyObject* make_subscription(std::unique_ptr<Subscriber> subscriber);

}  // namespace kavri::py
