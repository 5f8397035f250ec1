// The registry script language, driven through CRegistryScriptParser against a scratch registry.
#include <map>

#include "RegistryScriptParser.h"
#include "RegistryTest.h"

namespace {

using regtest::KeyExists;
using regtest::ReadString;
using regtest::ReadValue;
using regtest::SubKeys;
using regtest::ValueNames;

class Map : public IRegistryReplacementMap {
 public:
  std::map<std::string, std::string> values;
  LPCSTR StrFromMap(LPCSTR key) override {
    for (auto& [k, v] : values)
      if (lstrcmpiA(k.c_str(), key) == 0) return v.c_str();
    return nullptr;
  }
};

class ScriptParser : public regtest::ScratchRegistry {
 protected:
  HRESULT Run(const std::string& script, BOOL bRegister = TRUE) {
    CRegistryScriptParser parser(&map);
    return parser.RegisterBuffer(script.c_str(), bRegister);
  }
  Map map;
};

TEST_F(ScriptParser, ReplacesMarkersWithoutRegardToCase) {
  map.values["Module"] = "/opt/it''s/lib.so";
  map.values["Other"] = "x";
  CRegistryScriptParser parser(&map);
  std::string out;
  ASSERT_EQ(parser.PreProcessBuffer("a %MODULE% %module% 100%% %oTHER%", out), S_OK);
  EXPECT_EQ(out, "a /opt/it''s/lib.so /opt/it''s/lib.so 100% x");
}

TEST_F(ScriptParser, MarkerErrors) {
  CRegistryScriptParser parser(&map);
  std::string out;
  const std::string name31(31, 'n'), name32(32, 'n');
  EXPECT_EQ(parser.PreProcessBuffer(("%" + name32 + "%").c_str(), out), E_FAIL);
  EXPECT_EQ(parser.PreProcessBuffer(("%" + name31 + "%").c_str(), out), DISP_E_EXCEPTION);  // fits, but unknown
  EXPECT_EQ(parser.PreProcessBuffer("HKCR { %Unknown% }", out), DISP_E_EXCEPTION);
  EXPECT_EQ(parser.PreProcessBuffer("HKCR { a = s '%MODULE }", out), DISP_E_EXCEPTION);
  EXPECT_EQ(parser.PreProcessBuffer("trailing %", out), DISP_E_EXCEPTION);
  // The whole script fails before anything is written.
  EXPECT_EQ(Run("HKCU { Written = s 'x' %Unknown% }"), DISP_E_EXCEPTION);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Written"));
}

TEST_F(ScriptParser, WritesKeysValuesAndTypes) {
  ASSERT_EQ(Run("hkey_current_user\r\n{\r\n"
                "\tTest = s 'default'\r\n\t{\r\n"
                "\t\tval Str = S 'it''s 100%%'\r\n"
                "\t\tVAL Num = d '4294967295'\r\n"
                "\t\tval Bin = b '0aFF10'\r\n"
                "\t\tval Empty = b ''\r\n"
                "\t\t'Quoted Name' { Deeper = s '' }\r\n"
                "\t\t'Val' = s 'a key, not the keyword'\r\n"
                "\t}\r\n}\r\n"),
            S_OK);
  EXPECT_EQ(ReadString(HKEY_CURRENT_USER, "Test"), "default");
  EXPECT_EQ(ReadString(HKEY_CURRENT_USER, "Test", "Str"), "it's 100%");
  const struct {
    const char* name;
    DWORD type;
    std::vector<BYTE> data;
  } values[] = {{"Num", REG_DWORD, {0xFF, 0xFF, 0xFF, 0xFF}}, {"Bin", REG_BINARY, {0x0A, 0xFF, 0x10}}, {"Empty", REG_BINARY, {}}};
  for (const auto& want : values) {
    auto v = ReadValue(HKEY_CURRENT_USER, "Test", want.name);
    ASSERT_TRUE(v) << want.name;
    EXPECT_EQ(v->type, want.type) << want.name;
    EXPECT_EQ(v->data, want.data) << want.name;
  }
  EXPECT_EQ(ReadString(HKEY_CURRENT_USER, "Test\\Quoted Name\\Deeper"), "");
  EXPECT_EQ(ReadString(HKEY_CURRENT_USER, "Test\\Val"), "a key, not the keyword");
}

TEST_F(ScriptParser, AcceptsEveryRootNameInAnyCase) {
  ASSERT_EQ(Run("HKCU { A = s '1' } hkcu { B = s '2' } HKLM { C = s '3' } Hkey_Local_Machine { D = s '4' } "
                "HKU { E = s '5' } HKEY_USERS { F = s '6' } HKCC { G = s '7' } HKEY_CURRENT_CONFIG { H = s '8' } "
                "HKEY_CLASSES_ROOT { I = s '9' }"),
            S_OK);
  EXPECT_EQ(ReadString(HKEY_CURRENT_USER, "B"), "2");
  EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, "D"), "4");
  EXPECT_EQ(ReadString(HKEY_USERS, "F"), "6");
  EXPECT_EQ(ReadString(HKEY_CURRENT_CONFIG, "H"), "8");
  EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, "I"), "9");
}

struct ErrorCase {
  const char* what;
  std::string script;
  HRESULT hr;
};

TEST_F(ScriptParser, SyntaxAndValueErrorsFailAndLeaveNothing) {
  const std::string fits(4095, 'k'), tooLong(4096, 'k');
  const ErrorCase cases[] = {
      {"unclosed quote", "HKCU { Mark { A = s 'open } }", DISP_E_EXCEPTION},
      {"quoted token over the buffer", "HKCU { Mark { A = s '" + tooLong + "' } }", DISP_E_EXCEPTION},
      {"plain token over the buffer", "HKCU { Mark { " + tooLong + " } }", DISP_E_EXCEPTION},
      {"bad root", "HKXX { Mark }", DISP_E_EXCEPTION},
      {"root without brace", "HKCU Mark }", DISP_E_EXCEPTION},
      {"missing closing brace", "HKCU { Mark { A = s 'x' }", DISP_E_EXCEPTION},
      {"val without =", "HKCU { Mark { val A s 'x' } }", DISP_E_EXCEPTION},
      {"value not quoted", "HKCU { Mark { A = s x } }", DISP_E_EXCEPTION},
      {"text ends at a value", "HKCU { Mark { A = s", DISP_E_EXCEPTION},
      {"unknown type letter", "HKCU { Mark { A = x 'x' } }", DISP_E_EXCEPTION},
      {"type word", "HKCU { Mark { A = sz 'x' } }", DISP_E_EXCEPTION},
      {"odd binary digits", "HKCU { Mark { val A = b '0aF' } }", E_FAIL},
      {"binary non-digit", "HKCU { Mark { val A = b '0g' } }", E_FAIL},
      {"unreadable number", "HKCU { Mark { val A = d 'many' } }", DISP_E_TYPEMISMATCH},
      {"backslash after ForceRemove", "HKCU { Mark { ForceRemove A\\B } }", DISP_E_EXCEPTION},
      {"backslash after Delete", "HKCU { Mark { Delete A\\B } }", DISP_E_EXCEPTION},
      {"brace as key name", "HKCU { Mark { NoRemove { } } }", DISP_E_EXCEPTION},
  };
  for (const ErrorCase& c : cases) {
    EXPECT_EQ(Run(c.script), c.hr) << c.what;
    // The failing root block was taken back.
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Mark")) << c.what;
  }
  // One byte shorter fits.
  EXPECT_EQ(Run("HKCU { Mark { A = s '" + fits + "' } }"), S_OK);
  EXPECT_EQ(ReadString(HKEY_CURRENT_USER, "Mark\\A")->size(), 4095u);
}

TEST_F(ScriptParser, FailingRootBlockIsRolledBackEarlierBlocksStay) {
  // A key name over 255 characters is refused by the registry itself: the write fails mid-block.
  const std::string badName(256, 'x');
  HRESULT hr = Run("HKLM { Earlier = s 'kept' }\r\n"
                   "HKCU { NoRemove Software { Pim = s 'v' { A = s 'x' { B = s 'y' } " +
                   badName + " = s 'z' Never = s 'reached' } } }");
  EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, "Earlier"), "kept");
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Software\\Pim"));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, "Software"));  // NoRemove
}

TEST_F(ScriptParser, ForceRemoveAndDeleteSpareClsidAndTypeLib) {
  regtest::WriteString(HKEY_CURRENT_USER, "App\\Stale", "v", "old");
  regtest::WriteString(HKEY_CURRENT_USER, "Gone\\Sub", nullptr, "old");
  regtest::WriteString(HKEY_CURRENT_USER, "CLSID\\{Other}", nullptr, "other class");
  regtest::WriteString(HKEY_CURRENT_USER, "TypeLib\\{Other}", nullptr, "other lib");
  ASSERT_EQ(Run("HKCU { ForceRemove App = s 'new' { Fresh = s 'f' } "
                "Delete Gone = s 'skipped' { NotCreated = s 'x' } "
                "forceremove clsid { {Mine} = s 'mine' } DELETE TypeLib { Inner } }"),
            S_OK);
  EXPECT_EQ(SubKeys(HKEY_CURRENT_USER, "App"), std::set<std::string>{"Fresh"});
  EXPECT_EQ(ReadString(HKEY_CURRENT_USER, "App"), "new");
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Gone"));
  EXPECT_EQ(SubKeys(HKEY_CURRENT_USER, "CLSID"), (std::set<std::string>{"{Mine}", "{Other}"}));
  EXPECT_EQ(SubKeys(HKEY_CURRENT_USER, "TypeLib"), std::set<std::string>{"{Other}"});
}

TEST_F(ScriptParser, UnregisterWalkTakesBackOnlyWhatItMay) {
  const std::string script =
      "HKCU { App = s 'a' { val Removed = s 'r' NoRemove val Kept = s 'k' Sub { Leaf = s 'l' } } "
      "NoRemove Shared { Mine = s 'm' } "
      "NoRemove Lone = s 'stays' "
      "CLSID { {Mine} = s 'm' } "
      "Owned { Ours = s 'o' } "
      "Missing { Deeper { val V = s 'v' } } }";
  ASSERT_EQ(Run(script), S_OK);
  ASSERT_EQ(Run("HKCU { Missing }", FALSE), S_OK);
  // Keys that others wrote meanwhile.
  regtest::WriteString(HKEY_CURRENT_USER, "Shared\\Theirs", nullptr, "t");
  regtest::WriteString(HKEY_CURRENT_USER, "CLSID\\{Theirs}", nullptr, "t");
  regtest::WriteString(HKEY_CURRENT_USER, "Owned\\Theirs", nullptr, "t");

  ASSERT_EQ(Run(script, FALSE), S_OK);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "App"));
  EXPECT_EQ(SubKeys(HKEY_CURRENT_USER, "Shared"), std::set<std::string>{"Theirs"});
  EXPECT_EQ(ReadString(HKEY_CURRENT_USER, "Lone"), "stays");
  EXPECT_EQ(SubKeys(HKEY_CURRENT_USER, "CLSID"), std::set<std::string>{"{Theirs}"});
  // A key without NoRemove goes with everything under it.
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Owned"));
}

TEST_F(ScriptParser, UnregisterDeletesNamedValuesUnlessNoRemove) {
  ASSERT_EQ(Run("HKCU { NoRemove Keep { val Removed = s 'r' NoRemove val Kept = s 'k' Child } }"), S_OK);
  ASSERT_EQ(Run("HKCU { NoRemove Keep { val Removed = s 'r' NoRemove val Kept = s 'k' Child } }", FALSE), S_OK);
  EXPECT_EQ(ValueNames(HKEY_CURRENT_USER, "Keep"), std::set<std::string>{"Kept"});
  EXPECT_TRUE(SubKeys(HKEY_CURRENT_USER, "Keep").empty());
}

TEST_F(ScriptParser, DeepNestingIsRefusedNotOverflowed) {
  // Under Delete nothing is written, so the depth alone is what fails.
  std::string script = "HKCU { Delete k {";
  for (int i = 0; i < 100000; ++i) script += " k {";
  EXPECT_EQ(Run(script), DISP_E_EXCEPTION);
  EXPECT_EQ(Run(script, FALSE), DISP_E_EXCEPTION);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "k"));
}

}  // namespace
