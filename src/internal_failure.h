#pragma once

// A broken internal invariant, or a value the core cannot use, stops the current call with
// this exception. It is thrown only below the Python layer and caught only at its boundary,
// where it becomes PanicException; the object concerned stays usable.

#include <exception>
#include <string>
#include <utility>

namespace kavri {

class InternalFailure : public std::exception {
 public:
  explicit InternalFailure(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const { return message_; }

 private:
  std::string message_;
};

[[noreturn]] inline void internal_failure(std::string message) {
  throw InternalFailure(std::move(message));
}

}  // namespace kavri
