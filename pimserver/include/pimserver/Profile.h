// The server's profile in the current user's registry, read by the object model (Store) and the
// DAV store (its URLs, user and password file) alike.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>

namespace pim::server {

/// The profile's key under HKEY_CURRENT_USER.
inline constexpr const char* kProfileKey = "Software\\PimServer\\Profile";

/// The profile's REG_SZ value `name`; empty when the key or the value is missing or is no text.
inline std::string profileText(const char* name) {
    HKEY k = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kProfileKey, 0, KEY_READ, &k) != ERROR_SUCCESS) return {};
    std::string out;
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(k, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_SZ && size > 0) {
        std::string buf(size, '\0');
        if (RegQueryValueExA(k, name, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &size) == ERROR_SUCCESS) {
            buf.resize(std::min<std::size_t>(size, buf.size()));
            while (!buf.empty() && buf.back() == '\0') buf.pop_back();
            out = std::move(buf);
        }
    }
    RegCloseKey(k);
    return out;
}

}  // namespace pim::server
