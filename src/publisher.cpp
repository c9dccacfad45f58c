#include "publisher.h"

#include <utility>

#include "internal_failure.h"
#include "logging.h"
#include "platform/directory.h"
#include "platform/socket.h"

namespace kavri {

namespace {
constexpr std::string_view kTarget = "kavri::publisher";
}  // namespace

Publisher::Publisher(ProducerLock lock, std::unique_ptr<wal::Wal> wal, Fd listener, RingBuffer ring,
                     Backpressure backpressure, uint64_t announces_seen)
    : backpressure_(backpressure),
      announces_seen_(announces_seen),
      lock_(std::move(lock)),
      wal_(std::move(wal)),
      listener_(std::move(listener)),
      ring_(std::move(ring)) {}

Publisher::~Publisher() = default;

Result<std::unique_ptr<Publisher>> Publisher::create(std::string_view topic,
                                                     const BusConfig& config) {
  const std::filesystem::path dir = config.base_dir / std::filesystem::path(topic);
  if (auto ok = platform::create_dir_all(dir); !ok) return io_error(ok.error());

  // Locals are released in reverse order on every early return: listener, log, ring, lock.
  auto lock = acquire_producer_lock(topic, dir);
  if (!lock) return std::unexpected(std::move(lock.error()));

  auto ring = RingBuffer::create_or_reuse(dir / "ring.mmap", config.capacity, config.slot_size,
                                          config.max_subscribers);
  if (!ring) return io_error(ring.error());

  std::unique_ptr<wal::Wal> wal;
  if (config.wal.enabled) {
    auto opened = wal::Wal::open(dir, config.wal);
    if (!opened) return wal_error(std::move(opened.error()));
    wal = std::move(*opened);
    // Numbering continues after the last logged message; a no-op unless it is above tail.
    ring->start_numbering_at(wal->pending_cursor());
  }

  // Read before the listener exists: every announcement counted after this load is for a
  // connection to this publisher's listener (or a stale one), so none is missed.
  // Acquire: pairs with announce_connection's release.
  const uint64_t announces_seen = ring->announce_count().load(std::memory_order_acquire);

  const std::filesystem::path sock = dir / "signal.sock";
  (void)platform::remove_file(sock);  // a crashed publisher's file; any error is ignored
  auto listener = platform::listen_unix(sock);
  if (!listener) return io_error(listener.error());

  const uint32_t capacity = ring->capacity();
  const uint32_t slot_size = ring->slot_size();
  const bool wal_enabled = wal != nullptr;
  std::unique_ptr<Publisher> p(new Publisher(std::move(*lock), std::move(wal), std::move(*listener),
                                             std::move(*ring), config.backpressure,
                                             announces_seen));
  logging::event(logging::Level::Info, kTarget, "publisher created", logging::text("topic", topic),
                 logging::u64("ring_capacity", capacity), logging::u64("slot_size", slot_size),
                 logging::boolean("wal_enabled", wal_enabled),
                 logging::display("backpressure", diagnostic_name(config.backpressure)));
  return p;
}

bool Publisher::has_room() const {
  if (backpressure_ == Backpressure::DropOldest) {
    // Stop before the log append: a logged cursor the ring never got would break the log's
    // numbering for every later publish and for the next publisher.
    if (ring_.capacity() == 0) {
      internal_failure("attempt to calculate the remainder with a divisor of zero");
    }
    return true;
  }
  // Full when the slowest claimed entry still has to read the slot the next write overwrites.
  // Capacity 0 is always full.
  return ring_.max_lag() < ring_.capacity();
}

std::expected<void, wal::WalError> Publisher::log_and_write(std::span<const std::byte> payload) {
  if (wal_) {
    // Relaxed: this process is the only writer of `tail`.
    const uint64_t cursor = ring_.tail().load(std::memory_order_relaxed);
    if (auto ok = wal_->append(cursor, wal_->now_ns(), payload); !ok) return ok;
  }
  ring_.write_slot(payload);
  return {};
}

Result<void> Publisher::publish(std::span<const std::byte> payload) {
  if (payload.size() > ring_.slot_size()) {
    return std::unexpected(Error(err::MessageTooLarge{payload.size(), ring_.slot_size()}));
  }
  if (auto ok = accept_if_announced(); !ok) return ok;
  if (!has_room()) {
    bump(full_rejected_total_);
    return std::unexpected(Error(err::BusFull{}));
  }
  if (auto ok = log_and_write(payload); !ok) return wal_error(std::move(ok.error()));
  bump(published_total_);
  broadcast_wakeup();
  return {};
}

Result<uint64_t> Publisher::publish_many(std::span<const std::span<const std::byte>> payloads) {
  if (auto ok = accept_if_announced(); !ok) return std::unexpected(std::move(ok.error()));
  if (payloads.empty()) return 0;
  uint64_t n = 0;
  std::optional<Error> failure;
  for (std::span<const std::byte> payload : payloads) {
    if (payload.size() > ring_.slot_size()) {
      failure = err::MessageTooLarge{payload.size(), ring_.slot_size()};
      break;
    }
    if (!has_room()) break;
    if (auto ok = log_and_write(payload); !ok) {
      failure = err::Wal{std::move(ok.error())};
      break;
    }
    ++n;
  }
  bump(published_total_, n);
  if (n > 0) broadcast_wakeup();
  if (failure) return std::unexpected(std::move(*failure));
  return n;
}

TopicStats Publisher::stats() const {
  TopicStats s;
  // Relaxed: this process is the only writer of `tail`; read once, on purpose.
  s.tail = ring_.tail().load(std::memory_order_relaxed);
  for (uint32_t i = 0; i < ring_.max_subscribers(); ++i) {
    // Acquire: pairs with the reader's release of its position (as for backpressure).
    const uint64_t entry = ring_.cursor_entry(i).load(std::memory_order_acquire);
    if (entry == FREE_CURSOR) continue;
    const uint64_t from = ring_.move_up_to_numbering(entry);
    s.lags.push_back(from <= s.tail ? s.tail - from : 0);
  }
  s.active_subscribers = s.lags.size();
  s.connected_sockets = clients_.size();
  s.published_total = published_total_.load(std::memory_order_relaxed);
  s.full_rejected_total = full_rejected_total_.load(std::memory_order_relaxed);
  s.subscribers_dropped_total = subscribers_dropped_total_.load(std::memory_order_relaxed);
  s.wakeups_sent_total = wakeups_sent_total_.load(std::memory_order_relaxed);
  if (wal_) s.wal = wal_->stats();
  return s;
}

void Publisher::drop_client(size_t i, const char* message) {
  if (i + 1 != clients_.size()) clients_[i] = std::move(clients_.back());  // closes clients_[i]
  clients_.pop_back();
  bump(subscribers_dropped_total_);
  logging::event(logging::Level::Info, kTarget, message,
                 logging::u64("remaining_clients", clients_.size()));
}

}  // namespace kavri
