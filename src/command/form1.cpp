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
