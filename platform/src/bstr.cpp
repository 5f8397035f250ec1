// BSTR: [8-byte header whose last 4 bytes hold the byte length][characters][2 NUL bytes].
#include <pim/fault.h>

#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace {

constexpr size_t kHeader = 8;  // keeps the string pointer aligned to a pointer's size
constexpr UINT kMaxChars = 0x7FFFFFFF;
constexpr UINT kMaxBytes = 0xFFFFFFF6;

// Allocates room for `bytes` bytes plus a 16-bit terminator; copies `src` when given.
BSTR alloc_bytes(const void* src, UINT bytes) {
  HRESULT hr;
  if (PIM_FAULT("allocation", &hr)) return nullptr;
  if (bytes > kMaxBytes) return nullptr;
  // One more byte than strictly needed so an odd byte count still ends on a whole 16-bit NUL.
  size_t total = kHeader + static_cast<size_t>(bytes) + sizeof(OLECHAR) + 1;
  auto* block = static_cast<unsigned char*>(std::malloc(total));
  if (!block) return nullptr;
  std::memset(block, 0, kHeader);
  uint32_t len = bytes;
  std::memcpy(block + kHeader - sizeof(uint32_t), &len, sizeof len);
  unsigned char* data = block + kHeader;
  if (src)
    std::memcpy(data, src, bytes);
  else
    std::memset(data, 0, bytes);
  std::memset(data + bytes, 0, sizeof(OLECHAR) + 1);
  return reinterpret_cast<BSTR>(data);
}

uint32_t byte_len(BSTR b) {
  uint32_t len;
  std::memcpy(&len, reinterpret_cast<unsigned char*>(b) - sizeof(uint32_t), sizeof len);
  return len;
}

}  // namespace

BSTR SysAllocString(const OLECHAR* psz) {
  if (!psz) return nullptr;
  size_t n = std::char_traits<char16_t>::length(psz);
  if (n > kMaxChars) return nullptr;
  return alloc_bytes(psz, static_cast<UINT>(n * sizeof(OLECHAR)));
}

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  if (ui > kMaxChars) return nullptr;
  return alloc_bytes(strIn, ui * static_cast<UINT>(sizeof(OLECHAR)));
}

BSTR SysAllocStringByteLen(LPCSTR psz, UINT len) { return alloc_bytes(psz, len); }

INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
  if (!pbstr) return FALSE;
  size_t n = psz ? std::char_traits<char16_t>::length(psz) : 0;
  if (n > kMaxChars) return FALSE;
  return SysReAllocStringLen(pbstr, psz, static_cast<UINT>(n));
}

// The new string is built before the old one is freed: psz may point into *pbstr.
INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) {
  if (!pbstr) return FALSE;
  BSTR fresh = SysAllocStringLen(psz, len);
  if (!fresh) return FALSE;
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return TRUE;
}

void SysFreeString(BSTR bstrString) {
  if (!bstrString) return;
  std::free(reinterpret_cast<unsigned char*>(bstrString) - kHeader);
}

UINT SysStringLen(BSTR pbstr) { return pbstr ? byte_len(pbstr) / sizeof(OLECHAR) : 0; }
UINT SysStringByteLen(BSTR bstr) { return bstr ? byte_len(bstr) : 0; }
