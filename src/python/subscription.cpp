#include "python/subscription.h"

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "internal_failure.h"
#include "python/frame.h"
#include "python/subscription_internal.h"
#include "subscriber.h"

namespace kavri::py {

PySubscription& subscription_of(PyObject* self) { return core<PySubscription>(self); }

namespace {

Subscriber& subscriber_of(PyObject* self) { return *subscription_of(self).subscriber; }

// A new bytes object with a copy of `payload`.
PyObject* new_bytes(std::span<const std::byte> payload) {
  PyObject* made = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(payload.data()),
                                             static_cast<Py_ssize_t>(payload.size()));
  if (made == nullptr) {
    PyErr_Clear();
    internal_failure("PyBytes allocation cannot fail for a slice we already hold");
  }
  return made;
}

// Appends a new bytes object with a copy of `payload` to `list`.
void append_bytes(PyObject* list, std::span<const std::byte> payload) {
  Ref item(new_bytes(payload));
  if (PyList_Append(list, item.get()) < 0) result(nullptr);
}

// Unexpected end of stream ("failed to fill whole buffer", "publisher restarted (generation
// changed)") and a reset connection end an iteration quietly.
bool ends_iteration(const Error& error) {
  const auto* io = std::get_if<err::Io>(&error);
  return io != nullptr && (io->error.kind() == IoErrorKind::UnexpectedEof ||
                           io->error.kind() == IoErrorKind::ConnectionReset);
}

// ---- Receiving into new bytes objects -----------------------------------------------------

// The wait, replay pauses and retried interrupted reads included, runs without the lock; the
// exclusive hold keeps every other call off recv_buf and the subscriber meanwhile.
PyObject* recv(PyObject* self, PyObject*) {
  return entry([&] {
    const Hold hold(self, Borrow::Exclusive);
    PySubscription& s = subscription_of(self);
    ok(without_gil([&] { return s.subscriber->receive_into(s.recv_buf); }));
    return new_bytes(s.recv_buf);
  });
}

constexpr const char* kRecvTimeoutParams[] = {"timeout_secs"};
constexpr Signature kRecvTimeout{"recv_timeout", "Subscription", kRecvTimeoutParams, 0};

PyObject* recv_timeout(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    const Args a = bind(kRecvTimeout, args, nargs, kwnames);
    const Hold hold(self, Borrow::Exclusive);
    const double secs = with_default(a, 0, as_seconds, 1.0);
    const Duration timeout = duration_from_secs(secs);
    PySubscription& s = subscription_of(self);
    const bool got =
        ok(without_gil([&] { return s.subscriber->receive_timeout_into(timeout, s.recv_buf); }));
    return got ? new_bytes(s.recv_buf) : none();
  });
}

// A ring read is a memory read, so the lock stays held; only a pending replay reads a file.
PyObject* try_recv(PyObject* self, PyObject*) {
  return entry([&] {
    const Hold hold(self, Borrow::Exclusive);
    PySubscription& s = subscription_of(self);
    return s.subscriber->try_receive_into(s.recv_buf) ? new_bytes(s.recv_buf) : none();
  });
}

constexpr const char* kRecvBatchParams[] = {"n", "timeout_secs"};
constexpr Signature kRecvBatch{"recv_batch", "Subscription", kRecvBatchParams, 1};

// One lock release per batch: the wait for the first message. The rest are drained with the
// lock held, each a copy from its slot into recv_buf and one bytes object.
PyObject* recv_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    const Args a = bind(kRecvBatch, args, nargs, kwnames);
    const Hold hold(self, Borrow::Exclusive);
    const uint64_t n = required(a, 0, as_u64);
    const double secs = with_default(a, 1, as_seconds, 1.0);
    Ref list(result(PyList_New(0)));
    // Nothing is received for n = 0, so the time-out is not looked at: even a negative one
    // returns the empty list.
    if (n == 0) return list.release();
    const Duration timeout = duration_from_secs(secs);
    PySubscription& s = subscription_of(self);
    const bool got =
        ok(without_gil([&] { return s.subscriber->receive_timeout_into(timeout, s.recv_buf); }));
    if (!got) return list.release();
    append_bytes(list.get(), s.recv_buf);
    for (uint64_t count = 1; count < n; ++count) {
      if (!s.subscriber->try_receive_into(s.recv_buf)) break;
      append_bytes(list.get(), s.recv_buf);
    }
    return list.release();
  });
}

// ---- Figures ------------------------------------------------------------------------------

PyObject* get_lag(PyObject* self, void*) {
  return entry([&] {
    const Hold hold(self, Borrow::Shared);
    return to_python(subscriber_of(self).lag());
  });
}

PyObject* get_cursor(PyObject* self, void*) {
  return entry([&] {
    const Hold hold(self, Borrow::Shared);
    return to_python(subscriber_of(self).cursor());
  });
}

PyObject* get_max_payload_size(PyObject* self, void*) {
  return entry([&] {
    const Hold hold(self, Borrow::Shared);
    return to_python(uint64_t{subscriber_of(self).slot_size()});
  });
}

// Registered as both fileno and socket_fileno: the wake-up channel is the handshake socket.
PyObject* fileno(PyObject* self, PyObject*) {
  return entry([&] {
    const Hold hold(self, Borrow::Shared);
    return result(PyLong_FromLong(subscriber_of(self).fileno()));
  });
}

// ---- The event-loop steps -----------------------------------------------------------------

// Shared memory only: no system call, no failure.
PyObject* arm_wakeup(PyObject* self, PyObject*) {
  return entry([&] {
    const Hold hold(self, Borrow::Exclusive);
    return to_python(subscriber_of(self).arm_wakeup());
  });
}

PyObject* drain_wakeup(PyObject* self, PyObject*) {
  return entry([&] {
    const Hold hold(self, Borrow::Exclusive);
    return to_python(ok(subscriber_of(self).drain_wakeup()));
  });
}

// The message arrives in a buffer of the core's own, freed once it is copied into bytes.
PyObject* poll_recv(PyObject* self, PyObject*) {
  return entry([&] {
    const Hold hold(self, Borrow::Exclusive);
    const std::optional<std::vector<std::byte>> got = ok(subscriber_of(self).poll_recv());
    return got ? new_bytes(*got) : none();
  });
}

// ---- Context manager and iteration --------------------------------------------------------

// Leaving a with block releases nothing: the subscription keeps its entry until destroyed.
constexpr const char* kExitParams[] = {"_exc_type", "_exc_val", "_exc_tb"};
constexpr Signature kExit{"__exit__", "Subscription", kExitParams, 0};

// The object is its own iterator, with the hold of __enter__.
PyObject* iter(PyObject* self) { return enter_self(self, nullptr); }

// As recv, but the end of the publisher's stream ends the iteration: NULL without an
// exception set.
PyObject* iternext(PyObject* self) {
  return entry([&]() -> PyObject* {
    const Hold hold(self, Borrow::Exclusive);
    PySubscription& s = subscription_of(self);
    Result<void> got = without_gil([&] { return s.subscriber->receive_into(s.recv_buf); });
    if (!got) {
      if (ends_iteration(got.error())) return nullptr;
      raise_error(std::move(got.error()));
    }
    return new_bytes(s.recv_buf);
  });
}

// ---- The type -----------------------------------------------------------------------------

constexpr char kRecvDoc[] =
    "recv($self)\n"
    "--\n"
    "\n"
    "Block until the next message.  Releases the GIL.";

constexpr char kRecvTimeoutDoc[] =
    "recv_timeout($self, timeout_secs=1.0)\n"
    "--\n"
    "\n"
    "Block up to ``timeout_secs`` for the next message.  Returns ``None`` on timeout.";

constexpr char kTryRecvDoc[] =
    "try_recv($self)\n"
    "--\n"
    "\n"
    "Non-blocking poll.  Returns ``None`` immediately if no message is ready.";

constexpr char kRecvBatchDoc[] =
    "recv_batch($self, n, timeout_secs=1.0)\n"
    "--\n"
    "\n"
    "Drain up to ``n`` messages into a list, saving the per-call overhead of single receives.\n"
    "\n"
    "Blocks up to ``timeout_secs`` for the first message with the GIL released, then drains\n"
    "the rest without blocking with the GIL held: a ring read is a memory read with no system\n"
    "call. ``recv_buf`` is reused for every message of the batch (one copy from the ring into\n"
    "it and one new ``bytes`` object per message). Returns an empty list on timeout.";

constexpr char kFilenoDoc[] =
    "fileno($self)\n"
    "--\n"
    "\n"
    "The descriptor of this subscriber's wake-up channel, as a plain Python int.\n"
    "\n"
    "Register it with an event loop's reader callback (asyncio's ``add_reader``) to wait for\n"
    "messages without a thread; see :meth:`arm_wakeup`.";

constexpr char kSocketFilenoDoc[] =
    "socket_fileno($self)\n"
    "--\n"
    "\n"
    "The descriptor of the handshake socket, for detecting disconnects.  On this system it\n"
    "equals :meth:`fileno`.";

constexpr char kArmWakeupDoc[] =
    "arm_wakeup($self)\n"
    "--\n"
    "\n"
    "Arm the wake-up flag before an event-loop wait; call it after a read found nothing.\n"
    "\n"
    "Returns ``True`` when a message became available while arming: read again at once and do\n"
    "not wait. Returns ``False`` when the flag is armed: wait until :meth:`fileno` is\n"
    "readable, which the publisher's next publish causes. Arming is required because the\n"
    "publisher only wakes subscribers whose flag is set.";

constexpr char kDrainWakeupDoc[] =
    "drain_wakeup($self)\n"
    "--\n"
    "\n"
    "Drain one pending wake-up unit so that the level-triggered descriptor stops signalling.\n"
    "\n"
    "Read the ring separately with :meth:`try_recv`. Returns ``True`` if a unit was drained.\n"
    "Raises ``OSError`` on publisher disconnect. Meant for the event loop's reader callback.";

constexpr char kPollRecvDoc[] =
    "poll_recv($self)\n"
    "--\n"
    "\n"
    "Drain one wake-up signal and try one ring read without blocking.\n"
    "\n"
    "Returns ``None`` if no wake-up was pending or the ring was empty; raises on publisher\n"
    "disconnect. Meant for the event loop's reader callback.";

constexpr char kEnterDoc[] =
    "__enter__($self)\n"
    "--\n"
    "\n";

constexpr char kExitDoc[] =
    "__exit__($self, _exc_type=None, _exc_val=None, _exc_tb=None)\n"
    "--\n"
    "\n";

constexpr char kLagDoc[] = "How many messages this subscriber is behind the producer.";
constexpr char kCursorDoc[] = "Current read cursor position.";
constexpr char kMaxPayloadSizeDoc[] =
    "The largest payload a single message can carry on this topic (the ring's fixed slot\n"
    "size).  A :meth:`recv_into` buffer of this size never rejects a message as too large.";

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"recv", recv, METH_NOARGS, kRecvDoc},
    {"recv_timeout", as_method(recv_timeout), kFast, kRecvTimeoutDoc},
    {"try_recv", try_recv, METH_NOARGS, kTryRecvDoc},
    {"recv_into", as_method(recv_into), kFast, kRecvIntoDoc},
    {"recv_timeout_into", as_method(recv_timeout_into), kFast, kRecvTimeoutIntoDoc},
    {"try_recv_into", as_method(try_recv_into), kFast, kTryRecvIntoDoc},
    {"recv_batch", as_method(recv_batch), kFast, kRecvBatchDoc},
    {"recv_into_buffer", as_method(recv_into_buffer), kFast, kRecvIntoBufferDoc},
    {"fileno", fileno, METH_NOARGS, kFilenoDoc},
    {"socket_fileno", fileno, METH_NOARGS, kSocketFilenoDoc},
    {"arm_wakeup", arm_wakeup, METH_NOARGS, kArmWakeupDoc},
    {"drain_wakeup", drain_wakeup, METH_NOARGS, kDrainWakeupDoc},
    {"poll_recv", poll_recv, METH_NOARGS, kPollRecvDoc},
    {"__enter__", enter_self, METH_NOARGS, kEnterDoc},
    {"__exit__", as_method(exit_releasing_nothing<kExit>), kFast, kExitDoc},
    {nullptr, nullptr, 0, nullptr},
};

// In the member table max_payload_size sits between try_recv_into and recv_batch, lag and
// cursor after recv_into_buffer; getters live in their own table.
PyGetSetDef kGetters[] = {
    {"max_payload_size", get_max_payload_size, nullptr, kMaxPayloadSizeDoc, nullptr},
    {"lag", get_lag, nullptr, kLagDoc, nullptr},
    {"cursor", get_cursor, nullptr, kCursorDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr char kDoc[] =
    "Active subscription to a topic.\n"
    "\n"
    "Supports synchronous use and the context-manager protocol::\n"
    "\n"
    "    with bus.subscribe(\"events\") as sub:\n"
    "        for msg in sub:\n"
    "            print(msg)\n"
    "\n"
    "For asyncio, use the package's asynchronous subscription wrapper.";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<PySubscription>)},
    {Py_tp_iter, reinterpret_cast<void*>(iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iternext)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetters},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

// Final (no Py_TPFLAGS_BASETYPE), no instance dictionary, no weak references.
PyType_Spec kSpec = {
    "kavri._kavri.Subscription", sizeof(Object<PySubscription>), 0, Py_TPFLAGS_DEFAULT, kSlots,
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* subscription_type() { return type_once(g_type, kSpec); }

PyObject* make_subscription(std::unique_ptr<Subscriber> subscriber) {
  return allocate_result(subscription_type, PySubscription{{}, std::move(subscriber)});
}

}  // namespace kavri::py
