// The two contact searches against a fake contacts folder: the filter text, the key window, what
// is written to the out parameters, every failure row, and the balance of every reference.
#include <pim/fault.h>

#include <thread>

#include <CContactEntry.h>
#include <CContactsDatabase.h>
#include <ComPtr.h>

#include "../support/TraceCapture.h"
#include "support/FakeOutlook.h"

using namespace pimtest;
using testing::_;

namespace {

// A contacts database given `folder` the way the adapter hands it over (the marshalled folder in
// the kept stream, with the second reference the handover adds), already bound to this thread so
// that a test's reference counts leave the database's own pointer out. The caller owns one
// reference to the database.
CComObject<CContactsDatabase>* MakeDatabase(MAPIFolder* folder) {
  CComObject<CContactsDatabase>* db = nullptr;
  EXPECT_EQ(CComObject<CContactsDatabase>::CreateInstance(&db), S_OK);
  if (db == nullptr) return nullptr;
  db->AddRef();
  IStream* stream = nullptr;
  EXPECT_EQ(CoMarshalInterThreadInterfaceInStream(IID_MAPIFolder, folder, &stream), S_OK);
  db->m_pContactsFolderStream = stream;
  if (stream) stream->AddRef();
  EXPECT_TRUE(db->CheckAndUpdatePtrsFromStreams());
  return db;
}

// A 48-character entry id in the PIM store's form whose window at 40 holds `window`.
std::u16string EntryIdWithWindowAt(size_t length, size_t offset, const char* window) {
  std::u16string id(length, u'E');
  for (size_t k = 0; window[k] && offset + k < length; ++k) id[offset + k] = (char16_t)window[k];
  return id;
}

IContactEntry* const kPoison = reinterpret_cast<IContactEntry*>(0xdeadbeef);
// No result has this value; it still fits the enumeration.
const EContactsDatabaseResult kPoisonResult = (EContactsDatabaseResult)7;

std::string Aborting(HRESULT hr) { return (QLT_CString("ABORTING, bad HR: ") + (LONG)hr).c_str(); }

const char kMatchTrace[] = "A match was found, offset (relate to entry id len) = ";

class ContactSearch : public testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    Calls().Clear();
    m_items = new testing::NiceMock<FakeItems>();
    m_folder = new testing::NiceMock<FakeFolder>();
    m_folder->SetItems(m_items);
    m_db = MakeDatabase(m_folder);
    ASSERT_NE(m_db, nullptr);
    m_folderRefs = RefCount(m_folder);
  }
  void TearDown() override {
    EXPECT_REF(m_folder, m_folderRefs);
    EXPECT_REF(m_items, 2);
    m_db->Release();
    m_folder->Release();
    m_items->Release();
    Calls().Clear();
    EXPECT_EQ(_Module.GetLockCount(), 0) << "a component object is still alive";
    CoUninitialize();
  }

  // Adds a contact whose entry id is `id`; the folder and the test share it.
  FakeContact* AddContact(const std::u16string& id) {
    auto* c = new FakeContact(id);
    c->AddRef();
    m_items->Add(c);
    return c;  // the test's reference, released by Hold
  }
  FakeContact* Hold(FakeContact* c) {
    m_held.emplace_back(ComPtr<IUnknown>::attach(c));
    return c;
  }
  FakeContact* AddKeyed(const char* window, size_t length = 48, size_t offset = 40) {
    return Hold(AddContact(EntryIdWithWindowAt(length, offset, window)));
  }
  void AddOther() { m_items->Add(new FakeOtherItem()); }

  HRESULT ByKey(ULONG key) {
    m_entry = kPoison;
    m_result = kPoisonResult;
    return m_db->GetContactByMagicBytes(key, &m_entry, &m_result);
  }
  HRESULT ByName(BSTR first, BSTR last) {
    m_entry = kPoison;
    m_result = kPoisonResult;
    return m_db->GetContactByName(first, last, &m_entry, &m_result);
  }
  // The search failed with `hr` in the trace and wrote nothing to the caller's entry pointer.
  void ExpectAborted(HRESULT hr, const pimtest::TraceCapture& capture) {
    EXPECT_EQ(m_result, EContactsDatabaseResult_ERROR);
    EXPECT_EQ(m_entry, kPoison);
    EXPECT_TRUE(capture.Contains(Aborting(hr)));
  }
  // The contact the handed-out entry is bound to.
  _ContactItem* BoundContact() const { return static_cast<CContactEntry*>(m_entry)->m_OutlookContact; }
  void ReleaseEntry() {
    if (m_entry != nullptr && m_entry != kPoison) m_entry->Release();
    m_entry = nullptr;
  }

  FakeItems* m_items = nullptr;
  FakeFolder* m_folder = nullptr;
  CComObject<CContactsDatabase>* m_db = nullptr;
  ULONG m_folderRefs = 0;
  std::vector<ComPtr<IUnknown>> m_held;
  IContactEntry* m_entry = kPoison;
  EContactsDatabaseResult m_result = kPoisonResult;
};

// A failure armed for one row: a fake's call (every call, or the next `times`) or a fault point.
struct FailureRow {
  const char* what;
  const char* call;  // a FakeCalls name, or a fault point when `fault`
  HRESULT hr;
  int times = -1;
  bool fault = false;
  ULONG key = 0;                                          // by key: the key searched
  enum { kNotCalled, kFails, kFinds } find = kFinds;  // by name: Find, failing with `hr`, or finding a contact
};
const FailureRow kNameFailures[] = {
    {"Items", "Folder.get_Items", E_ACCESSDENIED, -1, false, 0, FailureRow::kNotCalled},
    {"Find", "Items.Find", DISP_E_EXCEPTION, 0, false, 0, FailureRow::kFails},
    {"entry creation", "CoCreateFreeThreadedMarshaler", E_OUTOFMEMORY, -1, true},
};
const FailureRow kKeyFailures[] = {
    {"Items", "Folder.get_Items", E_ACCESSDENIED},
    {"GetFirst", "Items.GetFirst", E_UNEXPECTED},
    {"GetNext before a match", "Items.GetNext", E_FAIL, 1, false, 0x11111111},
    {"EntryID", "Contact.get_EntryID", E_OUTOFMEMORY},
    {"entry creation", "CoCreateFreeThreadedMarshaler", E_OUTOFMEMORY, -1, true},
};
// Arms the row's failure and captures the trace for the scope; disarms at its end.
class Armed {
 public:
  explicit Armed(const FailureRow& row) {
    if (row.fault)
      pim::fault::arm(row.call, row.hr);
    else if (row.times != 0)
      Calls().Fail(row.call, row.hr, row.times);
  }
  ~Armed() { Calls().failures.clear(); }
  pimtest::TraceCapture capture;
  pim::fault::Scope faults;
};

// ---- by name ----------------------------------------------------------------------------------

struct FilterCase {
  const char16_t* first;  // null: a null BSTR
  const char16_t* last;
  const char16_t* filter;
};

TEST_F(ContactSearch, NameFilterMatchesEachNameLiterally) {
  const FilterCase cases[] = {
      {u"Ann", u"Lee", u"[FirstName] = \"Ann\" and [LastName] = \"Lee\""},
      {u"O\"Neil", u"Lee", u"[FirstName] = \"O\"\"Neil\" and [LastName] = \"Lee\""},
      // Would close the value and match every other contact if taken in unchanged.
      {u"x", u"x\" or [LastName] <> \"", u"[FirstName] = \"x\" and [LastName] = \"x\"\" or [LastName] <> \"\"\""},
      {u"\"\"", u"", u"[FirstName] = \"\"\"\"\"\" and [LastName] = \"\""},
      {nullptr, nullptr, u"[FirstName] = \"\" and [LastName] = \"\""},
      {nullptr, u"Lee", u"[FirstName] = \"\" and [LastName] = \"Lee\""},
      {u"Zo\u00eb", u"\u0141ukasz \u65e5\u672c", u"[FirstName] = \"Zo\u00eb\" and [LastName] = \"\u0141ukasz \u65e5\u672c\""},
  };
  for (const FilterCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
    std::u16string seen;
    EXPECT_CALL(*m_items, Find(_, _)).WillOnce([&](BSTR filter, IDispatch** pp) {
      seen = FromBstr(filter).value_or(u"");
      *pp = nullptr;
      return S_OK;
    });
    BSTR first = c.first ? SysAllocString(reinterpret_cast<const OLECHAR*>(c.first)) : nullptr;
    BSTR last = c.last ? SysAllocString(reinterpret_cast<const OLECHAR*>(c.last)) : nullptr;
    EXPECT_EQ(ByName(first, last), S_OK);
    SysFreeString(first);
    SysFreeString(last);
    EXPECT_TRUE(seen == c.filter);
    EXPECT_EQ(m_result, EContactsDatabaseResult_NO_ITEM_FOUND);
    EXPECT_EQ(m_entry, nullptr);
    testing::Mock::VerifyAndClearExpectations(m_items);
  }
}

TEST_F(ContactSearch, NameHitIsHandedOutBoundWithOneReference) {
  FakeContact* contact = Hold(new FakeContact(u"X"));
  EXPECT_CALL(*m_items, Find(_, _)).WillOnce([&](BSTR, IDispatch** pp) {
    contact->AddRef();
    *pp = contact;
    return S_OK;
  });
  BstrArg first("Ann"), last("Lee");
  ASSERT_EQ(ByName(first, last), S_OK);
  EXPECT_EQ(m_result, EContactsDatabaseResult_SUCCESS);
  ASSERT_NE(m_entry, nullptr);
  ASSERT_NE(m_entry, kPoison);
  EXPECT_REF(m_entry, 1);
  EXPECT_EQ(BoundContact(), static_cast<_ContactItem*>(contact));
  EXPECT_REF(contact, 2);  // the test's and the entry's
  ReleaseEntry();
  EXPECT_REF(contact, 1);
}

TEST_F(ContactSearch, NameHitThatIsNoContactIsAnError) {
  pimtest::TraceCapture capture;
  auto* list = new FakeOtherItem();
  ComPtr<IUnknown> hold = ComPtr<IUnknown>::attach(list);
  EXPECT_CALL(*m_items, Find(_, _)).WillOnce([&](BSTR, IDispatch** pp) {
    list->AddRef();
    *pp = list;
    return S_OK;
  });
  BstrArg first("Team"), last("");
  EXPECT_EQ(ByName(first, last), S_OK);
  ExpectAborted(E_NOINTERFACE, capture);
  EXPECT_REF(list, 1);
}

TEST_F(ContactSearch, NameSearchFailureRows) {
  BstrArg first("Ann"), last("Lee");
  FakeContact* contact = Hold(new FakeContact(u"X"));
  for (const FailureRow& row : kNameFailures) {
    SCOPED_TRACE(row.what);
    Armed armed(row);
    if (row.find == FailureRow::kNotCalled) {
      EXPECT_CALL(*m_items, Find(_, _)).Times(0);
    } else if (row.find == FailureRow::kFails) {
      EXPECT_CALL(*m_items, Find(_, _)).WillOnce(testing::Return(row.hr));
    } else {
      EXPECT_CALL(*m_items, Find(_, _)).WillOnce([&](BSTR, IDispatch** pp) {
        contact->AddRef();
        *pp = contact;
        return S_OK;
      });
    }
    EXPECT_EQ(ByName(first, last), S_OK);
    ExpectAborted(row.hr, armed.capture);
    EXPECT_REF(contact, 1);
    testing::Mock::VerifyAndClearExpectations(m_items);
  }
}

TEST_F(ContactSearch, NullOutPointersWriteNothing) {
  BstrArg first("Ann"), last("Lee");
  EXPECT_CALL(*m_items, Find(_, _)).Times(0);
  AddKeyed("00000000");
  IContactEntry* entry = kPoison;
  EContactsDatabaseResult result = kPoisonResult;
  EXPECT_EQ(m_db->GetContactByName(first, last, nullptr, &result), E_POINTER);
  EXPECT_EQ(m_db->GetContactByName(first, last, &entry, nullptr), E_POINTER);
  EXPECT_EQ(m_db->GetContactByMagicBytes(0, nullptr, &result), E_POINTER);
  EXPECT_EQ(m_db->GetContactByMagicBytes(0, &entry, nullptr), E_POINTER);
  EXPECT_EQ(entry, kPoison);
  EXPECT_EQ(result, kPoisonResult);
  EXPECT_EQ(m_items->m_next, 0u) << "the folder was walked";
}

// The folder cannot be renewed for a new thread: nothing is called through the missing pointer.
TEST_F(ContactSearch, FolderMissingOnThisThreadIsAnError) {
  pim::fault::Scope faults;
  pim::fault::arm("IStream::Clone", E_OUTOFMEMORY, 1, 2);
  EXPECT_CALL(*m_items, Find(_, _)).Times(0);
  AddKeyed("00000000");
  std::thread other([&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    BstrArg first("Ann"), last("Lee");
    EXPECT_EQ(ByName(first, last), S_OK);
    EXPECT_EQ(m_result, EContactsDatabaseResult_ERROR);
    EXPECT_EQ(m_entry, kPoison);
    EXPECT_EQ(ByKey(0), S_OK);
    EXPECT_EQ(m_result, EContactsDatabaseResult_ERROR);
    EXPECT_EQ(m_entry, kPoison);
    CoUninitialize();
  });
  other.join();
  EXPECT_EQ(m_items->m_next, 0u);
}

// ---- by key -----------------------------------------------------------------------------------

TEST_F(ContactSearch, KeyIsEachByteInUpperCaseHexLeastSignificantFirst) {
  FakeContact* zero = AddKeyed("00000000");
  FakeContact* abcd = AddKeyed("0D0C0B0A");
  AddKeyed("0A0B0C0D");  // the bytes in the other order

  ASSERT_EQ(ByKey(0x0A0B0C0D), S_OK);
  EXPECT_EQ(m_result, EContactsDatabaseResult_SUCCESS);
  EXPECT_EQ(BoundContact(), static_cast<_ContactItem*>(abcd));
  ReleaseEntry();

  ASSERT_EQ(ByKey(0), S_OK);
  EXPECT_EQ(m_result, EContactsDatabaseResult_SUCCESS);
  EXPECT_EQ(BoundContact(), static_cast<_ContactItem*>(zero));
  ReleaseEntry();

  ASSERT_EQ(ByKey(0xFFFFFFFF), S_OK);
  EXPECT_EQ(m_result, EContactsDatabaseResult_NO_ITEM_FOUND);
  EXPECT_EQ(m_entry, kPoison);
}

TEST_F(ContactSearch, KeyWindowDependsOnEntryIdLength) {
  struct Case {
    size_t length, placedAt;
    const char* window;
    int tracedOffset;  // -1: no match
  };
  // Longer than 128: the window moves to 128, so ids of 129 to 135 characters never match.
  const Case cases[] = {
      {48, 40, "CAFEF00D", 40},   {128, 40, "CAFEF00D", 40},  {129, 128, "CAFEF00D", -1},
      {129, 40, "CAFEF00D", -1},  {136, 128, "CAFEF00D", 128}, {135, 128, "CAFEF00D", -1},
      {47, 40, "CAFEF00D", -1},   {48, 40, "cafef00d", -1},   {48, 41, "CAFEF00D", -1},
      {0, 0, "", -1},
  };
  const ULONG key = 0x0DF0FECA;  // "CAFEF00D"
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "length " << c.length << " window at " << c.placedAt << " " << c.window);
    pimtest::TraceCapture capture;
    m_items->Clear();
    m_held.clear();
    FakeContact* contact = AddKeyed(c.window, c.length, c.placedAt);
    ASSERT_EQ(ByKey(key), S_OK);
    if (c.tracedOffset < 0) {
      EXPECT_EQ(m_result, EContactsDatabaseResult_NO_ITEM_FOUND);
      EXPECT_EQ(m_entry, kPoison);
      EXPECT_EQ(capture.Count(kMatchTrace), 0u);
    } else {
      EXPECT_EQ(m_result, EContactsDatabaseResult_SUCCESS);
      ASSERT_NE(m_entry, kPoison);
      EXPECT_EQ(BoundContact(), static_cast<_ContactItem*>(contact));
      EXPECT_TRUE(capture.Contains((QLT_CString(kMatchTrace) + (LONG)c.tracedOffset).c_str()));
      ReleaseEntry();
    }
    EXPECT_REF(contact, 2);  // the test's and the folder's
  }
}

TEST_F(ContactSearch, EmptyFolderFindsNothingAndLeavesTheOutPointer) {
  pimtest::TraceCapture capture;
  ASSERT_EQ(ByKey(0), S_OK);
  EXPECT_EQ(m_result, EContactsDatabaseResult_NO_ITEM_FOUND);
  EXPECT_EQ(m_entry, kPoison);
  EXPECT_TRUE(capture.Contains("GetContactByMagicBytes called"));
  EXPECT_EQ(capture.Count(kMatchTrace), 0u);
}

TEST_F(ContactSearch, OtherItemsAreSkippedSilently) {
  pimtest::TraceCapture capture;
  AddOther();
  FakeContact* match = AddKeyed("12345678");
  AddOther();
  ASSERT_EQ(ByKey(0x78563412), S_OK);
  EXPECT_EQ(m_result, EContactsDatabaseResult_SUCCESS);
  EXPECT_EQ(BoundContact(), static_cast<_ContactItem*>(match));
  EXPECT_EQ(capture.Count(kMatchTrace), 1u);
  EXPECT_FALSE(capture.Contains("ABORTING"));
  EXPECT_EQ(m_items->m_next, 3u);
  for (IDispatch* item : m_items->m_items) EXPECT_REF(item, item == match ? 3u : 1u);
  ReleaseEntry();
}

TEST_F(ContactSearch, TwoMatchesBindTheFirstAndReportMultiple) {
  pimtest::TraceCapture capture;
  FakeContact* first = AddKeyed("00000001");
  AddOther();
  FakeContact* second = AddKeyed("00000001");
  FakeContact* last = AddKeyed("00000002");
  ASSERT_EQ(ByKey(0x01000000), S_OK);
  EXPECT_EQ(m_result, EContactsDatabaseResult_MULTIPLE_ITEMS_FOUND);
  ASSERT_NE(m_entry, kPoison);
  EXPECT_REF(m_entry, 1);
  EXPECT_EQ(BoundContact(), static_cast<_ContactItem*>(first));
  EXPECT_EQ(capture.Count(kMatchTrace), 2u);
  // The walk went on to the end.
  EXPECT_EQ(last->m_entryIdReads, 1);
  EXPECT_REF(first, 3);
  EXPECT_REF(second, 2);
  EXPECT_REF(last, 2);
  ReleaseEntry();
  EXPECT_REF(first, 2);
}

TEST_F(ContactSearch, KeySearchFailureRows) {
  FakeContact* match = AddKeyed("00000000");
  AddKeyed("11111111");
  for (const FailureRow& row : kKeyFailures) {
    SCOPED_TRACE(row.what);
    Armed armed(row);
    ASSERT_EQ(ByKey(row.key), S_OK);
    ExpectAborted(row.hr, armed.capture);
    EXPECT_REF(match, 2);
  }
  SCOPED_TRACE("GetNext after a match");
  pimtest::TraceCapture capture;
  Calls().Fail("Items.GetNext", E_FAIL, 1);
  ASSERT_EQ(ByKey(0), S_OK);
  EXPECT_EQ(m_result, EContactsDatabaseResult_ERROR);
  EXPECT_TRUE(capture.Contains(Aborting(E_FAIL)));
  // The entry made before the failure stays with the caller.
  ASSERT_NE(m_entry, kPoison);
  EXPECT_REF(m_entry, 1);
  EXPECT_EQ(BoundContact(), static_cast<_ContactItem*>(match));
  ReleaseEntry();
  EXPECT_REF(match, 2);
}

}  // namespace
