#include "handshake.h"

#include <atomic>

#include "platform/socket.h"
#include "ring.h"

namespace kavri {

std::array<std::byte, HANDSHAKE_LEN> encode_announcement(uint32_t cursor_idx) {
  return {std::byte(cursor_idx & 0xFF), std::byte((cursor_idx >> 8) & 0xFF),
          std::byte((cursor_idx >> 16) & 0xFF), std::byte((cursor_idx >> 24) & 0xFF)};
}

uint32_t decode_announcement(const std::array<std::byte, HANDSHAKE_LEN>& b) {
  return std::to_integer<uint32_t>(b[0]) | std::to_integer<uint32_t>(b[1]) << 8 |
         std::to_integer<uint32_t>(b[2]) << 16 | std::to_integer<uint32_t>(b[3]) << 24;
}

Result<void> send_announcement(int fd, uint32_t cursor_idx) {
  const auto bytes = encode_announcement(cursor_idx);
  if (auto ok = platform::send_all(fd, bytes); !ok) return io_error(ok.error());
  return {};
}

void announce_connection(const RingBuffer& ring) {
  // Release: the connection is queued on the listener and the announcement is in it before
  // the count moves, so a publisher whose acquire load sees the new count finds both.
  ring.announce_count().fetch_add(1, std::memory_order_release);
}

}  // namespace kavri
