#pragma once

// The on-disk format shared by the segment writer and every reader.
//
// A segment is a 32-byte header followed by records back to back:
//   header: magic u64 | version u32 | reserved u32 | base_cursor u64 | created_unix_ns u64
//   record: record_len u32 | cursor u64 | timestamp_ns u64 | payload_len u32 | payload | crc u32
// All integers little-endian. The CRC-32C covers cursor through payload; record_len is not
// covered. record_len = payload_len + RECORD_OVERHEAD.

#include <cstdint>

namespace kavri::wal {

inline constexpr uint64_t WAL_MAGIC = 0x6B6176726957414CULL;  // "kavriWAL"
inline constexpr uint32_t WAL_VERSION = 1;
inline constexpr uint64_t SEGMENT_HEADER_LEN = 32;
inline constexpr uint64_t RECORD_OVERHEAD = 28;
inline constexpr uint64_t MAX_RECORD_LEN = 16777216;
inline constexpr uint64_t MAX_PAYLOAD_LEN = MAX_RECORD_LEN - RECORD_OVERHEAD;

}  // namespace kavri::wal
