#include "ObjectFrame.h"

namespace {

// The cached factory is published once and read without the lock.
IUnknown* LoadFactory(_ObjectMapEntry* e) {
  return static_cast<IUnknown*>(
      InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(&e->pCF), nullptr, nullptr));
}

}  // namespace

void CComponentModule::Init(_ObjectMapEntry* pObjMap, HINSTANCE hInst, const GUID* plibid) {
  m_pObjMap = pObjMap;
  m_hInst = hInst;
  if (plibid) m_libid = *plibid;
  InitializeCriticalSection(&m_csClassFactory);
  m_bInit = true;
  for (_ObjectMapEntry* e = m_pObjMap; e && e->pclsid; ++e)
    if (e->pfnObjectMain) e->pfnObjectMain(true);
}

void CComponentModule::Term() {
  if (!m_bInit) return;
  for (_ObjectMapEntry* e = m_pObjMap; e && e->pclsid; ++e) {
    IUnknown* cf = static_cast<IUnknown*>(
        InterlockedExchangePointer(reinterpret_cast<void* volatile*>(&e->pCF), nullptr));
    if (cf) cf->Release();
    if (e->pfnObjectMain) e->pfnObjectMain(false);
  }
  DeleteCriticalSection(&m_csClassFactory);
  m_bInit = false;
  while (TermFunc* f = m_pTermFuncs) {
    m_pTermFuncs = f->pNext;
    f->pFunc(f->dw);
    CoTaskMemFree(f);
  }
}

HRESULT CComponentModule::GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!m_bInit) return E_UNEXPECTED;
  HRESULT hr = S_OK;
  for (_ObjectMapEntry* e = m_pObjMap; e && e->pclsid; ++e) {
    if (e->pfnGetClassObject == nullptr || !IsEqualCLSID(rclsid, *e->pclsid)) continue;
    IUnknown* cf = LoadFactory(e);
    if (cf == nullptr) {
      EnterCriticalSection(&m_csClassFactory);
      cf = LoadFactory(e);
      if (cf == nullptr) {
        hr = e->pfnGetClassObject(reinterpret_cast<void*>(e->pfnCreateInstance), IID_IUnknown,
                                  reinterpret_cast<void**>(&cf));
        if (FAILED(hr)) cf = nullptr;
        if (cf) InterlockedExchangePointer(reinterpret_cast<void* volatile*>(&e->pCF), cf);
      }
      LeaveCriticalSection(&m_csClassFactory);
    }
    if (cf) hr = cf->QueryInterface(riid, ppv);
    break;
  }
  if (*ppv == nullptr && SUCCEEDED(hr)) hr = CLASS_E_CLASSNOTAVAILABLE;
  return hr;
}

void CComponentModule::AddTermFunc(void (*pFunc)(DWORD_PTR), DWORD_PTR dw) {
  if (!m_bInit || pFunc == nullptr) return;
  TermFunc* f = static_cast<TermFunc*>(CoTaskMemAlloc(sizeof(TermFunc)));
  if (f == nullptr) return;
  *f = TermFunc{pFunc, dw, nullptr};
  EnterCriticalSection(&m_csClassFactory);
  f->pNext = m_pTermFuncs;
  m_pTermFuncs = f;
  LeaveCriticalSection(&m_csClassFactory);
}
