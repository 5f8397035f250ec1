// UTF-8 / UTF-16 conversions: MultiByteToWideChar, WideCharToMultiByte and the internal helpers.
#include <cstring>

#include "internal.h"

namespace pim::detail {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at s[i]; returns false (and advances by one byte) on an invalid one.
bool decode_utf8(std::string_view s, size_t& i, char32_t& cp) {
  auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    cp = b0;
    ++i;
    return true;
  }
  int len;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, min = 0x80, cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, min = 0x800, cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, min = 0x10000, cp = b0 & 0x07;
  } else {
    ++i;
    return false;
  }
  if (i + len > s.size()) {
    ++i;
    return false;
  }
  for (int k = 1; k < len; ++k) {
    auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return false;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return false;
  }
  i += len;
  return true;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

bool utf8_to_utf16(std::string_view in, std::u16string& out, bool strict) {
  out.clear();
  out.reserve(in.size());
  size_t i = 0;
  while (i < in.size()) {
    char32_t cp;
    if (!decode_utf8(in, i, cp)) {
      if (strict) return false;
      cp = kReplacement;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return true;
}

bool utf16_to_utf8(std::u16string_view in, std::string& out, bool strict) {
  out.clear();
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    // Runs of ASCII, most text, are copied in bulk rather than a byte at a time.
    size_t run = i;
    while (run < in.size() && in[run] < 0x80) ++run;
    if (run > i) {
      const size_t at = out.size();
      out.resize(at + (run - i));
      char* dst = out.data() + at;
      for (size_t k = i; k < run; ++k) *dst++ = static_cast<char>(in[k]);
      i = run;
      if (i == in.size()) break;
    }
    char32_t c = in[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      if (strict) return false;
      c = kReplacement;
    }
    append_utf8(out, c);
  }
  return true;
}

std::u16string to_u16(std::string_view s) {
  std::u16string r;
  utf8_to_utf16(s, r);
  return r;
}

std::string to_u8(std::u16string_view s) {
  std::string r;
  utf16_to_utf8(s, r);
  return r;
}

std::u16string_view u16_view(const char16_t* s) { return s ? std::u16string_view(s) : std::u16string_view(); }

}  // namespace pim::detail

using namespace pim::detail;

namespace {

constexpr DWORD WC_ERR_INVALID_CHARS_ = 0x80;

bool known_code_page(UINT cp) { return cp == CP_ACP || cp == CP_UTF8 || cp == 1 /*OEM*/ || cp == 3 /*thread ACP*/; }

}  // namespace

// The ANSI code page is UTF-8 here, so both code pages convert the same way.
int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar) {
  if (!known_code_page(CodePage) || !lpMultiByteStr || cbMultiByte == 0 || cchWideChar < 0 ||
      (cchWideChar > 0 && !lpWideCharStr) ||
      (lpWideCharStr && static_cast<const void*>(lpWideCharStr) == static_cast<const void*>(lpMultiByteStr))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (dwFlags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  try {
    size_t len = cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    std::u16string w;
    if (!utf8_to_utf16(std::string_view(lpMultiByteStr, len), w, dwFlags & MB_ERR_INVALID_CHARS)) {
      SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return 0;
    }
    if (w.size() > 0x7FFFFFFF) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    if (cchWideChar == 0) return static_cast<int>(w.size());
    if (w.size() > static_cast<size_t>(cchWideChar)) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    std::memcpy(lpWideCharStr, w.data(), w.size() * sizeof(WCHAR));
    return static_cast<int>(w.size());
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                        int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar) {
  if (!known_code_page(CodePage) || !lpWideCharStr || cchWideChar == 0 || cbMultiByte < 0 ||
      (cbMultiByte > 0 && !lpMultiByteStr) ||
      (lpMultiByteStr && static_cast<const void*>(lpWideCharStr) == static_cast<const void*>(lpMultiByteStr)) ||
      (CodePage == CP_UTF8 && (lpDefaultChar || lpUsedDefaultChar))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (dwFlags & ~WC_ERR_INVALID_CHARS_) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  try {
    size_t len = cchWideChar < 0 ? std::char_traits<char16_t>::length(lpWideCharStr) + 1
                                 : static_cast<size_t>(cchWideChar);
    std::u16string_view in(lpWideCharStr, len);
    std::string s;
    if (!utf16_to_utf8(in, s, dwFlags & WC_ERR_INVALID_CHARS_)) {
      SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return 0;
    }
    if (lpUsedDefaultChar) {
      std::string strict;
      *lpUsedDefaultChar = utf16_to_utf8(in, strict, true) ? FALSE : TRUE;
    }
    if (s.size() > 0x7FFFFFFF) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    if (cbMultiByte == 0) return static_cast<int>(s.size());
    if (s.size() > static_cast<size_t>(cbMultiByte)) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    std::memcpy(lpMultiByteStr, s.data(), s.size());
    return static_cast<int>(s.size());
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}
