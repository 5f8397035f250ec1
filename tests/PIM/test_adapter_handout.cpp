// COutlookPimAdapter: handing out the calendar and contacts databases, SetMyPimId and Test.
#include <CCalendarDatabase.h>
#include <CContactsDatabase.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ComTestSupport.h"
#include "FakeAdapterTest.h"

using ::testing::_;
using ::testing::Invoke;
using ::testing::Return;

namespace {

ICalendarDatabase* const kPoisonCal = reinterpret_cast<ICalendarDatabase*>(static_cast<ULONG_PTR>(0xBAD0));
IContactsDatabase* const kPoisonContacts = reinterpret_cast<IContactsDatabase*>(static_cast<ULONG_PTR>(0xBAD1));

class AdapterHandoutTest : public pimtest::FakeAdapterTest {
 protected:
  void FailDefaultFolder(LONG type, int times = 1) {
    EXPECT_CALL(*outlook_.nameSpace, GetDefaultFolder(_, _)).Times(::testing::AnyNumber());
    EXPECT_CALL(*outlook_.nameSpace, GetDefaultFolder(type, _))
        .Times(times)
        .WillRepeatedly(Invoke([](LONG, MAPIFolder** pp) {
          *pp = nullptr;
          return E_FAIL;
        }))
        .RetiresOnSaturation();
  }
  pimtest::FaultScope faults_;
};

TEST_F(AdapterHandoutTest, CalendarDatabaseIsMadeOnceAndCarriesTheIdentityAndBothStreams) {
  ASSERT_EQ(Logon(nullptr), EPimAdapterResult_SUCCESS);
  EXPECT_CALL(*outlook_.nameSpace, GetDefaultFolder(olFolderCalendar, _)).Times(1);

  ICalendarDatabase* first = nullptr;
  ICalendarDatabase* second = nullptr;
  ASSERT_EQ(GetCalendar(&first), EPimAdapterResult_SUCCESS);
  ASSERT_EQ(GetCalendar(&second), EPimAdapterResult_SUCCESS);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first, static_cast<ICalendarDatabase*>(adapter_->m_pCalendarDatabase));
  EXPECT_REF(first, 1);

  CCalendarDatabase* db = adapter_->m_pCalendarDatabase;
  EXPECT_EQ(pimtest::Utf8(db->m_localUserId), "Fake User");
  EXPECT_NE(db->m_localUserId, adapter_->m_MyPimId);
  EXPECT_NE(db->m_pOutlookAppStream, nullptr);
  EXPECT_NE(db->m_pCalendarFolderStream, nullptr);
  EXPECT_EQ(db->m_pOutlookAppFromStream, nullptr);  // made on the first call from a thread
  EXPECT_EQ(adapter_->m_pCalendarFolder, static_cast<MAPIFolder*>(outlook_.calendarFolder));
  EXPECT_EQ(pimtest::FaultCount("CoMarshalInterThreadInterfaceInStream"), 2u);
  EXPECT_TRUE(trace_.Contains("Just got default calendar folder, initial refcount: 2"));
  EXPECT_TRUE(trace_.Contains("GetCalendarDatabase Left"));

  // Logoff gives back the database, the folder and what the streams held.
  EXPECT_EQ(Logoff(), EPimAdapterResult_SUCCESS);
  EXPECT_EQ(adapter_->m_pCalendarDatabase, nullptr);
  EXPECT_EQ(adapter_->m_pCalendarFolder, nullptr);
  EXPECT_EQ(_Module.GetLockCount(), 1);  // the adapter only
  EXPECT_REF(outlook_.calendarFolder, 1);
  EXPECT_REF(outlook_.app, 1);
}

TEST_F(AdapterHandoutTest, ContactsDatabaseIsMadeOnceAndHoldsTwoReferencesOnItsStream) {
  ASSERT_EQ(Logon(nullptr), EPimAdapterResult_SUCCESS);
  EXPECT_CALL(*outlook_.nameSpace, GetDefaultFolder(olFolderContacts, _)).Times(1);

  IContactsDatabase* first = kPoisonContacts;
  IContactsDatabase* second = kPoisonContacts;
  ASSERT_EQ(GetContacts(&first), EPimAdapterResult_SUCCESS);
  ASSERT_EQ(GetContacts(&second), EPimAdapterResult_SUCCESS);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first, static_cast<IContactsDatabase*>(adapter_->m_pContactsDatabase));
  EXPECT_REF(first, 1);
  IStream* stream = adapter_->m_pContactsDatabase->m_pContactsFolderStream;
  ASSERT_NE(stream, nullptr);
  EXPECT_REF(stream, 2);

  // Both stream references given back: the stream's hold on the folder is gone.
  EXPECT_EQ(Logoff(), EPimAdapterResult_SUCCESS);
  EXPECT_REF(outlook_.contactsFolder, 1);
}

TEST_F(AdapterHandoutTest, NotLoggedOnCallsNothingAndCachesNothing) {
  EXPECT_CALL(*outlook_.nameSpace, GetDefaultFolder(_, _)).Times(0);
  EXPECT_CALL(*outlook_.nameSpace, GetItemFromID(_, _, _)).Times(0);
  pimtest::Bstr entry(u"0000");

  for (int round = 0; round < 2; ++round) {
    ICalendarDatabase* cal = kPoisonCal;
    IContactsDatabase* contacts = kPoisonContacts;
    EXPECT_EQ(GetCalendar(&cal), EPimAdapterResult_NOT_LOGGED_IN);
    EXPECT_EQ(cal, kPoisonCal);
    EXPECT_EQ(GetContacts(&contacts), EPimAdapterResult_NOT_LOGGED_IN);
    EXPECT_EQ(contacts, nullptr);
    EXPECT_EQ(adapter_->Test(entry.get()), S_OK);
    EXPECT_EQ(adapter_->m_pCalendarDatabase, nullptr);
    EXPECT_EQ(adapter_->m_pContactsDatabase, nullptr);
    EXPECT_EQ(_Module.GetLockCount(), 1);  // no database was made
    EXPECT_EQ(pimtest::FaultCount("CoMarshalInterThreadInterfaceInStream"), 0u);

    // The second round: after a logon and its Logoff.
    ASSERT_EQ(Logon(nullptr), EPimAdapterResult_SUCCESS);
    ASSERT_EQ(Logoff(), EPimAdapterResult_SUCCESS);
  }
}

TEST_F(AdapterHandoutTest, CalendarCreationFailureCachesNothing) {
  ASSERT_EQ(Logon(nullptr), EPimAdapterResult_SUCCESS);
  pim::fault::arm("CoCreateFreeThreadedMarshaler", E_OUTOFMEMORY);
  ICalendarDatabase* cal = kPoisonCal;
  EXPECT_EQ(GetCalendar(&cal), EPimAdapterResult_ERROR);
  EXPECT_EQ(cal, kPoisonCal);
  EXPECT_EQ(adapter_->m_pCalendarDatabase, nullptr);
  EXPECT_EQ(adapter_->m_pCalendarFolder, nullptr);
  EXPECT_EQ(_Module.GetLockCount(), 1);
  EXPECT_TRUE(trace_.Contains("ABORTING, bad HR: -2147024882"));
}

TEST_F(AdapterHandoutTest, CalendarFolderFailureReleasesTheNewDatabase) {
  ASSERT_EQ(Logon(nullptr), EPimAdapterResult_SUCCESS);
  FailDefaultFolder(olFolderCalendar);
  ICalendarDatabase* cal = kPoisonCal;
  EXPECT_EQ(GetCalendar(&cal), EPimAdapterResult_GET_CAL_DB_FAILED);
  EXPECT_EQ(cal, kPoisonCal);
  EXPECT_EQ(adapter_->m_pCalendarDatabase, nullptr);
  EXPECT_EQ(adapter_->m_pCalendarFolder, nullptr);
  EXPECT_EQ(_Module.GetLockCount(), 1);
  EXPECT_TRUE(trace_.Contains("~CCalendarDatabase destructor called"));

  // The next call starts over and succeeds.
  EXPECT_EQ(GetCalendar(&cal), EPimAdapterResult_SUCCESS);
  EXPECT_EQ(cal, static_cast<ICalendarDatabase*>(adapter_->m_pCalendarDatabase));
}

// Marshalling the application (1st) or the folder (2nd) fails: the database goes, the folder stays,
// no stream is left behind, and a retry releases the stale folder before it fetches it again.
class AdapterMarshalFailureTest : public AdapterHandoutTest, public ::testing::WithParamInterface<unsigned> {};

TEST_P(AdapterMarshalFailureTest, ReleasesTheDatabaseAndTheStreamKeepsTheFolder) {
  ASSERT_EQ(Logon(nullptr), EPimAdapterResult_SUCCESS);
  pim::fault::arm("CoMarshalInterThreadInterfaceInStream", E_OUTOFMEMORY, GetParam());
  ICalendarDatabase* cal = kPoisonCal;
  EXPECT_EQ(GetCalendar(&cal), EPimAdapterResult_ERROR);
  EXPECT_EQ(cal, kPoisonCal);
  EXPECT_EQ(adapter_->m_pCalendarDatabase, nullptr);
  EXPECT_EQ(_Module.GetLockCount(), 1);
  EXPECT_EQ(adapter_->m_pCalendarFolder, static_cast<MAPIFolder*>(outlook_.calendarFolder));
  EXPECT_REF(outlook_.calendarFolder, 2);  // the test's and the adapter's: no stream holds it
  EXPECT_REF(outlook_.app, 2);             // the test's and the adapter's: the app stream is gone
  EXPECT_TRUE(trace_.Contains("ABORTING, bad HR: -2147024882"));

  trace_.Clear();
  EXPECT_EQ(GetCalendar(&cal), EPimAdapterResult_SUCCESS);
  EXPECT_TRUE(trace_.Contains("Called Release on m_pCalendarFolder. ("));
  EXPECT_TRUE(trace_.Contains("Just got default calendar folder, initial refcount: 2"));
}

INSTANTIATE_TEST_SUITE_P(ApplicationThenFolder, AdapterMarshalFailureTest, ::testing::Values(1u, 2u));

TEST_F(AdapterHandoutTest, ContactsFailuresAllReportGetContactsDbFailedWithANullOutPointer) {
  ASSERT_EQ(Logon(nullptr), EPimAdapterResult_SUCCESS);

  IContactsDatabase* contacts = kPoisonContacts;
  auto expectFailed = [&](MAPIFolder* folderKept) {
    EXPECT_EQ(GetContacts(&contacts), EPimAdapterResult_GET_CONTACTS_DB_FAILED);
    EXPECT_EQ(contacts, nullptr);
    EXPECT_EQ(adapter_->m_pContactsFolder, folderKept);
    contacts = kPoisonContacts;
  };
  pim::fault::arm("CoCreateFreeThreadedMarshaler", E_OUTOFMEMORY);
  expectFailed(nullptr);
  FailDefaultFolder(olFolderContacts);
  expectFailed(nullptr);
  pim::fault::arm("CoMarshalInterThreadInterfaceInStream", E_OUTOFMEMORY);
  expectFailed(outlook_.contactsFolder);
  EXPECT_REF(outlook_.contactsFolder, 2);

  EXPECT_EQ(adapter_->m_pContactsDatabase, nullptr);
  EXPECT_EQ(_Module.GetLockCount(), 1);

  EXPECT_EQ(GetContacts(&contacts), EPimAdapterResult_SUCCESS);
  EXPECT_NE(contacts, nullptr);
}

TEST_F(AdapterHandoutTest, SetMyPimIdReachesOnlyACalendarDatabaseMadeAfterIt) {
  EPimAdapterResult r = (EPimAdapterResult)-1;
  pimtest::Bstr early(u"Before Logon");
  EXPECT_EQ(adapter_->SetMyPimId(early.get(), &r), S_OK);
  EXPECT_EQ(r, EPimAdapterResult_SUCCESS);
  EXPECT_EQ(pimtest::Utf8(adapter_->m_MyPimId), "Before Logon");
  EXPECT_TRUE(trace_.Contains("SetMyPimId called with new PimId:Before Logon"));

  ASSERT_EQ(Logon(nullptr), EPimAdapterResult_SUCCESS);  // replaces it
  EXPECT_EQ(pimtest::Utf8(adapter_->m_MyPimId), "Fake User");

  pimtest::Bstr mine(u"Jane Roe");
  EXPECT_EQ(adapter_->SetMyPimId(mine.get(), &r), S_OK);
  EXPECT_NE(adapter_->m_MyPimId, mine.get());
  ICalendarDatabase* cal = nullptr;
  ASSERT_EQ(GetCalendar(&cal), EPimAdapterResult_SUCCESS);
  EXPECT_EQ(pimtest::Utf8(adapter_->m_pCalendarDatabase->m_localUserId), "Jane Roe");

  pimtest::Bstr later(u"John Doe");
  EXPECT_EQ(adapter_->SetMyPimId(later.get(), &r), S_OK);
  EXPECT_EQ(pimtest::Utf8(adapter_->m_MyPimId), "John Doe");
  EXPECT_EQ(pimtest::Utf8(adapter_->m_pCalendarDatabase->m_localUserId), "Jane Roe");
}

TEST_F(AdapterHandoutTest, TestLooksUpTheEntryWithAnEmptyStore) {
  ASSERT_EQ(Logon(nullptr), EPimAdapterResult_SUCCESS);
  pimtest::Bstr entry(u"00000000ABCD");
  EXPECT_CALL(*outlook_.nameSpace, GetItemFromID(_, _, _)).WillOnce(Invoke([&](BSTR id, VARIANT store, IDispatch** pp) {
    EXPECT_EQ(pimtest::Utf8(id), "00000000ABCD");
    EXPECT_EQ(store.vt, VT_EMPTY);
    return pimtest::FakeOutlook::HandOut<IDispatch>(outlook_.calendarFolder, pp);
  }));
  EXPECT_EQ(adapter_->Test(entry.get()), S_OK);
  EXPECT_TRUE(trace_.Contains("Test called"));
  // TearDown: the found item was released again.
}

}  // namespace
