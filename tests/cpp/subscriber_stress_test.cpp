// Lost wake-ups: one publisher and several blocking subscribers, bursts with random pauses
// (some long enough for every subscriber to fall asleep). Every message must arrive in order
// and intact, and no receive may sit until its (generous) time-out: a lost wake-up shows up
// as exactly that.

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <random>
#include <thread>

#include "subscriber_test_util.h"

namespace kavri {
namespace {

using namespace testing_util;

constexpr uint64_t kMessages = 60'000;
constexpr uint32_t kSubscribers = 4;
constexpr int kWaitMs = 5000;  // any receive that waits this long has lost a wake-up

size_t length_of(uint64_t cursor) { return 8 + (cursor * 7919) % 57; }  // 8..64 bytes

// True once every claimed entry has reached the tail (a finished subscriber frees its entry).
bool caught_up(const Publisher& pub, Duration within) {
  const auto until =
      std::chrono::steady_clock::now() + std::chrono::nanoseconds(within.as_nanos_saturating());
  for (;;) {
    const std::vector<uint64_t> lags = pub.stats().lags;
    if (std::all_of(lags.begin(), lags.end(), [](uint64_t l) { return l == 0; })) return true;
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

// 0 on success; otherwise a code naming what went wrong.
int publish_all(const BusConfig& config, uint64_t seed) {
  auto pub = Publisher::create("t", config);
  if (!pub) return 10;
  if (!(*pub)->wait_for_subscribers(kSubscribers, Duration::from_millis(10'000))) return 11;
  std::mt19937_64 rng(seed);
  uint64_t c = 0;
  while (c < kMessages) {
    const uint64_t burst = 1 + rng() % 200;
    for (uint64_t i = 0; i < burst && c < kMessages;) {
      auto ok = (*pub)->publish(numbered(c, length_of(c)));
      if (ok) {
        ++c;
        ++i;
      } else if (std::holds_alternative<err::BusFull>(ok.error())) {
        std::this_thread::sleep_for(std::chrono::microseconds(20));
      } else {
        return 12;
      }
    }
    const uint64_t roll = rng() % 100;
    if (roll < 15) {
      // Nothing more comes until every subscriber has taken the burst: a subscriber that went
      // to sleep without its wake-up would never catch up.
      if (!caught_up(**pub, Duration::from_millis(kWaitMs))) return 14;
      std::this_thread::sleep_for(std::chrono::microseconds(500 + rng() % 3000));  // all asleep
    } else if (roll < 40) {
      std::this_thread::sleep_for(std::chrono::microseconds(50 + rng() % 450));
    }
  }
  if (!caught_up(**pub, Duration::from_millis(kWaitMs))) return 13;
  return 0;
}
enum class Mode { Blocking, Timed, SliceAndWait, EventLoop };

// 0 on success; otherwise a code naming what went wrong.
int receive_all(const BusConfig& config, Mode mode) {
  auto s =
      Subscriber::connect_with("t", config, Duration::from_millis(10'000), start_at::Cursor{0});
  if (!s) return 20;
  Subscriber& sub = **s;
  Bytes buf;
  std::vector<std::byte> slice(64);
  for (uint64_t want = 0; want < kMessages; ++want) {
    std::span<const std::byte> got;
    switch (mode) {
      case Mode::Blocking: {
        if (!sub.receive_into(buf)) return 21;
        got = buf;
        break;
      }
      case Mode::Timed: {
        auto r = sub.receive_timeout_into(Duration::from_millis(kWaitMs), buf);
        if (!r) return 22;
        if (!*r) return 23;  // stuck until the time-out
        got = buf;
        break;
      }
      case Mode::SliceAndWait: {
        for (;;) {
          auto r = sub.try_receive_one_into_slice(slice);
          if (!r) return 24;
          if (*r) {
            got = std::span(slice).first(**r);
            break;
          }
          auto w = sub.wait_readable(kWaitMs);
          if (!w) return 25;
          if (!*w) return 26;  // stuck until the time-out
        }
        break;
      }
      case Mode::EventLoop: {
        // try until nothing, arm, wait for the descriptor, poll_recv.
        for (;;) {
          if (sub.try_receive_into(buf)) break;
          if (sub.arm_wakeup()) continue;
          pollfd p{sub.fileno(), POLLIN, 0};
          if (::poll(&p, 1, kWaitMs) != 1) return 27;  // stuck until the time-out
          auto r = sub.poll_recv();
          if (!r) return 28;
          if (*r) {
            buf = std::move(**r);
            break;
          }
        }
        got = buf;
        break;
      }
    }
    if (got.size() != length_of(want) || number_of(got) != want) return 29;
  }
  return 0;
}

BusConfig stress_config(const BusDir& dir) {
  BusConfig config = dir.config(64);
  config.max_subscribers = kSubscribers;
  return config;
}

constexpr Mode kModes[kSubscribers] = {Mode::Blocking, Mode::Timed, Mode::SliceAndWait,
                                       Mode::EventLoop};

TEST(SubscriberStress, BlockingSubscriberProcessesReceiveEveryBurstInOrder) {
  BusDir dir;
  const BusConfig config = stress_config(dir);
  std::vector<std::thread> waiters;
  std::vector<int> status(kSubscribers + 1, -1);
  waiters.emplace_back([&] { status[0] = run_in_child([&] { return publish_all(config, 7); }); });
  for (uint32_t i = 0; i < kSubscribers; ++i) {
    waiters.emplace_back(
        [&, i] { status[i + 1] = run_in_child([&] { return receive_all(config, kModes[i]); }); });
  }
  for (auto& t : waiters) t.join();
  for (size_t i = 0; i < status.size(); ++i) {
    EXPECT_TRUE(exited_zero(status[i]))
        << (i == 0 ? "publisher" : "subscriber " + std::to_string(i - 1)) << ": status "
        << status[i]
        << (WIFEXITED(status[i]) ? " code " + std::to_string(WEXITSTATUS(status[i]))
                                 : std::string(" (signal)"));
  }
}

// The same in one process, for the thread sanitizer.
TEST(SubscriberStress, BlockingSubscriberThreadsReceiveEveryBurstInOrder) {
  BusDir dir;
  const BusConfig config = stress_config(dir);
  std::vector<int> codes(kSubscribers + 1, -1);
  std::vector<std::thread> threads;
  threads.emplace_back([&] { codes[0] = publish_all(config, 11); });
  for (uint32_t i = 0; i < kSubscribers; ++i) {
    threads.emplace_back([&, i] { codes[i + 1] = receive_all(config, kModes[i]); });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(codes, std::vector<int>(kSubscribers + 1, 0));
}

}  // namespace
}  // namespace kavri
