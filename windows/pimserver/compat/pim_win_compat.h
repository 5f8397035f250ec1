// Included first in every C++ source of the Windows build of the PIM server.
//
// The server's sources hold 16-bit text as char16_t (the platform layer's
// OLECHAR); Windows' OLECHAR is wchar_t, the same 16 bits under another type.
// These overloads let the same calls compile against Windows' headers.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <objbase.h>
#include <olectl.h>
#include <mapicode.h>

#include <cerrno>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "16-bit wchar_t");

// Not in MinGW's errno.h; Winsock's number for the same condition.
#ifndef EDQUOT
#define EDQUOT 10069
#endif

namespace pim_win {
inline wchar_t* w(char16_t* s) { return reinterpret_cast<wchar_t*>(s); }
inline const wchar_t* w(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }
}  // namespace pim_win

inline BSTR SysAllocStringLen(const char16_t* s, UINT n) { return SysAllocStringLen(pim_win::w(s), n); }
inline BSTR SysAllocString(const char16_t* s) { return SysAllocString(pim_win::w(s)); }
inline int StringFromGUID2(REFGUID g, char16_t* out, int n) { return StringFromGUID2(g, pim_win::w(out), n); }
inline LSTATUS RegCreateKeyExW(HKEY k, const char16_t* sub, DWORD r, char16_t* cls, DWORD o, REGSAM s,
                               const LPSECURITY_ATTRIBUTES a, PHKEY out, LPDWORD d) {
    return RegCreateKeyExW(k, pim_win::w(sub), r, pim_win::w(cls), o, s, a, out, d);
}
inline LSTATUS RegOpenKeyExW(HKEY k, const char16_t* sub, DWORD o, REGSAM s, PHKEY out) {
    return RegOpenKeyExW(k, pim_win::w(sub), o, s, out);
}
inline LSTATUS RegSetValueExW(HKEY k, const char16_t* name, DWORD r, DWORD t, const BYTE* d, DWORD n) {
    return RegSetValueExW(k, pim_win::w(name), r, t, d, n);
}
inline LSTATUS RegQueryValueExW(HKEY k, const char16_t* name, LPDWORD r, LPDWORD t, LPBYTE d, LPDWORD n) {
    return RegQueryValueExW(k, pim_win::w(name), r, t, d, n);
}
inline LSTATUS RegDeleteTreeW(HKEY k, const char16_t* sub) { return RegDeleteTreeW(k, pim_win::w(sub)); }
inline int WideCharToMultiByte(UINT cp, DWORD f, const char16_t* s, int n, LPSTR out, int m, LPCCH d, LPBOOL u) {
    return WideCharToMultiByte(cp, f, pim_win::w(s), n, out, m, d, u);
}
inline int MultiByteToWideChar(UINT cp, DWORD f, LPCCH s, int n, char16_t* out, int m) {
    return MultiByteToWideChar(cp, f, s, n, pim_win::w(out), m);
}
inline int MultiByteToWideChar(UINT cp, DWORD f, LPCCH s, int n, decltype(nullptr), int m) {
    return MultiByteToWideChar(cp, f, s, n, static_cast<LPWSTR>(nullptr), m);
}
