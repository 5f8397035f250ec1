// The object frame every class of the component is built on: reference counting, the interface
// table (own interface, IUnknown, IMarshal through the aggregated free-threaded marshaler),
// creation with FinalConstruct, and aggregation.
//
// A component class T derives from CObjectRoot and its one interface, and declares:
//     typedef IFoo InterfaceType;
//     static const IID& InterfaceId() { return IID_IFoo; }
//     IUnknown* m_pUnkMarshaler;               // null at construction
//     virtual IUnknown* GetControllingUnknown() = 0;
// Only the final wrappers below are ever allocated.
#pragma once
#include <new>
#include <windows.h>
#include <objbase.h>

class CComponentModule;
extern CComponentModule _Module;

// Row of the module's object map.
struct _ObjectMapEntry {
  const CLSID* pclsid;
  HRESULT (*pfnUpdateRegistry)(BOOL bRegister);
  HRESULT (*pfnGetClassObject)(void* pfnCreateInstance, REFIID riid, void** ppv);
  HRESULT (*pfnCreateInstance)(void* pOuter, REFIID riid, void** ppv);
  IUnknown* pCF;
  const char* (*pfnGetObjectDescription)();
  const void* (*pfnGetCategoryMap)();
  void (*pfnObjectMain)(bool bStarting);
};

class CComponentModule {
 public:
  HINSTANCE m_hInst = nullptr;
  GUID m_libid = {};
  _ObjectMapEntry* m_pObjMap = nullptr;

  // Number of live objects, aggregation wrappers, server locks and factories held beyond the cache.
  LONG Lock() { return InterlockedIncrement(&m_nLockCnt); }
  LONG Unlock() { return InterlockedDecrement(&m_nLockCnt); }
  LONG GetLockCount() { return InterlockedExchangeAdd(&m_nLockCnt, 0); }

  // Process attach and detach of the library.
  void Init(_ObjectMapEntry* pObjMap, HINSTANCE hInst, const GUID* plibid);
  void Term();
  HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
  void AddTermFunc(void (*pFunc)(DWORD_PTR), DWORD_PTR dw);

 private:
  struct TermFunc {
    void (*pFunc)(DWORD_PTR);
    DWORD_PTR dw;
    TermFunc* pNext;
  };
  LONG m_nLockCnt = 0;
  CRITICAL_SECTION m_csClassFactory = {};
  bool m_bInit = false;
  TermFunc* m_pTermFuncs = nullptr;
};

class CObjectRoot {
 public:
  CObjectRoot() : m_dwRef(0) { InitializeCriticalSection(&m_critsec); }
  ~CObjectRoot() { DeleteCriticalSection(&m_critsec); }
  CObjectRoot(const CObjectRoot&) = delete;
  CObjectRoot& operator=(const CObjectRoot&) = delete;

  ULONG InternalAddRef() { return (ULONG)InterlockedIncrement(&m_dwRef); }
  ULONG InternalRelease() { return (ULONG)InterlockedDecrement(&m_dwRef); }
  void Lock() { EnterCriticalSection(&m_critsec); }
  void Unlock() { LeaveCriticalSection(&m_critsec); }

 protected:
  LONG m_dwRef;
  CRITICAL_SECTION m_critsec;

  template <class T> friend class CComObject;
  template <class T> friend class CComAggObject;
};

// Holds the object's critical section for one scope.
class CObjectLock {
 public:
  explicit CObjectLock(CObjectRoot* p) : m_p(p) { m_p->Lock(); }
  ~CObjectLock() { m_p->Unlock(); }
  CObjectLock(const CObjectLock&) = delete;
  CObjectLock& operator=(const CObjectLock&) = delete;

 private:
  CObjectRoot* m_p;
};

// The interface table: own interface and IUnknown at the object's start, IMarshal forwarded.
template <class T>
HRESULT FrameQueryInterface(T* self, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, T::InterfaceId())) {
    typename T::InterfaceType* itf = self;
    itf->AddRef();
    *ppv = itf;
    return S_OK;
  }
  if (IsEqualIID(riid, IID_IMarshal)) {
    if (self->m_pUnkMarshaler == nullptr) return E_NOINTERFACE;
    return self->m_pUnkMarshaler->QueryInterface(riid, ppv);
  }
  return E_NOINTERFACE;
}

template <class T>
HRESULT FrameFinalConstruct(T* self) {
  return CoCreateFreeThreadedMarshaler(self->GetControllingUnknown(), &self->m_pUnkMarshaler);
}

template <class T>
void FrameReleaseMarshaler(T* self) {
  if (IUnknown* p = self->m_pUnkMarshaler) {
    self->m_pUnkMarshaler = nullptr;
    p->Release();
  }
}

// A stand-alone object of class T.
template <class T>
class CComObject final : public T {
 public:
  STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override { return FrameQueryInterface(this, riid, ppv); }
  STDMETHOD_(ULONG, AddRef)() override { return this->InternalAddRef(); }
  STDMETHOD_(ULONG, Release)() override {
    ULONG l = this->InternalRelease();
    if (l == 0) Destroy(this);
    return l;
  }
  IUnknown* GetControllingUnknown() override { return static_cast<typename T::InterfaceType*>(this); }

  // The new object has reference count 0; the caller adds the first reference.
  static HRESULT CreateInstance(CComObject<T>** pp) {
    if (pp == nullptr) return E_POINTER;
    *pp = nullptr;
    void* mem = CoTaskMemAlloc(sizeof(CComObject<T>));
    if (mem == nullptr) return E_OUTOFMEMORY;
    CComObject<T>* p = new (mem) CComObject<T>();
    _Module.Lock();
    p->m_dwRef = 1;  // guard reference while FinalConstruct hands out the controlling IUnknown
    HRESULT hr = FrameFinalConstruct(p);
    p->m_dwRef = 0;
    if (FAILED(hr)) {
      Destroy(p);
      return hr;
    }
    *pp = p;
    return S_OK;
  }

 private:
  CComObject() = default;
  static void Destroy(CComObject<T>* p) {
    // Stabilise the count so a destructor's own QueryInterface/Release cannot destroy it twice.
    p->m_dwRef = 0x3FFFFFFF;
    FrameReleaseMarshaler(p);
    _Module.Unlock();
    p->~CComObject<T>();
    CoTaskMemFree(p);
  }
};

// T inside an aggregation wrapper: its IUnknown delegates to the outer object.
template <class T>
class CComContainedObject final : public T {
 public:
  explicit CComContainedObject(IUnknown* pOuter) : m_pOuterUnknown(pOuter) {}
  STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override { return m_pOuterUnknown->QueryInterface(riid, ppv); }
  STDMETHOD_(ULONG, AddRef)() override { return m_pOuterUnknown->AddRef(); }
  STDMETHOD_(ULONG, Release)() override { return m_pOuterUnknown->Release(); }
  IUnknown* GetControllingUnknown() override { return m_pOuterUnknown; }

 private:
  IUnknown* m_pOuterUnknown;  // not referenced: the outer owns us
};

// The aggregation wrapper: its own IUnknown owns the count and the contained object.
template <class T>
class CComAggObject final : public IUnknown {
 public:
  STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown)) {
      *ppv = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    return FrameQueryInterface(&m_contained, riid, ppv);
  }
  STDMETHOD_(ULONG, AddRef)() override { return (ULONG)InterlockedIncrement(&m_dwRef); }
  STDMETHOD_(ULONG, Release)() override {
    LONG l = InterlockedDecrement(&m_dwRef);
    if (l == 0) Destroy(this);
    return (ULONG)l;
  }

  // The wrapper's own IUnknown comes back through QueryInterface; on failure nothing is left.
  static HRESULT CreateInstance(IUnknown* pOuter, REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    // Any other interface would be counted on the outer object while the guard reference below,
    // the wrapper's only one, goes: the caller would hold a destroyed object.
    if (pOuter == nullptr || !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    void* mem = CoTaskMemAlloc(sizeof(CComAggObject<T>));
    if (mem == nullptr) return E_OUTOFMEMORY;
    CComAggObject<T>* p = new (mem) CComAggObject<T>(pOuter);
    _Module.Lock();
    p->m_dwRef = 1;
    HRESULT hr = FrameFinalConstruct(&p->m_contained);
    if (SUCCEEDED(hr)) hr = p->QueryInterface(riid, ppv);
    if (FAILED(hr)) {
      Destroy(p);
      return hr;
    }
    p->Release();  // drops the guard; the caller's reference remains
    return hr;
  }

  LONG InternalRefCount() const { return m_dwRef; }

 private:
  explicit CComAggObject(IUnknown* pOuter) : m_dwRef(0), m_contained(pOuter) {}
  static void Destroy(CComAggObject<T>* p) {
    p->m_dwRef = 0x3FFFFFFF;
    FrameReleaseMarshaler(&p->m_contained);
    _Module.Unlock();
    p->~CComAggObject<T>();
    CoTaskMemFree(p);
  }

  LONG m_dwRef;
  CComContainedObject<T> m_contained;
};
