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

// The program's own full path as the system reports it; empty when it cannot be had. The
// buffer grows until the path fits, for folders beyond MAX_PATH; a path holds at most
// 32,767 characters.
std::u16string own_path() {
  std::u16string path;
  for (std::size_t size = MAX_PATH; size / 2 < 32768; size *= 2) {
    path.resize(size);
    const DWORD length = GetModuleFileNameW(nullptr, reinterpret_cast<wchar_t*>(path.data()),
                                            static_cast<DWORD>(size));
    if (length == 0) {
      return {};
    }
    if (length < size) {
      path.resize(length);
      return path;
    }
  }
  return {};
}

// GetProcAddress's answer as the function it names. The detour through void(*)() is the
// conversion compilers accept between unrelated function types.
template <typename Function>
Function library_function(HMODULE library, const char* name) {
  const FARPROC address = library != nullptr ? GetProcAddress(library, name) : nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

// DLLs that are not known system DLLs are looked for in the program's folder first, and
// a folder a user downloaded zdrv.exe into may hold anything: from here on every DLL the
// process loads, and every DLL those load, comes from the system folder. Windows 7 has
// SetDefaultDllDirectories only with its 2011 loader update; without it, at least the
// current directory leaves the search.
void load_dlls_from_the_system_folder_only() {
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  const auto set_default_dll_directories = library_function<SetDefaultDllDirectoriesFunction>(
      GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
  if (set_default_dll_directories == nullptr ||
      set_default_dll_directories(LOAD_LIBRARY_SEARCH_SYSTEM32) == FALSE) {
    SetDllDirectoryW(L"");
  }
}

// A DLL from the system folder, by the system's rules for its name (a side-by-side
// assembly named in the manifest included), and the DLLs it needs from there too.
HMODULE system_library(const wchar_t* name) {
  HMODULE library = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (library != nullptr) {
    return library;
  }
  // Without the loader update the flag is refused: the full path names the same file.
  std::wstring path(MAX_PATH, L'\0');
  const UINT length = GetSystemDirectoryW(path.data(), static_cast<UINT>(path.size()));
  if (length == 0 || length >= path.size()) {
    return nullptr;
  }
  path.resize(length);
  path += L'\\';
  path += name;
  return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// user32, loaded only when a message box is to be shown: a successful start needs no GUI
// library at all. A box also loads DLLs that the loader looks for beside zdrv.exe first,
// whatever the process's default search says: the dependencies of the manifest's
// side-by-side common controls, and DLLs that the theming code loads only when it first
// calls them (seen under Wine: msimg32). Loaded here first, from the system folder, they
// are already there when the box asks for them.
HMODULE system_user32() {
  for (const wchar_t* needed_by_a_box : {L"comctl32.dll", L"msimg32.dll"}) {
    static_cast<void>(system_library(needed_by_a_box));
  }
  return system_library(L"user32.dll");
}

// A 32-bit program on 64-bit Windows sees %windir%\SysWOW64 where it asks for System32.
// While this object lives, the calling thread sees paths as a 64-bit program does, so a
// System32 path names the native file. On a 32-bit Windows, and in a 64-bit program, there
// is nothing to switch off and nothing changes. Anything else, above all the loading of
// DLLs for a message box, must happen with redirection back in force: a 32-bit process
// cannot load the native System32's DLLs.
class NativeFileSystemView {
 public:
  NativeFileSystemView() : switched_off_(Wow64DisableWow64FsRedirection(&previous_) != FALSE) {}
  NativeFileSystemView(const NativeFileSystemView&) = delete;
  NativeFileSystemView& operator=(const NativeFileSystemView&) = delete;
  NativeFileSystemView(NativeFileSystemView&&) = delete;
  NativeFileSystemView& operator=(NativeFileSystemView&&) = delete;
  ~NativeFileSystemView() {
    if (switched_off_) {
      Wow64RevertWow64FsRedirection(previous_);
    }
  }

 private:
  PVOID previous_ = nullptr;
  bool switched_off_;
};

class Win32Platform final : public Platform {
 public:
  std::u16string argument_text() override {
    const auto* line = reinterpret_cast<const char16_t*>(GetCommandLineW());
    return arguments_of(line != nullptr ? std::u16string(line) : std::u16string(), own_path(),
                        *this);
  }

  // The program creates no window of its own, so there is nothing on screen to hide or
  // close; the message boxes have no owner.
  void hide_window() override {}
  void close_window() override {}

  bool message_box(const std::u16string& text, const std::u16string& title,
                   MessageStyle style) override {
    using MessageBoxWFunction = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);
    const auto message_box_w =
        library_function<MessageBoxWFunction>(system_user32(), "MessageBoxW");
    if (message_box_w == nullptr) {
      return false;
    }
    return message_box_w(nullptr, wide(text), wide(title), static_cast<UINT>(style)) != 0;
  }

  [[noreturn]] void end_program(ExitStatus status) override {
    ExitProcess(static_cast<UINT>(status));
  }

  // kernel32's case mapping, so that lowering the keyword does not load the GUI library;
  // without linguistic casing it lowers the same letters in every locale.
  std::u16string lower_case(const std::u16string& text) override {
    const int length = checked_length(text.size());
    if (length <= 0) {
      return text;
    }
    std::u16string lowered(text.size(), u'\0');
    const int written = LCMapStringW(LOCALE_INVARIANT, LCMAP_LOWERCASE, wide(text), length,
                                     reinterpret_cast<wchar_t*>(lowered.data()), length);
    return written == length ? lowered : text;
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
    const NativeFileSystemView native;
    const DWORD length =
        GetShortPathNameA(path.c_str(), buffer.data(), static_cast<DWORD>(buffer_size));
    return {length, std::move(buffer)};
  }

  std::optional<std::uint32_t> file_attributes(const AnsiText& path) override {
    const NativeFileSystemView native;
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
    const NativeFileSystemView native;
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
  zdrv::load_dlls_from_the_system_folder_only();
  zdrv::Win32Platform platform;
  zdrv::Form1 form(platform);
  form.load();
}
