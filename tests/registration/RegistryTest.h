// A scratch registry for each test, and readers of what a test expects to find in it.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>
#include <windows.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "../support/Scratch.h"

namespace regtest {

// A scratch registry for each test; Dir() is its folder.
class ScratchRegistry : public ::testing::Test {
 protected:
  std::filesystem::path Dir() const { return m_registry.dir(); }

 private:
  pimtest::ScratchRegistry m_registry;
};

inline bool KeyExists(HKEY root, const std::string& path) {
  HKEY k;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
  RegCloseKey(k);
  return true;
}

// A value's type and bytes; nullopt when the key or value is missing.
struct Value {
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};
inline std::optional<Value> ReadValue(HKEY root, const std::string& path, const char* name = nullptr) {
  HKEY k;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return std::nullopt;
  Value v;
  DWORD cb = 0;
  LSTATUS l = RegQueryValueExA(k, name, nullptr, &v.type, nullptr, &cb);
  if (l == ERROR_SUCCESS) {
    v.data.resize(cb);
    l = RegQueryValueExA(k, name, nullptr, &v.type, v.data.data(), &cb);
  }
  RegCloseKey(k);
  if (l != ERROR_SUCCESS) return std::nullopt;
  return v;
}

// A REG_SZ value without its terminating NUL; nullopt when missing or of another type.
inline std::optional<std::string> ReadString(HKEY root, const std::string& path, const char* name = nullptr) {
  auto v = ReadValue(root, path, name);
  if (!v || v->type != REG_SZ || v->data.empty() || v->data.back() != 0) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(v->data.data()), v->data.size() - 1);
}

// The names of a key's subkeys, or of its values; empty when the key is missing.
inline std::set<std::string> Names(HKEY root, const std::string& path, bool values) {
  std::set<std::string> out;
  HKEY k;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return out;
  std::vector<char> name(16384);
  for (DWORD i = 0;; ++i) {
    DWORD cch = static_cast<DWORD>(name.size());
    LSTATUS l = values ? RegEnumValueA(k, i, name.data(), &cch, nullptr, nullptr, nullptr, nullptr)
                       : RegEnumKeyExA(k, i, name.data(), &cch, nullptr, nullptr, nullptr, nullptr);
    if (l != ERROR_SUCCESS) break;
    out.insert(name.data());
  }
  RegCloseKey(k);
  return out;
}
inline std::set<std::string> SubKeys(HKEY root, const std::string& path) { return Names(root, path, false); }
inline std::set<std::string> ValueNames(HKEY root, const std::string& path) { return Names(root, path, true); }

inline void WriteString(HKEY root, const std::string& path, const char* name, const std::string& value) {
  HKEY k;
  ASSERT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1)),
            ERROR_SUCCESS);
  RegCloseKey(k);
}

}  // namespace regtest
