#include "recur.h"

#include <algorithm>
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

}  // namespace

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
        s.rules.push_back(r);
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
        s.spanEnd = s.end;
        for (const Instance& i : expand(s, -kOpenEnd, kOpenEnd, 1000000)) s.spanEnd = std::max(s.spanEnd, i.end);
        for (auto& o : s.overrides) s.spanEnd = std::max(s.spanEnd, o.end);
    }
    return s;
}

std::vector<Instance> expand(const Series& s, UtcSeconds from, UtcSeconds to, std::size_t limit) {
    std::vector<Instance> out;
    if (to < from) return out;
    auto add = [&](UtcSeconds b, UtcSeconds e) {
        if (b <= to && e >= from) out.push_back({b, e, b, -1});
    };
    add(s.start, s.end);  // DTSTART is always an instance
    const size_t cap = limit + s.exdates.size() + s.exdays.size() + s.overrides.size() + 1;

    for (const icalrecurrencetype& rule : s.rules) {
        icalrecur_iterator* it = icalrecur_iterator_new(rule, toIcal(s.startWall, s.allDay));
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
    for (size_t k = 0; k < s.overrides.size(); ++k) {
        const auto& o = s.overrides[k];
        if (o.start <= to && o.end >= from && !excluded(o.recurrenceId))
            out.push_back({o.start, o.end, o.recurrenceId, static_cast<int>(k)});
    }
    std::stable_sort(out.begin(), out.end(), [](const Instance& a, const Instance& b) { return a.start < b.start; });
    if (out.size() > limit) out.resize(limit);
    return out;
}

}  // namespace pim::store
