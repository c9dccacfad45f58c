#pragma once

// Files: every call retries EINTR where the callers need it and reports failures as IoError.
// Paths holding a NUL byte are refused with "file name contained an unexpected NUL byte".

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>

#include "platform/fd.h"
#include "platform/io_error.h"

namespace kavri::platform {

enum class OpenMode : uint8_t {
  ReadOnly,
  ReadWrite,
  WriteOnly,
};

struct OpenOptions {
  OpenMode mode = OpenMode::ReadOnly;
  bool create = false;     // O_CREAT with `permissions` (less the umask)
  bool exclusive = false;  // O_EXCL: fail when anything exists at the path
  bool truncate = false;   // O_TRUNC
  mode_t permissions = 0666;
};

// Every descriptor is opened close-on-exec. Interrupted opens are retried.
IoResult<Fd> open_file(const std::filesystem::path& path, const OpenOptions& options);

// NUL check shared by every path-taking call.
IoResult<void> check_no_nul(const std::filesystem::path& path);

// One read/write call, retried while interrupted. read_some returns 0 at end of file.
IoResult<size_t> read_some(int fd, std::span<std::byte> buf);
IoResult<size_t> write_some(int fd, std::span<const std::byte> buf);
// Writes everything, continuing after partial writes; a write of 0 bytes is WriteZero.
IoResult<void> write_all(int fd, std::span<const std::byte> buf);
// pwrite of all of buf at `offset`, continuing after partial writes and interruptions; the
// descriptor's file position is neither used nor moved. A write of 0 bytes is WriteZero.
IoResult<void> write_all_at(int fd, uint64_t offset, std::span<const std::byte> buf);
// pread into buf until full or end of file; returns the bytes read.
IoResult<size_t> read_at(int fd, uint64_t offset, std::span<std::byte> buf);

IoResult<uint64_t> file_size(int fd);
IoResult<uint64_t> path_file_size(const std::filesystem::path& path);

// ftruncate, retried while interrupted.
IoResult<void> set_len(int fd, uint64_t len);
// Reserves the blocks of [0, len) so later stores into a mapping cannot fault for want of
// space. Falls back to set_len where the file system cannot allocate.
IoResult<void> allocate(int fd, uint64_t len);

// The strongest sync the platform has (F_FULLFSYNC on macOS, fsync elsewhere), retried
// while interrupted. Goes through the hook below when a test installed one.
IoResult<void> full_sync(int fd);
// Syncs a directory so that the names created or removed in it are durable.
IoResult<void> sync_directory(const std::filesystem::path& dir);

// A test seam: replaces the body of full_sync for every thread until reset with nullptr.
using FullSyncHook = IoResult<void> (*)(int fd);
void set_full_sync_hook_for_testing(FullSyncHook hook);

// dup with close-on-exec, the lowest free number at or above `min_fd`.
IoResult<Fd> duplicate_cloexec(int fd, int min_fd = 3);

}  // namespace kavri::platform
