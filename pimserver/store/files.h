// The store's few file operations that differ between systems (files_posix.cpp
// here, windows/pimserver/src/files_win.cpp on Windows). Paths are UTF-8; errors
// are errno values.
#pragma once

#include <cstddef>
#include <string>

namespace pim::store::files {

/// Reads up to n bytes from the start of a file: the count read, or -errno.
long readPrefix(const std::string& path, unsigned char* buf, std::size_t n);

/// 0 when the file may be both read and written, errno otherwise.
int checkReadWrite(const std::string& path);

/// 0 for a regular file, ENOTSUP for anything else that exists, errno when it
/// cannot be reached (ENOENT: absent).
int statRegular(const std::string& path);

/// Gives the file `from` the second name `to`, never replacing an existing
/// `to` (EEXIST then). 0 or errno.
int linkNew(const std::string& from, const std::string& to);

/// Removes a file; a missing one is no error.
void removeFile(const std::string& path);

/// The calling process's id, for temporary names.
long processId();

}  // namespace pim::store::files
