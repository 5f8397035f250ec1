// The filter language: operators, quoting, the user's date formats, errors and
// the period window taken from a filter.
#include "filter.h"
#include "recur.h"

#include "test_support.h"

#include <map>

using namespace pim::outlook;
using pim::store::UtcSeconds;

namespace {

UtcSeconds utc(int y, int mo, int d, int h = 0, int mi = 0) {
    return pim::store::zone::toUtc("UTC", {y, mo, d, h, mi, 0});
}

class FilterTest : public ::testing::Test {
protected:
    void SetUp() override { env_.set("TZ", "UTC"); }
    pimtest::Env env_;
};

filter::Getter values(std::map<std::string, filter::Value> m) {
    return [m](const std::string& p) -> std::optional<filter::Value> {
        auto it = m.find(p);
        if (it == m.end()) return std::nullopt;
        return it->second;
    };
}

filter::Value text(const char* s) {
    filter::Value v;
    v.text = s;
    return v;
}
filter::Value time(UtcSeconds t) {
    filter::Value v;
    v.type = filter::Type::Time, v.time = t;
    return v;
}

}  // namespace

TEST_F(FilterTest, DatesFollowTheUsersShortDateFormat) {
    filter::Formats us;  // M/d/yyyy
    EXPECT_EQ(filter::parseLocalDateTime("12/7/2026 14:05", us), utc(2026, 12, 7, 14, 5));
    EXPECT_EQ(filter::parseLocalDateTime("12/07/2026 2:05 PM", us), utc(2026, 12, 7, 14, 5));
    EXPECT_EQ(filter::parseLocalDateTime("12/7/2026 12:00:30 AM", us), utc(2026, 12, 7, 0, 0) + 30);
    EXPECT_EQ(filter::parseLocalDateTime("2/29/2028", us), utc(2028, 2, 29));
    filter::Formats de;
    de.shortDate = "dd.MM.yyyy";
    EXPECT_EQ(filter::parseLocalDateTime("07.12.2026 14:05", de), utc(2026, 12, 7, 14, 5));
    filter::Formats iso;
    iso.shortDate = "yyyy-MM-dd";
    EXPECT_EQ(filter::parseLocalDateTime("2026-12-07 00:00", iso), utc(2026, 12, 7));
    filter::Formats shortYear;
    shortYear.shortDate = "d/M/yy";
    EXPECT_EQ(filter::parseLocalDateTime("7/12/26 9:00", shortYear), utc(2026, 12, 7, 9));
    for (const char* bad : {"07.12.2026 14:05", "13/1/2026", "2/30/2026", "12/7/2026 25:00", "12/7/2026 14:05 XM",
                            "12/7", "", "12/7/2026 14"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(filter::parseLocalDateTime(bad, us));
    }
    // Local time: the filter's wall time is read in the machine's zone.
    env_.set("TZ", "Europe/Berlin");
    EXPECT_EQ(filter::parseLocalDateTime("7/1/2026 9:00", us), utc(2026, 7, 1, 7));
}

TEST_F(FilterTest, OperatorsQuotingAndLogic) {
    filter::Formats f;
    auto item = values({{"Subject", text("Say \"hi\"")}, {"Location", text("Room 'A'")},
                        {"Start", time(utc(2026, 5, 1, 9))}, {"End", time(utc(2026, 5, 1, 10))}});
    struct Case {
        const char* filter;
        bool match;
    } cases[] = {
        {"[Subject] = \"Say \"\"hi\"\"\"", true},
        {"[Subject] = 'say \"HI\"'", true},  // text compares ignore case
        {"[Location] = 'Room ''A'''", true},
        {"[Subject] <> \"x\"", true},
        {"[Start] < \"5/1/2026 9:00\"", false},
        {"[Start] <= \"5/1/2026 9:00\"", true},
        {"[Start] > \"5/1/2026 8:59\"", true},
        {"[End] >= \"5/1/2026 10:00\"", true},
        {"[End] > \"5/1/2026 10:00\"", false},
        {"[Start] = \"5/1/2026 9:00\"", true},
        {"[Start] <= \"5/1/2026 9:00\" and [End] >= \"5/1/2026 10:00\"", true},
        {"[Start] > \"5/1/2026 9:00\" OR [Subject] = 'nope'", false},
        {"not ([Start] > \"5/1/2026 9:00\" or [Subject] = 'nope')", true},
        {"[Start] > \"5/1/2026 9:00\" or [Subject] = 'nope' or [End] = '5/1/2026 10:00'", true},
        {"[Body] = ''", false},  // the item has no body at all
        {"[subject] = 'say \"hi\"' AnD nOt [location] = 'x'", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.filter);
        auto n = filter::parse(c.filter, true, f);
        EXPECT_EQ(filter::evaluate(*n, item), c.match);
    }
    auto num = filter::parse("[BusyStatus] >= 2 and [AllDayEvent] = False", true, f);
    filter::Value busy, allDay;
    busy.type = filter::Type::Number, busy.number = 3;
    allDay.type = filter::Type::Bool;
    EXPECT_TRUE(filter::evaluate(*num, values({{"BusyStatus", busy}, {"AllDayEvent", allDay}})));
}

TEST_F(FilterTest, UnreadableFiltersAreErrors) {
    filter::Formats f;
    for (const char* bad : {"", "[Start]", "[Start] <= ", "[Nope] = 'x'", "[Start] <= \"31/12/2026 10:00\"",
                            "[Subject] = \"unclosed", "[Subject] = 'a' and", "([Subject] = 'a'", "[Subject] = 'a')",
                            "[Subject] == 'a'", "[Subject] = 'a' [End] = 'b'", "[BusyStatus] = two",
                            "[AllDayEvent] = maybe", "Subject = 'a'", "[Subject = 'a'"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(filter::parse(bad, true, f), filter::Error);
    }
    // Contact properties are unknown to the calendar and the other way round.
    EXPECT_THROW(filter::parse("[FirstName] = 'a'", true, f), filter::Error);
    EXPECT_THROW(filter::parse("[Start] <= '1/1/2026'", false, f), filter::Error);
    EXPECT_NO_THROW(filter::parse("[FirstName] = \"Ann\" and [LastName] = \"Smith\"", false, f));
}

// Parsing, evaluating and freeing a filter recurse over it: a text of a million parentheses or
// terms must be refused, not overflow the stack.
TEST_F(FilterTest, DeepOrHugeFiltersAreErrors) {
    filter::Formats f;
    auto nested = [](int depth, const std::string& open) {
        std::string s;
        for (int i = 0; i < depth; ++i) s += open;
        s += "[Subject] = 'a'";
        if (open == "(") s += std::string(depth, ')');
        return s;
    };
    EXPECT_NO_THROW(filter::parse(nested(100, "("), true, f));
    EXPECT_NO_THROW(filter::parse(nested(100, "not "), true, f));
    EXPECT_THROW(filter::parse(nested(101, "("), true, f), filter::Error);
    EXPECT_THROW(filter::parse(nested(1000000, "("), true, f), filter::Error);
    EXPECT_THROW(filter::parse(nested(1000000, "not "), true, f), filter::Error);
    std::string terms = "[Subject] = 'a'";
    for (int i = 1; i < 1000; ++i) terms += " or [Subject] = 'a'";
    auto many = filter::parse(terms, true, f);
    EXPECT_TRUE(filter::evaluate(*many, values({{"Subject", text("A")}})));
    EXPECT_THROW(filter::parse(terms + " and [Body] = 'b'", true, f), filter::Error);
}

TEST_F(FilterTest, WindowBoundsThePeriodQuery) {
    filter::Formats f;
    auto w = filter::window(*filter::parse("[Start] <= \"5/8/2026 0:00\" and [End] >= \"5/1/2026 0:00\"", true, f));
    EXPECT_EQ(w.lo, utc(2026, 5, 1));
    EXPECT_EQ(w.hi, utc(2026, 5, 8));
    auto o = filter::window(*filter::parse("[Start] <= \"5/8/2026 0:00\" or [Subject] = 'x'", true, f));
    EXPECT_EQ(o.hi, pim::store::kOpenEnd);  // the subject branch may match any time
    auto n = filter::window(*filter::parse("not [Start] <= \"5/8/2026 0:00\"", true, f));
    EXPECT_EQ(n.lo, -pim::store::kOpenEnd);
}
