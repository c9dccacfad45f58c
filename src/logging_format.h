#pragma once

// The text of one log line:
//   2025-01-31T12:00:00.123456Z  INFO kavri::publisher: publisher created topic="orders" n=1
// UTC time with microseconds, the level right-aligned in five characters, the target, the
// message and each field as " name=value", then a newline.
//
// Text fields are double-quoted with \" \\ \n \r \t and \u{hex} for every other control
// character. In the message and in Display values only the terminal controls ESC, BEL, BS,
// FF and DEL (as \x1b \x07 \x08 \x0c \x7f) and U+0080..U+009F (as \u{80}..\u{9f}) are
// escaped; tab and newline pass unchanged. Bytes that are not UTF-8 become U+FFFD.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "logging.h"

namespace kavri::logging {

// Appends the whole line, newline included, for an event at `unix_ns` nanoseconds after the
// Unix epoch.
void format_line(std::string& out, uint64_t unix_ns, Level level, std::string_view target,
                 std::string_view message, std::span<const Field> fields);

}  // namespace kavri::logging
