// The Windows kernel, registry and locale subset this product uses.
#pragma once
#include "wtypes.h"
#include "winerror.h"

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#define LOAD_LIBRARY_AS_DATAFILE 0x00000002
#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004
#define MAKEINTRESOURCEA(i) ((LPSTR)(ULONG_PTR)((WORD)(i)))
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)

#define CP_ACP 0
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x00000008

#define LOCALE_USER_DEFAULT 0x0400
#define LOCALE_SYSTEM_DEFAULT 0x0800
#define DATE_SHORTDATE 0x00000001
#define DATE_LONGDATE 0x00000002
#define TIME_NOMINUTESORSECONDS 0x00000001
#define TIME_NOSECONDS 0x00000002
#define TIME_NOTIMEMARKER 0x00000004
#define TIME_FORCE24HOURFORMAT 0x00000008

// Registry.
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))
#define HKEY_PERFORMANCE_DATA ((HKEY)(ULONG_PTR)((LONG)0x80000004))
#define HKEY_CURRENT_CONFIG ((HKEY)(ULONG_PTR)((LONG)0x80000005))
#define HKEY_DYN_DATA ((HKEY)(ULONG_PTR)((LONG)0x80000006))
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// Recursive, like Windows' own; the storage is opaque.
typedef struct _CRITICAL_SECTION {
  alignas(16) unsigned char opaque[64];
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

PIM_EXTERN_C_BEGIN
PIMPLATFORM_API DWORD GetCurrentThreadId(void);
PIMPLATFORM_API DWORD GetCurrentProcessId(void);
PIMPLATFORM_API DWORD GetLastError(void);
PIMPLATFORM_API void SetLastError(DWORD dwErrCode);
PIMPLATFORM_API void Sleep(DWORD dwMilliseconds);

PIMPLATFORM_API void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
PIMPLATFORM_API void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
PIMPLATFORM_API void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
PIMPLATFORM_API void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
PIMPLATFORM_API BOOL TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

// Modules. LOAD_LIBRARY_AS_DATAFILE maps the file for its resources and runs none of its code.
PIMPLATFORM_API HMODULE LoadLibraryA(LPCSTR lpLibFileName);
PIMPLATFORM_API HMODULE LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
PIMPLATFORM_API BOOL FreeLibrary(HMODULE hLibModule);
PIMPLATFORM_API FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
PIMPLATFORM_API BOOL GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName, HMODULE* phModule);
PIMPLATFORM_API DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
PIMPLATFORM_API DWORD GetLongPathNameA(LPCSTR lpszShortPath, LPSTR lpszLongPath, DWORD cchBuffer);
PIMPLATFORM_API BOOL DisableThreadLibraryCalls(HMODULE hLibModule);
PIMPLATFORM_API HRSRC FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType);
PIMPLATFORM_API HGLOBAL LoadResource(HMODULE hModule, HRSRC hResInfo);
PIMPLATFORM_API LPVOID LockResource(HGLOBAL hResData);
PIMPLATFORM_API DWORD SizeofResource(HMODULE hModule, HRSRC hResInfo);

PIMPLATFORM_API int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar);
PIMPLATFORM_API int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar);
PIMPLATFORM_API int lstrlenA(LPCSTR lpString);
PIMPLATFORM_API int lstrlenW(LPCWSTR lpString);
PIMPLATFORM_API int lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2);

// The user's date and time formats come from HKCU\Control Panel\International (sShortDate, sLongDate, sTimeFormat).
PIMPLATFORM_API int GetDateFormatA(LCID Locale, DWORD dwFlags, const SYSTEMTIME* lpDate, LPCSTR lpFormat, LPSTR lpDateStr, int cchDate);
PIMPLATFORM_API int GetTimeFormatA(LCID Locale, DWORD dwFlags, const SYSTEMTIME* lpTime, LPCSTR lpFormat, LPSTR lpTimeStr, int cchTime);
PIMPLATFORM_API void GetSystemTime(LPSYSTEMTIME lpSystemTime);
PIMPLATFORM_API void GetLocalTime(LPSYSTEMTIME lpSystemTime);

// Registry, persisted to the .reg file PIM_REGISTRY names; every change is saved atomically under a file lock.
PIMPLATFORM_API LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
PIMPLATFORM_API LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
PIMPLATFORM_API LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions, REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult, LPDWORD lpdwDisposition);
PIMPLATFORM_API LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions, REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult, LPDWORD lpdwDisposition);
PIMPLATFORM_API LSTATUS RegCloseKey(HKEY hKey);
PIMPLATFORM_API LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData, DWORD cbData);
PIMPLATFORM_API LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData, DWORD cbData);
PIMPLATFORM_API LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
PIMPLATFORM_API LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
PIMPLATFORM_API LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
PIMPLATFORM_API LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
// Refuses a key that has subkeys (ERROR_ACCESS_DENIED, as Windows).
PIMPLATFORM_API LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
PIMPLATFORM_API LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
PIMPLATFORM_API LSTATUS RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey);
PIMPLATFORM_API LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey);
PIMPLATFORM_API LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
PIMPLATFORM_API LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
PIMPLATFORM_API LSTATUS RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);
PIM_EXTERN_C_END

#ifdef __cplusplus
inline LONG InterlockedIncrement(LONG volatile* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(LONG volatile* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchange(LONG volatile* p, LONG v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchangeAdd(LONG volatile* p, LONG v) { return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedCompareExchange(LONG volatile* p, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
inline void* InterlockedExchangePointer(void* volatile* p, void* v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
inline void* InterlockedCompareExchangePointer(void* volatile* p, void* exchange, void* comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
#endif

#include "objbase.h"
#include "oleauto.h"
