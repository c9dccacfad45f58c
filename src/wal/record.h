#pragma once

// The on-disk format shared by the segment writer and every reader.
//
// A segment is a 32-byte header followed by records back to back:
//   header: magic u64 | version u32 | reserved u32 | base_cursor u64 | created_unix_ns u64
//   record: record_len u32 | cursor u64 | timestamp_ns u64 | payload_len u32 | payload | crc u32
// All integers little-endian. The CRC-32C covers cursor through payload; record_len is not
// covered. record_len = payload_len + RECORD_OVERHEAD.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kavri::wal {

inline constexpr uint64_t WAL_MAGIC = 0x6B6176726957414CULL;  // "kavriWAL"
inline constexpr uint32_t WAL_VERSION = 1;
inline constexpr uint64_t SEGMENT_HEADER_LEN = 32;
inline constexpr uint64_t RECORD_OVERHEAD = 28;
inline constexpr uint64_t MAX_RECORD_LEN = 16777216;
inline constexpr uint64_t MAX_PAYLOAD_LEN = MAX_RECORD_LEN - RECORD_OVERHEAD;

// The subdirectory of a topic directory that holds its segments.
inline constexpr std::string_view WAL_DIR_NAME = "wal";

// CRC-32C (Castagnoli, reflected 0x82F63B78, initial and final XOR 0xFFFFFFFF). Uses the
// processor's CRC instruction when it has one; the choice is made once per process.
uint32_t crc32c(std::span<const std::byte> bytes);

// Appends one complete record to `buf`; bytes already there stay in front of it.
// Precondition: payload.size() <= MAX_PAYLOAD_LEN.
void encode_record_into(std::vector<std::byte>& buf, uint64_t cursor, uint64_t timestamp_ns,
                        std::span<const std::byte> payload);

// "<base_cursor as 20 zero-padded decimal digits>.seg": names sort by cursor as text.
std::string segment_file_name(uint64_t base_cursor);

// The segment recognition rule of every directory scan: the key of a segment file name, or
// nullopt when the name is to be ignored (silently). Accepted: valid UTF-8, "<number>.seg"
// where <number> is an optional '+' and one or more ASCII digits with a value that fits
// 64 bits; leading zeros allowed, so 7.seg, 0007.seg and +7.seg all have key 7.
std::optional<uint64_t> parse_segment_file_name(std::string_view name);

}  // namespace kavri::wal
