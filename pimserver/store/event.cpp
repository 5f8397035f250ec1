#include "event.h"

#include <cstdio>
#include <cstdlib>
#include <random>
#include <strings.h>

namespace pim::store::event {
namespace {

constexpr const char* kBusy = "X-MICROSOFT-CDO-BUSYSTATUS";
constexpr const char* kMinutes = "X-PIM-REMINDER-MINUTES";

icalproperty* ensure(icalcomponent* e, icalproperty_kind k) {
    icalproperty* p = icalcomponent_get_first_property(e, k);
    if (!p) {
        p = icalproperty_new(k);
        icalcomponent_add_property(e, p);
    }
    return p;
}

icalcomponent* firstDisplayAlarm(icalcomponent* e) {
    for (icalcomponent* a = icalcomponent_get_first_component(e, ICAL_VALARM_COMPONENT); a;
         a = icalcomponent_get_next_component(e, ICAL_VALARM_COMPONENT))
        return a;
    return nullptr;
}

}  // namespace

std::string text(icalcomponent* e, icalproperty_kind kind) {
    icalproperty* p = icalcomponent_get_first_property(e, kind);
    if (!p) return {};
    icalvalue* v = icalproperty_get_value(p);
    if (!v) return {};
    const char* s = icalvalue_get_text(v);
    return s ? s : "";
}

void setText(icalcomponent* e, icalproperty_kind kind, const std::string& value) {
    icalproperty* p = icalcomponent_get_first_property(e, kind);
    if (value.empty()) {
        if (p) {
            icalcomponent_remove_property(e, p);
            icalproperty_free(p);
        }
        return;
    }
    if (!p) {
        p = icalproperty_new(kind);
        icalcomponent_add_property(e, p);
    }
    icalproperty_set_value(p, icalvalue_new_text(value.c_str()));
}

int32_t busyStatus(icalcomponent* e) {
    std::string b = ical::xprop(e, kBusy);
    if (strcasecmp(b.c_str(), "FREE") == 0) return 0;
    if (strcasecmp(b.c_str(), "TENTATIVE") == 0) return 1;
    if (strcasecmp(b.c_str(), "BUSY") == 0) return 2;
    if (strcasecmp(b.c_str(), "OOF") == 0) return 3;
    if (icalproperty* t = icalcomponent_get_first_property(e, ICAL_TRANSP_PROPERTY))
        if (icalproperty_get_transp(t) == ICAL_TRANSP_TRANSPARENT) return 0;
    if (icalproperty* s = icalcomponent_get_first_property(e, ICAL_STATUS_PROPERTY))
        if (icalproperty_get_status(s) == ICAL_STATUS_TENTATIVE) return 1;
    return 2;
}

void setBusyStatus(icalcomponent* e, int32_t status) {
    static const char* names[] = {"FREE", "TENTATIVE", "BUSY", "OOF"};
    if (status < 0 || status > 3) status = 2;
    ical::setXprop(e, kBusy, names[status]);
    icalproperty_set_transp(ensure(e, ICAL_TRANSP_PROPERTY), status == 0 ? ICAL_TRANSP_TRANSPARENT : ICAL_TRANSP_OPAQUE);
}

bool reminderSet(icalcomponent* e) { return firstDisplayAlarm(e) != nullptr; }

int32_t reminderMinutes(icalcomponent* e) {
    if (icalcomponent* a = firstDisplayAlarm(e)) {
        if (icalproperty* t = icalcomponent_get_first_property(a, ICAL_TRIGGER_PROPERTY)) {
            icaltriggertype tr = icalproperty_get_trigger(t);
            if (icaltime_is_null_time(tr.time)) return -icaldurationtype_as_int(tr.duration) / 60;
        }
    }
    std::string m = ical::xprop(e, kMinutes);
    if (!m.empty()) return static_cast<int32_t>(std::strtol(m.c_str(), nullptr, 10));
    return 15;
}

void setReminder(icalcomponent* e, bool set, int32_t minutes) {
    ical::setXprop(e, kMinutes, std::to_string(minutes));
    icalcomponent* a = firstDisplayAlarm(e);
    if (!set) {
        while (a) {
            icalcomponent_remove_component(e, a);
            icalcomponent_free(a);
            a = firstDisplayAlarm(e);
        }
        return;
    }
    if (!a) {
        a = icalcomponent_new(ICAL_VALARM_COMPONENT);
        icalcomponent_add_property(a, icalproperty_new_action(ICAL_ACTION_DISPLAY));
        icalcomponent_add_property(a, icalproperty_new_description("Reminder"));
        icalcomponent_add_component(e, a);
    }
    icaltriggertype tr;
    tr.time = icaltime_null_time();
    tr.duration = icaldurationtype_from_int(-60 * minutes);
    icalproperty* t = icalcomponent_get_first_property(a, ICAL_TRIGGER_PROPERTY);
    if (t) {
        icalproperty_remove_parameter_by_kind(t, ICAL_RELATED_PARAMETER);
        icalproperty_remove_parameter_by_kind(t, ICAL_VALUE_PARAMETER);
        icalproperty_set_trigger(t, tr);
    } else {
        icalcomponent_add_property(a, icalproperty_new_trigger(tr));
    }
}

void setTimes(icalcomponent* e, UtcSeconds start, UtcSeconds end, bool allDay, const std::string& zone) {
    if (end < start) end = start;
    ical::Time s, t;
    if (allDay) {
        WallTime ws = zone::toWall(zone, start);
        WallTime we = zone::toWall(zone, end);
        int64_t ds = zone::daysFromCivil(ws.year, ws.month, ws.day);
        int64_t de = zone::daysFromCivil(we.year, we.month, we.day);
        if (we.hour || we.minute || we.second) ++de;
        if (de <= ds) de = ds + 1;
        s.wall = zone::civilFromDays(ds);
        t.wall = zone::civilFromDays(de);
        s.isDate = t.isDate = true;
        ical::setXprop(e, ical::kZoneProperty, zone);
    } else {
        bool utc = zone == "UTC";
        s.wall = zone::toWall(zone, start);
        t.wall = zone::toWall(zone, end);
        s.isUtc = t.isUtc = utc;
        s.tzid = t.tzid = utc ? "" : zone;
    }
    if (icalproperty* d = icalcomponent_get_first_property(e, ICAL_DURATION_PROPERTY)) {
        icalcomponent_remove_property(e, d);
        icalproperty_free(d);
    }
    ical::writeTime(ensure(e, ICAL_DTSTART_PROPERTY), s);
    ical::writeTime(ensure(e, ICAL_DTEND_PROPERTY), t);
}

std::string newUid() {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%016llX%016llX@pimserver", static_cast<unsigned long long>(rng()),
                  static_cast<unsigned long long>(rng()));
    return buf;
}

}  // namespace pim::store::event
