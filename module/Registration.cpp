// Self-registration: DllRegisterServer and DllUnregisterServer.
#include <new>
#include <string>
#include <vector>

#include "Exports.h"
#include "ObjectFrame.h"
#include "Registrar.h"

namespace {

HRESULT ToWide(const std::string& s, std::vector<OLECHAR>& out) {
  int cch = MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, nullptr, 0);
  if (cch <= 0) return HRESULT_FROM_WIN32(GetLastError());
  out.assign((size_t)cch, 0);
  MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, out.data(), cch);
  return S_OK;
}

// The type library carried by the library file, else the .tlb file beside it. *pLoadedFrom
// receives the file it came from.
HRESULT LoadComponentTypeLib(ITypeLib** pptlib, std::string* pLoadedFrom) {
  *pptlib = nullptr;
  std::string path;
  HRESULT hr = GetComponentPath(path);
  if (FAILED(hr)) return hr;
  std::vector<OLECHAR> wide;
  hr = ToWide(path, wide);
  if (FAILED(hr)) return hr;
  hr = LoadTypeLib(wide.data(), pptlib);
  if (FAILED(hr)) {
    // The extension is the part of the file name from its last '.': a dot in a directory name is none.
    size_t sep = path.find_last_of("\\/:");
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || (sep != std::string::npos && dot < sep)) dot = path.size();
    path = path.substr(0, dot) + ".tlb";
    HRESULT hrTlb = ToWide(path, wide);
    if (FAILED(hrTlb)) return hrTlb;
    hr = LoadTypeLib(wide.data(), pptlib);
    if (FAILED(hr)) return hr;
  }
  *pLoadedFrom = path;
  return S_OK;
}

HRESULT RegisterComponentTypeLib() {
  ITypeLib* ptlib = nullptr;
  std::string path;
  HRESULT hr = LoadComponentTypeLib(&ptlib, &path);
  if (FAILED(hr)) return hr;
  // The help directory is the path up to and including its last separator.
  size_t sep = path.find_last_of("\\/:");
  std::string helpDir = sep == std::string::npos ? std::string() : path.substr(0, sep + 1);
  std::vector<OLECHAR> widePath, wideHelp;
  hr = ToWide(path, widePath);
  if (SUCCEEDED(hr)) hr = ToWide(helpDir, wideHelp);
  if (SUCCEEDED(hr)) hr = RegisterTypeLib(ptlib, widePath.data(), wideHelp.data());
  ptlib->Release();
  return hr;
}

typedef HRESULT(STDAPICALLTYPE* PFNUNREGISTERTYPELIB)(REFGUID, WORD, WORD, LCID, SYSKIND);

void UnregisterComponentTypeLib() {
  ITypeLib* ptlib = nullptr;
  std::string path;
  if (FAILED(LoadComponentTypeLib(&ptlib, &path))) return;
  TLIBATTR* pAttr = nullptr;
  if (SUCCEEDED(ptlib->GetLibAttr(&pAttr)) && pAttr != nullptr) {
    if (HMODULE hOleAut = LoadLibraryA("oleaut32.dll")) {
      PFNUNREGISTERTYPELIB pfn = reinterpret_cast<PFNUNREGISTERTYPELIB>(
          reinterpret_cast<void (*)(void)>(GetProcAddress(hOleAut, "UnRegisterTypeLib")));
      if (pfn != nullptr) pfn(pAttr->guid, pAttr->wMajorVerNum, pAttr->wMinorVerNum, pAttr->lcid, pAttr->syskind);
      FreeLibrary(hOleAut);
    }
    ptlib->ReleaseTLibAttr(pAttr);
  }
  ptlib->Release();
}

}  // namespace

STDAPI DllRegisterServer(void) {
  try {
    for (_ObjectMapEntry* e = _Module.m_pObjMap; e != nullptr && e->pclsid != nullptr; ++e) {
      if (e->pfnUpdateRegistry == nullptr) continue;
      HRESULT hr = e->pfnUpdateRegistry(TRUE);
      if (FAILED(hr)) return hr;
    }
    return RegisterComponentTypeLib();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

STDAPI DllUnregisterServer(void) {
  try {
    for (_ObjectMapEntry* e = _Module.m_pObjMap; e != nullptr && e->pclsid != nullptr; ++e)
      if (e->pfnUpdateRegistry != nullptr) e->pfnUpdateRegistry(FALSE);
    UnregisterComponentTypeLib();
  } catch (const std::bad_alloc&) {
  }
  return S_OK;
}
