// The attendees of an appointment as its iCalendar text names them.
#pragma once
#include <string_view>
#include <vector>

#include "Entries.h"

namespace pimctl {

// The attendees of the first VEVENT of an item's iCalendar text (not those of its alarms), their
// texts kept in `texts`.
std::vector<Attendee> attendeesOf(std::string_view ical, Texts& texts);

}  // namespace pimctl
