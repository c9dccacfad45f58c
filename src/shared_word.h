#pragma once

// The one way to touch the 64-bit words that processes share through a mapping (ring header
// fields, stamps, cursor entries, wake-up flags). Every access names its memory order; the
// callers say what each release, acquire or fence publishes. Payload bytes are plain memcpy.

#include <atomic>
#include <cstdint>

namespace kavri {

static_assert(std::atomic_ref<uint64_t>::is_always_lock_free,
              "shared words must be lock-free across processes");

class SharedWord {
 public:
  // `word` must be 8-byte aligned and live in the mapping for as long as this view is used.
  explicit SharedWord(uint64_t* word) : word_(word) {}
  explicit SharedWord(uint8_t* at) : word_(reinterpret_cast<uint64_t*>(at)) {}

  uint64_t load(std::memory_order order) const {
    return std::atomic_ref<uint64_t>(*word_).load(order);
  }
  void store(uint64_t value, std::memory_order order) const {
    std::atomic_ref<uint64_t>(*word_).store(value, order);
  }
  uint64_t exchange(uint64_t value, std::memory_order order) const {
    return std::atomic_ref<uint64_t>(*word_).exchange(value, order);
  }
  // On failure `expected` holds the value found.
  bool compare_exchange(uint64_t& expected, uint64_t desired, std::memory_order order) const {
    return std::atomic_ref<uint64_t>(*word_).compare_exchange_strong(expected, desired, order);
  }
  uint64_t fetch_add(uint64_t delta, std::memory_order order) const {
    return std::atomic_ref<uint64_t>(*word_).fetch_add(delta, order);
  }

 private:
  uint64_t* word_;
};

// A full, sequentially consistent fence: orders an earlier store before a later load.
inline void full_fence() { std::atomic_thread_fence(std::memory_order_seq_cst); }

}  // namespace kavri
