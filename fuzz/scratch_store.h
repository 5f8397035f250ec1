// A new, empty store for each input, copied from one made at start-up so that every input meets the
// same store (same store id, same record keys) and none sees what an earlier one left.
#pragma once
#include <filesystem>
#include <memory>
#include <string>

#include "scratch.h"
#include "store.h"

namespace fuzz {

inline std::unique_ptr<pim::store::Store> freshStore() {
  namespace fs = std::filesystem;
  static const std::string templ = [] {
    const std::string path = scratchPath("template.db");
    pim::store::Store::Options o;
    o.create = true;
    pim::store::Store::open(path, o).reset();
    return path;
  }();
  const std::string path = scratchPath("store.db");
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path + suffix);
  fs::copy_file(templ, path);
  return pim::store::Store::open(path);
}

}  // namespace fuzz
