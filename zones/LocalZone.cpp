#include "LocalZone.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace pim::zones {
namespace {

constexpr int64_t kFar = INT64_MAX;

long long daysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

long long floorDiv(long long a, long long b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

long long yearOfDay(long long z) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  return static_cast<long long>(yoe) + era * 400 + (mp >= 10);
}

bool isLeap(long long y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }

const unsigned short kMonthStart[2][13] = {{0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
                                           {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366}};

class Bytes {
 public:
  explicit Bytes(const std::string& s) : m_s(s) {}
  bool has(size_t n) const { return m_pos <= m_s.size() && m_s.size() - m_pos >= n; }
  bool skip(size_t n) {
    if (!has(n)) return false;
    m_pos += n;
    return true;
  }
  uint64_t be(int width) {  // callers check has() first
    uint64_t v = 0;
    for (int i = 0; i < width; ++i) v = v << 8 | static_cast<unsigned char>(m_s[m_pos++]);
    return v;
  }
  unsigned char byte() { return static_cast<unsigned char>(m_s[m_pos++]); }
  size_t pos() const { return m_pos; }
  const std::string& all() const { return m_s; }

 private:
  const std::string& m_s;
  size_t m_pos = 0;
};

struct Header {
  char version;
  uint32_t isut, isstd, leap, time, type, chars;
};

bool readHeader(Bytes& b, Header* h) {
  if (!b.has(44) || b.all().compare(b.pos(), 4, "TZif") != 0) return false;
  b.skip(4);
  h->version = static_cast<char>(b.byte());
  b.skip(15);
  h->isut = static_cast<uint32_t>(b.be(4));
  h->isstd = static_cast<uint32_t>(b.be(4));
  h->leap = static_cast<uint32_t>(b.be(4));
  h->time = static_cast<uint32_t>(b.be(4));
  h->type = static_cast<uint32_t>(b.be(4));
  h->chars = static_cast<uint32_t>(b.be(4));
  // Counts beyond any real zone are treated as damage rather than trusted for sizes.
  return h->time < (1u << 20) && h->type < 256 && h->chars < 65536 && h->leap < 65536 && h->isut < 256 &&
         h->isstd < 256;
}

// The footer's pieces as glibc's TZ reader takes them; false for anything it would read otherwise.
class Posix {
 public:
  explicit Posix(const std::string& s) : m_s(s) {}
  bool end() const { return m_i >= m_s.size(); }
  char peek() const { return end() ? '\0' : m_s[m_i]; }
  bool take(char c) {
    if (peek() != c) return false;
    ++m_i;
    return true;
  }
  static bool letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
  static bool digit(char c) { return c >= '0' && c <= '9'; }
  bool name() {
    size_t n = 0;
    while (letter(peek())) ++m_i, ++n;
    if (n >= 3) return true;
    if (n > 0 || !take('<')) return false;
    while (letter(peek()) || digit(peek()) || peek() == '+' || peek() == '-') ++m_i, ++n;
    return take('>') && n >= 3;
  }
  bool number(unsigned* v) {
    if (!digit(peek())) return false;
    unsigned n = 0;
    while (digit(peek())) {
      n = n * 10 + static_cast<unsigned>(m_s[m_i++] - '0');
      if (n > 65535) return false;
    }
    *v = n;
    return true;
  }
  // [+-]hh[:mm[:ss]]
  bool clock(bool* negative, unsigned* h, unsigned* m, unsigned* s) {
    *negative = peek() == '-';
    if (peek() == '+' || peek() == '-') ++m_i;
    *m = *s = 0;
    if (!number(h)) return false;
    if (take(':')) {
      if (!number(m)) return false;
      if (take(':') && !number(s)) return false;
    }
    return true;
  }

 private:
  const std::string& m_s;
  size_t m_i = 0;
};

}  // namespace

Zone Zone::fromFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Zone{};
  std::string bytes;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < (1 << 20);
  if (ok) {
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (ok && got < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
      if (n < 0 && errno == EINTR) continue;
      ok = n > 0;
      if (ok) got += static_cast<size_t>(n);
    }
  }
  ::close(fd);
  return ok ? fromBytes(bytes) : Zone{};
}

Zone Zone::fromBytes(const std::string& bytes) {
  Zone z;
  Bytes b(bytes);
  Header h;
  if (!readHeader(b, &h)) return z;
  int width = 4;
  if (h.version != '\0') {
    // The 64-bit section is what a 64-bit glibc reads.
    size_t v1 = size_t{h.time} * 5 + size_t{h.type} * 6 + h.chars + size_t{h.leap} * 8 + h.isstd + h.isut;
    if (!b.skip(v1) || !readHeader(b, &h)) return z;
    width = 8;
  }
  if (h.leap != 0 || h.type == 0) return z;  // leap seconds shift the wall clock: the C library's
  if ((h.isstd != 0 && h.isstd != h.type) || (h.isut != 0 && h.isut != h.type)) return z;
  const size_t body = size_t{h.time} * (width + 1) + size_t{h.type} * 6 + h.chars + h.isstd + h.isut;
  if (!b.has(body)) return z;
  z.m_at.resize(h.time);
  for (auto& t : z.m_at) {
    uint64_t v = b.be(width);
    t = width == 8 ? static_cast<int64_t>(v) : static_cast<int64_t>(static_cast<int32_t>(v));
  }
  std::vector<unsigned char> idx(h.time);
  for (auto& i : idx) i = b.byte();
  std::vector<long> offsets(h.type);
  std::vector<bool> dst(h.type);
  for (uint32_t i = 0; i < h.type; ++i) {
    offsets[i] = static_cast<int32_t>(static_cast<uint32_t>(b.be(4)));
    unsigned char isdst = b.byte(), abbr = b.byte();
    if (isdst > 1 || abbr >= h.chars) return z;
    dst[i] = isdst != 0;
  }
  b.skip(h.chars + h.isstd + h.isut);
  for (size_t i = 0; i < h.time; ++i) {
    if (idx[i] >= h.type || (i > 0 && z.m_at[i] <= z.m_at[i - 1])) return z;
    z.m_after.push_back(offsets[idx[i]]);
  }
  size_t first = 0;
  while (first < h.type && dst[first]) ++first;
  z.m_before = offsets[first == h.type ? 0 : first];
  z.m_minOffset = *std::min_element(offsets.begin(), offsets.end());
  z.m_maxOffset = *std::max_element(offsets.begin(), offsets.end());
  if (width == 8) {
    const std::string rest = bytes.substr(b.pos());
    if (!rest.empty()) {
      if (rest.size() < 2 || rest.front() != '\n' || rest.back() != '\n') return z;
      const std::string footer = rest.substr(1, rest.size() - 2);
      if (footer.find_first_of(std::string("\n\0", 2)) != std::string::npos) return z;
      // Without transitions glibc never reaches the footer.
      if (!footer.empty() && !z.m_at.empty() && !z.parseFooter(footer)) return z;
    }
  }
  z.m_exact = true;
  return z;
}

bool Zone::parseFooter(const std::string& footer) {
  Posix p(footer);
  bool neg;
  unsigned h, m, s;
  // An offset counts west of Greenwich unless signed '-'; glibc caps its parts.
  auto offset = [&]() { return (neg ? 1L : -1L) * long(std::min(s, 59u) + std::min(m, 59u) * 60 + std::min(h, 24u) * 3600); };
  if (!p.name() || !p.clock(&neg, &h, &m, &s)) return false;
  m_std = offset();
  m_footer = true;
  m_minOffset = std::min(m_minOffset, m_std);
  m_maxOffset = std::max(m_maxOffset, m_std);
  if (p.end()) return true;
  if (!p.name()) return false;
  m_dst = true;
  m_dstOffset = m_std + 3600;
  if (p.peek() != ',') {
    if (!p.clock(&neg, &h, &m, &s)) return false;
    m_dstOffset = offset();
  }
  m_minOffset = std::min(m_minOffset, m_dstOffset);
  m_maxOffset = std::max(m_maxOffset, m_dstOffset);
  for (Rule* r : {&m_start, &m_end}) {
    unsigned a, w, d;
    if (!p.take(',')) return false;  // a DST name without rules takes glibc to other files
    if (p.take('M')) {
      if (!p.number(&a) || !p.take('.') || !p.number(&w) || !p.take('.') || !p.number(&d)) return false;
      if (a < 1 || a > 12 || w < 1 || w > 5 || d > 6) return false;
      *r = Rule{Rule::MonthWeekDay, int(a), int(w), int(d)};
    } else if (p.take('J')) {
      if (!p.number(&d) || d < 1 || d > 365) return false;
      *r = Rule{Rule::Julian1, 0, 0, int(d)};
    } else {
      if (!p.number(&d) || d > 365) return false;
      *r = Rule{Rule::Julian0, 0, 0, int(d)};
    }
    r->secs = 7200;
    if (p.take('/')) {
      if (!p.clock(&neg, &h, &m, &s)) return false;
      r->secs = (neg ? -1L : 1L) * long(h * 3600 + m * 60 + s);
    }
  }
  m_start.offset = m_std;
  m_end.offset = m_dstOffset;
  return p.end();
}

// The instant of r's change in `year`, computed as glibc's tzset does, quirks included (years
// before 1971 count from 1970).
int64_t Zone::changeIn(const Rule& r, long long year) const {
  int64_t t = year > 1970 ? daysFromCivil(year, 1, 1) * 86400 : 0;
  const int leap = isLeap(year) ? 1 : 0;
  switch (r.kind) {
    case Rule::Julian1:
      t += int64_t(r.day - 1) * 86400;
      if (r.day >= 60 && leap) t += 86400;
      break;
    case Rule::Julian0:
      t += int64_t(r.day) * 86400;
      break;
    case Rule::MonthWeekDay: {
      const unsigned short* myday = &kMonthStart[leap][r.month];
      t += int64_t(myday[-1]) * 86400;
      // Zeller's congruence for the weekday of the month's first day.
      const long long m1 = (r.month + 9) % 12 + 1;
      const long long yy0 = r.month <= 2 ? year - 1 : year;
      const long long yy1 = yy0 / 100, yy2 = yy0 % 100;
      long long dow = ((26 * m1 - 2) / 10 + 1 + yy2 + yy2 / 4 + yy1 / 4 - 2 * yy1) % 7;
      if (dow < 0) dow += 7;
      long long d = r.day - dow;
      if (d < 0) d += 7;
      for (int i = 1; i < r.week; ++i) {
        if (d + 7 >= int(myday[0]) - int(myday[-1])) break;
        d += 7;
      }
      t += d * 86400;
      break;
    }
  }
  return t - r.offset + r.secs;
}

bool Zone::footerSegment(int64_t t, Segment* out) const {
  const int64_t last = m_at.back();
  if (!m_dst) {
    *out = {last, kFar, m_std};
    return true;
  }
  const long long year = yearOfDay(floorDiv(t, 86400));  // glibc takes the UTC year
  if (year < -100000 || year > 100000) return false;
  const int64_t start = changeIn(m_start, year), end = changeIn(m_end, year);
  const bool dst = start > end ? (t < end || t >= start) : (t >= start && t < end);
  int64_t from = std::max<int64_t>(last, daysFromCivil(year, 1, 1) * 86400);
  int64_t to = daysFromCivil(year + 1, 1, 1) * 86400;
  for (int64_t c : {start, end}) {
    if (c <= t) from = std::max(from, c);
    else to = std::min(to, c);
  }
  *out = {from, to, dst ? m_dstOffset : m_std};
  return true;
}

bool Zone::segmentAt(int64_t t, Segment* out) const {
  if (!m_exact) return false;
  if (m_at.empty() || t < m_at.front()) {
    *out = {INT64_MIN, m_at.empty() ? kFar : m_at.front(), m_before};
    return true;
  }
  if (t >= m_at.back()) {
    if (m_footer) return footerSegment(t, out);
    *out = {m_at.back(), kFar, m_after.back()};
    return true;
  }
  const size_t i = static_cast<size_t>(std::upper_bound(m_at.begin(), m_at.end(), t) - m_at.begin()) - 1;
  *out = {m_at[i], m_at[i + 1], m_after[i]};
  return true;
}

Zone Zone::forTz(const char* tz) {
  // A set-user-ID program: glibc limits which files TZ may name; leave it to glibc.
  if (getauxval(AT_SECURE)) return Zone{};
  std::string path = "/etc/localtime";
  if (tz) {
    if (*tz == '\0') tz = "Universal";
    if (*tz == ':') ++tz;
    if (*tz == '\0') return Zone{};
    if (*tz == '/') {
      path = tz;
    } else {
      const char* dir = std::getenv("TZDIR");
      path = std::string(dir && *dir ? dir : "/usr/share/zoneinfo") + "/" + tz;
    }
  }
  return fromFile(path);
}

namespace {

// What this thread last saw of TZ, and where in the environment: telling that nothing changed
// costs a few loads instead of a getenv. setenv replaces the entry's pointer or grows the array,
// unsetenv moves the entries after it, so either leaves a mark here.
struct State {
  bool ready = false;
  char** env = nullptr;
  size_t index = 0;             // of the TZ entry, or of the environment's end
  const char* entry = nullptr;  // the TZ entry, or the one before the end
  bool set = false;
  std::string value;
  Zone zone;
  Segment cur{0, 0, 0};
};

// A plain pointer: reaching it needs no initialisation check on every call.
thread_local State* t_state = nullptr;

struct Owner {
  ~Owner() {
    delete t_state;
    t_state = nullptr;
  }
};

bool unchanged(const State& s) {
  char** env = environ;
  if (env != s.env) return false;
  if (!env) return true;
  if (!s.set) return env[s.index] == nullptr && (s.index == 0 || env[s.index - 1] == s.entry);
  if (env[s.index] != s.entry) return false;
  // putenv's caller may rewrite its string in place.
  const char* a = s.entry + 3;
  const char* b = s.value.c_str();
  while (*a == *b && *a) ++a, ++b;
  return *a == *b;
}

void mark(State& s) {
  char** env = environ;
  s.env = env;
  s.set = false;
  s.index = 0;
  s.entry = nullptr;
  if (!env) return;
  size_t i = 0;
  for (; env[i]; ++i) {
    if (env[i][0] == 'T' && env[i][1] == 'Z' && env[i][2] == '=') {
      s.set = true;
      s.index = i;
      s.entry = env[i];
      return;
    }
  }
  s.index = i;
  s.entry = i ? env[i - 1] : nullptr;
}

[[gnu::noinline]] State& refresh(State* seen) {
  if (!seen) {
    thread_local Owner owner;  // frees this thread's state when it ends
    (void)owner;
    seen = t_state = new State;
  }
  State& s = *seen;
  const bool wasSet = s.set, had = s.ready;
  mark(s);
  const char* now = s.set ? s.entry + 3 : nullptr;
  if (!had || wasSet != s.set || (now && s.value != now)) {
    s.value = now ? now : "";
    tzset();  // the C library answers for what the table cannot: it must see the same TZ
    s.zone = Zone::forTz(now);
    s.cur = {0, 0, 0};
  }
  s.ready = true;
  return s;
}

inline State& current() {
  State* s = t_state;
  if (s && unchanged(*s)) [[likely]]
    return *s;
  return refresh(s);
}

}  // namespace

bool segmentAt(int64_t t, Segment* out) {
  State& s = current();
  if (t >= s.cur.from && t < s.cur.to) [[likely]] {
    *out = s.cur;
    return true;
  }
  if (!s.zone.segmentAt(t, out)) {
    // The C library answers: let it look at TZ again, as it does not by itself for localtime_r.
    if (!s.zone.exact()) tzset();
    return false;
  }
  s.cur = *out;
  return true;
}

bool offsetAt(int64_t t, long* offset) {
  Segment g;
  if (!segmentAt(t, &g)) return false;
  *offset = g.offset;
  return true;
}

bool uniqueOffset(int64_t local, long* offset) {
  Segment g;
  if (!segmentAt(local, &g) || !segmentAt(local - g.offset, &g)) return false;
  // Another instant showing `local` differs from this one by a difference of two offsets, so
  // it would lie in this segment too, with this offset: there is none.
  const int64_t u = local - g.offset, d = t_state->zone.spread();
  if (g.from > u - d || u + d >= g.to) return false;
  *offset = g.offset;
  return true;
}

}  // namespace pim::zones
