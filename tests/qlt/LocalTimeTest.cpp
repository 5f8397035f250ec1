// DATE conversions between UTC and local time against the C library, across the changes of zones
// with odd rules, and with TZ changed between calls.
#include <QLT.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <random>

#include "LocalZone.h"
#include "TimeZoneScope.h"

namespace {

long LibcOffset(time_t t) {
  struct tm tm;
  return localtime_r(&t, &tm) ? tm.tm_gmtoff : 0;
}

// The rule the conversion has always followed, on localtime_r: the earlier instant in a
// repeated hour, the offset before the jump in a gap.
long ReferenceOffset(time_t lt) {
  const long here = LibcOffset(lt);
  const long before = LibcOffset(lt - 86400 - here), after = LibcOffset(lt + 86400 - here);
  const bool beforeFits = LibcOffset(lt - before) == before, afterFits = LibcOffset(lt - after) == after;
  if (beforeFits && afterFits) return before > after ? before : after;
  return afterFits ? after : before;
}

double DateOf(long long seconds) { return 25569.0 + static_cast<double>(seconds) / 86400.0; }
long long SecondsOf(double date) { return std::llround((date - 25569.0) * 86400.0); }

TEST(QltLocalTime, ConversionsAgreeWithTheCLibraryAcrossChanges) {
  const char* zones[] = {"Europe/Berlin",  "Australia/Lord_Howe", "America/St_Johns",  "Pacific/Apia",
                         "Europe/Dublin",  "America/Santiago",    "Africa/Casablanca", "Pacific/Kiritimati",
                         "Europe/London",  "America/Asuncion",
                         "EST5EDT4,M3.2.0/2,M11.1.0/2"};  // a bare rule string: the C library's
  std::mt19937_64 rng(23);
  std::uniform_int_distribution<long long> any(-2208988800LL, 4102444800LL);  // 1900 to 2100
  for (const char* name : zones) {
    pimtest::TimeZoneScope scope(name);
    std::vector<long long> instants;
    const pim::zones::Zone zone = pim::zones::Zone::forTz(name);
    for (int64_t at : zone.transitions()) {
      if (at < -2208988800LL || at > 4102444800LL) continue;
      for (long long d = -3 * 3600; d <= 3 * 3600; d += 900 + 1) instants.push_back(at + d);
    }
    for (int i = 0; i < 300; ++i) instants.push_back(any(rng));
    for (long long t : instants) {
      ASSERT_EQ(SecondsOf(QLT_CTime::ConvertUTCToLocalTime(DateOf(t), 10)), t + LibcOffset(t)) << name << " " << t;
      // The same numbers read as local times reach every gap and repeated hour nearby.
      ASSERT_EQ(SecondsOf(QLT_CTime::ConvertLocalTimeToUTC(DateOf(t), 10)), t - ReferenceOffset(t)) << name << " " << t;
    }
  }
}

TEST(QltLocalTime, FollowsTzSetBetweenCalls) {
  pimtest::TimeZoneScope scope("UTC");
  const long long july = 1782900000;  // 2026
  setenv("TZ", "Europe/Berlin", 1);
  EXPECT_EQ(SecondsOf(QLT_CTime::ConvertUTCToLocalTime(DateOf(july), 10)), july + 7200);
  setenv("TZ", "Asia/Tokyo", 1);
  EXPECT_EQ(SecondsOf(QLT_CTime::ConvertLocalTimeToUTC(DateOf(july), 10)), july - 32400);
  setenv("TZ", "NOWHERE-3", 1);  // no such file: glibc reads it as a rule
  EXPECT_EQ(SecondsOf(QLT_CTime::ConvertUTCToLocalTime(DateOf(july), 10)), july + 10800);
}

}  // namespace
