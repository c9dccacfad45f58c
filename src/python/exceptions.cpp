#include "python/exceptions.h"

#include <fmt/format.h>

#include <array>
#include <type_traits>
#include <variant>

#include "internal_failure.h"
#include "python/frame.h"
#include "python/module.h"

namespace kavri::py {

namespace {

struct ClassInfo {
  const char* attribute;
  const char* full_name;
  PyObject* const* base;  // address of the interpreter's base class object
};

// Registration order.
const std::array<ClassInfo, 7> kClasses = {{
    {"BusFullError", "kavri.BusFullError", &PyExc_Exception},
    {"MessageTooLargeError", "kavri.MessageTooLargeError", &PyExc_Exception},
    {"ConnectTimeoutError", "kavri.ConnectTimeoutError", &PyExc_Exception},
    {"TooManySubscribersError", "kavri.TooManySubscribersError", &PyExc_Exception},
    {"AlreadyPublishingError", "kavri.AlreadyPublishingError", &PyExc_Exception},
    {"CursorTooOldError", "kavri.CursorTooOldError", &PyExc_Exception},
    {"WalError", "kavri.WalError", &PyExc_OSError},
}};

// Created on first use and never released; guarded by the interpreter lock.
std::array<PyObject*, 7> g_classes{};
PyObject* g_panic = nullptr;

constexpr const char kPanicDoc[] =
    "Raised when the native code of kavri fails internally: a broken invariant or a value it\n"
    "cannot use. Like SystemExit, it derives from BaseException rather than Exception, so that\n"
    "it normally propagates to the top and ends the interpreter instead of being swallowed by\n"
    "an `except Exception` clause.";

// Creation runs interpreter code that could let another thread in; the first stored object
// wins and a later one is released.
PyObject* create_once(PyObject*& slot, const char* name, const char* doc, PyObject* base) {
  if (slot != nullptr) return slot;
  PyObject* made = PyErr_NewExceptionWithDoc(name, doc, base, nullptr);
  if (made == nullptr) return nullptr;
  if (slot == nullptr) {
    slot = made;
  } else {
    Py_DECREF(made);
  }
  return slot;
}

}  // namespace

PyObject* exception_class(ExceptionClass which) {
  const auto index = static_cast<size_t>(which);
  const ClassInfo& info = kClasses[index];
  PyObject* type = create_once(g_classes[index], info.full_name, nullptr, *info.base);
  if (type == nullptr) {
    PyErr_Clear();
    internal_failure("Failed to initialize new exception type.");
  }
  return type;
}

void register_exceptions(PyObject* module) {
  for (size_t i = 0; i < kClasses.size(); ++i) {
    add_to_module(module, kClasses[i].attribute, exception_class(static_cast<ExceptionClass>(i)));
  }
}

void PendingException::raise() const {
  // "replace" keeps a message with bytes that are not UTF-8 (a path, say) raisable.
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return;  // the decoder's MemoryError stands in its place
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

PendingException kavri_err(Error error) {
  return std::visit(
      [](auto&& e) -> PendingException {
        using E = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<E, err::Io>) {
          return {PyExc_OSError, e.error.text()};
        } else if constexpr (std::is_same_v<E, err::BusFull>) {
          return {exception_class(ExceptionClass::BusFull), "ring buffer full"};
        } else if constexpr (std::is_same_v<E, err::MessageTooLarge>) {
          return {exception_class(ExceptionClass::MessageTooLarge),
                  fmt::format("message is {} bytes; slot_size is {} bytes", e.size, e.max)};
        } else if constexpr (std::is_same_v<E, err::ConnectTimeout>) {
          return {exception_class(ExceptionClass::ConnectTimeout),
                  fmt::format("timed out waiting for '{}'", e.what)};
        } else if constexpr (std::is_same_v<E, err::TooManySubscribers>) {
          return {exception_class(ExceptionClass::TooManySubscribers),
                  fmt::format("subscriber limit for this topic is {}", e.max_subscribers)};
        } else if constexpr (std::is_same_v<E, err::AlreadyPublishing>) {
          return {exception_class(ExceptionClass::AlreadyPublishing),
                  fmt::format("a publisher is already active for topic '{}'", e.topic)};
        } else if constexpr (std::is_same_v<E, err::CursorTooOld>) {
          return {exception_class(ExceptionClass::CursorTooOld),
                  fmt::format("cursor {} is older than the oldest in-ring slot ({})", e.cursor,
                              e.oldest)};
        } else {
          static_assert(std::is_same_v<E, err::Wal>);
          return {exception_class(ExceptionClass::Wal), wal::message(e.error)};
        }
      },
      std::move(error));
}

void set_panic(std::string_view message) noexcept {
  PyObject* type = create_once(g_panic, "kavri.PanicException", kPanicDoc, PyExc_BaseException);
  if (type == nullptr) return;  // the creation's own error is raised instead
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

}  // namespace kavri::py
