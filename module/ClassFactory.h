// The class factory an object-map row caches. The cache's own reference does not keep the library
// loaded; every reference beyond it does.
#pragma once
#include "ObjectFrame.h"

class CClassFactory final : public CObjectRoot, public IClassFactory {
 public:
  typedef HRESULT (*CreatorFunc)(void* pOuter, REFIID riid, void** ppv);

  STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override;
  STDMETHOD_(ULONG, AddRef)() override;
  STDMETHOD_(ULONG, Release)() override;
  STDMETHOD(CreateInstance)(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
  STDMETHOD(LockServer)(BOOL fLock) override;

  // The row's class-factory creator: a factory for the instance creator pfnCreateInstance,
  // returned through QueryInterface (so the out pointer holds the first reference).
  static HRESULT CreateFactory(void* pfnCreateInstance, REFIID riid, void** ppv);

 private:
  explicit CClassFactory(CreatorFunc pfnCreateInstance) : m_pfnCreateInstance(pfnCreateInstance) {}
  ~CClassFactory() = default;

  CreatorFunc m_pfnCreateInstance;
};
