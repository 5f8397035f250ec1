// libpimdavsync.so: the sync with its HTTP stack, loaded by the processes that sync.
#include "profile.h"

#include <exception>
#include <new>

namespace pim::dav {
namespace {

template <class Fn>
int guarded(Failure& kind, long& status, std::string& message, Fn&& fn) {
    try {
        fn();
        return 0;
    } catch (const DavError& e) {
        kind = e.kind();
        status = e.status();
        message = e.what();
        return 1;
    } catch (const std::exception& e) {
        message = e.what();
        return 2;
    } catch (...) {
        message = "an unknown failure";
        return 2;
    }
}

int sync(const DavProfile& profile, const SyncProgress& progress, SyncReport& report, Failure& kind, long& status,
         std::string& message) {
    return guarded(kind, status, message, [&] { report = syncProfileHere(profile, progress); });
}

int pending(const std::string& cachePath, std::size_t& count, Failure& kind, long& status, std::string& message) {
    return guarded(kind, status, message, [&] { count = pendingChangesAt(cachePath); });
}

const SyncModule kModule{SyncModule::kVersion, &sync, &pending};

}  // namespace
}  // namespace pim::dav

extern "C" __attribute__((visibility("default"))) const pim::dav::SyncModule* pim_dav_sync_module() {
    return &pim::dav::kModule;
}
