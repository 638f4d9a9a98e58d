#include "command/form1.h"

#include <algorithm>
#include <array>
#include <exception>
#include <string_view>

#include "launch/module1.h"

namespace zdrv {
namespace {

struct PriorityKeyword {
  std::u16string_view keyword;
  std::uint32_t priority_class;
};

// Tried in this order; the help lists them in the same order.
constexpr std::array<PriorityKeyword, 4> kPriorityKeywords{{
    {u"idle", kIdlePriorityClass},
    {u"normal", kNormalPriorityClass},
    {u"high", kHighPriorityClass},
    {u"realtime", kRealtimePriorityClass},
}};

constexpr std::array<std::u16string_view, 13> kHelpLines{{
    u"Zandrivo",
    u"Ein Werkzeug der Zandrivo-Werkstatt",
    u"https://zandrivo.example/",
    u"",
    u"Aufruf:",
    u"zdrv [Priorität] [Dateiname], wobei Priorität eines der folgenden sein kann:",
    u"idle (niedrige Priorität)",
    u"normal (normale Priorität)",
    u"high (hohe Priorität)",
    u"realtime (Echtzeit)",
    u"",
    u"z.B:",
    u"zdrv high c:\\windows\\notepad.exe",
}};

std::u16string trim_spaces(const std::u16string& text) {
  const auto first = text.find_first_not_of(u' ');
  if (first == std::u16string::npos) {
    return {};
  }
  const auto last = text.find_last_not_of(u' ');
  return text.substr(first, last - first + 1);
}

bool is_blank(char16_t unit) { return unit == u' ' || unit == u'\t'; }

// Where the program's own name ends by the rule the C runtime applies to argv[0]: a double
// quote switches quoting on or off wherever it stands, and the name ends at the first
// space or tab outside quotes, so that C:\Tools\"Zandrivo Werkzeuge"\zdrv.exe is one name.
std::size_t end_of_name_as_the_c_runtime_reads_it(const std::u16string& command_line) {
  std::size_t pos = 0;
  for (bool quoted = false; pos < command_line.size(); ++pos) {
    const char16_t unit = command_line[pos];
    if (unit == u'"') {
      quoted = !quoted;
    } else if (!quoted && is_blank(unit)) {
      break;
    }
  }
  return pos;
}

// True when the command line begins with `name`, regardless of case, followed by a blank or
// the end.
bool begins_with_name(const std::u16string& command_line, const std::u16string& name,
                      Platform& platform) {
  if (name.empty() || command_line.size() < name.size() ||
      (command_line.size() > name.size() && !is_blank(command_line[name.size()]))) {
    return false;
  }
  return platform.lower_case(command_line.substr(0, name.size())) == platform.lower_case(name);
}

// Where the program's own name ends when the command line begins with the program's full
// path unquoted, as an autostart entry or a launcher may write it
// (C:\Program Files\Zandrivo\zdrv.exe idle C:\Backup\sichern.exe): the C runtime's rule
// would end the name at the first space inside the path. With or without ".exe", as the
// system finds the program either way. Nothing when the line begins otherwise. A path with
// no blank ends where the C runtime's rule ends it too, so only paths with a blank move.
std::optional<std::size_t> end_of_own_path(const std::u16string& command_line,
                                           const std::u16string& own_path, Platform& platform) {
  if (begins_with_name(command_line, own_path, platform)) {
    return own_path.size();
  }
  constexpr std::u16string_view kExe = u".exe";
  if (own_path.size() > kExe.size()) {
    const std::u16string without_exe = own_path.substr(0, own_path.size() - kExe.size());
    if (platform.lower_case(own_path.substr(without_exe.size())) == kExe &&
        begins_with_name(command_line, without_exe, platform)) {
      return without_exe.size();
    }
  }
  return std::nullopt;
}

std::u16string quoted_message(std::u16string_view before, const std::u16string& value,
                              std::u16string_view after) {
  std::u16string message(before);
  message += value;
  message += after;
  return message;
}

}  // namespace

std::optional<std::uint32_t> priority_class_for(const std::u16string& keyword) {
  const auto* row = std::ranges::find(kPriorityKeywords, keyword, &PriorityKeyword::keyword);
  if (row == kPriorityKeywords.end()) {
    return std::nullopt;
  }
  return row->priority_class;
}

std::u16string help_text() {
  std::u16string text;
  for (std::size_t line = 0; line < kHelpLines.size(); ++line) {
    if (line > 0) {
      text += u"\r\n";
    }
    text += kHelpLines[line];
  }
  return text;
}

std::u16string arguments_of(const std::u16string& command_line, const std::u16string& own_path,
                            Platform& platform) {
  std::size_t pos = end_of_own_path(command_line, own_path, platform)
                        .value_or(end_of_name_as_the_c_runtime_reads_it(command_line));
  while (pos < command_line.size() && is_blank(command_line[pos])) {
    ++pos;
  }
  return command_line.substr(pos);
}

void Form1::laden() {
  platform_.hide_window();
  const std::u16string arguments = trim_spaces(platform_.argument_text());

  const auto space = arguments.find(u' ');
  if (space == std::u16string::npos) {
    hilfe(ExitStatus::usage);
  }
  const std::u16string keyword = platform_.lower_case(arguments.substr(0, space));
  std::u16string target = arguments.substr(space + 1);

  const auto priority_class = priority_class_for(keyword);
  if (!priority_class) {
    show_error(quoted_message(u"Die Priorität \"", keyword, u"\" ist unbekannt!"),
               u"Fehler bei Aufruf");
    hilfe(ExitStatus::unknown_priority);
  }

  Module1 services(platform_);
  const std::u16string short_path = services.kurzname(target);
  if (!services.vorhanden(short_path)) {
    show_error(quoted_message(u"Die Datei \"", target, u"\" existiert nicht"),
               u"Fehler beim Aufruf");
    hilfe(ExitStatus::no_such_file);
  }

  if (!services.starten(short_path, *priority_class)) {
    show_error(quoted_message(u"Fehler beim Ausführen der Datei \"", target, u"\"!"), u"Fehler");
    finish(ExitStatus::start_failed);
  }
  finish(ExitStatus::started);
}

void Form1::hilfe(ExitStatus status) {
  // A box that cannot be shown is passed over: the program ends all the same.
  static_cast<void>(platform_.message_box(help_text(), kHelpTitle, MessageStyle::information));
  finish(status);
}

void Form1::show_error(const std::u16string& text, const std::u16string& title) {
  // A box that cannot be shown is passed over; the run goes on as if it had been dismissed.
  static_cast<void>(platform_.message_box(text, title, MessageStyle::error));
}

void Form1::finish(ExitStatus status) {
  platform_.close_window();
  platform_.end_program(status);
  // end_program does not return; a platform that broke that promise must not let the
  // run go on into the statements after its end.
  std::terminate();
}

}  // namespace zdrv
