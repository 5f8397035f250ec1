// The COM runtime: apartments, activation, marshalling between threads, task memory.
#pragma once
#include "oaidl.h"

typedef enum tagCOINIT {
  COINIT_MULTITHREADED = 0x0,
  COINIT_APARTMENTTHREADED = 0x2,
  COINIT_DISABLE_OLE1DDE = 0x4,
  COINIT_SPEED_OVER_MEMORY = 0x8
} COINIT;

typedef enum tagCLSCTX {
  CLSCTX_INPROC_SERVER = 0x1,
  CLSCTX_INPROC_HANDLER = 0x2,
  CLSCTX_LOCAL_SERVER = 0x4,
  CLSCTX_REMOTE_SERVER = 0x10,
  CLSCTX_SERVER = 0x15,
  CLSCTX_ALL = 0x17
} CLSCTX;

typedef enum tagREGCLS {
  REGCLS_SINGLEUSE = 0,
  REGCLS_MULTIPLEUSE = 1,
  REGCLS_MULTI_SEPARATE = 2
} REGCLS;

PIM_EXTERN_C_BEGIN
// Apartments are per thread; activation on a thread that never initialised fails with CO_E_NOTINITIALIZED.
PIMPLATFORM_API HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
PIMPLATFORM_API HRESULT CoInitialize(LPVOID pvReserved);
PIMPLATFORM_API void CoUninitialize(void);

// Class table first, then HKCR\CLSID\{clsid}\InprocServer32 (or LocalServer32, loaded in-process).
PIMPLATFORM_API HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);
PIMPLATFORM_API HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid, LPVOID* ppv);
PIMPLATFORM_API HRESULT CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk, DWORD dwClsContext, DWORD flags, LPDWORD lpdwRegister);
PIMPLATFORM_API HRESULT CoRevokeClassObject(DWORD dwRegister);
// Unloads each library whose DllCanUnloadNow answers S_OK.
PIMPLATFORM_API void CoFreeUnusedLibraries(void);

PIMPLATFORM_API HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);
PIMPLATFORM_API HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
PIMPLATFORM_API HRESULT IIDFromString(LPCOLESTR lpsz, LPIID lpiid);
// Writes "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"; returns the characters written with the NUL, 0 if cchMax is short.
PIMPLATFORM_API int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);

PIMPLATFORM_API LPVOID CoTaskMemAlloc(SIZE_T cb);
PIMPLATFORM_API LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
PIMPLATFORM_API void CoTaskMemFree(LPVOID pv);

// The stream starts at position 0 and its marshal data holds one reference on the object.
PIMPLATFORM_API HRESULT CoMarshalInterThreadInterfaceInStream(REFIID riid, LPUNKNOWN pUnk, LPSTREAM* ppStm);
// Unmarshals from the stream's position and releases the stream whether it succeeds or not.
PIMPLATFORM_API HRESULT CoGetInterfaceAndReleaseStream(LPSTREAM pStm, REFIID iid, LPVOID* ppv);
PIMPLATFORM_API HRESULT CoMarshalInterface(LPSTREAM pStm, REFIID riid, LPUNKNOWN pUnk, DWORD dwDestContext, LPVOID pvDestContext, DWORD mshlflags);
PIMPLATFORM_API HRESULT CoUnmarshalInterface(LPSTREAM pStm, REFIID riid, LPVOID* ppv);
PIMPLATFORM_API HRESULT CoReleaseMarshalData(LPSTREAM pStm);
// A real aggregated object answering IMarshal; every other query goes to punkOuter.
PIMPLATFORM_API HRESULT CoCreateFreeThreadedMarshaler(LPUNKNOWN punkOuter, LPUNKNOWN* ppunkMarshal);
// A memory stream; hGlobal must be null here.
PIMPLATFORM_API HRESULT CreateStreamOnHGlobal(HGLOBAL hGlobal, BOOL fDeleteOnRelease, LPSTREAM* ppstm);
PIM_EXTERN_C_END
