// regsvr [-u] LIBRARY: loads a COM server library and calls its DllRegisterServer (or, with -u,
// DllUnregisterServer), then says what the result means. Exit status 0 only on success.
#include <cstdio>
#include <cstring>
#include <string>

#include <windows.h>

namespace {

enum Exit { kOk = 0, kUsage = 1, kLoadFailed = 3, kNoEntryPoint = 4, kCallFailed = 5 };

struct Known {
  HRESULT hr;
  const char* name;
  const char* words;
};

const Known kKnown[] = {
    {S_OK, "S_OK", "success"},
    {S_FALSE, "S_FALSE", "success, nothing to do"},
    {E_FAIL, "E_FAIL", "unspecified failure"},
    {E_NOTIMPL, "E_NOTIMPL", "not implemented"},
    {E_OUTOFMEMORY, "E_OUTOFMEMORY", "out of memory"},
    {E_INVALIDARG, "E_INVALIDARG", "an argument is invalid"},
    {E_ACCESSDENIED, "E_ACCESSDENIED", "access denied"},
    {E_POINTER, "E_POINTER", "invalid pointer"},
    {E_UNEXPECTED, "E_UNEXPECTED", "unexpected failure"},
    {DISP_E_EXCEPTION, "DISP_E_EXCEPTION", "the registry script is malformed or names an unknown replacement"},
    {DISP_E_TYPEMISMATCH, "DISP_E_TYPEMISMATCH", "a number in the registry script cannot be read"},
    {DISP_E_OVERFLOW, "DISP_E_OVERFLOW", "a number in the registry script is too large"},
    {SELFREG_E_TYPELIB, "SELFREG_E_TYPELIB", "the type library could not be registered"},
    {SELFREG_E_CLASS, "SELFREG_E_CLASS", "the classes could not be registered"},
    {REGDB_E_WRITEREGDB, "REGDB_E_WRITEREGDB", "the registry could not be written"},
    {REGDB_E_READREGDB, "REGDB_E_READREGDB", "the registry could not be read"},
    {TYPE_E_CANTLOADLIBRARY, "TYPE_E_CANTLOADLIBRARY", "the type library could not be loaded"},
    {TYPE_E_REGISTRYACCESS, "TYPE_E_REGISTRYACCESS", "the registry could not be written for the type library"},
    {TYPE_E_INVDATAREAD, "TYPE_E_INVDATAREAD", "the type library is damaged"},
    {TYPE_E_UNSUPFORMAT, "TYPE_E_UNSUPFORMAT", "the type library has an unknown format"},
    {TYPE_E_LIBNOTREGISTERED, "TYPE_E_LIBNOTREGISTERED", "the type library is not registered"},
    {HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "ERROR_FILE_NOT_FOUND", "the file was not found"},
    {HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), "ERROR_PATH_NOT_FOUND", "the path was not found"},
    {HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), "ERROR_ACCESS_DENIED", "access denied"},
    {HRESULT_FROM_WIN32(ERROR_BAD_FORMAT), "ERROR_BAD_FORMAT", "the file is not a library"},
    {HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY), "ERROR_NOT_ENOUGH_MEMORY", "out of memory"},
    {HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), "ERROR_INSUFFICIENT_BUFFER", "the library's path is too long"},
    {HRESULT_FROM_WIN32(ERROR_RESOURCE_DATA_NOT_FOUND), "ERROR_RESOURCE_DATA_NOT_FOUND",
     "the library carries no resources"},
    {HRESULT_FROM_WIN32(ERROR_RESOURCE_TYPE_NOT_FOUND), "ERROR_RESOURCE_TYPE_NOT_FOUND",
     "the library carries no registry script"},
    {HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND), "ERROR_RESOURCE_NAME_NOT_FOUND",
     "the library's registry script resource is missing"},
    {HRESULT_FROM_WIN32(ERROR_REGISTRY_IO_FAILED), "ERROR_REGISTRY_IO_FAILED", "the registry file could not be written"},
    {HRESULT_FROM_WIN32(ERROR_CANTWRITE), "ERROR_CANTWRITE", "the registry could not be written"},
    {HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), "ERROR_MOD_NOT_FOUND", "the library was not found"},
    {HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT), "ERROR_BAD_EXE_FORMAT", "the file is not a loadable library"},
    {HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND), "ERROR_PROC_NOT_FOUND", "the entry point was not found"},
};

std::string Describe(HRESULT hr) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(hr));
  for (const Known& k : kKnown)
    if (k.hr == hr) return std::string(k.name) + " (" + hex + "): " + k.words;
  return std::string(hex) + (FAILED(hr) ? ": failure" : ": success");
}

int Usage() {
  std::fprintf(stderr, "usage: regsvr [-u] LIBRARY\n  registers a COM server library; -u unregisters it\n");
  return kUsage;
}

}  // namespace

int main(int argc, char** argv) {
  bool unregister = false;
  const char* library = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-u") == 0 || std::strcmp(argv[i], "/u") == 0) {
      unregister = true;
    } else if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
      Usage();
      return kOk;
    } else if (library == nullptr && argv[i][0] != '-') {
      library = argv[i];
    } else {
      return Usage();
    }
  }
  if (library == nullptr) return Usage();

  const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  HMODULE h = LoadLibraryA(library);
  if (h == nullptr) {
    std::fprintf(stderr, "regsvr: %s: cannot load: %s\n", library, Describe(HRESULT_FROM_WIN32(GetLastError())).c_str());
    return kLoadFailed;
  }
  typedef HRESULT(STDAPICALLTYPE * PFNDLLREGISTER)(void);
  PFNDLLREGISTER pfn = reinterpret_cast<PFNDLLREGISTER>(reinterpret_cast<void (*)(void)>(GetProcAddress(h, entry)));
  if (pfn == nullptr) {
    std::fprintf(stderr, "regsvr: %s: has no %s\n", library, entry);
    FreeLibrary(h);
    return kNoEntryPoint;
  }
  HRESULT hr = pfn();
  FreeLibrary(h);
  if (FAILED(hr)) {
    std::fprintf(stderr, "regsvr: %s in %s failed: %s\n", entry, library, Describe(hr).c_str());
    return kCallFailed;
  }
  std::printf("regsvr: %s in %s succeeded: %s\n", entry, library, Describe(hr).c_str());
  return kOk;
}
