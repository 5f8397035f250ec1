// The store's file operations on Windows: wide-character paths, hard links.
#include "files.h"

#include "win_text.h"

#include <cerrno>

namespace pim::store::files {

long readPrefix(const std::string& path, unsigned char* buf, std::size_t n) {
    HANDLE h = CreateFileW(win::wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -win::errnoOf(GetLastError());
    std::size_t total = 0;
    while (total < n) {
        DWORD got = 0;
        if (!ReadFile(h, buf + total, static_cast<DWORD>(n - total), &got, nullptr)) {
            const DWORD err = GetLastError();
            CloseHandle(h);
            return -win::errnoOf(err);
        }
        if (got == 0) break;
        total += got;
    }
    CloseHandle(h);
    return static_cast<long>(total);
}

int checkReadWrite(const std::string& path) {
    // Opening for both is the only reliable answer (ACLs, read-only attribute).
    HANDLE h = CreateFileW(win::wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return win::errnoOf(GetLastError());
    CloseHandle(h);
    return 0;
}

int statRegular(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(win::wide(path).c_str(), GetFileExInfoStandard, &data)) return win::errnoOf(GetLastError());
    return (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) ? ENOTSUP : 0;
}

int linkNew(const std::string& from, const std::string& to) {
    if (CreateHardLinkW(win::wide(to).c_str(), win::wide(from).c_str(), nullptr)) return 0;
    const DWORD err = GetLastError();
    if (err == ERROR_ALREADY_EXISTS || err == ERROR_FILE_EXISTS) return EEXIST;
    // File systems without hard links: a move that refuses to replace is as atomic.
    if (err == ERROR_INVALID_FUNCTION || err == ERROR_NOT_SUPPORTED || err == ERROR_CALL_NOT_IMPLEMENTED) {
        if (MoveFileExW(win::wide(from).c_str(), win::wide(to).c_str(), MOVEFILE_WRITE_THROUGH)) return 0;
        const DWORD moveErr = GetLastError();
        return moveErr == ERROR_ALREADY_EXISTS || moveErr == ERROR_FILE_EXISTS ? EEXIST : win::errnoOf(moveErr);
    }
    return win::errnoOf(err);
}

void removeFile(const std::string& path) { DeleteFileW(win::wide(path).c_str()); }

long processId() { return static_cast<long>(GetCurrentProcessId()); }

}  // namespace pim::store::files
