#include "module.h"

#include <dlfcn.h>

#include <cstdlib>

namespace pim::outlook {

std::string libraryPath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&libraryPath), &info) && info.dli_fname) return info.dli_fname;
    return {};
}

// The platform's COM runtime loads a local server's library in-process.
ServerKey applicationServerKey() { return {"LocalServer32", nullptr}; }

std::string defaultStorePath() {
    std::string base;
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x) base = x;
    else if (const char* h = std::getenv("HOME"); h && *h) base = std::string(h) + "/.local/share";
    else base = ".";
    return base + "/pimserver/store.db";
}

}  // namespace pim::outlook
