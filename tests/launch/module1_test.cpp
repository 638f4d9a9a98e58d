#include "launch/module1.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fake_platform.h"

namespace zdrv {
namespace {

using testing::FakePlatform;

TEST(Ersetzen, ReplacesEveryOccurrenceWithoutRescanningTheReplacement) {
  EXPECT_EQ(Module1::ersetzen(u"a\"b\"c", u"\"", u""), u"abc");
  EXPECT_EQ(Module1::ersetzen(u"abc", u"\"", u""), u"abc");
  EXPECT_EQ(Module1::ersetzen(u"aXa", u"a", u"aa"), u"aaXaa");
  EXPECT_EQ(Module1::ersetzen(u"\"\"\"", u"\"", u""), u"");
  EXPECT_EQ(Module1::ersetzen(u"aaaa", u"aa", u"b"), u"bb");
  EXPECT_EQ(Module1::ersetzen(u"abb", u"ab", u"a"), u"ab");
}

TEST(Ersetzen, LeavesTextAloneForEmptyOrIdenticalFindAndOtherCase) {
  EXPECT_EQ(Module1::ersetzen(u"abc", u"", u"x"), u"abc");
  EXPECT_EQ(Module1::ersetzen(u"abc", u"b", u"b"), u"abc");
  EXPECT_EQ(Module1::ersetzen(u"aXb", u"x", u"y"), u"aXb");
}

TEST(Kurzname, StripsQuotesFromTheCallersTargetAndReturnsTheShortForm) {
  FakePlatform platform;
  platform.attributes["C:\\Program Files\\a.exe"] = 0x20;
  platform.short_forms["C:\\Program Files\\a.exe"] = "C:\\PROGRA~1\\a.exe";
  Module1 services(platform);
  std::u16string target = u"\"C:\\Program Files\\a.exe\"";
  EXPECT_EQ(services.kurzname(target), u"C:\\PROGRA~1\\a.exe");
  EXPECT_EQ(target, u"C:\\Program Files\\a.exe");
}

TEST(Kurzname, MissingPathGivesEmptyTextAndEmptyIsNotAFile) {
  FakePlatform platform;
  Module1 services(platform);
  std::u16string target = u"C:\\missing.exe";
  const auto short_path = services.kurzname(target);
  EXPECT_EQ(short_path, u"");
  EXPECT_FALSE(services.vorhanden(short_path));
}

TEST(Kurzname, TargetHoldsWhatTheCodePageMadeOfIt) {
  FakePlatform platform;
  Module1 services(platform);
  std::u16string target = u"C:\\Ω.exe";
  services.kurzname(target);
  EXPECT_EQ(target, u"C:\\?.exe");
  EXPECT_EQ(platform.calls.front(), "short_path C:\\?.exe");
}

// A short form longer than the customary 255-character buffer is still found; one that
// outgrows every buffer (the path keeps changing) is asked for four times, then counts as
// none.
TEST(Kurzname, AsksAgainWhenTheShortFormDoesNotFit) {
  FakePlatform platform;
  const std::string long_path = "C:\\" + std::string(300, 'x') + ".exe";
  platform.attributes[long_path] = 0x20;
  Module1 services(platform);
  std::u16string target(long_path.begin(), long_path.end());
  const auto short_path = services.kurzname(target);
  EXPECT_EQ(short_path, target);
  EXPECT_TRUE(services.vorhanden(short_path));

  platform.short_forms_keep_growing = true;
  platform.calls.clear();
  EXPECT_EQ(services.kurzname(target), u"");
  EXPECT_EQ(platform.calls.size(), 4U) << "short-path queries";
}

TEST(Vorhanden, AcceptsAnyFileButNotDirectoriesOrVolumeLabels) {
  FakePlatform platform;
  platform.attributes = {{"ro", 0x01},    {"hidden", 0x02}, {"system", 0x04},
                         {"plain", 0x80}, {"dir", 0x10},    {"label", 0x08}};
  Module1 services(platform);
  for (const auto* file : {u"ro", u"hidden", u"system", u"plain"}) {
    EXPECT_TRUE(services.vorhanden(file));
  }
  EXPECT_FALSE(services.vorhanden(u"dir"));
  EXPECT_FALSE(services.vorhanden(u"label"));
  EXPECT_FALSE(services.vorhanden(u"gone"));
}

// The checked file itself is started, never one the system would find by splitting the
// command line at a space.
TEST(Starten, StartsExactlyTheCheckedFileAndClosesBothHandles) {
  FakePlatform platform;
  Module1 services(platform);
  ASSERT_TRUE(services.starten(u"C:\\Program Files\\a.exe", 0x40));
  ASSERT_EQ(platform.starts.size(), 1U);
  const auto& request = platform.starts[0];
  EXPECT_EQ(request.application_name, "C:\\Program Files\\a.exe");
  EXPECT_EQ(request.command_line, "\"C:\\Program Files\\a.exe\"");
  EXPECT_TRUE(request.inherit_handles);
  EXPECT_EQ(request.creation_flags, 0x40U);
  EXPECT_EQ(platform.closed_handles, (std::vector<std::uintptr_t>{102, 101}));

  ASSERT_TRUE(services.starten(u"C:\\tab\there.exe", 0x20));
  EXPECT_EQ(platform.starts[1].command_line, "\"C:\\tab\there.exe\"");
  ASSERT_TRUE(services.starten(u"C:\\APP~1\\a.exe", 0x20));
  EXPECT_EQ(platform.starts[2].command_line, "C:\\APP~1\\a.exe");
}

// The command interpreter that runs a batch file must see its whole name as one word;
// a name it may expand even in quotes is not started at all.
TEST(Starten, QuotesBatchFilesAndRefusesThoseWithAPercentSign) {
  const std::vector<std::pair<std::string, std::string>> quoted = {
      {"C:\\x\\a&b.bat", "\"C:\\x\\a&b.bat\""},
      {"C:\\x\\X(1)^Y.CMD", "\"C:\\x\\X(1)^Y.CMD\""},
      {"C:\\x\\a|b.Bat.. ", "\"C:\\x\\a|b.Bat.. \""},
      {"C:\\x\\a&b.bat.exe", "C:\\x\\a&b.bat.exe"},
      {"C:\\x\\a&b.batch", "C:\\x\\a&b.batch"},
      // Every letter of both extensions in either case, and trailing dots alone.
      {"C:\\x\\X&Y.BAT", "\"C:\\x\\X&Y.BAT\""},
      {"C:\\x\\y&z.cMd", "\"C:\\x\\y&z.cMd\""},
      {"C:\\x\\a&b.bat.", "\"C:\\x\\a&b.bat.\""},
      // The shortest batch file name, and names too short to be one.
      {".CMD", "\".CMD\""},
      {"a", "a"},
      {"ab", "ab"},
      {"a.b", "a.b"},
  };
  for (const auto& [path, command_line] : quoted) {
    FakePlatform platform;
    Module1 services(platform);
    ASSERT_TRUE(services.starten(std::u16string(path.begin(), path.end()), 0x20)) << path;
    EXPECT_EQ(platform.starts.at(0).application_name, path);
    EXPECT_EQ(platform.starts.at(0).command_line, command_line);
  }
  for (const auto* path : {u"C:\\x\\%OS%.bat", u"C:\\100%.cmd", u"C:\\a!b!c.bat", u"C:\\X%Y.BAT",
                           u"C:\\A!B.CMD", u"C:\\a%b.cmd.."}) {
    FakePlatform platform;
    Module1 services(platform);
    EXPECT_FALSE(services.starten(path, 0x20));
    EXPECT_TRUE(platform.starts.empty());
  }
}

TEST(Starten, RefusedStartIsFalseAndClosesNothing) {
  FakePlatform platform;
  platform.start_succeeds = false;
  Module1 services(platform);
  EXPECT_FALSE(services.starten(u"C:\\notes.txt", 0x20));
  EXPECT_TRUE(platform.closed_handles.empty());
}

}  // namespace
}  // namespace zdrv
