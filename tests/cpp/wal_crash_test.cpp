// The log against crashes and damage: a publisher killed at random moments, and a segment cut
// at every length and flipped at every byte.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>

#include "wal/reader.h"
#include "wal/segment_reader.h"
#include "wal/wal.h"
#include "wal_test_util.h"

namespace kavri::wal {
namespace {

using namespace testing_util;

size_t payload_len_for(uint64_t cursor) {
  // Mostly small records gathered in the buffer, some written straight through, now and
  // then one large enough that a kill can cut its write short.
  if (cursor % 97 == 0) return 70000;
  if (cursor % 13 == 0) return 9000;
  return (cursor * 37) % 300;
}

[[noreturn]] void run_publisher(const std::filesystem::path& topic, int report_fd) {
  ::alarm(20);  // a parent that never kills must not leave us behind
  WalConfig config;
  config.segment_max_bytes = 256 * 1024;  // rotations happen under the kill too
  auto wal = Wal::open(topic, config);
  if (!wal) ::_exit(2);
  uint64_t reported = ~uint64_t{0};
  for (uint64_t c = (*wal)->pending_cursor();; ++c) {
    if (!(*wal)->append(c, (*wal)->now_ns(), payload_for(c, payload_len_for(c)))) ::_exit(3);
    const uint64_t durable = (*wal)->stats().durable_cursor;
    if (durable != reported) {
      // 8 bytes: below PIPE_BUF, so each report arrives whole or not at all.
      if (::write(report_fd, &durable, sizeof durable) != sizeof durable) ::_exit(4);
      reported = durable;
    }
  }
}

// What a power cut would do to the bytes that were never synced: cut the newest segment at a
// random point, but never into a record below `durable` (those were synced) nor the header.
// Returns whether it cut anything.
bool lose_unsynced_tail(const std::filesystem::path& topic, uint64_t durable,
                        std::mt19937_64& rng) {
  auto reader = WalReader::open(topic);
  if (!reader || reader->empty()) return false;
  const auto path = reader->segments().rbegin()->second;
  auto segment = SegmentReader::open(path);
  if (!segment) return false;
  uint64_t keep = SEGMENT_HEADER_LEN;
  RecordIter it(*segment);
  while (auto r = it.next()) {
    if (!*r) break;
    if ((*r)->cursor < durable) keep = segment->offset();
  }
  const uint64_t len = segment->file_len();
  if (len <= keep) return false;
  std::filesystem::resize_file(path, keep + rng() % (len - keep));
  return true;
}

// The last durable cursor the child reported before it died, if any.
std::optional<uint64_t> last_report(int fd) {
  std::optional<uint64_t> last;
  uint64_t v;
  while (::read(fd, &v, sizeof v) == sizeof v) last = v;
  return last;
}

TEST(WalCrashTest, KilledPublisherLosesNothingItReportedDurable) {
  TempDir dir;
  const uint64_t seed =
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  SCOPED_TRACE(::testing::Message() << "seed " << seed);
  std::mt19937_64 rng(seed);
  const auto budget = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  uint64_t durable_floor = 0;
  int rounds = 0;
  int cut_rounds = 0;
  // Under load (sanitizers, a busy machine) early rounds may all be killed before a first sync
  // was reported or a tail was cut; go on until both happened, within a hard limit.
  const auto hard_limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  auto more = [&] {
    const auto now = std::chrono::steady_clock::now();
    if (rounds < 10) return true;
    if (durable_floor == 0 || cut_rounds == 0) return now < hard_limit;
    return rounds < 60 && now < budget;
  };
  while (more()) {
    ++rounds;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(fds[0]);
      run_publisher(dir.path(), fds[1]);
    }
    ::close(fds[1]);
    // Mostly kill while appending; now and then at any moment, the open included.
    if (rng() % 4 != 0) {
      struct pollfd p = {fds[0], POLLIN, 0};
      uint64_t first;
      if (::poll(&p, 1, 5000) == 1 && ::read(fds[0], &first, sizeof first) == sizeof first) {
        durable_floor = std::max(durable_floor, first);
      }
    }
    ::usleep(static_cast<useconds_t>(rng() % 25000));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "child ended on its own, status " << status;
    if (auto r = last_report(fds[0])) durable_floor = std::max(durable_floor, *r);
    ::close(fds[0]);
    if (rng() % 2 == 0) cut_rounds += lose_unsynced_tail(dir.path(), durable_floor, rng);

    // Reopening repairs whatever the kill tore and continues the numbering.
    uint64_t pending;
    {
      auto wal = Wal::open(dir.path(), WalConfig{.fsync_policy = FsyncPolicy::OnClose});
      ASSERT_TRUE(wal) << message(wal.error());
      pending = (*wal)->pending_cursor();
    }
    ASSERT_GE(pending, durable_floor) << "round " << rounds;
    auto replay = WalReplayer::from(dir.path(), 0);
    ASSERT_TRUE(replay);
    uint64_t next = 0;
    for (;;) {
      auto item = replay->next();
      ASSERT_TRUE(item) << message(item.error());
      if (!*item) break;
      ASSERT_EQ((*item)->cursor, next);
      ASSERT_EQ((*item)->payload, payload_for(next, payload_len_for(next)));
      ++next;
    }
    ASSERT_EQ(next, pending) << "round " << rounds;
  }
  EXPECT_GT(durable_floor, 0u);
  EXPECT_GT(cut_rounds, 0);
}

// A segment of records 0..5 with assorted payloads, and where each record starts.
struct Sample {
  Bytes image;
  std::vector<size_t> starts;  // record offsets, plus the end of the last record
};

Sample sample_segment() {
  const std::vector<size_t> lens = {0, 1, 5, 20, 3, 40};
  Sample s{segment_image(0, lens), {}};
  size_t at = SEGMENT_HEADER_LEN;
  for (size_t len : lens) {
    s.starts.push_back(at);
    at += len + RECORD_OVERHEAD;
  }
  s.starts.push_back(at);
  return s;
}

// Replays the topic and checks that exactly records 0..whole-1 come back intact, followed by
// one error item when `bad` says so (at the record offset `bad_at` if the error has one).
void expect_replay(const std::filesystem::path& topic, size_t whole, bool bad, uint64_t bad_at) {
  auto replay = WalReplayer::from(topic, 0);
  ASSERT_TRUE(replay);
  const std::vector<size_t> lens = {0, 1, 5, 20, 3, 40};
  size_t records = 0, errors = 0;
  for (;;) {
    auto item = replay->next();
    if (!item) {
      ++errors;
      const auto& e = std::get<WalSegmentReader>(item.error()).error;
      if (const auto* crc = std::get_if<ReadCrcMismatch>(&e)) {
        EXPECT_EQ(crc->offset, bad_at);
      }
      if (const auto* sr = std::get_if<ReadShortRead>(&e)) {
        EXPECT_EQ(sr->offset, bad_at);
      }
      EXPECT_EQ(records, whole) << "an error item must follow the valid prefix";
      continue;
    }
    if (!*item) break;
    ASSERT_LT(records, whole);
    EXPECT_EQ((*item)->cursor, records);
    EXPECT_EQ((*item)->payload, payload_for(records, lens[records]));
    ++records;
  }
  EXPECT_EQ(records, whole);
  EXPECT_EQ(errors, bad ? 1u : 0u);
}

// Opening repairs the segment to its valid prefix; a replay then sees only that prefix.
void expect_open_keeps(const std::filesystem::path& topic, const Sample& s, size_t whole) {
  {
    auto wal = Wal::open(topic, WalConfig{.fsync_policy = FsyncPolicy::OnClose});
    ASSERT_TRUE(wal) << message(wal.error());
    EXPECT_EQ((*wal)->pending_cursor(), whole);
  }
  const auto seg = topic / "wal" / segment_file_name(0);
  if (whole == 0) {
    EXPECT_FALSE(std::filesystem::exists(seg));  // header-only or shorter: removed
  } else {
    EXPECT_EQ(std::filesystem::file_size(seg), s.starts[whole]);
  }
  expect_replay(topic, whole, false, 0);
  std::filesystem::remove_all(topic / "wal");
}

TEST(WalCrashTest, EveryCutAndEveryFlippedByteKeepsExactlyTheValidPrefix) {
  TempDir dir;
  const Sample s = sample_segment();
  const auto seg = dir.wal() / segment_file_name(0);
  for (size_t len = 0; len <= s.image.size(); ++len) {
    SCOPED_TRACE(::testing::Message() << "cut at " << len);
    std::filesystem::create_directories(dir.wal());
    write_file(seg, Bytes(s.image.begin(), s.image.begin() + len));
    size_t whole = 0;
    while (whole + 1 < s.starts.size() && s.starts[whole + 1] <= len) ++whole;
    const bool torn = len < SEGMENT_HEADER_LEN || s.starts[whole] != len;
    expect_replay(dir.path(), whole, torn, s.starts[whole]);
    expect_open_keeps(dir.path(), s, whole);
  }
  for (size_t at = SEGMENT_HEADER_LEN; at < s.image.size(); ++at) {
    SCOPED_TRACE(::testing::Message() << "flipped byte " << at);
    std::filesystem::create_directories(dir.wal());
    Bytes damaged = s.image;
    damaged[at] ^= std::byte{0xFF};
    write_file(seg, damaged);
    size_t whole = 0;
    while (s.starts[whole + 1] <= at) ++whole;
    expect_replay(dir.path(), whole, true, s.starts[whole]);
    expect_open_keeps(dir.path(), s, whole);
  }
}

}  // namespace
}  // namespace kavri::wal
