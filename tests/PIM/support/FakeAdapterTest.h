// Fixture: an adapter of the compiled-in component sources (its members can be looked at) in front of
// the fakes of FakeOutlook, with trace capture on. TearDown checks that no component object is alive
// and that every fake is back to the test's own single reference.
//
//     class MyTest : public pimtest::FakeAdapterTest {};
//     TEST_F(MyTest, X) { ASSERT_EQ(Logon(nullptr), EPimAdapterResult_SUCCESS); ... }
#pragma once
#include <COutlookPimAdapter.h>
#include <ObjectFrame.h>
#include <gtest/gtest.h>

#include "ComTestSupport.h"
#include "FakeOutlook.h"
#include "PimTestEnvironment.h"
#include "TraceCapture.h"

namespace pimtest {

// An adapter of the compiled-in component sources, with trace capture on; TearDown checks that no
// object of the component is alive.
class CompiledAdapterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CComObject<COutlookPimAdapter>::CreateInstance(&adapter_), S_OK);
    adapter_->AddRef();
  }
  void TearDown() override {
    DestroyAdapter();
    EXPECT_EQ(_Module.GetLockCount(), 0) << "an object of the component is still alive";
  }
  // The adapter's last reference; its destructor runs here.
  void DestroyAdapter() {
    if (adapter_) adapter_->Release();
    adapter_ = nullptr;
  }
  EPimAdapterResult Logon(BSTR* pId) { return pimtest::Logon(adapter_, pId); }
  EPimAdapterResult Logoff() { return pimtest::Logoff(adapter_); }
  EPimAdapterResult GetCalendar(ICalendarDatabase** pp) { return pimtest::GetCalendar(adapter_, pp); }
  EPimAdapterResult GetContacts(IContactsDatabase** pp) { return pimtest::GetContacts(adapter_, pp); }
  // Which of the logon's objects the adapter holds.
  void ExpectPointers(bool app, bool nameSpace, bool user) {
    EXPECT_EQ(adapter_->m_pTheOutlookApp != nullptr, app);
    EXPECT_EQ(adapter_->m_pNameSpace != nullptr, nameSpace);
    EXPECT_EQ(adapter_->m_pSafeCurrUser != nullptr, user);
  }
  // Both databases of a logged-on adapter, borrowed (they go with the logon).
  void GetBoth(ICalendarDatabase** cal, IContactsDatabase** contacts) {
    ASSERT_EQ(GetCalendar(cal), EPimAdapterResult_SUCCESS);
    ASSERT_EQ(GetContacts(contacts), EPimAdapterResult_SUCCESS);
  }

  Apartment com_;
  TraceCapture trace_;
  CComObject<COutlookPimAdapter>* adapter_ = nullptr;
};

// In front of the fakes of FakeOutlook; TearDown also checks every fake is back to the test's own
// single reference.
class FakeAdapterTest : public CompiledAdapterTest {
 protected:
  void TearDown() override {
    CompiledAdapterTest::TearDown();
    EXPECT_REF(outlook_.app, 1);
    EXPECT_REF(outlook_.nameSpace, 1);
    EXPECT_REF(outlook_.currentUser, 1);
    EXPECT_REF(outlook_.calendarFolder, 1);
    EXPECT_REF(outlook_.contactsFolder, 1);
  }

  // Which of the logon's objects the adapter holds: its pointer and its one reference on each.
  void ExpectHolds(bool app, bool nameSpace, bool user) {
    ExpectPointers(app, nameSpace, user);
    EXPECT_REF(outlook_.app, app ? 2 : 1);
    EXPECT_REF(outlook_.nameSpace, nameSpace ? 2 : 1);
    EXPECT_REF(outlook_.currentUser, user ? 2 : 1);
  }

  FakeOutlook outlook_;
};

}  // namespace pimtest
