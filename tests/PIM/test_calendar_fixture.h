// Fixture of the calendar tests: a calendar database bound to test doubles of the application and
// its default calendar folder, the safe appointment item in front of activation, and the checks
// that every double and every component object is gone when a test ends.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "CCalendarDatabase.h"
#include "CCalendarEntry.h"
#include "CCalendarEntryList.h"
#include "support/ComTestSupport.h"
#include "support/FakeOutlook.h"
#include "support/TimeZoneScope.h"
#include "../support/TraceCapture.h"

namespace caltest {

using namespace pimtest;

// DATE of a calendar date and clock time (no zone).
inline DATE MakeDate(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  using namespace std::chrono;
  const sys_days day = year(y) / month((unsigned)mo) / (unsigned)d;
  const sys_days epoch = year(1899) / December / 30;
  return (double)(day - epoch).count() + (h * 3600 + mi * 60 + s) / 86400.0;
}

// A new entry, with the caller's one reference.
inline ComPtr<ICalendarEntry> NewEntry(CCalendarEntry** ppImpl = nullptr) {
  CComObject<CCalendarEntry>* p = nullptr;
  EXPECT_EQ(CComObject<CCalendarEntry>::CreateInstance(&p), S_OK);
  if (p == nullptr) return ComPtr<ICalendarEntry>();
  if (ppImpl) *ppImpl = p;
  return ComPtr<ICalendarEntry>(p);
}

inline std::u16string Str(BSTR b) { return b ? std::u16string(reinterpret_cast<const char16_t*>(b), SysStringLen(b)) : u"<null>"; }

class CalendarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_world.Clear();
    ASSERT_TRUE(SUCCEEDED(m_com.hr()));
    ASSERT_EQ(CoRegisterClassObject(CLSID_SafeAppointmentItem, &m_safeFactory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                    &m_cookie),
              S_OK);
    m_app = new ::testing::NiceMock<FakeApplication>(&m_store);
    m_folder = new ::testing::NiceMock<FakeFolder>(&m_store);
    CComObject<CCalendarDatabase>* p = nullptr;
    ASSERT_EQ(CComObject<CCalendarDatabase>::CreateInstance(&p), S_OK);
    m_db = ComPtr<ICalendarDatabase>(p);
    m_pDb = p;
    BindDatabase();
    pimtest::Bstr me(u"Me");
    m_pDb->SetLocalUserId(me.get());
  }

  void TearDown() override {
    m_db.reset();
    m_pDb = nullptr;
    m_folder->Release();
    m_app->Release();
    m_store.Clear();
    CoRevokeClassObject(m_cookie);
    EXPECT_EQ(LiveFakes().load(), 0) << "test doubles still referenced";
    EXPECT_EQ(_Module.GetLockCount(), 0) << "component objects still alive";
    m_world.Clear();
  }

  // Puts the application and the folder into the database's record as if unmarshalled here.
  void BindDatabase() {
    m_pDb->m_pOutlookAppFromStream = m_app;
    m_app->AddRef();
    m_pDb->m_pCalendarFolderFromStream = m_folder;
    m_folder->AddRef();
    m_pDb->m_ptrsThreadId = GetCurrentThreadId();
  }

  // Leaves the record with no pointers and no streams: both getters answer null.
  void UnbindDatabase() {
    m_pDb->m_pOutlookAppFromStream->Release();
    m_pDb->m_pOutlookAppFromStream = nullptr;
    m_pDb->m_pCalendarFolderFromStream->Release();
    m_pDb->m_pCalendarFolderFromStream = nullptr;
    m_pDb->m_ptrsThreadId = 0;
  }

  // An appointment in the store, with the store's one reference.
  FakeAppointment* StoreAppointment(const char16_t* subject, DATE start, DATE end, const char16_t* id) {
    FakeAppointment* a = new FakeAppointment(&m_store);
    a->m_subject = std::u16string(subject);
    a->m_start = start;
    a->m_end = end;
    if (id) a->m_entryId = std::u16string(id);
    m_store.Add(a);
    return a;
  }
  void StoreOther() {
    FakeOtherItem* o = new FakeOtherItem();
    m_store.Add(o);
  }

  pimtest::Apartment m_com;
  FakeCalls& m_world = Calls();
  FakeClassFactory m_safeFactory{[](REFIID riid, void** ppv) {
    HRESULT hr = Calls().Call("Safe.Create");
    return FAILED(hr) ? hr : MakeFake<FakeSafeAppointment>(riid, ppv);
  }};
  DWORD m_cookie = 0;
  FakeStore m_store;
  FakeApplication* m_app = nullptr;
  FakeFolder* m_folder = nullptr;
  ComPtr<ICalendarDatabase> m_db;
  CCalendarDatabase* m_pDb = nullptr;
};

}  // namespace caltest
