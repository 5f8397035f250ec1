// The component's DllRegisterServer and DllUnregisterServer, activation through what they write,
// and the regsvr program.
#include <VYN_PIM_OUTLOOK.h>

#include "../support/ComTest.h"
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

// A component library loaded as a host loads it, reached through its exports.
using Library = pimtest::ComponentLibrary;

class SelfRegistration : public regtest::ScratchRegistry {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
  void TearDown() override {
    CoFreeUnusedLibraries();
    CoUninitialize();
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
    using Set = std::set<std::string>;
    const std::string kName = "OutlookPimAdapter Class", kLib = kTypeLibKey + "\\1.0";
    // The type library, as oleaut32 registers one of locale 1033 (hexadecimal 409). Its seven
    // interfaces are neither [oleautomation] nor [dual]: no Interface keys.
    const std::pair<std::string, Set> subKeys[] = {
        {"", {"CLSID", "TypeLib", kProgId, kIndependentProgId}},
        {kProgId, {"CLSID"}},
        {kIndependentProgId, {"CLSID", "CurVer"}},
        {kClassKey, {"InprocServer32", "ProgID", "TypeLib", "VersionIndependentProgID"}},
        {"TypeLib", {kLibid}},
        {kTypeLibKey, {"1.0"}},
        {kLib, {"409", "FLAGS", "HELPDIR"}},
    };
    for (const auto& [key, names] : subKeys) EXPECT_EQ(SubKeys(HKEY_CLASSES_ROOT, key), names) << key;
    const struct {
      std::string key;
      const char* name;
      std::string value;
    } strings[] = {
        {kProgId, nullptr, kName},
        {kProgId + "\\CLSID", nullptr, kClsid},
        {kIndependentProgId, nullptr, kName},
        {kIndependentProgId + "\\CLSID", nullptr, kClsid},
        {kIndependentProgId + "\\CurVer", nullptr, kProgId},
        {kClassKey, nullptr, kName},
        {kClassKey + "\\ProgID", nullptr, kProgId},
        {kClassKey + "\\VersionIndependentProgID", nullptr, kIndependentProgId},
        {kClassKey + "\\InprocServer32", nullptr, path},
        {kClassKey + "\\InprocServer32", "ThreadingModel", "Free"},
        {kClassKey + "\\TypeLib", nullptr, kLibid},
        {kLib, nullptr, "VYN_PIM_OUTLOOK 1.0 Type Library"},
        {kLib + "\\409\\win32", nullptr, typeLibPath},
        {kLib + "\\FLAGS", nullptr, "0"},
        {kLib + "\\HELPDIR", nullptr, fs::path(typeLibPath).parent_path().string() + "/"},
    };
    for (const auto& v : strings)
      EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, v.key, v.name), v.value) << v.key << " " << (v.name ? v.name : "");
    EXPECT_EQ(ValueNames(HKEY_CLASSES_ROOT, kClassKey + "\\InprocServer32"), (Set{"", "ThreadingModel"}));
  }
};

TEST_F(SelfRegistration, WritesTheTableTwiceAsOnceAndTakesItBack) {
  const std::string path = fs::canonical(PIM_COMPONENT_LIBRARY).string();
  regtest::WriteString(HKEY_CLASSES_ROOT, "CLSID\\{Other-Class}\\InprocServer32", nullptr, "/other.so");
  Library lib(path.c_str());
  ASSERT_TRUE(lib.Loaded());

  ASSERT_EQ(lib.RegisterServer(), S_OK);
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "CLSID\\{Other-Class}"));
  ASSERT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, "CLSID\\{Other-Class}"), ERROR_SUCCESS);
  ExpectRegistered(path, path);

  // The class key is ForceRemove: a stale subkey goes on the next registration.
  regtest::WriteString(HKEY_CLASSES_ROOT, kClassKey + "\\Stale", nullptr, "old");
  regtest::WriteString(HKEY_CLASSES_ROOT, "CLSID\\{Other-Class}\\InprocServer32", nullptr, "/other.so");
  ASSERT_EQ(lib.RegisterServer(), S_OK);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey + "\\Stale"));
  ASSERT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, "CLSID\\{Other-Class}"), ERROR_SUCCESS);
  ExpectRegistered(path, path);

  regtest::WriteString(HKEY_CLASSES_ROOT, "CLSID\\{Other-Class}\\InprocServer32", nullptr, "/other.so");
  EXPECT_EQ(lib.UnregisterServer(), S_OK);
  EXPECT_EQ(SubKeys(HKEY_CLASSES_ROOT, ""), (std::set<std::string>{"CLSID", "TypeLib"}));
  EXPECT_EQ(SubKeys(HKEY_CLASSES_ROOT, "CLSID"), std::set<std::string>{"{Other-Class}"});
  EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, "CLSID\\{Other-Class}\\InprocServer32"), "/other.so");
  EXPECT_TRUE(SubKeys(HKEY_CLASSES_ROOT, "TypeLib").empty());
  // Unregistering what is not there succeeds too.
  EXPECT_EQ(lib.UnregisterServer(), S_OK);
}

TEST_F(SelfRegistration, ActivationThroughTheRegistry) {
  Library lib(PIM_COMPONENT_LIBRARY);
  ASSERT_TRUE(lib.Loaded());
  ASSERT_EQ(lib.RegisterServer(), S_OK);

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

  ASSERT_EQ(lib.UnregisterServer(), S_OK);
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
  Library lib(copy.c_str());
  ASSERT_TRUE(lib.Loaded());
  ASSERT_EQ(lib.RegisterServer(), S_OK);
  ExpectRegistered(copy.string(), copy.string());
  EXPECT_EQ(lib.UnregisterServer(), S_OK);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
}

TEST_F(SelfRegistration, MissingTypeLibResourceFallsBackToTheTlbBeside) {
  fs::path copy = CopyComponent("notlb", PIM_REGISTRY_ONLY_RESOURCES);
  Library lib(copy.c_str());
  ASSERT_TRUE(lib.Loaded());
  // Without a .tlb the script is written and the type library's failure returned.
  EXPECT_EQ(lib.RegisterServer(), TYPE_E_CANTLOADLIBRARY);
  EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, kClassKey + "\\InprocServer32"), copy.string());
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kTypeLibKey));

  fs::path tlb = copy.parent_path() / "libVYN_PIM_OUTLOOK.tlb";
  fs::copy_file(PIM_TYPELIB, tlb);
  ASSERT_EQ(lib.RegisterServer(), S_OK);
  ExpectRegistered(copy.string(), tlb.string());
  EXPECT_EQ(lib.UnregisterServer(), S_OK);
  EXPECT_EQ(SubKeys(HKEY_CLASSES_ROOT, ""), (std::set<std::string>{"CLSID", "TypeLib"}));
  EXPECT_TRUE(SubKeys(HKEY_CLASSES_ROOT, "TypeLib").empty());
}

TEST_F(SelfRegistration, MissingRegistryScriptIsTheWindowsError) {
  fs::path copy = CopyComponent("nores", nullptr, true);
  Library lib(copy.c_str());
  ASSERT_TRUE(lib.Loaded());
  EXPECT_EQ(lib.RegisterServer(), HRESULT_FROM_WIN32(ERROR_RESOURCE_DATA_NOT_FOUND));
  EXPECT_TRUE(SubKeys(HKEY_CLASSES_ROOT, "").empty());
  EXPECT_EQ(lib.UnregisterServer(), S_OK);
}

// Runs regsvr with `args`: it succeeds or fails as `ok` says, and prints `text` when one is given.
void ExpectRegsvr(const std::string& args, bool ok, const char* text = nullptr) {
  const pimtest::CommandResult r = pimtest::runCommand(std::string("'") + PIM_REGSVR + "' " + args);
  EXPECT_EQ(r.status == 0, ok) << args << ": " << r.out;
  if (text) {
    EXPECT_NE(r.out.find(text), std::string::npos) << r.out;
  }
}
std::string Quoted(const std::string& path) { return pimtest::shellQuote(path); }

TEST_F(SelfRegistration, RegsvrReportsInWordsAndByExitStatus) {
  ExpectRegsvr(Quoted(PIM_COMPONENT_LIBRARY), true, "S_OK");
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
  ExpectRegsvr("-u " + Quoted(PIM_COMPONENT_LIBRARY), true);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
  ExpectRegsvr(Quoted(CopyComponent("nores", nullptr, true).string()), false,
               "ERROR_RESOURCE_DATA_NOT_FOUND (0x80070714)");
  ExpectRegsvr(Quoted(PIM_PLATFORM_LIBRARY), false, "DllRegisterServer");
  ExpectRegsvr(Quoted(PIM_RGS), false);
  ExpectRegsvr("", false, "usage");
}

}  // namespace
