// The Windows build carries no HTTP stack: a profile whose Store is a server URL
// is refused with a message that says so, instead of being taken for a file name.
#include "profile.h"

#include <cctype>

namespace pim::dav {

namespace {

[[noreturn]] void unavailable() {
    throw DavError(Failure::Config,
                   "this build of the PIM server has no CalDAV/CardDAV store; set the profile's Store to a file");
}

}  // namespace

bool isDavUrl(std::string_view v) {
    auto starts = [&](std::string_view p) {
        if (v.size() < p.size()) return false;
        for (size_t i = 0; i < p.size(); ++i)
            if (std::tolower(static_cast<unsigned char>(v[i])) != p[i]) return false;
        return true;
    };
    return starts("http://") || starts("https://");
}

DavProfile readProfile(const std::string&) { unavailable(); }

std::string cachePath(const DavProfile&) { unavailable(); }

SyncReport syncProfile(const DavProfile&, const SyncProgress&) { unavailable(); }

}  // namespace pim::dav
