#pragma once

// Durations, the monotonic clock, the wall clock and sleeping.

#include <compare>
#include <cstdint>
#include <optional>

namespace kavri {

// A span of time with nanosecond resolution: whole seconds plus nanoseconds below 10^9.
struct Duration {
  uint64_t secs = 0;
  uint32_t nanos = 0;

  static constexpr Duration from_millis(uint64_t ms) {
    return {ms / 1000, static_cast<uint32_t>(ms % 1000 * 1'000'000)};
  }
  static constexpr Duration from_nanos(uint64_t ns) {
    return {ns / 1'000'000'000, static_cast<uint32_t>(ns % 1'000'000'000)};
  }
  bool is_zero() const { return secs == 0 && nanos == 0; }
  // Whole milliseconds, rounded down, saturating at the largest u64.
  uint64_t as_millis_saturating() const;
  // Nanoseconds, saturating at the largest u64.
  uint64_t as_nanos_saturating() const;

  friend auto operator<=>(const Duration&, const Duration&) = default;
};

// A reading of the monotonic clock (CLOCK_MONOTONIC): signed seconds and nanoseconds.
struct Instant {
  int64_t secs = 0;
  uint32_t nanos = 0;

  static Instant now();
  // None when the sum does not fit the clock's range.
  std::optional<Instant> checked_add(Duration d) const;
  // Zero when `earlier` is later than this.
  Duration saturating_duration_since(Instant earlier) const;

  friend auto operator<=>(const Instant&, const Instant&) = default;
};

namespace platform {

// Nanoseconds since the Unix epoch, 0 when the clock reads earlier than the epoch.
uint64_t wall_clock_unix_ns();

// A monotonic reading in nanoseconds that costs no system call and no clock-source read: the
// kernel's last tick (CLOCK_MONOTONIC_COARSE), so it advances in steps of 1 to 10 ms. For
// cheap "has about this long passed" checks only; never for deadlines.
uint64_t coarse_monotonic_ns();

// Sleeps for `d`; a sleep cut short by a signal continues for the remaining time.
void sleep_for(Duration d);

}  // namespace platform
}  // namespace kavri
