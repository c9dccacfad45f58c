#include "python/topic_publisher.h"

#include <cstdint>
#include <memory>
#include <utility>

#include "publisher.h"
#include "python/frame.h"
#include "python/stats.h"

namespace kavri::py {

namespace {

// What a `TopicPublisher` object wraps. Destroying it destroys the publisher in its own
// order (ring, sockets, the log flushed and synced, and last the producer lock), on the
// thread that drops the last reference, with the interpreter lock held.
struct PyTopicPublisher {
  std::unique_ptr<Publisher> publisher;
};

Publisher& publisher_of(PyObject* self) { return *core<PyTopicPublisher>(self).publisher; }

constexpr const char* kPublishParams[] = {"data"};
constexpr Signature kPublish{"publish", "TopicPublisher", kPublishParams, 1};

// The payload is read in place from the bytes object, which the caller's reference keeps
// alive (and unchanged) while the lock is released.
PyObject* publish(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    const Args a = bind(kPublish, args, nargs, kwnames);
    const Hold hold(self, Borrow::Exclusive);
    const Payload data = required(a, 0, as_payload);
    ok(without_gil([&] { return publisher_of(self).publish(data); }));
    return none();
  });
}

constexpr const char* kPublishManyParams[] = {"payloads"};
constexpr Signature kPublishMany{"publish_many", "TopicPublisher", kPublishManyParams, 1};

// The lock stays held for the whole batch: the views point into bytes objects whose
// references the sequence holds, and those are dropped only after the core call.
PyObject* publish_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    const Args a = bind(kPublishMany, args, nargs, kwnames);
    const Hold hold(self, Borrow::Exclusive);
    const PayloadSequence payloads = required(a, 0, as_payload_sequence);
    const uint64_t written = ok(publisher_of(self).publish_many(payloads.views()));
    return to_python(written);
  });
}

constexpr const char* kWaitParams[] = {"n", "timeout_secs"};
constexpr Signature kWait{"wait_for_subscribers", "TopicPublisher", kWaitParams, 0};

PyObject* wait_for_subscribers(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return entry([&] {
    const Args a = bind(kWait, args, nargs, kwnames);
    const Hold hold(self, Borrow::Exclusive);
    const uint64_t n = with_default(a, 0, as_u64, uint64_t{1});
    const double secs = with_default(a, 1, as_seconds, 30.0);
    const Duration timeout = duration_from_secs(secs);
    ok(without_gil([&] { return publisher_of(self).wait_for_subscribers(n, timeout); }));
    return none();
  });
}

PyObject* stats(PyObject* self, PyObject*) {
  return entry([&] {
    const Hold hold(self, Borrow::Shared);
    return make_topic_stats(publisher_of(self).stats());
  });
}

// Leaving a with block releases nothing: the handle keeps publishing until it is destroyed.
constexpr const char* kExitParams[] = {"_exc_type", "_exc_val", "_exc_tb"};
constexpr Signature kExit{"__exit__", "TopicPublisher", kExitParams, 0};

constexpr char kPublishDoc[] =
    "publish($self, data)\n"
    "--\n"
    "\n"
    "Publish one bytes payload to this handle's topic.\n"
    "\n"
    "Raises BusFullError when the ring is full under the \"error\" backpressure policy.\n"
    "Releases the interpreter lock while publishing.";

constexpr char kPublishManyDoc[] =
    "publish_many($self, payloads)\n"
    "--\n"
    "\n"
    "Publish a list of bytes payloads in one call, with a single wake-up per subscriber.\n"
    "\n"
    "Mirrors _RustBus.publish_many without the topic argument. Returns the number of\n"
    "messages written, which under the \"error\" policy is less than the number given when\n"
    "the ring fills during the batch. Each payload is read in place, without a copy.";

constexpr char kWaitDoc[] =
    "wait_for_subscribers($self, n=1, timeout_secs=30.0)\n"
    "--\n"
    "\n"
    "Block until n subscribers are connected to this handle's topic; raises\n"
    "ConnectTimeoutError when the time-out passes first. Releases the interpreter lock\n"
    "while waiting.";

constexpr char kStatsDoc[] =
    "stats($self)\n"
    "--\n"
    "\n"
    "Return a TopicStats snapshot of this handle's topic.";

constexpr char kEnterDoc[] =
    "__enter__($self)\n"
    "--\n"
    "\n";

constexpr char kExitDoc[] =
    "__exit__($self, _exc_type=None, _exc_val=None, _exc_tb=None)\n"
    "--\n"
    "\n";

PyMethodDef kMethods[] = {
    {"publish", as_method(publish), METH_FASTCALL | METH_KEYWORDS, kPublishDoc},
    {"publish_many", as_method(publish_many), METH_FASTCALL | METH_KEYWORDS, kPublishManyDoc},
    {"wait_for_subscribers", as_method(wait_for_subscribers), METH_FASTCALL | METH_KEYWORDS,
     kWaitDoc},
    {"stats", stats, METH_NOARGS, kStatsDoc},
    {"__enter__", enter_self, METH_NOARGS, kEnterDoc},
    {"__exit__", as_method(exit_releasing_nothing<kExit>), METH_FASTCALL | METH_KEYWORDS, kExitDoc},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char kDoc[] =
    "A prepared publish handle for one topic, obtained from _RustBus.topic.\n"
    "\n"
    "Its publish path does no topic lookup and no string conversion. It holds the topic's\n"
    "producer lock for its whole lifetime; the lock is released when the handle is destroyed,\n"
    "not when a with block ends.";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<PyTopicPublisher>)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

// Final (no Py_TPFLAGS_BASETYPE), no instance dictionary, no weak references.
PyType_Spec kSpec = {
    "kavri._kavri.TopicPublisher", sizeof(Object<PyTopicPublisher>), 0, Py_TPFLAGS_DEFAULT, kSlots,
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* topic_publisher_type() { return type_once(g_type, kSpec); }

PyObject* make_topic_publisher(std::unique_ptr<Publisher> publisher) {
  return allocate_result(topic_publisher_type, PyTopicPublisher{std::move(publisher)});
}

}  // namespace kavri::py
