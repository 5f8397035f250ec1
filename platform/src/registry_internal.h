// The registry's tree and its .reg text form (parsing and writing are kept apart from the file
// handling so they can be tested on strings).
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>
#include <windows.h>

namespace pim::reg {

enum Root { kClassesRoot, kCurrentUser, kLocalMachine, kUsers, kCurrentConfig, kRootCount };
extern const char* const kRootNames[kRootCount];

struct Value {
  std::string name;  // as written; "" is the default value
  DWORD type = REG_NONE;
  std::vector<unsigned char> data;  // strings are UTF-16LE, as on Windows
};

struct Key {
  std::string name;  // case as created
  std::map<std::string, std::unique_ptr<Key>> children;  // by folded name: enumeration is case-insensitively sorted
  std::vector<Value> values;  // creation order, as Windows enumerates them
  Value* find_value(const std::string& name);
  Key* child(const std::string& name);
};

struct Tree {
  Key roots[kRootCount];
};

// Case folding for key and value names (ASCII letters; other characters compare exactly).
std::string fold(const std::string& s);

// Parses .reg text; false with a reason on anything it cannot read.
bool parse_reg(const std::string& text, Tree& out, std::string* why);
std::string write_reg(const Tree& tree);

// A number that stays the same while the registry (the file, or the file PIM_REGISTRY names) is
// unchanged; 0 when it cannot be read. Lets a caller keep what it read from it.
uint64_t generation();

// The default value of root\subkey, as RegOpenKeyEx and RegQueryValueEx (W) would give it, under
// one lock and without a handle: activation reads one value per class.
LSTATUS default_value(HKEY root, const std::string& subkey, DWORD* type, std::vector<unsigned char>* data);

}  // namespace pim::reg
