// The commands of the entry: the root, shown with zdrv.exe's icon, and one sub-command per
// priority, which starts zdrv.exe on the selected file as the classic entry's command does.
// Explorer calls them with whatever it has: every pointer is checked, and nothing here can
// throw (the DLL is built without exceptions), so no failure reaches Explorer but as an
// HRESULT.
#include "handler.h"

#include <algorithm>
#include <initializer_list>
#include <iterator>
#include <string_view>
#include <utility>

#include "com_object.h"
#include "menu_table.h"

// The DLL's own image, which the linker provides.
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace explorer_menu {
namespace {

using std::wstring_view;

// A wide string on the process heap; empty when it could not be made.
class Text {
 public:
  Text() = default;
  Text(Text&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), length_(std::exchange(other.length_, 0)) {}
  Text& operator=(Text&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(length_, other.length_);
    return *this;
  }
  ~Text() {
    if (data_ != nullptr) {
      HeapFree(GetProcessHeap(), 0, data_);
    }
  }

  // Room for `length` characters and the terminating null, all of them null.
  static Text of_length(std::size_t length) {
    Text text;
    text.data_ = static_cast<wchar_t*>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (length + 1) * sizeof(wchar_t)));
    text.length_ = text.data_ != nullptr ? length : 0;
    return text;
  }

  // The parts one after the other.
  static Text joined(std::initializer_list<wstring_view> parts) {
    std::size_t length = 0;
    for (const wstring_view part : parts) {
      length += part.size();
    }
    Text text = of_length(length);
    if (text.empty()) {
      return text;
    }
    wchar_t* end = text.data_;
    for (const wstring_view part : parts) {
      end = std::copy(part.begin(), part.end(), end);
    }
    *end = L'\0';
    return text;
  }

  bool empty() const { return data_ == nullptr; }
  const wchar_t* c_str() const { return data_; }
  wchar_t* data() { return data_; }
  wstring_view view() const { return {data_, length_}; }

 private:
  wchar_t* data_ = nullptr;
  std::size_t length_ = 0;
};

// The folder of a file's full path: without the last backslash, except at a drive's root
// ("C:" alone would name the drive's current folder).
wstring_view folder_of(wstring_view path) {
  const std::size_t last = path.rfind(L'\\');
  if (last == wstring_view::npos) {
    return {};
  }
  const bool drive_root = last == 2 && path[1] == L':';
  return {path.data(), drive_root ? last + 1 : last};
}

// zdrv.exe in the folder above this DLL's: the installer keeps the DLL and its package in
// a folder of their own (the package's external location), a child of the install folder.
Text zdrv_path() {
  // The longest path Windows has, so one call always fits.
  constexpr DWORD kLongestPath = 32768;
  Text own = Text::of_length(kLongestPath);
  if (own.empty()) {
    return {};
  }
  const DWORD length =
      GetModuleFileNameW(reinterpret_cast<HMODULE>(&__ImageBase), own.data(), kLongestPath);
  if (length == 0 || length >= kLongestPath) {
    return {};
  }
  const wstring_view own_path(own.c_str(), length);
  const std::size_t own_folder = own_path.rfind(L'\\');
  const std::size_t install_folder = own_folder == 0 || own_folder == wstring_view::npos
                                         ? wstring_view::npos
                                         : own_path.rfind(L'\\', own_folder - 1);
  if (install_folder == wstring_view::npos) {
    return {};
  }
  return Text::joined({own_path.substr(0, install_folder + 1), L"zdrv.exe"});
}

bool has_menu_file_type(wstring_view path) {
  return std::any_of(std::begin(kFileTypes), std::end(kFileTypes), [path](wstring_view type) {
    return path.size() > type.size() &&
           CompareStringOrdinal(path.data() + (path.size() - type.size()),
                                static_cast<int>(type.size()), type.data(),
                                static_cast<int>(type.size()), TRUE) == CSTR_EQUAL;
  });
}

// The item's path when it is a file (not a folder, whatever its name) of a type in the
// table; empty otherwise.
Text menu_file(IShellItem* item) {
  SFGAOF attributes = 0;
  if (FAILED(item->GetAttributes(SFGAO_FILESYSTEM | SFGAO_FOLDER, &attributes)) ||
      (attributes & SFGAO_FILESYSTEM) == 0 || (attributes & SFGAO_FOLDER) != 0) {
    return {};
  }
  LPWSTR name = nullptr;
  if (FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &name)) || name == nullptr) {
    return {};
  }
  Text path = has_menu_file_type(name) ? Text::joined({name}) : Text{};
  CoTaskMemFree(name);
  return path;
}

// The path of the selection when it is exactly one file the menu is for; empty for
// anything else, and when the shell cannot tell.
Text selected_file(IShellItemArray* items) {
  DWORD count = 0;
  if (items == nullptr || FAILED(items->GetCount(&count)) || count != 1) {
    return {};
  }
  IShellItem* item = nullptr;
  if (FAILED(items->GetItemAt(0, &item)) || item == nullptr) {
    return {};
  }
  Text path = menu_file(item);
  item->Release();
  return path;
}

HRESULT menu_state(IShellItemArray* items, EXPCMDSTATE* state) {
  if (state == nullptr) {
    return E_POINTER;
  }
  *state = selected_file(items).empty() ? ECS_HIDDEN : ECS_ENABLED;
  return S_OK;
}

// Text for Explorer, which frees it with CoTaskMemFree.
HRESULT give_text(wstring_view text, LPWSTR* out) {
  if (out == nullptr) {
    return E_POINTER;
  }
  *out = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
  if (*out == nullptr) {
    return E_OUTOFMEMORY;
  }
  *std::copy(text.begin(), text.end(), *out) = L'\0';
  return S_OK;
}

// A value for Explorer through its out pointer, with the call's result.
template <typename Value>
HRESULT give_value(Value value, Value* out, HRESULT result = S_OK) {
  if (out == nullptr) {
    return E_POINTER;
  }
  *out = value;
  return result;
}

HRESULT no_text(LPWSTR* out) { return give_value<LPWSTR>(nullptr, out, E_NOTIMPL); }

// Windows 10 1703's names (winbase.h), which mingw-w64 declares only for that target: the
// process is started outside the package (the desktop app runtime environment), and so
// are the processes it starts.
constexpr DWORD_PTR kDesktopAppPolicy = ProcThreadAttributeValue(18, FALSE, TRUE, FALSE);
constexpr DWORD kBreakAwayFromPackage = 0x01;

// An attribute list that starts a process outside the package whose identity the
// surrogate running this DLL has; no list where Windows refuses the attribute (before
// Windows 10 1703, and Wine).
class OutsideThePackage {
 public:
  OutsideThePackage() {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    auto* list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(HeapAlloc(GetProcessHeap(), 0, size));
    if (list == nullptr) {
      return;
    }
    if (InitializeProcThreadAttributeList(list, 1, 0, &size) == FALSE) {
      HeapFree(GetProcessHeap(), 0, list);
      return;
    }
    list_ = list;
    if (UpdateProcThreadAttribute(list_, 0, kDesktopAppPolicy, &policy_, sizeof policy_, nullptr,
                                  nullptr) == FALSE) {
      release();
    }
  }
  OutsideThePackage(const OutsideThePackage&) = delete;
  OutsideThePackage& operator=(const OutsideThePackage&) = delete;
  ~OutsideThePackage() { release(); }

  LPPROC_THREAD_ATTRIBUTE_LIST list() const { return list_; }

 private:
  void release() {
    if (list_ != nullptr) {
      DeleteProcThreadAttributeList(list_);
      HeapFree(GetProcessHeap(), 0, list_);
      list_ = nullptr;
    }
  }

  // The list points at the value until it is deleted.
  DWORD policy_ = kBreakAwayFromPackage;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// zdrv.exe with what the classic entry's command gives it: the file's folder, and none of
// the caller's handles; no console window opens should zdrv ever be a console program.
// `outside`: the attribute list, or nullptr.
BOOL create_zdrv(const Text& zdrv, Text& command, const Text& folder,
                 LPPROC_THREAD_ATTRIBUTE_LIST outside, PROCESS_INFORMATION& process) {
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = outside != nullptr ? sizeof startup : sizeof startup.StartupInfo;
  startup.lpAttributeList = outside;
  const DWORD extended = outside != nullptr ? EXTENDED_STARTUPINFO_PRESENT : 0;
  return CreateProcessW(zdrv.c_str(), command.data(), nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW | CREATE_DEFAULT_ERROR_MODE | extended, nullptr,
                        folder.c_str(), &startup.StartupInfo, &process);
}

// Starts "<install folder>\zdrv.exe" <keyword> "<file>" in the file's folder, as the classic
// entry's command runs; zdrv checks the file and reports on it itself. Neither zdrv nor the
// program it starts runs inside the package, where a program lost its own taskbar button or
// could not load its DLLs: it runs exactly as one started from the classic entry.
HRESULT start_zdrv(const wchar_t* keyword, wstring_view file) {
  Text zdrv = zdrv_path();
  if (zdrv.empty()) {
    return E_FAIL;
  }
  Text command = Text::joined({L"\"", zdrv.view(), L"\" ", keyword, L" \"", file, L"\""});
  const Text folder = Text::joined({folder_of(file)});
  if (command.empty() || folder.empty()) {
    return E_OUTOFMEMORY;
  }
  const OutsideThePackage outside;
  PROCESS_INFORMATION process{};
  BOOL started = create_zdrv(zdrv, command, folder, outside.list(), process);
  // A Windows that took the attribute into the list may still refuse it here.
  const DWORD refused = started == FALSE ? GetLastError() : ERROR_SUCCESS;
  if (outside.list() != nullptr &&
      (refused == ERROR_INVALID_PARAMETER || refused == ERROR_NOT_SUPPORTED)) {
    started = create_zdrv(zdrv, command, folder, nullptr, process);
  }
  if (started == FALSE) {
    return HRESULT_FROM_WIN32(GetLastError());
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return S_OK;
}

// What the root and the sub-commands answer alike: no tool tip, and the state of the
// selection.
class MenuCommand : public ComObject<IExplorerCommand> {
 public:
  HRESULT STDMETHODCALLTYPE GetToolTip(IShellItemArray* /*items*/, LPWSTR* out) override {
    return no_text(out);
  }
  HRESULT STDMETHODCALLTYPE GetState(IShellItemArray* items, BOOL /*slow_is_fine*/,
                                     EXPCMDSTATE* state) override {
    return menu_state(items, state);
  }
};

class SubCommand final : public MenuCommand {
 public:
  explicit SubCommand(const SubEntry* entry) noexcept : entry_(entry) {}

  HRESULT STDMETHODCALLTYPE GetTitle(IShellItemArray* /*items*/, LPWSTR* out) override {
    return give_text(entry_->label, out);
  }
  HRESULT STDMETHODCALLTYPE GetIcon(IShellItemArray* /*items*/, LPWSTR* out) override {
    return no_text(out);
  }
  HRESULT STDMETHODCALLTYPE GetCanonicalName(GUID* out) override {
    return give_value(GUID{}, out, E_NOTIMPL);
  }
  // The selection is checked again: Explorer may invoke without asking for the state.
  HRESULT STDMETHODCALLTYPE Invoke(IShellItemArray* items, IBindCtx* /*context*/) override {
    const Text file = selected_file(items);
    if (file.empty()) {
      return E_INVALIDARG;
    }
    return start_zdrv(entry_->keyword, file.view());
  }
  HRESULT STDMETHODCALLTYPE GetFlags(EXPCMDFLAGS* out) override {
    return give_value<EXPCMDFLAGS>(ECF_DEFAULT, out);
  }
  HRESULT STDMETHODCALLTYPE EnumSubCommands(IEnumExplorerCommand** out) override {
    return give_value<IEnumExplorerCommand*>(nullptr, out, E_NOTIMPL);
  }

 private:
  const SubEntry* entry_;
};

constexpr std::size_t kSubEntryCount = std::size(kSubEntries);

// The sub-commands in menu order. Explorer uses an enumerator on one thread.
class SubCommands final : public ComObject<IEnumExplorerCommand> {
 public:
  explicit SubCommands(std::size_t next) noexcept : next_(next) {}

  HRESULT STDMETHODCALLTYPE Next(ULONG count, IExplorerCommand** out, ULONG* fetched) override {
    if (out == nullptr || (fetched == nullptr && count != 1)) {
      return E_POINTER;
    }
    ULONG given = 0;
    for (; given < count && next_ < kSubEntryCount; ++given, ++next_) {
      out[given] = create<SubCommand>(&kSubEntries[next_]);
      if (out[given] == nullptr) {
        release_all(out, given);
        return E_OUTOFMEMORY;
      }
    }
    if (fetched != nullptr) {
      *fetched = given;
    }
    return given == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    const std::size_t left = kSubEntryCount - next_;
    next_ += std::min<std::size_t>(count, left);
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    next_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumExplorerCommand** out) override {
    if (out == nullptr) {
      return E_POINTER;
    }
    *out = create<SubCommands>(next_);
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
  }

 private:
  static void release_all(IExplorerCommand** commands, ULONG count) {
    for (ULONG index = 0; index < count; ++index) {
      commands[index]->Release();
      commands[index] = nullptr;
    }
  }

  std::size_t next_;
};

class RootCommand final : public MenuCommand {
 public:
  HRESULT STDMETHODCALLTYPE GetTitle(IShellItemArray* /*items*/, LPWSTR* out) override {
    return give_text(kEntry, out);
  }
  // zdrv.exe's own icon, as the classic entry shows it.
  HRESULT STDMETHODCALLTYPE GetIcon(IShellItemArray* /*items*/, LPWSTR* out) override {
    if (out == nullptr) {
      return E_POINTER;
    }
    *out = nullptr;
    const Text zdrv = zdrv_path();
    if (zdrv.empty()) {
      return E_FAIL;
    }
    const Text icon = Text::joined({zdrv.view(), L",0"});
    return icon.empty() ? E_OUTOFMEMORY : give_text(icon.view(), out);
  }
  HRESULT STDMETHODCALLTYPE GetCanonicalName(GUID* out) override {
    return give_value(kHandlerClsid, out);
  }
  // The root only opens its submenu.
  HRESULT STDMETHODCALLTYPE Invoke(IShellItemArray* /*items*/, IBindCtx* /*context*/) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetFlags(EXPCMDFLAGS* out) override {
    return give_value<EXPCMDFLAGS>(ECF_HASSUBCOMMANDS, out);
  }
  HRESULT STDMETHODCALLTYPE EnumSubCommands(IEnumExplorerCommand** out) override {
    if (out == nullptr) {
      return E_POINTER;
    }
    *out = create<SubCommands>(std::size_t{0});
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
  }
};

}  // namespace

IExplorerCommand* create_root_command() noexcept { return create<RootCommand>(); }

}  // namespace explorer_menu
