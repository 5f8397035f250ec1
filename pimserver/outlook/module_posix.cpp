#include "module.h"

#include <dlfcn.h>

namespace pim::outlook {

std::string libraryPath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&libraryPath), &info) && info.dli_fname) return info.dli_fname;
    return {};
}

// The platform's COM runtime loads a local server's library in-process.
ServerKey applicationServerKey() { return {"LocalServer32", nullptr}; }

}  // namespace pim::outlook
