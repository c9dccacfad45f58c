#pragma once

// Replays a topic's log from a cursor, working on the segment files alone: no state shared
// with the publisher's Wal, nothing opened for writing, usually in another process than the
// publisher, which goes on appending to the newest segment and trimming the oldest.
//
// Use (the subscriber):
//   auto reader = WalReader::open(topic_dir);        // lists <topic_dir>/wal once
//   auto replay = reader->read_from(cursor);         // CursorTooOld below the oldest segment
//   while (true) {
//     auto item = replay->next();
//     if (!item) { ...; continue; }                  // one bad segment or record; go on
//     if (!*item) break;                             // the end
//     use(**item);                                   // a WalRecord, cursors ascending
//   }
// An error item is always WalSegmentReader. A ReadShortRead in it while
// replay->in_last_segment() means the newest segment ended inside a record that its writer
// had not finished when the segment was opened: "not written yet", not corruption. To read
// on from there, open a fresh reader and replayer at the cursor after the last record
// received (WalReplayer::from is both steps in one).
//
// Thread rules: a reader and its replayer belong to one thread; they take no locks.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "platform/io_error.h"
#include "wal/errors.h"
#include "wal/segment_reader.h"

namespace kavri::wal {

class WalReplayer;

// The index of a topic's segment files, taken once at open.
class WalReader {
 public:
  // Lists <topic_dir>/wal by the segment recognition rule; a missing directory gives an
  // empty index. Creates nothing and opens no segment.
  static IoResult<WalReader> open(const std::filesystem::path& topic_dir);

  // A replayer of every record with cursor >= `cursor`, starting at the segment with the
  // greatest key <= cursor. WalCursorTooOld when cursor is below the smallest key; an empty
  // index gives a replayer that ends at once. Opens no file.
  std::expected<WalReplayer, WalError> read_from(uint64_t cursor) const;

  size_t segment_count() const { return segments_.size(); }
  bool empty() const { return segments_.empty(); }
  const std::map<uint64_t, std::filesystem::path>& segments() const { return segments_; }

 private:
  std::map<uint64_t, std::filesystem::path> segments_;
};

// Pulls records from a fixed list of segments, one segment open at a time. Segments created
// after it was built are never visited; each segment is read up to its length when opened.
// Move-only (it owns the open segment); independent of the WalReader that built it.
class WalReplayer {
 public:
  // The end (nullopt), a record, or an error item. After an error the replay goes on: the
  // rest of that segment is skipped, the next call continues with the following segment.
  // After the end every call returns the end.
  std::expected<std::optional<WalRecord>, WalError> next();

  // True when the segment that produced the latest item (or that failed to open) is the last
  // one of this replay, i.e. the newest segment when the replayer was built.
  bool in_last_segment() const { return next_index_ == segments_.size() && next_index_ > 0; }

  // WalReader::open(topic_dir) and read_from(cursor) in one; a failed listing is WalIo.
  static std::expected<WalReplayer, WalError> from(const std::filesystem::path& topic_dir,
                                                   uint64_t cursor);

 private:
  friend class WalReader;
  WalReplayer(std::vector<std::filesystem::path> segments, uint64_t start_cursor)
      : segments_(std::move(segments)), start_cursor_(start_cursor) {}

  std::vector<std::filesystem::path> segments_;  // ascending by key
  std::optional<SegmentReader> current_;
  size_t next_index_ = 0;
  uint64_t start_cursor_;
};

}  // namespace kavri::wal
