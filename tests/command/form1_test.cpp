#include "command/form1.h"

#include <gtest/gtest.h>

#include <tuple>

#include "fake_platform.h"

namespace zdrv {
namespace {

using testing::FakePlatform;
using testing::ProgramEnded;
using testing::ShownBox;

const ShownBox kHelpBox{help_text(), u"Hilfe zu Zandrivo", MessageStyle::information};

ExitStatus run(FakePlatform& platform, const std::u16string& arguments) {
  platform.arguments = arguments;
  Form1 form(platform);
  try {
    form.load();
  } catch (const ProgramEnded& ended) {
    return ended.status;
  }
}

class RunTest : public ::testing::Test {
 protected:
  FakePlatform platform;

  ExitStatus run(const std::u16string& arguments) { return zdrv::run(platform, arguments); }
  void add_file(const std::string& path) { platform.attributes[path] = 0x20; }
};

TEST(HelpText, IsTheThirteenLinesWithCrLfAndNoTrailingBreak) {
  EXPECT_EQ(help_text(),
            u"Zandrivo\r\n"
            u"Ein Werkzeug der Zandrivo-Werkstatt\r\n"
            u"https://zandrivo.example/\r\n"
            u"\r\n"
            u"Aufruf:\r\n"
            u"zdrv [Priorität] [Dateiname], wobei Priorität eines der folgenden sein kann:\r\n"
            u"idle (niedrige Priorität)\r\n"
            u"normal (normale Priorität)\r\n"
            u"high (hohe Priorität)\r\n"
            u"realtime (Echtzeit)\r\n"
            u"\r\n"
            u"z.B:\r\n"
            u"zdrv high c:\\windows\\notepad.exe");
}

TEST(PriorityKeywords, MapToTheirClassesAndNothingElse) {
  EXPECT_EQ(priority_class_for(u"idle"), 0x40U);
  EXPECT_EQ(priority_class_for(u"normal"), 0x20U);
  EXPECT_EQ(priority_class_for(u"high"), 0x80U);
  EXPECT_EQ(priority_class_for(u"realtime"), 0x100U);
  for (const auto* other : {u"", u"HIGH", u"hi", u"128", u"abovenormal", u"high "}) {
    EXPECT_FALSE(priority_class_for(other).has_value()) << "keyword accepted";
  }
}

// The own name ends where the C runtime ends argv[0], except when the line begins with the
// program's own path unquoted (an autostart entry): then that path is the name.
TEST(ArgumentsOf, SkipTheOwnNameAsTheCRuntimeDoesOrTheOwnPathUnquoted) {
  const std::u16string own = u"C:\\Program Files\\Zandrivo\\zdrv.exe";
  const std::tuple<std::u16string, std::u16string, std::u16string> cases[] = {
      // command line, own path, arguments
      {u"\"C:\\Program Files\\Zandrivo\\zdrv.exe\" idle x.exe", own, u"idle x.exe"},
      {u"C:\\\"Program Files\"\\Zandrivo\\zdrv.exe \t high x.exe", own, u"high x.exe"},
      {u"zdrv  high x.exe", own, u"high x.exe"},
      {u"C:\\Program Files\\Zandrivo\\zdrv.exe idle C:\\Backup\\sichern.exe", own,
       u"idle C:\\Backup\\sichern.exe"},
      {u"c:\\PROGRAM FILES\\zandrivo\\ZDRV.EXE\tidle  x.exe", own, u"idle  x.exe"},
      {u"C:\\Program Files\\Zandrivo\\zdrv idle x.exe", own, u"idle x.exe"},
      {u"C:\\Program Files\\Zandrivo\\ZDRV idle x.exe", u"C:\\Program Files\\Zandrivo\\zdrv.EXE",
       u"idle x.exe"},
      {u"C:\\Program Files\\Zandrivo\\zdrv.exe", own, u""},
      {u"C:\\Program Files\\Zandrivo\\zdrv.exe   ", own, u""},
      // Anything that only begins like the own path is read by the C runtime's rule.
      {u"C:\\Program Files\\Zandrivo\\zdrv.exe2 idle x.exe", own,
       u"Files\\Zandrivo\\zdrv.exe2 idle x.exe"},
      {u"C:\\Program Files\\Zandrivo\\zdrv.exe\"\" idle x.exe", own,
       u"Files\\Zandrivo\\zdrv.exe\"\" idle x.exe"},
      {u"C:\\Program Files\\Zandrivo\\zdrvx idle x.exe", own, u"Files\\Zandrivo\\zdrvx idle x.exe"},
      {u"C:\\Program Files\\Zandrivo Neu\\zdrv.exe idle x.exe", own,
       u"Files\\Zandrivo Neu\\zdrv.exe idle x.exe"},
      {u"C:\\Program idle x.exe", own, u"idle x.exe"},
      {u"C:\\Program Files\\Zandrivo\\zdrv idle x.exe", u"C:\\Program Files\\Zandrivo\\zdrv.com",
       u"Files\\Zandrivo\\zdrv idle x.exe"},
      {u"C:\\Program Files\\Zandrivo\\zdrv.exe idle x.exe", u"",
       u"Files\\Zandrivo\\zdrv.exe idle x.exe"},
      {u"", own, u""},
  };
  FakePlatform platform;
  for (const auto& [command_line, own_path, arguments] : cases) {
    EXPECT_EQ(arguments_of(command_line, own_path, platform), arguments)
        << std::string(command_line.begin(), command_line.end());
  }
}

TEST(Run, CallWithoutASpaceShowsOnlyTheHelp) {
  for (const auto* arguments : {u"", u"    ", u"high", u"  high   ", u"high\tprog"}) {
    FakePlatform platform;
    EXPECT_EQ(run(platform, arguments), ExitStatus::usage);
    EXPECT_EQ(platform.boxes, std::vector<ShownBox>{kHelpBox});
    EXPECT_EQ(platform.calls,
              (std::vector<std::string>{"hide_window", "argument_text", "message_box",
                                        "close_window", "end_program"}));
  }
}

TEST_F(RunTest, UnknownKeywordShowsItLowerCasedThenTheHelp) {
  EXPECT_EQ(run(u"ÄRGER prog"), ExitStatus::unknown_priority);
  const ShownBox error{u"Die Priorität \"ärger\" ist unbekannt!", u"Fehler bei Aufruf",
                       MessageStyle::error};
  EXPECT_EQ(platform.boxes, (std::vector<ShownBox>{error, kHelpBox}));
  EXPECT_TRUE(platform.starts.empty());
}

TEST_F(RunTest, MissingFileShowsTheUnquotedTargetThenTheHelp) {
  EXPECT_EQ(run(u"high \"C:\\no such\\pro\"g.exe\""), ExitStatus::no_such_file);
  const ShownBox error{u"Die Datei \"C:\\no such\\prog.exe\" existiert nicht",
                       u"Fehler beim Aufruf", MessageStyle::error};
  EXPECT_EQ(platform.boxes, (std::vector<ShownBox>{error, kHelpBox}));
  EXPECT_EQ(platform.calls,
            (std::vector<std::string>{
                "hide_window", "argument_text", "short_path C:\\no such\\prog.exe",
                "file_attributes ", "message_box", "message_box", "close_window", "end_program"}));
}

TEST(Run, TargetKeepsExtraSpacesAndArguments) {
  const std::pair<const char16_t*, const char16_t*> cases[] = {
      {u"idle  prog", u"Die Datei \" prog\" existiert nicht"},
      {u"idle prog --flag", u"Die Datei \"prog --flag\" existiert nicht"}};
  for (const auto& [arguments, message] : cases) {
    FakePlatform platform;
    platform.attributes["prog"] = 0x20;
    EXPECT_EQ(run(platform, arguments), ExitStatus::no_such_file);
    EXPECT_EQ(platform.boxes.front().text, message);
  }
}

TEST(Run, DirectoryAndVolumeLabelCountAsMissing) {
  for (std::uint32_t attributes : {0x10U, 0x08U, 0x11U}) {
    FakePlatform platform;
    platform.attributes["C:\\dir"] = attributes;
    EXPECT_EQ(run(platform, u"normal C:\\dir"), ExitStatus::no_such_file);
    EXPECT_EQ(platform.boxes.size(), 2U);
  }
}

TEST_F(RunTest, FailedStartShowsOnlyTheStartError) {
  add_file("C:\\notes.txt");
  platform.start_succeeds = false;
  EXPECT_EQ(run(u"normal C:\\notes.txt"), ExitStatus::start_failed);
  const ShownBox error{u"Fehler beim Ausführen der Datei \"C:\\notes.txt\"!", u"Fehler",
                       MessageStyle::error};
  EXPECT_EQ(platform.boxes, std::vector<ShownBox>{error});
  EXPECT_EQ(platform.calls.back(), "end_program");
}

TEST_F(RunTest, SuccessfulStartIsSilentAndUsesTheShortPathAndClass) {
  platform.attributes["C:\\Program Files\\App\\app.exe"] = 0x21;
  platform.short_forms["C:\\Program Files\\App\\app.exe"] = "C:\\PROGRA~1\\App\\app.exe";
  platform.attributes["C:\\PROGRA~1\\App\\app.exe"] = 0x21;
  EXPECT_EQ(run(u"  HiGh \"C:\\Program Files\\App\\app.exe\"  "), ExitStatus::started);
  EXPECT_TRUE(platform.boxes.empty());
  ASSERT_EQ(platform.starts.size(), 1U);
  EXPECT_EQ(platform.starts[0].application_name, "C:\\PROGRA~1\\App\\app.exe");
  EXPECT_EQ(platform.starts[0].command_line, "C:\\PROGRA~1\\App\\app.exe");
  EXPECT_EQ(platform.starts[0].creation_flags, 0x80U);
  EXPECT_EQ(platform.calls,
            (std::vector<std::string>{
                "hide_window", "argument_text", "short_path C:\\Program Files\\App\\app.exe",
                "file_attributes C:\\PROGRA~1\\App\\app.exe",
                "create_process C:\\PROGRA~1\\App\\app.exe", "close_window", "end_program"}));
}

TEST_F(RunTest, BoxesThatCannotBeShownDoNotStopTheRun) {
  platform.boxes_fail = true;
  EXPECT_EQ(run(u"turbo prog"), ExitStatus::unknown_priority);
  EXPECT_EQ(platform.calls.back(), "end_program");
}

}  // namespace
}  // namespace zdrv
