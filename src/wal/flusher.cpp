#include "wal/flusher.h"

#include <system_error>

#include "internal_failure.h"
#include "platform/file.h"

namespace kavri::wal {

namespace {

void flusher_loop(Duration flush_interval, const std::shared_ptr<WalShared>& shared) {
  // An interval too long for the clock means no cycle ever comes; shutdown is still polled.
  std::optional<Instant> deadline = Instant::now().checked_add(flush_interval);
  for (;;) {
    if (shared->shutdown.load(std::memory_order_relaxed)) return;
    const Instant now = Instant::now();
    if (!deadline || now < *deadline) {
      Duration left = deadline ? deadline->saturating_duration_since(now) : FLUSHER_MAX_SLEEP;
      platform::sleep_for(left < FLUSHER_MAX_SLEEP ? left : FLUSHER_MAX_SLEEP);
      continue;
    }
    // Cycles start flush_interval apart; missed ones are not made up.
    deadline = now.checked_add(flush_interval);

    SegmentWriter::SyncHandle handle;
    {
      std::lock_guard lock(shared->inner.mutex);
      // A failed seal sets the flag under this mutex: records of that segment may be lost, so
      // no later cycle may claim cursors past them.
      if (shared->flusher_dead.load(std::memory_order_relaxed)) return;
      if (!shared->inner.active) continue;
      auto h = shared->inner.active->flush_for_sync();
      if (!h) {
        shared->flusher_dead.store(true, std::memory_order_relaxed);
        return;
      }
      handle = std::move(*h);
    }
    // The duplicate stays valid even if an append seals and closes the segment meanwhile;
    // the records below handle.next_cursor are then durable through this sync or the seal's.
    if (!platform::full_sync(handle.file.get())) {
      shared->flusher_dead.store(true, std::memory_order_relaxed);
      return;
    }
    // A seal that failed while this sync ran may have lost records below next_cursor.
    if (shared->flusher_dead.load(std::memory_order_relaxed)) return;
    shared->durable_cursor.store(handle.next_cursor, std::memory_order_relaxed);
    shared->flushes_total.fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace

std::thread spawn_flusher_thread(Duration flush_interval, std::shared_ptr<WalShared> shared) {
  try {
    return std::thread(
        [flush_interval, shared = std::move(shared)] { flusher_loop(flush_interval, shared); });
  } catch (const std::system_error&) {
    internal_failure("failed to spawn thread");
  }
}

}  // namespace kavri::wal
