#pragma once

// Helpers shared by subscriber.cpp and subscriber_receive.cpp; not part of the contract.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>

#include "error.h"
#include "platform/clock.h"
#include "wal/reader.h"

namespace kavri::detail {

// Now plus `timeout`; internal failure "overflow when adding duration to instant" when the sum
// cannot be represented.
Instant deadline_after(Duration timeout);

// A replay of the topic's log from `cursor`: the replayer; CursorTooOld with the log's oldest
// cursor when the log starts after `cursor`; nullopt when there is no usable log (no "wal"
// directory, no segment, or a directory that cannot be listed).
std::expected<std::optional<wal::WalReplayer>, err::CursorTooOld> open_replay(
    const std::filesystem::path& topic_dir, uint64_t cursor);

}  // namespace kavri::detail
