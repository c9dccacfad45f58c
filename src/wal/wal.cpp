#include "wal/wal.h"

#include <limits>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/directory.h"
#include "platform/file.h"
#include "wal/flusher.h"
#include "wal/record.h"
#include "wal/segment_reader.h"
#include "wal/segment_writer.h"

namespace kavri::wal {

namespace {

// Bit 63 of a cursor marks a ring slot being written; no real cursor reaches it.
constexpr uint64_t CURSOR_LIMIT = uint64_t{1} << 63;

std::unexpected<WalError> writer_error(WriterError e) {
  return std::unexpected(WalError(WalSegmentWriter{std::move(e)}));
}

// Makes a new segment named after `cursor` the active one. Caller holds the mutex.
std::expected<void, WalError> start_segment(WalInner& inner, const std::filesystem::path& dir,
                                            uint64_t cursor) {
  std::filesystem::path path = dir / segment_file_name(cursor);
  auto writer = SegmentWriter::create(path, cursor);
  if (!writer) return writer_error(std::move(writer.error()));
  inner.segments[cursor] = std::move(path);
  // Only a segment deleted behind the log's back can leave its key among the sealed ones.
  if (auto it = inner.sealed_sizes.find(cursor); it != inner.sealed_sizes.end()) {
    inner.sealed_bytes -= std::min(inner.sealed_bytes, it->second);
    inner.sealed_sizes.erase(it);
  }
  inner.active_bytes = writer->bytes_written();
  inner.active.emplace(std::move(*writer));
  return {};
}

void enforce_retention_locked(WalInner& inner, const std::filesystem::path& dir, uint64_t limit) {
  bool removed = false;
  while (inner.active_bytes + inner.sealed_bytes > limit) {
    auto it = inner.segments.begin();
    if (inner.active && it != inner.segments.end() && it->first == inner.active->base_cursor()) {
      ++it;
    }
    if (it == inner.segments.end()) break;
    const uint64_t key = it->first;
    (void)platform::remove_file(it->second);
    inner.segments.erase(it);
    removed = true;
    if (auto s = inner.sealed_sizes.find(key); s != inner.sealed_sizes.end()) {
      inner.sealed_bytes -= std::min(inner.sealed_bytes, s->second);
      inner.sealed_sizes.erase(s);
    }
  }
  if (removed) (void)platform::sync_directory(dir);
}

}  // namespace

Wal::Wal(std::filesystem::path dir, const WalConfig& config, std::shared_ptr<WalShared> shared,
         uint64_t next_cursor)
    : dir_(std::move(dir)),
      shared_(std::move(shared)),
      pending_cursor_(next_cursor),
      config_(config) {}

std::expected<std::unique_ptr<Wal>, WalError> Wal::open(const std::filesystem::path& topic_dir,
                                                        const WalConfig& config) {
  std::filesystem::path dir = topic_dir / WAL_DIR_NAME;
  if (auto ok = platform::create_dir_all(dir); !ok) return std::unexpected(WalIo{ok.error()});
  auto names = platform::list_dir(dir);
  if (!names) return std::unexpected(WalIo{names.error()});

  std::vector<std::pair<uint64_t, std::filesystem::path>> entries;
  for (const std::string& name : *names) {
    if (auto key = parse_segment_file_name(name)) entries.emplace_back(*key, dir / name);
  }
  // The newest segment: the largest key, and of several names for it the one listed last,
  // since that one wins the index.
  std::optional<size_t> newest;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!newest || entries[i].first >= entries[*newest].first) newest = i;
  }

  auto shared = std::make_shared<WalShared>();
  WalInner& inner = shared->inner;
  std::map<uint64_t, uint64_t> sizes;
  bool newest_short = false;
  for (size_t i = 0; i < entries.size(); ++i) {
    const auto& [key, path] = entries[i];
    auto repaired = recover_truncate(path);
    if (!repaired) {
      // A crash while the newest segment was being created leaves it shorter than a header.
      // It can hold no record; any other header fault is real damage and fails the open.
      const auto* header = std::get_if<ReadHeader>(&repaired.error());
      if (i == *newest && header && std::holds_alternative<HeaderTruncated>(header->error)) {
        newest_short = true;
        inner.segments[key] = path;
        sizes[key] = std::get<HeaderTruncated>(header->error).file_len;
        continue;
      }
      return std::unexpected(WalSegmentReader{std::move(repaired.error())});
    }
    auto size = platform::path_file_size(path);
    if (!size) return std::unexpected(WalIo{size.error()});
    inner.segments[key] = path;
    sizes[key] = *size;
  }

  uint64_t next_cursor = 0;
  if (!inner.segments.empty()) {
    const auto [key, path] = *inner.segments.rbegin();
    std::optional<uint64_t> last_cursor;
    if (!newest_short) {
      auto reader = SegmentReader::open(path);
      if (!reader) return std::unexpected(WalSegmentReader{std::move(reader.error())});
      RecordIter records(*reader);
      // A read error ends the scan unreported: recover_truncate has just verified the file.
      while (auto r = records.next()) {
        if (!*r) break;
        last_cursor = (*r)->cursor;
      }
    }
    if (last_cursor) {
      if (*last_cursor >= CURSOR_LIMIT - 1) {
        return std::unexpected(WalCursorOutOfRange{*last_cursor});
      }
      next_cursor = *last_cursor + 1;
      // A crashed publisher may have left these records in the page cache only; they count
      // as durable from the start, so they must reach stable storage first.
      auto fd = platform::open_file(path, {.mode = platform::OpenMode::ReadOnly});
      if (!fd) return std::unexpected(WalIo{fd.error()});
      if (auto ok = platform::full_sync(fd->get()); !ok) return std::unexpected(WalIo{ok.error()});
      std::lock_guard lock(inner.mutex);
      if (auto ok = start_segment(inner, dir, next_cursor); !ok) return std::unexpected(ok.error());
    } else {
      if (key >= CURSOR_LIMIT) return std::unexpected(WalCursorOutOfRange{key});
      next_cursor = key;
      if (newest_short || sizes[key] == SEGMENT_HEADER_LEN) {
        (void)platform::remove_file(path);
        (void)platform::sync_directory(dir);
        inner.segments.erase(key);
        sizes.erase(key);
      }
      // Otherwise the scan failed on the first record and the segment stays.
    }
  }

  if (inner.active) sizes.erase(inner.active->base_cursor());
  inner.sealed_sizes = std::move(sizes);
  for (const auto& [k, size] : inner.sealed_sizes) inner.sealed_bytes += size;
  shared->durable_cursor.store(next_cursor, std::memory_order_relaxed);

  std::unique_ptr<Wal> wal(new Wal(std::move(dir), config, shared, next_cursor));
  if (config.enabled && config.fsync_policy == FsyncPolicy::Interval) {
    wal->flusher_ = spawn_flusher_thread(config.flush_interval, shared);
  }
  wal->base_unix_ns_ = platform::wall_clock_unix_ns();
  wal->opened_at_ = Instant::now();
  return wal;
}

Wal::~Wal() {
  shared_->shutdown.store(true, std::memory_order_relaxed);
  if (flusher_.joinable()) flusher_.join();
  if (!config_.enabled) return;
  std::lock_guard lock(shared_->inner.mutex);
  if (!shared_->inner.active) return;
  auto synced = shared_->inner.active->fsync();
  // After durability was lost a successful sync proves nothing about the lost records.
  if (synced && !shared_->flusher_dead.load(std::memory_order_relaxed)) {
    shared_->durable_cursor.store(*synced, std::memory_order_relaxed);
    shared_->flushes_total.fetch_add(1, std::memory_order_relaxed);
  }
}

uint64_t Wal::now_ns() const {
  uint64_t since = Instant::now().saturating_duration_since(opened_at_).as_nanos_saturating();
  uint64_t sum;
  if (__builtin_add_overflow(base_unix_ns_, since, &sum))
    return std::numeric_limits<uint64_t>::max();
  return sum;
}

std::expected<void, WalError> Wal::append(uint64_t cursor, uint64_t timestamp_ns,
                                          std::span<const std::byte> payload) {
  if (!config_.enabled) return {};
  if (payload.size() > MAX_PAYLOAD_LEN) return std::unexpected(WalPayloadTooLarge{payload.size()});
  WalShared& shared = *shared_;
  // Read before the mutex: an append that saw it clear just before the flusher died completes.
  if (shared.flusher_dead.load(std::memory_order_relaxed)) {
    return std::unexpected(WalFlusherDied{});
  }
  WalInner& inner = shared.inner;
  std::lock_guard lock(inner.mutex);

  if (!inner.active) {
    if (auto ok = start_segment(inner, dir_, cursor); !ok) return ok;
  }
  if (inner.active_bytes + payload.size() + RECORD_OVERHEAD > config_.segment_max_bytes) {
    SegmentWriter sealing = std::move(*inner.active);
    inner.active.reset();
    const uint64_t base = sealing.base_cursor();
    const uint64_t size = sealing.bytes_written();
    if (auto ok = SegmentWriter::close(std::move(sealing)); !ok) {
      // Records still buffered in that segment may be lost; a later sync of another segment
      // must not make durable_cursor claim them.
      shared.flusher_dead.store(true, std::memory_order_relaxed);
      return writer_error(std::move(ok.error()));
    }
    inner.sealed_sizes[base] = size;
    inner.sealed_bytes += size;
    if (auto ok = start_segment(inner, dir_, cursor); !ok) return ok;
  }

  SegmentWriter& writer = *inner.active;
  if (auto ok = writer.append(cursor, timestamp_ns, payload); !ok) {
    return writer_error(std::move(ok.error()));
  }
  inner.active_bytes = writer.bytes_written();
  pending_cursor_.store(cursor + 1, std::memory_order_relaxed);
  appends_total_.fetch_add(1, std::memory_order_relaxed);
  append_bytes_total_.fetch_add(payload.size(), std::memory_order_relaxed);

  if (config_.fsync_policy == FsyncPolicy::EveryAppend) {
    auto synced = writer.fsync();
    if (!synced) {
      // A failed sync may have dropped dirty pages that a later, successful sync would not
      // write again: durability of this record is lost for good.
      shared.flusher_dead.store(true, std::memory_order_relaxed);
      return writer_error(std::move(synced.error()));
    }
    shared.durable_cursor.store(*synced, std::memory_order_relaxed);
    shared.flushes_total.fetch_add(1, std::memory_order_relaxed);
  }

  if (inner.active_bytes + inner.sealed_bytes > config_.retention_max_bytes) {
    enforce_retention_locked(inner, dir_, config_.retention_max_bytes);
  }
  return {};
}

WalStats Wal::stats() const {
  WalInner& inner = shared_->inner;
  std::lock_guard lock(inner.mutex);
  WalStats s;
  s.pending_cursor = pending_cursor_.load(std::memory_order_relaxed);
  s.durable_cursor = shared_->durable_cursor.load(std::memory_order_relaxed);
  s.oldest_cursor = inner.segments.empty() ? 0 : inner.segments.begin()->first;
  s.active_segment_bytes = inner.active_bytes;
  s.total_wal_bytes = inner.active_bytes + inner.sealed_bytes;
  s.segments = inner.segments.size();
  s.appends_total = appends_total_.load(std::memory_order_relaxed);
  s.append_bytes_total = append_bytes_total_.load(std::memory_order_relaxed);
  s.flushes_total = shared_->flushes_total.load(std::memory_order_relaxed);
  return s;
}

}  // namespace kavri::wal
