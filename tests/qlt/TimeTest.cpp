#include <QLT.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>

#include "TimeZoneScope.h"

namespace {

// Computed through the C library, independently of the conversions under test.
double DateFromUtcFields(int y, int mo, int d, int h, int mi, int s) {
  struct tm tm = {};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  return static_cast<double>(timegm(&tm)) / 86400.0 + 25569.0;
}

const double kOneMs = 1.0 / 86400000.0;
const double kOneHour = 1.0 / 24.0;

SYSTEMTIME Break(double date) {
  SYSTEMTIME st;
  QLT_CTime(date).GetSystemTime(st);
  return st;
}

void ExpectSystemTime(double date, int y, int mo, int d, int dow, int h, int mi, int s, int ms) {
  SYSTEMTIME st = Break(date);
  EXPECT_EQ(st.wYear, y) << date;
  EXPECT_EQ(st.wMonth, mo) << date;
  EXPECT_EQ(st.wDay, d) << date;
  EXPECT_EQ(st.wDayOfWeek, dow) << date;
  EXPECT_EQ(st.wHour, h) << date;
  EXPECT_EQ(st.wMinute, mi) << date;
  EXPECT_EQ(st.wSecond, s) << date;
  EXPECT_EQ(st.wMilliseconds, ms) << date;
}

TEST(QltTime, BreaksDatesIntoCalendarFields) {
  ExpectSystemTime(0.0, 1899, 12, 30, 6, 0, 0, 0, 0);
  ExpectSystemTime(2.5, 1900, 1, 1, 1, 12, 0, 0, 0);
  ExpectSystemTime(45351.75, 2024, 2, 29, 4, 18, 0, 0, 0);
  ExpectSystemTime(-657434.0, 100, 1, 1, 5, 0, 0, 0, 0);
  ExpectSystemTime(2958465.5, 9999, 12, 31, 5, 12, 0, 0, 0);
}

TEST(QltTime, NegativeDatesCountTheFractionForwardFromMidnight) {
  ExpectSystemTime(-1.25, 1899, 12, 29, 5, 6, 0, 0, 0);
  ExpectSystemTime(-0.5, 1899, 12, 30, 6, 12, 0, 0, 0);
  ExpectSystemTime(-2.75, 1899, 12, 28, 4, 18, 0, 0, 0);
}

TEST(QltTime, RoundsToTheMillisecond) {
  ExpectSystemTime(45000.0 + 123.4 * kOneMs, 2023, 3, 15, 3, 0, 0, 0, 123);
  ExpectSystemTime(45000.0 + 123.6 * kOneMs, 2023, 3, 15, 3, 0, 0, 0, 124);
  // Rounds up into the next day, for positive and negative DATEs alike.
  ExpectSystemTime(45000.0 + 1.0 - 0.2 * kOneMs, 2023, 3, 16, 4, 0, 0, 0, 0);
  ExpectSystemTime(-1.0 - (1.0 - 0.2 * kOneMs), 1899, 12, 30, 6, 0, 0, 0, 0);
}

TEST(QltTime, DatesOutsideTheRangeLeaveFieldsZero) {
  for (double d : {3e6, -7e5, static_cast<double>(NAN), static_cast<double>(INFINITY)}) {
    SYSTEMTIME st = Break(d);
    EXPECT_EQ(st.wYear + st.wMonth + st.wDay + st.wHour + st.wMilliseconds, 0) << d;
  }
}

TEST(QltTime, AgreesWithTheCLibraryAcrossTheRange) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> dist(-600000.0, 2900000.0);
  for (int i = 0; i < 20000; ++i) {
    double date = dist(rng);
    double day = std::trunc(date);
    long long ms = std::llround(std::fabs(date - day) * 86400000.0);
    long long total = (static_cast<long long>(day) - 25569) * 86400000LL + ms;
    time_t secs = static_cast<time_t>(std::floor(total / 1000.0));
    struct tm tm;
    ASSERT_NE(gmtime_r(&secs, &tm), nullptr);
    SYSTEMTIME st = Break(date);
    ASSERT_EQ(st.wYear, tm.tm_year + 1900) << date;
    ASSERT_EQ(st.wMonth, tm.tm_mon + 1) << date;
    ASSERT_EQ(st.wDay, tm.tm_mday) << date;
    ASSERT_EQ(st.wDayOfWeek, tm.tm_wday) << date;
    ASSERT_EQ(st.wHour * 3600 + st.wMinute * 60 + st.wSecond, tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec) << date;
    ASSERT_EQ(st.wMilliseconds, total - static_cast<long long>(secs) * 1000) << date;
  }
}

// One zone with its two transitions in 2024, in UTC, and its offsets in hours.
struct Zone {
  const char* tz;
  double standardOffset, daylightOffset;
  double toDaylightUtc[5];  // y, m, d, h, min of the jump forward
  double toStandardUtc[5];  // ... and of the fall back
};

void PrintTo(const Zone& z, std::ostream* os) { *os << z.tz; }

const Zone kZones[] = {
    {"Europe/Berlin", 1, 2, {2024, 3, 31, 1, 0}, {2024, 10, 27, 1, 0}},
    {"America/New_York", -5, -4, {2024, 3, 10, 7, 0}, {2024, 11, 3, 6, 0}},
    {"Australia/Sydney", 10, 11, {2024, 10, 5, 16, 0}, {2024, 4, 6, 16, 0}},
};

class QltZone : public ::testing::TestWithParam<Zone> {
 protected:
  pimtest::TimeZoneScope m_tz{GetParam().tz};
  static double At(const double (&f)[5]) {
    return DateFromUtcFields((int)f[0], (int)f[1], (int)f[2], (int)f[3], (int)f[4], 0);
  }
};

TEST_P(QltZone, UtcToLocalAcrossBothTransitions) {
  const Zone& z = GetParam();
  for (double jump : {At(z.toDaylightUtc), At(z.toStandardUtc)}) {
    bool intoDaylight = jump == At(z.toDaylightUtc);
    double before = intoDaylight ? z.standardOffset : z.daylightOffset;
    double after = intoDaylight ? z.daylightOffset : z.standardOffset;
    double justBefore = jump - kOneMs;
    EXPECT_NEAR(QLT_CTime::ConvertUTCToLocalTime(justBefore, 10), justBefore + before * kOneHour, kOneMs / 10);
    EXPECT_NEAR(QLT_CTime::ConvertUTCToLocalTime(jump, 10), jump + after * kOneHour, kOneMs / 10);
  }
}

TEST_P(QltZone, LocalToUtcInsideTheGapAndTheOverlap) {
  const Zone& z = GetParam();
  double forward = At(z.toDaylightUtc);
  double back = At(z.toStandardUtc);
  // Half an hour into the skipped hour: read with the standard offset in force before the jump.
  double skipped = forward + z.standardOffset * kOneHour + 0.5 * kOneHour;
  EXPECT_NEAR(QLT_CTime::ConvertLocalTimeToUTC(skipped, 10), forward + 0.5 * kOneHour, kOneMs / 10);
  // Half an hour into the repeated hour: the earlier instant, still on daylight time.
  double repeated = back + z.standardOffset * kOneHour + 0.5 * kOneHour;
  EXPECT_NEAR(QLT_CTime::ConvertLocalTimeToUTC(repeated, 10), back - 0.5 * kOneHour, kOneMs / 10);
  // The hour after the repeated one, a hair short as date arithmetic leaves it, is standard time.
  double afterOverlap = back + z.standardOffset * kOneHour + kOneHour - 1e-10;
  EXPECT_NEAR(QLT_CTime::ConvertLocalTimeToUTC(afterOverlap, 10), back + kOneHour, kOneMs);
  // Either side of both transitions the conversion is exact.
  for (double jump : {forward, back}) {
    for (double utc : {jump - 2 * kOneHour, jump + 2 * kOneHour}) {
      EXPECT_NEAR(QLT_CTime::ConvertLocalTimeToUTC(QLT_CTime::ConvertUTCToLocalTime(utc, 10), 10), utc, kOneMs / 10);
    }
  }
}

TEST_P(QltZone, RoundTripsThroughTheYearAndMatchesTheCLibrary) {
  double start = DateFromUtcFields(2024, 1, 1, 0, 0, 0);
  for (double utc = start; utc < start + 366; utc += 0.37 + 1234 * kOneMs) {
    double local = QLT_CTime::ConvertUTCToLocalTime(utc, 10);
    time_t t = static_cast<time_t>(std::llround((utc - 25569.0) * 86400.0 * 1000.0) / 1000);
    struct tm tm;
    localtime_r(&t, &tm);
    ASSERT_NEAR(local - utc, tm.tm_gmtoff / 86400.0, kOneMs / 10) << utc;
    // Local times in the repeated hour come back as the earlier instant, which is this one
    // only when it was on daylight time.
    double back = QLT_CTime::ConvertLocalTimeToUTC(local, 10);
    if (std::fabs(back - utc) > kOneMs / 10) {
      ASSERT_NEAR(utc - back, (GetParam().daylightOffset - GetParam().standardOffset) * kOneHour, kOneMs / 10);
      ASSERT_EQ(tm.tm_isdst, 0) << utc;
    }
  }
}

TEST_P(QltZone, ZoneChangeIsSeenWithoutRestart) {
  double utc = DateFromUtcFields(2024, 7, 1, 12, 0, 0);
  bool southern = GetParam().toDaylightUtc[1] > 6;
  double offset = southern ? GetParam().standardOffset : GetParam().daylightOffset;
  EXPECT_NEAR(QLT_CTime::ConvertUTCToLocalTime(utc, 10) - utc, offset * kOneHour, kOneMs / 10);
  setenv("TZ", "UTC", 1);
  EXPECT_NEAR(QLT_CTime::ConvertUTCToLocalTime(utc, 10), utc, kOneMs / 10);
}

INSTANTIATE_TEST_SUITE_P(Zones, QltZone, ::testing::ValuesIn(kZones),
                         [](const ::testing::TestParamInfo<Zone>& info) {
                           std::string n = info.param.tz;
                           for (char& c : n)
                             if (c == '/') c = '_';
                           return n;
                         });

TEST(QltTime, DatesBefore1900ConvertAsInstants) {
  pimtest::TimeZoneScope tz("America/New_York");
  // -1.25 is 29 December 1899 06:00 UTC, 01:00 in New York: DATE -1.041666...
  double local = QLT_CTime::ConvertUTCToLocalTime(-1.25, 10);
  SYSTEMTIME st = Break(local);
  EXPECT_EQ(st.wDay, 29);
  EXPECT_EQ(st.wHour, 1);
  EXPECT_EQ(st.wMinute, 0);
  EXPECT_NEAR(local, -1.0 - 1.0 / 24.0, kOneMs / 10);
  EXPECT_NEAR(QLT_CTime::ConvertLocalTimeToUTC(local, 10), -1.25, kOneMs / 10);
}

}  // namespace
