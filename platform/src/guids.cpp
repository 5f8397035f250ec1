// Identifiers of the core interfaces and the GUID text form.
#include <cstring>

#include "internal.h"

namespace {
constexpr GUID ole_guid(uint32_t d1) { return GUID{d1, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}}; }
}  // namespace

const IID IID_IUnknown = ole_guid(0x00000000);
const IID IID_IClassFactory = ole_guid(0x00000001);
const IID IID_IMarshal = ole_guid(0x00000003);
const IID IID_IStream = ole_guid(0x0000000C);
const IID IID_ISequentialStream = GUID{0x0C733A30, 0x2A1C, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
const IID IID_IDispatch = ole_guid(0x00020400);
const IID IID_ITypeLib = ole_guid(0x00020402);
const IID IID_ITypeInfo = ole_guid(0x00020401);
const IID IID_NULL = GUID{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
const CLSID CLSID_StdMarshal = ole_guid(0x00000017);
const CLSID CLSID_InProcFreeMarshaler = ole_guid(0x0000033A);

namespace pim::detail {

// Parses exactly "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (either case).
bool parse_guid(std::u16string_view s, GUID& out) {
  if (s.size() != 38 || s[0] != u'{' || s[37] != u'}') return false;
  auto hex = [](char16_t c) -> int {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
  };
  auto read = [&](size_t pos, size_t digits, uint64_t& v) {
    v = 0;
    for (size_t i = 0; i < digits; ++i) {
      int h = hex(s[pos + i]);
      if (h < 0) return false;
      v = (v << 4) | static_cast<uint64_t>(h);
    }
    return true;
  };
  if (s[9] != u'-' || s[14] != u'-' || s[19] != u'-' || s[24] != u'-') return false;
  uint64_t v;
  GUID g{};
  if (!read(1, 8, v)) return false;
  g.Data1 = static_cast<uint32_t>(v);
  if (!read(10, 4, v)) return false;
  g.Data2 = static_cast<uint16_t>(v);
  if (!read(15, 4, v)) return false;
  g.Data3 = static_cast<uint16_t>(v);
  const size_t pos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!read(pos[i], 2, v)) return false;
    g.Data4[i] = static_cast<uint8_t>(v);
  }
  out = g;
  return true;
}

std::string guid_to_string(const GUID& g) {
  // Written by hand: every activation names its class this way, and snprintf costs ten times as much.
  static const char digits[] = "0123456789ABCDEF";
  std::string s(38, '-');
  auto put = [&](size_t pos, uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i, v >>= 4) s[pos + static_cast<size_t>(i)] = digits[v & 15];
  };
  s[0] = '{';
  put(1, g.Data1, 8);
  put(10, g.Data2, 4);
  put(15, g.Data3, 4);
  const size_t pos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) put(pos[i], g.Data4[i], 2);
  s[37] = '}';
  return s;
}

}  // namespace pim::detail

using namespace pim::detail;

int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  if (!lpsz || cchMax < 39) return 0;
  std::string s = guid_to_string(rguid);
  for (size_t i = 0; i <= s.size(); ++i) lpsz[i] = static_cast<OLECHAR>(s.c_str()[i]);
  return 39;
}

HRESULT IIDFromString(LPCOLESTR lpsz, LPIID lpiid) {
  if (!lpiid) return E_INVALIDARG;
  if (!lpsz) {
    *lpiid = IID_NULL;
    return S_OK;
  }
  GUID g;
  if (!parse_guid(u16_view(lpsz), g)) return E_INVALIDARG;
  *lpiid = g;
  return S_OK;
}

// A string that is not in braces is taken for a ProgID, as Windows does.
HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  if (!pclsid) return E_INVALIDARG;
  if (!lpsz || !*lpsz) {
    *pclsid = IID_NULL;
    return S_OK;
  }
  GUID g;
  if (parse_guid(u16_view(lpsz), g)) {
    *pclsid = g;
    return S_OK;
  }
  *pclsid = IID_NULL;
  if (lpsz[0] == u'{') return CO_E_CLASSSTRING;
  HRESULT hr = CLSIDFromProgID(lpsz, pclsid);
  return SUCCEEDED(hr) ? hr : CO_E_CLASSSTRING;
}
