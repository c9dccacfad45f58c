#include "logging_format.h"

#include <fmt/format.h>

#include <iterator>

#include "utf8.h"

namespace kavri::logging {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

void append_u_escape(std::string& out, char32_t cp) {
  fmt::format_to(std::back_inserter(out), "\\u{{{:x}}}", static_cast<uint32_t>(cp));
}

// Calls `escape(out, cp)` for each code point; when it returns false the code point's own
// bytes are copied. Invalid sequences become U+FFFD.
template <class Escape>
void append_escaped(std::string& out, std::string_view s, Escape escape) {
  while (!s.empty()) {
    const utf8::Decoded d = utf8::decode_first(s);
    if (!d.valid) {
      out += kReplacement;
    } else if (!escape(out, d.code_point)) {
      out.append(s.data(), d.length);
    }
    s.remove_prefix(d.length);
  }
}

bool escape_terminal_control(std::string& out, char32_t cp) {
  switch (cp) {
    case 0x1B:
    case 0x07:
    case 0x08:
    case 0x0C:
    case 0x7F:
      fmt::format_to(std::back_inserter(out), "\\x{:02x}", static_cast<uint32_t>(cp));
      return true;
    default:
      if (cp >= 0x80 && cp <= 0x9F) {
        append_u_escape(out, cp);
        return true;
      }
      return false;
  }
}

bool escape_quoted(std::string& out, char32_t cp) {
  switch (cp) {
    case '"':
      out += "\\\"";
      return true;
    case '\\':
      out += "\\\\";
      return true;
    case '\n':
      out += "\\n";
      return true;
    case '\r':
      out += "\\r";
      return true;
    case '\t':
      out += "\\t";
      return true;
    default:
      if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
        append_u_escape(out, cp);
        return true;
      }
      return false;
  }
}

std::string_view padded_level(Level level) {
  switch (level) {
    case Level::Error:
      return "ERROR";
    case Level::Warn:
      return " WARN";
    case Level::Info:
      return " INFO";
    case Level::Debug:
      return "DEBUG";
    case Level::Trace:
      return "TRACE";
  }
  return "?????";
}

// Proleptic Gregorian date of a day number counted from 1970-01-01 (H. Hinnant's
// civil_from_days); exact for every day a u64 of nanoseconds can reach.
void append_timestamp(std::string& out, uint64_t unix_ns) {
  const uint64_t secs = unix_ns / 1'000'000'000;
  const uint64_t micros = unix_ns % 1'000'000'000 / 1000;
  const uint64_t day_secs = secs % 86400;
  const int64_t z = static_cast<int64_t>(secs / 86400) + 719468;
  const int64_t era = z / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  fmt::format_to(std::back_inserter(out), "{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:06}Z", year, month,
                 day, day_secs / 3600, day_secs / 60 % 60, day_secs % 60, micros);
}

}  // namespace

void format_line(std::string& out, uint64_t unix_ns, Level level, std::string_view target,
                 std::string_view message, std::span<const Field> fields) {
  append_timestamp(out, unix_ns);
  out += ' ';
  out += padded_level(level);
  out += ' ';
  out += target;
  out += ": ";
  append_escaped(out, message, escape_terminal_control);
  for (const Field& f : fields) {
    out += ' ';
    out += f.name;
    out += '=';
    switch (f.kind) {
      case Field::Kind::Text:
        out += '"';
        append_escaped(out, f.text, escape_quoted);
        out += '"';
        break;
      case Field::Kind::Unsigned:
        fmt::format_to(std::back_inserter(out), "{}", f.number);
        break;
      case Field::Kind::Bool:
        out += f.flag ? "true" : "false";
        break;
      case Field::Kind::Display:
        append_escaped(out, f.text, escape_terminal_control);
        break;
    }
  }
  out += '\n';
}

}  // namespace kavri::logging
