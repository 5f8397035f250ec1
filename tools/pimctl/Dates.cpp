#include "Dates.h"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "LocalZone.h"

namespace pimctl {
namespace {

constexpr double kUnixEpochDate = 25569.0;  // 1970-01-01 as a DATE
constexpr double kFirstDate = -657434.0;     // 0100-01-01
constexpr double kEndDate = 2958466.0;       // 10000-01-01

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
long long daysFromCivil(int y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

bool validDay(int y, int m, int d) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m < 1 || m > 12 || d < 1) return false;
  int max = kDays[m - 1];
  if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) max = 29;
  return d <= max;
}

struct Fields {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  bool hasZone = false;
  int offsetMinutes = 0;
};

std::time_t toTime(const Fields& f) {
  const long long days = daysFromCivil(f.year, static_cast<unsigned>(f.month), static_cast<unsigned>(f.day));
  const long long wall = days * 86400 + f.hour * 3600 + f.minute * 60 + f.second;
  if (f.hasZone) return static_cast<std::time_t>(wall - f.offsetMinutes * 60);
  long offset;
  if (pim::zones::uniqueOffset(wall, &offset)) return static_cast<std::time_t>(wall - offset);
  std::tm tm{};
  tm.tm_year = f.year - 1900;
  tm.tm_mon = f.month - 1;
  tm.tm_mday = f.day;
  tm.tm_hour = f.hour;
  tm.tm_min = f.minute;
  tm.tm_sec = f.second;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

class Cursor {
 public:
  explicit Cursor(const std::string& s) : m_s(s) {}
  bool done() const { return m_i >= m_s.size(); }
  char peek() const { return done() ? '\0' : m_s[m_i]; }
  bool take(char c) {
    if (peek() != c) return false;
    ++m_i;
    return true;
  }
  // Between min and max digits.
  bool number(int minDigits, int maxDigits, int* out) {
    int n = 0, v = 0;
    while (n < maxDigits && std::isdigit(static_cast<unsigned char>(peek()))) {
      v = v * 10 + (m_s[m_i++] - '0');
      ++n;
    }
    *out = v;
    return n >= minDigits;
  }

 private:
  const std::string& m_s;
  size_t m_i = 0;
};

bool parseTime(Cursor& c, Fields* f) {
  if (!c.number(1, 2, &f->hour) || !c.take(':') || !c.number(2, 2, &f->minute)) return false;
  if (c.take(':') && !c.number(2, 2, &f->second)) return false;
  return f->hour < 24 && f->minute < 60 && f->second < 60;
}

bool parseIso(const std::string& text, Fields* f) {
  Cursor c(text);
  if (!c.number(4, 4, &f->year) || !c.take('-') || !c.number(2, 2, &f->month) || !c.take('-') ||
      !c.number(2, 2, &f->day))
    return false;
  if (c.take('T') || c.take(' ')) {
    if (!parseTime(c, f)) return false;
    if (c.take('Z')) {
      f->hasZone = true;
    } else if (c.peek() == '+' || c.peek() == '-') {
      int sign = c.peek() == '-' ? -1 : 1;
      c.take(c.peek());
      int h = 0, m = 0;
      if (!c.number(2, 2, &h)) return false;
      c.take(':');
      if (!c.number(2, 2, &m)) return false;
      f->hasZone = true;
      f->offsetMinutes = sign * (h * 60 + m);
    }
  }
  return c.done();
}

// The Windows picture language, for the parts a short date uses: d dd M MM y yy yyyy and literals.
bool parsePicture(const std::string& text, const std::string& picture, Fields* f) {
  Cursor c(text);
  size_t i = 0;
  bool sawYear = false;
  while (i < picture.size()) {
    char p = picture[i];
    size_t run = 1;
    while (i + run < picture.size() && picture[i + run] == p) ++run;
    if (p == 'd' && run <= 2) {
      if (!c.number(run, 2, &f->day)) return false;
    } else if (p == 'M' && run <= 2) {
      if (!c.number(run, 2, &f->month)) return false;
    } else if (p == 'y') {
      int y = 0;
      if (run >= 3) {
        if (!c.number(4, 4, &y)) return false;
      } else {
        if (!c.number(1, 2, &y)) return false;
        y += 2000;
      }
      f->year = y;
      sawYear = true;
    } else if (p == '\'') {
      size_t close = picture.find('\'', i + 1);
      if (close == std::string::npos) return false;
      for (size_t k = i + 1; k < close; ++k)
        if (!c.take(picture[k])) return false;
      run = close - i + 1;
    } else if (std::isalpha(static_cast<unsigned char>(p))) {
      return false;  // day and month names are not read back
    } else {
      for (size_t k = 0; k < run; ++k)
        if (!c.take(p)) return false;
    }
    i += run;
  }
  if (!sawYear) return false;
  if (c.take(' ') || c.take('T')) {
    if (!parseTime(c, f)) return false;
  }
  return c.done();
}

long long floorDiv(long long a, long long b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// The offset from UTC of local time at t, as localtime_r gives it: from the zone table, or where
// it cannot answer, localtime_r asked once per quarter hour (both ends; no zone changes twice
// within one), and for every instant of a quarter that holds a change.
// While a SameZone lives: the last segment of the zone table, asked without looking at TZ again.
thread_local int t_sameZone = 0;
thread_local pim::zones::Segment t_kept{0, 0, 0};

long localOffset(std::time_t t) {
  if (t_sameZone > 0) {
    if (t >= t_kept.from && t < t_kept.to) [[likely]]
      return t_kept.offset;
    if (pim::zones::segmentAt(t, &t_kept)) return t_kept.offset;
    t_kept = {0, 0, 0};
  } else {
    long offset;
    if (pim::zones::offsetAt(t, &offset)) [[likely]]
      return offset;
  }
  constexpr long kChanges = LONG_MIN;
  thread_local std::unordered_map<long long, long> byQuarter;
  thread_local std::string zone = "\x01";  // TZ as last seen: a new one forgets every offset
  const char* tz = std::getenv("TZ");
  if (zone.compare(tz ? tz : "\x02") != 0) {
    zone = tz ? tz : "\x02";
    byQuarter.clear();
  }
  const long long q = floorDiv(t, 900);
  auto it = byQuarter.find(q);
  if (it == byQuarter.end()) {
    std::tm a{}, b{};
    std::time_t first = static_cast<std::time_t>(q * 900), last = first + 899;
    localtime_r(&first, &a);
    localtime_r(&last, &b);
    it = byQuarter.emplace(q, a.tm_gmtoff == b.tm_gmtoff ? a.tm_gmtoff : kChanges).first;
  }
  if (it->second != kChanges) return it->second;
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm.tm_gmtoff;
}

struct Wall {
  int year;
  unsigned month, day;
  int hour, minute, second;
  long offset;
  const char* dayText;  // "YYYY-MM-DD", valid until the next wallOf
  size_t daySize;
};

char* put2(char* p, int v) {
  p[0] = static_cast<char>('0' + v / 10);
  p[1] = static_cast<char>('0' + v % 10);
  return p + 2;
}

// "YYYY-MM-DD" with four year digits always: strftime's %Y writes 224 for the year 224, which
// neither ISO 8601 nor our own reader accepts. p has room for 24 characters.
char* makeDay(char* p, const Wall& w) {
  if (w.year >= 0 && w.year <= 9999) {  // every DATE's year; snprintf was most of an agenda line's cost
    p = put2(p, w.year / 100);
    p = put2(p, w.year % 100);
  } else {
    p += std::snprintf(p, 16, "%04d", w.year);
  }
  *p++ = '-';
  p = put2(p, static_cast<int>(w.month));
  *p++ = '-';
  return put2(p, static_cast<int>(w.day));
}

Wall wallOf(std::time_t t, bool inUtc) {
  Wall w{};
  w.offset = inUtc ? 0 : localOffset(t);
  const long long local = static_cast<long long>(t) + w.offset;
  long long z = floorDiv(local, 86400);
  const long long secs = local - z * 86400;
  w.hour = static_cast<int>(secs / 3600);
  w.minute = static_cast<int>(secs / 60 % 60);
  w.second = static_cast<int>(secs % 60);
  // An agenda's instants fall on a handful of days: the last one's date is kept, and its text.
  struct Day {
    long long z;
    int year;
    unsigned month, day;
    char text[24];
    size_t size;
  };
  thread_local Day last{LLONG_MIN, 0, 0, 0, {}, 0};
  if (z == last.z) {
    w.year = last.year;
    w.month = last.month;
    w.day = last.day;
    w.dayText = last.text;
    w.daySize = last.size;
    return w;
  }
  last.z = z;
  // Civil date of a day count since 1970-01-01 (the inverse of daysFromCivil).
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  w.day = doy - (153 * mp + 2) / 5 + 1;
  w.month = mp < 10 ? mp + 3 : mp - 9;
  w.year = static_cast<int>(yoe + era * 400 + (w.month <= 2));
  last.year = w.year;
  last.month = w.month;
  last.day = w.day;
  last.size = static_cast<size_t>(makeDay(last.text, w) - last.text);
  w.dayText = last.text;
  w.daySize = last.size;
  return w;
}

// The day's text as wallOf made it.
char* putDay(char* p, const Wall& w) {
  if (w.daySize == 10) [[likely]] {
    std::memcpy(p, w.dayText, 10);
    return p + 10;
  }
  std::memcpy(p, w.dayText, w.daySize);
  return p + w.daySize;
}

}  // namespace

SameZone::SameZone() { ++t_sameZone; }

SameZone::~SameZone() {
  if (--t_sameZone == 0) t_kept = {0, 0, 0};
}

DATE dateFromTime(std::time_t t) { return kUnixEpochDate + static_cast<double>(t) / 86400.0; }

std::time_t timeFromDate(DATE d) {
  const double x = (d - kUnixEpochDate) * 86400.0;
  // llround (halves away from zero) without its call: below 2^52 a double's fraction is exact.
  if (!(x > -4.5e15 && x < 4.5e15)) [[unlikely]]
    return static_cast<std::time_t>(std::llround(x));
  long long whole = static_cast<long long>(x);
  const double fraction = x - static_cast<double>(whole);
  if (fraction >= 0.5) ++whole;
  else if (fraction <= -0.5) --whole;
  return static_cast<std::time_t>(whole);
}

std::optional<DATE> parseDate(const std::string& text, const std::string& shortDateFormat, std::string* error) {
  Fields f;
  bool ok = parseIso(text, &f);
  if (!ok) {
    f = Fields{};
    ok = parsePicture(text, shortDateFormat, &f);
  }
  if (!ok) {
    *error = "cannot read the date '" + text + "' (use YYYY-MM-DD[THH:MM] or " + shortDateFormat + " [H:mm])";
    return std::nullopt;
  }
  if (!validDay(f.year, f.month, f.day)) {
    *error = "there is no such day: '" + text + "'";
    return std::nullopt;
  }
  const DATE d = dateFromTime(toTime(f));
  // The years a DATE may hold (100 to 9999), after the zone is applied.
  if (d < kFirstDate || d >= kEndDate) {
    *error = "the date '" + text + "' is outside the years 100 to 9999";
    return std::nullopt;
  }
  return d;
}

std::string userShortDateFormat() {
  std::string picture = "M/d/yyyy";
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Control Panel\\International", 0, KEY_READ, &key) == ERROR_SUCCESS) {
    char buf[80];
    DWORD type = 0, size = sizeof buf;
    if (RegQueryValueExA(key, "sShortDate", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) == ERROR_SUCCESS &&
        type == REG_SZ && size > 1)
      picture.assign(buf, size - 1);
    RegCloseKey(key);
  }
  return picture;
}

char* putDate(char* p, DATE utc, bool inUtc) {
  const Wall w = wallOf(timeFromDate(utc), inUtc);
  p = putDay(p, w);
  *p++ = ' ';
  p = put2(p, w.hour);
  *p++ = ':';
  p = put2(p, w.minute);
  if (inUtc) *p++ = 'Z';
  return p;
}

std::string formatDate(DATE utc, bool inUtc) {
  char buf[kDateRoom];
  return std::string(buf, static_cast<size_t>(putDate(buf, utc, inUtc) - buf));
}

std::string isoDate(DATE utc, bool inUtc) {
  const Wall w = wallOf(timeFromDate(utc), inUtc);
  char buf[48];
  char* p = putDay(buf, w);
  *p++ = 'T';
  p = put2(p, w.hour);
  *p++ = ':';
  p = put2(p, w.minute);
  *p++ = ':';
  p = put2(p, w.second);
  if (inUtc) {
    *p++ = 'Z';
  } else {
    // As strftime's %z with a colon: whole minutes, rounded towards zero.
    long minutes = (w.offset < 0 ? -w.offset : w.offset) / 60;
    *p++ = w.offset < 0 ? '-' : '+';
    p = put2(p, static_cast<int>(minutes / 60 % 100));
    *p++ = ':';
    p = put2(p, static_cast<int>(minutes % 60));
  }
  return std::string(buf, static_cast<size_t>(p - buf));
}

Period periodAround(std::time_t t, Span span) {
  long offset, atFirst, atNext;
  if (pim::zones::offsetAt(t, &offset)) {
    const Wall w = wallOf(t, false);
    long long first = daysFromCivil(w.year, w.month, w.day), next = first + 1;
    if (span == Span::Week) {
      first -= (((first % 7) + 11) % 7 + 6) % 7;  // back to Monday (1970-01-01 was a Thursday)
      next = first + 7;
    } else if (span == Span::Month) {
      first -= w.day - 1;
      next = w.month == 12 ? daysFromCivil(w.year + 1, 1, 1) : daysFromCivil(w.year, w.month + 1, 1);
    }
    if (pim::zones::uniqueOffset(first * 86400, &atFirst) && pim::zones::uniqueOffset(next * 86400, &atNext))
      return {dateFromTime(static_cast<std::time_t>(first * 86400 - atFirst)),
              dateFromTime(static_cast<std::time_t>(next * 86400 - atNext - 60))};
  }
  std::tm tm{};
  localtime_r(&t, &tm);
  tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
  tm.tm_isdst = -1;
  int days = 1;
  if (span == Span::Week) {
    tm.tm_mday -= (tm.tm_wday + 6) % 7;  // back to Monday
    days = 7;
  } else if (span == Span::Month) {
    tm.tm_mday = 1;
  }
  std::tm first = tm;
  std::time_t start = std::mktime(&first);
  std::tm next = tm;
  if (span == Span::Month)
    next.tm_mon += 1;
  else
    next.tm_mday += days;
  next.tm_isdst = -1;
  std::time_t end = std::mktime(&next) - 60;  // the last minute of the period
  return {dateFromTime(start), dateFromTime(end)};
}

}  // namespace pimctl
