// Test doubles of the PIM application's object model and of the safe-item library: one set for every
// component test. Each double keeps a real reference count (the creator holds the first reference,
// the double is deleted at 0), aggregates the free-threaded marshaler so it marshals like the
// server's objects, and is counted in LiveFakes(), so tests can assert that every reference the
// component takes is given back.
//
// Calls the component makes are written to Calls().log, and any of them can be made to fail by name:
//     pimtest::Calls().Fail("Folder.get_Items", E_ACCESSDENIED);      // every call, until cleared
//     pimtest::Calls().Fail("Items.GetNext", E_FAIL, 1);              // the next call only
// The adapter's objects (application, name space, folders, current user) are gmock fakes whose
// defaults give a working logon; FakeOutlook puts them in front of activation:
//     pimtest::FakeOutlook outlook;
//     EXPECT_CALL(*outlook.nameSpace, Logon(_, _, _, _)).WillOnce(Return(E_FAIL));
//     EXPECT_REF(outlook.app, 1);            // only the test's own reference left
#pragma once
#include <ComPtr.h>
#include <Outlook.h>
#include <Redemption.h>
#include <gmock/gmock.h>
#include <objbase.h>
#include <oleauto.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ComTestSupport.h"

namespace pimtest {

using Text = std::optional<std::u16string>;  // a BSTR value: nullopt for a null BSTR

inline Text FromBstr(BSTR b) {
  if (b == nullptr) return std::nullopt;
  return std::u16string(reinterpret_cast<const char16_t*>(b), SysStringLen(b));
}
inline BSTR ToBstr(const Text& t) {
  return t ? SysAllocStringLen(reinterpret_cast<const OLECHAR*>(t->data()), (UINT)t->size()) : nullptr;
}
inline std::string Narrow(const Text& t) { return t ? Utf8(reinterpret_cast<const OLECHAR*>(t->c_str())) : "<null>"; }
inline std::u16string U16(const char* s) {
  std::u16string out;
  for (; *s; ++s) out.push_back((char16_t)(unsigned char)*s);
  return out;
}

// An owned BSTR made from ASCII text, usable as an argument.
class BstrArg : public Bstr {
 public:
  explicit BstrArg(const char* s) : Bstr(U16(s).c_str()) {}
  operator BSTR() const { return get(); }
};

// What the doubles were asked, in order, and the calls armed to fail. Fixtures clear it.
struct FakeCalls {
  std::vector<std::string> log;
  // name -> (HRESULT, how many more calls fail; negative: every call)
  std::map<std::string, std::pair<HRESULT, int>> failures;
  // A failing GetFirst/GetNext still hands out the item it stands on.
  bool fetchItemOnFailure = false;

  // Records the call and returns the armed failure, or S_OK.
  HRESULT Call(const std::string& name) {
    std::lock_guard lock(m_mutex);
    log.push_back(name);
    auto it = failures.find(name);
    if (it == failures.end()) return S_OK;
    HRESULT hr = it->second.first;
    if (it->second.second > 0 && --it->second.second == 0) failures.erase(it);
    return hr;
  }
  void Fail(const std::string& name, HRESULT hr, int times = -1) { failures[name] = {hr, times}; }
  size_t Count(const std::string& name) const {
    size_t n = 0;
    for (const std::string& s : log) n += (s == name);
    return n;
  }
  void Clear() {
    log.clear();
    failures.clear();
    fetchItemOnFailure = false;
  }

 private:
  std::mutex m_mutex;
};

inline FakeCalls& Calls() {
  static FakeCalls calls;
  return calls;
}
inline std::atomic<int>& LiveFakes() {
  static std::atomic<int> live{0};
  return live;
}

// A property read or write through the call log: the value moves only when the call succeeds.
inline HRESULT GetProp(const char* what, const Text& t, BSTR* p) {
  HRESULT hr = Calls().Call(what);
  if (SUCCEEDED(hr)) *p = ToBstr(t);
  return hr;
}
inline HRESULT PutProp(const char* what, Text& t, BSTR v) {
  HRESULT hr = Calls().Call(what);
  if (SUCCEEDED(hr)) t = FromBstr(v);
  return hr;
}
template <class T>
HRESULT GetProp(const char* what, const T& field, T* p) {
  HRESULT hr = Calls().Call(what);
  if (SUCCEEDED(hr)) *p = field;
  return hr;
}
template <class T>
HRESULT PutProp(const char* what, T& field, T v) {
  HRESULT hr = Calls().Call(what);
  if (SUCCEEDED(hr)) field = v;
  return hr;
}

template <class I>
class FakeObject : public pimtest::Counted<pimtest::NoDispatch<I>> {
 public:
  explicit FakeObject(const IID& iid) : m_iid(iid) {
    ++LiveFakes();
    CoCreateFreeThreadedMarshaler(static_cast<IUnknown*>(this), &m_pMarshaler);
  }
  ~FakeObject() override {
    if (m_pMarshaler) m_pMarshaler->Release();
    --LiveFakes();
  }
  FakeObject(const FakeObject&) = delete;
  FakeObject& operator=(const FakeObject&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, m_iid)) {
      if (FAILED(m_qiFailure)) return m_qiFailure;
      *ppv = static_cast<I*>(this);
      this->AddRef();
      return S_OK;
    }
    if (IsEqualIID(riid, IID_IMarshal) && m_pMarshaler) return m_pMarshaler->QueryInterface(riid, ppv);
    return E_NOINTERFACE;
  }

  // Makes QueryInterface for the double's own interfaces fail (an item that cannot be asked).
  HRESULT m_qiFailure = S_OK;

 private:
  IID m_iid;
  IUnknown* m_pMarshaler = nullptr;
};

#define PIMTEST_MOCK(ret, name, args) MOCK_METHOD(ret, name, args, (override, Calltype(STDMETHODCALLTYPE)))

// An item of another kind (a mail, a note, a distribution list): answers IDispatch only.
class FakeOtherItem : public FakeObject<IDispatch> {
 public:
  FakeOtherItem() : FakeObject<IDispatch>(IID_IDispatch) {}
};

// ---- calendar items ----

class FakeRecipient : public FakeObject<ISafeRecipient> {
 public:
  FakeRecipient(Text name, Text address, LONG type)
      : FakeObject<ISafeRecipient>(IID_ISafeRecipient), m_name(name), m_address(address), m_type(type) {}
  STDMETHOD(get_Name)(BSTR* p) override { return GetProp("Recipient.get_Name", m_name, p); }
  STDMETHOD(put_Name)(BSTR v) override { return PutProp("Recipient.put_Name", m_name, v); }
  STDMETHOD(get_Address)(BSTR* p) override { return GetProp("Recipient.get_Address", m_address, p); }
  STDMETHOD(put_Address)(BSTR v) override { return PutProp("Recipient.put_Address", m_address, v); }
  STDMETHOD(get_Type)(LONG* p) override { return GetProp("Recipient.get_Type", m_type, p); }
  STDMETHOD(put_Type)(LONG v) override { return PutProp("Recipient.put_Type", m_type, v); }
  STDMETHOD(Resolve)(VARIANT_BOOL, VARIANT_BOOL* pResolved) override {
    HRESULT hr = Calls().Call("Recipient.Resolve");
    if (SUCCEEDED(hr)) {
      m_resolved = true;
      if (pResolved) *pResolved = VARIANT_TRUE;
    }
    return hr;
  }

  Text m_name, m_address;
  LONG m_type;
  bool m_resolved = false;
};

// The items the calendar holds, in the folder's own order, each with one reference of the store's.
struct FakeStore {
  std::vector<IDispatch*> items;
  int nextId = 1;
  ~FakeStore() { Clear(); }
  void Clear() {
    std::vector<IDispatch*> old;
    old.swap(items);
    for (IDispatch* p : old) p->Release();
  }
  // Takes over the caller's reference.
  void Add(IDispatch* p) { items.push_back(p); }
  bool Remove(IDispatch* p) {
    for (auto it = items.begin(); it != items.end(); ++it)
      if (*it == p) {
        items.erase(it);
        p->Release();
        return true;
      }
    return false;
  }
};

class FakeAppointment : public FakeObject<_AppointmentItem> {
 public:
  explicit FakeAppointment(FakeStore* store = nullptr) : FakeObject<_AppointmentItem>(IID__AppointmentItem), m_store(store) {}
  ~FakeAppointment() override {
    for (FakeRecipient* r : m_recipients) r->Release();
  }

#define PIMTEST_APPT_GET(name, type, field) \
  STDMETHOD(get_##name)(type* p) override { return GetProp("Appt.get_" #name, field, p); }
#define PIMTEST_APPT_PROP(name, type, field) \
  PIMTEST_APPT_GET(name, type, field)        \
  STDMETHOD(put_##name)(type v) override { return PutProp("Appt.put_" #name, field, v); }
  PIMTEST_APPT_GET(EntryID, BSTR, m_entryId)
  PIMTEST_APPT_PROP(Subject, BSTR, m_subject)
  PIMTEST_APPT_PROP(Start, DATE, m_start)
  PIMTEST_APPT_PROP(End, DATE, m_end)
  PIMTEST_APPT_PROP(Location, BSTR, m_location)
  PIMTEST_APPT_PROP(AllDayEvent, VARIANT_BOOL, m_allDay)
  PIMTEST_APPT_PROP(ReminderSet, VARIANT_BOOL, m_reminderSet)
  PIMTEST_APPT_PROP(ReminderMinutesBeforeStart, LONG, m_reminderMinutes)
  PIMTEST_APPT_PROP(BusyStatus, LONG, m_busy)
  PIMTEST_APPT_PROP(Body, BSTR, m_body)
  PIMTEST_APPT_GET(IsRecurring, VARIANT_BOOL, m_recurring)
#undef PIMTEST_APPT_PROP
#undef PIMTEST_APPT_GET
  STDMETHOD(Save)() override {
    HRESULT hr = Calls().Call("Appt.Save");
    if (FAILED(hr)) return hr;
    if (m_deleted) return (HRESULT)0x8004010F;  // the item is gone
    ++m_saves;
    if (!m_entryId && m_store) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "00000000ABCDEF%034d", m_store->nextId++);
      m_entryId = U16(buf);
      AddRef();
      m_store->Add(this);
    }
    return S_OK;
  }
  STDMETHOD(Delete)() override {
    HRESULT hr = Calls().Call("Appt.Delete");
    if (FAILED(hr)) return hr;
    if (m_deleted) return (HRESULT)0x8004010F;
    m_deleted = true;
    if (m_store) m_store->Remove(this);  // may be the last reference but ours: the caller holds one
    return S_OK;
  }

  // Appends a recipient as the application holds it.
  void AddRecipient(const char16_t* name, const char16_t* address, LONG type) {
    m_recipients.push_back(
        new FakeRecipient(name ? Text(name) : std::nullopt, address ? Text(address) : std::nullopt, type));
  }

  FakeStore* m_store;
  Text m_entryId, m_subject, m_location, m_body;
  DATE m_start = 0, m_end = 0;
  VARIANT_BOOL m_allDay = 0, m_reminderSet = 0, m_recurring = 0;
  LONG m_reminderMinutes = 0, m_busy = 0;
  std::vector<FakeRecipient*> m_recipients;  // one reference each
  int m_saves = 0;
  bool m_deleted = false;
};

class FakeRecipients : public FakeObject<ISafeRecipients> {
 public:
  explicit FakeRecipients(FakeAppointment* appt) : FakeObject<ISafeRecipients>(IID_ISafeRecipients), m_appt(appt) {
    m_appt->AddRef();
  }
  ~FakeRecipients() override { m_appt->Release(); }
  STDMETHOD(get_Count)(LONG* p) override {
    HRESULT hr = Calls().Call("Recipients.get_Count");
    if (SUCCEEDED(hr)) *p = (LONG)m_appt->m_recipients.size();
    return hr;
  }
  STDMETHOD(Item)(LONG i, ISafeRecipient** pp) override {
    *pp = nullptr;
    HRESULT hr = Calls().Call("Recipients.Item");
    if (FAILED(hr)) return hr;
    if (i < 1 || i > (LONG)m_appt->m_recipients.size()) return E_INVALIDARG;
    *pp = m_appt->m_recipients[i - 1];
    (*pp)->AddRef();
    return S_OK;
  }
  STDMETHOD(Add)(BSTR name, ISafeRecipient** pp) override {
    *pp = nullptr;
    HRESULT hr = Calls().Call("Recipients.Add");
    if (FAILED(hr)) return hr;
    if (name == nullptr || SysStringLen(name) == 0) return S_OK;
    FakeRecipient* r = new FakeRecipient(FromBstr(name), std::nullopt, olRequired);
    m_appt->m_recipients.push_back(r);
    r->AddRef();
    *pp = r;
    return S_OK;
  }
  STDMETHOD(Remove)(LONG i) override {
    HRESULT hr = Calls().Call("Recipients.Remove");
    if (FAILED(hr)) return hr;
    if (i < 1 || i > (LONG)m_appt->m_recipients.size()) return E_INVALIDARG;
    m_appt->m_recipients[i - 1]->Release();
    m_appt->m_recipients.erase(m_appt->m_recipients.begin() + (i - 1));
    return S_OK;
  }

 private:
  FakeAppointment* m_appt;
};

class FakeSafeAppointment : public FakeObject<ISafeAppointmentItem> {
 public:
  FakeSafeAppointment() : FakeObject<ISafeAppointmentItem>(IID_ISafeAppointmentItem) {}
  ~FakeSafeAppointment() override {
    if (m_appt) m_appt->Release();
  }
  STDMETHOD(get_Item)(IDispatch** pp) override {
    *pp = m_appt;
    if (m_appt) m_appt->AddRef();
    return S_OK;
  }
  STDMETHOD(put_Item)(IDispatch* p) override {
    HRESULT hr = Calls().Call("Safe.put_Item");
    if (FAILED(hr)) return hr;
    _AppointmentItem* a = nullptr;
    hr = p->QueryInterface(IID__AppointmentItem, (void**)&a);
    if (FAILED(hr)) return hr;
    if (m_appt) m_appt->Release();
    m_appt = static_cast<FakeAppointment*>(a);
    return S_OK;
  }
  STDMETHOD(get_Recipients)(ISafeRecipients** pp) override {
    *pp = nullptr;
    HRESULT hr = Calls().Call("Safe.get_Recipients");
    if (FAILED(hr)) return hr;
    if (!m_appt) return E_UNEXPECTED;
    *pp = new FakeRecipients(m_appt);
    return S_OK;
  }

 private:
  FakeAppointment* m_appt = nullptr;
};

// ---- contacts ----

class FakeContact : public FakeObject<_ContactItem> {
 public:
  explicit FakeContact(std::u16string entryId) : FakeObject<_ContactItem>(IID__ContactItem), m_entryId(std::move(entryId)) {}

  STDMETHOD(get_EntryID)(BSTR* p) override {
    ++m_entryIdReads;
    HRESULT hr = Calls().Call("Contact.get_EntryID");
    if (SUCCEEDED(hr)) *p = ToBstr(m_entryId);
    return hr;
  }
#define PIMTEST_CONTACT_FIELD(name)                           \
  STDMETHOD(get_##name)(BSTR*) override { return E_NOTIMPL; } \
  STDMETHOD(put_##name)(BSTR) override { return E_NOTIMPL; }
  PIMTEST_CONTACT_FIELD(FirstName)
  PIMTEST_CONTACT_FIELD(LastName)
  PIMTEST_CONTACT_FIELD(FullName)
  PIMTEST_CONTACT_FIELD(CompanyName)
  PIMTEST_CONTACT_FIELD(JobTitle)
  PIMTEST_CONTACT_FIELD(Email1Address)
  PIMTEST_CONTACT_FIELD(Email2Address)
  PIMTEST_CONTACT_FIELD(Email3Address)
  PIMTEST_CONTACT_FIELD(BusinessTelephoneNumber)
  PIMTEST_CONTACT_FIELD(HomeTelephoneNumber)
  PIMTEST_CONTACT_FIELD(MobileTelephoneNumber)
  PIMTEST_CONTACT_FIELD(Body)
#undef PIMTEST_CONTACT_FIELD
  STDMETHOD(Save)() override { return E_NOTIMPL; }
  STDMETHOD(Delete)() override { return E_NOTIMPL; }

  std::u16string m_entryId;
  int m_entryIdReads = 0;
};

class MockSafeContact : public FakeObject<ISafeContactItem> {
 public:
  MockSafeContact() : FakeObject<ISafeContactItem>(IID_ISafeContactItem) {}
  PIMTEST_MOCK(HRESULT, get_Item, (IDispatch**));
  PIMTEST_MOCK(HRESULT, put_Item, (IDispatch*));
  PIMTEST_MOCK(HRESULT, SaveAs, (BSTR, VARIANT));
};

// ---- collections, folders, the application ----

// An item collection over a list of items, in order; every item handed out is a new reference.
// Find is a mock so that a test sees the exact filter text (E_NOTIMPL by default).
class FakeItems : public FakeObject<_Items> {
 public:
  explicit FakeItems(std::vector<IDispatch*> items = {}, std::string name = "Items")
      : FakeObject<_Items>(IID__Items), m_items(std::move(items)), m_name(std::move(name)) {
    for (IDispatch* p : m_items) p->AddRef();
    ON_CALL(*this, Find(::testing::_, ::testing::_)).WillByDefault([](BSTR, IDispatch** pp) {
      *pp = nullptr;
      return E_NOTIMPL;
    });
  }
  ~FakeItems() override { Clear(); }
  void Clear() {
    for (IDispatch* p : m_items) p->Release();
    m_items.clear();
    m_next = 0;
  }
  // Takes over the caller's reference.
  void Add(IDispatch* item) { m_items.push_back(item); }

  PIMTEST_MOCK(HRESULT, Find, (BSTR, IDispatch**));
  STDMETHOD(get_Count)(LONG* p) override {
    *p = (LONG)m_items.size();
    return Calls().Call(m_name + ".get_Count");
  }
  STDMETHOD(get_IncludeRecurrences)(VARIANT_BOOL* p) override {
    *p = m_includeRecurrences;
    return S_OK;
  }
  STDMETHOD(put_IncludeRecurrences)(VARIANT_BOOL v) override {
    HRESULT hr = Calls().Call(m_name + ".put_IncludeRecurrences(" + std::to_string(v) + ")");
    if (SUCCEEDED(hr)) m_includeRecurrences = v;
    return hr;
  }
  STDMETHOD(GetFirst)(IDispatch** pp) override {
    m_next = 0;
    return Fetch(m_name + ".GetFirst", pp);
  }
  STDMETHOD(GetNext)(IDispatch** pp) override { return Fetch(m_name + ".GetNext", pp); }
  STDMETHOD(Restrict)(BSTR filter, _Items** pp) override {
    *pp = nullptr;
    lastFilter = FromBstr(filter);
    HRESULT hr = Calls().Call(m_name + ".Restrict");
    if (FAILED(hr)) return hr;
    *pp = new ::testing::NiceMock<FakeItems>(restrictTo ? restrictTo() : m_items, "Restricted");
    return S_OK;
  }
  STDMETHOD(Sort)(BSTR property, VARIANT descending) override {
    std::string d = descending.vt == VT_BOOL ? (descending.boolVal ? "true" : "false") : "?";
    return Calls().Call(m_name + ".Sort(" + Narrow(FromBstr(property)) + "," + d + ")");
  }

  std::vector<IDispatch*> m_items;  // one reference each
  size_t m_next = 0;
  // What Restrict selects (the collection's own items when unset).
  std::function<std::vector<IDispatch*>()> restrictTo;
  Text lastFilter;

 private:
  HRESULT Fetch(const std::string& what, IDispatch** pp) {
    *pp = nullptr;
    HRESULT hr = Calls().Call(what);
    if (FAILED(hr) && !Calls().fetchItemOnFailure) return hr;
    if (m_next < m_items.size()) {
      *pp = m_items[m_next++];
      (*pp)->AddRef();
    }
    return hr;
  }
  std::string m_name;
  VARIANT_BOOL m_includeRecurrences = 0;
};

// A folder. get_Items hands out the folder's own collection when one is set (SetItems), otherwise a
// new collection over the store's items each time.
class FakeFolder : public FakeObject<MAPIFolder> {
 public:
  explicit FakeFolder(FakeStore* store = nullptr) : FakeObject<MAPIFolder>(IID_MAPIFolder), m_store(store) {
    ON_CALL(*this, get_Items(::testing::_)).WillByDefault([this](_Items** pp) {
      *pp = nullptr;
      HRESULT hr = Calls().Call("Folder.get_Items");
      if (FAILED(hr)) return hr;
      if (m_items) {
        m_items->AddRef();
        *pp = m_items;
        return S_OK;
      }
      auto* items = new ::testing::NiceMock<FakeItems>(m_store ? m_store->items : std::vector<IDispatch*>());
      if (onItems) onItems(items);
      *pp = items;
      return S_OK;
    });
    ON_CALL(*this, get_Name(::testing::_)).WillByDefault([](BSTR* p) {
      *p = SysAllocString(OLESTR("Calendar"));
      return S_OK;
    });
  }
  ~FakeFolder() override {
    if (m_items) m_items->Release();
  }
  // The collection every get_Items hands out; the folder keeps a reference.
  void SetItems(FakeItems* items) {
    items->AddRef();
    if (m_items) m_items->Release();
    m_items = items;
  }

  PIMTEST_MOCK(HRESULT, get_Items, (_Items**));
  PIMTEST_MOCK(HRESULT, get_Name, (BSTR*));
  // Lets a test shape a new collection before it is handed out.
  std::function<void(FakeItems*)> onItems;

 private:
  FakeStore* m_store;
  FakeItems* m_items = nullptr;
};

// CreateItem makes an appointment in the store (or an item of another kind with createOther).
class FakeApplication : public FakeObject<_Application> {
 public:
  explicit FakeApplication(FakeStore* store = nullptr) : FakeObject<_Application>(IID__Application), m_store(store) {
    ON_CALL(*this, GetNamespace(::testing::_, ::testing::_)).WillByDefault([](BSTR, _NameSpace** pp) {
      *pp = nullptr;
      return E_NOTIMPL;
    });
    ON_CALL(*this, CreateItem(::testing::_, ::testing::_)).WillByDefault([this](LONG type, IDispatch** pp) {
      *pp = nullptr;
      HRESULT hr = Calls().Call("App.CreateItem(" + std::to_string(type) + ")");
      if (FAILED(hr)) return hr;
      if (createOther) {
        *pp = new FakeOtherItem();
        lastCreated = nullptr;
      } else {
        lastCreated = new FakeAppointment(m_store);
        *pp = lastCreated;
      }
      return S_OK;
    });
  }
  PIMTEST_MOCK(HRESULT, GetNamespace, (BSTR, _NameSpace**));
  PIMTEST_MOCK(HRESULT, CreateItem, (LONG, IDispatch**));

  bool createOther = false;
  FakeAppointment* lastCreated = nullptr;  // not referenced

 private:
  FakeStore* m_store;
};

class FakeNameSpace : public FakeObject<_NameSpace> {
 public:
  FakeNameSpace() : FakeObject(IID__NameSpace) {}
  PIMTEST_MOCK(HRESULT, Logon, (VARIANT, VARIANT, VARIANT, VARIANT));
  PIMTEST_MOCK(HRESULT, Logoff, ());
  PIMTEST_MOCK(HRESULT, GetDefaultFolder, (LONG, MAPIFolder**));
  PIMTEST_MOCK(HRESULT, GetItemFromID, (BSTR, VARIANT, IDispatch**));
};

class FakeSafeCurrentUser : public FakeObject<ISafeCurrentUser> {
 public:
  FakeSafeCurrentUser() : FakeObject(IID_ISafeCurrentUser) {}
  PIMTEST_MOCK(HRESULT, get_Name, (BSTR*));
  PIMTEST_MOCK(HRESULT, Cleanup, ());
};

#undef PIMTEST_MOCK

// The application with its name space, both default folders and the safe current user, registered
// for activation. The defaults give a working logon: GetNamespace hands out `nameSpace`,
// GetDefaultFolder 9 and 10 hand out `calendarFolder` and `contactsFolder`, the current user is
// "Fake User".
class FakeOutlook {
 public:
  FakeOutlook()
      : app(new ::testing::NiceMock<FakeApplication>()),
        nameSpace(new ::testing::NiceMock<FakeNameSpace>()),
        calendarFolder(new ::testing::NiceMock<FakeFolder>()),
        contactsFolder(new ::testing::NiceMock<FakeFolder>()),
        currentUser(new ::testing::NiceMock<FakeSafeCurrentUser>()),
        appFactory(new FakeClassFactory(app)),
        userFactory(new FakeClassFactory(currentUser)),
        m_appClass(CLSID_OutlookApplication, appFactory, CLSCTX_LOCAL_SERVER),
        m_userClass(CLSID_SafeCurrentUser, userFactory) {
    using ::testing::_;
    using ::testing::Invoke;
    ON_CALL(*app, GetNamespace(_, _)).WillByDefault(Invoke([this](BSTR, _NameSpace** pp) {
      return HandOut<_NameSpace>(nameSpace, pp);
    }));
    ON_CALL(*nameSpace, Logon(_, _, _, _)).WillByDefault(::testing::Return(S_OK));
    ON_CALL(*nameSpace, Logoff()).WillByDefault(::testing::Return(S_OK));
    ON_CALL(*nameSpace, GetDefaultFolder(_, _)).WillByDefault(Invoke([this](LONG type, MAPIFolder** pp) {
      if (type == olFolderCalendar) return HandOut<MAPIFolder>(calendarFolder, pp);
      if (type == olFolderContacts) return HandOut<MAPIFolder>(contactsFolder, pp);
      *pp = nullptr;
      return E_INVALIDARG;
    }));
    ON_CALL(*nameSpace, GetItemFromID(_, _, _)).WillByDefault(Invoke([](BSTR, VARIANT, IDispatch** pp) {
      *pp = nullptr;
      return E_FAIL;
    }));
    ON_CALL(*currentUser, get_Name(_)).WillByDefault(Invoke([](BSTR* p) {
      *p = SysAllocString(OLESTR("Fake User"));
      return S_OK;
    }));
    ON_CALL(*currentUser, Cleanup()).WillByDefault(::testing::Return(S_OK));
  }

  ~FakeOutlook() {
    Unregister();
    appFactory->Release();
    userFactory->Release();
    currentUser->Release();
    contactsFolder->Release();
    calendarFolder->Release();
    nameSpace->Release();
    app->Release();
  }
  FakeOutlook(const FakeOutlook&) = delete;
  FakeOutlook& operator=(const FakeOutlook&) = delete;

  // Takes the classes out of the class table: activation then finds what the registry has.
  void Unregister() {
    m_appClass.Revoke();
    m_userClass.Revoke();
  }

  template <class I, class T>
  static HRESULT HandOut(T* object, I** pp) {
    object->AddRef();
    *pp = object;
    return S_OK;
  }

  // The test holds one reference to each; the adapter's show as counts above 1.
  ::testing::NiceMock<FakeApplication>* app;
  ::testing::NiceMock<FakeNameSpace>* nameSpace;
  ::testing::NiceMock<FakeFolder>* calendarFolder;
  ::testing::NiceMock<FakeFolder>* contactsFolder;
  ::testing::NiceMock<FakeSafeCurrentUser>* currentUser;
  FakeClassFactory* appFactory;
  FakeClassFactory* userFactory;

 private:
  ScopedClassObject m_appClass;
  ScopedClassObject m_userClass;
};

}  // namespace pimtest
