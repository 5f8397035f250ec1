// pimctl's date reading and showing, on their own (the command tests drive the program).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "Dates.h"
#include "LocalZone.h"
#include "Scratch.h"

namespace {

DATE Read(const std::string& text) {
  std::string error;
  auto d = pimctl::parseDate(text, "M/d/yyyy", &error);
  EXPECT_TRUE(d) << text << ": " << error;
  return d.value_or(0);
}

std::string Refusal(const std::string& text) {
  std::string error;
  auto d = pimctl::parseDate(text, "M/d/yyyy", &error);
  EXPECT_FALSE(d) << text;
  return error;
}

// Found by fuzz_dates: years before 1000 were shown with three digits ("224-03-01T..."), which
// pimctl's own reader (and any ISO 8601 reader) refuses.
TEST(PimctlDates, EarlyYearsShowFourDigitsAndReadBack) {
  const DATE d = Read("0224-02-29T23:59:59-11:30");
  EXPECT_EQ(pimctl::isoDate(d, true), "0224-03-01T11:29:59Z");
  EXPECT_EQ(pimctl::formatDate(d, true), "0224-03-01 11:29Z");
  EXPECT_EQ(pimctl::timeFromDate(Read(pimctl::isoDate(d, true))), pimctl::timeFromDate(d));
  EXPECT_EQ(pimctl::isoDate(Read("2026-12-07T14:05Z"), true), "2026-12-07T14:05:00Z");
}

// An instant is the DATE's seconds rounded as llround rounds them: halves away from zero, and
// the doubles just below a half, whatever the sign or size.
TEST(PimctlDates, SecondsOfADateRoundAsLlroundDoes) {
  std::vector<double> seconds = {0.0, 0.5, -0.5, 1.5, -1.5, 2.5, 0.49999999999999994, -0.49999999999999994,
                                 4503599627370495.5, -4503599627370495.5, 9.1e15, -9.1e15, 1774746000.5, -1e9 - 0.5};
  std::mt19937_64 rng(3);
  for (int i = 0; i < 20000; ++i)
    seconds.push_back(std::ldexp(static_cast<double>(rng() % 2000001) - 1000000.0, static_cast<int>(rng() % 40)) / 16.0);
  for (double x : seconds) {
    const DATE d = 25569.0 + x / 86400.0;
    ASSERT_EQ(pimctl::timeFromDate(d), static_cast<std::time_t>(std::llround((d - 25569.0) * 86400.0))) << x;
  }
}

// A DATE holds the years 100 to 9999; outside them the date is refused with a reason, after the
// offset is applied.
TEST(PimctlDates, DatesOutsideTheYears100To9999AreRefused) {
  EXPECT_EQ(pimctl::isoDate(Read("0100-01-01T00:00Z"), true), "0100-01-01T00:00:00Z");
  EXPECT_EQ(pimctl::isoDate(Read("9999-12-31T23:59Z"), true), "9999-12-31T23:59:00Z");
  for (const char* text : {"0099-12-31T23:59Z", "0000-01-01", "0100-01-01T00:30+01:00", "9999-12-31T23:59-01:00"})
    EXPECT_NE(Refusal(text).find("outside the years 100 to 9999"), std::string::npos) << text;
  EXPECT_NE(Refusal("2026-02-29").find("no such day"), std::string::npos);
}

}  // namespace

namespace {

// What formatDate and isoDate showed when each instant went through localtime_r and strftime.
std::string LocalReference(std::time_t t, bool iso) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char day[32], rest[32];
  std::snprintf(day, sizeof day, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  std::strftime(rest, sizeof rest, iso ? "T%H:%M:%S%z" : " %H:%M", &tm);
  std::string s = std::string(day) + rest;
  if (iso) s.insert(s.size() - 2, ":");
  return s;
}

}  // namespace

// Local times come from offsets looked up once per quarter hour: across daylight-saving changes
// (a whole hour, Lord Howe's half hour, a negative zone, a change at local midnight) every minute
// shows as localtime_r shows it, and a new TZ is followed at once.
TEST(PimctlDates, LocalTimesAcrossZoneChangesAsLocaltimeShowsThem) {
  pimtest::Env env;
  struct Case {
    const char* zone;
    std::time_t around;  // an instant of a change
  } cases[] = {{"Europe/Berlin", 1774746000},      {"Europe/Berlin", 1792890000}, {"Australia/Lord_Howe", 1775314800},
               {"America/St_Johns", 1772947800}, {"America/Santiago", 1775358000}, {"UTC", 1774746000}};
  for (const Case& c : cases) {
    env.set("TZ", c.zone);
    // Each way twice: on its own, and as a table shows dates in a row (the zone taken as the same).
    for (int kept = 0; kept < 2; ++kept) {
      std::optional<pimctl::SameZone> same;
      if (kept) same.emplace();
      for (std::time_t t = c.around - 3 * 3600; t <= c.around + 3 * 3600; t += 60 + 7) {
        const DATE d = pimctl::dateFromTime(t);
        std::time_t shown = pimctl::timeFromDate(d);
        ASSERT_EQ(pimctl::formatDate(d, false), LocalReference(shown, false)) << c.zone << " " << t << " " << kept;
        ASSERT_EQ(pimctl::isoDate(d, false), LocalReference(shown, true)) << c.zone << " " << t << " " << kept;
      }
    }
  }
}

namespace {

// The period as it was always found: localtime_r, then mktime of the local midnights.
pimctl::Period ReferencePeriod(std::time_t t, pimctl::Span span) {
  std::tm tm{};
  localtime_r(&t, &tm);
  tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
  tm.tm_isdst = -1;
  int days = 1;
  if (span == pimctl::Span::Week) {
    tm.tm_mday -= (tm.tm_wday + 6) % 7;
    days = 7;
  } else if (span == pimctl::Span::Month) {
    tm.tm_mday = 1;
  }
  std::tm first = tm, next = tm;
  const std::time_t start = std::mktime(&first);
  if (span == pimctl::Span::Month)
    next.tm_mon += 1;
  else
    next.tm_mday += days;
  next.tm_isdst = -1;
  return {pimctl::dateFromTime(start), pimctl::dateFromTime(std::mktime(&next) - 60)};
}

}  // namespace

// Days, weeks and months around daylight-saving changes, midnight ones included (Santiago,
// Asuncion, Casablanca), and local times typed into a gap or a repeated hour, read as mktime does.
TEST(PimctlDates, PeriodsAndTypedLocalTimesAsTheCLibraryFindsThem) {
  pimtest::Env env;
  for (const char* zone : {"Europe/Berlin", "America/Santiago", "America/Asuncion", "Africa/Casablanca",
                           "Australia/Lord_Howe", "Pacific/Apia", "EST5EDT4,M3.2.0/0,M11.1.0/0"}) {
    env.set("TZ", zone);
    std::vector<std::time_t> instants;
    for (std::time_t t = 1735689600; t < 1798761600; t += 6 * 3600 + 61) instants.push_back(t);  // 2025 and 2026
    const pim::zones::Zone z = pim::zones::Zone::forTz(zone);
    for (int64_t at : z.transitions())
      if (at > 1735689600 && at < 1798761600)
        for (int d = -7200; d <= 7200; d += 600) instants.push_back(static_cast<std::time_t>(at + d));
    for (std::time_t t : instants) {
      for (pimctl::Span span : {pimctl::Span::Day, pimctl::Span::Week, pimctl::Span::Month}) {
        const pimctl::Period p = pimctl::periodAround(t, span), want = ReferencePeriod(t, span);
        ASSERT_EQ(p.start, want.start) << zone << " " << t;
        ASSERT_EQ(p.end, want.end) << zone << " " << t;
      }
      std::tm tm{};
      gmtime_r(&t, &tm);
      char text[32];
      std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M", &tm);
      tm.tm_sec = 0;
      tm.tm_isdst = -1;
      ASSERT_EQ(Read(text), pimctl::dateFromTime(std::mktime(&tm))) << zone << " " << text;
    }
  }
}
