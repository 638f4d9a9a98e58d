// zdrv run for real: what the started program sees, and what every bad call shows.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "expected_boxes.h"
#include "launcher_fixture.h"
#include "owned_fd.h"
#include "scratch_files.h"

namespace zdrv::e2e {
namespace {

struct PriorityCase {
  const char* keyword;
  const char* policy;
  const char* nice;
  const char* static_priority;
  bool needs_root;
};

void PrintTo(const PriorityCase& row, std::ostream* out) { *out << row.keyword; }

class KeywordTest : public LauncherTest, public ::testing::WithParamInterface<PriorityCase> {};

TEST_P(KeywordTest, StartsTheProgramAtItsPriorityWithEverythingInherited) {
  const PriorityCase& row = GetParam();
  if (row.needs_root) {
    if (const auto reason = priority_raising_refused(row.keyword); !reason.empty()) {
      GTEST_SKIP() << reason;
    }
  }
  const std::string probe = work_ + "/probe";
  install_probe(probe);
  const std::string passed_path = out_ + "/passed.txt";
  // Deliberately without close-on-exec: zdrv must hand it on.
  const OwnedFd passed(::open(passed_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644));
  ASSERT_GE(passed.get(), 3);
  const std::string passed_number = std::to_string(passed.get());

  const auto outcome =
      launch({row.keyword, probe},
             {.extra_env = {"ZDRV_PROBE_WRITE_FD=" + passed_number}, .passed_fd = passed.get()});

  EXPECT_EQ(outcome.exit_status, 0) << outcome.describe();
  EXPECT_EQ(outcome.err, "");
  const auto report = take_report();
  ASSERT_TRUE(report.has_value());
  auto seen = *report;
  EXPECT_EQ(seen["policy"], row.policy);
  EXPECT_EQ(seen["nice"], row.nice);
  EXPECT_EQ(seen["priority"], row.static_priority);
  EXPECT_EQ(seen["argc"], "1") << "the program gets its own path and nothing else";
  EXPECT_EQ(seen["argv0"], probe);
  EXPECT_EQ(seen["exe"], probe);
  EXPECT_EQ(seen["cwd"], work_);
  EXPECT_EQ(seen["mark"], kProbeMark);
  // Only the standard three and the one passed on: zdrv's own error pipe stays behind.
  EXPECT_EQ(seen["fds"], "0,1,2," + passed_number);
  EXPECT_EQ(seen["write_fd"], "written");
  EXPECT_EQ(read_file(passed_path), "written by the probe\n");
}

INSTANTIATE_TEST_SUITE_P(AllFour, KeywordTest,
                         ::testing::Values(PriorityCase{"idle", "SCHED_IDLE", "19", "0", false},
                                           PriorityCase{"normal", "SCHED_OTHER", "0", "0", false},
                                           PriorityCase{"high", "SCHED_OTHER", "-10", "0", true},
                                           PriorityCase{"realtime", "SCHED_RR", "0", "1", true}),
                         [](const auto& row_info) { return std::string(row_info.param.keyword); });

using LaunchTest = LauncherTest;

TEST_F(LaunchTest, KeywordCaseDoesNotMatter) {
  const std::string probe = work_ + "/probe";
  install_probe(probe);
  for (const auto& [keyword, policy] :
       {std::pair{"IdLE", "SCHED_IDLE"}, std::pair{"NORMAL", "SCHED_OTHER"},
        std::pair{"Idle", "SCHED_IDLE"}}) {
    EXPECT_EQ(launch({keyword, probe}).exit_status, 0) << keyword;
    const auto report = take_report();
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->at("policy"), policy);
  }
}

TEST_F(LaunchTest, ReturnsWhileTheStartedProgramStillRuns) {
  const std::string probe = work_ + "/probe";
  install_probe(probe);
  int hold[2];
  ASSERT_EQ(::pipe(hold), 0);
  // The probe waits on the read end until the test lets go of the write end, so zdrv can
  // only come back in time (the launch has a time limit) if it does not wait for it.
  OwnedFd hold_read(hold[0]);
  OwnedFd hold_write(hold[1]);
  ASSERT_EQ(::fcntl(hold_write.get(), F_SETFD, FD_CLOEXEC), 0);

  const auto outcome = launch(
      {"normal", probe}, {.extra_env = {"ZDRV_PROBE_WAIT_FD=" + std::to_string(hold_read.get())},
                          .passed_fd = hold_read.get()});
  hold_read.reset();

  EXPECT_EQ(outcome.exit_status, 0) << outcome.describe();
  const auto report = take_report(/*probe_stays=*/true);
  ASSERT_TRUE(report.has_value());
  const auto probe_pid = static_cast<pid_t>(std::stoi(report->at("pid")));
  int status = 0;
  EXPECT_EQ(::waitpid(probe_pid, &status, WNOHANG), 0) << "the probe should still be waiting";
  hold_write.reset();
  EXPECT_EQ(::waitpid(probe_pid, &status, 0), probe_pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(LaunchTest, QuotedPathWithSpacesIsStartedWithoutItsQuotes) {
  ASSERT_EQ(::mkdir((work_ + "/dir with spaces").c_str(), 0755), 0);
  const std::string probe = work_ + "/dir with spaces/my probe";
  install_probe(probe);
  // Quotes reach zdrv when the user quotes them for the shell ('"..."'), inside one word
  // or spread over several; without them zdrv joins the words with single spaces.
  const std::vector<std::vector<std::string>> calls = {
      {"normal", "\"" + probe + "\""},
      {"normal", "\"" + work_ + "/dir", "with", "spaces/my", "probe\""},
      {"normal", probe},
      {"normal", work_ + "/dir", "with", "spaces/my", "probe"},
  };
  for (const auto& call : calls) {
    const auto outcome = launch(call);
    EXPECT_EQ(outcome.exit_status, 0) << outcome.describe() << "\n" << outcome.err;
    const auto report = take_report();
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->at("argv0"), probe);
  }
}

TEST_F(LaunchTest, QuoteInsideTheNameIsRemovedBeforeTheLookup) {
  const std::string probe = work_ + "/probe";
  install_probe(probe);
  plant_decoy(work_ + "/pro\"be");
  plant_decoys_named("pro\"be");

  const auto outcome = launch({"normal", work_ + "/pro\"be"});

  EXPECT_EQ(outcome.exit_status, 0) << outcome.describe() << "\n" << outcome.err;
  const auto report = take_report();
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->at("exe"), probe);
}

TEST_F(LaunchTest, RelativeNameInTheCurrentDirectoryIsStarted) {
  install_probe(work_ + "/probe");
  plant_decoys_named("probe");

  const auto outcome = launch({"normal", "probe"});

  EXPECT_EQ(outcome.exit_status, 0) << outcome.describe() << "\n" << outcome.err;
  const auto report = take_report();
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->at("argv0"), "probe");
  EXPECT_EQ(report->at("exe"), work_ + "/probe");
}

TEST_F(LaunchTest, RelativeNameOnlyOnPathIsNotFound) {
  install_probe(bin_ + "/onpath");

  const auto outcome = launch({"normal", "onpath"});

  EXPECT_EQ(outcome.exit_status, 3) << outcome.describe();
  EXPECT_TRUE(SameText(outcome.err, missing_file_boxes("onpath")));
  expect_nothing_started();
}

TEST_F(LaunchTest, DirectoryIsNoFile) {
  const auto outcome = launch({"normal", work_});

  EXPECT_EQ(outcome.exit_status, 3) << outcome.describe();
  EXPECT_TRUE(SameText(outcome.err, missing_file_boxes(work_)));
  expect_nothing_started();
}

TEST_F(LaunchTest, FileThatCannotRunGetsTheStartFailedBoxAlone) {
  // A real program without the execute bit, and text marked executable.
  const std::string not_executable = work_ + "/probe without x";
  install_probe(not_executable, 0644);
  const std::string not_a_program = work_ + "/notes.txt";
  ASSERT_TRUE(write_file_at(AT_FDCWD, not_a_program, "just some notes\n", 0755));
  // And a program, with no descriptor left for the start: four allowed, three are taken.
  // (UndefinedBehaviorSanitizer checks a virtual call through a pipe of its own, for which
  // that leaves no room either: only an uninstrumented zdrv can show this.)
  const std::string probe = work_ + "/probe";
  install_probe(probe);
  std::vector<std::pair<std::string, std::vector<std::string>>> calls = {{not_executable, {}},
                                                                         {not_a_program, {}}};
  if (!kLauncherInstrumented) {
    calls.push_back({probe, {"/usr/bin/prlimit", "--nofile=4"}});
  }

  for (const auto& [target, run_through] : calls) {
    const auto outcome = launch({"normal", target}, {.run_through = run_through});
    EXPECT_EQ(outcome.exit_status, 4) << target << ": " << outcome.describe();
    EXPECT_TRUE(SameText(outcome.err, start_failed_box(target)));
    expect_nothing_started();
  }
}

TEST_F(LaunchTest, UnprivilegedCallerCannotRaiseThePriorityOrExceedItsProcesses) {
  if (const auto reason = root_needed_for("running zdrv as another user"); !reason.empty()) {
    GTEST_SKIP() << reason;
  }
  if (::access("/usr/bin/setpriv", X_OK) != 0) {
    GTEST_SKIP() << "setpriv (util-linux) is not installed";
  }
  const std::string probe = work_ + "/probe";
  install_probe(probe);

  // The same user may lower its priority: the probe is reachable and runs.
  const auto lowered = launch({"idle", probe}, {.as_nobody = true});
  ASSERT_EQ(lowered.exit_status, 0) << lowered.describe() << "\n" << lowered.err;
  const auto report = take_report();
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->at("uid"), "65534");
  EXPECT_EQ(report->at("policy"), "SCHED_IDLE");

  // It may neither raise the priority nor start a process beyond a limit of one, which zdrv
  // itself takes (LeakSanitizer, in an instrumented zdrv, would need a thread beyond it).
  const std::vector<std::pair<std::string, LaunchOptions>> calls = {
      {"high", {.as_nobody = true}},
      {"realtime", {.as_nobody = true}},
      {"idle",
       {.extra_env = {"ASAN_OPTIONS=detect_leaks=0"},
        .as_nobody = true,
        .run_through = {"/usr/bin/prlimit", "--nproc=1"}}}};
  for (const auto& [keyword, options] : calls) {
    const auto outcome = launch({keyword, probe}, options);
    EXPECT_EQ(outcome.exit_status, 4) << keyword << ": " << outcome.describe();
    EXPECT_TRUE(SameText(outcome.err, start_failed_box(probe))) << keyword;
    expect_nothing_started();
  }
}

struct BadCall {
  const char* name;
  std::vector<std::string> args;
  int status;
  std::string boxes;
};

TEST_F(LaunchTest, EveryBadCallShowsItsBoxesAndStatus) {
  const std::string probe = work_ + "/probe";
  install_probe(probe);
  const std::vector<BadCall> calls = {
      {"no arguments", {}, 1, kHelpBox},
      {"only spaces", {"   "}, 1, kHelpBox},
      {"one word", {"high"}, 1, kHelpBox},
      {"one word and spaces", {"high", "  "}, 1, kHelpBox},
      {"tab instead of a space", {"normal\t" + probe}, 1, kHelpBox},
      {"unknown keyword", {"Turbo", probe}, 2, unknown_priority_boxes("turbo")},
      {"capitals and their neighbours", {"@AZ[", probe}, 2, unknown_priority_boxes("@az[")},
      {"missing file", {"normal", work_ + "/missing"}, 3, missing_file_boxes(work_ + "/missing")},
      {"arguments after the file",
       {"normal", probe, "--now"},
       3,
       missing_file_boxes(probe + " --now")},
      {"two spaces before the file", {"normal", " " + probe}, 3, missing_file_boxes(" " + probe)},
  };
  for (const auto& call : calls) {
    const auto outcome = launch(call.args);
    EXPECT_EQ(outcome.exit_status, call.status) << call.name << ": " << outcome.describe();
    EXPECT_TRUE(SameText(outcome.err, call.boxes)) << call.name;
    expect_nothing_started();
  }
}

}  // namespace
}  // namespace zdrv::e2e
