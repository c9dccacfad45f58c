#include "producer_lock.h"

#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "platform/file.h"
#include "platform/flock.h"

namespace kavri {

namespace {

// The set of lock-file paths this process holds. The mutex is held only for one insert or one
// erase, never across a file operation, and always through a lock_guard: an exception thrown while
// it is held (an allocation failure in insert) unlocks it and leaves the set as it was, so the set
// stays usable. Allocated once and never destroyed, so locks released during exit still find it.
struct InProcessLocks {
  std::mutex mutex;
  std::set<std::string> paths;
};

InProcessLocks& in_process_locks() {
  static InProcessLocks* const IN_PROCESS_LOCKS = new InProcessLocks;
  return *IN_PROCESS_LOCKS;
}

// False when the path was already present.
bool reserve(const std::string& path) {
  InProcessLocks& locks = in_process_locks();
  std::lock_guard guard(locks.mutex);
  return locks.paths.insert(path).second;
}

void unreserve(const std::string& path) noexcept {
  InProcessLocks& locks = in_process_locks();
  std::lock_guard guard(locks.mutex);
  locks.paths.erase(path);
}

}  // namespace

ProducerLock& ProducerLock::operator=(ProducerLock&& other) noexcept {
  if (this != &other) {
    release();
    path_ = std::move(other.path_);
    file_ = std::move(other.file_);
  }
  return *this;
}

ProducerLock::~ProducerLock() { release(); }

void ProducerLock::release() {
  // A moved-from lock has no file and owns no entry of the set.
  if (!file_.valid()) return;
  unreserve(path_.native());
  file_.reset();
}

Result<ProducerLock> acquire_producer_lock(std::string_view topic,
                                           const std::filesystem::path& topic_dir) {
  std::filesystem::path path = topic_dir / "producer.lock";
  if (!reserve(path.native())) return std::unexpected(err::AlreadyPublishing{std::string(topic)});

  auto file = platform::open_file(
      path, {.mode = platform::OpenMode::WriteOnly, .create = true, .permissions = 0666});
  if (!file) {
    unreserve(path.native());
    return io_error(file.error());
  }
  if (!platform::try_lock_exclusive(file->get())) {
    // Whatever the reason (another open file holds the lock, or the request failed), this
    // process does not hold the topic. The set entry goes first, then the file.
    unreserve(path.native());
    file->reset();
    return std::unexpected(err::AlreadyPublishing{std::string(topic)});
  }
  return ProducerLock(std::move(path), std::move(*file));
}

}  // namespace kavri
