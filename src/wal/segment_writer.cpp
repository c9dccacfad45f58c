#include "wal/segment_writer.h"

#include <cstring>

#include "platform/clock.h"
#include "platform/directory.h"
#include "platform/file.h"
#include "wal/record.h"

namespace kavri::wal {

namespace {

std::unexpected<WriterError> io(IoError e) { return std::unexpected(WriterError(WriterIo{e})); }

}  // namespace

SegmentWriter::SegmentWriter(Fd file, uint64_t base_cursor)
    : file_(std::move(file)),
      buffer_(new std::byte[BUFFER_CAPACITY]),
      base_cursor_(base_cursor),
      next_cursor_(base_cursor),
      bytes_written_(SEGMENT_HEADER_LEN) {
  scratch_.reserve(4096);
}

SegmentWriter::~SegmentWriter() {
  if (file_.valid()) (void)write_out();
}

std::expected<SegmentWriter, WriterError> SegmentWriter::create(const std::filesystem::path& path,
                                                                uint64_t base_cursor) {
  auto fd = platform::open_file(
      path, {.mode = platform::OpenMode::WriteOnly, .exclusive = true, .permissions = 0666});
  if (!fd) return io(fd.error());

  std::byte header[SEGMENT_HEADER_LEN];
  const uint64_t words[4] = {WAL_MAGIC, 1 /* version 1, reserved 0 */, base_cursor,
                             platform::wall_clock_unix_ns()};
  for (int w = 0; w < 4; ++w) {
    for (int i = 0; i < 8; ++i) header[w * 8 + i] = static_cast<std::byte>(words[w] >> (8 * i));
  }
  // The header goes to the file at once: the buffer starts empty after it.
  IoResult<void> ok = platform::write_all_at(fd->get(), 0, header);
  if (ok) ok = platform::full_sync(fd->get());
  // Without a directory sync a crash could lose the name and with it every record that a
  // later durable cursor claims.
  if (ok) ok = platform::sync_directory(path.parent_path().empty() ? "." : path.parent_path());
  if (!ok) {
    fd->reset();
    (void)platform::remove_file(path);
    return io(ok.error());
  }
  return SegmentWriter(std::move(*fd), base_cursor);
}

std::expected<void, WriterError> SegmentWriter::cut_back() {
  if (auto ok = platform::set_len(file_.get(), file_len()); !ok) {
    needs_cut_ = true;
    return io(ok.error());
  }
  needs_cut_ = false;
  return {};
}

std::expected<void, WriterError> SegmentWriter::write_out() {
  if (needs_cut_) {
    if (auto ok = cut_back(); !ok) return ok;
  }
  if (buffered_ == 0) return {};
  if (auto ok = platform::write_all_at(file_.get(), file_len(), {buffer_.get(), buffered_}); !ok) {
    // The buffered records stay buffered; whatever of them reached the file is cut off so
    // the file keeps ending at a record boundary.
    (void)cut_back();
    return io(ok.error());
  }
  buffered_ = 0;
  return {};
}

std::expected<void, WriterError> SegmentWriter::append(uint64_t cursor, uint64_t timestamp_ns,
                                                       std::span<const std::byte> payload) {
  if (cursor != next_cursor_) {
    return std::unexpected(WriterError(WriterNonMonotonic{cursor, next_cursor_}));
  }
  scratch_.clear();
  encode_record_into(scratch_, cursor, timestamp_ns, payload);
  const size_t len = scratch_.size();
  if (buffered_ + len > BUFFER_CAPACITY || needs_cut_) {
    if (auto ok = write_out(); !ok) return ok;
  }
  if (len < BUFFER_CAPACITY) {
    std::memcpy(buffer_.get() + buffered_, scratch_.data(), len);
    buffered_ += len;
  } else if (auto ok = platform::write_all_at(file_.get(), file_len(), scratch_); !ok) {
    (void)cut_back();
    return io(ok.error());
  }
  bytes_written_ += len;
  next_cursor_ = cursor + 1;
  return {};
}

std::expected<uint64_t, WriterError> SegmentWriter::fsync() {
  if (auto ok = write_out(); !ok) return std::unexpected(ok.error());
  if (auto ok = platform::full_sync(file_.get()); !ok) return io(ok.error());
  return next_cursor_;
}

std::expected<SegmentWriter::SyncHandle, WriterError> SegmentWriter::flush_for_sync() {
  if (auto ok = write_out(); !ok) return std::unexpected(ok.error());
  auto dup = platform::duplicate_cloexec(file_.get(), 3);
  if (!dup) return io(dup.error());
  return SyncHandle{std::move(*dup), next_cursor_};
}

std::expected<void, WriterError> SegmentWriter::close(SegmentWriter writer) {
  if (auto ok = writer.write_out(); !ok) return ok;
  if (auto ok = platform::full_sync(writer.file_.get()); !ok) return io(ok.error());
  return {};
}

}  // namespace kavri::wal
