#pragma once

// Structured log events: a level, a target, a message and named fields.
//
// Every event site first checks the process-wide maximum level, which stays off until
// init_logging installs the standard-error logger; until then a site costs one relaxed load
// and a compare, and no field is formatted.

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kavri::logging {

// Larger is more verbose; the max-level gate compares against these numbers.
enum class Level : uint8_t { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// 0 means off. Raised once, by the installation of the logger.
inline std::atomic<uint8_t> g_max_level{0};

inline bool enabled(Level level) {
  // Relaxed: the gate only decides whether to format; the sink itself is published with
  // release/acquire by the installer.
  return static_cast<uint8_t>(level) <= g_max_level.load(std::memory_order_relaxed);
}

struct Field {
  enum class Kind : uint8_t { Text, Unsigned, Bool, Display };
  const char* name;
  Kind kind;
  std::string_view text;  // Text (written quoted and escaped) and Display (written as is)
  uint64_t number = 0;
  bool flag = false;
};

inline Field text(const char* name, std::string_view value) {
  return {name, Field::Kind::Text, value};
}
inline Field u64(const char* name, uint64_t value) {
  return {name, Field::Kind::Unsigned, {}, value};
}
inline Field boolean(const char* name, bool value) {
  return {name, Field::Kind::Bool, {}, 0, value};
}
inline Field display(const char* name, std::string_view value) {
  return {name, Field::Kind::Display, value};
}

// Hands one event to the installed logger, which filters it by level and target and writes
// it to standard error as one whole line. Any thread; nothing happens before installation.
// Call through event().
void emit(Level level, std::string_view target, std::string_view message,
          std::span<const Field> fields);

// Installs the process-wide standard-error logger once per process; true only on the call
// that installed it, false on every later call (whatever its argument). The filter comes from
// RUST_LOG when that is set, UTF-8 and well-formed, else from `level` when well-formed (absent
// means "info"), else "info"; rejected texts are ignored silently. Any thread; never fails.
// The syntax of the filter is described in logging_filter.h.
bool init_logging(std::optional<std::string_view> level);

template <class... Fields>
inline void event(Level level, std::string_view target, std::string_view message,
                  const Fields&... fields) {
  if (!enabled(level)) return;
  if constexpr (sizeof...(Fields) == 0) {
    emit(level, target, message, {});
  } else {
    const Field all[] = {fields...};
    emit(level, target, message, all);
  }
}

}  // namespace kavri::logging
