#pragma once

// The subscriber's half of the handshake on `signal.sock`, and the wire constants both sides
// share.
//
// Wire format: right after connecting, the subscriber writes HANDSHAKE_LEN bytes, its cursor
// entry index as unsigned 32-bit little-endian; afterwards only the publisher writes, one
// WAKE_BYTE per wake-up. No version, framing or reply.
//
// The announcement counter: a subscriber that has sent its announcement adds 1 to the ring's
// `announce_count`. The publisher compares the counter with the value it saw at its last
// accept, so a publish with no connection arriving makes no system call for accepting. A peer
// that never bumps the counter is still accepted: the publisher also looks at its listener
// whenever about a millisecond has passed since it last did.
//
// Subscriber sequence, once the connection is established:
//   if (auto ok = send_announcement(stream.get(), cursor_idx); !ok) return ok;  // undo
//   announce_connection(ring);

#include <array>
#include <cstddef>
#include <cstdint>

#include "error.h"
#include "platform/clock.h"

namespace kavri {

class RingBuffer;

inline constexpr size_t HANDSHAKE_LEN = 4;
inline constexpr std::byte WAKE_BYTE{0x01};
// The pause between the accept steps of Publisher::wait_for_subscribers.
inline constexpr Duration WAIT_POLL_DELAY = Duration::from_millis(1);

std::array<std::byte, HANDSHAKE_LEN> encode_announcement(uint32_t cursor_idx);
uint32_t decode_announcement(const std::array<std::byte, HANDSHAKE_LEN>& bytes);

// Writes the announcement on the connected stream `fd` (borrowed), continuing after partial
// writes and retrying interrupted ones. A write of 0 bytes is Io, kind WriteZero, "failed to
// write whole buffer"; any other failure is Io with the OS error.
Result<void> send_announcement(int fd, uint32_t cursor_idx);

// Call once, right after send_announcement succeeded, on the ring whose publisher owns the
// listener connected to. Never fails; no system call.
void announce_connection(const RingBuffer& ring);

}  // namespace kavri
