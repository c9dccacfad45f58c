#pragma once

// One reader of one topic, in any process: its own mapping of the topic's ring, one claimed
// entry of the ring's cursor table (and the wake-up flag of the same index), a connection to
// the publisher's "signal.sock", and an optional replay of the write-ahead log.
//
// Ownership and lifetime: a Subscriber is handed out in a unique_ptr and is neither copyable
// nor movable. Destruction frees the cursor entry first (FREE_CURSOR, release), then unmaps the
// ring, closes the connection (the publisher's next wake-up pass drops it) and drops the replay.
// The wake-up flag is left as it is; the next owner of the entry clears it when it claims it.
//
// Thread rules: one thread at a time (the Python owner holds it exclusively for every receive,
// the wake-up steps and the drain); it may move between threads and be destroyed on any thread.
// Across processes it writes only its own cursor entry and wake-up flag.
//
// Errors are values; the internal failures (InternalFailure) are "overflow when adding duration
// to instant" for a time-out whose deadline cannot be represented, and the ring's own for a ring
// of capacity 0.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "config.h"
#include "error.h"
#include "platform/clock.h"
#include "platform/fd.h"
#include "ring.h"
#include "wal/reader.h"

namespace kavri {

namespace start_at {
// Only messages published after connecting.
struct Tail {};
// `n` messages before the tail (cursor 0 when n exceeds it), from the ring only: a start the
// ring has overwritten goes on from the newer message found in its slot.
struct History {
  uint64_t n;
};
// Cursor `c`, replayed from the log first when the ring no longer holds it. Must be below 2^63
// (bit 63 of a slot stamp marks a slot being written; 2^64 - 1 is FREE_CURSOR): connect_with
// refuses a larger value before it touches anything, see there.
struct Cursor {
  uint64_t c;
};
}  // namespace start_at

using StartAt = std::variant<start_at::Tail, start_at::History, start_at::Cursor>;

// The largest start cursor connect_with accepts.
inline constexpr uint64_t MAX_START_CURSOR = WRITE_IN_PROGRESS - 1;

class Subscriber {
 public:
  // Connects to the topic <config.base_dir>/<topic> (only base_dir is used; the geometry comes
  // from the ring file), waiting up to `timeout` in all for the ring file and for the socket,
  // retrying each every 5 ms. Claims the lowest free cursor entry, announces it, places the
  // start and, for a Cursor start the ring no longer holds, sets up the log replay.
  //
  // Errors:
  //   Cursor c > MAX_START_CURSOR: err::Io, kind InvalidInput, the fixed text "out of range
  //     integral type conversion attempted", before anything is opened or claimed. (The Python
  //     layer raises OverflowError with that text for such a value before calling.)
  //   ConnectTimeout{topic}: no usable ring file, or no listener, before the deadline;
  //   TooManySubscribers{ring's max_subscribers}: no free entry (no waiting);
  //   Io: the announcement failed ("failed to write whole buffer" when nothing was written);
  //   CursorTooOld{c, oldest}: c is below what the ring holds and the log has no segment
  //     (oldest: the ring's oldest cursor) or starts after c (oldest: the log's oldest).
  // Every failure after the claim frees the entry again and leaves its flag at 0.
  static Result<std::unique_ptr<Subscriber>> connect_with(std::string_view topic,
                                                          const BusConfig& config, Duration timeout,
                                                          StartAt start);

  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;
  ~Subscriber();

  // The replay step. A record's payload (cursor() moves past it); nothing when there is no
  // replay, when it has just handed over to the ring, or when the log has nothing more yet
  // (then replaying() stays true and the caller tries again later); or the log's error, once:
  // the replay is then gone and later calls read the ring. The replay hands over to the ring
  // only when the ring holds cursor(), or when the log has made no progress for
  // REPLAY_STALL_LIMIT; until then a short log (records still in the publisher's buffer) is
  // read again from cursor(), at most once per REPLAY_RETRY_DELAY.
  Result<std::optional<std::vector<std::byte>>> next_wal_record();

  // Blocks until a message is in `out` or an error. Waits on the socket without limit (a
  // signal does not end the wait); while the log replay has nothing yet, sleeps
  // REPLAY_RETRY_DELAY between attempts.
  Result<void> receive_into(std::vector<std::byte>& out);
  // One attempt, never waits: true with a message in `out`. A replay error is dropped.
  bool try_receive_into(std::vector<std::byte>& out);
  // As receive_into, but returns false once `timeout` has passed (a zero time-out makes one
  // attempt; less than a millisecond left ends the wait). The wait ends at its deadline even
  // under periodic signals.
  Result<bool> receive_timeout_into(Duration timeout, std::vector<std::byte>& out);
  // One attempt into `dest`, never allocates: the message's length, or nothing. A message
  // longer than `dest` is consumed and fails with MessageTooLarge{its length, dest.size()}.
  Result<std::optional<size_t>> try_receive_one_into_slice(std::span<std::byte> dest);
  // For event loops: the replay first; otherwise drains one wake-up byte (none pending:
  // nothing, without looking at the ring), checks the generation and makes one attempt.
  // Errors: "publisher closed" (end of stream), "publisher restarted (generation changed)"
  // (with a WARN event), or the OS error of the drain (EINTR included, not retried).
  Result<std::optional<std::vector<std::byte>>> poll_recv();

  // Waits until another receive attempt may find something: true to try again, false once
  // `deadline` has passed (less than a millisecond left counts as passed), or the wait's
  // error. Without a deadline it waits without limit. While the log replay has nothing yet it
  // pauses REPLAY_RETRY_DELAY instead of waiting on the socket (the log signals nothing).
  // Touches nothing but this subscriber: callers may run it with the interpreter lock released.
  Result<bool> wait_for_next(std::optional<Instant> deadline);

  // Arms the wake-up flag and waits for one byte: true (woken, or data already there: a
  // message is not promised), false (timed out), or an error: "failed to fill whole buffer"
  // (the publisher has closed), "publisher restarted (generation changed)", or the OS error.
  // timeout_ms < 0 waits without limit; > 0 is a limit that holds under signals; 0 is not
  // meaningful (it returns at once after the arm step). The flag is 0 on every return.
  Result<bool> wait_readable(int32_t timeout_ms);
  // The arm step: true when a message is there (flag back at 0), false when armed (the caller
  // waits for fileno() to become readable and then calls drain_wakeup or poll_recv).
  bool arm_wakeup();
  // The drain step: true when one byte was taken, false when none was pending; "publisher
  // closed" at end of stream. Leaves the flag alone.
  Result<bool> drain_wakeup();

  // Plain reads without side effects.
  uint64_t lag() const;  // tail minus cursor(), 0 when ahead
  uint64_t cursor() const { return cursor_; }
  uint32_t slot_size() const { return ring_.slot_size(); }
  int fileno() const { return stream_.get(); }
  uint32_t cursor_idx() const { return cursor_idx_; }
  uint64_t connected_generation() const { return connected_generation_; }
  bool replaying() const { return wal_replay_.has_value(); }

  // Pace of the replay's re-reads and its patience with a log that does not grow.
  static constexpr Duration REPLAY_RETRY_DELAY = Duration::from_millis(1);
  static constexpr Duration REPLAY_STALL_LIMIT = Duration::from_millis(50);

 private:
  // The log replay: passes over the log from cursor_, each by a fresh index of the segments
  // (a pass sees each segment only up to its length when opened).
  struct Replay {
    std::optional<wal::WalReplayer> pass;  // absent between passes
    Instant next_pass;                     // the earliest start of the next pass
    std::optional<Instant> empty_since;    // end of the first pass since the last record
  };

  Subscriber(RingBuffer ring, Fd stream, std::optional<Replay> replay,
             std::filesystem::path topic_dir, uint64_t cursor, uint32_t cursor_idx,
             uint64_t connected_generation, uint64_t replay_anchor, bool gap_guard);

  // The oldest cursor the ring holds now: max(tail - capacity, first cursor of the numbering).
  uint64_t ring_oldest(uint64_t tail) const;
  // A replay from cursor_ if the log holds it; nullopt when it cannot (no segment, older than
  // the log, the directory unreadable).
  std::optional<Replay> replay_from_cursor() const;
  // Ends the replay: cursor_ (moved up to the numbering) goes into the entry.
  void hand_over(bool guarded);
  // The first ring read after a Cursor start or a hand-over must yield cursor_ itself; when it
  // lapped instead, this resumes the replay from cursor_ (true) if the log can serve it.
  bool resume_replay_after_lap();
  // One ring attempt into `out`; updates cursor_. False also when it resumed the replay.
  bool ring_attempt(std::vector<std::byte>& out);
  // The wait for one byte after the arm step; `deadline` absent waits without limit.
  Result<bool> wait_until(std::optional<Instant> deadline);
  // Empties `out` and copies a replayed payload into it; false when the replay gave nothing.
  Result<bool> replay_into(std::vector<std::byte>& out);
  // One receive attempt into `out`: the replay first, then the ring. True with a message.
  Result<bool> attempt_into(std::vector<std::byte>& out);

  // Declared in reverse release order: members are destroyed last-first.
  std::optional<Replay> wal_replay_;  // present while the log is being replayed
  Fd stream_;                         // the connection, blocking mode
  RingBuffer ring_;                   // this subscriber's own mapping

  std::filesystem::path topic_dir_;  // for re-reading the log
  uint64_t cursor_;                  // read position: the next cursor to deliver
  uint32_t cursor_idx_;              // the entry (and flag) this subscriber owns
  uint64_t connected_generation_;
  // The entry's value while a replay runs: the tail seen when the replay was set up.
  uint64_t replay_anchor_;
  // Set while the next ring read must deliver cursor_ itself (see resume_replay_after_lap).
  bool gap_guard_;
};

}  // namespace kavri
