// Test helper, Win32 only: the program the launcher starts. It appends one JSON line to
// the file named by the environment variable ZDRV_CHILD_LOG, telling how it was started:
// its own file, its command line (as wide text and as the 8-bit bytes of its code page),
// the short form of its own path, its current directory, its priority class and whether
// it is a 32-bit or a 64-bit program. Copies
// of it serve as decoys, which the log tells apart by their file.
#include <windows.h>

#include <array>
#include <cstdio>
#include <string>

#include "json_text.h"

namespace {

std::string hex_bytes(const char* text) {
  std::string out;
  for (const char* c = text; *c != '\0'; ++c) {
    std::array<char, 3> pair{};
    std::snprintf(pair.data(), pair.size(), "%02x", static_cast<unsigned char>(*c));
    out += pair.data();
  }
  return out;
}

// The text a Win32 function writes into a caller's buffer, retried with the size it asks
// for; empty on failure.
template <typename Query>
std::wstring queried_text(Query query) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD length = query(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) {
      return {};
    }
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    buffer.resize(static_cast<std::size_t>(length) + 1);
  }
  return {};
}

std::wstring environment_value(const wchar_t* name) {
  return queried_text(
      [name](wchar_t* out, DWORD size) { return GetEnvironmentVariableW(name, out, size); });
}

std::string record() {
  const std::wstring module =
      queried_text([](wchar_t* out, DWORD size) { return GetModuleFileNameW(nullptr, out, size); });
  const std::wstring short_module = queried_text(
      [&module](wchar_t* out, DWORD size) { return GetShortPathNameW(module.c_str(), out, size); });
  const std::wstring directory =
      queried_text([](wchar_t* out, DWORD size) { return GetCurrentDirectoryW(size, out); });
  std::string line = "{\"module\": " + json_string(module);
  line += ", \"short_module\": " + json_string(short_module);
  line += ", \"command_line\": " + json_string(GetCommandLineW());
  line += ", \"command_line_bytes\": \"" + hex_bytes(GetCommandLineA()) + "\"";
  line += ", \"code_page\": " + std::to_string(GetACP());
  line += ", \"directory\": " + json_string(directory);
  line += ", \"priority_class\": " + std::to_string(GetPriorityClass(GetCurrentProcess()));
  line += ", \"bits\": ";
  line += std::to_string(sizeof(void*) * 8);
  line += "}\n";
  return line;
}

// Appends under an exclusive lock, retrying while another child holds the file.
bool append_line(const std::wstring& path, const std::string& line) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      const auto size = static_cast<DWORD>(line.size());
      const bool ok =
          WriteFile(file, line.data(), size, &written, nullptr) != FALSE && written == size;
      CloseHandle(file);
      return ok;
    }
    Sleep(10);
  }
  return false;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPWSTR /*command_line*/,
                    int /*show*/) {
  const std::wstring log = environment_value(L"ZDRV_CHILD_LOG");
  if (log.empty()) {
    return 3;
  }
  return append_line(log, record()) ? 0 : 4;
}
