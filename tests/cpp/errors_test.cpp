#include "wal/errors.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace kavri::wal {
namespace {

TEST(ErrorsTest, MessagesNestWithTheirExactRenderings) {
  struct Case {
    WalError error;
    const char* want;
  } cases[] = {
      {WalSegmentWriter{WriterNonMonotonic{41, 42}},
       "segment writer: cursor must be monotonic: tried to append 41 after pending_cursor was 42"},
      {WalSegmentReader{ReadHeader{HeaderTruncated{0}}},
       "segment reader: segment header: segment header truncated: 0 bytes < 32"},
      {WalSegmentReader{ReadHeader{HeaderBadMagic{0x1234}}},
       "segment reader: segment header: segment magic mismatch: got 0x0000000000001234, want "
       "0x6b6176726957414c"},
      {WalSegmentReader{ReadHeader{HeaderUnsupportedVersion{2}}},
       "segment reader: segment header: segment version 2 not supported (this build speaks 1)"},
      {WalSegmentReader{ReadCrcMismatch{60, 0x13e75a4a, 0xab}},
       "segment reader: CRC mismatch at offset 60: stored 0x13e75a4a, computed 0x000000ab"},
      {WalSegmentReader{ReadShortRead{88, 3}},
       "segment reader: short read at offset 88: needed 3 more bytes"},
      {WalSegmentReader{ReadBadRecordLen{16777217}},
       "segment reader: record_len 16777217 exceeds MAX_RECORD_LEN (16777216)"},
      {WalCursorTooOld{50, 100}, "cursor 50 is older than the oldest in-WAL slot (100)"},
      {WalFlusherDied{}, "WAL flusher thread died; further appends would silently lose durability"},
      {WalPayloadTooLarge{16777189}, "payload too large: 16777189 > MAX_PAYLOAD_LEN (16777188)"},
      {WalCursorOutOfRange{9223372036854775808ull},
       "WAL holds cursor 9223372036854775808, which leaves no next cursor below "
       "9223372036854775808"},
      {WalSegmentReader{ReadBadRecordLen{27}},
       "segment reader: record_len 27 does not describe a valid record"},
      {WalSegmentReader{ReadIo{IoError::from_errno(ENOENT)}},
       "segment reader: I/O error: No such file or directory (os error 2)"},
      {WalIo{IoError::from_errno(EACCES)}, "I/O error: Permission denied (os error 13)"},
      {WalSegmentWriter{WriterIo{IoError::from_errno(EEXIST)}},
       "segment writer: I/O error: File exists (os error 17)"},
  };
  for (const Case& c : cases) EXPECT_EQ(message(c.error), c.want);
}

}  // namespace
}  // namespace kavri::wal
