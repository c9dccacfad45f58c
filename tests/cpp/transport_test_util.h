#pragma once

// Helpers for the publisher's tests: a private bus directory per test, a raw subscriber that
// speaks the wire protocol by hand (independent of the subscriber's own code), and a bounded
// child process.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "config.h"
#include "handshake.h"
#include "platform/directory.h"
#include "platform/socket.h"
#include "ring.h"

namespace kavri::testing_util {

inline std::span<const std::byte> bytes_of(std::string_view s) {
  return {reinterpret_cast<const std::byte*>(s.data()), s.size()};
}

// A bus directory unique to this process and test, removed when the object goes.
class BusDir {
 public:
  BusDir() {
    path_ = std::filesystem::path(::testing::TempDir()) /
            ("kavri_pub_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~BusDir() { std::filesystem::remove_all(path_); }
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path topic(std::string_view t = "t") const { return path_ / t; }

  // Small geometry, no log, policy "error".
  BusConfig config(uint32_t capacity = 8, bool wal = false) const {
    BusConfig c;
    c.base_dir = path_;
    c.capacity = capacity;
    c.slot_size = 64;
    c.max_subscribers = 4;
    c.wal.enabled = wal;
    return c;
  }

 private:
  std::filesystem::path path_;
};

// A subscriber built from the wire protocol alone: its own mapping of the ring, a cursor entry
// it writes directly, and a connection on which it announces by hand.
class RawClient {
 public:
  RawClient(const std::filesystem::path& topic_dir, uint32_t idx)
      : dir_(topic_dir), idx_(idx), ring_(open_ring(topic_dir)) {}

  const RingBuffer& ring() const { return ring_; }
  uint32_t idx() const { return idx_; }
  int fd() const { return stream_.get(); }

  void claim(uint64_t at = 0) { ring_.cursor_entry(idx_).store(at, std::memory_order_release); }
  void free_entry() { ring_.cursor_entry(idx_).store(FREE_CURSOR, std::memory_order_release); }
  void arm() { ring_.wakeup_flag(idx_).exchange(1, std::memory_order_seq_cst); }
  uint64_t flag() const { return ring_.wakeup_flag(idx_).load(std::memory_order_seq_cst); }

  void connect() {
    auto fd = platform::connect_unix(dir_ / "signal.sock");
    ASSERT_TRUE(fd) << fd.error().text();
    stream_ = std::move(*fd);
  }
  void write(std::span<const std::byte> b) { ASSERT_TRUE(platform::send_all(fd(), b)); }
  void bump() { announce_connection(ring_); }
  // The whole subscriber side of the handshake: connect, announce `announced`, bump.
  void join(std::optional<uint32_t> announced = std::nullopt) {
    connect();
    ASSERT_TRUE(send_announcement(fd(), announced.value_or(idx_)));
    bump();
  }
  void close() { stream_.reset(); }

  // Reads every byte waiting without blocking: their number, or -1 once the publisher has
  // closed the connection.
  int drain() {
    int n = 0;
    for (;;) {
      auto r = platform::recv_byte_nonblocking(fd());
      if (!r) return n;
      if (*r == platform::ByteReceive::EndOfStream) return -1;
      if (*r == platform::ByteReceive::WouldBlock) return n;
      ++n;
    }
  }
  // Waits up to `ms` for the connection to become readable, then drains it.
  int drain_within(int ms) {
    pollfd p{fd(), POLLIN, 0};
    ::poll(&p, 1, ms);
    return drain();
  }

 private:
  static RingBuffer open_ring(const std::filesystem::path& dir) {
    auto r = RingBuffer::open(dir / "ring.mmap");
    if (!r) throw std::runtime_error(r.error().text());
    return std::move(*r);
  }

  std::filesystem::path dir_;
  uint32_t idx_;
  RingBuffer ring_;
  Fd stream_;
};

// Runs `body` in a forked child bounded by alarm(); returns the raw wait status (a death by
// signal stays visible). The parent kills the child at the deadline.
inline int run_in_child(const std::function<int()>& body, int seconds = 20) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(static_cast<unsigned>(seconds));
    ::_exit(body());
  }
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds + 10);
  while (::waitpid(pid, &status, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return status;
}

inline bool exited_zero(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

}  // namespace kavri::testing_util
