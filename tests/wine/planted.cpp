// Test helper, Win32 only: a DLL that the tests plant beside zdrv.exe and in its current
// directory under the names of system DLLs. It must never load into zdrv.exe; if it does,
// its DllMain appends the file of the process and its own file, one line, to the file
// that the environment variable ZDRV_PLANTED_LOG names.
#include <windows.h>

#include <string>

namespace {

std::wstring module_file(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length < path.size() ? length : 0);
  return path;
}

void record_load(HMODULE self) {
  wchar_t log[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(L"ZDRV_PLANTED_LOG", log, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    return;
  }
  const std::wstring line = module_file(nullptr) + L" loaded " + module_file(self) + L"\n";
  HANDLE file = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return;
  }
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written,
            nullptr);
  CloseHandle(file);
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) {
    record_load(self);
  }
  return TRUE;
}
