// gmock stand-ins for the PIM application and the safe current user, put in front of activation with
// CoRegisterClassObject (the class table comes before the registry). Every fake keeps a real
// reference count and aggregates the free-threaded marshaler, so it marshals like the server's
// objects and reference balance can be asserted.
//
//     pimtest::FakeOutlook outlook;          // registered for the application and the current user
//     EXPECT_CALL(*outlook.nameSpace, Logon(_, _, _, _)).WillOnce(Return(E_FAIL));
//     ... adapter->Logon(...) ...
//     EXPECT_REF(outlook.app, 1);            // only the test's own reference left
//
// The defaults give a working logon: GetNamespace hands out `nameSpace`, GetDefaultFolder 9 and 10
// hand out `calendarFolder` and `contactsFolder`, the current user is "Fake User".
#pragma once
#include <Outlook.h>
#include <Redemption.h>
#include <gmock/gmock.h>
#include <objbase.h>
#include <oleauto.h>

#include <atomic>

namespace pimtest {

template <class I>
class FakeObject : public I {
 public:
  explicit FakeObject(const IID& iid) : m_iid(iid) {
    CoCreateFreeThreadedMarshaler(static_cast<IUnknown*>(this), &m_pMarshaler);
  }
  virtual ~FakeObject() {
    if (m_pMarshaler) m_pMarshaler->Release();
  }

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) || IsEqualIID(riid, m_iid)) {
      *ppv = static_cast<I*>(this);
      AddRef();
      return S_OK;
    }
    if (IsEqualIID(riid, IID_IMarshal) && m_pMarshaler) return m_pMarshaler->QueryInterface(riid, ppv);
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG n = --m_refs;
    if (n == 0) delete this;
    return n;
  }
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

 private:
  const IID& m_iid;
  std::atomic<ULONG> m_refs{1};
  IUnknown* m_pMarshaler = nullptr;
};

#define PIMTEST_MOCK(ret, name, args) MOCK_METHOD(ret, name, args, (override, Calltype(STDMETHODCALLTYPE)))

class FakeApplication : public FakeObject<_Application> {
 public:
  FakeApplication() : FakeObject(IID__Application) {}
  PIMTEST_MOCK(HRESULT, GetNamespace, (BSTR, _NameSpace**));
  PIMTEST_MOCK(HRESULT, CreateItem, (LONG, IDispatch**));
};

class FakeNameSpace : public FakeObject<_NameSpace> {
 public:
  FakeNameSpace() : FakeObject(IID__NameSpace) {}
  PIMTEST_MOCK(HRESULT, Logon, (VARIANT, VARIANT, VARIANT, VARIANT));
  PIMTEST_MOCK(HRESULT, Logoff, ());
  PIMTEST_MOCK(HRESULT, GetDefaultFolder, (LONG, MAPIFolder**));
  PIMTEST_MOCK(HRESULT, GetItemFromID, (BSTR, VARIANT, IDispatch**));
};

class FakeFolder : public FakeObject<MAPIFolder> {
 public:
  FakeFolder() : FakeObject(IID_MAPIFolder) {}
  PIMTEST_MOCK(HRESULT, get_Items, (_Items**));
  PIMTEST_MOCK(HRESULT, get_Name, (BSTR*));
};

class FakeSafeCurrentUser : public FakeObject<ISafeCurrentUser> {
 public:
  FakeSafeCurrentUser() : FakeObject(IID_ISafeCurrentUser) {}
  PIMTEST_MOCK(HRESULT, get_Name, (BSTR*));
  PIMTEST_MOCK(HRESULT, Cleanup, ());
};

#undef PIMTEST_MOCK

// Hands out one object for every activation, or fails with `failWith`.
class FakeClassFactory : public IClassFactory {
 public:
  explicit FakeClassFactory(IUnknown* object) : m_object(object) {}
  virtual ~FakeClassFactory() = default;
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG n = --m_refs;
    if (n == 0) delete this;
    return n;
  }
  STDMETHODIMP CreateInstance(IUnknown* pOuter, REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    ++activations;
    if (pOuter) return CLASS_E_NOAGGREGATION;
    if (FAILED(failWith)) return failWith;
    return m_object->QueryInterface(riid, ppv);
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }

  std::atomic<HRESULT> failWith{S_OK};
  std::atomic<int> activations{0};

 private:
  IUnknown* m_object;  // owned by the test
  std::atomic<ULONG> m_refs{1};
};

class FakeOutlook {
 public:
  FakeOutlook() {
    using ::testing::_;
    using ::testing::Invoke;
    app = new ::testing::NiceMock<FakeApplication>();
    nameSpace = new ::testing::NiceMock<FakeNameSpace>();
    calendarFolder = new ::testing::NiceMock<FakeFolder>();
    contactsFolder = new ::testing::NiceMock<FakeFolder>();
    currentUser = new ::testing::NiceMock<FakeSafeCurrentUser>();

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

    appFactory = new FakeClassFactory(app);
    userFactory = new FakeClassFactory(currentUser);
    CoRegisterClassObject(CLSID_OutlookApplication, appFactory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &m_appCookie);
    CoRegisterClassObject(CLSID_SafeCurrentUser, userFactory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &m_userCookie);
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
    if (m_appCookie) CoRevokeClassObject(m_appCookie);
    if (m_userCookie) CoRevokeClassObject(m_userCookie);
    m_appCookie = m_userCookie = 0;
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
  DWORD m_appCookie = 0;
  DWORD m_userCookie = 0;
};

}  // namespace pimtest
