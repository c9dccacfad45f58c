#include "wal/reader.h"

#include "platform/directory.h"
#include "wal/record.h"

namespace kavri::wal {

IoResult<WalReader> WalReader::open(const std::filesystem::path& topic_dir) {
  const std::filesystem::path dir = topic_dir / WAL_DIR_NAME;
  WalReader reader;
  auto names = platform::list_dir(dir);
  if (!names) {
    if (names.error().kind() == IoErrorKind::NotFound) return reader;
    return std::unexpected(names.error());
  }
  for (const std::string& name : *names) {
    // A later entry with the same key replaces the earlier one.
    if (auto key = parse_segment_file_name(name)) reader.segments_[*key] = dir / name;
  }
  return reader;
}

std::expected<WalReplayer, WalError> WalReader::read_from(uint64_t cursor) const {
  if (segments_.empty()) return WalReplayer({}, cursor);
  const uint64_t oldest = segments_.begin()->first;
  if (cursor < oldest) return std::unexpected(WalCursorTooOld{cursor, oldest});
  // The greatest key <= cursor exists: the oldest one qualifies.
  auto it = std::prev(segments_.upper_bound(cursor));
  std::vector<std::filesystem::path> paths;
  for (; it != segments_.end(); ++it) paths.push_back(it->second);
  return WalReplayer(std::move(paths), cursor);
}

std::expected<WalReplayer, WalError> WalReplayer::from(const std::filesystem::path& topic_dir,
                                                       uint64_t cursor) {
  auto reader = WalReader::open(topic_dir);
  if (!reader) return std::unexpected(WalIo{reader.error()});
  return reader->read_from(cursor);
}

std::expected<std::optional<WalRecord>, WalError> WalReplayer::next() {
  for (;;) {
    if (!current_) {
      if (next_index_ == segments_.size()) return std::nullopt;
      auto opened = SegmentReader::open(segments_[next_index_++]);
      // A segment that retention deleted meanwhile, or a bad header: one error, then on.
      if (!opened) return std::unexpected(WalSegmentReader{std::move(opened.error())});
      current_.emplace(std::move(*opened));
    }
    if (current_->failed()) {
      current_.reset();
      continue;
    }
    auto r = current_->read_one_record(current_->offset());
    if (!r) {
      current_->set_failed();
      return std::unexpected(WalSegmentReader{std::move(r.error())});
    }
    if (!*r) {
      current_.reset();
      continue;
    }
    current_->set_offset(current_->offset() + (*r)->record_len);
    if ((*r)->record.cursor < start_cursor_) continue;
    return std::move((*r)->record);
  }
}

}  // namespace kavri::wal
