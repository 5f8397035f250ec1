#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string_view>
#include <unordered_map>

#include <libical/ical.h>

#include "Attendees.h"
#include "Commands.h"
#include "Dates.h"
#include "Outcome.h"
#include "contacts_io.h"
#include "objects.h"
#include "store.h"

namespace pimctl {
namespace {

namespace fs = std::filesystem;
using pim::store::Store;
using pim::store::StoreError;

int storeFailure(const std::string& what) {
  std::cerr << "pimctl: " << what << "\n";
  return kExitStore;
}

// A progress bar on a terminal, nothing elsewhere.
pim::store::Progress progressBar(bool interactive, const char* verb) {
  if (!interactive) return {};
  return [verb, last = -1](std::size_t done, std::size_t total) mutable {
    int pct = total ? static_cast<int>(done * 100 / total) : 100;
    if (pct != last) {
      last = pct;
      int filled = pct * 30 / 100;
      std::fprintf(stderr, "\r%s [%.*s%*s] %3d%% %zu/%zu", verb, filled, "##############################", 30 - filled, "",
                   pct, done, total);
      if (done >= total) std::fputc('\n', stderr);
    }
    return true;
  };
}

bool hasExtension(const std::string& file, const char* ext) {
  std::string e = fs::path(file).extension().string();
  for (auto& c : e) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return e == ext;
}

std::unique_ptr<Store> openStore(const std::string& path, bool create) {
  Store::Options o;
  o.create = create;
  if (create) fs::create_directories(fs::path(path).parent_path());
  return Store::open(path, o);
}

// ---- demonstration data ------------------------------------------------------------------

std::string icsTime(std::time_t monday, int dayOffset, int hour, int minute) {
  std::tm tm{};
  localtime_r(&monday, &tm);
  tm.tm_mday += dayOffset;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = 0;
  tm.tm_isdst = -1;
  std::time_t t = std::mktime(&tm);
  localtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%S", &tm);
  return buf;
}

struct DemoPerson {
  const char* first;
  const char* last;
  const char* company;
};

const DemoPerson kPeople[] = {
    {"Ana", "Lima", "Northwind"},       {"Ben", "Okafor", "Northwind"},   {"Chloé", "Martin", "Contoso"},
    {"Dmitri", "Volkov", "Contoso"},    {"Eva", "Schmidt", "Fabrikam"},   {"Farah", "Haddad", "Fabrikam"},
    {"Gustav", "Lindqvist", "Litware"}, {"Hana", "Sato", "Litware"},      {"Ivan", "Petrov", "Adatum"},
    {"Julia", "Rossi", "Adatum"},       {"Kofi", "Mensah", "Proseware"},  {"Lena", "Fischer", "Proseware"},
    {"Marco", "Bianchi", "Tailspin"},   {"Nadia", "Ali", "Tailspin"},     {"Oskar", "Nowak", "Wingtip"},
    {"Priya", "Sharma", "Wingtip"},     {"Quentin", "Dubois", "Alpine"},  {"Rosa", "García", "Alpine"},
    {"Sven", "Berg", "Margie's Travel"}, {"Tara", "O'Neil", "Margie's Travel"}, {"Umar", "Khan", "Lucerne"},
    {"Vera", "Novak", "Lucerne"},       {"Wei", "Zhang", "Coho"},         {"Ximena", "Torres", "Coho"},
    {"Yusuf", "Demir", "Trey Research"}, {"Zoë", "Müller", "Trey Research"}, {"Aiko", "Tanaka", "Northwind"},
    {"Bruno", "Costa", "Contoso"},      {"Clara", "Weber", "Fabrikam"},   {"David", "Cohen", "Litware"},
};

std::string email(const DemoPerson& p) {
  std::string out;
  for (const char* s : {p.first, ".", p.last})
    for (const char* c = s; *c; ++c)
      if (std::isalpha(static_cast<unsigned char>(*c)) || *c == '.') out += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
  return out + "@example.com";
}

std::string attendee(const DemoPerson& p, const char* role) {
  return std::string("ATTENDEE;CN=\"") + p.first + " " + p.last + "\";ROLE=" + role + ":mailto:" + email(p) + "\r\n";
}

std::string demoCalendar(std::time_t monday) {
  auto event = [&](const std::string& uid, const std::string& summary, const std::string& start, const std::string& end,
                   const std::string& extra) {
    return "BEGIN:VEVENT\r\nUID:" + uid + "@demo.pim\r\nDTSTAMP:20260101T000000Z\r\nSUMMARY:" + summary + "\r\nDTSTART:" + start +
           "\r\nDTEND:" + end + "\r\n" + extra + "END:VEVENT\r\n";
  };
  std::string ics = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//pimctl//demo//EN\r\n";
  ics += event("standup", "Team stand-up", icsTime(monday, 0, 9, 0), icsTime(monday, 0, 9, 15),
               "RRULE:FREQ=WEEKLY;BYDAY=MO,WE,FR\r\nLOCATION:Room 2\r\n" + attendee(kPeople[0], "REQ-PARTICIPANT") +
                   attendee(kPeople[1], "REQ-PARTICIPANT") + attendee(kPeople[26], "OPT-PARTICIPANT"));
  ics += event("review", "Design review", icsTime(monday, 1, 14, 0), icsTime(monday, 1, 15, 30),
               "LOCATION:Board room\r\nDESCRIPTION:Bring the printed drafts.\r\nORGANIZER;CN=\"Eva Schmidt\":mailto:" +
                   email(kPeople[4]) + "\r\n" + attendee(kPeople[4], "CHAIR") + attendee(kPeople[2], "REQ-PARTICIPANT") +
                   attendee(kPeople[3], "OPT-PARTICIPANT") + "BEGIN:VALARM\r\nACTION:DISPLAY\r\nDESCRIPTION:Reminder\r\nTRIGGER:-PT15M\r\nEND:VALARM\r\n");
  std::string wedDay = icsTime(monday, 2, 0, 0).substr(0, 8), thuDay = icsTime(monday, 3, 0, 0).substr(0, 8);
  ics += "BEGIN:VEVENT\r\nUID:offsite@demo.pim\r\nDTSTAMP:20260101T000000Z\r\nSUMMARY:Offsite\r\nDTSTART;VALUE=DATE:" + wedDay +
         "\r\nDTEND;VALUE=DATE:" + thuDay + "\r\nLOCATION:Lakeside\r\nX-MICROSOFT-CDO-BUSYSTATUS:OOF\r\nEND:VEVENT\r\n";
  ics += event("lunch", "Lunch with Kofi", icsTime(monday, 3, 12, 30), icsTime(monday, 3, 13, 30),
               "LOCATION:Café Central\r\nTRANSP:TRANSPARENT\r\n" + attendee(kPeople[10], "REQ-PARTICIPANT"));
  ics += event("one-on-one", "One-on-one", icsTime(monday, 4, 16, 0), icsTime(monday, 4, 16, 30),
               "RRULE:FREQ=WEEKLY;BYDAY=FR\r\n" + attendee(kPeople[5], "REQ-PARTICIPANT"));
  ics += "END:VCALENDAR\r\n";
  return ics;
}

std::string demoCard(const DemoPerson& p, int index) {
  std::ostringstream v;
  v << "BEGIN:VCARD\r\nVERSION:3.0\r\nN:" << p.last << ";" << p.first << ";;;\r\nFN:" << p.first << " " << p.last
    << "\r\nORG:" << p.company << "\r\nEMAIL;TYPE=INTERNET:" << email(p) << "\r\nTEL;TYPE=WORK:+49 30 5550" << 100 + index
    << "\r\nEND:VCARD\r\n";
  return v.str();
}

// The 32-bit key in the contact's entry id: the 8 hexadecimal characters at offset 40, least
// significant byte first.
std::string demoKeyOf(const char* first, const char* last) {
  auto store = Store::open(profileStorePath());
  auto keys = store->findContactsByName(first, last);
  if (keys.empty()) return "0";
  auto item = store->get(keys.front());
  const std::string& id = item->entryId;
  if (id.size() < 48) return "0";
  unsigned long value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | std::stoul(id.substr(40 + 2 * i, 2), nullptr, 16);
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08lX", value);
  return buf;
}

}  // namespace

std::string profileStorePath() { return pim::outlook::profileStorePath().path; }

std::size_t serverOccurrenceLimit() { return pim::outlook::Items::kMaxOccurrences; }

struct StoredAttendees::State {
  bool opened = false;
  std::unique_ptr<Store> store;
};

StoredAttendees::StoredAttendees() : state_(std::make_unique<State>()) {}
StoredAttendees::~StoredAttendees() = default;

std::vector<std::vector<Attendee>> StoredAttendees::readAll(const std::vector<std::string_view>& entryIds, Texts& texts) {
  const size_t n = entryIds.size();
  std::vector<std::vector<Attendee>> out(n);
  // Each id's first place in the list, found through an open-addressed table of places: an
  // occurrence of a series listed again is read once, and no id is copied.
  constexpr uint32_t kNone = UINT32_MAX;
  std::vector<uint32_t> first(n, kNone);
  std::vector<std::string_view> wanted;
  std::vector<uint32_t> placeOf;  // wanted[k] is entryIds[placeOf[k]]
  wanted.reserve(n);
  placeOf.reserve(n);
  size_t slots = 16;
  while (slots < 2 * n) slots *= 2;
  std::vector<uint32_t> table(slots, kNone);
  // Entry ids are long and alike at the start: eight bytes mixed at a time, not a byte at a time.
  auto hash = [](std::string_view id) {
    uint64_t h = id.size() * 0x9E3779B97F4A7C15ull;
    size_t k = 0;
    for (; k + 8 <= id.size(); k += 8) {
      uint64_t w;
      std::memcpy(&w, id.data() + k, 8);
      h = (h ^ w) * 0x9E3779B97F4A7C15ull;
      h ^= h >> 32;
    }
    uint64_t w = 0;
    std::memcpy(&w, id.data() + k, id.size() - k);
    h = (h ^ w) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(h ^ (h >> 29));
  };
  for (size_t i = 0; i < n; ++i) {
    const std::string_view id = entryIds[i];
    if (id.empty()) continue;
    size_t at = hash(id) & (slots - 1);
    while (table[at] != kNone && entryIds[table[at]] != id) at = (at + 1) & (slots - 1);
    if (table[at] != kNone) {
      first[i] = table[at];
      continue;
    }
    table[at] = static_cast<uint32_t>(i);
    wanted.push_back(id);
    placeOf.push_back(static_cast<uint32_t>(i));
  }
  if (wanted.empty()) return out;
  try {
    if (!state_->opened) {
      state_->opened = true;
      Store::Options reading;
      reading.readOnly = true;
      state_->store = Store::open(profileStorePath(), reading);
    }
    if (!state_->store) return out;
    state_->store->eachTextOf(wanted, [&](size_t k, std::string_view text) { out[placeOf[k]] = attendeesOf(text, texts); });
  } catch (const StoreError&) {
    for (auto& list : out) list.clear();  // all or none, as one snapshot
  }
  for (size_t i = 0; i < n; ++i)
    if (first[i] != kNone) out[i] = out[first[i]];
  return out;
}

std::vector<Attendee> StoredAttendees::of(std::string_view entryId, Texts& texts) {
  std::vector<Attendee> found;
  if (entryId.empty()) return found;
  try {
    if (!state_->opened) {
      state_->opened = true;
      state_->store = Store::open(profileStorePath());
    }
    if (state_->store)
      if (auto item = state_->store->find(std::string(entryId))) found = attendeesOf(item->data, texts);
  } catch (const StoreError&) {
  }
  return found;
}

bool ensureDemoStore(bool quiet, std::string* error) {
  std::string path = profileStorePath();
  if (fs::exists(path)) return true;
  // A server's working copy gets its items from the server, never demonstration ones.
  if (!pim::outlook::profileStorePath().davUrl.empty()) return true;
  try {
    auto store = openStore(path, true);
    std::time_t now = std::time(nullptr);
    Period week = periodAround(now, Span::Week);
    store->importIcs(demoCalendar(timeFromDate(week.start)));
    int i = 0;
    for (const DemoPerson& p : kPeople) store->addContact(demoCard(p, i++));
    if (!quiet) std::cout << "created a demonstration store at " << path << "\n";
    return true;
  } catch (const std::exception& e) {
    *error = std::string("cannot create the demonstration store: ") + e.what();
    return false;
  }
}

int runStore(const std::string& chore, const Options& opt) {
  std::string path = opt.storePath.empty() ? profileStorePath() : opt.storePath;
  try {
    if (chore == "init") {
      bool existed = fs::exists(path);
      openStore(path, true);
      std::cout << (existed ? "store already exists: " : "created store ") << path << "\n";
      return kExitOk;
    }
    auto store = openStore(path, true);
    if (chore == "import") {
      if (hasExtension(opt.file, ".ics")) {
        auto r = store->importIcsFile(opt.file, progressBar(opt.interactive, "importing"));
        std::cout << "imported " << r.imported << " item(s)" << (r.skipped ? ", skipped " + std::to_string(r.skipped) : "")
                  << " into " << path << "\n";
        for (const std::string& e : r.errors) std::cerr << "pimctl: " << e << "\n";
        return kExitOk;
      }
      if (hasExtension(opt.file, ".vcf")) {
        auto r = pim::contacts::importVcfFile(*store, opt.file, progressBar(opt.interactive, "importing"));
        std::cout << "imported " << r.imported << " contact(s)" << (r.skipped ? ", skipped " + std::to_string(r.skipped) : "")
                  << " into " << path << "\n";
        for (const std::string& e : r.errors) std::cerr << "pimctl: " << e << "\n";
        return kExitOk;
      }
      return storeFailure("import takes a .ics or .vcf file (" + opt.file + ")");
    }
    if (chore == "export") {
      if (hasExtension(opt.file, ".ics")) {
        store->exportIcsFile(opt.file, progressBar(opt.interactive, "exporting"));
        std::cout << "written to " << fs::absolute(opt.file).string() << "\n";
        return kExitOk;
      }
      if (hasExtension(opt.file, ".vcf")) {
        pim::contacts::exportVcfFile(*store, opt.file, progressBar(opt.interactive, "exporting"));
        std::cout << "written to " << fs::absolute(opt.file).string() << "\n";
        return kExitOk;
      }
      return storeFailure("export writes a .ics or .vcf file (" + opt.file + ")");
    }
  } catch (const std::exception& e) {
    return storeFailure(e.what());
  }
  return storeFailure("unknown store chore " + chore);
}

int runDemo(const Options& opt) {
  std::string error;
  if (!ensureDemoStore(opt.json, &error)) return storeFailure(error);
  Options agenda = opt;
  agenda.week = true;
  std::cout << "\n== This week's agenda (pimctl agenda --week)\n";
  if (int rc = run("agenda", agenda)) return rc;

  fs::path exports = fs::path(profileStorePath()).parent_path() / "exports";
  fs::create_directories(exports);
  Options byName = opt;
  byName.first = "Eva";
  byName.last = "Schmidt";
  byName.exportFile = (exports / "eva-schmidt.vcf").string();
  std::cout << "\n== A contact by name (pimctl contact --first Eva --last Schmidt --export ...)\n";
  if (int rc = run("contact", byName)) return rc;

  Options byKey = opt;
  byKey.key = demoKeyOf("Eva", "Schmidt");
  std::cout << "\n== The same contact by the key in its entry id (pimctl contact --key " << byKey.key << ")\n";
  byKey.exportFile = (exports / "eva-schmidt-by-key.vcf").string();
  if (int rc = run("contact", byKey)) return rc;
  std::cout << "\nstore: " << profileStorePath() << "\nexports: " << exports.string() << "\n";
  return kExitOk;
}

}  // namespace pimctl
