#pragma once

// Reads and verifies one segment file, and repairs a torn tail.
//
// Thread rules: a reader belongs to one thread at a time and takes no locks. A reader sees
// the file as long as it was when opened: records appended later lie beyond file_len().

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/fd.h"
#include "wal/errors.h"

namespace kavri::wal {

// One decoded record; the payload is an owned copy.
struct WalRecord {
  uint64_t cursor = 0;
  uint64_t timestamp_ns = 0;
  std::vector<std::byte> payload;

  friend bool operator==(const WalRecord&, const WalRecord&) = default;
};

struct RecoverOutcome {
  std::optional<uint64_t> last_cursor;  // the last valid record's cursor; none if no record
  uint64_t valid_len = 0;               // the valid prefix, header included
  uint64_t bytes_dropped = 0;           // 0 when nothing was cut

  friend bool operator==(const RecoverOutcome&, const RecoverOutcome&) = default;
};

class SegmentReader {
 public:
  static constexpr size_t BUFFER_CAPACITY = 8192;

  struct ReadRecord {
    WalRecord record;
    uint64_t record_len;  // add to the offset to reach the next record
  };
  // Nothing at the segment's end; otherwise a record or the reason it is not one.
  using ReadResult = std::expected<std::optional<ReadRecord>, SegmentReadError>;

  // Opens `path` read-only and checks its header: Io or Header errors only. Positioned at
  // the first record.
  static std::expected<SegmentReader, SegmentReadError> open(const std::filesystem::path& path);

  SegmentReader(SegmentReader&&) noexcept = default;
  SegmentReader& operator=(SegmentReader&&) noexcept = default;
  SegmentReader(const SegmentReader&) = delete;
  SegmentReader& operator=(const SegmentReader&) = delete;

  // Decodes and verifies the record at `offset`, checking in this order: end of segment,
  // fewer than 4 bytes left (ShortRead), record_len outside [28, MAX_RECORD_LEN]
  // (BadRecordLen), record running past file_len (ShortRead, its body not read), CRC
  // (CrcMismatch), payload_len + 28 != record_len (BadRecordLen). A ShortRead is therefore
  // always a record that the file, as long as it was at open, does not hold whole. Does not
  // move offset().
  ReadResult read_one_record(uint64_t offset);

  uint64_t file_len() const { return file_len_; }
  // The next record's position; the caller advances it.
  uint64_t offset() const { return offset_; }
  void set_offset(uint64_t offset) { offset_ = offset; }
  bool failed() const { return failed_; }
  void set_failed() { failed_ = true; }

 private:
  SegmentReader(Fd file, uint64_t file_len);
  // Reads exactly dst.size() bytes at `pos` through the buffer.
  std::expected<void, SegmentReadError> read_exact(uint64_t pos, std::span<std::byte> dst);

  Fd file_;
  // A window on the file: buffer_ holds the bytes [window_start_, window_start_ + window_len_).
  std::unique_ptr<std::byte[]> buffer_;
  uint64_t window_start_ = 0;
  size_t window_len_ = 0;
  std::vector<std::byte> body_;  // one record's body at a time, reused
  uint64_t file_len_;
  uint64_t offset_;
  bool failed_ = false;
};

// Walks one segment's records from the reader's offset: each step yields a record (and
// advances the offset) or an error (and sets failed); after an error or the end, nullopt.
class RecordIter {
 public:
  explicit RecordIter(SegmentReader& reader) : reader_(reader) {}
  std::optional<std::expected<WalRecord, SegmentReadError>> next();

 private:
  SegmentReader& reader_;
};

// Cuts the segment after its last valid record. The first invalid record (BadRecordLen,
// CrcMismatch or ShortRead) decides: it and everything after it are dropped, the file is
// truncated and fully synced, and the WARN event "recover_truncate dropped trailing torn
// bytes" is raised. Header and I/O errors are returned and the file is left alone (except
// that a failing final sync comes after the cut).
std::expected<RecoverOutcome, SegmentReadError> recover_truncate(const std::filesystem::path& path);

}  // namespace kavri::wal
