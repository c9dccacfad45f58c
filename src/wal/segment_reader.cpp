#include "wal/segment_reader.h"

#include <algorithm>
#include <cstring>

#include "logging.h"
#include "platform/file.h"
#include "utf8.h"
#include "wal/record.h"

namespace kavri::wal {

namespace {

std::unexpected<SegmentReadError> io(IoError e) {
  return std::unexpected(SegmentReadError(ReadIo{e}));
}

uint32_t get_u32(const std::byte* at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(at[i]);
  return v;
}

uint64_t get_u64(const std::byte* at) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(at[i]);
  return v;
}

}  // namespace

SegmentReader::SegmentReader(Fd file, uint64_t file_len)
    : file_(std::move(file)),
      buffer_(new std::byte[BUFFER_CAPACITY]),
      file_len_(file_len),
      offset_(SEGMENT_HEADER_LEN) {}

std::expected<SegmentReader, SegmentReadError> SegmentReader::open(
    const std::filesystem::path& path) {
  auto fd = platform::open_file(path, {.mode = platform::OpenMode::ReadOnly});
  if (!fd) return io(fd.error());
  auto len = platform::file_size(fd->get());
  if (!len) return io(len.error());
  SegmentReader reader(std::move(*fd), *len);

  std::byte header[SEGMENT_HEADER_LEN];
  auto n = platform::read_at(reader.file_.get(), 0, header);
  if (!n) return io(n.error());
  if (*n < SEGMENT_HEADER_LEN) {
    return std::unexpected(SegmentReadError(ReadHeader{HeaderTruncated{*len}}));
  }
  if (uint64_t magic = get_u64(header); magic != WAL_MAGIC) {
    return std::unexpected(SegmentReadError(ReadHeader{HeaderBadMagic{magic}}));
  }
  if (uint32_t version = get_u32(header + 8); version != WAL_VERSION) {
    return std::unexpected(SegmentReadError(ReadHeader{HeaderUnsupportedVersion{version}}));
  }
  // Bytes 12..31 (reserved word, base_cursor, created_unix_ns) are deliberately not checked.
  return reader;
}

std::expected<void, SegmentReadError> SegmentReader::read_exact(uint64_t pos,
                                                                std::span<std::byte> dst) {
  // Bytes below file_len never change while a reader looks at them (the writer only
  // appends), so a window that already covers `pos` is as good as a fresh read.
  while (!dst.empty()) {
    if (pos >= window_start_ && pos < window_start_ + window_len_) {
      size_t at = static_cast<size_t>(pos - window_start_);
      size_t n = std::min(dst.size(), window_len_ - at);
      std::memcpy(dst.data(), buffer_.get() + at, n);
      dst = dst.subspan(n);
      pos += n;
      continue;
    }
    if (dst.size() >= BUFFER_CAPACITY) {
      // Large reads bypass the buffer.
      auto n = platform::read_at(file_.get(), pos, dst);
      if (!n) return io(n.error());
      if (*n < dst.size()) {
        return io(IoError::fixed(IoErrorKind::UnexpectedEof, "failed to fill whole buffer"));
      }
      return {};
    }
    auto n = platform::read_at(file_.get(), pos, {buffer_.get(), BUFFER_CAPACITY});
    if (!n) {
      window_len_ = 0;
      return io(n.error());
    }
    window_start_ = pos;
    window_len_ = *n;
    if (*n == 0) {
      return io(IoError::fixed(IoErrorKind::UnexpectedEof, "failed to fill whole buffer"));
    }
  }
  return {};
}

SegmentReader::ReadResult SegmentReader::read_one_record(uint64_t offset) {
  if (offset >= file_len_) return std::nullopt;
  const uint64_t remaining = file_len_ - offset;
  if (remaining < 4) return std::unexpected(SegmentReadError(ReadShortRead{offset, 4 - remaining}));

  std::byte len_bytes[4];
  if (auto ok = read_exact(offset, len_bytes); !ok) return std::unexpected(ok.error());
  const uint64_t record_len = get_u32(len_bytes);
  if (record_len > MAX_RECORD_LEN || record_len < RECORD_OVERHEAD) {
    return std::unexpected(SegmentReadError(ReadBadRecordLen{record_len}));
  }
  if (remaining < record_len) {
    return std::unexpected(SegmentReadError(ReadShortRead{offset, record_len - remaining}));
  }

  body_.resize(record_len - 4);
  if (auto ok = read_exact(offset + 4, body_); !ok) return std::unexpected(ok.error());
  const uint32_t stored = get_u32(body_.data() + body_.size() - 4);
  const uint32_t computed = crc32c({body_.data(), body_.size() - 4});
  if (stored != computed) {
    return std::unexpected(SegmentReadError(ReadCrcMismatch{offset, stored, computed}));
  }
  const uint64_t payload_len = get_u32(body_.data() + 16);
  if (payload_len + RECORD_OVERHEAD != record_len) {
    return std::unexpected(SegmentReadError(ReadBadRecordLen{record_len}));
  }
  ReadRecord out;
  out.record.cursor = get_u64(body_.data());
  out.record.timestamp_ns = get_u64(body_.data() + 8);
  out.record.payload.assign(body_.begin() + 20, body_.begin() + 20 + payload_len);
  out.record_len = record_len;
  return out;
}

std::optional<std::expected<WalRecord, SegmentReadError>> RecordIter::next() {
  if (reader_.failed()) return std::nullopt;
  auto r = reader_.read_one_record(reader_.offset());
  if (!r) {
    reader_.set_failed();
    return std::unexpected(std::move(r.error()));
  }
  if (!*r) return std::nullopt;
  reader_.set_offset(reader_.offset() + (*r)->record_len);
  return std::move((*r)->record);
}

std::expected<RecoverOutcome, SegmentReadError> recover_truncate(
    const std::filesystem::path& path) {
  uint64_t cut_at;
  uint64_t file_len;
  std::optional<uint64_t> last_cursor;
  {
    auto reader = SegmentReader::open(path);
    if (!reader) return std::unexpected(std::move(reader.error()));
    file_len = reader->file_len();
    uint64_t offset = SEGMENT_HEADER_LEN;
    for (;;) {
      auto r = reader->read_one_record(offset);
      if (!r) {
        if (std::holds_alternative<ReadIo>(r.error()) ||
            std::holds_alternative<ReadHeader>(r.error())) {
          return std::unexpected(std::move(r.error()));
        }
        break;  // the torn tail starts at this record
      }
      if (!*r) return RecoverOutcome{last_cursor, file_len, 0};
      last_cursor = (*r)->record.cursor;
      offset += (*r)->record_len;
    }
    cut_at = offset;
  }

  auto fd = platform::open_file(path, {.mode = platform::OpenMode::WriteOnly});
  if (!fd) return io(fd.error());
  if (auto ok = platform::set_len(fd->get(), cut_at); !ok) return io(ok.error());
  if (auto ok = platform::full_sync(fd->get()); !ok) return io(ok.error());
  const uint64_t dropped = file_len - cut_at;
  if (logging::enabled(logging::Level::Warn)) {
    const std::string shown = utf8_lossy(path.native());
    logging::event(logging::Level::Warn, "kavri::wal",
                   "recover_truncate dropped trailing torn bytes", logging::display("path", shown),
                   logging::u64("bytes_dropped", dropped), logging::u64("truncate_offset", cut_at));
  }
  return RecoverOutcome{last_cursor, cut_at, dropped};
}

}  // namespace kavri::wal
