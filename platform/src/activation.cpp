// Activation through the registry.
#include "com_internal.h"
#include "internal.h"

namespace pim::detail {

HRESULT class_object_from_registry(REFCLSID, DWORD, REFIID, void** ppv) {
  *ppv = nullptr;
  return REGDB_E_CLASSNOTREG;
}

}  // namespace pim::detail

HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
  if (!lpszProgID || !lpclsid) return E_INVALIDARG;
  *lpclsid = IID_NULL;
  return CO_E_CLASSSTRING;
}

void CoFreeUnusedLibraries(void) {}
