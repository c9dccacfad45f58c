#include "wal/reader.h"

#include <gtest/gtest.h>

#include "wal_test_util.h"

namespace kavri::wal {
namespace {

using namespace testing_util;

// What a replay yields: cursors, with each error item shown as its message.
struct Item {
  uint64_t cursor = 0;
  std::string error;
  friend bool operator==(const Item&, const Item&) = default;
  friend std::ostream& operator<<(std::ostream& o, const Item& i) {
    return i.error.empty() ? o << i.cursor : o << "error(" << i.error << ")";
  }
};

std::vector<Item> drain(WalReplayer& replay) {
  std::vector<Item> items;
  for (;;) {
    auto item = replay.next();
    if (!item) {
      items.push_back({0, message(item.error())});
      continue;
    }
    if (!*item) return items;
    items.push_back({(*item)->cursor, ""});
  }
}

std::vector<Item> cursors(uint64_t from, uint64_t to) {
  std::vector<Item> v;
  for (uint64_t c = from; c < to; ++c) v.push_back({c, ""});
  return v;
}

std::vector<Item> operator+(std::vector<Item> a, const std::vector<Item>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(WalReaderTest, MissingLogDirectoryReplaysNothing) {
  TempDir dir;
  auto reader = WalReader::open(dir.path());
  ASSERT_TRUE(reader);
  EXPECT_TRUE(reader->empty());
  auto replay = reader->read_from(12345);
  ASSERT_TRUE(replay);
  EXPECT_TRUE(drain(*replay).empty());
  EXPECT_EQ(replay->next(), std::nullopt);
}

TEST(WalReaderTest, ReplayStartsInTheSegmentHoldingTheCursor) {
  TempDir dir;
  for (uint64_t key : {0u, 100u, 200u}) write_segment(dir.wal(), key, 100);  // key..key+99
  auto reader = WalReader::open(dir.path());
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->segment_count(), 3u);
  struct Case {
    uint64_t from;
    std::vector<Item> want;
  } cases[] = {
      {150, cursors(150, 300)}, {99, cursors(99, 300)}, {200, cursors(200, 300)}, {5000, {}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.from);
    auto replay = reader->read_from(c.from);
    ASSERT_TRUE(replay);
    EXPECT_EQ(drain(*replay), c.want);
    EXPECT_EQ(replay->next(), std::nullopt);  // the end stays the end
  }
}

TEST(WalReaderTest, CursorBelowTheOldestSegmentIsTooOld) {
  TempDir dir;
  for (uint64_t key : {100u, 200u}) write_segment(dir.wal(), key, 10);
  auto reader = WalReader::open(dir.path());
  ASSERT_TRUE(reader);
  auto replay = reader->read_from(50);
  ASSERT_FALSE(replay);
  const auto& e = std::get<WalCursorTooOld>(replay.error());
  EXPECT_EQ(e.cursor, 50u);
  EXPECT_EQ(e.oldest, 100u);
  EXPECT_TRUE(reader->read_from(100));
}

TEST(WalReaderTest, NamesOfOneKeyShareAnEntry) {
  TempDir dir;
  write_segment(dir.wal(), 7, 3);
  std::filesystem::copy_file(dir.wal() / segment_file_name(7), dir.wal() / "7.seg");
  write_file(dir.wal() / "notes.txt", bytes_of("x"));
  auto reader = WalReader::open(dir.path());
  ASSERT_TRUE(reader);
  ASSERT_EQ(reader->segment_count(), 1u);
  EXPECT_EQ(reader->segments().begin()->first, 7u);
}

TEST(WalReaderTest, SegmentDeletedDuringReplayGivesOneErrorThenGoesOn) {
  TempDir dir;
  for (uint64_t key : {0u, 10u, 20u}) write_segment(dir.wal(), key, 10);
  auto replay = WalReplayer::from(dir.path(), 0);
  ASSERT_TRUE(replay);
  std::filesystem::remove(dir.wal() / segment_file_name(10));
  const Item gone{0, "segment reader: I/O error: No such file or directory (os error 2)"};
  EXPECT_EQ(drain(*replay), cursors(0, 10) + std::vector<Item>{gone} + cursors(20, 30));
}

TEST(WalReaderTest, CorruptRecordSkipsTheRestOfItsSegment) {
  TempDir dir;
  write_segment(dir.wal(), 0, 10);
  write_segment(dir.wal(), 10, 10);
  auto path = dir.wal() / segment_file_name(0);
  Bytes b = read_file(path);
  const size_t record = 32 + 4 * 44;  // the fifth record (16-byte payloads)
  b[record + 30] ^= std::byte{0x40};
  write_file(path, b);
  auto replay = WalReplayer::from(dir.path(), 0);
  ASSERT_TRUE(replay);
  std::vector<Item> items = drain(*replay);
  ASSERT_EQ(items.size(), 4u + 1 + 10);
  EXPECT_EQ(std::vector<Item>(items.begin(), items.begin() + 4), cursors(0, 4));
  EXPECT_TRUE(items[4].error.starts_with("segment reader: CRC mismatch at offset 208: stored "))
      << items[4].error;
  EXPECT_EQ(std::vector<Item>(items.begin() + 5, items.end()), cursors(10, 20));
}

// A reader that meets a record still being written at the end of the newest segment can
// tell that apart from damage, and a fresh replayer from the next cursor picks it up.
TEST(WalReaderTest, UnfinishedRecordAtTheNewestTailIsRecognisable) {
  TempDir dir;
  write_segment(dir.wal(), 0, 3);
  Bytes full = segment_image(3, {16, 16, 16});
  Bytes partial(full.begin(), full.end() - 10);
  write_file(dir.wal() / segment_file_name(3), partial);
  auto replay = WalReplayer::from(dir.path(), 0);
  ASSERT_TRUE(replay);
  uint64_t next = 0;
  for (;;) {
    auto item = replay->next();
    ASSERT_TRUE(item || replay->in_last_segment());
    if (!item) {
      const auto& e = std::get<WalSegmentReader>(item.error());
      EXPECT_TRUE(std::holds_alternative<ReadShortRead>(e.error));
      break;
    }
    ASSERT_TRUE(*item);
    EXPECT_EQ((*item)->cursor, next);
    ++next;
  }
  EXPECT_EQ(next, 5u);
  write_file(dir.wal() / segment_file_name(3), full);  // the writer finishes
  auto again = WalReplayer::from(dir.path(), next);
  ASSERT_TRUE(again);
  EXPECT_EQ(drain(*again), cursors(5, 6));
}

}  // namespace
}  // namespace kavri::wal
