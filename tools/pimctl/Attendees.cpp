#include "Attendees.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pimctl {
namespace {

// iCalendar names are ASCII: the C library's toupper was a call per byte.
char upperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c; }

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (upperAscii(s[i]) != prefix[i]) return false;
  return true;
}

bool equalsNoCase(std::string_view a, std::string_view b) { return a.size() == b.size() && startsWithNoCase(a, b); }

// An upper-case name of up to eight bytes, as masks over the first eight bytes of a line: a
// line's head is then compared in one step, whatever its case.
struct Head {
  std::string_view name;
  uint64_t value = 0, care = 0, fold = 0;
  constexpr explicit Head(std::string_view upper) : name(upper) {
    for (size_t i = 0; i < upper.size() && i < 8; ++i) {
      value |= uint64_t{static_cast<unsigned char>(upper[i])} << (8 * i);
      care |= uint64_t{0xFF} << (8 * i);
      if (upper[i] >= 'A' && upper[i] <= 'Z') fold |= uint64_t{0x20} << (8 * i);
    }
  }
};

// startsWithNoCase(s, h.name). Clearing bit 5 of a byte makes it an upper-case letter only when it
// was that letter in either case; other bytes are compared as they are.
bool startsWithNoCase(std::string_view s, const Head& h) {
  if constexpr (std::endian::native == std::endian::little) {
    if (s.size() >= 8 && h.name.size() <= 8) {
      uint64_t v;
      std::memcpy(&v, s.data(), 8);
      return (v & ~h.fold & h.care) == h.value;
    }
  }
  return startsWithNoCase(s, h.name);
}

constexpr Head kBegin("BEGIN:"), kEnd("END:"), kAttendee("ATTENDEE");

// The first of `a` or `b` at or after `from`, or npos. Parameters are short: sixteen bytes looked at
// together cost less than string_view::find_first_of, which calls memchr for every byte.
size_t findEither(std::string_view s, size_t from, char a, char b) {
  const char* p = s.data();
  const size_t n = s.size();
  size_t i = from;
#if defined(__SSE2__)
  const __m128i va = _mm_set1_epi8(a), vb = _mm_set1_epi8(b);
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, va), _mm_cmpeq_epi8(v, vb))));
    if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(mask));
  }
#endif
  for (; i < n; ++i)
    if (p[i] == a || p[i] == b) return i;
  return std::string_view::npos;
}

size_t findByte(std::string_view s, size_t from, char c) { return findEither(s, from, c, c); }

// One ATTENDEE line (unfolded): its CN, its ROLE and its value.
Attendee attendeeOf(std::string_view line, Texts& texts) {
  // The texts are kept once, at the end.
  std::string_view cn, address;
  EAttendeeType type = EAttendeeType_REQUIRED;
  auto made = [&] { return Attendee{texts.keep(cn), texts.keep(address), type}; };
  size_t i = findEither(line, 0, ';', ':');
  while (i != std::string_view::npos && i < line.size() && line[i] == ';') {
    size_t eq = findByte(line, i + 1, '=');
    if (eq == std::string_view::npos) return made();
    std::string_view name = line.substr(i + 1, eq - i - 1);
    std::string_view value;
    size_t j = eq + 1;
    if (j < line.size() && line[j] == '"') {
      size_t close = findByte(line, j + 1, '"');
      if (close == std::string_view::npos) return made();
      value = line.substr(j + 1, close - j - 1);
      j = close + 1;
    } else {
      size_t stop = findEither(line, j, ';', ':');
      if (stop == std::string_view::npos) stop = line.size();
      value = line.substr(j, stop - j);
      j = stop;
    }
    if (equalsNoCase(name, "CN")) {
      cn = value;
    } else if (equalsNoCase(name, "ROLE")) {
      if (equalsNoCase(value, "CHAIR")) type = EAttendeeType_ORGANIZER;
      else if (equalsNoCase(value, "OPT-PARTICIPANT")) type = EAttendeeType_OPTIONAL;
      else if (equalsNoCase(value, "NON-PARTICIPANT")) type = EAttendeeType_RESOURCE;
    }
    i = j < line.size() ? j : std::string_view::npos;
    if (i != std::string_view::npos && line[i] != ';' && line[i] != ':') i = findEither(line, i, ';', ':');
  }
  if (i == std::string_view::npos || i >= line.size()) return made();
  std::string_view addr = line.substr(i + 1);
  if (addr.substr(0, 7) == "mailto:" || addr.substr(0, 7) == "MAILTO:") addr.remove_prefix(7);
  address = addr;
  return made();
}

// Whether a logical line starting with this byte can matter: BEGIN, END, ATTENDEE, or an empty
// first piece whose continuation brings the name.
bool mayMatter(char c) {
  switch (c) {
    case 'A': case 'a': case 'B': case 'b': case 'E': case 'e': case '\r': case '\n': return true;
    default: return false;
  }
}

// Whether the line after the line feed at `at` could start an ATTENDEE line: it starts with 'A' or
// 'a', or it is empty and a continuation may bring the name.
[[gnu::always_inline]] inline bool lineMayName(const char* text, size_t at, size_t size) {
  if (at + 1 >= size) return false;
  const char c = text[at + 1];
  return c == 'A' || c == 'a' || c == '\n' || (c == '\r' && at + 2 < size && text[at + 2] == '\n');
}

// Most appointments have no attendees: a text where no line but the first could name one (the
// first lies outside any event) is passed over with one look at its line feeds.
bool mayHoldAttendee(std::string_view ical) {
  const char* text = ical.data();
  const size_t size = ical.size();
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i feed = _mm_set1_epi8('\n');
  // A line feed is looked at only when the byte after it, its bit 5 set, is 'a' ('A' or 'a'),
  // '-' ('\r' among others) or '*' ('\n' among others).
  const __m128i bit5 = _mm_set1_epi8(0x20), a = _mm_set1_epi8('a'), cr = _mm_set1_epi8('-'), lf = _mm_set1_epi8('*');
  auto sixteen = [&](size_t at) {  // the line feeds at at..at+15 (at + 17 <= size)
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
    const __m128i next = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at + 1)), bit5);
    const __m128i named = _mm_or_si128(_mm_cmpeq_epi8(next, a), _mm_or_si128(_mm_cmpeq_epi8(next, cr), _mm_cmpeq_epi8(next, lf)));
    for (unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(bytes, feed), named)));
         mask != 0; mask &= mask - 1)
      if (lineMayName(text, at + static_cast<size_t>(__builtin_ctz(mask)), size)) return true;
    return false;
  };
  for (; i + 17 <= size; i += 16)
    if (sixteen(i)) return true;
  // The last bytes once more, overlapping what was looked at: a line feed at the very end names nothing.
  if (i + 1 < size && size >= 17) return sixteen(size - 17);
#endif
  for (; i < size; ++i)
    if (text[i] == '\n' && lineMayName(text, i, size)) return true;
  return false;
}

// The first line feed at or after `from`, or `size`: lines are short, and a call to memchr for each
// cost more than looking at sixteen bytes in place.
[[gnu::always_inline]] inline size_t feedFrom(const char* text, size_t from, size_t size) {
  size_t i = from;
#if defined(__SSE2__)
  const __m128i feed = _mm_set1_epi8('\n');
  for (; i + 16 <= size; i += 16) {
    const unsigned mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i)), feed)));
    if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(mask));
  }
#endif
  for (; i < size; ++i)
    if (text[i] == '\n') return i;
  return size;
}

}  // namespace

// Read line by line: a full parse per listed appointment cost more than the rest of the agenda.
// A line that cannot matter is stepped over without unfolding it; its continuations, which start
// with a space or a tab, are stepped over the same way.
std::vector<Attendee> attendeesOf(std::string_view ical, Texts& texts) {
  std::vector<Attendee> out;
  if (!mayHoldAttendee(ical)) return out;
  int depth = 0;  // 1: inside the first VEVENT, deeper: inside one of its components
  thread_local std::string line;  // an unfolded line, its room kept from text to text
  const size_t size = ical.size();
  const char* text = ical.data();
  size_t pos = 0;
  while (pos < size) {
    if (!mayMatter(text[pos])) {
      pos = feedFrom(text, pos, size) + 1;
      continue;
    }
    // One logical line: a line break followed by a space or a tab continues it. An unfolded
    // line, nearly every one, is looked at where it lies.
    std::string_view l;
    bool folded = false;
    line.clear();
    while (pos < size) {
      const size_t stop = feedFrom(text, pos, size);
      size_t len = stop - pos;
      if (len > 0 && text[pos + len - 1] == '\r') --len;
      std::string_view piece(text + pos, len);
      pos = stop + 1;
      bool more = pos < size && (text[pos] == ' ' || text[pos] == '\t');
      if (!folded && !more) {
        l = piece;
        break;
      }
      folded = true;
      line.append(piece);
      if (!more) break;
      ++pos;
    }
    if (folded) l = line;
    const char first = l.empty() ? '\0' : static_cast<char>(l[0] | 0x20);  // 'b': 'B' or 'b', and so on
    if (first == 'b' && startsWithNoCase(l, kBegin)) {
      if (depth > 0) ++depth;
      else if (equalsNoCase(l.substr(6), "VEVENT")) depth = 1;
    } else if (first == 'e' && startsWithNoCase(l, kEnd)) {
      if (depth == 1) break;
      if (depth > 1) --depth;
    } else if (first == 'a' && depth == 1 && startsWithNoCase(l, kAttendee) && l.size() > 8 && (l[8] == ';' || l[8] == ':')) {
      if (out.empty()) out.reserve(4);  // grown a step at a time, a short list moved three times
      out.push_back(attendeeOf(l, texts));
    }
  }
  return out;
}

}  // namespace pimctl
