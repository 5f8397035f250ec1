// The sync of a profile, loaded on demand: the HTTP stack (libcurl, libxml2 and their thirty
// libraries) would otherwise be loaded and relocated by every process, listing an agenda too.
#include "profile.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <stdexcept>
#include <string>
#include <vector>

namespace pim::dav {
namespace {

constexpr const char* kLibrary = "libpimdavsync.so";

std::string folderOf(const std::string& file) {
    size_t slash = file.rfind('/');
    return slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
}

// Beside the library (or program) holding this code, in the lib folder beside a program's bin,
// then by the loader's own search (which reads the caller's RUNPATH).
const SyncModule* load() {
    std::vector<std::string> candidates;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&load), &info) != 0 && info.dli_fname && info.dli_fname[0] == '/')
        candidates.push_back(folderOf(info.dli_fname) + kLibrary);
    char exe[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        std::string dir = folderOf(std::string(exe, static_cast<size_t>(n)));
        candidates.push_back(dir + kLibrary);
        candidates.push_back(dir + "../lib/" + kLibrary);
    }
    candidates.push_back(kLibrary);
    std::string why;
    for (const std::string& c : candidates) {
        void* h = ::dlopen(c.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!h) {
            if (const char* e = ::dlerror(); why.empty() && e) why = e;
            continue;
        }
        using Entry = const SyncModule* (*)();
        auto entry = reinterpret_cast<Entry>(::dlsym(h, "pim_dav_sync_module"));
        const SyncModule* m = entry ? entry() : nullptr;
        if (m && m->version == SyncModule::kVersion) return m;  // kept loaded for the process
        ::dlclose(h);
        why = c + " is not this build's sync library";
    }
    throw DavError(Failure::Config, std::string("the CalDAV/CardDAV sync library ") + kLibrary +
                                        " cannot be loaded: " + why);
}

const SyncModule& module() {
    static const SyncModule* m = load();  // a failed load throws and is tried again next time
    return *m;
}

void rethrow(int rc, Failure kind, long status, const std::string& message) {
    if (rc == 1) throw DavError(kind, message, status);
    if (rc != 0) throw std::runtime_error(message);
}

}  // namespace

SyncReport syncProfile(const DavProfile& profile, const SyncProgress& progress) {
    SyncReport report;
    Failure kind = Failure::Local;
    long status = 0;
    std::string message;
    int rc = module().sync(profile, progress, report, kind, status, message);
    rethrow(rc, kind, status, message);
    return report;
}

std::size_t pendingChangesOf(const std::string& cachePath) {
    std::size_t count = 0;
    Failure kind = Failure::Local;
    long status = 0;
    std::string message;
    int rc = module().pending(cachePath, count, kind, status, message);
    rethrow(rc, kind, status, message);
    return count;
}

}  // namespace pim::dav
