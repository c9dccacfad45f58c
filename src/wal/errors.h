#pragma once

// The log's error values. Each renders as text in exactly one function; a wrapping error puts
// its own text in front of the wrapped one's ("segment reader: segment header: ...").

#include <cstdint>
#include <string>
#include <variant>

#include "platform/io_error.h"

namespace kavri::wal {

// The segment writer's errors.
struct WriterNonMonotonic {
  uint64_t tried;
  uint64_t pending_cursor;
};
struct WriterIo {
  IoError error;
};
using WriterError = std::variant<WriterNonMonotonic, WriterIo>;

// The segment header's errors.
struct HeaderBadMagic {
  uint64_t found;
};
struct HeaderUnsupportedVersion {
  uint32_t found;
};
struct HeaderTruncated {
  uint64_t file_len;
};
using SegmentHeaderError = std::variant<HeaderBadMagic, HeaderUnsupportedVersion, HeaderTruncated>;

// The segment reader's errors.
struct ReadIo {
  IoError error;
};
struct ReadHeader {
  SegmentHeaderError error;
};
// record_len above MAX_RECORD_LEN, below the smallest record, or disagreeing with payload_len.
struct ReadBadRecordLen {
  uint64_t record_len;
};
struct ReadCrcMismatch {
  uint64_t offset;
  uint32_t stored;
  uint32_t computed;
};
struct ReadShortRead {
  uint64_t offset;
  uint64_t needed;
};
using SegmentReadError =
    std::variant<ReadIo, ReadHeader, ReadBadRecordLen, ReadCrcMismatch, ReadShortRead>;

// The log's own errors, wrapping the two above.
struct WalIo {
  IoError error;
};
struct WalSegmentWriter {
  WriterError error;
};
struct WalSegmentReader {
  SegmentReadError error;
};
struct WalCursorTooOld {
  uint64_t cursor;
  uint64_t oldest;
};
struct WalFlusherDied {};
struct WalPayloadTooLarge {
  uint64_t len;
};
// The log's newest segment leaves no usable next cursor: its name or last record says 2^63 or
// more is next (bit 63 marks a ring slot being written), or the last cursor + 1 overflows.
// `found` is that segment's base cursor or its last record's cursor.
struct WalCursorOutOfRange {
  uint64_t found;
};
using WalError = std::variant<WalIo, WalSegmentWriter, WalSegmentReader, WalCursorTooOld,
                              WalFlusherDied, WalPayloadTooLarge, WalCursorOutOfRange>;

std::string message(const WriterError& error);
std::string message(const SegmentHeaderError& error);
std::string message(const SegmentReadError& error);
std::string message(const WalError& error);

}  // namespace kavri::wal
