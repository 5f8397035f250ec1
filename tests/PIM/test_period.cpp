// The period query against test doubles: the filter text under the user's formats, the exact call
// order, the entries in the collection's order, and every failure row.
#include <stdio.h>
#include "PimTestEnvironment.h"  // the test registry, never the user's own

#include "test_calendar_fixture.h"

namespace caltest {
namespace {

// The user's short date and time formats in the registry for one scope.
class UserFormats {
 public:
  UserFormats(const char* shortDate, const char* timeFormat) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Control Panel\\International", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              0);
    Set(key, "sShortDate", shortDate);
    Set(key, "sTimeFormat", timeFormat);
    RegCloseKey(key);
  }
  ~UserFormats() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Control Panel\\International", 0, KEY_ALL_ACCESS, &key) == 0) {
      RegDeleteValueA(key, "sShortDate");
      RegDeleteValueA(key, "sTimeFormat");
      RegCloseKey(key);
    }
  }

 private:
  static void Set(HKEY key, const char* name, const char* value) {
    if (value == nullptr) {
      RegDeleteValueA(key, name);
      return;
    }
    EXPECT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), (DWORD)strlen(value) + 1), 0);
  }
};

class PeriodTest : public CalendarTest {
 protected:
  ECalendarDatabaseResult Query(DATE start, DATE end, ICalendarEntryList** ppList) {
    ECalendarDatabaseResult r = (ECalendarDatabaseResult)-1;
    EXPECT_EQ(m_db->GetCalendarEntriesForPeriod(start, end, ppList, &r), S_OK);
    return r;
  }
  // The entries of a list, in order.
  std::vector<ICalendarEntry*> Entries(ICalendarEntryList* list) {
    std::vector<ICalendarEntry*> out;
    ICalendarEntryListIterator* it = nullptr;
    EXPECT_EQ(list->GetIterator(&it), S_OK);
    VARIANT_BOOL more = 0;
    while (SUCCEEDED(it->Next(&more)) && more) {
      ICalendarEntry* e = nullptr;
      it->get_current(&e);
      out.push_back(e);
      e->Release();
    }
    it->Release();
    return out;
  }
  std::vector<std::string> CollectionCalls() const {
    std::vector<std::string> out;
    for (const std::string& s : m_world.log)
      if (s.rfind("Folder.", 0) == 0 || s.rfind("Items.", 0) == 0 || s.rfind("Restricted.", 0) == 0) out.push_back(s);
    return out;
  }
  // The filter Restrict received.
  std::string Filter() {
    ComPtr<ICalendarEntryList> list;
    Text filter;
    m_folder->onItems = [&](FakeItems* items) {
      items->restrictTo = [items, &filter] {
        filter = items->lastFilter;
        return std::vector<IDispatch*>();
      };
    };
    EXPECT_EQ(Query(m_start, m_end, list.put()), ECalendarDatabaseResult_SUCCESS);
    m_folder->onItems = nullptr;
    return Narrow(filter);
  }

  // Monday 4 March 2024 08:05:30 UTC to Sunday 10 March 2024 22:59:59 UTC.
  DATE m_start = MakeDate(2024, 3, 4, 8, 5, 30);
  DATE m_end = MakeDate(2024, 3, 10, 22, 59, 59);
};

// The local bounds to the minute, in the user's formats and the machine's zone; a reversed period
// is kept as it is.
TEST_F(PeriodTest, TheFilterCarriesTheLocalBoundsToTheMinuteInTheUsersFormats) {
  const struct {
    const char* tz;
    const char *shortDate, *timeFormat;  // null: the default, M/d/yyyy and h:mm:ss tt
    bool reversed;
    const char* filter;
  } cases[] = {
      {"Europe/Berlin", nullptr, nullptr, false, "[Start] <= \"3/10/2024 23:59\" and [End] >= \"3/4/2024 9:05\""},
      {"Europe/Berlin", "dd.MM.yyyy", nullptr, false, "[Start] <= \"10.03.2024 23:59\" and [End] >= \"04.03.2024 9:05\""},
      {"Europe/Berlin", "yyyy-MM-dd", "HH:mm:ss", false, "[Start] <= \"2024-03-10 23:59\" and [End] >= \"2024-03-04 09:05\""},
      // 10 March 2024 is the day New York's clocks go forward.
      {"America/New_York", "yyyy-MM-dd", "HH:mm:ss", false, "[Start] <= \"2024-03-10 18:59\" and [End] >= \"2024-03-04 03:05\""},
      {"UTC", "yyyy-MM-dd", "HH:mm:ss", true, "[Start] <= \"2024-03-04 08:05\" and [End] >= \"2024-03-10 22:59\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.filter);
    TimeZoneScope tz(c.tz);
    UserFormats formats(c.shortDate, c.timeFormat);
    if (c.reversed) std::swap(m_start, m_end);
    EXPECT_EQ(Filter(), c.filter);
    if (c.reversed) std::swap(m_start, m_end);
  }
}

TEST_F(PeriodTest, CollectionsAreAskedInOrderAndEntriesFollowTheRestrictedOrder) {
  FakeAppointment* late = StoreAppointment(u"Late", 5, 6, u"ID1");
  StoreOther();
  FakeAppointment* early = StoreAppointment(u"Early", 3, 4, u"ID2");
  StoreAppointment(u"Outside", 9, 10, u"ID3");
  IDispatch* other = m_store.items[1];
  m_folder->onItems = [&](FakeItems* items) {
    items->restrictTo = [=] { return std::vector<IDispatch*>{early, other, late}; };
  };
  pimtest::TraceCapture trace;
  ComPtr<ICalendarEntryList> list;
  ASSERT_EQ(Query(m_start, m_end, list.put()), ECalendarDatabaseResult_SUCCESS);
  EXPECT_EQ(CollectionCalls(),
            (std::vector<std::string>{"Folder.get_Items", "Items.Sort([Start],false)", "Items.put_IncludeRecurrences(-1)",
                                      "Items.Restrict", "Restricted.Sort([Start],false)", "Restricted.GetFirst",
                                      "Restricted.GetNext", "Restricted.GetNext", "Restricted.GetNext"}));
  std::vector<ICalendarEntry*> entries = Entries(list.get());
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(CCalendarEntry::FromInterface(entries[0])->m_OutlookAppt, early);
  EXPECT_EQ(CCalendarEntry::FromInterface(entries[1])->m_OutlookAppt, late);
  EXPECT_EQ(Str(CCalendarEntry::FromInterface(entries[0])->m_subject), u"Early");
  EXPECT_EQ(CCalendarEntry::FromInterface(entries[0])->m_localUserId, nullptr) << "left for Update to set";
  EXPECT_TRUE(trace.Contains("*!*!* QueryInterface returned E_NOINTERFACE, why??? *!*!*. Ignoring item"));
  EXPECT_TRUE(trace.Contains(") New refcount: 1"));
  EXPECT_REF(list.get(), 1);
  EXPECT_REF(entries[0], 1);
  EXPECT_REF(early, 2);  // store and entry
  EXPECT_REF(other, 1);
  list.reset();
  EXPECT_REF(early, 1);
  EXPECT_EQ(_Module.GetLockCount(), 1);
  m_folder->onItems = nullptr;
}

TEST_F(PeriodTest, AnEmptyPeriodIsASuccessWithNoElementsAndReplacesTheCallersList) {
  ComPtr<ICalendarEntryList> old;
  ASSERT_EQ(Query(m_start, m_end, old.put()), ECalendarDatabaseResult_SUCCESS);
  ICalendarEntryList* inOut = old.get();
  ASSERT_EQ(Query(m_start, m_end, &inOut), ECalendarDatabaseResult_SUCCESS);
  ComPtr<ICalendarEntryList> fresh = ComPtr<ICalendarEntryList>::attach(inOut);
  EXPECT_NE(fresh.get(), old.get());
  EXPECT_REF(old.get(), 1) << "the caller's old list is neither used nor released";
  UINT n = 9;
  fresh->get_numElements(&n);
  EXPECT_EQ(n, 0u);
}

TEST_F(PeriodTest, EveryFailureLeavesTheCallersListAndNoReferenceBehind) {
  const struct {
    const char* call;
    bool itemOnFailure;
  } rows[] = {
      {"Folder.get_Items", false}, {"Items.Sort([Start],false)", false}, {"Items.put_IncludeRecurrences(-1)", false},
      {"Items.Restrict", false},   {"Restricted.Sort([Start],false)", false}, {"Restricted.GetFirst", false},
      {"Restricted.GetFirst", true}, {"Restricted.GetNext", false}, {"Restricted.GetNext", true},
      {"Appt.get_Body", false},    {"Safe.get_Recipients", false},
  };
  StoreAppointment(u"A", 1, 2, u"ID1");
  StoreAppointment(u"B", 3, 4, u"ID2");
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.call) + (row.itemOnFailure ? " with an item" : ""));
    m_world.fetchItemOnFailure = row.itemOnFailure;
    m_world.Fail(row.call, E_ACCESSDENIED, 1);
    m_world.log.clear();
    ICalendarEntryList* poison = reinterpret_cast<ICalendarEntryList*>(0xDEADBEEF);
    pimtest::TraceCapture trace;
    EXPECT_EQ(Query(m_start, m_end, &poison), ECalendarDatabaseResult_ERROR);
    EXPECT_EQ(poison, reinterpret_cast<ICalendarEntryList*>(0xDEADBEEF));
    m_world.failures.clear();
    m_world.fetchItemOnFailure = false;
    for (IDispatch* item : m_store.items) EXPECT_REF(item, 1);
    EXPECT_EQ(_Module.GetLockCount(), 1) << "no list or entry is left behind";
    if (std::string(row.call).rfind("Appt.", 0) != 0 && std::string(row.call).rfind("Safe.", 0) != 0) {
      EXPECT_TRUE(trace.Contains("ABORTING, bad HR: " + std::to_string((LONG)E_ACCESSDENIED)));
    }
  }
}

TEST_F(PeriodTest, AnAppointmentThatCannotBeAskedEndsTheQuery) {
  FakeAppointment* a = StoreAppointment(u"A", 1, 2, u"ID1");
  a->m_qiFailure = E_UNEXPECTED;
  ICalendarEntryList* list = nullptr;
  EXPECT_EQ(Query(m_start, m_end, &list), ECalendarDatabaseResult_ERROR);
  EXPECT_EQ(list, nullptr);
  EXPECT_REF(a, 1);
}

// The safe-item class is looked up once for a database, that is for one logon; the database of
// the next logon sees the registration as it is then.
TEST_F(PeriodTest, TheSafeItemClassIsLookedUpOncePerDatabase) {
  StoreAppointment(u"A", 1, 2, u"ID1");
  StoreAppointment(u"B", 3, 4, u"ID2");
  pim::fault::Scope counting;
  for (int i = 0; i < 2; ++i) {
    ComPtr<ICalendarEntryList> list;
    EXPECT_EQ(Query(m_start, m_end, list.put()), ECalendarDatabaseResult_SUCCESS);
  }
  EXPECT_EQ(pim::fault::count("CoGetClassObject"), 1u);
  EXPECT_EQ(m_safeFactory.activations, 4);

  auto* other = new FakeClassFactory([](REFIID riid, void** ppv) { return MakeFake<FakeSafeAppointment>(riid, ppv); });
  DWORD otherCookie = 0;
  ASSERT_EQ(CoRevokeClassObject(m_cookie), S_OK);
  ASSERT_EQ(CoRegisterClassObject(CLSID_SafeAppointmentItem, other, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                  &otherCookie),
            S_OK);
  m_db.reset();
  CComObject<CCalendarDatabase>* p = nullptr;
  ASSERT_EQ(CComObject<CCalendarDatabase>::CreateInstance(&p), S_OK);
  m_db = ComPtr<ICalendarDatabase>(p);
  m_pDb = p;
  BindDatabase();
  {
    ComPtr<ICalendarEntryList> list;
    EXPECT_EQ(Query(m_start, m_end, list.put()), ECalendarDatabaseResult_SUCCESS);
  }
  EXPECT_EQ(other->activations, 2);
  EXPECT_EQ(m_safeFactory.activations, 4);
  EXPECT_REF(other, 3) << "the test's, the class table's and the database's";
  m_db.reset();
  EXPECT_REF(other, 2) << "the database's went with it";
  ASSERT_EQ(CoRevokeClassObject(otherCookie), S_OK);
  other->Release();
  ASSERT_EQ(CoRegisterClassObject(CLSID_SafeAppointmentItem, &m_safeFactory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                  &m_cookie),
            S_OK);
}

TEST_F(PeriodTest, WithoutTheFolderNothingIsCalled) {
  UnbindDatabase();
  m_world.log.clear();
  ICalendarEntryList* list = nullptr;
  EXPECT_EQ(Query(m_start, m_end, &list), ECalendarDatabaseResult_ERROR);
  EXPECT_EQ(list, nullptr);
  EXPECT_TRUE(m_world.log.empty());
  EXPECT_EQ(m_db->GetCalendarEntriesForPeriod(m_start, m_end, nullptr, nullptr), E_POINTER);
}

}  // namespace
}  // namespace caltest
