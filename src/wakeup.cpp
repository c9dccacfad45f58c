// The publisher's side of the handshake and wake-up protocol: the accept step, the wake-up
// pass and the wait for subscribers.

#include <atomic>

#include "handshake.h"
#include "internal_failure.h"
#include "platform/socket.h"
#include "publisher.h"

namespace kavri {

namespace {

constexpr const char* kCleanDisconnect = "subscriber dropped (cursor released; clean disconnect)";
constexpr const char* kWakeFailed = "subscriber dropped (wake failed; peer closed)";

// Relaxed: a setting, not a publication; tests change it while no publisher runs.
std::atomic<uint64_t> g_poll_interval_ns{Publisher::POLL_INTERVAL_NS};

Instant deadline_after(Duration d) {
  auto deadline = Instant::now().checked_add(d);
  if (!deadline) internal_failure("overflow when adding duration to instant");
  return *deadline;
}

}  // namespace

Result<void> Publisher::accept_if_announced() {
  // Acquire: pairs with announce_connection's release; a count that moved means a connection
  // with its announcement is queued on the listener.
  const uint64_t announced = ring_.announce_count().load(std::memory_order_acquire);
  if (announced == announces_seen_ && platform::coarse_monotonic_ns() - last_poll_ns_ <
                                          g_poll_interval_ns.load(std::memory_order_relaxed)) {
    return {};
  }
  return accept_clients();
}

void Publisher::set_poll_interval_for_testing(uint64_t ns) {
  g_poll_interval_ns.store(ns, std::memory_order_relaxed);
}

Result<void> Publisher::accept_clients() {
  // Recorded before looking: a subscriber that bumps the count while this step runs makes the
  // next publish look again, so its connection is never left behind.
  // Acquire: as in accept_if_announced.
  announces_seen_ = ring_.announce_count().load(std::memory_order_acquire);
  last_poll_ns_ = platform::coarse_monotonic_ns();
  auto done = accept_pending();
  // Connections queued behind a failed one were counted as seen: the next publish looks again.
  if (!done) last_poll_ns_ = 0;
  return done;
}

Result<void> Publisher::accept_pending() {
  for (;;) {
    // A zero-time-out poll is far cheaper than an accept that finds nothing.
    auto pending = platform::has_pending_connection(listener_.get());
    if (!pending) return io_error(pending.error());
    if (!*pending) return {};
    auto conn = platform::accept_connection(listener_.get());
    if (!conn) {
      if (conn.error().kind() == IoErrorKind::WouldBlock) return {};
      return io_error(conn.error());
    }
    // A subscriber writes its announcement right after connecting, so this normally finds the
    // bytes already there. A peer that stays silent must not hold the publish: past the
    // deadline its connection is closed and the step goes on with the next.
    std::array<std::byte, HANDSHAKE_LEN> announcement;
    auto got =
        platform::recv_exact_until(conn->get(), announcement, deadline_after(ANNOUNCE_TIMEOUT));
    if (!got) {
      if (got.error().kind() == IoErrorKind::WouldBlock) continue;
      return io_error(got.error());  // the connection closes with `conn`
    }
    const uint32_t idx = decode_announcement(announcement);
    // Names no entry of either table: closed, never a client, so the pass never indexes
    // outside the tables.
    if (idx >= ring_.max_subscribers()) continue;
    // An entry is claimed by one subscriber at a time, so an index that a client already
    // carries was freed by that client's owner and claimed again: the older connection is
    // stale. Dropped as the clean disconnect a pass would have reported, it can no longer
    // take the new owner's wake-ups.
    for (size_t i = 0; i < clients_.size(); ++i) {
      if (clients_[i].cursor_idx == idx) {
        drop_client(i, kCleanDisconnect);
        break;  // at most one: this loop keeps indexes unique
      }
    }
    clients_.push_back(Client{idx, std::move(*conn)});
  }
}

void Publisher::broadcast_wakeup() {
  if (clients_.empty()) return;
  // Sequentially consistent fence: orders the `tail` store of the write before the flag
  // exchanges below. With the subscriber's fence between arming and its `tail` load, either
  // the subscriber sees the new tail or this pass sees its flag armed.
  full_fence();
  size_t i = 0;
  while (i < clients_.size()) {
    const uint32_t k = clients_[i].cursor_idx;
    // Acquire: pairs with the owner's release of FREE_CURSOR when its subscription ended.
    if (ring_.cursor_entry(k).load(std::memory_order_acquire) == FREE_CURSOR) {
      drop_client(i, kCleanDisconnect);
      continue;
    }
    const SharedWord flag = ring_.wakeup_flag(k);
    // Sequentially consistent exchange, as the protocol requires of every flag exchange.
    if (flag.exchange(0, std::memory_order_seq_cst) != 1) {
      ++i;
      continue;
    }
    bump(wakeups_sent_total_);  // before the send: a failed send counts too
    // Never blocks: a full buffer already holds wake-ups the subscriber has not read, so the
    // byte is not needed.
    if (platform::send_byte_nonblocking(clients_[i].stream.get(), WAKE_BYTE)) {
      ++i;
      continue;
    }
    // The wake-up was taken from the entry but reached nobody. This connection may be a stale
    // one whose entry a new subscriber has claimed and armed before its own connection was
    // accepted: give the flag back, so that a later pass wakes it on its own connection. For
    // an owner that is gone the flag is only left as it was found.
    // Sequentially consistent exchange, as above.
    flag.exchange(1, std::memory_order_seq_cst);
    drop_client(i, kWakeFailed);
  }
}

Result<void> Publisher::wait_for_subscribers(uint64_t n, Duration timeout) {
  const Instant deadline = deadline_after(timeout);
  for (;;) {
    if (auto ok = accept_clients(); !ok) return ok;
    if (clients_.size() >= n) return {};
    if (Instant::now() >= deadline) {
      return std::unexpected(Error(err::ConnectTimeout{"waiting for subscribers"}));
    }
    platform::sleep_for(WAIT_POLL_DELAY);
  }
}

}  // namespace kavri
