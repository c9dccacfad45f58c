#include "logging.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "logging_filter.h"
#include "logging_format.h"
#include "platform/clock.h"

namespace kavri::logging {
namespace {

// ---- Running a body in a child whose standard error is captured ----

struct ChildRun {
  int exit_code = -1;  // -1 when the child did not exit normally or was killed at the deadline
  std::string err;
};

constexpr int kDeadlineMs = 20'000;

// Runs `body` in a forked child with RUST_LOG set to `rust_log` (unset when nullopt) and its
// standard error on a pipe; the child's exit code is what `body` returns. The parent never
// installs a logger, so every child starts with logging off.
ChildRun run_in_child(std::optional<std::string> rust_log, const std::function<int()>& body) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << errno;
    return {};
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << errno;
    return {};
  }
  if (pid == 0) {
    ::alarm(kDeadlineMs / 1000);
    ::dup2(fds[1], STDERR_FILENO);
    ::close(fds[0]);
    ::close(fds[1]);
    if (rust_log) {
      ::setenv("RUST_LOG", rust_log->c_str(), 1);
    } else {
      ::unsetenv("RUST_LOG");
    }
    ::_exit(body());
  }
  ::close(fds[1]);
  ChildRun run;
  const Instant deadline = *Instant::now().checked_add(Duration::from_millis(kDeadlineMs));
  bool killed = false;
  char buf[65536];
  for (;;) {
    const Duration left = deadline.saturating_duration_since(Instant::now());
    if (left.is_zero()) {
      ::kill(pid, SIGKILL);
      killed = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.as_millis_saturating()) + 1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    run.err.append(buf, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  EXPECT_FALSE(killed) << "child still running at the deadline";
  if (!killed && WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
  return run;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

const std::string kTimestamp = R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{6}Z)";

std::string regex_escape(std::string_view literal) {
  static const std::string kSpecial = R"(\^$.|?*+()[]{}/)";
  std::string out;
  for (char c : literal) {
    if (kSpecial.find(c) != std::string::npos) out += '\\';
    out += c;
  }
  return out;
}

std::string now_stamp() {
  std::string line;
  format_line(line, platform::wall_clock_unix_ns(), Level::Info, "t", "", {});
  return line.substr(0, 27);
}

// ---- Installation ----

TEST(InitLoggingTest, FirstCallInstallsAndLaterCallsReturnFalse) {
  ChildRun run = run_in_child(std::nullopt, [] {
    const bool first = init_logging(std::nullopt);
    const bool second = init_logging("debug");
    const bool third = init_logging(std::nullopt);
    return first && !second && !third && !enabled(Level::Debug) && enabled(Level::Info) ? 0 : 1;
  });
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.err, "");  // installing prints nothing by itself
}

TEST(InitLoggingTest, ConcurrentFirstCallsInstallExactlyOnce) {
  ChildRun run = run_in_child(std::nullopt, [] {
    std::atomic<int> installed{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
      threads.emplace_back([&] {
        if (init_logging("info")) installed.fetch_add(1, std::memory_order_relaxed);
      });
    }
    for (auto& t : threads) t.join();
    return installed.load(std::memory_order_relaxed) == 1 ? 0 : 1;
  });
  EXPECT_EQ(run.exit_code, 0);
}

TEST(InitLoggingTest, NothingIsWrittenBeforeInstallation) {
  ChildRun run = run_in_child("trace", [] {
    for (Level l : {Level::Error, Level::Warn, Level::Info, Level::Debug, Level::Trace}) {
      if (enabled(l)) return 1;
      event(l, "kavri::publisher", "publisher created", text("topic", "orders"));
      emit(l, "kavri::wal", "straight to emit", {});
    }
    return 0;
  });
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.err, "");
}

// Which of a fixed set of events get written, for RUST_LOG and the argument.
TEST(InitLoggingTest, FilterComesFromRustLogElseArgumentElseInfo) {
  struct Case {
    std::optional<std::string> rust_log;
    std::optional<std::string> level;
    std::string written;  // messages of the lines, in order
  };
  const std::vector<Case> cases = {
      {std::nullopt, std::nullopt, "A B D"},
      {"kavri=warn", "debug", "B"},
      {std::nullopt, "kavri=loud", "A B D"},
      {"kavri=loud", "debug", "A B C D E"},
      {"kavri=debug\xff", "warn", "B"},  // not UTF-8
      {"", "warn", "B"},
      {std::nullopt, "", "A B D"},
      {"kavri::wal=debug", "error", "C D"},
      {std::nullopt, "kavri=warn,kavri::wal=info", "B D"},
      {std::nullopt, "kavri::pub=debug", "A E"},
      {std::nullopt, "off", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("RUST_LOG=" + c.rust_log.value_or("<unset>") +
                 " level=" + c.level.value_or("<none>"));
    ChildRun run = run_in_child(c.rust_log, [&] {
      const bool installed =
          c.level ? init_logging(std::string_view(*c.level)) : init_logging(std::nullopt);
      event(Level::Info, "kavri::publisher", "A");
      event(Level::Warn, "kavri::subscriber", "B");
      event(Level::Debug, "kavri::wal", "C");
      event(Level::Info, "kavri::wal", "D");
      event(Level::Debug, "kavri::publisher", "E");
      return installed ? 0 : 1;
    });
    EXPECT_EQ(run.exit_code, 0);
    std::string written;
    for (const std::string& line : lines_of(run.err)) {
      if (!written.empty()) written += ' ';
      written += line.substr(line.rfind(' ') + 1);
    }
    EXPECT_EQ(written, c.written) << run.err;
  }
}

// ---- The lines ----

TEST(LogLineTest, SystemEventsHaveTheirExactLines) {
  const std::string before = now_stamp();
  ChildRun run = run_in_child(std::nullopt, [] {
    if (!init_logging(std::nullopt)) return 1;
    event(Level::Info, "kavri::publisher", "publisher created", text("topic", "orders"),
          u64("ring_capacity", 256), u64("slot_size", 65536), boolean("wal_enabled", true),
          display("backpressure", "Error"));
    event(Level::Info, "kavri::publisher", "subscriber dropped (cursor released; clean disconnect)",
          u64("remaining_clients", 2));
    event(Level::Info, "kavri::publisher", "subscriber dropped (wake failed; peer closed)",
          u64("remaining_clients", 0));
    event(Level::Info, "kavri::subscriber", "subscriber connected", text("topic", "orders"),
          u64("cursor", 42), u64("cursor_idx", 3), u64("generation", 7),
          boolean("replaying_via_wal", false));
    event(Level::Warn, "kavri::subscriber",
          "publisher restarted (generation changed); ending subscription",
          u64("connected_generation", 7), u64("current_generation", 8), u64("cursor_idx", 3));
    event(Level::Warn, "kavri::wal", "recover_truncate dropped trailing torn bytes",
          display("path", "/tmp/kavri/bus/orders/wal/00000000000000000000.seg"),
          u64("bytes_dropped", 17), u64("truncate_offset", 4096));
    return 0;
  });
  const std::string after = now_stamp();
  ASSERT_EQ(run.exit_code, 0);
  const std::vector<std::string> expected = {
      R"( INFO kavri::publisher: publisher created topic="orders" ring_capacity=256 )"
      R"(slot_size=65536 wal_enabled=true backpressure=Error)",
      " INFO kavri::publisher: subscriber dropped (cursor released; clean disconnect) "
      "remaining_clients=2",
      " INFO kavri::publisher: subscriber dropped (wake failed; peer closed) remaining_clients=0",
      R"( INFO kavri::subscriber: subscriber connected topic="orders" )"
      "cursor=42 cursor_idx=3 generation=7 replaying_via_wal=false",
      " WARN kavri::subscriber: publisher restarted (generation changed); ending subscription "
      "connected_generation=7 current_generation=8 cursor_idx=3",
      " WARN kavri::wal: recover_truncate dropped trailing torn bytes "
      "path=/tmp/kavri/bus/orders/wal/00000000000000000000.seg bytes_dropped=17 "
      "truncate_offset=4096",
  };
  ASSERT_TRUE(run.err.ends_with('\n'));
  const std::vector<std::string> lines = lines_of(run.err);
  ASSERT_EQ(lines.size(), expected.size()) << run.err;
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_TRUE(
        std::regex_match(lines[i], std::regex(kTimestamp + " " + regex_escape(expected[i]))))
        << lines[i];
    // ISO stamps of one width order as text.
    const std::string stamp = lines[i].substr(0, 27);
    EXPECT_LE(before, stamp);
    EXPECT_LE(stamp, after);
  }
}

TEST(LogLineTest, ControlCharactersAreEscapedPerPosition) {
  ChildRun run = run_in_child(std::nullopt, [] {
    if (!init_logging(std::nullopt)) return 1;
    event(Level::Info, "kavri::publisher", "esc\x1b nel\u0085 tab\t end",
          text("topic", "q\"b\\n\nt\tc\x01"), display("shown", "bel\x07 soh\x01"));
    return 0;
  });
  ASSERT_EQ(run.exit_code, 0);
  ASSERT_GT(run.err.size(), 27u);
  EXPECT_EQ(run.err.substr(27), R"(  INFO kavri::publisher: esc\x1b nel\u{85} tab)"
                                "\t"
                                R"( end topic="q\"b\\n\nt\tc\u{1}" shown=bel\x07 soh)"
                                "\x01\n");
}

TEST(LogLineTest, LinesOfManyThreadsNeverInterleave) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 300;
  ChildRun run = run_in_child(std::nullopt, [] {
    if (!init_logging(std::nullopt)) return 1;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        // Some lines longer than a pipe's atomic write, so only the lock keeps them whole.
        const std::string body(t % 2 == 0 ? 40 : 6000, static_cast<char>('a' + t));
        for (int i = 0; i < kPerThread; ++i) {
          event(Level::Info, "kavri::publisher", "line", u64("thread", t), u64("seq", i),
                text("body", body));
        }
      });
    }
    for (auto& th : threads) th.join();
    return 0;
  });
  ASSERT_EQ(run.exit_code, 0);
  const std::regex shape(
      kTimestamp + R"re(  INFO kavri::publisher: line thread=(\d) seq=(\d+) body="([a-h]+)")re");
  std::map<int, int> next_seq;
  const std::vector<std::string> lines = lines_of(run.err);
  ASSERT_EQ(lines.size(), size_t{kThreads * kPerThread});
  for (const std::string& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, shape)) << line.substr(0, 200);
    const int t = std::stoi(m[1]);
    EXPECT_EQ(std::stoi(m[2]), next_seq[t]++);
    EXPECT_EQ(m[3].str(), std::string(t % 2 == 0 ? 40 : 6000, static_cast<char>('a' + t)));
  }
}

// ---- The formatter, in process ----

TEST(FormatLineTest, TimestampIsUtcWithMicroseconds) {
  const std::vector<std::pair<uint64_t, std::string>> cases = {
      {0, "1970-01-01T00:00:00.000000Z"},
      {1738324800123456789ull, "2025-01-31T12:00:00.123456Z"},
      {1709251199999999999ull, "2024-02-29T23:59:59.999999Z"},
      {951868800000000000ull, "2000-03-01T00:00:00.000000Z"},
      {4133980799500000000ull, "2100-12-31T23:59:59.500000Z"},
      {18446744073709551615ull, "2554-07-21T23:34:33.709551Z"},
  };
  for (const auto& [ns, stamp] : cases) {
    std::string line;
    format_line(line, ns, Level::Info, "kavri::wal", "m", {});
    EXPECT_EQ(line, stamp + "  INFO kavri::wal: m\n");
  }
}

TEST(FormatLineTest, LevelIsRightAlignedInFive) {
  const std::vector<std::pair<Level, std::string>> cases = {
      {Level::Trace, "TRACE"}, {Level::Debug, "DEBUG"}, {Level::Info, " INFO"},
      {Level::Warn, " WARN"},  {Level::Error, "ERROR"},
  };
  for (const auto& [level, text] : cases) {
    std::string line;
    format_line(line, 0, level, "t", "m", {});
    EXPECT_EQ(line, "1970-01-01T00:00:00.000000Z " + text + " t: m\n");
  }
}

TEST(FormatLineTest, EscapesDependOnWhereTheCharacterStands) {
  struct Case {
    std::string input;
    std::string as_text;   // quoted field value
    std::string as_plain;  // message and Display value
  };
  const std::vector<Case> cases = {
      {"plain é ✓", R"("plain é ✓")", "plain é ✓"},
      {"\"\\", R"("\"\\")", "\"\\"},
      {"\n\r\t", R"("\n\r\t")", "\n\r\t"},
      {std::string("\0\x01\x1f", 3), R"("\u{0}\u{1}\u{1f}")", std::string("\0\x01\x1f", 3)},
      {"\x1b\x07\x08\x0c\x7f", R"("\u{1b}\u{7}\u{8}\u{c}\u{7f}")", R"(\x1b\x07\x08\x0c\x7f)"},
      {"\u0080\u0085\u009f\u00a0", "\"\\u{80}\\u{85}\\u{9f}\u00a0\"",
       "\\u{80}\\u{85}\\u{9f}\u00a0"},
      {"a\xff"
       "b\xe2\x82",
       "\"a\uFFFDb\uFFFD\"", "a\uFFFDb\uFFFD"},                          // not UTF-8
      {"\xed\xa0\x80", "\"\uFFFD\uFFFD\uFFFD\"", "\uFFFD\uFFFD\uFFFD"},  // a surrogate
  };
  const std::string prefix = "1970-01-01T00:00:00.000000Z  INFO t: ";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.as_text);
    std::string line;
    const Field fields[] = {text("t", c.input), display("d", c.input)};
    format_line(line, 0, Level::Info, "t", c.input, fields);
    EXPECT_EQ(line, prefix + c.as_plain + " t=" + c.as_text + " d=" + c.as_plain + "\n");
  }
}

TEST(FormatLineTest, FieldKindsAreWrittenInOrder) {
  std::string line;
  const Field fields[] = {u64("zero", 0),       u64("max", 18446744073709551615ull),
                          boolean("yes", true), boolean("no", false),
                          text("empty", ""),    display("d", "Error")};
  format_line(line, 0, Level::Warn, "kavri::subscriber", "", fields);
  EXPECT_EQ(line,
            "1970-01-01T00:00:00.000000Z  WARN kavri::subscriber:  zero=0 "
            "max=18446744073709551615 yes=true no=false empty=\"\" d=Error\n");
}

// ---- The filter, in process ----

TEST(FilterTest, StrictParseRejectsTheWholeTextForOneBadEntry) {
  const std::vector<std::string> rejected = {
      "kavri=loud",
      "info,kavri=loud",
      "",
      ",",
      " info",
      "info ",
      "kavri =debug",
      "kavri= debug",
      "=info",
      "kavri=",
      "a=b=info",
      "kavri=5",
      "3",
      "kavri[span]=debug",
      "kavri{f}=info",
      "kavri/x=info",
      "kavri\xff",
      "kavri.wal",
  };
  for (const std::string& t : rejected) {
    EXPECT_FALSE(Filter::parse(t)) << '"' << t << '"';
  }
  const std::vector<std::string> accepted = {
      "info",
      "OFF",
      "Warn",
      "kavri",
      "kavri::wal=warn,info",
      "my-crate_2=TRACE",
      ",info,,",
      "info=debug",
      "kavri=off",
      "crate\u00e9=debug",
  };
  for (const std::string& t : accepted) {
    EXPECT_TRUE(Filter::parse(t)) << '"' << t << '"';
  }
}

TEST(FilterTest, LongestMatchingTargetPrefixDecides) {
  struct Case {
    std::string filter;
    Level level;
    std::string target;
    bool enabled;
  };
  const std::vector<Case> cases = {
      {"kavri=warn,kavri::wal=info", Level::Info, "kavri::wal", true},
      {"kavri=warn,kavri::wal=info", Level::Debug, "kavri::wal", false},
      {"kavri=warn,kavri::wal=info", Level::Info, "kavri::publisher", false},
      {"kavri=warn,kavri::wal=info", Level::Warn, "kavri::publisher", true},
      {"kavri::wal=info,kavri=warn", Level::Info, "kavri::wal", true},  // order is irrelevant
      {"kavri=warn,kavri::wal=info", Level::Error, "other", false},     // no default: off
      {"kavri::pub=debug", Level::Debug, "kavri::publisher", true},     // a text prefix
      {"kavri::pub=debug", Level::Debug, "kavri::subscriber", false},
      {"kavri", Level::Trace, "kavri::wal", true},  // no level: every level
      {"kavri", Level::Trace, "kavrix", true},
      {"KAVRI=trace", Level::Error, "kavri::wal", false},  // targets keep their case
      {"kavri=DeBuG", Level::Debug, "kavri::wal", true},
      {"warn,kavri::wal=off", Level::Error, "kavri::wal", false},
      {"warn,kavri::wal=off", Level::Warn, "kavri::publisher", true},
      {"warn,kavri::wal=off", Level::Info, "kavri::publisher", false},
      {"kavri=debug,kavri=error", Level::Warn, "kavri::wal", false},  // the later one replaces
      {"debug,error", Level::Warn, "x", false},
      {"info,,kavri=trace,", Level::Trace, "kavri::wal", true},
      {"info,,kavri=trace,", Level::Debug, "other", false},
  };
  for (const Case& c : cases) {
    auto f = Filter::parse(c.filter);
    ASSERT_TRUE(f) << c.filter;
    EXPECT_EQ(f->enabled(c.level, c.target), c.enabled)
        << c.filter << " level " << static_cast<int>(c.level) << " target " << c.target;
  }
}

TEST(FilterTest, MaxLevelIsTheMostVerboseAnyDirectiveAllows) {
  const std::vector<std::pair<std::string, uint8_t>> cases = {
      {"off", 0},
      {"kavri=off,off", 0},
      {"error", 1},
      {"info", 3},
      {"kavri=warn,kavri::wal=debug", 4},
      {"kavri::pub", 5},
      {"kavri=trace,kavri=warn", 2},
  };
  for (const auto& [text, max] : cases) {
    auto f = Filter::parse(text);
    ASSERT_TRUE(f) << text;
    EXPECT_EQ(f->max_level(), max) << text;
  }
}

}  // namespace
}  // namespace kavri::logging
