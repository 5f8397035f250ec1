// The thread-bound record of both databases: CheckAndUpdatePtrsFromStreams, the getters, destruction,
// and overlapping callers serialised by the object's lock.
#include <CCalendarDatabase.h>
#include <CContactsDatabase.h>
#include <ComPtr.h>
#include <ObjectFrame.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ComTestSupport.h"
#include "FakeOutlook.h"
#include "TraceCapture.h"

namespace {

using pimtest::FaultCount;

// Runs fn on a new thread with COM initialised, and waits for it.
template <class Fn>
void OnOtherThread(Fn fn) {
  std::thread t([&] {
    pimtest::Apartment com;
    fn();
  });
  t.join();
}

IUnknown* Identity(IUnknown* p) {
  IUnknown* unk = nullptr;
  if (p == nullptr || FAILED(p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk)))) return nullptr;
  unk->Release();
  return unk;
}

class ThreadBoundTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(_Module.GetLockCount(), 0);
    EXPECT_REF(outlook_.app, 1);
    EXPECT_REF(outlook_.calendarFolder, 1);
    EXPECT_REF(outlook_.contactsFolder, 1);
  }

  // A calendar database with its streams handed over as the adapter does.
  CComObject<CCalendarDatabase>* MakeCalendar() {
    CComObject<CCalendarDatabase>* db = nullptr;
    EXPECT_EQ(CComObject<CCalendarDatabase>::CreateInstance(&db), S_OK);
    db->AddRef();
    EXPECT_EQ(CoMarshalInterThreadInterfaceInStream(IID__Application, outlook_.app, &db->m_pOutlookAppStream), S_OK);
    EXPECT_EQ(CoMarshalInterThreadInterfaceInStream(IID_MAPIFolder, outlook_.calendarFolder, &db->m_pCalendarFolderStream),
              S_OK);
    return db;
  }
  // A contacts database holding two references on its stream, as the adapter's handover leaves it.
  CComObject<CContactsDatabase>* MakeContacts() {
    CComObject<CContactsDatabase>* db = nullptr;
    EXPECT_EQ(CComObject<CContactsDatabase>::CreateInstance(&db), S_OK);
    db->AddRef();
    EXPECT_EQ(CoMarshalInterThreadInterfaceInStream(IID_MAPIFolder, outlook_.contactsFolder, &db->m_pContactsFolderStream),
              S_OK);
    db->m_pContactsFolderStream->AddRef();
    return db;
  }

  pimtest::Apartment com_;
  pimtest::FakeOutlook outlook_;
  pimtest::TraceCapture trace_;
  pimtest::FaultScope faults_;
};

TEST_F(ThreadBoundTest, FirstCallBindsEveryRowAndTheSameThreadAgainCostsNothing) {
  CComObject<CCalendarDatabase>* db = MakeCalendar();
  EXPECT_EQ(db->m_ptrsThreadId, 0u);

  ASSERT_TRUE(db->CheckAndUpdatePtrsFromStreams());
  EXPECT_EQ(db->m_ptrsThreadId, GetCurrentThreadId());
  EXPECT_EQ(FaultCount("IStream::Clone"), 2u);
  EXPECT_EQ(FaultCount("CoGetInterfaceAndReleaseStream"), 2u);
  EXPECT_EQ(Identity(db->m_pOutlookAppFromStream), Identity(outlook_.app));
  EXPECT_EQ(Identity(db->m_pCalendarFolderFromStream), Identity(outlook_.calendarFolder));

  trace_.Clear();
  EXPECT_EQ(db->get_pOutlookApp(), db->m_pOutlookAppFromStream);
  EXPECT_EQ(db->get_pCalendarFolder(), db->m_pCalendarFolderFromStream);
  EXPECT_EQ(FaultCount("IStream::Clone"), 2u);
  EXPECT_EQ(FaultCount("CoGetInterfaceAndReleaseStream"), 2u);
  EXPECT_EQ(trace_.Messages(), (std::vector<std::string>{"get_pOutlookApp called", "CheckAndUpdatePtrsFromStreams called",
                                                         "get_pCalendarFolder called",
                                                         "CheckAndUpdatePtrsFromStreams called"}));
  db->Release();
}

TEST_F(ThreadBoundTest, EachChangeOfThreadRebindsFromTheKeptStreams) {
  CComObject<CCalendarDatabase>* db = MakeCalendar();
  IStream* keptApp = db->m_pOutlookAppStream;
  ULONG keptRefs = pimtest::RefCount(keptApp);
  DWORD a = GetCurrentThreadId();
  ASSERT_TRUE(db->CheckAndUpdatePtrsFromStreams());

  DWORD b = 0;
  OnOtherThread([&] {
    b = GetCurrentThreadId();
    EXPECT_NE(db->get_pCalendarFolder(), nullptr);
    EXPECT_EQ(db->m_ptrsThreadId, b);
  });
  EXPECT_EQ(FaultCount("CoGetInterfaceAndReleaseStream"), 4u);
  EXPECT_EQ(trace_.Count("m_pOutlookAppFromStream->Release() refsLeft: "), 1u);
  EXPECT_EQ(trace_.Count("m_pCalendarFolderFromStream->Release() refsLeft: "), 1u);

  EXPECT_NE(db->get_pOutlookApp(), nullptr);
  EXPECT_EQ(db->m_ptrsThreadId, a);
  EXPECT_EQ(FaultCount("IStream::Clone"), 6u);
  EXPECT_EQ(FaultCount("CoGetInterfaceAndReleaseStream"), 6u);
  EXPECT_EQ(trace_.Count("m_pOutlookAppFromStream->Release() refsLeft: "), 2u);

  // The kept streams are never consumed: same stream, same count.
  EXPECT_EQ(db->m_pOutlookAppStream, keptApp);
  EXPECT_REF(keptApp, keptRefs);
  db->Release();
}

TEST_F(ThreadBoundTest, CloneFailingHalfWayLeavesTheApplicationRebound) {
  CComObject<CCalendarDatabase>* db = MakeCalendar();
  ASSERT_TRUE(db->CheckAndUpdatePtrsFromStreams());
  DWORD a = GetCurrentThreadId();
  MAPIFolder* folderOfA = db->m_pCalendarFolderFromStream;
  trace_.Clear();

  OnOtherThread([&] {
    pim::fault::arm("IStream::Clone", E_OUTOFMEMORY, 2);  // the folder row's clone
    EXPECT_FALSE(db->CheckAndUpdatePtrsFromStreams());
  });
  EXPECT_TRUE(trace_.Contains("local check ABORTING, bad HR: -2147024882"));
  EXPECT_EQ(trace_.Count("m_pOutlookAppFromStream->Release() refsLeft: "), 1u);
  EXPECT_EQ(trace_.Count("m_pCalendarFolderFromStream->Release() refsLeft: "), 0u);
  EXPECT_EQ(FaultCount("CoGetInterfaceAndReleaseStream"), 3u);  // the application was unmarshalled again
  EXPECT_NE(db->m_pOutlookAppFromStream, nullptr);
  EXPECT_EQ(db->m_pCalendarFolderFromStream, folderOfA);
  EXPECT_EQ(db->m_ptrsThreadId, a);

  // The stored thread itself is not checked again; another thread retries the whole regeneration.
  EXPECT_TRUE(db->CheckAndUpdatePtrsFromStreams());
  EXPECT_EQ(FaultCount("IStream::Clone"), 4u);
  OnOtherThread([&] { EXPECT_TRUE(db->CheckAndUpdatePtrsFromStreams()); });
  EXPECT_EQ(FaultCount("IStream::Clone"), 6u);
  EXPECT_NE(db->m_ptrsThreadId, a);
  db->Release();
}

TEST_F(ThreadBoundTest, FailedRebindKeepsTheStoredThreadAndTheGettersGiveNull) {
  CComObject<CCalendarDatabase>* db = MakeCalendar();
  pim::fault::arm("CoGetInterfaceAndReleaseStream", E_FAIL);
  EXPECT_EQ(db->get_pOutlookApp(), nullptr);
  EXPECT_EQ(db->m_pOutlookAppFromStream, nullptr);
  EXPECT_EQ(db->m_ptrsThreadId, 0u);
  EXPECT_EQ(FaultCount("IStream::Clone"), 1u);  // the folder row was not reached

  // The next call tries the whole regeneration again.
  EXPECT_NE(db->get_pCalendarFolder(), nullptr);
  EXPECT_EQ(db->m_ptrsThreadId, GetCurrentThreadId());
  db->Release();
}

TEST_F(ThreadBoundTest, CalendarDestructorGivesBackPointersAndStreams) {
  CComObject<CCalendarDatabase>* unused = MakeCalendar();
  unused->SetLocalUserId(pimtest::Bstr(u"me").get());
  trace_.Clear();
  unused->Release();
  ASSERT_EQ(trace_.Records().size(), 1u);
  EXPECT_EQ(trace_.Records()[0].message, "~CCalendarDatabase destructor called");
  EXPECT_EQ(trace_.Records()[0].function, "~CCalendarDatabase");
  EXPECT_REF(outlook_.app, 1);
  EXPECT_REF(outlook_.calendarFolder, 1);

  CComObject<CCalendarDatabase>* used = MakeCalendar();
  ASSERT_TRUE(used->CheckAndUpdatePtrsFromStreams());
  OnOtherThread([&] { EXPECT_TRUE(used->CheckAndUpdatePtrsFromStreams()); });
  trace_.Clear();
  used->Release();
  EXPECT_TRUE(trace_.Contains("released m_pOutlookAppFromStream, refsLeft = "));
  EXPECT_TRUE(trace_.Contains("released m_pCalendarFolderFromStream, refsLeft = "));
  // TearDown: every count is back to the test's own.
}

TEST_F(ThreadBoundTest, SetLocalUserIdKeepsACopy) {
  CComObject<CCalendarDatabase>* db = MakeCalendar();
  db->SetLocalUserId(nullptr);
  EXPECT_EQ(db->m_localUserId, nullptr);
  pimtest::Bstr id(u"Jane");
  db->SetLocalUserId(id.get());
  EXPECT_NE(db->m_localUserId, id.get());
  EXPECT_EQ(pimtest::Utf8(db->m_localUserId), "Jane");
  db->SetLocalUserId(db->m_localUserId);  // its own value
  EXPECT_EQ(pimtest::Utf8(db->m_localUserId), "Jane");
  db->Release();
}

TEST_F(ThreadBoundTest, ContactsRecordRebindsPerThreadAndGivesBackBothStreamReferences) {
  CComObject<CContactsDatabase>* db = MakeContacts();
  EXPECT_NE(db->get_pContactsFolder(), nullptr);
  EXPECT_NE(db->get_pContactsFolder(), nullptr);
  EXPECT_EQ(trace_.Messages(), (std::vector<std::string>{
                                   "CheckAndUpdatePtrsFromStreams called, regenerating ptrs from streams",
                                   "CheckAndUpdatePtrsFromStreams called, not regenerating ptrs (current ones are valid for this thread)"}));
  EXPECT_EQ(FaultCount("IStream::Clone"), 1u);

  OnOtherThread([&] {
    EXPECT_EQ(Identity(db->get_pContactsFolder()), Identity(outlook_.contactsFolder));
    EXPECT_EQ(db->m_ptrsThreadId, GetCurrentThreadId());
  });
  EXPECT_TRUE(trace_.Contains("m_pContactsFolderFromStream->Release() refsLeft: "));

  pim::fault::arm("IStream::Clone", E_OUTOFMEMORY);
  OnOtherThread([&] { EXPECT_EQ(db->get_pContactsFolder(), nullptr); });
  EXPECT_TRUE(trace_.Contains("local check ABORTING, bad HR: -2147024882"));

  trace_.Clear();
  db->Release();
  std::vector<std::string> m = trace_.Messages();
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[0], "CContactsDatabase destructor called");
  EXPECT_EQ(m[1], "in ~CContactsDatabase after m_pContactsFolderStream->Release(), refsLeft =1");
  EXPECT_EQ(m[2], "in ~CContactsDatabase after m_pContactsFolderStream->Release(), refsLeft =0");
  EXPECT_EQ(m[3].rfind("m_pContactsFolderFromStream->Release() refsLeft: ", 0), 0u);
}

// Two threads on one database at once: with each call holding the object's lock the record is
// never torn (run under ThreadSanitizer too), and every count is balanced afterwards.
TEST_F(ThreadBoundTest, OverlappingCallersAreSerialised) {
  CComObject<CCalendarDatabase>* db = MakeCalendar();
  CComObject<CContactsDatabase>* contacts = MakeContacts();
  auto worker = [&] {
    pimtest::Apartment com;
    for (int i = 0; i < 200; ++i) {
      CObjectLock lock(db);
      ComPtr<MAPIFolder> folder(db->get_pCalendarFolder());
      ComPtr<_Application> app(db->get_pOutlookApp());
      ASSERT_TRUE(folder && app);
      ASSERT_EQ(db->m_ptrsThreadId, GetCurrentThreadId());
      CObjectLock lock2(contacts);
      ComPtr<MAPIFolder> contactsFolder(contacts->get_pContactsFolder());
      ASSERT_TRUE(contactsFolder);
      ASSERT_EQ(contacts->m_ptrsThreadId, GetCurrentThreadId());
    }
  };
  std::thread t1(worker), t2(worker);
  t1.join();
  t2.join();
  db->Release();
  contacts->Release();
}

// Without the caller holding the lock the check still keeps the record whole: each call rebinds
// under the object's own lock (a data race here shows under ThreadSanitizer).
TEST_F(ThreadBoundTest, TheCheckAloneKeepsTheRecordWhole) {
  CComObject<CCalendarDatabase>* db = MakeCalendar();
  CComObject<CContactsDatabase>* contacts = MakeContacts();
  // Only the objects' own locks may order the threads: no trace sink, no fault-point table.
  trace_.setTraceMask(0);
  pim::fault::enable(false);
  std::atomic<int> started{0};
  auto worker = [&] {
    pimtest::Apartment com;
    started.fetch_add(1);
    while (started.load() < 2) {
    }
    for (int i = 0; i < 500; ++i) {
      EXPECT_TRUE(db->CheckAndUpdatePtrsFromStreams());
      EXPECT_NE(contacts->get_pContactsFolder(), nullptr);
    }
  };
  std::thread t1(worker), t2(worker);
  t1.join();
  t2.join();
  db->Release();
  contacts->Release();
}

}  // namespace
