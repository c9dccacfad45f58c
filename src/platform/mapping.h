#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "platform/io_error.h"

namespace kavri::platform {

// A shared, read-write mapping of a whole file. Owns it; unmaps when destroyed. Move-only.
// No explicit sync of the mapping is ever made.
class Mapping {
 public:
  // Maps `len` bytes of `fd` from offset 0. The descriptor may be closed afterwards.
  static IoResult<Mapping> map_shared(int fd, size_t len);

  Mapping() = default;
  Mapping(Mapping&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), len_(std::exchange(other.len_, 0)) {}
  Mapping& operator=(Mapping&& other) noexcept;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() { unmap(); }

  uint8_t* data() const { return data_; }
  size_t size() const { return len_; }

 private:
  Mapping(uint8_t* data, size_t len) : data_(data), len_(len) {}
  void unmap();

  uint8_t* data_ = nullptr;
  size_t len_ = 0;
};

}  // namespace kavri::platform
