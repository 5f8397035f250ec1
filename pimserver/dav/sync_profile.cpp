// The sync of a profile in this process: the part of the DAV store that carries the HTTP stack
// (linked into libpimdavsync.so, which other processes load on demand, and into the tests).
#include "profile.h"

#include "store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace pim::dav {

namespace {

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

SyncReport syncProfileHere(const DavProfile& profile, const SyncProgress& progress) {
    Credentials cred{profile.user, readPassword(profile)};
    const std::string path = cachePath(profile);
    std::unique_ptr<store::Store> s;
    try {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        s = store::Store::open(path, store::Store::Options{true, 10000});
    } catch (const std::exception& e) {
        throw DavError(Failure::Local, std::string("cannot open the local cache: ") + e.what());
    }
    // One sync of a cache at a time: a second would send the same new items twice.
    Fd lock{::open((path + ".sync-lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)};
    if (lock.fd < 0 || ::flock(lock.fd, LOCK_EX) != 0)
        throw DavError(Failure::Local, "cannot lock " + path + ".sync-lock: " + std::strerror(errno));
    HttpClient http(cred);
    return synchronize(*s, http, profile.collections(), progress);
}

std::size_t pendingChangesAt(const std::string& cachePath) {
    auto cache = store::Store::open(cachePath);
    return pendingChanges(*cache);
}

}  // namespace pim::dav
