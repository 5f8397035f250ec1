#include "profile.h"

#include "pimserver/Profile.h"
#include "store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace pim::dav {
namespace {

std::string envOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::string(v) : fallback;
}

std::string home() { return envOr("HOME", "."); }

std::string dirOf(std::string url) {
    if (!url.empty() && url.back() != '/') url += '/';
    return url;
}

// The scheme and host of a URL (as http.cpp's own), for resolveUrl.
std::string originOf(const std::string& url) {
    auto scheme = url.find("://");
    if (scheme == std::string::npos) return url;
    return url.substr(0, url.find('/', scheme + 3));
}

// Closes a descriptor when it goes.
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

// Here rather than in http.cpp: reading a profile needs it, and no HTTP stack.
std::string resolveUrl(const std::string& base, const std::string& ref) {
    if (ref.find("://") != std::string::npos) return ref;
    if (!ref.empty() && ref[0] == '/') return originOf(base) + ref;
    std::string dir = base.substr(0, base.rfind('/') + 1);
    return dir + ref;
}

Collections DavProfile::collections() const {
    Collections c;
    const std::string base = dirOf(storeUrl);
    c.calendarUrl = calendarUrl.empty() ? base : dirOf(resolveUrl(base, calendarUrl));
    if (!contactsUrl.empty()) c.contactsUrl = dirOf(resolveUrl(base, contactsUrl));
    return c;
}

DavProfile readProfile(const std::string& storeUrl) {
    DavProfile p;
    p.storeUrl = storeUrl;
    p.calendarUrl = server::profileText("CalendarUrl");
    p.contactsUrl = server::profileText("ContactsUrl");
    p.user = server::profileText("UserName");
    p.passwordFile = server::profileText("PasswordFile");
    return p;
}

std::string cachePath(const DavProfile& profile) {
    // FNV-1a over what names the account and its collections.
    uint64_t h = 1469598103934665603ull;
    Collections c = profile.collections();
    for (const std::string& part : {profile.storeUrl, c.calendarUrl, c.contactsUrl, profile.user}) {
        for (unsigned char ch : part) {
            h ^= ch;
            h *= 1099511628211ull;
        }
        h ^= 0xFF;
        h *= 1099511628211ull;
    }
    std::string host = profile.storeUrl.substr(profile.storeUrl.find("://") + 3);
    host = host.substr(0, host.find('/'));
    std::string name;
    for (char ch : host + (profile.user.empty() ? "" : "-" + profile.user))
        name += std::isalnum(static_cast<unsigned char>(ch)) || ch == '-' || ch == '.' ? ch : '_';
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(h));
    std::string base = envOr("XDG_DATA_HOME", home() + "/.local/share");
    return base + "/pimserver/dav/" + name + "-" + hex + ".db";
}

std::string readPassword(const DavProfile& profile) {
    if (const char* env = std::getenv("PIM_DAV_PASSWORD"); env && *env) return env;
    std::string file = profile.passwordFile.empty()
                           ? envOr("XDG_CONFIG_HOME", home() + "/.config") + "/pim/dav-password"
                           : profile.passwordFile;
    Fd f{::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW)};
    if (f.fd < 0) {
        if (errno == ENOENT) {
            if (profile.user.empty()) return {};
            throw DavError(Failure::Config, "no password for " + profile.user +
                                                ": set PIM_DAV_PASSWORD or write it to " + file + " (mode 600)");
        }
        throw DavError(Failure::Config, "cannot read the password file " + file + ": " + std::strerror(errno));
    }
    struct stat st;
    if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode))
        throw DavError(Failure::Config, "the password file " + file + " is not a plain file");
    if (st.st_uid != ::getuid())
        throw DavError(Failure::Config, "the password file " + file + " belongs to another user; refusing to use it");
    if (st.st_mode & (S_IRWXG | S_IRWXO)) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(st.st_mode & 0777));
        throw DavError(Failure::Config, "the password file " + file + " may be read by others (mode " + mode +
                                            "); refusing to use it: run chmod 600 " + file);
    }
    std::string pw;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(f.fd, buf, sizeof buf)) > 0 && pw.size() < 65536) pw.append(buf, static_cast<size_t>(n));
    pw = pw.substr(0, pw.find('\n'));
    if (!pw.empty() && pw.back() == '\r') pw.pop_back();
    return pw;
}

}  // namespace pim::dav
