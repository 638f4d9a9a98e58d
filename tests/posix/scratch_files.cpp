#include "scratch_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "child_process.h"
#include "owned_fd.h"
#include "write_all.h"

namespace zdrv::e2e {
namespace {

std::vector<std::string> entries_of(int dir_fd) {
  std::vector<std::string> names;
  DIR* dir = ::fdopendir(::dup(dir_fd));
  if (dir == nullptr) {
    return names;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") {
      names.push_back(name);
    }
  }
  ::closedir(dir);
  return names;
}

bool remove_entry_at(int dir_fd, const std::string& name) {
  struct stat info {};
  if (::fstatat(dir_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return false;
  }
  if (S_ISDIR(info.st_mode)) {
    // A test may have taken every permission away from a directory.
    ::fchmodat(dir_fd, name.c_str(), 0700, 0);
    const OwnedFd sub(
        ::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    bool removed = sub.get() >= 0;
    for (const auto& entry : entries_of(sub.get())) {
      removed = remove_entry_at(sub.get(), entry) && removed;
    }
    return ::unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR) == 0 && removed;
  }
  return ::unlinkat(dir_fd, name.c_str(), 0) == 0;
}

}  // namespace

bool write_file_at(int dir_fd, const std::string& name, const std::string& content, mode_t mode) {
  ::unlinkat(dir_fd, name.c_str(), 0);
  const OwnedFd fd(::openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  return fd.get() >= 0 && write_all(fd.get(), content) && ::fchmod(fd.get(), mode) == 0;
}

bool copy_file(const std::string& from, const std::string& to, mode_t mode) {
  const auto content = read_file(from);
  return content.has_value() && write_file_at(AT_FDCWD, to, *content, mode);
}

bool remove_tree(const std::string& path) { return remove_entry_at(AT_FDCWD, path); }

}  // namespace zdrv::e2e
