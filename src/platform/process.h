#pragma once

// The process's environment and its standard-error stream.

#include <optional>
#include <string>
#include <string_view>

#include "platform/io_error.h"

namespace kavri::platform {

// A copy of the environment variable's bytes, nullopt when it is not set. Not safe against
// a concurrent setenv/unsetenv in another thread (no lookup of the C library is).
std::optional<std::string> env_var(const char* name);

// Writes all of `bytes` to descriptor 2, continuing after partial writes and interrupted
// calls. Callers that need whole lines unbroken by other writers serialise around it.
IoResult<void> write_stderr(std::string_view bytes);

}  // namespace kavri::platform
