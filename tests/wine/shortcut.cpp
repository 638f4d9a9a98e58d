// Test helper, Win32 only: does with a shortcut what Explorer does. It writes a shortcut
// (.lnk) with IShellLinkW, opens it with ShellExecuteExW, with a file as the parameter
// when one is given (a file dropped onto the shortcut), and waits for the program the
// shortcut started.
//
// Usage: shortcut <link> <target> <working folder> <arguments> [<dropped file>]
// Exit status: the started program's, 0 when it had ended before the helper could wait
// for it, and 100 and more when the helper failed.
#include <windows.h>
// These need the types of windows.h.
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

enum Failure : int { kUsage = 100, kWriteLink = 101, kOpenLink = 102 };

// The shortcut as Explorer's "Create shortcut" writes it.
bool write_link(const wchar_t* link, const wchar_t* target, const wchar_t* folder,
                const wchar_t* arguments) {
  IShellLinkW* shell_link = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void**>(&shell_link)))) {
    return false;
  }
  IPersistFile* file = nullptr;
  const bool written =
      SUCCEEDED(shell_link->SetPath(target)) &&
      SUCCEEDED(shell_link->SetWorkingDirectory(folder)) &&
      SUCCEEDED(shell_link->SetArguments(arguments)) &&
      SUCCEEDED(shell_link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
      SUCCEEDED(file->Save(link, TRUE));
  if (file != nullptr) {
    file->Release();
  }
  shell_link->Release();
  return written;
}

// The processes this one started from the file `name` that still run. The shell hands no
// process back for a shortcut (Wine's does not), so they are found by their parent.
std::vector<HANDLE> running_children(const wchar_t* name) {
  std::vector<HANDLE> children;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    return children;
  }
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more != FALSE;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ParentProcessID == GetCurrentProcessId() &&
        _wcsicmp(entry.szExeFile, name) == 0) {
      HANDLE child =
          OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
      if (child != nullptr) {
        children.push_back(child);
      }
    }
  }
  CloseHandle(snapshot);
  return children;
}

DWORD wait_for(HANDLE process) {
  WaitForSingleObject(process, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(process, &status);
  CloseHandle(process);
  return status;
}

int open_link(const wchar_t* link, const wchar_t* target, const wchar_t* dropped) {
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"open";
  info.lpFile = link;
  info.lpParameters = dropped;
  info.nShow = SW_SHOWNORMAL;
  if (ShellExecuteExW(&info) == FALSE) {
    std::fprintf(stderr, "shortcut: ShellExecuteExW failed, error %lu\n", GetLastError());
    return kOpenLink;
  }
  if (info.hProcess != nullptr) {
    return static_cast<int>(wait_for(info.hProcess));
  }
  const wchar_t* slash = std::wcsrchr(target, L'\\');
  DWORD status = 0;
  for (HANDLE child : running_children(slash != nullptr ? slash + 1 : target)) {
    status = wait_for(child);
  }
  return static_cast<int>(status);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 5 && argc != 6) {
    std::fputs("usage: shortcut <link> <target> <working folder> <arguments> [<dropped file>]\n",
               stderr);
    return kUsage;
  }
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
    return kWriteLink;
  }
  int status = kWriteLink;
  if (write_link(argv[1], argv[2], argv[3], argv[4])) {
    status = open_link(argv[1], argv[2], argc == 6 ? argv[5] : nullptr);
  }
  CoUninitialize();
  return status;
}
