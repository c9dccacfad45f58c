#pragma once

// Directories and names: create, list, stat, rename and remove.

#include <filesystem>
#include <string>
#include <vector>

#include "platform/io_error.h"

namespace kavri::platform {

// mkdir -p with mode 0777 (less the umask); an existing directory is fine.
IoResult<void> create_dir_all(const std::filesystem::path& dir);

// The entry names of `dir` (without "." and ".."), in the file system's listing order.
IoResult<std::vector<std::string>> list_dir(const std::filesystem::path& dir);

// stat(2), following symbolic links: success when the path exists.
IoResult<void> path_exists(const std::filesystem::path& path);

IoResult<void> remove_file(const std::filesystem::path& path);
// rmdir(2): only an empty directory.
IoResult<void> remove_empty_dir(const std::filesystem::path& dir);
// Removes `path` and everything below it.
IoResult<void> remove_tree(const std::filesystem::path& path);

// rename(2): atomically replaces `to`.
IoResult<void> rename_path(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace kavri::platform
