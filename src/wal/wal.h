#pragma once

// The write-ahead log of one topic: segment files in <topic_dir>/wal, one active segment
// written through a SegmentWriter, rotation at segment_max_bytes, retention at
// retention_max_bytes, durability per FsyncPolicy.
//
// Use (the publisher):
//   auto wal = Wal::open(topic_dir, config);   // repairs torn tails, finds the next cursor
//   uint64_t next = (*wal)->pending_cursor();  // continue the cursor numbering from here
//   (*wal)->append(cursor, (*wal)->now_ns(), payload);  // cursors must be consecutive
//   WalStats s = (*wal)->stats();
//   wal->reset();  // stops and joins the flusher, then syncs the active segment
//
// Ownership: Wal is neither copyable nor movable; Wal::open hands it out in a unique_ptr.
// The flusher thread (FsyncPolicy::Interval) shares the mutex-guarded state through a
// shared_ptr and never outlives the Wal: destruction joins it.
//
// Thread rules: the owner makes one call at a time (open, now_ns, append, stats,
// pending_cursor, destruction), from any thread; the flusher runs alongside. Destroy the log
// before releasing the topic's producer lock, so that no new publisher scans a segment this
// one still flushes.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <span>
#include <thread>

#include "config.h"
#include "platform/clock.h"
#include "wal/errors.h"

namespace kavri::wal {

struct WalShared;

struct WalStats {
  uint64_t pending_cursor = 0;  // the last appended cursor + 1 (at open: the next cursor)
  uint64_t durable_cursor = 0;  // every record appended since open below it is durable
  uint64_t oldest_cursor = 0;   // the smallest segment key; 0 without segments
  uint64_t active_segment_bytes = 0;
  uint64_t total_wal_bytes = 0;  // active plus sealed segments
  uint64_t segments = 0;         // the active segment included
  uint64_t appends_total = 0;
  uint64_t append_bytes_total = 0;  // payload bytes only
  uint64_t flushes_total = 0;       // full syncs that set durable_cursor

  friend bool operator==(const WalStats&, const WalStats&) = default;
};

class Wal {
 public:
  // Creates <topic_dir>/wal if missing, cuts the torn tail of every segment, and starts a
  // fresh active segment at the cursor after the newest segment's last record (or none when
  // the log holds no record; the first append then creates one named after its cursor).
  // A newest segment that holds only its header, or is shorter than a header (a crash while
  // it was created), is removed. Fails with WalCursorOutOfRange when the next cursor would be
  // 2^63 or more. Starts the flusher under FsyncPolicy::Interval when `enabled`.
  static std::expected<std::unique_ptr<Wal>, WalError> open(const std::filesystem::path& topic_dir,
                                                            const WalConfig& config);

  Wal(const Wal&) = delete;
  Wal& operator=(const Wal&) = delete;
  ~Wal();

  // The cursor the next append must carry.
  uint64_t pending_cursor() const { return pending_cursor_.load(std::memory_order_relaxed); }

  // Nanoseconds since the Unix epoch for a record appended now: the wall clock at open plus
  // the monotonic time since, so timestamps never go backwards within one open log.
  uint64_t now_ns() const;

  // Appends one record. `cursor` must be pending_cursor(), else WalSegmentWriter
  // (NonMonotonic); a payload above MAX_PAYLOAD_LEN is WalPayloadTooLarge. After durability
  // was lost (the flusher failed, a seal failed, or an EveryAppend sync failed) every append
  // fails with WalFlusherDied. With `enabled` off it succeeds and writes nothing. The common
  // case makes no system call: the record waits in the writer's buffer.
  std::expected<void, WalError> append(uint64_t cursor, uint64_t timestamp_ns,
                                       std::span<const std::byte> payload);

  // A snapshot under the mutex; never fails.
  WalStats stats() const;

  const std::filesystem::path& dir() const { return dir_; }

 private:
  Wal(std::filesystem::path dir, const WalConfig& config, std::shared_ptr<WalShared> shared,
      uint64_t next_cursor);

  const std::filesystem::path dir_;
  const std::shared_ptr<WalShared> shared_;  // inner, durable_cursor, shutdown, flusher_dead,
                                             // flushes_total
  std::atomic<uint64_t> pending_cursor_;
  std::thread flusher_;  // joinable only when the flusher was started
  std::atomic<uint64_t> appends_total_{0};
  std::atomic<uint64_t> append_bytes_total_{0};
  const WalConfig config_;
  uint64_t base_unix_ns_ = 0;
  Instant opened_at_;
};

}  // namespace kavri::wal
