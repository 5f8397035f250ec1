// GetDateFormatA / GetTimeFormatA: the Windows picture language in English, with the user's
// formats from HKCU\Control Panel\International.
#include <cstring>
#include <string>

#include "internal.h"

namespace {

constexpr DWORD kNoUserOverride = 0x80000000;
constexpr DWORD kDateYearMonth = 0x00000008;
constexpr DWORD kDateAltCalendar = 0x00000004;

const char* const kDays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
const char* const kDaysShort[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                               "July",    "August",   "September", "October", "November", "December"};
const char* const kMonthsShort[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The user's setting, or the given default when it is absent or the registry cannot be read.
std::string user_setting(const char* name, const char* fallback) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Control Panel\\International", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return fallback;
  char buf[256];
  DWORD cb = sizeof buf, type = 0;
  LSTATUS err = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(buf), &cb);
  RegCloseKey(key);
  if (err != ERROR_SUCCESS || type != REG_SZ || cb == 0) return fallback;
  std::string s(buf, cb);
  while (!s.empty() && s.back() == 0) s.pop_back();
  return s.empty() ? fallback : s;
}

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int days_in_month(int y, int m) {
  static const int d[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leap(y) ? 29 : d[m - 1];
}
int day_of_week(int y, int m, int d) {  // 0 = Sunday
  static const int t[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  if (m < 3) y -= 1;
  return (y + y / 4 - y / 100 + y / 400 + t[m - 1] + d) % 7;
}

std::string num(int v, bool two_digits) {
  char buf[16];
  snprintf(buf, sizeof buf, two_digits ? "%02d" : "%d", v);
  return buf;
}

// Expands a picture. `is_token` says which letters are pictures; `expand` writes one picture,
// or returns false to drop it (with the literal text before it, and the non-blank text after it).
template <class IsToken, class Expand>
std::string expand_picture(const char* fmt, IsToken is_token, Expand expand) {
  std::string out;
  size_t last_token_end = 0;
  bool skipping = false;
  auto literal = [&](char c) {
    if (skipping && c != ' ') return;
    skipping = false;
    out += c;
  };
  for (const char* p = fmt; *p;) {
    char c = *p;
    if (c == '\'') {
      ++p;
      while (*p) {
        if (*p == '\'') {
          if (p[1] == '\'') {  // '' inside quotes is a quote
            literal('\'');
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        literal(*p++);
      }
      continue;
    }
    if (is_token(c)) {
      int count = 0;
      while (p[count] == c) ++count;
      p += count;
      std::string text;
      if (expand(c, count, text)) {
        out += text;
        last_token_end = out.size();
        skipping = false;
      } else {
        out.resize(last_token_end);
        skipping = true;
      }
      continue;
    }
    literal(c);
    ++p;
  }
  return out;
}

// Copies the result with the Windows return conventions.
int finish(const std::string& s, LPSTR out, int cch) {
  int needed = static_cast<int>(s.size()) + 1;
  if (cch == 0) return needed;
  if (needed > cch) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(out, s.c_str(), s.size() + 1);
  return needed;
}

int fail(DWORD err) {
  SetLastError(err);
  return 0;
}

}  // namespace

int GetDateFormatA(LCID Locale, DWORD dwFlags, const SYSTEMTIME* lpDate, LPCSTR lpFormat, LPSTR lpDateStr, int cchDate) {
  (void)Locale;  // every locale formats as English (United States) here
  try {
    if (cchDate < 0 || (cchDate > 0 && !lpDateStr)) return fail(ERROR_INVALID_PARAMETER);
    DWORD kind = dwFlags & (DATE_SHORTDATE | DATE_LONGDATE | kDateYearMonth);
    if ((dwFlags & ~(DATE_SHORTDATE | DATE_LONGDATE | kDateYearMonth | kDateAltCalendar | kNoUserOverride)) ||
        (kind & (kind - 1)) || (lpFormat && (kind || (dwFlags & kNoUserOverride))))
      return fail(ERROR_INVALID_FLAGS);
    SYSTEMTIME st;
    if (lpDate) {
      st = *lpDate;
    } else {
      GetLocalTime(&st);
    }
    if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
        st.wDay > days_in_month(st.wYear, st.wMonth))
      return fail(ERROR_INVALID_PARAMETER);
    std::string fmt;
    bool user = !(dwFlags & kNoUserOverride);
    if (lpFormat) {
      fmt = lpFormat;
    } else if (kind == DATE_LONGDATE) {
      fmt = user ? user_setting("sLongDate", "dddd, MMMM d, yyyy") : "dddd, MMMM d, yyyy";
    } else if (kind == kDateYearMonth) {
      fmt = user ? user_setting("sYearMonth", "MMMM yyyy") : "MMMM yyyy";
    } else {
      fmt = user ? user_setting("sShortDate", "M/d/yyyy") : "M/d/yyyy";
    }
    int dow = day_of_week(st.wYear, st.wMonth, st.wDay);
    std::string s = expand_picture(
        fmt.c_str(), [](char c) { return c == 'd' || c == 'M' || c == 'y' || c == 'g'; },
        [&](char c, int n, std::string& text) {
          switch (c) {
            case 'd':
              text = n == 1 ? num(st.wDay, false) : n == 2 ? num(st.wDay, true) : n == 3 ? kDaysShort[dow] : kDays[dow];
              break;
            case 'M':
              text = n == 1   ? num(st.wMonth, false)
                     : n == 2 ? num(st.wMonth, true)
                     : n == 3 ? kMonthsShort[st.wMonth - 1]
                              : kMonths[st.wMonth - 1];
              break;
            case 'y':
              text = n == 1 ? num(st.wYear % 100, false) : n == 2 ? num(st.wYear % 100, true) : num(st.wYear, false);
              break;
            case 'g':
              text = "A.D.";
              break;
          }
          return true;
        });
    return finish(s, lpDateStr, cchDate);
  } catch (const std::bad_alloc&) {
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

int GetTimeFormatA(LCID Locale, DWORD dwFlags, const SYSTEMTIME* lpTime, LPCSTR lpFormat, LPSTR lpTimeStr, int cchTime) {
  (void)Locale;
  try {
    if (cchTime < 0 || (cchTime > 0 && !lpTimeStr)) return fail(ERROR_INVALID_PARAMETER);
    const DWORD known = TIME_NOMINUTESORSECONDS | TIME_NOSECONDS | TIME_NOTIMEMARKER | TIME_FORCE24HOURFORMAT |
                        kNoUserOverride;
    if ((dwFlags & ~known) || (lpFormat && (dwFlags & kNoUserOverride))) return fail(ERROR_INVALID_FLAGS);
    SYSTEMTIME st;
    if (lpTime) {
      st = *lpTime;
    } else {
      GetLocalTime(&st);
    }
    if (st.wHour > 23 || st.wMinute > 59 || st.wSecond > 59 || st.wMilliseconds > 999)
      return fail(ERROR_INVALID_PARAMETER);
    bool user = !(dwFlags & kNoUserOverride);
    std::string fmt = lpFormat ? std::string(lpFormat) : user ? user_setting("sTimeFormat", "h:mm:ss tt") : "h:mm:ss tt";
    std::string am = user ? user_setting("s1159", "AM") : "AM";
    std::string pm = user ? user_setting("s2359", "PM") : "PM";
    const std::string& marker = st.wHour < 12 ? am : pm;
    bool force24 = dwFlags & TIME_FORCE24HOURFORMAT;
    std::string s = expand_picture(
        fmt.c_str(), [](char c) { return c == 'h' || c == 'H' || c == 'm' || c == 's' || c == 't'; },
        [&](char c, int n, std::string& text) {
          switch (c) {
            case 'h':
            case 'H': {
              int hour = st.wHour;
              if (c == 'h' && !force24) hour = hour % 12 == 0 ? 12 : hour % 12;
              text = num(hour, n > 1);
              return true;
            }
            case 'm':
              if (dwFlags & TIME_NOMINUTESORSECONDS) return false;
              text = num(st.wMinute, n > 1);
              return true;
            case 's':
              if (dwFlags & (TIME_NOMINUTESORSECONDS | TIME_NOSECONDS)) return false;
              text = num(st.wSecond, n > 1);
              return true;
            default:  // 't'
              if (dwFlags & TIME_NOTIMEMARKER) return false;
              text = n == 1 ? marker.substr(0, 1) : marker;
              return true;
          }
        });
    return finish(s, lpTimeStr, cchTime);
  } catch (const std::bad_alloc&) {
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}
