#include "publisher.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <string>
#include <vector>

#include "internal_failure.h"
#include "transport_test_util.h"

namespace kavri {
namespace {

using testing_util::BusDir;
using testing_util::bytes_of;
using testing_util::RawClient;

std::unique_ptr<Publisher> make(const BusConfig& config, std::string_view topic = "t") {
  auto p = Publisher::create(topic, config);
  if (!p) throw std::runtime_error("create failed: " + std::to_string(p.error().index()));
  return std::move(*p);
}

template <class E, class T>
const E* error_as(const Result<T>& r) {
  return r ? nullptr : std::get_if<E>(&r.error());
}

TEST(PublisherTest, PayloadOfExactlySlotSizeFitsOneMoreIsRefusedAndNothingElseHappens) {
  BusDir dir;
  auto p = make(dir.config());
  ASSERT_TRUE(p->wait_for_subscribers(0, Duration{}));  // the first look is behind us
  RawClient c(dir.topic(), 0);
  c.claim();
  c.join();  // pending, announced
  const std::vector<std::byte> fits(64), too_big(65);
  auto r = p->publish(too_big);
  const auto* e = error_as<err::MessageTooLarge>(r);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->size, 65u);
  EXPECT_EQ(e->max, 64u);
  TopicStats s = p->stats();
  EXPECT_EQ(s.tail, 0u);
  EXPECT_EQ(s.connected_sockets, 0u) << "no connection accepted";
  ASSERT_TRUE(p->publish(fits));
  EXPECT_EQ(p->stats().tail, 1u);
  EXPECT_EQ(p->stats().connected_sockets, 1u);
}

TEST(PublisherTest, FullRingRefusesTheFifthMessage) {
  for (bool wal : {false, true}) {
    SCOPED_TRACE(wal ? "with log" : "without log");
    BusDir dir;
    auto p = make(dir.config(4, wal));
    RawClient reader(dir.topic(), 0);
    reader.claim(0);  // reads nothing
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(p->publish(bytes_of("m")));
    auto r = p->publish(bytes_of("m"));
    EXPECT_NE(error_as<err::BusFull>(r), nullptr);
    TopicStats s = p->stats();
    EXPECT_EQ(s.tail, 4u);
    EXPECT_EQ(s.full_rejected_total, 1u);
    EXPECT_EQ(s.published_total, 4u);
    ASSERT_EQ(s.wal.has_value(), wal);
    if (wal) {
      EXPECT_EQ(s.wal->pending_cursor, 4u) << "records 0 to 3 only";
      EXPECT_EQ(s.wal->appends_total, 4u);
    }
    // A claimed entry ahead of tail counts as lag 0.
    reader.claim(100);
    EXPECT_TRUE(p->publish(bytes_of("m")));
  }
}

TEST(PublisherTest, PublishManyStopsAtAFullRingWithOnePass) {
  BusDir dir;
  auto p = make(dir.config(4));
  RawClient c(dir.topic(), 0);
  c.claim(0);
  c.join();
  EXPECT_EQ(p->publish_many({}), 0u);
  ASSERT_EQ(p->stats().connected_sockets, 1u) << "an empty batch still accepts";
  c.arm();
  std::vector<std::span<const std::byte>> batch(10, bytes_of("m"));
  auto n = p->publish_many(batch);
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 4u);
  TopicStats s = p->stats();
  EXPECT_EQ(s.published_total, 4u);
  EXPECT_EQ(s.full_rejected_total, 0u);
  EXPECT_EQ(s.wakeups_sent_total, 1u);
  EXPECT_EQ(c.drain_within(1000), 1);
}

TEST(PublisherTest, PublishManyEndsAtATooLargePayloadAfterPublishingTheFirstOnes) {
  for (bool wal : {false, true}) {
    SCOPED_TRACE(wal ? "with log" : "without log");
    BusDir dir;
    auto p = make(dir.config(8, wal));
    RawClient c(dir.topic(), 0);
    c.claim(0);
    c.join();
    c.arm();
    const std::vector<std::byte> too_big(65);
    std::vector<std::span<const std::byte>> batch{bytes_of("a"), bytes_of("b"), too_big,
                                                  bytes_of("d")};
    auto r = p->publish_many(batch);
    const auto* e = error_as<err::MessageTooLarge>(r);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->size, 65u);
    EXPECT_EQ(e->max, 64u);
    TopicStats s = p->stats();
    EXPECT_EQ(s.tail, 2u);
    EXPECT_EQ(s.published_total, 2u);
    EXPECT_EQ(c.drain_within(1000), 1) << "announced by the pass";
    if (wal) {
      EXPECT_EQ(s.wal->pending_cursor, 2u);
    }
  }
}

TEST(PublisherTest, DropOldestWithCapacityZeroStopsBeforeTheLog) {
  BusDir dir;
  BusConfig config = dir.config(0, /*wal=*/true);
  config.backpressure = Backpressure::DropOldest;
  auto p = make(config);
  const std::vector<std::span<const std::byte>> batch{bytes_of("m")};
  for (int call = 0; call < 2; ++call) {
    try {
      if (call == 0) (void)p->publish(bytes_of("m"));
      if (call == 1) (void)p->publish_many(batch);
      ADD_FAILURE() << "no internal failure, call " << call;
    } catch (const InternalFailure& f) {
      EXPECT_EQ(f.message(), "attempt to calculate the remainder with a divisor of zero");
    }
  }
  TopicStats s = p->stats();
  EXPECT_EQ(s.wal->appends_total, 0u) << "no cursor the ring never got";
  EXPECT_EQ(s.wal->pending_cursor, 0u);

  // Under "error" a capacity of 0 is always full.
  auto q = make(dir.config(0, /*wal=*/true), "error_policy");
  EXPECT_NE(error_as<err::BusFull>(q->publish(bytes_of("m"))), nullptr);
  EXPECT_EQ(q->publish_many(batch), 0u);
}

TEST(PublisherTest, NextPublisherContinuesTheLogsNumberingOnTheReusedRing) {
  BusDir dir;
  uint64_t generation = 0;
  {
    auto p = make(dir.config(8, /*wal=*/true));
    generation = p->ring().generation().load(std::memory_order_acquire);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(p->publish(bytes_of("m")));
    auto again = Publisher::create("t", dir.config(8, true));
    EXPECT_NE(error_as<err::AlreadyPublishing>(again), nullptr);
  }
  {
    auto p = make(dir.config(8, /*wal=*/true));
    EXPECT_EQ(p->stats().tail, 5u);
    EXPECT_EQ(p->ring().generation().load(std::memory_order_acquire), generation + 1);
    ASSERT_TRUE(p->publish(bytes_of("m")));
    EXPECT_EQ(p->stats().wal->pending_cursor, 6u);
  }
  auto p = make(dir.config(8, /*wal=*/false));
  EXPECT_EQ(p->stats().tail, 0u) << "without the log the numbering starts again";
  EXPECT_EQ(p->ring().generation().load(std::memory_order_acquire), generation + 2);
}

TEST(PublisherTest, StaleSocketFileDoesNotPreventCreate) {
  BusDir dir;
  std::filesystem::create_directories(dir.topic());
  {
    // A socket file left behind by a publisher that died: bound, then closed.
    auto stale = platform::listen_unix(dir.topic() / "signal.sock");
    ASSERT_TRUE(stale);
  }
  ASSERT_TRUE(std::filesystem::exists(dir.topic() / "signal.sock"));
  auto p = make(dir.config());
  RawClient c(dir.topic(), 0);
  c.claim();
  c.join();
  ASSERT_TRUE(p->wait_for_subscribers(1, Duration::from_millis(1000)));
}

TEST(PublisherTest, FailedCreateReleasesTheLock) {
  BusDir dir;
  BusConfig config = dir.config();
  config.base_dir = dir.path() / std::string(110, 'd');  // too deep for a socket address
  auto r = Publisher::create("t", config);
  const auto* io = error_as<err::Io>(r);
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(io->error.kind(), IoErrorKind::InvalidInput);
  EXPECT_EQ(io->error.text(), "path must be shorter than SUN_LEN");
  EXPECT_TRUE(acquire_producer_lock("t", config.base_dir / "t"));
}

TEST(PublisherTest, StatsListLagsInTableOrder) {
  BusDir dir;
  BusConfig config = dir.config(16);
  config.max_subscribers = 8;
  auto p = make(config);
  for (int i = 0; i < 12; ++i) ASSERT_TRUE(p->publish(bytes_of("m")));
  RawClient a(dir.topic(), 3), b(dir.topic(), 7), ahead(dir.topic(), 5);
  a.claim(10);
  b.claim(2);
  TopicStats s = p->stats();
  EXPECT_EQ(s.tail, 12u);
  EXPECT_EQ(s.lags, (std::vector<uint64_t>{2, 10}));
  EXPECT_EQ(s.active_subscribers, 2u);
  EXPECT_EQ(s.connected_sockets, 0u);
  EXPECT_FALSE(s.wal.has_value());
  ahead.claim(20);
  EXPECT_EQ(p->stats().lags, (std::vector<uint64_t>{2, 0, 10}));
}

}  // namespace
}  // namespace kavri
