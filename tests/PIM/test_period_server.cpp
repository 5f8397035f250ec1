// The period query against the PIM server: which occurrences Outlook's side selects from the filter
// the component writes, in which order, in two time zones.
#if __has_include(<store.h>)
#include <store.h>

#include <chrono>

#include "PimTestEnvironment.h"
#include "test_calendar_fixture.h"

namespace caltest {
namespace {

using pim::store::UtcSeconds;

// Instants of 2041, a year no other test writes to (its weekdays and clock changes fall on the
// same dates as in 2024: Monday 4 March, US change on 10 March, EU change on 31 March).
UtcSeconds Utc(int mo, int d, int h, int mi = 0, int s = 0) {
  using namespace std::chrono;
  const sys_days day = year(2041) / month((unsigned)mo) / (unsigned)d;
  return (UtcSeconds)duration_cast<seconds>(day.time_since_epoch()).count() + h * 3600 + mi * 60 + s;
}
DATE AsDate(UtcSeconds t) { return 25569.0 + (double)t / 86400.0; }

class ServerPeriodTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (!pimtest::Env().serverRegistered) GTEST_SKIP() << "PIM server not registered";
    m_tz = std::make_unique<TimeZoneScope>(GetParam());
    m_writer = pim::store::Store::open(getenv("PIM_STORE"), pim::store::Store::Options{true, 10000});
    ASSERT_EQ(CoCreateInstance(CLSID_OutlookApplication, nullptr, CLSCTX_LOCAL_SERVER, IID__Application, m_app.put_void()),
              S_OK);
    pimtest::Bstr mapi(u"MAPI");
    ASSERT_EQ(m_app->GetNamespace(mapi.get(), m_ns.put()), S_OK);
    VARIANT omitted;
    VariantInit(&omitted);
    omitted.vt = VT_ERROR;
    omitted.scode = DISP_E_PARAMNOTFOUND;
    ASSERT_EQ(m_ns->Logon(omitted, omitted, omitted, omitted), S_OK);
    ASSERT_EQ(m_ns->GetDefaultFolder(olFolderCalendar, m_folder.put()), S_OK);
    CComObject<CCalendarDatabase>* p = nullptr;
    ASSERT_EQ(CComObject<CCalendarDatabase>::CreateInstance(&p), S_OK);
    m_db = ComPtr<ICalendarDatabase>(p);
    p->m_pOutlookAppFromStream = m_app.get();
    m_app->AddRef();
    p->m_pCalendarFolderFromStream = m_folder.get();
    m_folder->AddRef();
    p->m_ptrsThreadId = GetCurrentThreadId();
  }
  void TearDown() override {
    m_db.reset();
    m_folder.reset();
    if (m_ns) m_ns->Logoff();
    m_ns.reset();
    m_app.reset();
    for (auto key : m_keys) m_writer->remove(key);
    m_writer.reset();
    m_tz.reset();
    EXPECT_EQ(_Module.GetLockCount(), 0);
  }

  pim::store::RecordKey Add(const char* subject, UtcSeconds start, UtcSeconds end, const char* rrule = "") {
    pim::store::Appointment a;
    a.subject = subject;
    a.start = start;
    a.end = end;
    a.zone = GetParam();
    a.rrule = rrule;
    auto key = m_writer->addAppointment(a);
    m_keys.push_back(key);
    return key;
  }

  struct Found {
    std::string subject;
    DATE start;
  };
  std::vector<Found> Query(DATE start, DATE end) {
    ComPtr<ICalendarEntryList> list;
    ECalendarDatabaseResult r = ECalendarDatabaseResult_ERROR;
    EXPECT_EQ(m_db->GetCalendarEntriesForPeriod(start, end, list.put(), &r), S_OK);
    EXPECT_EQ(r, ECalendarDatabaseResult_SUCCESS);
    std::vector<Found> out;
    if (!list) return out;
    ComPtr<ICalendarEntryListIterator> it;
    list->GetIterator(it.put());
    VARIANT_BOOL more = 0;
    while (SUCCEEDED(it->Next(&more)) && more) {
      ComPtr<ICalendarEntry> e;
      it->get_current(e.put());
      pimtest::Bstr subject;
      DATE s = 0;
      e->get_subject(subject.put());
      e->get_startTime(&s);
      out.push_back({pimtest::Utf8(subject.get()), s});
    }
    return out;
  }
  static std::vector<std::string> Subjects(const std::vector<Found>& found) {
    std::vector<std::string> out;
    for (const Found& f : found) out.push_back(f.subject);
    return out;
  }

  pimtest::Apartment m_com;
  std::unique_ptr<TimeZoneScope> m_tz;
  std::unique_ptr<pim::store::Store> m_writer;
  std::vector<pim::store::RecordKey> m_keys;
  ComPtr<_Application> m_app;
  ComPtr<_NameSpace> m_ns;
  ComPtr<MAPIFolder> m_folder;
  ComPtr<ICalendarDatabase> m_db;
};

TEST_P(ServerPeriodTest, OverlappingOccurrencesComeBackInStartOrder) {
  Add("A ends at the start", Utc(3, 4, 8), Utc(3, 4, 9));
  Add("B starts at the end", Utc(3, 8, 17), Utc(3, 8, 18));
  Add("C spans", Utc(3, 1, 0), Utc(3, 10, 0));
  Add("D before", Utc(3, 4, 7), Utc(3, 4, 8, 59));
  Add("E after", Utc(3, 8, 17, 1), Utc(3, 8, 18));
  Add("W weekly", Utc(2, 26, 12), Utc(2, 26, 12, 30), "FREQ=WEEKLY;BYDAY=MO,WE,FR");
  auto daily = Add("X daily", Utc(3, 4, 10), Utc(3, 4, 10, 30), "FREQ=DAILY;COUNT=5");
  m_writer->deleteOccurrence(daily, Utc(3, 5, 10));
  m_writer->saveOccurrence(daily, Utc(3, 6, 10),
                           "BEGIN:VEVENT\r\nSUMMARY:X moved\r\nDTSTART:20410306T140000Z\r\nDTEND:20410306T143000Z\r\n"
                           "END:VEVENT\r\n");

  // The seconds of the bounds do not count: 09:00:45 still takes in A, which ends at 09:00.
  std::vector<Found> found = Query(AsDate(Utc(3, 4, 9, 0, 45)), AsDate(Utc(3, 8, 17, 0, 30)));
  EXPECT_EQ(Subjects(found), (std::vector<std::string>{"C spans", "A ends at the start", "X daily", "W weekly", "W weekly",
                                                       "X moved", "X daily", "X daily", "W weekly",
                                                       "B starts at the end"}));
  for (size_t i = 1; i < found.size(); ++i) EXPECT_LE(found[i - 1].start, found[i].start) << i;
  if (found.size() == 10) {
    EXPECT_NEAR(found[2].start, AsDate(Utc(3, 4, 10)), 1e-7) << "read back in UTC";
    EXPECT_NEAR(found[5].start, AsDate(Utc(3, 6, 14)), 1e-7);
  }

  // Nothing there (before every appointment and series): a success with no elements.
  EXPECT_TRUE(Query(AsDate(Utc(1, 1, 0)), AsDate(Utc(1, 2, 0))).empty());
}

// Start after end goes to the server unchanged and selects only what spans the whole gap.
TEST_P(ServerPeriodTest, AReversedPeriodSelectsWhatSpansTheGap) {
  Add("C spans", Utc(3, 1, 0), Utc(3, 10, 0));
  Add("Inside", Utc(3, 5, 10), Utc(3, 5, 11));
  EXPECT_EQ(Subjects(Query(AsDate(Utc(3, 8, 12)), AsDate(Utc(3, 4, 12)))), (std::vector<std::string>{"C spans"}));
}

TEST_P(ServerPeriodTest, PeriodsAcrossTheClockChangesKeepTheirUtcInstants) {
  // Around the US change (10 March, 07:00 UTC) and the EU change (31 March, 01:00 UTC).
  Add("US before", Utc(3, 10, 5), Utc(3, 10, 6));
  Add("US after", Utc(3, 10, 8), Utc(3, 10, 9));
  Add("EU before", Utc(3, 31, 0), Utc(3, 31, 0, 30));
  Add("EU after", Utc(3, 31, 1, 30), Utc(3, 31, 2));
  std::vector<Found> us = Query(AsDate(Utc(3, 10, 5, 30)), AsDate(Utc(3, 10, 8, 30)));
  ASSERT_EQ(Subjects(us), (std::vector<std::string>{"US before", "US after"}));
  EXPECT_NEAR(us[1].start, AsDate(Utc(3, 10, 8)), 1e-7);
  std::vector<Found> eu = Query(AsDate(Utc(3, 31, 0, 15)), AsDate(Utc(3, 31, 1, 45)));
  ASSERT_EQ(Subjects(eu), (std::vector<std::string>{"EU before", "EU after"}));
  EXPECT_NEAR(eu[1].start, AsDate(Utc(3, 31, 1, 30)), 1e-7);
  // Just outside on either side.
  EXPECT_TRUE(Query(AsDate(Utc(3, 10, 6, 1)), AsDate(Utc(3, 10, 7, 59))).empty());
}

INSTANTIATE_TEST_SUITE_P(Zones, ServerPeriodTest, ::testing::Values("Europe/Berlin", "America/New_York"));

}  // namespace
}  // namespace caltest
#endif
