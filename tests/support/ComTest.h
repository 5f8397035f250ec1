// Test helpers for COM objects: reference counts, poisoned out parameters, and the component
// library loaded the way a host loads it.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>

namespace pimtest {

// The object's count as AddRef and Release report it; leaves the count as it was.
template <class T>
ULONG RefCount(T* p) {
  p->AddRef();
  return p->Release();
}

// A value no successful or failing call leaves in an out parameter.
inline void* Poison() { return reinterpret_cast<void*>(static_cast<ULONG_PTR>(0xdeadbeef)); }

// `call`, given `&out`, answers `hr` and writes null to out.
#define EXPECT_REFUSED(call, hr)         \
  do {                                   \
    void* out = ::pimtest::Poison();     \
    EXPECT_EQ(call, hr);                 \
    EXPECT_EQ(out, nullptr);             \
  } while (0)

// The component library, loaded with LoadLibraryA and reached only through its exports.
class ComponentLibrary {
 public:
  explicit ComponentLibrary(const char* path) : m_h(LoadLibraryA(path)) {
    if (m_h == nullptr) return;
    m_getClassObject = Proc<GetClassObjectFn>("DllGetClassObject");
    m_canUnloadNow = Proc<NoArgFn>("DllCanUnloadNow");
    m_registerServer = Proc<NoArgFn>("DllRegisterServer");
    m_unregisterServer = Proc<NoArgFn>("DllUnregisterServer");
  }
  ~ComponentLibrary() {
    if (m_h) FreeLibrary(m_h);
  }
  ComponentLibrary(const ComponentLibrary&) = delete;
  ComponentLibrary& operator=(const ComponentLibrary&) = delete;

  bool Loaded() const { return m_h != nullptr && m_getClassObject != nullptr && m_canUnloadNow != nullptr; }
  HMODULE Handle() const { return m_h; }
  HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** ppv) const { return m_getClassObject(clsid, iid, ppv); }
  HRESULT CanUnloadNow() const { return m_canUnloadNow(); }
  HRESULT RegisterServer() const { return m_registerServer ? m_registerServer() : E_NOTIMPL; }
  HRESULT UnregisterServer() const { return m_unregisterServer ? m_unregisterServer() : E_NOTIMPL; }

 private:
  typedef HRESULT(STDAPICALLTYPE* GetClassObjectFn)(REFCLSID, REFIID, void**);
  typedef HRESULT(STDAPICALLTYPE* NoArgFn)();
  template <class F>
  F Proc(const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(m_h, name)));
  }
  HMODULE m_h;
  GetClassObjectFn m_getClassObject = nullptr;
  NoArgFn m_canUnloadNow = nullptr;
  NoArgFn m_registerServer = nullptr;
  NoArgFn m_unregisterServer = nullptr;
};

}  // namespace pimtest

// AddRef then Release: the object's count must be n.
#define EXPECT_REF(p, n) EXPECT_EQ(::pimtest::RefCount(p), static_cast<ULONG>(n)) << "reference count of " #p
