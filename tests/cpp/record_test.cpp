#include "wal/record.h"

#include <gtest/gtest.h>

#include <limits>

#include "utf8.h"
#include "wal_test_util.h"

namespace kavri::wal {
namespace {

using testing_util::Bytes;
using testing_util::bytes_of;

Bytes hex(std::initializer_list<int> v) {
  Bytes b;
  for (int x : v) b.push_back(static_cast<std::byte>(x));
  return b;
}

TEST(RecordTest, Crc32cHasTheStandardCheckValue) {
  EXPECT_EQ(crc32c(bytes_of("123456789")), 0xE3069283u);
}

TEST(RecordTest, EncodesTheReferenceRecordsByteForByte) {
  Bytes empty = hex({0x1C, 0, 0, 0});
  empty.resize(24, std::byte{0});
  for (int x : {0x3E, 0x56, 0xC5, 0xBC}) empty.push_back(static_cast<std::byte>(x));
  const Bytes abc = hex({0x1F, 0, 0, 0, 1, 0, 0, 0, 0,    0,    0,    0,    2,    0,    0,   0,
                         0,    0, 0, 0, 3, 0, 0, 0, 0x61, 0x62, 0x63, 0x4A, 0x5A, 0xE7, 0x13});
  struct Case {
    uint64_t cursor, timestamp_ns;
    Bytes payload, want;
  } cases[] = {{0, 0, {}, empty}, {1, 2, bytes_of("abc"), abc}};
  for (const Case& c : cases) {
    Bytes buf;
    encode_record_into(buf, c.cursor, c.timestamp_ns, c.payload);
    EXPECT_EQ(buf, c.want);
  }
}

TEST(RecordTest, EncodeAppendsBehindExistingBytes) {
  Bytes buf = bytes_of("xy");
  encode_record_into(buf, 1, 2, bytes_of("abc"));
  ASSERT_EQ(buf.size(), 2 + 31u);
  EXPECT_EQ(buf[0], std::byte{'x'});
  EXPECT_EQ(buf[2], std::byte{0x1F});
}

TEST(RecordTest, LargestPayloadFillsTheLargestRecord) {
  Bytes payload(MAX_PAYLOAD_LEN);
  Bytes buf;
  encode_record_into(buf, 0, 0, payload);
  ASSERT_EQ(buf.size(), MAX_RECORD_LEN);
  EXPECT_EQ(buf[0], std::byte{0x00});
  EXPECT_EQ(buf[3], std::byte{0x01});  // 0x01000000 little-endian
}

TEST(RecordTest, SegmentNamesAreTwentyDigits) {
  EXPECT_EQ(segment_file_name(1234), "00000000000000001234.seg");
  EXPECT_EQ(segment_file_name(0), "00000000000000000000.seg");
  EXPECT_EQ(segment_file_name(std::numeric_limits<uint64_t>::max()), "18446744073709551615.seg");
}

TEST(RecordTest, RecognitionRuleAcceptsAndIgnoresNames) {
  struct Case {
    std::string name;
    std::optional<uint64_t> key;
  } cases[] = {
      {"7.seg", 7},
      {"0007.seg", 7},
      {"+7.seg", 7},
      {"00000000000000001234.seg", 1234},
      {"18446744073709551615.seg", std::numeric_limits<uint64_t>::max()},
      {"000000000000000000000000018446744073709551615.seg", std::numeric_limits<uint64_t>::max()},
      {"-7.seg", std::nullopt},
      {"+.seg", std::nullopt},
      {".seg", std::nullopt},
      {"++7.seg", std::nullopt},
      {"7.SEG", std::nullopt},
      {"7.seg.tmp", std::nullopt},
      {"5.seg.partial", std::nullopt},
      {"0x7.seg", std::nullopt},
      {" 7.seg", std::nullopt},
      {"7 .seg", std::nullopt},
      {"18446744073709551616.seg", std::nullopt},
      {"notes.txt", std::nullopt},
      {"\xff"
       "7.seg",
       std::nullopt},
      {"7\xc3.seg", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_segment_file_name(c.name), c.key) << c.name;
}

TEST(Utf8Test, IllFormedSubsequencesBecomeOneReplacementEach) {
  struct Case {
    std::string in, want;
  } cases[] = {
      {"plain/path", "plain/path"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},
      {"a\xffz", "a\xEF\xBF\xBDz"},
      {"a\xe2\x82z", "a\xEF\xBF\xBDz"},                          // truncated 3-byte sequence
      {"\xed\xa0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate
      {"\xc0\xaf", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // an overlong form
  };
  for (const Case& c : cases) {
    EXPECT_EQ(utf8_lossy(c.in), c.want);
    EXPECT_EQ(is_valid_utf8(c.in), c.in == c.want);
  }
}

}  // namespace
}  // namespace kavri::wal
