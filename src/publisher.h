#pragma once

// The single writer of one topic: its ring, the listener on `signal.sock`, the accepted
// subscriber connections, the optional write-ahead log and the producer lock.
//
// Ownership: Publisher::create hands the publisher out in a unique_ptr; it is neither copyable
// nor movable. It owns everything it holds. Destruction releases, in this order, the ring
// mapping, the listener, each client connection, the log (flusher stopped and joined, final
// sync) and last the producer lock, so no new publisher takes the topic while this one may
// still write to the log. `signal.sock`, `producer.lock` and `ring.mmap` stay on disk.
//
// Thread rules: one thread at a time calls publish, publish_many, wait_for_subscribers,
// accept_clients, broadcast_wakeup and destroys the publisher (the owner holds it exclusively
// for these); stats and ring may run beside one another, not beside a publish. The log's
// flusher thread runs alongside and shares only the log's state.
//
// Internal failures (InternalFailure): DropOldest with capacity 0 ("attempt to calculate the
// remainder with a divisor of zero", raised before the log is touched); a wait deadline that
// cannot be represented ("overflow when adding duration to instant").

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "config.h"
#include "error.h"
#include "platform/clock.h"
#include "platform/fd.h"
#include "producer_lock.h"
#include "ring.h"
#include "wal/wal.h"

namespace kavri {

// A snapshot of a publisher; a plain value. Each counter is read whole, the snapshot as a
// whole is not atomic.
struct TopicStats {
  uint64_t tail = 0;
  uint64_t active_subscribers = 0;  // claimed cursor entries; equals lags.size()
  // Per claimed entry, in table order: tail minus the entry (an entry below the numbering's
  // first cursor counts from it, as for backpressure), 0 when the entry is ahead.
  std::vector<uint64_t> lags;
  uint64_t connected_sockets = 0;  // accepted connections
  uint64_t published_total = 0;
  uint64_t full_rejected_total = 0;        // single publishes refused for a full ring
  uint64_t subscribers_dropped_total = 0;  // accepted connections dropped (see below)
  uint64_t wakeups_sent_total = 0;         // failed sends included
  std::optional<wal::WalStats> wal;        // present exactly when a log is open
};

// One accepted subscriber connection.
struct Client {
  uint32_t cursor_idx;  // announced; always below the ring's max_subscribers
  Fd stream;            // owned
};

class Publisher {
 public:
  // Sets the topic up under `config.base_dir` (already the bus directory): the directory
  // `base_dir/topic` (topic used unvalidated), the producer lock, the ring (reused when its
  // geometry matches), the log when enabled (the ring's numbering continues at the log's next
  // cursor), and a fresh listener on `signal.sock` (a stale file is removed first). Errors: Io,
  // AlreadyPublishing, Wal. On failure everything taken so far is released in reverse order;
  // what the ring and the log changed on disk stays.
  static Result<std::unique_ptr<Publisher>> create(std::string_view topic, const BusConfig& config);

  Publisher(const Publisher&) = delete;
  Publisher& operator=(const Publisher&) = delete;
  ~Publisher();

  // Publishes one payload (read during the call only). Order: size check (MessageTooLarge,
  // nothing else done), the accept step, the backpressure check under Backpressure::Error
  // (BusFull, counted), the log append (Wal; nothing reaches the ring), the slot write, the
  // wake-up pass. No lock, no allocation; with no connection arriving and no subscriber armed,
  // no system call.
  Result<void> publish(std::span<const std::byte> payload);

  // Publishes the payloads front to back with one accept step and at most one wake-up pass.
  // Returns how many were written; fewer than given without an error means the ring filled
  // under Backpressure::Error (not counted as a rejection). A too-large payload or a failed
  // append ends the batch with that error after the ones before it were published, counted
  // and announced.
  Result<uint64_t> publish_many(std::span<const std::span<const std::byte>> payloads);

  // Accepts until at least `n` connections are accepted, polling every WAIT_POLL_DELAY; the
  // first accept step runs at once, so n = 0 or a zero time-out makes exactly one. Connections
  // count until a wake-up pass drops them. Error: ConnectTimeout "waiting for subscribers", or
  // the accept step's error.
  Result<void> wait_for_subscribers(uint64_t n, Duration timeout);

  // Takes every connection pending on the listener with its announcement. Bounded: an
  // announcement not complete within ANNOUNCE_TIMEOUT, or naming no cursor entry (index at or
  // above max_subscribers), closes that connection silently and the step goes on. An index
  // already held by a client makes the older connection stale: it is dropped as a clean
  // disconnect. Errors (Io): accept failed; a peer closed before its 4 bytes ("failed to fill
  // whole buffer") or its read failed; that connection is closed, earlier ones are kept.
  Result<void> accept_clients();

  // One wake-up pass; never fails. With no clients it does nothing at all. Otherwise one full
  // fence, then per client: a freed cursor entry drops it ("subscriber dropped (cursor
  // released; clean disconnect)"); an armed flag is exchanged to 0 and one WAKE_BYTE is sent
  // without ever blocking (a full socket buffer already holds unread wake-ups: delivered); a
  // failed send drops it ("subscriber dropped (wake failed; peer closed)") and re-arms the flag
  // it took, so that the entry's owner is still woken on its own connection once accepted.
  // Cursor entries are never written.
  void broadcast_wakeup();

  // Never locks, accepts or changes anything.
  TopicStats stats() const;

  // The ring, for readers of its tables (the bus's slow-subscriber report).
  const RingBuffer& ring() const { return ring_; }

  // How long the accept step waits for an announcement that is not complete yet.
  static constexpr Duration ANNOUNCE_TIMEOUT = Duration::from_millis(100);
  // A publish looks at the listener at least this often even when no subscriber has bumped
  // the announcement counter (peers that speak only the plain protocol); the coarse clock
  // makes the effective period the kernel's tick when that is longer.
  static constexpr uint64_t POLL_INTERVAL_NS = 1'000'000;
  // Tests only: replaces POLL_INTERVAL_NS for every publisher of the process (the largest
  // value leaves the announcement counter as the only trigger).
  static void set_poll_interval_for_testing(uint64_t ns);

 private:
  Publisher(ProducerLock lock, std::unique_ptr<wal::Wal> wal, Fd listener, RingBuffer ring,
            Backpressure backpressure, uint64_t announces_seen);

  // The accept step of publish and publish_many: accept_clients when the announcement
  // counter moved or POLL_INTERVAL_NS has passed since the last look; otherwise nothing.
  Result<void> accept_if_announced();
  // The loop of accept_clients: every connection queued on the listener.
  Result<void> accept_pending();
  // Under Backpressure::Error: false when the slowest claimed entry is a whole ring behind.
  // Under DropOldest: true, except the internal failure on capacity 0.
  bool has_room() const;
  // Appends the message to the log (when there is one), then writes it into the ring; a
  // message the log refused never reaches the ring.
  std::expected<void, wal::WalError> log_and_write(std::span<const std::byte> payload);
  // Removes clients_[i] (the last client takes its place), closes it, counts and reports it.
  void drop_client(size_t i, const char* message);

  // Single writer (the exclusive holder); relaxed load and store, so stats() reads each whole.
  static void bump(std::atomic<uint64_t>& counter, uint64_t by = 1) {
    counter.store(counter.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
  }

  std::atomic<uint64_t> published_total_{0};
  std::atomic<uint64_t> full_rejected_total_{0};
  std::atomic<uint64_t> subscribers_dropped_total_{0};
  std::atomic<uint64_t> wakeups_sent_total_{0};
  const Backpressure backpressure_;
  uint64_t announces_seen_;    // announce_count when accept_clients last looked
  uint64_t last_poll_ns_ = 0;  // coarse clock when accept_clients last looked

  // Members are destroyed bottom to top: ring, listener, clients, log, lock.
  ProducerLock lock_;
  std::unique_ptr<wal::Wal> wal_;  // null when the log is disabled
  std::vector<Client> clients_;    // in accept order, except where a removal moved the last
  Fd listener_;                    // non-blocking, bound to `signal.sock`
  RingBuffer ring_;
};

}  // namespace kavri
