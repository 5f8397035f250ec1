// A week's query over the PIM server's store of 1,000, 10,000 and 100,000 appointments (a tenth
// of them weekly series without end): through the calendar
// database (GetCalendarEntriesForPeriod, the list walked with an iterator), and the same query made
// directly on the server's object model (the same filter, sorts and expansion, and the same reads
// of every occurrence, recipients included). The component should add at most 20% on top
// (bench/callgrind-period.sh counts both in instructions).
#include <benchmark/benchmark.h>

#include <ComPtr.h>
#include <Outlook.h>
#include <QLT.h>
#include <Redemption.h>
#include <objbase.h>
#include <oleauto.h>

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>

#include "ServerLogon.h"
#include "CCalendarDatabase.h"
#include "CCalendarEntry.h"
#include "CCalendarEntryList.h"

#ifdef PIM_SERVER_LIBRARY
#include <store.h>

#include <map>

namespace {

// 2023-01-01T00:00:00Z; the appointments follow each other from there, about 50 a working day,
// so a larger store reaches further into the future and the week below keeps its occurrences.
constexpr long long kFirstStart = 1672531200;
constexpr double kUnixEpochAsDate = 25569.0;

std::string icsUtc(long long t) {
  std::time_t tt = static_cast<std::time_t>(t);
  std::tm tm{};
  gmtime_r(&tt, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%SZ", &tm);
  return buf;
}

// Appointment i: every tenth a weekly series without end, every third with two attendees.
std::string appointmentText(int i) {
  long long start = kFirstStart + (long long)(i / 50) * 86400 + 7 * 3600 + (i % 50) * 900;
  std::string t = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//bench//EN\r\nBEGIN:VEVENT\r\nUID:bench-" +
                  std::to_string(i) + "\r\nDTSTAMP:20230101T000000Z\r\nSUMMARY:Appointment " + std::to_string(i) +
                  "\r\nLOCATION:Room " + std::to_string(i % 40) + "\r\nDTSTART:" + icsUtc(start) +
                  "\r\nDTEND:" + icsUtc(start + 1800) + "\r\n";
  static const char* kStatus[] = {"FREE", "TENTATIVE", "BUSY", "OOF"};
  t += std::string("X-MICROSOFT-CDO-BUSYSTATUS:") + kStatus[i % 4] + "\r\n";
  if (i % 10 == 0) t += "RRULE:FREQ=WEEKLY\r\n";
  if (i % 3 == 0)
    t += "ATTENDEE;CN=Ana Lima;ROLE=REQ-PARTICIPANT:mailto:ana.lima@example.com\r\n"
         "ATTENDEE;CN=Ben Okafor;ROLE=OPT-PARTICIPANT:mailto:ben.okafor@example.com\r\n";
  return t + "END:VEVENT\r\nEND:VCALENDAR\r\n";
}

struct Server {
  bool ready = false;
  std::string dir;
  ComPtr<_Application> app;
  ComPtr<_NameSpace> ns;
  ComPtr<MAPIFolder> folder;
  ComPtr<ICalendarDatabase> db;

  explicit Server(int appointments) {
    dir = (std::filesystem::temp_directory_path() /
           ("pimbench-period-" + std::to_string(getpid()) + "-" + std::to_string(appointments)))
              .string();
    std::filesystem::create_directories(dir);
    const std::string store = dir + "/store.db";
    setenv("PIM_REGISTRY", (dir + "/registry.reg").c_str(), 1);
    setenv("PIM_STORE", store.c_str(), 1);
    setenv("TZ", "Europe/Berlin", 1);
    try {
      auto writer = pim::store::Store::open(store, pim::store::Store::Options{true, 10000});
      writer->transaction([&] {
        for (int i = 0; i < appointments; ++i) writer->addEvent(appointmentText(i));
      });
    } catch (const std::exception& e) {
      std::fprintf(stderr, "store: %s\n", e.what());
      return;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (!LogOnToServer(PIM_SERVER_LIBRARY, &app, &ns)) return;
    if (FAILED(ns->GetDefaultFolder(olFolderCalendar, folder.put())) || !folder) return;

    // The database as the adapter leaves it, already bound to this thread.
    CComObject<CCalendarDatabase>* p = nullptr;
    if (FAILED(CComObject<CCalendarDatabase>::CreateInstance(&p))) return;
    db = ComPtr<ICalendarDatabase>(p);
    p->m_pOutlookAppFromStream = app.get();
    app->AddRef();
    p->m_pCalendarFolderFromStream = folder.get();
    folder->AddRef();
    p->m_ptrsThreadId = GetCurrentThreadId();
    ready = true;
  }
  ~Server() {
    db.reset();
    folder.reset();
    if (ns) ns->Logoff();
    ns.reset();
    app.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

Server& TheServer(int appointments) {
  static std::map<int, std::unique_ptr<Server>> servers;
  auto& s = servers[appointments];
  if (!s) s = std::make_unique<Server>(appointments);
  return *s;
}

// The week starting Monday 2023-01-16 00:00 UTC: 50 single appointments a day and the weekly
// series begun before it.
const DATE kWeekStart = kUnixEpochAsDate + 19373.0;
const DATE kWeekEnd = kWeekStart + 7.0;

// The filter the component writes for the week, written here the same way.
BSTR WeekFilter() {
  SYSTEMTIME s = {}, e = {};
  QLT_CTime(QLT_CTime::ConvertUTCToLocalTime(kWeekStart, 10)).GetSystemTime(s);
  QLT_CTime(QLT_CTime::ConvertUTCToLocalTime(kWeekEnd, 10)).GetSystemTime(e);
  char sd[100] = "", st[100] = "", ed[100] = "", et[100] = "";
  const DWORD f = TIME_NOSECONDS | TIME_NOTIMEMARKER | TIME_FORCE24HOURFORMAT;
  GetDateFormatA(LOCALE_USER_DEFAULT, 0, &s, nullptr, sd, 100);
  GetTimeFormatA(LOCALE_USER_DEFAULT, f, &s, nullptr, st, 100);
  GetDateFormatA(LOCALE_USER_DEFAULT, 0, &e, nullptr, ed, 100);
  GetTimeFormatA(LOCALE_USER_DEFAULT, f, &e, nullptr, et, 100);
  QLT_CString text = QLT_CString("[Start] <= \"") + ed + " " + et + "\" and [End] >= \"" + sd + " " + st + "\"";
  return SysAllocString(reinterpret_cast<const OLECHAR*>(text.wc_str()));
}

// Everything the component reads of one occurrence, read directly.
void ReadOccurrence(_AppointmentItem* a) {
  BSTR text = nullptr;
  DATE d = 0;
  VARIANT_BOOL b = 0;
  LONG l = 0;
  a->get_Subject(&text);
  SysFreeString(text);
  a->get_Start(&d);
  a->get_End(&d);
  a->get_Location(&text);
  SysFreeString(text);
  a->get_AllDayEvent(&b);
  a->get_ReminderSet(&b);
  a->get_ReminderMinutesBeforeStart(&l);
  a->get_Body(&text);
  SysFreeString(text);
  a->get_BusyStatus(&l);
  a->get_EntryID(&text);
  SysFreeString(text);
  ComPtr<ISafeAppointmentItem> safe;
  if (FAILED(CoCreateInstance(CLSID_SafeAppointmentItem, nullptr, CLSCTX_INPROC_SERVER, IID_ISafeAppointmentItem,
                              safe.put_void())))
    return;
  safe->put_Item(a);
  ComPtr<ISafeRecipients> recipients;
  if (FAILED(safe->get_Recipients(recipients.put())) || !recipients) return;
  LONG count = 0;
  recipients->get_Count(&count);
  for (LONG i = 1; i <= count; ++i) {
    ComPtr<ISafeRecipient> r;
    recipients->Item(i, r.put());
    if (!r) continue;
    r->get_Name(&text);
    SysFreeString(text);
    r->get_Type(&l);
    r->get_Address(&text);
    SysFreeString(text);
  }
}

long DirectQuery(Server& s) {
  BSTR filter = WeekFilter();
  BSTR key = SysAllocString(OLESTR("[Start]"));
  VARIANT ascending;
  VariantInit(&ascending);
  ascending.vt = VT_BOOL;
  ascending.boolVal = VARIANT_FALSE;
  ComPtr<_Items> items, restricted;
  s.folder->get_Items(items.put());
  items->Sort(key, ascending);
  items->put_IncludeRecurrences(VARIANT_TRUE);
  items->Restrict(filter, restricted.put());
  restricted->Sort(key, ascending);
  SysFreeString(filter);
  SysFreeString(key);
  long found = 0;
  ComPtr<IDispatch> item;
  restricted->GetFirst(item.put());
  while (item) {
    ComPtr<_AppointmentItem> appt;
    if (SUCCEEDED(item.query(IID__AppointmentItem, &appt))) {
      ReadOccurrence(appt.get());
      ++found;
    }
    restricted->GetNext(item.put());
  }
  return found;
}

long ComponentQuery(Server& s) {
  ComPtr<ICalendarEntryList> list;
  ECalendarDatabaseResult result = ECalendarDatabaseResult_ERROR;
  s.db->GetCalendarEntriesForPeriod(kWeekStart, kWeekEnd, list.put(), &result);
  if (result != ECalendarDatabaseResult_SUCCESS) return -1;
  UINT n = 0;
  list->get_numElements(&n);
  return (long)n;
}

// Both queries once before any figure is taken: the first pass pays for the store's pages.
Server* WarmServer(int appointments) {
  Server& s = TheServer(appointments);
  if (!s.ready) return nullptr;
  DirectQuery(s);
  ComponentQuery(s);
  return &s;
}

void BM_WeekDirect(benchmark::State& state) {
  Server* s = WarmServer(static_cast<int>(state.range(0)));
  if (s == nullptr) {
    state.SkipWithError("PIM server not available");
    return;
  }
  long found = 0;
  for (auto _ : state) found = DirectQuery(*s);
  state.counters["occurrences"] = (double)found;
}

void BM_WeekThroughComponent(benchmark::State& state) {
  Server* s = WarmServer(static_cast<int>(state.range(0)));
  if (s == nullptr) {
    state.SkipWithError("PIM server not available");
    return;
  }
  long found = 0;
  for (auto _ : state) {
    found = ComponentQuery(*s);
    if (found < 0) {
      state.SkipWithError("query failed");
      return;
    }
  }
  state.counters["occurrences"] = (double)found;
}

}  // namespace

BENCHMARK(BM_WeekDirect)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WeekThroughComponent)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
#endif
