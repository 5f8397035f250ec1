// The module object, its object map, and the library's entry point and class-object exports.
#include <COutlookPimAdapter.h>
#include <VYN_PIM_OUTLOOK.h>

#include "ClassFactory.h"
#include "Exports.h"
#include "ObjectFrame.h"
#include "Registrar.h"

constinit CComponentModule _Module;

namespace {

HRESULT UpdateAdapterRegistry(BOOL bRegister) { return UpdateRegistryFromResource(bRegister); }

// The adapter's instance creator: plain, or inside an aggregation wrapper when pOuter is given.
HRESULT CreateAdapter(void* pOuter, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (pOuter != nullptr) return CComAggObject<COutlookPimAdapter>::CreateInstance(static_cast<IUnknown*>(pOuter), riid, ppv);
  CComObject<COutlookPimAdapter>* p = nullptr;
  HRESULT hr = CComObject<COutlookPimAdapter>::CreateInstance(&p);
  if (FAILED(hr)) return hr;
  // The guard reference makes a failing QueryInterface destroy the object.
  p->AddRef();
  hr = p->QueryInterface(riid, ppv);
  p->Release();
  return hr;
}

const char* NoObjectDescription() { return nullptr; }
const void* NoCategoryMap() { return nullptr; }
void NoObjectMain(bool) {}

_ObjectMapEntry ObjectMap[] = {
    {&CLSID_COutlookPimAdapter, &UpdateAdapterRegistry, &CClassFactory::CreateFactory, &CreateAdapter, nullptr,
     &NoObjectDescription, &NoCategoryMap, &NoObjectMain},
    {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID /*lpReserved*/) {
  if (dwReason == DLL_PROCESS_ATTACH) {
    _Module.Init(ObjectMap, hInstance, &LIBID_VYN_PIM_OUTLOOKLib);
    DisableThreadLibraryCalls(hInstance);
  } else if (dwReason == DLL_PROCESS_DETACH) {
    _Module.Term();
  }
  return TRUE;
}

STDAPI DllCanUnloadNow(void) { return _Module.GetLockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) { return _Module.GetClassObject(rclsid, riid, ppv); }
