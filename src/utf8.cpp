#include "utf8.h"

#include <cstddef>
#include <cstdint>

namespace kavri {

namespace {

// Length of the well-formed sequence starting at `i`, or, when it is ill-formed, the negated
// length of its maximal subpart (at least 1), so that a replacement covers exactly that much.
ptrdiff_t sequence_at(std::string_view s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t b0 = byte(i);
  if (b0 < 0x80) return 1;
  size_t len;
  uint8_t lo = 0x80, hi = 0xBF;  // the allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return -1;
  }
  for (size_t k = 1; k < len; ++k) {
    if (i + k >= s.size()) return -static_cast<ptrdiff_t>(k);
    uint8_t b = byte(i + k);
    uint8_t l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (b < l || b > h) return -static_cast<ptrdiff_t>(k);
  }
  return static_cast<ptrdiff_t>(len);
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    ptrdiff_t n = sequence_at(bytes, i);
    if (n < 0) return false;
    i += static_cast<size_t>(n);
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    ptrdiff_t n = sequence_at(bytes, i);
    if (n > 0) {
      out.append(bytes.substr(i, static_cast<size_t>(n)));
      i += static_cast<size_t>(n);
    } else {
      out.append("\xEF\xBF\xBD");
      i += static_cast<size_t>(-n);
    }
  }
  return out;
}

}  // namespace kavri
