#pragma once

// The `TopicPublisher` class: a prepared publish handle for one topic that owns the topic's
// Publisher outright, and with it the producer lock, until the Python object is destroyed.
// Python code gets one only from `_RustBus.topic`.
//
// Thread rules: everything here needs the interpreter lock.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

namespace kavri {
class Publisher;
}

namespace kavri::py {

// The type, created on first use and kept for the process. Throws PythonError.
PyTypeObject* topic_publisher_type();

// A new `TopicPublisher` that takes over `publisher`. A failure to create it is an internal
// failure; the publisher is then destroyed (releasing its producer lock) before it is raised.
PyObject* make_topic_publisher(std::unique_ptr<Publisher> publisher);

}  // namespace kavri::py
