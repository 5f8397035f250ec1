#include "ical.h"

#include <cstdlib>
#include <strings.h>
#include <mutex>

namespace pim::store::ical {
namespace {

void initOnce() {
    static std::once_flag once;
    std::call_once(once, [] { icalerror_set_errors_are_fatal(0); });
}

bool isDateProperty(icalproperty_kind k) {
    return k == ICAL_DTSTART_PROPERTY || k == ICAL_DTEND_PROPERTY || k == ICAL_EXDATE_PROPERTY ||
           k == ICAL_RDATE_PROPERTY || k == ICAL_RECURRENCEID_PROPERTY || k == ICAL_DUE_PROPERTY;
}

std::string resolveWith(const std::string& tzid, const std::map<std::string, std::string>& extra,
                        const std::string& fallback) {
    std::string z = zone::resolve(tzid);
    if (!z.empty()) return z;
    auto it = extra.find(tzid);
    if (it != extra.end()) return it->second;
    return fallback;
}

}  // namespace

ComponentPtr parse(std::string_view text) {
    initOnce();
    // libical reads a C string: a NUL would silently cut the text there.
    if (text.find('\0') != std::string_view::npos) return nullptr;
    std::string s(text);
    icalcomponent* c = icalparser_parse_string(s.c_str());
    if (!c) return nullptr;
    if (icalcomponent_isa(c) == ICAL_VCALENDAR_COMPONENT) return ComponentPtr(c);
    if (icalcomponent_isa(c) == ICAL_XROOT_COMPONENT) {
        // Several top-level components: keep the first calendar.
        icalcomponent* cal = icalcomponent_get_first_component(c, ICAL_VCALENDAR_COMPONENT);
        if (!cal) {
            icalcomponent_free(c);
            return nullptr;
        }
        icalcomponent_remove_component(c, cal);
        icalcomponent_free(c);
        return ComponentPtr(cal);
    }
    icalcomponent* cal = icalcomponent_new(ICAL_VCALENDAR_COMPONENT);
    icalcomponent_add_component(cal, c);
    return ComponentPtr(cal);
}

std::string write(icalcomponent* c) {
    char* s = icalcomponent_as_ical_string_r(c);
    if (!s) return {};
    std::string out(s);
    free(s);
    return out;
}

icalcomponent* master(icalcomponent* cal) {
    icalcomponent* first = nullptr;
    for (icalcomponent* e = icalcomponent_get_first_component(cal, ICAL_VEVENT_COMPONENT); e;
         e = icalcomponent_get_next_component(cal, ICAL_VEVENT_COMPONENT)) {
        if (!first) first = e;
        if (!icalcomponent_get_first_property(e, ICAL_RECURRENCEID_PROPERTY)) return e;
    }
    return first;
}

Time readTime(icalproperty* p) {
    icaltimetype t = icaltime_null_time();
    if (icalproperty_isa(p) == ICAL_RDATE_PROPERTY) {
        icaldatetimeperiodtype dp = icalproperty_get_rdate(p);
        t = icaltime_is_null_time(dp.time) ? dp.period.start : dp.time;
    } else {
        icalvalue* v = icalproperty_get_value(p);
        if (v && icalvalue_isa(v) == ICAL_PERIOD_VALUE) t = icalvalue_get_period(v).start;
        else if (v) t = icalvalue_get_datetime(v);
    }
    Time out;
    out.wall = WallTime{t.year, t.month, t.day, t.hour, t.minute, t.second};
    out.isDate = t.is_date != 0;
    out.isUtc = !out.isDate && icaltime_is_utc(t);
    if (icalparameter* tz = icalproperty_get_first_parameter(p, ICAL_TZID_PARAMETER))
        if (const char* s = icalparameter_get_tzid(tz)) out.tzid = s;
    return out;
}

void writeTime(icalproperty* p, const Time& t) {
    icaltimetype v = icaltime_null_time();
    v.year = t.wall.year;
    v.month = t.wall.month;
    v.day = t.wall.day;
    v.is_date = t.isDate ? 1 : 0;
    if (!t.isDate) {
        v.hour = t.wall.hour;
        v.minute = t.wall.minute;
        v.second = t.wall.second;
    }
    if (t.isUtc && !t.isDate) v.zone = icaltimezone_get_utc_timezone();
    icalproperty_remove_parameter_by_kind(p, ICAL_VALUE_PARAMETER);
    icalproperty_remove_parameter_by_kind(p, ICAL_TZID_PARAMETER);
    switch (icalproperty_isa(p)) {
    case ICAL_DTSTART_PROPERTY: icalproperty_set_dtstart(p, v); break;
    case ICAL_DTEND_PROPERTY: icalproperty_set_dtend(p, v); break;
    case ICAL_DUE_PROPERTY: icalproperty_set_due(p, v); break;
    case ICAL_EXDATE_PROPERTY: icalproperty_set_exdate(p, v); break;
    case ICAL_RECURRENCEID_PROPERTY: icalproperty_set_recurrenceid(p, v); break;
    case ICAL_RDATE_PROPERTY: {
        icaldatetimeperiodtype dp;
        dp.time = v;
        dp.period = icalperiodtype_null_period();
        icalproperty_set_rdate(p, dp);
        break;
    }
    default: return;
    }
    if (t.isDate) icalproperty_add_parameter(p, icalparameter_new_value(ICAL_VALUE_DATE));
    if (!t.isUtc && !t.isDate && !t.tzid.empty())
        icalproperty_add_parameter(p, icalparameter_new_tzid(t.tzid.c_str()));
}

std::string zoneOf(const Time& t, const std::string& fallback) {
    if (t.isUtc) return "UTC";
    if (t.isDate || t.tzid.empty()) return fallback;
    std::string z = zone::resolve(t.tzid);
    return z.empty() ? fallback : z;
}

UtcSeconds toUtc(const Time& t, const std::string& z) {
    if (t.isUtc) return zone::toUtc("UTC", t.wall);
    WallTime w = t.wall;
    if (t.isDate) w.hour = w.minute = w.second = 0;
    return zone::toUtc(z, w);
}

std::string xprop(icalcomponent* c, const char* name) {
    for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_X_PROPERTY); p;
         p = icalcomponent_get_next_property(c, ICAL_X_PROPERTY)) {
        const char* n = icalproperty_get_x_name(p);
        if (n && strcasecmp(n, name) == 0) {
            const char* v = icalproperty_get_x(p);
            return v ? v : "";
        }
    }
    return {};
}

void setXprop(icalcomponent* c, const char* name, const std::string& value) {
    for (icalproperty* p = icalcomponent_get_first_property(c, ICAL_X_PROPERTY); p;
         p = icalcomponent_get_next_property(c, ICAL_X_PROPERTY)) {
        const char* n = icalproperty_get_x_name(p);
        if (n && strcasecmp(n, name) == 0) {
            icalproperty_set_x(p, value.c_str());
            return;
        }
    }
    icalproperty* p = icalproperty_new_x(value.c_str());
    icalproperty_set_x_name(p, name);
    icalcomponent_add_property(c, p);
}

void collectZoneHints(icalcomponent* vtz, std::map<std::string, std::string>& out) {
    icalproperty* id = icalcomponent_get_first_property(vtz, ICAL_TZID_PROPERTY);
    if (!id || !icalproperty_get_tzid(id)) return;
    std::string tzid = icalproperty_get_tzid(id);
    if (!zone::resolve(tzid).empty()) return;
    std::string loc = xprop(vtz, "X-LIC-LOCATION");
    std::string z = zone::resolve(loc);
    if (!z.empty()) out[tzid] = z;
}

std::string normalize(icalcomponent* cal, const std::string& floating,
                      const std::map<std::string, std::string>& extra) {
    std::map<std::string, std::string> hints = extra;
    for (icalcomponent* tz = icalcomponent_get_first_component(cal, ICAL_VTIMEZONE_COMPONENT); tz;
         tz = icalcomponent_get_next_component(cal, ICAL_VTIMEZONE_COMPONENT))
        collectZoneHints(tz, hints);
    std::vector<icalcomponent*> zones;
    for (icalcomponent* tz = icalcomponent_get_first_component(cal, ICAL_VTIMEZONE_COMPONENT); tz;
         tz = icalcomponent_get_next_component(cal, ICAL_VTIMEZONE_COMPONENT))
        zones.push_back(tz);
    for (icalcomponent* tz : zones) {
        icalcomponent_remove_component(cal, tz);
        icalcomponent_free(tz);
    }

    std::string masterZone;
    icalcomponent* m = master(cal);
    for (icalcomponent* e = icalcomponent_get_first_component(cal, ICAL_ANY_COMPONENT); e;
         e = icalcomponent_get_next_component(cal, ICAL_ANY_COMPONENT)) {
        std::string eventZone;
        bool allDay = false;
        for (icalproperty* p = icalcomponent_get_first_property(e, ICAL_ANY_PROPERTY); p;
             p = icalcomponent_get_next_property(e, ICAL_ANY_PROPERTY)) {
            if (!isDateProperty(icalproperty_isa(p))) continue;
            Time t = readTime(p);
            std::string z;
            if (t.isUtc) z = "UTC";
            else if (t.isDate) z.clear();
            else {
                z = t.tzid.empty() ? floating : resolveWith(t.tzid, hints, floating);
                if (z != t.tzid) {
                    icalproperty_remove_parameter_by_kind(p, ICAL_TZID_PARAMETER);
                    icalproperty_add_parameter(p, icalparameter_new_tzid(z.c_str()));
                }
            }
            if (icalproperty_isa(p) == ICAL_DTSTART_PROPERTY) {
                allDay = t.isDate;
                eventZone = z;
            }
        }
        if (allDay) {
            std::string recorded = zone::resolve(xprop(e, kZoneProperty));
            eventZone = recorded.empty() ? floating : recorded;
            setXprop(e, kZoneProperty, eventZone);
        }
        if (e == m) masterZone = eventZone.empty() ? floating : eventZone;
    }
    return masterZone.empty() ? floating : masterZone;
}

icalcomponent* overrideAt(icalcomponent* cal, const std::string& zone, UtcSeconds rid) {
    icalcomponent* m = master(cal);
    for (icalcomponent* e = icalcomponent_get_first_component(cal, ICAL_VEVENT_COMPONENT); e;
         e = icalcomponent_get_next_component(cal, ICAL_VEVENT_COMPONENT)) {
        if (e == m) continue;
        icalproperty* p = icalcomponent_get_first_property(e, ICAL_RECURRENCEID_PROPERTY);
        if (!p) continue;
        Time t = readTime(p);
        if (toUtc(t, zoneOf(t, zone)) == rid) return e;
    }
    return nullptr;
}

}  // namespace pim::store::ical
