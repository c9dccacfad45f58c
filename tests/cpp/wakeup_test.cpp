// The publisher's side of the handshake and wake-up protocol, driven by raw clients.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "internal_failure.h"
#include "logging.h"
#include "publisher.h"
#include "transport_test_util.h"

namespace kavri {
namespace {

using testing_util::BusDir;
using testing_util::bytes_of;
using testing_util::exited_zero;
using testing_util::RawClient;
using testing_util::run_in_child;

class WakeupTest : public testing::Test {
 protected:
  void SetUp() override {
    auto p = Publisher::create("t", dir_.config());
    ASSERT_TRUE(p);
    pub_ = std::move(*p);
  }
  RawClient client(uint32_t idx) { return RawClient(dir_.topic(), idx); }
  void publish() { ASSERT_TRUE(pub_->publish(bytes_of("m"))); }

  BusDir dir_;
  std::unique_ptr<Publisher> pub_;
};

TEST_F(WakeupTest, PublishWithoutClientsRunsNoPass) {
  // An armed, claimed entry whose owner is not connected: only a pass could clear its flag.
  RawClient c = client(0);
  c.claim();
  c.arm();
  publish();
  publish();
  EXPECT_EQ(c.flag(), 1u);
  EXPECT_EQ(pub_->stats().wakeups_sent_total, 0u);
}

TEST_F(WakeupTest, AcceptStepLooksAtTheListenerOnlyWhenAnnouncedOrDue) {
  // A client is accepted by a publish exactly when that publish's pass clears its armed flag.
  // A connection with its announcement but without the counter bump stays queued while the
  // coarse clock has not moved a whole interval since the last real look. The test can only
  // tell when the clock did not tick in between, so it retries until it sees that case.
  bool seen_quiet = false;
  for (int attempt = 0; attempt < 50 && !seen_quiet; ++attempt) {
    RawClient quiet = client(1);  // makes the previous attempt's connection stale
    quiet.claim();
    quiet.arm();
    ASSERT_TRUE(pub_->accept_clients());  // a real look, now
    const uint64_t looked = platform::coarse_monotonic_ns();
    quiet.connect();
    quiet.write(encode_announcement(1));
    publish();
    if (platform::coarse_monotonic_ns() - looked < Publisher::POLL_INTERVAL_NS) {
      EXPECT_EQ(quiet.flag(), 1u) << "accepted without a bump inside the interval";
      seen_quiet = true;
    }
    ASSERT_TRUE(pub_->accept_clients());
  }
  EXPECT_TRUE(seen_quiet);

  // A bump makes the very next publish accept.
  RawClient c = client(0);
  c.claim();
  c.arm();
  c.join();
  publish();
  EXPECT_EQ(c.flag(), 0u);
  EXPECT_EQ(c.drain_within(1000), 1);

  // Without a bump the connection is taken once the interval has passed.
  RawClient late = client(2);
  late.claim();
  late.arm();
  late.connect();
  late.write(encode_announcement(2));
  platform::sleep_for(Duration::from_millis(15));  // more than one kernel tick
  publish();
  EXPECT_EQ(late.drain_within(1000), 1);
}

TEST_F(WakeupTest, TwoPublishesWhileArmedSendOneByte) {
  RawClient c = client(0);
  c.claim();
  c.join();
  publish();  // accepts
  c.arm();
  publish();
  publish();
  EXPECT_EQ(c.drain_within(1000), 1);
  EXPECT_EQ(c.flag(), 0u);
  EXPECT_EQ(pub_->stats().wakeups_sent_total, 1u);
}

TEST_F(WakeupTest, FreedEntryDropsItsClientAtTheNextPass) {
  RawClient gone = client(0), stays = client(1);
  gone.claim();
  stays.claim();
  gone.join();
  stays.join();
  publish();
  ASSERT_EQ(pub_->stats().connected_sockets, 2u);
  gone.arm();
  gone.free_entry();
  publish();
  TopicStats s = pub_->stats();
  EXPECT_EQ(s.connected_sockets, 1u);
  EXPECT_EQ(s.subscribers_dropped_total, 1u);
  EXPECT_EQ(s.wakeups_sent_total, 0u);
  EXPECT_EQ(gone.flag(), 1u) << "the flag of a freed entry is not touched";
  EXPECT_EQ(gone.drain_within(1000), -1) << "its connection is closed, nothing sent";
}

TEST_F(WakeupTest, DeadArmedPeerIsDroppedAndItsEntryStaysClaimed) {
  // Two real subscriber processes that end without freeing their entries, one armed.
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  std::vector<pid_t> pids;
  for (uint32_t idx : {0u, 1u}) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::alarm(20);
      RawClient c(dir_.topic(), idx);
      c.claim(5);
      c.join();
      if (idx == 0) c.arm();
      char b = 1;
      (void)!::write(ready[1], &b, 1);
      ::pause();
      ::_exit(0);
    }
    pids.push_back(pid);
  }
  for (int i = 0; i < 2; ++i) {
    char b;
    ASSERT_EQ(::read(ready[0], &b, 1), 1);
  }
  publish();  // accepts both; the armed one gets its byte
  for (pid_t pid : pids) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  RawClient probe = client(0);
  probe.arm();  // armed again before it died, say
  publish();
  TopicStats s = pub_->stats();
  EXPECT_EQ(s.connected_sockets, 1u) << "the idle dead peer is never sent anything";
  EXPECT_EQ(s.subscribers_dropped_total, 1u);
  EXPECT_EQ(s.wakeups_sent_total, 2u) << "the failed send counts";
  EXPECT_EQ(probe.ring().cursor_entry(0).load(std::memory_order_acquire), 5u);
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST_F(WakeupTest, PeerClosingBeforeItsAnnouncementFailsThatPublishOnly) {
  RawClient bad = client(0), good = client(1);
  good.claim();
  bad.connect();
  bad.write(bytes_of("\x01\x00"));
  bad.close();
  bad.bump();
  good.join();
  auto r = pub_->publish(bytes_of("m"));
  ASSERT_FALSE(r);
  const auto* io = std::get_if<err::Io>(&r.error());
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(io->error.kind(), IoErrorKind::UnexpectedEof);
  EXPECT_EQ(io->error.text(), "failed to fill whole buffer");
  EXPECT_EQ(pub_->stats().tail, 0u) << "nothing written";
  publish();
  TopicStats s = pub_->stats();
  EXPECT_EQ(s.tail, 1u);
  EXPECT_EQ(s.connected_sockets, 1u) << "the connection queued behind it is taken next";
}

TEST_F(WakeupTest, SilentPeerIsClosedAndTheStepGoesOn) {
  // Bounded in a child: an unbounded announcement read would hang here.
  const int status = run_in_child([&] {
    RawClient silent = client(0), good = client(1);
    good.claim();
    silent.connect();
    silent.bump();
    good.join();
    if (!pub_->publish(bytes_of("m"))) return 2;  // waits at most ANNOUNCE_TIMEOUT
    TopicStats s = pub_->stats();
    if (s.tail != 1 || s.connected_sockets != 1) return 3;
    if (s.subscribers_dropped_total != 0) return 4;  // never a client, so not a dropped one
    if (silent.drain_within(1000) != -1) return 5;   // closed
    return 0;
  });
  EXPECT_TRUE(exited_zero(status)) << status;
}

TEST_F(WakeupTest, IndexOutsideTheTablesIsClosed) {
  for (uint32_t idx : {4u, 0xFFFFFFFFu}) {  // max_subscribers is 4
    RawClient c = client(0);
    c.join(idx);
    publish();
    EXPECT_EQ(pub_->stats().connected_sockets, 0u) << idx;
    EXPECT_EQ(c.drain_within(1000), -1) << idx;
  }
}

TEST_F(WakeupTest, NewOwnerOfAnEntryIsWokenOnItsOwnConnection) {
  // The previous owner of entry 0 freed it after the last pass and a new subscriber claimed
  // it; the old connection is still in the publisher's list.
  RawClient old_owner = client(0);
  old_owner.claim();
  old_owner.join();
  publish();
  RawClient new_owner = client(0);
  new_owner.claim(1);

  // (a) The new owner's connection arrives before the next publish: the old one is stale and
  // dropped at accept, even though its peer is still open.
  new_owner.join();
  new_owner.arm();
  publish();
  EXPECT_EQ(new_owner.drain_within(1000), 1);
  EXPECT_EQ(old_owner.drain_within(1000), -1);
  TopicStats s = pub_->stats();
  EXPECT_EQ(s.connected_sockets, 1u);
  EXPECT_EQ(s.subscribers_dropped_total, 1u);

  // (b) Again, but the new owner arms before its connection is accepted: the pass takes its
  // flag for the stale connection, whose send fails; the flag is given back, and the publish
  // that accepts the new owner wakes it.
  RawClient third = client(0);
  third.claim(2);
  new_owner.close();
  third.arm();
  publish();
  EXPECT_EQ(third.flag(), 1u);
  third.join();
  publish();
  EXPECT_EQ(third.drain_within(1000), 1);
  EXPECT_EQ(pub_->stats().connected_sockets, 1u);
}

TEST_F(WakeupTest, WakeupSendNeverBlocksOnAFullBuffer) {
  // A subscriber that arms again and again and never reads. Bounded in a child: a send that
  // blocked would hang here.
  const int status = run_in_child([&] {
    RawClient c = client(0);
    c.claim();
    c.join();
    if (!pub_->publish(bytes_of("m"))) return 2;
    constexpr int kRounds = 20000;
    for (int i = 0; i < kRounds; ++i) {
      c.claim(i + 1);  // keeps up, as far as backpressure can tell
      c.arm();
      if (!pub_->publish(bytes_of("m"))) return 3;
    }
    int queued = 0;
    ::ioctl(c.fd(), FIONREAD, &queued);
    TopicStats s = pub_->stats();
    if (s.connected_sockets != 1 || s.wakeups_sent_total != kRounds) return 4;
    if (queued <= 0 || queued >= kRounds) return 5;  // the buffer did fill
    return 0;
  });
  EXPECT_TRUE(exited_zero(status)) << status;
}

TEST_F(WakeupTest, WaitForSubscribers) {
  EXPECT_TRUE(pub_->wait_for_subscribers(0, Duration{}));
  auto r = pub_->wait_for_subscribers(1, Duration{});
  ASSERT_FALSE(r);
  const auto* t = std::get_if<err::ConnectTimeout>(&r.error());
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->what, "waiting for subscribers");

  // A peer that connects during the wait, without a bump, is counted.
  std::thread late([&] {
    platform::sleep_for(Duration::from_millis(20));
    RawClient c(dir_.topic(), 0);
    c.claim();
    c.connect();
    c.write(encode_announcement(0));
    platform::sleep_for(Duration::from_millis(200));
  });
  EXPECT_TRUE(pub_->wait_for_subscribers(1, Duration::from_millis(5000)));
  late.join();

  try {
    (void)pub_->wait_for_subscribers(9, Duration{std::numeric_limits<uint64_t>::max(), 0});
    ADD_FAILURE() << "no internal failure";
  } catch (const InternalFailure& f) {
    EXPECT_EQ(f.message(), "overflow when adding duration to instant");
  }
}

TEST_F(WakeupTest, DropEventsCarryTheRemainingClients) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const int status = run_in_child([&] {
    ::dup2(fds[1], STDERR_FILENO);
    ::setenv("RUST_LOG", "kavri::publisher=info", 1);
    logging::init_logging(std::nullopt);
    // A topic of its own: the parent's publisher holds "t" (this child shares its lock).
    auto p = Publisher::create("ev", dir_.config());
    if (!p) return 2;
    RawClient freed(dir_.topic("ev"), 0), dead(dir_.topic("ev"), 1);
    freed.claim();
    dead.claim();
    freed.join();
    dead.join();
    if (!(*p)->publish(bytes_of("m"))) return 3;
    freed.free_entry();
    dead.arm();
    dead.close();
    if (!(*p)->publish(bytes_of("m"))) return 4;
    return 0;
  });
  ::close(fds[1]);
  std::string err;
  char buf[4096];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) err.append(buf, n);
  ::close(fds[0]);
  ASSERT_TRUE(exited_zero(status)) << status << "\n" << err;
  EXPECT_NE(err.find(" INFO kavri::publisher: publisher created topic=\"ev\" ring_capacity=8 "
                     "slot_size=64 wal_enabled=false backpressure=Error\n"),
            std::string::npos)
      << err;
  const auto clean = err.find(
      "kavri::publisher: subscriber dropped (cursor released; clean disconnect) "
      "remaining_clients=1\n");
  const auto failed = err.find(
      "kavri::publisher: subscriber dropped (wake failed; peer closed) "
      "remaining_clients=0\n");
  EXPECT_NE(clean, std::string::npos) << err;
  EXPECT_NE(failed, std::string::npos) << err;
  EXPECT_LT(clean, failed) << err;
}

// Subscriber processes connect at random moments while the publisher publishes without
// pause; each arms its flag at once and must get a byte, whichever way the publisher learns
// of its connection.
struct LossCase {
  const char* name;
  bool bump;               // the subscribers bump the announcement counter
  uint64_t poll_interval;  // the publisher's fallback interval
};

class NoConnectionIsLost : public testing::TestWithParam<LossCase> {};

TEST_P(NoConnectionIsLost, EveryArmedNewcomerIsWoken) {
  const LossCase& lc = GetParam();
  BusDir dir;
  BusConfig config = dir.config();
  config.max_subscribers = 16;
  config.backpressure = Backpressure::DropOldest;
  constexpr uint32_t kSubscribers = 16;

  // Forked before the publisher exists, so no child holds a copy of its descriptors.
  std::vector<pid_t> pids;
  for (uint32_t idx = 0; idx < kSubscribers; ++idx) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::alarm(20);
      std::mt19937 rng(idx * 7919 + ::getpid());
      platform::sleep_for(Duration::from_nanos(rng() % 40'000'000));
      const auto topic = dir.topic();
      std::optional<RingBuffer> ring;
      while (!ring) {
        auto r = RingBuffer::open(topic / "ring.mmap");
        if (r) {
          ring.emplace(std::move(*r));
        } else {
          platform::sleep_for(Duration::from_millis(1));
        }
      }
      ring->cursor_entry(idx).store(0, std::memory_order_release);
      Fd stream;
      for (;;) {
        auto fd = platform::connect_unix(topic / "signal.sock");
        if (fd) {
          stream = std::move(*fd);
          break;
        }
        platform::sleep_for(Duration::from_millis(1));
      }
      if (!send_announcement(stream.get(), idx)) ::_exit(2);
      if (lc.bump) announce_connection(*ring);
      ring->wakeup_flag(idx).exchange(1, std::memory_order_seq_cst);
      pollfd p{stream.get(), POLLIN, 0};
      if (::poll(&p, 1, 5000) != 1) ::_exit(3);
      auto b = platform::recv_byte_nonblocking(stream.get());
      ::_exit(b && *b == platform::ByteReceive::Byte ? 0 : 4);
    }
    pids.push_back(pid);
  }

  Publisher::set_poll_interval_for_testing(lc.poll_interval);
  {
    auto p = Publisher::create("t", config);
    ASSERT_TRUE(p);
    size_t done = 0;
    const Instant deadline = *Instant::now().checked_add(Duration::from_millis(15000));
    for (uint64_t i = 0; done < pids.size() && Instant::now() < deadline; ++i) {
      ASSERT_TRUE((*p)->publish(bytes_of("m")));
      if (i % 256 != 0) continue;
      for (pid_t& pid : pids) {
        int status = 0;
        if (pid <= 0 || ::waitpid(pid, &status, WNOHANG) != pid) continue;
        EXPECT_TRUE(exited_zero(status)) << "subscriber ended with " << status;
        pid = -1;
        ++done;
      }
    }
    EXPECT_EQ(done, pids.size());
  }
  Publisher::set_poll_interval_for_testing(Publisher::POLL_INTERVAL_NS);
  for (pid_t pid : pids) {
    if (pid <= 0) continue;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Triggers, NoConnectionIsLost,
    testing::Values(LossCase{"CounterOnly", true, std::numeric_limits<uint64_t>::max()},
                    LossCase{"IntervalOnly", false, Publisher::POLL_INTERVAL_NS}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kavri
