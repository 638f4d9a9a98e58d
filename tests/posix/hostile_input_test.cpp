// zdrv given hostile input: whatever text arrives, it starts exactly the file it checked
// or says why not, with the boxes and exit status of that case, and never crashes, hangs
// or starts something else. Decoys named like each target wait on PATH and beside zdrv;
// the fixture fails the test when any of them ran.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "expected_boxes.h"
#include "launcher_fixture.h"
#include "owned_fd.h"
#include "scratch_files.h"

namespace zdrv::e2e {
namespace {

const std::string kReplacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

struct Case {
  const char* name;
  std::vector<std::string> args;
  int status;
  std::string boxes;
};

class HostileInputTest : public LauncherTest {
 protected:
  // Each call ends with its boxes and status and starts nothing. Whatever the call held,
  // no control character but line feed and tab reaches the terminal.
  void expect_refused(const std::vector<Case>& cases) {
    for (const auto& call : cases) {
      const auto outcome = launch(call.args);
      EXPECT_EQ(outcome.exit_status, call.status) << call.name << ": " << outcome.describe();
      EXPECT_TRUE(SameText(outcome.err, call.boxes)) << call.name;
      EXPECT_EQ(first_control_character(outcome.err), std::nullopt) << call.name;
      expect_nothing_started();
    }
  }

  // The offset of the first C0 (but LF and tab), DEL or C1 character in UTF-8 `text`.
  static std::optional<std::size_t> first_control_character(const std::string& text) {
    for (std::size_t pos = 0; pos < text.size(); ++pos) {
      const auto byte = static_cast<unsigned char>(text[pos]);
      const bool c1 = byte == 0xC2 && pos + 1 < text.size() &&
                      static_cast<unsigned char>(text[pos + 1]) >= 0x80 &&
                      static_cast<unsigned char>(text[pos + 1]) <= 0x9F;
      if ((byte < 0x20 && byte != '\n' && byte != '\t') || byte == 0x7F || c1) {
        return pos;
      }
    }
    return std::nullopt;
  }

  // The call starts the probe at `probe`, which sees `argv0` as its name.
  void expect_started(const std::vector<std::string>& args, const std::string& probe,
                      const std::string& argv0) {
    const auto outcome = launch(args);
    EXPECT_EQ(outcome.exit_status, 0) << outcome.describe() << "\n" << outcome.err;
    EXPECT_EQ(outcome.err, "");
    const auto report = take_report();
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->at("argv0"), argv0);
    EXPECT_EQ(report->at("exe"), probe);
  }

  // A probe in `work_` called `name`, and decoys of that name where zdrv must not look.
  std::string install_probe_named(const std::string& name) {
    install_probe(work_ + "/" + name);
    plant_decoys_named(name);
    return work_ + "/" + name;
  }

  // A probe at a path of exactly `length` bytes below `work_`, built one directory at a
  // time (the system refuses longer paths), and decoys of its name.
  std::string install_probe_of_length(std::size_t length) {
    const std::string level(200, 'd');
    std::string path = work_;
    OwnedFd dir(::open(work_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    while (length - path.size() - 1 > NAME_MAX) {
      EXPECT_TRUE(::mkdirat(dir.get(), level.c_str(), 0755) == 0 || errno == EEXIST);
      dir = OwnedFd(::openat(dir.get(), level.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      path += "/" + level;
    }
    const std::string name(length - path.size() - 1, 'p');
    EXPECT_TRUE(write_file_at(dir.get(), name, read_file(ZDRV_PROBE).value_or(""), 0755));
    plant_decoys_named(name);
    return path + "/" + name;
  }
};

TEST_F(HostileInputTest, ArgumentTextOfAHundredThousandCharacters) {
  plant_decoys_named("probe");
  const std::string word(100'000, 'a');
  // "normal " and a relative path of 99,993 characters: 100,000 in all.
  std::string path;
  for (int level = 0; level < 49'994; ++level) {
    path += "x/";
  }
  path += "probe";
  expect_refused({
      {"one word", {word}, 1, kHelpBox},
      {"keyword and path", {"normal", path}, 3, missing_file_boxes(path)},
  });
}

TEST_F(HostileInputTest, KeywordOfTenThousandCharacters) {
  const std::string probe = install_probe_named("probe");
  std::string upper_umlauts;
  std::string lower_umlauts;
  for (int i = 0; i < 10'000; ++i) {
    upper_umlauts += "Ä";
    lower_umlauts += "ä";
  }
  expect_refused({
      {"ASCII",
       {std::string(10'000, 'Q'), probe},
       2,
       unknown_priority_boxes(std::string(10'000, 'q'))},
      {"umlauts", {upper_umlauts, probe}, 2, unknown_priority_boxes(lower_umlauts)},
  });
}

TEST_F(HostileInputTest, InvalidUtf8IsShownAsReplacementCharacters) {
  const std::string raw_name = "pro\377be";  // the byte 0xFF inside
  const std::string r = kReplacement;
  // The file named with the raw byte is not the one zdrv looks up (it checks the decoded
  // name), so it must not be started either.
  install_probe(work_ + "/" + raw_name);
  plant_decoys_named(raw_name);
  plant_decoys_named("pro" + r + "be");
  expect_refused({
      {"invalid bytes", {"\xFF\xFE", "probe"}, 2, unknown_priority_boxes(r + r)},
      {"overlong form", {"hi\xC0\xAFgh", "probe"}, 2, unknown_priority_boxes("hi" + r + r + "gh")},
      {"lone surrogate", {"\xED\xA0\x80", "probe"}, 2, unknown_priority_boxes(r + r + r)},
      {"target", {"normal", raw_name}, 3, missing_file_boxes("pro" + r + "be")},
  });
}

// Standard error is mostly a terminal: control characters in a call are shown as octal
// escapes, never sent to it, while the program still gets its file's real name.
TEST_F(HostileInputTest, ControlCharactersAreShownAsEscapes) {
  const std::string probe = install_probe_named("probe");
  const std::string evil = "evil\033[2J\033]0;pwned\007name";
  const std::string c1 = "c1\u0085\u009B31m\u009Dend\u0080\u009F";
  // Every C0 character that a name can hold, each shown by its octal escape but the tab.
  std::string c0;
  std::string c0_shown;
  for (char byte = 1; byte < 0x20; ++byte) {
    c0 += byte;
    c0_shown += byte == '\t' ? "\t" : "\\0" + std::to_string(byte / 8) + std::to_string(byte % 8);
  }
  for (const auto& name : {c0, std::string("a\x01\x7F\x1B"), std::string("line\r\nbreak"),
                           std::string("lone\rcr\nlf"), evil, c1, std::string("\u00A0\\033")}) {
    plant_decoys_named(name);
  }
  expect_refused({
      {"tab in keyword", {"hi\tgh", probe}, 2, unknown_priority_boxes("hi\tgh")},
      {"control byte in keyword", {"HIGH\x01", probe}, 2, unknown_priority_boxes("high\\001")},
      {"escape sequence in keyword",
       {"\x1B[31mHIGH", probe},
       2,
       unknown_priority_boxes("\\033[31mhigh")},
      {"C1 in keyword",
       {"\u009BHIGH\u0085", probe},
       2,
       unknown_priority_boxes("\\302\\233high\\302\\205")},
      {"control bytes in target",
       {"normal", "a\x01\x7F\x1B"},
       3,
       missing_file_boxes("a\\001\\177\\033")},
      {"every C0 character in target", {"normal", c0}, 3, missing_file_boxes(c0_shown)},
      {"screen clear and window title in target",
       {"normal", evil},
       3,
       missing_file_boxes("evil\\033[2J\\033]0;pwned\\007name")},
      {"C1 in target",
       {"normal", c1},
       3,
       missing_file_boxes("c1\\302\\205\\302\\23331m\\302\\235end\\302\\200\\302\\237")},
      // Only the help has lines of its own: a line break in a name cannot add lines.
      {"CR LF in target",
       {"normal", "line\r\nbreak"},
       3,
       missing_file_boxes("line\\015\\012break")},
      {"lone CR and LF in target",
       {"normal", "lone\rcr\nlf"},
       3,
       missing_file_boxes("lone\\015cr\\012lf")},
      // The character after a C1 range, and a backslash, are written as they are.
      {"neighbours of the escaped",
       {"normal", "\u00A0\\033"},
       3,
       missing_file_boxes("\u00A0\\033")},
  });
  expect_started({"normal", evil}, install_probe_named(evil), evil);
  expect_started({"normal", "pro\tbe"}, install_probe_named("pro\tbe"), "pro\tbe");
  expect_started({"normal", "new\nline"}, install_probe_named("new\nline"), "new\nline");
}

TEST_F(HostileInputTest, NothingButQuotes) {
  plant_decoys_named("\"\"\"");
  expect_refused({
      {"one word of quotes", {"\"\"\""}, 1, kHelpBox},
      {"quotes as keyword", {"\"", "\""}, 2, unknown_priority_boxes("\"")},
      {"quotes as target", {"normal", "\"\"\""}, 3, missing_file_boxes("")},
  });
}

TEST_F(HostileInputTest, QuotesFillingTheSystemsArgumentSpace) {
  // As many quotes as the system lets a call carry (within reason): removing them must
  // not take long enough to look like a hang.
  constexpr std::size_t kPerArgument = 120'000;  // below the limit of one argument
  const auto space = static_cast<std::size_t>(::sysconf(_SC_ARG_MAX));
  const std::size_t arguments = std::min<std::size_t>(12, space * 7 / 10 / kPerArgument);
  std::vector<std::string> args{"normal"};
  args.insert(args.end(), std::max<std::size_t>(arguments, 1), std::string(kPerArgument, '"'));
  const std::string spaces(args.size() - 2, ' ');
  expect_refused({{"quotes", args, 3, missing_file_boxes(spaces)}});
}

TEST_F(HostileInputTest, TargetOfOnlySpacesAndQuotes) {
  plant_decoys_named(" ");
  plant_decoys_named("  ");
  expect_refused({
      {"two spaces left", {"normal", "\" \" \""}, 3, missing_file_boxes("  ")},
      {"one space left", {"normal", "\"", "\""}, 3, missing_file_boxes(" ")},
      {"leading space and quote", {"normal", " \" ", " "}, 3, missing_file_boxes(" ")},
  });
}

// A path of up to PATH_MAX - 1 bytes starts, however far past the short-path query's first
// buffer of 255 it goes; one byte more and it does not exist.
TEST_F(HostileInputTest, PathsUpToAndBeyondTheSystemsLimit) {
  for (const std::size_t length : {std::size_t{255}, std::size_t{256}, std::size_t{PATH_MAX - 1}}) {
    const std::string probe = install_probe_of_length(length);
    expect_started({"normal", probe}, probe, probe);
  }
  const std::string path = install_probe_of_length(PATH_MAX);
  const std::string long_name = work_ + "/" + std::string(NAME_MAX + 1, 'n');
  expect_refused({
      {"long path", {"normal", path}, 3, missing_file_boxes(path)},
      {"long name", {"normal", long_name}, 3, missing_file_boxes(long_name)},
  });
}

TEST_F(HostileInputTest, FileThatVanishesBeforeTheStart) {
  const std::string probe = install_probe_named("probe");
  const std::string mark = out_ + "/vanished";

  const auto outcome = launch(
      {"normal", probe},
      {.extra_env = {std::string("LD_PRELOAD=") + ZDRV_VANISH_SHIM, "ZDRV_VANISH=" + probe,
                     "ZDRV_VANISH_MARK=" + mark,
                     // A sanitizer build of zdrv would refuse a library loaded before its own.
                     "ASAN_OPTIONS=verify_asan_link_order=0"}});

  ASSERT_EQ(::access(mark.c_str(), F_OK), 0) << "the file was not removed before the start";
  EXPECT_EQ(outcome.exit_status, 4) << outcome.describe();
  EXPECT_TRUE(SameText(outcome.err, start_failed_box(probe)));
  expect_nothing_started();
}

TEST_F(HostileInputTest, FileWithoutReadOrExecutePermission) {
  const std::string no_rights = install_probe_named("no rights");
  ASSERT_EQ(::chmod(no_rights.c_str(), 0), 0);
  expect_refused({{"mode 000", {"normal", no_rights}, 4, start_failed_box(no_rights)}});

  if (const auto reason = root_needed_for("running zdrv as another user"); !reason.empty()) {
    GTEST_SKIP() << reason;
  }
  // Another user's private program, and a program in a directory that user cannot search.
  const std::string owner_only = install_probe_named("owner only");
  ASSERT_EQ(::chmod(owner_only.c_str(), 0700), 0);
  const std::string locked_dir = work_ + "/locked";
  ASSERT_EQ(::mkdir(locked_dir.c_str(), 0700), 0);
  const std::string locked = locked_dir + "/probe";
  install_probe(locked);
  plant_decoys_named("probe");
  for (const auto& [target, status, boxes] :
       {std::tuple{owner_only, 4, start_failed_box(owner_only)},
        std::tuple{locked, 3, missing_file_boxes(locked)}}) {
    const auto outcome = launch({"normal", target}, {.as_nobody = true});
    EXPECT_EQ(outcome.exit_status, status) << target << ": " << outcome.describe();
    EXPECT_TRUE(SameText(outcome.err, boxes)) << target;
    expect_nothing_started();
  }
}

TEST_F(HostileInputTest, SpecialFilesExistButDoNotRun) {
  // Looking at a FIFO must not block on it.
  const std::string fifo = work_ + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0755), 0);
  plant_decoys_named("fifo");
  plant_decoys_named("null");
  expect_refused({
      {"FIFO", {"normal", fifo}, 4, start_failed_box(fifo)},
      {"device", {"normal", "/dev/null"}, 4, start_failed_box("/dev/null")},
  });
}

TEST_F(HostileInputTest, SymbolicLinks) {
  const std::string probe = install_probe_named("probe");
  ASSERT_EQ(::mkdir((work_ + "/dir").c_str(), 0755), 0);
  for (const auto& [link, to] : {std::pair{"to dir", "dir"}, std::pair{"dangling", "gone"},
                                 std::pair{"loop", "loop"}, std::pair{"to probe", "probe"}}) {
    ASSERT_EQ(::symlink(to, (work_ + "/" + link).c_str()), 0);
    plant_decoys_named(link);
    plant_decoys_named(to);
  }
  expect_refused({
      {"link to a directory", {"normal", "to dir"}, 3, missing_file_boxes("to dir")},
      {"dangling link", {"normal", "dangling"}, 3, missing_file_boxes("dangling")},
      {"link to itself", {"normal", "loop"}, 3, missing_file_boxes("loop")},
  });
  // A link to a program is followed: the program runs under the link's name.
  expect_started({"normal", "to probe"}, probe, "to probe");
}

TEST_F(HostileInputTest, NamesOutsideLatin1) {
  for (const std::string name : {"Программа", "程序", "🚀 start"}) {
    expect_started({"normal", name}, install_probe_named(name), name);
  }
  const std::string missing = work_ + "/Нет/文件/😀";
  plant_decoys_named("😀");
  expect_refused({
      {"missing", {"normal", missing}, 3, missing_file_boxes(missing)},
      {"Cyrillic keyword", {"ТУРБО", "Программа"}, 2, unknown_priority_boxes("турбо")},
      {"CJK keyword", {"高", "Программа"}, 2, unknown_priority_boxes("高")},
      {"emoji keyword", {"🚀", "Программа"}, 2, unknown_priority_boxes("🚀")},
  });
}

// Standard error that cannot be written, whose reader has gone, that is closed or that is
// full: the boxes cannot be shown, which must neither end zdrv by SIGPIPE nor hold it up; it
// ends with the status of its case all the same.
TEST_F(HostileInputTest, ErrorOutputThatFailsKeepsTheExitStatus) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  OwnedFd read_end(fds[0]);
  OwnedFd write_end(fds[1]);
  read_end.reset();
  const std::string no_reader = "2>&" + std::to_string(write_end.get());
  for (const std::string& redirection :
       {no_reader, std::string("2>&-"), std::string("2>/dev/full")}) {
    const auto outcome = launch(
        {"Turbo", "prog"}, {.passed_fd = write_end.get(),
                            .run_through = {"/bin/sh", "-c", "exec \"$0\" \"$@\" " + redirection}});
    EXPECT_EQ(outcome.exit_status, 2) << redirection << ": " << outcome.describe();
  }
}

}  // namespace
}  // namespace zdrv::e2e
