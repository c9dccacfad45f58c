#include "platform/directory.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/file.h"

namespace kavri::platform {

IoResult<void> create_dir_all(const std::filesystem::path& dir) {
  if (auto ok = check_no_nul(dir); !ok) return ok;
  if (dir.empty()) return {};
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return {};
    return std::unexpected(IoError::from_errno(EEXIST));
  }
  std::filesystem::path parent = dir.parent_path();
  if (!parent.empty() && parent != dir) {
    if (auto ok = create_dir_all(parent); !ok) return ok;
  }
  if (::mkdir(dir.c_str(), 0777) == 0) return {};
  // Another process may have created it meanwhile.
  if (errno == EEXIST && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {};
  return last_os_error();
}

IoResult<std::vector<std::string>> list_dir(const std::filesystem::path& dir) {
  if (auto ok = check_no_nul(dir); !ok) return std::unexpected(ok.error());
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return last_os_error();
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    struct dirent* entry = ::readdir(d);
    if (entry == nullptr) {
      int saved = errno;
      ::closedir(d);
      if (saved != 0) return std::unexpected(IoError::from_errno(saved));
      return names;
    }
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names.emplace_back(entry->d_name);
  }
}

IoResult<void> path_exists(const std::filesystem::path& path) {
  if (auto ok = check_no_nul(path); !ok) return ok;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return last_os_error();
  return {};
}

IoResult<void> remove_file(const std::filesystem::path& path) {
  if (auto ok = check_no_nul(path); !ok) return ok;
  if (::unlink(path.c_str()) != 0) return last_os_error();
  return {};
}

IoResult<void> remove_empty_dir(const std::filesystem::path& dir) {
  if (auto ok = check_no_nul(dir); !ok) return ok;
  if (::rmdir(dir.c_str()) != 0) return last_os_error();
  return {};
}

IoResult<void> remove_tree(const std::filesystem::path& path) {
  if (auto ok = check_no_nul(path); !ok) return ok;
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  if (ec) return std::unexpected(IoError::from_errno(ec.value()));
  return {};
}

IoResult<void> rename_path(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (auto ok = check_no_nul(from); !ok) return ok;
  if (auto ok = check_no_nul(to); !ok) return ok;
  if (::rename(from.c_str(), to.c_str()) != 0) return last_os_error();
  return {};
}

}  // namespace kavri::platform
