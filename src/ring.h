#pragma once

// The ring file `ring.mmap` and one process's view of it.
//
// Layout (little-endian; offsets from the start of the file):
//   0   u64 RING_MAGIC            (stored last at creation: a half-built file is unrecognisable)
//   8   u32 RING_VERSION          (written, never checked)
//   12  u32 capacity              number of slots
//   16  u32 slot_size             largest payload of a slot
//   20  u32 max_subscribers       entries in each table
//   24  u64 generation            1 at creation, +1 per reusing publisher
//   32  u64 tail                  cursor of the next message; every cursor below it is published
//   40  u64 first_cursor          first cursor of the current numbering (see below)
//   48  u64 announce_count        connections announced so far (see handshake.h)
//   56  8 bytes zero
//   64  cursor table: max_subscribers u64 entries, FREE_CURSOR when free
//   ..  wake-up flag table: max_subscribers u64 entries, 1 = armed
//   data_offset: capacity slots of slot_stride bytes each:
//       u64 stamp (cursor held; bit 63 = being written; 0 = never written), u32 payload_len,
//       payload.
//
// `first_cursor` lives in bytes that a reader of the plain format ignores, and is zero in every
// file that format creates, so files stay interchangeable. A numbering starts at
// `first_cursor`: no message below it exists under the current numbering, so readers move a
// cursor below it up to it and the lag of such a reader is counted from it.
//
// A file found at the ring's path is always complete: re-creation builds the new file under a
// temporary name and renames it over the path, so a process that still maps the old file keeps
// a whole, unchanging inode (it never faults and never sees another layout).
//
// Thread rules: a RingBuffer is used by one thread at a time and may move between threads.
// Across processes, exactly one publisher (the holder of the producer lock) calls
// `create_or_reuse`, `start_numbering_at` and `write_slot`; any number of readers call
// `try_receive*` with their own cursor entry. Shared words are reached only through SharedWord.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "platform/io_error.h"
#include "platform/mapping.h"
#include "shared_word.h"

namespace kavri {

inline constexpr uint64_t RING_MAGIC = 0x6B61767269000005;
inline constexpr uint32_t RING_VERSION = 5;
inline constexpr uint64_t RING_HEADER_LEN = 64;
inline constexpr uint64_t SLOT_HEADER_LEN = 12;
inline constexpr uint64_t WRITE_IN_PROGRESS = 0x8000000000000000;
inline constexpr uint64_t FREE_CURSOR = 0xFFFFFFFFFFFFFFFF;
inline constexpr uint32_t READ_ATTEMPTS = 16;

// The derived geometry of a ring, in 64-bit arithmetic. nullopt when the file length does not
// fit an unsigned 64-bit number.
struct RingGeometry {
  uint64_t data_offset;  // (16 * max_subscribers + 127) & ~63
  uint64_t slot_stride;  // (slot_size + 19) & ~7
  uint64_t file_len;     // data_offset + capacity * slot_stride
};
std::optional<RingGeometry> ring_geometry(uint32_t capacity, uint32_t slot_size,
                                          uint32_t max_subscribers);

// Result of a read into the caller's memory: the next cursor, and the payload's length, or
// nullopt when the destination was too small (the message was consumed, nothing copied).
// `message_len` is the payload's length in both cases (a refusal reports it to the caller).
struct SliceRead {
  uint64_t next_cursor;
  std::optional<uint32_t> len;
  uint32_t message_len = 0;
  bool too_small() const { return !len.has_value(); }
};

class RingBuffer {
 public:
  // Maps an existing ring file. Refused with an I/O error (never a fault): a missing or
  // unmappable file (the OS error), a file shorter than its header or whose length is not
  // exactly what its header's geometry requires ("kavri: ring file is shorter than its header",
  // "kavri: ring file length does not match its header"; kind invalid data), a foreign magic
  // ("kavri: unrecognised magic {:#018x} (want {:#018x}; is this an older format?)").
  static IoResult<RingBuffer> open(const std::filesystem::path& path);

  // For the publisher, under the producer lock. A readable file of the same geometry is reused:
  // `generation` + 1, `tail` 0, `first_cursor` 0, every slot's stamp and length cleared (no
  // message of the previous numbering can be delivered), cursor entries and flags kept.
  // Anything else is re-created under "<path>.tmp" with its blocks allocated, then renamed over
  // `path`: `generation` 1, all entries FREE_CURSOR, flags and slots zero. Errors: a NUL in the
  // path; a length beyond a signed 64-bit size ("out of range integral type conversion
  // attempted"); the OS error of create, allocate (e.g. ENOSPC on a full file system), map or
  // rename. On an error nothing at `path` has changed.
  static IoResult<RingBuffer> create_or_reuse(const std::filesystem::path& path, uint32_t capacity,
                                              uint32_t slot_size, uint32_t max_subscribers);

  RingBuffer(RingBuffer&&) noexcept = default;
  RingBuffer& operator=(RingBuffer&&) noexcept = default;
  RingBuffer(const RingBuffer&) = delete;
  RingBuffer& operator=(const RingBuffer&) = delete;

  // Publisher only. Starts the numbering at `cursor` (the log's next cursor) before anything is
  // written under it: records it as `first_cursor`, then raises `tail` to it (release). A value
  // not above `tail` changes nothing. Raise `tail` only through this call.
  void start_numbering_at(uint64_t cursor);

  // Publisher only. Writes `payload` as message `tail` and advances `tail`; returns the cursor
  // written. Never waits, never looks at the cursor table (backpressure is decided before).
  // Internal failures: "data len {} exceeds slot_payload_size {}"; capacity 0: "attempt to
  // calculate the remainder with a divisor of zero".
  uint64_t write_slot(std::span<const std::byte> payload);

  // One non-blocking attempt (at most READ_ATTEMPTS slot reads) to take the message at `cursor`
  // into `out` (resized to the payload). A cursor below `first_cursor` is moved up to it first.
  // On success returns the cursor after the message taken (beyond cursor + 1 when lapped) and
  // has stored it (release) into cursor entry `cursor_idx`. nullopt: nothing now; nothing is
  // stored and `out` is unspecified. Internal failure on capacity 0 or a bad `cursor_idx`.
  std::optional<uint64_t> try_receive(uint32_t cursor_idx, uint64_t cursor,
                                      std::vector<std::byte>& out);
  // As try_receive, copying into the first payload_len bytes of `dest` (the rest untouched)
  // without allocating. A `dest` shorter than the payload consumes the message uncopied.
  std::optional<SliceRead> try_receive_into_slice(uint32_t cursor_idx, uint64_t cursor,
                                                  std::span<std::byte> dest);

  // The lag of the slowest claimed cursor entry: tail minus the smallest claimed entry, where
  // an entry below `first_cursor` counts as `first_cursor`; 0 when none is claimed or it is
  // ahead of tail. Each entry is read once (acquire); not a snapshot of the table.
  uint64_t max_lag() const;

  // Reader side: `cursor` moved up to the current numbering's first cursor. Use it on a start
  // position read from the ring (a position the log will replay keeps its value): a cursor
  // below it would otherwise wait for a slot that is never written.
  uint64_t move_up_to_numbering(uint64_t cursor) const;

  // The shared words, in place. Orderings each caller must use:
  //   tail:          publisher stores release (publishes the final stamps); readers load
  //                  acquire before a slot read.
  //   generation:    publisher increments with a read-modify-write at reuse; subscribers load
  //                  acquire after a wake-up.
  //   first_cursor:  stored by the publisher (start_numbering_at) before its release of
  //                  `tail`; readers load it relaxed after their acquire of `tail`.
  //   cursor entry:  claim by compare-exchange from FREE_CURSOR, free by a release store of
  //                  FREE_CURSOR, reader's position by a release store after its copy;
  //                  publisher loads acquire.
  //   wake-up flag:  armed / cleared by exchange and store with the wake-up protocol's fences.
  // `i` must be below max_subscribers (internal failure otherwise).
  SharedWord tail() const { return word(TAIL_OFFSET); }
  SharedWord generation() const { return word(GENERATION_OFFSET); }
  SharedWord first_cursor() const { return word(FIRST_CURSOR_OFFSET); }
  // Subscribers add 1 (release) once their announcement is sent; the publisher loads it
  // (acquire) to learn that a connection waits on its listener. Never reset; wraps freely.
  SharedWord announce_count() const { return word(ANNOUNCE_COUNT_OFFSET); }
  SharedWord cursor_entry(uint32_t i) const;
  SharedWord wakeup_flag(uint32_t i) const;

  // Geometry copied from the header when the record was made; never re-read.
  uint32_t capacity() const { return capacity_; }
  uint32_t slot_size() const { return slot_size_; }
  uint32_t max_subscribers() const { return max_subscribers_; }
  uint64_t data_offset() const { return data_offset_; }
  uint64_t slot_stride() const { return slot_stride_; }
  uint64_t file_len() const { return map_.size(); }

 private:
  static constexpr uint64_t GENERATION_OFFSET = 24;
  static constexpr uint64_t TAIL_OFFSET = 32;
  static constexpr uint64_t FIRST_CURSOR_OFFSET = 40;
  static constexpr uint64_t ANNOUNCE_COUNT_OFFSET = 48;

  RingBuffer(platform::Mapping map, uint32_t capacity, uint32_t slot_size, uint32_t max_subscribers,
             const RingGeometry& geometry);
  static IoResult<RingBuffer> create(const std::filesystem::path& path, uint32_t capacity,
                                     uint32_t slot_size, uint32_t max_subscribers);
  void reuse();

  SharedWord word(uint64_t offset) const { return SharedWord(map_.data() + offset); }
  uint8_t* slot(uint64_t cursor) const;  // internal failure on capacity 0

  // The read protocol shared by both receives. `Sink` copies a payload or declines it.
  template <class Sink>
  std::optional<SliceRead> read(uint32_t cursor_idx, uint64_t cursor, Sink&& sink);

  platform::Mapping map_;  // the whole file; owned, unmapped on destruction
  uint64_t data_offset_;
  uint64_t slot_stride_;
  uint32_t capacity_;
  uint32_t slot_size_;
  uint32_t max_subscribers_;
};

}  // namespace kavri
