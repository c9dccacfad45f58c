#include "platform/io_error.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstring>

namespace kavri {

namespace {

IoErrorKind kind_of(int errnum) {
  switch (errnum) {
    case ENOENT:
      return IoErrorKind::NotFound;
    case EACCES:
    case EPERM:
      return IoErrorKind::PermissionDenied;
    case ECONNREFUSED:
      return IoErrorKind::ConnectionRefused;
    case ECONNRESET:
      return IoErrorKind::ConnectionReset;
    case EPIPE:
      return IoErrorKind::BrokenPipe;
    case EEXIST:
      return IoErrorKind::AlreadyExists;
    case EAGAIN:
      return IoErrorKind::WouldBlock;
    case EINVAL:
      return IoErrorKind::InvalidInput;
    case ETIMEDOUT:
      return IoErrorKind::TimedOut;
    case EINTR:
      return IoErrorKind::Interrupted;
    case EADDRINUSE:
      return IoErrorKind::AddrInUse;
    case ENOTCONN:
      return IoErrorKind::NotConnected;
    default:
      return IoErrorKind::Other;
  }
}

}  // namespace

IoError IoError::from_errno(int errnum) { return IoError(kind_of(errnum), errnum, nullptr); }

IoError IoError::formatted(IoErrorKind kind, std::string message) {
  auto owned = std::make_shared<const std::string>(std::move(message));
  IoError e(kind, 0, owned->c_str());
  e.owned_ = std::move(owned);
  return e;
}

bool operator==(const IoError& a, const IoError& b) {
  if (a.kind_ != b.kind_ || a.errno_ != b.errno_) return false;
  if (a.message_ == nullptr || b.message_ == nullptr) return a.message_ == b.message_;
  return std::strcmp(a.message_, b.message_) == 0;
}

std::string IoError::text() const {
  if (message_ != nullptr) return message_;
  char buf[256];
  // The GNU strerror_r may return a static string instead of filling buf.
  const char* description = strerror_r(errno_, buf, sizeof buf);
  return fmt::format("{} (os error {})", description, errno_);
}

std::unexpected<IoError> last_os_error() { return std::unexpected(IoError::from_errno(errno)); }

}  // namespace kavri
