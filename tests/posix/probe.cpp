// A program for the end-to-end tests to start through zdrv. It writes down how it was
// started into the file that ZDRV_PROBE_REPORT names, as "key=value" entries each ended
// by a NUL byte (a value may hold any other byte: tabs, line feeds, invalid UTF-8).
//
// Environment it reads:
//   ZDRV_PROBE_REPORT    where the report goes; without it the probe does nothing
//   ZDRV_PROBE_MARK      reported as is, to show the environment was inherited
//   ZDRV_PROBE_WRITE_FD  a descriptor the probe writes one line into
//   ZDRV_PROBE_WAIT_FD   a descriptor the probe reads until end of file before it ends,
//                        after the report is written
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "write_all.h"

namespace {

using zdrv::e2e::write_all;

class Report {
 public:
  void add(const std::string& key, const std::string& value) {
    text_ += key;
    text_ += '=';
    text_ += value;
    text_ += '\0';
  }
  void add(const std::string& key, long value) { add(key, std::to_string(value)); }

  // Written beside the final name and renamed, so a reader never sees half a report.
  bool write_to(const std::string& path) const {
    const std::string partial = path + ".partial." + std::to_string(::getpid());
    const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      return false;
    }
    const bool written = write_all(fd, text_);
    return (::close(fd) == 0) && written && ::rename(partial.c_str(), path.c_str()) == 0;
  }

 private:
  std::string text_;
};

// The descriptors open in this process, in ascending order, without the one that
// reading the list itself needs. Taken first, before the probe opens anything.
std::string open_descriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) {
    return "unknown";
  }
  std::vector<long> found;
  while (const dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end != entry->d_name && *end == '\0' && fd != ::dirfd(dir)) {
      found.push_back(fd);
    }
  }
  ::closedir(dir);
  std::sort(found.begin(), found.end());
  std::string list;
  for (const long fd : found) {
    if (!list.empty()) {
      list += ',';
    }
    list += std::to_string(fd);
  }
  return list;
}

std::string policy_name(int policy) {
  switch (policy) {
    case SCHED_OTHER:
      return "SCHED_OTHER";
    case SCHED_FIFO:
      return "SCHED_FIFO";
    case SCHED_RR:
      return "SCHED_RR";
    case SCHED_BATCH:
      return "SCHED_BATCH";
    case SCHED_IDLE:
      return "SCHED_IDLE";
    default:
      return std::to_string(policy);
  }
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "<unset>";
}

int descriptor_from(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::atoi(value) : -1;
}

std::string current_directory() {
  std::string buffer(PATH_MAX, '\0');
  if (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    return "<unknown>";
  }
  return buffer.c_str();
}

std::string own_executable() {
  std::string buffer(PATH_MAX, '\0');
  const ssize_t got = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  return got < 0 ? "<unknown>" : buffer.substr(0, static_cast<std::size_t>(got));
}

void add_priority(Report& report) {
  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, 0);
  report.add("nice", errno == 0 ? std::to_string(nice) : "<unknown>");
  report.add("policy", policy_name(::sched_getscheduler(0)));
  sched_param param{};
  report.add("priority", ::sched_getparam(0, &param) == 0 ? param.sched_priority : -1);
}

void wait_for_end_of_file(int fd) {
  char byte = 0;
  ssize_t got = 0;
  do {
    got = ::read(fd, &byte, 1);
  } while (got > 0 || (got < 0 && errno == EINTR));
}

}  // namespace

int main(int argc, char** argv) {
  const char* report_path = std::getenv("ZDRV_PROBE_REPORT");
  if (report_path == nullptr) {
    return 2;
  }
  Report report;
  report.add("fds", open_descriptors());
  report.add("pid", ::getpid());
  report.add("uid", static_cast<long>(::getuid()));
  add_priority(report);
  report.add("argc", argc);
  for (int i = 0; i < argc; ++i) {
    report.add("argv" + std::to_string(i), argv[i]);
  }
  report.add("cwd", current_directory());
  report.add("exe", own_executable());
  report.add("mark", environment("ZDRV_PROBE_MARK"));

  const int write_fd = descriptor_from("ZDRV_PROBE_WRITE_FD");
  if (write_fd >= 0) {
    const bool wrote = write_all(write_fd, "written by the probe\n");
    report.add("write_fd", wrote ? "written" : "failed");
  }
  if (!report.write_to(report_path)) {
    return 3;
  }
  const int wait_fd = descriptor_from("ZDRV_PROBE_WAIT_FD");
  if (wait_fd >= 0) {
    wait_for_end_of_file(wait_fd);
  }
  return 0;
}
