// Test doubles of the PIM application's contacts folder and of the safe contact item, with real
// reference counts (a fake is deleted when its count reaches 0), so that the contacts tests can
// assert the balance of every reference the component takes.
#pragma once
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ComPtr.h>
#include <Outlook.h>
#include <Redemption.h>
#include <objbase.h>
#include <oleauto.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "CContactEntry.h"
#include "CContactsDatabase.h"
#include "support/ComTestSupport.h"
#include "support/FakeOutlook.h"

namespace contacts_test {

using pimtest::RefCount;

inline std::u16string U16(const char* s) {
  std::u16string out;
  for (; *s; ++s) out.push_back((char16_t)(unsigned char)*s);
  return out;
}

// An owned BSTR made from ASCII text, usable as an argument.
class Text : public pimtest::Bstr {
 public:
  explicit Text(const char* s) : pimtest::Bstr(U16(s).c_str()) {}
  operator BSTR() const { return get(); }
};

inline std::u16string FromBstr(BSTR b) {
  return b ? std::u16string(reinterpret_cast<const char16_t*>(b), SysStringLen(b)) : std::u16string();
}

template <class I>
using FakeDispatch = pimtest::FakeObject<I>;

// An item that is no contact (a distribution list, say): it answers IDispatch only.
class FakeOtherItem : public FakeDispatch<IDispatch> {
 public:
  FakeOtherItem() : FakeDispatch<IDispatch>(IID_IDispatch) {}
};

class FakeContact : public FakeDispatch<_ContactItem> {
 public:
  explicit FakeContact(std::u16string entryId) : FakeDispatch<_ContactItem>(IID__ContactItem), m_entryId(std::move(entryId)) {}

  std::u16string m_entryId;
  HRESULT m_entryIdHr = S_OK;
  int m_entryIdReads = 0;

  STDMETHOD(get_EntryID)(BSTR* p) override {
    ++m_entryIdReads;
    if (FAILED(m_entryIdHr)) return m_entryIdHr;
    *p = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(m_entryId.data()), (UINT)m_entryId.size());
    return S_OK;
  }
#define CONTACT_FIELD(name)                                        \
  STDMETHOD(get_##name)(BSTR*) override { return E_NOTIMPL; } \
  STDMETHOD(put_##name)(BSTR) override { return E_NOTIMPL; }
  CONTACT_FIELD(FirstName)
  CONTACT_FIELD(LastName)
  CONTACT_FIELD(FullName)
  CONTACT_FIELD(CompanyName)
  CONTACT_FIELD(JobTitle)
  CONTACT_FIELD(Email1Address)
  CONTACT_FIELD(Email2Address)
  CONTACT_FIELD(Email3Address)
  CONTACT_FIELD(BusinessTelephoneNumber)
  CONTACT_FIELD(HomeTelephoneNumber)
  CONTACT_FIELD(MobileTelephoneNumber)
  CONTACT_FIELD(Body)
#undef CONTACT_FIELD
  STDMETHOD(Save)() override { return E_NOTIMPL; }
  STDMETHOD(Delete)() override { return E_NOTIMPL; }
};

// The folder's item collection: GetFirst/GetNext walk `items` in order, each handing out a new
// reference. Find is a mock so that a test sees the exact filter text.
class FakeItems : public FakeDispatch<_Items> {
 public:
  FakeItems() : FakeDispatch<_Items>(IID__Items) {}
  ~FakeItems() override { Clear(); }
  void Clear() {
    for (IDispatch* p : m_items) p->Release();
    m_items.clear();
    m_next = 0;
  }
  // Takes over the caller's reference.
  void Add(IDispatch* item) { m_items.push_back(item); }

  std::vector<IDispatch*> m_items;
  size_t m_next = 0;
  HRESULT m_getFirstHr = S_OK;
  int m_failGetNextAt = -1;  // the nth GetNext (1-based) fails with m_getNextHr
  HRESULT m_getNextHr = E_FAIL;
  int m_getNextCalls = 0;

  MOCK_METHOD(HRESULT, Find, (BSTR Filter, IDispatch** ppItem), (override));

  STDMETHOD(GetFirst)(IDispatch** pp) override {
    if (FAILED(m_getFirstHr)) return m_getFirstHr;
    m_next = 0;
    return Hand(pp);
  }
  STDMETHOD(GetNext)(IDispatch** pp) override {
    if (++m_getNextCalls == m_failGetNextAt) return m_getNextHr;
    return Hand(pp);
  }
  STDMETHOD(get_Count)(LONG* p) override {
    *p = (LONG)m_items.size();
    return S_OK;
  }
  STDMETHOD(get_IncludeRecurrences)(VARIANT_BOOL*) override { return E_NOTIMPL; }
  STDMETHOD(put_IncludeRecurrences)(VARIANT_BOOL) override { return E_NOTIMPL; }
  STDMETHOD(Restrict)(BSTR, _Items**) override { return E_NOTIMPL; }
  STDMETHOD(Sort)(BSTR, VARIANT) override { return E_NOTIMPL; }

 private:
  HRESULT Hand(IDispatch** pp) {
    *pp = nullptr;
    if (m_next < m_items.size()) {
      *pp = m_items[m_next++];
      (*pp)->AddRef();
    }
    return S_OK;
  }
};

// The contacts folder: get_Items hands out `items` (one reference owned) unless `itemsHr` fails.
class ContactsFolder : public testing::NiceMock<pimtest::FakeFolder> {
 public:
  explicit ContactsFolder(FakeItems* items) : m_items(items) {
    ON_CALL(*this, get_Items(testing::_)).WillByDefault([this](_Items** pp) {
      ++m_itemsCalls;
      if (FAILED(m_itemsHr)) return m_itemsHr;
      m_items->AddRef();
      *pp = m_items;
      return S_OK;
    });
  }
  ~ContactsFolder() override { m_items->Release(); }

  FakeItems* m_items;
  HRESULT m_itemsHr = S_OK;
  int m_itemsCalls = 0;
};

class MockSafeContact : public FakeDispatch<ISafeContactItem> {
 public:
  MockSafeContact() : FakeDispatch<ISafeContactItem>(IID_ISafeContactItem) { ++s_live; }
  ~MockSafeContact() override { --s_live; }
  static inline std::atomic<int> s_live{0};

  MOCK_METHOD(HRESULT, get_Item, (IDispatch * *ppItem), (override));
  MOCK_METHOD(HRESULT, put_Item, (IDispatch * pItem), (override));
  MOCK_METHOD(HRESULT, SaveAs, (BSTR Path, VARIANT Type), (override));
};

// Class object for the safe contact item, put in front of activation with CoRegisterClassObject.
// Each CreateInstance makes a new mock and hands it to `configure` before the component sees it.
class SafeContactFactory : public IClassFactory {
 public:
  std::function<void(MockSafeContact&)> configure;
  int created = 0;

  STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  // Lives on the test's stack; the count is kept only to be checked.
  STDMETHOD_(ULONG, AddRef)() override { return ++m_refs; }
  STDMETHOD_(ULONG, Release)() override { return --m_refs; }
  STDMETHOD(CreateInstance)(IUnknown* pOuter, REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (pOuter != nullptr) return CLASS_E_NOAGGREGATION;
    auto* mock = new testing::StrictMock<MockSafeContact>();
    ++created;
    if (configure) configure(*mock);
    HRESULT hr = mock->QueryInterface(riid, ppv);
    mock->Release();
    return hr;
  }
  STDMETHOD(LockServer)(BOOL) override { return S_OK; }

  ULONG Refs() const { return m_refs; }

 private:
  std::atomic<ULONG> m_refs{1};
};

// Registers a class object for the safe contact item for one scope.
class ScopedClassObject {
 public:
  ScopedClassObject(REFCLSID clsid, IUnknown* p) {
    EXPECT_EQ(CoRegisterClassObject(clsid, p, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &m_cookie), S_OK);
  }
  ~ScopedClassObject() { CoRevokeClassObject(m_cookie); }
  ScopedClassObject(const ScopedClassObject&) = delete;
  ScopedClassObject& operator=(const ScopedClassObject&) = delete;

 private:
  DWORD m_cookie = 0;
};

// A contacts database given `folder` the way the adapter hands it over (the marshalled folder in
// the kept stream, with the second reference the handover adds), already bound to this thread so
// that a test's reference counts leave the database's own pointer out. The caller owns one
// reference to the database.
inline CComObject<CContactsDatabase>* MakeDatabase(MAPIFolder* folder) {
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
inline std::u16string EntryIdWithWindowAt(size_t length, size_t offset, const char* window) {
  std::u16string id(length, u'E');
  for (size_t k = 0; window[k] && offset + k < length; ++k) id[offset + k] = (char16_t)window[k];
  return id;
}

}  // namespace contacts_test
