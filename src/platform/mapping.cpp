#include "platform/mapping.h"

#include <sys/mman.h>

namespace kavri::platform {

IoResult<Mapping> Mapping::map_shared(int fd, size_t len) {
  if (len == 0) {
    // mmap refuses a zero length; an empty file maps to nothing.
    return Mapping(nullptr, 0);
  }
  void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return last_os_error();
  return Mapping(static_cast<uint8_t*>(p), len);
}

Mapping& Mapping::operator=(Mapping&& other) noexcept {
  if (this != &other) {
    unmap();
    data_ = std::exchange(other.data_, nullptr);
    len_ = std::exchange(other.len_, 0);
  }
  return *this;
}

void Mapping::unmap() {
  if (data_ != nullptr) ::munmap(data_, len_);
  data_ = nullptr;
  len_ = 0;
}

}  // namespace kavri::platform
