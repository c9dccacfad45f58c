#include "config.h"

namespace kavri {

std::optional<Backpressure> parse_backpressure(std::string_view text) {
  if (text == "error") return Backpressure::Error;
  if (text == "drop_oldest") return Backpressure::DropOldest;
  return std::nullopt;
}

std::string_view diagnostic_name(Backpressure policy) {
  switch (policy) {
    case Backpressure::Error:
      return "Error";
    case Backpressure::DropOldest:
      return "DropOldest";
  }
  return "Error";
}

}  // namespace kavri
