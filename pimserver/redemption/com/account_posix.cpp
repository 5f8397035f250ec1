#include "account.h"

#include "safe_items.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace pim::redemption {

std::optional<std::u16string> accountFullName()
{
    long max = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(max > 0 ? static_cast<std::size_t>(max) : 16384);
    struct passwd pw;
    struct passwd* found = nullptr;
    int rc;
    while ((rc = ::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found)) == ERANGE && buf.size() < (1u << 20))
        buf.resize(buf.size() * 2);
    if (rc != 0 || !found || !found->pw_gecos) return std::nullopt;
    // The full name is the first comma-separated field of the comment.
    std::string gecos(found->pw_gecos);
    gecos = gecos.substr(0, gecos.find(','));
    while (!gecos.empty() && gecos.back() == ' ') gecos.pop_back();
    while (!gecos.empty() && gecos.front() == ' ') gecos.erase(gecos.begin());
    if (gecos.empty()) return std::nullopt;
    return toUtf16(gecos);
}

}  // namespace pim::redemption
