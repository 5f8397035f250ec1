// The component's DllRegisterServer and DllUnregisterServer, activation through what they write,
// and the regsvr program.
#include <sys/wait.h>

#include <VYN_PIM_OUTLOOK.h>

#include <array>
#include <cstdio>
#include <memory>

#include "RegistryTest.h"

namespace {

namespace fs = std::filesystem;
using regtest::KeyExists;
using regtest::ReadString;
using regtest::SubKeys;
using regtest::ValueNames;

const std::string kClsid = "{9D9625A6-B9D2-418A-A628-F0D137E8B60D}";
const std::string kLibid = "{4B628249-5DC2-473F-AEBF-CC494413275E}";
const std::string kProgId = "VYN_PIM_OUTLOOK.OutlookPimAdapter.1";
const std::string kIndependentProgId = "VYN_PIM_OUTLOOK.OutlookPimAdapter";
const std::string kClassKey = "CLSID\\" + kClsid;
const std::string kTypeLibKey = "TypeLib\\" + kLibid;

typedef HRESULT(STDAPICALLTYPE* RegisterFn)();

// A component library loaded as a host loads it, reached through its two registration exports.
class Library {
 public:
  explicit Library(const fs::path& path) : m_h(LoadLibraryA(path.c_str())) {
    if (!m_h) return;
    m_register = reinterpret_cast<RegisterFn>(reinterpret_cast<void (*)()>(GetProcAddress(m_h, "DllRegisterServer")));
    m_unregister =
        reinterpret_cast<RegisterFn>(reinterpret_cast<void (*)()>(GetProcAddress(m_h, "DllUnregisterServer")));
  }
  ~Library() {
    if (m_h) FreeLibrary(m_h);
  }
  bool Loaded() const { return m_register && m_unregister; }
  HRESULT Register() const { return m_register(); }
  HRESULT Unregister() const { return m_unregister(); }

 private:
  HMODULE m_h;
  RegisterFn m_register = nullptr;
  RegisterFn m_unregister = nullptr;
};

class SelfRegistration : public regtest::ScratchRegistry {
 protected:
  void SetUp() override {
    regtest::ScratchRegistry::SetUp();
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  }
  void TearDown() override {
    CoFreeUnusedLibraries();
    CoUninitialize();
    regtest::ScratchRegistry::TearDown();
  }

  // A copy of the component in a directory of the test's own; `section` replaces its resources.
  fs::path CopyComponent(const std::string& dirName, const char* section = nullptr, bool strip = false) {
    fs::path dir = Dir() / dirName;
    fs::create_directories(dir);
    fs::path copy = dir / "libVYN_PIM_OUTLOOK.so";
    // Double quotes: the test's paths hold single quotes but no double quotes, '$' or '`'.
    std::string cmd = std::string("\"") + PIM_OBJCOPY + "\" ";
    if (section) cmd += std::string("--update-section \".pimrsrc=") + section + "\" ";
    if (strip) cmd += "--remove-section .pimrsrc ";
    cmd += "\"" + std::string(PIM_COMPONENT_LIBRARY) + "\" \"" + copy.string() + "\"";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return copy;
  }

  // What a registration must have written for the library at `path`, and nothing else.
  void ExpectRegistered(const std::string& path, const std::string& typeLibPath) {
    EXPECT_EQ(SubKeys(HKEY_CLASSES_ROOT, ""),
              (std::set<std::string>{"CLSID", "TypeLib", kProgId, kIndependentProgId}));
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kProgId), "OutlookPimAdapter Class");
    EXPECT_EQ(SubKeys(HKEY_CLASSES_ROOT, kProgId), std::set<std::string>{"CLSID"});
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kProgId + "\\CLSID"), kClsid);
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kIndependentProgId), "OutlookPimAdapter Class");
    EXPECT_EQ(SubKeys(HKEY_CLASSES_ROOT, kIndependentProgId), (std::set<std::string>{"CLSID", "CurVer"}));
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kIndependentProgId + "\\CLSID"), kClsid);
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kIndependentProgId + "\\CurVer"), kProgId);

    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kClassKey), "OutlookPimAdapter Class");
    EXPECT_EQ(SubKeys(HKEY_CLASSES_ROOT, kClassKey),
              (std::set<std::string>{"InprocServer32", "ProgID", "TypeLib", "VersionIndependentProgID"}));
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kClassKey + "\\ProgID"), kProgId);
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kClassKey + "\\VersionIndependentProgID"), kIndependentProgId);
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kClassKey + "\\InprocServer32"), path);
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kClassKey + "\\InprocServer32", "ThreadingModel"), "Free");
    EXPECT_EQ(ValueNames(HKEY_CLASSES_ROOT, kClassKey + "\\InprocServer32"),
              (std::set<std::string>{"", "ThreadingModel"}));
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kClassKey + "\\TypeLib"), kLibid);

    // The type library, as oleaut32 registers one of locale 1033 (hexadecimal 409). Its seven
    // interfaces are neither [oleautomation] nor [dual]: no Interface keys.
    EXPECT_EQ(SubKeys(HKEY_CLASSES_ROOT, "TypeLib"), std::set<std::string>{kLibid});
    EXPECT_EQ(SubKeys(HKEY_CLASSES_ROOT, kTypeLibKey), std::set<std::string>{"1.0"});
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kTypeLibKey + "\\1.0"), "VYN_PIM_OUTLOOK 1.0 Type Library");
    EXPECT_EQ(SubKeys(HKEY_CLASSES_ROOT, kTypeLibKey + "\\1.0"), (std::set<std::string>{"409", "FLAGS", "HELPDIR"}));
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kTypeLibKey + "\\1.0\\409\\win32"), typeLibPath);
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kTypeLibKey + "\\1.0\\FLAGS"), "0");
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kTypeLibKey + "\\1.0\\HELPDIR"),
              fs::path(typeLibPath).parent_path().string() + "/");
  }
};

TEST_F(SelfRegistration, WritesTheTableTwiceAsOnceAndTakesItBack) {
  const std::string path = fs::canonical(PIM_COMPONENT_LIBRARY).string();
  regtest::WriteString(HKEY_CLASSES_ROOT, "CLSID\\{Other-Class}\\InprocServer32", nullptr, "/other.so");
  Library lib(path);
  ASSERT_TRUE(lib.Loaded());

  ASSERT_EQ(lib.Register(), S_OK);
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "CLSID\\{Other-Class}"));
  ASSERT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, "CLSID\\{Other-Class}"), ERROR_SUCCESS);
  ExpectRegistered(path, path);

  // The class key is ForceRemove: a stale subkey goes on the next registration.
  regtest::WriteString(HKEY_CLASSES_ROOT, kClassKey + "\\Stale", nullptr, "old");
  regtest::WriteString(HKEY_CLASSES_ROOT, "CLSID\\{Other-Class}\\InprocServer32", nullptr, "/other.so");
  ASSERT_EQ(lib.Register(), S_OK);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey + "\\Stale"));
  ASSERT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, "CLSID\\{Other-Class}"), ERROR_SUCCESS);
  ExpectRegistered(path, path);

  regtest::WriteString(HKEY_CLASSES_ROOT, "CLSID\\{Other-Class}\\InprocServer32", nullptr, "/other.so");
  EXPECT_EQ(lib.Unregister(), S_OK);
  EXPECT_EQ(SubKeys(HKEY_CLASSES_ROOT, ""), (std::set<std::string>{"CLSID", "TypeLib"}));
  EXPECT_EQ(SubKeys(HKEY_CLASSES_ROOT, "CLSID"), std::set<std::string>{"{Other-Class}"});
  EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, "CLSID\\{Other-Class}\\InprocServer32"), "/other.so");
  EXPECT_TRUE(SubKeys(HKEY_CLASSES_ROOT, "TypeLib").empty());
  // Unregistering what is not there succeeds too.
  EXPECT_EQ(lib.Unregister(), S_OK);
}

TEST_F(SelfRegistration, ActivationThroughTheRegistry) {
  Library lib(PIM_COMPONENT_LIBRARY);
  ASSERT_TRUE(lib.Loaded());
  ASSERT_EQ(lib.Register(), S_OK);

  for (const char16_t* progId : {u"VYN_PIM_OUTLOOK.OutlookPimAdapter", u"VYN_PIM_OUTLOOK.OutlookPimAdapter.1"}) {
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(progId, &clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_COutlookPimAdapter));
  }
  IPimAdapter* adapter = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_COutlookPimAdapter, nullptr, CLSCTX_INPROC_SERVER, IID_IPimAdapter,
                             reinterpret_cast<void**>(&adapter)),
            S_OK);
  ASSERT_NE(adapter, nullptr);
  EXPECT_EQ(adapter->Release(), 0u);

  ASSERT_EQ(lib.Unregister(), S_OK);
  adapter = reinterpret_cast<IPimAdapter*>(0x1);
  EXPECT_EQ(CoCreateInstance(CLSID_COutlookPimAdapter, nullptr, CLSCTX_INPROC_SERVER, IID_IPimAdapter,
                             reinterpret_cast<void**>(&adapter)),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(adapter, nullptr);
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID(u"VYN_PIM_OUTLOOK.OutlookPimAdapter", &clsid), CO_E_CLASSSTRING);
}

TEST_F(SelfRegistration, PathWithSingleQuoteIsWrittenUnchanged) {
  fs::path copy = CopyComponent("it's 'quoted'");
  Library lib(copy);
  ASSERT_TRUE(lib.Loaded());
  ASSERT_EQ(lib.Register(), S_OK);
  ExpectRegistered(copy.string(), copy.string());
  EXPECT_EQ(lib.Unregister(), S_OK);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
}

TEST_F(SelfRegistration, MissingTypeLibResourceFallsBackToTheTlbBeside) {
  fs::path copy = CopyComponent("notlb", PIM_REGISTRY_ONLY_RESOURCES);
  Library lib(copy);
  ASSERT_TRUE(lib.Loaded());
  // Without a .tlb the script is written and the type library's failure returned.
  EXPECT_EQ(lib.Register(), TYPE_E_CANTLOADLIBRARY);
  EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kClassKey + "\\InprocServer32"), copy.string());
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kTypeLibKey));

  fs::path tlb = copy.parent_path() / "libVYN_PIM_OUTLOOK.tlb";
  fs::copy_file(PIM_TYPELIB, tlb);
  ASSERT_EQ(lib.Register(), S_OK);
  ExpectRegistered(copy.string(), tlb.string());
  EXPECT_EQ(lib.Unregister(), S_OK);
  EXPECT_EQ(SubKeys(HKEY_CLASSES_ROOT, ""), (std::set<std::string>{"CLSID", "TypeLib"}));
  EXPECT_TRUE(SubKeys(HKEY_CLASSES_ROOT, "TypeLib").empty());
}

TEST_F(SelfRegistration, MissingRegistryScriptIsTheWindowsError) {
  fs::path copy = CopyComponent("nores", nullptr, true);
  Library lib(copy);
  ASSERT_TRUE(lib.Loaded());
  EXPECT_EQ(lib.Register(), HRESULT_FROM_WIN32(ERROR_RESOURCE_DATA_NOT_FOUND));
  EXPECT_TRUE(SubKeys(HKEY_CLASSES_ROOT, "").empty());
  EXPECT_EQ(lib.Unregister(), S_OK);
}

// Runs a command line; its exit status and what it printed.
std::pair<int, std::string> RunCommand(const std::string& cmd) {
  std::string out;
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (!p) return {-1, out};
  std::array<char, 256> buf;
  while (fgets(buf.data(), buf.size(), p)) out += buf.data();
  int status = pclose(p);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

TEST_F(SelfRegistration, RegsvrReportsInWordsAndByExitStatus) {
  const std::string regsvr = std::string("'") + PIM_REGSVR + "' ";
  auto [rc, out] = RunCommand(regsvr + "'" + PIM_COMPONENT_LIBRARY + "'");
  EXPECT_EQ(rc, 0) << out;
  EXPECT_NE(out.find("S_OK"), std::string::npos) << out;
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));

  std::tie(rc, out) = RunCommand(regsvr + "-u '" + PIM_COMPONENT_LIBRARY + "'");
  EXPECT_EQ(rc, 0) << out;
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));

  fs::path copy = CopyComponent("nores", nullptr, true);
  std::tie(rc, out) = RunCommand(regsvr + "'" + copy.string() + "'");
  EXPECT_NE(rc, 0);
  EXPECT_NE(out.find("ERROR_RESOURCE_DATA_NOT_FOUND (0x80070714)"), std::string::npos) << out;

  std::tie(rc, out) = RunCommand(regsvr + "'" + PIM_PLATFORM_LIBRARY + "'");
  EXPECT_NE(rc, 0);
  EXPECT_NE(out.find("DllRegisterServer"), std::string::npos) << out;
  std::tie(rc, out) = RunCommand(regsvr + "'" + PIM_RGS + "'");
  EXPECT_NE(rc, 0);
  std::tie(rc, out) = RunCommand(regsvr);
  EXPECT_NE(rc, 0);
  EXPECT_NE(out.find("usage"), std::string::npos) << out;
}

}  // namespace
