// Fuzzes the registry script parser: preprocessing, tokens, the register walk with its rollback and
// the unregister walk, against a scratch registry.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "RegistryScriptParser.h"
#include "registry_internal.h"
#include "scratch.h"

namespace {

struct Map : IRegistryReplacementMap {
  LPCSTR StrFromMap(LPCSTR key) override {
    if (lstrcmpiA(key, "Module") == 0) return "/tmp/it''s/libVYN_PIM_OUTLOOK.so";
    if (lstrcmpiA(key, "Empty") == 0) return "";
    return nullptr;
  }
};

const HKEY kRoots[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CURRENT_CONFIG};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::isolate();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the walks; the rest is the script, cut at its first NUL as a resource copy is.
  const bool registerFirst = (data[0] & 1) != 0;
  std::string script(reinterpret_cast<const char*>(data + 1), size - 1);
  Map map;
  CRegistryScriptParser parser(&map);
  if (registerFirst) parser.RegisterBuffer(script.c_str(), TRUE);
  parser.RegisterBuffer(script.c_str(), FALSE);
  // Whatever the script made, the registry's file still reads back.
  std::ifstream in(fuzz::scratchPath("registry.reg"), std::ios::binary);
  std::stringstream file;
  file << in.rdbuf();
  pim::reg::Tree tree;
  std::string why;
  if (in && !pim::reg::parse_reg(file.str(), tree, &why)) {
    fprintf(stderr, "the registry file no longer reads: %s\n%s\n", why.c_str(), file.str().c_str());
    std::abort();
  }
  for (HKEY root : kRoots) RegDeleteTreeA(root, nullptr);
  return 0;
}
