// Test doubles of the PIM application's calendar (application, folder, item collections,
// appointments) and of the safe appointment item with its recipients. Every double keeps a real
// reference count and is deleted at 0, so tests can assert that each reference the component
// takes is given back. Calls are written to a log and any call can be made to fail by name.
#pragma once
#include <gtest/gtest.h>

#include <ComPtr.h>
#include <Outlook.h>
#include <Redemption.h>
#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/ComTestSupport.h"

namespace caltest {

using Text = std::optional<std::u16string>;  // a BSTR value: nullopt for a null BSTR

inline Text FromBstr(BSTR b) {
  if (b == nullptr) return std::nullopt;
  return std::u16string(reinterpret_cast<const char16_t*>(b), SysStringLen(b));
}
inline BSTR ToBstr(const Text& t) {
  return t ? SysAllocStringLen(reinterpret_cast<const OLECHAR*>(t->data()), (UINT)t->size()) : nullptr;
}
inline std::string Narrow(const Text& t) { return t ? pimtest::Utf8(reinterpret_cast<const OLECHAR*>(t->c_str())) : "<null>"; }

// The shared state of one test: call log, armed failures, live doubles.
struct World {
  std::vector<std::string> log;
  // name -> (HRESULT, how many more calls fail; negative: every call)
  std::map<std::string, std::pair<HRESULT, int>> failures;
  std::atomic<int> live{0};
  // A failing GetFirst/GetNext still hands out the item it stands on.
  bool fetchItemOnFailure = false;

  // Records the call and returns the armed failure, or S_OK.
  HRESULT Call(const std::string& name) {
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
};

inline World*& CurrentWorld() {
  static World* w = nullptr;
  return w;
}
inline World& W() { return *CurrentWorld(); }

template <class I>
class FakeDispatch : public I {
 public:
  explicit FakeDispatch(const IID& iid) : m_iid(iid) { ++W().live; }
  virtual ~FakeDispatch() { --W().live; }
  FakeDispatch(const FakeDispatch&) = delete;
  FakeDispatch& operator=(const FakeDispatch&) = delete;

  STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, m_iid)) {
      HRESULT hr = m_qiFailure;
      if (FAILED(hr)) return hr;
      *ppv = static_cast<I*>(this);
      this->AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  STDMETHOD_(ULONG, AddRef)() override { return (ULONG)++m_refs; }
  STDMETHOD_(ULONG, Release)() override {
    LONG n = --m_refs;
    if (n == 0) delete this;
    return (ULONG)n;
  }
  STDMETHOD(GetTypeInfoCount)(UINT*) override { return E_NOTIMPL; }
  STDMETHOD(GetTypeInfo)(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHOD(GetIDsOfNames)(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHOD(Invoke)(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return E_NOTIMPL; }

  // Makes QueryInterface for the double's own interfaces fail (an item that cannot be asked).
  HRESULT m_qiFailure = S_OK;

 private:
  IID m_iid;
  std::atomic<LONG> m_refs{0};
};

// An item of another kind (a mail or a note): answers IDispatch only.
class FakeOtherItem : public FakeDispatch<IDispatch> {
 public:
  FakeOtherItem() : FakeDispatch<IDispatch>(IID_IDispatch) {}
};

class FakeRecipient : public FakeDispatch<ISafeRecipient> {
 public:
  FakeRecipient(Text name, Text address, LONG type)
      : FakeDispatch<ISafeRecipient>(IID_ISafeRecipient), m_name(name), m_address(address), m_type(type) {}
  STDMETHOD(get_Name)(BSTR* p) override { return Get("Recipient.get_Name", m_name, p); }
  STDMETHOD(put_Name)(BSTR v) override {
    HRESULT hr = W().Call("Recipient.put_Name");
    if (SUCCEEDED(hr)) m_name = FromBstr(v);
    return hr;
  }
  STDMETHOD(get_Address)(BSTR* p) override { return Get("Recipient.get_Address", m_address, p); }
  STDMETHOD(put_Address)(BSTR v) override {
    HRESULT hr = W().Call("Recipient.put_Address");
    if (SUCCEEDED(hr)) m_address = FromBstr(v);
    return hr;
  }
  STDMETHOD(get_Type)(LONG* p) override {
    HRESULT hr = W().Call("Recipient.get_Type");
    if (SUCCEEDED(hr)) *p = m_type;
    return hr;
  }
  STDMETHOD(put_Type)(LONG v) override {
    HRESULT hr = W().Call("Recipient.put_Type");
    if (SUCCEEDED(hr)) m_type = v;
    return hr;
  }
  STDMETHOD(Resolve)(VARIANT_BOOL, VARIANT_BOOL* pResolved) override {
    HRESULT hr = W().Call("Recipient.Resolve");
    if (SUCCEEDED(hr)) {
      m_resolved = true;
      if (pResolved) *pResolved = VARIANT_TRUE;
    }
    return hr;
  }

  Text m_name, m_address;
  LONG m_type;
  bool m_resolved = false;

 private:
  HRESULT Get(const char* what, const Text& t, BSTR* p) {
    HRESULT hr = W().Call(what);
    if (SUCCEEDED(hr)) *p = ToBstr(t);
    return hr;
  }
};

class FakeAppointment;

// The items the store holds, in the folder's own order, each with one reference of the store's.
struct FakeStore {
  std::vector<IDispatch*> items;
  int nextId = 1;
  ~FakeStore() { Clear(); }
  void Clear() {
    std::vector<IDispatch*> old;
    old.swap(items);
    for (IDispatch* p : old) p->Release();
  }
  void Add(IDispatch* p) {
    p->AddRef();
    items.push_back(p);
  }
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

class FakeAppointment : public FakeDispatch<_AppointmentItem> {
 public:
  explicit FakeAppointment(FakeStore* store = nullptr) : FakeDispatch<_AppointmentItem>(IID__AppointmentItem), m_store(store) {}
  ~FakeAppointment() override {
    for (FakeRecipient* r : m_recipients) r->Release();
  }

  STDMETHOD(get_EntryID)(BSTR* p) override { return GetText("Appt.get_EntryID", m_entryId, p); }
  STDMETHOD(get_Subject)(BSTR* p) override { return GetText("Appt.get_Subject", m_subject, p); }
  STDMETHOD(put_Subject)(BSTR v) override { return PutText("Appt.put_Subject", m_subject, v); }
  STDMETHOD(get_Start)(DATE* p) override { return GetValue("Appt.get_Start", m_start, p); }
  STDMETHOD(put_Start)(DATE v) override { return PutValue("Appt.put_Start", m_start, v); }
  STDMETHOD(get_End)(DATE* p) override { return GetValue("Appt.get_End", m_end, p); }
  STDMETHOD(put_End)(DATE v) override { return PutValue("Appt.put_End", m_end, v); }
  STDMETHOD(get_Location)(BSTR* p) override { return GetText("Appt.get_Location", m_location, p); }
  STDMETHOD(put_Location)(BSTR v) override { return PutText("Appt.put_Location", m_location, v); }
  STDMETHOD(get_AllDayEvent)(VARIANT_BOOL* p) override { return GetValue("Appt.get_AllDayEvent", m_allDay, p); }
  STDMETHOD(put_AllDayEvent)(VARIANT_BOOL v) override { return PutValue("Appt.put_AllDayEvent", m_allDay, v); }
  STDMETHOD(get_ReminderSet)(VARIANT_BOOL* p) override { return GetValue("Appt.get_ReminderSet", m_reminderSet, p); }
  STDMETHOD(put_ReminderSet)(VARIANT_BOOL v) override { return PutValue("Appt.put_ReminderSet", m_reminderSet, v); }
  STDMETHOD(get_ReminderMinutesBeforeStart)(LONG* p) override { return GetValue("Appt.get_ReminderMinutesBeforeStart", m_reminderMinutes, p); }
  STDMETHOD(put_ReminderMinutesBeforeStart)(LONG v) override { return PutValue("Appt.put_ReminderMinutesBeforeStart", m_reminderMinutes, v); }
  STDMETHOD(get_BusyStatus)(LONG* p) override { return GetValue("Appt.get_BusyStatus", m_busy, p); }
  STDMETHOD(put_BusyStatus)(LONG v) override { return PutValue("Appt.put_BusyStatus", m_busy, v); }
  STDMETHOD(get_Body)(BSTR* p) override { return GetText("Appt.get_Body", m_body, p); }
  STDMETHOD(put_Body)(BSTR v) override { return PutText("Appt.put_Body", m_body, v); }
  STDMETHOD(get_IsRecurring)(VARIANT_BOOL* p) override { return GetValue("Appt.get_IsRecurring", m_recurring, p); }
  STDMETHOD(Save)() override {
    HRESULT hr = W().Call("Appt.Save");
    if (FAILED(hr)) return hr;
    if (m_deleted) return (HRESULT)0x8004010F;  // the item is gone
    ++m_saves;
    if (!m_entryId && m_store) {
      char buf[64];
      snprintf(buf, sizeof buf, "00000000ABCDEF%034d", m_store->nextId++);
      std::u16string id;
      for (const char* c = buf; *c; ++c) id.push_back((char16_t)*c);
      m_entryId = id;
      m_store->Add(this);
    }
    return S_OK;
  }
  STDMETHOD(Delete)() override {
    HRESULT hr = W().Call("Appt.Delete");
    if (FAILED(hr)) return hr;
    if (m_deleted) return (HRESULT)0x8004010F;
    m_deleted = true;
    if (m_store) m_store->Remove(this);  // may be the last reference but ours: the caller holds one
    return S_OK;
  }

  // Appends a recipient as the application holds it.
  void AddRecipient(const char16_t* name, const char16_t* address, LONG type) {
    FakeRecipient* r = new FakeRecipient(name ? Text(name) : std::nullopt, address ? Text(address) : std::nullopt, type);
    r->AddRef();
    m_recipients.push_back(r);
  }

  FakeStore* m_store;
  Text m_entryId, m_subject, m_location, m_body;
  DATE m_start = 0, m_end = 0;
  VARIANT_BOOL m_allDay = 0, m_reminderSet = 0, m_recurring = 0;
  LONG m_reminderMinutes = 0, m_busy = 0;
  std::vector<FakeRecipient*> m_recipients;  // one reference each
  int m_saves = 0;
  bool m_deleted = false;

 private:
  HRESULT GetText(const char* what, const Text& t, BSTR* p) {
    HRESULT hr = W().Call(what);
    if (SUCCEEDED(hr)) *p = ToBstr(t);
    return hr;
  }
  HRESULT PutText(const char* what, Text& t, BSTR v) {
    HRESULT hr = W().Call(what);
    if (SUCCEEDED(hr)) t = FromBstr(v);
    return hr;
  }
  template <class T>
  HRESULT GetValue(const char* what, const T& field, T* p) {
    HRESULT hr = W().Call(what);
    if (SUCCEEDED(hr)) *p = field;
    return hr;
  }
  template <class T>
  HRESULT PutValue(const char* what, T& field, T v) {
    HRESULT hr = W().Call(what);
    if (SUCCEEDED(hr)) field = v;
    return hr;
  }
};

class FakeRecipients : public FakeDispatch<ISafeRecipients> {
 public:
  explicit FakeRecipients(FakeAppointment* appt) : FakeDispatch<ISafeRecipients>(IID_ISafeRecipients), m_appt(appt) {
    m_appt->AddRef();
  }
  ~FakeRecipients() override { m_appt->Release(); }
  STDMETHOD(get_Count)(LONG* p) override {
    HRESULT hr = W().Call("Recipients.get_Count");
    if (SUCCEEDED(hr)) *p = (LONG)m_appt->m_recipients.size();
    return hr;
  }
  STDMETHOD(Item)(LONG i, ISafeRecipient** pp) override {
    *pp = nullptr;
    HRESULT hr = W().Call("Recipients.Item");
    if (FAILED(hr)) return hr;
    if (i < 1 || i > (LONG)m_appt->m_recipients.size()) return E_INVALIDARG;
    *pp = m_appt->m_recipients[i - 1];
    (*pp)->AddRef();
    return S_OK;
  }
  STDMETHOD(Add)(BSTR name, ISafeRecipient** pp) override {
    *pp = nullptr;
    HRESULT hr = W().Call("Recipients.Add");
    if (FAILED(hr)) return hr;
    if (name == nullptr || SysStringLen(name) == 0) return S_OK;
    FakeRecipient* r = new FakeRecipient(FromBstr(name), std::nullopt, olRequired);
    r->AddRef();
    m_appt->m_recipients.push_back(r);
    r->AddRef();
    *pp = r;
    return S_OK;
  }
  STDMETHOD(Remove)(LONG i) override {
    HRESULT hr = W().Call("Recipients.Remove");
    if (FAILED(hr)) return hr;
    if (i < 1 || i > (LONG)m_appt->m_recipients.size()) return E_INVALIDARG;
    m_appt->m_recipients[i - 1]->Release();
    m_appt->m_recipients.erase(m_appt->m_recipients.begin() + (i - 1));
    return S_OK;
  }

 private:
  FakeAppointment* m_appt;
};

class FakeSafeAppointment : public FakeDispatch<ISafeAppointmentItem> {
 public:
  FakeSafeAppointment() : FakeDispatch<ISafeAppointmentItem>(IID_ISafeAppointmentItem) {}
  ~FakeSafeAppointment() override {
    if (m_appt) m_appt->Release();
  }
  STDMETHOD(get_Item)(IDispatch** pp) override {
    *pp = m_appt;
    if (m_appt) m_appt->AddRef();
    return S_OK;
  }
  STDMETHOD(put_Item)(IDispatch* p) override {
    HRESULT hr = W().Call("Safe.put_Item");
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
    HRESULT hr = W().Call("Safe.get_Recipients");
    if (FAILED(hr)) return hr;
    if (!m_appt) return E_UNEXPECTED;
    *pp = new FakeRecipients(m_appt);
    (*pp)->AddRef();
    return S_OK;
  }

 private:
  FakeAppointment* m_appt = nullptr;
};

// Creates safe appointment items for CoCreateInstance.
class SafeItemFactory : public IClassFactory {
 public:
  STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHOD_(ULONG, AddRef)() override { return 2; }
  STDMETHOD_(ULONG, Release)() override { return 1; }
  STDMETHOD(CreateInstance)(IUnknown* outer, REFIID riid, void** ppv) override {
    *ppv = nullptr;
    HRESULT hr = W().Call("Safe.Create");
    if (FAILED(hr)) return hr;
    if (outer) return CLASS_E_NOAGGREGATION;
    FakeSafeAppointment* p = new FakeSafeAppointment();
    p->AddRef();
    hr = p->QueryInterface(riid, ppv);
    p->Release();
    return hr;
  }
  STDMETHOD(LockServer)(BOOL) override { return S_OK; }
};

// An item collection over a list of items, in the given order.
class FakeItems : public FakeDispatch<_Items> {
 public:
  explicit FakeItems(std::vector<IDispatch*> items, std::string name = "Items")
      : FakeDispatch<_Items>(IID__Items), m_items(std::move(items)), m_name(std::move(name)) {
    for (IDispatch* p : m_items) p->AddRef();
  }
  ~FakeItems() override {
    for (IDispatch* p : m_items) p->Release();
  }
  STDMETHOD(get_Count)(LONG* p) override {
    *p = (LONG)m_items.size();
    return W().Call(m_name + ".get_Count");
  }
  STDMETHOD(get_IncludeRecurrences)(VARIANT_BOOL* p) override {
    *p = m_includeRecurrences;
    return S_OK;
  }
  STDMETHOD(put_IncludeRecurrences)(VARIANT_BOOL v) override {
    HRESULT hr = W().Call(m_name + ".put_IncludeRecurrences(" + std::to_string(v) + ")");
    if (SUCCEEDED(hr)) m_includeRecurrences = v;
    return hr;
  }
  STDMETHOD(Find)(BSTR, IDispatch** pp) override {
    *pp = nullptr;
    return E_NOTIMPL;
  }
  STDMETHOD(GetFirst)(IDispatch** pp) override {
    m_pos = 0;
    return Fetch(m_name + ".GetFirst", pp);
  }
  STDMETHOD(GetNext)(IDispatch** pp) override { return Fetch(m_name + ".GetNext", pp); }
  STDMETHOD(Restrict)(BSTR filter, _Items** pp) override {
    *pp = nullptr;
    lastFilter = FromBstr(filter);
    HRESULT hr = W().Call(m_name + ".Restrict");
    if (FAILED(hr)) return hr;
    std::vector<IDispatch*> selected = restrictTo ? restrictTo() : m_items;
    *pp = new FakeItems(selected, "Restricted");
    (*pp)->AddRef();
    return S_OK;
  }
  STDMETHOD(Sort)(BSTR property, VARIANT descending) override {
    std::string d = descending.vt == VT_BOOL ? (descending.boolVal ? "true" : "false") : "?";
    return W().Call(m_name + ".Sort(" + Narrow(FromBstr(property)) + "," + d + ")");
  }

  // What Restrict selects (the collection's own items when unset).
  std::function<std::vector<IDispatch*>()> restrictTo;
  Text lastFilter;
 private:
  HRESULT Fetch(const std::string& what, IDispatch** pp) {
    *pp = nullptr;
    HRESULT hr = W().Call(what);
    if (FAILED(hr) && !W().fetchItemOnFailure) return hr;
    if (m_pos < m_items.size()) {
      *pp = m_items[m_pos++];
      (*pp)->AddRef();
    }
    return hr;
  }
  std::vector<IDispatch*> m_items;
  std::string m_name;
  size_t m_pos = 0;
  VARIANT_BOOL m_includeRecurrences = 0;
};

class FakeFolder : public FakeDispatch<MAPIFolder> {
 public:
  explicit FakeFolder(FakeStore* store) : FakeDispatch<MAPIFolder>(IID_MAPIFolder), m_store(store) {}
  STDMETHOD(get_Items)(_Items** pp) override {
    *pp = nullptr;
    HRESULT hr = W().Call("Folder.get_Items");
    if (FAILED(hr)) return hr;
    FakeItems* items = new FakeItems(m_store->items);
    if (onItems) onItems(items);
    *pp = items;
    items->AddRef();
    return S_OK;
  }
  STDMETHOD(get_Name)(BSTR* p) override {
    *p = SysAllocString(OLESTR("Calendar"));
    return S_OK;
  }
  // Lets a test shape the collection before it is handed out.
  std::function<void(FakeItems*)> onItems;

 private:
  FakeStore* m_store;
};

class FakeApplication : public FakeDispatch<_Application> {
 public:
  explicit FakeApplication(FakeStore* store) : FakeDispatch<_Application>(IID__Application), m_store(store) {}
  STDMETHOD(GetNamespace)(BSTR, _NameSpace** pp) override {
    *pp = nullptr;
    return E_NOTIMPL;
  }
  STDMETHOD(CreateItem)(LONG type, IDispatch** pp) override {
    *pp = nullptr;
    HRESULT hr = W().Call("App.CreateItem(" + std::to_string(type) + ")");
    if (FAILED(hr)) return hr;
    IDispatch* item = createOther ? static_cast<IDispatch*>(new FakeOtherItem()) : new FakeAppointment(m_store);
    item->AddRef();
    *pp = item;
    lastCreated = createOther ? nullptr : static_cast<FakeAppointment*>(item);
    return S_OK;
  }
  bool createOther = false;
  FakeAppointment* lastCreated = nullptr;  // not referenced

 private:
  FakeStore* m_store;
};

}  // namespace caltest
