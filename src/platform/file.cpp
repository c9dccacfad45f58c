#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace kavri {

void Fd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

}  // namespace kavri

namespace kavri::platform {

namespace {

std::atomic<FullSyncHook> g_full_sync_hook{nullptr};

IoResult<void> plain_full_sync(int fd) {
  for (;;) {
#ifdef __APPLE__
    int rc = ::fcntl(fd, F_FULLFSYNC);
#else
    int rc = ::fsync(fd);
#endif
    if (rc == 0) return {};
    if (errno != EINTR) return last_os_error();
  }
}

}  // namespace

IoResult<void> check_no_nul(const std::filesystem::path& path) {
  if (path.native().find('\0') != std::string::npos) {
    return std::unexpected(
        IoError::fixed(IoErrorKind::InvalidInput, "file name contained an unexpected NUL byte"));
  }
  return {};
}

IoResult<Fd> open_file(const std::filesystem::path& path, const OpenOptions& options) {
  if (auto ok = check_no_nul(path); !ok) return std::unexpected(ok.error());
  int flags = O_CLOEXEC;
  switch (options.mode) {
    case OpenMode::ReadOnly:
      flags |= O_RDONLY;
      break;
    case OpenMode::ReadWrite:
      flags |= O_RDWR;
      break;
    case OpenMode::WriteOnly:
      flags |= O_WRONLY;
      break;
  }
  if (options.create) flags |= O_CREAT;
  if (options.exclusive) flags |= O_CREAT | O_EXCL;
  if (options.truncate) flags |= O_TRUNC;
  for (;;) {
    int fd = ::open(path.c_str(), flags, options.permissions);
    if (fd >= 0) return Fd(fd);
    if (errno != EINTR) return last_os_error();
  }
}

IoResult<size_t> read_some(int fd, std::span<std::byte> buf) {
  for (;;) {
    ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return last_os_error();
  }
}

IoResult<size_t> write_some(int fd, std::span<const std::byte> buf) {
  for (;;) {
    ssize_t n = ::write(fd, buf.data(), buf.size());
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return last_os_error();
  }
}

IoResult<void> write_all(int fd, std::span<const std::byte> buf) {
  while (!buf.empty()) {
    auto n = write_some(fd, buf);
    if (!n) return std::unexpected(n.error());
    if (*n == 0) {
      return std::unexpected(
          IoError::fixed(IoErrorKind::WriteZero, "failed to write whole buffer"));
    }
    buf = buf.subspan(*n);
  }
  return {};
}

IoResult<void> write_all_at(int fd, uint64_t offset, std::span<const std::byte> buf) {
  while (!buf.empty()) {
    ssize_t n = ::pwrite(fd, buf.data(), buf.size(), static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    if (n == 0) {
      return std::unexpected(
          IoError::fixed(IoErrorKind::WriteZero, "failed to write whole buffer"));
    }
    buf = buf.subspan(static_cast<size_t>(n));
    offset += static_cast<uint64_t>(n);
  }
  return {};
}

IoResult<size_t> read_at(int fd, uint64_t offset, std::span<std::byte> buf) {
  size_t done = 0;
  while (done < buf.size()) {
    ssize_t n =
        ::pread(fd, buf.data() + done, buf.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return last_os_error();
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

IoResult<uint64_t> file_size(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return last_os_error();
  return static_cast<uint64_t>(st.st_size);
}

IoResult<uint64_t> path_file_size(const std::filesystem::path& path) {
  if (auto ok = check_no_nul(path); !ok) return std::unexpected(ok.error());
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return last_os_error();
  return static_cast<uint64_t>(st.st_size);
}

IoResult<void> set_len(int fd, uint64_t len) {
  for (;;) {
    if (::ftruncate(fd, static_cast<off_t>(len)) == 0) return {};
    if (errno != EINTR) return last_os_error();
  }
}

IoResult<void> allocate(int fd, uint64_t len) {
  if (auto ok = set_len(fd, len); !ok) return ok;
  if (len == 0) return {};
#ifdef __APPLE__
  return {};
#else
  int rc;
  do {
    rc = ::posix_fallocate(fd, 0, static_cast<off_t>(len));
  } while (rc == EINTR);
  // A file system without block allocation (EOPNOTSUPP) keeps the sparse file.
  if (rc == 0 || rc == EOPNOTSUPP) return {};
  return std::unexpected(IoError::from_errno(rc));
#endif
}

IoResult<void> full_sync(int fd) {
  if (FullSyncHook hook = g_full_sync_hook.load(std::memory_order_acquire)) return hook(fd);
  return plain_full_sync(fd);
}

void set_full_sync_hook_for_testing(FullSyncHook hook) {
  g_full_sync_hook.store(hook, std::memory_order_release);
}

IoResult<void> sync_directory(const std::filesystem::path& dir) {
  auto fd = open_file(dir, {.mode = OpenMode::ReadOnly});
  if (!fd) return std::unexpected(fd.error());
  return full_sync(fd->get());
}

IoResult<Fd> duplicate_cloexec(int fd, int min_fd) {
  int dup = ::fcntl(fd, F_DUPFD_CLOEXEC, min_fd);
  if (dup < 0) return last_os_error();
  return Fd(dup);
}

}  // namespace kavri::platform
