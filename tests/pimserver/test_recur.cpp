// Recurrence expansion: the cases libical's own expansion gets wrong, plus rules,
// exclusions and overrides.
#include "recur.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace pim::store;

namespace {

UtcSeconds utc(int y, int mo, int d, int h = 0, int mi = 0) { return zone::toUtc("UTC", {y, mo, d, h, mi, 0}); }

Series compile(const std::string& body, const std::string& fallback = "UTC") {
    std::string text = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\n" + body + "END:VCALENDAR\r\n";
    auto cal = ical::parse(text);
    EXPECT_TRUE(cal);
    ical::normalize(cal.get(), fallback);
    return compileSeries(cal.get(), fallback);
}

WallTime wallIn(const std::string& z, UtcSeconds t) { return zone::toWall(z, t); }

// Everything an instance says, to compare two expansions whole.
std::vector<std::tuple<UtcSeconds, UtcSeconds, UtcSeconds, int>> spans(const std::vector<Instance>& v) {
    std::vector<std::tuple<UtcSeconds, UtcSeconds, UtcSeconds, int>> out;
    for (const Instance& i : v) out.emplace_back(i.start, i.end, i.recurrenceId, i.override);
    return out;
}

}  // namespace

TEST(Zone, WindowsAndPrefixedNamesMapToOlson) {
    EXPECT_EQ(zone::resolve("W. Europe Standard Time"), "Europe/Berlin");
    EXPECT_EQ(zone::resolve("Eastern Standard Time"), "America/New_York");
    EXPECT_EQ(zone::resolve("Europe/Paris"), "Europe/Paris");
    EXPECT_EQ(zone::resolve("/mozilla.org/20050126_1/America/Argentina/Buenos_Aires"),
              "America/Argentina/Buenos_Aires");
    EXPECT_EQ(zone::resolve("Not A Zone"), "");
    // Gap: 02:30 does not exist on 2026-03-29 in Berlin and moves forward by the gap.
    EXPECT_EQ(zone::toUtc("Europe/Berlin", {2026, 3, 29, 2, 30, 0}), utc(2026, 3, 29, 1, 30));
    // Repeated hour: the first 02:30 (still daylight time) is meant.
    EXPECT_EQ(zone::toUtc("Europe/Berlin", {2026, 10, 25, 2, 30, 0}), utc(2026, 10, 25, 0, 30));
    // Beyond 2038.
    EXPECT_EQ(zone::toWall("Europe/Berlin", utc(2040, 7, 1, 7)), (WallTime{2040, 7, 1, 9, 0, 0}));
}

TEST(Recur, WeeklyMeetingKeepsWallTimeAcrossDaylightSaving) {
    // Written with a Windows zone name, as Outlook exports do.
    Series s = compile(
        "BEGIN:VEVENT\r\nUID:w\r\nDTSTART;TZID=W. Europe Standard Time:20260316T090000\r\n"
        "DTEND;TZID=W. Europe Standard Time:20260316T100000\r\nRRULE:FREQ=WEEKLY\r\nEND:VEVENT\r\n");
    EXPECT_EQ(s.zone, "Europe/Berlin");
    EXPECT_FALSE(s.finite);
    auto inst = expand(s, utc(2026, 3, 16), utc(2026, 4, 7));
    ASSERT_EQ(inst.size(), 4u);
    for (const Instance& i : inst) {
        EXPECT_EQ(wallIn("Europe/Berlin", i.start).hour, 9);
        EXPECT_EQ(i.end - i.start, 3600);
    }
    EXPECT_EQ(inst[1].start, utc(2026, 3, 23, 8));  // CET
    EXPECT_EQ(inst[2].start, utc(2026, 3, 30, 7));  // CEST
}

TEST(Recur, RdateWithItsOwnZone) {
    Series s = compile(
        "BEGIN:VEVENT\r\nUID:r\r\nDTSTART;TZID=Europe/Berlin:20260105T100000\r\n"
        "DTEND;TZID=Europe/Berlin:20260105T110000\r\n"
        "RDATE;TZID=America/New_York:20260110T090000\r\nEND:VEVENT\r\n");
    auto inst = expand(s, utc(2026, 1, 1), utc(2026, 1, 31));
    ASSERT_EQ(inst.size(), 2u);
    EXPECT_EQ(inst[1].start, utc(2026, 1, 10, 14));  // 09:00 EST
    EXPECT_EQ(inst[1].end - inst[1].start, 3600);
}

TEST(Recur, AllDayEventsSitOnTheirLocalDay) {
    Series s = compile(
        "BEGIN:VEVENT\r\nUID:a\r\nDTSTART;VALUE=DATE:20260328\r\nDTEND;VALUE=DATE:20260329\r\n"
        "RRULE:FREQ=DAILY;COUNT=3\r\nEND:VEVENT\r\n",
        "Europe/Berlin");
    EXPECT_TRUE(s.allDay);
    auto inst = expand(s, utc(2026, 3, 1), utc(2026, 4, 30));
    ASSERT_EQ(inst.size(), 3u);
    EXPECT_EQ(inst[0].start, utc(2026, 3, 27, 23));  // local midnight, not UTC midnight
    EXPECT_EQ(inst[0].end, utc(2026, 3, 28, 23));
    EXPECT_EQ(inst[1].end - inst[1].start, 23 * 3600);  // the short day
    EXPECT_EQ(inst[2].start, utc(2026, 3, 29, 22));
    // One day only: a query for the following local day does not see the first instance.
    EXPECT_EQ(expand(s, utc(2026, 3, 28, 23) + 1, utc(2026, 3, 28, 23) + 60).size(), 1u);
}

TEST(Recur, DurationFollowsWallTimeAcrossTheGap) {
    // The first instance spans the spring-forward gap (really one hour long); the
    // later ones are two hours long again.
    Series s = compile(
        "BEGIN:VEVENT\r\nUID:g\r\nDTSTART;TZID=Europe/Berlin:20260329T013000\r\n"
        "DTEND;TZID=Europe/Berlin:20260329T033000\r\nRRULE:FREQ=DAILY;COUNT=2\r\nEND:VEVENT\r\n");
    auto inst = expand(s, utc(2026, 3, 1), utc(2026, 4, 30));
    ASSERT_EQ(inst.size(), 2u);
    EXPECT_EQ(inst[0].end - inst[0].start, 3600);
    EXPECT_EQ(inst[1].end - inst[1].start, 7200);
    EXPECT_EQ(wallIn("Europe/Berlin", inst[1].end).hour, 3);
}

TEST(Recur, OverridesExclusionsAndMovedInstances) {
    Series s = compile(
        "BEGIN:VEVENT\r\nUID:o\r\nDTSTART:20260105T090000Z\r\nDTEND:20260105T100000Z\r\n"
        "RRULE:FREQ=DAILY;COUNT=5\r\nEXDATE:20260106T090000Z\r\nEND:VEVENT\r\n"
        "BEGIN:VEVENT\r\nUID:o\r\nRECURRENCE-ID:20260107T090000Z\r\nDTSTART:20260107T150000Z\r\n"
        "DTEND:20260107T160000Z\r\nSUMMARY:moved\r\nEND:VEVENT\r\n"
        "BEGIN:VEVENT\r\nUID:o\r\nRECURRENCE-ID:20260108T090000Z\r\nDTSTART:20260120T090000Z\r\n"
        "DTEND:20260120T100000Z\r\nEND:VEVENT\r\n");
    auto inst = expand(s, utc(2026, 1, 1), utc(2026, 1, 31));
    ASSERT_EQ(inst.size(), 4u);
    EXPECT_EQ(inst[0].start, utc(2026, 1, 5, 9));
    EXPECT_EQ(inst[1].start, utc(2026, 1, 7, 15));  // overridden time
    EXPECT_EQ(inst[1].recurrenceId, utc(2026, 1, 7, 9));
    EXPECT_GE(inst[1].override, 0);
    EXPECT_EQ(inst[2].start, utc(2026, 1, 9, 9));
    EXPECT_EQ(inst[3].start, utc(2026, 1, 20, 9));  // moved out of the rule's range
    // A window holding only the moved instance's original slot finds nothing.
    EXPECT_TRUE(expand(s, utc(2026, 1, 8, 8), utc(2026, 1, 8, 11)).empty());
    EXPECT_EQ(s.spanEnd, utc(2026, 1, 20, 10));
}

TEST(Recur, WindowedExpansionMatchesFullExpansion) {
    // Jumping near the window must keep INTERVAL alignment, UNTIL and COUNT.
    for (const char* rule : {"FREQ=WEEKLY;INTERVAL=2;BYDAY=MO,TH", "FREQ=DAILY;INTERVAL=3",
                             "FREQ=MONTHLY;BYMONTHDAY=31", "FREQ=WEEKLY;COUNT=40",
                             "FREQ=WEEKLY;UNTIL=20270301T000000Z", "FREQ=YEARLY;BYMONTH=2;BYMONTHDAY=29"}) {
        SCOPED_TRACE(rule);
        Series s = compile(std::string("BEGIN:VEVENT\r\nUID:x\r\nDTSTART;TZID=Europe/Berlin:20240101T230000\r\n"
                                       "DTEND;TZID=Europe/Berlin:20240102T003000\r\nRRULE:") +
                           rule + "\r\nEND:VEVENT\r\n");
        UtcSeconds from = utc(2026, 2, 10), to = utc(2026, 6, 20);
        std::vector<Instance> expected;
        for (const Instance& i : expand(s, utc(2023, 1, 1), utc(2029, 1, 1)))
            if (i.start <= to && i.end >= from) expected.push_back(i);
        EXPECT_EQ(spans(expand(s, from, to)), spans(expected));
    }
}

TEST(Recur, UntilInUtcIsHonouredInTheEventZone) {
    // The last instance starts 2026-01-12 09:00 Berlin = 08:00Z, exactly UNTIL.
    Series s = compile(
        "BEGIN:VEVENT\r\nUID:u\r\nDTSTART;TZID=Europe/Berlin:20260105T090000\r\n"
        "DTEND;TZID=Europe/Berlin:20260105T093000\r\nRRULE:FREQ=WEEKLY;UNTIL=20260112T080000Z\r\nEND:VEVENT\r\n");
    EXPECT_TRUE(s.finite);
    EXPECT_EQ(expand(s, utc(2026, 1, 1), utc(2026, 12, 31)).size(), 2u);
    EXPECT_EQ(s.spanEnd, utc(2026, 1, 12, 8, 30));
}

TEST(Recur, DateArithmeticAgreesWithLibicalIterator) {
    struct Case {
        const char* start;
        const char* end;
        const char* rule;
    } cases[] = {
        {"DTSTART;TZID=Europe/Berlin:20250105T090000", "DTEND;TZID=Europe/Berlin:20250105T100000", "FREQ=WEEKLY"},
        {"DTSTART;TZID=Europe/Berlin:20250105T233000", "DTEND;TZID=Europe/Berlin:20250106T013000",
         "FREQ=WEEKLY;INTERVAL=2;BYDAY=SU,TU,SA;WKST=SU"},
        {"DTSTART;TZID=America/New_York:20250301T020000", "DTEND;TZID=America/New_York:20250301T030000",
         "FREQ=DAILY;INTERVAL=5"},
        {"DTSTART;TZID=Europe/Berlin:20250101T080000", "DTEND;TZID=Europe/Berlin:20250101T083000",
         "FREQ=WEEKLY;BYDAY=MO,WE,FR;UNTIL=20260415T060000Z"},
        {"DTSTART;VALUE=DATE:20250102", "DTEND;VALUE=DATE:20250104", "FREQ=WEEKLY;INTERVAL=3;BYDAY=TH,FR"},
        {"DTSTART;VALUE=DATE:20250102", "DTEND;VALUE=DATE:20250103", "FREQ=DAILY;UNTIL=20260301"},
        {"DTSTART:20250107T120000Z", "DTEND:20250107T130000Z", "FREQ=WEEKLY;INTERVAL=2;WKST=MO"},
        // UTC series take a path of their own.
        {"DTSTART:20250103T080000Z", "DTEND:20250103T083000Z", "FREQ=WEEKLY;BYDAY=MO,FR,SU;UNTIL=20260323T080000Z;WKST=SU"},
        {"DTSTART:20250106T233000Z", "DURATION:P1DT2H", "FREQ=DAILY;INTERVAL=3;UNTIL=20260401"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule);
        Series s = compile(std::string("BEGIN:VEVENT\r\nUID:f\r\n") + c.start + "\r\n" + c.end + "\r\nRRULE:" +
                               c.rule + "\r\nEND:VEVENT\r\n",
                           "Europe/Berlin");
        for (auto [from, to] : {std::pair{utc(2025, 1, 1), utc(2026, 12, 31)}, std::pair{utc(2026, 3, 23), utc(2026, 4, 6)},
                                std::pair{utc(2025, 10, 20), utc(2025, 11, 3)}}) {
            detail::noFastPath = true;
            auto slow = expand(s, from, to);
            detail::noFastPath = false;
            EXPECT_EQ(spans(expand(s, from, to)), spans(slow));
        }
    }
}

// Found by fuzz_ics_import: a rule from the year 1013 to 2027 was walked instance by instance on
// every save to find where the series ends. Past a bound the span now comes from UNTIL, or is left
// open for COUNT rules; instances at the far end are still found.
TEST(Recur, LongSeriesAreBoundedWithoutLosingTheirLastInstances) {
    Series until = compile(
        "BEGIN:VEVENT\r\nUID:u\r\nDTSTART;TZID=America/New_York:10130603T090000\r\n"
        "DTEND;TZID=America/New_York:10130603T100000\r\n"
        "RRULE:FREQ=DAILY;INTERVAL=2;UNTIL=20270101T000000Z;BYHOUR=9,15\r\nEND:VEVENT\r\n");
    EXPECT_TRUE(until.finite);
    const auto last = expand(until, utc(2026, 12, 1), utc(2027, 1, 1));
    ASSERT_GE(last.size(), 30u);
    EXPECT_GE(until.spanEnd, last.back().end);
    EXPECT_LE(until.spanEnd, utc(2027, 1, 3));

    Series counted = compile(
        "BEGIN:VEVENT\r\nUID:c\r\nDTSTART:20260101T000000Z\r\nDTEND:20260101T001000Z\r\n"
        "RRULE:FREQ=HOURLY;COUNT=20000\r\nEND:VEVENT\r\n");
    EXPECT_EQ(counted.spanEnd, kOpenEnd);
    // The 20000th instance starts 19999 hours after the first.
    const auto tail = expand(counted, utc(2028, 4, 1), utc(2029, 1, 1));
    ASSERT_FALSE(tail.empty());
    EXPECT_EQ(tail.back().start, utc(2026, 1, 1) + 19999 * 3600);

    Series shortOne = compile(
        "BEGIN:VEVENT\r\nUID:s\r\nDTSTART:20260101T000000Z\r\nDTEND:20260101T001000Z\r\n"
        "RRULE:FREQ=HOURLY;COUNT=100\r\nEND:VEVENT\r\n");
    EXPECT_EQ(shortOne.spanEnd, utc(2026, 1, 1) + 99 * 3600 + 600);  // short series stay exact
}

// What the store keeps of a series expands to the same instances as the series compiled from text.
TEST(Recur, AKeptSeriesExpandsAsTheCompiledOne) {
    const std::vector<std::string> bodies = {
        "BEGIN:VEVENT\r\nUID:a\r\nDTSTART;TZID=Europe/Berlin:20260105T090000\r\nDTEND;TZID=Europe/Berlin:20260105T100000\r\n"
        "RRULE:FREQ=WEEKLY;BYDAY=MO,WE\r\nEXDATE;TZID=Europe/Berlin:20260107T090000\r\n"
        "RDATE;TZID=America/New_York:20260110T080000\r\nEND:VEVENT\r\n"
        "BEGIN:VEVENT\r\nUID:a\r\nRECURRENCE-ID;TZID=Europe/Berlin:20260112T090000\r\n"
        "DTSTART;TZID=Europe/Berlin:20260112T150000\r\nDTEND;TZID=Europe/Berlin:20260112T160000\r\nEND:VEVENT\r\n",
        "BEGIN:VEVENT\r\nUID:b\r\nDTSTART;VALUE=DATE:20260101\r\nDTEND;VALUE=DATE:20260102\r\n"
        "RRULE:FREQ=MONTHLY;BYDAY=2TU;UNTIL=20261231\r\nEND:VEVENT\r\n",
        "BEGIN:VEVENT\r\nUID:c\r\nDTSTART:20260301T010000Z\r\nDURATION:P1DT2H\r\nRRULE:FREQ=YEARLY;COUNT=30\r\n"
        "RRULE:FREQ=DAILY;INTERVAL=3;UNTIL=20260401T000000Z\r\nEXDATE;VALUE=DATE:20260304\r\nEND:VEVENT\r\n",
        "BEGIN:VEVENT\r\nUID:d\r\nDTSTART:20260301T010000Z\r\nDTEND:20260301T020000Z\r\nEND:VEVENT\r\n",
    };
    for (const std::string& body : bodies) {
        SCOPED_TRACE(body);
        Series s = compile(body, "Europe/Berlin");
        std::string kept = saveSeries(s);
        ASSERT_FALSE(kept.empty());
        std::optional<Series> back = loadSeries(kept);
        ASSERT_TRUE(back);
        auto a = expand(s, utc(2025, 1, 1), utc(2030, 1, 1));
        ASSERT_FALSE(a.empty());
        EXPECT_EQ(spans(expand(*back, utc(2025, 1, 1), utc(2030, 1, 1))), spans(a));
        EXPECT_EQ(back->spanStart, s.spanStart);
        EXPECT_EQ(back->spanEnd, s.spanEnd);
        EXPECT_EQ(back->recurring(), s.recurring());
        // Cut or foreign bytes are no series.
        EXPECT_FALSE(loadSeries(std::string_view(kept).substr(0, kept.size() - 1)));
        EXPECT_FALSE(loadSeries(kept + "x"));
        EXPECT_FALSE(loadSeries("garbage"));
    }
}

// The series keeps rules in short runs: every BY list, a full one (no end mark) and a long one
// must come back, directly and through the kept bytes, as the very struct libical gave.
TEST(Recur, EveryByListSurvivesTheCompactRule) {
    icalrecurrencetype r;
    icalrecurrencetype_clear(&r);
    r.freq = ICAL_YEARLY_RECURRENCE;
    r.count = 7;
    r.interval = 2;
    r.week_start = ICAL_SUNDAY_WEEKDAY;
    r.skip = ICAL_SKIP_FORWARD;
    r.until = icaltime_null_time();
    for (short i = 0; i < ICAL_BY_MONTH_SIZE; ++i) r.by_month[i] = static_cast<short>(i + 1);  // full
    for (short i = 0; i < 40; ++i) r.by_year_day[i] = static_cast<short>(i % 2 ? -i : i + 1);
    r.by_second[0] = 5;
    r.by_minute[0] = 10;
    r.by_minute[1] = 20;
    r.by_hour[0] = 9;
    r.by_day[0] = 2;
    r.by_day[1] = -10;
    r.by_month_day[0] = -1;
    r.by_week_no[0] = 53;
    r.by_set_pos[0] = -2;
    r.by_set_pos[1] = 1;

    const Rule c = Rule::from(r);
    icalrecurrencetype back;
    c.fill(back);
    EXPECT_EQ(0, std::memcmp(&r, &back, sizeof r));

    Series s = compile("BEGIN:VEVENT\r\nUID:e\r\nDTSTART:20260301T010000Z\r\nEND:VEVENT\r\n");
    s.rules.push_back(c);
    std::optional<Series> kept = loadSeries(saveSeries(s));
    ASSERT_TRUE(kept);
    ASSERT_EQ(kept->rules.size(), 1u);
    kept->rules.begin()->fill(back);
    EXPECT_EQ(0, std::memcmp(&r, &back, sizeof r));
}

// RSCALE is text inside the component; the series outlives it (compile frees it) and must own it.
TEST(Recur, RscaleOutlivesTheComponent) {
    Series s = compile("BEGIN:VEVENT\r\nUID:f\r\nDTSTART:20260131T090000Z\r\n"
                       "RRULE:FREQ=MONTHLY;RSCALE=GREGORIAN;COUNT=3\r\nEND:VEVENT\r\n");
    ASSERT_EQ(s.rules.size(), 1u);
    EXPECT_TRUE(s.rules.begin()->hasRscale);
    EXPECT_EQ(s.rules.begin()->rscale, "gregorian");  // libical lowers it
    EXPECT_TRUE(saveSeries(s).empty());
    EXPECT_EQ(expand(s, utc(2026, 1, 1), utc(2027, 1, 1)).size(), 3u);
}

// Overrides join the rule's instances by start; on a tie the rule's instance comes first and
// overrides keep their own order, however many there are.
TEST(Recur, OverridesAreOrderedAmongTheRuleInstances) {
    auto stamp = [](UtcSeconds t) {
        WallTime w = zone::toWall("UTC", t);
        char b[32];
        std::snprintf(b, sizeof b, "%04d%02d%02dT%02d%02d%02dZ", w.year, w.month, w.day, w.hour, w.minute, w.second);
        return std::string(b);
    };
    for (int moved : {2, 12}) {
        SCOPED_TRACE(moved);
        std::string body = "BEGIN:VEVENT\r\nUID:t\r\nDTSTART:20260101T090000Z\r\nDTEND:20260101T093000Z\r\n"
                           "RRULE:FREQ=DAILY;COUNT=50\r\nEND:VEVENT\r\n";
        // Instance 30+i moves to the start of instance i (a tie); the text lists them last first.
        for (int i = moved - 1; i >= 0; --i) {
            const UtcSeconds to = utc(2026, 1, 1 + i, 9);
            body += "BEGIN:VEVENT\r\nUID:t\r\nRECURRENCE-ID:" + stamp(utc(2026, 1, 1, 9) + (30 + i) * 86400) +
                    "\r\nDTSTART:" + stamp(to) + "\r\nDTEND:" + stamp(to + 3600) + "\r\nEND:VEVENT\r\n";
        }
        Series s = compile(body);
        ASSERT_EQ(s.overrides.size(), static_cast<size_t>(moved));
        auto inst = expand(s, utc(2026, 1, 1), utc(2026, 3, 1));
        ASSERT_EQ(inst.size(), 50u);
        for (size_t k = 1; k < inst.size(); ++k) ASSERT_LE(inst[k - 1].start, inst[k].start) << k;
        for (int i = 0; i < moved; ++i) {
            EXPECT_EQ(inst[2 * i].override, -1) << i;
            EXPECT_EQ(inst[2 * i + 1].start, utc(2026, 1, 1 + i, 9)) << i;
            EXPECT_EQ(inst[2 * i + 1].override, moved - 1 - i) << i;
        }
    }
}
