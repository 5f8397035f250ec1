// What differs between systems in how the server library names and registers
// itself (module_posix.cpp here, windows/pimserver/src/module_win.cpp on Windows).
#pragma once

#include <string>

namespace pim::outlook {

/// The file of this library (UTF-8); empty when unknown.
std::string libraryPath();

/// The key under the application's class key that names this library, and the
/// threading model to write there (null: none).
struct ServerKey {
    const char* name;
    const char* threadingModel;
};
ServerKey applicationServerKey();

/// The store a profile without one uses, in the user's data folder.
std::string defaultStorePath();

}  // namespace pim::outlook
