// Reading and writing calendar entries through ICalendarEntry.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <VYN_PIM_OUTLOOK.h>
#include <nlohmann/json.hpp>

#include "Text.h"

namespace pimctl {

struct AttendeeSpec {
  std::string name;
  std::string address;
  EAttendeeType type = EAttendeeType_REQUIRED;
};

// "Name <addr>:required"; the address and the type may be left out. Types: required, optional,
// resource, organizer.
std::optional<AttendeeSpec> parseAttendee(const std::string& text, std::string* error);
std::optional<ECalendarEntryStatus> parseStatus(const std::string& text);
const char* statusName(ECalendarEntryStatus s);
const char* attendeeTypeName(EAttendeeType t);

// An attendee as a listing shows it; its texts lie in the listing's Texts.
struct Attendee {
  std::string_view name;
  std::string_view address;
  EAttendeeType type = EAttendeeType_REQUIRED;
};

// What an entry shows. Its texts lie in the Texts it was read into, which must outlive it.
struct EntryView {
  std::string_view id;
  bool idValid = false;
  std::string_view subject;
  std::string_view location;
  std::string_view notes;
  DATE start = 0;
  DATE end = 0;
  bool allDay = false;
  ECalendarEntryStatus status = ECalendarEntryStatus_INVALID;
  bool reminderOn = false;
  LONG reminderMinutes = 0;
  std::vector<Attendee> attendees;  // filled from the store, which the entry does not expose
};

// What the entry shows, its texts kept in `texts`; forTable: only what table() uses and the id
// (no notes, reminder, all-day flag or id validity), for listings of thousands.
EntryView readEntry(ICalendarEntry* entry, Texts& texts, bool forTable = false);

// What `add` and `update` change; fields left empty are not touched.
struct EntryChanges {
  std::optional<std::string> subject, location, notes;
  std::optional<DATE> start, end;
  std::optional<bool> allDay;
  std::optional<LONG> reminderMinutes;
  std::optional<ECalendarEntryStatus> status;
  std::vector<AttendeeSpec> attendees;
};

void applyChanges(ICalendarEntry* entry, const EntryChanges& changes);

nlohmann::json toJson(const EntryView& e, bool inUtc);
// One table, a row per entry: start, end, subject, location, status, attendees; after `head`.
std::string table(const std::vector<EntryView>& entries, bool inUtc, std::string_view head = {});
std::string details(const EntryView& e, bool inUtc);

}  // namespace pimctl
