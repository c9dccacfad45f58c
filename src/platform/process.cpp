#include "platform/process.h"

#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <span>

#include "platform/file.h"

namespace kavri::platform {

std::optional<std::string> env_var(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

IoResult<void> write_stderr(std::string_view bytes) {
  return write_all(STDERR_FILENO, std::as_bytes(std::span(bytes.data(), bytes.size())));
}

}  // namespace kavri::platform
