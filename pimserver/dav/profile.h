// The DAV store kind of a profile: the profile's `Store` value is the server's
// http(s) URL; `CalendarUrl` and `ContactsUrl` name the two collections (absolute
// or relative to Store; without CalendarUrl, Store itself is the calendar, without
// ContactsUrl the contacts stay local); `UserName` the account. The password comes
// from PIM_DAV_PASSWORD or from a file only its owner can read (`PasswordFile`,
// default $XDG_CONFIG_HOME/pim/dav-password); it is never kept in the registry.
// The local working copy is a store file per server account under the user's data
// folder.
#pragma once

#include "sync.h"

#include <cctype>
#include <memory>
#include <string>
#include <string_view>

namespace pim::store {
class Store;
}

namespace pim::dav {

struct DavProfile {
    std::string storeUrl, calendarUrl, contactsUrl, user, passwordFile;
    Collections collections() const;
};

/// True for an http:// or https:// URL (scheme in any case).
inline bool isDavUrl(std::string_view v) {
    auto starts = [&](std::string_view p) {
        if (v.size() < p.size()) return false;
        for (size_t i = 0; i < p.size(); ++i)
            if (std::tolower(static_cast<unsigned char>(v[i])) != p[i]) return false;
        return true;
    };
    return starts("http://") || starts("https://");
}

/// Reads the profile (HKCU\Software\PimServer\Profile) for a Store value that is a URL.
DavProfile readProfile(const std::string& storeUrl);

/// The local cache file of a profile: $XDG_DATA_HOME/pimserver/dav/<host>-<user>-<hash>.db.
std::string cachePath(const DavProfile& profile);

/// The password: PIM_DAV_PASSWORD, else the password file. Throws DavError(Config)
/// when the file may be read by others, or no password is to be had for a user.
std::string readPassword(const DavProfile& profile);

/// Opens (creating) the profile's cache and syncs it. Only one sync of a cache
/// runs at a time; another waits for it.
SyncReport syncProfile(const DavProfile& profile, const SyncProgress& progress = {});

}  // namespace pim::dav
