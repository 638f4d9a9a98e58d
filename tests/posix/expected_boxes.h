// What zdrv writes to standard error for each end of a run. Each box is its title on
// its own line, then its text (CR LF becoming a line feed), then one empty line.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace zdrv::e2e {

inline const std::string kHelpBox =
    "Hilfe zu Zandrivo\n"
    "Zandrivo\n"
    "Ein Werkzeug der Zandrivo-Werkstatt\n"
    "https://zandrivo.example/\n"
    "\n"
    "Aufruf:\n"
    "zdrv [Priorität] [Dateiname], wobei Priorität eines der folgenden sein kann:\n"
    "idle (niedrige Priorität)\n"
    "normal (normale Priorität)\n"
    "high (hohe Priorität)\n"
    "realtime (Echtzeit)\n"
    "\n"
    "z.B:\n"
    "zdrv high c:\\windows\\notepad.exe\n"
    "\n";

// `keyword` and `target` as they appear on screen (lower-cased, quotes removed).
inline std::string unknown_priority_boxes(const std::string& keyword) {
  return "Fehler bei Aufruf\nDie Priorität \"" + keyword + "\" ist unbekannt!\n\n" + kHelpBox;
}

inline std::string missing_file_boxes(const std::string& target) {
  return "Fehler beim Aufruf\nDie Datei \"" + target + "\" existiert nicht\n\n" + kHelpBox;
}

inline std::string start_failed_box(const std::string& target) {
  return "Fehler\nFehler beim Ausführen der Datei \"" + target + "\"!\n\n";
}

// Equal texts, or where they first differ, with control bytes made visible.
::testing::AssertionResult SameText(const std::string& actual, const std::string& expected);

}  // namespace zdrv::e2e
