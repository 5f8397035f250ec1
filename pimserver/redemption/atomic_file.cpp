#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace pim::files {

int writeAtomically(const std::string& path, std::string_view data)
{
    if (path.empty()) return ENOENT;
    if (!path.empty() && path.back() == '/') return EISDIR;
    std::string tmp = path + ".XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0) return errno;
    int err = 0;
    ::fchmod(fd, 0644);  // mkstemp's 0600 is for the temporary name only
    for (std::size_t done = 0; done < data.size() && !err;) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno != EINTR) err = errno;
        } else {
            done += static_cast<std::size_t>(n);
        }
    }
    if (!err && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && !err) err = errno;
    if (!err && ::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
    if (err) ::unlink(tmp.c_str());
    return err;
}

}  // namespace pim::files
