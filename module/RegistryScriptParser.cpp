#include "RegistryScriptParser.h"

#include <cstring>
#include <new>
#include <vector>

namespace {

enum { kNoModifier = 0, kForceRemove, kNoRemove, kDelete };

bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c; }

bool EqualNoCase(const std::string& a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  return true;
}

// Keys the script may never delete, whatever their modifiers say.
bool IsNeverDeleted(const std::string& name) { return EqualNoCase(name, "CLSID") || EqualNoCase(name, "TYPELIB"); }

HKEY RootFromName(const std::string& name) {
  static const struct {
    const char* shortName;
    const char* longName;
    HKEY key;
  } kRoots[] = {
      {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},      {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
      {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},    {"HKU", "HKEY_USERS", HKEY_USERS},
      {"HKPD", "HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA}, {"HKDD", "HKEY_DYN_DATA", HKEY_DYN_DATA},
      {"HKCC", "HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
  };
  for (const auto& r : kRoots)
    if (EqualNoCase(name, r.shortName) || EqualNoCase(name, r.longName)) return r.key;
  return nullptr;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

HRESULT FromWin32(LONG l) { return l == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32((DWORD)l); }

}  // namespace

HRESULT CRegistryScriptParser::PreProcessBuffer(LPCSTR pszScript, std::string& out) {
  if (pszScript == nullptr) return E_POINTER;
  try {
    out.clear();
    const char* p = pszScript;
    while (*p != '\0') {
      if (*p != '%') {
        out += *p++;
        continue;
      }
      ++p;
      if (*p == '%') {
        out += '%';
        ++p;
        continue;
      }
      const char* end = std::strchr(p, '%');
      if (end == nullptr) return DISP_E_EXCEPTION;
      size_t len = (size_t)(end - p);
      if (len > kMaxMarkerName) return E_FAIL;
      std::string name(p, len);
      LPCSTR value = m_pMap ? m_pMap->StrFromMap(name.c_str()) : nullptr;
      if (value == nullptr) return DISP_E_EXCEPTION;
      out += value;
      p = end + 1;
    }
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CRegistryScriptParser::RegisterBuffer(LPCSTR pszScript, BOOL bRegister) {
  try {
    HRESULT hr = PreProcessBuffer(pszScript, m_text);
    if (FAILED(hr)) return hr;
    return RunRoots(bRegister);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

bool CRegistryScriptParser::AtEnd() {
  if (m_hasPending) return false;
  while (m_pos < m_text.size() && IsSeparator(m_text[m_pos])) ++m_pos;
  return m_pos >= m_text.size();
}

HRESULT CRegistryScriptParser::NextToken(Token& tok) {
  if (m_hasPending) {
    tok = std::move(m_pending);
    m_hasPending = false;
    return S_OK;
  }
  if (AtEnd()) return DISP_E_EXCEPTION;
  tok.text.clear();
  tok.quoted = m_text[m_pos] == '\'';
  if (tok.quoted) {
    ++m_pos;
    for (;;) {
      if (m_pos >= m_text.size()) return DISP_E_EXCEPTION;
      char c = m_text[m_pos++];
      if (c == '\'') {
        if (m_pos < m_text.size() && m_text[m_pos] == '\'') {
          ++m_pos;
        } else {
          break;
        }
      }
      tok.text += c;
      if (tok.text.size() >= kTokenBuffer) return DISP_E_EXCEPTION;
    }
  } else {
    while (m_pos < m_text.size() && !IsSeparator(m_text[m_pos])) {
      tok.text += m_text[m_pos++];
      if (tok.text.size() >= kTokenBuffer) return DISP_E_EXCEPTION;
    }
  }
  return S_OK;
}

void CRegistryScriptParser::PushBack(Token& tok) {
  m_pending = std::move(tok);
  m_hasPending = true;
}

static bool IsPunct(const std::string& text, bool quoted, char c) {
  return !quoted && text.size() == 1 && text[0] == c;
}

void CRegistryScriptParser::NoteUnregisterFailure(HRESULT hr) {
  if (FAILED(hr) && SUCCEEDED(m_hrUnregister)) m_hrUnregister = hr;
}

HRESULT CRegistryScriptParser::RunRoots(BOOL bRegister) {
  m_pos = 0;
  m_hasPending = false;
  m_hrUnregister = S_OK;
  while (!AtEnd()) {
    Token root;
    HRESULT hr = NextToken(root);
    if (FAILED(hr)) return hr;
    HKEY hkRoot = RootFromName(root.text);
    if (hkRoot == nullptr) return DISP_E_EXCEPTION;
    Token brace;
    hr = NextToken(brace);
    if (FAILED(hr)) return hr;
    if (!IsPunct(brace.text, brace.quoted, '{')) return DISP_E_EXCEPTION;

    size_t blockStart = m_pos;
    hr = RunBlock(hkRoot, bRegister ? kRegister : kUnregister, 1);
    if (FAILED(hr)) {
      if (bRegister) {
        // Take back what this block wrote before it failed.
        m_pos = blockStart;
        m_hasPending = false;
        RunBlock(hkRoot, kUnregister, 1);
      }
      return hr;
    }
  }
  return bRegister ? S_OK : m_hrUnregister;
}

HRESULT CRegistryScriptParser::RunBlock(HKEY hkParent, Mode mode, int depth) {
  if (depth > kMaxDepth) return DISP_E_EXCEPTION;
  for (;;) {
    Token tok;
    HRESULT hr = NextToken(tok);
    if (FAILED(hr)) return hr;
    if (IsPunct(tok.text, tok.quoted, '}')) return S_OK;

    int modifier = kNoModifier;
    if (!tok.quoted) {
      if (EqualNoCase(tok.text, "ForceRemove"))
        modifier = kForceRemove;
      else if (EqualNoCase(tok.text, "NoRemove"))
        modifier = kNoRemove;
      else if (EqualNoCase(tok.text, "Delete"))
        modifier = kDelete;
      if (modifier != kNoModifier) {
        hr = NextToken(tok);
        if (FAILED(hr)) return hr;
      }
    }
    if (!tok.quoted && EqualNoCase(tok.text, "Val"))
      hr = RunVal(hkParent, modifier == kNoRemove, mode);
    else
      hr = RunKey(hkParent, tok, modifier, mode, depth);
    if (FAILED(hr)) return hr;
  }
}

HRESULT CRegistryScriptParser::ReadValue(char& type, std::string& text) {
  Token tyTok;
  HRESULT hr = NextToken(tyTok);
  if (FAILED(hr)) return hr;
  type = tyTok.text.size() == 1 ? AsciiUpper(tyTok.text[0]) : '\0';
  if (tyTok.quoted || (type != 'S' && type != 'D' && type != 'B')) return DISP_E_EXCEPTION;
  Token valTok;
  hr = NextToken(valTok);
  if (FAILED(hr)) return hr;
  if (!valTok.quoted) return DISP_E_EXCEPTION;
  text = std::move(valTok.text);
  return S_OK;
}

HRESULT CRegistryScriptParser::WriteValue(HKEY hk, LPCSTR pszName, char type, const std::string& text) {
  LONG l;
  if (type == 'S') {
    l = RegSetValueExA(hk, pszName, 0, REG_SZ, (const BYTE*)text.c_str(), (DWORD)(text.size() + 1));
  } else if (type == 'D') {
    int cch = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (cch <= 0) return DISP_E_TYPEMISMATCH;
    std::vector<OLECHAR> wide((size_t)cch);
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), cch);
    ULONG ul = 0;
    HRESULT hr = VarUI4FromStr(wide.data(), 0, 0, &ul);
    if (FAILED(hr)) return hr;  // never write a number that was not read
    DWORD dw = ul;
    l = RegSetValueExA(hk, pszName, 0, REG_DWORD, (const BYTE*)&dw, sizeof(dw));
  } else {
    if (text.size() % 2 != 0) return E_FAIL;
    std::vector<BYTE> data(text.size() / 2);
    for (size_t i = 0; i < data.size(); ++i) {
      int hi = HexDigit(text[2 * i]);
      int lo = HexDigit(text[2 * i + 1]);
      if (hi < 0 || lo < 0) return E_FAIL;
      data[i] = (BYTE)((hi << 4) | lo);
    }
    l = RegSetValueExA(hk, pszName, 0, REG_BINARY, data.data(), (DWORD)data.size());
  }
  return FromWin32(l);
}

HRESULT CRegistryScriptParser::RunVal(HKEY hkParent, bool bNoRemove, Mode mode) {
  Token name;
  HRESULT hr = NextToken(name);
  if (FAILED(hr)) return hr;
  if (IsPunct(name.text, name.quoted, '=') || IsPunct(name.text, name.quoted, '{') ||
      IsPunct(name.text, name.quoted, '}'))
    return DISP_E_EXCEPTION;
  Token eq;
  hr = NextToken(eq);
  if (FAILED(hr)) return hr;
  if (!IsPunct(eq.text, eq.quoted, '=')) return DISP_E_EXCEPTION;
  char type;
  std::string text;
  hr = ReadValue(type, text);
  if (FAILED(hr)) return hr;

  if (mode == kRegister) return WriteValue(hkParent, name.text.c_str(), type, text);
  if (mode == kUnregister && !bNoRemove) {
    LONG l = RegDeleteValueA(hkParent, name.text.c_str());
    if (l != ERROR_FILE_NOT_FOUND) NoteUnregisterFailure(FromWin32(l));
  }
  return S_OK;
}

HRESULT CRegistryScriptParser::SkipKeyRest(int depth) {
  Token tok;
  HRESULT hr = NextToken(tok);
  if (FAILED(hr)) return hr;
  if (IsPunct(tok.text, tok.quoted, '=')) {
    char type;
    std::string text;
    hr = ReadValue(type, text);
    if (FAILED(hr)) return hr;
    hr = NextToken(tok);
    if (FAILED(hr)) return hr;
  }
  if (IsPunct(tok.text, tok.quoted, '{')) return RunBlock(nullptr, kSkip, depth + 1);
  PushBack(tok);
  return S_OK;
}

HRESULT CRegistryScriptParser::RunKey(HKEY hkParent, Token& name, int modifier, Mode mode, int depth) {
  if (IsPunct(name.text, name.quoted, '=') || IsPunct(name.text, name.quoted, '{') ||
      IsPunct(name.text, name.quoted, '}'))
    return DISP_E_EXCEPTION;
  if (mode == kSkip) return SkipKeyRest(depth);

  const std::string keyName = std::move(name.text);
  const bool bRemoving = modifier == kForceRemove || modifier == kDelete;
  HRESULT hr = S_OK;
  Token tok;

  if (mode == kRegister) {
    if (bRemoving && keyName.find('\\') != std::string::npos) return DISP_E_EXCEPTION;
    if (bRemoving && !IsNeverDeleted(keyName)) RegDeleteTreeA(hkParent, keyName.c_str());  // may not exist
    if (modifier == kDelete) return SkipKeyRest(depth);

    HKEY hk = nullptr;
    LONG l = RegCreateKeyExA(hkParent, keyName.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                             nullptr, &hk, nullptr);
    if (l != ERROR_SUCCESS) return FromWin32(l);
    hr = NextToken(tok);
    if (SUCCEEDED(hr) && IsPunct(tok.text, tok.quoted, '=')) {
      char type;
      std::string text;
      hr = ReadValue(type, text);
      if (SUCCEEDED(hr)) hr = WriteValue(hk, nullptr, type, text);
      if (SUCCEEDED(hr)) hr = NextToken(tok);
    }
    if (SUCCEEDED(hr)) {
      if (IsPunct(tok.text, tok.quoted, '{'))
        hr = RunBlock(hk, kRegister, depth + 1);
      else
        PushBack(tok);
    }
    RegCloseKey(hk);
    return hr;
  }

  // A key that cannot be opened is not there to take back; the walk goes on with the next entry,
  // so that a rollback removes everything it can.
  HKEY hk = nullptr;
  LONG l = RegOpenKeyExA(hkParent, keyName.c_str(), 0, KEY_READ | KEY_WRITE, &hk);
  if (l != ERROR_SUCCESS) return SkipKeyRest(depth);
  hr = NextToken(tok);
  if (SUCCEEDED(hr) && IsPunct(tok.text, tok.quoted, '=')) {
    char type;
    std::string text;
    hr = ReadValue(type, text);
    if (SUCCEEDED(hr)) hr = NextToken(tok);
  }
  if (SUCCEEDED(hr)) {
    if (IsPunct(tok.text, tok.quoted, '{'))
      hr = RunBlock(hk, kUnregister, depth + 1);
    else
      PushBack(tok);
  }
  // Even when the walk of its block stopped at a syntax error the key is taken back: a rollback
  // must not leave the keys that enclose the failing entry.
  DWORD cSubKeys = 0;
  l = RegQueryInfoKeyA(hk, nullptr, nullptr, nullptr, &cSubKeys, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr);
  RegCloseKey(hk);
  if (l != ERROR_SUCCESS) {
    NoteUnregisterFailure(FromWin32(l));
    return hr;
  }
  // A NoRemove key stays even when others' subkeys remain under it: they are not ours to delete.
  if (modifier == kNoRemove || (cSubKeys > 0 && IsNeverDeleted(keyName))) return hr;
  l = cSubKeys > 0 ? RegDeleteTreeA(hkParent, keyName.c_str()) : RegDeleteKeyA(hkParent, keyName.c_str());
  NoteUnregisterFailure(FromWin32(l));
  return hr;
}
