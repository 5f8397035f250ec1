// COutlookPimAdapter: Logon, Logoff, the destructor and the availability probe, against fakes of the
// PIM application and the safe current user (exact failure rows, reference counts, trace texts).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "ComTestSupport.h"
#include "FakeAdapterTest.h"
#include "FakeOutlook.h"
#include "PimTestEnvironment.h"
#include "TraceCapture.h"

using ::testing::_;
using ::testing::Invoke;
using ::testing::Return;

namespace {

const BSTR kPoisonBstr = reinterpret_cast<BSTR>(static_cast<ULONG_PTR>(0x5EED));

bool IsMissingArgument(const VARIANT& v) { return v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND; }

class AdapterLogonTest : public pimtest::FakeAdapterTest {
 protected:
  // What the probe answers for the database; the version is left as it was.
  VARIANT_BOOL Probe(EPimDatabase database) {
    EPimDatabaseVersion version = EPimDatabaseVersion_OUTLOOK_98;
    VARIANT_BOOL available = 7;
    EXPECT_EQ(adapter_->CheckForPimDatabase(database, &version, &available), S_OK);
    EXPECT_EQ(version, EPimDatabaseVersion_OUTLOOK_98);
    return available;
  }
};

TEST_F(AdapterLogonTest, SuccessfulLogonKeepsItsObjectsAndHandsOutASeparateCopyOfTheName) {
  EXPECT_CALL(*outlook_.app, GetNamespace(_, _)).WillOnce(Invoke([&](BSTR type, _NameSpace** pp) {
    EXPECT_EQ(pimtest::Utf8(type), "MAPI");
    EXPECT_EQ(SysStringLen(type), 4u);
    return outlook_.HandOut<_NameSpace>(outlook_.nameSpace, pp);
  }));
  EXPECT_CALL(*outlook_.nameSpace, Logon(_, _, _, _))
      .WillOnce(Invoke([](VARIANT a, VARIANT b, VARIANT c, VARIANT d) {
        EXPECT_TRUE(IsMissingArgument(a) && IsMissingArgument(b) && IsMissingArgument(c) && IsMissingArgument(d));
        return S_FALSE;  // a success code other than S_OK is success
      }));

  pimtest::Bstr id;
  EXPECT_EQ(Logon(id.put()), EPimAdapterResult_SUCCESS);

  EXPECT_EQ(pimtest::Utf8(id.get()), "Fake User");
  ASSERT_NE(adapter_->m_MyPimId, nullptr);
  EXPECT_NE(adapter_->m_MyPimId, id.get());
  EXPECT_EQ(pimtest::Utf8(adapter_->m_MyPimId), "Fake User");
  EXPECT_EQ(adapter_->m_pTheOutlookApp, static_cast<_Application*>(outlook_.app));
  EXPECT_EQ(adapter_->m_pNameSpace, static_cast<_NameSpace*>(outlook_.nameSpace));
  EXPECT_EQ(adapter_->m_pSafeCurrUser, static_cast<ISafeCurrentUser*>(outlook_.currentUser));
  ExpectHolds(true, true, true);

  // The caller's copy goes; the adapter's stays.
  SysFreeString(id.release());
  EXPECT_EQ(pimtest::Utf8(adapter_->m_MyPimId), "Fake User");

  EXPECT_TRUE(trace_.Contains("Logon() Entered."));
  EXPECT_TRUE(trace_.Contains("in Logon, called Logon, hr is: 1"));
  EXPECT_TRUE(trace_.Contains("in Logon, using Redemption, called get_Name, hr is: 0 and name: Fake User"));
  EXPECT_TRUE(trace_.Contains("Logon() Left. MyOutlookId is: Fake User"));
}

struct LogonFailureRow {
  const char* name;
  std::function<void(pimtest::FakeOutlook&)> arrange;
  EPimAdapterResult result;
  bool holdsApp, holdsNameSpace, holdsUser;
};

class AdapterLogonFailureTest : public AdapterLogonTest, public ::testing::WithParamInterface<LogonFailureRow> {};

TEST_P(AdapterLogonFailureTest, KeepsWhatEarlierStepsSetAndLogoffGivesItBack) {
  const LogonFailureRow& row = GetParam();
  row.arrange(outlook_);

  BSTR id = kPoisonBstr;
  EXPECT_EQ(Logon(&id), row.result);

  ExpectHolds(row.holdsApp, row.holdsNameSpace, row.holdsUser);
  EXPECT_EQ(adapter_->m_MyPimId, nullptr);
  // Untouched before get_Name; after a failed get_Name whatever it left (the fake leaves it alone).
  EXPECT_EQ(id, kPoisonBstr);
  EXPECT_TRUE(trace_.Contains("ABORTING, bad HR: -2147467259")) << row.name;  // E_FAIL

  EXPECT_EQ(Logoff(), EPimAdapterResult_SUCCESS);
  ExpectHolds(false, false, false);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, AdapterLogonFailureTest,
    ::testing::Values(
        LogonFailureRow{"CreateApplication", [](pimtest::FakeOutlook& o) { o.appFactory->failWith = E_FAIL; },
                        EPimAdapterResult_LIBRARY_NOT_FOUND, false, false, false},
        LogonFailureRow{"GetNamespace",
                        [](pimtest::FakeOutlook& o) {
                          ON_CALL(*o.app, GetNamespace(_, _)).WillByDefault(Invoke([](BSTR, _NameSpace** pp) {
                            *pp = nullptr;
                            return E_FAIL;
                          }));
                        },
                        EPimAdapterResult_ERROR, true, false, false},
        LogonFailureRow{"NameSpaceLogon",
                        [](pimtest::FakeOutlook& o) { ON_CALL(*o.nameSpace, Logon(_, _, _, _)).WillByDefault(Return(E_FAIL)); },
                        EPimAdapterResult_ERROR, true, true, false},
        LogonFailureRow{"CreateSafeCurrentUser", [](pimtest::FakeOutlook& o) { o.userFactory->failWith = E_FAIL; },
                        EPimAdapterResult_ERROR, true, true, false},
        LogonFailureRow{"GetName",
                        [](pimtest::FakeOutlook& o) { ON_CALL(*o.currentUser, get_Name(_)).WillByDefault(Return(E_FAIL)); },
                        EPimAdapterResult_ERROR, true, true, true}),
    [](const ::testing::TestParamInfo<LogonFailureRow>& info) { return std::string(info.param.name); });

TEST_F(AdapterLogonTest, NullNameBecomesAnEmptyStringForBoth) {
  ON_CALL(*outlook_.currentUser, get_Name(_)).WillByDefault(Invoke([](BSTR* p) {
    *p = nullptr;
    return S_OK;
  }));
  BSTR id = kPoisonBstr;
  EXPECT_EQ(Logon(&id), EPimAdapterResult_SUCCESS);
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(SysStringLen(id), 0u);
  ASSERT_NE(adapter_->m_MyPimId, nullptr);
  EXPECT_NE(adapter_->m_MyPimId, id);
  EXPECT_EQ(SysStringLen(adapter_->m_MyPimId), 0u);
  EXPECT_TRUE(trace_.Contains(" and *pMyPimId = NULL"));
  SysFreeString(id);
}

TEST_F(AdapterLogonTest, NullOutPointerStillLogsOnAndKeepsTheName) {
  EXPECT_EQ(Logon(nullptr), EPimAdapterResult_SUCCESS);
  EXPECT_EQ(pimtest::Utf8(adapter_->m_MyPimId), "Fake User");
  EXPECT_TRUE(trace_.Contains("called get_Name, hr is: 0 and pMyPimId = NULL"));
  EXPECT_TRUE(trace_.Contains("Logon() Left. MyOutlookId is: Fake User"));
}

TEST_F(AdapterLogonTest, SecondLogonGivesBackWhatTheFirstHeld) {
  pimtest::Bstr first, second;
  ASSERT_EQ(Logon(first.put()), EPimAdapterResult_SUCCESS);
  ON_CALL(*outlook_.currentUser, get_Name(_)).WillByDefault(Invoke([](BSTR* p) {
    *p = SysAllocString(OLESTR("Other User"));
    return S_OK;
  }));
  ASSERT_EQ(Logon(second.put()), EPimAdapterResult_SUCCESS);

  ExpectHolds(true, true, true);
  EXPECT_EQ(pimtest::Utf8(adapter_->m_MyPimId), "Other User");
  EXPECT_EQ(outlook_.appFactory->activations, 2);

  // A second logon that fails at once holds nothing of the first.
  outlook_.appFactory->failWith = E_FAIL;
  BSTR third = kPoisonBstr;
  EXPECT_EQ(Logon(&third), EPimAdapterResult_LIBRARY_NOT_FOUND);
  EXPECT_EQ(adapter_->m_MyPimId, nullptr);
  ExpectHolds(false, false, false);
}

TEST_F(AdapterLogonTest, LogoffCleansUpAndReleasesEverything) {
  ASSERT_EQ(Logon(nullptr), EPimAdapterResult_SUCCESS);
  {
    ::testing::InSequence order;
    EXPECT_CALL(*outlook_.currentUser, Cleanup()).WillOnce(Return(S_OK));
    EXPECT_CALL(*outlook_.nameSpace, Logoff()).WillOnce(Return(S_OK));
  }
  trace_.Clear();
  EXPECT_EQ(Logoff(), EPimAdapterResult_SUCCESS);

  ExpectHolds(false, false, false);
  EXPECT_EQ(adapter_->m_MyPimId, nullptr);
  EXPECT_TRUE(trace_.Contains("Logoff called"));
  EXPECT_TRUE(trace_.Contains("). refcount left: 1"));
  EXPECT_TRUE(trace_.Contains("Called Release on m_pTheOutlookApp. RefsLeft: 1"));
  EXPECT_FALSE(trace_.Contains("used to crash here"));

  // Logged off: a second Logoff finds nothing and still succeeds; Logon works again.
  EXPECT_EQ(Logoff(), EPimAdapterResult_SUCCESS);
  EXPECT_TRUE(trace_.Contains("used to crash here (TT 1040), namespace is NULL"));
  EXPECT_EQ(Logon(nullptr), EPimAdapterResult_SUCCESS);
  EXPECT_REF(outlook_.app, 2);
}

TEST_F(AdapterLogonTest, LogoffOnANeverLoggedOnAdapter) {
  EXPECT_CALL(*outlook_.nameSpace, Logoff()).Times(0);
  EXPECT_CALL(*outlook_.currentUser, Cleanup()).Times(0);
  EXPECT_EQ(Logoff(), EPimAdapterResult_SUCCESS);
  EXPECT_EQ(Logoff(), EPimAdapterResult_SUCCESS);
  EXPECT_EQ(trace_.Messages(), (std::vector<std::string>{"Logoff called", "used to crash here (TT 1040), namespace is NULL",
                                                         "Logoff called", "used to crash here (TT 1040), namespace is NULL"}));
}

TEST_F(AdapterLogonTest, FailingCleanupIsTracedAndPassedOver) {
  ASSERT_EQ(Logon(nullptr), EPimAdapterResult_SUCCESS);
  EXPECT_CALL(*outlook_.currentUser, Cleanup()).WillOnce(Return(E_ACCESSDENIED));
  EXPECT_EQ(Logoff(), EPimAdapterResult_SUCCESS);
  EXPECT_TRUE(trace_.Contains("(not ABORTING) Cleanup failed. hr: -2147024891"));
  EXPECT_TRUE(trace_.Contains("(not ABORTING) Release failed. hr: -2147024891"));
  EXPECT_FALSE(trace_.Contains("Called Release on m_pSafeCurrUser."));
  EXPECT_REF(outlook_.currentUser, 1);
  EXPECT_REF(outlook_.app, 1);
}

TEST_F(AdapterLogonTest, FailingNameSpaceLogoffHoldsTheRestUntilASecondLogoff) {
  ASSERT_EQ(Logon(nullptr), EPimAdapterResult_SUCCESS);
  EXPECT_CALL(*outlook_.currentUser, Cleanup()).Times(1);  // not again on the second Logoff
  EXPECT_CALL(*outlook_.nameSpace, Logoff()).WillOnce(Return(E_FAIL)).WillOnce(Return(S_OK));

  EXPECT_EQ(Logoff(), EPimAdapterResult_ERROR);
  ExpectHolds(true, true, false);
  EXPECT_NE(adapter_->m_MyPimId, nullptr);
  EXPECT_TRUE(trace_.Contains("ABORTING, bad HR: -2147467259"));

  EXPECT_EQ(Logoff(), EPimAdapterResult_SUCCESS);
  ExpectHolds(false, false, false);
  EXPECT_EQ(adapter_->m_MyPimId, nullptr);
}

TEST_F(AdapterLogonTest, FinalReleaseWithoutLogoffReleasesAllWithoutLoggingOff) {
  ASSERT_EQ(Logon(nullptr), EPimAdapterResult_SUCCESS);
  ICalendarDatabase* cal = nullptr;
  IContactsDatabase* contacts = nullptr;
  GetBoth(&cal, &contacts);

  EXPECT_CALL(*outlook_.currentUser, Cleanup()).Times(0);
  EXPECT_CALL(*outlook_.nameSpace, Logoff()).Times(0);
  trace_.Clear();
  DestroyAdapter();

  const std::vector<pimtest::TraceRecord> records = trace_.Records();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.front().message, "~COutlookPimAdapter() Entered.");
  EXPECT_EQ(records.front().function, ":~COutlookPimAdapter()");
  EXPECT_EQ(records.back().message, "~COutlookPimAdapter() Left.");
  EXPECT_TRUE(trace_.Contains("Called Release on m_pCalendarDatabase. ("));
  EXPECT_TRUE(trace_.Contains("Called Release on m_pContactsDatabase. ("));
  EXPECT_TRUE(trace_.Contains("~CCalendarDatabase destructor called"));
  EXPECT_TRUE(trace_.Contains("CContactsDatabase destructor called"));
  // TearDown checks that every count is back and no database is alive.
}

// ---- CheckForPimDatabase ----

class AdapterProbeTest : public AdapterLogonTest, public ::testing::WithParamInterface<EPimDatabase> {};

TEST_P(AdapterProbeTest, AvailableWhenTheApplicationCanBeCreated) {
  EXPECT_EQ(Probe(GetParam()), VARIANT_TRUE);
  EXPECT_REF(outlook_.app, 1);  // the probe's own reference is gone
  EXPECT_TRUE(trace_.Contains("Called Release on m_pTheOutlookApp. RefsLeft: 1 pbAvail = -1"));
}

TEST_P(AdapterProbeTest, NotAvailableWhenTheApplicationCannotBeCreated) {
  outlook_.appFactory->failWith = REGDB_E_CLASSNOTREG;
  EXPECT_EQ(Probe(GetParam()), VARIANT_FALSE);
  EXPECT_TRUE(trace_.Contains("CoCreateInstance failed with hr: -2147221164 pbAvail = 0"));
}

INSTANTIATE_TEST_SUITE_P(EveryDatabase, AdapterProbeTest,
                         ::testing::Values(EPimDatabase_NONE, EPimDatabase_CALENDAR, EPimDatabase_CONTACTS,
                                           EPimDatabase_TASKS));

TEST_F(AdapterLogonTest, ProbeLeavesTheLogonIntact) {
  ASSERT_EQ(Logon(nullptr), EPimAdapterResult_SUCCESS);
  _Application* before = adapter_->m_pTheOutlookApp;
  EXPECT_EQ(Probe(EPimDatabase_CALENDAR), VARIANT_TRUE);
  EXPECT_EQ(adapter_->m_pTheOutlookApp, before);
  EXPECT_REF(outlook_.app, 2);
  EXPECT_NE(adapter_->m_pNameSpace, nullptr);
  EXPECT_NE(adapter_->m_MyPimId, nullptr);
}

// ---- through the registry and the class factory, as a host ----

class HostAdapterTest : public pimtest::AdapterTest {
 protected:
  pimtest::FakeOutlook outlook_;  // built after the fixture's apartment, gone before its TearDown check
};

TEST_F(HostAdapterTest, LastReleaseOfALoggedOnAdapterLeavesNothingBehind) {
  pimtest::Bstr id;
  ASSERT_EQ(pimtest::Logon(adapter_, id.put()), EPimAdapterResult_SUCCESS);
  EXPECT_EQ(pimtest::Utf8(id.get()), "Fake User");
  ICalendarDatabase* cal = nullptr;
  IContactsDatabase* contacts = nullptr;
  ASSERT_EQ(pimtest::GetCalendar(adapter_, &cal), EPimAdapterResult_SUCCESS);
  ASSERT_EQ(pimtest::GetContacts(adapter_, &contacts), EPimAdapterResult_SUCCESS);
  EXPECT_REF(cal, 1);
  EXPECT_REF(contacts, 1);
  EXPECT_FALSE(pimtest::Env().ComponentCanUnload());

  ReleaseAdapter();
  EXPECT_TRUE(pimtest::Env().ComponentCanUnload());
  EXPECT_REF(outlook_.app, 1);
  EXPECT_REF(outlook_.nameSpace, 1);
  EXPECT_REF(outlook_.currentUser, 1);
  EXPECT_REF(outlook_.calendarFolder, 1);
  EXPECT_REF(outlook_.contactsFolder, 1);
}

}  // namespace
