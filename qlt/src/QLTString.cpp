// Message text: UTF-8 inside, 16-bit text converted without loss.
#include <QLT.h>

#include <charconv>
#include <cstdio>
#include <cstring>

namespace {

const char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Unpaired surrogates become U+FFFD; everything else is kept.
std::string FromUtf16(const unsigned short* s) {
  std::string out;
  if (s == nullptr) return out;
  for (size_t i = 0; s[i] != 0; ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      char32_t lo = s[i + 1];
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
        ++i;
      } else {
        c = kReplacement;
      }
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      c = kReplacement;
    }
    AppendUtf8(out, c);
  }
  return out;
}

// Each byte that does not start a well-formed sequence becomes one U+FFFD.
std::u16string ToUtf16(const std::string& s) {
  std::u16string out;
  out.reserve(s.size());
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t n = s.size();
  size_t i = 0;
  while (i < n) {
    unsigned char b = p[i];
    char32_t c = kReplacement;
    size_t len = 1;
    if (b < 0x80) {
      c = b;
    } else {
      size_t need = 0;
      char32_t min = 0;
      if (b >= 0xC2 && b <= 0xDF) { need = 1; c = b & 0x1F; min = 0x80; }
      else if (b >= 0xE0 && b <= 0xEF) { need = 2; c = b & 0x0F; min = 0x800; }
      else if (b >= 0xF0 && b <= 0xF4) { need = 3; c = b & 0x07; min = 0x10000; }
      bool ok = need != 0;
      for (size_t k = 1; ok && k <= need; ++k) {
        if (i + k >= n || (p[i + k] & 0xC0) != 0x80) ok = false;
        else c = (c << 6) | (p[i + k] & 0x3F);
      }
      if (ok && (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) ok = false;
      if (ok) len = need + 1;
      else c = kReplacement;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    i += len;
  }
  return out;
}

template <class N>
void AppendNumber(std::string& text, N value) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  text.append(buf, r.ptr);
}

}  // namespace

QLT_CString::QLT_CString() = default;
QLT_CString::QLT_CString(const char* text) : m_text(text ? text : "") {}
QLT_CString::QLT_CString(const unsigned short* text) : m_text(FromUtf16(text)) {}
QLT_CString::QLT_CString(int value) { AppendNumber(m_text, value); }
QLT_CString::QLT_CString(const QLT_CString& other) : m_text(other.m_text) {}
QLT_CString& QLT_CString::operator=(const QLT_CString& other) {
  if (this != &other) {
    m_text = other.m_text;
    m_wide.clear();
  }
  return *this;
}
QLT_CString::~QLT_CString() = default;

QLT_CString QLT_CString::operator+(const char* text) const {
  QLT_CString r(*this);
  if (text) r.m_text += text;
  return r;
}
QLT_CString QLT_CString::operator+(const QLT_CString& text) const {
  QLT_CString r(*this);
  r.m_text += text.m_text;
  return r;
}
QLT_CString QLT_CString::operator+(int value) const {
  QLT_CString r(*this);
  AppendNumber(r.m_text, value);
  return r;
}
QLT_CString QLT_CString::operator+(unsigned int value) const {
  QLT_CString r(*this);
  AppendNumber(r.m_text, value);
  return r;
}
QLT_CString QLT_CString::operator+(long value) const {
  QLT_CString r(*this);
  AppendNumber(r.m_text, value);
  return r;
}
QLT_CString QLT_CString::operator+(unsigned long value) const {
  QLT_CString r(*this);
  AppendNumber(r.m_text, value);
  return r;
}
// Shortest text that reads back as the same double.
QLT_CString QLT_CString::operator+(double value) const {
  QLT_CString r(*this);
  AppendNumber(r.m_text, value);
  return r;
}

const unsigned short* QLT_CString::wc_str() const {
  m_wide = ToUtf16(m_text);
  return reinterpret_cast<const unsigned short*>(m_wide.c_str());
}

const char* QLT_CString::c_str() const { return m_text.c_str(); }
