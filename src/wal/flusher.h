#pragma once

// The log's state shared with its flusher thread, and the thread itself.
//
// Under FsyncPolicy::Interval one thread per log writes the active segment's buffer out and
// fully syncs it every flush_interval, then advances durable_cursor. It holds the mutex only
// for SegmentWriter::flush_for_sync; the sync runs on the duplicate without it, so appends
// never wait for the disk.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/clock.h"
#include "wal/segment_writer.h"

namespace kavri::wal {

// The longest single sleep of the flusher: shutdown is seen at least this often.
inline constexpr Duration FLUSHER_MAX_SLEEP = Duration::from_millis(50);

// Everything below `mutex` is guarded by it.
struct WalInner {
  std::mutex mutex;
  std::map<uint64_t, std::filesystem::path> segments;  // every segment, the active one included
  std::map<uint64_t, uint64_t> sealed_sizes;           // base cursor -> size of a sealed segment
  std::optional<SegmentWriter> active;
  uint64_t active_bytes = 0;  // the active segment's size, header included
  uint64_t sealed_bytes = 0;  // the sum of sealed_sizes
};

// Owned jointly by the log and its flusher thread; lives until both let go. The atomics
// carry only their own values, so every access is relaxed.
struct WalShared {
  WalInner inner;
  // Below it every record appended since open is on stable storage; never above
  // pending_cursor, only ever raised.
  std::atomic<uint64_t> durable_cursor{0};
  std::atomic<bool> shutdown{false};
  // Set once durability can no longer be promised: the flusher failed, or a seal or a sync
  // of an append failed. Every later append fails with FlusherDied.
  std::atomic<bool> flusher_dead{false};
  std::atomic<uint64_t> flushes_total{0};
};

// Starts the thread; throws the internal failure "failed to spawn thread" when it cannot.
// The thread ends when `shutdown` is set (within FLUSHER_MAX_SLEEP or the cycle in
// progress) or after setting `flusher_dead` on a failed write-out or sync.
std::thread spawn_flusher_thread(Duration flush_interval, std::shared_ptr<WalShared> shared);

}  // namespace kavri::wal
