// Test helper, Win32 only: invokes a context-menu entry on a file as Explorer does. It
// opens the key that holds the entry's verbs under HKEY_CURRENT_USER and hands it to
// ShellExecuteExW as the file's class (SEE_MASK_CLASSKEY), which runs the command of
// <key>\shell\<verb> with %1 replaced by the file, then waits for the started program.
// (Wine's HKEY_CLASSES_ROOT does not include HKCU\Software\Classes, where a per-user
// installation writes its verbs, so the shell would not find them by the file's type.)
//
// Usage: shell_verb <key under HKEY_CURRENT_USER> <verb> <file>
// Exit status: the started program's, and 100 and more when the helper failed.
#include <windows.h>
// These need the types of windows.h.
#include <shellapi.h>

#include <cstdio>

namespace {

enum Failure : int { kUsage = 100, kOpenKey = 101, kExecute = 102, kNoProcess = 103 };

int invoke(HKEY class_key, const wchar_t* verb, const wchar_t* file) {
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_CLASSKEY | SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.hkeyClass = class_key;
  info.lpVerb = verb;
  info.lpFile = file;
  info.nShow = SW_SHOWNORMAL;
  if (ShellExecuteExW(&info) == FALSE) {
    std::fprintf(stderr, "shell_verb: ShellExecuteExW failed, error %lu\n", GetLastError());
    return kExecute;
  }
  if (info.hProcess == nullptr) {
    return kNoProcess;
  }
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD status = kNoProcess;
  GetExitCodeProcess(info.hProcess, &status);
  CloseHandle(info.hProcess);
  return static_cast<int>(status);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    std::fputs("usage: shell_verb <key under HKEY_CURRENT_USER> <verb> <file>\n", stderr);
    return kUsage;
  }
  HKEY class_key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, argv[1], 0, KEY_READ, &class_key) != ERROR_SUCCESS) {
    std::fprintf(stderr, "shell_verb: no key HKEY_CURRENT_USER\\%ls\n", argv[1]);
    return kOpenKey;
  }
  const int status = invoke(class_key, argv[2], argv[3]);
  RegCloseKey(class_key);
  return status;
}
