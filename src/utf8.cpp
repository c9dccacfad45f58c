#include "utf8.h"

#include <cstdint>

namespace kavri::utf8 {

Decoded decode_first(std::string_view bytes) {
  const auto at = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
  const uint8_t lead = at(0);
  if (lead < 0x80) return {lead, 1, true};
  size_t need;
  char32_t cp;
  // The range of the first continuation byte excludes overlong forms (E0, F0), surrogates
  // (ED) and code points above U+10FFFF (F4) without a check on the decoded value.
  uint8_t lo = 0x80, hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return {U'\uFFFD', 1, false};
  }
  for (size_t i = 1; i <= need; ++i) {
    if (i >= bytes.size()) return {U'\uFFFD', i, false};
    const uint8_t b = at(i);
    if (b < lo || b > hi) return {U'\uFFFD', i, false};
    lo = 0x80;
    hi = 0xBF;
    cp = (cp << 6) | (b & 0x3F);
  }
  return {cp, need + 1, true};
}

bool is_valid(std::string_view bytes) {
  while (!bytes.empty()) {
    const Decoded d = decode_first(bytes);
    if (!d.valid) return false;
    bytes.remove_prefix(d.length);
  }
  return true;
}

}  // namespace kavri::utf8

namespace kavri {

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const utf8::Decoded d = utf8::decode_first(bytes);
    if (d.valid) {
      out.append(bytes.substr(0, d.length));
    } else {
      out.append("\xEF\xBF\xBD");
    }
    bytes.remove_prefix(d.length);
  }
  return out;
}

}  // namespace kavri
