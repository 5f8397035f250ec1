// QLT_CTime: DATEs broken into calendar fields, and the local-time conversions at the edges that the
// comparison with the C library (LocalTimeTest.cpp) does not reach.
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

// What QltLocalTime (LocalTimeTest.cpp) compares second by second around every change cannot show:
// a local time a hair short of the hour after a repeated hour, as date arithmetic leaves it, is
// standard time and not the earlier instant.
TEST(QltTime, AHairBeforeTheHourAfterARepeatedHourIsStandardTime) {
  pimtest::TimeZoneScope tz("Europe/Berlin");
  const double back = DateFromUtcFields(2024, 10, 27, 1, 0, 0);  // 03:00 CEST becomes 02:00 CET
  const double afterOverlap = back + 2 * kOneHour - 1e-10;         // 03:00 local, a hair short
  EXPECT_NEAR(QLT_CTime::ConvertLocalTimeToUTC(afterOverlap, 10), back + kOneHour, kOneMs);
}

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
