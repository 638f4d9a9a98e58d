// Runs a program as a child of the test with exactly the argument vector, environment,
// current directory and descriptors a test gives it, and collects what it wrote to its
// standard output and error and how it ended.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace zdrv::e2e {

struct ChildRequest {
  std::vector<std::string> argv;  // argv[0] is the file that is run, never searched for
  std::vector<std::string> env;   // "NAME=value", the whole environment
  std::string cwd;
  // The one descriptor above 2 the child keeps; every other one is closed before the
  // program runs, so the child starts with exactly 0, 1, 2 and this one.
  std::optional<int> passed_fd;
  std::string capture_dir;  // standard output and error are collected in files here
  std::chrono::milliseconds time_limit{10'000};
};

struct ChildOutcome {
  std::string harness_error;  // non-empty when the test could not run the child at all
  bool timed_out = false;     // killed at the time limit
  int exit_status = -1;       // when it exited
  int signal = 0;             // when a signal ended it
  std::string out;
  std::string err;

  // How it ended, for failure messages.
  std::string describe() const;
};

// Starts the child, waits for it up to the time limit (killing it there) and collects
// its output. Descendants it leaves behind are not waited for.
ChildOutcome run_child(const ChildRequest& request);

// The whole content of a file; nothing when it cannot be read.
std::optional<std::string> read_file(const std::string& path);

}  // namespace zdrv::e2e
