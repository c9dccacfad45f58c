#pragma once

#include <utility>

namespace kavri {

// Owns one file descriptor; closes it when destroyed. Move-only.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  // Closes the current descriptor (close is not retried: on Linux the descriptor is gone
  // even when close reports EINTR) and takes ownership of `fd`.
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

}  // namespace kavri
