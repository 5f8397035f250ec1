// The component's test environment: a temporary registry and store for the whole test program, the
// PIM server and the component library registered in it, and a fixture that creates the adapter
// through the class factory as a host does.
//
//     class MyTest : public pimtest::AdapterTest {};           // fixture: adapter_ ready
//     TEST_F(MyTest, X) { adapter_->Logon(...); }
//     if (!pimtest::Env().serverRegistered) GTEST_SKIP();     // test needs the PIM server
//
// The libraries' paths come from the build (PIM_COMPONENT_LIBRARY, PIM_SERVER_LIBRARY); with the
// store library linked (PIM_HAVE_STORE) an empty store is made first.
#pragma once
#include <VYN_PIM_OUTLOOK.h>
#include <gtest/gtest.h>
#include <objbase.h>
#include <stdlib.h>
#include <windows.h>

#include <filesystem>
#include <string>

#ifdef PIM_HAVE_STORE
#include <store.h>
#endif

#include "ComTestSupport.h"

namespace pimtest {

// An HRESULT (void) export of a loaded library, or null.
inline HRESULT (*ExportOf(HMODULE h, const char* name))() {
  return reinterpret_cast<HRESULT (*)()>(reinterpret_cast<void (*)()>(GetProcAddress(h, name)));
}

struct TestEnvironment {
  std::string dir;
  std::string registryFile;
  std::string storeFile;
  HMODULE component = nullptr;
  HMODULE server = nullptr;
  bool componentRegistered = false;
  bool serverRegistered = false;

  // True when no object of the component library is alive (its DllCanUnloadNow says S_OK).
  bool ComponentCanUnload() const {
    if (component == nullptr) return true;
    auto canUnload = ExportOf(component, "DllCanUnloadNow");
    return canUnload == nullptr || canUnload() == S_OK;
  }
};

inline TestEnvironment& Env() {
  static TestEnvironment env;
  return env;
}

// Registers a library's classes by its DllRegisterServer, as regsvr does.
inline bool RegisterLibrary(const char* path, HMODULE* out) {
  if (path == nullptr || *path == 0) return false;
  HMODULE h = LoadLibraryA(path);
  if (h == nullptr) return false;
  *out = h;
  auto reg = ExportOf(h, "DllRegisterServer");
  return reg != nullptr && SUCCEEDED(reg());
}

class GlobalEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    TestEnvironment& env = Env();
    std::string tmpl = (std::filesystem::temp_directory_path() / "pimtest-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) FAIL() << "no temporary folder";
    env.dir = tmpl;
    env.registryFile = env.dir + "/registry.reg";
    env.storeFile = env.dir + "/store.db";
    setenv("PIM_REGISTRY", env.registryFile.c_str(), 1);
    setenv("PIM_STORE", env.storeFile.c_str(), 1);

#ifdef PIM_HAVE_STORE
    // The server opens the store; it does not make one.
    try {
      pim::store::Store::open(env.storeFile, pim::store::Store::Options{true, 10000});
    } catch (const std::exception& e) {
      FAIL() << "cannot create the test store: " << e.what();
    }
#endif
    Apartment com;
#ifdef PIM_SERVER_LIBRARY
    env.serverRegistered = RegisterLibrary(PIM_SERVER_LIBRARY, &env.server);
#endif
#ifdef PIM_COMPONENT_LIBRARY
    env.componentRegistered = RegisterLibrary(PIM_COMPONENT_LIBRARY, &env.component);
#endif
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(Env().dir, ec);
  }
};

inline ::testing::Environment* const kGlobalEnvironment =
    ::testing::AddGlobalTestEnvironment(new GlobalEnvironment);

// The adapter's calls that answer a result: the HRESULT must be S_OK, the result is returned.
inline EPimAdapterResult Logon(IPimAdapter* a, BSTR* id = nullptr) {
  EPimAdapterResult r = (EPimAdapterResult)-1;
  EXPECT_EQ(a->Logon(id, &r), S_OK);
  return r;
}
inline EPimAdapterResult Logoff(IPimAdapter* a) {
  EPimAdapterResult r = (EPimAdapterResult)-1;
  EXPECT_EQ(a->Logoff(&r), S_OK);
  return r;
}
inline EPimAdapterResult GetCalendar(IPimAdapter* a, ICalendarDatabase** pp) {
  EPimAdapterResult r = (EPimAdapterResult)-1;
  EXPECT_EQ(a->GetCalendarDatabase(pp, &r), S_OK);
  return r;
}
inline EPimAdapterResult GetContacts(IPimAdapter* a, IContactsDatabase** pp) {
  EPimAdapterResult r = (EPimAdapterResult)-1;
  EXPECT_EQ(a->GetContactsDatabase(pp, &r), S_OK);
  return r;
}

// An adapter made through the registry and the class factory, with COM initialised on the test's
// thread. TearDown checks that no object of the component outlives the test.
class AdapterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(com_.hr()));
    ASSERT_TRUE(Env().componentRegistered) << "component library not registered";
    HRESULT hr = CoCreateInstance(CLSID_COutlookPimAdapter, nullptr, CLSCTX_INPROC_SERVER, IID_IPimAdapter,
                                  reinterpret_cast<void**>(&adapter_));
    ASSERT_EQ(hr, S_OK);
    ASSERT_NE(adapter_, nullptr);
  }
  void TearDown() override {
    ReleaseAdapter();
    EXPECT_TRUE(Env().ComponentCanUnload()) << "an object of the component is still alive";
  }
  // The host's last reference; the adapter's destructor runs here.
  void ReleaseAdapter() {
    if (adapter_) {
      adapter_->Release();
      adapter_ = nullptr;
    }
  }

  Apartment com_;
  IPimAdapter* adapter_ = nullptr;
};

}  // namespace pimtest
