// The library's four exports. On Windows the .def file exports them; elsewhere they are the only
// symbols with default visibility (the version script hides everything else).
#pragma once
#include <windows.h>

#if defined(_WIN32)
#define PIM_DLL_EXPORT
#else
#define PIM_DLL_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {
PIM_DLL_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow(void);
PIM_DLL_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
PIM_DLL_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer(void);
PIM_DLL_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer(void);
}
