#include <dlfcn.h>

#include <ComPtr.h>

#include "platform_test_util.h"

namespace {

const CLSID CLSID_TestServer = {0x8E0B6F4C, 0x1A2B, 0x4C3D, {0x9E, 0x8F, 0x70, 0x61, 0x52, 0x43, 0x34, 0x25}};
const char kServerKey[] = "CLSID\\{8E0B6F4C-1A2B-4C3D-9E8F-706152433425}";

void set_default(const std::string& path, const std::string& value, DWORD type = REG_SZ) {
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(k, nullptr, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1)),
            ERROR_SUCCESS);
  RegCloseKey(k);
}

// Activates the test server; a failure must leave the out parameter null.
HRESULT create(DWORD context) {
  void* p = reinterpret_cast<void*>(0xdeadbeef);
  HRESULT hr = CoCreateInstance(CLSID_TestServer, nullptr, context, IID_IUnknown, &p);
  if (FAILED(hr)) {
    EXPECT_EQ(p, nullptr);
  } else {
    static_cast<IUnknown*>(p)->Release();
  }
  return hr;
}

bool server_loaded() {
  void* h = dlopen(PIMTEST_SERVER_PATH, RTLD_LAZY | RTLD_NOLOAD);
  if (h) dlclose(h);
  return h != nullptr;
}

class Activation : public ComTest {
 protected:
  TempRegistry reg;
  void TearDown() override {
    CoFreeUnusedLibraries();
    ComTest::TearDown();
  }
};

TEST_F(Activation, InprocServerIsLoadedAndUnloadedOnlyWhenIdle) {
  set_default(std::string(kServerKey) + "\\InprocServer32", PIMTEST_SERVER_PATH);
  ComPtr<IUnknown> obj;
  ASSERT_EQ(CoCreateInstance(CLSID_TestServer, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, obj.put_void()), S_OK);
  EXPECT_TRUE(server_loaded());
  CoFreeUnusedLibraries();  // an object is alive: DllCanUnloadNow says S_FALSE
  EXPECT_TRUE(server_loaded());
  obj.reset();
  CoFreeUnusedLibraries();
  EXPECT_FALSE(server_loaded());
  EXPECT_EQ(create(CLSCTX_ALL), S_OK);  // and again after unloading
}

TEST_F(Activation, LocalServerIsActivatedInProcessForTheContextsThatAskForIt) {
  set_default(std::string(kServerKey) + "\\LocalServer32", std::string("\"") + PIMTEST_SERVER_PATH + "\" /automation");
  EXPECT_EQ(create(CLSCTX_INPROC_SERVER), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(create(CLSCTX_LOCAL_SERVER), S_OK);
  ComPtr<IClassFactory> cf;
  ASSERT_EQ(CoGetClassObject(CLSID_TestServer, CLSCTX_SERVER, nullptr, IID_IClassFactory, cf.put_void()), S_OK);
}

TEST_F(Activation, WindowsErrorsForMissingAndBrokenServers) {
  EXPECT_EQ(create(CLSCTX_ALL), REGDB_E_CLASSNOTREG);
  set_default(std::string(kServerKey) + "\\InprocServer32", reg.dir() + "/missing.so");
  EXPECT_EQ(create(CLSCTX_ALL), static_cast<HRESULT>(0x8007007E));
  set_default(std::string(kServerKey) + "\\InprocServer32", PIMTEST_NOEXPORT_PATH);
  EXPECT_EQ(create(CLSCTX_ALL), CO_E_ERRORINDLL);
  // REG_EXPAND_SZ paths are expanded.
  setenv("PIMTEST_SERVER", PIMTEST_SERVER_PATH, 1);
  set_default(std::string(kServerKey) + "\\InprocServer32", "%PIMTEST_SERVER%", REG_EXPAND_SZ);
  EXPECT_EQ(create(CLSCTX_ALL), S_OK);
  reg.write("garbage");
  EXPECT_EQ(create(CLSCTX_ALL), REGDB_E_READREGDB);
}

// The server found for a class is remembered while the registry is unchanged; a new path written
// by another process (a whole new file) must be the one loaded next.
TEST_F(Activation, ServerPathChangedByAnotherWriterIsSeen) {
  set_default(std::string(kServerKey) + "\\InprocServer32", PIMTEST_SERVER_PATH);
  EXPECT_EQ(create(CLSCTX_INPROC_SERVER), S_OK);
  auto file_naming = [&](const std::string& server) {
    return std::string("Windows Registry Editor Version 5.00\n\n[HKEY_CLASSES_ROOT\\") + kServerKey +
           "\\InprocServer32]\n@=\"" + server + "\"\n";
  };
  std::string moved = reg.file() + ".new";
  std::ofstream(moved) << file_naming(reg.dir() + "/missing.so");
  ASSERT_EQ(std::rename(moved.c_str(), reg.file().c_str()), 0);
  EXPECT_EQ(create(CLSCTX_INPROC_SERVER), static_cast<HRESULT>(0x8007007E));
  reg.write(file_naming(PIMTEST_SERVER_PATH));  // rewritten in place this time
  EXPECT_EQ(create(CLSCTX_INPROC_SERVER), S_OK);
}

TEST_F(Activation, ProgIdLooksUpItsClsid) {
  set_default("Test.Server.1\\CLSID", "{8E0B6F4C-1A2B-4C3D-9E8F-706152433425}");
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(u"test.server.1", &clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_TestServer);
  ASSERT_EQ(CLSIDFromString(u"Test.Server.1", &clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_TestServer);
  EXPECT_EQ(CLSIDFromProgID(u"No.Such.Thing", &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(clsid, IID_NULL);
}

TEST(Modules, LoadLibraryAgreesWithGetModuleHandleAndFileName) {
  HMODULE h = LoadLibraryA(PIMTEST_SERVER_PATH);
  ASSERT_NE(h, nullptr);
  FARPROC f = GetProcAddress(h, "DllCanUnloadNow");
  ASSERT_NE(f, nullptr);
  HMODULE fromAddr = nullptr;
  ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 reinterpret_cast<LPCSTR>(reinterpret_cast<void*>(f)), &fromAddr));
  EXPECT_EQ(fromAddr, h);
  char path[4096];
  DWORD n = GetModuleFileNameA(h, path, sizeof path);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(std::string(path, n), std::filesystem::canonical(PIMTEST_SERVER_PATH).string());
  char small[8];
  EXPECT_EQ(GetModuleFileNameA(h, small, sizeof small), sizeof small);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(small[7], 0);
  EXPECT_EQ(GetProcAddress(h, "NoSuchExport"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_EQ(GetProcAddress(h, "CoCreateInstance"), nullptr);  // a dependency's symbol is not the module's
  EXPECT_TRUE(FreeLibrary(h));
  EXPECT_FALSE(FreeLibrary(h));
  EXPECT_EQ(LoadLibraryA("/nonexistent/lib.so"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  // The main program.
  n = GetModuleFileNameA(nullptr, path, sizeof path);
  EXPECT_NE(std::string(path, n).find("test_platform"), std::string::npos);
  EXPECT_EQ(GetLongPathNameA(path, nullptr, 0), n + 1);
  EXPECT_EQ(GetLongPathNameA("/no/such/file", path, sizeof path), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
