// A scripted platform for the unit tests: answers from its fields and writes down every
// call, so a test can check the exact order of boxes and system calls.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace zdrv::testing {

// Thrown by FakePlatform::end_program so a test can see the program end.
struct ProgramEnded {
  ExitStatus status;
};

struct ShownBox {
  std::u16string text;
  std::u16string title;
  MessageStyle style;
  bool operator==(const ShownBox&) const = default;
};

class FakePlatform final : public Platform {
 public:
  // What the fake answers.
  std::u16string arguments;
  std::map<AnsiText, std::uint32_t> attributes;  // paths that exist
  std::map<AnsiText, AnsiText> short_forms;      // short form of existing paths, if not the path
  bool start_succeeds = true;
  bool short_forms_keep_growing = false;  // each answer needs one character more than offered
  bool boxes_fail = false;

  // What the program did.
  std::vector<std::string> calls;
  std::vector<ShownBox> boxes;
  std::vector<StartRequest> starts;
  std::vector<std::uintptr_t> closed_handles;

  std::u16string argument_text() override {
    calls.emplace_back("argument_text");
    return arguments;
  }
  void hide_window() override { calls.emplace_back("hide_window"); }
  void close_window() override { calls.emplace_back("close_window"); }

  bool message_box(const std::u16string& text, const std::u16string& title,
                   MessageStyle style) override {
    calls.emplace_back("message_box");
    if (boxes_fail) {
      return false;
    }
    boxes.push_back({text, title, style});
    return true;
  }

  [[noreturn]] void end_program(ExitStatus status) override {
    calls.emplace_back("end_program");
    throw ProgramEnded{status};
  }

  // ASCII and the German upper-case letters are enough for the tests.
  std::u16string lower_case(const std::u16string& text) override {
    std::u16string out = text;
    for (char16_t& c : out) {
      if ((c >= u'A' && c <= u'Z') || c == u'Ä' || c == u'Ö' || c == u'Ü') {
        c = static_cast<char16_t>(c + 0x20);
      }
    }
    return out;
  }

  // A Latin-1 code page: anything beyond it becomes '?', as Windows' best fit does.
  AnsiText to_ansi(const std::u16string& text) override {
    AnsiText out;
    for (char16_t c : text) {
      out += c <= 0xFF ? static_cast<char>(c) : '?';
    }
    return out;
  }
  std::u16string from_ansi(std::string_view text) override {
    std::u16string out;
    for (char c : text) {
      out += static_cast<char16_t>(static_cast<unsigned char>(c));
    }
    return out;
  }

  ShortPathAnswer short_path(const AnsiText& path, std::size_t buffer_size) override {
    calls.emplace_back("short_path " + path);
    if (attributes.count(path) == 0) {
      return {};
    }
    const auto form = short_forms.count(path) != 0 ? short_forms.at(path) : path;
    if (short_forms_keep_growing || form.size() >= buffer_size) {
      const std::size_t needed = short_forms_keep_growing ? buffer_size + 1 : form.size() + 1;
      return {static_cast<std::uint32_t>(needed), std::string(buffer_size, ' ')};
    }
    return {static_cast<std::uint32_t>(form.size()),
            form + std::string(buffer_size - form.size(), ' ')};
  }

  std::optional<std::uint32_t> file_attributes(const AnsiText& path) override {
    calls.emplace_back("file_attributes " + path);
    const auto found = attributes.find(path);
    if (found == attributes.end()) {
      return std::nullopt;
    }
    return found->second;
  }

  std::optional<StartedProcess> create_process(const StartRequest& request) override {
    calls.emplace_back("create_process " + request.application_name);
    starts.push_back(request);
    if (!start_succeeds) {
      return std::nullopt;
    }
    return StartedProcess{101, 102};
  }

  bool close_handle(std::uintptr_t handle) override {
    closed_handles.push_back(handle);
    return true;
  }
};

}  // namespace zdrv::testing
