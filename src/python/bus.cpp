#include "python/bus.h"

#include <fmt/format.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../bus.h"  // the core's Bus; "bus.h" would name python/bus.h, beside this file
#include "config.h"
#include "python/frame.h"
#include "python/stats.h"
#include "python/subscription.h"
#include "python/topic_publisher.h"

namespace kavri::py {

namespace {

// What a `_RustBus` object wraps. Destroying it destroys the bus and every publisher still
// in its map; publishers handed to a TopicPublisher, and subscriptions, live on.
struct PyBus {
  Bus bus;
};

// The text in double quotes with backslash escapes, as a debug rendering shows it: \" \\ \t
// \r \n \0, and every other non-printable character as \u{hex}. `text` is valid UTF-8 (it
// comes from a str).
std::string debug_quoted(std::string_view text) {
  std::string out = "\"";
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t cp = length == 1   ? lead
                  : length == 2 ? lead & 0x1F
                  : length == 3 ? lead & 0x0F
                                : lead & 0x07;
    for (size_t k = 1; k < length && i + k < text.size(); ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    switch (cp) {
      case U'"':
        out += "\\\"";
        break;
      case U'\\':
        out += "\\\\";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\n':
        out += "\\n";
        break;
      case U'\0':
        out += "\\0";
        break;
      default:
        if (Py_UNICODE_ISPRINTABLE(static_cast<Py_UCS4>(cp))) {
          out.append(text.substr(i, length));
        } else {
          out += fmt::format("\\u{{{:x}}}", static_cast<uint32_t>(cp));
        }
    }
    i += length;
  }
  out += '"';
  return out;
}

// The bus's configuration from the constructor's settings; an absent one takes its default.
// Nothing but the policy text is checked: 0 and the largest u32 are stored unchanged.
BusConfig build_config(std::optional<std::string_view> base_dir, std::optional<uint32_t> capacity,
                       std::optional<uint32_t> slot_size, std::optional<uint32_t> max_subscribers,
                       std::optional<std::string_view> backpressure,
                       std::optional<bool> wal_enabled) {
  BusConfig config;
  config.base_dir = std::string(base_dir.value_or("/tmp/kavri"));
  config.capacity = capacity.value_or(256);
  config.slot_size = slot_size.value_or(65536);
  config.max_subscribers = max_subscribers.value_or(16);
  config.backpressure = Backpressure::Error;
  if (backpressure) {
    const std::optional<Backpressure> policy = parse_backpressure(*backpressure);
    if (!policy) {
      fail(PyExc_ValueError,
           "backpressure must be \"error\" or \"drop_oldest\", got " + debug_quoted(*backpressure));
    }
    config.backpressure = *policy;
  }
  config.wal.enabled = wal_enabled.value_or(true);
  config.wal.flush_interval = Duration::from_millis(5);
  config.wal.segment_max_bytes = 64 * kMiB;
  config.wal.retention_max_bytes = 1024 * kMiB;
  config.wal.fsync_policy = FsyncPolicy::Interval;
  return config;
}

constexpr const char* kNewPositional[] = {"name"};
constexpr KeywordOnly kNewKeywordOnly[] = {
    {"base_dir", false},        {"capacity", false},     {"slot_size", false},
    {"max_subscribers", false}, {"backpressure", false}, {"wal_enabled", false},
};
constexpr Signature kNew{"__new__", "_RustBus", kNewPositional, 1, kNewKeywordOnly};

PyObject* bus_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry([&] {
    const Args a = bind(kNew, args, kwargs);
    const std::string_view name = required(a, 0, as_text);
    const auto base_dir = optional(a, 1, as_text);
    const auto capacity = optional(a, 2, as_u32);
    const auto slot_size = optional(a, 3, as_u32);
    const auto max_subscribers = optional(a, 4, as_u32);
    const auto backpressure = optional(a, 5, as_text);
    const auto wal_enabled = optional(a, 6, as_bool);
    BusConfig config =
        build_config(base_dir, capacity, slot_size, max_subscribers, backpressure, wal_enabled);
    // Touches nothing on disk: the first file work happens when a method names a topic.
    return allocate(type, PyBus{Bus::with_config(std::string(name), std::move(config))});
  });
}

Bus& bus_of(PyObject* self) { return core<PyBus>(self).bus; }

// (cursor_idx, lag) pairs as a new list of 2-tuples of int.
PyObject* pairs_to_python(const std::vector<std::pair<uint64_t, uint64_t>>& pairs) {
  Ref list(result(PyList_New(static_cast<Py_ssize_t>(pairs.size()))));
  for (size_t i = 0; i < pairs.size(); ++i) {
    Ref tuple(result(PyTuple_New(2)));
    PyTuple_SET_ITEM(tuple.get(), 0, to_python(pairs[i].first));  // steals
    PyTuple_SET_ITEM(tuple.get(), 1, to_python(pairs[i].second));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple.release());
  }
  return list.release();
}

constexpr const char* kPublishParams[] = {"topic", "data"};
constexpr Signature kPublish{"publish", "_RustBus", kPublishParams, 2};

// The topic text and the payload are views into the caller's str and bytes objects, which
// the caller's references keep alive (and unchanged) while the lock is released.
PyObject* publish(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    const Args a = bind(kPublish, args, nargs, kwnames);
    const Hold hold(self, Borrow::Exclusive);
    const std::string_view topic = required(a, 0, as_text);
    const Payload data = required(a, 1, as_payload);
    ok(without_gil([&] { return bus_of(self).publish(topic, data); }));
    return none();
  });
}

constexpr const char* kPublishManyParams[] = {"topic", "payloads"};
constexpr Signature kPublishMany{"publish_many", "_RustBus", kPublishManyParams, 2};

// The lock stays held for the whole batch, publisher creation and wake-ups included: the
// views point into bytes objects whose references the sequence drops after the core call.
PyObject* publish_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    const Args a = bind(kPublishMany, args, nargs, kwnames);
    const Hold hold(self, Borrow::Exclusive);
    const std::string_view topic = required(a, 0, as_text);
    const PayloadSequence payloads = required(a, 1, as_payload_sequence);
    const uint64_t written = ok(bus_of(self).publish_many(topic, payloads.views()));
    return to_python(written);
  });
}

constexpr const char* kTopicParams[] = {"name"};
constexpr Signature kTopic{"topic", "_RustBus", kTopicParams, 1};

PyObject* topic(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    const Args a = bind(kTopic, args, nargs, kwnames);
    const Hold hold(self, Borrow::Exclusive);
    const std::string_view name = required(a, 0, as_text);
    return make_topic_publisher(ok(bus_of(self).take_publisher(name)));
  });
}

// The three subscribe methods share the object: they only read the bus's configuration, so
// they may overlap each other and the other shared calls, while the connection wait runs
// without the lock. The time-out becomes a duration before any core work.

constexpr const char* kSubscribeParams[] = {"topic", "timeout_secs"};
constexpr Signature kSubscribe{"subscribe", "_RustBus", kSubscribeParams, 1};

PyObject* subscribe(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    const Args a = bind(kSubscribe, args, nargs, kwnames);
    const Hold hold(self, Borrow::Shared);
    const std::string_view topic = required(a, 0, as_text);
    const double secs = with_default(a, 1, as_seconds, 30.0);
    const Duration timeout = duration_from_secs(secs);
    return make_subscription(
        ok(without_gil([&] { return bus_of(self).subscribe_timeout(topic, timeout); })));
  });
}

constexpr const char* kHistoryParams[] = {"topic", "n_messages_back", "timeout_secs"};
constexpr Signature kHistory{"subscribe_with_history", "_RustBus", kHistoryParams, 2};

PyObject* subscribe_with_history(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return entry([&] {
    const Args a = bind(kHistory, args, nargs, kwnames);
    const Hold hold(self, Borrow::Shared);
    const std::string_view topic = required(a, 0, as_text);
    const uint64_t n_messages_back = required(a, 1, as_u64);
    const double secs = with_default(a, 2, as_seconds, 30.0);
    const Duration timeout = duration_from_secs(secs);
    return make_subscription(ok(without_gil([&] {
      return bus_of(self).subscribe_with_history_timeout(topic, n_messages_back, timeout);
    })));
  });
}

// A start cursor the ring cannot represent (bit 63 marks a slot being written) is refused as
// an out-of-range integer, like any other unusable count, before the core is called.
uint64_t as_start_cursor(PyObject* object) {
  const uint64_t cursor = as_u64(object);
  if (cursor > MAX_START_CURSOR) {
    fail(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return cursor;
}

constexpr const char* kFromParams[] = {"topic", "cursor", "timeout_secs"};
constexpr Signature kFrom{"subscribe_from", "_RustBus", kFromParams, 2};

PyObject* subscribe_from(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return entry([&] {
    const Args a = bind(kFrom, args, nargs, kwnames);
    const Hold hold(self, Borrow::Shared);
    const std::string_view topic = required(a, 0, as_text);
    const uint64_t cursor = required(a, 1, as_start_cursor);
    const double secs = with_default(a, 2, as_seconds, 30.0);
    const Duration timeout = duration_from_secs(secs);
    return make_subscription(ok(
        without_gil([&] { return bus_of(self).subscribe_from_timeout(topic, cursor, timeout); })));
  });
}

constexpr const char* kWaitParams[] = {"topic", "n", "timeout_secs"};
constexpr Signature kWait{"wait_for_subscribers", "_RustBus", kWaitParams, 1};

PyObject* wait_for_subscribers(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return entry([&] {
    const Args a = bind(kWait, args, nargs, kwnames);
    const Hold hold(self, Borrow::Exclusive);
    const std::string_view topic = required(a, 0, as_text);
    const uint64_t n = with_default(a, 1, as_u64, uint64_t{1});
    const double secs = with_default(a, 2, as_seconds, 30.0);
    const Duration timeout = duration_from_secs(secs);
    ok(without_gil([&] { return bus_of(self).wait_for_subscribers(topic, n, timeout); }));
    return none();
  });
}

constexpr const char* kStatsParams[] = {"topic"};
constexpr Signature kStats{"stats", "_RustBus", kStatsParams, 1};

PyObject* stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    const Args a = bind(kStats, args, nargs, kwnames);
    const Hold hold(self, Borrow::Shared);
    const std::string_view topic = required(a, 0, as_text);
    std::optional<TopicStats> snapshot = bus_of(self).stats(topic);
    if (!snapshot) return none();
    return make_topic_stats(std::move(*snapshot));
  });
}

constexpr const char* kSlowParams[] = {"topic", "threshold"};
constexpr Signature kSlow{"slow_subscribers", "_RustBus", kSlowParams, 2};

PyObject* slow_subscribers(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return entry([&] {
    const Args a = bind(kSlow, args, nargs, kwnames);
    const Hold hold(self, Borrow::Shared);
    const std::string_view topic = required(a, 0, as_text);
    const uint64_t threshold = required(a, 1, as_u64);
    return pairs_to_python(bus_of(self).slow_subscribers(topic, threshold));
  });
}

constexpr const char* kCleanParams[] = {"topic"};
constexpr Signature kClean{"clean_topic", "_RustBus", kCleanParams, 1};

// The lock stays held while the topic's directory tree is removed.
PyObject* clean_topic(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    const Args a = bind(kClean, args, nargs, kwnames);
    const Hold hold(self, Borrow::Exclusive);
    const std::string_view topic = required(a, 0, as_text);
    ok(bus_of(self).clean_topic(topic));
    return none();
  });
}

constexpr char kPublishDoc[] =
    "publish($self, topic, data)\n"
    "--\n"
    "\n"
    "Publish one bytes payload to the topic.\n"
    "\n"
    "Raises BusFullError when the ring is full under the default \"error\" policy. Releases\n"
    "the interpreter lock: the wake-up step can block briefly while a subscriber's socket\n"
    "buffer is full, and holding the lock then would deadlock against a Python subscriber\n"
    "thread of this process that is trying to drain it.";

constexpr char kPublishManyDoc[] =
    "publish_many($self, topic, payloads)\n"
    "--\n"
    "\n"
    "Publish a list of bytes payloads in one call, with one wake-up send per connected\n"
    "subscriber whatever the batch size.\n"
    "\n"
    "Returns the number of messages written. Under the \"error\" policy it can be less than\n"
    "the number given when the ring fills during the batch, so that the caller can retry the\n"
    "rest. MessageTooLargeError and WalError can be raised during a batch. The payloads are\n"
    "read in place from the bytes objects while the interpreter lock is held, with no\n"
    "allocation per payload.";

constexpr char kTopicDoc[] =
    "topic($self, name)\n"
    "--\n"
    "\n"
    "Return a TopicPublisher for the topic: a prepared handle for tight publish loops that\n"
    "skips the per-call topic lookup and text conversion.\n"
    "\n"
    "The handle takes over publishing the topic: it adopts this bus's cached publisher or\n"
    "creates one. Afterwards publish and publish_many on this bus for the same topic raise\n"
    "AlreadyPublishingError.";

constexpr char kSubscribeDoc[] =
    "subscribe($self, topic, timeout_secs=30.0)\n"
    "--\n"
    "\n"
    "Subscribe to the topic, waiting up to timeout_secs seconds for its publisher; raises\n"
    "ConnectTimeoutError when the time-out passes first. Releases the interpreter lock while\n"
    "waiting for the publisher.";

constexpr char kSubscribeWithHistoryDoc[] =
    "subscribe_with_history($self, topic, n_messages_back, timeout_secs=30.0)\n"
    "--\n"
    "\n"
    "Subscribe starting n_messages_back messages behind the current tail, so that recent\n"
    "history is received first. Releases the interpreter lock while waiting for the\n"
    "publisher.";

constexpr char kSubscribeFromDoc[] =
    "subscribe_from($self, topic, cursor, timeout_secs=30.0)\n"
    "--\n"
    "\n"
    "Subscribe starting at an explicit cursor, replayed from the write-ahead log when the\n"
    "ring no longer holds it; raises CursorTooOldError when that cursor can no longer be\n"
    "delivered. Releases the interpreter lock while waiting for the publisher.";

constexpr char kWaitDoc[] =
    "wait_for_subscribers($self, topic, n=1, timeout_secs=30.0)\n"
    "--\n"
    "\n"
    "Block until n subscribers are connected to the topic; raises ConnectTimeoutError when\n"
    "the time-out passes first. Releases the interpreter lock while polling.";

constexpr char kStatsDoc[] =
    "stats($self, topic)\n"
    "--\n"
    "\n"
    "Return a TopicStats snapshot of the topic, or None when this bus holds no publisher for\n"
    "it.";

constexpr char kSlowDoc[] =
    "slow_subscribers($self, topic, threshold)\n"
    "--\n"
    "\n"
    "Return (cursor_idx, lag) tuples for the topic's subscribers whose lag is at least\n"
    "threshold messages. The list is empty when no subscriber is behind or this bus has no\n"
    "publisher for the topic.";

constexpr char kCleanDoc[] =
    "clean_topic($self, topic)\n"
    "--\n"
    "\n"
    "Remove all on-disk state of the topic; raises AlreadyPublishingError when a publisher is\n"
    "active. Meant for test set-up and development tools.";

PyMethodDef kMethods[] = {
    {"publish", as_method(publish), METH_FASTCALL | METH_KEYWORDS, kPublishDoc},
    {"publish_many", as_method(publish_many), METH_FASTCALL | METH_KEYWORDS, kPublishManyDoc},
    {"topic", as_method(topic), METH_FASTCALL | METH_KEYWORDS, kTopicDoc},
    {"subscribe", as_method(subscribe), METH_FASTCALL | METH_KEYWORDS, kSubscribeDoc},
    {"subscribe_with_history", as_method(subscribe_with_history), METH_FASTCALL | METH_KEYWORDS,
     kSubscribeWithHistoryDoc},
    {"subscribe_from", as_method(subscribe_from), METH_FASTCALL | METH_KEYWORDS, kSubscribeFromDoc},
    {"wait_for_subscribers", as_method(wait_for_subscribers), METH_FASTCALL | METH_KEYWORDS,
     kWaitDoc},
    {"stats", as_method(stats), METH_FASTCALL | METH_KEYWORDS, kStatsDoc},
    {"slow_subscribers", as_method(slow_subscribers), METH_FASTCALL | METH_KEYWORDS, kSlowDoc},
    {"clean_topic", as_method(clean_topic), METH_FASTCALL | METH_KEYWORDS, kCleanDoc},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char kDoc[] =
    "_RustBus(name, *, base_dir=None, capacity=None, slot_size=None, max_subscribers=None, "
    "backpressure=None, wal_enabled=None)\n"
    "--\n"
    "\n"
    "The low-level bus: publishers and subscriptions for the topics of one named bus.\n"
    "\n"
    "Prefer the package's kavri.Bus, which wraps this class and adds asynchronous use and the\n"
    "context-manager protocol.";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(bus_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<PyBus>)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

// Final (no Py_TPFLAGS_BASETYPE), no instance dictionary, no weak references.
PyType_Spec kSpec = {
    "kavri._kavri._RustBus", sizeof(Object<PyBus>), 0, Py_TPFLAGS_DEFAULT, kSlots,
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* bus_type() { return type_once(g_type, kSpec); }

}  // namespace kavri::py
