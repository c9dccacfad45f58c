#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>

namespace kavri {

// The kinds that callers inspect; every other errno maps to Other and is passed through.
enum class IoErrorKind : uint8_t {
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  BrokenPipe,
  AlreadyExists,
  WouldBlock,
  InvalidInput,
  InvalidData,
  TimedOut,
  WriteZero,
  Interrupted,
  UnexpectedEof,
  AddrInUse,
  NotConnected,
  Other,
};

// A failed system operation: a kind plus either the OS error number or a fixed message of
// our own. Cheap to copy. A fixed message is a string literal, or a text formatted once and
// shared by every copy (for messages that carry a value, such as a magic number found).
class IoError {
 public:
  // The one place where an errno becomes an error value.
  static IoError from_errno(int errnum);
  static IoError fixed(IoErrorKind kind, const char* message) { return IoError(kind, 0, message); }
  static IoError formatted(IoErrorKind kind, std::string message);

  IoErrorKind kind() const { return kind_; }
  // 0 when the error carries a fixed message instead.
  int os_error() const { return errno_; }
  const char* fixed_message() const { return message_; }

  // "<strerror> (os error N)" or the fixed message alone.
  std::string text() const;

  // Equal kind, number and message text.
  friend bool operator==(const IoError& a, const IoError& b);

 private:
  IoError(IoErrorKind kind, int errnum, const char* message)
      : kind_(kind), errno_(errnum), message_(message) {}

  IoErrorKind kind_;
  int errno_;
  const char* message_;                       // nullptr for an OS error
  std::shared_ptr<const std::string> owned_;  // keeps a formatted message_ alive
};

template <class T>
using IoResult = std::expected<T, IoError>;

// The current errno as an error result; call right after the failing system call.
std::unexpected<IoError> last_os_error();

}  // namespace kavri
