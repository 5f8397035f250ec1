// The COM runtime: apartments, the class table and activation through it, task memory, GUID texts.
#include <pim/fault.h>

#include <thread>

#include "platform_test_util.h"

namespace {

const CLSID CLSID_Test = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

// A class factory making TestObjects; it lives on the stack.
struct TestFactory : pimtest::FakeClassFactory {
  TestFactory() : FakeClassFactory(&pimtest::MakeFake<TestObject>) {}
};

TEST(Apartments, CountedPerThreadWithModeChecks) {
  std::thread([] {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    CoUninitialize();
    CoUninitialize();
    // Fully uninitialised: another model is accepted now.
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    CoUninitialize();
    EXPECT_EQ(CoInitializeEx(reinterpret_cast<void*>(1), 0), E_INVALIDARG);
  }).join();
}

TEST(Apartments, ActivationWithoutInitialisationFails) {
  std::thread([] {
    void* p = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(CoCreateInstance(CLSID_Test, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p), CO_E_NOTINITIALIZED);
    EXPECT_EQ(p, nullptr);
    p = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(CoGetClassObject(CLSID_Test, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, &p),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(p, nullptr);
  }).join();
}

class ClassTable : public ComTest {};

TEST_F(ClassTable, RegisteredObjectServesActivationUntilRevoked) {
  TestFactory factory;
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(CLSID_Test, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
  EXPECT_NE(cookie, 0u);
  EXPECT_EQ(factory.Refs(), 2u);
  IDispatch* disp = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_Test, nullptr, CLSCTX_ALL, IID_IDispatch, reinterpret_cast<void**>(&disp)), S_OK);
  ASSERT_NE(disp, nullptr);
  EXPECT_REF(disp, 1);
  disp->Release();
  EXPECT_EQ(factory.activations, 1);
  EXPECT_EQ(factory.Refs(), 2u);  // the activation's own reference is gone again
  void* p = reinterpret_cast<void*>(0xdeadbeef);
  EXPECT_EQ(CoCreateInstance(CLSID_Test, nullptr, CLSCTX_INPROC_SERVER, IID_IStream, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  // Registered for in-process only: a local-server request does not see it.
  EXPECT_EQ(CoCreateInstance(CLSID_Test, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, &p), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(factory.Refs(), 1u);
  EXPECT_EQ(CoRevokeClassObject(cookie), E_INVALIDARG);
  EXPECT_EQ(CoCreateInstance(CLSID_Test, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p), REGDB_E_CLASSNOTREG);
}

TEST_F(ClassTable, FaultPointFailsCreation) {
  TestFactory factory;
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(CLSID_Test, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
  pim::fault::Scope faults;
  pim::fault::arm("CoCreateInstance", E_OUTOFMEMORY);
  void* p = reinterpret_cast<void*>(0xdeadbeef);
  EXPECT_EQ(CoCreateInstance(CLSID_Test, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p), E_OUTOFMEMORY);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(factory.activations, 0);
  ASSERT_EQ(CoCreateInstance(CLSID_Test, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p), S_OK);
  static_cast<IUnknown*>(p)->Release();
  EXPECT_EQ(pim::fault::count("CoCreateInstance"), 2u);
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
}

TEST_F(ClassTable, TaskMemory) {
  void* p = CoTaskMemAlloc(0);
  EXPECT_NE(p, nullptr);
  p = CoTaskMemRealloc(p, 100);
  ASSERT_NE(p, nullptr);
  CoTaskMemFree(p);
  CoTaskMemFree(nullptr);
}

TEST(Guids, StringRoundTripAndErrors) {
  OLECHAR buf[39];
  EXPECT_EQ(StringFromGUID2(IID_IDispatch, buf, 39), 39);
  EXPECT_EQ(std::u16string(buf), u"{00020400-0000-0000-C000-000000000046}");
  EXPECT_EQ(StringFromGUID2(IID_IDispatch, buf, 38), 0);
  // Every digit in every field, upper case, as the registry's CLSID keys are written.
  const GUID all = {0xFEDCBA98, 0x7654, 0x3210, {0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67, 0x89}};
  EXPECT_EQ(StringFromGUID2(all, buf, 39), 39);
  EXPECT_EQ(std::u16string(buf), u"{FEDCBA98-7654-3210-ABCD-EF0123456789}");
  IID iid{};
  EXPECT_EQ(IIDFromString(u"{00020400-0000-0000-c000-000000000046}", &iid), S_OK);
  EXPECT_EQ(iid, IID_IDispatch);
  EXPECT_EQ(IIDFromString(u"{00020400-0000-0000-C000-00000000004}", &iid), E_INVALIDARG);
  EXPECT_EQ(IIDFromString(u"{00020400x0000-0000-C000-000000000046}", &iid), E_INVALIDARG);
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromString(u"{11111111-2222-3333-4444-555555555555}", &clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_Test);
  EXPECT_EQ(CLSIDFromString(u"{1111111-2222-3333-4444-5555555555555}", &clsid), CO_E_CLASSSTRING);
}

}  // namespace
