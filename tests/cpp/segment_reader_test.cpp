#include "wal/segment_reader.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "wal_test_util.h"

namespace kavri::wal {
namespace {

using namespace testing_util;

// The records a fresh reader yields, and the error that ends them (empty when none).
struct Walk {
  std::vector<uint64_t> cursors;
  std::string error;
};

Walk walk(const std::filesystem::path& path) {
  Walk w;
  auto reader = SegmentReader::open(path);
  if (!reader) {
    w.error = message(reader.error());
    return w;
  }
  RecordIter it(*reader);
  while (auto r = it.next()) {
    if (*r) {
      w.cursors.push_back((*r)->cursor);
    } else {
      w.error = message(r->error());
    }
  }
  return w;
}

TEST(SegmentReaderTest, BadHeadersFailToOpenAndAreNeverRepaired) {
  TempDir dir;
  Bytes bad_magic = header_bytes(0);
  bad_magic[7] = std::byte{0};
  Bytes short_header = header_bytes(0);
  short_header.pop_back();
  Bytes arbitrary_tail = header_bytes(0);
  for (size_t i = 12; i < 32; ++i) arbitrary_tail[i] = std::byte{0xAB};
  struct Case {
    Bytes file;
    std::string error;  // empty: opens
  } cases[] = {
      {{}, "segment header: segment header truncated: 0 bytes < 32"},
      {short_header, "segment header: segment header truncated: 31 bytes < 32"},
      {bad_magic,
       "segment header: segment magic mismatch: got 0x006176726957414c, want 0x6b6176726957414c"},
      {header_bytes(0, 2), "segment header: segment version 2 not supported (this build speaks 1)"},
      {arbitrary_tail, ""},
  };
  auto path = dir.path() / "0.seg";
  for (const Case& c : cases) {
    write_file(path, c.file);
    auto reader = SegmentReader::open(path);
    auto recovered = recover_truncate(path);
    if (c.error.empty()) {
      ASSERT_TRUE(reader);
      EXPECT_EQ(reader->offset(), 32u);
      EXPECT_EQ(recovered, (RecoverOutcome{std::nullopt, 32, 0}));
      continue;
    }
    ASSERT_FALSE(reader);
    EXPECT_EQ(message(reader.error()), c.error);
    ASSERT_FALSE(recovered);
    EXPECT_EQ(message(recovered.error()), c.error);
    EXPECT_EQ(read_file(path), c.file);
  }
  auto missing = SegmentReader::open(dir.path() / "absent.seg");
  ASSERT_FALSE(missing);
  EXPECT_EQ(std::get<ReadIo>(missing.error()).error.kind(), IoErrorKind::NotFound);
}

TEST(SegmentReaderTest, HeaderOnlySegmentEndsAtOnceAndNeedsNoRepair) {
  TempDir dir;
  auto path = dir.path() / "0.seg";
  write_file(path, header_bytes(0));
  auto reader = SegmentReader::open(path);
  ASSERT_TRUE(reader);
  auto r = reader->read_one_record(32);
  ASSERT_TRUE(r);
  EXPECT_FALSE(*r);
  EXPECT_EQ(recover_truncate(path), (RecoverOutcome{std::nullopt, 32, 0}));
  EXPECT_EQ(read_file(path).size(), 32u);
}

TEST(SegmentReaderTest, RecordsComeBackWithTheirContents) {
  TempDir dir;
  auto path = dir.path() / "5.seg";
  write_file(path, segment_image(5, {0, 3, 9000, 20000}));
  auto reader = SegmentReader::open(path);
  ASSERT_TRUE(reader);
  RecordIter it(*reader);
  for (uint64_t c : {5u, 6u, 7u, 8u}) {
    auto r = it.next();
    ASSERT_TRUE(r && *r);
    EXPECT_EQ((*r)->cursor, c);
    EXPECT_EQ((*r)->timestamp_ns, c * 10);
    EXPECT_EQ((*r)->payload, payload_for(c, std::vector<size_t>{0, 3, 9000, 20000}[c - 5]));
  }
  EXPECT_FALSE(it.next());
}

// Every way a tail can be torn: what a reader reports, and what recovery keeps.
TEST(SegmentReaderTest, TornTailsAreReportedAndCutAtTheFirstBadRecord) {
  TempDir dir;
  const Bytes three_empty = segment_image(0, {0, 0, 0});  // records at 32, 60, 88; 116 bytes
  const Bytes three_small = segment_image(0, {4, 4, 4});  // records at 32, 64, 96; 128 bytes
  auto with = [](Bytes b, auto&& change) {
    change(b);
    return b;
  };
  auto stray = [&](size_t n) {
    return with(three_empty, [n](Bytes& b) { b.insert(b.end(), n, std::byte{0x55}); });
  };
  auto len_at_88 = [&](uint32_t len) {
    return with(three_empty, [len](Bytes& b) { set_u32(b, 88, len); });
  };
  Bytes flipped = with(three_small, [](Bytes& b) { b[64 + 24 + 1] ^= std::byte{0x08}; });
  uint32_t stored = 0;  // the second record's CRC, bytes 92..95
  for (int i = 3; i >= 0; --i) stored = stored << 8 | static_cast<uint8_t>(three_small[92 + i]);
  const uint32_t computed = crc32c({flipped.data() + 68, 24});
  Bytes wrong_payload_len = with(three_empty, [](Bytes& b) {
    set_u32(b, 88 + 20, 1);
    set_u32(b, 88 + 24, crc32c({b.data() + 92, 20}));
  });

  struct Case {
    const char* name;
    Bytes file;
    std::vector<uint64_t> cursors;
    std::string error;
    RecoverOutcome outcome;
  } cases[] = {
      {"1 stray byte",
       stray(1),
       {0, 1, 2},
       "short read at offset 116: needed 3 more bytes",
       {2, 116, 1}},
      {"2 stray bytes",
       stray(2),
       {0, 1, 2},
       "short read at offset 116: needed 2 more bytes",
       {2, 116, 2}},
      {"3 stray bytes",
       stray(3),
       {0, 1, 2},
       "short read at offset 116: needed 1 more bytes",
       {2, 116, 3}},
      {"record_len 27",
       len_at_88(27),
       {0, 1},
       "record_len 27 does not describe a valid record",
       {1, 88, 28}},
      {"record_len 16777217",
       len_at_88(16777217),
       {0, 1},
       "record_len 16777217 exceeds MAX_RECORD_LEN (16777216)",
       {1, 88, 28}},
      {"record_len 16777216 passes the length check",
       len_at_88(16777216),
       {0, 1},
       "short read at offset 88: needed 16777188 more bytes",
       {1, 88, 28}},
      {"record_len beyond the file",
       len_at_88(40),
       {0, 1},
       "short read at offset 88: needed 12 more bytes",
       {1, 88, 28}},
      {"flipped payload bit",
       flipped,
       {0},
       fmt::format("CRC mismatch at offset 64: stored {:#010x}, computed {:#010x}", stored,
                   computed),
       {0, 64, 64}},
      {"corrupt middle record",
       with(three_empty, [](Bytes& b) { b[60 + 5] ^= std::byte{1}; }),
       {0},
       "",
       {0, 60, 56}},
      {"corrupt first record",
       with(three_empty, [](Bytes& b) { b[32 + 27] ^= std::byte{1}; }),
       {},
       "",
       {std::nullopt, 32, 84}},
      {"right CRC, wrong payload_len",
       wrong_payload_len,
       {0, 1},
       "record_len 28 does not describe a valid record",
       {1, 88, 28}},
  };
  auto path = dir.path() / "0.seg";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(path, c.file);
    Walk w = walk(path);
    EXPECT_EQ(w.cursors, c.cursors);
    if (c.error.empty()) {
      EXPECT_TRUE(w.error.starts_with("CRC mismatch at offset ")) << w.error;
    } else {
      EXPECT_EQ(w.error, c.error);
    }
    EXPECT_EQ(recover_truncate(path), c.outcome);
    Bytes after = read_file(path);
    ASSERT_EQ(after.size(), c.outcome.valid_len);
    EXPECT_TRUE(std::equal(after.begin(), after.end(), c.file.begin()));
    EXPECT_EQ(walk(path).error, "");
    EXPECT_EQ(recover_truncate(path), (RecoverOutcome{c.outcome.last_cursor, after.size(), 0}));
  }
}

}  // namespace
}  // namespace kavri::wal
