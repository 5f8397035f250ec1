// Loaded modules: LoadLibrary, FreeLibrary, GetProcAddress, GetModuleHandleEx, GetModuleFileName.
#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>

#include "internal.h"
#include "module_internal.h"

namespace pim::module {

namespace {

struct Entry {
  Info info;
  void* dl = nullptr;
  unsigned refs = 0;
  bool pinned = false;
};

struct Table {
  std::mutex mutex;
  std::map<HMODULE, Entry> entries;
};

Table& table() {
  static Table* t = new Table;
  return *t;
}

HMODULE base_of_dl(void* dl) {
  struct link_map* lm = nullptr;
  if (dlinfo(dl, RTLD_DI_LINKMAP, &lm) != 0 || !lm) return nullptr;
  Dl_info di;
  if (!dladdr(lm->l_ld, &di) || !di.dli_fbase) return nullptr;
  return static_cast<HMODULE>(di.dli_fbase);
}

std::string main_program_path() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

bool describe_code(HMODULE h, Info* out) {
  Dl_info di;
  if (!dladdr(h, &di) || di.dli_fbase != static_cast<void*>(h) || !di.dli_fname) return false;
  out->handle = h;
  out->datafile = false;
  out->data = nullptr;
  std::string name = di.dli_fname;
  // The main program reports an empty name or argv[0].
  if (name.empty() || name.find('/') == std::string::npos) {
    void* self = dlopen(nullptr, RTLD_LAZY);
    HMODULE main = self ? base_of_dl(self) : nullptr;
    if (self) dlclose(self);
    if (main == h) name = main_program_path();
  }
  out->path = full_path(name);
  return true;
}

HMODULE add_code(void* dl, bool pin) {
  HMODULE h = base_of_dl(dl);
  if (!h) {
    dlclose(dl);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  Table& t = table();
  std::unique_lock lock(t.mutex);
  auto it = t.entries.find(h);
  if (it != t.entries.end()) {
    ++it->second.refs;
    it->second.pinned |= pin;
    lock.unlock();
    dlclose(dl);  // the entry keeps its own handle
    return h;
  }
  Entry e;
  if (!describe_code(h, &e.info)) e.info.handle = h;
  e.dl = dl;
  e.refs = 1;
  e.pinned = pin;
  t.entries.emplace(h, std::move(e));
  return h;
}

}  // namespace

bool lookup(HMODULE h, Info* out) {
  if (!h || !out) return false;
  {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    auto it = t.entries.find(h);
    if (it != t.entries.end()) {
      *out = it->second.info;
      return true;
    }
  }
  if (reinterpret_cast<ULONG_PTR>(h) & 2) return false;
  return describe_code(h, out);
}

std::string full_path(const std::string& name) {
  if (name.empty()) return name;
  char buf[PATH_MAX];
  if (realpath(name.c_str(), buf)) return buf;
  if (name[0] == '/') return name;
  if (getcwd(buf, sizeof buf)) return std::string(buf) + "/" + name;
  return name;
}

}  // namespace pim::module

using namespace pim::module;

HMODULE LoadLibraryA(LPCSTR lpLibFileName) { return LoadLibraryExA(lpLibFileName, nullptr, 0); }

HMODULE LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
  if (!lpLibFileName || !*lpLibFileName || hFile) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  try {
    std::string name = lpLibFileName;
    bool has_dir = name.find('/') != std::string::npos;
    // OLE automation (UnRegisterTypeLib and the rest) lives in this library: "oleaut32.dll" names it.
    if (!has_dir && !(dwFlags & LOAD_LIBRARY_AS_DATAFILE) && strcasecmp(name.c_str(), "oleaut32.dll") == 0) {
      Dl_info self;
      if (dladdr(reinterpret_cast<void*>(&LoadLibraryExA), &self) && self.dli_fname) name = self.dli_fname;
    }
    if (dwFlags & LOAD_LIBRARY_AS_DATAFILE) {
      if (!open_datafile) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
      }
      std::string path = full_path(name);
      struct stat st;
      if (stat(path.c_str(), &st) != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
      }
      void* data = nullptr;
      DWORD err = open_datafile(path, &data);
      if (err != ERROR_SUCCESS) {
        SetLastError(err);
        return nullptr;
      }
      auto* marker = new char;  // a unique address for the handle
      HMODULE h = reinterpret_cast<HMODULE>(reinterpret_cast<ULONG_PTR>(marker) | 2);
      Entry e;
      e.info = Info{h, path, true, data};
      e.dl = marker;
      e.refs = 1;
      Table& t = table();
      std::lock_guard lock(t.mutex);
      t.entries.emplace(h, std::move(e));
      return h;
    }
    if (has_dir) {
      struct stat st;
      if (stat(name.c_str(), &st) != 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
      }
    }
    void* dl = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!dl) {
      const char* why = dlerror();
      bool missing = !has_dir && why && std::strstr(why, "No such file");
      SetLastError(missing ? ERROR_MOD_NOT_FOUND : ERROR_BAD_EXE_FORMAT);
      return nullptr;
    }
    return add_code(dl, false);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

BOOL FreeLibrary(HMODULE hLibModule) {
  Table& t = table();
  std::unique_lock lock(t.mutex);
  auto it = t.entries.find(hLibModule);
  if (it == t.entries.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  Entry& e = it->second;
  if (e.pinned || --e.refs > 0) return TRUE;
  Entry gone = std::move(e);
  t.entries.erase(it);
  lock.unlock();
  if (gone.info.datafile) {
    if (close_datafile) close_datafile(gone.info.data);
    delete static_cast<char*>(gone.dl);
  } else {
    dlclose(gone.dl);
  }
  return TRUE;
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  if (!hModule || !lpProcName || IS_INTRESOURCE(lpProcName)) {
    SetLastError(hModule ? ERROR_PROC_NOT_FOUND : ERROR_INVALID_HANDLE);
    return nullptr;
  }
  void* dl = nullptr;
  bool borrowed = false;
  {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    auto it = t.entries.find(hModule);
    if (it != t.entries.end()) {
      if (it->second.info.datafile) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
      }
      // The entry's own handle; using a module while another thread frees it is the caller's error.
      dl = it->second.dl;
      borrowed = true;
    }
  }
  if (!borrowed) {
    Info info;
    if (!lookup(hModule, &info)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    Dl_info di;
    if (dladdr(hModule, &di) && di.dli_fname) dl = dlopen(di.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (!dl) dl = dlopen(nullptr, RTLD_LAZY);
  }
  if (!dl) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  void* sym = dlsym(dl, lpProcName);
  // dlsym also searches a library's dependencies; only the module's own definition counts.
  if (sym) {
    Dl_info di;
    if (!dladdr(sym, &di) || di.dli_fbase != static_cast<void*>(hModule)) sym = nullptr;
  }
  if (!borrowed) dlclose(dl);
  if (!sym) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(sym);
}

BOOL GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName, HMODULE* phModule) {
  if (!phModule || (dwFlags & ~7u) ||
      ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN) && (dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *phModule = nullptr;
  try {
    std::string file;
    if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
      Dl_info di;
      if (!lpModuleName || !dladdr(lpModuleName, &di) || !di.dli_fbase) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
      }
      if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) {
        *phModule = static_cast<HMODULE>(di.dli_fbase);
        return TRUE;
      }
      file = di.dli_fname ? di.dli_fname : "";
    } else if (lpModuleName) {
      file = lpModuleName;
    }
    void* dl = file.empty() ? dlopen(nullptr, RTLD_LAZY) : dlopen(file.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (!dl && (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS)) dl = dlopen(nullptr, RTLD_LAZY);
    if (!dl) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return FALSE;
    }
    if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) {
      *phModule = base_of_dl(dl);
      dlclose(dl);
      return *phModule ? TRUE : FALSE;
    }
    HMODULE h = add_code(dl, dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN);
    if (!h) return FALSE;
    *phModule = h;
    return TRUE;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
}

// Returns the characters copied without the NUL; a short buffer gets a truncated, terminated
// copy, the return value nSize and ERROR_INSUFFICIENT_BUFFER, as on Windows.
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  try {
    std::string path;
    if (!hModule) {
      path = main_program_path();
    } else {
      Info info;
      if (!lookup(hModule, &info)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
      }
      path = info.path;
    }
    if (!lpFilename || nSize == 0) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    if (path.size() >= nSize) {
      std::memcpy(lpFilename, path.data(), nSize - 1);
      lpFilename[nSize - 1] = 0;
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return nSize;
    }
    std::memcpy(lpFilename, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
}

// No short names exist here: the path comes back unchanged when the file exists.
DWORD GetLongPathNameA(LPCSTR lpszShortPath, LPSTR lpszLongPath, DWORD cchBuffer) {
  if (!lpszShortPath) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  struct stat st;
  if (stat(lpszShortPath, &st) != 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  size_t len = std::strlen(lpszShortPath);
  if (!lpszLongPath || len >= cchBuffer) return static_cast<DWORD>(len + 1);
  std::memmove(lpszLongPath, lpszShortPath, len + 1);
  return static_cast<DWORD>(len);
}

BOOL DisableThreadLibraryCalls(HMODULE) { return TRUE; }
