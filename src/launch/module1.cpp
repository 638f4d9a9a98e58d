#include "launch/module1.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

namespace zdrv {
namespace {

// The buffer Windows programs traditionally give GetShortPathNameA: 255 characters.
constexpr std::size_t kShortPathBufferSize = 255;

// A path can change between two queries; after this many answers that still do not fit,
// the path counts as having no short form.
constexpr int kShortPathAttempts = 4;

constexpr std::uint32_t kNotAFileMask = kAttributeDirectory | kAttributeVolumeLabel;

bool has_blank(std::string_view text) {
  return text.find_first_of(" \t") != std::string_view::npos;
}

bool ends_with_ignoring_ascii_case(std::string_view text, std::string_view suffix) {
  if (text.size() < suffix.size()) {
    return false;
  }
  return std::equal(suffix.begin(), suffix.end(),
                    text.end() - static_cast<std::ptrdiff_t>(suffix.size()),
                    [](char wanted, char seen) {
                      return wanted == (seen >= 'A' && seen <= 'Z' ? seen - 'A' + 'a' : seen);
                    });
}

// Windows runs a batch file through the command interpreter with this command line, and
// the interpreter acts on & ( ) ^ | < > outside double quotes: a name like "a&b.bat"
// would run a.bat and then b.bat. Windows drops trailing dots and spaces from a file
// name, so "a&b.bat." names that batch file too.
bool is_batch_file(std::string_view path) {
  const auto end = path.find_last_not_of(". ");
  const std::string_view name = path.substr(0, end == std::string_view::npos ? 0 : end + 1);
  return ends_with_ignoring_ascii_case(name, ".bat") || ends_with_ignoring_ascii_case(name, ".cmd");
}

// The command line the new process sees: the path alone, in quotes only when it has a
// blank, so that the program still reads its own name as one word. A batch file's path
// is always quoted, and a batch file whose path holds a percent sign gets no command
// line at all: the interpreter expands %NAME% even inside quotes, so no quoting keeps it
// from running something else. The same goes for !NAME! where the user's settings turn
// on delayed expansion, which the command line cannot turn off.
std::optional<AnsiText> command_line_for(const AnsiText& path) {
  if (is_batch_file(path)) {
    if (path.find_first_of("%!") != AnsiText::npos) {
      return std::nullopt;
    }
    return "\"" + path + "\"";
  }
  if (!has_blank(path)) {
    return path;
  }
  return "\"" + path + "\"";
}

}  // namespace

std::u16string Module1::ersetzen(const std::u16string& text, const std::u16string& find,
                                 const std::u16string& replacement) {
  if (find.empty() || replacement == find) {
    return text;
  }
  // Built in one pass: replacing in place moves the rest of the text at every match,
  // which takes minutes on an argument text of a million quotes.
  std::u16string copy;
  copy.reserve(text.size());
  std::size_t taken = 0;
  for (std::size_t found = text.find(find); found != std::u16string::npos;
       found = text.find(find, taken)) {
    copy.append(text, taken, found - taken);
    copy += replacement;
    taken = found + find.size();
  }
  copy.append(text, taken);
  return copy;
}

std::u16string Module1::kurzname(std::u16string& target) {
  target = ersetzen(target, u"\"", u"");
  const AnsiText ansi_target = platform_.to_ansi(target);
  target = platform_.from_ansi(ansi_target);

  std::size_t buffer_size = kShortPathBufferSize;
  for (int attempt = 0; attempt < kShortPathAttempts; ++attempt) {
    const ShortPathAnswer answer = platform_.short_path(ansi_target, buffer_size);
    if (answer.length == 0) {
      return {};
    }
    if (answer.length <= buffer_size) {
      // The length counts 8-bit characters, so cut before converting back.
      const std::size_t take = std::min<std::size_t>(answer.length, answer.buffer.size());
      return platform_.from_ansi(std::string_view(answer.buffer).substr(0, take));
    }
    buffer_size = answer.length;  // the size needed, terminating null included
  }
  return {};
}

bool Module1::vorhanden(const std::u16string& path) {
  const auto attributes = platform_.file_attributes(platform_.to_ansi(path));
  return attributes.has_value() && (*attributes & kNotAFileMask) == 0;
}

bool Module1::starten(const std::u16string& path, std::uint32_t priority_class) {
  StartRequest request;
  request.application_name = platform_.to_ansi(path);
  auto command_line = command_line_for(request.application_name);
  if (!command_line) {
    return false;
  }
  request.command_line = std::move(*command_line);
  request.inherit_handles = true;
  request.creation_flags = priority_class;

  const auto started = platform_.create_process(request);
  if (!started) {
    return false;
  }
  // The program is running; a handle that will not close changes nothing for the user.
  static_cast<void>(platform_.close_handle(started->thread));
  static_cast<void>(platform_.close_handle(started->process));
  return true;
}

}  // namespace zdrv
