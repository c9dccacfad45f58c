#include "bus.h"

#include "platform/directory.h"
#include "platform/file.h"
#include "producer_lock.h"

namespace kavri {

namespace {

constexpr std::string_view kLockFile = "producer.lock";

// Removes the topic directory without ever deleting a file that another publisher may have
// created after it took the lock: everything but the lock file first (a publisher that wants the
// topic meanwhile must lock that same file, which we hold), then the lock file, then the
// directory itself without recursion. A publisher that locked a new lock file after our unlink
// keeps its files: the final rmdir fails and the clean reports it.
Result<void> remove_topic_dir(const std::filesystem::path& dir) {
  auto names = platform::list_dir(dir);
  if (!names) return io_error(names.error());
  for (const std::string& name : *names) {
    if (name == kLockFile) continue;
    if (auto removed = platform::remove_tree(dir / name); !removed) {
      return io_error(removed.error());
    }
  }
  if (auto removed = platform::remove_file(dir / kLockFile);
      !removed && removed.error().kind() != IoErrorKind::NotFound) {
    return io_error(removed.error());
  }
  if (auto removed = platform::remove_empty_dir(dir); !removed) return io_error(removed.error());
  return {};
}

}  // namespace

Bus Bus::with_config(std::string name, BusConfig config) {
  return Bus(std::move(name), std::move(config));
}

std::filesystem::path Bus::bus_dir() const { return config_.base_dir / name_; }

BusConfig Bus::topic_config() const {
  BusConfig copy = config_;
  copy.base_dir = bus_dir();
  return copy;
}

Result<Publisher*> Bus::create_publisher(std::string_view topic) {
  auto publisher = Publisher::create(topic, topic_config());
  if (!publisher) return std::unexpected(std::move(publisher.error()));
  auto [it, inserted] = publishers_.emplace(std::string(topic), std::move(*publisher));
  return it->second.get();
}

Result<Publisher*> Bus::lookup_or_create(std::string_view topic) {
  if (auto it = publishers_.find(topic); it != publishers_.end()) return it->second.get();
  return create_publisher(topic);
}

Result<void> Bus::publish(std::string_view topic, std::span<const std::byte> data) {
  auto publisher = lookup_or_create(topic);
  if (!publisher) return std::unexpected(std::move(publisher.error()));
  return (*publisher)->publish(data);
}

Result<uint64_t> Bus::publish_many(std::string_view topic,
                                   std::span<const std::span<const std::byte>> payloads) {
  auto publisher = lookup_or_create(topic);
  if (!publisher) return std::unexpected(std::move(publisher.error()));
  return (*publisher)->publish_many(payloads);
}

Result<void> Bus::wait_for_subscribers(std::string_view topic, uint64_t n, Duration timeout) {
  auto publisher = lookup_or_create(topic);
  if (!publisher) return std::unexpected(std::move(publisher.error()));
  return (*publisher)->wait_for_subscribers(n, timeout);
}

Result<std::unique_ptr<Publisher>> Bus::take_publisher(std::string_view topic) {
  if (auto it = publishers_.find(topic); it != publishers_.end()) {
    std::unique_ptr<Publisher> taken = std::move(it->second);
    publishers_.erase(it);
    return taken;
  }
  return Publisher::create(topic, topic_config());
}

std::optional<TopicStats> Bus::stats(std::string_view topic) const {
  auto it = publishers_.find(topic);
  if (it == publishers_.end()) return std::nullopt;
  return it->second->stats();
}

std::vector<std::pair<uint64_t, uint64_t>> Bus::slow_subscribers(std::string_view topic,
                                                                 uint64_t threshold) const {
  std::vector<std::pair<uint64_t, uint64_t>> slow;
  auto it = publishers_.find(topic);
  if (it == publishers_.end()) return slow;
  const RingBuffer& ring = it->second->ring();
  // Acquire pairs with the subscribers' release stores of their entries; each entry is read
  // once and the walk is not a snapshot of the table.
  const uint64_t tail = ring.tail().load(std::memory_order_acquire);
  for (uint32_t i = 0; i < ring.max_subscribers(); ++i) {
    const uint64_t entry = ring.cursor_entry(i).load(std::memory_order_acquire);
    if (entry == FREE_CURSOR) continue;
    const uint64_t lag = entry < tail ? tail - entry : 0;
    if (lag >= threshold) slow.emplace_back(i, lag);
  }
  return slow;
}

Result<std::unique_ptr<Subscriber>> Bus::subscribe(std::string_view topic, Duration timeout,
                                                   StartAt start) const {
  // A NUL would make every attempt fail until the time-out; it is bad input, said at once.
  if (auto ok = platform::check_no_nul(bus_dir() / topic); !ok) return io_error(ok.error());
  return Subscriber::connect_with(topic, topic_config(), timeout, start);
}

Result<std::unique_ptr<Subscriber>> Bus::subscribe_timeout(std::string_view topic,
                                                           Duration timeout) const {
  return subscribe(topic, timeout, start_at::Tail{});
}

Result<std::unique_ptr<Subscriber>> Bus::subscribe_with_history_timeout(std::string_view topic,
                                                                        uint64_t n_messages_back,
                                                                        Duration timeout) const {
  return subscribe(topic, timeout, start_at::History{n_messages_back});
}

Result<std::unique_ptr<Subscriber>> Bus::subscribe_from_timeout(std::string_view topic,
                                                                uint64_t cursor,
                                                                Duration timeout) const {
  return subscribe(topic, timeout, start_at::Cursor{cursor});
}

Result<void> Bus::clean_topic(std::string_view topic) {
  if (auto it = publishers_.find(topic); it != publishers_.end()) publishers_.erase(it);
  const std::filesystem::path dir = bus_dir() / topic;
  if (auto ok = platform::check_no_nul(dir); !ok) return io_error(ok.error());
  if (!platform::path_exists(dir)) return {};
  auto lock = acquire_producer_lock(topic, dir);
  if (!lock) return std::unexpected(std::move(lock.error()));
  // The lock is released when `lock` goes, after the removal, whatever its outcome.
  return remove_topic_dir(dir);
}

}  // namespace kavri
