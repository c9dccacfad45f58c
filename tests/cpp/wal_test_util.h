#pragma once

// Helpers for the log's tests: a private directory per test, raw file access, segment
// building.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "wal/record.h"
#include "wal/segment_writer.h"

namespace kavri::wal::testing_util {

using Bytes = std::vector<std::byte>;

inline Bytes bytes_of(std::string_view s) {
  Bytes b(s.size());
  for (size_t i = 0; i < s.size(); ++i) b[i] = static_cast<std::byte>(s[i]);
  return b;
}

inline Bytes payload_for(uint64_t cursor, size_t len) {
  Bytes b(len);
  for (size_t i = 0; i < len; ++i) b[i] = static_cast<std::byte>((cursor * 131 + i) & 0xff);
  return b;
}

// A directory unique to this process and test, removed when the object goes.
class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = std::filesystem::path(::testing::TempDir()) /
            ("kavri_" + std::string(info ? info->name() : "x") + "_" + std::to_string(getpid()) +
             "_" + std::to_string(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path wal() const { return path_ / "wal"; }

 private:
  std::filesystem::path path_;
};

inline Bytes read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::vector<char> c((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Bytes b(c.size());
  for (size_t i = 0; i < c.size(); ++i) b[i] = static_cast<std::byte>(c[i]);
  return b;
}

inline void write_file(const std::filesystem::path& p, const Bytes& b) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

inline Bytes header_bytes(uint64_t base_cursor, uint32_t version = WAL_VERSION) {
  Bytes h(SEGMENT_HEADER_LEN);
  const uint64_t words[4] = {WAL_MAGIC, version, base_cursor, 0};
  for (int w = 0; w < 4; ++w) {
    for (int i = 0; i < 8; ++i) h[w * 8 + i] = static_cast<std::byte>(words[w] >> (8 * i));
  }
  return h;
}

// A segment image: header for `base` and records base, base+1, ... with the given payload
// lengths.
inline Bytes segment_image(uint64_t base, const std::vector<size_t>& payload_lens) {
  Bytes img = header_bytes(base);
  uint64_t c = base;
  for (size_t len : payload_lens) {
    encode_record_into(img, c, c * 10, payload_for(c, len));
    ++c;
  }
  return img;
}

// Writes a segment of `count` records (cursors base..base+count-1) through the real writer.
inline void write_segment(const std::filesystem::path& dir, uint64_t base, uint64_t count,
                          size_t payload_len = 16) {
  std::filesystem::create_directories(dir);
  auto w = SegmentWriter::create(dir / segment_file_name(base), base);
  ASSERT_TRUE(w);
  for (uint64_t c = base; c < base + count; ++c) {
    ASSERT_TRUE(w->append(c, c * 10, payload_for(c, payload_len)));
  }
  ASSERT_TRUE(SegmentWriter::close(std::move(*w)));
}

inline void set_u32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::byte>(v >> (8 * i));
}

}  // namespace kavri::wal::testing_util
