// File operations for building and removing the tests' scratch trees. They work with
// directory descriptors, so a tree may hold paths longer than the system's limit.
#pragma once

#include <sys/types.h>

#include <string>

namespace zdrv::e2e {

// Creates (or replaces) `name` relative to `dir_fd` with `content` and exactly `mode`.
bool write_file_at(int dir_fd, const std::string& name, const std::string& content, mode_t mode);

// A copy of the file `from` at `to`, with exactly `mode`.
bool copy_file(const std::string& from, const std::string& to, mode_t mode);

// Removes `path` and everything below it, whatever the permissions and depth.
bool remove_tree(const std::string& path);

}  // namespace zdrv::e2e
