#include "wal/record.h"

#include <isa-l/crc.h>

#include <cstdio>
#include <cstring>

#include "utf8.h"

namespace kavri::wal {

namespace {

void put_u32(std::byte* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::byte>(v >> (8 * i));
}

void put_u64(std::byte* at, uint64_t v) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<std::byte>(v >> (8 * i));
}

}  // namespace

uint32_t crc32c(std::span<const std::byte> bytes) {
  // ISA-L's iSCSI routine applies no final XOR: seeded with all ones and complemented it is
  // the standard CRC-32C. ISA-L picks its instruction-set variant once per process.
  return ~crc32_iscsi(reinterpret_cast<unsigned char*>(const_cast<std::byte*>(bytes.data())),
                      static_cast<int>(bytes.size()), ~0u);
}

void encode_record_into(std::vector<std::byte>& buf, uint64_t cursor, uint64_t timestamp_ns,
                        std::span<const std::byte> payload) {
  const size_t record_len = payload.size() + RECORD_OVERHEAD;
  const size_t start = buf.size();
  buf.resize(start + record_len);
  std::byte* r = buf.data() + start;
  put_u32(r, static_cast<uint32_t>(record_len));
  put_u64(r + 4, cursor);
  put_u64(r + 12, timestamp_ns);
  put_u32(r + 20, static_cast<uint32_t>(payload.size()));
  if (!payload.empty()) std::memcpy(r + 24, payload.data(), payload.size());
  put_u32(r + 24 + payload.size(), crc32c({r + 4, 20 + payload.size()}));
}

std::string segment_file_name(uint64_t base_cursor) {
  char name[32];
  int n =
      std::snprintf(name, sizeof name, "%020llu.seg", static_cast<unsigned long long>(base_cursor));
  return std::string(name, static_cast<size_t>(n));
}

std::optional<uint64_t> parse_segment_file_name(std::string_view name) {
  constexpr std::string_view kSuffix = ".seg";
  if (!is_valid_utf8(name)) return std::nullopt;
  if (name.size() <= kSuffix.size() || !name.ends_with(kSuffix)) return std::nullopt;
  std::string_view number = name.substr(0, name.size() - kSuffix.size());
  if (number.front() == '+') number.remove_prefix(1);
  if (number.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : number) {
    if (c < '0' || c > '9') return std::nullopt;
    if (__builtin_mul_overflow(value, uint64_t{10}, &value) ||
        __builtin_add_overflow(value, static_cast<uint64_t>(c - '0'), &value)) {
      return std::nullopt;
    }
  }
  return value;
}

}  // namespace kavri::wal
