#include "logging.h"

#include <mutex>
#include <string>

#include "logging_filter.h"
#include "logging_format.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace kavri::logging {

namespace {

// False at load; the first init_logging sets it and nothing resets it, so exactly one call
// in the process gets as far as installing, whatever becomes of that attempt.
std::atomic<bool> ATTEMPTED{false};

struct Logger {
  Filter filter;
  // Held across the one write of each line, so that lines of different threads never
  // interleave.
  std::mutex write_lock;
};

// Null until installed, then the logger for the rest of the process. Deliberately never
// freed: threads may emit events while static destructors run at exit.
std::atomic<Logger*> g_logger{nullptr};

Filter choose_filter(std::optional<std::string_view> level) {
  // Every rejected text is dropped without a word: the caller learns nothing of it and
  // standard error stays clean.
  if (auto env = platform::env_var("RUST_LOG")) {
    if (auto filter = Filter::parse(*env)) return *std::move(filter);
  }
  if (auto filter = Filter::parse(level.value_or("info"))) return *std::move(filter);
  return *Filter::parse("info");
}

}  // namespace

void emit(Level level, std::string_view target, std::string_view message,
          std::span<const Field> fields) {
  // Acquire: pairs with the release in init_logging, so the filter is seen fully built.
  Logger* logger = g_logger.load(std::memory_order_acquire);
  // A thread can see the raised gate before the pointer; its event is lost like one raised
  // an instant earlier, before installation.
  if (logger == nullptr) return;
  if (!logger->filter.enabled(level, target)) return;
  std::string line;
  line.reserve(256);
  format_line(line, platform::wall_clock_unix_ns(), level, target, message, fields);
  std::lock_guard lock(logger->write_lock);
  // A failed write of a log line has nowhere to be reported; the event is lost.
  (void)platform::write_stderr(line);
}

bool init_logging(std::optional<std::string_view> level) {
  // Relaxed: the read-modify-write alone lets exactly one call through; it orders nothing.
  if (ATTEMPTED.exchange(true, std::memory_order_relaxed)) return false;
  auto* logger = new Logger{choose_filter(level), {}};
  const uint8_t max_level = logger->filter.max_level();
  // Release: publishes the built filter to every emit that loads the pointer with acquire.
  g_logger.store(logger, std::memory_order_release);
  // Relaxed, like the gate's load: only a hint to format; emit re-checks the pointer.
  g_max_level.store(max_level, std::memory_order_relaxed);
  return true;
}

}  // namespace kavri::logging
