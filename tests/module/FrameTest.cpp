// The object frame, module object and class factory on a test class of their own, with the
// module's lock count read directly.
#include <ClassFactory.h>
#include <ComPtr.h>
#include <ComTest.h>
#include <ObjectFrame.h>
#include <gtest/gtest.h>
#include <pim/fault.h>

#include <atomic>
#include <thread>
#include <vector>

CComponentModule _Module;

namespace {

using pimtest::Poison;

const IID IID_ITestThing = {0x0C0FFEE0, 0x1234, 0x4321, {0x80, 1, 2, 3, 4, 5, 6, 7}};
const CLSID CLSID_TestThing = {0x0C0FFEE1, 0x1234, 0x4321, {0x80, 1, 2, 3, 4, 5, 6, 7}};
const CLSID CLSID_NoFactory = {0x0C0FFEE2, 0x1234, 0x4321, {0x80, 1, 2, 3, 4, 5, 6, 7}};

struct ITestThing : public IUnknown {
  STDMETHOD(Ping)(LONG* pValue) PURE;
};

std::atomic<int> g_live{0};

class CTestThing : public CObjectRoot, public ITestThing {
 public:
  typedef ITestThing InterfaceType;
  static const IID& InterfaceId() { return IID_ITestThing; }
  CTestThing() : m_pUnkMarshaler(nullptr) { ++g_live; }
  STDMETHOD(Ping)(LONG* pValue) override {
    *pValue = 42;
    return S_OK;
  }
  virtual IUnknown* GetControllingUnknown() = 0;
  virtual ~CTestThing() { --g_live; }
  IUnknown* m_pUnkMarshaler;
};

std::atomic<int> g_factoriesMade{0};
HRESULT CountingFactoryCreator(void* pfn, REFIID riid, void** ppv) {
  ++g_factoriesMade;
  return CClassFactory::CreateFactory(pfn, riid, ppv);
}
HRESULT CreateThing(void* pOuter, REFIID riid, void** ppv) {
  if (pOuter) return CComAggObject<CTestThing>::CreateInstance(static_cast<IUnknown*>(pOuter), riid, ppv);
  CComObject<CTestThing>* p = nullptr;
  HRESULT hr = CComObject<CTestThing>::CreateInstance(&p);
  if (FAILED(hr)) return hr;
  p->AddRef();
  hr = p->QueryInterface(riid, ppv);
  p->Release();
  return hr;
}
// A row whose factory creator succeeds without producing anything.
HRESULT NothingCreator(void*, REFIID, void** ppv) {
  *ppv = nullptr;
  return S_OK;
}

std::vector<int> g_events;
void ObjectMain(bool starting) { g_events.push_back(starting ? 1 : -1); }
void TermFunc(DWORD_PTR n) { g_events.push_back(static_cast<int>(n)); }

_ObjectMapEntry g_map[] = {
    {&CLSID_TestThing, nullptr, &CountingFactoryCreator, &CreateThing, nullptr, nullptr, nullptr, &ObjectMain},
    {&CLSID_NoFactory, nullptr, &NothingCreator, &CreateThing, nullptr, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
};

class Frame : public ::testing::Test {
 protected:
  void SetUp() override {
    g_factoriesMade = 0;
    g_events.clear();
    _Module.Init(g_map, nullptr, &IID_ITestThing);
  }
  void TearDown() override {
    _Module.Term();
    EXPECT_EQ(_Module.GetLockCount(), 0);
    EXPECT_EQ(g_live.load(), 0);
  }
};

TEST_F(Frame, CreateInstanceGivesCountZeroAndLocksTheModule) {
  CComObject<CTestThing>* p = reinterpret_cast<CComObject<CTestThing>*>(Poison());
  ASSERT_EQ(CComObject<CTestThing>::CreateInstance(&p), S_OK);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(_Module.GetLockCount(), 1);
  EXPECT_EQ(p->AddRef(), 1u);
  EXPECT_NE(p->m_pUnkMarshaler, nullptr);
  EXPECT_EQ(p->GetControllingUnknown(), static_cast<IUnknown*>(static_cast<ITestThing*>(p)));
  EXPECT_EQ(p->Release(), 0u);
  EXPECT_EQ(_Module.GetLockCount(), 0);
  EXPECT_EQ(CComObject<CTestThing>::CreateInstance(nullptr), E_POINTER);
}

TEST_F(Frame, FailedCreationDestroysTheObject) {
  pim::fault::Scope faults;
  CComObject<CTestThing>* p = reinterpret_cast<CComObject<CTestThing>*>(Poison());
  pim::fault::arm("allocation", E_OUTOFMEMORY);
  EXPECT_EQ(CComObject<CTestThing>::CreateInstance(&p), E_OUTOFMEMORY);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(_Module.GetLockCount(), 0);

  p = reinterpret_cast<CComObject<CTestThing>*>(Poison());
  pim::fault::arm("CoCreateFreeThreadedMarshaler", E_UNEXPECTED);
  EXPECT_EQ(CComObject<CTestThing>::CreateInstance(&p), E_UNEXPECTED);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(_Module.GetLockCount(), 0);
  EXPECT_EQ(g_live.load(), 0);

  // An aggregated object is only ever asked for its own IUnknown.
  struct Outer : IUnknown {
    STDMETHOD(QueryInterface)(REFIID, void** ppv) override { return *ppv = nullptr, E_NOINTERFACE; }
    STDMETHOD_(ULONG, AddRef)() override { return 2; }
    STDMETHOD_(ULONG, Release)() override { return 1; }
  } outer;
  EXPECT_REFUSED(CComAggObject<CTestThing>::CreateInstance(&outer, IID_ITestThing, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(_Module.GetLockCount(), 0);
}

TEST_F(Frame, ClassObjectLookupAndErrors) {
  EXPECT_EQ(_Module.GetClassObject(CLSID_TestThing, IID_IClassFactory, nullptr), E_POINTER);
  EXPECT_REFUSED(_Module.GetClassObject(IID_ITestThing, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_REFUSED(_Module.GetClassObject(CLSID_NoFactory, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);

  // A factory that cannot be made is not cached: the next request makes it.
  {
    pim::fault::Scope faults;
    pim::fault::arm("allocation", E_OUTOFMEMORY);
    EXPECT_REFUSED(_Module.GetClassObject(CLSID_TestThing, IID_IClassFactory, &out), E_OUTOFMEMORY);
  }
  EXPECT_EQ(g_map[0].pCF, nullptr);
  ComPtr<IClassFactory> cf;
  EXPECT_EQ(_Module.GetClassObject(CLSID_TestThing, IID_IClassFactory, cf.put_void()), S_OK);
  EXPECT_EQ(g_factoriesMade.load(), 2);
  EXPECT_EQ(static_cast<IUnknown*>(cf.get()), g_map[0].pCF);
}

// The cache's reference does not lock the module; every further one does, once.
TEST_F(Frame, FactoryReferencesBeyondTheCacheLockTheModule) {
  ComPtr<IClassFactory> cf;
  ASSERT_EQ(_Module.GetClassObject(CLSID_TestThing, IID_IClassFactory, cf.put_void()), S_OK);
  EXPECT_EQ(_Module.GetLockCount(), 1);
  EXPECT_EQ(cf->AddRef(), 3u);
  EXPECT_EQ(_Module.GetLockCount(), 1);
  EXPECT_EQ(cf->Release(), 2u);
  EXPECT_EQ(cf->Release(), 1u);
  EXPECT_EQ(_Module.GetLockCount(), 0);
  EXPECT_EQ(cf->AddRef(), 2u);
  EXPECT_EQ(_Module.GetLockCount(), 1);

  // Many threads taking and dropping references around the cache's leave it balanced.
  std::vector<std::thread> threads;
  IClassFactory* raw = cf.get();
  cf.reset();
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([raw] {
      for (int i = 0; i < 20000; ++i) {
        raw->AddRef();
        raw->Release();
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(_Module.GetLockCount(), 0);
  EXPECT_REF(raw, 1);
}

TEST_F(Frame, EightThreadsMakeOneFactory) {
  const int kThreads = 8;
  std::vector<IClassFactory*> got(kThreads, nullptr);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) {
      }
      EXPECT_EQ(_Module.GetClassObject(CLSID_TestThing, IID_IClassFactory, reinterpret_cast<void**>(&got[i])), S_OK);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(g_factoriesMade.load(), 1);
  for (IClassFactory* cf : got) EXPECT_EQ(cf, got[0]);
  EXPECT_REF(got[0], kThreads + 1);
  EXPECT_EQ(_Module.GetLockCount(), 1);
  for (IClassFactory* cf : got) cf->Release();
  EXPECT_EQ(_Module.GetLockCount(), 0);
}

TEST_F(Frame, TermReleasesFactoriesAndRunsNotifications) {
  _Module.AddTermFunc(&TermFunc, 7);
  _Module.AddTermFunc(&TermFunc, 8);
  ComPtr<IUnknown> unk;
  ASSERT_EQ(_Module.GetClassObject(CLSID_TestThing, IID_IUnknown, unk.put_void()), S_OK);
  unk.reset();
  ASSERT_NE(g_map[0].pCF, nullptr);
  _Module.Term();
  EXPECT_EQ(g_map[0].pCF, nullptr);
  EXPECT_EQ(g_events, (std::vector<int>{1, -1, 8, 7}));
  _Module.Init(g_map, nullptr, &IID_ITestThing);  // for TearDown
}

}  // namespace
