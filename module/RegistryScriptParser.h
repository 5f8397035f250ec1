// The registry script language: %name% replacement, then root blocks of keys and values that are
// written (register) or taken back (unregister) through the Reg* functions.
#pragma once
#include <string>
#include <windows.h>

// Answers a %name% marker; null when the name is unknown.
struct IRegistryReplacementMap {
  virtual LPCSTR StrFromMap(LPCSTR pszKey) = 0;

 protected:
  ~IRegistryReplacementMap() = default;
};

class CRegistryScriptParser {
 public:
  // A %name% marker may name at most this many characters.
  static const size_t kMaxMarkerName = 31;
  // Every token must fit a buffer of this many bytes, its terminating NUL included.
  static const size_t kTokenBuffer = 4096;
  // Nesting beyond this is refused: the registry itself allows no deeper keys.
  static const int kMaxDepth = 512;

  explicit CRegistryScriptParser(IRegistryReplacementMap* pMap) : m_pMap(pMap) {}

  // Replaces each %name% marker (case-insensitive lookup) and %% by one %.
  HRESULT PreProcessBuffer(LPCSTR pszScript, std::string& out);
  // Preprocesses and runs the whole script. A root block that fails while registering is walked
  // again in unregister mode before the failure is returned. Unregistering skips keys it cannot
  // open and keeps going past deletions that fail, returning the first such failure at the end.
  HRESULT RegisterBuffer(LPCSTR pszScript, BOOL bRegister);

 private:
  enum Mode { kRegister, kUnregister, kSkip };
  struct Token {
    std::string text;
    bool quoted = false;
  };

  HRESULT NextToken(Token& tok);
  void PushBack(Token& tok);
  bool AtEnd();
  HRESULT RunRoots(BOOL bRegister);
  HRESULT RunBlock(HKEY hkParent, Mode mode, int depth);
  HRESULT RunKey(HKEY hkParent, Token& name, int modifier, Mode mode, int depth);
  HRESULT RunVal(HKEY hkParent, bool bNoRemove, Mode mode);
  HRESULT ReadValue(char& type, std::string& text);
  HRESULT SkipKeyRest(int depth);
  static HRESULT WriteValue(HKEY hk, LPCSTR pszName, char type, const std::string& text);
  // Unregistering goes on past a key or value it cannot delete and reports the first such failure.
  void NoteUnregisterFailure(HRESULT hr);

  IRegistryReplacementMap* m_pMap;
  std::string m_text;
  size_t m_pos = 0;
  Token m_pending;
  bool m_hasPending = false;
  HRESULT m_hrUnregister = S_OK;
};
