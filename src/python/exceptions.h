#pragma once

// The module's exception classes and the one mapping from a core Error to a Python exception.
//
// Every class is created once per process, on first use, and kept for the life of the
// process; all functions here need the interpreter lock.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>

#include "error.h"

namespace kavri::py {

// The seven classes, in registration order.
enum class ExceptionClass {
  BusFull,
  MessageTooLarge,
  ConnectTimeout,
  TooManySubscribers,
  AlreadyPublishing,
  CursorTooOld,
  Wal,
};

// The class object, borrowed. A creation failure is the internal failure
// "Failed to initialize new exception type.".
PyObject* exception_class(ExceptionClass which);

// Adds the seven classes to `module` in order (and to its __all__). Throws PythonError.
void register_exceptions(PyObject* module);

// A Python exception ready to be raised: its class (borrowed, lives for the process) and its
// one argument.
struct PendingException {
  PyObject* type;
  std::string message;

  // Sets it as the current exception: the class called with the message alone, so errno,
  // strerror and filename of an OSError stay None.
  void raise() const;
};

PendingException kavri_err(Error error);

// Sets PanicException (BaseException's subclass for internal failures, not in the module's
// namespace) with `message`.
void set_panic(std::string_view message) noexcept;

}  // namespace kavri::py
