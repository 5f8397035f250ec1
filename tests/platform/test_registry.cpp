// The registry over its .reg file: names and value types through the file, deletes, damaged and
// hand-written files, changes by other writers (threads and processes), and where the file lives.
#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "platform_test_util.h"

namespace {

class Registry : public ::testing::Test {
 protected:
  TempRegistry reg;

  HKEY create(HKEY root, const char* path, DWORD* disp = nullptr) {
    HKEY k = nullptr;
    EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, disp), ERROR_SUCCESS);
    return k;
  }
  // Another process's view: the file alone. Re-pointing away and back drops the cached tree.
  void reload() {
    { TempRegistry other; }
    setenv("PIM_REGISTRY", reg.file().c_str(), 1);
  }
  HKEY open(HKEY root, const char* path, LSTATUS expected = ERROR_SUCCESS) {
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyExA(root, path, 0, KEY_READ, &k), expected) << path;
    return k;
  }
  DWORD subkeys(HKEY root, const char* path) {
    HKEY k = open(root, path);
    DWORD n = 0;
    EXPECT_EQ(RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, &n, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr),
              ERROR_SUCCESS);
    RegCloseKey(k);
    return n;
  }
  std::string query_sz(HKEY k, const char* name) {
    char buf[512];
    DWORD cb = sizeof buf, type = 0;
    LSTATUS err = RegQueryValueExA(k, name, nullptr, &type, reinterpret_cast<LPBYTE>(buf), &cb);
    if (err) return "<error " + std::to_string(err) + ">";
    return std::string(buf, cb ? cb - 1 : 0);
  }
};

TEST_F(Registry, KeysAreCaseInsensitiveAndCasePreserving) {
  DWORD disp = 0;
  HKEY k = create(HKEY_CURRENT_USER, "Software\\MixedCase\\Sub", &disp);
  EXPECT_EQ(disp, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  RegCloseKey(k);
  k = create(HKEY_CURRENT_USER, "SOFTWARE\\mixedcase\\SUB", &disp);
  EXPECT_EQ(disp, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  RegCloseKey(k);
  HKEY sw = open(HKEY_CURRENT_USER, "software");
  ASSERT_NE(sw, nullptr);
  char name[64];
  DWORD cch = sizeof name;
  ASSERT_EQ(RegEnumKeyExA(sw, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_STREQ(name, "MixedCase");
  EXPECT_EQ(cch, 9u);
  cch = sizeof name;
  EXPECT_EQ(RegEnumKeyExA(sw, 1, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  cch = 4;  // too small
  EXPECT_EQ(RegEnumKeyExA(sw, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  RegCloseKey(sw);
  HKEY missing = reinterpret_cast<HKEY>(0xdead);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Nope", 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing, nullptr);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "\\Software", 0, KEY_READ, &missing), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(0x12345)), ERROR_INVALID_HANDLE);
}

TEST_F(Registry, ValueTypesRoundTripThroughTheFile) {
  HKEY k = create(HKEY_LOCAL_MACHINE, "Software\\Types");
  const char sz[] = "C:\\Path \"quoted\" \xC3\xA9t\xC3\xA9";
  ASSERT_EQ(RegSetValueExA(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(sz), sizeof sz), ERROR_SUCCESS);
  const char expand[] = "%HOME%/x";
  ASSERT_EQ(RegSetValueExA(k, "Expand", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(expand), sizeof expand),
            ERROR_SUCCESS);
  const char16_t multi[] = u"one\0two\0";
  ASSERT_EQ(RegSetValueExW(k, u"Multi", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi), sizeof multi),
            ERROR_SUCCESS);
  DWORD d = 0xCAFE0042;
  ASSERT_EQ(RegSetValueExA(k, "Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&d), 4), ERROR_SUCCESS);
  std::vector<BYTE> bin(100);
  for (size_t i = 0; i < bin.size(); ++i) bin[i] = static_cast<BYTE>(i * 7);
  ASSERT_EQ(RegSetValueExA(k, "Blob", 0, REG_BINARY, bin.data(), static_cast<DWORD>(bin.size())), ERROR_SUCCESS);
  RegCloseKey(k);

  std::string text = reg.contents();
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software\\Types]"), std::string::npos);
  EXPECT_NE(text.find("@=\"C:\\\\Path \\\"quoted\\\" \xC3\xA9t\xC3\xA9\""), std::string::npos);
  EXPECT_NE(text.find("\"Number\"=dword:cafe0042"), std::string::npos);
  EXPECT_NE(text.find("\"Expand\"=hex(2):25,00,48,00"), std::string::npos);
  EXPECT_NE(text.find("\"Multi\"=hex(7):6f,00,6e,00,65,00,00,00,74,00"), std::string::npos);
  EXPECT_NE(text.find("\"Blob\"=hex:00,07,0e"), std::string::npos);

  {
    TempRegistry other;
    open(HKEY_LOCAL_MACHINE, "Software\\Types", ERROR_FILE_NOT_FOUND);
  }
  reload();
  ASSERT_TRUE(k = open(HKEY_LOCAL_MACHINE, "SOFTWARE\\TYPES"));
  EXPECT_EQ(query_sz(k, ""), std::string(sz));
  DWORD type = 0, cb = 0;
  ASSERT_EQ(RegQueryValueExW(k, u"multi", nullptr, &type, nullptr, &cb), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  ASSERT_EQ(cb, sizeof multi);
  char16_t wbuf[16];
  ASSERT_EQ(RegQueryValueExW(k, u"Multi", nullptr, &type, reinterpret_cast<LPBYTE>(wbuf), &cb), ERROR_SUCCESS);
  EXPECT_EQ(std::memcmp(wbuf, multi, sizeof multi), 0);
  DWORD got = 0;
  cb = sizeof got;
  ASSERT_EQ(RegQueryValueExA(k, "number", nullptr, &type, reinterpret_cast<LPBYTE>(&got), &cb), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(got, d);
  std::vector<BYTE> back(200);
  cb = 10;
  EXPECT_EQ(RegQueryValueExA(k, "Blob", nullptr, &type, back.data(), &cb), ERROR_MORE_DATA);
  EXPECT_EQ(cb, 100u);
  ASSERT_EQ(RegQueryValueExA(k, "Blob", nullptr, &type, back.data(), &cb), ERROR_SUCCESS);
  back.resize(cb);
  EXPECT_EQ(back, bin);
  EXPECT_EQ(query_sz(k, "Expand"), "%HOME%/x");  // stored unexpanded
  EXPECT_EQ(RegQueryValueExA(k, "Absent", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);

  DWORD subkeys = 9, values = 0, max_name = 0, max_data = 0;
  ASSERT_EQ(RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, &max_name, &max_data,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 0u);
  EXPECT_EQ(values, 5u);
  EXPECT_EQ(max_name, 6u);   // "Number", "Expand"
  EXPECT_EQ(max_data, 100u);
  char name[32];
  DWORD cch = sizeof name;
  ASSERT_EQ(RegEnumValueA(k, 1, name, &cch, nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_STREQ(name, "Expand");  // creation order
  EXPECT_EQ(RegDeleteValueA(k, "EXPAND"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(k, "Expand"), ERROR_FILE_NOT_FOUND);
  RegCloseKey(k);
}

// Value names may hold line breaks; the file must still read back (found by fuzz_regfile: they
// were written raw, which made the whole registry unreadable at the next load).
TEST_F(Registry, NamesWithLineBreaksSurviveTheFile) {
  HKEY k = create(HKEY_CURRENT_USER, "Software\\Breaks");
  const char v[] = "kept";
  for (const char* name : {"two\nlines", "cr\rhere", "back\\slash \"q\"\n"})
    ASSERT_EQ(RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v), sizeof v), ERROR_SUCCESS);
  RegCloseKey(k);
  reload();
  ASSERT_TRUE(k = open(HKEY_CURRENT_USER, "Software\\Breaks"));
  for (const char* name : {"two\nlines", "cr\rhere", "back\\slash \"q\"\n"}) EXPECT_EQ(query_sz(k, name), "kept");
  RegCloseKey(k);
  // A key's path cannot hold one in the file at all: refused, and the registry stays readable.
  HKEY bad = reinterpret_cast<HKEY>(0x1);
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\two\nlines", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &bad,
                            nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(bad, nullptr);
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\cr\r", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &bad, nullptr),
            ERROR_INVALID_PARAMETER);
  reload();
  RegCloseKey(open(HKEY_CURRENT_USER, "Software\\Breaks"));
}

TEST_F(Registry, DeleteKeyRefusesChildrenDeleteTreeDoesNot) {
  RegCloseKey(create(HKEY_CLASSES_ROOT, "Tree\\A\\B"));
  EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "Tree\\A"), ERROR_ACCESS_DENIED);
  HKEY b = open(HKEY_CLASSES_ROOT, "Tree\\A\\B");
  EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, "Tree\\A\\B"), ERROR_SUCCESS);
  // The handle outlives its key.
  EXPECT_EQ(RegSetValueExA(b, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2), ERROR_KEY_DELETED);
  RegCloseKey(b);
  RegCloseKey(create(HKEY_CLASSES_ROOT, "Tree\\A\\C\\D"));
  EXPECT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, "tree"), ERROR_SUCCESS);
  open(HKEY_CLASSES_ROOT, "Tree", ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, "Tree"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reg.contents().find("Tree"), std::string::npos);
}

TEST_F(Registry, UnreadableOrCorruptFileIsReportedAndKept) {
  const std::string garbage = "this is not a registry file\n[HKEY_CURRENT_USER\\X]\n";
  reg.write(garbage);
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "X", 0, KEY_READ, &k), ERROR_REGISTRY_CORRUPT);
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Y", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_REGISTRY_CORRUPT);
  EXPECT_EQ(reg.contents(), garbage);
  reg.write("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\X]\n\"bad\"=dword:xyz\n");
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "X", 0, KEY_READ, &k), ERROR_REGISTRY_CORRUPT);
  reg.write("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\X]\n\"ok\"=hex(7):61,00,\\\n  00,00,00,00\n");
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "X", 0, KEY_READ, &k), ERROR_SUCCESS);  // continuation lines
  DWORD type = 0, cb = 0;
  EXPECT_EQ(RegQueryValueExA(k, "ok", nullptr, &type, nullptr, &cb), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  RegCloseKey(k);
  std::filesystem::remove(reg.file());
  std::filesystem::create_directory(reg.file());  // exists but cannot be read as a file
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "X", 0, KEY_READ, &k), ERROR_CANTREAD);
  std::filesystem::remove(reg.file());
}

// A file written by hand (or by regedit) rather than by us: root spellings, later lines replacing
// earlier ones, removals, escapes and continued lines all read as Windows reads them.
TEST_F(Registry, HandWrittenFileReadsAsRegeditWouldImportIt) {
  reg.write(
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; a comment\r\n"
      "[hkcu\\Software\\Hand]\r\n"
      "\"Name\"=\"first\"\r\n"
      "\"Gone\"=dword:00000001\r\n"
      "\"NAME\"=\"q\\\"uote\\\\d \xC3\xA9\"\r\n"
      "\"Gone\"=-\r\n"
      "\"Num\"=dword:DEADbeef\r\n"
      "\"Path\"=hex(2):25,00,48,00,\\\r\n"
      "  4f,00,00,00\r\n"
      "[HKEY_Current_User\\Software\\Hand\\Doomed]\r\n"
      "@=\"x\"\r\n"
      "[-HKEY_CURRENT_USER\\Software\\Hand\\Doomed]\r\n"
      "\"ignored\"=\"after a removal\"\r\n");
  HKEY k = open(HKEY_CURRENT_USER, "Software\\Hand");
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(query_sz(k, "name"), "q\"uote\\d \xC3\xA9");
  char name[32];
  DWORD cch = sizeof name, values = 0;
  ASSERT_EQ(RegEnumValueA(k, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_STREQ(name, "NAME");  // the later line's spelling
  EXPECT_EQ(RegQueryValueExA(k, "Gone", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  DWORD type = 0, num = 0, cb = sizeof num;
  ASSERT_EQ(RegQueryValueExA(k, "Num", nullptr, &type, reinterpret_cast<LPBYTE>(&num), &cb), ERROR_SUCCESS);
  EXPECT_EQ(num, 0xDEADBEEFu);
  EXPECT_EQ(query_sz(k, "Path"), "%HO");
  ASSERT_EQ(RegQueryValueExA(k, "Path", nullptr, &type, nullptr, &cb), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
  ASSERT_EQ(RegQueryInfoKeyA(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(values, 3u);
  RegCloseKey(k);
  open(HKEY_CURRENT_USER, "Software\\Hand\\Doomed", ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, ExternalChangesAreSeen) {
  RegCloseKey(create(HKEY_CURRENT_USER, "Seen"));
  reg.write("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Other]\n@=\"v\"\n");
  open(HKEY_CURRENT_USER, "Seen", ERROR_FILE_NOT_FOUND);
  HKEY k = open(HKEY_CURRENT_USER, "Other");
  EXPECT_EQ(query_sz(k, nullptr), "v");
  RegCloseKey(k);
  // A writer elsewhere renames a whole new file over it, of the same size.
  std::string moved = reg.file() + ".other";
  std::ofstream(moved) << "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Other]\n@=\"w\"\n";
  ASSERT_EQ(std::rename(moved.c_str(), reg.file().c_str()), 0);
  ASSERT_TRUE(k = open(HKEY_CURRENT_USER, "Other"));
  EXPECT_EQ(query_sz(k, nullptr), "w");
  RegCloseKey(k);
}

// Two processes adding keys at once: each change re-reads the file under the lock, so none is lost.
TEST_F(Registry, ConcurrentWritersInTwoProcessesLoseNothing) {
  constexpr int kPerProcess = 40;
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      for (int i = 0; i < kPerProcess; ++i) {
        std::string path = "Race\\P" + std::to_string(c) + "_" + std::to_string(i);
        HKEY k = nullptr;
        if (RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr))
          _exit(1);
        DWORD v = static_cast<DWORD>(i);
        if (RegSetValueExA(k, "n", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4)) _exit(2);
        RegCloseKey(k);
      }
      _exit(0);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(subkeys(HKEY_CLASSES_ROOT, "Race"), 2u * kPerProcess);
  // No temporary file is left behind.
  for (auto& e : std::filesystem::directory_iterator(reg.dir()))
    EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
}

// Two threads of one process writing while a third reads: the process's cached tree is shared, so
// this is the race ThreadSanitizer checks; nothing written is lost.
TEST_F(Registry, TwoThreadsWritingOneProcessLoseNothing) {
  constexpr int kPerThread = 40;
  auto writer = [](int t) {
    for (int i = 0; i < kPerThread; ++i) {
      std::string path = "ThreadRace\\T" + std::to_string(t) + "_" + std::to_string(i);
      HKEY k = nullptr;
      ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
                ERROR_SUCCESS);
      DWORD v = static_cast<DWORD>(i);
      EXPECT_EQ(RegSetValueExA(k, "n", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4), ERROR_SUCCESS);
      RegCloseKey(k);
    }
  };
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done.load()) {
      HKEY k = nullptr;
      if (RegOpenKeyExA(HKEY_CURRENT_USER, "ThreadRace", 0, KEY_READ, &k) != ERROR_SUCCESS) continue;
      char name[64];
      for (DWORD i = 0;; ++i) {
        DWORD cch = sizeof name;
        if (RegEnumKeyExA(k, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      }
      RegCloseKey(k);
    }
  });
  std::thread a(writer, 0), b(writer, 1);
  a.join();
  b.join();
  done = true;
  reader.join();

  EXPECT_EQ(subkeys(HKEY_CURRENT_USER, "ThreadRace"), 2u * kPerThread);
  // What the file holds, not only the cache.
  EXPECT_NE(reg.contents().find("T1_39"), std::string::npos);
}

TEST(RegistryLocation, DefaultsUnderXdgConfigHome) {
  pimtest::TempDir dir;
  pimtest::Env env;
  env.unset("PIM_REGISTRY").set("XDG_CONFIG_HOME", dir.path().string());
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Xdg", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(k);
  EXPECT_TRUE(std::filesystem::exists(dir / "pim/registry.reg"));
}

}  // namespace
