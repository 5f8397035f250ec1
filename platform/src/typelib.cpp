// Type libraries: LoadTypeLib, the library-level ITypeLib, RegisterTypeLib, UnRegisterTypeLib.
//
// The registry entries are those oleaut32 writes: HKCR\TypeLib\{libid}\maj.min (help string) with
// <lcid hex>\win32 (path), FLAGS and HELPDIR; and HKCR\Interface\{iid} only for dispinterfaces and
// [oleautomation]/[dual] interfaces, which are the ones the universal marshaler can serve. Plain
// IUnknown interfaces of a library get no Interface key from it.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <vector>

#include "internal.h"
#include "typelib_format.h"

#ifndef TYPE_E_INVALIDSTATE
#define TYPE_E_INVALIDSTATE _HRESULT_TYPEDEF_(0x80028029L)
#endif

namespace pim::tlb {

namespace {

constexpr WORD kTypeFlagDual = 0x40;
constexpr WORD kTypeFlagOleAutomation = 0x100;
constexpr uint64_t kMaxFileSize = 64u << 20;
constexpr char kTypeLibPsOleAut[] = "{00020424-0000-0000-C000-000000000046}";
constexpr char kTypeLibPsDispatch[] = "{00020420-0000-0000-C000-000000000046}";

// {6A1F3B52-2C47-4F0B-9B7E-5D3C0E8A41F7}: reaches the data behind an ITypeLib of this platform.
const IID IID_PimTypeLibData = {0x6A1F3B52, 0x2C47, 0x4F0B, {0x9B, 0x7E, 0x5D, 0x3C, 0x0E, 0x8A, 0x41, 0xF7}};

// A string of the library, which may be absent.
struct Str {
  bool present = false;
  std::u16string text;
  explicit operator bool() const { return present; }
};

struct TypeDesc {
  TYPEKIND kind = TKIND_ENUM;
  WORD flags = 0;
  GUID guid{};
  Str name, doc;
};

struct LibData {
  TLIBATTR attr{};
  DWORD helpContext = 0;
  Str name, doc, helpFile;
  std::vector<TypeDesc> types;
};

class Reader {
 public:
  Reader(const std::vector<BYTE>& b) : m_b(b) {}
  bool ok() const { return m_ok; }
  bool done() const { return m_ok && m_pos == m_b.size(); }
  bool bytes(void* out, size_t n) {
    if (!m_ok || n > m_b.size() - m_pos) return m_ok = false;
    std::memcpy(out, m_b.data() + m_pos, n);
    m_pos += n;
    return true;
  }
  uint32_t u32() {
    BYTE p[4] = {};
    bytes(p, 4);
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
  }
  uint16_t u16() {
    BYTE p[2] = {};
    bytes(p, 2);
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
  }
  GUID guid() {
    GUID g{};
    g.Data1 = u32();
    g.Data2 = u16();
    g.Data3 = u16();
    bytes(g.Data4, 8);
    return g;
  }
  Str str() {
    Str out;
    uint32_t n = u32();
    if (!m_ok || n == kNoString) return out;
    if (n > m_b.size() - m_pos) {
      m_ok = false;
      return out;
    }
    if (!pim::detail::utf8_to_utf16(std::string_view(reinterpret_cast<const char*>(m_b.data() + m_pos), n),
                                    out.text, true))
      m_ok = false;
    out.present = true;
    m_pos += n;
    return out;
  }

 private:
  const std::vector<BYTE>& m_b;
  size_t m_pos = 0;
  bool m_ok = true;
};

HRESULT parse(const std::vector<BYTE>& bytes, LibData& lib) {
  Reader r(bytes);
  char magic[8];
  if (!r.bytes(magic, 8) || std::memcmp(magic, kMagic, 8) != 0) return TYPE_E_UNSUPFORMAT;
  lib.attr.guid = r.guid();
  lib.attr.lcid = r.u32();
  const uint16_t syskind = r.u16();
  if (syskind > SYS_WIN64) return TYPE_E_INVDATAREAD;  // no SYSKIND may hold another value
  lib.attr.syskind = static_cast<SYSKIND>(syskind);
  lib.attr.wMajorVerNum = r.u16();
  lib.attr.wMinorVerNum = r.u16();
  lib.attr.wLibFlags = r.u16();
  lib.helpContext = r.u32();
  lib.name = r.str();
  lib.doc = r.str();
  lib.helpFile = r.str();
  uint32_t count = r.u32();
  if (!r.ok() || count > bytes.size() / 24) return TYPE_E_INVDATAREAD;
  for (uint32_t i = 0; i < count && r.ok(); ++i) {
    TypeDesc t;
    uint16_t kind = r.u16();
    if (kind >= TKIND_MAX) return TYPE_E_INVDATAREAD;
    t.kind = static_cast<TYPEKIND>(kind);
    t.flags = r.u16();
    t.guid = r.guid();
    t.name = r.str();
    t.doc = r.str();
    lib.types.push_back(std::move(t));
  }
  return r.done() ? S_OK : TYPE_E_INVDATAREAD;
}

BSTR alloc_bstr(const Str& s) {
  return s ? SysAllocStringLen(s.text.data(), static_cast<UINT>(s.text.size())) : nullptr;
}

class CTypeLib final : public ITypeLib {
 public:
  explicit CTypeLib(LibData data) : m_data(std::move(data)) {}
  const LibData& data() const { return m_data; }

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_ITypeLib) && !IsEqualIID(riid, IID_PimTypeLibData))
      return E_NOINTERFACE;
    AddRef();
    *ppv = static_cast<ITypeLib*>(this);
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return m_ref.fetch_add(1, std::memory_order_relaxed) + 1; }
  STDMETHODIMP_(ULONG) Release() override {
    ULONG n = m_ref.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (n == 0) delete this;
    return n;
  }

  STDMETHODIMP_(UINT) GetTypeInfoCount() override { return static_cast<UINT>(m_data.types.size()); }
  STDMETHODIMP GetTypeInfo(UINT index, ITypeInfo** pp) override {
    if (!pp) return E_INVALIDARG;
    *pp = nullptr;
    return index < m_data.types.size() ? E_NOTIMPL : TYPE_E_ELEMENTNOTFOUND;
  }
  STDMETHODIMP GetTypeInfoType(UINT index, TYPEKIND* pKind) override {
    if (!pKind) return E_INVALIDARG;
    if (index >= m_data.types.size()) return TYPE_E_ELEMENTNOTFOUND;
    *pKind = m_data.types[index].kind;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** pp) override {
    if (!pp) return E_INVALIDARG;
    *pp = nullptr;
    for (const TypeDesc& t : m_data.types)
      if (IsEqualGUID(t.guid, guid)) return E_NOTIMPL;
    return TYPE_E_ELEMENTNOTFOUND;
  }
  STDMETHODIMP GetLibAttr(TLIBATTR** pp) override {
    if (!pp) return E_INVALIDARG;
    auto* a = static_cast<TLIBATTR*>(CoTaskMemAlloc(sizeof(TLIBATTR)));
    if (!a) return E_OUTOFMEMORY;
    *a = m_data.attr;
    *pp = a;
    return S_OK;
  }
  STDMETHODIMP GetTypeComp(ITypeComp** pp) override {
    if (pp) *pp = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetDocumentation(INT index, BSTR* pName, BSTR* pDoc, DWORD* pHelpContext, BSTR* pHelpFile) override {
    if (index < -1 || (index >= 0 && static_cast<size_t>(index) >= m_data.types.size())) return TYPE_E_ELEMENTNOTFOUND;
    const bool lib = index == -1;
    const auto& name = lib ? m_data.name : m_data.types[index].name;
    const auto& doc = lib ? m_data.doc : m_data.types[index].doc;
    if (pName && !(*pName = alloc_bstr(name)) && name) return E_OUTOFMEMORY;
    if (pDoc && !(*pDoc = alloc_bstr(doc)) && doc) {
      if (pName) SysFreeString(*pName), *pName = nullptr;
      return E_OUTOFMEMORY;
    }
    if (pHelpContext) *pHelpContext = lib ? m_data.helpContext : 0;
    if (pHelpFile && !(*pHelpFile = alloc_bstr(m_data.helpFile)) && m_data.helpFile) {
      if (pName) SysFreeString(*pName), *pName = nullptr;
      if (pDoc) SysFreeString(*pDoc), *pDoc = nullptr;
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }
  STDMETHODIMP IsName(LPOLESTR, ULONG, BOOL* pfName) override {
    if (pfName) *pfName = FALSE;
    return E_NOTIMPL;
  }
  STDMETHODIMP FindName(LPOLESTR, ULONG, ITypeInfo**, DISPID*, USHORT* pcFound) override {
    if (pcFound) *pcFound = 0;
    return E_NOTIMPL;
  }
  STDMETHODIMP_(void) ReleaseTLibAttr(TLIBATTR* p) override { CoTaskMemFree(p); }

 private:
  ~CTypeLib() = default;
  std::atomic<ULONG> m_ref{1};
  LibData m_data;
};

bool read_file(const std::string& path, std::vector<BYTE>& out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  f.seekg(0, std::ios::end);
  std::streamoff size = f.tellg();
  if (size < 0 || static_cast<uint64_t>(size) > kMaxFileSize) return false;
  f.seekg(0);
  out.resize(static_cast<size_t>(size));
  return static_cast<bool>(f.read(reinterpret_cast<char*>(out.data()), size));
}

// The TYPELIB resource 1 of a library file.
bool read_resource(const std::string& path, std::vector<BYTE>& out) {
  HMODULE h = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!h) return false;
  bool ok = false;
  if (HRSRC r = FindResourceA(h, MAKEINTRESOURCEA(1), "TYPELIB")) {
    const BYTE* p = static_cast<const BYTE*>(LockResource(LoadResource(h, r)));
    DWORD n = SizeofResource(h, r);
    if (p) {
      out.assign(p, p + n);
      ok = true;
    }
  }
  DWORD err = GetLastError();
  FreeLibrary(h);
  SetLastError(err);
  return ok;
}

const LibData* data_of(ITypeLib* ptlib) {
  void* p = nullptr;
  if (FAILED(ptlib->QueryInterface(IID_PimTypeLibData, &p)) || !p) return nullptr;
  auto* impl = static_cast<CTypeLib*>(static_cast<ITypeLib*>(p));
  impl->Release();  // the caller's own reference keeps it alive
  return &impl->data();
}

std::string version_key(const GUID& libid, WORD major, WORD minor) {
  char v[16];
  std::snprintf(v, sizeof v, "\\%x.%x", major, minor);
  return "TypeLib\\" + pim::detail::guid_to_string(libid) + v;
}

const char* syskind_name(SYSKIND k) {
  switch (k) {
    case SYS_WIN16: return "win16";
    case SYS_WIN32: return "win32";
    case SYS_WIN64: return "win64";
    default: return nullptr;
  }
}

std::string lcid_key(LCID lcid, SYSKIND k) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%x\\", lcid);
  return std::string(buf) + syskind_name(k);
}

bool set_default(HKEY parent, const std::string& sub, const std::string& value, DWORD* disposition = nullptr) {
  HKEY k;
  if (RegCreateKeyExA(parent, sub.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k, disposition) != ERROR_SUCCESS)
    return false;
  bool ok = RegSetValueExA(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
  RegCloseKey(k);
  return ok;
}

bool registers_interface(const TypeDesc& t) {
  return (t.kind == TKIND_INTERFACE && (t.flags & kTypeFlagOleAutomation)) || t.kind == TKIND_DISPATCH;
}

void register_interface(const LibData& lib, const TypeDesc& t) {
  const std::string key = "Interface\\" + pim::detail::guid_to_string(t.guid);
  HKEY k;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr) != ERROR_SUCCESS)
    return;
  const char* ps = (t.kind == TKIND_INTERFACE || (t.flags & kTypeFlagDual)) ? kTypeLibPsOleAut : kTypeLibPsDispatch;
  if (t.name) {
    std::string name = pim::detail::to_u8(t.name.text);
    RegSetValueExA(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                   static_cast<DWORD>(name.size() + 1));
  }
  set_default(k, "ProxyStubClsid", ps);
  set_default(k, "ProxyStubClsid32", ps);
  HKEY tl;
  if (RegCreateKeyExA(k, "TypeLib", 0, nullptr, 0, KEY_WRITE, nullptr, &tl, nullptr) == ERROR_SUCCESS) {
    std::string libid = pim::detail::guid_to_string(lib.attr.guid);
    char ver[16];
    std::snprintf(ver, sizeof ver, "%x.%x", lib.attr.wMajorVerNum, lib.attr.wMinorVerNum);
    RegSetValueExA(tl, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(libid.c_str()),
                   static_cast<DWORD>(libid.size() + 1));
    RegSetValueExA(tl, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(ver), static_cast<DWORD>(strlen(ver) + 1));
    RegCloseKey(tl);
  }
  RegCloseKey(k);
}

void unregister_interface(const GUID& iid) {
  const std::string key = "Interface\\" + pim::detail::guid_to_string(iid);
  HKEY k;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_WRITE, &k) != ERROR_SUCCESS) return;
  RegDeleteKeyA(k, "ProxyStubClsid");
  RegDeleteKeyA(k, "ProxyStubClsid32");
  RegDeleteKeyA(k, "TypeLib");
  RegCloseKey(k);
  RegDeleteKeyA(HKEY_CLASSES_ROOT, key.c_str());  // kept when someone else left subkeys under it
}

HRESULT load(const std::u16string& file, ITypeLib** pptlib) {
  std::string path = pim::detail::to_u8(file);
  std::vector<BYTE> bytes;
  {
    std::ifstream f(path, std::ios::binary);
    char head[4] = {};
    if (!f || !f.read(head, 4)) return TYPE_E_CANTLOADLIBRARY;
    bool elf = std::memcmp(head, "\x7f" "ELF", 4) == 0;
    if (!(elf ? read_resource(path, bytes) : read_file(path, bytes))) return TYPE_E_CANTLOADLIBRARY;
  }
  LibData lib;
  HRESULT hr = parse(bytes, lib);
  if (FAILED(hr)) return hr;
  *pptlib = new CTypeLib(std::move(lib));
  return S_OK;
}

}  // namespace

}  // namespace pim::tlb

using namespace pim::tlb;

HRESULT LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib) {
  if (!szFile || !pptlib) return E_INVALIDARG;
  *pptlib = nullptr;
  return pim::detail::guard([&] { return load(std::u16string(pim::detail::u16_view(szFile)), pptlib); });
}

HRESULT RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir) {
  if (!ptlib || !szFullPath) return E_INVALIDARG;
  return pim::detail::guard([&]() -> HRESULT {
    TLIBATTR* attr = nullptr;
    if (FAILED(ptlib->GetLibAttr(&attr)) || !attr) return E_FAIL;
    const TLIBATTR a = *attr;
    ptlib->ReleaseTLibAttr(attr);
    if (!syskind_name(a.syskind)) return E_FAIL;

    HKEY key;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, version_key(a.guid, a.wMajorVerNum, a.wMinorVerNum).c_str(), 0, nullptr, 0,
                        KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
      return TYPE_E_REGISTRYACCESS;
    HRESULT hr = S_OK;

    // The key's default value is the help string, else the library's name.
    BSTR name = nullptr, doc = nullptr;
    if (FAILED(ptlib->GetDocumentation(-1, &name, &doc, nullptr, nullptr))) {
      hr = E_FAIL;
    } else if (doc || name) {
      std::string text = pim::detail::to_u8(pim::detail::u16_view(doc ? doc : name));
      if (RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                         static_cast<DWORD>(text.size() + 1)) != ERROR_SUCCESS)
        hr = TYPE_E_REGISTRYACCESS;
    }
    SysFreeString(name);
    SysFreeString(doc);

    const std::string path = pim::detail::to_u8(pim::detail::u16_view(szFullPath));
    if (hr == S_OK && !set_default(key, lcid_key(a.lcid, a.syskind), path)) hr = TYPE_E_REGISTRYACCESS;
    char flags[16];
    std::snprintf(flags, sizeof flags, "%u", static_cast<unsigned>(a.wLibFlags & ~LIBFLAG_FHASDISKIMAGE));
    if (hr == S_OK && !set_default(key, "FLAGS", flags)) hr = TYPE_E_REGISTRYACCESS;
    if (hr == S_OK) {
      HKEY help;
      DWORD disposition = 0;
      if (RegCreateKeyExA(key, "HELPDIR", 0, nullptr, 0, KEY_WRITE, nullptr, &help, &disposition) != ERROR_SUCCESS) {
        hr = TYPE_E_REGISTRYACCESS;
      } else {
        // Without a help directory a new key gets the library's own directory; an existing one is left alone.
        std::optional<std::string> dir;
        if (szHelpDir) {
          dir = pim::detail::to_u8(pim::detail::u16_view(szHelpDir));
        } else if (disposition == REG_CREATED_NEW_KEY) {
          size_t slash = path.find_last_of("/\\");
          dir = slash == std::string::npos ? std::string() : path.substr(0, slash);
        }
        if (dir && RegSetValueExA(help, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(dir->c_str()),
                                  static_cast<DWORD>(dir->size() + 1)) != ERROR_SUCCESS)
          hr = TYPE_E_REGISTRYACCESS;
        RegCloseKey(help);
      }
    }
    RegCloseKey(key);

    if (const LibData* lib = data_of(ptlib)) {
      for (const TypeDesc& t : lib->types)
        if (registers_interface(t)) register_interface(*lib, t);
    }
    return hr;
  });
}

HRESULT UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid, SYSKIND syskind) {
  if (!syskind_name(syskind)) return E_INVALIDARG;
  return pim::detail::guard([&]() -> HRESULT {
    const std::string keyName = version_key(libID, wVerMajor, wVerMinor);
    const std::string pathKey = lcid_key(lcid, syskind);
    HKEY key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, keyName.c_str(), 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS)
      return E_INVALIDARG;

    // The registered file tells which interfaces to take back.
    char path[4096];
    DWORD cb = sizeof path;
    HKEY pk;
    bool found = RegOpenKeyExA(key, pathKey.c_str(), 0, KEY_READ, &pk) == ERROR_SUCCESS;
    if (found) {
      DWORD type = 0;
      found = RegQueryValueExA(pk, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(path), &cb) == ERROR_SUCCESS &&
              type == REG_SZ && cb > 0;
      RegCloseKey(pk);
    }
    if (!found) {
      RegCloseKey(key);
      return E_INVALIDARG;
    }
    path[sizeof path - 1] = '\0';
    ITypeLib* tl = nullptr;
    if (FAILED(load(pim::detail::to_u16(path), &tl))) {
      RegCloseKey(key);
      return TYPE_E_INVALIDSTATE;
    }
    if (const LibData* lib = data_of(tl)) {
      for (const TypeDesc& t : lib->types)
        if (registers_interface(t)) unregister_interface(t.guid);
    }
    tl->Release();

    RegDeleteKeyA(key, pathKey.c_str());
    RegDeleteKeyA(key, pathKey.substr(0, pathKey.find('\\')).c_str());

    // Only FLAGS and HELPDIR left means nobody else registered under this version.
    bool onlyOurs = true;
    char sub[256];
    for (DWORD i = 0;; ++i) {
      DWORD cch = sizeof sub;
      if (RegEnumKeyExA(key, i, sub, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      if (std::strcmp(sub, "FLAGS") != 0 && std::strcmp(sub, "HELPDIR") != 0) {
        onlyOurs = false;
        break;
      }
    }
    if (onlyOurs) {
      RegDeleteKeyA(key, "FLAGS");
      RegDeleteKeyA(key, "HELPDIR");
    }
    RegCloseKey(key);
    if (onlyOurs) {
      RegDeleteKeyA(HKEY_CLASSES_ROOT, keyName.c_str());
      RegDeleteKeyA(HKEY_CLASSES_ROOT, keyName.substr(0, keyName.rfind('\\')).c_str());
    }
    return S_OK;
  });
}
