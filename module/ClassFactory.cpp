#include "ClassFactory.h"

STDMETHODIMP CClassFactory::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}

// The count and the module lock move together under the factory's own lock, so a concurrent
// AddRef and Release around 1 and 2 cannot leave the lock count off by one.
STDMETHODIMP_(ULONG) CClassFactory::AddRef() {
  CObjectLock lock(this);
  ULONG l = InternalAddRef();
  if (l == 2) _Module.Lock();
  return l;
}

STDMETHODIMP_(ULONG) CClassFactory::Release() {
  ULONG l;
  {
    CObjectLock lock(this);
    l = InternalRelease();
    if (l == 1) _Module.Unlock();
  }
  if (l == 0) {
    this->~CClassFactory();
    CoTaskMemFree(this);
  }
  return l;
}

STDMETHODIMP CClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (pUnkOuter != nullptr && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  return m_pfnCreateInstance(pUnkOuter, riid, ppv);
}

STDMETHODIMP CClassFactory::LockServer(BOOL fLock) {
  if (fLock) _Module.Lock();
  else _Module.Unlock();
  return S_OK;
}

HRESULT CClassFactory::CreateFactory(void* pfnCreateInstance, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  void* mem = CoTaskMemAlloc(sizeof(CClassFactory));
  if (mem == nullptr) return E_OUTOFMEMORY;
  CClassFactory* p = new (mem) CClassFactory(reinterpret_cast<CreatorFunc>(pfnCreateInstance));
  HRESULT hr = p->QueryInterface(riid, ppv);
  if (FAILED(hr)) {
    p->~CClassFactory();
    CoTaskMemFree(mem);
  }
  return hr;
}
