#include "subscriber.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "internal_failure.h"
#include "logging.h"
#include "subscriber_test_util.h"

namespace kavri {
namespace {

using namespace testing_util;
using namespace std::chrono_literals;

constexpr Duration kShort = Duration::from_millis(5000);

std::unique_ptr<Subscriber> must_connect(const BusConfig& config, StartAt start) {
  auto s = connect(config, start);
  if (!s) {
    ADD_FAILURE() << "connect failed: " << describe(s.error());
    return nullptr;
  }
  return std::move(*s);
}

// Receives `count` messages with a generous time-out and returns their numbers.
std::vector<uint64_t> receive_numbers(Subscriber& s, size_t count) {
  std::vector<uint64_t> got;
  Bytes buf;
  while (got.size() < count) {
    auto r = s.receive_timeout_into(kShort, buf);
    if (!r) {
      ADD_FAILURE() << "receive failed: " << describe(r.error());
      break;
    }
    if (!*r) {
      ADD_FAILURE() << "receive timed out after " << got.size() << " messages";
      break;
    }
    got.push_back(number_of(buf));
  }
  return got;
}

std::vector<uint64_t> iota(uint64_t from, uint64_t to) {
  std::vector<uint64_t> v;
  for (uint64_t c = from; c < to; ++c) v.push_back(c);
  return v;
}

bool all_free(const RingBuffer& ring) {
  for (uint32_t i = 0; i < ring.max_subscribers(); ++i) {
    if (ring.cursor_entry(i).load(std::memory_order_acquire) != FREE_CURSOR) return false;
  }
  return true;
}

// ---- connecting ----

TEST(SubscriberConnect, WithoutAnyPublisherWaitsOutTheTimeOutAndCreatesNothing) {
  BusDir dir;
  for (uint64_t ms : {0u, 60u}) {
    const auto start = std::chrono::steady_clock::now();
    auto s = connect(dir.config(), start_at::Tail{}, Duration::from_millis(ms));
    ASSERT_FALSE(s);
    const auto* timeout = std::get_if<err::ConnectTimeout>(&s.error());
    ASSERT_NE(timeout, nullptr) << describe(s.error());
    EXPECT_EQ(timeout->what, "t");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(ms));
    EXPECT_FALSE(std::filesystem::exists(dir.topic() / "ring.mmap"));
  }
}

TEST(SubscriberConnect, RingWithoutLivePublisherClaimsAnEntryThenFreesIt) {
  BusDir dir;
  publisher(dir.config()).reset();  // the ring file stays, nobody listens
  auto view = RingBuffer::open(dir.topic() / "ring.mmap");
  ASSERT_TRUE(view);
  std::atomic<bool> done{false};
  Result<std::unique_ptr<Subscriber>> result = std::unexpected(Error(err::BusFull{}));
  std::thread t([&] {
    result = connect(dir.config(), start_at::Tail{}, Duration::from_millis(300));
    done = true;
  });
  bool seen_claimed = false;
  while (!done) {
    if (view->cursor_entry(0).load(std::memory_order_acquire) == 0) seen_claimed = true;
    std::this_thread::sleep_for(1ms);
  }
  t.join();
  EXPECT_TRUE(seen_claimed);
  ASSERT_FALSE(result);
  EXPECT_TRUE(std::holds_alternative<err::ConnectTimeout>(result.error()));
  EXPECT_TRUE(all_free(*view));
  EXPECT_EQ(view->wakeup_flag(0).load(std::memory_order_acquire), 0u);
}

TEST(SubscriberConnect, TooManySubscribersCarriesTheRingsLimitAndCountsDeadOwners) {
  BusDir dir;
  BusConfig config = dir.config();
  config.max_subscribers = 2;
  auto pub = publisher(config);
  // An owner that ended without destroying its subscriber keeps its entry.
  int status = run_in_child([&] {
    auto s = connect(config, start_at::Tail{});
    if (!s) return 1;
    (void)s->release();
    return 0;
  });
  ASSERT_TRUE(exited_zero(status));
  BusConfig other = config;  // the subscriber's own geometry has no effect
  other.max_subscribers = 16;
  other.capacity = 1024;
  auto live = must_connect(other, start_at::Tail{});
  ASSERT_TRUE(live);
  EXPECT_EQ(live->cursor_idx(), 1u);
  auto third = connect(other, start_at::Tail{});
  ASSERT_FALSE(third);
  const auto* too_many = std::get_if<err::TooManySubscribers>(&third.error());
  ASSERT_NE(too_many, nullptr) << describe(third.error());
  EXPECT_EQ(too_many->max_subscribers, 2u);
}

TEST(SubscriberConnect, LowestFreeEntryIsTakenAndItsStaleFlagCleared) {
  BusDir dir;
  auto pub = publisher(dir.config());
  const RingBuffer& ring = pub->ring();
  std::vector<std::unique_ptr<Subscriber>> subs;
  for (uint32_t i = 0; i < 3; ++i) {
    subs.push_back(must_connect(dir.config(), start_at::Tail{}));
    ASSERT_TRUE(subs.back());
    EXPECT_EQ(subs.back()->cursor_idx(), i);
  }
  ring.wakeup_flag(0).store(1, std::memory_order_seq_cst);  // left armed by its owner
  subs[0].reset();
  subs[2].reset();
  EXPECT_EQ(ring.cursor_entry(0).load(std::memory_order_acquire), FREE_CURSOR);
  EXPECT_EQ(ring.cursor_entry(2).load(std::memory_order_acquire), FREE_CURSOR);
  EXPECT_EQ(ring.wakeup_flag(0).load(std::memory_order_acquire), 1u);  // left as it was
  auto next = must_connect(dir.config(), start_at::Tail{});
  ASSERT_TRUE(next);
  EXPECT_EQ(next->cursor_idx(), 0u);
  EXPECT_EQ(ring.wakeup_flag(0).load(std::memory_order_acquire), 0u);
}

TEST(SubscriberConnect, StartCursorOf2To63OrMoreIsRefusedBeforeAnythingIsClaimed) {
  BusDir dir;
  auto pub = publisher(dir.config());
  for (uint64_t c : {uint64_t{1} << 63, FREE_CURSOR, FREE_CURSOR - 1}) {
    auto s = connect(dir.config(), start_at::Cursor{c});
    ASSERT_FALSE(s) << c;
    expect_io(s.error(), IoErrorKind::InvalidInput,
              "out of range integral type conversion attempted");
    EXPECT_TRUE(all_free(pub->ring()));
  }
  // Without a publisher it fails the same way at once instead of waiting.
  auto s = connect(dir.config(), start_at::Cursor{FREE_CURSOR}, Duration::from_millis(60'000),
                   "no-such-topic");
  ASSERT_FALSE(s);
  EXPECT_TRUE(std::holds_alternative<err::Io>(s.error()));
  // The largest cursor below 2^63 is a start beyond the tail like any other.
  auto top = must_connect(dir.config(), start_at::Cursor{MAX_START_CURSOR});
  ASSERT_TRUE(top);
  EXPECT_EQ(top->cursor(), MAX_START_CURSOR);
  EXPECT_EQ(entry_of(*top, pub->ring()), MAX_START_CURSOR);
}

TEST(SubscriberConnect, SubscriberConnectedEventCarriesItsFields) {
  BusDir dir;
  const std::filesystem::path err_file = dir.path() / "stderr.txt";
  int status = run_in_child([&] {
    int fd = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, STDERR_FILENO);
    ::unsetenv("RUST_LOG");
    logging::init_logging("info");
    BusConfig config = dir.config(8, /*wal=*/true);
    auto pub = publisher(config);
    publish_range(*pub, 0, 12);
    auto a = connect(config, start_at::Cursor{3});   // in the log only: replay
    auto b = connect(config, start_at::History{2});  // from the ring
    return a && b ? 0 : 1;
  });
  ASSERT_TRUE(exited_zero(status));
  std::ifstream in(err_file);
  std::stringstream text;
  text << in.rdbuf();
  const std::string out = text.str();
  EXPECT_NE(out.find(" INFO kavri::subscriber: subscriber connected topic=\"t\" cursor=3 "
                     "cursor_idx=0 generation=1 replaying_via_wal=true"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("subscriber connected topic=\"t\" cursor=10 cursor_idx=1 generation=1 "
                     "replaying_via_wal=false"),
            std::string::npos)
      << out;
}

// ---- start positions ----

TEST(SubscriberStart, PlacesEachStartAndReadsFromIt) {
  BusDir dir;
  auto pub = publisher(dir.config(8));
  publish_range(*pub, 0, 5);
  struct Case {
    StartAt start;
    uint64_t want_cursor;
  };
  const Case cases[] = {
      {start_at::Tail{}, 5},     {start_at::History{2}, 3}, {start_at::History{9}, 0},
      {start_at::History{0}, 5}, {start_at::Cursor{5}, 5},  {start_at::Cursor{3}, 3},
      {start_at::Cursor{0}, 0},
  };
  for (const Case& c : cases) {
    auto s = must_connect(dir.config(), c.start);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->cursor(), c.want_cursor);
    EXPECT_EQ(entry_of(*s, pub->ring()), c.want_cursor);
    EXPECT_FALSE(s->replaying());
    EXPECT_EQ(s->lag(), 5 - c.want_cursor);
    Bytes buf;
    for (uint64_t want = c.want_cursor; want < 5; ++want) {
      ASSERT_TRUE(s->try_receive_into(buf));
      EXPECT_EQ(number_of(buf), want);
      EXPECT_EQ(entry_of(*s, pub->ring()), want + 1);
    }
    EXPECT_FALSE(s->try_receive_into(buf));
    EXPECT_EQ(s->cursor(), 5u);
  }
}

// A publisher that publishes as soon as it has accepted a subscriber (wait_for_subscribers,
// then publish) must not publish past a tail start that is placed only afterwards.
TEST(SubscriberStart, TailStartIsPlacedBeforeThePublisherCanAcceptTheConnection) {
  BusDir dir;
  auto pub = publisher(dir.config(8));
  for (uint64_t round = 0; round < 3000; ++round) {
    std::thread publishing([&] {
      ASSERT_TRUE(pub->wait_for_subscribers(1, kShort));
      ASSERT_TRUE(pub->publish(numbered(round)));
    });
    auto s = must_connect(dir.config(8), start_at::Tail{});
    publishing.join();
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(receive_numbers(*s, 1), std::vector<uint64_t>{round}) << "round " << round;
    s.reset();
    // The next pass drops the freed connection, so the next round waits for a new one.
    ASSERT_TRUE(pub->publish(numbered(round)));
    ASSERT_EQ(pub->stats().connected_sockets, 0u);
  }
}

TEST(SubscriberStart, CursorBeyondTheTailWaitsUntilThePublisherReachesIt) {
  BusDir dir;
  auto pub = publisher(dir.config(8));
  publish_range(*pub, 0, 2);
  auto s = must_connect(dir.config(), start_at::Cursor{4});
  ASSERT_TRUE(s);
  Bytes buf;
  EXPECT_FALSE(s->try_receive_into(buf));
  publish_range(*pub, 2, 4);
  EXPECT_FALSE(s->try_receive_into(buf));
  EXPECT_EQ(s->lag(), 0u);
  publish_range(*pub, 4, 5);
  ASSERT_TRUE(s->try_receive_into(buf));
  EXPECT_EQ(number_of(buf), 4u);
}

TEST(SubscriberStart, HistoryAcrossALapSkipsToTheNewerMessage) {
  BusDir dir;
  BusConfig config = dir.config(4);
  config.backpressure = Backpressure::DropOldest;
  auto pub = publisher(config);
  publish_range(*pub, 0, 10);
  auto s = must_connect(config, start_at::History{10});
  ASSERT_TRUE(s);
  EXPECT_EQ(s->cursor(), 0u);
  Bytes buf;
  ASSERT_TRUE(s->try_receive_into(buf));
  EXPECT_EQ(number_of(buf), 8u);
  ASSERT_TRUE(s->try_receive_into(buf));
  EXPECT_EQ(number_of(buf), 9u);
  EXPECT_FALSE(s->try_receive_into(buf));
}

TEST(SubscriberStart, StartsBelowTheNumberingsFirstCursorMoveUpToIt) {
  BusDir dir;
  BusConfig config = dir.config(8, /*wal=*/true);
  {
    auto first = publisher(config);
    publish_range(*first, 0, 5);
  }
  auto pub = publisher(config);  // continues at 5; the reused ring's slots hold nothing
  ASSERT_EQ(pub->stats().tail, 5u);
  auto h = must_connect(config, start_at::History{3});
  ASSERT_TRUE(h);
  EXPECT_EQ(h->cursor(), 5u);
  EXPECT_EQ(h->lag(), 0u);
  EXPECT_EQ(entry_of(*h, pub->ring()), 5u);
  // A cursor the ring cannot hold but the log does is replayed.
  auto c = must_connect(config, start_at::Cursor{2});
  ASSERT_TRUE(c);
  EXPECT_TRUE(c->replaying());
  publish_range(*pub, 5, 7);
  EXPECT_EQ(receive_numbers(*h, 2), iota(5, 7));
  EXPECT_EQ(receive_numbers(*c, 5), iota(2, 7));
}

TEST(SubscriberStart, CursorOlderThanTheRingWithoutALogIsTooOld) {
  BusDir dir;
  auto pub = publisher(dir.config(4));
  publish_range(*pub, 0, 10);
  auto s = connect(dir.config(), start_at::Cursor{2});
  ASSERT_FALSE(s);
  const auto* old = std::get_if<err::CursorTooOld>(&s.error());
  ASSERT_NE(old, nullptr) << describe(s.error());
  EXPECT_EQ(old->cursor, 2u);
  EXPECT_EQ(old->oldest, 6u);
  EXPECT_TRUE(all_free(pub->ring()));
}

TEST(SubscriberStart, CursorOlderThanTheLogsOldestSegmentIsTooOld) {
  BusDir dir;
  BusConfig config = dir.config(4, /*wal=*/true);
  config.wal.segment_max_bytes = 256;  // a few records per segment
  auto pub = publisher(config);
  publish_range(*pub, 0, 30);
  std::vector<uint64_t> keys;
  for (const auto& e : std::filesystem::directory_iterator(dir.topic() / "wal")) {
    keys.push_back(std::stoull(e.path().stem().string()));
  }
  std::sort(keys.begin(), keys.end());
  ASSERT_GE(keys.size(), 3u);
  std::filesystem::remove(dir.topic() / "wal" / (std::string(20 - 1, '0') + "0.seg"));
  auto s = connect(config, start_at::Cursor{1});
  ASSERT_FALSE(s);
  const auto* old = std::get_if<err::CursorTooOld>(&s.error());
  ASSERT_NE(old, nullptr) << describe(s.error());
  EXPECT_EQ(old->cursor, 1u);
  EXPECT_EQ(old->oldest, keys[1]);
  EXPECT_TRUE(all_free(pub->ring()));
}

// ---- replay ----

TEST(SubscriberReplay, ReplaysTheLogWithTheEntryAtTheConnectTailThenHandsOver) {
  BusDir dir;
  BusConfig config = dir.config(4, /*wal=*/true);
  auto pub = publisher(config);
  publish_range(*pub, 0, 10);
  auto s = must_connect(config, start_at::Cursor{2});
  ASSERT_TRUE(s);
  EXPECT_TRUE(s->replaying());
  EXPECT_EQ(s->cursor(), 2u);
  EXPECT_EQ(entry_of(*s, pub->ring()), 10u);
  EXPECT_EQ(s->lag(), 8u);
  Bytes buf;
  for (uint64_t want = 2; want < 10; ++want) {
    auto r = s->receive_timeout_into(kShort, buf);
    ASSERT_TRUE(r && *r) << want;
    EXPECT_EQ(number_of(buf), want);
    EXPECT_EQ(s->cursor(), want + 1);
    EXPECT_EQ(entry_of(*s, pub->ring()), 10u);
  }
  EXPECT_FALSE(s->try_receive_into(buf));  // the replay ends and hands over
  EXPECT_FALSE(s->replaying());
  EXPECT_EQ(entry_of(*s, pub->ring()), 10u);
  publish_range(*pub, 10, 12);
  EXPECT_EQ(receive_numbers(*s, 2), iota(10, 12));
  EXPECT_EQ(entry_of(*s, pub->ring()), 12u);
}

// Flips the last byte of the oldest segment: its last record fails its CRC.
void corrupt_last_record_of_first_segment(const std::filesystem::path& wal_dir) {
  std::filesystem::path first;
  for (const auto& e : std::filesystem::directory_iterator(wal_dir)) {
    if (first.empty() || e.path() < first) first = e.path();
  }
  std::fstream f(first, std::ios::in | std::ios::out | std::ios::binary);
  f.seekg(-1, std::ios::end);
  char c = 0;
  f.read(&c, 1);
  f.seekp(-1, std::ios::end);
  c = static_cast<char>(c ^ 0x5a);
  f.write(&c, 1);
}

TEST(SubscriberReplay, ReplayErrorIsReportedOnceThenTheRingIsRead) {
  for (bool via_try : {false, true}) {
    SCOPED_TRACE(via_try ? "try_receive_into" : "receive_timeout_into");
    BusDir dir;
    BusConfig config = dir.config(4, /*wal=*/true);
    {
      auto first = publisher(config);
      publish_range(*first, 0, 10);
    }
    auto pub = publisher(config);  // seals the old segment; the ring starts at 10
    corrupt_last_record_of_first_segment(dir.topic() / "wal");
    auto s = must_connect(config, start_at::Cursor{0});
    ASSERT_TRUE(s);
    ASSERT_TRUE(s->replaying());
    Bytes buf;
    if (via_try) {
      for (uint64_t want = 0; want < 9; ++want) {
        ASSERT_TRUE(s->try_receive_into(buf));
        EXPECT_EQ(number_of(buf), want);
      }
      EXPECT_FALSE(s->try_receive_into(buf));  // the error, dropped
    } else {
      EXPECT_EQ(receive_numbers(*s, 9), iota(0, 9));
      auto r = s->receive_timeout_into(kShort, buf);
      ASSERT_FALSE(r);
      EXPECT_TRUE(std::holds_alternative<err::Wal>(r.error())) << describe(r.error());
    }
    EXPECT_FALSE(s->replaying());
    EXPECT_EQ(entry_of(*s, pub->ring()), 10u);  // the connect tail until a ring read
    auto again = s->receive_timeout_into(Duration::from_millis(20), buf);
    ASSERT_TRUE(again);
    EXPECT_FALSE(*again);
    publish_range(*pub, 10, 11);
    EXPECT_EQ(receive_numbers(*s, 1), iota(10, 11));
  }
}

// The fault this guards against: a replay pass sees the log as it is on disk, while the newest
// records still wait in the publisher's buffer; ending the replay there and reading the ring
// lapped over messages the log was about to hold.
TEST(SubscriberReplay, SubscribingFromZeroAfterABurstMissesNothing) {
  for (int round = 0; round < 15; ++round) {
    SCOPED_TRACE(round);
    BusDir dir;
    BusConfig config = dir.config(8, /*wal=*/true);
    config.backpressure = Backpressure::DropOldest;
    auto pub = publisher(config);
    publish_range(*pub, 0, 300);
    auto s = must_connect(config, start_at::Cursor{0});
    ASSERT_TRUE(s);
    // More messages arrive while the replay runs.
    std::thread more([&] { publish_range(*pub, 300, 400); });
    std::vector<uint64_t> got = receive_numbers(*s, 300);
    more.join();
    ASSERT_EQ(got, iota(0, 300));
  }
}

TEST(SubscriberReplay, HandOverKeepsEveryMessageWhileThePublisherWaitsForRoom) {
  BusDir dir;
  BusConfig config = dir.config(8, /*wal=*/true);  // policy "error": the entry holds it back
  auto pub = publisher(config);
  publish_range(*pub, 0, 200);
  auto s = must_connect(config, start_at::Cursor{0});
  ASSERT_TRUE(s);
  std::atomic<bool> stop{false};
  std::thread more([&] {
    for (uint64_t c = 200; c < 600 && !stop;) {
      auto ok = pub->publish(numbered(c));
      if (ok) {
        ++c;
      } else {
        ASSERT_TRUE(std::holds_alternative<err::BusFull>(ok.error()));
        std::this_thread::sleep_for(50us);
      }
    }
  });
  std::vector<uint64_t> got = receive_numbers(*s, 600);
  stop = true;
  more.join();
  EXPECT_EQ(got, iota(0, 600));
}

TEST(SubscriberReplay, CursorStartOverwrittenBeforeTheFirstReadComesFromTheLog) {
  BusDir dir;
  BusConfig config = dir.config(4, /*wal=*/true);
  config.backpressure = Backpressure::DropOldest;
  auto pub = publisher(config);
  publish_range(*pub, 0, 4);
  auto s = must_connect(config, start_at::Cursor{1});  // in the ring: no replay
  ASSERT_TRUE(s);
  EXPECT_FALSE(s->replaying());
  publish_range(*pub, 4, 12);  // laps cursor 1 before it is read
  EXPECT_EQ(receive_numbers(*s, 11), iota(1, 12));
}

TEST(SubscriberReplay, CursorAtTheRingsOldestEdgeWhilePublishingArrivesFirst) {
  BusDir dir;
  BusConfig config = dir.config(8, /*wal=*/true);
  config.backpressure = Backpressure::DropOldest;
  auto pub = publisher(config);
  publish_range(*pub, 0, 8);
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> tail{8};
  std::thread writer([&] {
    for (uint64_t c = 8; !stop; ++c) {
      ASSERT_TRUE(pub->publish(numbered(c)));
      tail.store(c + 1, std::memory_order_release);
      std::this_thread::sleep_for(20us);
    }
  });
  for (int round = 0; round < 40; ++round) {
    const uint64_t t = tail.load(std::memory_order_acquire);
    const uint64_t edge = t - 8;
    auto s = must_connect(config, start_at::Cursor{edge});
    ASSERT_TRUE(s);
    std::vector<uint64_t> got = receive_numbers(*s, 1);
    ASSERT_EQ(got, std::vector<uint64_t>{edge}) << "round " << round;
  }
  stop = true;
  writer.join();
}

// ---- receiving ----

TEST(SubscriberReceive, SliceOfExactLengthSucceedsOneShortIsRefusedAndConsumed) {
  for (bool replay : {false, true}) {
    SCOPED_TRACE(replay ? "from the log" : "from the ring");
    BusDir dir;
    BusConfig config = dir.config(4, /*wal=*/replay);
    auto pub = publisher(config);
    publish_range(*pub, 0, replay ? 10 : 3, 10);
    auto s = must_connect(config, start_at::Cursor{0});
    ASSERT_TRUE(s);
    EXPECT_EQ(s->replaying(), replay);
    Bytes slice(10, std::byte{0xee});
    auto poll_slice = [&](size_t len) {
      for (;;) {  // the replay may need a moment for the log to reach its file
        auto r = s->try_receive_one_into_slice(std::span(slice).first(len));
        if (!r || *r) return r;
        std::this_thread::sleep_for(1ms);
      }
    };
    auto r = poll_slice(10);
    ASSERT_TRUE(r && *r);
    EXPECT_EQ(**r, 10u);
    EXPECT_EQ(number_of(slice), 0u);
    slice.assign(10, std::byte{0xee});
    r = poll_slice(9);
    ASSERT_FALSE(r);
    const auto* big = std::get_if<err::MessageTooLarge>(&r.error());
    ASSERT_NE(big, nullptr) << describe(r.error());
    EXPECT_EQ(big->size, 10u);
    EXPECT_EQ(big->max, 9u);
    EXPECT_EQ(s->cursor(), 2u);
    EXPECT_EQ(slice[0], std::byte{0xee});  // nothing copied
    r = poll_slice(10);
    ASSERT_TRUE(r && *r);
    EXPECT_EQ(number_of(slice), 2u);
  }
}

TEST(SubscriberReceive, ZeroTimeOutMakesOneAttempt) {
  BusDir dir;
  auto pub = publisher(dir.config());
  auto s = must_connect(dir.config(), start_at::Tail{});
  ASSERT_TRUE(s);
  Bytes buf;
  auto r = s->receive_timeout_into(Duration{}, buf);
  ASSERT_TRUE(r);
  EXPECT_FALSE(*r);
  publish_range(*pub, 0, 1);
  r = s->receive_timeout_into(Duration{}, buf);
  ASSERT_TRUE(r && *r);
  EXPECT_EQ(number_of(buf), 0u);
  EXPECT_THROW((void)s->receive_timeout_into(Duration{UINT64_MAX, 0}, buf), InternalFailure);
}

TEST(SubscriberReceive, TimedWaitThatExpiresLeavesTheFlagAtZero) {
  BusDir dir;
  auto pub = publisher(dir.config());
  auto s = must_connect(dir.config(), start_at::Tail{});
  ASSERT_TRUE(s);
  auto r = s->wait_readable(20);
  ASSERT_TRUE(r);
  EXPECT_FALSE(*r);
  EXPECT_EQ(pub->ring().wakeup_flag(s->cursor_idx()).load(std::memory_order_acquire), 0u);
}

TEST(SubscriberReceive, PollRecvReadsTheRingOnlyAfterDrainingAByte) {
  BusDir dir;
  auto pub = publisher(dir.config());
  auto s = must_connect(dir.config(), start_at::Tail{});
  ASSERT_TRUE(s);
  ASSERT_TRUE(pub->wait_for_subscribers(1, kShort));
  publish_range(*pub, 0, 1);  // not armed: no byte
  auto p = s->poll_recv();
  ASSERT_TRUE(p);
  EXPECT_FALSE(*p);  // the ring holds a message, but no byte was pending
  Bytes buf;
  ASSERT_TRUE(s->try_receive_into(buf));

  EXPECT_FALSE(s->arm_wakeup());
  publish_range(*pub, 1, 2);  // armed: one byte
  ASSERT_TRUE(s->try_receive_into(buf));
  p = s->poll_recv();  // a stale byte, nothing in the ring
  ASSERT_TRUE(p);
  EXPECT_FALSE(*p);
  auto d = s->drain_wakeup();
  ASSERT_TRUE(d);
  EXPECT_FALSE(*d);  // the byte is gone

  EXPECT_FALSE(s->arm_wakeup());
  publish_range(*pub, 2, 3);
  for (int i = 0; i < 1000; ++i) {  // the byte is sent before publish returns; allow delivery
    p = s->poll_recv();
    ASSERT_TRUE(p);
    if (*p) break;
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_TRUE(*p);
  EXPECT_EQ(number_of(**p), 2u);
}

TEST(SubscriberReceive, AfterThePublisherHasGoneTheRingIsReadableAndWaitsFail) {
  BusDir dir;
  const BusConfig config = dir.config();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(20);
    auto pub = Publisher::create("t", config);
    if (!pub) ::_exit(1);
    if (!(*pub)->wait_for_subscribers(1, Duration::from_millis(10'000))) ::_exit(2);
    for (uint64_t c = 0; c < 3; ++c) {
      if (!(*pub)->publish(numbered(c))) ::_exit(3);
    }
    ::_exit(0);  // the process ends: its connection closes
  }
  auto s = must_connect(config, start_at::Tail{});
  ASSERT_TRUE(s);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(exited_zero(status));
  Bytes buf;
  for (uint64_t want = 0; want < 3; ++want) {
    ASSERT_TRUE(s->try_receive_into(buf));
    EXPECT_EQ(number_of(buf), want);
  }
  for (int round = 0; round < 2; ++round) {
    auto a = s->receive_into(buf);
    ASSERT_FALSE(a);
    expect_io(a.error(), IoErrorKind::UnexpectedEof, "failed to fill whole buffer");
    auto b = s->receive_timeout_into(kShort, buf);
    ASSERT_FALSE(b);
    expect_io(b.error(), IoErrorKind::UnexpectedEof, "failed to fill whole buffer");
    auto c = s->wait_readable(1000);
    ASSERT_FALSE(c);
    expect_io(c.error(), IoErrorKind::UnexpectedEof, "failed to fill whole buffer");
    auto d = s->drain_wakeup();
    ASSERT_FALSE(d);
    expect_io(d.error(), IoErrorKind::UnexpectedEof, "publisher closed");
    auto e = s->poll_recv();
    ASSERT_FALSE(e);
    expect_io(e.error(), IoErrorKind::UnexpectedEof, "publisher closed");
    auto f = s->try_receive_one_into_slice(std::span(buf));
    ASSERT_TRUE(f);
    EXPECT_FALSE(*f);
    EXPECT_FALSE(s->try_receive_into(buf));
  }
  auto view = RingBuffer::open(dir.topic() / "ring.mmap");
  ASSERT_TRUE(view);
  EXPECT_EQ(view->wakeup_flag(s->cursor_idx()).load(std::memory_order_acquire), 0u);
}

TEST(SubscriberReceive, TakeoverByANewPublisherEndsWaits) {
  enum class Way { Wait, TimedReceive, Poll };
  for (Way way : {Way::Wait, Way::TimedReceive, Way::Poll}) {
    SCOPED_TRACE(static_cast<int>(way));
    BusDir dir;
    auto first = publisher(dir.config());
    auto s = must_connect(dir.config(), start_at::Tail{});
    ASSERT_TRUE(s);
    ASSERT_TRUE(first->wait_for_subscribers(1, kShort));
    EXPECT_FALSE(s->arm_wakeup());
    publish_range(*first, 0, 1);  // one byte, left unread
    first.reset();
    auto second = publisher(dir.config());  // same ring file: generation 2, tail 0
    ASSERT_NE(second->ring().generation().load(std::memory_order_acquire),
              s->connected_generation());
    Bytes buf;
    Error error = err::BusFull{};
    if (way == Way::Wait) {
      auto r = s->wait_readable(-1);
      ASSERT_FALSE(r);
      error = r.error();
    } else if (way == Way::TimedReceive) {
      auto r = s->receive_timeout_into(kShort, buf);
      ASSERT_FALSE(r);
      error = r.error();
    } else {
      auto r = s->poll_recv();
      ASSERT_FALSE(r);
      error = r.error();
    }
    expect_io(error, IoErrorKind::UnexpectedEof, "publisher restarted (generation changed)");
    EXPECT_EQ(second->ring().wakeup_flag(s->cursor_idx()).load(std::memory_order_acquire), 0u);
  }
}

// The fault this guards against: a receive time-out restarted in full after every signal
// never expires under a periodic signal (a Python setitimer handler).
TEST(SubscriberReceive, TimedWaitEndsAtItsDeadlineUnderAPeriodicSignal) {
  BusDir dir;
  auto pub = publisher(dir.config());
  const BusConfig config = dir.config();
  int status = run_in_child(
      [&] {
        struct sigaction sa {};
        sa.sa_handler = [](int) {};
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;  // no SA_RESTART: every wait is interrupted
        ::sigaction(SIGUSR1, &sa, nullptr);
        auto s = Subscriber::connect_with("t", config, kShort, start_at::Tail{});
        if (!s) return 1;
        sigevent ev{};
        ev.sigev_notify = SIGEV_SIGNAL;
        ev.sigev_signo = SIGUSR1;
        timer_t timer;
        if (::timer_create(CLOCK_MONOTONIC, &ev, &timer) != 0) return 2;
        itimerspec every{{0, 2'000'000}, {0, 2'000'000}};
        ::timer_settime(timer, 0, &every, nullptr);
        Bytes buf;
        const auto start = std::chrono::steady_clock::now();
        auto r = (*s)->receive_timeout_into(Duration::from_millis(150), buf);
        if (!r || *r) return 3;
        auto w = (*s)->wait_readable(100);
        if (!w || *w) return 4;
        // Each wait rounds its remaining time down to whole milliseconds, so the two together
        // may end up to a millisecond early; a restarted time-out would never end at all.
        if (std::chrono::steady_clock::now() - start < 245ms) return 5;
        return 0;
      },
      /*seconds=*/10);
  EXPECT_TRUE(exited_zero(status)) << status;
}

TEST(SubscriberReceive, DestructionFreesTheEntryAndThePublisherDropsTheConnection) {
  BusDir dir;
  auto pub = publisher(dir.config());
  auto s = must_connect(dir.config(), start_at::Tail{});
  ASSERT_TRUE(s);
  ASSERT_TRUE(pub->wait_for_subscribers(1, kShort));
  const uint32_t idx = s->cursor_idx();
  s.reset();
  EXPECT_EQ(pub->ring().cursor_entry(idx).load(std::memory_order_acquire), FREE_CURSOR);
  publish_range(*pub, 0, 1);
  EXPECT_EQ(pub->stats().connected_sockets, 0u);
}

}  // namespace
}  // namespace kavri
