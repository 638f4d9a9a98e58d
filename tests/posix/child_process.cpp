#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "owned_fd.h"

namespace zdrv::e2e {
namespace {

std::vector<char*> null_terminated(const std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (const auto& text : strings) {
    pointers.push_back(const_cast<char*>(text.c_str()));
  }
  pointers.push_back(nullptr);
  return pointers;
}

void close_all_above_stderr_except(std::optional<int> kept) {
  if (!kept) {
    ::close_range(3, ~0U, 0);
    return;
  }
  const auto keep = static_cast<unsigned>(*kept);
  if (keep > 3) {
    ::close_range(3, keep - 1, 0);
  }
  ::close_range(keep + 1, ~0U, 0);
}

// In the forked child: only async-signal-safe calls until the program runs.
[[noreturn]] void become_program(const ChildRequest& request, char* const* argv, char* const* envp,
                                 int in_fd, int out_fd, int err_fd) {
  if (::dup2(in_fd, 0) < 0 || ::dup2(out_fd, 1) < 0 || ::dup2(err_fd, 2) < 0 ||
      ::chdir(request.cwd.c_str()) != 0) {
    ::_exit(125);
  }
  close_all_above_stderr_except(request.passed_fd);
  ::execve(argv[0], argv, envp);
  ::_exit(127);
}

// Waits for `pid` to end; false when it did not end within `limit`.
bool wait_within(pid_t pid, std::chrono::milliseconds limit, int& status) {
  const OwnedFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (pidfd.get() >= 0) {
    pollfd ready{pidfd.get(), POLLIN, 0};
    int polled = 0;
    do {
      polled = ::poll(&ready, 1, static_cast<int>(limit.count()));
    } while (polled < 0 && errno == EINTR);
    if (polled == 0) {
      return false;
    }
  }
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string ChildOutcome::describe() const {
  std::ostringstream text;
  if (!harness_error.empty()) {
    text << "could not run: " << harness_error;
  } else if (timed_out) {
    text << "still running at the time limit, killed";
  } else if (signal != 0) {
    text << "ended by signal " << signal << " (" << ::strsignal(signal) << ")";
  } else {
    text << "exited with status " << exit_status;
  }
  return text.str();
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

ChildOutcome run_child(const ChildRequest& request) {
  ChildOutcome outcome;
  const std::string out_path = request.capture_dir + "/stdout";
  const std::string err_path = request.capture_dir + "/stderr";
  constexpr int kCaptureFlags = O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC;
  const OwnedFd in_fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  const OwnedFd out_fd(::open(out_path.c_str(), kCaptureFlags, 0600));
  const OwnedFd err_fd(::open(err_path.c_str(), kCaptureFlags, 0600));
  if (request.argv.empty() || in_fd.get() < 0 || out_fd.get() < 0 || err_fd.get() < 0) {
    outcome.harness_error = "no program, or the capture files could not be opened";
    return outcome;
  }
  const auto argv = null_terminated(request.argv);
  const auto envp = null_terminated(request.env);

  const pid_t pid = ::fork();
  if (pid < 0) {
    outcome.harness_error = std::string("fork: ") + std::strerror(errno);
    return outcome;
  }
  if (pid == 0) {
    become_program(request, argv.data(), envp.data(), in_fd.get(), out_fd.get(), err_fd.get());
  }
  int status = 0;
  if (!wait_within(pid, request.time_limit, status)) {
    outcome.timed_out = true;
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  } else if (WIFEXITED(status)) {
    outcome.exit_status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    outcome.signal = WTERMSIG(status);
  }
  outcome.out = read_file(out_path).value_or("<unreadable>");
  outcome.err = read_file(err_path).value_or("<unreadable>");
  return outcome;
}

}  // namespace zdrv::e2e
