// Connecting, the start position, destruction, the wake-up steps and the queries. Receiving
// and the log replay are in subscriber_receive.cpp.

#include "subscriber.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <optional>
#include <string>
#include <utility>

#include "handshake.h"
#include "internal_failure.h"
#include "logging.h"
#include "platform/socket.h"
#include "subscriber_internal.h"

namespace kavri {

namespace {

constexpr Duration CONNECT_RETRY_DELAY = Duration::from_millis(5);

// Sleeps CONNECT_RETRY_DELAY, or only up to the deadline when that is nearer, so that the last
// attempt falls on the deadline; false once the deadline has been reached.
bool pause_before_retry(Instant deadline) {
  const Instant now = Instant::now();
  if (now >= deadline) return false;
  platform::sleep_for(std::min(CONNECT_RETRY_DELAY, deadline.saturating_duration_since(now)));
  return true;
}

// Gives a claimed cursor entry back on every failure path of connect_with. Must be destroyed
// before the ring it points into.
class EntryClaim {
 public:
  explicit EntryClaim(SharedWord entry) : entry_(entry) {}
  EntryClaim(const EntryClaim&) = delete;
  EntryClaim& operator=(const EntryClaim&) = delete;
  ~EntryClaim() {
    // Release: like the destructor's free; this process has read no slot for the entry yet.
    if (held_) entry_.store(FREE_CURSOR, std::memory_order_release);
  }
  void keep() { held_ = false; }

 private:
  SharedWord entry_;
  bool held_ = true;
};

std::unexpected<Error> cursor_too_old(uint64_t cursor, uint64_t oldest) {
  return std::unexpected(Error(err::CursorTooOld{cursor, oldest}));
}

}  // namespace

namespace detail {

Instant deadline_after(Duration timeout) {
  std::optional<Instant> deadline = Instant::now().checked_add(timeout);
  if (!deadline) internal_failure("overflow when adding duration to instant");
  return *deadline;
}

std::expected<std::optional<wal::WalReplayer>, err::CursorTooOld> open_replay(
    const std::filesystem::path& topic_dir, uint64_t cursor) {
  // A log that cannot be listed counts as no log, like a missing one.
  auto reader = wal::WalReader::open(topic_dir);
  if (!reader || reader->empty()) return std::nullopt;
  auto replay = reader->read_from(cursor);
  if (!replay) {
    if (const auto* old = std::get_if<wal::WalCursorTooOld>(&replay.error())) {
      return std::unexpected(err::CursorTooOld{old->cursor, old->oldest});
    }
    return std::nullopt;  // read_from fails only with CursorTooOld
  }
  return std::optional<wal::WalReplayer>(std::move(*replay));
}

}  // namespace detail

Subscriber::Subscriber(RingBuffer ring, Fd stream, std::optional<Replay> replay,
                       std::filesystem::path topic_dir, uint64_t cursor, uint32_t cursor_idx,
                       uint64_t connected_generation, uint64_t replay_anchor, bool gap_guard)
    : wal_replay_(std::move(replay)),
      stream_(std::move(stream)),
      ring_(std::move(ring)),
      topic_dir_(std::move(topic_dir)),
      cursor_(cursor),
      cursor_idx_(cursor_idx),
      connected_generation_(connected_generation),
      replay_anchor_(replay_anchor),
      gap_guard_(gap_guard) {}

Result<std::unique_ptr<Subscriber>> Subscriber::connect_with(std::string_view topic,
                                                             const BusConfig& config,
                                                             Duration timeout, StartAt start) {
  // A cursor with bit 63 set cannot be stored: 2^64 - 1 would make the claimed entry look free
  // (another subscriber would claim it too, the wake-up pass would drop this one) and any such
  // value collides with the write-in-progress mark of the stamps. Refused before anything.
  if (const auto* at = std::get_if<start_at::Cursor>(&start); at && at->c > MAX_START_CURSOR) {
    return io_error(IoError::fixed(IoErrorKind::InvalidInput,
                                   "out of range integral type conversion attempted"));
  }

  std::filesystem::path topic_dir = config.base_dir / std::filesystem::path(std::string(topic));
  const std::filesystem::path ring_path = topic_dir / "ring.mmap";
  const std::filesystem::path socket_path = topic_dir / "signal.sock";
  const Instant deadline = detail::deadline_after(timeout);
  auto timed_out = [&] { return std::unexpected(Error(err::ConnectTimeout{std::string(topic)})); };

  // Released in reverse order on every failure: the claim, then the connection, then the ring.
  std::optional<RingBuffer> ring;
  Fd stream;
  std::optional<EntryClaim> claim;

  // Any failure to open (no file yet, a file being replaced, wrong magic, no permission) means
  // "no usable publisher yet": the error itself is dropped.
  for (;;) {
    auto opened = RingBuffer::open(ring_path);
    if (opened) {
      ring.emplace(std::move(*opened));
      break;
    }
    if (!pause_before_retry(deadline)) return timed_out();
  }

  // Acquire: the tail this entry starts at is one the publisher has completed.
  const uint64_t t1 = ring->tail().load(std::memory_order_acquire);
  std::optional<uint32_t> idx;
  for (uint32_t i = 0; i < ring->max_subscribers(); ++i) {
    uint64_t expected = FREE_CURSOR;
    // Seq_cst compare-and-exchange: of two subscribers racing for entry i exactly one wins.
    if (ring->cursor_entry(i).compare_exchange(expected, t1, std::memory_order_seq_cst)) {
      idx = i;
      break;
    }
  }
  if (!idx) return std::unexpected(Error(err::TooManySubscribers{ring->max_subscribers()}));
  claim.emplace(ring->cursor_entry(*idx));

  // A previous owner may have left the flag armed. Seq_cst: the store precedes the connection
  // and announcement, so the first wake-up pass that knows this connection finds 0 or an arm
  // of this subscriber's own.
  ring->wakeup_flag(*idx).store(0, std::memory_order_seq_cst);

  for (;;) {
    auto connected = platform::connect_unix(socket_path);
    if (connected) {
      stream = std::move(*connected);
      break;
    }
    if (!pause_before_retry(deadline)) return timed_out();
  }

  // The start is read before the announcement: the publisher can accept this connection (and
  // report it to wait_for_subscribers) as soon as the announcement is there, and a message it
  // publishes after that must not fall below a tail start placed later. Acquire: pairs with
  // the publisher's release of `tail`; first_cursor is read after it.
  const uint64_t t2 = ring->tail().load(std::memory_order_acquire);

  if (auto sent = send_announcement(stream.get(), *idx); !sent) {
    return std::unexpected(sent.error());
  }
  announce_connection(*ring);
  auto ring_oldest = [&](uint64_t t) {
    const uint64_t cap = ring->capacity();
    return ring->move_up_to_numbering(t >= cap ? t - cap : 0);
  };

  uint64_t begin = t2;
  std::optional<wal::WalReplayer> replay;
  uint64_t anchor = t2;  // the entry's value while a replay runs
  bool gap_guard = false;
  const auto* from_cursor = std::get_if<start_at::Cursor>(&start);
  // The replay of `c` set up, or the reason the start is refused.
  auto set_up_replay = [&](uint64_t c, uint64_t oldest) -> Result<void> {
    auto opened = detail::open_replay(topic_dir, c);
    if (!opened) return cursor_too_old(opened.error().cursor, opened.error().oldest);
    if (!*opened) return cursor_too_old(c, oldest);
    replay = std::move(**opened);
    return {};
  };

  if (const auto* h = std::get_if<start_at::History>(&start)) {
    // Below the numbering's first cursor nothing exists; a start reaching there moves up.
    begin = ring->move_up_to_numbering(h->n > t2 ? 0 : t2 - h->n);
  } else if (from_cursor) {
    begin = from_cursor->c;
    if (const uint64_t oldest = ring_oldest(t2); begin < oldest) {
      if (auto ok = set_up_replay(begin, oldest); !ok) return std::unexpected(ok.error());
    } else {
      // The first read must find `c` itself; a publisher that overwrites it meanwhile sends
      // this subscriber to the log instead (see resume_replay_after_lap).
      gap_guard = true;
    }
  }

  SharedWord entry = ring->cursor_entry(*idx);
  // Release: publishes nothing of this process's (no slot read yet); it is the position the
  // publisher's backpressure counts from now on.
  entry.store(replay ? anchor : begin, std::memory_order_release);

  if (from_cursor && !replay) {
    // Between the tail read above and the store the publisher may have overwritten `c`. Full
    // fence: the store is ordered before this re-read, so a publisher that overwrites `c` later
    // has seen the entry (its backpressure now holds `c`) or shows up in this tail.
    full_fence();
    const uint64_t t3 = ring->tail().load(std::memory_order_acquire);
    if (const uint64_t oldest = ring_oldest(t3); begin < oldest) {
      if (auto ok = set_up_replay(begin, oldest); !ok) return std::unexpected(ok.error());
      anchor = t3;
      gap_guard = false;
      entry.store(anchor, std::memory_order_release);
    }
  }

  // Acquire: pairs with the publisher's increment at reuse.
  const uint64_t generation = ring->generation().load(std::memory_order_acquire);

  logging::event(logging::Level::Info, "kavri::subscriber", "subscriber connected",
                 logging::text("topic", topic), logging::u64("cursor", begin),
                 logging::u64("cursor_idx", *idx), logging::u64("generation", generation),
                 logging::boolean("replaying_via_wal", replay.has_value()));

  std::optional<Replay> state;
  if (replay) {
    const Instant now = Instant::now();
    state.emplace(
        Replay{std::move(replay), now.checked_add(REPLAY_RETRY_DELAY).value_or(now), std::nullopt});
  }
  claim->keep();
  return std::unique_ptr<Subscriber>(new Subscriber(std::move(*ring), std::move(stream),
                                                    std::move(state), std::move(topic_dir), begin,
                                                    *idx, generation, anchor, gap_guard));
}

Subscriber::~Subscriber() {
  // The connection closes before the entry is freed: once the entry is free a new subscriber
  // may claim it and arm its flag, and a wake-up pass that still walks our connection would
  // then swap that flag and send the byte here. Closed first, that send fails, the publisher
  // puts the flag back and wakes the new owner once it has accepted it.
  stream_.reset();
  // Release: every copy this subscriber made out of a slot is complete before the publisher
  // sees the entry free (and stops counting it). The flag is left as it is.
  ring_.cursor_entry(cursor_idx_).store(FREE_CURSOR, std::memory_order_release);
  // Members then go last-declared first: the mapping, the (closed) connection, the replay.
}

uint64_t Subscriber::ring_oldest(uint64_t tail) const {
  const uint64_t cap = ring_.capacity();
  return ring_.move_up_to_numbering(tail >= cap ? tail - cap : 0);
}

uint64_t Subscriber::lag() const {
  // Relaxed: a figure for the caller; it orders no read.
  const uint64_t t = ring_.tail().load(std::memory_order_relaxed);
  return cursor_ < t ? t - cursor_ : 0;
}

bool Subscriber::arm_wakeup() {
  SharedWord flag = ring_.wakeup_flag(cursor_idx_);
  // Seq_cst exchange, then a full fence before the tail load. The publisher stores the tail,
  // fences and exchanges the flag to 0: with a fence on both sides at least one of them sees
  // the other's write, so either this load sees the new tail or the publisher sends a byte.
  flag.exchange(1, std::memory_order_seq_cst);
  full_fence();
  // Acquire: a tail seen here comes with its completed slots.
  const uint64_t t = ring_.tail().load(std::memory_order_acquire);
  // Outside a replay the ring reads from the numbering's first cursor at the lowest: a
  // position below it must not count as "data there" when nothing is (the caller would spin).
  const uint64_t position = replaying() ? cursor_ : ring_.move_up_to_numbering(cursor_);
  if (position < t) {
    // Relaxed: clearing publishes nothing; a publisher that still sees 1 sends a spare byte,
    // which a later wait takes at once.
    flag.store(0, std::memory_order_relaxed);
    return true;
  }
  return false;
}

Result<bool> Subscriber::wait_until(std::optional<Instant> deadline) {
  if (arm_wakeup()) return true;
  SharedWord flag = ring_.wakeup_flag(cursor_idx_);
  std::byte byte{};
  // The timed wait polls against the deadline and re-arms with the time that remains after
  // each interruption, so it ends at the deadline even under a periodic signal. The untimed one
  // retries EINTR and never ends on a signal.
  IoResult<void> got = deadline ? platform::recv_exact_until(stream_.get(), {&byte, 1}, *deadline)
                                : platform::recv_exact(stream_.get(), {&byte, 1});
  if (!got) {
    flag.store(0, std::memory_order_relaxed);  // relaxed: as in arm_wakeup
    const IoErrorKind kind = got.error().kind();
    if (kind == IoErrorKind::WouldBlock || kind == IoErrorKind::TimedOut) return false;
    return io_error(got.error());
  }
  // Acquire: pairs with a new publisher's increment at reuse.
  const uint64_t generation = ring_.generation().load(std::memory_order_acquire);
  flag.store(0, std::memory_order_relaxed);  // relaxed: as in arm_wakeup
  if (generation != connected_generation_) {
    return io_error(
        IoError::fixed(IoErrorKind::UnexpectedEof, "publisher restarted (generation changed)"));
  }
  return true;
}

Result<bool> Subscriber::wait_readable(int32_t timeout_ms) {
  if (timeout_ms < 0) return wait_until(std::nullopt);
  return wait_until(
      detail::deadline_after(Duration::from_millis(static_cast<uint64_t>(timeout_ms))));
}

Result<bool> Subscriber::drain_wakeup() {
  auto got = platform::recv_byte_nonblocking(stream_.get());
  if (!got) return io_error(got.error());
  switch (*got) {
    case platform::ByteReceive::Byte:
      return true;
    case platform::ByteReceive::WouldBlock:
      return false;
    case platform::ByteReceive::EndOfStream:
      break;
  }
  return io_error(IoError::fixed(IoErrorKind::UnexpectedEof, "publisher closed"));
}

}  // namespace kavri
