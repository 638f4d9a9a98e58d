// The fixture of the end-to-end tests: a scratch tree per test, a copy of the built zdrv
// in it, the probe program, decoys that must never run, and a way to run the launcher
// with given arguments, environment, current directory and an inherited descriptor.
//
// The test process makes itself the reaper of orphans, so a program zdrv started becomes
// its child when zdrv ends: a test can wait for it and can prove that nothing outlived
// a launcher that reported a failure.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"

namespace zdrv::e2e {

// What the probe wrote down about how it was started (see probe.cpp).
using Report = std::map<std::string, std::string>;

struct LaunchOptions {
  std::vector<std::string> extra_env{};    // "NAME=value", added to the fixture's environment
  std::optional<std::string> cwd{};        // the work directory when not given
  std::optional<int> passed_fd{};          // a descriptor zdrv inherits
  bool as_nobody = false;                  // run zdrv as user and group 65534 (needs root)
  std::vector<std::string> run_through{};  // a command that runs zdrv, as prlimit or sh -c
};

inline constexpr char kProbeMark[] = "inherited mark ✓";

// Whether the zdrv under test is built with the sanitizers (scripts/sanitize).
inline constexpr bool kLauncherInstrumented = ZDRV_LAUNCHER_INSTRUMENTED;

class LauncherTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs zdrv with `args` after its name.
  ChildOutcome launch(const std::vector<std::string>& args, const LaunchOptions& options = {});

  // A copy of the probe at `path`.
  void install_probe(const std::string& path, mode_t mode = 0755);
  // A program at `path` that, when run, writes to the decoy log.
  void plant_decoy(const std::string& path);
  // Decoys called `name` on PATH and beside zdrv.
  void plant_decoys_named(const std::string& name);

  // Waits for the probe's report and removes it, so the next start writes a fresh one.
  // Unless the probe is told to stay, also waits until it has ended.
  std::optional<Report> take_report(bool probe_stays = false);
  // For a launch that must have started nothing: no report, and no process outlived zdrv.
  void expect_nothing_started();

  // Why a test that needs root cannot run here; empty when it can.
  static std::string root_needed_for(const std::string& what);
  // Why this process may not raise a program's priority as high and realtime do (not
  // root, or root in a container without the right to); empty when it may.
  static std::string priority_raising_refused(const std::string& keyword);

  std::string root_;      // the scratch tree, removed after the test
  std::string work_;      // the current directory zdrv runs in
  std::string bin_;       // the only directory on PATH
  std::string out_;       // reports and the decoy log; writable by every user
  std::string launcher_;  // the copy of zdrv that runs

 private:
  std::string report_path() const { return out_ + "/report"; }
  std::string decoy_log() const { return out_ + "/decoys.log"; }
  void reap_children();

  std::string capture_;
};

}  // namespace zdrv::e2e
