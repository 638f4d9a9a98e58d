#include "launcher_fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "owned_fd.h"
#include "scratch_files.h"

namespace zdrv::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kWaitLimit = 10s;
constexpr auto kPollInterval = 2ms;

constexpr char kSetpriv[] = "/usr/bin/setpriv";

constexpr char kDecoyScript[] =
    "#!/bin/sh\n"
    "echo \"decoy $0 ran\" >> \"$ZDRV_DECOY_LOG\"\n";

std::string make_scratch_root() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/zdrv-e2e-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    return {};
  }
  return pattern;
}

bool make_directory(const std::string& path, mode_t mode) {
  return ::mkdir(path.c_str(), mode) == 0 && ::chmod(path.c_str(), mode) == 0;
}

}  // namespace

void LauncherTest::SetUp() {
  // Programs zdrv starts outlive it; as their reaper the test can wait for them.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0) << std::strerror(errno);
  root_ = make_scratch_root();
  ASSERT_FALSE(root_.empty()) << "no scratch directory: " << std::strerror(errno);
  work_ = root_ + "/work";
  bin_ = root_ + "/bin";
  out_ = root_ + "/out";
  capture_ = root_ + "/capture";
  const std::string launcher_dir = root_ + "/launcher";
  launcher_ = launcher_dir + "/zdrv";
  // Every user can reach the tree and the launcher; only `out` is writable by all.
  ASSERT_EQ(::chmod(root_.c_str(), 0755), 0);
  ASSERT_TRUE(make_directory(work_, 0755));
  ASSERT_TRUE(make_directory(bin_, 0755));
  ASSERT_TRUE(make_directory(out_, 01777));
  ASSERT_TRUE(make_directory(capture_, 0700));
  ASSERT_TRUE(make_directory(launcher_dir, 0755));
  ASSERT_TRUE(copy_file(ZDRV_LAUNCHER, launcher_, 0755)) << "cannot copy " << ZDRV_LAUNCHER;
}

void LauncherTest::TearDown() {
  reap_children();
  const auto decoys = read_file(decoy_log());
  EXPECT_FALSE(decoys.has_value()) << "a decoy was started:\n" << decoys.value_or("");
  if (!root_.empty()) {
    EXPECT_TRUE(remove_tree(root_)) << "could not remove " << root_;
  }
}

ChildOutcome LauncherTest::launch(const std::vector<std::string>& args,
                                  const LaunchOptions& options) {
  ChildRequest request;
  if (options.as_nobody) {
    request.argv = {kSetpriv, "--reuid=65534", "--regid=65534", "--clear-groups"};
  }
  request.argv.insert(request.argv.end(), options.run_through.begin(), options.run_through.end());
  request.argv.push_back(launcher_);
  request.argv.insert(request.argv.end(), args.begin(), args.end());
  request.env = {"PATH=" + bin_, "ZDRV_PROBE_REPORT=" + report_path(),
                 std::string("ZDRV_PROBE_MARK=") + kProbeMark, "ZDRV_DECOY_LOG=" + decoy_log()};
  request.env.insert(request.env.end(), options.extra_env.begin(), options.extra_env.end());
  request.cwd = options.cwd.value_or(work_);
  request.passed_fd = options.passed_fd;
  request.capture_dir = capture_;
  ChildOutcome outcome = run_child(request);
  EXPECT_TRUE(outcome.harness_error.empty()) << outcome.harness_error;
  EXPECT_FALSE(outcome.timed_out) << "zdrv did not return";
  EXPECT_EQ(outcome.signal, 0) << outcome.describe() << "\nstderr:\n" << outcome.err;
  EXPECT_EQ(outcome.out, "") << "zdrv writes nothing to standard output";
  return outcome;
}

void LauncherTest::install_probe(const std::string& path, mode_t mode) {
  ASSERT_TRUE(copy_file(ZDRV_PROBE, path, mode)) << "cannot install the probe at " << path;
}

void LauncherTest::plant_decoy(const std::string& path) {
  ASSERT_TRUE(write_file_at(AT_FDCWD, path, kDecoyScript, 0755)) << "cannot plant " << path;
}

void LauncherTest::plant_decoys_named(const std::string& name) {
  plant_decoy(bin_ + "/" + name);
  plant_decoy(fs::path(launcher_).parent_path().string() + "/" + name);
}

std::optional<Report> LauncherTest::take_report(bool probe_stays) {
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  std::optional<std::string> text;
  while (!(text = read_file(report_path())) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kPollInterval);
  }
  if (!text) {
    ADD_FAILURE() << "the probe wrote no report";
    return std::nullopt;
  }
  ::unlink(report_path().c_str());
  Report report;
  for (std::size_t begin = 0, end = 0; begin < text->size(); begin = end + 1) {
    end = text->find('\0', begin);
    const std::string entry = text->substr(begin, end - begin);
    const auto equals = entry.find('=');
    report[entry.substr(0, equals)] = equals == std::string::npos ? "" : entry.substr(equals + 1);
  }
  if (!probe_stays) {
    const auto pid = static_cast<pid_t>(std::atoi(report["pid"].c_str()));
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  return report;
}

void LauncherTest::expect_nothing_started() {
  EXPECT_FALSE(read_file(report_path()).has_value()) << "the probe ran";
  // zdrv has ended and been reaped; whatever it started would be this process's child now.
  int status = 0;
  const pid_t left = ::waitpid(-1, &status, WNOHANG);
  EXPECT_TRUE(left < 0 && errno == ECHILD) << "a process outlived zdrv";
}

std::string LauncherTest::root_needed_for(const std::string& what) {
  if (::geteuid() == 0) {
    return {};
  }
  return what + " needs root; these tests run as uid " + std::to_string(::geteuid());
}

std::string LauncherTest::priority_raising_refused(const std::string& keyword) {
  if (auto reason = root_needed_for("raising the priority to " + keyword); !reason.empty()) {
    return reason;
  }
  // Tried in a child of its own, which is thrown away.
  const pid_t pid = ::fork();
  if (pid == 0) {
    sched_param param{};
    param.sched_priority = 1;
    const bool raised =
        ::setpriority(PRIO_PROCESS, 0, -10) == 0 && ::sched_setscheduler(0, SCHED_RR, &param) == 0;
    ::_exit(raised ? 0 : 1);
  }
  int status = 0;
  while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    return {};
  }
  return "root here may not raise priorities (no CAP_SYS_NICE, or no realtime budget), so " +
         keyword + " cannot be tested";
}

void LauncherTest::reap_children() {
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  for (;;) {
    int status = 0;
    const pid_t got = ::waitpid(-1, &status, WNOHANG);
    if (got < 0) {
      return;  // no child left
    }
    if (got == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        ADD_FAILURE() << "a started program did not end";
        return;
      }
      std::this_thread::sleep_for(kPollInterval);
    }
  }
}

}  // namespace zdrv::e2e
