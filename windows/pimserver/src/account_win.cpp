#include "account.h"

#include <windows.h>
#define SECURITY_WIN32
#include <lmcons.h>
#include <secext.h>

namespace pim::redemption {

namespace {

std::optional<std::u16string> displayName() {
    ULONG size = 0;
    GetUserNameExW(NameDisplay, nullptr, &size);
    if (size > 0) {
        std::wstring name(size, L'\0');
        if (GetUserNameExW(NameDisplay, name.data(), &size) && size > 0) {
            name.resize(size);
            return std::u16string(name.begin(), name.end());
        }
    }
    return std::nullopt;
}

std::optional<std::u16string> logonName() {
    wchar_t name[UNLEN + 1];
    DWORD size = UNLEN + 1;
    // The count includes the terminating null.
    if (!GetUserNameW(name, &size) || size <= 1) return std::nullopt;
    return std::u16string(name, name + size - 1);
}

}  // namespace

std::optional<std::u16string> accountFullName() {
    // A local account without a full name, and Wine, give no display name: the logon name then.
    if (auto name = displayName()) return name;
    return logonName();
}

}  // namespace pim::redemption
