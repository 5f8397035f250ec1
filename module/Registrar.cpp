#include "Registrar.h"

#include <new>

#include "ObjectFrame.h"

namespace {

bool EqualNoCase(const std::string& a, LPCSTR b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = (char)(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = (char)(y - 'a' + 'A');
    if (x != y) return false;
  }
  return i == a.size() && b[i] == '\0';
}

HRESULT LastErrorHResult() {
  DWORD err = GetLastError();
  return err == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(err);
}

// The handle of the library holding this code.
HMODULE ComponentModule() {
  if (_Module.m_hInst != nullptr) return _Module.m_hInst;
  HMODULE h = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&ComponentModule), &h);
  return h;
}

class CMapLock {
 public:
  explicit CMapLock(CRITICAL_SECTION* cs) : m_cs(cs) { EnterCriticalSection(m_cs); }
  ~CMapLock() { LeaveCriticalSection(m_cs); }
  CMapLock(const CMapLock&) = delete;
  CMapLock& operator=(const CMapLock&) = delete;

 private:
  CRITICAL_SECTION* m_cs;
};

}  // namespace

CRegistrar::CRegistrar() { InitializeCriticalSection(&m_csMap); }

CRegistrar::~CRegistrar() { DeleteCriticalSection(&m_csMap); }

HRESULT CRegistrar::AddReplacement(LPCSTR pszKey, LPCSTR pszItem) {
  if (pszKey == nullptr || pszItem == nullptr) return E_INVALIDARG;
  try {
    CMapLock lock(&m_csMap);
    for (auto& entry : m_map) {
      if (EqualNoCase(entry.first, pszKey)) {
        entry.second = pszItem;
        return S_OK;
      }
    }
    m_map.emplace_back(pszKey, pszItem);
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

void CRegistrar::ClearReplacements() {
  CMapLock lock(&m_csMap);
  m_map.clear();
}

LPCSTR CRegistrar::StrFromMap(LPCSTR pszKey) {
  CMapLock lock(&m_csMap);
  for (const auto& entry : m_map)
    if (EqualNoCase(entry.first, pszKey)) return entry.second.c_str();
  return nullptr;
}

HRESULT CRegistrar::RegisterString(LPCSTR pszScript, BOOL bRegister) {
  CMapLock lock(&m_csMap);
  CRegistryScriptParser parser(this);
  return parser.RegisterBuffer(pszScript, bRegister);
}

HRESULT CRegistrar::ResourceRegister(LPCSTR szFileName, UINT nID, LPCSTR szType, BOOL bRegister) {
  HMODULE hInst = LoadLibraryExA(szFileName, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (hInst == nullptr) return LastErrorHResult();
  HRESULT hr = S_OK;
  HRSRC hrsrc = FindResourceA(hInst, MAKEINTRESOURCEA(nID), szType);
  HGLOBAL hg = hrsrc ? LoadResource(hInst, hrsrc) : nullptr;
  const char* p = hg ? static_cast<const char*>(LockResource(hg)) : nullptr;
  if (p == nullptr) {
    hr = LastErrorHResult();
  } else {
    try {
      // The resource need not end with a NUL: the parser gets a terminated copy.
      std::string script(p, SizeofResource(hInst, hrsrc));
      hr = RegisterString(script.c_str(), bRegister);
    } catch (const std::bad_alloc&) {
      hr = E_OUTOFMEMORY;
    }
  }
  FreeLibrary(hInst);
  return hr;
}

HRESULT GetComponentPath(std::string& path) {
  char szModule[MAX_PATH];
  DWORD n = GetModuleFileNameA(ComponentModule(), szModule, MAX_PATH);
  if (n == 0) return LastErrorHResult();
  if (n >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  // A library loaded into another process may have been named by its short path.
  char szLong[MAX_PATH];
  DWORD nLong = GetLongPathNameA(szModule, szLong, MAX_PATH);
  if (nLong >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  try {
    path = nLong != 0 ? szLong : szModule;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT UpdateRegistryFromResource(BOOL bRegister) {
  try {
    std::string path;
    HRESULT hr = GetComponentPath(path);
    if (FAILED(hr)) return hr;
    // The path is substituted inside a quoted script value: its quotes are doubled there.
    std::string escaped;
    for (char c : path) {
      escaped += c;
      if (c == '\'') escaped += '\'';
    }
    CRegistrar registrar;
    hr = registrar.AddReplacement("Module", escaped.c_str());
    if (FAILED(hr)) return hr;
    return registrar.ResourceRegister(path.c_str(), 101, "REGISTRY", bRegister);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}
