#pragma once

// UTF-8 decoding as the log's filter and line formatter need it: strict (no overlong forms,
// no surrogates, nothing above U+10FFFF).

#include <cstddef>
#include <string>
#include <string_view>

namespace kavri::utf8 {

struct Decoded {
  char32_t code_point;  // U+FFFD when !valid
  size_t length;        // bytes consumed, at least 1; for an invalid sequence, its maximal
                        // prefix that could have begun a valid one
  bool valid;
};

// Decodes the sequence at the start of `bytes`, which must not be empty.
Decoded decode_first(std::string_view bytes);

bool is_valid(std::string_view bytes);

}  // namespace kavri::utf8

namespace kavri {

// The same check, for names read from the file system.
inline bool is_valid_utf8(std::string_view bytes) { return utf8::is_valid(bytes); }

// `bytes` with every maximal ill-formed subsequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace kavri
