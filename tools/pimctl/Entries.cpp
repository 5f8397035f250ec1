#include "Entries.h"

#include <algorithm>
#include <array>
#include <sstream>
#include <string_view>

#include "Dates.h"
#include "Session.h"

namespace pimctl {
namespace {

std::string trim(std::string s) {
  auto notSpace = [](unsigned char c) { return !std::isspace(c); };
  s.erase(s.begin(), std::find_if(s.begin(), s.end(), notSpace));
  s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end());
  return s;
}

std::string getText(ICalendarEntry* e, HRESULT (STDMETHODCALLTYPE ICalendarEntry::*getter)(BSTR*)) {
  Bstr b;
  (e->*getter)(b.put());
  return b.utf8();
}

// Width in terminal columns, counting each UTF-8 sequence once.
size_t columns(std::string_view s) {
  size_t n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

std::string attendeeList(const std::vector<AttendeeSpec>& list) {
  std::string out;
  for (const AttendeeSpec& a : list) {
    if (!out.empty()) out += ", ";
    out += a.name.empty() ? a.address : a.name;
  }
  return out;
}

}  // namespace

std::optional<AttendeeSpec> parseAttendee(const std::string& text, std::string* error) {
  AttendeeSpec a;
  std::string rest = text;
  size_t gt = rest.rfind('>');
  size_t colon = rest.rfind(':');
  if (colon != std::string::npos && (gt == std::string::npos || colon > gt)) {
    std::string type = trim(rest.substr(colon + 1));
    rest = rest.substr(0, colon);
    if (type == "required")
      a.type = EAttendeeType_REQUIRED;
    else if (type == "optional")
      a.type = EAttendeeType_OPTIONAL;
    else if (type == "resource")
      a.type = EAttendeeType_RESOURCE;
    else if (type == "organizer")
      a.type = EAttendeeType_ORGANIZER;
    else {
      *error = "unknown attendee type '" + type + "' (required, optional, resource, organizer)";
      return std::nullopt;
    }
  }
  size_t lt = rest.find('<');
  if (lt != std::string::npos) {
    size_t close = rest.find('>', lt);
    if (close == std::string::npos) {
      *error = "unclosed '<' in attendee '" + text + "'";
      return std::nullopt;
    }
    a.address = trim(rest.substr(lt + 1, close - lt - 1));
    rest = rest.substr(0, lt);
  }
  a.name = trim(rest);
  if (a.name.empty()) {
    *error = "an attendee needs a name: '" + text + "'";
    return std::nullopt;
  }
  return a;
}

std::optional<ECalendarEntryStatus> parseStatus(const std::string& text) {
  if (text == "free") return ECalendarEntryStatus_FREE;
  if (text == "busy") return ECalendarEntryStatus_BUSY;
  if (text == "tentative") return ECalendarEntryStatus_TENTATIVE;
  if (text == "oof" || text == "out-of-office") return ECalendarEntryStatus_OUT_OF_OFFICE;
  return std::nullopt;
}

const char* statusName(ECalendarEntryStatus s) {
  switch (s) {
    case ECalendarEntryStatus_FREE: return "free";
    case ECalendarEntryStatus_BUSY: return "busy";
    case ECalendarEntryStatus_TENTATIVE: return "tentative";
    case ECalendarEntryStatus_OUT_OF_OFFICE: return "oof";
    default: return "-";
  }
}

const char* attendeeTypeName(EAttendeeType t) {
  switch (t) {
    case EAttendeeType_ORGANIZER: return "organizer";
    case EAttendeeType_OPTIONAL: return "optional";
    case EAttendeeType_REQUIRED: return "required";
    case EAttendeeType_RESOURCE: return "resource";
    default: return "unknown";
  }
}

EntryView readEntry(ICalendarEntry* e) {
  EntryView v;
  v.subject = getText(e, &ICalendarEntry::get_subject);
  v.location = getText(e, &ICalendarEntry::get_location);
  v.notes = getText(e, &ICalendarEntry::get_notes);
  v.id = getText(e, &ICalendarEntry::get_entryId);
  VARIANT_BOOL b = VARIANT_FALSE;
  e->get_entryIdIsValid(&b);
  v.idValid = b != VARIANT_FALSE;
  e->get_startTime(&v.start);
  e->get_endTime(&v.end);
  ECalendarEventType type = ECalendarEventType_INVALID;
  e->get_eventType(&type);
  v.allDay = type == ECalendarEventType_ALL_DAY;
  e->get_status(&v.status);
  b = VARIANT_FALSE;
  e->get_reminderOn(&b);
  v.reminderOn = b != VARIANT_FALSE;
  e->get_reminderLeadTimeMinutes(&v.reminderMinutes);
  return v;
}

void applyChanges(ICalendarEntry* e, const EntryChanges& c) {
  if (c.subject) e->put_subject(Bstr(*c.subject).get());
  if (c.location) e->put_location(Bstr(*c.location).get());
  if (c.notes) e->put_notes(Bstr(*c.notes).get());
  if (c.start) e->put_startTime(*c.start);
  if (c.end) e->put_endTime(*c.end);
  if (c.allDay) e->put_eventType(*c.allDay ? ECalendarEventType_ALL_DAY : ECalendarEventType_NORMAL);
  if (c.reminderMinutes) {
    e->put_reminderOn(*c.reminderMinutes >= 0 ? VARIANT_TRUE : VARIANT_FALSE);
    e->put_reminderLeadTimeMinutes(std::max<LONG>(0, *c.reminderMinutes));
  }
  if (c.status) e->put_status(*c.status);
  for (const AttendeeSpec& a : c.attendees) e->AddAttendee(Bstr(a.name).get(), Bstr(a.address).get(), a.type);
}

nlohmann::json toJson(const EntryView& e, bool inUtc) {
  nlohmann::json attendees = nlohmann::json::array();
  for (const AttendeeSpec& a : e.attendees)
    attendees.push_back({{"name", a.name}, {"address", a.address}, {"type", attendeeTypeName(a.type)}});
  return {{"id", e.id},
          {"subject", e.subject},
          {"start", isoDate(e.start, inUtc)},
          {"end", isoDate(e.end, inUtc)},
          {"allDay", e.allDay},
          {"location", e.location},
          {"status", statusName(e.status)},
          {"reminder", e.reminderOn ? nlohmann::json(e.reminderMinutes) : nlohmann::json(nullptr)},
          {"notes", e.notes},
          {"attendees", attendees}};
}

std::string table(const std::vector<EntryView>& entries, bool inUtc) {
  constexpr size_t kColumns = 6;
  // The texts made here are owned by `made`; the rows only look at them and at the entries.
  std::vector<std::string> made;
  made.reserve(3 * entries.size());
  std::vector<std::array<std::string_view, kColumns>> rows;
  rows.reserve(entries.size() + 1);
  rows.push_back({"START", "END", "SUBJECT", "LOCATION", "STATUS", "ATTENDEES"});
  for (const EntryView& e : entries) {
    made.push_back(formatDate(e.start, inUtc));
    made.push_back(formatDate(e.end, inUtc));
    made.push_back(attendeeList(e.attendees));
    const size_t n = made.size();
    rows.push_back({made[n - 3], made[n - 2], e.subject, e.location, statusName(e.status), made[n - 1]});
  }
  std::array<size_t, kColumns> width{};
  size_t total = 0;
  for (const auto& r : rows)
    for (size_t i = 0; i < kColumns; ++i) {
      width[i] = std::max(width[i], std::min<size_t>(columns(r[i]), 40));
      total += r[i].size();
    }
  size_t lineWidth = kColumns + 1;
  for (size_t w : width) lineWidth += w + 2;
  std::string out;
  out.reserve(total + rows.size() * lineWidth);
  for (const auto& r : rows) {
    for (size_t i = 0; i + 1 < kColumns; ++i) {
      out += r[i];
      out.append(width[i] - std::min(width[i], columns(r[i])) + 2, ' ');
    }
    out += r[kColumns - 1];
    out += '\n';
  }
  return out;
}

std::string details(const EntryView& e, bool inUtc) {
  std::ostringstream out;
  out << "id:        " << e.id << '\n'
      << "subject:   " << e.subject << '\n'
      << "start:     " << formatDate(e.start, inUtc) << '\n'
      << "end:       " << formatDate(e.end, inUtc) << (e.allDay ? "  (all day)" : "") << '\n'
      << "location:  " << e.location << '\n'
      << "status:    " << statusName(e.status) << '\n'
      << "reminder:  " << (e.reminderOn ? std::to_string(e.reminderMinutes) + " min before" : "off") << '\n';
  for (const AttendeeSpec& a : e.attendees)
    out << "attendee:  " << a.name << (a.address.empty() ? "" : " <" + a.address + ">") << " (" << attendeeTypeName(a.type)
        << ")\n";
  if (!e.notes.empty()) out << "notes:\n" << e.notes << '\n';
  return out.str();
}

}  // namespace pimctl
