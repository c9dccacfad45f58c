#pragma once

// The one error type below the Python layer. It carries no message texts: the Python layer
// renders it when it raises the matching exception. Lower layers' errors are wrapped, never
// re-described.

#include <cstdint>
#include <expected>
#include <string>
#include <variant>

#include "platform/io_error.h"
#include "wal/errors.h"

namespace kavri {

namespace err {
struct Wal {
  wal::WalError error;  // never the log's cursor-too-old case: that becomes CursorTooOld
};
struct Io {
  IoError error;
};
struct BusFull {};
struct MessageTooLarge {
  uint64_t size;
  uint64_t max;
};
struct ConnectTimeout {
  std::string what;  // a topic name, or "waiting for subscribers"
};
struct TooManySubscribers {
  uint32_t max_subscribers;
};
struct AlreadyPublishing {
  std::string topic;
};
struct CursorTooOld {
  uint64_t cursor;
  uint64_t oldest;
};
}  // namespace err

using Error = std::variant<err::Wal, err::Io, err::BusFull, err::MessageTooLarge,
                           err::ConnectTimeout, err::TooManySubscribers, err::AlreadyPublishing,
                           err::CursorTooOld>;

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> io_error(IoError e) { return std::unexpected(Error(err::Io{e})); }
inline std::unexpected<Error> wal_error(wal::WalError e) {
  return std::unexpected(Error(err::Wal{std::move(e)}));
}

}  // namespace kavri
