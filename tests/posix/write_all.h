// Writes a whole text to a descriptor, going on after short writes and interruptions.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string>

namespace zdrv::e2e {

inline bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) {
      continue;
    }
    if (wrote <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

}  // namespace zdrv::e2e
