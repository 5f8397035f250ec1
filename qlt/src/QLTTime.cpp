// DATE (days since 30 December 1899) broken down, and converted between UTC and local time.
#include <QLT.h>

#include <math.h>
#include <time.h>

#if !defined(_WIN32)
#include <algorithm>

#include "LocalZone.h"
#endif

namespace {

const double kSecondsPerDay = 86400.0;
const long long kMsPerDay = 86400000LL;
const long long kDate1970 = 25569;  // DATE of 1 January 1970
// Years 100 to 9999, as Windows accepts.
const double kMinDate = -657434.0;
const double kMaxDate = 2958466.0;

bool InRange(double d) { return isfinite(d) && d > kMinDate - 1.0 && d < kMaxDate; }

// Days since 1 January 1970 to the civil date (proleptic Gregorian).
void CivilFromDays(long long z, int& y, unsigned& m, unsigned& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long yy = static_cast<long long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int>(yy + (m <= 2));
}

// The real instant a DATE stands for, in seconds since 1970. A negative DATE's fraction counts
// forward from its day's midnight (-1.25 is 29 December 1899, 06:00).
double SecondsFromDate(double date) {
  double day = trunc(date);
  double frac = fabs(date - day);
  return (day - kDate1970) * kSecondsPerDay + frac * kSecondsPerDay;
}

// The whole second a zone offset is looked up for. A DATE built by arithmetic may fall a hair
// short of the hour it means, which must not move it across a daylight-saving change.
time_t OffsetSecond(double seconds) { return static_cast<time_t>(floor(round(seconds * 1000.0) / 1000.0)); }

double DateFromSeconds(double seconds) {
  double days = floor(seconds / kSecondsPerDay);
  double frac = (seconds - days * kSecondsPerDay) / kSecondsPerDay;
  if (frac >= 1.0) {  // rounding at the day's end
    days += 1.0;
    frac = 0.0;
  }
  double day = days + kDate1970;
  return day >= 0 ? day + frac : day - frac;
}

// Local time minus UTC at the instant t, in seconds.
#if defined(_WIN32)
// The C runtime reads TZ in its own short form; the system's zone rules are the machine's.
long LocalOffset(time_t t) {
  const long long k1601 = 11644473600LL;  // seconds from 1601 to 1970
  if (t < -k1601) return 0;
  ULONGLONG utc = static_cast<ULONGLONG>(t + k1601) * 10000000ULL;
  FILETIME fu{static_cast<DWORD>(utc), static_cast<DWORD>(utc >> 32)};
  SYSTEMTIME su, sl;
  FILETIME fl;
  if (!FileTimeToSystemTime(&fu, &su) || !SystemTimeToTzSpecificLocalTime(nullptr, &su, &sl) ||
      !SystemTimeToFileTime(&sl, &fl))
    return 0;
  ULONGLONG local = (static_cast<ULONGLONG>(fl.dwHighDateTime) << 32) | fl.dwLowDateTime;
  return static_cast<long>((static_cast<long long>(local) - static_cast<long long>(utc)) / 10000000LL);
}
#else
// The zone files' own table answers; the C library only where the table cannot.
long LocalOffset(time_t t) {
  long offset;
  if (pim::zones::offsetAt(t, &offset)) return offset;
  struct tm tm;
  if (localtime_r(&t, &tm) == nullptr) return 0;
  return tm.tm_gmtoff;
}
#endif

}  // namespace

QLT_CTime::QLT_CTime(const double& date) : m_date(date) {}

SYSTEMTIME& QLT_CTime::GetSystemTime(SYSTEMTIME& st) const {
  st = SYSTEMTIME{};
  if (!InRange(m_date)) return st;
  double day = trunc(m_date);
  long long ms = llround(fabs(m_date - day) * static_cast<double>(kMsPerDay));
  long long days = static_cast<long long>(day) - kDate1970;
  if (ms >= kMsPerDay) {
    ms -= kMsPerDay;
    days += 1;
  }
  int y;
  unsigned m, d;
  CivilFromDays(days, y, m, d);
  st.wYear = static_cast<WORD>(y);
  st.wMonth = static_cast<WORD>(m);
  st.wDay = static_cast<WORD>(d);
  // 1 January 1970 was a Thursday (4).
  st.wDayOfWeek = static_cast<WORD>(((days % 7) + 7 + 4) % 7);
  st.wHour = static_cast<WORD>(ms / 3600000);
  st.wMinute = static_cast<WORD>(ms / 60000 % 60);
  st.wSecond = static_cast<WORD>(ms / 1000 % 60);
  st.wMilliseconds = static_cast<WORD>(ms % 1000);
  return st;
}

double QLT_CTime::ConvertUTCToLocalTime(double utc, int /*flags*/) {
  if (!InRange(utc)) return utc;
#if defined(_WIN32)
  tzset();  // TZ may have changed since the last call
#endif
  double s = SecondsFromDate(utc);
  return DateFromSeconds(s + static_cast<double>(LocalOffset(OffsetSecond(s))));
}

// The UTC instant u with u + offset(u) = local. Around a transition there may be two such
// instants (the earlier one is taken) or none (the offset before the jump is used).
double QLT_CTime::ConvertLocalTimeToUTC(double local, int /*flags*/) {
  if (!InRange(local)) return local;
#if defined(_WIN32)
  tzset();
#endif
  double l = SecondsFromDate(local);
  time_t lt = OffsetSecond(l);
#if !defined(_WIN32)
  // Every instant looked at below lies within a day and an offset of lt: when one stretch of
  // a single offset holds them all, that offset is the answer.
  pim::zones::Segment g;
  if (pim::zones::segmentAt(lt, &g)) {
    const int64_t lo = std::min<int64_t>(lt, lt - 86400 - g.offset), hi = std::max<int64_t>(lt, lt + 86400 - g.offset);
    if (g.from <= lo && hi < g.to) return DateFromSeconds(l - static_cast<double>(g.offset));
  }
#endif
  const long here = LocalOffset(lt);
  long before = LocalOffset(lt - 86400 - here);
  long after = LocalOffset(lt + 86400 - here);
  bool beforeFits = LocalOffset(lt - before) == before;
  // Away from a change both sides agree (nearly always): one lookup answers both.
  bool afterFits = after == before ? beforeFits : LocalOffset(lt - after) == after;
  long offset;
  if (beforeFits && afterFits) offset = before > after ? before : after;  // earlier instant
  else if (afterFits) offset = after;
  else offset = before;
  return DateFromSeconds(l - static_cast<double>(offset));
}
