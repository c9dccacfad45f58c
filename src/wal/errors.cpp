#include "wal/errors.h"

#include <fmt/format.h>

#include "wal/record.h"

namespace kavri::wal {

namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace

std::string message(const WriterError& error) {
  return std::visit(
      Overloaded{
          [](const WriterNonMonotonic& e) {
            return fmt::format(
                "cursor must be monotonic: tried to append {} after pending_cursor was {}", e.tried,
                e.pending_cursor);
          },
          [](const WriterIo& e) { return fmt::format("I/O error: {}", e.error.text()); },
      },
      error);
}

std::string message(const SegmentHeaderError& error) {
  return std::visit(Overloaded{
                        [](const HeaderBadMagic& e) {
                          return fmt::format("segment magic mismatch: got {:#018x}, want {:#018x}",
                                             e.found, WAL_MAGIC);
                        },
                        [](const HeaderUnsupportedVersion& e) {
                          return fmt::format(
                              "segment version {} not supported (this build speaks {})", e.found,
                              WAL_VERSION);
                        },
                        [](const HeaderTruncated& e) {
                          return fmt::format("segment header truncated: {} bytes < {}", e.file_len,
                                             SEGMENT_HEADER_LEN);
                        },
                    },
                    error);
}

std::string message(const SegmentReadError& error) {
  return std::visit(
      Overloaded{
          [](const ReadIo& e) { return fmt::format("I/O error: {}", e.error.text()); },
          [](const ReadHeader& e) { return fmt::format("segment header: {}", message(e.error)); },
          [](const ReadBadRecordLen& e) {
            if (e.record_len > MAX_RECORD_LEN) {
              return fmt::format("record_len {} exceeds MAX_RECORD_LEN ({})", e.record_len,
                                 MAX_RECORD_LEN);
            }
            return fmt::format("record_len {} does not describe a valid record", e.record_len);
          },
          [](const ReadCrcMismatch& e) {
            return fmt::format("CRC mismatch at offset {}: stored {:#010x}, computed {:#010x}",
                               e.offset, e.stored, e.computed);
          },
          [](const ReadShortRead& e) {
            return fmt::format("short read at offset {}: needed {} more bytes", e.offset, e.needed);
          },
      },
      error);
}

std::string message(const WalError& error) {
  return std::visit(
      Overloaded{
          [](const WalIo& e) { return fmt::format("I/O error: {}", e.error.text()); },
          [](const WalSegmentWriter& e) {
            return fmt::format("segment writer: {}", message(e.error));
          },
          [](const WalSegmentReader& e) {
            return fmt::format("segment reader: {}", message(e.error));
          },
          [](const WalCursorTooOld& e) {
            return fmt::format("cursor {} is older than the oldest in-WAL slot ({})", e.cursor,
                               e.oldest);
          },
          [](const WalFlusherDied&) {
            return std::string(
                "WAL flusher thread died; further appends would silently lose durability");
          },
          [](const WalPayloadTooLarge& e) {
            return fmt::format("payload too large: {} > MAX_PAYLOAD_LEN ({})", e.len,
                               MAX_PAYLOAD_LEN);
          },
          [](const WalCursorOutOfRange& e) {
            return fmt::format(
                "WAL holds cursor {}, which leaves no next cursor below 9223372036854775808",
                e.found);
          },
      },
      error);
}

}  // namespace kavri::wal
