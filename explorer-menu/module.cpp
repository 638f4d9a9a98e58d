// The DLL's COM entry points: the class factory of the handler's one class, and whether
// the DLL may be unloaded.
#include <windows.h>

#include "com_object.h"
#include "handler.h"
#include "menu_table.h"

namespace explorer_menu {

std::atomic<long>& module_references() {
  static constinit std::atomic<long> references{0};
  return references;
}

namespace {

class HandlerFactory final : public ComObject<IClassFactory> {
 public:
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == nullptr) {
      return E_POINTER;
    }
    *out = nullptr;
    if (outer != nullptr) {
      return CLASS_E_NOAGGREGATION;
    }
    IExplorerCommand* root = create_root_command();
    if (root == nullptr) {
      return E_OUTOFMEMORY;
    }
    const HRESULT result = root->QueryInterface(iid, out);
    root->Release();
    return result;
  }

  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock != FALSE) {
      ++module_references();
    } else {
      --module_references();
    }
    return S_OK;
  }
};

}  // namespace
}  // namespace explorer_menu

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
  using namespace explorer_menu;
  if (out == nullptr) {
    return E_POINTER;
  }
  *out = nullptr;
  if (!IsEqualCLSID(clsid, kHandlerClsid)) {
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  HandlerFactory* factory = create<HandlerFactory>();
  if (factory == nullptr) {
    return E_OUTOFMEMORY;
  }
  const HRESULT result = factory->QueryInterface(iid, out);
  factory->Release();
  return result;
}

STDAPI DllCanUnloadNow() { return explorer_menu::module_references() == 0 ? S_OK : S_FALSE; }
