// Test helper, Win32 only: starts the program under test, reads every message box it
// shows (title, text, buttons, icon), presses OK on each, waits for the program to end
// and writes what it saw, with the exit status, as JSON to a report file. The boxes of the
// programs it starts count too, so a client (cmd, a shortcut) may start the program under
// test.
//
// Usage: box_watcher <job file> <report file>
// The job file is UTF-16LE: the application name (empty for none; its NT path \??\C:\...
// for a program whose path is longer than MAX_PATH), the current directory (empty to
// inherit), the time limit in milliseconds, each on a line of its own, and then, up to the
// end of the file, the command line exactly as it is to be passed (it may hold any
// character, line breaks included).
#include <windows.h>
// Need the types of windows.h.
#include <tlhelp32.h>
#include <winternl.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "json_text.h"

namespace {

struct Job {
  std::wstring application;
  std::wstring directory;
  DWORD time_limit_ms = 20000;
  std::wstring command_line;
};

struct Button {
  int id = 0;
  std::wstring text;
};

struct Box {
  std::wstring title;
  std::wstring text;
  std::vector<Button> buttons;
  // "error", "question", "warning", "information", "unknown" (no single icon matched),
  // "offscreen" or "none"
  std::string icon;
  std::vector<long> icon_differences;  // differing pixels per candidate, in candidate order
};

struct Report {
  bool started = false;
  DWORD start_error = 0;
  DWORD pid = 0;
  DWORD exit_code = 0;
  bool timed_out = false;
  std::vector<Box> boxes;
};

// Wine gives the icon of a message box the id 1088; Windows uses 20.
constexpr std::array<int, 2> kIconControlIds{1088, 20};
constexpr int kTextControlId = 0xFFFF;

struct IconCandidate {
  const char* name;
  WORD resource;
};
constexpr std::array<IconCandidate, 4> kIconCandidates{{
    {"error", 32513},        // IDI_HAND
    {"question", 32514},     // IDI_QUESTION
    {"warning", 32515},      // IDI_EXCLAMATION
    {"information", 32516},  // IDI_ASTERISK
}};

// ---- job and report files ------------------------------------------------------------

std::optional<std::wstring> read_utf16_file(const wchar_t* path) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return std::nullopt;
  }
  std::wstring content;
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file, &size) != FALSE && size.QuadPart % 2 == 0 &&
      size.QuadPart < 16 * 1024 * 1024) {
    content.resize(static_cast<std::size_t>(size.QuadPart / 2));
    DWORD read = 0;
    const auto bytes = static_cast<DWORD>(size.QuadPart);
    if (ReadFile(file, content.data(), bytes, &read, nullptr) == FALSE || read != bytes) {
      content.clear();
    }
  }
  CloseHandle(file);
  return content;
}

// Splits off the text up to the next line feed; false when there is none.
bool take_line(std::wstring& rest, std::wstring& line) {
  const auto end = rest.find(L'\n');
  if (end == std::wstring::npos) {
    return false;
  }
  line = rest.substr(0, end);
  rest.erase(0, end + 1);
  return true;
}

std::optional<Job> parse_job(std::wstring content) {
  Job job;
  std::wstring limit;
  if (!take_line(content, job.application) || !take_line(content, job.directory) ||
      !take_line(content, limit)) {
    return std::nullopt;
  }
  job.time_limit_ms = static_cast<DWORD>(wcstoul(limit.c_str(), nullptr, 10));
  job.command_line = content;
  return job;
}

std::string json_report(const Report& report) {
  std::string out = "{\"started\": " + std::string(report.started ? "true" : "false");
  out += ", \"start_error\": " + std::to_string(report.start_error);
  out += ", \"pid\": " + std::to_string(report.pid);
  out += ", \"exit_code\": " + std::to_string(report.exit_code);
  out += ", \"timed_out\": " + std::string(report.timed_out ? "true" : "false");
  out += ", \"boxes\": [";
  for (std::size_t i = 0; i < report.boxes.size(); ++i) {
    const Box& box = report.boxes[i];
    out += i == 0 ? "\n  " : ",\n  ";
    out += "{\"title\": " + json_string(box.title) + ", \"text\": " + json_string(box.text);
    out += ", \"icon\": \"" + box.icon + "\", \"icon_differences\": [";
    for (std::size_t k = 0; k < box.icon_differences.size(); ++k) {
      out += (k == 0 ? "" : ", ") + std::to_string(box.icon_differences[k]);
    }
    out += "], \"buttons\": [";
    for (std::size_t k = 0; k < box.buttons.size(); ++k) {
      out += k == 0 ? "" : ", ";
      out += "{\"id\": " + std::to_string(box.buttons[k].id) +
             ", \"text\": " + json_string(box.buttons[k].text) + "}";
    }
    out += "]}";
  }
  return out + "]}\n";
}

bool write_file(const wchar_t* path, const std::string& content) {
  HANDLE file =
      CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  DWORD written = 0;
  const auto size = static_cast<DWORD>(content.size());
  const bool ok =
      WriteFile(file, content.data(), size, &written, nullptr) != FALSE && written == size;
  CloseHandle(file);
  return ok;
}

// ---- reading a box ---------------------------------------------------------------------

std::wstring window_text(HWND window) {
  const int length = GetWindowTextLengthW(window);
  if (length <= 0) {
    return {};
  }
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int copied = GetWindowTextW(window, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
  return text;
}

std::wstring class_name(HWND window) {
  std::array<wchar_t, 64> name{};
  const int length = GetClassNameW(window, name.data(), static_cast<int>(name.size()));
  return std::wstring(name.data(), static_cast<std::size_t>(length > 0 ? length : 0));
}

BOOL CALLBACK collect_button(HWND child, LPARAM context) {
  if (class_name(child) == L"Button" && IsWindowVisible(child) != FALSE) {
    reinterpret_cast<std::vector<Button>*>(context)->push_back(
        {GetDlgCtrlID(child), window_text(child)});
  }
  return TRUE;
}

// A 32-bit top-down DIB section the helper can draw into and read back.
class Bitmap {
 public:
  Bitmap(int width, int height) : width_(width), height_(height) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    dc_ = CreateCompatibleDC(nullptr);
    void* bits = nullptr;
    bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    pixels_ = static_cast<const std::uint32_t*>(bits);
    previous_ = SelectObject(dc_, bitmap_);
  }
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;
  ~Bitmap() {
    SelectObject(dc_, previous_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
  }

  bool valid() const { return pixels_ != nullptr; }
  HDC dc() const { return dc_; }
  std::uint32_t pixel(int x, int y) const {
    GdiFlush();
    return pixels_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) +
                   static_cast<std::size_t>(x)];
  }
  long differences(const Bitmap& other) const {
    long count = 0;
    for (int y = 0; y < height_; ++y) {
      for (int x = 0; x < width_; ++x) {
        count += (pixel(x, y) & 0xFFFFFFu) != (other.pixel(x, y) & 0xFFFFFFu) ? 1 : 0;
      }
    }
    return count;
  }

 private:
  int width_;
  int height_;
  HDC dc_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ previous_ = nullptr;
  const std::uint32_t* pixels_ = nullptr;
};

// The icon handle of the other process cannot be compared with ours, so the icon is
// told by its pixels: the control is captured from the screen, and each system icon is
// drawn on the same background; the one that differs in no pixel is the icon shown.
std::vector<long> icon_differences(HWND icon_control) {
  RECT rect{};
  GetWindowRect(icon_control, &rect);
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) {
    return {};
  }
  Bitmap shown(width, height);
  HDC screen = GetDC(nullptr);
  BitBlt(shown.dc(), 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  ReleaseDC(nullptr, screen);
  if (!shown.valid()) {
    return {};
  }
  const std::uint32_t background = shown.pixel(0, 0) & 0xFFFFFFu;
  const COLORREF background_color =
      RGB((background >> 16) & 0xFF, (background >> 8) & 0xFF, background & 0xFF);
  std::vector<long> differences;
  for (const auto& candidate : kIconCandidates) {
    Bitmap drawn(width, height);
    HBRUSH brush = CreateSolidBrush(background_color);
    const RECT all{0, 0, width, height};
    FillRect(drawn.dc(), &all, brush);
    DeleteObject(brush);
    DrawIconEx(drawn.dc(), 0, 0, LoadIconW(nullptr, MAKEINTRESOURCEW(candidate.resource)), 0, 0, 0,
               nullptr, DI_NORMAL);
    differences.push_back(shown.differences(drawn));
  }
  return differences;
}

std::string icon_name(const std::vector<long>& differences) {
  std::string name = "unknown";
  int exact = 0;
  for (std::size_t i = 0; i < differences.size(); ++i) {
    if (differences[i] == 0) {
      name = kIconCandidates[i].name;
      ++exact;
    }
  }
  return exact == 1 ? name : "unknown";
}

HWND icon_control_of(HWND box) {
  for (const int id : kIconControlIds) {
    HWND control = GetDlgItem(box, id);
    if (control != nullptr && class_name(control) == L"Static") {
      return control;
    }
  }
  return nullptr;
}

bool on_screen(HWND control) {
  RECT rect{};
  GetWindowRect(control, &rect);
  return rect.left >= 0 && rect.top >= 0 && rect.right <= GetSystemMetrics(SM_CXSCREEN) &&
         rect.bottom <= GetSystemMetrics(SM_CYSCREEN);
}

void classify_icon(HWND box, Box& seen) {
  HWND control = icon_control_of(box);
  if (control == nullptr) {
    seen.icon = "none";
    return;
  }
  // A box with a very long text is larger than the screen; its icon cannot be seen.
  if (!on_screen(control)) {
    seen.icon = "offscreen";
    return;
  }
  // The box may not be painted yet when it first becomes visible: ask it to paint and
  // look again for a while until the picture settles on one icon.
  const ULONGLONG give_up = GetTickCount64() + 3000;
  do {
    RedrawWindow(control, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    seen.icon_differences = icon_differences(control);
    seen.icon = icon_name(seen.icon_differences);
    if (seen.icon != "unknown") {
      return;
    }
    Sleep(20);
  } while (GetTickCount64() < give_up);
}

Box read_box(HWND box) {
  Box seen;
  seen.title = window_text(box);
  HWND text_control = GetDlgItem(box, kTextControlId);
  if (text_control != nullptr) {
    seen.text = window_text(text_control);
  }
  EnumChildWindows(box, collect_button, reinterpret_cast<LPARAM>(&seen.buttons));
  classify_icon(box, seen);
  return seen;
}

// ---- watching ------------------------------------------------------------------------

struct Scan {
  std::vector<std::pair<HWND, DWORD>> boxes;  // with the process that owns each
};

BOOL CALLBACK collect_box(HWND window, LPARAM context) {
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (IsWindowVisible(window) != FALSE && class_name(window) == L"#32770") {
    reinterpret_cast<Scan*>(context)->boxes.emplace_back(window, owner);
  }
  return TRUE;
}

// True when `pid` is `root` or was started by it, directly or through processes that still
// run (a process showing a box runs, and so do the clients that wait for it).
bool descends_from(DWORD pid, DWORD root) {
  if (pid == root) {
    return true;
  }
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    return false;
  }
  std::map<DWORD, DWORD> parent_of;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more != FALSE;
       more = Process32NextW(snapshot, &entry)) {
    parent_of[entry.th32ProcessID] = entry.th32ParentProcessID;
  }
  CloseHandle(snapshot);
  // Process ids are reused, so the walk up is bounded.
  for (int depth = 0; depth < 16; ++depth) {
    const auto parent = parent_of.find(pid);
    if (parent == parent_of.end() || parent->second == 0) {
      return false;
    }
    pid = parent->second;
    if (pid == root) {
      return true;
    }
  }
  return false;
}

// Reads and dismisses the boxes of `pid` and its descendants that have not been handled yet.
void handle_new_boxes(DWORD pid, std::set<HWND>& handled, std::vector<Box>& boxes) {
  Scan scan;
  EnumWindows(collect_box, reinterpret_cast<LPARAM>(&scan));
  for (const auto& [box, owner] : scan.boxes) {
    if (handled.count(box) != 0 || !descends_from(owner, pid)) {
      continue;
    }
    handled.insert(box);
    boxes.push_back(read_box(box));
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
  }
  // Forget boxes that are gone so that a reused handle is seen as new.
  for (auto it = handled.begin(); it != handled.end();) {
    it = IsWindow(*it) != FALSE ? std::next(it) : handled.erase(it);
  }
}

// RTL_USER_PROCESS_INFORMATION, which the SDK headers lack.
struct UserProcessInformation {
  ULONG length;
  HANDLE process;
  HANDLE thread;
  CLIENT_ID client_id;
  BYTE image_information[64];  // SECTION_IMAGE_INFORMATION: 48 bytes, 64 in a 64-bit process
};

UNICODE_STRING counted(std::wstring& text) {
  const auto bytes = static_cast<USHORT>(text.size() * sizeof(wchar_t));
  return {bytes, bytes, text.data()};
}

template <typename Function>
Function ntdll_function(const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

// Wine's CreateProcessW refuses a program whose path is longer than MAX_PATH (error 123);
// ntdll takes its NT path (\??\C:\...) of any length. The process starts suspended.
bool start_by_nt_path(const Job& job, PROCESS_INFORMATION& process) {
  using CreateParameters = NTSTATUS(NTAPI*)(
      PRTL_USER_PROCESS_PARAMETERS*, PUNICODE_STRING, PUNICODE_STRING, PUNICODE_STRING,
      PUNICODE_STRING, PVOID, PUNICODE_STRING, PUNICODE_STRING, PUNICODE_STRING, PUNICODE_STRING);
  using CreateUserProcess = NTSTATUS(NTAPI*)(PUNICODE_STRING, ULONG, PRTL_USER_PROCESS_PARAMETERS,
                                             PSECURITY_DESCRIPTOR, PSECURITY_DESCRIPTOR, HANDLE,
                                             BOOLEAN, HANDLE, HANDLE, UserProcessInformation*);
  const auto create_parameters = ntdll_function<CreateParameters>("RtlCreateProcessParameters");
  const auto create_user_process = ntdll_function<CreateUserProcess>("RtlCreateUserProcess");
  std::wstring nt_path = job.application;
  std::wstring path = nt_path.substr(4);
  std::wstring command_line = job.command_line;
  std::wstring directory = job.directory;
  UNICODE_STRING nt_path_text = counted(nt_path);
  UNICODE_STRING path_text = counted(path);
  UNICODE_STRING command_line_text = counted(command_line);
  UNICODE_STRING directory_text = counted(directory);
  using DestroyParameters = NTSTATUS(NTAPI*)(PRTL_USER_PROCESS_PARAMETERS);
  const auto destroy_parameters = ntdll_function<DestroyParameters>("RtlDestroyProcessParameters");
  PRTL_USER_PROCESS_PARAMETERS parameters = nullptr;
  if (create_parameters == nullptr || create_user_process == nullptr ||
      destroy_parameters == nullptr ||
      create_parameters(&parameters, &path_text, nullptr,
                        directory.empty() ? nullptr : &directory_text, &command_line_text, nullptr,
                        nullptr, nullptr, nullptr, nullptr) != 0) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return false;
  }
  UserProcessInformation created{};
  created.length = sizeof created;
  const NTSTATUS status =
      create_user_process(&nt_path_text, OBJ_CASE_INSENSITIVE, parameters, nullptr, nullptr,
                          nullptr, FALSE, nullptr, nullptr, &created);
  destroy_parameters(parameters);
  if (status != 0) {
    SetLastError(static_cast<DWORD>(status));
    return false;
  }
  process.hProcess = created.process;
  process.hThread = created.thread;
  process.dwProcessId =
      static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(created.client_id.UniqueProcess));
  ResumeThread(created.thread);
  return true;
}

bool start(const Job& job, PROCESS_INFORMATION& process) {
  if (job.application.rfind(L"\\??\\", 0) == 0) {
    return start_by_nt_path(job, process);
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  std::wstring command_line = job.command_line;
  return CreateProcessW(job.application.empty() ? nullptr : job.application.c_str(),
                        command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        job.directory.empty() ? nullptr : job.directory.c_str(), &startup,
                        &process) != FALSE;
}

Report run(const Job& job) {
  Report report;
  PROCESS_INFORMATION process{};
  if (!start(job, process)) {
    report.start_error = GetLastError();
    return report;
  }
  report.started = true;
  report.pid = process.dwProcessId;

  std::set<HWND> handled;
  const ULONGLONG give_up = GetTickCount64() + job.time_limit_ms;
  while (WaitForSingleObject(process.hProcess, 10) == WAIT_TIMEOUT) {
    handle_new_boxes(process.dwProcessId, handled, report.boxes);
    if (GetTickCount64() > give_up) {
      report.timed_out = true;
      TerminateProcess(process.hProcess, 0xDEAD);
      WaitForSingleObject(process.hProcess, 5000);
      break;
    }
  }
  GetExitCodeProcess(process.hProcess, &report.exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return report;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fputs("usage: box_watcher <job file> <report file>\n", stderr);
    return 2;
  }
  const auto content = read_utf16_file(argv[1]);
  const auto job = content ? parse_job(*content) : std::nullopt;
  if (!job) {
    std::fputs("box_watcher: unreadable job file\n", stderr);
    return 2;
  }
  const Report report = run(*job);
  if (!write_file(argv[2], json_report(report))) {
    std::fputs("box_watcher: cannot write the report\n", stderr);
    return 2;
  }
  return 0;
}
