#include "platform/flock.h"

#include <sys/file.h>

namespace kavri::platform {

IoResult<void> try_lock_exclusive(int fd) {
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return last_os_error();
  return {};
}

}  // namespace kavri::platform
