// The command run: the program's one (never shown) window object and its load handler.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace zdrv {

// The priority class for a lower-cased keyword (idle, normal, high, realtime); nothing
// for any other keyword.
std::optional<std::uint32_t> priority_class_for(const std::u16string& keyword);

// The usage help, thirteen lines joined by CR LF.
std::u16string help_text();

// The arguments part of a Windows command line: the text after the program's own name and
// the blanks that follow it. `own_path` is the program's full path as the system reports
// it (empty when unknown); `platform` lowers letters for comparing it.
std::u16string arguments_of(const std::u16string& command_line, const std::u16string& own_path,
                            Platform& platform);

inline constexpr char16_t kHelpTitle[] = u"Hilfe zu Zandrivo";

class Form1 {
 public:
  explicit Form1(Platform& platform) : platform_(platform) {}

  // The load event: runs the whole program. Never returns.
  [[noreturn]] void load() { laden(); }

  // Reads the call, starts the program or says what is wrong, and ends the program.
  [[noreturn]] void laden();

  // Shows the usage help, then ends the program with `status`.
  [[noreturn]] void hilfe(ExitStatus status = ExitStatus::usage);

 private:
  void show_error(const std::u16string& text, const std::u16string& title);
  [[noreturn]] void finish(ExitStatus status);

  Platform& platform_;
};

}  // namespace zdrv
