// The library as a host sees it: loaded with LoadLibraryA, reached through its exports.
#include <ComPtr.h>
#include <ComTest.h>
#include <VYN_PIM_OUTLOOK.h>
#include <gtest/gtest.h>
#include <pim/fault.h>

#include <dlfcn.h>

#include <atomic>
#include <memory>

namespace {

using pimtest::Poison;

const IID kUnknownIid = {0x12345678, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};

class Component : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    m_lib = std::make_unique<pimtest::ComponentLibrary>(PIM_COMPONENT_PATH);
    ASSERT_TRUE(m_lib->Loaded()) << PIM_COMPONENT_PATH;
  }
  void TearDown() override {
    if (m_lib && m_lib->Loaded()) {
      EXPECT_EQ(m_lib->CanUnloadNow(), S_OK) << "module lock count not back to zero";
    }
    m_lib.reset();
    CoUninitialize();
  }

  ComPtr<IClassFactory> Factory() {
    ComPtr<IClassFactory> cf;
    EXPECT_EQ(m_lib->GetClassObject(CLSID_COutlookPimAdapter, IID_IClassFactory, cf.put_void()), S_OK);
    return cf;
  }
  ComPtr<IPimAdapter> NewAdapter() {
    ComPtr<IPimAdapter> a;
    EXPECT_EQ(Factory()->CreateInstance(nullptr, IID_IPimAdapter, a.put_void()), S_OK);
    return a;
  }

  std::unique_ptr<pimtest::ComponentLibrary> m_lib;
};

using pimtest::FakeOuter;

TEST_F(Component, ClassObjectOnlyForTheAdapterClass) {
  EXPECT_EQ(m_lib->GetClassObject(CLSID_COutlookPimAdapter, IID_IClassFactory, nullptr), E_POINTER);

  EXPECT_REFUSED(m_lib->GetClassObject(IID_IPimAdapter, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_REFUSED(m_lib->GetClassObject(CLSID_InProcFreeMarshaler, IID_IUnknown, &out), CLASS_E_CLASSNOTAVAILABLE);

  // The factory answers IUnknown and IClassFactory with one pointer, nothing else.
  EXPECT_REFUSED(m_lib->GetClassObject(CLSID_COutlookPimAdapter, IID_IDispatch, &out), E_NOINTERFACE);
  ComPtr<IUnknown> unk;
  ASSERT_EQ(m_lib->GetClassObject(CLSID_COutlookPimAdapter, IID_IUnknown, unk.put_void()), S_OK);
  ComPtr<IClassFactory> cf = Factory();
  EXPECT_EQ(static_cast<IUnknown*>(cf.get()), unk.get());
  EXPECT_REF(cf.get(), 3);  // the cache's, and ours two
  EXPECT_REFUSED(cf->QueryInterface(IID_IMarshal, &out), E_NOINTERFACE);
}

TEST_F(Component, FactoryCreateInstanceArguments) {
  ComPtr<IClassFactory> cf = Factory();
  ASSERT_TRUE(cf);
  EXPECT_EQ(cf->CreateInstance(nullptr, IID_IPimAdapter, nullptr), E_POINTER);

  FakeOuter outer;
  EXPECT_REFUSED(cf->CreateInstance(&outer, IID_IPimAdapter, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(outer.refs, 1u);

  // A creation whose QueryInterface fails leaves no object behind (TearDown checks the lock).
  EXPECT_REFUSED(cf->CreateInstance(nullptr, IID_IDispatch, &out), E_NOINTERFACE);
}

// Interfaces every object of the component answers, and some it must not.
TEST_F(Component, AdapterInterfaceTable) {
  ComPtr<IPimAdapter> adapter = NewAdapter();
  ASSERT_TRUE(adapter);
  EXPECT_REF(adapter.get(), 1);

  ComPtr<IUnknown> unk;
  ASSERT_EQ(adapter->QueryInterface(IID_IUnknown, unk.put_void()), S_OK);
  EXPECT_EQ(unk.get(), static_cast<IUnknown*>(adapter.get()));
  EXPECT_REF(adapter.get(), 2);

  ComPtr<IPimAdapter> again;
  ASSERT_EQ(unk->QueryInterface(IID_IPimAdapter, again.put_void()), S_OK);
  EXPECT_EQ(again.get(), adapter.get());
  EXPECT_REF(adapter.get(), 3);

  // IMarshal comes from the aggregated free-threaded marshaler, which leads back to the adapter.
  ComPtr<IMarshal> marshal;
  ASSERT_EQ(adapter->QueryInterface(IID_IMarshal, marshal.put_void()), S_OK);
  EXPECT_NE(static_cast<void*>(marshal.get()), static_cast<void*>(adapter.get()));
  EXPECT_REF(adapter.get(), 4);
  CLSID cls = {};
  EXPECT_EQ(marshal->GetUnmarshalClass(IID_IPimAdapter, adapter.get(), MSHCTX_INPROC, nullptr, MSHLFLAGS_NORMAL, &cls), S_OK);
  EXPECT_TRUE(IsEqualCLSID(cls, CLSID_InProcFreeMarshaler));
  ComPtr<IUnknown> back;
  ASSERT_EQ(marshal->QueryInterface(IID_IUnknown, back.put_void()), S_OK);
  EXPECT_EQ(back.get(), unk.get());

  for (const IID* iid : {&IID_IDispatch, &IID_IClassFactory, &IID_IStream, &IID_ICalendarDatabase,
                         &IID_IContactsDatabase, &kUnknownIid}) {
    EXPECT_REFUSED(adapter->QueryInterface(*iid, &out), E_NOINTERFACE);
  }
  EXPECT_EQ(adapter->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  back.reset();
  marshal.reset();
  again.reset();
  unk.reset();
  EXPECT_REF(adapter.get(), 1);
}

TEST_F(Component, AggregatedAdapter) {
  FakeOuter outer;
  ComPtr<IClassFactory> cf = Factory();
  IUnknown* inner = nullptr;
  ASSERT_EQ(cf->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
  ASSERT_NE(inner, nullptr);
  outer.inner = inner;
  EXPECT_EQ(outer.refs, 1u) << "the inner object must not hold its outer";
  EXPECT_REF(inner, 1);

  // The inner IUnknown is itself and counts on its own.
  IUnknown* self = nullptr;
  ASSERT_EQ(inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&self)), S_OK);
  EXPECT_EQ(self, inner);
  EXPECT_REF(inner, 2);
  EXPECT_EQ(outer.refs, 1u);
  self->Release();

  // Its other interfaces belong to the outer object: counts and queries go there.
  IPimAdapter* adapter = nullptr;
  ASSERT_EQ(inner->QueryInterface(IID_IPimAdapter, reinterpret_cast<void**>(&adapter)), S_OK);
  EXPECT_NE(static_cast<void*>(adapter), static_cast<void*>(inner));
  EXPECT_EQ(outer.refs, 2u);
  EXPECT_REF(inner, 1);
  adapter->AddRef();
  EXPECT_EQ(outer.refs, 3u);
  adapter->Release();

  int before = outer.queries;
  EXPECT_REFUSED(adapter->QueryInterface(IID_IDispatch, &out), E_NOINTERFACE);
  EXPECT_EQ(outer.queries, before + 1);
  EXPECT_TRUE(IsEqualIID(outer.lastQuery, IID_IDispatch));
  IUnknown* controlling = nullptr;
  ASSERT_EQ(adapter->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&controlling)), S_OK);
  EXPECT_EQ(controlling, static_cast<IUnknown*>(&outer));
  controlling->Release();

  // The marshaler was aggregated with the outer object as its controlling IUnknown.
  IMarshal* marshal = nullptr;
  ASSERT_EQ(inner->QueryInterface(IID_IMarshal, reinterpret_cast<void**>(&marshal)), S_OK);
  EXPECT_EQ(outer.refs, 3u);
  EXPECT_REF(inner, 1);
  before = outer.queries;
  IUnknown* viaMarshal = nullptr;
  ASSERT_EQ(marshal->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaMarshal)), S_OK);
  EXPECT_EQ(viaMarshal, static_cast<IUnknown*>(&outer));
  EXPECT_EQ(outer.queries, before + 1);
  viaMarshal->Release();
  marshal->Release();
  adapter->Release();
  EXPECT_EQ(outer.refs, 1u);

  EXPECT_EQ(m_lib->CanUnloadNow(), S_FALSE);
  cf.reset();
  EXPECT_EQ(m_lib->CanUnloadNow(), S_FALSE) << "the wrapper keeps the library";
  EXPECT_EQ(inner->Release(), 0u);
  EXPECT_EQ(outer.refs, 1u);
}

TEST_F(Component, CanUnloadNowFollowsObjectsLocksAndFactories) {
  EXPECT_EQ(m_lib->CanUnloadNow(), S_OK);
  ComPtr<IClassFactory> cf = Factory();
  EXPECT_EQ(m_lib->CanUnloadNow(), S_FALSE) << "a held factory";

  ComPtr<IPimAdapter> adapter;
  ASSERT_EQ(cf->CreateInstance(nullptr, IID_IPimAdapter, adapter.put_void()), S_OK);
  EXPECT_EQ(cf->LockServer(TRUE), S_OK);
  EXPECT_EQ(cf->LockServer(TRUE), S_OK);
  cf.reset();
  EXPECT_EQ(m_lib->CanUnloadNow(), S_FALSE) << "an adapter and two locks";
  adapter.reset();
  EXPECT_EQ(m_lib->CanUnloadNow(), S_FALSE) << "two server locks";

  cf = Factory();
  EXPECT_EQ(cf->LockServer(FALSE), S_OK);
  EXPECT_EQ(cf->LockServer(FALSE), S_OK);
  EXPECT_EQ(m_lib->CanUnloadNow(), S_FALSE) << "the factory still held";
  cf.reset();
  EXPECT_EQ(m_lib->CanUnloadNow(), S_OK);

  adapter = NewAdapter();
  EXPECT_EQ(m_lib->CanUnloadNow(), S_FALSE) << "one adapter alive";
  adapter.reset();
  EXPECT_EQ(m_lib->CanUnloadNow(), S_OK);
}

// A failing creation gives its HRESULT, no object, and the lock count as it was.
TEST_F(Component, CreationFailuresLeaveNothing) {
  pim::fault::Scope faults;
  FakeOuter outer;
  struct Case {
    const char* point;
    HRESULT armed;
    HRESULT expected;
  } cases[] = {
      {"allocation", E_OUTOFMEMORY, E_OUTOFMEMORY},
      {"CoCreateFreeThreadedMarshaler", E_OUTOFMEMORY, E_OUTOFMEMORY},
      {"CoCreateFreeThreadedMarshaler", E_ACCESSDENIED, E_ACCESSDENIED},
  };
  for (const Case& c : cases) {
    for (bool aggregated : {false, true}) {
      SCOPED_TRACE(::testing::Message() << c.point << (aggregated ? " aggregated" : " plain"));
      ComPtr<IClassFactory> cf = Factory();
      ASSERT_TRUE(cf);
      pim::fault::arm(c.point, c.armed);
      EXPECT_REFUSED(cf->CreateInstance(aggregated ? &outer : nullptr, aggregated ? IID_IUnknown : IID_IPimAdapter, &out),
                     c.expected);
      EXPECT_GE(pim::fault::count(c.point), 1u);
      pim::fault::disarm(c.point);
      cf.reset();
      EXPECT_EQ(m_lib->CanUnloadNow(), S_OK);
      EXPECT_EQ(outer.refs, 1u);
    }
  }
  // And the next creation works.
  ComPtr<IPimAdapter> adapter = NewAdapter();
  EXPECT_TRUE(adapter);
}

TEST_F(Component, ReloadAfterUnloadStartsAfresh) {
  ComPtr<IPimAdapter> adapter = NewAdapter();
  adapter.reset();
  ASSERT_EQ(m_lib->CanUnloadNow(), S_OK);
  m_lib.reset();
  // Gone from the process: its detach has run.
  void* still = dlopen(PIM_COMPONENT_PATH, RTLD_LAZY | RTLD_NOLOAD);
  EXPECT_EQ(still, nullptr);
  if (still) dlclose(still);
  m_lib = std::make_unique<pimtest::ComponentLibrary>(PIM_COMPONENT_PATH);
  ASSERT_TRUE(m_lib->Loaded());
  EXPECT_EQ(m_lib->CanUnloadNow(), S_OK);
  adapter = NewAdapter();
  EXPECT_TRUE(adapter);
}

}  // namespace
