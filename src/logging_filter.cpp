#include "logging_filter.h"

#include <algorithm>
#include <array>
#include <utility>

#include "utf8.h"

namespace kavri::logging {

namespace {

// What the parser accepts and rejects, entry by entry:
// - Empty entries (",,", a leading or trailing comma) are skipped, but a text without a
//   single entry is rejected, so that an empty RUST_LOG defers to the argument instead of
//   silently switching every event off.
// - Whitespace is never trimmed: " info" or "kavri = debug" is malformed and rejects the
//   whole text, as every other stray character does. A target path consists of ASCII
//   letters, digits, "_", ":" and "-" and of non-ASCII characters.
// - "=" appears at most once, with a target before it and a level name after it: "=info",
//   "kavri=" and "a=b=info" are malformed.
// - Only the six level names are levels: numeric levels ("kavri=3", or "3" alone, which
//   must not pass for a target) and span or field selectors ("[...]", "{...}") are
//   malformed, since this system raises its events outside any span.
// - A later directive for the same target replaces an earlier one, bare levels included.

constexpr uint8_t kOff = 0;

std::optional<uint8_t> parse_level(std::string_view text) {
  static constexpr std::array<std::pair<std::string_view, uint8_t>, 6> kNames = {{
      {"off", kOff},
      {"error", static_cast<uint8_t>(Level::Error)},
      {"warn", static_cast<uint8_t>(Level::Warn)},
      {"info", static_cast<uint8_t>(Level::Info)},
      {"debug", static_cast<uint8_t>(Level::Debug)},
      {"trace", static_cast<uint8_t>(Level::Trace)},
  }};
  for (const auto& [name, value] : kNames) {
    if (text.size() != name.size()) continue;
    const bool same = std::equal(text.begin(), text.end(), name.begin(), [](char a, char b) {
      return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b;
    });
    if (same) return value;
  }
  return std::nullopt;
}

bool is_target_byte(char c) {
  const auto b = static_cast<unsigned char>(c);
  return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '_' ||
         b == ':' || b == '-' || b >= 0x80;
}

std::optional<Directive> parse_directive(std::string_view entry) {
  if (auto level = parse_level(entry)) return Directive{std::string(), *level};
  const size_t eq = entry.find('=');
  const std::string_view target = entry.substr(0, eq);
  if (target.empty() || !std::all_of(target.begin(), target.end(), is_target_byte)) {
    return std::nullopt;
  }
  const bool all_digits =
      std::all_of(target.begin(), target.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (eq == std::string_view::npos && all_digits) return std::nullopt;
  if (eq == std::string_view::npos) {
    return Directive{std::string(target), static_cast<uint8_t>(Level::Trace)};
  }
  auto level = parse_level(entry.substr(eq + 1));
  if (!level) return std::nullopt;
  return Directive{std::string(target), *level};
}

}  // namespace

Filter::Filter(std::vector<Directive> directives) : directives_(std::move(directives)) {
  // Stable, so that equal lengths keep their order; matching stops at the first hit, which
  // is then the longest matching target.
  std::stable_sort(
      directives_.begin(), directives_.end(),
      [](const Directive& a, const Directive& b) { return a.target.size() > b.target.size(); });
  for (const Directive& d : directives_) max_level_ = std::max(max_level_, d.max_level);
}

std::optional<Filter> Filter::parse(std::string_view text) {
  if (!utf8::is_valid(text)) return std::nullopt;
  std::vector<Directive> directives;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    const std::string_view entry = text.substr(start, comma - start);
    start = comma + 1;
    if (entry.empty()) continue;
    auto directive = parse_directive(entry);
    if (!directive) return std::nullopt;
    auto same = std::find_if(directives.begin(), directives.end(),
                             [&](const Directive& d) { return d.target == directive->target; });
    if (same != directives.end()) {
      *same = std::move(*directive);
    } else {
      directives.push_back(std::move(*directive));
    }
  }
  if (directives.empty()) return std::nullopt;
  return Filter(std::move(directives));
}

bool Filter::enabled(Level level, std::string_view target) const {
  for (const Directive& d : directives_) {
    if (target.starts_with(d.target)) return static_cast<uint8_t>(level) <= d.max_level;
  }
  return false;
}

}  // namespace kavri::logging
