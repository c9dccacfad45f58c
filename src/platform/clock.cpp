#include "platform/clock.h"

#include <time.h>

#include <cerrno>
#include <limits>

namespace kavri {

namespace {
constexpr uint32_t kNanosPerSec = 1'000'000'000;
constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
}  // namespace

uint64_t Duration::as_millis_saturating() const {
  if (secs > kMax / 1000) return kMax;
  uint64_t ms = secs * 1000;
  uint64_t extra = nanos / 1'000'000;
  return ms > kMax - extra ? kMax : ms + extra;
}

uint64_t Duration::as_nanos_saturating() const {
  if (secs > kMax / kNanosPerSec) return kMax;
  uint64_t ns = secs * kNanosPerSec;
  return ns > kMax - nanos ? kMax : ns + nanos;
}

Instant Instant::now() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return {static_cast<int64_t>(ts.tv_sec), static_cast<uint32_t>(ts.tv_nsec)};
}

std::optional<Instant> Instant::checked_add(Duration d) const {
  if (d.secs > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
  int64_t secs_add = static_cast<int64_t>(d.secs);
  int64_t s;
  if (__builtin_add_overflow(secs, secs_add, &s)) return std::nullopt;
  uint32_t n = nanos + d.nanos;
  if (n >= kNanosPerSec) {
    n -= kNanosPerSec;
    if (__builtin_add_overflow(s, int64_t{1}, &s)) return std::nullopt;
  }
  return Instant{s, n};
}

Duration Instant::saturating_duration_since(Instant earlier) const {
  if (*this <= earlier) return {};
  int64_t s = secs - earlier.secs;
  int64_t n = static_cast<int64_t>(nanos) - static_cast<int64_t>(earlier.nanos);
  if (n < 0) {
    n += kNanosPerSec;
    s -= 1;
  }
  return {static_cast<uint64_t>(s), static_cast<uint32_t>(n)};
}

namespace platform {

uint64_t wall_clock_unix_ns() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  if (ts.tv_sec < 0) return 0;
  return Duration{static_cast<uint64_t>(ts.tv_sec), static_cast<uint32_t>(ts.tv_nsec)}
      .as_nanos_saturating();
}

uint64_t coarse_monotonic_ns() {
#ifdef __APPLE__
  return clock_gettime_nsec_np(CLOCK_MONOTONIC_RAW_APPROX);
#else
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * kNanosPerSec + static_cast<uint64_t>(ts.tv_nsec);
#endif
}

void sleep_for(Duration d) {
  struct timespec req;
  constexpr uint64_t kMaxSecs = static_cast<uint64_t>(std::numeric_limits<time_t>::max());
  req.tv_sec = static_cast<time_t>(d.secs > kMaxSecs ? kMaxSecs : d.secs);
  req.tv_nsec = d.nanos;
  struct timespec rem;
  while (::nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

}  // namespace platform
}  // namespace kavri
