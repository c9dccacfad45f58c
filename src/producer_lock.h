#pragma once

// The producer lock: at most one publisher per topic across the machine. Two layers: a
// process-wide set of held lock-file paths (compared byte for byte, links and ".." not
// resolved), checked first, and an exclusive non-blocking flock on "producer.lock" in the
// topic directory, which the kernel drops when the file is closed or the holder dies.
//
// "producer.lock" is created (0666 less the umask) when missing and is never truncated,
// written or removed; it stays on disk after release.

#include <filesystem>
#include <string_view>

#include "error.h"
#include "platform/fd.h"

namespace kavri {

// A held lock. Move-only; exactly one owner. Destruction releases it: the path leaves the
// in-process set first, then the file is closed, which drops the flock. In between, another
// thread of this process passes the set but fails on the flock (AlreadyPublishing).
class ProducerLock {
 public:
  ProducerLock(ProducerLock&& other) noexcept = default;
  ProducerLock& operator=(ProducerLock&& other) noexcept;
  ProducerLock(const ProducerLock&) = delete;
  ProducerLock& operator=(const ProducerLock&) = delete;
  ~ProducerLock();

  // The lock file's path: the topic directory joined with "producer.lock".
  const std::filesystem::path& path() const { return path_; }

 private:
  friend Result<ProducerLock> acquire_producer_lock(std::string_view topic,
                                                    const std::filesystem::path& topic_dir);
  ProducerLock(std::filesystem::path path, Fd file)
      : path_(std::move(path)), file_(std::move(file)) {}
  void release();

  std::filesystem::path path_;  // owned; its entry in the set is this lock's while file_ is open
  Fd file_;                     // holds the flock; invalid once moved from
};

// Takes the lock of `topic_dir` (which must exist: it is not created). Errors:
// AlreadyPublishing (carrying `topic`) when the path is held in this process or the flock is
// refused for any reason; Io when "producer.lock" cannot be opened or created. On every
// failure the path is not left in the set. Thread-safe.
Result<ProducerLock> acquire_producer_lock(std::string_view topic,
                                           const std::filesystem::path& topic_dir);

}  // namespace kavri
