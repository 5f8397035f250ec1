// What every fuzz target shares: one scratch folder per process (on tmpfs when there is one), the
// registry file inside it, a fixed time zone, and nothing left behind at exit.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include <unistd.h>

namespace fuzz {

inline const std::string& scratchDir() {
  // Never destroyed: the exit handler that removes the folder runs after static destructors.
  static const std::string* dir = [] {
    std::string base = "/tmp";
    std::error_code ec;
    if (const char* t = std::getenv("TMPDIR"); t && *t) base = t;
    else if (std::filesystem::is_directory("/dev/shm", ec) && access("/dev/shm", W_OK) == 0) base = "/dev/shm";
    auto* made = new std::string(base + "/pim-fuzz-XXXXXX");
    if (!mkdtemp(made->data())) std::abort();
    std::atexit([] {
      std::error_code e;
      std::filesystem::remove_all(scratchDir(), e);
    });
    return made;
  }();
  return *dir;
}

// A file name inside the scratch folder.
inline std::string scratchPath(const std::string& name) { return scratchDir() + "/" + name; }

// Points the registry at an empty file in the scratch folder and fixes the zone, so that a run
// neither reads nor writes the user's files and gives the same result on any machine.
inline void isolate() {
  setenv("PIM_REGISTRY", scratchPath("registry.reg").c_str(), 1);
  setenv("TZ", "Europe/Berlin", 1);
  setenv("XDG_CONFIG_HOME", scratchDir().c_str(), 1);
  setenv("XDG_DATA_HOME", scratchDir().c_str(), 1);
  tzset();
}

}  // namespace fuzz
