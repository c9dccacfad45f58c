#pragma once

// What subscription.cpp and subscription_buffers.cpp share: the object's contents and the
// four receives into caller buffers, which sit in the class's method table.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "subscriber.h"

namespace kavri::py {

// What a `Subscription` object wraps, in declaration order; destruction runs the other way:
// the subscriber first (entry freed, ring unmapped, connection closed, replay dropped), then
// the receive buffer.
struct PySubscription {
  // The payload of the last receive through it. Reused by every receive that makes a bytes
  // object (and by the first message of recv_into_buffer); the core empties it and copies into
  // it, so its storage only grows, to the largest payload seen.
  std::vector<std::byte> recv_buf;
  std::unique_ptr<Subscriber> subscriber;  // never null
};

PySubscription& subscription_of(PyObject* self);

// Fast-call entry points of the buffer receives, with their docstrings.
PyObject* recv_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* recv_timeout_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* try_recv_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* recv_into_buffer(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

extern const char kRecvIntoDoc[];
extern const char kRecvTimeoutIntoDoc[];
extern const char kTryRecvIntoDoc[];
extern const char kRecvIntoBufferDoc[];

}  // namespace kavri::py
