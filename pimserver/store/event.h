// Reading and writing the fields of a VEVENT that the object model shows.
// Everything else in the component is left as it is.
#pragma once

#include "ical.h"

#include <cstdint>
#include <string>

namespace pim::store::event {

std::string text(icalcomponent* e, icalproperty_kind kind);
/// Sets a text property (SUMMARY, LOCATION, DESCRIPTION, UID); empty removes it.
void setText(icalcomponent* e, icalproperty_kind kind, const std::string& value);

/// 0 free, 1 tentative, 2 busy, 3 out of office (X-MICROSOFT-CDO-BUSYSTATUS, else TRANSP).
std::int32_t busyStatus(icalcomponent* e);
void setBusyStatus(icalcomponent* e, std::int32_t status);

bool reminderSet(icalcomponent* e);
std::int32_t reminderMinutes(icalcomponent* e);
/// A DISPLAY alarm `minutes` before the start when `set`; the minutes are kept
/// (X-PIM-REMINDER-MINUTES) even when no alarm is set.
void setReminder(icalcomponent* e, bool set, std::int32_t minutes);

/// Writes DTSTART/DTEND: in `zone` wall time, or as dates (all-day, the local dates
/// of the instants in `zone`, the end rounded up to a whole day). Drops DURATION.
void setTimes(icalcomponent* e, UtcSeconds start, UtcSeconds end, bool allDay, const std::string& zone);

/// A new unique UID.
std::string newUid();

}  // namespace pim::store::event
