#include "wal/wal.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <limits>
#include <set>

#include "platform/file.h"
#include "wal/reader.h"
#include "wal_test_util.h"

namespace kavri::wal {
namespace {

using namespace testing_util;

WalConfig config_with(FsyncPolicy policy, uint64_t segment_max = 64 * kMiB,
                      uint64_t retention_max = 1024 * kMiB) {
  WalConfig c;
  c.fsync_policy = policy;
  c.segment_max_bytes = segment_max;
  c.retention_max_bytes = retention_max;
  return c;
}

std::unique_ptr<Wal> open_ok(const std::filesystem::path& topic, const WalConfig& config) {
  auto wal = Wal::open(topic, config);
  EXPECT_TRUE(wal) << message(wal.error());
  return wal ? std::move(*wal) : nullptr;
}

std::vector<uint64_t> replayed(const std::filesystem::path& topic) {
  std::vector<uint64_t> out;
  auto replay = WalReplayer::from(topic, 0);
  if (!replay) return out;
  for (;;) {
    auto item = replay->next();
    if (!item) {
      ADD_FAILURE() << message(item.error());
      continue;
    }
    if (!*item) break;
    out.push_back((*item)->cursor);
  }
  return out;
}

std::set<std::string> names_in(const std::filesystem::path& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.insert(e.path().filename().string());
  }
  return names;
}

std::vector<uint64_t> iota(uint64_t from, uint64_t to) {
  std::vector<uint64_t> v;
  for (uint64_t c = from; c < to; ++c) v.push_back(c);
  return v;
}

TEST(WalOpenTest, EmptyMissingOrForeignOnlyDirectoryStartsAtZero) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "b" / "wal");
  std::filesystem::create_directories(dir.path() / "c" / "wal");
  for (const char* name : {"notes.txt", "5.seg.partial", "-1.seg"}) {
    write_file(dir.path() / "c" / "wal" / name, bytes_of("junk"));
  }
  for (const char* topic : {"a/deeper", "b", "c"}) {
    SCOPED_TRACE(topic);
    auto wal = open_ok(dir.path() / topic, config_with(FsyncPolicy::OnClose));
    ASSERT_TRUE(wal);
    EXPECT_EQ(wal->stats(), WalStats{});
    ASSERT_TRUE(wal->append(0, wal->now_ns(), bytes_of("x")));
    EXPECT_TRUE(std::filesystem::exists(wal->dir() / "00000000000000000000.seg"));
  }
  EXPECT_EQ(
      names_in(dir.path() / "c" / "wal"),
      (std::set<std::string>{"notes.txt", "5.seg.partial", "-1.seg", "00000000000000000000.seg"}));
  EXPECT_EQ(read_file(dir.path() / "c" / "wal" / "-1.seg"), bytes_of("junk"));
}

TEST(WalOpenTest, NewestSegmentWithRecordsGetsAFreshActiveSegment) {
  TempDir dir;
  write_segment(dir.wal(), 0, 100);
  const uint64_t old_size = std::filesystem::file_size(dir.wal() / segment_file_name(0));
  auto wal = open_ok(dir.path(), config_with(FsyncPolicy::OnClose));
  ASSERT_TRUE(wal);
  WalStats s = wal->stats();
  EXPECT_EQ(s.pending_cursor, 100u);
  EXPECT_EQ(s.durable_cursor, 100u);
  EXPECT_EQ(s.oldest_cursor, 0u);
  EXPECT_EQ(s.active_segment_bytes, 32u);
  EXPECT_EQ(s.segments, 2u);
  EXPECT_EQ(s.total_wal_bytes, old_size + 32);
  EXPECT_EQ(std::filesystem::file_size(dir.wal() / segment_file_name(100)), 32u);
  ASSERT_TRUE(wal->append(100, 0, bytes_of("next")));
  wal.reset();
  EXPECT_EQ(replayed(dir.path()), iota(0, 101));
}

TEST(WalOpenTest, HeaderOnlyNewestIsRemovedAndItsCursorReused) {
  TempDir dir;
  write_segment(dir.wal(), 0, 100);
  open_ok(dir.path(), config_with(FsyncPolicy::Interval)).reset();  // leaves 100.seg, header only
  auto wal = open_ok(dir.path(), config_with(FsyncPolicy::Interval));
  ASSERT_TRUE(wal);
  EXPECT_FALSE(std::filesystem::exists(dir.wal() / segment_file_name(100)));
  EXPECT_EQ(wal->stats().pending_cursor, 100u);
  EXPECT_EQ(wal->stats().segments, 1u);
  ASSERT_TRUE(wal->append(100, 0, bytes_of("x")));
}

TEST(WalOpenTest, NewestShorterThanAHeaderIsRemoved) {
  for (size_t len : {0u, 1u, 31u}) {
    SCOPED_TRACE(len);
    TempDir dir;
    write_segment(dir.wal(), 0, 100);
    Bytes torn_header = header_bytes(100);
    torn_header.resize(len);
    write_file(dir.wal() / segment_file_name(100), torn_header);
    auto wal = open_ok(dir.path(), config_with(FsyncPolicy::OnClose));
    ASSERT_TRUE(wal);
    EXPECT_FALSE(std::filesystem::exists(dir.wal() / segment_file_name(100)));
    EXPECT_EQ(wal->stats().pending_cursor, 100u);
    ASSERT_TRUE(wal->append(100, 0, bytes_of("x")));
  }
}

TEST(WalOpenTest, OtherHeaderFaultsFailTheOpenAndStay) {
  Bytes bad_magic = header_bytes(100);
  bad_magic[0] = std::byte{0};
  Bytes short_old = header_bytes(0);
  short_old.resize(10);
  struct Case {
    uint64_t key;
    Bytes file;
    std::string error;
  } cases[] = {
      {100, bad_magic,
       "segment reader: segment header: segment magic mismatch: got 0x6b61767269574100, want "
       "0x6b6176726957414c"},
      {100, header_bytes(100, 2),
       "segment reader: segment header: segment version 2 not supported (this build speaks 1)"},
      // Shorter than a header but not the newest: not a crash of our own creation.
      {0, short_old, "segment reader: segment header: segment header truncated: 10 bytes < 32"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    write_segment(dir.wal(), 50, 10);
    write_file(dir.wal() / segment_file_name(c.key), c.file);
    auto wal = Wal::open(dir.path(), config_with(FsyncPolicy::OnClose));
    ASSERT_FALSE(wal);
    EXPECT_EQ(message(wal.error()), c.error);
    EXPECT_EQ(read_file(dir.wal() / segment_file_name(c.key)), c.file);
  }
}

TEST(WalOpenTest, TornTailInAnOlderSegmentIsCutAndCountedCut) {
  TempDir dir;
  write_segment(dir.wal(), 0, 10);
  write_segment(dir.wal(), 10, 10);
  const auto old_path = dir.wal() / segment_file_name(0);
  const uint64_t good = std::filesystem::file_size(old_path);
  Bytes torn = read_file(old_path);
  torn.insert(torn.end(), {std::byte{1}, std::byte{2}});
  write_file(old_path, torn);
  auto wal = open_ok(dir.path(), config_with(FsyncPolicy::OnClose));
  ASSERT_TRUE(wal);
  EXPECT_EQ(std::filesystem::file_size(old_path), good);
  EXPECT_EQ(wal->stats().total_wal_bytes, 2 * good + 32);
  EXPECT_EQ(wal->stats().pending_cursor, 20u);
}

TEST(WalOpenTest, NextCursorAtOrAbove2To63IsRefused) {
  constexpr uint64_t kBit63 = uint64_t{1} << 63;
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  struct Case {
    uint64_t base, count;
    std::string error;
  } cases[] = {
      {kBit63, 0,
       "WAL holds cursor 9223372036854775808, which leaves no next cursor below "
       "9223372036854775808"},
      {kBit63 - 3, 3,
       "WAL holds cursor 9223372036854775807, which leaves no next cursor below "
       "9223372036854775808"},
      {kMax, 1,
       "WAL holds cursor 18446744073709551615, which leaves no next cursor below "
       "9223372036854775808"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    write_segment(dir.wal(), 0, 10);
    write_segment(dir.wal(), c.base, c.count);
    const auto before = names_in(dir.wal());
    auto wal = Wal::open(dir.path(), config_with(FsyncPolicy::Interval));
    ASSERT_FALSE(wal);
    EXPECT_EQ(message(wal.error()), c.error);
    EXPECT_EQ(names_in(dir.wal()), before);
  }
  TempDir dir;  // the largest usable next cursor still opens
  write_segment(dir.wal(), kBit63 - 2, 1);
  auto wal = open_ok(dir.path(), config_with(FsyncPolicy::OnClose));
  ASSERT_TRUE(wal);
  EXPECT_EQ(wal->pending_cursor(), kBit63 - 1);
}

TEST(WalAppendTest, PayloadLimitIsCheckedFirst) {
  TempDir dir;
  auto wal = open_ok(dir.path(), config_with(FsyncPolicy::OnClose));
  ASSERT_TRUE(wal);
  Bytes big(MAX_PAYLOAD_LEN + 1);
  auto r = wal->append(0, 0, big);
  ASSERT_FALSE(r);
  EXPECT_EQ(message(r.error()), "payload too large: 16777189 > MAX_PAYLOAD_LEN (16777188)");
  EXPECT_EQ(wal->stats().appends_total, 0u);
  EXPECT_TRUE(wal->append(0, 0, std::span(big).first(MAX_PAYLOAD_LEN)));
  EXPECT_EQ(wal->stats().append_bytes_total, MAX_PAYLOAD_LEN);
}

TEST(WalAppendTest, WrongCursorIsRefusedAndChangesNothing) {
  TempDir dir;
  auto wal = open_ok(dir.path(), config_with(FsyncPolicy::OnClose));
  ASSERT_TRUE(wal);
  for (uint64_t c = 0; c < 42; ++c) ASSERT_TRUE(wal->append(c, 0, bytes_of("m")));
  const WalStats before = wal->stats();
  auto r = wal->append(41, 0, bytes_of("m"));
  ASSERT_FALSE(r);
  EXPECT_EQ(message(r.error()),
            "segment writer: cursor must be monotonic: tried to append 41 after pending_cursor "
            "was 42");
  EXPECT_EQ(wal->stats(), before);
}

TEST(WalAppendTest, RotationHappensOnlyPastTheExactLimit) {
  TempDir dir;
  // Three 10-byte records fill the segment exactly.
  auto wal = open_ok(dir.path(), config_with(FsyncPolicy::OnClose, 32 + 3 * 38));
  ASSERT_TRUE(wal);
  for (uint64_t c = 0; c < 3; ++c) ASSERT_TRUE(wal->append(c, 0, payload_for(c, 10)));
  EXPECT_EQ(wal->stats().segments, 1u);
  EXPECT_EQ(wal->stats().active_segment_bytes, 146u);
  ASSERT_TRUE(wal->append(3, 0, payload_for(3, 0)));
  WalStats s = wal->stats();
  EXPECT_EQ(s.segments, 2u);
  EXPECT_EQ(s.active_segment_bytes, 32u + 28);
  EXPECT_EQ(s.total_wal_bytes, 146u + 60);
  EXPECT_EQ(std::filesystem::file_size(dir.wal() / segment_file_name(0)), 146u);  // sealed
  EXPECT_TRUE(std::filesystem::exists(dir.wal() / segment_file_name(3)));
}

TEST(WalAppendTest, RetentionRemovesOldestSegmentsButNeverTheActiveOne) {
  struct Case {
    uint64_t retention;
    std::set<uint64_t> keys_left;
  } cases[] = {
      // Two records per segment (108 bytes sealed); ten records make five segments.
      {250, {6, 8}},
      {10, {8}},
      {10000, {0, 2, 4, 6, 8}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.retention);
    TempDir dir;
    auto wal = open_ok(dir.path(), config_with(FsyncPolicy::OnClose, 32 + 2 * 38, c.retention));
    ASSERT_TRUE(wal);
    for (uint64_t cur = 0; cur < 10; ++cur) ASSERT_TRUE(wal->append(cur, 0, payload_for(cur, 10)));
    std::set<std::string> want;
    for (uint64_t k : c.keys_left) want.insert(segment_file_name(k));
    EXPECT_EQ(names_in(dir.wal()), want);
    WalStats s = wal->stats();
    EXPECT_EQ(s.segments, c.keys_left.size());
    EXPECT_EQ(s.oldest_cursor, *c.keys_left.begin());
    EXPECT_EQ(s.total_wal_bytes, (32 + 2 * 38) * c.keys_left.size());
  }
}

TEST(WalAppendTest, EveryAppendMakesEachRecordDurable) {
  TempDir dir;
  auto wal = open_ok(dir.path(), config_with(FsyncPolicy::EveryAppend));
  ASSERT_TRUE(wal);
  for (uint64_t c = 0; c < 5; ++c) {
    ASSERT_TRUE(wal->append(c, 0, payload_for(c, 100)));
    EXPECT_EQ(wal->stats().durable_cursor, c + 1);
    EXPECT_EQ(std::filesystem::file_size(dir.wal() / segment_file_name(0)), 32 + (c + 1) * 128);
  }
  EXPECT_EQ(wal->stats().flushes_total, 5u);
}

TEST(WalAppendTest, OnCloseMovesDurableOnlyAtDestruction) {
  TempDir dir;
  auto wal = open_ok(dir.path(), config_with(FsyncPolicy::OnClose));
  ASSERT_TRUE(wal);
  for (uint64_t c = 0; c < 5; ++c) ASSERT_TRUE(wal->append(c, 0, payload_for(c, 100)));
  EXPECT_EQ(wal->stats().durable_cursor, 0u);
  EXPECT_EQ(wal->stats().flushes_total, 0u);
  EXPECT_EQ(std::filesystem::file_size(dir.wal() / segment_file_name(0)), 32u);
  wal.reset();
  EXPECT_EQ(replayed(dir.path()), iota(0, 5));
}

TEST(WalAppendTest, DisabledLogAcceptsEverythingAndWritesNothing) {
  TempDir dir;
  WalConfig c = config_with(FsyncPolicy::Interval);
  c.enabled = false;
  auto wal = open_ok(dir.path(), c);
  ASSERT_TRUE(wal);
  EXPECT_TRUE(wal->append(7, 0, bytes_of("x")));
  EXPECT_EQ(wal->stats(), WalStats{});
  EXPECT_TRUE(names_in(dir.wal()).empty());
}

TEST(WalAppendTest, TimestampsNeverGoBackwards) {
  TempDir dir;
  auto wal = open_ok(dir.path(), config_with(FsyncPolicy::OnClose));
  ASSERT_TRUE(wal);
  uint64_t prev = wal->now_ns();
  EXPECT_GT(prev, uint64_t{1'600'000'000} * 1'000'000'000);
  for (int i = 0; i < 1000; ++i) {
    uint64_t t = wal->now_ns();
    ASSERT_GE(t, prev);
    prev = t;
  }
}

IoResult<void> failing_sync(int) { return std::unexpected(IoError::from_errno(EIO)); }

struct SyncHookGuard {
  explicit SyncHookGuard(platform::FullSyncHook hook) {
    platform::set_full_sync_hook_for_testing(hook);
  }
  ~SyncHookGuard() { platform::set_full_sync_hook_for_testing(nullptr); }
};

// A failed seal or append sync may have lost records; no later sync may claim them.
TEST(WalAppendTest, FailedSealOrSyncLosesDurabilityForGood) {
  struct Case {
    FsyncPolicy policy;
    uint64_t segment_max;
  } cases[] = {{FsyncPolicy::OnClose, 32 + 38}, {FsyncPolicy::EveryAppend, 64 * kMiB}};
  for (const Case& c : cases) {
    TempDir dir;
    auto wal = open_ok(dir.path(), config_with(c.policy, c.segment_max));
    ASSERT_TRUE(wal);
    ASSERT_TRUE(wal->append(0, 0, payload_for(0, 10)));
    const uint64_t durable = wal->stats().durable_cursor;
    {
      SyncHookGuard guard(failing_sync);
      auto r = wal->append(1, 0, payload_for(1, 10));
      ASSERT_FALSE(r);
      EXPECT_EQ(message(r.error()), "segment writer: I/O error: Input/output error (os error 5)");
    }
    auto r = wal->append(wal->pending_cursor(), 0, payload_for(1, 10));
    ASSERT_FALSE(r);
    EXPECT_EQ(message(r.error()),
              "WAL flusher thread died; further appends would silently lose durability");
    EXPECT_EQ(wal->stats().durable_cursor, durable);
  }
}

// --- The flusher thread (FsyncPolicy::Interval) ---

template <class F>
bool eventually(F&& done, int timeout_ms = 5000) {
  const Instant deadline = *Instant::now().checked_add(Duration::from_millis(timeout_ms));
  while (Instant::now() < deadline) {
    if (done()) return true;
    platform::sleep_for(Duration::from_millis(1));
  }
  return done();
}

WalConfig interval_ms(uint64_t ms) {
  WalConfig c = config_with(FsyncPolicy::Interval);
  c.flush_interval = Duration::from_millis(ms);
  return c;
}

TEST(FlusherTest, WithoutAnActiveSegmentCyclesDoNothing) {
  TempDir dir;
  auto wal = open_ok(dir.path(), interval_ms(1));
  ASSERT_TRUE(wal);
  platform::sleep_for(Duration::from_millis(30));
  EXPECT_EQ(wal->stats().flushes_total, 0u);
}

TEST(FlusherTest, IdleCyclesKeepCountingAndDurableCatchesUp) {
  TempDir dir;
  auto wal = open_ok(dir.path(), interval_ms(2));
  ASSERT_TRUE(wal);
  for (uint64_t c = 0; c < 1000; ++c)
    ASSERT_TRUE(wal->append(c, wal->now_ns(), payload_for(c, 64)));
  EXPECT_TRUE(eventually([&] { return wal->stats().durable_cursor == 1000; }));
  const uint64_t flushes = wal->stats().flushes_total;
  EXPECT_TRUE(eventually([&] { return wal->stats().flushes_total >= flushes + 3; }));
  EXPECT_EQ(std::filesystem::file_size(dir.wal() / segment_file_name(0)), 32u + 1000 * 92);
}

TEST(FlusherTest, ShutdownDoesNotWaitForALongInterval) {
  TempDir dir;
  auto wal = open_ok(dir.path(), interval_ms(60'000));
  ASSERT_TRUE(wal);
  ASSERT_TRUE(wal->append(0, 0, bytes_of("x")));
  platform::sleep_for(Duration::from_millis(5));
  const Instant start = Instant::now();
  wal.reset();
  // The thread looks at shutdown every 50 ms; allow for a loaded machine.
  EXPECT_LT(Instant::now().saturating_duration_since(start), Duration::from_millis(1000));
  EXPECT_EQ(replayed(dir.path()), iota(0, 1));  // the final sync wrote the record out
}

TEST(FlusherTest, FailingSyncMakesTheNextAppendFail) {
  TempDir dir;
  auto wal = open_ok(dir.path(), interval_ms(1));
  ASSERT_TRUE(wal);
  ASSERT_TRUE(wal->append(0, 0, bytes_of("x")));
  SyncHookGuard guard(failing_sync);
  uint64_t cursor = 1;
  std::string last;
  ASSERT_TRUE(eventually([&] {
    auto r = wal->append(cursor, 0, bytes_of("y"));
    if (r) {
      ++cursor;
      return false;
    }
    last = message(r.error());
    return true;
  }));
  EXPECT_EQ(last, "WAL flusher thread died; further appends would silently lose durability");
  EXPECT_EQ(wal->stats().pending_cursor, cursor);
}

}  // namespace
}  // namespace kavri::wal
