#pragma once

// The `TopicStats` and `WalStats` classes: frozen, read-only snapshots of a topic's state and
// of its log, copied from the core records when the statistics were asked for. Python code
// cannot construct either; `TopicPublisher.stats` and `_RustBus.stats` make `TopicStats`
// objects, and every read of `TopicStats.wal` makes a new `WalStats`.
//
// Thread rules: everything here needs the interpreter lock.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kavri {
struct TopicStats;
}

namespace kavri::py {

// The types, created on first use and kept for the process. Throw PythonError.
PyTypeObject* topic_stats_type();
PyTypeObject* wal_stats_type();

// A new `TopicStats` object that takes over `stats`. A failure to create it is an internal
// failure.
PyObject* make_topic_stats(TopicStats&& stats);

}  // namespace kavri::py
