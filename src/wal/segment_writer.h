#pragma once

// Appends records to one segment file. Move-only; owns the file.
//
// Thread rules: no lock of its own. The log calls every method under its mutex; only the
// sync of the duplicate that flush_for_sync returns runs outside it.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <span>
#include <vector>

#include "platform/fd.h"
#include "wal/errors.h"

namespace kavri::wal {

class SegmentWriter {
 public:
  // Records smaller than this are gathered in the write buffer; larger ones go to the file
  // directly once the buffer has been written out.
  static constexpr size_t BUFFER_CAPACITY = 8192;

  struct SyncHandle {
    Fd file;                   // a close-on-exec duplicate of the segment's descriptor
    uint64_t next_cursor = 0;  // every record below it is in the file (not yet synced)
  };

  // Creates `path` exclusively (mode 0666 less the umask) with its header, then makes the
  // header and the new name durable (full sync of the file, sync of its directory). The
  // directory must exist. A failure after the file was made removes it again: it holds no
  // record, and leaving it would make every later creation at this cursor fail.
  static std::expected<SegmentWriter, WriterError> create(const std::filesystem::path& path,
                                                          uint64_t base_cursor);

  SegmentWriter(SegmentWriter&&) noexcept = default;
  SegmentWriter& operator=(SegmentWriter&&) noexcept = delete;
  SegmentWriter(const SegmentWriter&) = delete;
  SegmentWriter& operator=(const SegmentWriter&) = delete;
  // Writes the buffer out (errors ignored) and closes the file, without a sync.
  ~SegmentWriter();

  // Accepts only cursor == next_cursor(). Success does not put the record in the file: it may
  // wait in the buffer. On a failed write nothing of the record stays in the buffer or the
  // file: the file is cut back to the length of the records before it (a cut that fails is
  // retried before the next write), so a retry never lands behind a partial record.
  std::expected<void, WriterError> append(uint64_t cursor, uint64_t timestamp_ns,
                                          std::span<const std::byte> payload);
  // Writes the buffer out and fully syncs the file; returns next_cursor(), below which every
  // record is now on stable storage.
  std::expected<uint64_t, WriterError> fsync();
  // Writes the buffer out and returns a duplicate of the descriptor with next_cursor(). Once
  // a full sync of the duplicate succeeds, every record below that cursor is durable.
  std::expected<SyncHandle, WriterError> flush_for_sync();
  // Writes the buffer out, fully syncs and closes the file; the writer is gone either way.
  static std::expected<void, WriterError> close(SegmentWriter writer);

  uint64_t base_cursor() const { return base_cursor_; }
  uint64_t next_cursor() const { return next_cursor_; }
  // The segment's length with everything handed to the writer, buffered bytes included.
  uint64_t bytes_written() const { return bytes_written_; }

 private:
  SegmentWriter(Fd file, uint64_t base_cursor);
  // Brings the file to exactly file_len() and then writes the buffer after it.
  std::expected<void, WriterError> write_out();
  std::expected<void, WriterError> cut_back();
  uint64_t file_len() const { return bytes_written_ - buffered_; }

  Fd file_;
  std::unique_ptr<std::byte[]> buffer_;  // BUFFER_CAPACITY bytes; the first buffered_ are used
  size_t buffered_ = 0;
  std::vector<std::byte> scratch_;  // one encoded record at a time, reused
  uint64_t base_cursor_;
  uint64_t next_cursor_;
  uint64_t bytes_written_;
  // Set when a failed write left bytes beyond file_len() in the file and cutting them failed.
  bool needs_cut_ = false;
};

}  // namespace kavri::wal
