// VariantChangeType for the common scalar types, VarUI4FromStr, and DATE <-> SYSTEMTIME.
#include <cmath>
#include <limits>
#include <cstring>
#include <string>

#include "internal.h"
#include "variant_internal.h"

namespace {

using pim::detail::to_u16;
using pim::detail::to_u8;

constexpr double kMinDate = -657434.0;        // 0100-01-01
constexpr double kMaxDate = 2958465.99999999;  // 9999-12-31 23:59:59

// Days from 1899-12-30 to y-m-d (proleptic Gregorian).
long days_from_civil(long y, unsigned m, unsigned d) {
  y -= m <= 2;
  long era = (y >= 0 ? y : y - 399) / 400;
  unsigned yoe = static_cast<unsigned>(y - era * 400);
  unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long>(doe) - 719468 + 25569;  // 1970-01-01 is day 25569
}

void civil_from_days(long z, int& y, unsigned& m, unsigned& d) {
  z -= 25569;
  z += 719468;
  long era = (z >= 0 ? z : z - 146096) / 146097;
  unsigned doe = static_cast<unsigned>(z - era * 146097);
  unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long yy = static_cast<long>(yoe) + era * 400;
  unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int>(yy + (m <= 2));
}

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Parses a decimal number as VarXxxFromStr reads it: blanks around, a sign, thousands commas,
// a fraction, an exponent, or &H/&O prefixed hexadecimal/octal.
HRESULT parse_number(std::u16string_view s, long double& out) {
  size_t i = 0, n = s.size();
  while (i < n && (s[i] == u' ' || s[i] == u'\t')) ++i;
  while (n > i && (s[n - 1] == u' ' || s[n - 1] == u'\t' || s[n - 1] == 0)) --n;
  if (i >= n) return DISP_E_TYPEMISMATCH;
  if (n - i > 2 && s[i] == u'&' && (s[i + 1] == u'H' || s[i + 1] == u'h' || s[i + 1] == u'O' || s[i + 1] == u'o')) {
    int base = (s[i + 1] == u'H' || s[i + 1] == u'h') ? 16 : 8;
    long double v = 0;
    for (size_t k = i + 2; k < n; ++k) {
      int digit;
      char16_t c = s[k];
      if (c >= u'0' && c <= u'9') digit = c - u'0';
      else if (c >= u'a' && c <= u'f') digit = c - u'a' + 10;
      else if (c >= u'A' && c <= u'F') digit = c - u'A' + 10;
      else return DISP_E_TYPEMISMATCH;
      if (digit >= base) return DISP_E_TYPEMISMATCH;
      v = v * base + digit;
    }
    out = v;
    return S_OK;
  }
  bool negative = false;
  if (s[i] == u'+' || s[i] == u'-') negative = s[i++] == u'-';
  std::string digits;
  bool any = false, point = false;
  for (; i < n; ++i) {
    char16_t c = s[i];
    if (c >= u'0' && c <= u'9') {
      digits += static_cast<char>(c);
      any = true;
    } else if (c == u',' && !point && any) {
      continue;
    } else if (c == u'.' && !point) {
      digits += '.';
      point = true;
    } else {
      break;
    }
  }
  if (!any) return DISP_E_TYPEMISMATCH;
  if (i < n && (s[i] == u'e' || s[i] == u'E')) {
    digits += 'e';
    ++i;
    if (i < n && (s[i] == u'+' || s[i] == u'-')) digits += static_cast<char>(s[i++]);
    size_t start = i;
    while (i < n && s[i] >= u'0' && s[i] <= u'9') digits += static_cast<char>(s[i++]);
    if (i == start) return DISP_E_TYPEMISMATCH;
  }
  if (i != n) return DISP_E_TYPEMISMATCH;
  out = std::strtold(digits.c_str(), nullptr);
  if (std::isinf(out)) return DISP_E_OVERFLOW;
  if (negative) out = -out;
  return S_OK;
}

// Rounds half to even, as the automation conversions do.
long double round_even(long double v) {
  long double r = std::nearbyintl(v);  // the default rounding mode is to nearest, ties to even
  return r;
}

template <class T>
HRESULT to_integer(long double v, T& out) {
  long double r = round_even(v);
  if (std::isnan(r) || r < static_cast<long double>(std::numeric_limits<T>::min()) ||
      r > static_cast<long double>(std::numeric_limits<T>::max()))
    return DISP_E_OVERFLOW;
  out = static_cast<T>(r);
  return S_OK;
}

// Reads a scalar variant as a number.
HRESULT number_of(const VARIANT& v, long double& out) {
  bool ref = v.vt & VT_BYREF;
  const void* p = ref ? v.byref : &v.llVal;
  switch (v.vt & ~VT_BYREF) {
    case VT_EMPTY: out = 0; return S_OK;
    case VT_I1: out = *static_cast<const signed char*>(p); return S_OK;
    case VT_UI1: out = *static_cast<const unsigned char*>(p); return S_OK;
    case VT_I2: out = *static_cast<const SHORT*>(p); return S_OK;
    case VT_UI2: out = *static_cast<const USHORT*>(p); return S_OK;
    case VT_I4: case VT_INT: out = *static_cast<const LONG*>(p); return S_OK;
    case VT_UI4: case VT_UINT: out = *static_cast<const ULONG*>(p); return S_OK;
    case VT_I8: out = *static_cast<const LONGLONG*>(p); return S_OK;
    case VT_UI8: out = *static_cast<const ULONGLONG*>(p); return S_OK;
    case VT_R4: out = *static_cast<const FLOAT*>(p); return S_OK;
    case VT_R8: case VT_DATE: out = *static_cast<const DOUBLE*>(p); return S_OK;
    case VT_BOOL: out = *static_cast<const VARIANT_BOOL*>(p) ? -1 : 0; return S_OK;
    case VT_BSTR: {
      BSTR b = ref ? *static_cast<const BSTR*>(p) : v.bstrVal;
      std::u16string_view text(b ? b : u"", b ? SysStringLen(b) : 0);
      std::string lower = to_u8(text);
      for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      while (!lower.empty() && lower.back() == ' ') lower.pop_back();
      while (!lower.empty() && lower.front() == ' ') lower.erase(0, 1);
      if (lower == "true") { out = -1; return S_OK; }
      if (lower == "false") { out = 0; return S_OK; }
      return parse_number(text, out);
    }
    default: return DISP_E_TYPEMISMATCH;
  }
}

std::string double_text(double d, int digits) {
  char buf[64];
  snprintf(buf, sizeof buf, "%.*G", digits, d);
  std::string s = buf;
  // Windows writes "1E+20", not "1E+020"; C gives at least two exponent digits.
  size_t e = s.find('E');
  if (e != std::string::npos) {
    size_t k = e + 2;
    while (k + 1 < s.size() && s[k] == '0') s.erase(k, 1);
  }
  return s;
}

HRESULT date_text(double date, std::string& out) {
  SYSTEMTIME st;
  if (!VariantTimeToSystemTime(date, &st)) return DISP_E_OVERFLOW;
  char d[128] = "", t[128] = "";
  double whole = std::trunc(date);
  bool has_time = st.wHour || st.wMinute || st.wSecond;
  if (whole != 0 || !has_time) GetDateFormatA(LOCALE_USER_DEFAULT, 0, &st, nullptr, d, sizeof d);
  if (has_time) GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &st, nullptr, t, sizeof t);
  out = std::string(d) + (*d && *t ? " " : "") + t;
  return S_OK;
}

HRESULT change_type(VARIANT& result, const VARIANT& src, USHORT flags, VARTYPE vt) {
  VARTYPE from = src.vt & ~VT_BYREF;
  VariantInit(&result);
  if (vt == VT_EMPTY) return S_OK;
  if (from == VT_NULL || vt == VT_NULL) {
    if (from != vt) return DISP_E_TYPEMISMATCH;
    result.vt = VT_NULL;
    return S_OK;
  }
  if (vt == VT_UNKNOWN || vt == VT_DISPATCH || from == VT_UNKNOWN || from == VT_DISPATCH) {
    if ((vt != VT_UNKNOWN && vt != VT_DISPATCH) || (from != VT_UNKNOWN && from != VT_DISPATCH))
      return DISP_E_TYPEMISMATCH;
    IUnknown* unk = (src.vt & VT_BYREF) ? *static_cast<IUnknown**>(src.byref) : src.punkVal;
    if (!unk) {
      result.vt = vt;
      result.punkVal = nullptr;
      return S_OK;
    }
    HRESULT hr = unk->QueryInterface(vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, reinterpret_cast<void**>(&result.punkVal));
    if (FAILED(hr)) return DISP_E_TYPEMISMATCH;
    result.vt = vt;
    return S_OK;
  }
  if (from == VT_ERROR || vt == VT_ERROR) {
    if (from != vt) return DISP_E_TYPEMISMATCH;
    result.vt = VT_ERROR;
    result.scode = (src.vt & VT_BYREF) ? *static_cast<SCODE*>(src.byref) : src.scode;
    return S_OK;
  }
  if (vt == VT_BSTR) {
    std::string text;
    long double n = 0;
    if (from == VT_BSTR) {
      BSTR b = (src.vt & VT_BYREF) ? *static_cast<BSTR*>(src.byref) : src.bstrVal;
      result.bstrVal = SysAllocStringLen(b, SysStringLen(b));
      if (!result.bstrVal) return E_OUTOFMEMORY;
      result.vt = VT_BSTR;
      return S_OK;
    }
    HRESULT hr = number_of(src, n);
    if (FAILED(hr)) return hr;
    if (from == VT_EMPTY) text = "";
    else if (from == VT_BOOL) text = (flags & VARIANT_ALPHABOOL) ? (n ? "True" : "False") : (n ? "-1" : "0");
    else if (from == VT_R4) text = double_text(static_cast<double>(n), 7);
    else if (from == VT_R8) text = double_text(static_cast<double>(n), 15);
    else if (from == VT_DATE) {
      if (FAILED(hr = date_text(static_cast<double>(n), text))) return hr;
    } else {
      char buf[32];
      if (n < 0) snprintf(buf, sizeof buf, "%lld", static_cast<long long>(n));
      else snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(n));
      text = buf;
    }
    std::u16string w = to_u16(text);
    result.bstrVal = SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
    if (!result.bstrVal) return E_OUTOFMEMORY;
    result.vt = VT_BSTR;
    return S_OK;
  }
  long double n;
  HRESULT hr = number_of(src, n);
  if (FAILED(hr)) return hr;
  switch (vt) {
    case VT_I1: { signed char v = 0; hr = to_integer(n, v); result.cVal = static_cast<CHAR>(v); break; }
    case VT_UI1: hr = to_integer(n, result.bVal); break;
    case VT_I2: hr = to_integer(n, result.iVal); break;
    case VT_UI2: hr = to_integer(n, result.uiVal); break;
    case VT_I4: hr = to_integer(n, result.lVal); break;
    case VT_INT: hr = to_integer(n, result.intVal); break;
    case VT_UI4: hr = to_integer(n, result.ulVal); break;
    case VT_UINT: hr = to_integer(n, result.uintVal); break;
    case VT_I8: hr = to_integer(n, result.llVal); break;
    case VT_UI8: hr = to_integer(n, result.ullVal); break;
    case VT_R4:
      if (std::fabs(n) > 3.402823466e38L) return DISP_E_OVERFLOW;
      result.fltVal = static_cast<FLOAT>(n);
      break;
    case VT_R8: result.dblVal = static_cast<DOUBLE>(n); break;
    case VT_DATE:
      if (n < kMinDate || n >= 2958466.0L) return DISP_E_OVERFLOW;
      result.date = static_cast<DATE>(n);
      break;
    case VT_BOOL: result.boolVal = n != 0 ? VARIANT_TRUE : VARIANT_FALSE; break;
    default: return DISP_E_BADVARTYPE;
  }
  if (FAILED(hr)) return hr;
  result.vt = vt;
  return S_OK;
}

}  // namespace

HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt) {
  if (!pvargDest || !pvarSrc) return E_INVALIDARG;
  if (!pim::detail::valid_vartype(pvarSrc->vt) || (vt & (VT_BYREF | VT_ARRAY)) ||
      !pim::detail::valid_vartype(vt) || vt == VT_VARIANT || vt == VT_CY || vt == VT_DECIMAL)
    return DISP_E_BADVARTYPE;
  if ((pvarSrc->vt & ~VT_BYREF) == VT_CY || (pvarSrc->vt & ~VT_BYREF) == VT_DECIMAL ||
      (pvarSrc->vt & ~VT_BYREF) == VT_VARIANT)
    return DISP_E_TYPEMISMATCH;
  return pim::detail::guard([&]() -> HRESULT {
    if (pvarSrc->vt == vt) {
      if (pvargDest == pvarSrc) return S_OK;
      return VariantCopy(pvargDest, pvarSrc);
    }
    VARIANT result;
    HRESULT hr = change_type(result, *pvarSrc, wFlags, vt);
    if (FAILED(hr)) {
      VariantClear(&result);
      return hr;
    }
    // The source may be the destination: convert first, then replace.
    hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
      VariantClear(&result);
      return hr;
    }
    *pvargDest = result;
    return S_OK;
  });
}

HRESULT VarUI4FromStr(LPCOLESTR strIn, LCID lcid, ULONG dwFlags, ULONG* pulOut) {
  (void)lcid;
  (void)dwFlags;
  if (!strIn || !pulOut) return E_INVALIDARG;
  long double v;
  HRESULT hr = parse_number(pim::detail::u16_view(strIn), v);
  if (FAILED(hr)) return hr;
  ULONG out;
  hr = to_integer(v, out);
  if (FAILED(hr)) return hr;
  *pulOut = out;
  return S_OK;
}

INT SystemTimeToVariantTime(const SYSTEMTIME* st, DATE* pvtime) {
  if (!st || !pvtime) return FALSE;
  if (st->wYear < 100 || st->wYear > 9999 || st->wMonth < 1 || st->wMonth > 12 || st->wDay < 1 ||
      st->wHour > 23 || st->wMinute > 59 || st->wSecond > 59)
    return FALSE;
  static const int dim[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int max_day = st->wMonth == 2 && leap(st->wYear) ? 29 : dim[st->wMonth - 1];
  if (st->wDay > max_day) return FALSE;
  long days = days_from_civil(st->wYear, st->wMonth, st->wDay);
  double frac = (st->wHour * 3600.0 + st->wMinute * 60.0 + st->wSecond) / 86400.0;
  // Before 1899-12-30 the day count is negative and the time of day still counts forward.
  *pvtime = days < 0 ? static_cast<double>(days) - frac : static_cast<double>(days) + frac;
  return TRUE;
}

INT VariantTimeToSystemTime(DATE vtime, LPSYSTEMTIME st) {
  if (!st || std::isnan(vtime) || vtime < kMinDate || vtime > kMaxDate) return FALSE;
  double whole = std::trunc(vtime);
  long days = static_cast<long>(whole);
  long secs = std::lround(std::fabs(vtime - whole) * 86400.0);
  if (secs >= 86400) {
    secs -= 86400;
    days += 1;  // 24:00 is the next calendar day, on either side of day 0
  }
  if (days > 2958465) return FALSE;
  int y;
  unsigned m, d;
  civil_from_days(days, y, m, d);
  st->wYear = static_cast<WORD>(y);
  st->wMonth = static_cast<WORD>(m);
  st->wDay = static_cast<WORD>(d);
  long dow = (days + 6) % 7;  // day 0 (1899-12-30) was a Saturday
  st->wDayOfWeek = static_cast<WORD>(dow < 0 ? dow + 7 : dow);
  st->wHour = static_cast<WORD>(secs / 3600);
  st->wMinute = static_cast<WORD>(secs / 60 % 60);
  st->wSecond = static_cast<WORD>(secs % 60);
  st->wMilliseconds = 0;
  return TRUE;
}
