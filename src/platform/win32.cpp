// The platform layer on Windows; only Win32-specific code belongs here. Paths and the
// process start go through the 8-bit (A) entry points in the system's ANSI code page,
// which the application manifest sets to UTF-8 where Windows supports that.
#include <windows.h>

#include <climits>
#include <string>

#include "command/form1.h"
#include "platform/platform.h"

namespace zdrv {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

const wchar_t* wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

int checked_length(std::size_t size) {
  return size > static_cast<std::size_t>(INT_MAX) ? -1 : static_cast<int>(size);
}

// The arguments part of a command line: the program's own name is skipped by the rules
// Windows applies to the first token (quoted up to the next quote, otherwise up to the
// first blank), then the blanks that separate it from the arguments.
std::u16string arguments_of(const std::u16string& command_line) {
  std::size_t pos = 0;
  if (!command_line.empty() && command_line[0] == u'"') {
    const auto closing = command_line.find(u'"', 1);
    pos = closing == std::u16string::npos ? command_line.size() : closing + 1;
  } else {
    pos = command_line.find_first_of(u" \t");
    if (pos == std::u16string::npos) {
      pos = command_line.size();
    }
  }
  while (pos < command_line.size() && (command_line[pos] == u' ' || command_line[pos] == u'\t')) {
    ++pos;
  }
  return command_line.substr(pos);
}

class Win32Platform final : public Platform {
 public:
  std::u16string argument_text() override {
    const auto* line = reinterpret_cast<const char16_t*>(GetCommandLineW());
    return arguments_of(line != nullptr ? std::u16string(line) : std::u16string());
  }

  // The program creates no window of its own, so there is nothing on screen to hide or
  // close; the message boxes have no owner.
  void hide_window() override {}
  void close_window() override {}

  bool message_box(const std::u16string& text, const std::u16string& title,
                   MessageStyle style) override {
    return MessageBoxW(nullptr, wide(text), wide(title), static_cast<UINT>(style)) != 0;
  }

  [[noreturn]] void end_program(ExitStatus status) override {
    ExitProcess(static_cast<UINT>(status));
  }

  std::u16string lower_case(const std::u16string& text) override {
    std::u16string lowered = text;
    if (!lowered.empty() && lowered.size() <= MAXDWORD) {
      CharLowerBuffW(reinterpret_cast<wchar_t*>(lowered.data()),
                     static_cast<DWORD>(lowered.size()));
    }
    return lowered;
  }

  AnsiText to_ansi(const std::u16string& text) override {
    const int length = checked_length(text.size());
    if (length <= 0) {
      return {};
    }
    const int needed =
        WideCharToMultiByte(CP_ACP, 0, wide(text), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
      return {};
    }
    AnsiText out(static_cast<std::size_t>(needed), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide(text), length, out.data(), needed, nullptr, nullptr);
    return out;
  }

  std::u16string from_ansi(std::string_view text) override {
    const int length = checked_length(text.size());
    if (length <= 0) {
      return {};
    }
    const int needed = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
    if (needed <= 0) {
      return {};
    }
    std::u16string out(static_cast<std::size_t>(needed), u'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), length, reinterpret_cast<wchar_t*>(out.data()),
                        needed);
    return out;
  }

  ShortPathAnswer short_path(const AnsiText& path, std::size_t buffer_size) override {
    if (buffer_size >= MAXDWORD) {
      return {};
    }
    // One character more than announced, as the customary 256-character buffer with the
    // size 255 has; it is filled with spaces so unwritten characters stay blank.
    std::string buffer(buffer_size + 1, ' ');
    const DWORD length =
        GetShortPathNameA(path.c_str(), buffer.data(), static_cast<DWORD>(buffer_size));
    return {length, std::move(buffer)};
  }

  std::optional<std::uint32_t> file_attributes(const AnsiText& path) override {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      return std::nullopt;
    }
    return attributes;
  }

  std::optional<StartedProcess> create_process(const StartRequest& request) override {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    // CreateProcess may write into the command line, so it gets a copy of its own.
    std::string command_line = request.command_line;
    const BOOL started =
        CreateProcessA(request.application_name.c_str(), command_line.data(), nullptr, nullptr,
                       request.inherit_handles ? TRUE : FALSE, request.creation_flags, nullptr,
                       nullptr, &startup, &process);
    if (started == FALSE) {
      return std::nullopt;
    }
    return StartedProcess{reinterpret_cast<std::uintptr_t>(process.hProcess),
                          reinterpret_cast<std::uintptr_t>(process.hThread)};
  }

  bool close_handle(std::uintptr_t handle) override {
    return CloseHandle(reinterpret_cast<HANDLE>(handle)) != FALSE;
  }
};

}  // namespace
}  // namespace zdrv

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*command_line*/,
                   int /*show*/) {
  zdrv::Win32Platform platform;
  zdrv::Form1 form(platform);
  form.load();
}
