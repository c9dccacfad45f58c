#pragma once

// UTF-8 checks for names read from the file system.

#include <string>
#include <string_view>

namespace kavri {

// True when `bytes` is well-formed UTF-8 (no overlong forms, surrogates or values above
// U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// `bytes` with every maximal ill-formed subsequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace kavri
