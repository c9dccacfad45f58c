#pragma once

// Advisory whole-file locks (flock). The lock belongs to the open file description: it is
// released when the last descriptor of that description is closed or the process dies, and a
// second open of the same file, even in the same process, conflicts with it.

#include "platform/io_error.h"

namespace kavri::platform {

// An exclusive lock that does not wait (LOCK_EX | LOCK_NB). A lock held through another open
// file gives WouldBlock. Not retried on EINTR: every failure is returned as it is.
IoResult<void> try_lock_exclusive(int fd);

}  // namespace kavri::platform
