#include "Text.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pimctl {
namespace {

bool isHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Bytes from s[0], up to the first NUL or `units`: what the rest of a text takes as UTF-8.
// *used gets the units read.
std::size_t measure(const char16_t* s, std::size_t units, std::size_t* used) {
  std::size_t n = 0, bytes = 0;
  for (; n < units && s[n] != 0; ++n) {
    const char16_t c = s[n];
    if (c < 0x80) {
      ++bytes;
    } else if (c < 0x800) {
      bytes += 2;
    } else if (isHigh(c) && n + 1 < units && isLow(s[n + 1])) {
      bytes += 4;
      ++n;
    } else {
      bytes += 3;  // the rest of the BMP, and U+FFFD for an unpaired surrogate
    }
  }
  *used = n;
  return bytes;
}

void write(const char16_t* s, std::size_t n, char* d) {
  for (std::size_t i = 0; i < n; ++i) {
    char32_t c = s[i];
    if (c < 0x80) {
      *d++ = static_cast<char>(c);
      continue;
    }
    if (isHigh(s[i]) && i + 1 < n && isLow(s[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x800) {
      *d++ = static_cast<char>(0xC0 | (c >> 6));
    } else if (c < 0x10000) {
      *d++ = static_cast<char>(0xE0 | (c >> 12));
      *d++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    } else {
      *d++ = static_cast<char>(0xF0 | (c >> 18));
      *d++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      *d++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    }
    *d++ = static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

namespace {

// Copies the ASCII units from s[0] to d, up to the first NUL, non-ASCII unit or `units`; returns
// how many. Nearly every text is ASCII: one byte a unit, copied as it is checked, in one pass.
std::size_t copyAscii(const char16_t* s, std::size_t units, char* d) {
  std::size_t i = 0;
#if defined(__SSE2__)
  // Eight units at a time: none NUL, none past ASCII, then narrowed together.
  const __m128i zero = _mm_setzero_si128(), high = _mm_set1_epi16(static_cast<short>(0xFF80));
  // Sixteen units at a time first: an entry id's 48 units in three steps.
  for (; i + 16 <= units; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 8));
    // NUL or past ASCII: unsigned x - 1 >= 0x7F, found as a signed comparison after a shift by -0x8000
    const __m128i bias = _mm_set1_epi16(static_cast<short>(0x8000)), top = _mm_set1_epi16(static_cast<short>(0x8000 + 0x7E));
    const __m128i one = _mm_set1_epi16(1);
    const __m128i bad = _mm_or_si128(_mm_cmpgt_epi16(_mm_xor_si128(_mm_sub_epi16(v, one), bias), top),
                                     _mm_cmpgt_epi16(_mm_xor_si128(_mm_sub_epi16(w, one), bias), top));
    if (_mm_movemask_epi8(bad) != 0) break;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), _mm_packus_epi16(v, w));
  }
  for (; i + 8 <= units; i += 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    const __m128i bad = _mm_or_si128(_mm_cmpeq_epi16(v, zero), _mm_xor_si128(_mm_cmpeq_epi16(_mm_and_si128(v, high), zero),
                                                                               _mm_cmpeq_epi16(zero, zero)));
    if (_mm_movemask_epi8(bad) != 0) break;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d + i), _mm_packus_epi16(v, v));
  }
#endif
  // Four units at a time: all ASCII, and none NUL (x - 1 wraps past 0xFFFF for NUL alone).
  for (; i + 4 <= units; i += 4) {
    const unsigned a = s[i], b = s[i + 1], c = s[i + 2], e = s[i + 3];
    if ((a | b | c | e) >= 0x80 || ((a - 1) | (b - 1) | (c - 1) | (e - 1)) > 0xFFFF) break;
    d[i] = static_cast<char>(a);
    d[i + 1] = static_cast<char>(b);
    d[i + 2] = static_cast<char>(c);
    d[i + 3] = static_cast<char>(e);
  }
  for (; i < units && static_cast<unsigned>(s[i]) - 1 < 0x7F; ++i) d[i] = static_cast<char>(s[i]);
  return i;
}

}  // namespace

std::string utf8Of(const char16_t* s, std::size_t units) {
  std::string out;
  if (s == nullptr || units == 0) return out;
  out.resize(units);
  const std::size_t i = copyAscii(s, units, out.data());
  if (i == units || s[i] == 0) {
    out.resize(i);
    return out;
  }
  std::size_t rest = 0;
  const std::size_t bytes = measure(s + i, units - i, &rest);
  out.resize(i + bytes);
  write(s + i, rest, out.data() + i);
  return out;
}

std::size_t utf8Into(const char16_t* s, std::size_t units, char* d) {
  if (s == nullptr || units == 0) return 0;
  const std::size_t i = copyAscii(s, units, d);
  if (i == units || s[i] == 0) return i;
  std::size_t rest = 0;
  const std::size_t bytes = measure(s + i, units - i, &rest);
  write(s + i, rest, d + i);
  return i + bytes;
}

void Texts::reserve(std::size_t n) {
  if (n <= left_) return;
  constexpr std::size_t kBlock = 16384;
  const std::size_t size = n > kBlock ? n : kBlock;
  blocks_.push_back(std::unique_ptr<char[]>(new char[size]));
  at_ = blocks_.back().get();
  left_ = size;
}

std::string_view Texts::keep(std::string_view s) {
  if (s.empty()) return {};
  reserve(s.size());
  char* const p = at_;
  std::memcpy(p, s.data(), s.size());
  at_ += s.size();
  left_ -= s.size();
  return {p, s.size()};
}

std::string_view Texts::utf8(const char16_t* s, std::size_t units) {
  if (s == nullptr || units == 0) return {};
  reserve(3 * units);
  char* const p = at_;
  const std::size_t n = utf8Into(s, units, p);
  at_ += n;
  left_ -= n;
  return {p, n};
}

}  // namespace pimctl
