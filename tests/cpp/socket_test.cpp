#include "platform/socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/directory.h"
#include "transport_test_util.h"

namespace kavri::platform {
namespace {

using testing_util::run_in_child;

std::span<const std::byte> bytes(const char* s, size_t n) {
  return {reinterpret_cast<const std::byte*>(s), n};
}

bool is_nonblocking(int fd) { return (::fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; }
bool is_cloexec(int fd) { return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

Instant after_ms(uint64_t ms) { return *Instant::now().checked_add(Duration::from_millis(ms)); }

class SocketTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::TempDir() + "kavri_socket_" + std::to_string(getpid()) + "_" +
           testing::UnitTest::GetInstance()->current_test_info()->name();
    ASSERT_TRUE(create_dir_all(dir_));
    sock_ = dir_ / "signal.sock";
  }
  void TearDown() override { (void)remove_tree(dir_); }

  struct Pair {
    Fd listener;
    Fd client;    // connect_unix's end
    Fd accepted;  // accept_connection's end
  };
  Pair connected_pair() {
    Pair p;
    (void)remove_file(sock_);
    auto l = listen_unix(sock_);
    EXPECT_TRUE(l) << l.error().text();
    p.listener = std::move(*l);
    auto c = connect_unix(sock_);
    EXPECT_TRUE(c) << c.error().text();
    p.client = std::move(*c);
    auto a = accept_connection(p.listener.get());
    EXPECT_TRUE(a) << a.error().text();
    p.accepted = std::move(*a);
    return p;
  }

  std::filesystem::path dir_;
  std::filesystem::path sock_;
};

TEST_F(SocketTest, PathChecksUseTheirFixedTexts) {
  constexpr size_t kSunPath = sizeof(sockaddr_un{}.sun_path);
  std::string nul = dir_.native() + std::string("/a\0b", 4);
  std::string at_limit = dir_.native() + "/";
  at_limit.resize(kSunPath, 'x');
  struct Case {
    std::string name;
    std::string path;
    const char* text;
  };
  const Case cases[] = {
      {"NUL byte", nul, "paths must not contain interior null bytes"},
      {"sun_path bytes", at_limit, "path must be shorter than SUN_LEN"},
      {"far too long", std::string(4096, 'y'), "path must be shorter than SUN_LEN"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (auto* op : {&listen_unix, &connect_unix}) {
      auto r = op(c.path);
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().kind(), IoErrorKind::InvalidInput);
      EXPECT_EQ(r.error().text(), c.text);
    }
  }
  // One byte shorter fits with its terminating NUL: bind and connect work.
  std::string longest = at_limit.substr(0, kSunPath - 1);
  auto l = listen_unix(longest);
  ASSERT_TRUE(l) << l.error().text();
  EXPECT_TRUE(connect_unix(longest));
  EXPECT_EQ(listen_unix("").error().kind(), IoErrorKind::NotFound);
}

TEST_F(SocketTest, ListenerAcceptsOnlyWhatIsPending) {
  auto l = listen_unix(sock_);
  ASSERT_TRUE(l) << l.error().text();
  int listener = l->get();
  EXPECT_TRUE(is_nonblocking(listener));
  EXPECT_TRUE(is_cloexec(listener));

  EXPECT_EQ(has_pending_connection(listener), false);
  auto none = accept_connection(listener);
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error().kind(), IoErrorKind::WouldBlock);

  auto c1 = connect_unix(sock_);
  auto c2 = connect_unix(sock_);
  ASSERT_TRUE(c1 && c2);
  for (int fd : {c1->get(), c2->get()}) {
    EXPECT_FALSE(is_nonblocking(fd));
    EXPECT_TRUE(is_cloexec(fd));
  }
  // A returned connect is visible to the zero-time-out check at once.
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(has_pending_connection(listener), true) << i;
    auto a = accept_connection(listener);
    ASSERT_TRUE(a) << a.error().text();
    EXPECT_FALSE(is_nonblocking(a->get()));
    EXPECT_TRUE(is_cloexec(a->get()));
  }
  EXPECT_EQ(has_pending_connection(listener), false);
  EXPECT_EQ(accept_connection(listener).error().kind(), IoErrorKind::WouldBlock);

  // The socket file stays when the listener closes: a second bind needs it removed first.
  EXPECT_EQ(listen_unix(sock_).error().kind(), IoErrorKind::AddrInUse);
  l = Fd();
  EXPECT_EQ(connect_unix(sock_).error().kind(), IoErrorKind::ConnectionRefused);
  ASSERT_TRUE(remove_file(sock_));
  EXPECT_EQ(connect_unix(sock_).error().kind(), IoErrorKind::NotFound);
  EXPECT_TRUE(listen_unix(sock_));
}

TEST_F(SocketTest, SetNonblockingSwitchesBothWays) {
  Pair p = connected_pair();
  ASSERT_TRUE(set_nonblocking(p.accepted.get(), true));
  EXPECT_TRUE(is_nonblocking(p.accepted.get()));
  ASSERT_TRUE(set_nonblocking(p.accepted.get(), false));
  EXPECT_FALSE(is_nonblocking(p.accepted.get()));
  EXPECT_EQ(set_nonblocking(-1, true).error().kind(), IoErrorKind::Other);
}

TEST_F(SocketTest, ExactReadsJoinPartialSendsAndReportEarlyEof) {
  using Reader = std::function<IoResult<void>(int, std::span<std::byte>)>;
  const std::pair<const char*, Reader> readers[] = {
      {"recv_exact", [](int fd, std::span<std::byte> b) { return recv_exact(fd, b); }},
      {"recv_exact_until",
       [](int fd, std::span<std::byte> b) { return recv_exact_until(fd, b, after_ms(10'000)); }},
  };
  for (const auto& [name, read] : readers) {
    SCOPED_TRACE(name);
    Pair p = connected_pair();
    std::thread writer([fd = p.client.get()] {
      EXPECT_TRUE(send_all(fd, bytes("\x07\x00", 2)));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      EXPECT_TRUE(send_all(fd, bytes("\x00\x00", 2)));
    });
    std::array<std::byte, 4> got{};
    auto r = read(p.accepted.get(), got);
    writer.join();
    ASSERT_TRUE(r) << r.error().text();
    EXPECT_EQ(got[0], std::byte{7});

    ASSERT_TRUE(send_all(p.client.get(), bytes("ab", 2)));
    p.client = Fd();
    r = read(p.accepted.get(), got);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), IoErrorKind::UnexpectedEof);
    EXPECT_EQ(r.error().text(), "failed to fill whole buffer");
    EXPECT_EQ(got[0], std::byte{'a'});
  }
}

TEST_F(SocketTest, NonBlockingByteReceiveReportsEachOutcome) {
  Pair p = connected_pair();
  EXPECT_EQ(recv_byte_nonblocking(p.client.get()), ByteReceive::WouldBlock);
  EXPECT_FALSE(is_nonblocking(p.client.get()));  // the descriptor's mode is untouched
  ASSERT_EQ(send_byte_nonblocking(p.accepted.get(), std::byte{1}), ByteSend::Sent);
  ASSERT_EQ(send_byte_nonblocking(p.accepted.get(), std::byte{1}), ByteSend::Sent);
  EXPECT_EQ(recv_byte_nonblocking(p.client.get()), ByteReceive::Byte);
  EXPECT_EQ(recv_byte_nonblocking(p.client.get()), ByteReceive::Byte);
  EXPECT_EQ(recv_byte_nonblocking(p.client.get()), ByteReceive::WouldBlock);
  p.accepted = Fd();
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(recv_byte_nonblocking(p.client.get()), ByteReceive::EndOfStream) << i;
  }
  // Any other failure is the OS error (a listener cannot receive).
  auto e = recv_byte_nonblocking(p.listener.get());
  ASSERT_FALSE(e);
  EXPECT_NE(e.error().os_error(), 0);
}

// Runs in a child with the default SIGPIPE action: a send that raised the signal would kill it.
TEST_F(SocketTest, SendToClosedPeerIsAnErrorNotASignal) {
  Pair p = connected_pair();
  p.client = Fd();
  int status = run_in_child([&] {
    ::signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    auto all = send_all(p.accepted.get(), bytes("wake", 4));
    auto one = send_byte_nonblocking(p.accepted.get(), std::byte{1});
    bool ok = !all && all.error().kind() == IoErrorKind::BrokenPipe && !one &&
              one.error().kind() == IoErrorKind::BrokenPipe;
    return ok ? 0 : 1;
  });
  ASSERT_TRUE(WIFEXITED(status)) << "child died by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A reader that never drains its bytes must not stall the sender.
TEST_F(SocketTest, WakeSendOnFullBufferReturnsAtOnce) {
  Pair p = connected_pair();
  ASSERT_FALSE(is_nonblocking(p.accepted.get()));
  int status = run_in_child([&] {
    size_t sent = 0;
    for (;;) {
      auto r = send_byte_nonblocking(p.accepted.get(), std::byte{1});
      if (!r) return 2;
      if (*r == ByteSend::BufferFull) break;
      if (++sent > 100'000'000) return 3;
    }
    if (sent == 0) return 4;
    // Draining one byte makes room again.
    while (recv_byte_nonblocking(p.client.get()) == ByteReceive::Byte) {
    }
    return send_byte_nonblocking(p.accepted.get(), std::byte{1}) == ByteSend::Sent ? 0 : 5;
  });
  ASSERT_TRUE(WIFEXITED(status)) << "child died by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

std::atomic<int> g_signals{0};
void count_signal(int) { g_signals.fetch_add(1, std::memory_order_relaxed); }

// A periodic signal interrupts the wait again and again; the wait still ends at its deadline,
// and a byte that arrives before the deadline still ends it early.
TEST_F(SocketTest, TimedReceiveHonoursItsDeadlineUnderPeriodicSignals) {
  Pair p = connected_pair();
  int status = run_in_child([&] {
    struct sigaction sa {};
    sa.sa_handler = count_signal;
    sa.sa_flags = 0;  // no SA_RESTART: every tick interrupts the poll
    sigemptyset(&sa.sa_mask);
    // The child's safety alarm gives way to the ticks; the parent's wait still bounds it.
    ::sigaction(SIGALRM, &sa, nullptr);
    itimerval every_2ms{{0, 2000}, {0, 2000}};
    ::setitimer(ITIMER_REAL, &every_2ms, nullptr);

    std::array<std::byte, 1> b{};
    auto start = std::chrono::steady_clock::now();
    auto r = recv_exact_until(p.client.get(), b, after_ms(300));
    auto waited = std::chrono::steady_clock::now() - start;
    if (r || r.error().kind() != IoErrorKind::WouldBlock) return 1;
    if (waited < std::chrono::milliseconds(300)) return 2;
    if (g_signals.load() < 10) return 3;  // the signals did arrive during the wait

    std::thread late([fd = p.accepted.get()] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      (void)send_byte_nonblocking(fd, std::byte{1});
    });
    r = recv_exact_until(p.client.get(), b, after_ms(15'000));
    late.join();
    itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    return r ? 0 : 4;
  });
  ASSERT_TRUE(WIFEXITED(status)) << "child died by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(SocketTest, DeadlineAlreadyPassedStillTakesWaitingBytes) {
  Pair p = connected_pair();
  std::array<std::byte, 2> b{};
  Instant past = Instant::now();
  EXPECT_EQ(recv_exact_until(p.client.get(), b, past).error().kind(), IoErrorKind::WouldBlock);
  ASSERT_TRUE(send_all(p.accepted.get(), bytes("ok", 2)));
  EXPECT_TRUE(recv_exact_until(p.client.get(), b, past));
}

TEST_F(SocketTest, ReceiveTimeoutIsSetRoundedUpAndCleared) {
  Pair p = connected_pair();
  auto current = [&] {
    timeval tv{};
    socklen_t len = sizeof tv;
    ::getsockopt(p.client.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, &len);
    return tv;
  };
  ASSERT_TRUE(set_receive_timeout(p.client.get(), Duration::from_millis(30)));
  std::array<std::byte, 1> b{};
  auto r = recv_exact(p.client.get(), b);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), IoErrorKind::WouldBlock);

  // One nanosecond must not turn into "no time-out".
  ASSERT_TRUE(set_receive_timeout(p.client.get(), Duration{0, 1}));
  timeval tiny = current();
  EXPECT_TRUE(tiny.tv_sec != 0 || tiny.tv_usec != 0);

  ASSERT_TRUE(clear_receive_timeout(p.client.get()));
  timeval cleared = current();
  EXPECT_EQ(cleared.tv_sec, 0);
  EXPECT_EQ(cleared.tv_usec, 0);
  EXPECT_TRUE(set_receive_timeout(p.client.get(), Duration{UINT64_MAX, 999'999'999}));
}

}  // namespace
}  // namespace kavri::platform
