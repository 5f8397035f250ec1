// The calendar database's create, add, remove, update and get-by-id operations.
#include <algorithm>

#include "test_calendar_fixture.h"

namespace caltest {
namespace {

using CalendarDbTest = CalendarTest;

// An ICalendarEntry that is not the component's: any call into it is a test failure.
class ForeignEntry : public ICalendarEntry {
 public:
  STDMETHOD(QueryInterface)(REFIID, void** ppv) override {
    ADD_FAILURE() << "a foreign entry was asked for an interface";
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHOD_(ULONG, AddRef)() override { return 2; }
  STDMETHOD_(ULONG, Release)() override { return 1; }
#define FOREIGN(sig) \
  sig override {     \
    ADD_FAILURE();   \
    return E_FAIL;   \
  }
  FOREIGN(STDMETHOD(put_subject)(BSTR))
  FOREIGN(STDMETHOD(get_subject)(BSTR*))
  FOREIGN(STDMETHOD(put_startTime)(DATE))
  FOREIGN(STDMETHOD(get_startTime)(DATE*))
  FOREIGN(STDMETHOD(put_endTime)(DATE))
  FOREIGN(STDMETHOD(get_endTime)(DATE*))
  FOREIGN(STDMETHOD(put_location)(BSTR))
  FOREIGN(STDMETHOD(get_location)(BSTR*))
  FOREIGN(STDMETHOD(put_eventType)(ECalendarEventType))
  FOREIGN(STDMETHOD(get_eventType)(ECalendarEventType*))
  FOREIGN(STDMETHOD(put_reminderOn)(VARIANT_BOOL))
  FOREIGN(STDMETHOD(get_reminderOn)(VARIANT_BOOL*))
  FOREIGN(STDMETHOD(put_reminderLeadTimeMinutes)(LONG))
  FOREIGN(STDMETHOD(get_reminderLeadTimeMinutes)(LONG*))
  FOREIGN(STDMETHOD(put_status)(ECalendarEntryStatus))
  FOREIGN(STDMETHOD(get_status)(ECalendarEntryStatus*))
  FOREIGN(STDMETHOD(put_notes)(BSTR))
  FOREIGN(STDMETHOD(get_notes)(BSTR*))
  FOREIGN(STDMETHOD(get_entryIdIsValid)(VARIANT_BOOL*))
  FOREIGN(STDMETHOD(get_entryId)(BSTR*))
  FOREIGN(STDMETHOD(AddAttendee)(BSTR, BSTR, EAttendeeType))
#undef FOREIGN
};

ComPtr<ICalendarEntry> Create(ICalendarDatabase* db) {
  ICalendarEntry* e = reinterpret_cast<ICalendarEntry*>(1);
  ECalendarDatabaseResult r = (ECalendarDatabaseResult)-1;
  EXPECT_EQ(db->CreateCalendarEntry(&e, &r), S_OK);
  EXPECT_EQ(r, ECalendarDatabaseResult_SUCCESS);
  return ComPtr<ICalendarEntry>::attach(e);
}

// Add, Remove or Update: the HRESULT must be S_OK, the result is returned.
using EntryCall = HRESULT (STDMETHODCALLTYPE ICalendarDatabase::*)(ICalendarEntry*, ECalendarDatabaseResult*);
ECalendarDatabaseResult Call(EntryCall call, ICalendarDatabase* db, ICalendarEntry* e) {
  ECalendarDatabaseResult r = (ECalendarDatabaseResult)-1;
  EXPECT_EQ((db->*call)(e, &r), S_OK);
  return r;
}
ECalendarDatabaseResult Add(ICalendarDatabase* db, ICalendarEntry* e) { return Call(&ICalendarDatabase::AddCalendarEntry, db, e); }
ECalendarDatabaseResult Remove(ICalendarDatabase* db, ICalendarEntry* e) { return Call(&ICalendarDatabase::RemoveCalendarEntry, db, e); }
ECalendarDatabaseResult Update(ICalendarDatabase* db, ICalendarEntry* e) { return Call(&ICalendarDatabase::UpdateCalendarEntry, db, e); }
ECalendarDatabaseResult GetById(ICalendarDatabase* db, const char16_t* id, ComPtr<ICalendarEntry>* out) {
  ICalendarEntry* e = reinterpret_cast<ICalendarEntry*>(0x5EED);
  ECalendarDatabaseResult r = (ECalendarDatabaseResult)-1;
  pimtest::Bstr b(id);
  EXPECT_EQ(db->GetCalendarEntryById(id ? b.get() : nullptr, &e, &r), S_OK);
  if (r == ECalendarDatabaseResult_SUCCESS)
    *out = ComPtr<ICalendarEntry>::attach(e);
  else if (r == ECalendarDatabaseResult_NO_ITEM_FOUND)
    EXPECT_EQ(e, nullptr);
  else
    EXPECT_EQ(e, reinterpret_cast<ICalendarEntry*>(0x5EED)) << "the caller's pointer is left as it was";
  return r;
}

TEST_F(CalendarDbTest, CreateGivesAnUnboundEntryWithTheLocalUserAndOneReference) {
  pimtest::TraceCapture trace;
  ComPtr<ICalendarEntry> e = Create(m_db.get());
  ASSERT_TRUE(e);
  EXPECT_REF(e.get(), 1);
  CCalendarEntry* impl = CCalendarEntry::FromInterface(e.get());
  ASSERT_NE(impl, nullptr);
  EXPECT_EQ(impl->m_OutlookAppt, nullptr);
  EXPECT_EQ(Str(impl->m_localUserId), u"Me");
  EXPECT_TRUE(trace.Contains(") New refcount: 1"));
  EXPECT_TRUE(m_world.log.empty()) << "nothing is asked of the application";

  // A database without a local user gives its entries the empty text.
  m_pDb->SetLocalUserId(nullptr);
  ComPtr<ICalendarEntry> e2 = Create(m_db.get());
  CCalendarEntry* impl2 = CCalendarEntry::FromInterface(e2.get());
  ASSERT_NE(impl2->m_localUserId, nullptr);
  EXPECT_EQ(SysStringLen(impl2->m_localUserId), 0u);
}

TEST_F(CalendarDbTest, AddRemoveAndAddAgainFollowTheBinding) {
  ComPtr<ICalendarEntry> e = Create(m_db.get());
  pimtest::Bstr subject(u"Dentist");
  e->put_subject(subject.get());
  EXPECT_EQ(Add(m_db.get(), e.get()), ECalendarDatabaseResult_SUCCESS);
  ASSERT_EQ(m_store.items.size(), 1u);
  FakeAppointment* appt = m_app->lastCreated;
  EXPECT_EQ(Narrow(appt->m_subject), "Dentist");
  EXPECT_REF(appt, 2);  // store and entry
  EXPECT_REF(m_app, 2);  // test and the database's record
  VARIANT_BOOL valid = 0;
  pimtest::Bstr id;
  e->get_entryIdIsValid(&valid);
  e->get_entryId(id.put());
  EXPECT_EQ(valid, VARIANT_TRUE);
  EXPECT_EQ(Str(id.get()), *appt->m_entryId);

  // Bound: no second appointment, and nothing asked of the application.
  pimtest::TraceCapture trace;
  m_world.log.clear();
  EXPECT_EQ(Add(m_db.get(), e.get()), ECalendarDatabaseResult_ENTRY_ALREADY_IN_DATABASE);
  EXPECT_TRUE(m_world.log.empty());
  EXPECT_FALSE(trace.Contains("AddCalendarEntry Left"));

  EXPECT_EQ(Remove(m_db.get(), e.get()), ECalendarDatabaseResult_SUCCESS);
  EXPECT_TRUE(m_store.items.empty());
  e->get_entryIdIsValid(&valid);
  EXPECT_EQ(valid, 0);
  e->get_entryId(id.put());
  EXPECT_EQ(Str(id.get()), *appt->m_entryId) << "the id text stays";
  EXPECT_REF(appt, 1) << "the entry still holds the deleted item";

  // Removed, the entry still has its appointment: no new one is made, and the deleted item answers.
  EXPECT_EQ(Add(m_db.get(), e.get()), ECalendarDatabaseResult_ENTRY_ALREADY_IN_DATABASE);
  EXPECT_EQ(Remove(m_db.get(), e.get()), ECalendarDatabaseResult_ERROR);
  EXPECT_EQ(Update(m_db.get(), e.get()), ECalendarDatabaseResult_ERROR);
  EXPECT_EQ(m_store.items.size(), 0u);
}

TEST_F(CalendarDbTest, UpdateRewritesTheAppointmentWithTheDatabasesLocalUser) {
  ComPtr<ICalendarEntry> e = Create(m_db.get());
  ASSERT_EQ(Add(m_db.get(), e.get()), ECalendarDatabaseResult_SUCCESS);
  FakeAppointment* appt = m_app->lastCreated;
  pimtest::Bstr me(u"Boss"), other(u"Ann"), where(u"Hall");
  e->AddAttendee(me.get(), nullptr, EAttendeeType_REQUIRED);
  e->AddAttendee(other.get(), nullptr, EAttendeeType_REQUIRED);
  e->put_location(where.get());
  m_pDb->SetLocalUserId(me.get());  // the identity changed since the entry was made
  EXPECT_EQ(Update(m_db.get(), e.get()), ECalendarDatabaseResult_SUCCESS);
  EXPECT_EQ(Narrow(appt->m_location), "Hall");
  ASSERT_EQ(appt->m_recipients.size(), 1u);
  EXPECT_EQ(Narrow(appt->m_recipients[0]->m_name), "Ann");
  EXPECT_EQ(appt->m_saves, 2);
  EXPECT_EQ(m_store.items.size(), 1u);
}

TEST_F(CalendarDbTest, RemoveAndUpdateOfAnUnboundEntryFindNoCorrespondingEntry) {
  ComPtr<ICalendarEntry> e = Create(m_db.get());
  EXPECT_EQ(Remove(m_db.get(), e.get()), ECalendarDatabaseResult_NO_CORRESPONDING_ENTRY);
  EXPECT_EQ(Update(m_db.get(), e.get()), ECalendarDatabaseResult_NO_CORRESPONDING_ENTRY);
  EXPECT_TRUE(m_world.log.empty());
}

TEST_F(CalendarDbTest, NullAndForeignEntriesAreErrorsAndTouchNothing) {
  ForeignEntry foreign;
  for (ICalendarEntry* e : {static_cast<ICalendarEntry*>(nullptr), static_cast<ICalendarEntry*>(&foreign)}) {
    EXPECT_EQ(Add(m_db.get(), e), ECalendarDatabaseResult_ERROR);
    EXPECT_EQ(Remove(m_db.get(), e), ECalendarDatabaseResult_ERROR);
    EXPECT_EQ(Update(m_db.get(), e), ECalendarDatabaseResult_ERROR);
  }
  EXPECT_TRUE(m_world.log.empty());
  EXPECT_REF(m_app, 2);
  // An entry already released is no longer ours either.
  ComPtr<ICalendarEntry> e = Create(m_db.get());
  ICalendarEntry* gone = e.get();
  e.reset();
  EXPECT_EQ(Add(m_db.get(), gone), ECalendarDatabaseResult_ERROR);
}

TEST_F(CalendarDbTest, AddFailuresAreErrorsAndLeaveNoReferenceBehind) {
  {
    ComPtr<ICalendarEntry> e = Create(m_db.get());
    m_world.Fail("App.CreateItem(1)", E_OUTOFMEMORY, 1);
    pimtest::TraceCapture trace;
    EXPECT_EQ(Add(m_db.get(), e.get()), ECalendarDatabaseResult_ERROR);
    EXPECT_TRUE(trace.Contains("in AddCalendarEntry, created appointment item, hr =" + std::to_string((LONG)E_OUTOFMEMORY)));
    EXPECT_TRUE(trace.Contains("ABORTING, bad HR: " + std::to_string((LONG)E_OUTOFMEMORY)));
    EXPECT_EQ(CCalendarEntry::FromInterface(e.get())->m_OutlookAppt, nullptr);
  }
  {
    // The application hands out something that is no appointment.
    ComPtr<ICalendarEntry> e = Create(m_db.get());
    m_app->createOther = true;
    pimtest::TraceCapture trace;
    EXPECT_EQ(Add(m_db.get(), e.get()), ECalendarDatabaseResult_ERROR);
    EXPECT_TRUE(trace.Contains("after pDispatchItem->Release(), refsLeft: 0"));
    EXPECT_EQ(CCalendarEntry::FromInterface(e.get())->m_OutlookAppt, nullptr);
    m_app->createOther = false;
  }
  {
    // The write fails: the entry stays bound to the unsaved appointment, and Update retries.
    ComPtr<ICalendarEntry> e = Create(m_db.get());
    m_world.Fail("Appt.Save", E_FAIL, 1);
    EXPECT_EQ(Add(m_db.get(), e.get()), ECalendarDatabaseResult_ERROR);
    FakeAppointment* appt = m_app->lastCreated;
    EXPECT_REF(appt, 1) << "the entry's reference only";
    EXPECT_EQ(Add(m_db.get(), e.get()), ECalendarDatabaseResult_ENTRY_ALREADY_IN_DATABASE);
    EXPECT_EQ(Update(m_db.get(), e.get()), ECalendarDatabaseResult_SUCCESS);
    EXPECT_EQ(m_store.items.size(), 1u);
  }
  EXPECT_REF(m_app, 2);
}

TEST_F(CalendarDbTest, WithoutTheApplicationOrFolderNothingIsCalled) {
  ComPtr<ICalendarEntry> e = Create(m_db.get());
  StoreAppointment(u"A", 1, 2, u"ID1");
  UnbindDatabase();
  m_world.log.clear();
  EXPECT_EQ(Add(m_db.get(), e.get()), ECalendarDatabaseResult_ERROR);
  ComPtr<ICalendarEntry> found;
  EXPECT_EQ(GetById(m_db.get(), u"ID1", &found), ECalendarDatabaseResult_ERROR);
  EXPECT_TRUE(m_world.log.empty());
  EXPECT_EQ(CCalendarEntry::FromInterface(e.get())->m_OutlookAppt, nullptr);
}

TEST_F(CalendarDbTest, GetByIdScansInFolderOrderSkipsOtherItemsAndStopsAtTheFirstMatch) {
  StoreOther();
  StoreAppointment(u"First", 1, 2, u"ID1");
  StoreOther();
  FakeAppointment* match = StoreAppointment(u"Second", 3, 4, u"ID2");
  match->AddRecipient(u"Ann", u"ann@example.org", olRequired);
  StoreAppointment(u"Twin", 3, 4, u"ID2");
  StoreAppointment(u"Last", 5, 6, u"ID3");
  pimtest::TraceCapture trace;

  ComPtr<ICalendarEntry> found;
  ASSERT_EQ(GetById(m_db.get(), u"ID2", &found), ECalendarDatabaseResult_SUCCESS);
  EXPECT_EQ(CCalendarEntry::FromInterface(found.get())->m_OutlookAppt, match);
  pimtest::Bstr subject;
  found->get_subject(subject.put());
  EXPECT_EQ(Str(subject.get()), u"Second");
  EXPECT_EQ(CCalendarEntry::FromInterface(found.get())->m_attendees.size(), 1u);
  EXPECT_REF(found.get(), 1);
  EXPECT_REF(match, 2);
  EXPECT_EQ(m_world.Count("Items.GetNext"), 3u) << "no item after the match is fetched";
  EXPECT_EQ(m_world.Count("Folder.get_Items"), 1u);
  EXPECT_EQ(m_world.Count("Items.Sort([Start],false)"), 0u) << "no sort, restriction or expansion";
  EXPECT_TRUE(trace.Contains("*!*!* QueryInterface returned E_NOINTERFACE, why??? *!*!*. Ignoring item"));
  EXPECT_TRUE(trace.Contains("Leaving GetCalendarEntryById. Result is: 0"));
  found.reset();
  EXPECT_REF(match, 1);
}

TEST_F(CalendarDbTest, GetByIdComparesExactlyAndReportsNoItemFound) {
  StoreAppointment(u"A", 1, 2, u"ABCD");
  StoreOther();
  pimtest::TraceCapture trace;
  ComPtr<ICalendarEntry> found;
  EXPECT_EQ(GetById(m_db.get(), u"abcd", &found), ECalendarDatabaseResult_NO_ITEM_FOUND);
  EXPECT_EQ(GetById(m_db.get(), u"ABC", &found), ECalendarDatabaseResult_NO_ITEM_FOUND);
  EXPECT_EQ(GetById(m_db.get(), nullptr, &found), ECalendarDatabaseResult_NO_ITEM_FOUND);
  EXPECT_TRUE(trace.Contains("Leaving GetCalendarEntryById. Result is: 3"));
  m_store.Clear();
  EXPECT_EQ(GetById(m_db.get(), u"ABCD", &found), ECalendarDatabaseResult_NO_ITEM_FOUND);
  EXPECT_EQ(_Module.GetLockCount(), 1) << "only the database is alive";
}

TEST_F(CalendarDbTest, GetByIdFailuresAreErrorsWithTheCallersPointerUntouched) {
  const struct {
    const char* call;
    bool itemOnFailure;
  } rows[] = {
      {"Folder.get_Items", false}, {"Items.GetFirst", false}, {"Items.GetFirst", true}, {"Items.GetNext", false},
      {"Items.GetNext", true},     {"Appt.get_EntryID", false}, {"Appt.get_Subject", false}, {"Safe.Create", false},
  };
  StoreAppointment(u"A", 1, 2, u"ID1");
  StoreAppointment(u"B", 1, 2, u"ID2");
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.call) + (row.itemOnFailure ? " with an item" : ""));
    m_world.fetchItemOnFailure = row.itemOnFailure;
    m_world.Fail(row.call, E_ACCESSDENIED, 1);
    ComPtr<ICalendarEntry> found;
    EXPECT_EQ(GetById(m_db.get(), u"ID2", &found), ECalendarDatabaseResult_ERROR);
    m_world.failures.clear();
    m_world.fetchItemOnFailure = false;
    for (IDispatch* item : m_store.items) EXPECT_REF(item, 1);
    EXPECT_EQ(_Module.GetLockCount(), 1) << "no entry is left behind";
  }
  // An appointment that cannot be asked for its interface.
  static_cast<FakeAppointment*>(m_store.items[0])->m_qiFailure = E_UNEXPECTED;
  ComPtr<ICalendarEntry> found;
  EXPECT_EQ(GetById(m_db.get(), u"ID2", &found), ECalendarDatabaseResult_ERROR);
}

TEST_F(CalendarDbTest, NullOutPointersAreRefused) {
  ECalendarDatabaseResult r = ECalendarDatabaseResult_SUCCESS;
  ICalendarEntry* e = nullptr;
  EXPECT_EQ(m_db->CreateCalendarEntry(nullptr, &r), E_POINTER);
  EXPECT_EQ(m_db->CreateCalendarEntry(&e, nullptr), E_POINTER);
  EXPECT_EQ(m_db->GetCalendarEntryById(nullptr, nullptr, &r), E_POINTER);
  EXPECT_EQ(m_db->AddCalendarEntry(nullptr, nullptr), E_POINTER);
  EXPECT_EQ(e, nullptr);
  EXPECT_EQ(_Module.GetLockCount(), 1);
}

}  // namespace
}  // namespace caltest
