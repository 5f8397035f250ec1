// BSTR, VARIANT and type-library functions of OLE automation.
#pragma once
#include "objbase.h"

#define VARIANT_NOVALUEPROP 0x1
#define VARIANT_ALPHABOOL 0x2
#define VARIANT_NOUSEROVERRIDE 0x4
#define LOCALE_NOUSEROVERRIDE 0x80000000

PIM_EXTERN_C_BEGIN
// A BSTR is preceded by its length in bytes (32 bits) and followed by a NUL; embedded NULs are kept.
PIMPLATFORM_API BSTR SysAllocString(const OLECHAR* psz);
PIMPLATFORM_API BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui);
PIMPLATFORM_API BSTR SysAllocStringByteLen(LPCSTR psz, UINT len);
PIMPLATFORM_API INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
PIMPLATFORM_API INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len);
PIMPLATFORM_API void SysFreeString(BSTR bstrString);
PIMPLATFORM_API UINT SysStringLen(BSTR pbstr);
PIMPLATFORM_API UINT SysStringByteLen(BSTR bstr);

PIMPLATFORM_API void VariantInit(VARIANTARG* pvarg);
PIMPLATFORM_API HRESULT VariantClear(VARIANTARG* pvarg);
PIMPLATFORM_API HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
PIMPLATFORM_API HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt);
PIMPLATFORM_API HRESULT VarUI4FromStr(LPCOLESTR strIn, LCID lcid, ULONG dwFlags, ULONG* pulOut);

// DATE <-> broken-down time, without time-zone conversion.
PIMPLATFORM_API INT SystemTimeToVariantTime(const SYSTEMTIME* lpSystemTime, DATE* pvtime);
PIMPLATFORM_API INT VariantTimeToSystemTime(DATE vtime, LPSYSTEMTIME lpSystemTime);

// Reads the "TYPELIB" resource 1 of a library file, or a .tlb file.
PIMPLATFORM_API HRESULT LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib);
PIMPLATFORM_API HRESULT RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir);
PIMPLATFORM_API HRESULT UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid, SYSKIND syskind);
PIM_EXTERN_C_END
