// Registers the PIM server in the benchmark's registry and logs on to its namespace, as the
// adapter would.
#pragma once
#include <ComPtr.h>
#include <Outlook.h>
#include <windows.h>

inline bool LogOnToServer(const char* serverLibrary, ComPtr<_Application>* app, ComPtr<_NameSpace>* ns) {
  HMODULE lib = LoadLibraryA(serverLibrary);
  auto reg = lib ? reinterpret_cast<HRESULT (*)()>(reinterpret_cast<void*>(GetProcAddress(lib, "DllRegisterServer")))
                 : nullptr;
  if (reg == nullptr || FAILED(reg())) return false;
  if (FAILED(CoCreateInstance(CLSID_OutlookApplication, nullptr, CLSCTX_LOCAL_SERVER, IID__Application,
                              reinterpret_cast<void**>(app->put()))))
    return false;
  BSTR mapi = SysAllocString(OLESTR("MAPI"));
  HRESULT hr = (*app)->GetNamespace(mapi, ns->put());
  SysFreeString(mapi);
  if (FAILED(hr) || !*ns) return false;
  VARIANT omitted;
  VariantInit(&omitted);
  omitted.vt = VT_ERROR;
  omitted.scode = DISP_E_PARAMNOTFOUND;
  return SUCCEEDED((*ns)->Logon(omitted, omitted, omitted, omitted));
}
