#include "ring.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <thread>

#include "internal_failure.h"
#include "platform/directory.h"
#include "platform/file.h"
#include "platform/mapping.h"

namespace kavri {
namespace {

namespace fs = std::filesystem;

std::vector<std::byte> bytes(std::string_view s) {
  auto p = reinterpret_cast<const std::byte*>(s.data());
  return {p, p + s.size()};
}

std::string text(std::span<const std::byte> b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

class RingTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(testing::TempDir()) /
           ("kavri_ring_" + std::to_string(getpid()) + "_" +
            testing::UnitTest::GetInstance()->current_test_info()->name());
    (void)platform::remove_tree(dir_);
    ASSERT_TRUE(platform::create_dir_all(dir_));
    path_ = dir_ / "ring.mmap";
  }
  void TearDown() override { (void)platform::remove_tree(dir_); }

  RingBuffer make(uint32_t capacity, uint32_t slot_size, uint32_t max_subscribers) {
    auto ring = RingBuffer::create_or_reuse(path_, capacity, slot_size, max_subscribers);
    EXPECT_TRUE(ring) << ring.error().text();
    return std::move(*ring);
  }

  void write_file(std::span<const std::byte> contents) {
    std::ofstream f(path_, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(contents.data()), contents.size());
  }

  fs::path dir_;
  fs::path path_;
};

// A second, independent mapping of the file, for poking at stamps as a writer or a crash would.
struct RawView {
  explicit RawView(const fs::path& path) {
    auto fd = platform::open_file(path, {.mode = platform::OpenMode::ReadWrite});
    auto size = platform::file_size(fd->get());
    map = std::move(*platform::Mapping::map_shared(fd->get(), *size));
  }
  SharedWord stamp(const RingBuffer& ring, uint64_t k) const {
    return SharedWord(map.data() + ring.data_offset() + k * ring.slot_stride());
  }
  platform::Mapping map;
};

TEST(RingGeometryTest, MatchesTheFormatTable) {
  struct Row {
    uint32_t max_subscribers, slot_size, capacity;
    uint64_t data_offset, slot_stride, file_len;
  };
  const Row rows[] = {
      {16, 65536, 256, 320, 65552, 16781632},
      {0, 0, 1, 64, 16, 80},
      {1, 5, 4, 128, 24, 224},
      {5, 8, 2, 192, 24, 240},
      // slot_size + 19 wraps in 32 bits; in 64 bits it does not.
      {0, 0xFFFFFFFF, 1, 64, 0x100000010, 0x100000050},
      {0xFFFFFFFF, 0, 0, 0x1000000040, 16, 0x1000000040},
  };
  for (const Row& r : rows) {
    auto g = ring_geometry(r.capacity, r.slot_size, r.max_subscribers);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->data_offset, r.data_offset) << r.slot_size;
    EXPECT_EQ(g->slot_stride, r.slot_stride) << r.slot_size;
    EXPECT_EQ(g->file_len, r.file_len) << r.slot_size;
  }
  EXPECT_FALSE(ring_geometry(0xFFFFFFFF, 0xFFFFFFFF, 0));
}

TEST_F(RingTest, CreatedFileHasTheFormatBytes) {
  struct Row {
    uint32_t max_subscribers, slot_size, capacity;
    uint64_t file_len;
  };
  for (const Row& r :
       {Row{16, 65536, 256, 16781632}, Row{0, 0, 1, 80}, Row{1, 5, 4, 224}, Row{5, 8, 2, 240}}) {
    (void)platform::remove_file(path_);
    RingBuffer ring = make(r.capacity, r.slot_size, r.max_subscribers);
    EXPECT_EQ(*platform::path_file_size(path_), r.file_len);
    EXPECT_EQ(ring.file_len(), r.file_len);

    std::ifstream f(path_, std::ios::binary);
    std::array<unsigned char, 64> h{};
    f.read(reinterpret_cast<char*>(h.data()), h.size());
    const unsigned char magic[] = {0x05, 0x00, 0x00, 'i', 'r', 'v', 'a', 'k'};
    EXPECT_EQ(std::memcmp(h.data(), magic, 8), 0);
    uint32_t u32[4];
    std::memcpy(u32, h.data() + 8, sizeof u32);
    EXPECT_EQ(u32[0], RING_VERSION);
    EXPECT_EQ(u32[1], r.capacity);
    EXPECT_EQ(u32[2], r.slot_size);
    EXPECT_EQ(u32[3], r.max_subscribers);
    uint64_t generation, tail;
    std::memcpy(&generation, h.data() + 24, 8);
    std::memcpy(&tail, h.data() + 32, 8);
    EXPECT_EQ(generation, 1u);
    EXPECT_EQ(tail, 0u);
    for (size_t i = 40; i < 64; ++i) EXPECT_EQ(h[i], 0) << "reserved byte " << i;
    for (uint32_t i = 0; i < r.max_subscribers; ++i) {
      EXPECT_EQ(ring.cursor_entry(i).load(std::memory_order_relaxed), FREE_CURSOR);
      EXPECT_EQ(ring.wakeup_flag(i).load(std::memory_order_relaxed), 0u);
    }
  }
  EXPECT_FALSE(platform::path_exists(dir_ / "ring.mmap.tmp"));
}

TEST_F(RingTest, ReuseBumpsGenerationAndResetsTailOtherGeometryRecreates) {
  {
    RingBuffer ring = make(4, 8, 2);
    ring.write_slot(bytes("a"));
    ring.write_slot(bytes("b"));
    ring.cursor_entry(1).store(1, std::memory_order_relaxed);
    ring.wakeup_flag(1).store(1, std::memory_order_relaxed);
  }
  for (uint64_t want_generation : {2, 3}) {
    RingBuffer ring = make(4, 8, 2);
    EXPECT_EQ(ring.generation().load(std::memory_order_relaxed), want_generation);
    EXPECT_EQ(ring.tail().load(std::memory_order_relaxed), 0u);
    EXPECT_EQ(ring.cursor_entry(0).load(std::memory_order_relaxed), FREE_CURSOR);
    EXPECT_EQ(ring.cursor_entry(1).load(std::memory_order_relaxed), 1u);
    EXPECT_EQ(ring.wakeup_flag(1).load(std::memory_order_relaxed), 1u);
  }
  struct Row {
    uint32_t capacity, slot_size, max_subscribers;
  };
  for (Row r : {Row{4, 16, 2}, Row{8, 16, 2}, Row{8, 16, 3}}) {
    RingBuffer ring = make(r.capacity, r.slot_size, r.max_subscribers);
    EXPECT_EQ(ring.generation().load(std::memory_order_relaxed), 1u);
    EXPECT_EQ(ring.tail().load(std::memory_order_relaxed), 0u);
    for (uint32_t i = 0; i < r.max_subscribers; ++i) {
      EXPECT_EQ(ring.cursor_entry(i).load(std::memory_order_relaxed), FREE_CURSOR);
      EXPECT_EQ(ring.wakeup_flag(i).load(std::memory_order_relaxed), 0u);
    }
    EXPECT_EQ(*platform::path_file_size(path_),
              ring_geometry(r.capacity, r.slot_size, r.max_subscribers)->file_len);
  }
}

TEST_F(RingTest, ForeignMagicIsRefusedByOpenAndReplacedByCreate) {
  std::vector<std::byte> file(224);
  uint64_t older = 0x6B61767269000004;  // the same letters, format version 4
  std::memcpy(file.data(), &older, 8);
  write_file(file);
  auto ring = RingBuffer::open(path_);
  ASSERT_FALSE(ring);
  EXPECT_EQ(ring.error().kind(), IoErrorKind::InvalidData);
  EXPECT_EQ(ring.error().text(),
            "kavri: unrecognised magic 0x6b61767269000004 (want 0x6b61767269000005; is this an "
            "older format?)");
  RingBuffer created = make(4, 5, 1);
  EXPECT_EQ(created.generation().load(std::memory_order_relaxed), 1u);
  EXPECT_TRUE(RingBuffer::open(path_));
}

TEST_F(RingTest, PathWithNulIsInvalidInput) {
  std::string p = path_.native();
  p.push_back('\0');
  for (bool create : {false, true}) {
    auto result = create ? RingBuffer::create_or_reuse(p, 1, 1, 1) : RingBuffer::open(p);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), IoErrorKind::InvalidInput);
    EXPECT_EQ(result.error().text(), "file name contained an unexpected NUL byte");
  }
}

TEST_F(RingTest, LengthBeyondASignedFileSizeIsInvalidInput) {
  // 0xFFFFFFFF slots of 2^31 + 16 bytes fit 64 unsigned bits but not a signed file size; twice
  // the slot size does not fit at all.
  for (uint32_t slot_size : {0x80000000u, 0xFFFFFFFFu}) {
    auto ring = RingBuffer::create_or_reuse(path_, 0xFFFFFFFF, slot_size, 16);
    ASSERT_FALSE(ring);
    EXPECT_EQ(ring.error().kind(), IoErrorKind::InvalidInput);
    EXPECT_EQ(ring.error().text(), "out of range integral type conversion attempted");
  }
  EXPECT_FALSE(platform::path_exists(path_));
}

TEST_F(RingTest, ShortOrHalfWrittenFilesAreRefusedNeverMapped) {
  auto good = ring_geometry(4, 8, 1)->file_len;  // 224
  std::vector<std::byte> magic_only(good);
  std::memcpy(magic_only.data(), &RING_MAGIC, 8);
  std::vector<std::byte> whole;
  {
    RingBuffer ring = make(4, 8, 1);
    ring.write_slot(bytes("x"));
    std::ifstream f(path_, std::ios::binary);
    whole.resize(good);
    f.read(reinterpret_cast<char*>(whole.data()), whole.size());
  }
  struct Case {
    const char* what;
    std::vector<std::byte> contents;
    const char* message;
  };
  const char* short_header = "kavri: ring file is shorter than its header";
  const char* mismatch = "kavri: ring file length does not match its header";
  const Case cases[] = {
      {"empty", {}, short_header},
      {"cut inside the header", {whole.begin(), whole.begin() + 40}, short_header},
      {"header only", {whole.begin(), whole.begin() + 64}, mismatch},
      {"last slot cut by one byte", {whole.begin(), whole.end() - 1}, mismatch},
      {"magic written, geometry not yet", magic_only, mismatch},
  };
  for (const Case& c : cases) {
    write_file(c.contents);
    auto ring = RingBuffer::open(path_);
    ASSERT_FALSE(ring) << c.what;
    EXPECT_EQ(ring.error().kind(), IoErrorKind::InvalidData) << c.what;
    EXPECT_EQ(ring.error().text(), c.message) << c.what;
    RingBuffer replaced = make(4, 8, 1);
    EXPECT_EQ(replaced.generation().load(std::memory_order_relaxed), 1u) << c.what;
    EXPECT_EQ(*platform::path_file_size(path_), good) << c.what;
  }
}

TEST_F(RingTest, LappedReaderJumpsToTheNewestMessageInItsSlot) {
  RingBuffer ring = make(4, 8, 1);
  for (int i = 0; i < 10; ++i) ring.write_slot(bytes("m" + std::to_string(i)));
  std::vector<std::byte> out;
  EXPECT_EQ(ring.try_receive(0, 0, out), 9u);
  EXPECT_EQ(text(out), "m8");
  EXPECT_EQ(ring.cursor_entry(0).load(std::memory_order_relaxed), 9u);
  EXPECT_EQ(ring.try_receive(0, 9, out), 10u);
  EXPECT_EQ(text(out), "m9");
  // At tail: nothing, and the entry is left alone.
  ring.cursor_entry(0).store(7, std::memory_order_relaxed);
  EXPECT_EQ(ring.try_receive(0, 10, out), std::nullopt);
  EXPECT_EQ(ring.cursor_entry(0).load(std::memory_order_relaxed), 7u);
}

TEST_F(RingTest, SlotHoldingAnOlderStampGivesNothingUntilWritten) {
  RingBuffer ring = make(4, 8, 1);
  for (int i = 0; i < 6; ++i) ring.write_slot(bytes("m" + std::to_string(i)));
  RawView raw(path_);
  raw.stamp(ring, 1).store(1, std::memory_order_relaxed);  // slot of cursor 5 holds message 1
  std::vector<std::byte> out;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ring.try_receive(0, 5, out), std::nullopt);
  EXPECT_EQ(ring.cursor_entry(0).load(std::memory_order_relaxed), FREE_CURSOR);
}

TEST_F(RingTest, SlotMarkedInProgressOnEveryAttemptGivesNothing) {
  RingBuffer ring = make(2, 8, 1);
  ring.write_slot(bytes("abc"));
  RawView raw(path_);
  raw.stamp(ring, 0).store(0 | WRITE_IN_PROGRESS, std::memory_order_relaxed);
  std::vector<std::byte> out;
  std::array<std::byte, 8> dest{};
  EXPECT_EQ(ring.try_receive(0, 0, out), std::nullopt);
  EXPECT_EQ(ring.try_receive_into_slice(0, 0, dest), std::nullopt);
  EXPECT_EQ(ring.cursor_entry(0).load(std::memory_order_relaxed), FREE_CURSOR);
  raw.stamp(ring, 0).store(0, std::memory_order_relaxed);
  EXPECT_EQ(ring.try_receive(0, 0, out), 1u);
  EXPECT_EQ(text(out), "abc");
}

TEST_F(RingTest, DestinationOneByteShortConsumesTheMessageUntouched) {
  RingBuffer ring = make(4, 8, 1);
  ring.write_slot(bytes("hello"));
  ring.write_slot(bytes("next"));
  std::array<std::byte, 4> small;
  small.fill(std::byte{0xAA});
  auto got = ring.try_receive_into_slice(0, 0, small);
  ASSERT_TRUE(got);
  EXPECT_TRUE(got->too_small());
  EXPECT_EQ(got->next_cursor, 1u);
  EXPECT_EQ(ring.cursor_entry(0).load(std::memory_order_relaxed), 1u);
  for (std::byte b : small) EXPECT_EQ(b, std::byte{0xAA});

  std::array<std::byte, 8> wide;
  wide.fill(std::byte{0xAA});
  got = ring.try_receive_into_slice(0, 1, wide);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->next_cursor, 2u);
  EXPECT_EQ(got->len, 4u);
  EXPECT_EQ(text(std::span(wide).first(4)), "next");
  for (std::byte b : std::span(wide).subspan(4)) EXPECT_EQ(b, std::byte{0xAA});
}

TEST_F(RingTest, EmptyPayloadIsAMessage) {
  struct Row {
    uint32_t slot_size;
  };
  for (Row r : {Row{8}, Row{0}}) {
    (void)platform::remove_file(path_);
    RingBuffer ring = make(2, r.slot_size, 1);
    EXPECT_EQ(ring.write_slot({}), 0u);
    std::vector<std::byte> out = bytes("stale");
    EXPECT_EQ(ring.try_receive(0, 0, out), 1u);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(ring.write_slot({}), 1u);
    auto got = ring.try_receive_into_slice(0, 1, {});
    ASSERT_TRUE(got);
    EXPECT_EQ(got->next_cursor, 2u);
    EXPECT_EQ(got->len, 0u);
  }
}

TEST_F(RingTest, InternalFailuresCarryTheirMessages) {
  auto failure = [](auto&& call) -> std::string {
    try {
      call();
    } catch (const InternalFailure& f) {
      return f.message();
    }
    return "no failure";
  };
  {
    RingBuffer ring = make(1, 0, 0);  // slot_size 0, no tables: slots start at 64
    EXPECT_EQ(ring.data_offset(), 64u);
    EXPECT_EQ(ring.max_lag(), 0u);
    EXPECT_EQ(failure([&] { ring.write_slot(bytes("x")); }),
              "data len 1 exceeds slot_payload_size 0");
    EXPECT_EQ(ring.tail().load(std::memory_order_relaxed), 0u);
    EXPECT_EQ(failure([&] { ring.cursor_entry(0); }), "cursor index 0 out of range for 0 entries");
  }
  (void)platform::remove_file(path_);
  RingBuffer ring = make(0, 8, 1);
  std::vector<std::byte> out;
  EXPECT_EQ(failure([&] { ring.write_slot(bytes("x")); }),
            "attempt to calculate the remainder with a divisor of zero");
  EXPECT_EQ(ring.try_receive(0, 0, out), std::nullopt);  // at tail: no slot touched
  ring.start_numbering_at(1);
  EXPECT_EQ(ring.try_receive(0, 0, out), std::nullopt);  // no message exists below the numbering
  ring.tail().store(2, std::memory_order_release);       // a tail raised past it by other means
  EXPECT_EQ(failure([&] { ring.try_receive(0, 0, out); }),
            "attempt to calculate the remainder with a divisor of zero");
}

TEST_F(RingTest, MaxLagCountsTheSlowestClaimedEntry) {
  RingBuffer ring = make(16, 8, 3);
  for (int i = 0; i < 10; ++i) ring.write_slot({});
  EXPECT_EQ(ring.max_lag(), 0u);  // nothing claimed
  ring.cursor_entry(1).store(5, std::memory_order_relaxed);
  ring.cursor_entry(2).store(3, std::memory_order_relaxed);
  EXPECT_EQ(ring.max_lag(), 7u);
  ring.cursor_entry(1).store(FREE_CURSOR, std::memory_order_relaxed);
  ring.cursor_entry(2).store(12, std::memory_order_relaxed);  // ahead of tail
  EXPECT_EQ(ring.max_lag(), 0u);
}

// A raised tail over never-written (zeroed) slots: stamp 0 is not a message 0.
TEST_F(RingTest, RaisedTailOverFreshSlotsYieldsNoPhantomMessage) {
  RingBuffer ring = make(4, 8, 1);
  ring.start_numbering_at(5);
  EXPECT_EQ(ring.tail().load(std::memory_order_relaxed), 5u);
  std::vector<std::byte> out;
  std::array<std::byte, 8> dest{};
  for (uint64_t c : {0, 1, 4, 5}) {
    EXPECT_EQ(ring.try_receive(0, c, out), std::nullopt) << c;
    EXPECT_EQ(ring.try_receive_into_slice(0, c, dest), std::nullopt) << c;
  }
  EXPECT_EQ(ring.cursor_entry(0).load(std::memory_order_relaxed), FREE_CURSOR);
  EXPECT_EQ(ring.move_up_to_numbering(2), 5u);
  EXPECT_EQ(ring.move_up_to_numbering(7), 7u);
  EXPECT_EQ(ring.write_slot(bytes("m5")), 5u);
  EXPECT_EQ(ring.try_receive(0, 0, out), 6u);  // moved up, never waits below 5
  EXPECT_EQ(text(out), "m5");
}

// The file still holds messages 0..9 of a previous publisher when a new one reuses it.
TEST_F(RingTest, ReuseAfterALargerNumberingDeliversNoStaleMessage) {
  struct Row {
    const char* what;
    uint64_t first;  // 0 with the log off; the log's next cursor (below the old tail) with it on
  };
  for (Row r : {Row{"log off", 0}, Row{"log on", 5}}) {
    (void)platform::remove_file(path_);
    {
      RingBuffer old = make(4, 8, 1);
      for (int i = 0; i < 10; ++i) old.write_slot(bytes("old" + std::to_string(i)));
    }
    RingBuffer ring = make(4, 8, 1);
    ring.start_numbering_at(r.first);
    std::vector<std::byte> out;
    for (uint64_t c = 0; c < 10; ++c) EXPECT_EQ(ring.try_receive(0, c, out), std::nullopt) << c;
    // A reader of the plain format, which never moves up, finds only stamps below the numbering.
    RawView raw(path_);
    for (uint64_t k = 0; k < 4; ++k)
      EXPECT_EQ(raw.stamp(ring, k).load(std::memory_order_relaxed), 0u);

    ring.write_slot(bytes("new"));
    for (uint64_t c = 0; c <= r.first; ++c) {
      EXPECT_EQ(ring.try_receive(0, c, out), r.first + 1) << r.what << " " << c;
      EXPECT_EQ(text(out), "new") << r.what;
    }
    EXPECT_EQ(ring.try_receive(0, r.first + 1, out), std::nullopt) << r.what;
  }
}

// Under Backpressure::Error a reader below the first cursor must not stall the publisher: the
// gap holds no message, so it is not lag.
TEST_F(RingTest, ReaderBelowTheNumberingHoldsNothingBack) {
  RingBuffer ring = make(4, 8, 1);
  ring.start_numbering_at(100);
  ring.cursor_entry(0).store(0, std::memory_order_relaxed);  // claimed with a start of 0
  EXPECT_EQ(ring.max_lag(), 0u);
  for (int i = 0; i < 3; ++i) ring.write_slot(bytes("m" + std::to_string(100 + i)));
  EXPECT_EQ(ring.max_lag(), 3u);
  std::vector<std::byte> out;
  EXPECT_EQ(ring.try_receive(0, 0, out), 101u);
  EXPECT_EQ(text(out), "m100");
  EXPECT_EQ(ring.max_lag(), 2u);
}

// Waits for `pid` until `deadline`; kills it when it overstays. Returns the wait status.
int wait_bounded(pid_t pid, std::chrono::seconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0) return -1;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Runs `body` in a child that exits with its return value (or 99 on an exception), with an
// alarm so that a broken build ends instead of hanging.
template <class Body>
pid_t spawn(Body&& body) {
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  ::alarm(60);
  int code = 99;
  try {
    code = body();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "child failed: %s\n", e.what());
  }
  ::_exit(code);
}

bool exited_with(int status, int code) {
  return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

TEST_F(RingTest, OldMappingSurvivesRecreationWithAnotherGeometry) {
  {
    RingBuffer ring = make(8, 64, 2);
    for (int i = 0; i < 8; ++i) ring.write_slot(bytes("message " + std::to_string(i)));
  }
  int ready[2], go[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(go), 0);
  pid_t child = spawn([&]() -> int {
    auto ring = RingBuffer::open(path_);
    if (!ring) return 2;
    char b = 1;
    if (::write(ready[1], &b, 1) != 1 || ::read(go[0], &b, 1) != 1) return 3;
    // The file at the path now has a far smaller geometry; this mapping must still be whole.
    std::vector<std::byte> out;
    uint64_t c = 0;
    for (int i = 0; i < 8; ++i) {
      auto next = ring->try_receive(1, c, out);
      if (next != c + 1 || text(out) != "message " + std::to_string(i)) return 4;
      c = *next;
    }
    if (ring->try_receive(1, c, out)) return 5;
    if (ring->tail().load(std::memory_order_acquire) != 8) return 6;
    if (ring->generation().load(std::memory_order_acquire) != 1) return 7;
    auto fresh = RingBuffer::open(path_);
    if (!fresh || fresh->capacity() != 1 || fresh->slot_size() != 0) return 8;
    return 0;
  });
  char b;
  ASSERT_EQ(::read(ready[0], &b, 1), 1);
  make(1, 0, 0);
  ASSERT_EQ(::write(go[1], &b, 1), 1);
  int status = wait_bounded(child, std::chrono::seconds(30));
  for (int fd : {ready[0], ready[1], go[0], go[1]}) ::close(fd);
  EXPECT_TRUE(exited_with(status, 0)) << "status " << status;
}

// A size-limited tmpfs in a private mount namespace: allocation at creation must report the
// shortage instead of leaving a sparse file whose first store would raise SIGBUS.
TEST_F(RingTest, AllocationFailureOnAFullFileSystemIsAnError) {
  fs::path small = dir_ / "small";
  ASSERT_TRUE(platform::create_dir_all(small));
  uid_t uid = ::getuid();
  gid_t gid = ::getgid();
  constexpr int kSkip = 77;
  pid_t child = spawn([&]() -> int {
    auto put = [](const char* file, const std::string& s) {
      int fd = ::open(file, O_WRONLY);
      bool ok = fd >= 0 && ::write(fd, s.data(), s.size()) == static_cast<ssize_t>(s.size());
      if (fd >= 0) ::close(fd);
      return ok;
    };
    // A mount namespace of our own: directly when privileged (also in a multi-threaded
    // process, as under ThreadSanitizer), else inside a new user namespace.
    if (::unshare(CLONE_NEWNS) != 0) {
      if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return kSkip;
      put("/proc/self/setgroups", "deny");
      if (!put("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
          !put("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
        return kSkip;
      }
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return kSkip;
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k") != 0) return kSkip;
    fs::path p = small / "ring.mmap";
    auto existing = RingBuffer::create_or_reuse(p, 4, 64, 1);
    if (!existing) return 2;
    existing->write_slot(bytes("kept"));
    auto big = RingBuffer::create_or_reuse(p, 256, 65536, 16);
    if (big) return 3;
    if (big.error().os_error() != ENOSPC) return 4;
    if (platform::path_exists(small / "ring.mmap.tmp")) return 5;
    // The ring at the path is the one that was there.
    auto again = RingBuffer::open(p);
    if (!again || again->capacity() != 4) return 6;
    std::vector<std::byte> out;
    if (again->try_receive(0, 0, out) != 1u || text(out) != "kept") return 7;
    return 0;
  });
  int status = wait_bounded(child, std::chrono::seconds(30));
  if (exited_with(status, kSkip)) GTEST_SKIP() << "no user and mount namespaces here";
  EXPECT_TRUE(exited_with(status, 0)) << "status " << status;
}

// One writer laps several readers in other processes. Every payload describes itself; a reader
// that takes a message checks it whole and that its cursor only grows. Skips are allowed.
TEST_F(RingTest, ReadersAcrossProcessesNeverSeeTornMessages) {
  constexpr uint32_t kCapacity = 16;
  constexpr uint32_t kSlotSize = 256;
  constexpr uint32_t kReaders = 3;
  constexpr uint64_t kMessages = 500'000;
  constexpr size_t kHeader = 16;  // cursor u64, body length u32, checksum u32
  RingBuffer ring = make(kCapacity, kSlotSize, kReaders);

  auto body_len = [](uint64_t c) { return static_cast<uint32_t>(c % (kSlotSize - kHeader + 1)); };
  auto body_byte = [](uint64_t c, size_t i) { return static_cast<uint8_t>(c * 131 + i * 7); };
  auto checksum = [](const uint8_t* p, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
    return h;
  };

  std::vector<pid_t> children;
  for (uint32_t r = 0; r < kReaders; ++r) {
    children.push_back(spawn([&, r]() -> int {
      auto view = RingBuffer::open(path_);
      if (!view) return 2;
      view->cursor_entry(r).store(0, std::memory_order_release);
      std::vector<std::byte> out;
      std::array<std::byte, kSlotSize> dest;
      uint64_t cursor = 0;
      uint64_t taken = 0;
      while (cursor < kMessages) {
        std::span<const std::byte> got;
        uint64_t next;
        if (r % 2 == 0) {
          auto n = view->try_receive(r, cursor, out);
          if (!n) continue;
          next = *n;
          got = out;
        } else {
          auto n = view->try_receive_into_slice(r, cursor, dest);
          if (!n) continue;
          if (n->too_small()) return 3;
          next = n->next_cursor;
          got = std::span(dest).first(*n->len);
        }
        if (next <= cursor || got.size() < kHeader) return 4;
        const auto* p = reinterpret_cast<const uint8_t*>(got.data());
        uint64_t c;
        uint32_t len, sum;
        std::memcpy(&c, p, 8);
        std::memcpy(&len, p + 8, 4);
        std::memcpy(&sum, p + 12, 4);
        if (c != next - 1 || len != body_len(c) || got.size() != kHeader + len) return 5;
        if (sum != checksum(p + kHeader, len)) return 6;
        for (size_t i = 0; i < len; ++i) {
          if (p[kHeader + i] != body_byte(c, i)) return 7;
        }
        if (view->cursor_entry(r).load(std::memory_order_relaxed) != next) return 8;
        cursor = next;
        ++taken;
      }
      return taken > 0 && cursor == kMessages ? 0 : 9;
    }));
  }
  children.push_back(spawn([&]() -> int {
    std::array<uint8_t, kSlotSize> msg;
    for (uint64_t c = 0; c < kMessages; ++c) {
      uint32_t len = body_len(c);
      for (size_t i = 0; i < len; ++i) msg[kHeader + i] = body_byte(c, i);
      uint32_t sum = checksum(msg.data() + kHeader, len);
      std::memcpy(msg.data(), &c, 8);
      std::memcpy(msg.data() + 8, &len, 4);
      std::memcpy(msg.data() + 12, &sum, 4);
      if (ring.write_slot(std::as_bytes(std::span(msg).first(kHeader + len))) != c) return 2;
    }
    return 0;
  }));
  for (pid_t pid : children) {
    int status = wait_bounded(pid, std::chrono::seconds(120));
    EXPECT_TRUE(exited_with(status, 0))
        << "child " << pid << " status " << status << (WIFEXITED(status) ? " exit " : " signal ")
        << (WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
  }
}

}  // namespace
}  // namespace kavri
