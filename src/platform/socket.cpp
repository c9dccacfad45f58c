#include "platform/socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <limits>

namespace kavri::platform {

namespace {

#ifdef __APPLE__
// macOS suppresses the signal per socket (SO_NOSIGPIPE, set on every socket we create or
// accept); older SDKs lack MSG_NOSIGNAL.
constexpr int kSendFlags = 0;
#else
constexpr int kSendFlags = MSG_NOSIGNAL;
#endif

// listen() clamps the backlog to the kernel's own maximum (net.core.somaxconn on Linux,
// kern.ipc.somaxconn on macOS), so asking for the largest int gets the system's largest.
constexpr int kListenBacklog = INT_MAX;

std::unexpected<IoError> write_zero() {
  return std::unexpected(IoError::fixed(IoErrorKind::WriteZero, "failed to write whole buffer"));
}

std::unexpected<IoError> unexpected_eof() {
  return std::unexpected(IoError::fixed(IoErrorKind::UnexpectedEof, "failed to fill whole buffer"));
}

struct UnixAddress {
  sockaddr_un addr;
  socklen_t len;
};

IoResult<UnixAddress> unix_address(const std::filesystem::path& path) {
  if (auto ok = check_socket_path(path); !ok) return std::unexpected(ok.error());
  UnixAddress a{};
  a.addr.sun_family = AF_UNIX;
  const std::string& bytes = path.native();
  std::memcpy(a.addr.sun_path, bytes.data(), bytes.size());
  // The terminating NUL is part of the address: sun_path was zeroed and the check above left
  // room for it.
  a.len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + bytes.size() + 1);
  return a;
}

[[maybe_unused]] IoResult<void> suppress_sigpipe([[maybe_unused]] int fd) {
#ifdef __APPLE__
  int one = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one) != 0) return last_os_error();
#endif
  return {};
}

IoResult<Fd> new_stream_socket(bool nonblocking) {
#ifdef __APPLE__
  Fd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
  if (!fd.valid()) return last_os_error();
  if (::fcntl(fd.get(), F_SETFD, FD_CLOEXEC) != 0) return last_os_error();
  if (nonblocking) {
    if (auto ok = set_nonblocking(fd.get(), true); !ok) return std::unexpected(ok.error());
  }
  if (auto ok = suppress_sigpipe(fd.get()); !ok) return std::unexpected(ok.error());
  return fd;
#else
  Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0));
  if (!fd.valid()) return last_os_error();
  return fd;
#endif
}

// Milliseconds for poll(): the remaining time rounded up, so that a poll that times out has
// reached the deadline; limited to what poll() takes (the caller polls again when a wait of
// that limit ends before its deadline).
int poll_timeout_ms(Duration remaining) {
  constexpr uint64_t kMax = static_cast<uint64_t>(INT_MAX);
  if (remaining.secs >= kMax / 1000) return INT_MAX;
  uint64_t ms = remaining.secs * 1000 + (remaining.nanos + 999'999) / 1'000'000;
  return static_cast<int>(ms < kMax ? ms : kMax);
}

}  // namespace

IoResult<void> check_socket_path(const std::filesystem::path& path) {
  const std::string& bytes = path.native();
  // An empty path would bind to an autobound abstract name on Linux; treat it as the missing
  // file it names.
  if (bytes.empty()) return std::unexpected(IoError::from_errno(ENOENT));
  if (bytes.find('\0') != std::string::npos) {
    return std::unexpected(
        IoError::fixed(IoErrorKind::InvalidInput, "paths must not contain interior null bytes"));
  }
  if (bytes.size() >= sizeof(sockaddr_un{}.sun_path)) {
    return std::unexpected(
        IoError::fixed(IoErrorKind::InvalidInput, "path must be shorter than SUN_LEN"));
  }
  return {};
}

IoResult<Fd> listen_unix(const std::filesystem::path& path) {
  auto addr = unix_address(path);
  if (!addr) return std::unexpected(addr.error());
  auto fd = new_stream_socket(/*nonblocking=*/true);
  if (!fd) return fd;
  if (::bind(fd->get(), reinterpret_cast<const sockaddr*>(&addr->addr), addr->len) != 0) {
    return last_os_error();
  }
  if (::listen(fd->get(), kListenBacklog) != 0) return last_os_error();
  return fd;
}

IoResult<bool> has_pending_connection(int listener) {
  pollfd p{.fd = listener, .events = POLLIN, .revents = 0};
  for (;;) {
    int rc = ::poll(&p, 1, 0);
    if (rc >= 0) return rc > 0 && (p.revents & POLLIN) != 0;
    // A zero time-out poll fails with EINTR only when a signal was already pending; the
    // retry runs after its handler and cannot wait.
    if (errno != EINTR) return last_os_error();
  }
}

IoResult<Fd> accept_connection(int listener) {
#ifdef __APPLE__
  Fd fd(::accept(listener, nullptr, nullptr));
  if (!fd.valid()) return last_os_error();
  if (::fcntl(fd.get(), F_SETFD, FD_CLOEXEC) != 0) return last_os_error();
  // BSD sockets inherit the listener's O_NONBLOCK.
  if (auto ok = set_nonblocking(fd.get(), false); !ok) return std::unexpected(ok.error());
  (void)suppress_sigpipe(fd.get());
  return fd;
#else
  // accept4 does not inherit the listener's O_NONBLOCK: the connection is blocking.
  Fd fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
  if (!fd.valid()) return last_os_error();
  return fd;
#endif
}

IoResult<Fd> connect_unix(const std::filesystem::path& path) {
  auto addr = unix_address(path);
  if (!addr) return std::unexpected(addr.error());
  // Connected non-blocking so that a full listen queue fails at once instead of sleeping
  // past the caller's deadline; a Unix-domain connect either completes or fails right away.
  auto fd = new_stream_socket(/*nonblocking=*/true);
  if (!fd) return fd;
  if (::connect(fd->get(), reinterpret_cast<const sockaddr*>(&addr->addr), addr->len) != 0) {
    return last_os_error();
  }
  if (auto ok = set_nonblocking(fd->get(), false); !ok) return std::unexpected(ok.error());
  return fd;
}

IoResult<void> set_nonblocking(int fd, bool nonblocking) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return last_os_error();
  int wanted = nonblocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (wanted != flags && ::fcntl(fd, F_SETFL, wanted) != 0) return last_os_error();
  return {};
}

IoResult<void> send_all(int fd, std::span<const std::byte> buf) {
  while (!buf.empty()) {
    ssize_t n = ::send(fd, buf.data(), buf.size(), kSendFlags);
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    if (n == 0) return write_zero();
    buf = buf.subspan(static_cast<size_t>(n));
  }
  return {};
}

IoResult<ByteSend> send_byte_nonblocking(int fd, std::byte value) {
  ssize_t n = ::send(fd, &value, 1, kSendFlags | MSG_DONTWAIT);
  if (n == 1) return ByteSend::Sent;
  if (n == 0) return write_zero();
  if (errno == EAGAIN || errno == EWOULDBLOCK) return ByteSend::BufferFull;
  return last_os_error();
}

IoResult<void> recv_exact(int fd, std::span<std::byte> buf) {
  while (!buf.empty()) {
    ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    if (n == 0) return unexpected_eof();
    buf = buf.subspan(static_cast<size_t>(n));
  }
  return {};
}

IoResult<void> recv_exact_until(int fd, std::span<std::byte> buf, Instant deadline) {
  while (!buf.empty()) {
    // Take what is already there first: the common case costs no poll.
    ssize_t n = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n > 0) {
      buf = buf.subspan(static_cast<size_t>(n));
      continue;
    }
    if (n == 0) return unexpected_eof();
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return last_os_error();
    // Nothing waiting. Each turn recomputes the remaining time from the clock, so neither an
    // interruption nor poll's millisecond limit stretches the wait past the deadline.
    for (;;) {
      Instant now = Instant::now();
      if (now >= deadline) return std::unexpected(IoError::from_errno(EAGAIN));
      pollfd p{.fd = fd, .events = POLLIN, .revents = 0};
      int rc = ::poll(&p, 1, poll_timeout_ms(deadline.saturating_duration_since(now)));
      // Readable, hung up or in error: the next receive tells which.
      if (rc > 0) break;
      if (rc < 0 && errno != EINTR) return last_os_error();
    }
  }
  return {};
}

IoResult<ByteReceive> recv_byte_nonblocking(int fd) {
  std::byte b;
  ssize_t n = ::recv(fd, &b, 1, MSG_DONTWAIT);
  if (n > 0) return ByteReceive::Byte;
  if (n == 0) return ByteReceive::EndOfStream;
  if (errno == EAGAIN || errno == EWOULDBLOCK) return ByteReceive::WouldBlock;
  return last_os_error();
}

IoResult<void> set_receive_timeout(int fd, Duration timeout) {
  timeval tv{};
  constexpr uint64_t kMaxSecs = static_cast<uint64_t>(std::numeric_limits<time_t>::max());
  if (timeout.secs >= kMaxSecs) {
    tv.tv_sec = std::numeric_limits<time_t>::max();
    tv.tv_usec = 999'999;
  } else {
    // Rounded up: a short non-zero time-out must not become 0, which means "none".
    uint64_t usec = (timeout.nanos + 999u) / 1000u;
    uint64_t secs = timeout.secs;
    if (usec == 1'000'000) {
      secs += 1;
      usec = 0;
    }
    tv.tv_sec = static_cast<time_t>(secs);
    tv.tv_usec = static_cast<suseconds_t>(usec);
  }
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return last_os_error();
  return {};
}

IoResult<void> clear_receive_timeout(int fd) { return set_receive_timeout(fd, Duration{}); }

}  // namespace kavri::platform
