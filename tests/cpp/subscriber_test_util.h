#pragma once

// Helpers for the subscriber's tests: numbered payloads, short constructors with a bounded
// time-out, and a check that a run of receives is contiguous.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "publisher.h"
#include "subscriber.h"
#include "transport_test_util.h"

namespace kavri::testing_util {

using Bytes = std::vector<std::byte>;

// The cursor in the first 8 bytes, then a pattern derived from it, `len` >= 8 bytes in all.
inline Bytes numbered(uint64_t cursor, size_t len = 16) {
  Bytes b(len);
  std::memcpy(b.data(), &cursor, sizeof cursor);
  for (size_t i = sizeof cursor; i < len; ++i) {
    b[i] = static_cast<std::byte>((cursor * 131 + i * 7) & 0xff);
  }
  return b;
}

// The cursor of a numbered payload; UINT64_MAX when the pattern is damaged.
inline uint64_t number_of(std::span<const std::byte> b) {
  uint64_t cursor = UINT64_MAX;
  if (b.size() < sizeof cursor) return UINT64_MAX;
  std::memcpy(&cursor, b.data(), sizeof cursor);
  for (size_t i = sizeof cursor; i < b.size(); ++i) {
    if (b[i] != static_cast<std::byte>((cursor * 131 + i * 7) & 0xff)) return UINT64_MAX;
  }
  return cursor;
}

inline std::unique_ptr<Publisher> publisher(const BusConfig& config, std::string_view topic = "t") {
  auto p = Publisher::create(topic, config);
  if (!p) {
    ADD_FAILURE() << "Publisher::create failed (variant " << p.error().index() << ")";
    return nullptr;
  }
  return std::move(*p);
}

inline void publish_range(Publisher& p, uint64_t from, uint64_t to, size_t len = 16) {
  for (uint64_t c = from; c < to; ++c) {
    auto ok = p.publish(numbered(c, len));
    ASSERT_TRUE(ok) << "publish " << c << " failed (variant " << ok.error().index() << ")";
  }
}

inline Result<std::unique_ptr<Subscriber>> connect(const BusConfig& config, StartAt start,
                                                   Duration timeout = Duration::from_millis(5000),
                                                   std::string_view topic = "t") {
  return Subscriber::connect_with(topic, config, timeout, start);
}

inline std::string describe(const Error& e) {
  if (const auto* io = std::get_if<err::Io>(&e)) return "Io: " + io->error.text();
  if (const auto* w = std::get_if<err::Wal>(&e)) return "Wal: " + wal::message(w->error);
  return "Error variant " + std::to_string(e.index());
}

// The Io error's kind and text, or a failure.
inline void expect_io(const Error& e, IoErrorKind kind, std::string_view text) {
  const auto* io = std::get_if<err::Io>(&e);
  ASSERT_NE(io, nullptr) << describe(e);
  EXPECT_EQ(io->error.kind(), kind);
  EXPECT_EQ(io->error.text(), text);
}

inline uint64_t entry_of(const Subscriber& s, const RingBuffer& ring) {
  return ring.cursor_entry(s.cursor_idx()).load(std::memory_order_acquire);
}

}  // namespace kavri::testing_util
