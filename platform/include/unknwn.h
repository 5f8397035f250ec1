// IUnknown and the identifiers of the core COM interfaces.
#pragma once
#include "wtypes.h"
#include "winerror.h"

PIM_EXTERN_C_BEGIN
PIMPLATFORM_API extern const IID IID_IUnknown;
PIMPLATFORM_API extern const IID IID_IClassFactory;
PIMPLATFORM_API extern const IID IID_IMarshal;
PIMPLATFORM_API extern const IID IID_IStream;
PIMPLATFORM_API extern const IID IID_ISequentialStream;
PIMPLATFORM_API extern const IID IID_IDispatch;
PIMPLATFORM_API extern const IID IID_ITypeLib;
PIMPLATFORM_API extern const IID IID_ITypeInfo;
PIMPLATFORM_API extern const IID IID_NULL;
PIMPLATFORM_API extern const CLSID CLSID_StdMarshal;
PIMPLATFORM_API extern const CLSID CLSID_InProcFreeMarshaler;
PIM_EXTERN_C_END

#ifdef __cplusplus
struct IUnknown {
  STDMETHOD(QueryInterface)(REFIID riid, void** ppvObject) PURE;
  STDMETHOD_(ULONG, AddRef)() PURE;
  STDMETHOD_(ULONG, Release)() PURE;
 protected:
  ~IUnknown() = default;
};
typedef IUnknown* LPUNKNOWN;

struct IClassFactory : public IUnknown {
  STDMETHOD(CreateInstance)(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) PURE;
  STDMETHOD(LockServer)(BOOL fLock) PURE;
 protected:
  ~IClassFactory() = default;
};
typedef IClassFactory* LPCLASSFACTORY;
#endif
