// pimctl's date reading and showing, on their own (the command tests drive the program).
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "Dates.h"

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
