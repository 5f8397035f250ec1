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
#include "TraceCapture.h"

namespace pimtest {

class FakeAdapterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CComObject<COutlookPimAdapter>::CreateInstance(&adapter_), S_OK);
    adapter_->AddRef();
  }
  void TearDown() override {
    DestroyAdapter();
    EXPECT_EQ(_Module.GetLockCount(), 0) << "an object of the component is still alive";
    EXPECT_REF(outlook_.app, 1);
    EXPECT_REF(outlook_.nameSpace, 1);
    EXPECT_REF(outlook_.currentUser, 1);
    EXPECT_REF(outlook_.calendarFolder, 1);
    EXPECT_REF(outlook_.contactsFolder, 1);
  }
  // The adapter's last reference; its destructor runs here.
  void DestroyAdapter() {
    if (adapter_) adapter_->Release();
    adapter_ = nullptr;
  }
  EPimAdapterResult Logon(BSTR* pId) {
    EPimAdapterResult result = (EPimAdapterResult)-1;
    EXPECT_EQ(adapter_->Logon(pId, &result), S_OK);
    return result;
  }
  EPimAdapterResult Logoff() {
    EPimAdapterResult result = (EPimAdapterResult)-1;
    EXPECT_EQ(adapter_->Logoff(&result), S_OK);
    return result;
  }
  EPimAdapterResult GetCalendar(ICalendarDatabase** pp) {
    EPimAdapterResult result = (EPimAdapterResult)-1;
    EXPECT_EQ(adapter_->GetCalendarDatabase(pp, &result), S_OK);
    return result;
  }
  EPimAdapterResult GetContacts(IContactsDatabase** pp) {
    EPimAdapterResult result = (EPimAdapterResult)-1;
    EXPECT_EQ(adapter_->GetContactsDatabase(pp, &result), S_OK);
    return result;
  }

  Apartment com_;
  FakeOutlook outlook_;
  TraceCapture trace_;
  CComObject<COutlookPimAdapter>* adapter_ = nullptr;
};

}  // namespace pimtest
