#pragma once

// Unix-domain stream sockets: the listener, connections, exact reads and writes, and the
// one-byte sends and receives of the wake-up protocol.
//
// Every socket is created close-on-exec. No send ever raises SIGPIPE: on Linux every send
// passes MSG_NOSIGNAL; on macOS the sockets carry SO_NOSIGPIPE. A vanished peer therefore
// shows up as an error (BrokenPipe, ConnectionReset), never as a signal.
//
// Descriptors are borrowed (`int fd`) unless a function returns an Fd, which the caller owns.
// Nothing here keeps state; the calls are as thread-safe as the descriptors they are given.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>

#include "platform/clock.h"
#include "platform/fd.h"
#include "platform/io_error.h"

namespace kavri::platform {

// The checks every socket path passes before bind or connect: an empty path is NotFound,
// a NUL byte is InvalidInput "paths must not contain interior null bytes", a path of
// sizeof(sockaddr_un::sun_path) bytes or more is InvalidInput "path must be shorter than
// SUN_LEN".
IoResult<void> check_socket_path(const std::filesystem::path& path);

// A listener bound to `path`, listening with the system's largest backlog, non-blocking and
// close-on-exec. Does not remove an existing file at `path` (bind then fails with AddrInUse).
IoResult<Fd> listen_unix(const std::filesystem::path& path);

// True when `listener` has a connection waiting to be accepted: one poll with a zero
// time-out, no other work. A connect() that has returned to its caller is already queued on
// the listener, so a false result never hides a completed connection attempt. After a true
// result, accept until WouldBlock to take every connection queued by then.
IoResult<bool> has_pending_connection(int listener);

// Accepts one connection from a non-blocking listener. The connection is close-on-exec, in
// blocking mode and has the broken-pipe signal suppressed. WouldBlock when nothing is
// pending. Not retried on EINTR.
IoResult<Fd> accept_connection(int listener);

// A connection to the listener at `path`, close-on-exec, in blocking mode, with the
// broken-pipe signal suppressed. The connect itself does not wait: a listener whose queue is
// full gives WouldBlock at once (a caller with a deadline retries), and a missing socket file
// or a listener that is gone gives NotFound or ConnectionRefused.
IoResult<Fd> connect_unix(const std::filesystem::path& path);

// Switches O_NONBLOCK on or off.
IoResult<void> set_nonblocking(int fd, bool nonblocking);

// Sends all of `buf`, continuing after partial sends and retrying EINTR. A send of 0 bytes
// is WriteZero "failed to write whole buffer".
IoResult<void> send_all(int fd, std::span<const std::byte> buf);

enum class ByteSend : uint8_t {
  Sent,
  // The peer's receive buffer is full. It then already holds unread bytes from earlier sends,
  // so for a wake-up nothing is lost.
  BufferFull,
};

// One send of one byte that never blocks, whatever the descriptor's mode (MSG_DONTWAIT).
// Any failure other than a full buffer (typically BrokenPipe or ConnectionReset: the peer
// has gone) is the error; a send of 0 bytes is WriteZero "failed to write whole buffer".
IoResult<ByteSend> send_byte_nonblocking(int fd, std::byte value);

// Fills `buf` exactly, continuing after partial receives and retrying EINTR. End of stream
// before the last byte is UnexpectedEof "failed to fill whole buffer". Blocks without limit
// on a blocking descriptor unless a receive time-out is set, whose expiry gives WouldBlock.
IoResult<void> recv_exact(int fd, std::span<std::byte> buf);

// As recv_exact, but never waits past `deadline` (monotonic), whatever the descriptor's mode
// and however often signals interrupt the wait: the wait is a poll() re-armed with the time
// that remains after each interruption, and each receive is non-blocking. When the deadline
// passes first the result is WouldBlock (the kind an expired SO_RCVTIMEO gives); the bytes
// received by then are consumed. A deadline already passed still takes bytes that are
// waiting.
IoResult<void> recv_exact_until(int fd, std::span<std::byte> buf, Instant deadline);

enum class ByteReceive : uint8_t {
  Byte,
  WouldBlock,
  EndOfStream,
};

// One receive of at most one byte that never blocks (MSG_DONTWAIT; the descriptor's mode is
// left alone). The byte, if any, is discarded. EINTR is not retried: it is the error.
IoResult<ByteReceive> recv_byte_nonblocking(int fd);

// SO_RCVTIMEO. A zero duration means no time-out; a non-zero duration below the option's
// microsecond resolution is rounded up to one microsecond (never to "none"), and a duration
// beyond what the option holds is clamped to the largest it does.
IoResult<void> set_receive_timeout(int fd, Duration timeout);
IoResult<void> clear_receive_timeout(int fd);

}  // namespace kavri::platform
