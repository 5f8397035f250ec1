#include "Commands.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include <ComPtr.h>
#include <nlohmann/json.hpp>

#include "Dates.h"
#include "Session.h"

namespace pimctl {
namespace {

int fail(const Outcome& o) {
  std::cerr << "pimctl: " << o.message << "\n";
  return o.exitStatus;
}

int usage(const std::string& message, const Options& opt) {
  std::cerr << "pimctl: " << message << "\n" << (opt.usageText ? opt.usageText() : std::string());
  return kExitUsage;
}

void print(const nlohmann::json& j) { std::cout << j.dump(2) << "\n"; }

// Parses every date option given; on a bad one says so and returns false.
bool readDate(const std::string& text, std::optional<DATE>* out, std::string* error) {
  if (text.empty()) return true;
  *out = parseDate(text, userShortDateFormat(), error);
  return out->has_value();
}

bool isDayOnly(const std::string& text) { return text.find_first_of(" T:") == std::string::npos; }

// Session, logon and calendar in one go; the first failure becomes the exit status.
struct Calendar {
  Session session;
  ComPtr<ICalendarDatabase> db;
  int open() {
    Outcome o = session.activate();
    if (o.exitStatus != kExitOk) return fail(o);
    o = session.logon(nullptr);
    if (o.exitStatus != kExitOk) return fail(o);
    ICalendarDatabase* raw = nullptr;
    o = session.calendar(&raw);
    if (o.exitStatus != kExitOk) return fail(o);
    db = ComPtr<ICalendarDatabase>(raw);  // our own reference: the adapter keeps its one
    return kExitOk;
  }
};

int calendarFailure(HRESULT hr, ECalendarDatabaseResult r) {
  if (FAILED(hr)) return fail({kExitFailure, "the calendar call failed: " + hresultText(hr)});
  return fail(describe(r));
}

std::optional<int> entryChanges(const Options& opt, EntryChanges* c) {
  std::string error;
  std::optional<DATE> start, end;
  if (!readDate(opt.start, &start, &error) || !readDate(opt.end, &end, &error)) return usage(error, opt);
  if (!opt.subject.empty()) c->subject = opt.subject;
  if (!opt.location.empty()) c->location = opt.location;
  if (!opt.notes.empty()) c->notes = opt.notes;
  c->start = start;
  c->end = end;
  if (start && end && *end < *start) return usage("the end lies before the start", opt);
  if (opt.allDay) c->allDay = true;
  c->reminderMinutes = opt.reminder;
  if (!opt.status.empty()) c->status = parseStatus(opt.status);
  for (const std::string& text : opt.attendees) {
    std::optional<AttendeeSpec> a = parseAttendee(text, &error);
    if (!a) return usage(error, opt);
    c->attendees.push_back(*a);
  }
  return std::nullopt;
}

int getById(Calendar& cal, const std::string& id, ComPtr<ICalendarEntry>* entry) {
  ECalendarDatabaseResult r = ECalendarDatabaseResult_ERROR;
  ICalendarEntry* raw = nullptr;
  HRESULT hr = cal.db->GetCalendarEntryById(Bstr(id).get(), &raw, &r);
  if (FAILED(hr) || r != ECalendarDatabaseResult_SUCCESS) {
    if (raw) raw->Release();
    return calendarFailure(hr, r);
  }
  *entry = ComPtr<ICalendarEntry>::attach(raw);
  return kExitOk;
}

EntryView viewOf(ICalendarEntry* e, Texts& texts) {
  EntryView v = readEntry(e, texts);
  StoredAttendees attendees;
  v.attendees = attendees.of(v.id, texts);
  return v;
}

int cmdCheck(const Options& opt) {
  Session s;
  Outcome o = s.activate();
  if (o.exitStatus != kExitOk) return fail(o);
  EPimDatabaseVersion version = EPimDatabaseVersion_OUTLOOK_2000;
  VARIANT_BOOL available = VARIANT_FALSE;
  HRESULT hr = s.adapter()->CheckForPimDatabase(EPimDatabase_CALENDAR, &version, &available);
  if (FAILED(hr)) return fail({kExitFailure, "CheckForPimDatabase failed: " + hresultText(hr)});
  bool ok = available != VARIANT_FALSE;
  if (opt.json)
    print({{"available", ok}});
  else
    std::cout << (ok ? "the PIM application is reachable\n" : "the PIM application cannot be reached\n");
  return ok ? kExitOk : kExitAdapterBase + EPimAdapterResult_LIBRARY_NOT_FOUND;
}

int cmdWhoami(const Options& opt) {
  Session s;
  Outcome o = s.activate();
  if (o.exitStatus != kExitOk) return fail(o);
  std::string identity;
  o = s.logon(&identity);
  if (o.exitStatus != kExitOk) return fail(o);
  if (opt.json)
    print({{"identity", identity}});
  else
    std::cout << (identity.empty() ? "(no name)" : identity) << "\n";
  return kExitOk;
}

int listPeriod(Calendar& cal, DATE start, DATE end, bool forTable, Texts& texts, std::vector<EntryView>* out) {
  ICalendarEntryList* rawList = nullptr;
  ECalendarDatabaseResult r = ECalendarDatabaseResult_ERROR;
  HRESULT hr = cal.db->GetCalendarEntriesForPeriod(start, end, &rawList, &r);
  if (FAILED(hr) || r != ECalendarDatabaseResult_SUCCESS) return calendarFailure(hr, r);
  ComPtr<ICalendarEntryList> held = ComPtr<ICalendarEntryList>::attach(rawList);
  ICalendarEntryList* const list = held.get();
  UINT count = 0;
  if (SUCCEEDED(list->get_numElements(&count))) {
    out->reserve(out->size() + count);  // no views moved as it grows
    texts.reserve(count * 96);          // a row's texts, about, in one block
  }
  ComPtr<ICalendarEntryListIterator> it;
  hr = list->GetIterator(it.put());
  if (FAILED(hr)) return fail({kExitFailure, "GetIterator failed: " + hresultText(hr)});
  VARIANT_BOOL more = VARIANT_FALSE;
  while (SUCCEEDED(it->Next(&more)) && more != VARIANT_FALSE) {
    ComPtr<ICalendarEntry> e;
    it->get_current(e.put());
    if (e) out->push_back(readEntry(e.get(), texts, forTable));
  }
  // The views hold copies: the component's list goes now, and the attendees' reading below
  // (a second connection, the lists) reuses its memory instead of touching ~200 KB more.
  it.reset();
  held.reset();
  StoredAttendees attendees;
  std::vector<std::string_view> ids;
  ids.reserve(out->size());
  for (const EntryView& v : *out) ids.push_back(v.id);
  std::vector<std::vector<Attendee>> lists = attendees.readAll(ids, texts);
  for (size_t i = 0; i < lists.size(); ++i) (*out)[i].attendees = std::move(lists[i]);
  return kExitOk;
}

int cmdAgenda(const Options& opt) {
  std::string error;
  std::optional<DATE> from, to;
  if (!readDate(opt.from, &from, &error) || !readDate(opt.to, &to, &error)) return usage(error, opt);
  bool spanGiven = opt.day || opt.week || opt.month;
  Period p{};
  if (spanGiven || (!from && !to)) {
    Span span = opt.day ? Span::Day : opt.month ? Span::Month : Span::Week;
    p = periodAround(from ? timeFromDate(*from) : std::time(nullptr), span);
  } else {
    p.start = from ? *from : periodAround(std::time(nullptr), Span::Day).start;
    if (!to)
      p.end = p.start + 7.0 - 1.0 / 1440.0;
    else
      p.end = isDayOnly(opt.to) ? periodAround(timeFromDate(*to), Span::Day).end : *to;
  }
  if (p.end < p.start) return usage("--to lies before --from", opt);

  Calendar cal;
  if (int rc = cal.open()) return rc;
  Texts texts;
  std::vector<EntryView> entries;
  if (int rc = listPeriod(cal, p.start, p.end, !opt.json, texts, &entries)) return rc;
  if (entries.size() >= serverOccurrenceLimit())
    std::cerr << "pimctl: the period holds more than " << serverOccurrenceLimit()
              << " occurrences; only the earliest are listed (narrow it with --from and --to)\n";
  const SameZone zone;  // every date below in the zone of the first
  if (opt.json) {
    nlohmann::json j = {{"from", isoDate(p.start, opt.utc)}, {"to", isoDate(p.end, opt.utc)}, {"entries", nlohmann::json::array()}};
    for (const EntryView& e : entries) j["entries"].push_back(toJson(e, opt.utc));
    print(j);
  } else {
    // One write for the whole agenda: thousands of rows cost nothing in stream machinery.
    std::string out = "Agenda " + formatDate(p.start, opt.utc) + " - " + formatDate(p.end, opt.utc) + "\n";
    if (entries.empty())
      out += "(nothing planned)\n";
    else
      out = table(entries, opt.utc, out);
    std::cout.flush();
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
  }
  return kExitOk;
}

int cmdShow(const Options& opt) {
  Calendar cal;
  if (int rc = cal.open()) return rc;
  ComPtr<ICalendarEntry> e;
  if (int rc = getById(cal, opt.id, &e)) return rc;
  Texts texts;
  EntryView v = viewOf(e.get(), texts);
  if (opt.json)
    print(toJson(v, opt.utc));
  else
    std::cout << details(v, opt.utc);
  return kExitOk;
}

int cmdAdd(const Options& opt) {
  EntryChanges changes;
  if (auto rc = entryChanges(opt, &changes)) return *rc;
  Calendar cal;
  if (int rc = cal.open()) return rc;
  ComPtr<ICalendarEntry> e;
  ECalendarDatabaseResult r = ECalendarDatabaseResult_ERROR;
  HRESULT hr = cal.db->CreateCalendarEntry(e.put(), &r);
  if (FAILED(hr) || r != ECalendarDatabaseResult_SUCCESS) return calendarFailure(hr, r);
  if (!changes.allDay) changes.allDay = false;
  if (!changes.status) changes.status = ECalendarEntryStatus_BUSY;
  if (!changes.reminderMinutes) changes.reminderMinutes = -1;
  applyChanges(e.get(), changes);
  hr = cal.db->AddCalendarEntry(e.get(), &r);
  if (FAILED(hr) || r != ECalendarDatabaseResult_SUCCESS) return calendarFailure(hr, r);
  Texts texts;
  EntryView v = viewOf(e.get(), texts);
  if (opt.json)
    print(toJson(v, opt.utc));
  else
    std::cout << "added " << v.id << "\n";
  return kExitOk;
}

int cmdUpdate(const Options& opt) {
  EntryChanges changes;
  if (auto rc = entryChanges(opt, &changes)) return *rc;
  Calendar cal;
  if (int rc = cal.open()) return rc;
  ComPtr<ICalendarEntry> e;
  if (int rc = getById(cal, opt.id, &e)) return rc;
  Texts texts;
  EntryView before = readEntry(e.get(), texts);
  DATE start = changes.start.value_or(before.start), end = changes.end.value_or(before.end);
  if (end < start) return usage("the end would lie before the start", opt);
  applyChanges(e.get(), changes);
  ECalendarDatabaseResult r = ECalendarDatabaseResult_ERROR;
  HRESULT hr = cal.db->UpdateCalendarEntry(e.get(), &r);
  if (FAILED(hr) || r != ECalendarDatabaseResult_SUCCESS) return calendarFailure(hr, r);
  EntryView v = viewOf(e.get(), texts);
  if (opt.json)
    print(toJson(v, opt.utc));
  else
    std::cout << "updated " << v.id << "\n";
  return kExitOk;
}

int cmdRemove(const Options& opt) {
  Calendar cal;
  if (int rc = cal.open()) return rc;
  ComPtr<ICalendarEntry> e;
  if (int rc = getById(cal, opt.id, &e)) return rc;
  ECalendarDatabaseResult r = ECalendarDatabaseResult_ERROR;
  HRESULT hr = cal.db->RemoveCalendarEntry(e.get(), &r);
  if (FAILED(hr) || r != ECalendarDatabaseResult_SUCCESS) return calendarFailure(hr, r);
  if (opt.json)
    print({{"removed", opt.id}});
  else
    std::cout << "removed " << opt.id << "\n";
  return kExitOk;
}

// The fields of a vCard worth showing: FN, EMAIL, TEL, ORG, TITLE.
std::vector<std::pair<std::string, std::string>> cardSummary(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string line, prev;
  std::vector<std::string> lines;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && (line[0] == ' ' || line[0] == '\t') && !lines.empty())
      lines.back() += line.substr(1);
    else
      lines.push_back(line);
  }
  std::vector<std::pair<std::string, std::string>> out;
  for (const std::string& l : lines) {
    size_t colon = l.find(':');
    if (colon == std::string::npos) continue;
    std::string name = l.substr(0, colon);
    name = name.substr(0, name.find(';'));
    if (size_t dot = name.find('.'); dot != std::string::npos) name = name.substr(dot + 1);
    std::string value = l.substr(colon + 1);
    std::string unescaped;
    for (size_t i = 0; i < value.size(); ++i) {
      if (value[i] == '\\' && i + 1 < value.size()) {
        char n = value[++i];
        unescaped += (n == 'n' || n == 'N') ? '\n' : n;
      } else {
        unescaped += (value[i] == ';' ? ' ' : value[i]);
      }
    }
    for (const char* wanted : {"FN", "EMAIL", "TEL", "ORG", "TITLE"})
      if (name == wanted) out.emplace_back(name, unescaped);
  }
  return out;
}

int cmdContact(const Options& opt) {
  if (opt.key.empty() && opt.first.empty()) return usage("give --first and --last, or --key", opt);
  ULONG key = 0;
  if (!opt.key.empty()) {
    char* endp = nullptr;
    unsigned long long v = std::strtoull(opt.key.c_str(), &endp, 0);
    if (endp == opt.key.c_str() || *endp != '\0' || v > 0xFFFFFFFFull) return usage("--key takes a 32-bit number such as 0x0A0B0C0D", opt);
    key = static_cast<ULONG>(v);
  }
  Session s;
  Outcome o = s.activate();
  if (o.exitStatus != kExitOk) return fail(o);
  if ((o = s.logon(nullptr)).exitStatus != kExitOk) return fail(o);
  IContactsDatabase* rawDb = nullptr;
  if ((o = s.contacts(&rawDb)).exitStatus != kExitOk) return fail(o);
  ComPtr<IContactsDatabase> db(rawDb);

  ComPtr<IContactEntry> contact;
  EContactsDatabaseResult r = EContactsDatabaseResult_ERROR;
  HRESULT hr = opt.key.empty() ? db->GetContactByName(Bstr(opt.first).get(), Bstr(opt.last).get(), contact.put(), &r)
                               : db->GetContactByMagicBytes(key, contact.put(), &r);
  if (FAILED(hr)) return fail({kExitFailure, "the contact search failed: " + hresultText(hr)});
  bool ambiguous = r == EContactsDatabaseResult_MULTIPLE_ITEMS_FOUND;
  if (r != EContactsDatabaseResult_SUCCESS && !ambiguous) return fail(describe(r));
  if (ambiguous) std::cerr << "pimctl: " << describe(r).message << "\n";

  bool msg = opt.format == "msg";
  std::string target = opt.exportFile;
  std::filesystem::path temp;
  if (target.empty()) {
    temp = std::filesystem::temp_directory_path() / ("pimctl-" + std::to_string(::getpid()) + ".vcf");
    target = temp.string();
    msg = false;
  }
  hr = contact->SaveAsVCard(Bstr(target).get(), msg ? EContactFileFormat_MSG : EContactFileFormat_VCARD, &r);
  if (FAILED(hr)) return fail({kExitFailure, "SaveAsVCard failed: " + hresultText(hr)});
  if (r != EContactsDatabaseResult_SUCCESS) return fail(describe(r));

  nlohmann::json j = nlohmann::json::object();
  if (!msg) {
    for (auto& [name, value] : cardSummary(target)) {
      if (opt.json)
        j[name].push_back(value);
      else
        std::cout << name << ": " << value << "\n";
    }
  }
  if (!temp.empty()) std::filesystem::remove(temp);
  if (!opt.exportFile.empty()) {
    std::string where = std::filesystem::absolute(opt.exportFile).string();
    if (opt.json)
      j["exported"] = where;
    else
      std::cout << "written to " << where << "\n";
  }
  if (opt.json) print(j);
  return ambiguous ? kExitContactsBase + EContactsDatabaseResult_MULTIPLE_ITEMS_FOUND : kExitOk;
}

}  // namespace

int run(const std::string& command, const Options& opt) {
  if (command == "check") return cmdCheck(opt);
  if (command == "whoami") return cmdWhoami(opt);
  if (command == "agenda") return cmdAgenda(opt);
  if (command == "show") return cmdShow(opt);
  if (command == "add") return cmdAdd(opt);
  if (command == "update") return cmdUpdate(opt);
  if (command == "remove") return cmdRemove(opt);
  if (command == "contact") return cmdContact(opt);
  if (command == "demo") return runDemo(opt);
  return usage("unknown command " + command, opt);
}

}  // namespace pimctl
