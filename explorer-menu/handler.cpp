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

// zdrv.exe beside this DLL, which the installer puts in the same folder.
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
  const wstring_view folder(own_path.data(), own_path.rfind(L'\\') + 1);
  return Text::joined({folder, L"zdrv.exe"});
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

// Starts "<this folder>\zdrv.exe" <keyword> "<file>" in the file's folder, as the classic
// entry's command runs; zdrv checks the file and reports on it itself. Explorer's handles
// stay Explorer's, and no console window opens should zdrv ever be a console program.
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
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (CreateProcessW(zdrv.c_str(), command.data(), nullptr, nullptr, FALSE,
                     CREATE_NO_WINDOW | CREATE_DEFAULT_ERROR_MODE, nullptr, folder.c_str(),
                     &startup, &process) == FALSE) {
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
