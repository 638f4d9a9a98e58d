// Fuzz target over the whole run. The input is the argument text and every answer the
// system gives: whether a path has a short form and which, its attributes, whether the
// start and each handle close work, whether a box shows. Whatever the system answers, the
// run must keep its promises; a broken one aborts, and libFuzzer keeps the input.
//
// Input layout (FuzzedDataProvider): the last byte chooses the code page (even: Latin-1,
// odd: UTF-8); the argument text is read from the front up to a backslash followed by any
// other byte (a doubled backslash stands for one backslash), as UTF-8 where the bytes form
// it (lone surrogates included) and Latin-1 elsewhere; the answers are read from the back,
// in the order the run asks its questions. An exhausted input answers "no".
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "command/form1.h"
#include "platform/platform.h"
#include "text/utf.h"

namespace zdrv::fuzz {
namespace {

constexpr std::uint32_t kNotAFileMask = kAttributeDirectory | kAttributeVolumeLabel;
constexpr std::uintptr_t kProcessHandle = 101;
constexpr std::uintptr_t kThreadHandle = 102;

// Aborts with the promise the run broke; libFuzzer saves the input that did it.
void require(bool holds, const char* promise) {
  if (!holds) {
    std::fprintf(stderr, "broken promise: %s\n", promise);
    std::abort();
  }
}

// ---- Text ---------------------------------------------------------------------------

struct Decoded {
  char32_t code;
  std::size_t length;
};

// The UTF-8 sequence at `pos`, or nothing when the bytes there are not one. Lenient on
// purpose: encoded surrogates and overlong forms pass, so an input can hold any code unit.
std::optional<Decoded> utf8_sequence(std::string_view bytes, std::size_t pos) {
  const auto lead = static_cast<unsigned char>(bytes[pos]);
  if (lead < 0x80) {
    return Decoded{lead, 1};
  }
  std::size_t length = 0;
  char32_t code = 0;
  if (lead >= 0xC0 && lead < 0xE0) {
    length = 2, code = lead & 0x1FU;
  } else if (lead >= 0xE0 && lead < 0xF0) {
    length = 3, code = lead & 0x0FU;
  } else if (lead >= 0xF0 && lead < 0xF5) {
    length = 4, code = lead & 0x07U;
  } else {
    return std::nullopt;
  }
  if (bytes.size() - pos < length) {
    return std::nullopt;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(bytes[pos + i]);
    if ((next & 0xC0U) != 0x80U) {
      return std::nullopt;
    }
    code = (code << 6) | (next & 0x3FU);
  }
  if (code > 0x10FFFF) {
    return std::nullopt;
  }
  return Decoded{code, length};
}

// Any bytes as 16-bit text, so the fuzzer can write every sequence of code units.
std::u16string argument_text_from(std::string_view bytes) {
  std::u16string out;
  for (std::size_t pos = 0; pos < bytes.size();) {
    if (const auto decoded = utf8_sequence(bytes, pos)) {
      text::append_utf16(out, decoded->code);
      pos += decoded->length;
    } else {
      out += static_cast<char16_t>(static_cast<unsigned char>(bytes[pos]));
      ++pos;
    }
  }
  return out;
}

// The two kinds of ANSI code page: one byte a character with '?' for the rest, and UTF-8
// with U+FFFD for what it cannot hold (lone surrogates, invalid bytes).
enum class CodePage { latin1, utf8 };

AnsiText to_code_page(const std::u16string& text, CodePage page) {
  if (page == CodePage::utf8) {
    return text::utf16_to_utf8(text);
  }
  AnsiText out;
  for (const char16_t unit : text) {
    out += unit <= 0xFF ? static_cast<char>(unit) : '?';
  }
  return out;
}

std::u16string from_code_page(std::string_view bytes, CodePage page) {
  if (page == CodePage::utf8) {
    return text::utf8_to_utf16(bytes);
  }
  std::u16string out;
  for (const char byte : bytes) {
    out += static_cast<char16_t>(static_cast<unsigned char>(byte));
  }
  return out;
}

// ---- The fuzzed system --------------------------------------------------------------

// Thrown by end_program, so that the run's end can be checked.
struct ProgramEnded {
  ExitStatus status;
};

struct Box {
  std::u16string text;
  std::u16string title;
  MessageStyle style;
  bool operator==(const Box&) const = default;
};

struct ShortPathQuery {
  AnsiText path;
  std::size_t buffer_size;
};

struct AttributeQuery {
  AnsiText path;
  std::optional<std::uint32_t> answer;
};

// A system that answers from the fuzz input and writes down what it was asked.
class FuzzedSystem final : public Platform {
 public:
  FuzzedSystem(FuzzedDataProvider& answers, CodePage page, std::u16string arguments)
      : answers_(answers), page_(page), arguments_(std::move(arguments)) {}

  std::vector<std::string_view> calls;
  std::vector<Box> boxes;
  std::vector<ShortPathQuery> short_path_queries;
  std::vector<AttributeQuery> attribute_queries;
  std::vector<StartRequest> starts;
  bool start_succeeded = false;
  std::vector<std::uintptr_t> closed_handles;

  std::u16string argument_text() override {
    calls.emplace_back("argument_text");
    return arguments_;
  }
  void hide_window() override { calls.emplace_back("hide_window"); }
  void close_window() override { calls.emplace_back("close_window"); }

  bool message_box(const std::u16string& text, const std::u16string& title,
                   MessageStyle style) override {
    calls.emplace_back("message_box");
    boxes.push_back({text, title, style});
    return answers_.ConsumeBool();
  }

  [[noreturn]] void end_program(ExitStatus status) override {
    calls.emplace_back("end_program");
    throw ProgramEnded{status};
  }

  // ASCII and the Latin-1 capitals; what a system does with other scripts is its own affair.
  std::u16string lower_case(const std::u16string& text) override {
    std::u16string out = text;
    for (char16_t& c : out) {
      if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) {
        c = static_cast<char16_t>(c + 0x20);
      }
    }
    return out;
  }

  AnsiText to_ansi(const std::u16string& text) override { return to_code_page(text, page_); }
  std::u16string from_ansi(std::string_view text) override { return from_code_page(text, page_); }

  ShortPathAnswer short_path(const AnsiText& path, std::size_t buffer_size) override {
    calls.emplace_back("short_path");
    short_path_queries.push_back({path, buffer_size});
    AnsiText form;
    switch (answers_.ConsumeIntegralInRange(0, 3)) {
      case 0:  // no short form
        return {};
      case 1:  // the path is its own short form
        form = path;
        break;
      case 2:  // a short form of its own
        form = answers_.ConsumeRandomLengthString(400);
        break;
      default:  // a system that breaks the contract of the answer
        return {answers_.ConsumeIntegral<std::uint32_t>(), answers_.ConsumeRandomLengthString(400)};
    }
    if (form.empty()) {
      return {};
    }
    if (form.size() >= buffer_size) {
      return {static_cast<std::uint32_t>(form.size() + 1), {}};
    }
    return {static_cast<std::uint32_t>(form.size()), form};
  }

  // The empty path fails, as the interface promises; anything else is up to the input.
  std::optional<std::uint32_t> file_attributes(const AnsiText& path) override {
    calls.emplace_back("file_attributes");
    std::optional<std::uint32_t> answer;
    if (!path.empty() && answers_.ConsumeBool()) {
      answer = answers_.ConsumeIntegral<std::uint32_t>();
    }
    attribute_queries.push_back({path, answer});
    return answer;
  }

  std::optional<StartedProcess> create_process(const StartRequest& request) override {
    calls.emplace_back("create_process");
    starts.push_back(request);
    start_succeeded = answers_.ConsumeBool();
    if (!start_succeeded) {
      return std::nullopt;
    }
    return StartedProcess{kProcessHandle, kThreadHandle};
  }

  bool close_handle(std::uintptr_t handle) override {
    calls.emplace_back("close_handle");
    closed_handles.push_back(handle);
    return answers_.ConsumeBool();
  }

 private:
  FuzzedDataProvider& answers_;
  CodePage page_;
  std::u16string arguments_;
};

// ---- The promises ---------------------------------------------------------------------

std::optional<std::uint32_t> documented_class(std::u16string_view keyword) {
  if (keyword == u"idle") {
    return kIdlePriorityClass;
  }
  if (keyword == u"normal") {
    return kNormalPriorityClass;
  }
  if (keyword == u"high") {
    return kHighPriorityClass;
  }
  if (keyword == u"realtime") {
    return kRealtimePriorityClass;
  }
  return std::nullopt;
}

std::u16string trim_spaces(const std::u16string& text) {
  const auto first = text.find_first_not_of(u' ');
  if (first == std::u16string::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(u' ') - first + 1);
}

std::u16string without_quotes(std::u16string text) {
  text.erase(std::remove(text.begin(), text.end(), u'"'), text.end());
  return text;
}

// True when a Windows program that reads `command_line` sees `file` as its own name and
// nothing after it: a token in quotes, or one without blanks.
bool names_exactly(const AnsiText& command_line, const AnsiText& file) {
  if (command_line.size() >= 2 && command_line.front() == '"') {
    return command_line.back() == '"' && command_line.substr(1, command_line.size() - 2) == file;
  }
  return command_line == file && file.find_first_of(" \t") == AnsiText::npos;
}

Box error_box(const std::u16string& text, const std::u16string& title) {
  return {text, title, MessageStyle::error};
}

Box help_box() { return {help_text(), kHelpTitle, MessageStyle::information}; }

std::vector<std::string_view> system_calls(const FuzzedSystem& system) {
  std::vector<std::string_view> asked;
  for (const auto call : system.calls) {
    if (call == "short_path" || call == "file_attributes" || call == "create_process") {
      asked.push_back(call);
    }
  }
  return asked;
}

void check_frame(const FuzzedSystem& system, ExitStatus status) {
  const auto& calls = system.calls;
  require(calls.size() >= 4 && calls[0] == "hide_window" && calls[1] == "argument_text",
          "the window is hidden first, then the arguments are read");
  require(calls[calls.size() - 2] == "close_window" && calls.back() == "end_program",
          "the run closes the window and ends, and nothing follows the end");
  require(std::count(calls.begin(), calls.end(), "end_program") == 1, "the run ends once");
  const int code = static_cast<int>(status);
  require(code >= 0 && code <= 4, "the exit status is one of the five");
}

void check_start(const FuzzedSystem& system, std::uint32_t priority_class, ExitStatus status,
                 const std::u16string& shown_target) {
  require(system.attribute_queries.size() == 1, "the short path is checked once");
  const AttributeQuery& check = system.attribute_queries.front();
  const StartRequest& start = system.starts.front();
  require(start.application_name == check.path, "only the checked path is started");
  require(check.answer.has_value() && (*check.answer & kNotAFileMask) == 0,
          "only a file is started");
  require(start.creation_flags == priority_class, "the start asks for the keyword's class alone");
  require(start.inherit_handles, "the started program inherits the handles");
  if (start.application_name.find('"') == AnsiText::npos) {
    require(names_exactly(start.command_line, start.application_name),
            "the started program reads exactly the checked path as its name");
  }
  if (system.start_succeeded) {
    require(status == ExitStatus::started, "a start that worked ends with status 0");
    require(system.boxes.empty(), "a start that worked shows nothing");
    auto closed = system.closed_handles;
    std::sort(closed.begin(), closed.end());
    require(closed == std::vector<std::uintptr_t>{kProcessHandle, kThreadHandle},
            "both handles of the started program are closed, each once");
  } else {
    require(status == ExitStatus::start_failed, "a refused start ends with status 4");
    require(system.boxes ==
                std::vector<Box>{error_box(
                    u"Fehler beim Ausführen der Datei \"" + shown_target + u"\"!", u"Fehler")},
            "a refused start shows its one error and no help");
    require(system.closed_handles.empty(), "a refused start closes nothing");
  }
}

void check_run(FuzzedSystem& system, CodePage page, const std::u16string& arguments,
               ExitStatus status) {
  check_frame(system, status);
  const std::u16string text = trim_spaces(arguments);
  const auto space = text.find(u' ');
  const auto asked = system_calls(system);
  if (space == std::u16string::npos) {
    require(status == ExitStatus::usage, "an argument text without a space ends with status 1");
    require(system.boxes == std::vector<Box>{help_box()}, "status 1 shows the help alone");
    require(asked.empty(), "an incomplete call asks the system nothing");
    return;
  }
  const std::u16string keyword = system.lower_case(text.substr(0, space));
  const auto priority_class = documented_class(keyword);
  if (!priority_class) {
    require(status == ExitStatus::unknown_priority, "an unknown keyword ends with status 2");
    require(system.boxes ==
                std::vector<Box>{error_box(u"Die Priorität \"" + keyword + u"\" ist unbekannt!",
                                           u"Fehler bei Aufruf"),
                                 help_box()},
            "status 2 shows its error, then the help");
    require(asked.empty(), "an unknown keyword asks the system nothing");
    return;
  }

  // The system sees the target without quotes, in its code page; the messages show what
  // that became.
  const AnsiText checked_target = to_code_page(without_quotes(text.substr(space + 1)), page);
  const std::u16string shown_target = from_code_page(checked_target, page);
  const auto& queries = system.short_path_queries;
  require(!queries.empty() && queries.size() <= 4, "the short path is asked for one to four times");
  require(queries.front().buffer_size == 255, "the first short-path buffer is 255 characters");
  for (const auto& query : queries) {
    require(query.path == checked_target, "the short path is asked for the unquoted target");
  }
  std::vector<std::string_view> expected(queries.size(), "short_path");
  expected.emplace_back("file_attributes");
  if (!system.starts.empty()) {
    expected.emplace_back("create_process");
  }
  require(asked == expected, "short path, then one check, then at most one start");

  if (system.starts.empty()) {
    require(status == ExitStatus::no_such_file, "a run without a start ends with status 3");
    require(system.boxes ==
                std::vector<Box>{error_box(u"Die Datei \"" + shown_target + u"\" existiert nicht",
                                           u"Fehler beim Aufruf"),
                                 help_box()},
            "status 3 shows its error, then the help");
    return;
  }
  check_start(system, *priority_class, status, shown_target);
}

}  // namespace
}  // namespace zdrv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zdrv::fuzz;
  FuzzedDataProvider input(data, size);
  const CodePage page = input.ConsumeBool() ? CodePage::utf8 : CodePage::latin1;
  const std::u16string arguments = argument_text_from(input.ConsumeRandomLengthString());
  FuzzedSystem system(input, page, arguments);
  zdrv::Form1 form(system);
  zdrv::ExitStatus status{};
  try {
    form.load();
  } catch (const ProgramEnded& ended) {
    status = ended.status;
  }
  check_run(system, page, arguments, status);
  return 0;
}
