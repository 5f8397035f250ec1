#include "recur.h"

#include "bytes.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

namespace pim::store {
namespace {

icaltimetype toIcal(const WallTime& w, bool isDate) {
    icaltimetype t = icaltime_null_time();
    t.year = w.year;
    t.month = w.month;
    t.day = w.day;
    t.is_date = isDate ? 1 : 0;
    if (!isDate) {
        t.hour = w.hour;
        t.minute = w.minute;
        t.second = w.second;
    }
    return t;
}

WallTime fromIcal(const icaltimetype& t) { return WallTime{t.year, t.month, t.day, t.hour, t.minute, t.second}; }

WallTime addDays(WallTime w, int days) {
    WallTime d = zone::civilFromDays(zone::daysFromCivil(w.year, w.month, w.day) + days);
    d.hour = w.hour;
    d.minute = w.minute;
    d.second = w.second;
    return d;
}

WallTime addWallSeconds(const WallTime& w, int64_t secs) {
    int64_t t = zone::daysFromCivil(w.year, w.month, w.day) * 86400 + w.hour * 3600 + w.minute * 60 + w.second + secs;
    int64_t days = t >= 0 ? t / 86400 : -((-t + 86399) / 86400);
    int64_t rest = t - days * 86400;
    WallTime r = zone::civilFromDays(days);
    r.hour = static_cast<int>(rest / 3600);
    r.minute = static_cast<int>(rest / 60 % 60);
    r.second = static_cast<int>(rest % 60);
    return r;
}

UtcSeconds instanceEnd(const Series& s, const WallTime& wall, UtcSeconds start) {
    if (s.nominalDays == 0 && s.wallSeconds == 0) return start + s.exactSeconds;
    return zone::toUtc(s.zone, addWallSeconds(addDays(wall, s.nominalDays), s.wallSeconds)) + s.exactSeconds;
}

int64_t localDay(const std::string& z, UtcSeconds t) {
    WallTime w = zone::toWall(z, t);
    return zone::daysFromCivil(w.year, w.month, w.day);
}

int64_t civilSeconds(const WallTime& w) {
    return zone::daysFromCivil(w.year, w.month, w.day) * 86400 + w.hour * 3600 + w.minute * 60 + w.second;
}

// Calls f(list, array, its size) for each BY list of libical's struct, in Rule's order.
template <class R, class F>
void eachList(R& r, F f) {
    f(Rule::Second, r.by_second, std::size(r.by_second));
    f(Rule::Minute, r.by_minute, std::size(r.by_minute));
    f(Rule::Hour, r.by_hour, std::size(r.by_hour));
    f(Rule::Day, r.by_day, std::size(r.by_day));
    f(Rule::MonthDay, r.by_month_day, std::size(r.by_month_day));
    f(Rule::YearDay, r.by_year_day, std::size(r.by_year_day));
    f(Rule::WeekNo, r.by_week_no, std::size(r.by_week_no));
    f(Rule::Month, r.by_month, std::size(r.by_month));
    f(Rule::SetPos, r.by_set_pos, std::size(r.by_set_pos));
}

// DAILY and WEEKLY rules without COUNT and with plain BYDAY lists, the shape of
// nearly every meeting series, are expanded by date arithmetic: libical's iterator
// costs tens of microseconds to set up per series.
bool simpleRule(const Rule& r) {
    if (detail::noFastPath) return false;
    if (r.freq != ICAL_DAILY_RECURRENCE && r.freq != ICAL_WEEKLY_RECURRENCE) return false;
    if (r.count > 0 || r.hasRscale) return false;
    for (int l = 0; l < Rule::kLists; ++l)
        if (l != Rule::Day && r.size(static_cast<Rule::List>(l)) != 0) return false;
    const short* days = r.list(Rule::Day);
    if (r.freq == ICAL_DAILY_RECURRENCE) return r.size(Rule::Day) == 0;
    for (std::size_t i = 0; i < r.size(Rule::Day); ++i)
        if (icalrecurrencetype_day_position(days[i]) != 0) return false;
    return true;
}

int weekdayOf(int64_t day) { return static_cast<int>(((day + 4) % 7 + 7) % 7) + 1; }  // 1 = Sunday, as libical

void expandSimple(const Series& s, const Rule& r, UtcSeconds from, UtcSeconds to,
                  std::vector<Instance>& out, size_t cap) {
    const int64_t d0 = zone::daysFromCivil(s.startWall.year, s.startWall.month, s.startWall.day);
    const int64_t tod = s.allDay ? 0 : s.startWall.hour * 3600 + s.startWall.minute * 60 + s.startWall.second;
    // In UTC (the zone of most series) wall time is the instant: no calendar conversions.
    const bool utc = s.zone.empty() || s.zone == "UTC" || s.zone == "Etc/UTC" || s.zone == "GMT" || s.zone == "Etc/GMT";
    auto dayOf = [&](UtcSeconds t) { return utc ? zone::floorDiv(t, 86400) : localDay(s.zone, t); };
    const bool fixedLength = s.nominalDays == 0 && s.wallSeconds == 0;
    int64_t lo = d0, hi = INT64_MAX / 4;
    if (from > s.start) lo = std::max(lo, dayOf(from - s.maxLength) - 1);
    if (to < kOpenEnd / 2) hi = dayOf(to) + 1;
    int64_t untilSecs = INT64_MAX;
    if (!icaltime_is_null_time(r.until)) {
        untilSecs = civilSeconds(fromIcal(r.until));
        if (r.until.is_date && !s.allDay) untilSecs += 86399;
        hi = std::min(hi, untilSecs / 86400 + 1);
    }
    const int64_t n = std::max<int64_t>(1, r.interval);
    unsigned mask = 0;
    if (r.freq == ICAL_WEEKLY_RECURRENCE) {
        const short* days = r.list(Rule::Day);
        for (std::size_t i = 0; i < r.size(Rule::Day); ++i)
            mask |= 1u << static_cast<int>(icalrecurrencetype_day_day_of_week(days[i]));
        if (!mask) mask = 1u << weekdayOf(d0);
    }
    const int wkst = r.week_start == ICAL_NO_WEEKDAY ? ICAL_MONDAY_WEEKDAY : static_cast<int>(r.week_start);
    auto weekStart = [&](int64_t d) { return d - ((weekdayOf(d) - wkst + 7) % 7); };
    const int64_t ws0 = weekStart(d0);
    auto emit = [&](int64_t d) -> bool {  // false: past the window
        const int64_t local = d * 86400 + tod;
        if (local > untilSecs) return false;
        WallTime w;
        if (!utc || !fixedLength) {
            w = zone::civilFromDays(d);
            w.hour = static_cast<int>(tod / 3600);
            w.minute = static_cast<int>(tod / 60 % 60);
            w.second = static_cast<int>(tod % 60);
        }
        UtcSeconds b = utc ? local : zone::toUtc(s.zone, w);
        if (b > to) return false;
        UtcSeconds e = std::max(b, fixedLength ? b + s.exactSeconds : instanceEnd(s, w, b));
        if (e >= from && b != s.start) out.push_back({b, e, b, -1});
        return out.size() <= cap;
    };
    if (r.freq == ICAL_DAILY_RECURRENCE) {
        int64_t k = lo > d0 ? (lo - d0 + n - 1) / n : 0;
        for (int64_t d = d0 + k * n; d <= hi; d += n)
            if (!emit(d)) break;
        return;
    }
    // Weekly: start at the first week of the window that the interval allows.
    int64_t week = (weekStart(lo) - ws0) / 7;
    if (week % n) week += n - week % n;
    for (int64_t wsd = ws0 + week * 7; wsd <= hi; wsd += 7 * n) {
        int64_t d = std::max({wsd, d0, lo});
        for (int wd = weekdayOf(d); d < wsd + 7; ++d, wd = wd % 7 + 1) {
            if (!(mask & (1u << wd))) continue;
            if (d > hi || !emit(d)) return;
        }
    }
}

}  // namespace

namespace detail {
bool noFastPath = false;
}

void Rule::add(List l, short v) {
    const std::size_t n = off_[kLists], at = off_[l + 1];
    if (n < kSmall) {
        std::copy_backward(small_ + at, small_ + n, small_ + n + 1);
        small_[at] = v;
    } else {
        if (big_.empty()) big_.assign(small_, small_ + kSmall);
        big_.insert(big_.begin() + static_cast<std::ptrdiff_t>(at), v);
    }
    for (int k = l + 1; k <= kLists; ++k) ++off_[k];
}

Rule Rule::from(const icalrecurrencetype& r) {
    Rule c;
    c.freq = r.freq;
    c.until = r.until;
    c.count = r.count;
    c.interval = r.interval;
    c.week_start = r.week_start;
    c.skip = r.skip;
    c.hasRscale = r.rscale != nullptr;
    if (r.rscale) c.rscale = r.rscale;
    eachList(r, [&](List l, const short* a, std::size_t cap) {
        for (std::size_t i = 0; i < cap && a[i] != ICAL_RECURRENCE_ARRAY_MAX; ++i) c.add(l, a[i]);
    });
    return c;
}

void Rule::fill(icalrecurrencetype& r) const {
    icalrecurrencetype_clear(&r);
    r.freq = freq;
    r.until = until;
    r.count = count;
    r.interval = interval;
    r.week_start = week_start;
    r.skip = skip;
    r.rscale = hasRscale ? const_cast<char*>(rscale.c_str()) : nullptr;
    eachList(r, [&](List l, short* a, std::size_t) { std::copy_n(list(l), size(l), a); });
}

Series compileSeries(icalcomponent* cal, const std::string& fallback) {
    icalcomponent* m = ical::master(cal);
    if (!m) throw std::invalid_argument("no VEVENT");
    icalproperty* ds = icalcomponent_get_first_property(m, ICAL_DTSTART_PROPERTY);
    if (!ds) throw std::invalid_argument("VEVENT without DTSTART");
    Series s;
    ical::Time st = ical::readTime(ds);
    s.allDay = st.isDate;
    if (s.allDay) {
        std::string z = zone::resolve(ical::xprop(m, ical::kZoneProperty));
        s.zone = z.empty() ? fallback : z;
    } else {
        s.zone = ical::zoneOf(st, fallback);
    }
    s.startWall = st.wall;
    if (s.allDay) s.startWall.hour = s.startWall.minute = s.startWall.second = 0;
    else if (st.isUtc) s.startWall = st.wall;
    s.start = ical::toUtc(st, s.zone);

    if (icalproperty* de = icalcomponent_get_first_property(m, ICAL_DTEND_PROPERTY)) {
        ical::Time et = ical::readTime(de);
        if (s.allDay) {
            s.nominalDays = static_cast<int>(zone::daysFromCivil(et.wall.year, et.wall.month, et.wall.day) -
                                             zone::daysFromCivil(st.wall.year, st.wall.month, st.wall.day));
        } else if (ical::zoneOf(et, s.zone) == s.zone && !st.isUtc) {
            auto secs = [](const WallTime& w) {
                return zone::daysFromCivil(w.year, w.month, w.day) * 86400 + w.hour * 3600 + w.minute * 60 + w.second;
            };
            s.wallSeconds = secs(et.wall) - secs(st.wall);
        } else {
            s.exactSeconds = ical::toUtc(et, ical::zoneOf(et, s.zone)) - s.start;
        }
    } else if (icalproperty* du = icalcomponent_get_first_property(m, ICAL_DURATION_PROPERTY)) {
        icaldurationtype d = icalproperty_get_duration(du);
        int sign = d.is_neg ? -1 : 1;
        s.nominalDays = sign * static_cast<int>(d.weeks * 7 + d.days);
        s.exactSeconds = sign * static_cast<int64_t>(d.hours * 3600 + d.minutes * 60 + d.seconds);
    } else if (s.allDay) {
        s.nominalDays = 1;
    }
    s.nominalDays = std::max(s.nominalDays, 0);
    s.wallSeconds = std::max<int64_t>(s.wallSeconds, 0);
    s.exactSeconds = std::max<int64_t>(s.exactSeconds, 0);
    s.end = std::max(s.start, instanceEnd(s, s.startWall, s.start));
    // A daylight-saving change can stretch an instance by an hour.
    s.maxLength = s.end - s.start + 3600;

    for (icalproperty* p = icalcomponent_get_first_property(m, ICAL_RRULE_PROPERTY); p;
         p = icalcomponent_get_next_property(m, ICAL_RRULE_PROPERTY)) {
        icalrecurrencetype r = icalproperty_get_rrule(p);
        if (r.freq == ICAL_NO_RECURRENCE) continue;
        if (!icaltime_is_null_time(r.until)) {
            // Compare UNTIL in the wall time the iterator walks in.
            if (icaltime_is_utc(r.until) && !s.allDay && s.zone != "UTC") {
                r.until = toIcal(zone::toWall(s.zone, zone::toUtc("UTC", fromIcal(r.until))), false);
            } else if (r.until.is_date && !s.allDay) {
                r.until.is_date = 0;
                r.until.hour = 23;
                r.until.minute = 59;
                r.until.second = 59;
            } else if (!r.until.is_date && s.allDay) {
                r.until.is_date = 1;
            }
            r.until.zone = nullptr;
        } else if (r.count <= 0) {
            s.finite = false;
        }
        s.rules.push_back(Rule::from(r));
    }
    for (icalproperty* p = icalcomponent_get_first_property(m, ICAL_EXDATE_PROPERTY); p;
         p = icalcomponent_get_next_property(m, ICAL_EXDATE_PROPERTY)) {
        ical::Time t = ical::readTime(p);
        if (t.isDate && !s.allDay) s.exdays.push_back(zone::daysFromCivil(t.wall.year, t.wall.month, t.wall.day));
        else s.exdates.push_back(ical::toUtc(t, ical::zoneOf(t, s.zone)));
    }
    std::sort(s.exdates.begin(), s.exdates.end());
    for (icalproperty* p = icalcomponent_get_first_property(m, ICAL_RDATE_PROPERTY); p;
         p = icalcomponent_get_next_property(m, ICAL_RDATE_PROPERTY)) {
        icaldatetimeperiodtype dp = icalproperty_get_rdate(p);
        ical::Time t = ical::readTime(p);
        std::string z = ical::zoneOf(t, s.zone);
        UtcSeconds b = ical::toUtc(t, z);
        UtcSeconds e;
        if (icaltime_is_null_time(dp.time) && !icaltime_is_null_time(dp.period.end)) {
            ical::Time et = t;
            et.wall = fromIcal(dp.period.end);
            et.isUtc = icaltime_is_utc(dp.period.end);
            e = ical::toUtc(et, et.isUtc ? "UTC" : z);
        } else if (icaltime_is_null_time(dp.time) && !icaldurationtype_is_null_duration(dp.period.duration)) {
            e = b + icaldurationtype_as_int(dp.period.duration);
        } else {
            e = instanceEnd(s, zone::toWall(s.zone, b), b);
        }
        s.rdates.push_back({b, std::max(b, e)});
        s.maxLength = std::max(s.maxLength, std::max(b, e) - b);
    }
    std::sort(s.rdates.begin(), s.rdates.end(), [](auto& a, auto& b) { return a.start < b.start; });

    for (icalcomponent* e = icalcomponent_get_first_component(cal, ICAL_VEVENT_COMPONENT); e;
         e = icalcomponent_get_next_component(cal, ICAL_VEVENT_COMPONENT)) {
        icalproperty* rid = icalcomponent_get_first_property(e, ICAL_RECURRENCEID_PROPERTY);
        if (e == m || !rid) continue;
        ical::Time rt = ical::readTime(rid);
        Series::Override o;
        o.recurrenceId = ical::toUtc(rt, ical::zoneOf(rt, s.zone));
        icalproperty* ods = icalcomponent_get_first_property(e, ICAL_DTSTART_PROPERTY);
        ical::Time ot = ods ? ical::readTime(ods) : rt;
        o.start = ical::toUtc(ot, ical::zoneOf(ot, s.zone));
        if (icalproperty* ode = icalcomponent_get_first_property(e, ICAL_DTEND_PROPERTY)) {
            ical::Time et = ical::readTime(ode);
            o.end = ical::toUtc(et, ical::zoneOf(et, s.zone));
        } else if (icalproperty* du = icalcomponent_get_first_property(e, ICAL_DURATION_PROPERTY)) {
            o.end = o.start + icaldurationtype_as_int(icalproperty_get_duration(du));
        } else {
            o.end = instanceEnd(s, zone::toWall(s.zone, o.start), o.start);
        }
        o.end = std::max(o.end, o.start);
        s.overrides.push_back(o);
    }

    s.spanStart = s.start;
    for (auto& r : s.rdates) s.spanStart = std::min(s.spanStart, r.start);
    for (auto& o : s.overrides) s.spanStart = std::min(s.spanStart, o.start);
    if (!s.finite) {
        s.spanEnd = kOpenEnd;
    } else if (!s.recurring()) {
        s.spanEnd = s.end;
        for (auto& o : s.overrides) s.spanEnd = std::max(s.spanEnd, o.end);
    } else {
        // A long series is not walked to its end on every save (years of hourly instances took
        // seconds): past a bound, UNTIL limits the span, or it is left open, which only widens
        // what the span index answers.
        constexpr std::size_t kWalked = 10000;
        const std::vector<Instance> first = expand(s, -kOpenEnd, kOpenEnd, kWalked);
        s.spanEnd = s.end;
        for (const Instance& i : first) s.spanEnd = std::max(s.spanEnd, i.end);
        if (first.size() >= kWalked) {
            bool bounded = true;
            for (const Rule& r : s.rules) {
                if (icaltime_is_null_time(r.until)) {
                    bounded = false;
                    break;
                }
                WallTime u = fromIcal(r.until);
                if (r.until.is_date) u.hour = u.minute = u.second = 0;
                s.spanEnd = std::max(s.spanEnd, zone::toUtc(s.zone, u) + s.maxLength + 86400);
            }
            for (auto& r : s.rdates) s.spanEnd = std::max(s.spanEnd, r.end);
            if (!bounded) s.spanEnd = kOpenEnd;
        }
        for (auto& o : s.overrides) s.spanEnd = std::max(s.spanEnd, o.end);
    }
    return s;
}

std::vector<Instance> expand(const Series& s, UtcSeconds from, UtcSeconds to, std::size_t limit) {
    std::vector<Instance> out;
    expand(s, from, to, limit, out);
    return out;
}

void expand(const Series& s, UtcSeconds from, UtcSeconds to, std::size_t limit, std::vector<Instance>& out) {
    out.clear();
    if (to < from) return;
    auto add = [&](UtcSeconds b, UtcSeconds e) {
        if (b <= to && e >= from) out.push_back({b, e, b, -1});
    };
    add(s.start, s.end);  // DTSTART is always an instance
    const size_t cap = limit + s.exdates.size() + s.exdays.size() + s.overrides.size() + 1;

    for (const Rule& rule : s.rules) {
        if (simpleRule(rule)) {
            expandSimple(s, rule, from, to, out, cap * 2);
            continue;
        }
        icalrecurrencetype full;
        rule.fill(full);
        icalrecur_iterator* it = icalrecur_iterator_new(full, toIcal(s.startWall, s.allDay));
        if (!it) continue;
        // Jump near the window; libical cannot do so for rules with COUNT.
        UtcSeconds jump = from - s.maxLength - 2 * 86400;
        if (rule.count <= 0 && jump > s.start) {
            WallTime jw = zone::toWall(s.zone, jump);
            if (s.allDay) jw.hour = jw.minute = jw.second = 0;
            icalrecur_iterator_set_start(it, toIcal(jw, s.allDay));
        }
        size_t steps = 0;
        for (icaltimetype t = icalrecur_iterator_next(it); !icaltime_is_null_time(t);
             t = icalrecur_iterator_next(it)) {
            if (++steps > 5000000) break;
            WallTime w = fromIcal(t);
            if (s.allDay) w.hour = w.minute = w.second = 0;
            UtcSeconds b = zone::toUtc(s.zone, w);
            if (b > to) break;
            UtcSeconds e = std::max(b, instanceEnd(s, w, b));
            if (e < from || b == s.start) continue;
            out.push_back({b, e, b, -1});
            if (out.size() > cap * 2) break;
        }
        icalrecur_iterator_free(it);
    }
    for (const auto& r : s.rdates) add(r.start, r.end);

    std::sort(out.begin(), out.end(), [](const Instance& a, const Instance& b) { return a.start < b.start; });
    out.erase(std::unique(out.begin(), out.end(),
                          [](const Instance& a, const Instance& b) { return a.recurrenceId == b.recurrenceId; }),
              out.end());
    auto excluded = [&](UtcSeconds rid) {
        if (std::binary_search(s.exdates.begin(), s.exdates.end(), rid)) return true;
        if (!s.exdays.empty()) {
            int64_t d = localDay(s.zone, rid);
            return std::find(s.exdays.begin(), s.exdays.end(), d) != s.exdays.end();
        }
        return false;
    };
    auto overridden = [&](UtcSeconds rid) {
        for (const auto& o : s.overrides)
            if (o.recurrenceId == rid) return true;
        return false;
    };
    out.erase(std::remove_if(out.begin(), out.end(),
                             [&](const Instance& i) { return excluded(i.recurrenceId) || overridden(i.recurrenceId); }),
              out.end());
    const size_t sorted = out.size();
    for (size_t k = 0; k < s.overrides.size(); ++k) {
        const auto& o = s.overrides[k];
        if (o.start <= to && o.end >= from && !excluded(o.recurrenceId))
            out.push_back({o.start, o.end, o.recurrenceId, static_cast<int>(k)});
    }
    // Only the overrides are out of place; a few are inserted where stable_sort would put them
    // (after instances of the same start), without its buffer.
    if (out.size() - sorted > 8) {
        std::stable_sort(out.begin(), out.end(), [](const Instance& a, const Instance& b) { return a.start < b.start; });
    } else {
        for (size_t i = sorted; i < out.size(); ++i) {
            const Instance x = out[i];
            size_t j = i;
            for (; j > 0 && out[j - 1].start > x.start; --j) out[j] = out[j - 1];
            out[j] = x;
        }
    }
    if (out.size() > limit) out.resize(limit);
}

}  // namespace pim::store

namespace pim::store {

namespace {

// Changes whenever the layout below does.
constexpr std::uint32_t kSeriesFormat = 0x53520001u;

template <class T>
void putAll(bytes::Writer& w, const std::vector<T>& v) {
    w.num<std::uint32_t>(static_cast<std::uint32_t>(v.size()));
    for (const T& x : v) w.num(x);
}

template <class T>
bool getAll(bytes::Reader& r, std::vector<T>& v) {
    std::uint32_t n = r.num<std::uint32_t>();
    if (!r.ok || n > (1u << 20)) return false;
    v.resize(n);
    for (T& x : v) x = r.num<T>();
    return r.ok;
}

// A rule without its pointers, each BY list only as long as it is (most are empty); the
// sizes are those of libical's struct, which older builds read into.
void putRule(bytes::Writer& w, const Rule& r) {
    w.num(r.freq).num(r.until.year).num(r.until.month).num(r.until.day).num(r.until.hour);
    w.num(r.until.minute).num(r.until.second).num(r.until.is_date).num(r.until.is_daylight);
    w.num(r.count).num(r.interval).num(r.week_start).num(r.skip);
    for (int k = 0; k < Rule::kLists; ++k) {
        const auto l = static_cast<Rule::List>(k);
        const auto n = static_cast<std::uint16_t>(r.size(l));
        w.num(n);
        for (std::uint16_t i = 0; i < n; ++i) w.num(r.list(l)[i]);
    }
}

// `r` arrives as made by Rule's constructor.
bool getRule(bytes::Reader& in, Rule& r) {
    r.freq = in.num<decltype(r.freq)>();
    r.until.year = in.num<int>();
    r.until.month = in.num<int>();
    r.until.day = in.num<int>();
    r.until.hour = in.num<int>();
    r.until.minute = in.num<int>();
    r.until.second = in.num<int>();
    r.until.is_date = in.num<int>();
    r.until.is_daylight = in.num<int>();
    r.until.zone = nullptr;
    r.count = in.num<int>();
    r.interval = in.num<short>();
    r.week_start = in.num<decltype(r.week_start)>();
    r.skip = in.num<decltype(r.skip)>();
    static const icalrecurrencetype shape{};
    bool fits = true;
    eachList(shape, [&](Rule::List l, const short*, std::size_t cap) {
        if (!fits) return;
        std::uint16_t n = in.num<std::uint16_t>();
        if (n > cap) {
            fits = false;
            return;
        }
        for (std::uint16_t i = 0; i < n; ++i) r.add(l, in.num<short>());
    });
    return fits && in.ok;
}

}  // namespace

std::string saveSeries(const Series& s) {
    bytes::Writer w;
    w.num(kSeriesFormat).text(s.zone).num<std::uint8_t>(s.allDay).num(s.startWall).num(s.start).num(s.end);
    w.num(s.nominalDays).num(s.wallSeconds).num(s.exactSeconds);
    w.num<std::uint32_t>(static_cast<std::uint32_t>(s.rules.size()));
    for (const Rule& r : s.rules) {
        // Pointers cannot be kept; compileSeries clears UNTIL's zone, so only RSCALE stops us.
        if (r.hasRscale || r.until.zone) return {};
        putRule(w, r);
    }
    w.num<std::uint8_t>(s.finite);
    putAll(w, s.exdates);
    putAll(w, s.exdays);
    putAll(w, s.rdates);
    putAll(w, s.overrides);
    w.num(s.spanStart).num(s.spanEnd).num(s.maxLength);
    return w.take();
}

namespace {

bool loadInto(std::string_view in, Series& s) {
    bytes::Reader r(in);
    if (r.num<std::uint32_t>() != kSeriesFormat) return false;
    s.zone = r.text<std::string>();
    s.allDay = r.num<std::uint8_t>() != 0;
    s.startWall = r.num<WallTime>();
    s.start = r.num<UtcSeconds>();
    s.end = r.num<UtcSeconds>();
    s.nominalDays = r.num<int>();
    s.wallSeconds = r.num<std::int64_t>();
    s.exactSeconds = r.num<std::int64_t>();
    std::uint32_t rules = r.num<std::uint32_t>();
    if (!r.ok || rules > 1024) return false;
    for (std::uint32_t i = 0; i < rules; ++i) {
        s.rules.push_back(Rule{});
        if (!getRule(r, s.rules.back())) return false;
    }
    s.finite = r.num<std::uint8_t>() != 0;
    if (!getAll(r, s.exdates) || !getAll(r, s.exdays) || !getAll(r, s.rdates) || !getAll(r, s.overrides))
        return false;
    s.spanStart = r.num<UtcSeconds>();
    s.spanEnd = r.num<UtcSeconds>();
    s.maxLength = r.num<UtcSeconds>();
    return r.done();
}

}  // namespace

std::optional<Series> loadSeries(std::string_view in) {
    Series s;
    if (!loadInto(in, s)) return std::nullopt;
    return s;
}

std::shared_ptr<const Series> loadSharedSeries(std::string_view in) {
    auto s = std::make_shared<Series>();
    if (!loadInto(in, *s)) return nullptr;
    return s;
}

}  // namespace pim::store
