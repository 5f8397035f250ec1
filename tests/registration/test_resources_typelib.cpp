// Resources read from a library file as data, and type libraries: loading, attributes, registration.
#include <dlfcn.h>

#include <VYN_PIM_OUTLOOK.h>

#include "RegistryTest.h"

namespace {

namespace fs = std::filesystem;
using regtest::KeyExists;
using regtest::ReadString;
using regtest::SubKeys;

using pimtest::readFile;

std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::string Narrow(BSTR b) { return b ? std::string(b, b + SysStringLen(b)) : std::string("<null>"); }

class Resources : public regtest::ScratchRegistry {};

// `call` answers null, and the thread's last error is `error`.
#define EXPECT_FAILS_WITH(call, error)                     \
  do {                                                     \
    EXPECT_EQ(call, nullptr);                              \
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(error));  \
  } while (0)

TEST_F(Resources, DataFileGivesTheRegistryScriptWithoutLoadingCode) {
  // A copy never loaded as code: reading its resources must not map it as a library.
  fs::path copy = Dir() / "libcopy.so";
  fs::copy_file(PIM_COMPONENT_LIBRARY, copy);
  HMODULE h = LoadLibraryExA(copy.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(dlopen(copy.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
  EXPECT_EQ(GetProcAddress(h, "DllRegisterServer"), nullptr);

  const std::string script = readFile(PIM_RGS);
  for (LPCSTR type : {"REGISTRY", "registry", "Registry"}) {
    for (LPCSTR name : {static_cast<LPCSTR>(MAKEINTRESOURCEA(101)), "#101"}) {
      HRSRC r = FindResourceA(h, name, type);
      ASSERT_NE(r, nullptr) << type;
      const char* p = static_cast<const char*>(LockResource(LoadResource(h, r)));
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(std::string(p, SizeofResource(h, r)), script);
    }
  }
  HRSRC tlb = FindResourceA(h, MAKEINTRESOURCEA(1), "TYPELIB");
  ASSERT_NE(tlb, nullptr);
  EXPECT_EQ(std::string(static_cast<const char*>(LockResource(LoadResource(h, tlb))), SizeofResource(h, tlb)),
            readFile(PIM_TYPELIB));

  EXPECT_FAILS_WITH(FindResourceA(h, MAKEINTRESOURCEA(102), "REGISTRY"), ERROR_RESOURCE_NAME_NOT_FOUND);
  EXPECT_FAILS_WITH(FindResourceA(h, MAKEINTRESOURCEA(101), "NOTATYPE"), ERROR_RESOURCE_TYPE_NOT_FOUND);
  EXPECT_FAILS_WITH(FindResourceA(h, MAKEINTRESOURCEA(101), MAKEINTRESOURCEA(10)), ERROR_RESOURCE_TYPE_NOT_FOUND);

  EXPECT_TRUE(FreeLibrary(h));
  EXPECT_FALSE(FreeLibrary(h));
}

TEST_F(Resources, DataFileErrors) {
  EXPECT_FAILS_WITH(LoadLibraryExA((Dir() / "absent.so").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE), ERROR_FILE_NOT_FOUND);
  EXPECT_FAILS_WITH(LoadLibraryExA(PIM_RGS, nullptr, LOAD_LIBRARY_AS_DATAFILE), ERROR_BAD_FORMAT);
  // Truncated inside the section table.
  std::string elf = readFile(PIM_COMPONENT_LIBRARY);
  pimtest::writeFile(Dir() / "cut.so", elf.data(), 100);
  EXPECT_FAILS_WITH(LoadLibraryExA((Dir() / "cut.so").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE), ERROR_BAD_FORMAT);

  // A library without resources opens, and has none.
  HMODULE h = LoadLibraryExA(PIM_PLATFORM_LIBRARY, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(h, nullptr);
  EXPECT_FAILS_WITH(FindResourceA(h, MAKEINTRESOURCEA(101), "REGISTRY"), ERROR_RESOURCE_DATA_NOT_FOUND);
  FreeLibrary(h);
}

void ExpectComponentTypeLib(ITypeLib* tl) {
  TLIBATTR* a = nullptr;
  ASSERT_EQ(tl->GetLibAttr(&a), S_OK);
  EXPECT_TRUE(IsEqualGUID(a->guid, LIBID_VYN_PIM_OUTLOOKLib));
  EXPECT_EQ(a->lcid, 1033u);
  EXPECT_EQ(a->syskind, SYS_WIN32);
  EXPECT_EQ(a->wMajorVerNum, 1);
  EXPECT_EQ(a->wMinorVerNum, 0);
  tl->ReleaseTLibAttr(a);

  BSTR name = nullptr, doc = nullptr;
  ASSERT_EQ(tl->GetDocumentation(-1, &name, &doc, nullptr, nullptr), S_OK);
  EXPECT_EQ(Narrow(name), "VYN_PIM_OUTLOOKLib");
  EXPECT_EQ(Narrow(doc), "VYN_PIM_OUTLOOK 1.0 Type Library");
  SysFreeString(name);
  SysFreeString(doc);

  // The coclass and the seven interfaces, with the contract's identifiers.
  const struct {
    const char* name;
    const GUID* id;
    TYPEKIND kind;
  } expected[] = {
      {"COutlookPimAdapter", &CLSID_COutlookPimAdapter, TKIND_COCLASS},
      {"IPimAdapter", &IID_IPimAdapter, TKIND_INTERFACE},
      {"ICalendarDatabase", &IID_ICalendarDatabase, TKIND_INTERFACE},
      {"ICalendarEntry", &IID_ICalendarEntry, TKIND_INTERFACE},
      {"ICalendarEntryList", &IID_ICalendarEntryList, TKIND_INTERFACE},
      {"ICalendarEntryListIterator", &IID_ICalendarEntryListIterator, TKIND_INTERFACE},
      {"IContactsDatabase", &IID_IContactsDatabase, TKIND_INTERFACE},
      {"IContactEntry", &IID_IContactEntry, TKIND_INTERFACE},
  };
  ASSERT_EQ(tl->GetTypeInfoCount(), std::size(expected));
  std::set<std::string> names;
  for (UINT i = 0; i < tl->GetTypeInfoCount(); ++i) {
    BSTR n = nullptr;
    ASSERT_EQ(tl->GetDocumentation(static_cast<INT>(i), &n, nullptr, nullptr, nullptr), S_OK);
    names.insert(Narrow(n));
    SysFreeString(n);
  }
  for (const auto& e : expected) {
    EXPECT_TRUE(names.count(e.name)) << e.name;
    ITypeInfo* ti = nullptr;
    // Present (type-info objects themselves are not served here).
    EXPECT_EQ(tl->GetTypeInfoOfGuid(*e.id, &ti), E_NOTIMPL) << e.name;
  }
  ITypeInfo* ti = nullptr;
  EXPECT_EQ(tl->GetTypeInfoOfGuid(IID_IUnknown, &ti), TYPE_E_ELEMENTNOTFOUND);
  EXPECT_EQ(tl->GetDocumentation(static_cast<INT>(std::size(expected)), nullptr, nullptr, nullptr, nullptr),
            TYPE_E_ELEMENTNOTFOUND);
}

TEST_F(Resources, TypeLibFromTheLibraryAndFromTheTlbAgree) {
  for (const char* file : {PIM_COMPONENT_LIBRARY, PIM_TYPELIB}) {
    SCOPED_TRACE(file);
    ITypeLib* tl = nullptr;
    ASSERT_EQ(LoadTypeLib(U16(file).c_str(), &tl), S_OK);
    ExpectComponentTypeLib(tl);
    EXPECT_EQ(tl->Release(), 0u);
  }
}

TEST_F(Resources, TypeLibLoadErrors) {
  ITypeLib* tl = reinterpret_cast<ITypeLib*>(0x1);
  EXPECT_EQ(LoadTypeLib(U16((Dir() / "absent.tlb").string()).c_str(), &tl), TYPE_E_CANTLOADLIBRARY);
  EXPECT_EQ(tl, nullptr);
  EXPECT_EQ(LoadTypeLib(U16(PIM_PLATFORM_LIBRARY).c_str(), &tl), TYPE_E_CANTLOADLIBRARY);  // no TYPELIB resource
  EXPECT_EQ(LoadTypeLib(U16(PIM_RGS).c_str(), &tl), TYPE_E_UNSUPFORMAT);
  // Every truncation of a good library is refused, none read past the end.
  const std::string good = readFile(PIM_TYPELIB);
  for (size_t n = 8; n < good.size(); ++n) {
    pimtest::writeFile(Dir() / "cut.tlb", good.data(), n);
    ASSERT_EQ(LoadTypeLib(U16((Dir() / "cut.tlb").string()).c_str(), &tl), TYPE_E_INVDATAREAD) << n;
  }
  // A system kind no SYSKIND names (found by fuzz_typelib: it was kept and later read as the enum).
  for (unsigned char kind : {4, 44, 255}) {
    std::string bad = good;
    bad[28] = static_cast<char>(kind);  // after the magic, the libid and the lcid
    pimtest::writeFile(Dir() / "kind.tlb", bad);
    EXPECT_EQ(LoadTypeLib(U16((Dir() / "kind.tlb").string()).c_str(), &tl), TYPE_E_INVDATAREAD) << int(kind);
    EXPECT_EQ(tl, nullptr);
  }
}

TEST_F(Resources, RegisterTypeLibWritesInterfaceKeysOnlyForAutomation) {
  ITypeLib* tl = nullptr;
  ASSERT_EQ(LoadTypeLib(U16(PIM_AUTOMATION_TLB).c_str(), &tl), S_OK);
  const std::string path = PIM_AUTOMATION_TLB;
  ASSERT_EQ(RegisterTypeLib(tl, U16(path).c_str(), nullptr), S_OK);

  const std::string lib = "TypeLib\\{6B1C0A10-0001-4D2E-9F00-00000000A000}";
  EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, lib + "\\2.3"), "Automation test library");
  EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, lib + "\\2.3\\0\\win32"), path);
  EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, lib + "\\2.3\\FLAGS"), "0");
  // Without a help directory, the library's own directory.
  EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, lib + "\\2.3\\HELPDIR"), fs::path(path).parent_path().string());

  const struct {
    const char* iid;
    const char* name;
    const char* proxy;
  } registered[] = {
      {"{6B1C0A10-0001-4D2E-9F00-00000000A001}", "IAutomated", "{00020424-0000-0000-C000-000000000046}"},
      {"{6B1C0A10-0001-4D2E-9F00-00000000A002}", "IDualThing", "{00020424-0000-0000-C000-000000000046}"},
      {"{6B1C0A10-0001-4D2E-9F00-00000000A004}", "DEvents", "{00020420-0000-0000-C000-000000000046}"},
  };
  for (const auto& r : registered) {
    const std::string key = std::string("Interface\\") + r.iid;
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, key), r.name);
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, key + "\\ProxyStubClsid32"), r.proxy);
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, key + "\\ProxyStubClsid"), r.proxy);
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, key + "\\TypeLib"), "{6B1C0A10-0001-4D2E-9F00-00000000A000}");
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, key + "\\TypeLib", "Version"), "2.3");
  }
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "Interface\\{6B1C0A10-0001-4D2E-9F00-00000000A003}"));

  TLIBATTR* a = nullptr;
  ASSERT_EQ(tl->GetLibAttr(&a), S_OK);
  // Another version beside ours keeps the library's key.
  regtest::WriteString(HKEY_CLASSES_ROOT, lib + "\\9.9", nullptr, "someone else");
  EXPECT_EQ(UnRegisterTypeLib(a->guid, a->wMajorVerNum, a->wMinorVerNum, a->lcid, a->syskind), S_OK);
  EXPECT_EQ(SubKeys(HKEY_CLASSES_ROOT, lib), std::set<std::string>{"9.9"});
  EXPECT_TRUE(SubKeys(HKEY_CLASSES_ROOT, "Interface").empty());

  ASSERT_EQ(RegisterTypeLib(tl, U16(path).c_str(), u"/help/"), S_OK);
  EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, lib + "\\2.3\\HELPDIR"), "/help/");
  ASSERT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, (lib + "\\9.9").c_str()), ERROR_SUCCESS);
  EXPECT_EQ(UnRegisterTypeLib(a->guid, a->wMajorVerNum, a->wMinorVerNum, a->lcid, a->syskind), S_OK);
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, lib));
  EXPECT_EQ(UnRegisterTypeLib(a->guid, a->wMajorVerNum, a->wMinorVerNum, a->lcid, a->syskind), E_INVALIDARG);
  tl->ReleaseTLibAttr(a);
  tl->Release();
}

}  // namespace
