#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace pim::store::files {

long readPrefix(const std::string& path, unsigned char* buf, std::size_t n) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -errno;
    ssize_t got = ::read(fd, buf, n);
    int err = errno;
    ::close(fd);
    return got < 0 ? -err : static_cast<long>(got);
}

int checkReadWrite(const std::string& path) { return ::access(path.c_str(), R_OK | W_OK) == 0 ? 0 : errno; }

int statRegular(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return errno;
    return S_ISREG(st.st_mode) ? 0 : ENOTSUP;
}

int linkNew(const std::string& from, const std::string& to) { return ::link(from.c_str(), to.c_str()) == 0 ? 0 : errno; }

void removeFile(const std::string& path) { ::unlink(path.c_str()); }

long processId() { return static_cast<long>(::getpid()); }

}  // namespace pim::store::files
