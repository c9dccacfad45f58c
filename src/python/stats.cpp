#include "python/stats.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <cstdint>
#include <string>
#include <utility>

#include "publisher.h"
#include "python/frame.h"
#include "wal/wal.h"

namespace kavri::py {

namespace {

// What the objects wrap: the core records, moved in when the snapshot is taken and never
// changed afterwards.
struct PyWalStats {
  wal::WalStats stats;
};
struct PyTopicStats {
  TopicStats stats;
};

PyObject* new_str(const std::string& text) {
  return result(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// ---- WalStats -----------------------------------------------------------------------------

template <uint64_t wal::WalStats::*Field>
PyObject* get_wal_field(PyObject* self, void*) {
  return entry([&] {
    const Hold hold(self, Borrow::Shared);
    return to_python(core<PyWalStats>(self).stats.*Field);
  });
}

PyObject* wal_stats_repr(PyObject* self) {
  return entry([&] {
    const Hold hold(self, Borrow::Shared);
    const wal::WalStats& s = core<PyWalStats>(self).stats;
    return new_str(fmt::format(
        "WalStats(pending={}, durable={}, oldest={}, active_bytes={}, total_bytes={}, "
        "segments={}, appends_total={}, append_bytes_total={}, flushes_total={})",
        s.pending_cursor, s.durable_cursor, s.oldest_cursor, s.active_segment_bytes,
        s.total_wal_bytes, s.segments, s.appends_total, s.append_bytes_total, s.flushes_total));
  });
}

#define KAVRI_WAL_FIELD(name) \
  { #name, get_wal_field < &wal::WalStats::name>, nullptr, "", nullptr }

PyGetSetDef kWalGetters[] = {
    KAVRI_WAL_FIELD(pending_cursor),  KAVRI_WAL_FIELD(durable_cursor),
    KAVRI_WAL_FIELD(oldest_cursor),   KAVRI_WAL_FIELD(active_segment_bytes),
    KAVRI_WAL_FIELD(total_wal_bytes), KAVRI_WAL_FIELD(segments),
    KAVRI_WAL_FIELD(appends_total),   KAVRI_WAL_FIELD(append_bytes_total),
    KAVRI_WAL_FIELD(flushes_total),   {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef KAVRI_WAL_FIELD

constexpr char kWalDoc[] =
    "A snapshot of a topic's write-ahead log, taken when TopicStats.wal was read: the pending,\n"
    "durable and oldest cursors, the number of segments, the bytes on disk, and monotonic\n"
    "counters of appends, appended payload bytes and flushes. It mirrors the log's own\n"
    "statistics record and never changes.";

PyType_Slot kWalSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<PyWalStats>)},
    {Py_tp_repr, reinterpret_cast<void*>(wal_stats_repr)},
    {Py_tp_getset, kWalGetters},
    {Py_tp_doc, const_cast<char*>(kWalDoc)},
    {0, nullptr},
};

// Final (no Py_TPFLAGS_BASETYPE), no instance dictionary, no weak references.
PyType_Spec kWalSpec = {
    "kavri._kavri.WalStats", sizeof(Object<PyWalStats>), 0, Py_TPFLAGS_DEFAULT, kWalSlots,
};

PyTypeObject* g_wal_type = nullptr;

// ---- TopicStats ---------------------------------------------------------------------------

template <uint64_t TopicStats::*Field>
PyObject* get_topic_field(PyObject* self, void*) {
  return entry([&] {
    const Hold hold(self, Borrow::Shared);
    return to_python(core<PyTopicStats>(self).stats.*Field);
  });
}

// A new list on every read, so that mutating it changes nothing here.
PyObject* get_lags(PyObject* self, void*) {
  return entry([&] {
    const Hold hold(self, Borrow::Shared);
    const std::vector<uint64_t>& lags = core<PyTopicStats>(self).stats.lags;
    Ref list(result(PyList_New(static_cast<Py_ssize_t>(lags.size()))));
    for (size_t i = 0; i < lags.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_python(lags[i]));  // steals
    }
    return list.release();
  });
}

// A new WalStats on every read.
PyObject* get_wal(PyObject* self, void*) {
  return entry([&] {
    const Hold hold(self, Borrow::Shared);
    const std::optional<wal::WalStats>& wal = core<PyTopicStats>(self).stats.wal;
    if (!wal) return none();
    return allocate_result(wal_stats_type(), PyWalStats{*wal});
  });
}

// "[a, b]", or "[]".
std::string lags_text(const std::vector<uint64_t>& lags) {
  return fmt::format("[{}]", fmt::join(lags, ", "));
}

PyObject* topic_stats_repr(PyObject* self) {
  return entry([&] {
    const Hold hold(self, Borrow::Shared);
    const TopicStats& s = core<PyTopicStats>(self).stats;
    return new_str(
        fmt::format("TopicStats(tail={}, active_subscribers={}, lags={}, connected_sockets={}, "
                    "published_total={}, full_rejected_total={}, subscribers_dropped_total={}, "
                    "wakeups_sent_total={}, wal={})",
                    s.tail, s.active_subscribers, lags_text(s.lags), s.connected_sockets,
                    s.published_total, s.full_rejected_total, s.subscribers_dropped_total,
                    s.wakeups_sent_total, s.wal ? "<WalStats>" : "None"));
  });
}

#define KAVRI_TOPIC_FIELD(name) \
  { #name, get_topic_field < &TopicStats::name>, nullptr, "", nullptr }

constexpr char kWalFieldDoc[] =
    "The write-ahead log's snapshot (a WalStats) when the publisher's log is enabled, and None\n"
    "otherwise.";

PyGetSetDef kTopicGetters[] = {
    KAVRI_TOPIC_FIELD(tail),
    KAVRI_TOPIC_FIELD(active_subscribers),
    {"lags", get_lags, nullptr, "", nullptr},
    KAVRI_TOPIC_FIELD(connected_sockets),
    KAVRI_TOPIC_FIELD(published_total),
    KAVRI_TOPIC_FIELD(full_rejected_total),
    KAVRI_TOPIC_FIELD(subscribers_dropped_total),
    KAVRI_TOPIC_FIELD(wakeups_sent_total),
    {"wal", get_wal, nullptr, kWalFieldDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef KAVRI_TOPIC_FIELD

constexpr char kTopicDoc[] =
    "A snapshot of a topic's ring, subscriber sockets and counters, taken when stats() was\n"
    "called; it never changes. The fields whose names end in _total are monotonic counters\n"
    "since the publisher was created and suit rate computations: the change of\n"
    "published_total over one minute divided by 60 gives publishes per second.";

PyType_Slot kTopicSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<PyTopicStats>)},
    {Py_tp_repr, reinterpret_cast<void*>(topic_stats_repr)},
    {Py_tp_getset, kTopicGetters},
    {Py_tp_doc, const_cast<char*>(kTopicDoc)},
    {0, nullptr},
};

// Final (no Py_TPFLAGS_BASETYPE), no instance dictionary, no weak references.
PyType_Spec kTopicSpec = {
    "kavri._kavri.TopicStats", sizeof(Object<PyTopicStats>), 0, Py_TPFLAGS_DEFAULT, kTopicSlots,
};

PyTypeObject* g_topic_type = nullptr;

}  // namespace

PyTypeObject* topic_stats_type() { return type_once(g_topic_type, kTopicSpec); }

PyTypeObject* wal_stats_type() { return type_once(g_wal_type, kWalSpec); }

PyObject* make_topic_stats(TopicStats&& stats) {
  return allocate_result(topic_stats_type, PyTopicStats{std::move(stats)});
}

}  // namespace kavri::py
