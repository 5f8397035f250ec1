// Test helpers for COM objects: reference counts, poisoned out parameters, class objects in front
// of activation, and the component library loaded the way a host loads it.
#pragma once
#include <objbase.h>
#include <windows.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

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

// A controlling object that counts its references and records what it was asked for.
// It lives on the stack; `inner` answers every interface but IUnknown.
class FakeOuter : public IUnknown {
 public:
  STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
    lastQuery = riid;
    ++queries;
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown)) {
      *ppv = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    return inner ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
  }
  STDMETHOD_(ULONG, AddRef)() override { return ++refs; }
  STDMETHOD_(ULONG, Release)() override { return --refs; }

  ULONG refs = 1;
  int queries = 0;
  IID lastQuery = {};
  IUnknown* inner = nullptr;
};

// IUnknown for a test double on interface I: a count from 1 that deletes the object at 0, and a
// QueryInterface helper answering IUnknown and the listed interfaces with I.
template <class I>
class Counted : public I {
 public:
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG n = --m_refs;
    if (n == 0) delete this;
    return n;
  }
  ULONG Refs() const { return m_refs; }

 protected:
  virtual ~Counted() = default;
  template <class... Iids>
  HRESULT Answer(REFIID riid, void** ppv, const Iids&... iids) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !(IsEqualIID(riid, iids) || ...)) return E_NOINTERFACE;
    *ppv = static_cast<I*>(this);
    AddRef();
    return S_OK;
  }

 private:
  std::atomic<ULONG> m_refs{1};
};

// IDispatch whose type information and late binding a double never offers.
template <class I>
class NoDispatch : public I {
 public:
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
};

// A class object: every CreateInstance calls `make`, or fails with `failWith`. Made with new, the
// creator's reference deletes it; on the stack the count never reaches 0.
class FakeClassFactory : public Counted<IClassFactory> {
 public:
  using Make = std::function<HRESULT(REFIID, void**)>;
  explicit FakeClassFactory(Make make) : m_make(std::move(make)) {}
  // Hands out `object` (owned by the test) for every activation.
  explicit FakeClassFactory(IUnknown* object)
      : m_make([object](REFIID riid, void** ppv) { return object->QueryInterface(riid, ppv); }) {}
  FakeClassFactory(const FakeClassFactory&) = delete;
  FakeClassFactory& operator=(const FakeClassFactory&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return Answer(riid, ppv, IID_IClassFactory); }
  STDMETHODIMP CreateInstance(IUnknown* pOuter, REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    ++activations;
    if (pOuter) return CLASS_E_NOAGGREGATION;
    if (FAILED(failWith)) return failWith;
    return m_make(riid, ppv);
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }

  std::atomic<HRESULT> failWith{S_OK};
  std::atomic<int> activations{0};

 private:
  Make m_make;
};

// Makes a new object of type T for each activation; the caller's reference is the only one.
template <class T>
HRESULT MakeFake(REFIID riid, void** ppv) {
  T* p = new T();
  HRESULT hr = p->QueryInterface(riid, ppv);
  p->Release();
  return hr;
}

// A class object in front of activation (the class table comes before the registry) for one scope.
class ScopedClassObject {
 public:
  ScopedClassObject(REFCLSID clsid, IUnknown* p, DWORD context = CLSCTX_INPROC_SERVER) {
    EXPECT_EQ(CoRegisterClassObject(clsid, p, context, REGCLS_MULTIPLEUSE, &m_cookie), S_OK);
  }
  ~ScopedClassObject() {
    if (m_cookie) CoRevokeClassObject(m_cookie);
  }
  ScopedClassObject(const ScopedClassObject&) = delete;
  ScopedClassObject& operator=(const ScopedClassObject&) = delete;
  // Takes the class out of the table now: activation then finds what the registry has.
  void Revoke() {
    if (m_cookie) CoRevokeClassObject(m_cookie);
    m_cookie = 0;
  }

 private:
  DWORD m_cookie = 0;
};

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
