// Whole-file writes on Windows: a new file beside the target, flushed, then
// moved over it in one step.
#include "atomic_file.h"

#include "win_text.h"

#include <cerrno>
#include <string>

namespace pim::files {

int writeAtomically(const std::string& path, std::string_view data) {
    if (path.empty()) return ENOENT;
    if (path.back() == '/' || path.back() == '\\') return EISDIR;
    const std::wstring target = win::wide(path);
    std::wstring tmp;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (unsigned attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
        tmp = target + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount() + attempt) + L".tmp";
        h = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return win::errnoOf(GetLastError());
    }
    if (h == INVALID_HANDLE_VALUE) return EEXIST;
    int err = 0;
    for (std::size_t done = 0; done < data.size() && !err;) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1u << 30));
        DWORD wrote = 0;
        if (!WriteFile(h, data.data() + done, chunk, &wrote, nullptr)) err = win::errnoOf(GetLastError());
        done += wrote;
    }
    if (!err && !FlushFileBuffers(h)) err = win::errnoOf(GetLastError());
    if (!CloseHandle(h) && !err) err = win::errnoOf(GetLastError());
    if (!err && !MoveFileExW(tmp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        err = win::errnoOf(GetLastError());
    if (err) DeleteFileW(tmp.c_str());
    return err;
}

}  // namespace pim::files
