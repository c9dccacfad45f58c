#include "producer_lock.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/directory.h"
#include "platform/file.h"
#include "platform/flock.h"

namespace kavri {
namespace {

class ProducerLockTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::TempDir() + "kavri_producer_lock_" + std::to_string(getpid()) + "_" +
           testing::UnitTest::GetInstance()->current_test_info()->name();
    ASSERT_TRUE(platform::create_dir_all(dir_));
  }
  void TearDown() override { (void)platform::remove_tree(dir_); }

  std::filesystem::path lock_file() const { return dir_ / "producer.lock"; }

  // Whether another open file of `producer.lock` could take the flock right now: the test's
  // view of the kernel's lock, bypassing the in-process set.
  bool flock_is_free() const {
    auto fd = platform::open_file(lock_file(), {.mode = platform::OpenMode::ReadOnly});
    EXPECT_TRUE(fd);
    return fd && platform::try_lock_exclusive(fd->get()).has_value();
  }

  std::filesystem::path dir_;
};

void expect_already_publishing(const Result<ProducerLock>& r, const std::string& topic) {
  ASSERT_FALSE(r);
  auto* e = std::get_if<err::AlreadyPublishing>(&r.error());
  ASSERT_NE(e, nullptr) << "error variant " << r.error().index();
  EXPECT_EQ(e->topic, topic);
}

std::string read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST_F(ProducerLockTest, SecondAcquireInOneProcessIsRefusedAndFirstStaysHeld) {
  auto first = acquire_producer_lock("orders", dir_);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->path(), lock_file());

  expect_already_publishing(acquire_producer_lock("orders", dir_), "orders");
  EXPECT_FALSE(flock_is_free());

  // A move hands the lock over; the moved-from owner releases nothing.
  std::optional<ProducerLock> moved(std::move(*first));
  expect_already_publishing(acquire_producer_lock("orders", dir_), "orders");
  EXPECT_FALSE(flock_is_free());
  moved.reset();
  EXPECT_TRUE(flock_is_free());
}

TEST_F(ProducerLockTest, ReleaseLetsTheTopicBeTakenAgainAndLeavesTheFileUntouched) {
  {
    auto lock = acquire_producer_lock("t", dir_);
    ASSERT_TRUE(lock);
  }
  EXPECT_TRUE(platform::path_exists(lock_file()));
  EXPECT_EQ(read_file(lock_file()), "");
  mode_t umask_now = ::umask(0);
  ::umask(umask_now);
  struct stat st {};
  ASSERT_EQ(::stat(lock_file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~umask_now);

  // Existing contents are never read, truncated or written.
  const std::string contents = "pid 1234\nleft by someone else\n";
  std::ofstream(lock_file(), std::ios::binary | std::ios::trunc) << contents;
  for (int round = 0; round < 2; ++round) {
    auto lock = acquire_producer_lock("t", dir_);
    ASSERT_TRUE(lock) << "round " << round;
    EXPECT_FALSE(flock_is_free());
  }
  EXPECT_TRUE(flock_is_free());
  EXPECT_EQ(read_file(lock_file()), contents);
}

TEST_F(ProducerLockTest, UnopenableLockFileIsIoAndReservesNothing) {
  struct Case {
    std::string name;
    std::filesystem::path dir;
    IoErrorKind kind;
    std::string text;  // empty: any OS error text
  };
  std::string with_nul = dir_.native();
  with_nul += std::string("/a\0b", 4);
  const Case cases[] = {
      {"missing directory", dir_ / "missing", IoErrorKind::NotFound, ""},
      {"NUL byte", with_nul, IoErrorKind::InvalidInput,
       "file name contained an unexpected NUL byte"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Twice: a path left in the set would turn the second attempt into AlreadyPublishing.
    for (int attempt = 0; attempt < 2; ++attempt) {
      auto r = acquire_producer_lock("t", c.dir);
      ASSERT_FALSE(r);
      auto* e = std::get_if<err::Io>(&r.error());
      ASSERT_NE(e, nullptr) << "error variant " << r.error().index();
      EXPECT_EQ(e->error.kind(), c.kind);
      if (!c.text.empty()) {
        EXPECT_EQ(e->error.text(), c.text);
      }
    }
  }
  // The lock does not create directories.
  EXPECT_FALSE(platform::path_exists(dir_ / "missing"));
  ASSERT_TRUE(platform::create_dir_all(dir_ / "missing"));
  EXPECT_TRUE(acquire_producer_lock("t", dir_ / "missing"));
}

TEST_F(ProducerLockTest, RacingThreadsExactlyOneWins) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 20;
  for (int round = 0; round < kRounds; ++round) {
    std::barrier start(kThreads);
    std::vector<std::optional<Result<ProducerLock>>> results(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        start.arrive_and_wait();
        results[i].emplace(acquire_producer_lock("race", dir_));
      });
    }
    for (auto& t : threads) t.join();
    int winners = 0;
    for (auto& r : results) {
      if (r->has_value()) {
        ++winners;
      } else {
        expect_already_publishing(*r, "race");
      }
    }
    ASSERT_EQ(winners, 1) << "round " << round;
  }
}

// A child process that takes the lock, reports the outcome on a pipe and then waits to be told
// to exit (or to be killed). The child's alarm bounds its life if the parent fails.
class LockHolder {
 public:
  explicit LockHolder(const std::filesystem::path& dir) {
    int report[2], release[2];
    if (::pipe(report) != 0 || ::pipe(release) != 0) ADD_FAILURE() << "pipe";
    pid_ = ::fork();
    if (pid_ == 0) {
      ::alarm(30);
      ::close(report[0]);
      ::close(release[1]);
      auto lock = acquire_producer_lock("t", dir);
      char ok = lock ? 'y' : 'n';
      (void)!::write(report[1], &ok, 1);
      char c;
      (void)!::read(release[0], &c, 1);
      ::_exit(0);
    }
    ::close(report[1]);
    ::close(release[0]);
    report_ = report[0];
    release_ = release[1];
  }
  ~LockHolder() {
    if (pid_ > 0) kill_and_reap();
    ::close(report_);
    if (release_ >= 0) ::close(release_);
  }

  // Whether the child got the lock; false also when it did not answer within 10 s.
  bool holds() {
    pollfd p{.fd = report_, .events = POLLIN, .revents = 0};
    if (::poll(&p, 1, 10'000) != 1) return false;
    char c = 0;
    return ::read(report_, &c, 1) == 1 && c == 'y';
  }

  // Lets the child return normally, then reaps it within a bounded wait.
  void exit_normally() {
    ::close(release_);
    release_ = -1;
    reap();
  }

  void kill_and_reap() {
    ::kill(pid_, SIGKILL);
    reap();
  }

 private:
  void reap() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      int status;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    ADD_FAILURE() << "lock holder did not exit in time";
  }

  pid_t pid_ = -1;
  int report_ = -1;
  int release_ = -1;
};

TEST_F(ProducerLockTest, AnotherProcessHoldsTheTopicUntilItEnds) {
  for (bool killed : {false, true}) {
    SCOPED_TRACE(killed ? "holder killed" : "holder exits");
    LockHolder holder(dir_);
    ASSERT_TRUE(holder.holds());
    expect_already_publishing(acquire_producer_lock("t", dir_), "t");
    // The refused attempt left nothing behind in this process's set.
    expect_already_publishing(acquire_producer_lock("t", dir_), "t");
    if (killed) {
      holder.kill_and_reap();
    } else {
      holder.exit_normally();
    }
    auto lock = acquire_producer_lock("t", dir_);
    ASSERT_TRUE(lock);
  }
}

}  // namespace
}  // namespace kavri
