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
/// runs at a time; another waits for it. The HTTP stack is loaded for it on first use
/// (libpimdavsync.so beside the library or program), so a process that never syncs never
/// loads libcurl and libxml2; DavError(Config) when that library cannot be loaded.
SyncReport syncProfile(const DavProfile& profile, const SyncProgress& progress = {});

/// Local changes of a profile's cache not yet on the server (pendingChanges), loading the
/// library as syncProfile does.
std::size_t pendingChangesOf(const std::string& cachePath);

/// The two above in this process: what libpimdavsync.so runs.
SyncReport syncProfileHere(const DavProfile& profile, const SyncProgress& progress = {});
std::size_t pendingChangesAt(const std::string& cachePath);

/// What libpimdavsync.so hands out (pim_dav_sync_module). Nothing but a DavError leaves it as one:
/// a call answers 0, or 1 with the DavError's kind, status and text, or 2 with another failure's text.
struct SyncModule {
    static constexpr unsigned kVersion = 1;
    unsigned version;
    int (*sync)(const DavProfile& profile, const SyncProgress& progress, SyncReport& report, Failure& kind,
                long& status, std::string& message);
    int (*pending)(const std::string& cachePath, std::size_t& count, Failure& kind, long& status, std::string& message);
};

}  // namespace pim::dav
