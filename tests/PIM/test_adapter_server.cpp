// COutlookPimAdapter against our PIM server (registered in the test registry): the handout, the
// thread-bound pointers on two threads, and every reference the adapter took on the server's objects
// given back by Logoff. The failure rows of the logon and the handout are AdapterLogonTest's and
// AdapterHandoutTest's, against the fakes.
#include <CCalendarDatabase.h>
#include <CContactsDatabase.h>
#include <ComPtr.h>

#include <atomic>
#include <thread>

#include "FakeAdapterTest.h"

namespace {

class AdapterServerTest : public pimtest::CompiledAdapterTest {
 protected:
  void SetUp() override {
    if (!pimtest::Env().serverRegistered) GTEST_SKIP() << "PIM server not registered";
    CompiledAdapterTest::SetUp();
  }
  pimtest::FaultScope faults_;
};

TEST_F(AdapterServerTest, HandoutWorksOnTwoThreadsAndLogoffGivesEverythingBack) {
  VARIANT_BOOL available = 0;
  EPimDatabaseVersion version = EPimDatabaseVersion_OUTLOOK_2000;
  EXPECT_EQ(adapter_->CheckForPimDatabase(EPimDatabase_CALENDAR, &version, &available), S_OK);
  EXPECT_EQ(available, VARIANT_TRUE);

  pimtest::Bstr id;
  ASSERT_EQ(Logon(id.put()), EPimAdapterResult_SUCCESS);
  ASSERT_NE(id.get(), nullptr);
  EXPECT_EQ(pimtest::Utf8(id.get()), pimtest::Utf8(adapter_->m_MyPimId));

  ICalendarDatabase* cal = nullptr;
  IContactsDatabase* contacts = nullptr;
  GetBoth(&cal, &contacts);

  // References of our own, to see what the adapter and its databases hold.
  ComPtr<_Application> app(adapter_->m_pTheOutlookApp);
  ComPtr<MAPIFolder> calendarFolder(adapter_->m_pCalendarFolder);
  ComPtr<MAPIFolder> contactsFolder(adapter_->m_pContactsFolder);

  CCalendarDatabase* calDb = adapter_->m_pCalendarDatabase;
  CContactsDatabase* conDb = adapter_->m_pContactsDatabase;
  auto use = [&] {
    pimtest::Apartment com;
    CObjectLock lock(calDb);
    MAPIFolder* folder = calDb->get_pCalendarFolder();
    ASSERT_NE(folder, nullptr);
    pimtest::Bstr name;
    EXPECT_EQ(folder->get_Name(name.put()), S_OK);
    EXPECT_NE(calDb->get_pOutlookApp(), nullptr);
    CObjectLock lock2(conDb);
    ASSERT_NE(conDb->get_pContactsFolder(), nullptr);
  };
  use();
  std::thread other(use);
  other.join();
  use();
  EXPECT_EQ(pimtest::FaultCount("IStream::Clone"), 9u);  // three bindings of three rows

  pim::fault::arm("ISafeCurrentUser::Cleanup", E_FAIL);  // passed over
  EXPECT_EQ(Logoff(), EPimAdapterResult_SUCCESS);
  EXPECT_TRUE(trace_.Contains("(not ABORTING) Cleanup failed. hr: "));
  EXPECT_REF(app.get(), 1);
  EXPECT_REF(calendarFolder.get(), 1);
  EXPECT_REF(contactsFolder.get(), 1);
}

// The handed-out databases used from two threads at the same time: each call rebinds to its own
// thread under the database's lock, queries and adds reach the server from both, and Logoff still
// gives every reference back.
TEST_F(AdapterServerTest, HandedOutDatabasesServeTwoThreadsAtOnce) {
  ASSERT_EQ(Logon(nullptr), EPimAdapterResult_SUCCESS);
  ICalendarDatabase* cal = nullptr;
  IContactsDatabase* contacts = nullptr;
  GetBoth(&cal, &contacts);
  ASSERT_TRUE(cal && contacts);
  ComPtr<_Application> app(adapter_->m_pTheOutlookApp);
  ComPtr<MAPIFolder> calendarFolder(adapter_->m_pCalendarFolder);

  const DATE day = 55000.0;  // 2050-07-31: no other test writes there
  std::atomic<int> added{0};
  auto work = [&](int t) {
    pimtest::Apartment com;
    for (int i = 0; i < 10; ++i) {
      ComPtr<ICalendarEntry> entry;
      ECalendarDatabaseResult cr = ECalendarDatabaseResult_ERROR;
      ASSERT_EQ(cal->CreateCalendarEntry(entry.put(), &cr), S_OK);
      pimtest::Bstr subject(t ? u"thread one" : u"thread zero");
      entry->put_subject(subject.get());
      entry->put_startTime(day + i / 24.0);
      entry->put_endTime(day + i / 24.0 + 0.01);
      EXPECT_EQ(cal->AddCalendarEntry(entry.get(), &cr), S_OK);
      if (cr == ECalendarDatabaseResult_SUCCESS) ++added;
      ComPtr<ICalendarEntryList> list;
      EXPECT_EQ(cal->GetCalendarEntriesForPeriod(day, day + 1, list.put(), &cr), S_OK);
      EXPECT_EQ(cr, ECalendarDatabaseResult_SUCCESS);
      ComPtr<IContactEntry> contact;
      EContactsDatabaseResult kr = EContactsDatabaseResult_ERROR;
      pimtest::Bstr first(u"Nobody"), last(u"Atall");
      EXPECT_EQ(contacts->GetContactByName(first.get(), last.get(), contact.put(), &kr), S_OK);
      EXPECT_EQ(kr, EContactsDatabaseResult_NO_ITEM_FOUND);
    }
  };
  std::thread a(work, 0), b(work, 1);
  a.join();
  b.join();
  EXPECT_EQ(added.load(), 20);

  ComPtr<ICalendarEntryList> list;
  ECalendarDatabaseResult cr = ECalendarDatabaseResult_ERROR;
  ASSERT_EQ(cal->GetCalendarEntriesForPeriod(day, day + 1, list.put(), &cr), S_OK);
  UINT n = 0;
  list->get_numElements(&n);
  EXPECT_EQ(n, 20u);
  // Tidy the store for the other tests.
  ComPtr<ICalendarEntryListIterator> it;
  ASSERT_EQ(list->GetIterator(it.put()), S_OK);
  for (VARIANT_BOOL more = VARIANT_TRUE; more == VARIANT_TRUE;) {
    ComPtr<ICalendarEntry> e;
    if (it->get_current(e.put()) != S_OK || !e) break;
    cal->RemoveCalendarEntry(e.get(), &cr);
    if (FAILED(it->Next(&more))) break;
  }
  list.reset();
  it.reset();
  EXPECT_EQ(Logoff(), EPimAdapterResult_SUCCESS);
  EXPECT_REF(app.get(), 1);
  EXPECT_REF(calendarFolder.get(), 1);
}

}  // namespace
