// VARIANT lifetime: init, clear, copy.
#include <cstring>

#include "internal.h"
#include "variant_internal.h"

namespace pim::detail {

bool valid_vartype(VARTYPE vt) {
  if (vt & ~(VT_BYREF | VT_ARRAY | 0x0FFF)) return false;
  VARTYPE base = vt & 0x0FFF;
  if (vt & VT_ARRAY) return false;  // SAFEARRAY is not supported here
  switch (base) {
    case VT_EMPTY:
    case VT_NULL:
      return !(vt & VT_BYREF);
    case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY: case VT_DATE: case VT_BSTR:
    case VT_DISPATCH: case VT_ERROR: case VT_BOOL: case VT_UNKNOWN: case VT_DECIMAL:
    case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4: case VT_I8: case VT_UI8: case VT_INT: case VT_UINT:
      return true;
    case VT_VARIANT:
      return (vt & VT_BYREF) != 0;
    default:
      return false;
  }
}

}  // namespace pim::detail

using pim::detail::valid_vartype;

void VariantInit(VARIANTARG* pvarg) {
  if (!pvarg) return;
  pvarg->vt = VT_EMPTY;
  pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
  if (!pvarg) return E_INVALIDARG;
  if (!valid_vartype(pvarg->vt)) return DISP_E_BADVARTYPE;
  if (!(pvarg->vt & VT_BYREF)) {
    switch (pvarg->vt) {
      case VT_BSTR:
        SysFreeString(pvarg->bstrVal);
        break;
      case VT_UNKNOWN:
        if (pvarg->punkVal) pvarg->punkVal->Release();
        break;
      case VT_DISPATCH:
        if (pvarg->pdispVal) pvarg->pdispVal->Release();
        break;
      default:
        break;
    }
  }
  pvarg->vt = VT_EMPTY;
  pvarg->llVal = 0;
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  if (!pvargDest || !pvargSrc) return E_INVALIDARG;
  if (!valid_vartype(pvargSrc->vt)) return DISP_E_BADVARTYPE;
  if (pvargDest == pvargSrc) return S_OK;
  HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr)) return hr;
  VARIANT copy = *pvargSrc;
  if (!(copy.vt & VT_BYREF)) {
    switch (copy.vt) {
      case VT_BSTR:
        if (copy.bstrVal) {
          copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(pvargSrc->bstrVal),
                                               SysStringByteLen(pvargSrc->bstrVal));
          if (!copy.bstrVal) return E_OUTOFMEMORY;
        }
        break;
      case VT_UNKNOWN:
      case VT_DISPATCH:
        // pdispVal and punkVal share storage, and IDispatch starts with IUnknown's slots.
        if (copy.punkVal) copy.punkVal->AddRef();
        break;
      default:
        break;
    }
  }
  *pvargDest = copy;
  return S_OK;
}
