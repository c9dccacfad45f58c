#pragma once

#include <cstdint>
#include <expected>
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
// our own. Trivially copyable; the fixed message must be a string literal.
class IoError {
 public:
  // The one place where an errno becomes an error value.
  static IoError from_errno(int errnum);
  static IoError fixed(IoErrorKind kind, const char* message) { return IoError(kind, 0, message); }

  IoErrorKind kind() const { return kind_; }
  // 0 when the error carries a fixed message instead.
  int os_error() const { return errno_; }
  const char* fixed_message() const { return message_; }

  // "<strerror> (os error N)" or the fixed message alone.
  std::string text() const;

  friend bool operator==(const IoError&, const IoError&) = default;

 private:
  IoError(IoErrorKind kind, int errnum, const char* message)
      : kind_(kind), errno_(errnum), message_(message) {}

  IoErrorKind kind_;
  int errno_;
  const char* message_;
};

template <class T>
using IoResult = std::expected<T, IoError>;

// The current errno as an error result; call right after the failing system call.
std::unexpected<IoError> last_os_error();

}  // namespace kavri
