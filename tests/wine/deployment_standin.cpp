// Test helper, x64 only: stands in for Windows' package deployment, which Wine lacks, so
// that zdrv-menu.dll's DllRegisterServer and DllUnregisterServer can run under Wine. Wine's
// combase loads it for the classes Windows.Management.Deployment.PackageManager,
// Windows.Management.Deployment.AddPackageOptions and Windows.Foundation.Uri once they are
// registered under HKLM\Software\Microsoft\WindowsRuntime\ActivatableClassId (see
// deployment_standin.py). It implements the same declarations the DLL calls
// (explorer-menu/deployment.h).
//
// Its files lie beside it, for the tests to read and write from outside Wine (UTF-8):
//   calls.txt     appended, one line per call, fields separated by a tab:
//                   AddPackageByUriAsync <package URI> <external location URI>
//                   RemovePackageAsync <full name>
//                   FindPackagesByUserSecurityId <user SID>
//   fail.txt      if present, an HRESULT in hex: an add is recorded, adds nothing and
//                 ends with AsyncStatus Error and that code
//   packages.txt  the current user's packages, one a line: <name> <full name> <publisher ID>
//   identity.txt  the identity line of a real package (a zip), written by the test from
//                 its manifest
//   unreleased.txt  appended as each process that loaded the stand-in ends: how many of
//                 the objects it handed out were never released
// The package file an add is given (its file URI, decoded) holds that one line, the
// identity a real package's manifest would give: an add puts it in packages.txt in place of
// the package of the same name and publisher (Windows updates a package in place), and
// fails with the error of opening it when the URI names no file. Every operation has
// ended when the call that starts it returns, and a completion handler is called as soon
// as it is set.
#include <windows.h>
// These need the types of windows.h.
#include <activation.h>
#include <winstring.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "../../explorer-menu/com_object.h"
#include "../../explorer-menu/deployment.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace explorer_menu {

std::atomic<long>& module_references() {
  static constinit std::atomic<long> references{0};
  return references;
}

}  // namespace explorer_menu

namespace {

using namespace deployment;
using explorer_menu::ComObject;
using explorer_menu::create;

// ---- text and files ---------------------------------------------------------------------

std::string utf8(const std::wstring& text) {
  std::string out(text.size() * 4, '\0');
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                          static_cast<int>(out.size()), nullptr, nullptr);
  out.resize(static_cast<size_t>(length > 0 ? length : 0));
  return out;
}

std::wstring wide(const std::string& text) {
  std::wstring out(text.size(), L'\0');
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         out.data(), static_cast<int>(out.size()));
  out.resize(static_cast<size_t>(length > 0 ? length : 0));
  return out;
}

std::wstring text_of(HSTRING string) { return WindowsGetStringRawBuffer(string, nullptr); }

HRESULT give(const std::wstring& text, HSTRING* out) {
  return out == nullptr ? E_POINTER
                        : WindowsCreateString(text.data(), static_cast<UINT32>(text.size()), out);
}

std::wstring beside_me(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(reinterpret_cast<HMODULE>(&__ImageBase), path, MAX_PATH);
  std::wstring folder = path;
  return folder.substr(0, folder.rfind(L'\\') + 1) + name;
}

void record(const std::vector<std::wstring>& fields) {
  std::wstring line;
  for (const auto& field : fields) {
    line += (line.empty() ? L"" : L"\t") + field;
  }
  std::ofstream(beside_me(L"calls.txt").c_str(), std::ios::binary | std::ios::app)
      << utf8(line) << '\n';
}

std::vector<std::string> lines_of(const std::wstring& path) {
  std::ifstream file(path.c_str(), std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) {
    if (!line.empty()) {
      lines.push_back(line);
    }
  }
  return lines;
}

void write_lines(const std::wstring& path, const std::vector<std::string>& lines) {
  std::ofstream file(path.c_str(), std::ios::binary | std::ios::trunc);
  for (const auto& line : lines) {
    file << line << '\n';
  }
}

HRESULT planned_failure() {
  std::ifstream file(beside_me(L"fail.txt").c_str());
  std::string code;
  return file >> code ? static_cast<HRESULT>(std::strtoul(code.c_str(), nullptr, 16)) : S_OK;
}

// The Windows path of a file URI, its percent-encoded UTF-8 decoded.
std::wstring path_of(const std::wstring& uri) {
  const std::string text = utf8(uri);
  const std::string scheme = text.rfind("file:///", 0) == 0 ? "file:///" : "file:";
  std::string path;
  for (size_t index = scheme.size(); index < text.size(); ++index) {
    if (text[index] == '%' && index + 2 < text.size()) {
      path += static_cast<char>(std::strtoul(text.substr(index + 1, 2).c_str(), nullptr, 16));
      index += 2;
    } else {
      path += text[index] == '/' ? '\\' : text[index];
    }
  }
  return wide(path);
}

// ---- the objects ------------------------------------------------------------------------

template <typename Interface>
class Inspectable : public ComObject<Interface> {
 public:
  HRESULT STDMETHODCALLTYPE GetIids(ULONG* count, IID** iids) override {
    *count = 0;
    *iids = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetRuntimeClassName(HSTRING* name) override {
    *name = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTrustLevel(TrustLevel* level) override {
    *level = BaseTrust;
    return S_OK;
  }
};

class Uri final : public Inspectable<IUriRuntimeClass> {
 public:
  explicit Uri(std::wstring text) : text_(std::move(text)) {}
  HRESULT STDMETHODCALLTYPE get_AbsoluteUri(HSTRING* value) override { return give(text_, value); }
  HRESULT STDMETHODCALLTYPE get_DisplayUri(HSTRING* value) override { return give(text_, value); }
  HRESULT STDMETHODCALLTYPE get_Domain(HSTRING*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Extension(HSTRING*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Fragment(HSTRING*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Host(HSTRING*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Password(HSTRING*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Path(HSTRING*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Query(HSTRING*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_QueryParsed(IInspectable**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_RawUri(HSTRING* value) override { return give(text_, value); }

 private:
  std::wstring text_;
};

std::wstring raw_text(IUriRuntimeClass* uri) {
  HSTRING raw = nullptr;
  if (uri == nullptr || FAILED(uri->get_RawUri(&raw))) {
    return L"";
  }
  std::wstring text = text_of(raw);
  WindowsDeleteString(raw);
  return text;
}

class UriFactory final : public Inspectable<IUriRuntimeClassFactory> {
 public:
  HRESULT STDMETHODCALLTYPE CreateUri(HSTRING text, IUriRuntimeClass** out) override {
    *out = create<Uri>(text_of(text));
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE CreateWithRelativeUri(HSTRING, HSTRING, IUriRuntimeClass**) override {
    return E_NOTIMPL;
  }
};

class AddPackageOptions final : public Inspectable<IAddPackageOptions> {
 public:
  ~AddPackageOptions() override {
    if (location_ != nullptr) {
      location_->Release();
    }
  }
  HRESULT STDMETHODCALLTYPE get_DependencyPackageUris(IInspectable**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_TargetVolume(IInspectable**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_TargetVolume(IInspectable*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_OptionalPackageFamilyNames(IInspectable**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_OptionalPackageUris(IInspectable**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_RelatedPackageUris(IInspectable**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ExternalLocationUri(IUriRuntimeClass** value) override {
    if (location_ != nullptr) {
      location_->AddRef();
    }
    *value = location_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_ExternalLocationUri(IUriRuntimeClass* value) override {
    if (value != nullptr) {
      value->AddRef();
    }
    if (location_ != nullptr) {
      location_->Release();
    }
    location_ = value;
    return S_OK;
  }

 private:
  IUriRuntimeClass* location_ = nullptr;
};

class DeploymentResult final : public Inspectable<IDeploymentResult> {
 public:
  explicit DeploymentResult(HRESULT error) : error_(error) {}
  HRESULT STDMETHODCALLTYPE get_ErrorText(HSTRING* value) override { return give(L"", value); }
  HRESULT STDMETHODCALLTYPE get_ActivityId(GUID* value) override {
    *value = GUID{};
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_ExtendedErrorCode(HRESULT* value) override {
    *value = error_;
    return S_OK;
  }

 private:
  HRESULT error_;
};

class AsyncInfo final : public Inspectable<IAsyncInfo> {
 public:
  explicit AsyncInfo(HRESULT error) : error_(error) {}
  HRESULT STDMETHODCALLTYPE get_Id(UINT32* id) override {
    *id = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Status(AsyncStatus* status) override {
    *status = SUCCEEDED(error_) ? AsyncStatus::Completed : AsyncStatus::Error;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_ErrorCode(HRESULT* error) override {
    *error = error_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Cancel() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Close() override { return S_OK; }

 private:
  HRESULT error_;
};

// An operation that has ended, with success or the error; its IAsyncInfo is a separate
// object, which is all a caller of these few methods can tell.
class Operation final : public Inspectable<IDeploymentOperation> {
 public:
  explicit Operation(HRESULT error) : error_(error) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out != nullptr && IsEqualIID(iid, __uuidof(IAsyncInfo))) {
      *out = create<AsyncInfo>(error_);
      return *out != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    return ComObject::QueryInterface(iid, out);
  }
  HRESULT STDMETHODCALLTYPE put_Progress(IDeploymentProgressHandler*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE get_Progress(IDeploymentProgressHandler**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE put_Completed(IDeploymentCompletedHandler* handler) override {
    return handler->Invoke(this, SUCCEEDED(error_) ? AsyncStatus::Completed : AsyncStatus::Error);
  }
  HRESULT STDMETHODCALLTYPE get_Completed(IDeploymentCompletedHandler**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetResults(IDeploymentResult** result) override {
    *result = create<DeploymentResult>(error_);
    return error_;
  }

 private:
  HRESULT error_;
};

HRESULT ended(HRESULT error, IDeploymentOperation** operation) {
  *operation = create<Operation>(error);
  return *operation != nullptr ? S_OK : E_OUTOFMEMORY;
}

// The tab-separated fields of a line of packages.txt: name, full name, publisher ID.
std::vector<std::string> fields_of(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t tab = line.find('\t'); fields.size() < 2; tab = line.find('\t', start)) {
    fields.push_back(line.substr(start, tab - start));
    start = tab == std::string::npos ? line.size() : tab + 1;
  }
  fields.push_back(line.substr(start));
  return fields;
}

class PackageId final : public Inspectable<IPackageId> {
 public:
  explicit PackageId(std::vector<std::string> fields) : fields_(std::move(fields)) {}
  HRESULT STDMETHODCALLTYPE get_Name(HSTRING* value) override {
    return give(wide(fields_[0]), value);
  }
  HRESULT STDMETHODCALLTYPE get_Version(PackageVersion*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Architecture(INT32*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ResourceId(HSTRING*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Publisher(HSTRING*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_PublisherId(HSTRING* value) override {
    return give(wide(fields_[2]), value);
  }
  HRESULT STDMETHODCALLTYPE get_FullName(HSTRING* value) override {
    return give(wide(fields_[1]), value);
  }
  HRESULT STDMETHODCALLTYPE get_FamilyName(HSTRING*) override { return E_NOTIMPL; }

 private:
  std::vector<std::string> fields_;
};

class Package final : public Inspectable<IPackage> {
 public:
  explicit Package(std::string line) : line_(std::move(line)) {}
  HRESULT STDMETHODCALLTYPE get_Id(IPackageId** value) override {
    *value = create<PackageId>(fields_of(line_));
    return *value != nullptr ? S_OK : E_OUTOFMEMORY;
  }

 private:
  std::string line_;
};

class PackageIterator final : public Inspectable<IPackageIterator> {
 public:
  explicit PackageIterator(std::vector<std::string> lines) : lines_(std::move(lines)) {}
  HRESULT STDMETHODCALLTYPE get_Current(IPackage** value) override {
    if (next_ >= lines_.size()) {
      return E_INVALIDARG;
    }
    *value = create<Package>(lines_[next_]);
    return *value != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE get_HasCurrent(boolean* value) override {
    *value = next_ < lines_.size();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE MoveNext(boolean* value) override {
    next_ += next_ < lines_.size() ? 1U : 0U;
    return get_HasCurrent(value);
  }
  HRESULT STDMETHODCALLTYPE GetMany(UINT32, IPackage**, UINT32*) override { return E_NOTIMPL; }

 private:
  std::vector<std::string> lines_;
  size_t next_ = 0;
};

// What packages.txt held when Find was called.
class PackageIterable final : public Inspectable<IPackageIterable> {
 public:
  explicit PackageIterable(std::vector<std::string> lines) : lines_(std::move(lines)) {}
  HRESULT STDMETHODCALLTYPE First(IPackageIterator** value) override {
    *value = create<PackageIterator>(lines_);
    return *value != nullptr ? S_OK : E_OUTOFMEMORY;
  }

 private:
  std::vector<std::string> lines_;
};

HRESULT add_package(const std::wstring& package_uri) {
  const std::wstring packages = beside_me(L"packages.txt");
  const HRESULT failure = planned_failure();
  if (FAILED(failure)) {
    return failure;
  }
  std::vector<std::string> identity = lines_of(path_of(package_uri));
  if (identity.empty()) {
    return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  }
  // A real package, a zip, leaves its identity to the test (it reads the manifest).
  if (identity.front().starts_with("PK")) {
    identity = lines_of(beside_me(L"identity.txt"));
    if (identity.empty()) {
      return E_FAIL;
    }
  }
  const std::vector<std::string> added = fields_of(identity.front());
  std::vector<std::string> lines;
  for (const auto& line : lines_of(packages)) {
    const std::vector<std::string> fields = fields_of(line);
    if (fields[0] != added[0] || fields[2] != added[2]) {
      lines.push_back(line);
    }
  }
  lines.push_back(identity.front());
  write_lines(packages, lines);
  return S_OK;
}

class PackageManager9 final : public Inspectable<IPackageManager9> {
 public:
  HRESULT STDMETHODCALLTYPE FindProvisionedPackages(IInspectable**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE AddPackageByUriAsync(IUriRuntimeClass* package,
                                                 IAddPackageOptions* options,
                                                 IDeploymentOperation** operation) override {
    IUriRuntimeClass* location = nullptr;
    if (options != nullptr) {
      options->get_ExternalLocationUri(&location);
    }
    const std::wstring package_uri = raw_text(package);
    record({L"AddPackageByUriAsync", package_uri, raw_text(location)});
    if (location != nullptr) {
      location->Release();
    }
    return ended(add_package(package_uri), operation);
  }
};

// IPackageManager9 is a separate object, which is all a caller of these few methods can
// tell.
class PackageManager final : public Inspectable<IPackageManager> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out != nullptr && IsEqualIID(iid, __uuidof(IPackageManager9))) {
      *out = create<PackageManager9>();
      return *out != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    return ComObject::QueryInterface(iid, out);
  }
  HRESULT STDMETHODCALLTYPE AddPackageAsync(IUriRuntimeClass*, IInspectable*, UINT32,
                                            IDeploymentOperation**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE UpdatePackageAsync(IUriRuntimeClass*, IInspectable*, UINT32,
                                               IDeploymentOperation**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE RemovePackageAsync(HSTRING full_name,
                                               IDeploymentOperation** operation) override {
    record({L"RemovePackageAsync", text_of(full_name)});
    const std::wstring packages = beside_me(L"packages.txt");
    std::vector<std::string> kept;
    for (const auto& line : lines_of(packages)) {
      if (fields_of(line)[1] != utf8(text_of(full_name))) {
        kept.push_back(line);
      }
    }
    write_lines(packages, kept);
    return ended(S_OK, operation);
  }
  HRESULT STDMETHODCALLTYPE StagePackageAsync(IUriRuntimeClass*, IInspectable*,
                                              IDeploymentOperation**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE RegisterPackageAsync(IUriRuntimeClass*, IInspectable*, UINT32,
                                                 IDeploymentOperation**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindPackages(IPackageIterable**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE FindPackagesByUserSecurityId(HSTRING user_sid,
                                                         IPackageIterable** packages) override {
    record({L"FindPackagesByUserSecurityId", text_of(user_sid)});
    *packages = create<PackageIterable>(lines_of(beside_me(L"packages.txt")));
    return *packages != nullptr ? S_OK : E_OUTOFMEMORY;
  }
};

template <typename Instance>
class InstanceFactory final : public Inspectable<IActivationFactory> {
 public:
  HRESULT STDMETHODCALLTYPE ActivateInstance(IInspectable** instance) override {
    *instance = create<Instance>();
    return *instance != nullptr ? S_OK : E_OUTOFMEMORY;
  }
};

}  // namespace

// The caller asks the factory for the interface it wants, so any interface will do here.
extern "C" __declspec(dllexport) HRESULT WINAPI
    DllGetActivationFactory(HSTRING class_name, IInspectable** factory) {
  const std::wstring name = text_of(class_name);
  *factory = nullptr;
  if (name == kPackageManagerClass) {
    *factory = create<InstanceFactory<PackageManager>>();
  } else if (name == kAddPackageOptionsClass) {
    *factory = create<InstanceFactory<AddPackageOptions>>();
  } else if (name == kUriClass) {
    *factory = create<UriFactory>();
  } else {
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  return *factory != nullptr ? S_OK : E_OUTOFMEMORY;
}

extern "C" __declspec(dllexport) HRESULT WINAPI DllCanUnloadNow() {
  return explorer_menu::module_references() == 0 ? S_OK : S_FALSE;
}

// Whatever the caller kept is counted when the stand-in goes: with the process, or when
// COM frees it once DllCanUnloadNow said yes.
extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_DETACH) {
    std::ofstream(beside_me(L"unreleased.txt").c_str(), std::ios::binary | std::ios::app)
        << explorer_menu::module_references() << '\n';
  }
  return TRUE;
}
