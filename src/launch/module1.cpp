#include "launch/module1.h"

#include <algorithm>
#include <string_view>

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

// The command line the new process sees: the path alone, in quotes only when it has a
// blank, so that the program still reads its own name as one word.
AnsiText command_line_for(const AnsiText& path) {
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
  request.command_line = command_line_for(request.application_name);
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
