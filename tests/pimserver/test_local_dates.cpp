// The object model's local DATEs (an item's Start and End) against the C library, across the
// changes of zones with odd rules.
#include "com.h"

#include "LocalZone.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

namespace {

using pim::store::UtcSeconds;

// As the DATE was always made: localtime_r's fields.
DATE referenceLocal(UtcSeconds t)
{
    time_t tt = static_cast<time_t>(t);
    struct tm tm {};
    localtime_r(&tt, &tm);
    const int64_t day = pim::store::zone::daysFromCivil(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday) + 25569;
    return static_cast<DATE>(day) + (tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec) / 86400.0;
}

// As it was always read back: mktime, which settles gaps and repeated hours its own way.
UtcSeconds referenceUtc(int64_t local)
{
    time_t tl = static_cast<time_t>(local);
    struct tm tm {};
    gmtime_r(&tl, &tm);
    tm.tm_isdst = -1;
    return static_cast<UtcSeconds>(mktime(&tm));
}

TEST(LocalDates, StartAndEndAgreeWithTheCLibraryAcrossChanges)
{
    const char* zones[] = {"Europe/Berlin", "Australia/Lord_Howe", "America/St_Johns",   "Pacific/Apia",
                           "Europe/Dublin", "America/Santiago",    "Pacific/Kiritimati", "Europe/London",
                           "EST5EDT4,M3.2.0/2,M11.1.0/2"};  // no such file: the C library's
    std::mt19937_64 rng(29);
    std::uniform_int_distribution<int64_t> any(-2208988800LL, 4102444800LL);  // 1900 to 2100
    size_t compared = 0;
    for (const char* name : zones) {
        pimtest::Env env;
        env.set("TZ", name);
        const pim::zones::Zone zone = pim::zones::Zone::forTz(name);
        std::vector<int64_t> instants;
        for (int64_t at : zone.transitions()) {
            if (at < -2208988800LL || at > 4102444800LL) continue;
            for (int64_t d = -3 * 3600; d <= 3 * 3600; d += 900 + 1) instants.push_back(at + d);
        }
        for (int i = 0; i < 300; ++i) instants.push_back(any(rng));
        for (int64_t t : instants) {
            ASSERT_EQ(pim::outlook::utcToLocalDate(t), referenceLocal(t)) << name << " " << t;
            // The same numbers as local times fall in every gap and repeated hour nearby.
            const DATE local = 25569.0 + static_cast<double>(t) / 86400.0;
            ASSERT_EQ(pim::outlook::localDateToUtc(local), referenceUtc(t)) << name << " " << t;
        }
        compared += instants.size();
    }
    EXPECT_GT(compared, 10000u);
}

}  // namespace
