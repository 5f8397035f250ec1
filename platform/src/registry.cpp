// The registry: one .reg file (PIM_REGISTRY, else $XDG_CONFIG_HOME/pim/registry.reg, else
// ~/.config/pim/registry.reg), cached in memory and re-read when the file changes.
//
// Every change runs under an exclusive flock on "<file>.lock": the file is re-read under the lock,
// the change applied, and the whole file written to a temporary file that is renamed over it, so
// concurrent writers in several processes lose nothing and readers never see half a file. A file
// that cannot be read or parsed fails the call (ERROR_CANTREAD, ERROR_REGISTRY_CORRUPT) and is never
// overwritten. PIM_REGISTRY is read on every call, so a process (a test) can re-point the registry
// between calls; open handles then refer to the same paths in the new file.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <map>
#include <mutex>

#include "internal.h"
#include "registry_internal.h"

namespace pim::reg {

namespace {

using pim::detail::to_u16;
using pim::detail::to_u8;

struct Handle {
  int root;
  std::vector<std::string> path;
};

struct Store {
  std::mutex mutex;
  std::string path;  // file the cache belongs to
  bool loaded = false;
  bool exists = false;
  Tree tree;
  int fd = -1;  // the loaded file stays open so its inode number cannot be reused while cached
  struct stat id {};
  std::map<uintptr_t, Handle> handles;
  uintptr_t next_handle = 0x1000;
  uint64_t generation = 1;  // moves on whenever the cached tree may have changed
};

Store& store() {
  static Store* s = new Store;
  return *s;
}

std::string registry_path() {
  const char* p = getenv("PIM_REGISTRY");
  if (p && *p) return p;
  const char* xdg = getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg) return std::string(xdg) + "/pim/registry.reg";
  const char* home = getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.config/pim/registry.reg";
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

void forget(Store& s) {
  ++s.generation;
  if (s.fd >= 0) close(s.fd);
  s.fd = -1;
  s.loaded = false;
  s.exists = false;
}

// Brings the cache up to date with the file. Store mutex held.
DWORD refresh(Store& s) {
  std::string path = registry_path();
  if (path != s.path) {
    forget(s);
    s.path = path;
  }
  struct stat st;
  // The loaded file is still the one at the path while it keeps its links and its identity:
  // writers rename a new file over it, which leaves the old one with none. An fstat costs no
  // walk of the path, and a host activating a class per item asks this once per activation.
  if (s.loaded && s.exists && s.fd >= 0 && fstat(s.fd, &st) == 0 && st.st_nlink > 0 && same_file(st, s.id))
    return ERROR_SUCCESS;
  if (stat(path.c_str(), &st) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) return ERROR_CANTREAD;
    if (!s.loaded || s.exists) {
      forget(s);
      s.tree = Tree{};
      s.loaded = true;
    }
    return ERROR_SUCCESS;
  }
  if (s.loaded && s.exists && same_file(st, s.id)) return ERROR_SUCCESS;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ERROR_CANTREAD;
  struct stat fst;
  std::string text;
  if (fstat(fd, &fst) != 0) {
    close(fd);
    return ERROR_CANTREAD;
  }
  text.resize(static_cast<size_t>(fst.st_size));
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = pread(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      return ERROR_CANTREAD;
    }
    done += static_cast<size_t>(n);
  }
  Tree tree;
  if (!parse_reg(text, tree, nullptr)) {
    close(fd);
    forget(s);
    return ERROR_REGISTRY_CORRUPT;
  }
  forget(s);
  s.tree = std::move(tree);
  s.fd = fd;
  s.id = fst;
  s.loaded = true;
  s.exists = true;
  return ERROR_SUCCESS;
}

bool make_dirs(const std::string& dir) {
  if (dir.empty()) return true;
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  size_t slash = dir.rfind('/');
  if (slash != std::string::npos && slash > 0 && !make_dirs(dir.substr(0, slash))) return false;
  return mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

// Writes the cached tree to the file: temporary file, fsync, rename. Store mutex and file lock held.
DWORD save(Store& s) {
  std::string text = write_reg(s.tree);
  std::string tmpl = s.path + ".tmp.XXXXXX";
  int fd = mkstemp(tmpl.data());
  if (fd < 0) return ERROR_CANTWRITE;
  size_t done = 0;
  bool ok = true;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  struct stat st;
  ok = ok && fchmod(fd, 0600) == 0 && fsync(fd) == 0 && fstat(fd, &st) == 0 && rename(tmpl.c_str(), s.path.c_str()) == 0;
  if (!ok) {
    close(fd);
    unlink(tmpl.c_str());
    return ERROR_CANTWRITE;
  }
  forget(s);
  s.fd = fd;
  s.id = st;
  s.loaded = true;
  s.exists = true;
  return ERROR_SUCCESS;
}

// Runs one change under the file lock against a freshly read tree. `change` answers an error
// code and whether it changed anything; an unchanged tree is not written.
DWORD modify(Store& s, const std::function<DWORD(Tree&, bool&)>& change) {
  std::string path = registry_path();
  size_t slash = path.rfind('/');
  if (slash != std::string::npos && !make_dirs(path.substr(0, slash))) return ERROR_CANTWRITE;
  int lock = open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock < 0) return ERROR_CANTWRITE;
  while (flock(lock, LOCK_EX) != 0) {
    if (errno != EINTR) {
      close(lock);
      return ERROR_CANTWRITE;
    }
  }
  DWORD err = refresh(s);
  if (err == ERROR_SUCCESS) {
    bool changed = false;
    ++s.generation;
    try {
      err = change(s.tree, changed);
    } catch (...) {
      forget(s);  // the cache may be half changed: read the file again next time
      close(lock);
      throw;
    }
    if (err == ERROR_SUCCESS && changed) {
      err = save(s);
      if (err != ERROR_SUCCESS) forget(s);
    }
  }
  close(lock);  // releases the flock
  return err;
}

int predefined_root(HKEY h) {
  auto v = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(h));
  if (reinterpret_cast<uintptr_t>(h) != static_cast<uintptr_t>(static_cast<intptr_t>(static_cast<int32_t>(v))))
    return -1;
  switch (v) {
    case 0x80000000: return kClassesRoot;
    case 0x80000001: return kCurrentUser;
    case 0x80000002: return kLocalMachine;
    case 0x80000003: return kUsers;
    case 0x80000005: return kCurrentConfig;
    default: return -1;
  }
}

// Splits a subkey path; a leading backslash is refused as on Windows, a trailing one ignored.
DWORD split(const std::string& sub, std::vector<std::string>& parts) {
  if (!sub.empty() && sub[0] == '\\') return ERROR_BAD_PATHNAME;
  size_t start = 0;
  while (start < sub.size()) {
    size_t end = sub.find('\\', start);
    if (end == std::string::npos) end = sub.size();
    if (end == start) return ERROR_BAD_PATHNAME;
    if (end - start > 255) return ERROR_INVALID_PARAMETER;
    parts.push_back(sub.substr(start, end - start));
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

// Where a handle plus a subkey point. Store mutex held.
DWORD locate(Store& s, HKEY h, const char* sub, Handle& out) {
  int root = predefined_root(h);
  if (root >= 0) {
    out = Handle{root, {}};
  } else {
    auto it = s.handles.find(reinterpret_cast<uintptr_t>(h));
    if (it == s.handles.end()) return ERROR_INVALID_HANDLE;
    out = it->second;
  }
  return sub ? split(sub, out.path) : ERROR_SUCCESS;
}

Key* find(Tree& t, const Handle& where, size_t depth) {
  Key* k = &t.roots[where.root];
  for (size_t i = 0; k && i < depth; ++i) k = k->child(where.path[i]);
  return k;
}
Key* find(Tree& t, const Handle& where) { return find(t, where, where.path.size()); }

// The key of an opened handle must still exist; the subkey is then looked up below it.
DWORD resolve(Store& s, HKEY h, const char* sub, Handle& where, size_t& base_depth) {
  DWORD err = locate(s, h, nullptr, where);
  if (err) return err;
  base_depth = where.path.size();
  std::vector<std::string> parts;
  if (sub && (err = split(sub, parts))) return err;
  where.path.insert(where.path.end(), parts.begin(), parts.end());
  return ERROR_SUCCESS;
}

HKEY new_handle(Store& s, Handle h) {
  uintptr_t id = s.next_handle;
  s.next_handle += 4;
  s.handles.emplace(id, std::move(h));
  return reinterpret_cast<HKEY>(id);
}

template <class F>
LSTATUS locked(F&& f) {
  return pim::detail::guard_win32([&]() -> LSTATUS {
    Store& s = store();
    std::lock_guard lock(s.mutex);
    return static_cast<LSTATUS>(f(s));
  });
}

}  // namespace

uint64_t generation() {
  try {
    Store& s = store();
    std::lock_guard lock(s.mutex);
    return refresh(s) == ERROR_SUCCESS ? s.generation : 0;
  } catch (...) {
    return 0;
  }
}

namespace {

// ---- the operations, on UTF-8 names ----

LSTATUS open_key(HKEY h, const char* sub, PHKEY out) {
  if (!out) return ERROR_INVALID_PARAMETER;
  *out = nullptr;
  return locked([&](Store& s) -> DWORD {
    Handle where;
    size_t base;
    DWORD err = resolve(s, h, sub, where, base);
    if (err) return err;
    if ((err = refresh(s))) return err;
    if (!find(s.tree, where, base)) return ERROR_KEY_DELETED;
    if (!find(s.tree, where)) return ERROR_FILE_NOT_FOUND;
    *out = new_handle(s, std::move(where));
    return ERROR_SUCCESS;
  });
}

LSTATUS create_key(HKEY h, const char* sub, PHKEY out, LPDWORD disposition) {
  if (!out || !sub) return ERROR_INVALID_PARAMETER;
  *out = nullptr;
  // The file has no way to write a line break inside a key's path: such a key would make the
  // whole registry unreadable at the next load.
  if (std::strpbrk(sub, "\r\n")) return ERROR_INVALID_PARAMETER;
  return locked([&](Store& s) -> DWORD {
    Handle where;
    size_t base;
    DWORD err = resolve(s, h, sub, where, base);
    if (err) return err;
    DWORD disp = REG_OPENED_EXISTING_KEY;
    if ((err = refresh(s))) return err;
    if (!find(s.tree, where)) {
      err = modify(s, [&](Tree& t, bool& changed) -> DWORD {
        Key* k = find(t, where, base);
        if (!k) return ERROR_KEY_DELETED;
        for (size_t i = base; i < where.path.size(); ++i) {
          auto& slot = k->children[fold(where.path[i])];
          if (!slot) {
            slot = std::make_unique<Key>();
            slot->name = where.path[i];
            changed = true;
          }
          k = slot.get();
        }
        if (changed) disp = REG_CREATED_NEW_KEY;
        return ERROR_SUCCESS;
      });
      if (err) return err;
    }
    if (disposition) *disposition = disp;
    *out = new_handle(s, std::move(where));
    return ERROR_SUCCESS;
  });
}

LSTATUS set_value(HKEY h, const std::string& name, DWORD type, std::vector<unsigned char> data) {
  return locked([&](Store& s) -> DWORD {
    Handle where;
    DWORD err = locate(s, h, nullptr, where);
    if (err) return err;
    return modify(s, [&](Tree& t, bool& changed) -> DWORD {
      Key* k = find(t, where);
      if (!k) return ERROR_KEY_DELETED;
      Value* v = k->find_value(name);
      if (v && v->type == type && v->data == data) return ERROR_SUCCESS;
      if (!v) {
        k->values.push_back(Value{name, type, {}});
        v = &k->values.back();
      }
      v->type = type;
      v->data = std::move(data);
      changed = true;
      return ERROR_SUCCESS;
    });
  });
}

}  // namespace

LSTATUS default_value(HKEY root, const std::string& subkey, DWORD* type, std::vector<unsigned char>* data) {
  return locked([&](Store& s) -> DWORD {
    Handle where;
    size_t base;
    DWORD err = resolve(s, root, subkey.c_str(), where, base);
    if (err) return err;
    if ((err = refresh(s))) return err;
    if (!find(s.tree, where, base)) return ERROR_KEY_DELETED;
    Key* k = find(s.tree, where);
    if (!k) return ERROR_FILE_NOT_FOUND;
    Value* v = k->find_value(std::string());
    if (!v) return ERROR_FILE_NOT_FOUND;
    *type = v->type;
    *data = v->data;
    return ERROR_SUCCESS;
  });
}

namespace {

// Copies a value out under the lock; `convert` turns the stored bytes into what the caller sees.
LSTATUS query_value(HKEY h, const std::string& name, LPDWORD type, LPBYTE data, LPDWORD cb,
                    const std::function<std::vector<unsigned char>(const Value&)>& convert) {
  if (data && !cb) return ERROR_INVALID_PARAMETER;
  return locked([&](Store& s) -> DWORD {
    Handle where;
    DWORD err = locate(s, h, nullptr, where);
    if (err) return err;
    if ((err = refresh(s))) return err;
    Key* k = find(s.tree, where);
    if (!k) return ERROR_KEY_DELETED;
    Value* v = k->find_value(name);
    if (!v) return ERROR_FILE_NOT_FOUND;
    std::vector<unsigned char> bytes = convert(*v);
    if (type) *type = v->type;
    if (!cb) return ERROR_SUCCESS;
    DWORD room = *cb;
    *cb = static_cast<DWORD>(bytes.size());
    if (!data) return ERROR_SUCCESS;
    if (bytes.size() > room) return ERROR_MORE_DATA;
    if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    return ERROR_SUCCESS;
  });
}

LSTATUS delete_value(HKEY h, const std::string& name) {
  return locked([&](Store& s) -> DWORD {
    Handle where;
    DWORD err = locate(s, h, nullptr, where);
    if (err) return err;
    return modify(s, [&](Tree& t, bool& changed) -> DWORD {
      Key* k = find(t, where);
      if (!k) return ERROR_KEY_DELETED;
      std::string f = fold(name);
      auto n = std::erase_if(k->values, [&](const Value& v) { return fold(v.name) == f; });
      if (n == 0) return ERROR_FILE_NOT_FOUND;
      changed = true;
      return ERROR_SUCCESS;
    });
  });
}

// RegDeleteKey (tree = false) or RegDeleteTree (tree = true).
LSTATUS delete_key(HKEY h, const char* sub, bool tree) {
  if (!tree && !sub) return ERROR_INVALID_PARAMETER;
  return locked([&](Store& s) -> DWORD {
    Handle where;
    size_t base;
    DWORD err = resolve(s, h, sub, where, base);
    if (err) return err;
    return modify(s, [&](Tree& t, bool& changed) -> DWORD {
      Key* k = find(t, where);
      if (!k) return find(t, where, base) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
      if (tree && !sub) {  // RegDeleteTree(h, NULL) empties the key and keeps it
        changed = !k->children.empty() || !k->values.empty();
        k->children.clear();
        k->values.clear();
        return ERROR_SUCCESS;
      }
      if (where.path.empty()) return ERROR_ACCESS_DENIED;  // a root key stays
      if (!tree && !k->children.empty()) return ERROR_ACCESS_DENIED;
      Key* parent = find(t, where, where.path.size() - 1);
      parent->children.erase(fold(where.path.back()));
      changed = true;
      return ERROR_SUCCESS;
    });
  });
}

// Reads a key's state for enumeration. Store mutex taken inside.
template <class F>
LSTATUS with_key(HKEY h, F&& f) {
  return locked([&](Store& s) -> DWORD {
    Handle where;
    DWORD err = locate(s, h, nullptr, where);
    if (err) return err;
    if ((err = refresh(s))) return err;
    Key* k = find(s.tree, where);
    if (!k) return ERROR_KEY_DELETED;
    return f(*k);
  });
}

// Copies a name into a character buffer: *cch is the room with the NUL in, the length without it out.
template <class Char>
DWORD copy_name(const std::basic_string<Char>& name, Char* buf, LPDWORD cch) {
  if (!buf || !cch) return ERROR_INVALID_PARAMETER;
  if (name.size() >= *cch) return ERROR_MORE_DATA;
  std::memcpy(buf, name.c_str(), (name.size() + 1) * sizeof(Char));
  *cch = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

std::string name_a(LPCSTR s) { return s ? std::string(s) : std::string(); }
std::string name_w(LPCWSTR s) { return s ? to_u8(s) : std::string(); }

bool is_string_type(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::u16string utf16_of(const std::vector<unsigned char>& bytes) {
  std::u16string w;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) w += static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
  return w;
}

std::vector<unsigned char> bytes_of(const std::u16string& w) {
  std::vector<unsigned char> out;
  out.reserve(w.size() * 2);
  for (char16_t c : w) {
    out.push_back(static_cast<unsigned char>(c & 0xFF));
    out.push_back(static_cast<unsigned char>(c >> 8));
  }
  return out;
}

// What the A functions see of a value: strings in the ANSI code page (UTF-8 here).
std::vector<unsigned char> ansi_view(const Value& v) {
  if (!is_string_type(v.type)) return v.data;
  std::string s = to_u8(utf16_of(v.data));
  return std::vector<unsigned char>(s.begin(), s.end());
}

}  // namespace

}  // namespace pim::reg

using namespace pim::reg;

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
  return open_key(hKey, lpSubKey, phkResult);
}

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
  return pim::detail::guard_win32([&] {
    std::string sub = name_w(lpSubKey);
    return open_key(hKey, lpSubKey ? sub.c_str() : nullptr, phkResult);
  });
}

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM, const LPSECURITY_ATTRIBUTES,
                        PHKEY phkResult, LPDWORD lpdwDisposition) {
  return create_key(hKey, lpSubKey, phkResult, lpdwDisposition);
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM, const LPSECURITY_ATTRIBUTES,
                        PHKEY phkResult, LPDWORD lpdwDisposition) {
  return pim::detail::guard_win32([&] {
    std::string sub = name_w(lpSubKey);
    return create_key(hKey, lpSubKey ? sub.c_str() : nullptr, phkResult, lpdwDisposition);
  });
}

LSTATUS RegCloseKey(HKEY hKey) {
  if (predefined_root(hKey) >= 0) return ERROR_SUCCESS;
  Store& s = store();
  std::lock_guard lock(s.mutex);
  return s.handles.erase(reinterpret_cast<uintptr_t>(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
  if (!lpData && cbData) return ERROR_NOACCESS;
  return pim::detail::guard_win32([&] {
    std::vector<unsigned char> data(lpData, lpData + (lpData ? cbData : 0));
    if (is_string_type(dwType)) {
      // The ANSI text converts to the stored UTF-16 form.
      std::string text(data.begin(), data.end());
      data = bytes_of(to_u16(text));
    }
    return set_value(hKey, name_a(lpValueName), dwType, std::move(data));
  });
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
  if (!lpData && cbData) return ERROR_NOACCESS;
  return pim::detail::guard_win32([&] {
    return set_value(hKey, name_w(lpValueName), dwType,
                     std::vector<unsigned char>(lpData, lpData + (lpData ? cbData : 0)));
  });
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  return query_value(hKey, name_a(lpValueName), lpType, lpData, lpcbData, ansi_view);
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  return pim::detail::guard_win32([&] {
    return query_value(hKey, name_w(lpValueName), lpType, lpData, lpcbData, [](const Value& v) { return v.data; });
  });
}

LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  return pim::detail::guard_win32([&] { return delete_value(hKey, name_a(lpValueName)); });
}
LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  return pim::detail::guard_win32([&] { return delete_value(hKey, name_w(lpValueName)); });
}

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) { return delete_key(hKey, lpSubKey, false); }
LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  return pim::detail::guard_win32([&] {
    std::string sub = name_w(lpSubKey);
    return delete_key(hKey, lpSubKey ? sub.c_str() : nullptr, false);
  });
}
LSTATUS RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) { return delete_key(hKey, lpSubKey, true); }
LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
  return pim::detail::guard_win32([&] {
    std::string sub = name_w(lpSubKey);
    return delete_key(hKey, lpSubKey ? sub.c_str() : nullptr, true);
  });
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD, LPSTR lpClass,
                      LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  return with_key(hKey, [&](Key& k) -> DWORD {
    if (dwIndex >= k.children.size()) return ERROR_NO_MORE_ITEMS;
    auto it = k.children.begin();
    std::advance(it, dwIndex);
    DWORD err = copy_name(it->second->name, lpName, lpcchName);
    if (err) return err;
    if (lpcchClass) {
      if (lpClass && *lpcchClass) *lpClass = 0;
      *lpcchClass = 0;
    }
    if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
  });
}

LSTATUS RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData) {
  if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
  return with_key(hKey, [&](Key& k) -> DWORD {
    if (dwIndex >= k.values.size()) return ERROR_NO_MORE_ITEMS;
    const Value& v = k.values[dwIndex];
    DWORD err = copy_name(v.name, lpValueName, lpcchValueName);
    if (err) return err;
    if (lpType) *lpType = v.type;
    if (lpcbData) {
      std::vector<unsigned char> bytes = ansi_view(v);
      DWORD room = *lpcbData;
      *lpcbData = static_cast<DWORD>(bytes.size());
      if (lpData) {
        if (bytes.size() > room) return ERROR_MORE_DATA;
        if (!bytes.empty()) std::memcpy(lpData, bytes.data(), bytes.size());
      }
    }
    return ERROR_SUCCESS;
  });
}

LSTATUS RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD, LPDWORD lpcSubKeys,
                         LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                         LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                         PFILETIME lpftLastWriteTime) {
  return with_key(hKey, [&](Key& k) -> DWORD {
    if (lpcchClass) {
      if (lpClass && *lpcchClass) *lpClass = 0;
      *lpcchClass = 0;
    }
    DWORD max_sub = 0, max_name = 0, max_data = 0;
    for (auto& [f, c] : k.children) max_sub = std::max<DWORD>(max_sub, static_cast<DWORD>(c->name.size()));
    for (auto& v : k.values) {
      max_name = std::max<DWORD>(max_name, static_cast<DWORD>(v.name.size()));
      max_data = std::max<DWORD>(max_data, static_cast<DWORD>(ansi_view(v).size()));
    }
    if (lpcSubKeys) *lpcSubKeys = static_cast<DWORD>(k.children.size());
    if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = max_sub;
    if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
    if (lpcValues) *lpcValues = static_cast<DWORD>(k.values.size());
    if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = max_name;
    if (lpcbMaxValueLen) *lpcbMaxValueLen = max_data;
    if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
    if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
  });
}
