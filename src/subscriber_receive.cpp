// Receiving: the log replay and its hand-over to the ring, the receive operations.
//
// Why the replay reads the log more than once: a record reaches the segment file up to one
// flush interval after the publisher appended it (it waits in the publisher's buffer), and a
// large record can be half-written at the file's end when a pass opens the segment. A pass
// therefore often ends below what the ring still holds although the log will hold it shortly:
// every record below the ring's oldest was appended to the log before the ring got it. The
// replay ends only when the ring holds cursor_ (then nothing is skipped) or when the log has
// not grown for REPLAY_STALL_LIMIT (retention removed it, or the publisher died before its
// buffer reached the file); until then it reads the log again from cursor_.

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <utility>
#include <variant>

#include "logging.h"
#include "platform/clock.h"
#include "subscriber.h"
#include "subscriber_internal.h"

namespace kavri {

namespace {

// A short read in the newest segment of a pass: the writer had not finished that record when
// the pass opened the segment. Not corruption; a later pass reads it whole.
bool not_written_yet(const wal::WalError& error, const wal::WalReplayer& pass) {
  const auto* reader = std::get_if<wal::WalSegmentReader>(&error);
  return reader && std::holds_alternative<wal::ReadShortRead>(reader->error) &&
         pass.in_last_segment();
}

Instant later_by(Instant at, Duration d) { return at.checked_add(d).value_or(at); }

}  // namespace

void Subscriber::hand_over(bool guarded) {
  wal_replay_.reset();
  // No message below the numbering's first cursor exists in the ring.
  cursor_ = ring_.move_up_to_numbering(cursor_);
  // Release: the replay read no slot, so this orders nothing of ours; from now on the entry is
  // the ring position the publisher's backpressure counts from.
  ring_.cursor_entry(cursor_idx_).store(cursor_, std::memory_order_release);
  gap_guard_ = guarded;
}

bool Subscriber::resume_replay_after_lap() {
  auto opened = detail::open_replay(topic_dir_, cursor_);
  if (!opened || !*opened) return false;  // the log cannot serve cursor_: keep the lapped read
  const Instant now = Instant::now();
  wal_replay_.emplace(Replay{std::move(**opened), later_by(now, REPLAY_RETRY_DELAY), std::nullopt});
  gap_guard_ = false;
  // Release: as in hand_over. The lapped read moved the entry past cursor_; it goes back to
  // the replay's anchor (or cursor_ when that is further on), as while any replay runs.
  ring_.cursor_entry(cursor_idx_)
      .store(std::max(replay_anchor_, cursor_), std::memory_order_release);
  return true;
}

Result<std::optional<std::vector<std::byte>>> Subscriber::next_wal_record() {
  for (;;) {
    if (!wal_replay_) return std::nullopt;
    Replay& replay = *wal_replay_;
    if (!replay.pass) {
      const Instant now = Instant::now();
      if (now < replay.next_pass) return std::nullopt;  // the log has nothing more yet
      replay.next_pass = later_by(now, REPLAY_RETRY_DELAY);
      auto opened = detail::open_replay(topic_dir_, cursor_);
      if (!opened) {
        // Retention removed the segment holding cursor_: the log cannot serve it any more.
        hand_over(false);
        return std::nullopt;
      }
      if (*opened) replay.pass = std::move(**opened);
    }
    if (replay.pass) {
      auto item = replay.pass->next();
      if (item && *item) {
        wal::WalRecord& record = **item;
        cursor_ = record.cursor + 1;
        replay.empty_since.reset();
        return std::optional<std::vector<std::byte>>(std::move(record.payload));
      }
      if (!item && !not_written_yet(item.error(), *replay.pass)) {
        // Reported once; later calls read the ring from cursor_ and the entry keeps the anchor
        // until the first ring read stores a position.
        wal::WalError error = std::move(item.error());
        wal_replay_.reset();
        gap_guard_ = false;
        return wal_error(std::move(error));
      }
      replay.pass.reset();
    }

    // The pass has read everything the log held when it opened its segments.
    const Instant now = Instant::now();
    // Acquire: the tail comes with the first cursor stored before it.
    const uint64_t t = ring_.tail().load(std::memory_order_acquire);
    if (cursor_ >= ring_oldest(t)) {
      // The ring holds cursor_ (or will, once published). The first ring read confirms that it
      // finds cursor_ itself; a publisher that overwrote it meanwhile sends us back here.
      hand_over(true);
      return std::nullopt;
    }
    if (!replay.empty_since) {
      replay.empty_since = now;
    } else if (now.saturating_duration_since(*replay.empty_since) >= REPLAY_STALL_LIMIT) {
      // The log has not grown for a while: what is missing will not come from it.
      hand_over(false);
      return std::nullopt;
    }
  }
}

Result<bool> Subscriber::replay_into(std::vector<std::byte>& out) {
  out.clear();
  auto record = next_wal_record();
  if (!record) return std::unexpected(std::move(record.error()));
  if (!*record) return false;
  out.assign((*record)->begin(), (*record)->end());
  return true;
}

bool Subscriber::ring_attempt(std::vector<std::byte>& out) {
  std::optional<uint64_t> next = ring_.try_receive(cursor_idx_, cursor_, out);
  if (!next) return false;
  if (gap_guard_) {
    if (*next != cursor_ + 1 && resume_replay_after_lap()) return false;
    gap_guard_ = false;
  }
  cursor_ = *next;
  return true;
}

Result<bool> Subscriber::attempt_into(std::vector<std::byte>& out) {
  for (;;) {
    auto replayed = replay_into(out);
    if (!replayed) return std::unexpected(std::move(replayed.error()));
    if (*replayed) return true;
    if (replaying()) return false;  // the log has nothing more yet
    if (ring_attempt(out)) return true;
    if (!replaying()) return false;
    // The ring had lapped cursor_ and the replay resumed: back to the log at once.
  }
}

Result<bool> Subscriber::wait_for_next(std::optional<Instant> deadline) {
  uint64_t ms = 0;
  if (deadline) {
    const Duration remaining = deadline->saturating_duration_since(Instant::now());
    // Whole milliseconds, rounded down: less than one left is the end, not a last wait.
    ms = std::min<uint64_t>(remaining.as_millis_saturating(), INT32_MAX);
    if (ms == 0) return false;
  }
  if (replaying()) {
    // The next message comes from the log, which signals nothing on the socket (and the arm
    // step would find data at once): pause between reads of the log instead.
    platform::sleep_for(deadline ? std::min(REPLAY_RETRY_DELAY, Duration::from_millis(ms))
                                 : REPLAY_RETRY_DELAY);
    return true;
  }
  if (!deadline) {
    auto woken = wait_until(std::nullopt);
    if (!woken) return std::unexpected(std::move(woken.error()));
    return true;
  }
  auto woken = wait_readable(static_cast<int32_t>(ms));
  if (!woken) return std::unexpected(std::move(woken.error()));
  // A wait that ended at its own limit is final, unless that limit was the cap on one wait
  // and the caller's deadline is still a millisecond or more away.
  return *woken || deadline->saturating_duration_since(Instant::now()).as_millis_saturating() > 0;
}

Result<void> Subscriber::receive_into(std::vector<std::byte>& out) {
  for (;;) {
    auto got = attempt_into(out);
    if (!got) return std::unexpected(std::move(got.error()));
    if (*got) return {};
    auto waited = wait_for_next(std::nullopt);
    if (!waited) return std::unexpected(std::move(waited.error()));
  }
}

bool Subscriber::try_receive_into(std::vector<std::byte>& out) {
  out.clear();
  auto record = next_wal_record();
  if (record && *record) {
    out.assign((*record)->begin(), (*record)->end());
    return true;
  }
  // A replay error is dropped here: the replay is gone all the same.
  if (replaying()) return false;
  return ring_attempt(out);
}

Result<bool> Subscriber::receive_timeout_into(Duration timeout, std::vector<std::byte>& out) {
  auto replayed = replay_into(out);
  if (!replayed) return std::unexpected(std::move(replayed.error()));
  if (*replayed) return true;
  const Instant deadline = detail::deadline_after(timeout);
  for (;;) {
    auto got = attempt_into(out);
    if (!got) return std::unexpected(std::move(got.error()));
    if (*got) return true;
    // A false result after a wait that timed out is final: no last attempt.
    auto waited = wait_for_next(deadline);
    if (!waited) return std::unexpected(std::move(waited.error()));
    if (!*waited) return false;
  }
}

Result<std::optional<size_t>> Subscriber::try_receive_one_into_slice(std::span<std::byte> dest) {
  auto record = next_wal_record();
  if (!record) return std::unexpected(std::move(record.error()));
  if (*record) {
    const std::vector<std::byte>& payload = **record;
    if (payload.size() > dest.size()) {
      return std::unexpected(Error(err::MessageTooLarge{payload.size(), dest.size()}));
    }
    if (!payload.empty()) std::memcpy(dest.data(), payload.data(), payload.size());
    return std::optional<size_t>(payload.size());
  }
  if (replaying()) return std::nullopt;

  std::optional<SliceRead> got = ring_.try_receive_into_slice(cursor_idx_, cursor_, dest);
  if (!got) return std::nullopt;
  if (gap_guard_) {
    if (got->next_cursor != cursor_ + 1 && resume_replay_after_lap()) {
      return std::nullopt;
    }
    gap_guard_ = false;
  }
  cursor_ = got->next_cursor;  // the ring stored the same into the entry
  if (got->too_small()) {
    return std::unexpected(Error(err::MessageTooLarge{got->message_len, dest.size()}));
  }
  return std::optional<size_t>(*got->len);
}

Result<std::optional<std::vector<std::byte>>> Subscriber::poll_recv() {
  auto record = next_wal_record();
  if (!record || *record) return record;
  if (replaying()) return std::nullopt;

  auto drained = drain_wakeup();
  if (!drained) return std::unexpected(std::move(drained.error()));
  if (!*drained) return std::nullopt;
  // Acquire: pairs with a new publisher's increment at reuse.
  const uint64_t generation = ring_.generation().load(std::memory_order_acquire);
  if (generation != connected_generation_) {
    logging::event(logging::Level::Warn, "kavri::subscriber",
                   "publisher restarted (generation changed); ending subscription",
                   logging::u64("connected_generation", connected_generation_),
                   logging::u64("current_generation", generation),
                   logging::u64("cursor_idx", cursor_idx_));
    return io_error(
        IoError::fixed(IoErrorKind::UnexpectedEof, "publisher restarted (generation changed)"));
  }
  std::vector<std::byte> out;
  if (try_receive_into(out)) return std::optional<std::vector<std::byte>>(std::move(out));
  return std::nullopt;
}

}  // namespace kavri
