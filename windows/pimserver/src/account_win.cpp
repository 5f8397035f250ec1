#include "account.h"

#include <windows.h>
#define SECURITY_WIN32
#include <secext.h>

namespace pim::redemption {

std::optional<std::u16string> accountFullName() {
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

}  // namespace pim::redemption
