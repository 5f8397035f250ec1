// Activation through the registry: HKCR\CLSID\{clsid}\InprocServer32 (or LocalServer32, which is
// loaded in-process here), the library kept in a table until CoFreeUnusedLibraries finds it idle.
#include <stdlib.h>
#include <sys/stat.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "com_internal.h"
#include "internal.h"
#include "registry_internal.h"

namespace pim::detail {

namespace {

typedef HRESULT (*GetClassObjectFn)(REFCLSID, REFIID, void**);
typedef HRESULT (*CanUnloadNowFn)();

struct Library {
  HMODULE module = nullptr;
  GetClassObjectFn get_class_object = nullptr;
  CanUnloadNowFn can_unload_now = nullptr;
  unsigned busy = 0;  // calls into the library in progress
};

struct Libraries {
  std::mutex mutex;
  std::map<std::string, Library> by_path;
};

Libraries& libraries() {
  static Libraries* l = new Libraries;
  return *l;
}

std::string expand_environment(const std::string& s) {
  std::string out;
  size_t i = 0;
  while (i < s.size()) {
    size_t end;
    if (s[i] == '%' && (end = s.find('%', i + 1)) != std::string::npos && end > i + 1) {
      std::string name = s.substr(i + 1, end - i - 1);
      if (const char* v = getenv(name.c_str())) {
        out += v;
        i = end + 1;
        continue;
      }
    }
    out += s[i++];
  }
  return out;
}

// Reads the default string value of HKCR\<subkey>. Returns ERROR_SUCCESS or the registry's error.
LSTATUS read_default(const std::string& subkey, std::string& out) {
  DWORD type = 0;
  std::vector<unsigned char> data;
  LSTATUS err = pim::reg::default_value(HKEY_CLASSES_ROOT, subkey, &type, &data);
  if (err) return err;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_FILE_NOT_FOUND;
  std::u16string w(data.size() / 2, u'\0');
  for (size_t i = 0; i < w.size(); ++i) w[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  std::string buf = to_u8(w);
  while (!buf.empty() && buf.back() == 0) buf.pop_back();
  out = type == REG_EXPAND_SZ ? expand_environment(buf) : buf;
  return ERROR_SUCCESS;
}

// A server path may be quoted; a local server's command line may carry arguments.
std::string server_file(std::string s, bool command_line) {
  while (!s.empty() && s.front() == ' ') s.erase(0, 1);
  if (!s.empty() && s.front() == '"') {
    size_t close = s.find('"', 1);
    return s.substr(1, close == std::string::npos ? std::string::npos : close - 1);
  }
  while (!s.empty() && s.back() == ' ') s.pop_back();
  struct stat st;
  if (command_line && stat(s.c_str(), &st) != 0) {
    size_t space = s.find(' ');
    if (space != std::string::npos) s.resize(space);
  }
  return s;
}

HRESULT registry_error(LSTATUS err) {
  return (err == ERROR_FILE_NOT_FOUND || err == ERROR_KEY_DELETED) ? REGDB_E_CLASSNOTREG : REGDB_E_READREGDB;
}

// Loads (or finds) the library and marks it busy; the caller calls done() after using it.
HRESULT acquire_library(const std::string& path, Library& out) {
  Libraries& libs = libraries();
  {
    std::lock_guard lock(libs.mutex);
    auto it = libs.by_path.find(path);
    if (it != libs.by_path.end()) {
      ++it->second.busy;
      out = it->second;
      return S_OK;
    }
  }
  // Loaded outside the lock: a library's constructor may itself activate classes.
  HMODULE module = LoadLibraryExA(path.c_str(), nullptr, 0);
  if (!module) {
    DWORD err = GetLastError();
    return HRESULT_FROM_WIN32(err ? err : ERROR_MOD_NOT_FOUND);
  }
  auto get = reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
  if (!get) {
    FreeLibrary(module);
    return CO_E_ERRORINDLL;
  }
  auto can = reinterpret_cast<CanUnloadNowFn>(reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
  std::lock_guard lock(libs.mutex);
  auto [it, inserted] = libs.by_path.try_emplace(path);
  if (inserted) {
    it->second.module = module;
    it->second.get_class_object = get;
    it->second.can_unload_now = can;
  } else {
    FreeLibrary(module);  // another thread got there first; the module table counts per load
  }
  ++it->second.busy;
  out = it->second;
  return S_OK;
}

void release_library(const std::string& path) {
  Libraries& libs = libraries();
  std::lock_guard lock(libs.mutex);
  auto it = libs.by_path.find(path);
  if (it != libs.by_path.end() && it->second.busy) --it->second.busy;
}

}  // namespace

namespace {

// In-process servers found, while the registry stays unchanged: a host that activates one class
// per item would otherwise read the same keys again for each.
struct KnownServer {
  uint64_t generation;
  std::string path;
};

std::mutex& known_mutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

struct ClsidLess {
  bool operator()(const CLSID& a, const CLSID& b) const { return std::memcmp(&a, &b, sizeof(CLSID)) < 0; }
};

std::map<CLSID, KnownServer, ClsidLess>& known_servers() {
  static auto* m = new std::map<CLSID, KnownServer, ClsidLess>;
  return *m;
}

}  // namespace

HRESULT class_object_from_registry(REFCLSID clsid, DWORD context, REFIID riid, void** ppv) {
  *ppv = nullptr;
  return guard([&]() -> HRESULT {
    const uint64_t generation = (context & CLSCTX_INPROC_SERVER) ? pim::reg::generation() : 0;
    std::string path;
    if (generation != 0) {
      std::lock_guard lock(known_mutex());
      auto it = known_servers().find(clsid);
      if (it != known_servers().end() && it->second.generation == generation) path = it->second.path;
    }
    if (path.empty()) {
      std::string base = "CLSID\\" + guid_to_string(clsid) + "\\";
      std::string value;
      LSTATUS err = ERROR_FILE_NOT_FOUND;
      bool command_line = false;
      if (context & CLSCTX_INPROC_SERVER) err = read_default(base + "InprocServer32", value);
      if (err == ERROR_FILE_NOT_FOUND && (context & (CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER))) {
        err = read_default(base + "LocalServer32", value);
        command_line = true;
      }
      if (err) return registry_error(err);
      path = server_file(value, command_line);
      if (path.empty()) return REGDB_E_CLASSNOTREG;
      if (generation != 0 && !command_line) {
        std::lock_guard lock(known_mutex());
        known_servers()[clsid] = KnownServer{generation, path};
      }
    }
    Library lib;
    HRESULT hr = acquire_library(path, lib);
    if (FAILED(hr)) return hr;
    hr = lib.get_class_object(clsid, riid, ppv);
    release_library(path);
    if (FAILED(hr)) *ppv = nullptr;
    return hr;
  });
}

}  // namespace pim::detail

using namespace pim::detail;

HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
  if (!lpszProgID || !lpclsid) return E_INVALIDARG;
  *lpclsid = IID_NULL;
  return guard([&]() -> HRESULT {
    std::string progid = to_u8(lpszProgID);
    if (progid.empty() || progid.find('\\') != std::string::npos) return CO_E_CLASSSTRING;
    std::string text;
    LSTATUS err = read_default(progid + "\\CLSID", text);
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_KEY_DELETED) return CO_E_CLASSSTRING;
    if (err) return REGDB_E_READREGDB;
    GUID g;
    if (!parse_guid(to_u16(text), g)) return CO_E_CLASSSTRING;
    *lpclsid = g;
    return S_OK;
  });
}

void CoFreeUnusedLibraries(void) {
  try {
    Libraries& libs = libraries();
    std::vector<std::pair<std::string, CanUnloadNowFn>> candidates;
    {
      std::lock_guard lock(libs.mutex);
      for (auto& [path, lib] : libs.by_path) {
        if (lib.busy || !lib.can_unload_now) continue;
        ++lib.busy;
        candidates.emplace_back(path, lib.can_unload_now);
      }
    }
    for (auto& [path, can] : candidates) {
      bool unload = can() == S_OK;
      HMODULE module = nullptr;
      {
        std::lock_guard lock(libs.mutex);
        auto it = libs.by_path.find(path);
        if (it == libs.by_path.end()) continue;
        --it->second.busy;
        if (unload && it->second.busy == 0) {
          module = it->second.module;
          libs.by_path.erase(it);
        }
      }
      if (module) FreeLibrary(module);
    }
  } catch (...) {
    // Nothing is unloaded when the bookkeeping cannot be made.
  }
}
