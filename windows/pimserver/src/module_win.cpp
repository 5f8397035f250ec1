#include "module.h"

#include "win_text.h"

namespace pim::outlook {

std::string libraryPath() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&libraryPath), &self))
        return {};
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(self, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return {};
        if (n < buf.size()) return win::utf8(buf.data(), n);
        buf.resize(buf.size() * 2);
    }
}

// Windows' COM runtime loads only an in-process server into the caller; free
// threading so that callers of any apartment get the objects themselves.
ServerKey applicationServerKey() { return {"InprocServer32", "Both"}; }

std::string defaultStorePath() {
    // The user's local application data, as Windows programs keep theirs.
    DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0);
    if (n > 1) {
        std::wstring dir(n, L'\0');
        n = GetEnvironmentVariableW(L"LOCALAPPDATA", dir.data(), n);
        dir.resize(n);
        if (!dir.empty()) return win::utf8(dir) + "\\pimserver\\store.db";
    }
    return "pimserver\\store.db";
}

}  // namespace pim::outlook
