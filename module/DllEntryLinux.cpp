// Where the library is not loaded by Windows, its constructor and destructor stand in for the
// loader's calls of DllMain.
#if !defined(_WIN32)
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved);

namespace {

HMODULE g_hModule = nullptr;

__attribute__((constructor)) void ProcessAttach() {
  // The handle of the library holding this code; asking must not pin it.
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&g_hModule), &g_hModule);
  DllMain(g_hModule, DLL_PROCESS_ATTACH, nullptr);
}

__attribute__((destructor)) void ProcessDetach() { DllMain(g_hModule, DLL_PROCESS_DETACH, nullptr); }

}  // namespace
#endif
