// The registrar: runs the library's registry script (resource 101, type "REGISTRY") with the
// replacement map {"Module" -> the library's path}.
#pragma once
#include <string>
#include <utility>
#include <vector>
#include <windows.h>

#include "RegistryScriptParser.h"

class CRegistrar : public IRegistryReplacementMap {
 public:
  CRegistrar();
  ~CRegistrar();
  CRegistrar(const CRegistrar&) = delete;
  CRegistrar& operator=(const CRegistrar&) = delete;

  // Adds or replaces the value of a %name% marker; names match without regard to case.
  HRESULT AddReplacement(LPCSTR pszKey, LPCSTR pszItem);
  void ClearReplacements();
  LPCSTR StrFromMap(LPCSTR pszKey) override;

  // Runs a script held in memory.
  HRESULT RegisterString(LPCSTR pszScript, BOOL bRegister);
  // Opens szFileName as a data file and runs its resource nID of type szType.
  HRESULT ResourceRegister(LPCSTR szFileName, UINT nID, LPCSTR szType, BOOL bRegister);

 private:
  CRITICAL_SECTION m_csMap;  // guards m_map, held while a script runs
  std::vector<std::pair<std::string, std::string>> m_map;
};

// The library's full path in long form, as GetModuleFileNameA and GetLongPathNameA give it.
HRESULT GetComponentPath(std::string& path);

// Registers (TRUE) or unregisters (FALSE) the entries of the registry script.
HRESULT UpdateRegistryFromResource(BOOL bRegister);
