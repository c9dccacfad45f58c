#pragma once

// The settings every topic of one bus shares. Plain values, copied and never shared; nothing
// is checked when they are built.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

#include "platform/clock.h"

namespace kavri {

// What a publisher does when the slowest subscriber is a whole ring behind.
enum class Backpressure : uint8_t {
  Error = 0,       // refuse the message
  DropOldest = 1,  // overwrite the oldest slot; lapped readers skip ahead
};

// Exactly "error" or "drop_oldest", byte for byte; anything else is nullopt.
std::optional<Backpressure> parse_backpressure(std::string_view text);
// "Error" or "DropOldest": the text of the "publisher created" event.
std::string_view diagnostic_name(Backpressure policy);

enum class FsyncPolicy : uint8_t {
  OnClose = 0,
  Interval = 1,
  EveryAppend = 2,
};

inline constexpr uint64_t kMiB = 1024 * 1024;

struct WalConfig {
  Duration flush_interval = Duration::from_millis(5);
  uint64_t segment_max_bytes = 64 * kMiB;
  uint64_t retention_max_bytes = 1024 * kMiB;
  bool enabled = true;
  FsyncPolicy fsync_policy = FsyncPolicy::Interval;
};

struct BusConfig {
  // In the bus's record: the root of all buses. In a topic's copy: the bus directory.
  std::filesystem::path base_dir = "/tmp/kavri";
  WalConfig wal;
  uint32_t slot_size = 65536;
  uint32_t capacity = 256;
  uint32_t max_subscribers = 16;
  Backpressure backpressure = Backpressure::Error;
};

}  // namespace kavri
