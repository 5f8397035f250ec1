// The Windows build carries no HTTP stack: a profile whose Store is a server URL
// is refused with a message that says so, instead of being taken for a file name.
#include "profile.h"

namespace pim::dav {

namespace {

[[noreturn]] void unavailable() {
    throw DavError(Failure::Config,
                   "this build of the PIM server has no CalDAV/CardDAV store; set the profile's Store to a file");
}

}  // namespace

DavProfile readProfile(const std::string&) { unavailable(); }

std::string cachePath(const DavProfile&) { unavailable(); }

SyncReport syncProfile(const DavProfile&, const SyncProgress&) { unavailable(); }

}  // namespace pim::dav
