#include "ring.h"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <limits>

#include "internal_failure.h"
#include "platform/cpu.h"
#include "platform/directory.h"
#include "platform/fd.h"
#include "platform/file.h"

namespace kavri {

// The header's integers are stored as the host holds them.
static_assert(std::endian::native == std::endian::little, "the ring file is little-endian");
static_assert(sizeof(size_t) == sizeof(uint64_t), "a ring is mapped whole");
static_assert(std::atomic_ref<uint32_t>::is_always_lock_free);

namespace {

constexpr uint64_t VERSION_OFFSET = 8;
constexpr uint64_t CAPACITY_OFFSET = 12;
constexpr uint64_t SLOT_SIZE_OFFSET = 16;
constexpr uint64_t MAX_SUBSCRIBERS_OFFSET = 20;
constexpr uint64_t PAYLOAD_LEN_OFFSET = 8;

uint32_t read_u32(const uint8_t* at) {
  uint32_t v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

void write_u32(uint8_t* at, uint32_t v) { std::memcpy(at, &v, sizeof v); }

// `payload_len` is an ordinary field of the protocol: a reader may race with the writer and
// discards what it read unless the stamp check confirms it. A relaxed atomic is the same single
// move on every target and keeps that racing read defined and untorn.
std::atomic_ref<uint32_t> payload_len(uint8_t* slot) {
  return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(slot + PAYLOAD_LEN_OFFSET));
}

std::unexpected<IoError> invalid_data(const char* message) {
  return std::unexpected(IoError::fixed(IoErrorKind::InvalidData, message));
}

enum class Copy : uint8_t { Done, TooSmall };

}  // namespace

std::optional<RingGeometry> ring_geometry(uint32_t capacity, uint32_t slot_size,
                                          uint32_t max_subscribers) {
  // Neither sum can wrap in 64 bits; only the product and the total can.
  uint64_t data_offset = (16 * uint64_t{max_subscribers} + 127) & ~uint64_t{63};
  uint64_t slot_stride = (uint64_t{slot_size} + 19) & ~uint64_t{7};
  uint64_t slots_len;
  uint64_t file_len;
  if (__builtin_mul_overflow(uint64_t{capacity}, slot_stride, &slots_len)) return std::nullopt;
  if (__builtin_add_overflow(data_offset, slots_len, &file_len)) return std::nullopt;
  return RingGeometry{data_offset, slot_stride, file_len};
}

RingBuffer::RingBuffer(platform::Mapping map, uint32_t capacity, uint32_t slot_size,
                       uint32_t max_subscribers, const RingGeometry& geometry)
    : map_(std::move(map)),
      data_offset_(geometry.data_offset),
      slot_stride_(geometry.slot_stride),
      capacity_(capacity),
      slot_size_(slot_size),
      max_subscribers_(max_subscribers) {}

IoResult<RingBuffer> RingBuffer::open(const std::filesystem::path& path) {
  auto fd = platform::open_file(path, {.mode = platform::OpenMode::ReadWrite});
  if (!fd) return std::unexpected(fd.error());
  auto size = platform::file_size(fd->get());
  if (!size) return std::unexpected(size.error());
  // Nothing beyond the file's end is ever touched: the header is read only once the file is
  // known to hold it, and a slot only once the length matches the geometry.
  if (*size < RING_HEADER_LEN) return invalid_data("kavri: ring file is shorter than its header");
  auto map = platform::Mapping::map_shared(fd->get(), *size);
  if (!map) return std::unexpected(map.error());

  // Acquire: pairs with the creator's release store of the magic, which it stores last, so the
  // geometry read below is the one it wrote.
  uint64_t magic = SharedWord(map->data()).load(std::memory_order_acquire);
  if (magic != RING_MAGIC) {
    return std::unexpected(IoError::formatted(
        IoErrorKind::InvalidData,
        fmt::format("kavri: unrecognised magic {:#018x} (want {:#018x}; is this an older format?)",
                    magic, RING_MAGIC)));
  }
  uint32_t capacity = read_u32(map->data() + CAPACITY_OFFSET);
  uint32_t slot_size = read_u32(map->data() + SLOT_SIZE_OFFSET);
  uint32_t max_subscribers = read_u32(map->data() + MAX_SUBSCRIBERS_OFFSET);
  // Every ring is created at exactly its geometry's length; any other length is a file cut
  // short or a header not fully written, and neither may be acted on.
  auto geometry = ring_geometry(capacity, slot_size, max_subscribers);
  if (!geometry || geometry->file_len != *size) {
    return invalid_data("kavri: ring file length does not match its header");
  }
  return RingBuffer(std::move(*map), capacity, slot_size, max_subscribers, *geometry);
}

IoResult<RingBuffer> RingBuffer::create_or_reuse(const std::filesystem::path& path,
                                                 uint32_t capacity, uint32_t slot_size,
                                                 uint32_t max_subscribers) {
  if (auto ok = platform::check_no_nul(path); !ok) return std::unexpected(ok.error());
  auto existing = open(path);
  if (existing && existing->capacity_ == capacity && existing->slot_size_ == slot_size &&
      existing->max_subscribers_ == max_subscribers) {
    existing->reuse();
    return existing;
  }
  return create(path, capacity, slot_size, max_subscribers);
}

void RingBuffer::reuse() {
  // Read-modify-write: one increment per new publisher, never lost.
  generation().fetch_add(1, std::memory_order_relaxed);
  first_cursor().store(0, std::memory_order_relaxed);
  // Release: a reader that sees the reset tail also sees the new generation.
  tail().store(0, std::memory_order_release);
  // The previous numbering's stamps would let the lapped rule jump to a stale message (its
  // cursors may lie above the new ones), and a crashed writer may have left a slot marked in
  // progress. Every slot becomes never-written. A reader still reading the old numbering sees
  // either a complete old message or a stamp below its cursor (nothing). The next release of
  // `tail` publishes these stores to the readers of the new numbering.
  for (uint64_t k = 0; k < capacity_; ++k) {
    uint8_t* s = map_.data() + data_offset_ + k * slot_stride_;
    SharedWord(s).store(0, std::memory_order_relaxed);
    payload_len(s).store(0, std::memory_order_relaxed);
  }
}

IoResult<RingBuffer> RingBuffer::create(const std::filesystem::path& path, uint32_t capacity,
                                        uint32_t slot_size, uint32_t max_subscribers) {
  auto geometry = ring_geometry(capacity, slot_size, max_subscribers);
  if (!geometry ||
      geometry->file_len > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return std::unexpected(IoError::fixed(IoErrorKind::InvalidInput,
                                          "out of range integral type conversion attempted"));
  }

  // The new file is built whole under a temporary name and only then renamed over `path`. A
  // reader therefore never opens a half-built ring, and a process that still maps the previous
  // file keeps that inode intact (a truncation in place would make its next access fault).
  // Under the producer lock there is one creator; a leftover of a crashed one is removed.
  std::filesystem::path tmp = path;
  tmp += ".tmp";
  (void)platform::remove_file(tmp);
  auto fd = platform::open_file(tmp, {.mode = platform::OpenMode::ReadWrite, .exclusive = true});
  if (!fd) return std::unexpected(fd.error());
  auto fail = [&tmp](const IoError& e) {
    (void)platform::remove_file(tmp);
    return std::unexpected(e);
  };
  // Allocated, not sparse: on a full file system the first store into a hole would kill every
  // process mapping the file with SIGBUS. Here the shortage is an error instead.
  if (auto ok = platform::allocate(fd->get(), geometry->file_len); !ok) return fail(ok.error());
  auto map = platform::Mapping::map_shared(fd->get(), geometry->file_len);
  if (!map) return fail(map.error());

  uint8_t* base = map->data();
  write_u32(base + VERSION_OFFSET, RING_VERSION);
  write_u32(base + CAPACITY_OFFSET, capacity);
  write_u32(base + SLOT_SIZE_OFFSET, slot_size);
  write_u32(base + MAX_SUBSCRIBERS_OFFSET, max_subscribers);
  SharedWord(base + GENERATION_OFFSET).store(1, std::memory_order_relaxed);
  for (uint64_t i = 0; i < max_subscribers; ++i) {
    SharedWord(base + RING_HEADER_LEN + 8 * i).store(FREE_CURSOR, std::memory_order_relaxed);
  }
  // Release: the magic goes last and publishes the header and tables above; a file without it
  // is refused by `open`.
  SharedWord(base).store(RING_MAGIC, std::memory_order_release);

  if (auto ok = platform::rename_path(tmp, path); !ok) return fail(ok.error());
  return RingBuffer(std::move(*map), capacity, slot_size, max_subscribers, *geometry);
}

SharedWord RingBuffer::cursor_entry(uint32_t i) const {
  if (i >= max_subscribers_) {
    internal_failure(
        fmt::format("cursor index {} out of range for {} entries", i, max_subscribers_));
  }
  return word(RING_HEADER_LEN + 8 * uint64_t{i});
}

SharedWord RingBuffer::wakeup_flag(uint32_t i) const {
  if (i >= max_subscribers_) {
    internal_failure(
        fmt::format("wake-up flag {} out of range for {} entries", i, max_subscribers_));
  }
  return word(RING_HEADER_LEN + 8 * (uint64_t{max_subscribers_} + i));
}

uint8_t* RingBuffer::slot(uint64_t cursor) const {
  if (capacity_ == 0) internal_failure("attempt to calculate the remainder with a divisor of zero");
  // open and create checked that capacity * slot_stride fits the file.
  return map_.data() + data_offset_ + (cursor % capacity_) * slot_stride_;
}

void RingBuffer::start_numbering_at(uint64_t cursor) {
  // Relaxed: only this process stores `tail`; this reads its own last store.
  if (cursor <= tail().load(std::memory_order_relaxed)) return;
  first_cursor().store(cursor, std::memory_order_relaxed);
  // Release: publishes `first_cursor` (and the slots cleared at reuse) to every reader that
  // sees the raised tail.
  tail().store(cursor, std::memory_order_release);
}

uint64_t RingBuffer::write_slot(std::span<const std::byte> payload) {
  if (payload.size() > slot_size_) {
    internal_failure(
        fmt::format("data len {} exceeds slot_payload_size {}", payload.size(), slot_size_));
  }
  // Relaxed: only this process stores `tail`.
  uint64_t c = tail().load(std::memory_order_relaxed);
  uint8_t* s = slot(c);
  SharedWord stamp(s);
  stamp.store(c | WRITE_IN_PROGRESS, std::memory_order_relaxed);
  // Release fence (store-store): the in-progress mark is visible before any byte of the length
  // or payload below, so a reader whose copy saw a new byte finds the stamp changed.
  std::atomic_thread_fence(std::memory_order_release);
  payload_len(s).store(static_cast<uint32_t>(payload.size()), std::memory_order_relaxed);
  if (!payload.empty()) std::memcpy(s + SLOT_HEADER_LEN, payload.data(), payload.size());
  // Release: publishes the length and payload of message c with its stamp.
  stamp.store(c, std::memory_order_release);
  // Release: publishes the final stamp; every cursor below the new tail is complete.
  tail().store(c + 1, std::memory_order_release);
  return c;
}

template <class Sink>
std::optional<SliceRead> RingBuffer::read(uint32_t cursor_idx, uint64_t cursor, Sink&& sink) {
  SharedWord entry = cursor_entry(cursor_idx);
  // Acquire: pairs with the release of `tail` by write_slot / start_numbering_at; the final
  // stamp of every cursor below it, and `first_cursor`, are visible. Read once, on purpose.
  uint64_t t = tail().load(std::memory_order_acquire);
  // Relaxed: ordered after the acquire above, and stored before the tail it was released with.
  uint64_t c = std::max(cursor, first_cursor().load(std::memory_order_relaxed));
  if (c >= t) return std::nullopt;
  // From here c stays within [first_cursor, t) or moves to a stamp written under the current
  // numbering, so every slot read holds a message of this numbering (or is being overwritten).
  for (uint32_t attempt = 0; attempt < READ_ATTEMPTS; ++attempt) {
    uint8_t* s = slot(c);
    SharedWord stamp(s);
    // Acquire: pairs with the writer's final stamp store; message s's bytes are visible.
    uint64_t seen = stamp.load(std::memory_order_acquire);
    if (seen & WRITE_IN_PROGRESS) {
      platform::spin_hint();
      continue;
    }
    if (seen > c) {  // lapped: the slot already holds a newer message
      c = seen;
      continue;
    }
    if (seen < c) return std::nullopt;  // not yet written under this numbering
    uint32_t len = payload_len(s).load(std::memory_order_relaxed);
    if (len > slot_size_) continue;  // torn: a rewrite is under way
    if (sink(s + SLOT_HEADER_LEN, len) == Copy::TooSmall) {
      // Release: the reader's position moves past the message it declines.
      entry.store(c + 1, std::memory_order_release);
      return SliceRead{c + 1, std::nullopt, len};
    }
    // Acquire fence (load-load): every load of the copy completes before the stamp re-read.
    std::atomic_thread_fence(std::memory_order_acquire);
    uint64_t again = stamp.load(std::memory_order_relaxed);
    if (again == seen) {
      // Release: the copy's loads are complete before the publisher can see this position and
      // overwrite the slot.
      entry.store(c + 1, std::memory_order_release);
      return SliceRead{c + 1, len, len};
    }
    c = std::max(c, again & ~WRITE_IN_PROGRESS);
  }
  return std::nullopt;
}

std::optional<uint64_t> RingBuffer::try_receive(uint32_t cursor_idx, uint64_t cursor,
                                                std::vector<std::byte>& out) {
  auto got = read(cursor_idx, cursor, [&out](const uint8_t* payload, uint32_t len) {
    out.resize(len);
    if (len != 0) std::memcpy(out.data(), payload, len);
    return Copy::Done;
  });
  if (!got) return std::nullopt;
  return got->next_cursor;
}

std::optional<SliceRead> RingBuffer::try_receive_into_slice(uint32_t cursor_idx, uint64_t cursor,
                                                            std::span<std::byte> dest) {
  return read(cursor_idx, cursor, [dest](const uint8_t* payload, uint32_t len) {
    if (dest.size() < len) return Copy::TooSmall;
    if (len != 0) std::memcpy(dest.data(), payload, len);
    return Copy::Done;
  });
}

uint64_t RingBuffer::max_lag() const {
  // Relaxed: the publisher reads its own stores of `tail` and `first_cursor`.
  uint64_t t = tail().load(std::memory_order_relaxed);
  uint64_t first = first_cursor().load(std::memory_order_relaxed);
  uint64_t slowest = FREE_CURSOR;
  for (uint32_t i = 0; i < max_subscribers_; ++i) {
    // Acquire: pairs with the reader's release of its position; its copy out of every slot
    // below that position is complete, so those slots may be overwritten.
    // The index is in range by construction: no checked accessor on the publish path.
    uint64_t entry = word(RING_HEADER_LEN + 8 * uint64_t{i}).load(std::memory_order_acquire);
    if (entry != FREE_CURSOR) slowest = std::min(slowest, entry);
  }
  if (slowest == FREE_CURSOR) return 0;
  // No message below `first_cursor` exists; a reader placed there will move up to it, and
  // counting the gap as lag would hold the publisher back for a reader that cannot catch up.
  slowest = std::max(slowest, first);
  return slowest <= t ? t - slowest : 0;
}

uint64_t RingBuffer::move_up_to_numbering(uint64_t cursor) const {
  // Relaxed: only the value matters. A caller that computed `cursor` from an acquire of `tail`
  // sees at least the first cursor stored before that tail.
  return std::max(cursor, first_cursor().load(std::memory_order_relaxed));
}

}  // namespace kavri
