#include "bus.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/directory.h"

namespace kavri {
namespace {

std::span<const std::byte> bytes(std::string_view s) { return std::as_bytes(std::span(s)); }

class BusTest : public testing::Test {
 protected:
  void SetUp() override {
    base_ = std::filesystem::path(testing::TempDir()) /
            ("kavri_bus_" + std::to_string(getpid()) + "_" +
             testing::UnitTest::GetInstance()->current_test_info()->name());
    platform::remove_tree(base_);
  }
  void TearDown() override { platform::remove_tree(base_); }

  Bus make_bus(const std::string& name, bool wal = false) {
    BusConfig config;
    config.base_dir = base_;
    config.capacity = 8;
    config.slot_size = 64;
    config.max_subscribers = 4;
    config.wal.enabled = wal;
    return Bus::with_config(name, config);
  }

  bool exists(const std::filesystem::path& p) { return platform::path_exists(p).has_value(); }

  std::filesystem::path base_;
};

template <class T>
bool holds(const Error& e) {
  return std::holds_alternative<T>(e);
}

TEST_F(BusTest, BusesUnderOneBaseNeverShareATopic) {
  Bus a = make_bus("a");
  Bus b = make_bus("b");
  ASSERT_TRUE(a.publish("t", bytes("x")));
  ASSERT_TRUE(b.publish("t", bytes("y")));  // a different producer lock: no conflict
  EXPECT_TRUE(exists(base_ / "a" / "t" / "ring.mmap"));
  EXPECT_TRUE(exists(base_ / "b" / "t" / "ring.mmap"));
  EXPECT_EQ(a.stats("t")->tail, 1u);
  EXPECT_EQ(b.stats("t")->tail, 1u);
}

TEST_F(BusTest, TopicNamesJoinComponentWise) {
  Bus bus = make_bus("b");
  EXPECT_EQ(bus.topic_config().base_dir, base_ / "b");
  ASSERT_TRUE(bus.publish("", bytes("x")));  // the bus directory itself
  EXPECT_TRUE(exists(base_ / "b" / "ring.mmap"));
  ASSERT_TRUE(bus.publish("nested/t", bytes("x")));
  EXPECT_TRUE(exists(base_ / "b" / "nested" / "t" / "ring.mmap"));
  const std::filesystem::path absolute = base_ / "elsewhere";
  ASSERT_TRUE(bus.publish(absolute.native(), bytes("x")));  // replaces the prefix
  EXPECT_TRUE(exists(absolute / "ring.mmap"));
}

TEST_F(BusTest, NulInAPathIsInvalidInputEverywhere) {
  Bus bus = make_bus("b");
  const std::string topic("a\0b", 3);
  auto expect_invalid = [](const Error& e) {
    auto* io = std::get_if<err::Io>(&e);
    ASSERT_NE(io, nullptr);
    EXPECT_EQ(io->error.kind(), IoErrorKind::InvalidInput);
  };
  auto published = bus.publish(topic, bytes("x"));
  ASSERT_FALSE(published);
  expect_invalid(published.error());
  auto cleaned = bus.clean_topic(topic);
  ASSERT_FALSE(cleaned);
  expect_invalid(cleaned.error());
  auto subscribed = bus.subscribe_timeout(topic, Duration::from_millis(0));
  ASSERT_FALSE(subscribed);
  expect_invalid(subscribed.error());
  EXPECT_FALSE(exists(base_ / "b" / "a"));
}

TEST_F(BusTest, StatsAndSlowSubscribersOfUnknownTopicCreateNothing) {
  Bus bus = make_bus("b");
  EXPECT_FALSE(bus.stats("t").has_value());
  EXPECT_TRUE(bus.slow_subscribers("t", 0).empty());
  EXPECT_FALSE(exists(base_));
}

TEST_F(BusTest, SlowSubscribersThresholdIsInclusiveInTableOrder) {
  Bus bus = make_bus("b");
  ASSERT_TRUE(bus.wait_for_subscribers("t", 0, Duration{}));
  auto behind = bus.subscribe_timeout("t", Duration::from_millis(1000));
  ASSERT_TRUE(behind);
  // An entry ahead of the tail counts as lag 0.
  auto ahead = bus.subscribe_from_timeout("t", 100, Duration::from_millis(1000));
  ASSERT_TRUE(ahead);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(bus.publish("t", bytes("m")));

  using Pairs = std::vector<std::pair<uint64_t, uint64_t>>;
  EXPECT_EQ(bus.slow_subscribers("t", 0), (Pairs{{0, 3}, {1, 0}}));
  EXPECT_EQ(bus.slow_subscribers("t", 3), (Pairs{{0, 3}}));
  EXPECT_EQ(bus.slow_subscribers("t", 4), Pairs{});
  EXPECT_EQ(bus.stats("t")->lags, (std::vector<uint64_t>{3, 0}));
}

TEST_F(BusTest, WaitForSubscribersCreatesThePublisherFirst) {
  Bus bus = make_bus("b");
  auto waited = bus.wait_for_subscribers("t", 1, Duration{});
  ASSERT_FALSE(waited);
  auto* timeout = std::get_if<err::ConnectTimeout>(&waited.error());
  ASSERT_NE(timeout, nullptr);
  EXPECT_EQ(timeout->what, "waiting for subscribers");
  EXPECT_TRUE(exists(base_ / "b" / "t" / "ring.mmap"));
  EXPECT_TRUE(bus.stats("t").has_value());
}

TEST_F(BusTest, TakenPublisherKeepsTheTopicUntilDestroyed) {
  Bus bus = make_bus("b");
  ASSERT_TRUE(bus.publish("t", bytes("x")));
  auto taken = bus.take_publisher("t");  // the cached one moves out
  ASSERT_TRUE(taken);
  EXPECT_FALSE(bus.stats("t").has_value());
  auto refused = bus.publish("t", bytes("y"));
  ASSERT_FALSE(refused);
  ASSERT_TRUE(holds<err::AlreadyPublishing>(refused.error()));
  EXPECT_EQ(std::get<err::AlreadyPublishing>(refused.error()).topic, "t");
  auto clean_refused = bus.clean_topic("t");
  ASSERT_FALSE(clean_refused);
  EXPECT_TRUE(holds<err::AlreadyPublishing>(clean_refused.error()));
  EXPECT_TRUE(exists(base_ / "b" / "t" / "ring.mmap"));

  taken->reset();
  ASSERT_TRUE(bus.publish("t", bytes("z")));
  // A take without a cached publisher creates one that the bus does not keep.
  auto second = bus.take_publisher("u");
  ASSERT_TRUE(second);
  EXPECT_FALSE(bus.stats("u").has_value());
}

TEST_F(BusTest, CleanTopicRemovesOwnTopicAndIgnoresMissingOnes) {
  Bus bus = make_bus("b", /*wal=*/true);
  EXPECT_TRUE(bus.clean_topic("never"));
  ASSERT_TRUE(bus.publish("t", bytes("x")));
  ASSERT_TRUE(bus.clean_topic("t"));  // drops its own publisher first
  EXPECT_FALSE(exists(base_ / "b" / "t"));
  EXPECT_FALSE(bus.stats("t").has_value());
  ASSERT_TRUE(bus.publish("t", bytes("again")));
  EXPECT_EQ(bus.stats("t")->tail, 1u);
}

TEST_F(BusTest, CleanTopicIsRefusedWhileAnotherProcessPublishes) {
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(20);
    Bus other = make_bus("b");
    char c = other.publish("t", bytes("x")) ? 'y' : 'n';
    (void)!write(ready[1], &c, 1);
    (void)!read(done[0], &c, 1);
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  Bus bus = make_bus("b");
  auto refused = bus.clean_topic("t");
  ASSERT_FALSE(refused);
  EXPECT_TRUE(holds<err::AlreadyPublishing>(refused.error()));
  EXPECT_TRUE(exists(base_ / "b" / "t" / "ring.mmap"));
  (void)!write(done[1], &c, 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(bus.clean_topic("t"));
  EXPECT_FALSE(exists(base_ / "b" / "t"));
}

// A publisher that starts while another process cleans the topic either fails to take the lock
// or keeps every file it set up: the clean never removes files from under a live publisher.
TEST_F(BusTest, CleanRacingCreateNeverRemovesALivePublishersFiles) {
  pid_t cleaner = fork();
  ASSERT_GE(cleaner, 0);
  if (cleaner == 0) {
    alarm(20);
    Bus bus = make_bus("b");
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (std::chrono::steady_clock::now() < until) (void)bus.clean_topic("t");
    _exit(0);
  }
  Bus bus = make_bus("b");
  const std::filesystem::path dir = base_ / "b" / "t";
  int created = 0;
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  while (std::chrono::steady_clock::now() < until) {
    auto publisher = bus.take_publisher("t");
    if (!publisher) continue;
    ++created;
    for (int i = 0; i < 20; ++i) {
      ASSERT_TRUE((*publisher)->publish(bytes("m")));
      ASSERT_TRUE(exists(dir / "ring.mmap")) << "round " << created;
      ASSERT_TRUE(exists(dir / "signal.sock")) << "round " << created;
      ASSERT_TRUE(exists(dir / "producer.lock")) << "round " << created;
    }
  }
  int status = 0;
  ASSERT_EQ(waitpid(cleaner, &status, 0), cleaner);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_GT(created, 0);
}

TEST_F(BusTest, SubscribingWorksInTheProcessThatPublishes) {
  Bus bus = make_bus("b");
  ASSERT_TRUE(bus.wait_for_subscribers("t", 0, Duration{}));
  auto sub = bus.subscribe_timeout("t", Duration::from_millis(1000));
  ASSERT_TRUE(sub);
  ASSERT_TRUE(bus.publish("t", bytes("hello")));
  std::vector<std::byte> out;
  auto got = (*sub)->receive_timeout_into(Duration::from_millis(2000), out);
  ASSERT_TRUE(got);
  ASSERT_TRUE(*got);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), out.size()), "hello");
}

}  // namespace
}  // namespace kavri
