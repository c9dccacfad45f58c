// The receives into a caller's buffer: recv_into, recv_timeout_into, try_recv_into and
// recv_into_buffer.
//
// The caller's buffer is written only with the interpreter lock held: by the core's copy out of
// a ring slot (try_receive_one_into_slice) and by the copy out of recv_buf. Without the lock
// the calls only wait (for a wake-up byte, or for the log during a replay) or, for the first
// message of recv_into_buffer, fill recv_buf. The view is held across those waits, so the
// exporter cannot resize or free the memory meanwhile.

#include <fmt/format.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

#include "internal_failure.h"
#include "platform/clock.h"
#include "python/frame.h"
#include "python/subscription_internal.h"
#include "subscriber.h"

namespace kavri::py {

namespace {

// "B" or "c", alone or after one of "@", "=", "<" (native order on this little-endian
// machine). A missing format means "B".
bool is_unsigned_byte_format(const char* format) {
  if (format == nullptr) return true;
  std::string_view f(format);
  if (!f.empty() && (f.front() == '@' || f.front() == '=' || f.front() == '<')) f.remove_prefix(1);
  return f == "B" || f == "c";
}

// A writable, C-contiguous view of one-byte unsigned items, released (with the interpreter lock
// held) when this value is destroyed. Taken once per call, after the arguments are converted.
class WritableView {
 public:
  explicit WritableView(PyObject* object) {
    // Writability is not requested, so that a read-only exporter answers and is refused with
    // our own message below.
    if (PyObject_GetBuffer(object, &view_, PyBUF_FULL_RO) < 0) fail();
    const char* refusal = nullptr;
    PyObject* type = PyExc_BufferError;
    if (view_.shape == nullptr) {
      refusal = "shape is null";
    } else if (view_.strides == nullptr) {
      refusal = "strides is null";
    } else if (view_.itemsize != 1 || !is_unsigned_byte_format(view_.format)) {
      refusal = "buffer contents are not compatible with u8";
    } else if (view_.readonly) {
      type = PyExc_TypeError;
      refusal = "recv_into requires a writable buffer (got read-only)";
    } else if (!PyBuffer_IsContiguous(&view_, 'C')) {
      type = PyExc_TypeError;
      refusal = "recv_into requires a C-contiguous buffer";
    }
    if (refusal != nullptr) {
      PyBuffer_Release(&view_);
      fail(type, refusal);
    }
  }
  WritableView(const WritableView&) = delete;
  WritableView& operator=(const WritableView&) = delete;
  ~WritableView() { PyBuffer_Release(&view_); }

  std::span<std::byte> bytes() const {
    return {static_cast<std::byte*>(view_.buf), static_cast<size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
};

// While a log replay is pending the next message comes from the log, which signals nothing on
// the socket (and the arm step reports data there at once): the wait is a pause between reads
// of the log, not a wait for a byte.
void pause_for_replay(Duration at_most) {
  without_gil([&] { platform::sleep_for(std::min(Subscriber::REPLAY_RETRY_DELAY, at_most)); });
}

constexpr Duration kForever{UINT64_MAX, 0};

constexpr const char* kBufParams[] = {"buf"};
constexpr Signature kRecvInto{"recv_into", "Subscription", kBufParams, 1};
constexpr const char* kBufTimeoutParams[] = {"buf", "timeout_secs"};
constexpr Signature kRecvTimeoutInto{"recv_timeout_into", "Subscription", kBufTimeoutParams, 1};
constexpr Signature kTryRecvInto{"try_recv_into", "Subscription", kBufParams, 1};
constexpr const char* kBufferParams[] = {"buf", "payload_size", "timeout_secs"};
constexpr Signature kRecvIntoBuffer{"recv_into_buffer", "Subscription", kBufferParams, 2};

}  // namespace

PyObject* recv_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    const Args a = bind(kRecvInto, args, nargs, kwnames);
    const Hold hold(self, Borrow::Exclusive);
    const WritableView view(a[0]);
    Subscriber& subscriber = *subscription_of(self).subscriber;
    for (;;) {
      const std::optional<size_t> got = ok(subscriber.try_receive_one_into_slice(view.bytes()));
      if (got) return to_python(uint64_t{*got});
      if (subscriber.replaying()) {
        pause_for_replay(kForever);
        continue;
      }
      // True means woken or data announced, false cannot happen without a limit: either way
      // the next attempt decides.
      ok(without_gil([&] { return subscriber.wait_readable(-1); }));
    }
  });
}

PyObject* recv_timeout_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return entry([&] {
    const Args a = bind(kRecvTimeoutInto, args, nargs, kwnames);
    const Hold hold(self, Borrow::Exclusive);
    const double secs = with_default(a, 1, as_seconds, 1.0);
    const WritableView view(a[0]);
    const Duration timeout = duration_from_secs(secs);
    const std::optional<Instant> deadline = Instant::now().checked_add(timeout);
    if (!deadline) internal_failure("overflow when adding duration to instant");
    Subscriber& subscriber = *subscription_of(self).subscriber;
    for (;;) {
      const std::optional<size_t> got = ok(subscriber.try_receive_one_into_slice(view.bytes()));
      if (got) return to_python(uint64_t{*got});
      const Duration remaining = deadline->saturating_duration_since(Instant::now());
      // Whole milliseconds, rounded down: less than one left is a time-out, not a last wait.
      const uint64_t ms = std::min<uint64_t>(remaining.as_millis_saturating(), INT32_MAX);
      if (ms == 0) return none();
      if (subscriber.replaying()) {
        pause_for_replay(remaining);
        continue;
      }
      const bool woken =
          ok(without_gil([&] { return subscriber.wait_readable(static_cast<int32_t>(ms)); }));
      // A wait that reached its limit ends the call, unless the limit was only the cap on one
      // wait and the deadline is still a millisecond or more away.
      if (!woken &&
          deadline->saturating_duration_since(Instant::now()).as_millis_saturating() == 0) {
        return none();
      }
    }
  });
}

// One attempt with the lock held throughout: a single copy from the slot into `buf`.
PyObject* try_recv_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return entry([&] {
    const Args a = bind(kTryRecvInto, args, nargs, kwnames);
    const Hold hold(self, Borrow::Exclusive);
    const WritableView view(a[0]);
    Subscriber& subscriber = *subscription_of(self).subscriber;
    const std::optional<size_t> got = ok(subscriber.try_receive_one_into_slice(view.bytes()));
    return got ? to_python(uint64_t{*got}) : none();
  });
}

PyObject* recv_into_buffer(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return entry([&] {
    const Args a = bind(kRecvIntoBuffer, args, nargs, kwnames);
    const Hold hold(self, Borrow::Exclusive);
    const uint64_t payload_size = required(a, 1, as_u64);
    const double secs = with_default(a, 2, as_seconds, 1.0);
    if (payload_size == 0) fail(PyExc_ValueError, "payload_size must be > 0");
    const WritableView view(a[0]);
    const std::span<std::byte> buf = view.bytes();
    const uint64_t room = buf.size() / payload_size;
    // No room: nothing is consumed and the time-out is not looked at.
    if (room == 0) return to_python(uint64_t{0});

    const Duration timeout = duration_from_secs(secs);
    PySubscription& s = subscription_of(self);
    const bool got =
        ok(without_gil([&] { return s.subscriber->receive_timeout_into(timeout, s.recv_buf); }));
    if (!got) return to_python(uint64_t{0});
    if (s.recv_buf.size() != payload_size) {
      fail(PyExc_ValueError, fmt::format("payload at index 0 is {} bytes; payload_size is {}",
                                         s.recv_buf.size(), payload_size));
    }
    std::memcpy(buf.data(), s.recv_buf.data(), payload_size);

    uint64_t count = 1;
    while (count < room) {
      const std::span<std::byte> chunk = buf.subspan(count * payload_size, payload_size);
      Result<std::optional<size_t>> next = s.subscriber->try_receive_one_into_slice(chunk);
      if (!next) {
        if (std::holds_alternative<err::MessageTooLarge>(next.error())) {
          fail(PyExc_ValueError,
               fmt::format("payload at index {} exceeds payload_size ({})", count, payload_size));
        }
        raise_error(std::move(next.error()));
      }
      if (!*next) break;
      if (**next != payload_size) {
        fail(PyExc_ValueError, fmt::format("payload at index {} is {} bytes; payload_size is {}",
                                           count, **next, payload_size));
      }
      ++count;
    }
    return to_python(count);
  });
}

const char kRecvIntoDoc[] =
    "recv_into($self, buf)\n"
    "--\n"
    "\n"
    "Block until the next message, write it directly into ``buf`` and return the number of\n"
    "bytes written.\n"
    "\n"
    "``buf`` is any writable, C-contiguous bytes-like object (``bytearray``, a writable\n"
    "``memoryview``, an unsigned-byte array); one buffer serves a whole receive loop with no\n"
    "allocation per message. Raises ``MessageTooLargeError`` when the message is larger than\n"
    "``buf`` (the message is lost); a buffer of :attr:`max_payload_size` bytes prevents it. A\n"
    "publisher disconnect raises as for :meth:`recv`. Releases the GIL only while waiting.";

const char kRecvTimeoutIntoDoc[] =
    "recv_timeout_into($self, buf, timeout_secs=1.0)\n"
    "--\n"
    "\n"
    "Like :meth:`recv_into`, but gives up after ``timeout_secs`` and returns ``None`` on\n"
    "timeout.";

const char kTryRecvIntoDoc[] =
    "try_recv_into($self, buf)\n"
    "--\n"
    "\n"
    "Non-blocking :meth:`recv_into`: returns ``None`` at once when no message is ready.\n"
    "\n"
    "Keeps the GIL throughout; a message costs a single copy from its ring slot into ``buf``.";

const char kRecvIntoBufferDoc[] =
    "recv_into_buffer($self, buf, payload_size, timeout_secs=1.0)\n"
    "--\n"
    "\n"
    "Drain up to ``len(buf) // payload_size`` messages into consecutive chunks of ``buf`` and\n"
    "return how many were written.\n"
    "\n"
    "Every payload must be exactly ``payload_size`` bytes; a mismatch raises ``ValueError``\n"
    "(the message is consumed). Blocks up to ``timeout_secs`` for the first message with the\n"
    "GIL released, then drains the rest without blocking with the GIL held. Returns 0 on\n"
    "timeout. Bytes after the last chunk written are left as they were.";

}  // namespace kavri::py
