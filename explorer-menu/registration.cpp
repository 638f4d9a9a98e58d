// DllRegisterServer and DllUnregisterServer, which the installer runs through regsvr32: on
// Windows 11 (x64) they add and remove, for the current user, the sparse package that puts
// the entry into the first context menu. The classic entry stays visible beside it: the
// "Weitere Optionen anzeigen" menu and the classic menu that users restore for good show
// packaged entries, but not always (a limit on how many they show, and Windows builds that
// show none), and a duplicate there is better than no entry at all.
//
// combase.dll's and shell32.dll's functions are looked up at call time, so the DLL that
// Explorer loads imports nothing beyond what Explorer already has.
#include <windows.h>
// These need the types of windows.h.
#include <objidl.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstdio>
#include <cwchar>

#include "com_object.h"
#include "deployment.h"
#include "menu_table.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace explorer_menu {
namespace {

using namespace deployment;

constexpr DWORD kFirstBuildWithTheMenu = 22000;
constexpr wchar_t kPackageFile[] = L"zdrv-menu.msix";
// What an earlier release wrote on the classic entry's keys to hide it.
constexpr wchar_t kHidingValue[] = L"ProgrammaticAccessOnly";
// Where the installer keeps the publisher ID of the release's package (packaging/make-msi):
// a package of our name and another publisher is not ours.
constexpr wchar_t kSettingsKey[] = L"Software\\Zandrivo";
constexpr wchar_t kPublisherIdValue[] = L"MenuPackagePublisherId";
// Long enough for a slow disk, short enough that a stuck deployment ends the installer's
// step instead of holding it for ever.
constexpr DWORD kDeploymentTimeoutMs = 5 * 60 * 1000;

template <typename Function>
Function lookup(const wchar_t* module, const char* name) {
  const HMODULE loaded = GetModuleHandleW(module);
  // The detour through void(*)() keeps g++ from warning about the cast between functions.
  return loaded == nullptr ? nullptr
                           : reinterpret_cast<Function>(
                                 reinterpret_cast<void (*)()>(GetProcAddress(loaded, name)));
}

// Windows 11's first menu shows packaged entries only, and only an x64 DLL can serve an
// x64 Explorer: ARM64 Windows (whose native machine is not AMD64) keeps the classic entry.
bool packaged_entry_applies() {
  using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);
  using IsWow64Process2Function = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
  const auto get_version = lookup<RtlGetVersionFunction>(L"ntdll.dll", "RtlGetVersion");
  const auto machines = lookup<IsWow64Process2Function>(L"kernel32.dll", "IsWow64Process2");
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof(version);
  USHORT process = 0;
  USHORT native = 0;
  return get_version != nullptr && machines != nullptr && get_version(&version) >= 0 &&
         version.dwBuildNumber >= kFirstBuildWithTheMenu &&
         machines(GetCurrentProcess(), &process, &native) != FALSE &&
         native == IMAGE_FILE_MACHINE_AMD64 && process == IMAGE_FILE_MACHINE_UNKNOWN;
}

// A reference held until the end of the scope.
template <typename Interface>
class Held {
 public:
  Held() = default;
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  ~Held() {
    if (pointer_ != nullptr) {
      pointer_->Release();
    }
  }
  Interface** put() { return &pointer_; }
  void** put_void() { return reinterpret_cast<void**>(&pointer_); }
  Interface* get() const { return pointer_; }
  Interface* operator->() const { return pointer_; }

 private:
  Interface* pointer_ = nullptr;
};

// Memory of the process heap, freed at the end of the scope; no C++ runtime allocation.
template <typename Item>
class HeapArray {
 public:
  explicit HeapArray(size_t count)
      : items_(static_cast<Item*>(HeapAlloc(GetProcessHeap(), 0, count * sizeof(Item)))) {}
  HeapArray(const HeapArray&) = delete;
  HeapArray& operator=(const HeapArray&) = delete;
  ~HeapArray() { HeapFree(GetProcessHeap(), 0, items_); }
  Item* get() const { return items_; }

 private:
  Item* items_;
};

// combase.dll's WinRT functions, for one call of the DLL.
class WinRt {
 public:
  // From the system folder only: a DLL of that name beside the program must not load.
  WinRt() : combase_(LoadLibraryExW(L"combase.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    if (combase_ != nullptr) {
      activate_instance_ = find<ActivateInstance>("RoActivateInstance");
      get_factory_ = find<GetFactory>("RoGetActivationFactory");
      create_string_ = find<CreateString>("WindowsCreateString");
      delete_string_ = find<DeleteString>("WindowsDeleteString");
      string_buffer_ = find<StringBuffer>("WindowsGetStringRawBuffer");
    }
  }
  WinRt(const WinRt&) = delete;
  WinRt& operator=(const WinRt&) = delete;
  ~WinRt() {
    if (combase_ != nullptr) {
      FreeLibrary(combase_);
    }
  }

  bool loaded() const {
    return activate_instance_ != nullptr && get_factory_ != nullptr && create_string_ != nullptr &&
           delete_string_ != nullptr && string_buffer_ != nullptr;
  }

  // An HSTRING of text, deleted at the end of the scope.
  class String {
   public:
    String(const WinRt& winrt, const wchar_t* text, size_t length) : winrt_(winrt) {
      result_ = winrt.create_string_(text, static_cast<UINT32>(length), &string_);
    }
    explicit String(const WinRt& winrt) : winrt_(winrt) {}
    String(const String&) = delete;
    String& operator=(const String&) = delete;
    ~String() { winrt_.delete_string_(string_); }
    HRESULT result() const { return result_; }
    HSTRING get() const { return string_; }
    HSTRING* put() { return &string_; }
    const wchar_t* text() const { return winrt_.string_buffer_(string_, nullptr); }

   private:
    const WinRt& winrt_;
    HSTRING string_ = nullptr;
    HRESULT result_ = S_OK;
  };

  template <typename Interface>
  HRESULT activate(const wchar_t* class_name, Held<Interface>& out) const {
    String name(*this, class_name, wcslen(class_name));
    Held<IInspectable> instance;
    HRESULT result = name.result();
    if (SUCCEEDED(result)) {
      result = activate_instance_(name.get(), instance.put());
    }
    if (SUCCEEDED(result)) {
      result = instance->QueryInterface(__uuidof(Interface), out.put_void());
    }
    return result;
  }

  template <typename Interface>
  HRESULT factory(const wchar_t* class_name, Held<Interface>& out) const {
    String name(*this, class_name, wcslen(class_name));
    HRESULT result = name.result();
    if (SUCCEEDED(result)) {
      result = get_factory_(name.get(), __uuidof(Interface), out.put_void());
    }
    return result;
  }

 private:
  using ActivateInstance = HRESULT(WINAPI*)(HSTRING, IInspectable**);
  using GetFactory = HRESULT(WINAPI*)(HSTRING, REFIID, void**);
  using CreateString = HRESULT(WINAPI*)(const wchar_t*, UINT32, HSTRING*);
  using DeleteString = HRESULT(WINAPI*)(HSTRING);
  using StringBuffer = const wchar_t*(WINAPI*)(HSTRING, UINT32*);

  template <typename Function>
  Function find(const char* name) const {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(combase_, name)));
  }

  HMODULE combase_;
  ActivateInstance activate_instance_ = nullptr;
  GetFactory get_factory_ = nullptr;
  CreateString create_string_ = nullptr;
  DeleteString delete_string_ = nullptr;
  StringBuffer string_buffer_ = nullptr;
};

// The apartment regsvr32 gives; a caller that gave none gets one for the call.
class Apartment {
 public:
  Apartment() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;
  ~Apartment() {
    if (SUCCEEDED(result_)) {
      CoUninitialize();
    }
  }
  // RPC_E_CHANGED_MODE: the thread is in a multithreaded apartment already.
  HRESULT result() const { return result_ == RPC_E_CHANGED_MODE ? S_OK : result_; }

 private:
  HRESULT result_;
};

// Told of the deployment's end by the operation, possibly on another thread: hence agile.
class CompletionHandler final : public ComObject<IDeploymentCompletedHandler> {
 public:
  CompletionHandler() : done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~CompletionHandler() override {
    if (done_ != nullptr) {
      CloseHandle(done_);
    }
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out != nullptr && IsEqualIID(iid, __uuidof(IAgileObject))) {
      *out = static_cast<IDeploymentCompletedHandler*>(this);
      AddRef();
      return S_OK;
    }
    return ComObject::QueryInterface(iid, out);
  }

  HRESULT STDMETHODCALLTYPE Invoke(IDeploymentOperation* /*operation*/,
                                   AsyncStatus status) override {
    status_ = status;
    SetEvent(done_);
    return S_OK;
  }

  HANDLE done() const { return done_; }
  AsyncStatus status() const { return status_; }

 private:
  HANDLE done_;
  std::atomic<AsyncStatus> status_{AsyncStatus::Started};
};

HRESULT last_error() { return HRESULT_FROM_WIN32(GetLastError()); }

// An operation that did not end in time still holds the handler, whose code is this DLL's:
// it is cancelled, and the DLL stays loaded until the process ends, should the operation
// call the handler all the same.
void abandon(IDeploymentOperation* operation) {
  Held<IAsyncInfo> info;
  if (SUCCEEDED(operation->QueryInterface(__uuidof(IAsyncInfo), info.put_void()))) {
    info->Cancel();
  }
  HMODULE pinned = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&__ImageBase), &pinned);
}

// Waits (pumping the apartment's messages) for the operation's end: S_OK, or why it failed.
HRESULT wait_for(IDeploymentOperation* operation) {
  CompletionHandler* handler = create<CompletionHandler>();
  if (handler == nullptr) {
    return E_OUTOFMEMORY;
  }
  HRESULT result = handler->done() != nullptr ? operation->put_Completed(handler) : last_error();
  DWORD index = 0;
  HANDLE done = handler->done();
  if (SUCCEEDED(result)) {
    result = CoWaitForMultipleHandles(0, kDeploymentTimeoutMs, 1, &done, &index);
    if (FAILED(result)) {
      abandon(operation);
    }
  }
  const AsyncStatus status = handler->status();
  handler->Release();
  if (FAILED(result)) {
    return result;
  }
  if (status == AsyncStatus::Completed) {
    Held<IDeploymentResult> deployed;
    return operation->GetResults(deployed.put());
  }
  if (status == AsyncStatus::Canceled) {
    return E_ABORT;
  }
  Held<IAsyncInfo> info;
  HRESULT error = E_FAIL;
  if (SUCCEEDED(operation->QueryInterface(__uuidof(IAsyncInfo), info.put_void()))) {
    info->get_ErrorCode(&error);
  }
  return FAILED(error) ? error : E_FAIL;
}

// The DLL's folder, without the last backslash: its length, or 0.
size_t own_folder(HeapArray<wchar_t>& path, DWORD capacity) {
  if (path.get() == nullptr) {
    return 0;
  }
  const DWORD length =
      GetModuleFileNameW(reinterpret_cast<HMODULE>(&__ImageBase), path.get(), capacity);
  if (length == 0 || length >= capacity) {
    return 0;
  }
  size_t folder = length;
  while (folder > 0 && path.get()[folder - 1] != L'\\') {
    --folder;
  }
  return folder > 0 ? folder - 1 : 0;
}

bool kept_in_uri(char byte) {
  return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
         (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' || byte == '~' ||
         byte == '/' || byte == ':';
}

// A Windows.Foundation.Uri of the text.
HRESULT create_uri(const WinRt& winrt, const wchar_t* text, size_t length,
                   Held<IUriRuntimeClass>& out) {
  WinRt::String string(winrt, text, length);
  Held<IUriRuntimeClassFactory> factory;
  HRESULT result = string.result();
  if (SUCCEEDED(result)) {
    result = winrt.factory(kUriClass, factory);
  }
  if (SUCCEEDED(result)) {
    result = factory->CreateUri(string.get(), out.put());
  }
  return result;
}

// The file URI of a Windows path: file:///C:/a%20b for C:\a b, file://server/share for
// \\server\share; the path's UTF-8 percent-encoded but for unreserved characters, '/' and
// ':'.
HRESULT file_uri(const WinRt& winrt, const wchar_t* path, size_t length,
                 Held<IUriRuntimeClass>& out) {
  const int utf8_length = WideCharToMultiByte(
      CP_UTF8, WC_ERR_INVALID_CHARS, path, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  if (utf8_length <= 0) {
    return last_error();
  }
  const auto bytes = static_cast<size_t>(utf8_length);
  HeapArray<char> utf8(bytes);
  HeapArray<wchar_t> uri(8 + 3 * bytes);
  if (utf8.get() == nullptr || uri.get() == nullptr) {
    return E_OUTOFMEMORY;
  }
  WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(length), utf8.get(), utf8_length, nullptr,
                      nullptr);
  const bool unc = length >= 2 && path[0] == L'\\' && path[1] == L'\\';
  const wchar_t* const scheme = unc ? L"file:" : L"file:///";
  size_t end = wcslen(scheme);
  wmemcpy(uri.get(), scheme, end);
  constexpr wchar_t kHex[] = L"0123456789ABCDEF";
  for (size_t index = 0; index < bytes; ++index) {
    const char byte = utf8.get()[index];
    if (byte == '\\') {
      uri.get()[end++] = L'/';
    } else if (kept_in_uri(byte)) {
      uri.get()[end++] = static_cast<wchar_t>(byte);
    } else {
      const auto value = static_cast<unsigned char>(byte);
      uri.get()[end++] = L'%';
      uri.get()[end++] = kHex[value >> 4];
      uri.get()[end++] = kHex[value & 0xf];
    }
  }
  return create_uri(winrt, uri.get(), end, out);
}

// The package file beside the DLL, and the DLL's folder, the package's external location.
HRESULT package_uris(const WinRt& winrt, Held<IUriRuntimeClass>& package,
                     Held<IUriRuntimeClass>& folder) {
  constexpr DWORD kCapacity = 32768;
  HeapArray<wchar_t> path(kCapacity);
  constexpr DWORD kRoomForFile = sizeof(kPackageFile) / sizeof(wchar_t) + 1;
  const size_t folder_length = own_folder(path, kCapacity - kRoomForFile);
  if (folder_length == 0) {
    return E_UNEXPECTED;
  }
  path.get()[folder_length] = L'\\';
  wcscpy(path.get() + folder_length + 1, kPackageFile);
  HRESULT result = file_uri(winrt, path.get(), wcslen(path.get()), package);
  if (SUCCEEDED(result)) {
    result = file_uri(winrt, path.get(), folder_length, folder);
  }
  return result;
}

// The publisher ID of the release's package, which the installer wrote; empty when none
// is known, and then no package is taken for ours.
struct PublisherId {
  wchar_t text[64] = {};
};

PublisherId our_publisher_id() {
  PublisherId id;
  DWORD size = sizeof id.text;
  if (RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, kPublisherIdValue, RRF_RT_REG_SZ, nullptr,
                   id.text, &size) != ERROR_SUCCESS) {
    id.text[0] = L'\0';
  }
  return id;
}

bool same_text(const wchar_t* one, const wchar_t* other, bool ignore_case) {
  return CompareStringOrdinal(one, -1, other, -1, ignore_case ? TRUE : FALSE) == CSTR_EQUAL;
}

// The full name of a package of ours (our name, our publisher), or none for another's.
HRESULT full_name_if_ours(IPackage* package, const PublisherId& ours, const WinRt& winrt,
                          WinRt::String& full_name) {
  Held<IPackageId> id;
  WinRt::String name(winrt);
  WinRt::String publisher_id(winrt);
  HRESULT result = package->get_Id(id.put());
  if (SUCCEEDED(result)) {
    result = id->get_Name(name.put());
  }
  if (SUCCEEDED(result) && same_text(name.text(), kPackageName, false)) {
    result = id->get_PublisherId(publisher_id.put());
    if (SUCCEEDED(result) && ours.text[0] != L'\0' &&
        same_text(publisher_id.text(), ours.text, true)) {
      result = id->get_FullName(full_name.put());
    }
  }
  return result;
}

HRESULT remove_package(IPackageManager* manager, HSTRING full_name) {
  Held<IDeploymentOperation> removal;
  HRESULT result = manager->RemovePackageAsync(full_name, removal.put());
  if (SUCCEEDED(result)) {
    result = wait_for(removal.get());
  }
  return result;
}

// Removes every package of ours the current user has: S_OK, or the last failure.
HRESULT remove_our_packages(const WinRt& winrt, IPackageManager* manager) {
  const PublisherId ours = our_publisher_id();
  // An empty SID is the current user; the overloads without one would need an administrator.
  WinRt::String current_user(winrt, L"", 0);
  Held<IPackageIterable> packages;
  Held<IPackageIterator> each;
  boolean more = FALSE;
  HRESULT result = manager->FindPackagesByUserSecurityId(current_user.get(), packages.put());
  if (SUCCEEDED(result)) {
    result = packages->First(each.put());
  }
  if (SUCCEEDED(result)) {
    result = each->get_HasCurrent(&more);
  }
  HRESULT removed = S_OK;
  while (SUCCEEDED(result) && more != FALSE) {
    Held<IPackage> package;
    WinRt::String full_name(winrt);
    result = each->get_Current(package.put());
    if (SUCCEEDED(result)) {
      result = full_name_if_ours(package.get(), ours, winrt, full_name);
    }
    if (SUCCEEDED(result) && full_name.get() != nullptr) {
      const HRESULT removal = remove_package(manager, full_name.get());
      removed = FAILED(removal) ? removal : removed;
    }
    if (SUCCEEDED(result)) {
      result = each->MoveNext(&more);
    }
  }
  return FAILED(result) ? result : removed;
}

HRESULT add_package(const WinRt& winrt, IPackageManager* manager) {
  Held<IUriRuntimeClass> package;
  Held<IUriRuntimeClass> folder;
  Held<IAddPackageOptions> options;
  Held<IPackageManager9> adding;
  Held<IDeploymentOperation> addition;
  HRESULT result = package_uris(winrt, package, folder);
  if (SUCCEEDED(result)) {
    result = winrt.activate(kAddPackageOptionsClass, options);
  }
  if (SUCCEEDED(result)) {
    result = options->put_ExternalLocationUri(folder.get());
  }
  if (SUCCEEDED(result)) {
    result = manager->QueryInterface(__uuidof(IPackageManager9), adding.put_void());
  }
  if (SUCCEEDED(result)) {
    result = adding->AddPackageByUriAsync(package.get(), options.get(), addition.put());
  }
  if (SUCCEEDED(result)) {
    result = wait_for(addition.get());
  }
  return result;
}

// Key of the classic entry of a file type, under HKEY_CURRENT_USER.
void classic_entry_key(const wchar_t* file_type, wchar_t (&key)[MAX_PATH]) {
  _snwprintf(key, MAX_PATH, L"Software\\Classes\\SystemFileAssociations\\%ls\\shell\\%ls",
             file_type, kClassicVerb);
  key[MAX_PATH - 1] = L'\0';
}

// An earlier release hid the classic entry while its package was registered; it shows
// in every case now.
void show_classic_entries() {
  for (const wchar_t* file_type : kFileTypes) {
    wchar_t key[MAX_PATH];
    classic_entry_key(file_type, key);
    RegDeleteKeyValueW(HKEY_CURRENT_USER, key, kHidingValue);
  }
}

// The full path of this DLL, or false.
bool own_path(wchar_t (&path)[MAX_PATH]) {
  const DWORD length = GetModuleFileNameW(reinterpret_cast<HMODULE>(&__ImageBase), path, MAX_PATH);
  return length > 0 && length < MAX_PATH;
}

bool has_module(DWORD process, const wchar_t* module) {
  HANDLE modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, process);
  if (modules == INVALID_HANDLE_VALUE) {
    return false;
  }
  MODULEENTRY32W entry{};
  entry.dwSize = sizeof entry;
  bool found = false;
  for (BOOL more = Module32FirstW(modules, &entry); more != FALSE && !found;
       more = Module32NextW(modules, &entry)) {
    found = same_text(entry.szExePath, module, true);
  }
  CloseHandle(modules);
  return found;
}

void end_process(DWORD id) {
  HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
  if (process != nullptr) {
    constexpr DWORD kEnded = 1;
    constexpr DWORD kGraceMs = 5000;
    if (TerminateProcess(process, kEnded) != FALSE) {
      WaitForSingleObject(process, kGraceMs);
    }
    CloseHandle(process);
  }
}

// Ends the COM surrogates (dllhost.exe) that still hold this DLL for Explorer once the
// package is gone: a loaded DLL cannot be deleted or replaced, and the installer would ask
// for a restart. They serve only this package's class; the programs started from the menu
// run outside it (handler.cpp) and are never among them.
void end_surrogates_holding_this_dll() {
  wchar_t dll[MAX_PATH];
  if (!own_path(dll)) {
    return;
  }
  HANDLE processes = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (processes == INVALID_HANDLE_VALUE) {
    return;
  }
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  const DWORD self = GetCurrentProcessId();
  for (BOOL more = Process32FirstW(processes, &entry); more != FALSE;
       more = Process32NextW(processes, &entry)) {
    if (entry.th32ProcessID != self && same_text(entry.szExeFile, L"dllhost.exe", true) &&
        has_module(entry.th32ProcessID, dll)) {
      end_process(entry.th32ProcessID);
    }
  }
  CloseHandle(processes);
}

// Tells Explorer that the menus changed, so that the packaged entry comes and goes without a
// restart of Explorer; shell32 from the system folder, looked up at call time.
void tell_the_shell() {
  HMODULE shell32 = LoadLibraryExW(L"shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (shell32 == nullptr) {
    return;
  }
  using ChangeNotify = void(WINAPI*)(LONG, UINT, LPCVOID, LPCVOID);
  const auto notify = reinterpret_cast<ChangeNotify>(
      reinterpret_cast<void (*)()>(GetProcAddress(shell32, "SHChangeNotify")));
  if (notify != nullptr) {
    notify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
  }
  FreeLibrary(shell32);
}

// Runs the deployment step with a package manager of the current user.
template <typename Step>
HRESULT with_package_manager(Step step) {
  Apartment apartment;
  WinRt winrt;
  Held<IPackageManager> manager;
  HRESULT result = apartment.result();
  if (SUCCEEDED(result) && !winrt.loaded()) {
    result = HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  }
  if (SUCCEEDED(result)) {
    result = winrt.activate(kPackageManagerClass, manager);
  }
  if (SUCCEEDED(result)) {
    result = step(winrt, manager.get());
  }
  return result;
}

}  // namespace
}  // namespace explorer_menu

// The package is added over whatever version of it the user has (Windows updates a package
// in place), never removed first: a repair or reinstall whose add fails keeps the package
// that worked. A failure changes nothing else, since the classic entry shows in any case.
STDAPI DllRegisterServer() {
  using namespace explorer_menu;
  show_classic_entries();
  HRESULT result = S_OK;
  if (packaged_entry_applies()) {
    result = with_package_manager(add_package);
  }
  tell_the_shell();
  return result;
}

STDAPI DllUnregisterServer() {
  using namespace explorer_menu;
  HRESULT result = S_OK;
  if (packaged_entry_applies()) {
    result = with_package_manager(remove_our_packages);
    end_surrogates_holding_this_dll();
  }
  show_classic_entries();
  tell_the_shell();
  return result;
}
