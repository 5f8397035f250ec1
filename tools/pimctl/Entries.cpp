#include "Entries.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
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

std::string_view getText(ICalendarEntry* e, HRESULT (STDMETHODCALLTYPE ICalendarEntry::*getter)(BSTR*), Texts& texts) {
  Bstr b;
  (e->*getter)(b.put());
  return texts.utf8(b.get(), SysStringLen(b.get()));
}

// Width in terminal columns, counting each UTF-8 sequence once.
size_t columns(std::string_view s) {
  size_t n = 0, i = 0;
  // Eight bytes at a time while they are all ASCII, as nearly every cell is.
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t v;
    std::memcpy(&v, s.data() + i, 8);
    if ((v & 0x8080808080808080ull) != 0) break;
    n += 8;
  }
  for (; i < s.size(); ++i)
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) ++n;
  return n;
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

EntryView readEntry(ICalendarEntry* e, Texts& texts, bool forTable) {
  EntryView v;
  v.subject = getText(e, &ICalendarEntry::get_subject, texts);
  v.location = getText(e, &ICalendarEntry::get_location, texts);
  if (!forTable) v.notes = getText(e, &ICalendarEntry::get_notes, texts);
  v.id = getText(e, &ICalendarEntry::get_entryId, texts);
  if (forTable) {
    e->get_startTime(&v.start);
    e->get_endTime(&v.end);
    e->get_status(&v.status);
    return v;
  }
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
  for (const Attendee& a : e.attendees)
    attendees.push_back({{"name", std::string(a.name)}, {"address", std::string(a.address)}, {"type", attendeeTypeName(a.type)}});
  return {{"id", std::string(e.id)},
          {"subject", std::string(e.subject)},
          {"start", isoDate(e.start, inUtc)},
          {"end", isoDate(e.end, inUtc)},
          {"allDay", e.allDay},
          {"location", std::string(e.location)},
          {"status", statusName(e.status)},
          {"reminder", e.reminderOn ? nlohmann::json(e.reminderMinutes) : nlohmann::json(nullptr)},
          {"notes", std::string(e.notes)},
          {"attendees", attendees}};
}

std::string table(const std::vector<EntryView>& entries, bool inUtc, std::string_view head) {
  constexpr size_t kColumns = 6;
  constexpr size_t kPadded = kColumns - 1;  // the last column runs to the end of the line
  constexpr size_t kWidest = 40;            // a longer cell pushes only its own row out of line
  static constexpr std::array<std::string_view, kColumns> kHeader = {"START", "END", "SUBJECT", "LOCATION", "STATUS",
                                                                     "ATTENDEES"};
  // First the cells are measured, then written into a text made at its final size. A row's dates
  // are made once, into the row's own room; every other cell is read where it lies.
  struct Row {
    std::array<std::array<char, kDateRoom>, 2> dates;
    std::array<uint8_t, 2> dateSize;
    std::array<uint32_t, kPadded> cols;
  };
  const size_t rows = entries.size();
  const SameZone zone;
  std::unique_ptr<Row[]> made(new Row[rows + 1]);  // left unset: every field is written before it is read
  std::array<size_t, kColumns> width{};
  auto measure = [&](Row& r, size_t i, std::string_view cell) {
    const size_t n = columns(cell);
    r.cols[i] = static_cast<uint32_t>(n);
    width[i] = std::max(width[i], std::min(n, kWidest));
  };
  for (size_t i = 0; i < kPadded; ++i) measure(made[0], i, kHeader[i]);
  // Every padded cell takes its bytes plus (width - its columns, or nothing) + 2 spaces; the
  // dates are ASCII, a column a byte.
  size_t size = head.size() + kHeader[kPadded].size() + rows + 1;
  for (size_t row = 0; row < rows; ++row) {
    const EntryView& e = entries[row];
    Row& r = made[row + 1];
    for (int k = 0; k < 2; ++k) {
      char* const at = r.dates[k].data();
      const size_t n = static_cast<size_t>(putDate(at, k == 0 ? e.start : e.end, inUtc) - at);
      r.dateSize[k] = static_cast<uint8_t>(n);
      r.cols[k] = static_cast<uint32_t>(n);
      width[k] = std::max(width[k], std::min(n, kWidest));
    }
    measure(r, 2, e.subject);
    measure(r, 3, e.location);
    const std::string_view status = statusName(e.status);
    measure(r, 4, status);
    size += e.subject.size() + e.location.size() + status.size() + r.dateSize[0] + r.dateSize[1];
    size_t list = 0;
    for (const Attendee& a : e.attendees) {
      const size_t n = (a.name.empty() ? a.address : a.name).size();
      if (list > 0) list += 2;  // a comma once the list holds anything
      list += n;
    }
    size += list;
  }
  for (size_t i = 0; i < kPadded; ++i) size += kHeader[i].size();
  for (size_t row = 0; row <= rows; ++row)
    for (size_t i = 0; i < kPadded; ++i) size += width[i] - std::min<size_t>(width[i], made[row].cols[i]) + 2;
  std::string out(size, ' ');
  char* d = out.data();
  auto put = [&d](std::string_view text) {
    if (text.empty()) return;  // an empty view may point nowhere, which memcpy must not be given
    std::memcpy(d, text.data(), text.size());
    d += text.size();
  };
  put(head);
  auto pad = [&](const Row& r, size_t i) { d += width[i] - std::min<size_t>(width[i], r.cols[i]) + 2; };  // spaces already
  for (size_t i = 0; i < kPadded; ++i) {
    put(kHeader[i]);
    pad(made[0], i);
  }
  put(kHeader[kPadded]);
  *d++ = '\n';
  for (size_t row = 0; row < rows; ++row) {
    const EntryView& e = entries[row];
    const Row& r = made[row + 1];
    put(std::string_view(r.dates[0].data(), r.dateSize[0]));
    pad(r, 0);
    put(std::string_view(r.dates[1].data(), r.dateSize[1]));
    pad(r, 1);
    put(e.subject);
    pad(r, 2);
    put(e.location);
    pad(r, 3);
    put(statusName(e.status));
    pad(r, 4);
    char* const listStart = d;
    for (const Attendee& a : e.attendees) {
      const std::string_view shown = a.name.empty() ? a.address : a.name;
      if (d != listStart) put(", ");
      put(shown);
    }
    *d++ = '\n';
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
  for (const Attendee& a : e.attendees) {
    out << "attendee:  " << a.name;
    if (!a.address.empty()) out << " <" << a.address << ">";
    out << " (" << attendeeTypeName(a.type) << ")\n";
  }
  if (!e.notes.empty()) out << "notes:\n" << e.notes << '\n';
  return out.str();
}

}  // namespace pimctl
