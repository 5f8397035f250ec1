// iCalendar helpers shared by the store and the object model: parsing, writing,
// reading and writing times in the store's normal form.
#pragma once

#include "zone.h"

#include <libical/ical.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pim::store::ical {

struct ComponentDeleter {
    void operator()(icalcomponent* c) const { icalcomponent_free(c); }
};
using ComponentPtr = std::unique_ptr<icalcomponent, ComponentDeleter>;

/// Parses iCalendar text. A bare VEVENT (or other component) is wrapped in a
/// VCALENDAR. Null when the text holds no component, or a NUL byte.
ComponentPtr parse(std::string_view text);

/// The text of a component, CRLF line ends.
std::string write(icalcomponent* c);

/// The first VEVENT without RECURRENCE-ID, or the first VEVENT; null if none.
icalcomponent* master(icalcomponent* vcalendar);

/// A DATE or DATE-TIME value as written: wall fields plus the zone it names.
struct Time {
    WallTime wall;
    bool isDate = false;
    bool isUtc = false;
    std::string tzid;  // the TZID parameter, as written (or normalised)
};

Time readTime(icalproperty* p);
/// The value of a date property (DTSTART, DTEND, EXDATE, RDATE, RECURRENCE-ID).
void writeTime(icalproperty* p, const Time& t);

/// Zone in which a value is read: UTC, its TZID resolved, or `fallback`.
std::string zoneOf(const Time& t, const std::string& fallback);
UtcSeconds toUtc(const Time& t, const std::string& zone);

/// Name of the X-property that records the zone of an all-day event.
inline constexpr const char* kZoneProperty = "X-PIM-ZONE";

/// Rewrites every TZID in the VEVENTs of `vcalendar` to an Olson name, gives floating
/// times the zone `floating`, records the zone of all-day events in X-PIM-ZONE and
/// drops VTIMEZONEs (zones are named by Olson id from then on). `extraZones` maps
/// TZIDs the resolver does not know (from VTIMEZONE X-LIC-LOCATION) to Olson names.
/// Returns the event's zone (the master's DTSTART zone).
std::string normalize(icalcomponent* vcalendar, const std::string& floating,
                      const std::map<std::string, std::string>& extraZones = {});

/// Maps a TZID of a VTIMEZONE to an Olson name when the resolver cannot, from its
/// X-LIC-LOCATION; fills `out`.
void collectZoneHints(icalcomponent* vtimezone, std::map<std::string, std::string>& out);

/// The VEVENT overriding the instance whose original start is `rid` (RECURRENCE-ID read in
/// `zone` when it names none), or null.
icalcomponent* overrideAt(icalcomponent* vcalendar, const std::string& zone, UtcSeconds rid);

/// Text of an X-property, empty if absent.
std::string xprop(icalcomponent* c, const char* name);
void setXprop(icalcomponent* c, const char* name, const std::string& value);

}  // namespace pim::store::ical
