#pragma once

// The logger's per-target level filter and the text it is parsed from.
//
// Syntax: comma-separated entries, each either a bare level (the default for every target)
// or a target path with an optional "=level". Level names are trace, debug, info, warn,
// error and off, in any case; a target without a level enables every level for it. A target
// path applies to every target whose text begins with it ("kavri::pub" covers
// "kavri::publisher"), and the directive with the longest matching path decides; a target
// that no directive covers is off.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "logging.h"

namespace kavri::logging {

struct Directive {
  std::string target;  // empty for a bare level
  uint8_t max_level;   // 0 for off, else the number of the most verbose Level let through
};

// Immutable once parsed; safe to read from any number of threads.
class Filter {
 public:
  // Strict: nullopt when any entry is malformed, when the text is not valid UTF-8, or when it
  // holds no entry at all. See the .cpp for what counts as malformed.
  static std::optional<Filter> parse(std::string_view text);

  bool enabled(Level level, std::string_view target) const;

  // The most verbose level that any directive lets through; 0 when every one is off.
  uint8_t max_level() const { return max_level_; }

  // Longest target first; no two with the same target.
  const std::vector<Directive>& directives() const { return directives_; }

 private:
  explicit Filter(std::vector<Directive> directives);

  std::vector<Directive> directives_;
  uint8_t max_level_ = 0;
};

}  // namespace kavri::logging
