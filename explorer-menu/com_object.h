// What every COM object of the handler shares: its reference count, the module's count of
// live objects and locks (for DllCanUnloadNow), and allocation from the process heap, so
// that nothing of the C++ runtime's allocation is linked in.
#pragma once

#include <windows.h>
// Needs the types of windows.h.
#include <unknwn.h>

#include <atomic>
#include <cstddef>

namespace explorer_menu {

// Objects alive plus LockServer locks: the module's one mutable state, which COM asks
// for through DllCanUnloadNow before it unloads the DLL.
std::atomic<long>& module_references();

// The tag of the one way to allocate a COM object here (see create).
struct FromHeap {};

// A COM object implementing one interface (and IUnknown). It starts with one reference
// and deletes itself when the last one is released.
template <typename Interface>
class ComObject : public Interface {
 public:
  static void* operator new(std::size_t size, FromHeap /*tag*/) noexcept {
    return HeapAlloc(GetProcessHeap(), 0, size);
  }
  static void operator delete(void* object) noexcept { HeapFree(GetProcessHeap(), 0, object); }
  static void* operator new(std::size_t size) = delete;

  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) {
      return E_POINTER;
    }
    if (IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, __uuidof(Interface))) {
      *out = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }

  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }

  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) {
      delete this;
    }
    return left;
  }

 protected:
  ComObject() noexcept { ++module_references(); }
  virtual ~ComObject() { --module_references(); }

 private:
  std::atomic<ULONG> references_{1};
};

// A new object holding one reference, or nullptr when memory is short.
template <typename Object, typename... Arguments>
Object* create(Arguments... arguments) noexcept {
  return new (FromHeap{}) Object(arguments...);
}

}  // namespace explorer_menu
